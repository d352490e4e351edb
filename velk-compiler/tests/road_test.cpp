// The whole road of the encoder block at several sizes: graph, schedule, lowered exchanges,
// tile programs and command bytes of every tile, verified and repeated.
#include <gtest/gtest.h>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

struct RoadResult {
  Schedule schedule;
  std::vector<LoweredExchangePhase> exchanges;
  std::vector<LoweredTileProgram> programs;
  std::vector<std::uint8_t> command_bytes;  // every tile's stream, in tile order
};

RoadResult run_road(const EncoderConfig& config, std::uint16_t tiles, std::size_t layers = 1) {
  const Graph graph = *encoder_stack(config, layers);
  const CompilerOptions options{tiles};
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  RoadResult road;
  Result<Program> program = build_program(graph, options, topology);
  EXPECT_TRUE(program) << program.error();
  if (!program) return road;
  road.schedule = std::move(program->schedule);
  road.exchanges = std::move(program->exchanges);
  road.programs = std::move(program->tile_programs);
  EXPECT_EQ(verify_schedule(graph, road.schedule, options), Result<void>{});
  EXPECT_EQ(verify_lowered_exchanges(road.schedule, road.exchanges), Result<void>{});
  EXPECT_EQ(verify_tile_programs(road.schedule, road.exchanges, road.programs), Result<void>{});
  EXPECT_EQ(program->tile_commands.size(), tiles);
  for (const std::vector<EncodedTileCommand>& commands : program->tile_commands) {
    EXPECT_EQ(commands.back().words[0], TILE_COMMAND_END);
    for (const EncodedTileCommand& command : commands) {
      const auto bytes = command.to_le_bytes();
      road.command_bytes.insert(road.command_bytes.end(), bytes.begin(), bytes.end());
    }
  }
  return road;
}

TEST(EncoderRoad, VerifiedAndRepeatableAtSeveralSizes) {
  const struct {
    EncoderConfig config;
    std::uint16_t tiles;
  } cases[] = {
      {EncoderConfig{}, 64},
      {EncoderConfig{8, 16, 2, 32}, 64},
      {EncoderConfig{}, 1},
      {EncoderConfig{128, 256, 8, 1024}, 1472},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sequence " + std::to_string(c.config.sequence) + ", tiles " + std::to_string(c.tiles));
    const RoadResult first = run_road(c.config, c.tiles);
    const RoadResult second = run_road(c.config, c.tiles);
    EXPECT_EQ(first.programs.size(), c.tiles);
    EXPECT_EQ(first.command_bytes, second.command_bytes);
    EXPECT_EQ(first.programs, second.programs);
    EXPECT_EQ(first.exchanges, second.exchanges);
  }
}

// BERT-base: twelve blocks of sequence 128, hidden 768, feed-forward 3072 on the whole card.
TEST(EncoderRoad, BertBaseStackOnTheWholeCardVerifies) {
  const RoadResult road = run_road(EncoderConfig{128, 768, 12, 3072}, 1472, 12);
  EXPECT_EQ(road.schedule.phases.size(), 204u);
  EXPECT_EQ(road.exchanges.size(), 24u);
  EXPECT_EQ(road.programs.size(), 1472u);
}

}  // namespace
}  // namespace velk_compiler
