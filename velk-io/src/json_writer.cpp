// The JSON text writer. nlohmann-json writes the strings that need escapes and every
// fractional number, so those follow its rules exactly; plain strings and integers, by far the
// most of every document, are copied or converted here without a detour through a JSON value.
#include "velk_io/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

namespace velk_io {
namespace {

// Printable ASCII other than the quote and the backslash: what a JSON string holds unchanged.
bool needs_no_escape(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\';
  });
}

void append_string(std::string& out, std::string_view text) {
  if (!needs_no_escape(text)) {
    out += nlohmann::ordered_json(std::string(text)).dump();
    return;
  }
  // One growth of the buffer for the quotes and the text, the most frequent append of all.
  out.resize_and_overwrite(out.size() + text.size() + 2, [&text](char* data, std::size_t size) {
    char* quoted = data + size - text.size() - 2;
    quoted[0] = '"';
    std::copy(text.begin(), text.end(), quoted + 1);
    quoted[text.size() + 1] = '"';
    return size;
  });
}

template <class T>
void append_integer(std::string& out, T value) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, written.ptr);
}

}  // namespace

JsonWriter::JsonWriter(std::ostream& out, JsonLayout layout) : out_(&out), layout_(layout) {
  buffer_.reserve(CHUNK_BYTES + CHUNK_BYTES / 4);
}

JsonWriter::~JsonWriter() { flush(); }

bool JsonWriter::flush() {
  if (!buffer_.empty()) out_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
  return static_cast<bool>(*out_);
}

void JsonWriter::maybe_flush() {
  // A one-line object may still be spread, which rewrites it from its opening bracket; the
  // buffer is only handed over while none is pending.
  const bool pending = layout_ == JsonLayout::laid_out && depth_ > 0 && top().one_line;
  if (buffer_.size() >= CHUNK_BYTES && !pending) flush();
}

void JsonWriter::separator() {
  Frame& frame = top();
  if (layout_ == JsonLayout::compact) {
    if (frame.count > 0) buffer_ += ',';
  } else if (frame.one_line) {
    if (frame.count > 0) buffer_ += ", ";
    frame.member_starts.push_back(buffer_.size());
  } else {
    buffer_ += frame.count > 0 ? ",\n" : "\n";
    buffer_.append(frame.indent + 2, ' ');
  }
  ++frame.count;
}

void JsonWriter::before_value() {
  if (depth_ == 0) return;
  if (top().array) separator();  // in an object, the key wrote it
}

JsonWriter& JsonWriter::key(std::string_view name) {
  separator();
  append_string(buffer_, name);
  buffer_ += layout_ == JsonLayout::compact ? ":" : ": ";
  return *this;
}

// Rewrites a one-line frame with one member per line. Frames inside it lie in its last
// member, which is copied unchanged, so they only move.
void JsonWriter::spread(std::size_t index) {
  Frame& frame = frames_[index];
  const std::size_t body = frame.start + 1;
  std::string& members = spread_members_;
  std::string& spread_text = spread_text_;
  members.assign(buffer_, body);
  spread_text.clear();
  std::size_t shift = 0;
  for (std::size_t k = 0; k < frame.member_starts.size(); ++k) {
    const std::size_t from = frame.member_starts[k] - body;
    const std::size_t to = k + 1 < frame.member_starts.size() ? frame.member_starts[k + 1] - body - 2 : members.size();
    spread_text += k == 0 ? "\n" : ",\n";
    spread_text.append(frame.indent + 2, ' ');
    if (k + 1 == frame.member_starts.size()) shift = body + spread_text.size() - frame.member_starts[k];
    spread_text.append(members, from, to - from);
  }
  buffer_.resize(body);
  buffer_ += spread_text;
  frame.one_line = false;
  frame.member_starts.clear();
  for (std::size_t inner = index + 1; inner < depth_; ++inner) {
    frames_[inner].start += shift;
    for (std::size_t& start : frames_[inner].member_starts) start += shift;
  }
}

void JsonWriter::open(bool array) {
  if (layout_ == JsonLayout::laid_out && depth_ > 0 && top().one_line && (top().array || !array)) {
    // Any container in an array, and an object in an object, make the frames that hold it
    // nested documents: every pending one-line frame goes onto several lines, outermost first.
    std::size_t first = depth_;
    while (first > 0 && frames_[first - 1].one_line) --first;
    for (std::size_t index = first; index < depth_; ++index) spread(index);
  }
  before_value();
  const std::size_t indent = depth_ == 0 ? 0 : top().indent + 2;
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_++];
  frame.array = array;
  frame.one_line = true;
  frame.start = buffer_.size();
  frame.indent = indent;
  frame.count = 0;
  frame.member_starts.clear();
  buffer_ += array ? '[' : '{';
}

void JsonWriter::close(bool array) {
  Frame& frame = top();
  if (layout_ == JsonLayout::laid_out && frame.one_line && !array &&
      buffer_.size() - frame.start + 1 > INLINE_OBJECT_WIDTH) {
    spread(depth_ - 1);
  }
  if (!frame.one_line) {
    buffer_ += '\n';
    buffer_.append(frame.indent, ' ');
  }
  buffer_ += array ? ']' : '}';
  --depth_;
  maybe_flush();
}

void JsonWriter::begin_object() { open(false); }
void JsonWriter::end_object() { close(false); }
void JsonWriter::begin_array() { open(true); }
void JsonWriter::end_array() { close(true); }

void JsonWriter::string(std::string_view text) {
  before_value();
  append_string(buffer_, text);
  maybe_flush();
}

void JsonWriter::boolean(bool value) {
  before_value();
  buffer_ += value ? "true" : "false";
  maybe_flush();
}

void JsonWriter::null() {
  before_value();
  buffer_ += "null";
  maybe_flush();
}

void JsonWriter::number(double value) {
  before_value();
  buffer_ += nlohmann::ordered_json(value).dump();
  maybe_flush();
}

void JsonWriter::unsigned_number(std::uint64_t value) {
  before_value();
  append_integer(buffer_, value);
  maybe_flush();
}

void JsonWriter::signed_number(std::int64_t value) {
  before_value();
  append_integer(buffer_, value);
  maybe_flush();
}

void JsonWriter::raw(std::string_view text) {
  buffer_ += text;
  maybe_flush();
}

}  // namespace velk_io
