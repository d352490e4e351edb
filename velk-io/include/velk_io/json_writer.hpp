// JSON text written as it is produced, for documents too large to hold as a tree: the schedule
// file and the trace. The caller names the values in document order (begin_object, key, number,
// ..., end_object); the writer lays them out and hands the text to a stream in large chunks.
//
// Two layouts:
//   laid out   two spaces per level, arrays of plain values on one line, small flat objects
//              (every member a plain value or an array of them, at most INLINE_OBJECT_WIDTH
//              characters on one line) on one line, everything else one member per line;
//   compact    no blank at all, as nlohmann-json's dump() writes.
// Strings and fractional numbers are written exactly as nlohmann-json writes them, so a
// document written here equals the same document built as a tree and dumped.
//
// A flat object is written on one line first and moved onto several lines when it turns out
// too wide or gains a nested member; only such a pending object (and one array in it) stays in
// the buffer, so the buffer holds about one chunk whatever the document's size.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk_io {

enum class JsonLayout { laid_out, compact };

class JsonWriter {
 public:
  // The widest object that the laid-out form keeps on one line.
  static constexpr std::size_t INLINE_OBJECT_WIDTH = 160;
  // The buffered text is handed to the stream once it reaches this size.
  static constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;

  explicit JsonWriter(std::ostream& out, JsonLayout layout = JsonLayout::laid_out);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  ~JsonWriter();  // flushes

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The next member's name; inside an object, every value follows a key. Returns the writer,
  // so that a member reads w.key("tile").number(tile).
  JsonWriter& key(std::string_view name);

  void string(std::string_view text);
  void boolean(bool value);
  void null();
  void number(double value);
  template <std::integral T>
  requires(!std::same_as<T, bool>) void number(T value) {
    if constexpr (std::signed_integral<T>) {
      signed_number(static_cast<std::int64_t>(value));
    } else {
      unsigned_number(static_cast<std::uint64_t>(value));
    }
  }
  // An array of numbers, on one line in either layout.
  template <std::integral T>
  void numbers(std::span<const T> values) {
    begin_array();
    for (const T value : values) number(value);
    end_array();
  }
  template <std::integral T>
  void numbers(const std::vector<T>& values) {
    numbers(std::span<const T>(values));
  }

  // Text outside any value (between the values of a hand-framed document); only between
  // complete values.
  void raw(std::string_view text);

  // Hands the buffered text to the stream; false when the stream has failed.
  bool flush();

 private:
  struct Frame {
    bool array = false;
    bool one_line = true;                    // still written on one line (laid out), or always (compact)
    std::size_t start = 0;                   // buffer offset of its opening bracket
    std::size_t indent = 0;                  // of its closing bracket, were it written on several lines
    std::size_t count = 0;                   // members or elements so far
    std::vector<std::size_t> member_starts;  // buffer offsets of its members while one_line
  };

  void unsigned_number(std::uint64_t value);
  void signed_number(std::int64_t value);
  void open(bool array);
  void close(bool array);
  // Writes what comes before an array element or an object member (after any key).
  void before_value();
  void separator();
  void spread(std::size_t frame);
  void maybe_flush();
  Frame& top() { return frames_[depth_ - 1]; }

  std::ostream* out_;
  JsonLayout layout_;
  std::string buffer_;
  std::vector<Frame> frames_;  // frames_[0 .. depth_) are open; the rest keep their capacity
  std::size_t depth_ = 0;
  std::string spread_members_;  // scratch of spread(), kept for its capacity
  std::string spread_text_;
};

}  // namespace velk_io
