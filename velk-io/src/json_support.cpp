// Private JSON helpers of velk-io. nlohmann-json reports syntax errors by exception; this is
// the only place that lets it throw, and it turns the exception into an IoError at once.
#include "json_support.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>
#include <system_error>

#include "velk_io/json_writer.hpp"
#include "velk_io/text_format.hpp"

namespace velk_io {
namespace {

// Far deeper than any document of velk-io. nlohmann-json copies nested values recursively,
// so a document nested tens of thousands deep would exhaust the stack; it is refused first.
constexpr std::size_t MAX_NESTING = 100;

// nlohmann-json's message reads "[json.exception.parse_error.101] parse error at line 1,
// column 5: syntax error while parsing value - ...". The place and the detail are kept.
IoError syntax_error(std::string_view what, std::string_view text, std::size_t byte) {
  constexpr std::string_view AT = "parse error at ";
  const std::size_t at = what.find(AT);
  if (at != std::string_view::npos) {
    const std::string_view rest = what.substr(at + AT.size());
    const std::size_t colon = rest.find(": ");
    if (rest.starts_with("line ") && colon != std::string_view::npos) {
      return IoError{std::string(rest.substr(0, colon)), std::string(rest.substr(colon + 2))};
    }
  }
  // Without a line in the message, count it from the byte offset (1 is the first byte).
  std::size_t line = 1;
  std::size_t column = 0;
  for (std::size_t i = 0; i < text.size() && i < byte; ++i) {
    column = text[i] == '\n' ? 0 : column + 1;
    if (text[i] == '\n') ++line;
  }
  const std::size_t colon = what.rfind(": ");
  const std::string detail(colon == std::string_view::npos ? what : what.substr(colon + 2));
  return IoError{"line " + std::to_string(line) + ", column " + std::to_string(column), detail};
}

// "line 3, column 7": the place of the byte at `offset` (lines and columns from 1).
std::string place_of(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    column = text[i] == '\n' ? 1 : column + 1;
    if (text[i] == '\n') ++line;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// nlohmann-json's id of a number beyond the range of a double.
constexpr int NUMBER_OVERFLOW = 406;

// The library's message reads "[json.exception.out_of_range.406] number overflow parsing
// '1e400'" and names no place: the place is that of the first such number in the text.
IoError number_overflow(std::string_view what, std::string_view text) {
  const std::size_t open = what.find('\'');
  const std::size_t close = what.rfind('\'');
  const std::string_view number =
      open != std::string_view::npos && close > open ? what.substr(open + 1, close - open - 1) : std::string_view();
  std::size_t at = number.empty() ? std::string_view::npos : text.find(number);
  const auto part_of_number = [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-';
  };
  while (at != std::string_view::npos && at > 0 && part_of_number(text[at - 1])) at = text.find(number, at + 1);
  const std::string where = at == std::string_view::npos ? std::string("document") : place_of(text, at);
  return IoError{where, "the number " + std::string(number) + " is beyond the range of a 64-bit float"};
}

// The JSON path of the first object member given twice ("operations[2].inputs"), which the
// parser would let the last one win; nothing when every member is given once. Keys are
// compared as written. A scan of the text alone, which leaves whatever else is wrong with
// the text to the parser.
std::optional<std::string> first_repeated_member(std::string_view text) {
  struct Frame {
    bool object = false;
    bool want_key = false;
    std::size_t index = 0;       // an array's current element
    std::size_t keys_begin = 0;  // an object's keys in `keys`; the last is the member being read
  };
  std::vector<Frame> frames;
  std::vector<std::string_view> keys;
  const auto path_to = [&](std::string_view key) {
    std::string path;
    for (std::size_t f = 0; f + 1 < frames.size(); ++f) {
      if (frames[f].object) {
        const bool has_key = frames[f + 1].keys_begin > frames[f].keys_begin;
        path += "." + std::string(has_key ? keys[frames[f + 1].keys_begin - 1] : std::string_view());
      } else {
        path += "[" + std::to_string(frames[f].index) + "]";
      }
    }
    path += "." + std::string(key);
    return path.starts_with('.') ? path.substr(1) : path;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t start = i + 1;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      const std::string_view string = text.substr(start, std::min(i, text.size()) - start);
      if (frames.empty() || !frames.back().object || !frames.back().want_key) continue;
      const auto begin = keys.begin() + static_cast<std::ptrdiff_t>(frames.back().keys_begin);
      if (std::find(begin, keys.end(), string) != keys.end()) return path_to(string);
      keys.push_back(string);
      frames.back().want_key = false;
    } else if (c == '{' || c == '[') {
      frames.push_back(Frame{c == '{', c == '{', 0, keys.size()});
    } else if ((c == '}' || c == ']') && !frames.empty()) {
      keys.resize(frames.back().keys_begin);
      frames.pop_back();
    } else if (c == ',' && !frames.empty()) {
      if (frames.back().object) {
        frames.back().want_key = true;
      } else {
        ++frames.back().index;
      }
    }
  }
  return std::nullopt;
}

// The place of the first bracket that opens a level beyond MAX_NESTING, if any. Brackets in
// strings do not count; whatever else is wrong with the text is left to the parser.
std::optional<IoError> nesting_error(std::string_view text) {
  std::size_t depth = 0;
  std::size_t line = 1;
  std::size_t column = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    ++column;
    if (c == '\n') {
      ++line;
      column = 0;
    }
    if (in_string) {
      in_string = escaped || c != '"';
      escaped = !escaped && c == '\\';
      continue;
    }
    if (c == '"') in_string = true;
    if (c == ']' || c == '}') depth = depth == 0 ? 0 : depth - 1;
    if ((c == '[' || c == '{') && ++depth > MAX_NESTING) {
      return IoError{"line " + std::to_string(line) + ", column " + std::to_string(column),
                     "nested deeper than " + std::to_string(MAX_NESTING) + " levels"};
    }
  }
  return std::nullopt;
}

std::string_view type_phrase(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    case Json::value_t::binary:
    case Json::value_t::discarded: return "an unsupported value";
  }
  return "an unsupported value";
}

