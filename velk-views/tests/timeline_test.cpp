#include "velk_views/timeline.hpp"

#include <gtest/gtest.h>

#include "exchange_schedule.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/tile_program.hpp"
#include "velk_exchange/plan_program.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;

struct SliceCase {
  std::size_t word_index;
  std::uint32_t word;
  WordRole role;
  std::optional<std::size_t> group;
  std::uint64_t start;
  std::uint64_t end;
};

void expect_slices(const TileLaunch& launch, const std::vector<SliceCase>& expected) {
  ASSERT_EQ(launch.slices.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("slice " + std::to_string(i));
    const WordSlice& slice = launch.slices[i];
    EXPECT_EQ(slice.word_index, expected[i].word_index);
    EXPECT_EQ(slice.word.word, expected[i].word);
    EXPECT_EQ(slice.role, expected[i].role);
    EXPECT_EQ(slice.group, expected[i].group);
    EXPECT_EQ(slice.start_cycle, expected[i].start);
    EXPECT_EQ(slice.end_cycle, expected[i].end);
  }
}

vc::LoweredExchangePhase lower_one(const std::vector<vc::Transfer>& transfers) {
  return vc::exchange_schedule(transfers).lower_exchanges(velk_exchange::Topology::r77()).value().at(0);
}

// 64 bytes from tile 0 to tile 1: the sender's 44 cycles padded to the receiver's 74.
TEST(TileLaunch, SingleGroupSenderAndReceiverWordByWord) {
  const vc::LoweredExchangePhase phase = lower_one({vc::Transfer{0, 1, vc::TensorId{0}, 64}});
  const vc::LoweredExchangeEpoch& epoch = phase.epochs.at(0);

  const Result<TileLaunch> sender = tile_launch(epoch, 0);
  ASSERT_TRUE(sender) << sender.error();
  EXPECT_EQ(sender->program, epoch.tile_rows.at(0));
  expect_slices(*sender, {{1, 0x40A0001B, WordRole::StartDelay, 0, 0, 28},
                          {2, 0x79EC4003, WordRole::Send, 0, 28, 44},
                          {3, 0x40A0001D, WordRole::Padding, std::nullopt, 44, 74}});

  const Result<TileLaunch> receiver = tile_launch(epoch, 1);
  ASSERT_TRUE(receiver) << receiver.error();
  expect_slices(*receiver, {{1, 0x64000000, WordRole::ReceiveWait, 0, 0, 1},
                            {2, 0x6403C640, WordRole::Receive, 0, 1, 17},
                            {3, 0x61194800, WordRole::Receive, 0, 17, 53},
                            {4, 0x40A00014, WordRole::TrailingDelay, 0, 53, 74}});
}

