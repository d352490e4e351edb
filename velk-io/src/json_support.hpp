// Private JSON helpers of velk-io: parsing with line and column in the error, a reader that
// checks types, fields and number ranges and names the JSON path of the first refusal, and
// the one layout every document is written in.
//
// The reader keeps the first error and turns every later read into a no-op returning a value-
// initialised result, so a conversion reads a whole record in straight-line code and checks
// `failed()` once before it uses what it read (and before anything that would index with it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk_io/error.hpp"
#include "velk_io/json_writer.hpp"

namespace velk_io {

// Objects keep their members in insertion order, so documents are written in the order the
// records declare their fields.
using Json = nlohmann::ordered_json;

// The document, or an error placed at "line L, column C".
[[nodiscard]] Result<Json> parse_json(std::string_view text);

// The document in JsonWriter's laid-out form (two spaces per level, arrays of plain values and
// small flat objects on one line) and a final newline. The same value always gives the same
// text, and the writer streaming the same values gives it too.
std::string format_json(const Json& document);

// A value of a parsed document and the path that leads to it ("" for the document itself).
struct Node {
  const Json* value = nullptr;
  std::string path;

  Node child(std::string_view key) const;
  Node child(std::size_t index) const;
};

class JsonReader {
 public:
  bool failed() const { return error_.has_value(); }
  const IoError& error() const { return *error_; }

  // Records `message` at the node's path unless an error is already recorded.
  void fail(const Node& node, std::string message);

  // True when the node is an object whose every member is one of `fields`.
  bool object(const Node& node, std::initializer_list<std::string_view> fields);
  // The member, failing with `missing field "key"` when the object lacks it.
  Node field(const Node& object, std::string_view key);
  bool has(const Node& object, std::string_view key) const;

  // The object's "version" member, which must be `known`, the one version this reader reads.
  void version(const Node& object, std::uint64_t known);

  std::vector<Node> array(const Node& node);
  // The array, which must have exactly `count` elements.
  std::vector<Node> array(const Node& node, std::size_t count);
  std::string text(const Node& node);
  bool is_text(const Node& node) const;
  // An integer written without fraction or exponent, 0 … max.
  std::uint64_t unsigned_number(const Node& node, std::uint64_t max);
  template <class T>
  T unsigned_as(const Node& node) {
    return static_cast<T>(unsigned_number(node, std::numeric_limits<T>::max()));
  }
  // Any number that a 32-bit float can hold (rounded to the nearest float).
  float float_number(const Node& node);
  // A string "0x" followed by one to eight hexadecimal digits.
  std::uint32_t hex_word(const Node& node);
  std::vector<std::uint32_t> hex_words(const Node& node);

 private:
  bool usable(const Node& node) const { return !failed() && node.value != nullptr; }
  bool expect(const Node& node, bool ok, std::string_view expected);

  std::optional<IoError> error_;
};

// The words as an array of strings "0x41800003".
void write_hex_words(JsonWriter& writer, std::span<const std::uint32_t> words);

// The float as the shortest decimal that reads back as the same float, held as a double so
// that the document shows that decimal (1e-05, not 9.999999747378752e-06).
double float_as_decimal(float value);

}  // namespace velk_io
