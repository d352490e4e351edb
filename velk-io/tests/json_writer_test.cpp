#include "velk_io/json_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "json_support.hpp"

namespace velk_io {
namespace {

TEST(JsonWriter, LaysOutNestedValuesAndKeepsSmallFlatOnesOnOneLine) {
  struct Case {
    const char* name;
    std::string document;  // compact JSON
    std::string laid_out;
  };
  const std::string wide(151, 'x');  // {"s": "<151>"} is exactly 160 characters
  const Case cases[] = {
      {"empty object", "{}", "{}\n"},
      {"empty array", "[]", "[]\n"},
      {"plain values on one line", R"([1,-2,true,null,"a"])", "[1, -2, true, null, \"a\"]\n"},
      {"empty containers as members", R"({"a":[],"b":{}})", "{\n  \"a\": [],\n  \"b\": {}\n}\n"},
      {"arrays of arrays", "[[1,2],[3]]", "[\n  [1, 2],\n  [3]\n]\n"},
      {"a plain value before an object", R"([1,{"a":1}])", "[\n  1,\n  {\"a\": 1}\n]\n"},
      {"flat object of the widest inline size", R"({"s":")" + wide + R"("})", "{\"s\": \"" + wide + "\"}\n"},
      {"flat object one character too wide", R"({"s":")" + wide + R"(x"})", "{\n  \"s\": \"" + wide + "x\"\n}\n"},
      {"records in a list", R"({"tile":0,"steps":[{"kind":"x","row":[1,2]}]})",
       "{\n  \"tile\": 0,\n  \"steps\": [\n    {\"kind\": \"x\", \"row\": [1, 2]}\n  ]\n}\n"},
      {"an array that turns nested inside a one-line object", R"([{"a":1,"b":[2,3,[4]]}])",
       "[\n  {\n    \"a\": 1,\n    \"b\": [\n      2,\n      3,\n      [4]\n    ]\n  }\n]\n"},
      {"escapes and fractions as nlohmann-json writes them", R"({"s":"a\"b\\c\n\u00e9","e":1e-05,"h":2.5})",
       "{\"s\": \"a\\\"b\\\\c\\n\xC3\xA9\", \"e\": 1e-05, \"h\": 2.5}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Json document = Json::parse(c.document);
    EXPECT_EQ(format_json(document), c.laid_out);
  }
}

// Writes the same values as a parsed document, through the writer's calls.
void write_values(JsonWriter& writer, const Json& value) {
  if (value.is_object()) {
    writer.begin_object();
    for (const auto& [key, member] : value.items()) write_values(writer.key(key), member);
    writer.end_object();
  } else if (value.is_array()) {
    writer.begin_array();
    for (const Json& element : value) write_values(writer, element);
    writer.end_array();
  } else if (value.is_string()) {
    writer.string(value.get_ref<const std::string&>());
  } else if (value.is_boolean()) {
    writer.boolean(value.get<bool>());
  } else if (value.is_number_unsigned()) {
    writer.number(value.get<std::uint64_t>());
  } else if (value.is_number_integer()) {
    writer.number(value.get<std::int64_t>());
  } else if (value.is_number_float()) {
    writer.number(value.get<double>());
  } else {
    writer.null();
  }
}

TEST(JsonWriter, CompactTextIsNlohmannJsonsDump) {
  const char* documents[] = {
      R"({"ph":"X","cat":"exchange","name":"send","pid":2,"tid":5,"ts":1200,"dur":4,"args":{"phase":7}})",
      R"({"ph":"s","id":3,"ts":1204.5,"bp":"e","args":{}})",
      R"([[],{},[1,[2,{"a":null}]],-7,18446744073709551615,true,false])",
      R"({"tensor_name":"q\"uote\\d\ttab\u0001","word":"0x41800003 é"})",
  };
  for (const char* text : documents) {
    SCOPED_TRACE(text);
    const Json document = Json::parse(text);
    std::ostringstream out;
    {
      JsonWriter writer(out, JsonLayout::compact);
      write_values(writer, document);
    }
    EXPECT_EQ(out.str(), document.dump());
  }
}

// A stream that keeps what it is given and the size of each piece.
class PieceBuffer : public std::streambuf {
 public:
  std::string text;
  std::size_t largest_piece = 0;

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    text.append(data, static_cast<std::size_t>(count));
    largest_piece = std::max(largest_piece, static_cast<std::size_t>(count));
    return count;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) xsputn(reinterpret_cast<const char*>(&c), 1);
    return c;
  }
};

TEST(JsonWriter, HandsOverLargeDocumentsInChunksWithTheSameText) {
  Json document = Json::object();
  document["version"] = 1;
  Json& records = document["records"] = Json::array();
  for (std::uint32_t i = 0; i < 40000; ++i) {
    records.push_back(Json{{"tile", i % 1472}, {"address", i * 64}, {"row", Json::array({"0x41800003", i})}});
    if (i % 7 == 0) records.back()["padding"] = std::string(150, 'p');  // spread onto several lines
  }
  const std::string expected = format_json(document);
  ASSERT_GT(expected.size(), 3 * JsonWriter::CHUNK_BYTES);

  PieceBuffer pieces;
  std::ostream out(&pieces);
  JsonWriter writer(out);
  write_values(writer, document);
  writer.raw("\n");
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(pieces.text, expected);
  EXPECT_LT(pieces.largest_piece, JsonWriter::CHUNK_BYTES + 1024);  // a chunk and at most one record
}

TEST(JsonWriter, FlushReportsAFailedStream) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  JsonWriter writer(out);
  writer.number(1);
  EXPECT_FALSE(writer.flush());
}

}  // namespace
}  // namespace velk_io