// Tile 1 sends in the first slot and receives in the second; tile 2 receives, then sends.
// Their second rows' first words are shortened to keep their planned cycles.
TEST(TileLaunch, RolesInTwoSlotsKeepTheirGroupsAndPlannedCycles) {
  const vc::LoweredExchangePhase phase =
      lower_one({vc::Transfer{0, 1, vc::TensorId{0}, 64}, vc::Transfer{2, 3, vc::TensorId{1}, 64},
                 vc::Transfer{1, 2, vc::TensorId{2}, 64}});
  const vc::LoweredExchangeEpoch& epoch = phase.epochs.at(0);
  ASSERT_EQ(epoch.groups.size(), 3u);
  ASSERT_EQ(epoch.groups[0].source_tile, 1);  // 1 -> {2} runs first

  const Result<TileLaunch> relay = tile_launch(epoch, 1);
  ASSERT_TRUE(relay) << relay.error();
  std::vector<WordRole> roles;
  std::vector<std::optional<std::size_t>> groups;
  for (const WordSlice& slice : relay->slices) {
    roles.push_back(slice.role);
    groups.push_back(slice.group);
  }
  EXPECT_EQ(roles,
            (std::vector<WordRole>{WordRole::StartDelay, WordRole::Send, WordRole::ReceiveWait, WordRole::Receive,
                                   WordRole::Receive, WordRole::TrailingDelay, WordRole::Padding}));
  EXPECT_EQ(groups, (std::vector<std::optional<std::size_t>>{0, 0, 1, 1, 1, 1, std::nullopt}));

  // The receive wait was shortened: it ends in the program where it ends in its own row.
  const WordSlice& wait = relay->slices[2];
  const vc::LoweredExchangeGroup& second = epoch.groups[1];
  ASSERT_EQ(second.destination_tiles, std::vector<std::uint16_t>{1});
  EXPECT_NE(wait.word.word, second.receivers[0][1]);
  EXPECT_EQ(wait.end_cycle, velk_exchange::instruction_advance(second.receivers[0][1]));
  EXPECT_EQ(relay->slices.back().end_cycle, epoch.cost.estimated_cycles);

  // Tile 2 receives from tile 1, then sends to tile 3 after a start delay shortened from
  // 105 cycles (0x40A00068) to the 29 left after its receive.
  const Result<TileLaunch> forward = tile_launch(epoch, 2);
  ASSERT_TRUE(forward) << forward.error();
  ASSERT_EQ(epoch.groups[2].sender[1], 0x40A00068u);
  expect_slices(*forward, {{1, 0x64000002, WordRole::ReceiveWait, 0, 0, 1},
                           {2, 0x6403C640, WordRole::Receive, 0, 1, 17},
                           {3, 0x61294800, WordRole::Receive, 0, 17, 55},
                           {4, 0x40A00014, WordRole::TrailingDelay, 0, 55, 76},
                           {5, 0x40A0001C, WordRole::StartDelay, 2, 76, 105},
                           {6, 0x79EC4003, WordRole::Send, 2, 105, 121},
                           {7, 0x40A0001F, WordRole::Padding, std::nullopt, 121, 153}});
  EXPECT_EQ(relay->slices.back().end_cycle, epoch.cost.estimated_cycles);
}

// Every launch of the encoder block: each tile's slices run without a gap from cycle 0 to
// the launch's cycles, each ending where plan_event_cycles of its program up to it ends; each
// group has one send on its source and one receive wait on each destination.
TEST(ScheduleTimeline, EncoderLaunchSlicesAgreeWithTheirPrograms) {
  const vc::Graph graph = vc::encoder_graph({}).value();
  const vc::Program program = vc::build_program(graph, {}, velk_exchange::Topology::r77()).value();
  const std::vector<vc::LoweredExchangePhase>& exchanges = program.exchanges;
  const Result<ScheduleTimeline> timeline = schedule_timeline(program);
  ASSERT_TRUE(timeline) << timeline.error();
  ASSERT_EQ(timeline->launches.size(), 2u);
  for (const LaunchTimeline& launch : timeline->launches) {
    SCOPED_TRACE("phase " + std::to_string(launch.phase));
    const vc::LoweredExchangeEpoch& epoch = exchanges.at(launch.phase == 7 ? 0 : 1).epochs.at(0);
    EXPECT_EQ(launch.cycles, epoch.cost.estimated_cycles);
    EXPECT_EQ(launch.group_slots, std::vector<std::size_t>(epoch.groups.size(), 0));
    ASSERT_EQ(launch.tiles.size(), epoch.tile_rows.size());
    std::vector<std::size_t> sends(epoch.groups.size(), 0);
    std::vector<std::size_t> waits(epoch.groups.size(), 0);
    for (const TileLaunch& tile : launch.tiles) {
      SCOPED_TRACE("tile " + std::to_string(tile.tile));
      std::uint64_t cycle = 0;
      for (const WordSlice& slice : tile.slices) {
        EXPECT_EQ(slice.start_cycle, cycle);
        const std::span<const std::uint32_t> prefix(tile.program.data(), slice.word_index + 1);
        EXPECT_EQ(slice.end_cycle, velk_exchange::plan_event_cycles(prefix).value());
        cycle = slice.end_cycle;
        if (slice.role == WordRole::Send) {
          ++sends.at(*slice.group);
          EXPECT_EQ(epoch.groups[*slice.group].source_tile, tile.tile);
        }
        if (slice.role == WordRole::ReceiveWait) ++waits.at(*slice.group);
      }
      EXPECT_EQ(cycle, epoch.cost.estimated_cycles);
    }
    for (std::size_t g = 0; g < epoch.groups.size(); ++g) {
      EXPECT_EQ(sends[g], 1u);
      EXPECT_EQ(waits[g], epoch.groups[g].destination_tiles.size());
    }
  }
}

