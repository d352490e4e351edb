#include "velk_compiler/compile.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/verifier.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

Schedule compiled_encoder() {
  const Result<Schedule> schedule = compile(*encoder_graph(EncoderConfig{}), CompilerOptions{});
  EXPECT_TRUE(schedule) << (schedule ? "" : to_string(schedule.error()));
  return schedule.value_or(Schedule{});
}

std::vector<std::uint16_t> tile_run(std::size_t count) {
  std::vector<std::uint16_t> tiles(count);
  for (std::size_t i = 0; i < count; ++i) tiles[i] = static_cast<std::uint16_t>(i);
  return tiles;
}

TEST(CompileEncoder, LayoutsByShape) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const Schedule schedule = compiled_encoder();
  ASSERT_EQ(schedule.layouts.size(), 22u);
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const Shape& shape = graph.tensors[i].shape;
    const std::size_t tiles = shape == Shape{32, 32}                               ? 4
                              : shape == Shape{32, 256}                            ? 32
                              : shape == Shape{64, 64}                             ? 16
                              : shape == Shape{64, 256} || shape == Shape{256, 64} ? 64
                                                                                   : 8;
    EXPECT_EQ(schedule.layouts[i].tiles, tile_run(tiles)) << graph.tensors[i].name;
    EXPECT_EQ(schedule.layouts[i].tensor, TensorId{i});
  }
  for (const Allocation& a : schedule.allocations) EXPECT_EQ(a.size, 1024u) << a;
}

TEST(CompileEncoder, PhasesAndTransfers) {
  const Schedule schedule = compiled_encoder();
  ASSERT_EQ(schedule.phases.size(), 17u);
  std::vector<Transfer> softmax_transfers;
  for (std::uint16_t i = 0; i < 4; ++i)
    softmax_transfers.push_back({i, static_cast<std::uint16_t>(4 + i), TensorId{13}, 1024});
  std::vector<Transfer> norm2_transfers;
  for (std::uint16_t d = 8; d < 32; ++d)
    norm2_transfers.push_back({static_cast<std::uint16_t>(d % 8), d, TensorId{17}, 1024});
  EXPECT_EQ(schedule.phases[7], Phase(ExchangePhase{softmax_transfers}));
  EXPECT_EQ(schedule.phases[12], Phase(ExchangePhase{norm2_transfers}));

  std::size_t op = 0;
  std::size_t launches = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (p == 7 || p == 12) continue;
    const auto* compute = std::get_if<ComputePhase>(&schedule.phases[p]);
    ASSERT_NE(compute, nullptr) << p;
    EXPECT_EQ(compute->op, OpId{op++});
    launches += compute->commands.size();
    EXPECT_EQ(compute->commands.back().specialization.role, "tail");
  }
  EXPECT_EQ(op, 15u);
  EXPECT_EQ(launches, 160u);
  const auto& up = std::get<ComputePhase>(schedule.phases[13]);
  EXPECT_EQ(up.commands.size(), 32u);
  EXPECT_EQ(up.commands[5],
            (KernelCommand{
                5, TensorId{18}, {TensorId{17}, TensorId{5}}, SpecializationKey{"matmul", {32, 256}, 6, "body", 16}}));
}

TEST(CompileEncoder, MemoryPlan) {
  const Schedule schedule = compiled_encoder();
  bool staged = false;
  for (const Allocation& a : schedule.allocations) staged = staged || std::holds_alternative<ExchangeStaging>(a.kind);
  EXPECT_TRUE(staged);
  ASSERT_EQ(schedule.peak_sram.size(), 64u);
  for (const auto& [tile, peak] : schedule.peak_sram) EXPECT_LT(peak, 0x8E000u) << tile;
  // Every region inside its window, no two regions of a tile sharing a byte while both are
  // live, and the peaks matching the regions: the verifier's rules for the memory plan.
  EXPECT_EQ(verify_schedule(*encoder_graph(EncoderConfig{}), schedule, CompilerOptions{}), Result<void>{});
}

TEST(CompileEncoder, Deterministic) { EXPECT_EQ(compiled_encoder(), compiled_encoder()); }

