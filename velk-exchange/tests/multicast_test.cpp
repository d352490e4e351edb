// Multicast planning on the R77 topology: the timing model's reference pairs and ranges, the reference
// plans word for word with their cycle totals, the start and receive limits, every refusal in
// its order, the log event, and a sweep showing every planned row can be patched.
#include "velk_exchange/multicast.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "velk_log/log.hpp"

namespace velk_exchange {
namespace {

constexpr std::uint32_t R77_TILES = 1472;

std::uint32_t row_cycles(const Row& row) {
  std::uint32_t cycles = 0;
  for (const std::uint32_t word : row) cycles += instruction_advance(word);
  return cycles;
}

std::size_t count_words(const Row& row, InstructionKind kind) {
  return static_cast<std::size_t>(
      std::ranges::count_if(row, [kind](std::uint32_t word) { return instruction_kind(word) == kind; }));
}

std::size_t count_receive_address_words(const Row& row) {
  return static_cast<std::size_t>(std::ranges::count_if(row, is_receive_address_word));
}

TEST(MulticastTiming, MatchesReferencePairs) {
  const struct {
    std::uint32_t source;
    std::uint32_t destination;
    std::optional<std::int32_t> displacement;
    std::int32_t time_to_mux;
  } cases[] = {
      {0, 2, 2, -28},
      {1440, 0, -47, 112},
      {0, 64, 1, -31},
      {0, 1409, 5, -69},
      {130, 194, {}, -30},
      {2, 1412, 7, -72},
      {63, 0, {}, -13},
      {777, 5, -7, 6},
      {1000, 1001, -5, -25},
      {100, 1400, -31, -24},
      {1021, 0, {}, 17},
      // The pairs below are worked out by hand, as are the ones fuzz/multicast_fuzzer.cpp checks,
      // from the fields of both physical numbers (topology.hpp): column group g, half h (bit 5),
      // row r, bit 0 b0, bits 0–1 L, bits 3–4 q, and e(g) = g for g ≤ 7, else 15 − g:
      //   D = 6 (e(g_d) − e(g_s) − (h_s xor b0_s)) + k,  k = L_d ≤ 1 ? (h_d = L_d ? 1 : 5)
      //                                                              : (h_d = b0_d ? 2 : 4)
      //   time_to_mux = [8 h_s + q_s − g_d + (⌊(g_s mod 8) / 2⌋ xor 3)] + 4 e(g_s) + turn − 4 e(g_d)
      //                 + 2 (r_s − r_d) + |D| − 34,  turn = (g_s mod 8) + 1 within one half,
      //                                                     16 − (g_s mod 8) across.
      // Each comment gives the fields (h = 1 exactly when g ≥ 8; a field not named is 0), D, then
      // the terms of time_to_mux in that order.
      // 1 (g 0, b0 1) → 1412 (r 22, g 1, L 0): D = (1 − 0 − 1) × 6 + 1 = 1;
      //   (0 + 0 − 1 + 3) + 0 + 1 − 4 − 44 + 1 − 34 = −78, the least on the R77.
      {1, 1412, 1, -78},
      // 5 (g 1, b0 1) → 34 (g 8, h 1, L 2, b0 0): D = (7 − 1 − 1) × 6 + 4 = 34;
      //   (0 + 0 − 8 + 3) + 4 + 15 − 28 + 0 + 34 − 34 = −14.
      {5, 34, 34, -14},
      // 1471 (r 22, g 15, q 3, b0 1) → 727 (r 11, g 5, L 3, b0 1): D = (5 − 0 − 0) × 6 + 4 = 34;
      //   (8 + 3 − 5 + 0) + 0 + 9 − 20 + 22 + 34 − 34 = 17.
      {1471, 727, 34, 17},
      // 300 (r 4, g 11, q 1, b0 0) → 483 (r 7, g 8, L 3, b0 1): D = (7 − 4 − 1) × 6 + 2 = 14;
      //   (8 + 1 − 8 + 2) + 16 + 4 − 28 − 6 + 14 − 34 = −31.
      {300, 483, 14, -31},
      // 2047, beyond the card (r 31, g 15, q 3, b0 1) → 0: D = (0 − 0 − 0) × 6 + 1 = 1;
      //   (8 + 3 − 0 + 0) + 0 + 9 − 0 + 62 + 1 − 34 = 49.
      {2047, 0, 1, 49},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " -> " << c.destination);
    if (c.displacement) {
      EXPECT_EQ(route_displacement(c.source, c.destination), *c.displacement);
    }
    EXPECT_EQ(time_to_mux(c.source, c.destination), c.time_to_mux);
  }
}

TEST(MulticastTiming, StaysWithinItsRangesOverAllR77Pairs) {
  std::int32_t min_mux = 0, max_mux = 0, min_displacement = 0, max_displacement = 0;
  for (std::uint32_t source = 0; source < R77_TILES; ++source) {
    for (std::uint32_t destination = 0; destination < R77_TILES; ++destination) {
      const std::int32_t mux = time_to_mux(source, destination);
      const std::int32_t displacement = route_displacement(source, destination);
      min_mux = std::min(min_mux, mux);
      max_mux = std::max(max_mux, mux);
      min_displacement = std::min(min_displacement, displacement);
      max_displacement = std::max(max_displacement, displacement);
    }
  }
  EXPECT_EQ(min_mux, -78);
  EXPECT_EQ(max_mux, 112);
  EXPECT_EQ(min_displacement, -47);
  EXPECT_EQ(max_displacement, 47);
}

TEST(MulticastTiming, ReadsOnlyElevenBitsOfEachTile) {
  for (std::uint32_t source = 0; source < R77_TILES; source += 7) {
    for (const std::uint32_t destination : {0u, 2u, 777u, 1409u, 1471u}) {
      SCOPED_TRACE(testing::Message() << source << " -> " << destination);
      EXPECT_EQ(time_to_mux(source | 0xFFFFF800u, destination | 0x80000800u), time_to_mux(source, destination));
      EXPECT_EQ(route_displacement(source | 0xFFFFF800u, destination | 0x80000800u),
                route_displacement(source, destination));
    }
  }
}

struct ReferencePlan {
  std::string_view name;
  std::uint16_t sender;
  std::vector<std::uint16_t> receivers;
  std::uint32_t count;
  std::uint32_t schedule_offset;
  MulticastPlan plan;
  std::uint32_t sender_cycles;
  std::vector<std::uint32_t> receiver_cycles;
};

constexpr std::uint32_t ENTRY = ROW_ENTRY_WORD;
constexpr std::uint32_t RETURN = ROW_RETURN_WORD;

TEST(Multicast, PlansReferenceMulticastsWordForWord) {
  const ReferencePlan cases[] = {
      {"0 to 1, 16 words",
       0,
       {1},
       16,
       0,
       {{ENTRY, 0x40A0001B, 0x79E00003, RETURN, 0, 0, 0, 0, 0},
        {{ENTRY, 0x64000000, 0x6403C640, 0x61194000, 0x40A00014, RETURN, 0, 0, 0}}},
       44,
       {74}},
      {"0 to 1, 2 and 46, 100 words",
       0,
       {1, 2, 46},
       100,
       0,
       {{ENTRY, 0x40A00044, 0x7FE00003, 0x74600003, RETURN, 0, 0, 0, 0},
        {{ENTRY, 0x640A4000, 0x61994000, 0x640BC640, 0x40A00038, RETURN, 0, 0, 0},
         {ENTRY, 0x64098000, 0x61A94000, 0x640BC640, 0x40A00038, RETURN, 0, 0, 0},
         {ENTRY, 0x64000000, 0x62F94000, 0x640BC640, 0x40A00038, RETURN, 0, 0, 0}}},
       169,
       {199, 198, 202}},
      {"1440 to 0, 1 word",
       1440,
       {0},
       1,
       0,
       {{ENTRY, 0x78000003, 0x40A00004, RETURN, 0, 0, 0, 0, 0},
        {{ENTRY, 0x640443FD, 0x64000640, 0x61914000, 0x40A00005, RETURN, 0, 0, 0}}},
       6,
       {76}},
      {"1440 to 0, 3 words, offset 2",
       1440,
       {0},
       3,
       2,
       {{ENTRY, 0x40A00001, 0x78400003, 0x40A00000, RETURN, 0, 0, 0, 0},
        {{ENTRY, 0x6404C3FD, 0x64008640, 0x61814000, 0x40A00007, RETURN, 0, 0, 0}}},
       6,
       {80}},
      // Physical 128 to 34 has time_to_mux −1: the send starts at cycle 1, so the row holds a
      // delay of no cycles before the send, then pads to 6 cycles.
      {"4 to 737, 2 words, start cycle 1",
       4,
       {737},
       2,
       0,
       {{ENTRY, 0x40A00000, 0x78200003, 0x40A00002, RETURN, 0, 0, 0, 0},
        {{ENTRY, 0x64000080, 0x64004640, 0x61894000, 0x40A00006, RETURN, 0, 0, 0}}},
       6,
       {60}},
  };
  const Topology topology = Topology::r77();
  for (const ReferencePlan& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<MulticastPlan> plan = topology.multicast(c.sender, c.receivers, c.count, c.schedule_offset);
    ASSERT_TRUE(plan.has_value()) << plan.error();
    EXPECT_EQ(*plan, c.plan);
    EXPECT_EQ(row_cycles(plan->sender), c.sender_cycles);
    ASSERT_EQ(plan->receivers.size(), c.receiver_cycles.size());
    for (std::size_t i = 0; i < c.receiver_cycles.size(); ++i) {
      EXPECT_EQ(row_cycles(plan->receivers[i]), c.receiver_cycles[i]) << "receiver " << i;
    }
  }
}

TEST(Multicast, ReceiverRowLayoutChangesAtCounts52And53) {
  const struct {
    std::uint32_t count;
    Row receiver;
  } cases[] = {
      {51, {ENTRY, 0x64000000, 0x640C8640, 0x60014000, 0x40A00037, RETURN, 0, 0, 0}},
      {52, {ENTRY, 0x64000000, 0x61914000, 0x64000640, 0x40A00038, RETURN, 0, 0, 0}},
      {53, {ENTRY, 0x64000000, 0x61994000, 0x64000640, 0x40A00038, RETURN, 0, 0, 0}},
  };
  const Topology topology = Topology::r77();
  const std::uint16_t receivers[] = {1};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const Result<MulticastPlan> plan = topology.multicast(0, receivers, c.count, 0);
    ASSERT_TRUE(plan.has_value()) << plan.error();
    ASSERT_EQ(plan->receivers.size(), 1u);
    EXPECT_EQ(plan->receivers[0], c.receiver);
    EXPECT_EQ(row_cycles(plan->receivers[0]), c.count + 58);  // receive cycle 0, receiver row 0
  }
}

