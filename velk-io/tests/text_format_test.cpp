#include "velk_io/text_format.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace velk_io {
namespace {

TEST(Hex, UpperCaseDigitsPaddedToTheAskedWidth) {
  const std::tuple<std::uint64_t, std::size_t, std::string_view> cases[] = {
      {0, 1, "0x0"},
      {0x58000, 1, "0x58000"},
      {0xE0000, 1, "0xE0000"},
      {0xABC, 8, "0x00000ABC"},
      {0x41800003, 8, "0x41800003"},
      {0x123456789, 8, "0x123456789"},  // padding never cuts
      {std::numeric_limits<std::uint64_t>::max(), 1, "0xFFFFFFFFFFFFFFFF"},
  };
  for (const auto& [value, digits, text] : cases) EXPECT_EQ(hex(value, digits), text) << value;
  EXPECT_EQ(hex_word(0x43A00000), "0x43A00000");
  EXPECT_EQ(hex_word(0), "0x00000000");
}

TEST(Padding, FillsToTheWidthAndNeverCuts) {
  EXPECT_EQ(pad_right("ab", 4), "ab  ");
  EXPECT_EQ(pad_left("ab", 4), "  ab");
  EXPECT_EQ(pad_right("abcdef", 4), "abcdef");
  EXPECT_EQ(pad_left("abcdef", 4), "abcdef");
}

TEST(Plural, OnlyOneIsSingular) {
  EXPECT_EQ(plural(0, "slot"), "0 slots");
  EXPECT_EQ(plural(1, "slot"), "1 slot");
  EXPECT_EQ(plural(2, "slot"), "2 slots");
}

// Four digits at least, more once the highest tile of the count needs them.
TEST(TileNumber, SortsInTileOrderForEveryTileCount) {
  const std::tuple<std::uint16_t, std::uint16_t, std::string_view> cases[] = {
      {0, 0, "0000"},        {7, 64, "0007"},     {1471, 1472, "1471"},
      {9999, 10000, "9999"}, {7, 10001, "00007"}, {65535, 65535, "65535"},
  };
  for (const auto& [tile, count, text] : cases) EXPECT_EQ(tile_number(tile, count), text) << tile << " of " << count;
}

}  // namespace
}  // namespace velk_io