TEST(CompilePhases, AreTheDriversPhases) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const Schedule schedule = compiled_encoder();
  EXPECT_EQ(compile_phases(graph, schedule.layouts), schedule.phases);
}

TEST(Compile, OptionsRules) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  auto with = [](auto change) {
    CompilerOptions options{};
    change(options);
    return options;
  };
  const CompilerOptions invalid[] = {
      with([](CompilerOptions& o) { o.tile_count = 0; }),
      with([](CompilerOptions& o) { o.exchange_base = 0x50000 - 4; }),
      with([](CompilerOptions& o) { o.exchange_limit = 0x58000 + 4; }),
      with([](CompilerOptions& o) { o.exchange_base = o.exchange_limit; }),
      with([](CompilerOptions& o) { o.data_base = 0x57FF0; }),
      with([](CompilerOptions& o) { o.data_limit = o.data_base; }),
  };
  using Option = OptionsProblem::Option;
  const OptionsProblem problems[] = {
      {Option::TileCount, "no tiles: give at least 1"},
      {Option::ExchangeWindow,
       "the window (0x4FFFC:0x58000) is not inside the fabric's receive window (0x50000:0x58000)"},
      {Option::ExchangeWindow,
       "the window (0x50000:0x58004) is not inside the fabric's receive window (0x50000:0x58000)"},
      {Option::ExchangeWindow, "the window (0x58000:0x58000) is empty"},
      {Option::DataWindow,
       "the window (0x57FF0:0xE0000) overlaps the exchange window (0x50000:0x58000), which must lie below it"},
      {Option::DataWindow, "the window (0x58000:0x58000) is empty"},
  };
  for (std::size_t i = 0; i < std::size(invalid); ++i) {
    const CompilerOptions& options = invalid[i];
    EXPECT_FALSE(valid_options(options)) << options;
    EXPECT_EQ(options_problem(options), problems[i]) << options;
    EXPECT_EQ(compile(graph, options), std::unexpected(CompileError::graph("invalid compiler options"))) << options;
  }
  EXPECT_EQ(options_problem(CompilerOptions{}), std::nullopt);
  const CompilerOptions touching = with([](CompilerOptions& o) {
    o.exchange_limit = 0x50010;
    o.data_base = 0x50010;
  });
  EXPECT_TRUE(valid_options(touching));
  EXPECT_TRUE(valid_options(CompilerOptions{}));
}

TEST(Compile, GraphErrorWinsOverOptionsError) {
  Graph graph;
  graph.input("x", {});
  EXPECT_EQ(compile(graph, CompilerOptions{0}), std::unexpected(CompileError::graph("invalid tensor x")));
}

TEST(Compile, OneTileNeedsNoExchange) {
  const Result<Schedule> schedule = compile(*encoder_graph(EncoderConfig{}), CompilerOptions{1});
  ASSERT_TRUE(schedule);
  ASSERT_EQ(schedule->phases.size(), 15u);
  for (const Phase& phase : schedule->phases) EXPECT_TRUE(std::holds_alternative<ComputePhase>(phase));
}

TEST(Compile, SameTileCountGivesOneComputePhase) {
  Graph graph;
  const TensorId x = graph.input("x", {64, 64});
  (void)graph.mark_output(*graph.gelu("y", x));
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule);
  ASSERT_EQ(schedule->phases.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<ComputePhase>(schedule->phases[0]));
}

TEST(Compile, DuplicateOperandWithFewerTilesThanResult) {
  Graph graph;
  const TensorId x = graph.input("x", {256});
  (void)graph.mark_output(*graph.op("pair", Add{}, {x, x}, {4096}));
  EXPECT_EQ(compile(graph, CompilerOptions{}),
            std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch")));
}

TEST(Compile, PeakOfATileWithOneHome) {
  // x [512] spans tiles 0 and 1; its reshape to [256] lives on tile 0 alone.
  Graph graph;
  const TensorId x = graph.input("x", {512});
  (void)graph.mark_output(*graph.op("r", Reshape{{256}}, {x}, {256}));
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule);
  EXPECT_EQ(schedule->peak_sram, (std::map<std::uint16_t, std::uint32_t>{{0, 0x8800}, {1, 0x8400}}));
}