TEST(Multicast, SendsBeyondSixtyFourWordsWithASendOff) {
  const struct {
    std::uint32_t count;
    Row sender;
  } cases[] = {
      {64, {ENTRY, 0x40A0001B, 0x7FE00003, RETURN, 0, 0, 0, 0, 0}},
      {65, {ENTRY, 0x40A0001B, 0x7FE00003, 0x70000003, RETURN, 0, 0, 0, 0}},
      {4148, {ENTRY, 0x40A0001B, 0x7FE00003, 0x766FC003, RETURN, 0, 0, 0, 0}},
  };
  const Topology topology = Topology::r77();
  const std::uint16_t receivers[] = {1};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const Result<MulticastPlan> plan = topology.multicast(0, receivers, c.count, 0);
    ASSERT_TRUE(plan.has_value()) << plan.error();
    EXPECT_EQ(plan->sender, c.sender);
    EXPECT_EQ(row_cycles(plan->sender), 28 + c.count);
  }
  const Result<MulticastPlan> largest = topology.multicast(0, receivers, 4148, 0);
  ASSERT_TRUE(largest.has_value());
  EXPECT_EQ(largest->receivers[0][3], 0x67FFC640u);
}

TEST(Multicast, AcceptsTheLatestStartAndReceiveCycles) {
  const Topology topology = Topology::r77();
  const std::uint16_t to_1[] = {1};
  const std::uint16_t to_0[] = {0};

  const Result<MulticastPlan> latest_start = topology.multicast(0, to_1, 16, 4067);
  ASSERT_TRUE(latest_start.has_value()) << latest_start.error();
  EXPECT_EQ(latest_start->sender[1], delay(4094));  // start cycle 4095
  EXPECT_EQ(latest_start->receivers[0][1], delay_xpic(4067, 0, 0));

  const Result<MulticastPlan> latest_receive = topology.multicast(1440, to_0, 1, 4078);
  ASSERT_TRUE(latest_receive.has_value()) << latest_receive.error();
  EXPECT_EQ(latest_receive->receivers[0][1], delay_xpic(4095, 0, 1021));
  EXPECT_EQ(row_cycles(latest_receive->receivers[0]), 4095u + 1 + 58);

  const std::uint16_t early_and_late[] = {781, 0};
  const Result<MulticastPlan> spread = topology.multicast(780, early_and_late, 1, 3955);
  ASSERT_TRUE(spread.has_value()) << spread.error();
  EXPECT_EQ(spread->receivers[0][1], delay_xpic(3955, 0, 1440));
  EXPECT_EQ(spread->receivers[1][1], delay_xpic(4095, 0, 1440));
}