void write_value(JsonWriter& writer, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object:
      writer.begin_object();
      for (const auto& [key, member] : value.items()) {
        writer.key(key);
        write_value(writer, member);
      }
      writer.end_object();
      return;
    case Json::value_t::array:
      writer.begin_array();
      for (const Json& element : value) write_value(writer, element);
      writer.end_array();
      return;
    case Json::value_t::string: writer.string(value.get_ref<const std::string&>()); return;
    case Json::value_t::boolean: writer.boolean(value.get<bool>()); return;
    case Json::value_t::number_integer: writer.number(value.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: writer.number(value.get<std::uint64_t>()); return;
    case Json::value_t::number_float: writer.number(value.get<double>()); return;
    case Json::value_t::null:
    case Json::value_t::binary:
    case Json::value_t::discarded: writer.null(); return;
  }
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return std::unexpected(IoError{place_of(text, nul), "not text: the file holds a NUL byte, and JSON is text"});
  }
  if (std::optional<IoError> error = nesting_error(text)) return std::unexpected(*error);
  try {
    Json document = Json::parse(text.begin(), text.end());
    if (std::optional<std::string> repeated = first_repeated_member(text)) {
      return std::unexpected(IoError{*repeated, "given twice"});
    }
    return document;
  } catch (const nlohmann::json::parse_error& error) {
    return std::unexpected(syntax_error(error.what(), text, error.byte));
  } catch (const nlohmann::json::out_of_range& error) {
    if (error.id == NUMBER_OVERFLOW) return std::unexpected(number_overflow(error.what(), text));
    return std::unexpected(IoError{"document", error.what()});
  } catch (const nlohmann::json::exception& error) {
    return std::unexpected(IoError{"document", error.what()});
  }
}

std::string format_json(const Json& document) {
  std::ostringstream out;
  {
    JsonWriter writer(out);
    write_value(writer, document);
    writer.raw("\n");
  }
  return std::move(out).str();
}

Node Node::child(std::string_view key) const {
  const Json* member = nullptr;
  if (value != nullptr && value->is_object()) {
    const auto found = value->find(key);
    if (found != value->end()) member = &*found;
  }
  return Node{member, path.empty() ? std::string(key) : path + "." + std::string(key)};
}

Node Node::child(std::size_t index) const {
  const Json* element = value != nullptr && value->is_array() && index < value->size() ? &(*value)[index] : nullptr;
  return Node{element, path + "[" + std::to_string(index) + "]"};
}

void JsonReader::fail(const Node& node, std::string message) {
  if (failed()) return;
  error_ = IoError{node.path.empty() ? "document" : node.path, std::move(message)};
}

bool JsonReader::expect(const Node& node, bool ok, std::string_view expected) {
  if (!ok) fail(node, "expected " + std::string(expected) + ", found " + std::string(type_phrase(*node.value)));
  return ok;
}

