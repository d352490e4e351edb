// NumPy .npy files of 32-bit floats. Reading checks the preamble, parses the header's
// dictionary literal (only what numpy writes for an array: a dtype string, a boolean and a
// tuple of integers), and decodes the data only once its size is known to match the shape.
#include "velk_io/npy.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace velk_io {
namespace {

constexpr std::string_view MAGIC{"\x93NUMPY", 6};
constexpr std::size_t MAGIC_SIZE = 6;
constexpr std::size_t VERSION_SIZE = 2;
constexpr std::size_t FLOAT_SIZE = 4;
constexpr std::string_view FLOAT_DTYPE = "<f4";
// numpy aligns the data to 64 bytes from the start of the file.
constexpr std::size_t ALIGNMENT = 64;
// numpy leaves room in the header for the first axis to grow to this many digits.
constexpr std::size_t GROWTH_AXIS_MAX_DIGITS = 21;

std::unexpected<IoError> refusal(std::string message) { return std::unexpected(IoError{"", std::move(message)}); }

std::unexpected<IoError> malformed(std::string_view what) { return refusal("malformed header: " + std::string(what)); }

// Python's way of writing a tuple: "()", "(5,)", "(2, 3)".
std::string shape_tuple(const velk_compiler::Shape& shape) {
  std::string text = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

std::uint32_t little_endian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

void append_little_endian(std::string& out, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// ---- the header ----

// What the header says, the dimensions still as their digits.
struct Header {
  std::optional<std::string_view> descr;
  std::optional<bool> fortran_order;
  std::optional<std::vector<std::string_view>> shape;
};

// A cursor over the header text; every read checks the end first.
class HeaderReader {
 public:
  explicit HeaderReader(std::string_view text) : text_(text) {}

  void skip_spaces() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool at_end() {
    skip_spaces();
    return at_ == text_.size();
  }
  // Takes `c` after any spaces when it is next.
  bool take(char c) {
    skip_spaces();
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool take_word(std::string_view word) {
    skip_spaces();
    if (!text_.substr(at_).starts_with(word)) return false;
    at_ += word.size();
    return true;
  }
  // A string in single or double quotes, without its quotes.
  std::optional<std::string_view> quoted() {
    skip_spaces();
    if (at_ == text_.size() || (text_[at_] != '\'' && text_[at_] != '"')) return std::nullopt;
    const std::size_t close = text_.find(text_[at_], at_ + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view content = text_.substr(at_ + 1, close - at_ - 1);
    at_ = close + 1;
    return content;
  }
  std::optional<std::string_view> digits() {
    skip_spaces();
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == start) return std::nullopt;
    return text_.substr(start, at_ - start);
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

std::optional<bool> read_boolean(HeaderReader& reader) {
  if (reader.take_word("True")) return true;
  if (reader.take_word("False")) return false;
  return std::nullopt;
}

// "()", "(5,)", "(2, 3)" or "(2, 3,)"; "(5)" is a number in parentheses, not a tuple.
std::optional<std::vector<std::string_view>> read_tuple(HeaderReader& reader) {
  if (!reader.take('(')) return std::nullopt;
  std::vector<std::string_view> dimensions;
  bool trailing_comma = false;
  while (!reader.take(')')) {
    const std::optional<std::string_view> dimension = reader.digits();
    if (!dimension) return std::nullopt;
    dimensions.push_back(*dimension);
    trailing_comma = reader.take(',');
    if (!trailing_comma && !reader.take(')')) return std::nullopt;
    if (!trailing_comma) break;
  }
  if (dimensions.size() == 1 && !trailing_comma) return std::nullopt;
  return dimensions;
}

// One "key: value" entry into `header`.
Result<void> read_entry(HeaderReader& reader, Header& header) {
  const std::optional<std::string_view> key = reader.quoted();
  if (!key) return malformed("expected a quoted key");
  if (!reader.take(':')) return malformed("expected ':' after a key");
  const auto twice = [&key] { return malformed("key '" + std::string(*key) + "' given twice"); };
  if (*key == "descr") {
    if (header.descr) return twice();
    header.descr = reader.quoted();
    if (!header.descr) return malformed("descr is not a string");
  } else if (*key == "fortran_order") {
    if (header.fortran_order) return twice();
    header.fortran_order = read_boolean(reader);
    if (!header.fortran_order) return malformed("fortran_order is not True or False");
  } else if (*key == "shape") {
    if (header.shape) return twice();
    header.shape = read_tuple(reader);
    if (!header.shape) return malformed("shape is not a tuple of integers");
  } else {
    return malformed("unknown key '" + std::string(*key) + "'");
  }
  return {};
}

// The dictionary, then nothing but spaces.
Result<Header> read_header(std::string_view text) {
  HeaderReader reader(text);
  if (!reader.take('{')) return malformed("expected '{'");
  Header header;
  while (!reader.take('}')) {
    if (auto entry = read_entry(reader, header); !entry) return std::unexpected(entry.error());
    if (reader.take(',')) continue;
    if (reader.take('}')) break;
    return malformed("expected ',' or '}' after a value");
  }
  if (!reader.at_end()) return malformed("text after the dictionary");
  if (!header.descr) return malformed("missing key 'descr'");
  if (!header.fortran_order) return malformed("missing key 'fortran_order'");
  if (!header.shape) return malformed("missing key 'shape'");
  return header;
}

// The dimensions from their digits, and their element count checked to leave room for the
// data's byte size.
Result<velk_compiler::Shape> header_shape(const std::vector<std::string_view>& digits) {
  velk_compiler::Shape shape;
  for (const std::string_view text : digits) {
    std::size_t value = 0;
    for (const char digit : text) {
      const auto unit = static_cast<std::size_t>(digit - '0');
      if (value > (std::numeric_limits<std::size_t>::max() - unit) / 10) {
        return refusal("shape dimension " + std::string(text) + " is too large");
      }
      value = value * 10 + unit;
    }
    shape.push_back(value);
  }
  const std::optional<std::size_t> elements = velk_compiler::checked_elements(shape);
  if (!elements || *elements > std::numeric_limits<std::size_t>::max() / FLOAT_SIZE) {
    return refusal("shape " + shape_tuple(shape) + " has too many elements");
  }
  return shape;
}

// ---- writing ----

// The header's dictionary as numpy writes it, spare spaces included.
std::string header_dictionary(const velk_compiler::Shape& shape) {
  std::string text =
      "{'descr': '" + std::string(FLOAT_DTYPE) + "', 'fortran_order': False, 'shape': " + shape_tuple(shape) + ", }";
  if (!shape.empty()) text.append(GROWTH_AXIS_MAX_DIGITS - std::to_string(shape.front()).size(), ' ');
  return text;
}

// The preamble and the padded header of the format version whose length field holds it:
// spaces after the dictionary, at least one, and '\n' so that the data starts at a multiple
// of 64 bytes.
Result<std::string> wrapped_header(std::string_view dictionary) {
  for (const std::uint8_t major : {std::uint8_t{1}, std::uint8_t{2}}) {
    const std::size_t length_size = major == 1 ? 2 : 4;
    const std::size_t preamble = MAGIC_SIZE + VERSION_SIZE + length_size;
    const std::size_t unpadded = dictionary.size() + 1;
    const std::size_t padding = ALIGNMENT - (preamble + unpadded) % ALIGNMENT;
    const std::size_t length = unpadded + padding;
    const std::size_t limit = major == 1 ? 0xFFFF : 0xFFFFFFFF;
    if (length > limit) continue;
    std::string out(MAGIC);
    out += static_cast<char>(major);
    out += '\0';
    append_little_endian(out, static_cast<std::uint32_t>(length), length_size);
    out += dictionary;
    out.append(padding, ' ');
    out += '\n';
    return out;
  }
  return refusal("a header of " + std::to_string(dictionary.size()) + " bytes is too long for a .npy file");
}

}  // namespace

Result<NpyArray> read_npy(std::string_view bytes) {
  if (!bytes.starts_with(MAGIC)) return refusal("not a .npy file: it does not begin with \\x93NUMPY");
  if (bytes.size() < MAGIC_SIZE + VERSION_SIZE) return refusal("the file ends inside its preamble");
  const auto major = static_cast<unsigned char>(bytes[MAGIC_SIZE]);
  const auto minor = static_cast<unsigned char>(bytes[MAGIC_SIZE + 1]);
  if (major < 1 || major > 3 || minor != 0) {
    return refusal("format version " + std::to_string(major) + "." + std::to_string(minor) +
                   " is not supported (only 1.0, 2.0 and 3.0)");
  }
  const std::size_t length_size = major == 1 ? 2 : 4;
  const std::size_t header_start = MAGIC_SIZE + VERSION_SIZE + length_size;
  if (bytes.size() < header_start) return refusal("the file ends inside its preamble");
  const std::size_t header_length = little_endian(bytes.substr(MAGIC_SIZE + VERSION_SIZE, length_size));
  if (header_length > bytes.size() - header_start) {
    return refusal("the header of " + std::to_string(header_length) + " bytes runs past the end of the file");
  }
  const Result<Header> header = read_header(bytes.substr(header_start, header_length));
  if (!header) return std::unexpected(header.error());
  if (*header->descr != FLOAT_DTYPE) {
    return refusal("dtype '" + std::string(*header->descr) +
                   "' is not supported (only '<f4', 32-bit little-endian floats)");
  }
  if (*header->fortran_order) return refusal("fortran_order True is not supported (only C order)");
  Result<velk_compiler::Shape> shape = header_shape(*header->shape);
  if (!shape) return std::unexpected(shape.error());

  // The shape's element count times 4 fits, as header_shape checked.
  const std::string_view data = bytes.substr(header_start + header_length);
  const std::size_t needed = *velk_compiler::checked_elements(*shape) * FLOAT_SIZE;
  if (data.size() != needed) {
    return refusal("data of " + std::to_string(data.size()) + " bytes does not match shape " + shape_tuple(*shape) +
                   ", which needs " + std::to_string(needed));
  }
  NpyArray array{std::move(*shape), std::vector<float>(needed / FLOAT_SIZE)};
  for (std::size_t i = 0; i < array.values.size(); ++i) {
    array.values[i] = std::bit_cast<float>(little_endian(data.substr(i * FLOAT_SIZE, FLOAT_SIZE)));
  }
  return array;
}

Result<std::string> npy_bytes(const NpyArray& array) {
  const std::optional<std::size_t> elements = velk_compiler::checked_elements(array.shape);
  if (!elements) return refusal("shape " + shape_tuple(array.shape) + " has too many elements");
  if (array.values.size() != *elements) {
    return refusal(std::to_string(array.values.size()) + " values do not fill shape " + shape_tuple(array.shape) +
                   ", which holds " + std::to_string(*elements));
  }
  Result<std::string> out = wrapped_header(header_dictionary(array.shape));
  if (!out) return out;
  out->reserve(out->size() + array.values.size() * FLOAT_SIZE);
  for (const float value : array.values) append_little_endian(*out, std::bit_cast<std::uint32_t>(value), FLOAT_SIZE);
  return out;
}

}  // namespace velk_io