TEST(Multicast, RefusesWithTheFirstFailingCheck) {
  const struct {
    std::string_view name;
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t schedule_offset;
    ExchangeError error;
  } cases[] = {
      {"count 0", 0, {1}, 0, 0, ExchangeError::count(0)},
      {"count 4149", 0, {1}, 4149, 0, ExchangeError::count(4149)},
      {"count before sender", 1472, {1}, 0, 0, ExchangeError::count(0)},
      {"count before empty set", 65535, {}, 4149, 5000, ExchangeError::count(4149)},
      {"sender 1472", 1472, {1}, 1, 0, ExchangeError::tile(1472)},
      {"sender before empty set", 65535, {}, 1, 0, ExchangeError::tile(65535)},
      {"no receivers", 0, {}, 1, 0, ExchangeError::receiver_set()},
      {"receiver is the sender", 0, {1, 0}, 1, 0, ExchangeError::receiver_set()},
      {"receiver repeated", 0, {1, 2, 1}, 1, 0, ExchangeError::receiver_set()},
      {"receiver 1472", 0, {1, 1472}, 1, 0, ExchangeError::receiver_set()},
      {"receiver 65535", 0, {65535}, 1, 0, ExchangeError::receiver_set()},
      {"receiver set before start cycle", 0, {0}, 1, 4068, ExchangeError::receiver_set()},
      {"start cycle 4096", 0, {1}, 16, 4068, ExchangeError::schedule("multicast start cycle")},
      {"start cycle beyond 32 bits", 0, {1}, 16, 0xFFFFFFFF, ExchangeError::schedule("multicast start cycle")},
      {"receive cycle 4096", 1440, {0}, 1, 4079, ExchangeError::schedule("multicast receive cycle")},
      // Sender physical 1440: receiver 781 waits 28 cycles before the start, receiver 0 112 after it.
      {"late receiver after an early one", 780, {781, 0}, 1, 3956, ExchangeError::schedule("multicast receive cycle")},
  };
  const Topology topology = Topology::r77();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(topology.multicast(c.sender, c.receivers, c.count, c.schedule_offset), std::unexpected(c.error));
  }
}

