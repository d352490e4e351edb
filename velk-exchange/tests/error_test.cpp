#include "velk_exchange/error.hpp"

#include <gtest/gtest.h>

namespace velk_exchange {
namespace {

TEST(ExchangeError, RendersNameAndPayload) {
  const struct {
    ExchangeError error;
    std::string_view text;
  } cases[] = {
      {ExchangeError::tile(1472), "Tile(1472)"},
      {ExchangeError::duplicate_tile(), "DuplicateTile"},
      {ExchangeError::count(0), "Count(0)"},
      {ExchangeError::receiver_set(), "ReceiverSet"},
      {ExchangeError::schedule("zero event advance"), "Schedule(\"zero event advance\")"},
      {ExchangeError::address(2), "Address(2)"},
      {ExchangeError::host_packet(), "HostPacket"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_string(c.error), c.text);
}

TEST(ExchangeError, EqualityComparesVariantAndPayload) {
  EXPECT_EQ(ExchangeError::tile(5), ExchangeError::tile(5));
  EXPECT_NE(ExchangeError::tile(5), ExchangeError::tile(6));
  EXPECT_NE(ExchangeError::tile(5), ExchangeError::count(5));
  EXPECT_NE(ExchangeError::count(5), ExchangeError::address(5));
  EXPECT_EQ(ExchangeError::schedule("a"), ExchangeError::schedule("a"));
  EXPECT_NE(ExchangeError::schedule("a"), ExchangeError::schedule("b"));
  EXPECT_EQ(ExchangeError::receiver_set(), ExchangeError::receiver_set());
  EXPECT_NE(ExchangeError::receiver_set(), ExchangeError::duplicate_tile());
}

TEST(ExchangeError, ExposesKindAndPayload) {
  EXPECT_EQ(ExchangeError::tile(65535).kind(), ExchangeError::Kind::Tile);
  EXPECT_EQ(ExchangeError::tile(65535).value(), 65535u);
  EXPECT_EQ(ExchangeError::address(0xFFFFFFFF).value(), 0xFFFFFFFFu);
  EXPECT_EQ(ExchangeError::schedule("m").message(), "m");
  EXPECT_TRUE(ExchangeError::count(3).message().empty());
}

}  // namespace
}  // namespace velk_exchange