TEST(Compile, LogEvents) {
  velk_log::EventRecorder recorder;
  {
    velk_log::ScopedSubscriber scope(recorder);
    (void)compile(*encoder_graph(EncoderConfig{}), CompilerOptions{});
  }
  const std::vector<velk_log::RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 3u);
  using velk_log::Level;
  using velk_log::OwnedField;
  const Schedule schedule = compiled_encoder();
  std::uint64_t peak = 0;
  for (const auto& [tile, value] : schedule.peak_sram) peak = std::max<std::uint64_t>(peak, value);
  EXPECT_EQ(events[0], (velk_log::RecordedEvent{
                           Level::Info,
                           "velk_compiler",
                           "compiling graph",
                           {OwnedField{"operations", std::uint64_t{15}}, OwnedField{"tensors", std::uint64_t{22}},
                            OwnedField{"tiles", std::uint64_t{64}}}}));
  EXPECT_EQ(events[1], (velk_log::RecordedEvent{
                           Level::Debug, "velk_compiler", "planned tile SRAM", {OwnedField{"peak_bytes", peak}}}));
  EXPECT_EQ(events[2], (velk_log::RecordedEvent{Level::Info,
                                                "velk_compiler",
                                                "graph compilation completed",
                                                {OwnedField{"phases", std::uint64_t{17}},
                                                 OwnedField{"allocations", std::uint64_t{schedule.allocations.size()}},
                                                 OwnedField{"peak_bytes", peak}}}));
}

TEST(Compile, FailureEmitsOnlyTheFirstEvent) {
  velk_log::EventRecorder recorder;
  {
    velk_log::ScopedSubscriber scope(recorder);
    EXPECT_FALSE(compile(Graph{}, CompilerOptions{}));
  }
  ASSERT_EQ(recorder.events().size(), 1u);
  EXPECT_EQ(recorder.events()[0].message, "compiling graph");
}

TEST(ValidateTransfers, Rules) {
  const TensorId a{0};
  const TensorId b{1};
  EXPECT_TRUE(validate_transfers({}));
  const std::vector<Transfer> self = {{3, 3, a, 4}};
  const std::vector<Transfer> empty = {{3, 4, a, 0}};
  const std::vector<Transfer> twice = {{1, 4, a, 4}, {2, 4, a, 4}};
  const std::vector<Transfer> different_tensors = {{1, 4, a, 4}, {2, 4, b, 4}};
  EXPECT_EQ(validate_transfers(self), std::unexpected(CompileError::graph("invalid exchange transfer")));
  EXPECT_EQ(validate_transfers(empty), std::unexpected(CompileError::graph("invalid exchange transfer")));
  EXPECT_EQ(validate_transfers(twice),
            std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch")));
  EXPECT_TRUE(validate_transfers(different_tensors));
}

// Forty transfers from tile 0 to tiles 1 … 40, too many for the insertion sort std::sort
// uses on short ranges; one later transfer repeats an earlier one's pair and one is made bad.
// Whichever comes first in list order decides, also when the bad one lies between the two.
TEST(ValidateTransfers, FirstBadTransferInListOrderDecidesInALongList) {
  const struct {
    std::string_view name;
    std::size_t repeated;
    std::size_t repeat;
    std::size_t bad;
    bool self_copy;  // else it moves 0 bytes
    std::string_view expected;
  } cases[] = {
      {"repeat before a zero-byte transfer", 0, 15, 30, false, "multiple sends target one tensor region in an epoch"},
      {"self-copy between the pair", 0, 30, 15, true, "invalid exchange transfer"},
      {"zero-byte transfer between the pair", 0, 30, 15, false, "invalid exchange transfer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Transfer> transfers;
    for (std::uint16_t tile = 1; tile <= 40; ++tile) transfers.push_back(Transfer{0, tile, TensorId{0}, 4});
    transfers[c.repeat].destination_tile = transfers[c.repeated].destination_tile;
    if (c.self_copy)
      transfers[c.bad].source_tile = transfers[c.bad].destination_tile;
    else
      transfers[c.bad].bytes = 0;
    EXPECT_EQ(validate_transfers(transfers), std::unexpected(CompileError::graph(std::string(c.expected))));
  }
}

}  // namespace
}  // namespace velk_compiler