// A hand-built topology may hold physical numbers the fabric cannot address; those tiles are
// refused like tiles the topology lacks.
TEST(Multicast, RefusesPhysicalNumbersBeyondElevenBits) {
  const Topology topology{{0, 2, 0x800, 0x7FF}};
  const std::uint16_t to_1[] = {1};
  const std::uint16_t to_2[] = {2};
  const std::uint16_t to_3[] = {3};
  EXPECT_TRUE(topology.multicast(0, to_1, 16, 0).has_value());
  EXPECT_EQ(topology.multicast(2, to_1, 16, 0), std::unexpected(ExchangeError::tile(2)));
  EXPECT_EQ(topology.multicast(0, to_2, 16, 0), std::unexpected(ExchangeError::receiver_set()));
  // 0x7FF, the largest number the fabric addresses, is accepted on either side.
  EXPECT_TRUE(topology.multicast(3, to_1, 16, 0).has_value());
  EXPECT_TRUE(topology.multicast(0, to_3, 16, 0).has_value());
}

TEST(Multicast, LogsOneDebugEventPerPlan) {
  velk_log::EventRecorder recorder;
  velk_log::ScopedSubscriber scope(recorder);
  const Topology topology = Topology::r77();
  const std::uint16_t receivers[] = {1, 2, 46};
  ASSERT_TRUE(topology.multicast(0, receivers, 100, 5).has_value());
  const std::vector<velk_log::RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 1u);
  const velk_log::RecordedEvent expected{velk_log::Level::Debug,
                                         "velk_exchange",
                                         "assembled multicast exchange",
                                         {{"sender_logical", std::uint64_t{0}},
                                          {"receivers", std::uint64_t{3}},
                                          {"count", std::uint64_t{100}},
                                          {"schedule_offset", std::uint64_t{5}}}};
  EXPECT_EQ(events[0], expected);
}