bool JsonReader::object(const Node& node, std::initializer_list<std::string_view> fields) {
  if (!usable(node) || !expect(node, node.value->is_object(), "an object")) return false;
  for (const auto& [key, member] : node.value->items()) {
    bool known = false;
    for (const std::string_view field_name : fields) known = known || key == field_name;
    if (!known) {
      fail(node, "unknown field \"" + key + "\"");
      return false;
    }
  }
  return true;
}

Node JsonReader::field(const Node& object, std::string_view key) {
  Node member = object.child(key);
  if (usable(object) && object.value->is_object() && member.value == nullptr) {
    fail(object, "missing field \"" + std::string(key) + "\"");
  }
  return member;
}

bool JsonReader::has(const Node& object, std::string_view key) const {
  return object.value != nullptr && object.value->is_object() && object.value->contains(key);
}

std::vector<Node> JsonReader::array(const Node& node) {
  std::vector<Node> elements;
  if (!usable(node) || !expect(node, node.value->is_array(), "an array")) return elements;
  elements.reserve(node.value->size());
  for (std::size_t i = 0; i < node.value->size(); ++i) elements.push_back(node.child(i));
  return elements;
}

std::vector<Node> JsonReader::array(const Node& node, std::size_t count) {
  std::vector<Node> elements = array(node);
  if (!failed() && elements.size() != count) {
    fail(node, "expected " + std::to_string(count) + " elements, found " + std::to_string(elements.size()));
    elements.clear();
  }
  return elements;
}

std::string JsonReader::text(const Node& node) {
  if (!usable(node) || !expect(node, node.value->is_string(), "a string")) return {};
  return node.value->get<std::string>();
}

bool JsonReader::is_text(const Node& node) const { return node.value != nullptr && node.value->is_string(); }

void JsonReader::version(const Node& object, std::uint64_t known) {
  const Node member = field(object, "version");
  const std::uint64_t number = unsigned_number(member, std::numeric_limits<std::uint64_t>::max());
  if (!failed() && number != known) {
    fail(member, "unsupported version " + std::to_string(number) + " (this reader knows version " +
                     std::to_string(known) + ")");
  }
}

std::uint64_t JsonReader::unsigned_number(const Node& node, std::uint64_t max) {
  if (!usable(node) || !expect(node, node.value->is_number(), "an unsigned integer")) return 0;
  const Json& value = *node.value;
  if (value.is_number_float()) {
    // Integers beyond 64 bits are read as floats, so a large float is a too-large integer.
    const double number = value.get<double>();
    if (number >= 18446744073709551616.0) {
      fail(node, "must be at most " + std::to_string(max) + ", found " + value.dump());
    } else {
      fail(node, "must be an integer, found " + value.dump());
    }
    return 0;
  }
  if (!value.is_number_unsigned() && value.get<std::int64_t>() < 0) {
    fail(node, "must not be negative, found " + value.dump());
    return 0;
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > max) {
    fail(node, "must be at most " + std::to_string(max) + ", found " + value.dump());
    return 0;
  }
  return number;
}

float JsonReader::float_number(const Node& node) {
  if (!usable(node) || !expect(node, node.value->is_number(), "a number")) return 0.0F;
  const double number = node.value->get<double>();
  if (!(std::fabs(number) <= static_cast<double>(std::numeric_limits<float>::max()))) {
    fail(node, "must fit a 32-bit float, found " + node.value->dump());
    return 0.0F;
  }
  return static_cast<float>(number);
}

std::uint32_t JsonReader::hex_word(const Node& node) {
  if (!usable(node) || !expect(node, node.value->is_string(), "a hexadecimal word string")) return 0;
  const std::string word = node.value->get<std::string>();
  std::uint32_t value = 0;
  const bool prefixed = word.size() > 2 && word.size() <= 10 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  if (prefixed) {
    const char* first = word.data() + 2;
    const char* last = word.data() + word.size();
    const auto [end, status] = std::from_chars(first, last, value, 16);
    if (status == std::errc{} && end == last) return value;
  }
  fail(node, "expected a word \"0x\" and 1 to 8 hexadecimal digits, found " + node.value->dump());
  return 0;
}

std::vector<std::uint32_t> JsonReader::hex_words(const Node& node) {
  std::vector<std::uint32_t> words;
  for (const Node& element : array(node)) words.push_back(hex_word(element));
  return words;
}

void write_hex_words(JsonWriter& writer, std::span<const std::uint32_t> words) {
  writer.begin_array();
  for (const std::uint32_t word : words) writer.string(hex_word(word));
  writer.end_array();
}

double float_as_decimal(float value) {
  std::array<char, 64> buffer{};
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  double decimal = static_cast<double>(value);
  std::from_chars(buffer.data(), written.ptr, decimal);
  return decimal;
}

}  // namespace velk_io
