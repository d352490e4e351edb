#include "velk_compiler/error.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace velk_compiler {
namespace {

using velk_exchange::ExchangeError;

std::optional<ExchangeError> carried(const CompileError& error) {
  if (const ExchangeError* exchange = error.exchange_error()) return *exchange;
  return std::nullopt;
}

// Each kind renders as its name, a colon and its text; only an Exchange error carries an
// exchange error, and it carries no message of its own.
TEST(CompileError, EachKindCarriesAndRendersItsOwnPart) {
  const struct {
    CompileError error;
    CompileError::Kind kind;
    std::string_view message;
    std::optional<ExchangeError> exchange;
    std::string_view text;
  } cases[] = {
      {CompileError::graph("graph has no outputs"), CompileError::Kind::Graph, "graph has no outputs", std::nullopt,
       "graph: graph has no outputs"},
      {CompileError::memory("address overflow"), CompileError::Kind::Memory, "address overflow", std::nullopt,
       "memory: address overflow"},
      {ExchangeError::tile(1472), CompileError::Kind::Exchange, "", ExchangeError::tile(1472), "exchange: Tile(1472)"},
      {ExchangeError::schedule("zero event advance"), CompileError::Kind::Exchange, "",
       ExchangeError::schedule("zero event advance"), "exchange: Schedule(\"zero event advance\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(carried(c.error), c.exchange);
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

}  // namespace
}  // namespace velk_compiler