// Compute phases take the notional kernel length, exchange phases their launch's cycles.
TEST(ScheduleTimeline, EncoderPhasesFollowOneAnother) {
  const vc::Program program =
      vc::build_program(vc::encoder_graph({}).value(), {}, velk_exchange::Topology::r77()).value();
  const Result<ScheduleTimeline> timeline = schedule_timeline(program);
  ASSERT_TRUE(timeline) << timeline.error();
  ASSERT_EQ(timeline->phases.size(), 17u);
  EXPECT_EQ(timeline->phases[0], (PhaseSpan{0, 0, 1000}));
  EXPECT_EQ(timeline->phases[6], (PhaseSpan{6, 6000, 7000}));
  EXPECT_EQ(timeline->phases[7], (PhaseSpan{7, 7000, 7320}));
  EXPECT_EQ(timeline->phases[8], (PhaseSpan{8, 7320, 8320}));
  EXPECT_EQ(timeline->phases[12], (PhaseSpan{12, 11320, 11664}));
  EXPECT_EQ(timeline->phases[16], (PhaseSpan{16, 14664, 15664}));
  EXPECT_EQ(timeline->end_cycle, 15664u);
  EXPECT_EQ(timeline->launches[0].start_cycle, 7000u);
  EXPECT_EQ(timeline->launches[1].start_cycle, 11320u);
}

TEST(ScheduleTimeline, PhaseWithoutTransfersTakesNoTime) {
  vc::Program program;
  program.schedule.phases = {vc::ExchangePhase{}};
  program.exchanges = {vc::LoweredExchangePhase{0, {}, {}}};
  program.group_slots = {{}};
  const Result<ScheduleTimeline> timeline = schedule_timeline(program);
  ASSERT_TRUE(timeline) << timeline.error();
  EXPECT_EQ(timeline->phases, std::vector<PhaseSpan>{(PhaseSpan{0, 0, 0})});
  EXPECT_TRUE(timeline->launches.empty());
}

TEST(ScheduleTimeline, RefusesAnExchangePhaseThatWasNotLowered) {
  vc::Program program;
  program.schedule.phases = {vc::ComputePhase{}, vc::ExchangePhase{}};
  const Result<ScheduleTimeline> timeline = schedule_timeline(program);
  ASSERT_FALSE(timeline);
  EXPECT_EQ(timeline.error(), (IoError{"phases[1]", "exchange phase was not lowered"}));
}

struct TamperCase {
  const char* name;
  std::uint16_t tile;
  std::size_t word;       // position of the program word changed
  std::uint32_t replace;  // its new value
  IoError error;
};

