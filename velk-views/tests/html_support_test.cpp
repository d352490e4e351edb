#include "html_support.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace velk_views {
namespace {

TEST(EscapeHtml, EscapesTheFiveMarkupCharacters) {
  EXPECT_EQ(escape_html(R"(a<b>&"c"'d')"), "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;");
  EXPECT_EQ(escape_html(""), "");
  EXPECT_EQ(escape_html("tile 0007 · 1 KiB"), "tile 0007 · 1 KiB");
}

// A string that can stand in a <script> element: JSON's escapes, and none of the characters
// that could end the element or open a comment in it.
TEST(ScriptJsonString, EscapesJsonAndTheCharactersThatCouldEndTheScript) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"norm2", R"("norm2")"},
      {R"(say "hi" \ bye)", R"("say \"hi\" \\ bye")"},
      {"</script>", R"("\u003c/script\u003e")"},
      {"<!-- & -->", R"("\u003c!-- \u0026 --\u003e")"},
      {"a\nb\tc\x01\x1f", R"("a\nb\tc\u0001\u001f")"},
      {"it's · 1 KiB", R"("it's · 1 KiB")"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(script_json_string(text), expected) << text;
}

TEST(Coordinate, OneDecimalAlways) {
  EXPECT_EQ(coordinate(0), "0.0");
  EXPECT_EQ(coordinate(12.25), "12.2");  // an exact half rounds to even
  EXPECT_EQ(coordinate(12.26), "12.3");
  EXPECT_EQ(coordinate(-3), "-3.0");
  EXPECT_EQ(coordinate(1300), "1300.0");
}

TEST(ByteSize, LargestUnitWithUpToTwoDecimals) {
  const std::pair<std::uint64_t, std::string_view> cases[] = {
      {0, "0 B"},
      {1, "1 B"},
      {1023, "1023 B"},
      {1024, "1 KiB"},
      {1536, "1.5 KiB"},
      {1025, "1 KiB"},
      {1034, "1.01 KiB"},
      {41984, "41 KiB"},
      {1048575, "1024 KiB"},
      {1048576, "1 MiB"},
      {2359296, "2.25 MiB"},
      {std::uint64_t{1} << 30, "1 GiB"},
      {std::uint64_t{1} << 40, "1024 GiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byte_size(bytes), text) << bytes;
}

TEST(TickStep, RoundStepsOfOneTwoOrFiveTimesAPowerOfTen) {
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> cases[] = {
      {0, 5, 1},         {1, 5, 1},
      {5, 5, 1},         {6, 5, 2},
      {10, 5, 2},        {11, 5, 2},
      {25, 5, 5},        {26, 5, 5},
      {51, 5, 10},       {344, 12, 50},
      {15664, 10, 2000}, {64, 16, 5},
      {1472, 16, 100},   {std::numeric_limits<std::uint64_t>::max(), 1, std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& [maximum, count, step] : cases) EXPECT_EQ(tick_step(maximum, count), step) << maximum;
  EXPECT_EQ(tick_step(100, 0), 1u);
}

TEST(ByteTickStep, PowersOfTwo) {
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> cases[] = {
      {0, 5, 1},         {5, 5, 1},        {6, 5, 2},         {41984, 5, 8192},
      {49152, 5, 16384}, {40960, 5, 8192}, {0x2710, 6, 2048}, {100, 0, 1},
  };
  for (const auto& [maximum, count, step] : cases) EXPECT_EQ(byte_tick_step(maximum, count), step) << maximum;
}

TEST(LineChart, OnePolylinePerSeriesAndOnePointPerPresentValue) {
  const std::string svg = line_chart(
      "peak", "bytes", AxisKind::Count, {"8", "16", "32"},
      {ChartSeries{"a", {10, 20, 30}, {true, true, true}}, ChartSeries{"b<c", {5, 0, 7}, {true, false, true}}});
  EXPECT_TRUE(svg.starts_with("<svg class=\"chart\""));
  EXPECT_TRUE(svg.ends_with("</svg>\n"));
  auto count = [&svg](std::string_view needle) {
    std::size_t n = 0;
    for (std::size_t at = svg.find(needle); at != std::string::npos; at = svg.find(needle, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("<polyline"), 2u);
  EXPECT_EQ(count("<circle"), 5u);
  EXPECT_NE(svg.find("<title>b&lt;c, 32 tiles: 7.0 bytes</title>"), std::string::npos);
  EXPECT_EQ(svg.find("b<c"), std::string::npos);
  // Count axes tick at 0, 10, 20, 30; byte axes at powers of two, named in bytes.
  EXPECT_NE(svg.find(">30</text>"), std::string::npos);
  const std::string bytes = line_chart("peak", "bytes", AxisKind::Bytes, {"8"}, {ChartSeries{"a", {3000}, {true}}});
  EXPECT_NE(bytes.find(">2 KiB</text>"), std::string::npos);
  EXPECT_NE(bytes.find(">3 KiB</text>"), std::string::npos);
}

}  // namespace
}  // namespace velk_views
