#include "velk_compiler/tile_program.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_exchange/velk_exchange.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::Topology;

const std::vector<std::uint32_t> idle_row(IDLE_ROW.begin(), IDLE_ROW.end());

// Phase 0 computes tensor 1 on tiles 0 and 1, phase 1 sends tensor 1's share from tile 0 to
// tile 2, phase 2 reads it on tile 2 (from staging) and phase 3 reads it again (from home).
Schedule three_phases() {
  const SpecializationKey key{"gelu", {4}, 1, "tail", 16};
  Schedule schedule;
  schedule.tile_count = 4;
  schedule.phases = {
      ComputePhase{
          OpId{0},
          {KernelCommand{0, TensorId{1}, {TensorId{0}}, key}, KernelCommand{1, TensorId{1}, {TensorId{0}}, key}}},
      ExchangePhase{{Transfer{0, 2, TensorId{1}, 64}}},
      ComputePhase{OpId{1}, {KernelCommand{2, TensorId{2}, {TensorId{1}}, key}}},
      ComputePhase{OpId{2}, {KernelCommand{2, TensorId{3}, {TensorId{1}}, key}}},
  };
  schedule.allocations = {
      Allocation{TensorId{0}, 0, 0x58000, 64, 0, 0, Home{}},
      Allocation{TensorId{0}, 1, 0x58000, 64, 0, 0, Home{}},
      Allocation{TensorId{1}, 0, 0x58040, 64, 0, 1, Home{}},
      Allocation{TensorId{1}, 1, 0x58040, 64, 0, 1, Home{}},
      Allocation{TensorId{1}, 2, 0x58080, 64, 0, 3, Home{}},
      Allocation{TensorId{2}, 2, 0x58100, 64, 2, 4, Home{}},
      Allocation{TensorId{3}, 2, 0x58140, 64, 3, 4, Home{}},
      Allocation{TensorId{1}, 2, 0x50000, 64, 1, 2, ExchangeStaging{1}},
  };
  return schedule;
}

TEST(LowerTilePrograms, InterleavesComputeAndExchangeSteps) {
  const Schedule schedule = three_phases();
  const auto programs = schedule.lower_tile_programs(Topology::r77());
  ASSERT_TRUE(programs) << programs.error();
  ASSERT_EQ(programs->size(), 4u);
  const auto lowered = schedule.lower_exchanges(Topology::r77());
  const LoweredExchangeEpoch& epoch = (*lowered)[0].epochs[0];
  const SpecializationKey key{"gelu", {4}, 1, "tail", 16};

  const LoweredTileProgram& tile0 = (*programs)[0];
  ASSERT_EQ(tile0.steps.size(), 2u);
  EXPECT_EQ(tile0.steps[0], LoweredTileStep(LoweredComputeCommand{OpId{0}, 0x58040, {0x58000}, key}));
  EXPECT_EQ(tile0.steps[1], LoweredTileStep(ExchangeStep{1, 0, epoch.row_for(0)}));
  EXPECT_NE(epoch.row_for(0), idle_row);

  const LoweredTileProgram& tile2 = (*programs)[2];
  ASSERT_EQ(tile2.steps.size(), 3u);
  EXPECT_EQ(tile2.steps[1], LoweredTileStep(LoweredComputeCommand{OpId{1}, 0x58100, {0x50000}, key}));  // staged
  EXPECT_EQ(tile2.steps[2], LoweredTileStep(LoweredComputeCommand{OpId{2}, 0x58140, {0x58080}, key}));  // home

  const LoweredTileProgram& tile3 = (*programs)[3];
  EXPECT_EQ(tile3, (LoweredTileProgram{3, {ExchangeStep{1, 0, idle_row}}}));
}

TEST(LowerTilePrograms, MissingHomeIsAMemoryError) {
  Schedule schedule = three_phases();
  std::get<ComputePhase>(schedule.phases[3]).commands[0].output = TensorId{5};
  std::get<ComputePhase>(schedule.phases[3]).commands[0].tile = 3;
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 5 on tile 3")));
  EXPECT_EQ(schedule.home_address(TensorId{5}, 3),
            std::unexpected(CompileError::memory("missing home allocation for tensor 5 on tile 3")));
}

// The walk goes phase by phase, yet the error is the one a tile-by-tile walk meets first:
// the lowest failing tile's first failure, even when a higher tile fails in an earlier phase.
TEST(LowerTilePrograms, ReportsTheLowestFailingTilesFirstError) {
  Schedule schedule;
  schedule.tile_count = 2;
  const auto kernel = [](std::uint16_t tile, std::size_t output) {
    return KernelCommand{tile, TensorId{output}, {}, SpecializationKey{}};
  };
  schedule.phases = {ComputePhase{OpId{0}, {kernel(1, 5)}}, ComputePhase{OpId{1}, {kernel(0, 7), kernel(1, 6)}},
                     ComputePhase{OpId{2}, {kernel(0, 8)}}};
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 7 on tile 0")));
  // Without tile 0's failures, tile 1's first one, from phase 0.
  std::get<ComputePhase>(schedule.phases[1])
      .commands.erase(std::get<ComputePhase>(schedule.phases[1]).commands.begin());
  schedule.phases[2] = ComputePhase{OpId{2}, {}};
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 5 on tile 1")));
}

TEST(LowerTilePrograms, ExchangeErrorsPassThrough) {
  Schedule schedule = three_phases();
  schedule.tile_count = 2000;
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()),
            std::unexpected(CompileError::graph("exchange topology has too few tiles")));
}

TEST(LowerTilePrograms, EncoderBlockRoad) {
  const Schedule schedule = *compile(*encoder_graph(EncoderConfig{}), CompilerOptions{});
  velk_log::EventRecorder recorder;
  Result<std::vector<LoweredTileProgram>> programs;
  {
    velk_log::ScopedSubscriber scope(recorder);
    programs = schedule.lower_tile_programs(Topology::r77());
  }
  ASSERT_TRUE(programs) << programs.error();
  ASSERT_EQ(programs->size(), 64u);
  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    const LoweredTileProgram& program = (*programs)[tile];
    EXPECT_EQ(program.tile, tile);
    std::size_t exchange_steps = 0;
    for (const LoweredTileStep& step : program.steps) exchange_steps += std::holds_alternative<ExchangeStep>(step);
    EXPECT_EQ(exchange_steps, 2u) << tile;
    if (tile >= 32) {
      EXPECT_EQ(program.steps.size(), 2u) << tile;
    }
  }
  EXPECT_EQ(schedule.lower_tile_programs(Topology::r77()), programs);
  const auto events = recorder.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().message, "lowered per-tile programs");
  EXPECT_EQ(events.back().fields, (std::vector<velk_log::OwnedField>{{"tiles", std::uint64_t{64}}}));
}

}  // namespace
}  // namespace velk_compiler
