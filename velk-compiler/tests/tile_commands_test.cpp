#include "velk_compiler/tile_commands.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {
namespace {

using Words = std::array<std::uint32_t, 8>;

// One transfer of tensor 0 (64 bytes) from tile 0 to tile 1, then one kernel on tile 1.
Schedule two_phase_schedule(std::vector<TensorId> inputs = {TensorId{0}, TensorId{1}}) {
  Schedule schedule;
  schedule.tile_count = 4;
  schedule.phases = {ExchangePhase{{Transfer{0, 1, TensorId{0}, 64}}},
                     ComputePhase{OpId{0}, {KernelCommand{1, TensorId{2}, std::move(inputs), {}}}}};
  return schedule;
}

std::vector<Words> words_of(const Result<std::vector<EncodedTileCommand>>& commands) {
  std::vector<Words> words;
  for (const EncodedTileCommand& c : commands.value()) words.push_back(c.words);
  return words;
}

TEST(TileCommands, StreamsInScheduleOrder) {
  const Schedule schedule = two_phase_schedule();
  const Words transfer = {1, 0, 0, 1, 0, 64, 0, 0};
  const Words kernel = {2, 1, 0, 2, 2, 0, 1, 0};
  const Words end = {0xFF, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(words_of(schedule.tile_commands(1)), (std::vector<Words>{transfer, kernel, end}));
  EXPECT_EQ(words_of(schedule.tile_commands(0)), (std::vector<Words>{transfer, end}));
  EXPECT_EQ(words_of(schedule.tile_commands(3)), (std::vector<Words>{end}));
}

TEST(TileCommands, KernelNamesItsFirstThreeInputs) {
  const Schedule schedule = two_phase_schedule({TensorId{4}, TensorId{5}, TensorId{6}, TensorId{7}});
  EXPECT_EQ(schedule.tile_commands(1)->at(1).words, (Words{2, 1, 0, 2, 4, 4, 5, 6}));
}

TEST(TileCommands, RefusesTilesOutOfRange) {
  EXPECT_EQ(two_phase_schedule().tile_commands(4), std::unexpected(CompileError::graph("tile 4 is out of range")));
  EXPECT_EQ(two_phase_schedule().tile_commands(65535),
            std::unexpected(CompileError::graph("tile 65535 is out of range")));
}

// The one-pass encoding against the per-tile calls, on schedules where the walk could go
// wrong: a self-copy (one command, not two), tiles beyond the count, several per phase.
TEST(TileCommands, AllTilesInOnePassEqualTheCallPerTile) {
  Schedule odd = two_phase_schedule();
  odd.phases.push_back(ExchangePhase{{Transfer{2, 2, TensorId{1}, 4}, Transfer{3, 9, TensorId{1}, 8},
                                      Transfer{9, 0, TensorId{2}, 8}, Transfer{3, 0, TensorId{2}, 8}}});
  odd.phases.push_back(ComputePhase{OpId{1},
                                    {KernelCommand{7, TensorId{3}, {}, {}}, KernelCommand{0, TensorId{3}, {}, {}},
                                     KernelCommand{0, TensorId{4}, {TensorId{3}}, {}}}});
  Schedule empty;
  empty.tile_count = 3;
  for (const Schedule& schedule : {two_phase_schedule(), odd, empty, Schedule{}}) {
    const std::vector<std::vector<EncodedTileCommand>> all = schedule.all_tile_commands();
    ASSERT_EQ(all.size(), schedule.tile_count);
    for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
      EXPECT_EQ(all[tile], schedule.tile_commands(tile).value()) << "tile " << tile;
    }
  }
  EXPECT_EQ(odd.all_tile_commands()[2].size(), 2u);
  EXPECT_EQ(odd.all_tile_commands()[0].size(), 6u);
}

TEST(TileCommands, LittleEndianImage) {
  const std::array<std::uint8_t, 32> transfer = EncodedTileCommand{{1, 0, 0, 1, 0, 64, 0, 0}}.to_le_bytes();
  const std::array<std::uint8_t, 32> expected_transfer = {1, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                                          0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(transfer, expected_transfer);
  std::array<std::uint8_t, 32> expected_end{};
  expected_end[0] = 0xFF;
  EXPECT_EQ((EncodedTileCommand{{0xFF, 0, 0, 0, 0, 0, 0, 0}}.to_le_bytes()), expected_end);
  const std::array<std::uint8_t, 32> mixed =
      EncodedTileCommand{{0x11223344, 0, 0, 0, 0, 0, 0, 0xA1B2C3D4}}.to_le_bytes();
  EXPECT_EQ((std::array<std::uint8_t, 4>{mixed[0], mixed[1], mixed[2], mixed[3]}),
            (std::array<std::uint8_t, 4>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ((std::array<std::uint8_t, 4>{mixed[28], mixed[29], mixed[30], mixed[31]}),
            (std::array<std::uint8_t, 4>{0xD4, 0xC3, 0xB2, 0xA1}));
}

}  // namespace
}  // namespace velk_compiler
