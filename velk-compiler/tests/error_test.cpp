#include "velk_compiler/error.hpp"

#include <gtest/gtest.h>

namespace velk_compiler {
namespace {

using velk_exchange::ExchangeError;

TEST(CompileError, CarriesExchangeErrorUnchanged) {
  const CompileError error = ExchangeError::tile(1472);
  EXPECT_EQ(error.kind(), CompileError::Kind::Exchange);
  ASSERT_NE(error.exchange_error(), nullptr);
  EXPECT_EQ(*error.exchange_error(), ExchangeError::tile(1472));
  EXPECT_EQ(to_string(error), "exchange: Tile(1472)");
}

TEST(CompileError, PropagatesThroughResult) {
  auto lower = []() -> Result<int> { return std::unexpected(ExchangeError::count(0)); };
  const Result<int> result = lower();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), CompileError(ExchangeError::count(0)));
}

TEST(CompileError, KindsAndMessages) {
  EXPECT_EQ(CompileError::graph("m").kind(), CompileError::Kind::Graph);
  EXPECT_EQ(CompileError::memory("m").kind(), CompileError::Kind::Memory);
  EXPECT_EQ(CompileError::graph("m").exchange_error(), nullptr);
  EXPECT_NE(CompileError::graph("m"), CompileError::memory("m"));
  EXPECT_NE(CompileError(ExchangeError::tile(5)), CompileError(ExchangeError::count(5)));
  EXPECT_EQ(to_string(CompileError::graph("graph has no outputs")), "graph: graph has no outputs");
  EXPECT_EQ(to_string(CompileError::memory("address overflow")), "memory: address overflow");
}

}  // namespace
}  // namespace velk_compiler
