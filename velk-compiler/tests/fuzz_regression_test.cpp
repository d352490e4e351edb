// Inputs found by the fuzz targets in fuzz/, kept as tests of what they broke.
#include <gtest/gtest.h>

#include <limits>

#include "exchange_schedule.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::Topology;

constexpr TensorId LARGEST{std::numeric_limits<std::size_t>::max()};

// lower_exchanges_fuzzer: a transfer of the tensor with the largest machine-word index made
// the allocation index wrap its tensor count to 0 and write past its table.
TEST(FuzzRegression, LowersATransferOfTheLargestTensorIndex) {
  const Schedule schedule = exchange_schedule(std::vector<Transfer>{{0, 1, LARGEST, 64}});
  const auto lowered = schedule.lower_exchanges(Topology::r77());
  ASSERT_TRUE(lowered) << lowered.error();
  EXPECT_EQ(lowered->at(0).epochs.at(0).groups.at(0).tensor, LARGEST);
  EXPECT_TRUE(verify_lowered_exchanges(schedule, *lowered));
}

// The same index looked up among small ones (a table indexed by tensor) has no regions.
TEST(FuzzRegression, LooksUpTheLargestTensorIndexAmongSmallOnes) {
  Schedule schedule = exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}, {2, 3, TensorId{1}, 64}});
  std::get<ExchangePhase>(schedule.phases[0]).transfers.push_back(Transfer{4, 5, LARGEST, 64});
  EXPECT_EQ(schedule.lower_exchanges(Topology::r77()),
            std::unexpected(CompileError::graph("exchange staging dependencies contain a cycle")));
  schedule.phases.push_back(ComputePhase{OpId{0}, {KernelCommand{1, LARGEST, {TensorId{0}}, {}}}});
  std::get<ExchangePhase>(schedule.phases[0]).transfers.pop_back();
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 18446744073709551615 on tile 1")));
}

}  // namespace
}  // namespace velk_compiler
