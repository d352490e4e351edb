// Plan programs: the cycle sum and its overflow, the builder's reference sequence, each refusal
// leaving the builder as it was, the row parsing edges, and finishing with and without padding.
#include "velk_exchange/plan_program.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace velk_exchange {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t ENTRY = ROW_ENTRY_WORD;
constexpr std::uint32_t RETURN = ROW_RETURN_WORD;
constexpr std::uint32_t LONGEST_DELAY = 0x40A7FFFF;  // 524288 cycles
constexpr std::uint32_t ONE_WORD_SEND = 0x78000003;

// The builder after two reference rows: a send ending at cycle 11, then one ending at 21.
PlanProgramBuilder builder_after_two_rows() {
  PlanProgramBuilder builder;
  EXPECT_TRUE(builder.append_scheduled_row({ENTRY, 0x40A00009, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}).has_value());
  EXPECT_TRUE(builder.append_scheduled_row({ENTRY, 0x40A00013, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}).has_value());
  return builder;
}

TEST(PlanEventCycles, SumsTheAdvances) {
  const struct {
    std::string_view name;
    Words words;
    std::uint32_t cycles;
  } cases[] = {
      {"empty", {}, 0},
      {"fixed words only", {ENTRY, RETURN, 0}, 0},
      {"delay then send", {ENTRY, 0x40A00009, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}, 11},
      {"every timed kind", {delay(9), delay_pic(4, 0, 0), delay_xpic(7, 0, 0), send_off(99, 3, 0), 0x7FE00003}, 187},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(plan_event_cycles(c.words), c.cycles);
  }
}

TEST(PlanEventCycles, ReachesTheLargestTotalAndRefusesOneMore) {
  Words words(8191, LONGEST_DELAY);
  words.push_back(delay(0x7FFFE));
  EXPECT_EQ(plan_event_cycles(words), 0xFFFFFFFFu);

  const Words longest_delays(8192, LONGEST_DELAY);  // 8192 × 524288 = 2^32 cycles
  EXPECT_EQ(plan_event_cycles(longest_delays), std::unexpected(ExchangeError::schedule("plan event horizon overflow")));
}

TEST(PlanProgramBuilder, StartsWithTheEntryWordAndNoCycles) {
  const PlanProgramBuilder builder;
  EXPECT_EQ(builder.words(), Words{ENTRY});
  EXPECT_EQ(builder.event_cycles(), 0u);
}

TEST(PlanProgramBuilder, AppendsTheFirstRowUnchangedAndRetimesTheNext) {
  PlanProgramBuilder builder;
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, 0x40A00009, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(builder.words(), (Words{ENTRY, 0x40A00009, ONE_WORD_SEND}));
  EXPECT_EQ(builder.event_cycles(), 11u);

  // The second row's delay ends at cycle 20; after the 11 cycles spent it takes 9.
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, 0x40A00013, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(builder.words(), (Words{ENTRY, 0x40A00009, ONE_WORD_SEND, 0x40A00008, ONE_WORD_SEND}));
  EXPECT_EQ(builder.event_cycles(), 21u);
  EXPECT_EQ(plan_event_cycles(builder.words()), 21u);
}

TEST(PlanProgramBuilder, RetimesEveryDelayKindToItsPlannedEnd) {
  const struct {
    std::uint32_t first_timed;
    std::uint32_t retimed;
  } cases[] = {
      {delay(21), delay(0)},  // ends at 22, one cycle after the program
      {delay(0x7FFFF), delay(0x7FFFF - 21)},
      {delay_pic(127, 1, 0x14000), delay_pic(127 - 21, 1, 0x14000)},
      {delay_xpic(4095, 1, 1021), delay_xpic(4095 - 21, 1, 1021)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first_timed);
    PlanProgramBuilder builder = builder_after_two_rows();
    Words expected = builder.words();
    ASSERT_TRUE(builder.append_scheduled_row({ENTRY, 0, c.first_timed, ONE_WORD_SEND, RETURN, 0, 0, 0, 0}).has_value());
    expected.insert(expected.end(), {0, c.retimed, ONE_WORD_SEND});
    EXPECT_EQ(builder.words(), expected);
    EXPECT_EQ(builder.event_cycles(), instruction_advance(c.first_timed) + 1);
  }
}

