// build_program: the whole road in one call gives exactly what the stages give one by one,
// runs each stage once, and passes every stage's error on.
#include "velk_compiler/program.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

const velk_exchange::Topology& r77() {
  static const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  return topology;
}

TEST(BuildProgram, EqualsTheStagesOneByOne) {
  const struct {
    EncoderConfig config;
    std::uint16_t tiles;
  } cases[] = {{EncoderConfig{}, 64}, {EncoderConfig{}, 1}, {EncoderConfig{64, 128, 4, 512}, 1472}};
  for (const auto& c : cases) {
    SCOPED_TRACE("tiles " + std::to_string(c.tiles));
    const Graph graph = encoder_graph(c.config).value();
    const CompilerOptions options{.tile_count = c.tiles};
    const Result<Program> program = build_program(graph, options, r77());
    ASSERT_TRUE(program) << program.error();
    const Schedule schedule = compile(graph, options).value();
    EXPECT_EQ(program->options, options);
    EXPECT_EQ(program->schedule, schedule);
    EXPECT_EQ(program->exchanges, schedule.lower_exchanges(r77()).value());
    EXPECT_EQ(program->tile_programs, schedule.lower_tile_programs(r77()).value());
    ASSERT_EQ(program->tile_commands.size(), c.tiles);
    for (std::uint16_t tile = 0; tile < c.tiles; ++tile) {
      ASSERT_EQ(program->tile_commands[tile], schedule.tile_commands(tile).value()) << "tile " << tile;
    }
    // Each group's slot is the exchange scheduler's.
    ASSERT_EQ(program->group_slots.size(), program->exchanges.size());
    for (std::size_t i = 0; i < program->exchanges.size(); ++i) {
      const std::size_t phase = program->exchanges[i].phase;
      const auto& transfers = std::get<ExchangePhase>(schedule.phases[phase]).transfers;
      std::vector<std::size_t> expected;
      const auto slots = exchange_slots(schedule, phase, transfers).value();
      for (std::size_t s = 0; s < slots.size(); ++s) expected.insert(expected.end(), slots[s].size(), s);
      EXPECT_EQ(program->group_slots[i], expected) << "phase " << phase;
    }
  }
}

// A ring of four tiles needs two colour slots; its groups come slot by slot.
TEST(LowerSchedule, KeepsEachGroupsSlot) {
  Schedule schedule;
  schedule.tile_count = 4;
  std::vector<Transfer> ring;
  for (std::uint16_t t = 0; t < 4; ++t) {
    ring.push_back(Transfer{t, static_cast<std::uint16_t>((t + 1) % 4), TensorId{t}, 64});
    schedule.allocations.push_back(Allocation{TensorId{t}, t, 0x60000, 64, 0, 1, Home{}});
    schedule.allocations.push_back(
        Allocation{TensorId{t}, static_cast<std::uint16_t>((t + 1) % 4), 0x50000, 64, 0, 1, ExchangeStaging{0}});
  }
  schedule.phases = {ExchangePhase{ring}};
  const Result<Program> program = lower_schedule(schedule, CompilerOptions{.tile_count = 4}, r77());
  ASSERT_TRUE(program) << program.error();
  ASSERT_EQ(program->group_slots.size(), 1u);
  EXPECT_EQ(program->group_slots[0], (std::vector<std::size_t>{0, 0, 1, 1}));
  EXPECT_EQ(program->exchanges, schedule.lower_exchanges(r77()).value());
  EXPECT_EQ(program->tile_programs, schedule.lower_tile_programs(r77()).value());
}

TEST(BuildProgram, PassesEachStagesErrorOn) {
  const Graph graph = encoder_graph({}).value();
  EXPECT_EQ(build_program(graph, CompilerOptions{.tile_count = 0}, r77()),
            std::unexpected(CompileError::graph("invalid compiler options")));
  EXPECT_EQ(build_program(graph, CompilerOptions{.tile_count = 1473}, r77()),
            std::unexpected(CompileError::graph("exchange topology has too few tiles")));
  Schedule missing_home;
  missing_home.tile_count = 1;
  missing_home.phases = {ComputePhase{OpId{0}, {KernelCommand{0, TensorId{3}, {}, {}}}}};
  EXPECT_EQ(lower_schedule(missing_home, {}, r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 3 on tile 0")));
}

// Every stage runs once: one event of each lowering.
TEST(BuildProgram, LowersOnce) {
  velk_log::EventRecorder recorder(velk_log::Level::Info);
  const velk_log::ScopedSubscriber scope(recorder);
  ASSERT_TRUE(build_program(encoder_graph({}).value(), {}, r77()));
  std::vector<std::string> messages;
  for (const velk_log::RecordedEvent& event : recorder.events()) messages.push_back(event.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"compiling graph", "graph compilation completed",
                                                "lowered exchange schedule", "lowered per-tile programs"}));
}

// Progress, for a subscriber that asks for it: each stage in road order, its counts rising
// to its total, interleaved with the stages' own events, which stay as they are.
TEST(BuildProgram, ReportsProgressStageByStage) {
  velk_log::EventRecorder recorder(velk_log::Level::Info, true);
  {
    const velk_log::ScopedSubscriber scope(recorder);
    ASSERT_TRUE(build_program(encoder_graph({}).value(), {}, r77()));
  }
  struct Step {
    std::string stage;
    std::uint64_t done;
    std::uint64_t total;
  };
  std::vector<Step> steps;
  std::vector<std::string> messages;
  for (const velk_log::RecordedEvent& event : recorder.events()) {
    if (event.message != velk_log::PROGRESS_MESSAGE) {
      messages.push_back(event.message);
      continue;
    }
    steps.push_back(Step{std::get<std::string>(*event.field("stage")), std::get<std::uint64_t>(*event.field("done")),
                         std::get<std::uint64_t>(*event.field("total"))});
  }
  std::vector<std::string> stages;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool first = i == 0 || steps[i - 1].stage != steps[i].stage;
    const bool last = i + 1 == steps.size() || steps[i + 1].stage != steps[i].stage;
    if (first) stages.push_back(steps[i].stage);
    if (!first) {
      EXPECT_GE(steps[i].done, steps[i - 1].done) << steps[i].stage;
    }
    if (last) {
      EXPECT_EQ(steps[i].done, steps[i].total) << steps[i].stage;
    }
  }
  EXPECT_EQ(stages,
            (std::vector<std::string>{"phases", "memory plan", "exchange launches", "tile programs", "tile commands"}));
  EXPECT_EQ(messages, (std::vector<std::string>{"compiling graph", "graph compilation completed",
                                                "lowered exchange schedule", "lowered per-tile programs"}));
  const velk_log::RecordedEvent last = recorder.events().back();
  EXPECT_EQ(std::get<std::uint64_t>(*last.field("done")), 64u);
  EXPECT_EQ(std::get<std::string>(*last.field("unit")), "tiles");
}

}  // namespace
}  // namespace velk_compiler
