#include "velk_io/option_values.hpp"

#include <gtest/gtest.h>

namespace velk_io {
namespace {

TEST(ParseUnsigned, DecimalOrHexUpToTheMaximum) {
  struct Case {
    std::string_view text;
    std::uint64_t max;
    Result<std::uint64_t> value;
  };
  const auto refused = [](std::string message) { return std::unexpected(IoError{"--tiles", std::move(message)}); };
  const Case cases[] = {
      {"0", 10, 0},
      {"64", 65535, 64},
      {"65535", 65535, 65535},
      {"65536", 65535, refused("65536 is too large (at most 65535)")},
      {"0x50000", 0xFFFFFFFF, 0x50000},
      {"0XfF", 255, 255},
      {"0x100", 255, refused("0x100 is too large (at most 255)")},
      {"18446744073709551615", 18446744073709551615u, 18446744073709551615u},
      {"18446744073709551616", 18446744073709551615u,
       refused("18446744073709551616 is too large (at most 18446744073709551615)")},
      {"", 10, refused("\"\" is not a number (decimal, or hexadecimal after 0x)")},
      {"0x", 10, refused("\"0x\" is not a number (decimal, or hexadecimal after 0x)")},
      {"-1", 10, refused("\"-1\" is not a number (decimal, or hexadecimal after 0x)")},
      {"+1", 10, refused("\"+1\" is not a number (decimal, or hexadecimal after 0x)")},
      {"12 ", 100, refused("\"12 \" is not a number (decimal, or hexadecimal after 0x)")},
      {"1e3", 10000, refused("\"1e3\" is not a number (decimal, or hexadecimal after 0x)")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_unsigned(c.text, c.max, "--tiles"), c.value);
  }
}

TEST(ParseUnsignedList, CommaSeparatedNumbersEachChecked) {
  using List = std::vector<std::uint64_t>;
  EXPECT_EQ(parse_unsigned_list("64", 65535, "--tiles"), List{64});
  EXPECT_EQ(parse_unsigned_list("8,16,0x20", 65535, "--tiles"), (List{8, 16, 32}));
  EXPECT_EQ(parse_unsigned_list("16,8,16", 65535, "--tiles"), (List{16, 8, 16}));
  EXPECT_EQ(parse_unsigned_list("8,70000", 65535, "--tiles"),
            std::unexpected(IoError{"--tiles", "70000 is too large (at most 65535)"}));
  for (const std::string_view bad : {"", "8,", ",8", "8,,16"}) {
    EXPECT_EQ(parse_unsigned_list(bad, 65535, "--tiles"),
              std::unexpected(IoError{"--tiles", "\"\" is not a number (decimal, or hexadecimal after 0x)"}))
        << bad;
  }
  EXPECT_EQ(parse_unsigned_list("8, 16", 65535, "--tiles"),
            std::unexpected(IoError{"--tiles", "\" 16\" is not a number (decimal, or hexadecimal after 0x)"}));
}

TEST(ParseRanges, RangesAndSingleNumbersWithinTheMaximum) {
  struct Case {
    std::string_view text;
    Result<std::vector<IndexRange>> ranges;
  };
  const auto refused = [](std::string message) {
    return std::unexpected(IoError{"--trace-tiles", std::move(message)});
  };
  const std::string not_a_number = " is not a number (decimal, or hexadecimal after 0x)";
  const Case cases[] = {
      {"0-63", std::vector<IndexRange>{{0, 63}}},
      {"5", std::vector<IndexRange>{{5, 5}}},
      {"0-3,8", std::vector<IndexRange>{{0, 3}, {8, 8}}},
      {"7-7,0x10-0x1F,2", std::vector<IndexRange>{{7, 7}, {16, 31}, {2, 2}}},
      {"0-100", std::vector<IndexRange>{{0, 100}}},
      {"0-101", refused("101 is too large (at most 100)")},
      {"101", refused("101 is too large (at most 100)")},
      {"5-3", refused("range 5-3 is reversed (write the lower number first)")},
      {"0-3,9-8", refused("range 9-8 is reversed (write the lower number first)")},
      {"", refused("\"\"" + not_a_number)},
      {"3-", refused("\"\"" + not_a_number)},
      {"-3", refused("\"\"" + not_a_number)},
      {"1,,2", refused("\"\"" + not_a_number)},
      {"1-2-3", refused("\"2-3\"" + not_a_number)},
      {"1 - 2", refused("\"1 \"" + not_a_number)},
      {"a-b", refused("\"a\"" + not_a_number)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_ranges(c.text, 100, "--trace-tiles"), c.ranges);
  }
}

TEST(InRanges, AnyRangeHoldsTheIndexWithBothEnds) {
  const std::vector<IndexRange> ranges{{2, 4}, {9, 9}};
  std::vector<std::uint64_t> held;
  for (std::uint64_t index = 0; index < 12; ++index) {
    if (in_ranges(ranges, index)) held.push_back(index);
  }
  EXPECT_EQ(held, (std::vector<std::uint64_t>{2, 3, 4, 9}));
  EXPECT_FALSE(in_ranges({}, 0));
}

TEST(ParseWindow, BaseColonLimit) {
  EXPECT_EQ(parse_window("0x58000:0xE0000", "--data-window"), (AddressWindow{0x58000, 0xE0000}));
  EXPECT_EQ(parse_window("0:4294967295", "--data-window"), (AddressWindow{0, 0xFFFFFFFF}));
  EXPECT_EQ(parse_window("0x58000", "--data-window"),
            std::unexpected(IoError{"--data-window", "expected BASE:LIMIT, found \"0x58000\""}));
  EXPECT_EQ(parse_window("1:0x100000000", "--data-window"),
            std::unexpected(IoError{"--data-window", "0x100000000 is too large (at most 4294967295)"}));
  EXPECT_EQ(parse_window(":1", "--data-window"),
            std::unexpected(IoError{"--data-window", "\"\" is not a number (decimal, or hexadecimal after 0x)"}));
}

}  // namespace
}  // namespace velk_io