TEST(PlanProgramBuilder, RefusesRowsWithTheExactMessageAndKeepsItsState) {
  const struct {
    std::string_view name;
    Row row;
    std::string_view message;
  } cases[] = {
      {"entry word missing", {0, 0x40A00100, RETURN, 0, 0, 0, 0, 0, 0}, "exchange row entry"},
      {"entry word later", {0x40A00100, ENTRY, RETURN, 0, 0, 0, 0, 0, 0}, "exchange row entry"},
      {"entry checked first", {0, 0, 0, 0, 0, 0, 0, 0, 0}, "exchange row entry"},
      {"return word missing", {ENTRY, 0x40A00100, 0, 0, 0, 0, 0, 0, 0}, "exchange row return"},
      {"no timed word", {ENTRY, RETURN, 0, 0, 0, 0, 0, 0, 0}, "exchange row has no timed event"},
      {"timed word only after the return",
       {ENTRY, 0, RETURN, 0x40A00100, 0, 0, 0, 0, 0},
       "exchange row has no timed event"},
      {"delay ending at the program's end",
       {ENTRY, delay(20), RETURN, 0, 0, 0, 0, 0, 0},
       "overlapping tile exchange roles"},
      {"one-cycle delay", {ENTRY, delay(0), RETURN, 0, 0, 0, 0, 0, 0}, "overlapping tile exchange roles"},
      {"one-word send", {ENTRY, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0, 0}, "overlapping tile exchange roles"},
      {"64-word send", {ENTRY, 0x7FE00003, RETURN, 0, 0, 0, 0, 0, 0}, "first scheduled event is not a delay"},
      {"send-off", {ENTRY, send_off(100, 3, 0), RETURN, 0, 0, 0, 0, 0, 0}, "first scheduled event is not a delay"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlanProgramBuilder builder = builder_after_two_rows();
    const PlanProgramBuilder before = builder;
    EXPECT_EQ(builder.append_scheduled_row(c.row), std::unexpected(ExchangeError::schedule(c.message)));
    EXPECT_EQ(builder, before);
  }
}

TEST(PlanProgramBuilder, TakesTheBodyUpToTheFirstReturnWord) {
  const struct {
    std::string_view name;
    Row row;
    Words body;
  } cases[] = {
      {"empty body", {ENTRY, RETURN, 0, 0, 0, 0, 0, 0, 0}, {}},
      {"words after the return ignored", {ENTRY, delay(9), RETURN, delay(5), RETURN, 7, 7, 7, 7}, {delay(9)}},
      {"seven-word body", {ENTRY, 1, 2, 3, 4, 5, 6, delay(9), RETURN}, {1, 2, 3, 4, 5, 6, delay(9)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlanProgramBuilder builder;
    ASSERT_TRUE(builder.append_scheduled_row(c.row).has_value());
    Words expected{ENTRY};
    expected.insert(expected.end(), c.body.begin(), c.body.end());
    EXPECT_EQ(builder.words(), expected);
    EXPECT_EQ(builder.event_cycles(), plan_event_cycles(expected));
  }
}

// Until the program spends cycles there is nothing to retime against: rows go in as they are.
TEST(PlanProgramBuilder, AppendsRowsUnchangedWhileNoCyclesAreSpent) {
  PlanProgramBuilder builder;
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, RETURN, 0, 0, 0, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(builder, PlanProgramBuilder{});
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, 0x7FE00003, RETURN, 0, 0, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(builder.words(), (Words{ENTRY, 0x7FE00003}));
  EXPECT_EQ(builder.event_cycles(), 64u);
}

// A row's body spends at most 7 × 524288 cycles, and a retimed row ends where its own plan ends,
// so the program's total never exceeds that and appending can never overflow 32 bits: the
// builder refuses the next row as an overlap first.
TEST(PlanProgramBuilder, EventCyclesStayWithinSevenLongestDelays) {
  const Row longest_row{ENTRY,         LONGEST_DELAY, LONGEST_DELAY, LONGEST_DELAY, LONGEST_DELAY,
                        LONGEST_DELAY, LONGEST_DELAY, LONGEST_DELAY, RETURN};
  PlanProgramBuilder builder;
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, delay(0), RETURN, 0, 0, 0, 0, 0, 0}).has_value());
  ASSERT_TRUE(builder.append_scheduled_row(longest_row).has_value());
  EXPECT_EQ(builder.event_cycles(), 7u * 524288u);
  EXPECT_EQ(builder.event_cycles(), plan_event_cycles(builder.words()));

  const PlanProgramBuilder before = builder;
  EXPECT_EQ(builder.append_scheduled_row(longest_row),
            std::unexpected(ExchangeError::schedule("overlapping tile exchange roles")));
  EXPECT_EQ(builder, before);
}