TEST(Multicast, LogsNothingWhenRefusing) {
  velk_log::EventRecorder recorder;
  velk_log::ScopedSubscriber scope(recorder);
  const Topology topology = Topology::r77();
  const std::uint16_t to_1[] = {1};
  const std::uint16_t to_0[] = {0};
  EXPECT_FALSE(topology.multicast(0, to_1, 0, 0).has_value());
  EXPECT_FALSE(topology.multicast(1472, to_1, 1, 0).has_value());
  EXPECT_FALSE(topology.multicast(0, to_0, 1, 0).has_value());
  EXPECT_FALSE(topology.multicast(0, to_1, 1, 4068).has_value());
  EXPECT_FALSE(topology.multicast(1440, to_0, 1, 4079).has_value());
  EXPECT_TRUE(recorder.events().empty());
}

// A row opens with the entry word, holds one return word and nothing but 0 after it.
void expect_row_shape(const Row& row) {
  EXPECT_EQ(row[0], ROW_ENTRY_WORD);
  EXPECT_EQ(std::ranges::count(row, ROW_ENTRY_WORD), 1);
  EXPECT_EQ(std::ranges::count(row, ROW_RETURN_WORD), 1);
  const auto end = std::ranges::find(row, ROW_RETURN_WORD);
  EXPECT_TRUE(end != row.end() && std::all_of(end + 1, row.end(), [](std::uint32_t word) { return word == 0; }));
}