// A program that does not read as its rows plus padding is refused at the word at fault.
TEST(TileLaunch, RefusesProgramsThatDoNotComeFromTheirRows) {
  const vc::LoweredExchangePhase phase = lower_one({vc::Transfer{0, 1, vc::TensorId{0}, 64}});
  const TamperCase cases[] = {
      {"entry word", 0, 0, 0, {"tile 0", "program does not begin with the row entry word"}},
      {"send moved",
       0,
       2,
       0x79EC4013,
       {"tile 0", "word 2 (0x79EC4013) does not come from the row of group 0 (0x79EC4003)"}},
      // A first timed word may change its advance, never its kind.
      {"wait of another kind",
       1,
       1,
       0x40A00000,
       {"tile 1", "word 1 (0x40A00000) does not come from the row of group 0 (0x64000000)"}},
      {"padding that sends", 0, 3, 0x78000003, {"tile 0", "word 3 (0x78000003) is neither a row's word nor padding"}},
      {"return word", 1, 5, 0, {"tile 1", "program does not end with the row return word"}},
  };
  for (const TamperCase& c : cases) {
    SCOPED_TRACE(c.name);
    vc::LoweredExchangeEpoch epoch = phase.epochs.at(0);
    epoch.tile_rows.at(c.tile).at(c.word) = c.replace;
    const Result<TileLaunch> launch = tile_launch(epoch, c.tile);
    ASSERT_FALSE(launch);
    EXPECT_EQ(launch.error(), c.error);
  }
  vc::LoweredExchangeEpoch shortened = phase.epochs.at(0);
  shortened.tile_rows.at(1).resize(3);
  EXPECT_EQ(tile_launch(shortened, 1).error(),
            (IoError{"tile 1", "word 3 does not come from the row of group 0 (0x61194800)"}));
  EXPECT_EQ(tile_launch(phase.epochs.at(0), 5).error(), (IoError{"tile 5", "has no program in the launch"}));
}

// Tile 0 by phase: 100, 100, 150, 80, 80, 40; tile 1 has regions from phase 4 on, the last
// cut at the last phase.
TEST(LiveBytesPerPhase, SumsRegionsLiveInEachPhaseBothEndsCounting) {
  const auto region = [](std::uint16_t tile, std::uint32_t size, std::size_t from, std::size_t until) {
    return vc::Allocation{vc::TensorId{0}, tile, 0, size, from, until, vc::Home{}};
  };
  const std::vector<vc::Allocation> allocations = {region(0, 100, 0, 2), region(0, 50, 2, 4), region(0, 30, 3, 5),
                                                   region(0, 10, 5, 5),  region(1, 7, 4, 4),  region(1, 9, 5, 6)};
  EXPECT_EQ(live_bytes_per_phase(allocations, 0, 6), (std::vector<std::uint64_t>{100, 100, 150, 80, 80, 40}));
  EXPECT_EQ(live_bytes_per_phase(allocations, 1, 6), (std::vector<std::uint64_t>{0, 0, 0, 0, 7, 9}));
  EXPECT_EQ(live_bytes_per_phase(allocations, 2, 3), (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_TRUE(live_bytes_per_phase(allocations, 0, 0).empty());
}

TEST(TileName, PadsToFourDigitsOrTheTileCountsWidth) {
  EXPECT_EQ(tile_name(7, 64), "tile 0007");
  EXPECT_EQ(tile_name(0, 0), "tile 0000");
  EXPECT_EQ(tile_name(9999, 10000), "tile 9999");
  EXPECT_EQ(tile_name(42, 10001), "tile 00042");
}

TEST(SpecializationLabel, ShowsEveryFieldOfTheKey) {
  EXPECT_EQ(specialization_label(vc::SpecializationKey{"matmul", {32, 256}, 1, "body", 16}),
            "matmul [32, 256] body, 1 worker, align 16");
  EXPECT_EQ(specialization_label(vc::SpecializationKey{"add", {64}, 6, "tail", 64}),
            "add [64] tail, 6 workers, align 64");
  EXPECT_EQ(specialization_label(vc::SpecializationKey{"gelu", {}, 2, "body", 16}),
            "gelu [] body, 2 workers, align 16");
}

TEST(WordRoleName, NamesEveryRole) {
  EXPECT_EQ(word_role_name(WordRole::StartDelay), "start delay");
  EXPECT_EQ(word_role_name(WordRole::Send), "send");
  EXPECT_EQ(word_role_name(WordRole::SendOff), "send-off");
  EXPECT_EQ(word_role_name(WordRole::TrailingDelay), "trailing delay");
  EXPECT_EQ(word_role_name(WordRole::ReceiveWait), "receive wait");
  EXPECT_EQ(word_role_name(WordRole::Receive), "receive");
  EXPECT_EQ(word_role_name(WordRole::Padding), "padding");
}

}  // namespace
}  // namespace velk_views