TEST(PlanProgramBuilder, FinishPadsANewBuilderToTheHorizon) {
  const struct {
    std::uint32_t horizon;
    Words program;
  } cases[] = {
      {0, {ENTRY, RETURN}},
      {1, {ENTRY, delay(0), RETURN}},
      {5, {ENTRY, 0x40A00004, RETURN}},
      {524288, {ENTRY, LONGEST_DELAY, RETURN}},
      {524289, {ENTRY, LONGEST_DELAY, delay(0), RETURN}},
      {1048576, {ENTRY, LONGEST_DELAY, LONGEST_DELAY, RETURN}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.horizon);
    const Result<Words> program = PlanProgramBuilder{}.finish(c.horizon);
    ASSERT_TRUE(program.has_value()) << program.error();
    EXPECT_EQ(*program, c.program);
    EXPECT_EQ(plan_event_cycles(*program), c.horizon);
  }
}

TEST(PlanProgramBuilder, FinishPadsTheLargestHorizonWithSeveralDelays) {
  const Result<Words> program = builder_after_two_rows().finish(0xFFFFFFFF);
  ASSERT_TRUE(program.has_value()) << program.error();
  EXPECT_EQ(plan_event_cycles(*program), 0xFFFFFFFFu);
  EXPECT_EQ(program->size(), 5u + 8192u + 1u);  // the program so far, 8191 longest delays and the rest, return
  EXPECT_EQ(std::ranges::count(*program, ENTRY), 1);
  EXPECT_EQ(std::ranges::count(*program, RETURN), 1);
  EXPECT_EQ(program->back(), RETURN);
}

TEST(PlanProgramBuilder, FinishClosesAProgramThatReachesTheHorizon) {
  PlanProgramBuilder builder;
  ASSERT_TRUE(builder.append_scheduled_row({ENTRY, 0x40A00009, ONE_WORD_SEND, RETURN, 0, 0, 0, 0, 0}).has_value());
  EXPECT_EQ(PlanProgramBuilder(builder).finish(11), (Words{ENTRY, 0x40A00009, ONE_WORD_SEND, RETURN}));
  EXPECT_EQ(PlanProgramBuilder(builder).finish(12), (Words{ENTRY, 0x40A00009, ONE_WORD_SEND, delay(0), RETURN}));
  EXPECT_EQ(std::move(builder).finish(10),
            std::unexpected(ExchangeError::schedule("plan horizon precedes tile events")));
}

TEST(PlanProgramBuilder, FinishedProgramKeepsEveryPlannedEvent) {
  const Result<Words> program = builder_after_two_rows().finish(30);
  ASSERT_TRUE(program.has_value()) << program.error();
  EXPECT_EQ(*program, (Words{ENTRY, 0x40A00009, ONE_WORD_SEND, 0x40A00008, ONE_WORD_SEND, delay(8), RETURN}));
  // The two sends end at cycles 11 and 21, as their rows planned.
  Words ends;
  std::uint32_t cycle = 0;
  for (const std::uint32_t word : *program) {
    cycle += instruction_advance(word);
    if (word == ONE_WORD_SEND) ends.push_back(cycle);
  }
  EXPECT_EQ(ends, (Words{11, 21}));
  EXPECT_EQ(cycle, 30u);
}

}  // namespace
}  // namespace velk_exchange