// Checks one plan against the row layouts: cycle totals, the sender named in every receiver's
// first wait, exactly one patchable word per row, and both patchers accepting the rows.
void expect_plan_is_well_formed(const Topology& topology, std::uint16_t sender,
                                std::span<const std::uint16_t> receivers, std::uint32_t count,
                                std::uint32_t schedule_offset) {
  const Result<MulticastPlan> plan = topology.multicast(sender, receivers, count, schedule_offset);
  ASSERT_TRUE(plan.has_value()) << plan.error();
  ASSERT_EQ(plan->receivers.size(), receivers.size());
  const std::uint32_t source = topology.logical_to_physical[sender];
  std::int32_t minimum_mux = 0;
  for (const std::uint16_t receiver : receivers) {
    minimum_mux = std::min(minimum_mux, time_to_mux(source, topology.logical_to_physical[receiver]));
  }
  const std::uint32_t start_cycle = static_cast<std::uint32_t>(-minimum_mux) + schedule_offset;
  expect_row_shape(plan->sender);
  EXPECT_EQ(row_cycles(plan->sender), std::max(6u, start_cycle + count));
  EXPECT_EQ(count_words(plan->sender, InstructionKind::Send), 1u);
  Row sender_row = plan->sender;
  EXPECT_TRUE(patch_sender_address(sender_row, 0xFFFFC).has_value());
  EXPECT_EQ(sender_address(sender_row), 0xFFFFCu);
  EXPECT_TRUE(patch_sender_address(sender_row, 0).has_value());
  EXPECT_EQ(sender_address(sender_row), 0u);

  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint32_t physical = topology.logical_to_physical[receivers[i]];
    const std::uint32_t receive_cycle =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(start_cycle) + time_to_mux(source, physical));
    const Row& row = plan->receivers[i];
    expect_row_shape(row);
    EXPECT_EQ(row[1], delay_xpic(receive_cycle, 0, source));
    EXPECT_EQ(row_cycles(row), receive_cycle + count + (physical >> 6) * 2 + 58);
    EXPECT_EQ(count_receive_address_words(row), 1u);
    Row patched = row;
    EXPECT_EQ(receiver_address(row), RECEIVE_WINDOW_BASE);
    EXPECT_TRUE(patch_multicast_receiver_address(patched, RECEIVE_WINDOW_LIMIT - 4).has_value());
    EXPECT_EQ(receiver_address(patched), RECEIVE_WINDOW_LIMIT - 4);
    EXPECT_TRUE(patch_multicast_receiver_address(patched, RECEIVE_WINDOW_BASE).has_value());
    EXPECT_EQ(patched, row);  // the mark's first word address is the window's base
  }
}

TEST(Multicast, EveryPlannedRowIsWellFormedAndPatchable) {
  const Topology topology = Topology::r77();
  const std::uint32_t counts[] = {1, 2, 4, 5, 6, 51, 52, 53, 64, 65, 1000, 4148};
  const std::uint32_t offsets[] = {0, 1, 3, 1000};
  std::size_t round = 0;
  for (std::uint32_t sender = 0; sender < R77_TILES; ++sender) {
    const auto tile = [sender](std::uint32_t step) { return static_cast<std::uint16_t>((sender + step) % R77_TILES); };
    std::vector<std::uint16_t> spread;
    for (std::uint32_t step = 23; step < R77_TILES; step += 23) spread.push_back(tile(step));
    const std::vector<std::uint16_t> sets[] = {{tile(1)}, {tile(46), tile(737), tile(1471)}, spread};
    for (const std::vector<std::uint16_t>& receivers : sets) {
      const std::uint32_t count = counts[round % std::size(counts)];
      const std::uint32_t offset = offsets[round % std::size(offsets)];
      ++round;
      SCOPED_TRACE(testing::Message() << "sender " << sender << ", " << receivers.size() << " receivers, count "
                                      << count << ", offset " << offset);
      expect_plan_is_well_formed(topology, static_cast<std::uint16_t>(sender), receivers, count, offset);
      if (testing::Test::HasFailure()) return;
    }
  }
}

TEST(Multicast, PlansOneSenderToEveryOtherTile) {
  const Topology topology = Topology::r77();
  for (const std::uint16_t sender : {std::uint16_t{0}, std::uint16_t{1440}, std::uint16_t{1471}}) {
    std::vector<std::uint16_t> receivers;
    for (std::uint32_t logical = 0; logical < R77_TILES; ++logical) {
      if (logical != sender) receivers.push_back(static_cast<std::uint16_t>(logical));
    }
    SCOPED_TRACE(sender);
    expect_plan_is_well_formed(topology, sender, receivers, 4148, 0);
  }
}

}  // namespace
}  // namespace velk_exchange
