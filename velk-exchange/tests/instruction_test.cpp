// Instruction words: the kind test, the builders at their field boundaries, the field reader,
// advances, the advance rewrite with each of its refusals, the count check, both address
// patchers and the address readers that find what they wrote.
#include "velk_exchange/instruction.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace velk_exchange {
namespace {

constexpr std::uint32_t NONE = 0;

Row row_of(std::uint32_t first, std::uint32_t second = ROW_RETURN_WORD, std::uint32_t third = NONE,
           std::uint32_t fourth = NONE) {
  return Row{ROW_ENTRY_WORD, first, second, third, fourth, NONE, NONE, NONE, NONE};
}

TEST(InstructionKind, MatchesEachPatternUpToItsEdges) {
  const struct {
    std::uint32_t word;
    InstructionKind kind;
  } cases[] = {
      {0x00000000, InstructionKind::Other},      {0x40A00000, InstructionKind::Delay},
      {0x40A7FFFF, InstructionKind::Delay},      {0x40A80000, InstructionKind::Other},
      {0x409FFFFF, InstructionKind::Other},      {ROW_ENTRY_WORD, InstructionKind::Other},
      {ROW_RETURN_WORD, InstructionKind::Other}, {0x5FFFFFFF, InstructionKind::Other},
      {0x60000000, InstructionKind::PicDelay},   {0x63FFFFFF, InstructionKind::PicDelay},
      {0x64000000, InstructionKind::XpicDelay},  {0x67FFFFFF, InstructionKind::XpicDelay},
      {0x68000000, InstructionKind::Other},      {0x6FFFFFFF, InstructionKind::Other},
      {0x70000000, InstructionKind::SendOff},    {0x77FFFFFF, InstructionKind::SendOff},
      {0x78000000, InstructionKind::Send},       {0x7FFFFFFF, InstructionKind::Send},
      {0x80000000, InstructionKind::Other},      {0xFFFFFFFF, InstructionKind::Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(instruction_kind(c.word), c.kind);
  }
}

// Each builder at 0, at its fields' largest values and one past them, where the operand is cut.
TEST(InstructionBuilders, BuildWordsAndCutOperandsToTheirFields) {
  const struct {
    std::string_view name;
    std::uint32_t word;
    std::uint32_t expected;
    std::uint32_t advance;
  } cases[] = {
      {"delay(0)", delay(0), 0x40A00000, 1},
      {"delay(0x7FFFF)", delay(0x7FFFF), 0x40A7FFFF, 524288},
      {"delay(0x80000)", delay(0x80000), 0x40A00000, 1},
      {"delay(all ones)", delay(0xFFFFFFFF), 0x40A7FFFF, 524288},
      {"delay_pic(0, 0, 0)", delay_pic(0, 0, 0), 0x60000000, 1},
      {"delay_pic(127, 1, 0x3FFFF)", delay_pic(127, 1, 0x3FFFF), 0x63FFFFFF, 128},
      {"delay_pic(128, 2, 0x40000)", delay_pic(128, 2, 0x40000), 0x60000000, 1},
      {"delay_pic(0, 0, 0x14000)", delay_pic(0, 0, 0x14000), 0x60014000, 1},
      {"delay_xpic(0, 0, 0)", delay_xpic(0, 0, 0), 0x64000000, 1},
      {"delay_xpic(4095, 1, 0x1FFF)", delay_xpic(4095, 1, 0x1FFF), 0x67FFFFFF, 4096},
      {"delay_xpic(4096, 2, 0x2000)", delay_xpic(4096, 2, 0x2000), 0x64000000, 1},
      {"delay_xpic(17, 0, 1021)", delay_xpic(17, 0, 1021), 0x640443FD, 18},
      {"send_off(0, 0, 0)", send_off(0, 0, 0), 0x70000000, 1},
      {"send_off(63, 0, 0)", send_off(63, 0, 0), 0x77E00000, 64},
      {"send_off(64, 0, 0)", send_off(64, 0, 0), 0x70004000, 65},
      {"send_off(4095, 3, 0)", send_off(4095, 3, 0), 0x77EFC003, 4096},
      {"send_off(4095, 7, 0x7FF)", send_off(4095, 7, 0x7FF), 0x77EFFFFF, 4096},
      {"send_off(4096, 8, 0x800)", send_off(4096, 8, 0x800), 0x70000000, 1},
      {"encode_send(0, 0, 0)", *encode_send(0, 0, 0), 0x78000000, 1},
      {"encode_send(0, 3, 0)", *encode_send(0, 3, 0), 0x78000003, 1},
      {"encode_send(63, 7, 0x3FFFF)", *encode_send(63, 7, 0x3FFFF), 0x7FFFFFFF, 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.word, c.expected);
    EXPECT_EQ(instruction_advance(c.word), c.advance);
  }
}

TEST(InstructionBuilders, SendOffNeverSetsBitTwenty) {
  for (std::uint32_t count_minus_one = 0; count_minus_one < 0x2000; ++count_minus_one) {
    ASSERT_EQ(send_off(count_minus_one, 7, 0x7FF) & (1u << 20), 0u) << count_minus_one;
  }
}

// Words written out by hand from the layouts, read field by field.
TEST(InstructionDecode, ReadsEveryFieldOfEachKind) {
  const struct {
    std::uint32_t word;
    InstructionFields fields;
  } cases[] = {
      {0x40A00000, {.kind = InstructionKind::Delay}},
      {0x40A7FFFF, {.kind = InstructionKind::Delay, .cycles = 0x7FFFF}},
      {0x40A12345, {.kind = InstructionKind::Delay, .cycles = 0x12345}},
      {0x60000000, {.kind = InstructionKind::PicDelay}},
      {0x63FFFFFF, {.kind = InstructionKind::PicDelay, .a = 127, .b = 1, .c = 0x3FFFF}},
      {0x61194000, {.kind = InstructionKind::PicDelay, .a = 35, .b = 0, .c = 0x14000}},
      {0x60040000, {.kind = InstructionKind::PicDelay, .b = 1}},
      {0x64000000, {.kind = InstructionKind::XpicDelay}},
      {0x67FFFFFF, {.kind = InstructionKind::XpicDelay, .a = 4095, .b = 1, .c = 0x1FFF}},
      {0x640443FD, {.kind = InstructionKind::XpicDelay, .a = 17, .b = 0, .c = 1021}},
      {0x64002000, {.kind = InstructionKind::XpicDelay, .b = 1}},
      {0x70000000, {.kind = InstructionKind::SendOff}},
      {0x77E00000, {.kind = InstructionKind::SendOff, .count_minus_one = 63}},
      {0x70004000, {.kind = InstructionKind::SendOff, .count_minus_one = 64}},
      {0x77EFFFFF, {.kind = InstructionKind::SendOff, .count_minus_one = 4095, .base_word = 0x7FF, .direction = 7}},
      {0x74600003, {.kind = InstructionKind::SendOff, .count_minus_one = 35, .direction = 3}},
      {0x70100000, {.kind = InstructionKind::SendOff}},  // bit 20 belongs to no field
      {0x78000000, {.kind = InstructionKind::Send}},
      {0x7FFFFFFF, {.kind = InstructionKind::Send, .count_minus_one = 63, .base_word = 0x3FFFF, .direction = 7}},
      {0x78000203, {.kind = InstructionKind::Send, .count_minus_one = 0, .base_word = 0x40, .direction = 3}},
      {0x79E00003, {.kind = InstructionKind::Send, .count_minus_one = 15, .direction = 3}},
      {ROW_ENTRY_WORD, {}},
      {ROW_RETURN_WORD, {}},
      {0x00000000, {}},
      {0x40A80000, {}},
      {0x6FFFFFFF, {}},
      {0xFFFFFFFF, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(decode_instruction(c.word), c.fields);
  }
}

// Every builder's operands come back from its word at the edges of each field; operands too
// large for their fields come back cut as the builder cut them.
TEST(InstructionDecode, RoundTripsTheBuildersAtTheirFieldBoundaries) {
  for (const std::uint32_t cycles : {0u, 1u, 0x7FFFEu, 0x7FFFFu}) {
    EXPECT_EQ(decode_instruction(delay(cycles)), (InstructionFields{.kind = InstructionKind::Delay, .cycles = cycles}))
        << cycles;
  }
  for (const std::uint32_t a : {0u, 1u, 126u, 127u}) {
    for (const std::uint32_t b : {0u, 1u}) {
      for (const std::uint32_t c : {0u, 1u, RECEIVE_ADDRESS_MARK, 0x3FFFEu, 0x3FFFFu}) {
        SCOPED_TRACE(testing::Message() << a << ", " << b << ", " << c);
        EXPECT_EQ(decode_instruction(delay_pic(a, b, c)),
                  (InstructionFields{.kind = InstructionKind::PicDelay, .a = a, .b = b, .c = c}));
      }
    }
  }
  for (const std::uint32_t a : {0u, 1u, 4094u, 4095u}) {
    for (const std::uint32_t b : {0u, 1u}) {
      for (const std::uint32_t c : {0u, 1u, 0x1FFEu, 0x1FFFu}) {
        SCOPED_TRACE(testing::Message() << a << ", " << b << ", " << c);
        EXPECT_EQ(decode_instruction(delay_xpic(a, b, c)),
                  (InstructionFields{.kind = InstructionKind::XpicDelay, .a = a, .b = b, .c = c}));
      }
    }
  }
  for (const std::uint32_t count_minus_one : {0u, 1u, 63u, 64u, 65u, 4094u, 4095u}) {
    for (const std::uint32_t direction : {0u, 3u, 7u}) {
      for (const std::uint32_t base_word : {0u, 1u, 0x7FFu}) {
        SCOPED_TRACE(testing::Message() << count_minus_one << ", " << direction << ", " << base_word);
        EXPECT_EQ(decode_instruction(send_off(count_minus_one, direction, base_word)),
                  (InstructionFields{.kind = InstructionKind::SendOff,
                                     .count_minus_one = count_minus_one,
                                     .base_word = base_word,
                                     .direction = direction}));
      }
    }
  }
  for (const std::uint32_t count_minus_one : {0u, 1u, 62u, 63u}) {
    for (const std::uint32_t direction : {0u, 3u, 7u}) {
      for (const std::uint32_t base_word : {0u, 1u, 0x3FFFEu, 0x3FFFFu}) {
        SCOPED_TRACE(testing::Message() << count_minus_one << ", " << direction << ", " << base_word);
        const Result<std::uint32_t> send = encode_send(count_minus_one, direction, base_word);
        ASSERT_TRUE(send.has_value());
        EXPECT_EQ(decode_instruction(*send), (InstructionFields{.kind = InstructionKind::Send,
                                                                .count_minus_one = count_minus_one,
                                                                .base_word = base_word,
                                                                .direction = direction}));
      }
    }
  }
  EXPECT_EQ(decode_instruction(delay(0x80005)), (InstructionFields{.kind = InstructionKind::Delay, .cycles = 5}));
  EXPECT_EQ(decode_instruction(delay_pic(129, 3, 0x40007)),
            (InstructionFields{.kind = InstructionKind::PicDelay, .a = 1, .b = 1, .c = 7}));
  EXPECT_EQ(decode_instruction(delay_xpic(4097, 3, 0x2007)),
            (InstructionFields{.kind = InstructionKind::XpicDelay, .a = 1, .b = 1, .c = 7}));
  EXPECT_EQ(
      decode_instruction(send_off(4097, 9, 0x807)),
      (InstructionFields{.kind = InstructionKind::SendOff, .count_minus_one = 1, .base_word = 7, .direction = 1}));
}

TEST(InstructionEncodeSend, RefusesOperandsBeyondTheirFields) {
  const struct {
    std::uint32_t count_minus_one;
    std::uint32_t direction;
    std::uint32_t base_word;
  } cases[] = {{64, 0, 0}, {0, 8, 0}, {0, 0, 0x40000}, {0xFFFFFFFF, 0, 0}, {63, 7, 0xFFFFFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count_minus_one << ", " << c.direction << ", " << c.base_word);
    EXPECT_EQ(encode_send(c.count_minus_one, c.direction, c.base_word),
              std::unexpected(ExchangeError::schedule("send instruction operand")));
  }
}

TEST(InstructionAdvance, WordsOfNoKindTakeNoTime) {
  for (const std::uint32_t word : {ROW_ENTRY_WORD, ROW_RETURN_WORD, 0u, 0x40A80000u, 0x68000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(instruction_advance(word), 0u) << std::hex << word;
  }
}

// Setting an advance and reading it back gives the same advance and touches no other bit.
TEST(InstructionSetAdvance, RoundTripsEveryDelayKindAtItsBoundaries) {
  const struct {
    std::uint32_t word;
    std::uint32_t field_mask;
    std::uint32_t max_advance;
  } kinds[] = {
      {delay(0x12345), 0x0007FFFF, 524288},
      {delay_pic(5, 1, 0x3FFFF), 0x03F80000, 128},
      {delay_xpic(9, 1, 0x1FFF), 0x03FFC000, 4096},
  };
  for (const auto& kind : kinds) {
    for (const std::uint32_t advance : {1u, 2u, kind.max_advance - 1u, kind.max_advance}) {
      SCOPED_TRACE(testing::Message() << std::hex << kind.word << std::dec << " advance " << advance);
      std::uint32_t word = kind.word;
      ASSERT_TRUE(set_instruction_advance(word, advance).has_value());
      EXPECT_EQ(instruction_advance(word), advance);
      EXPECT_EQ(word & ~kind.field_mask, kind.word & ~kind.field_mask);
    }
  }
}

TEST(InstructionSetAdvance, ShortensATenCycleDelayToThree) {
  std::uint32_t word = 0x40A0000A;
  ASSERT_TRUE(set_instruction_advance(word, 3).has_value());
  EXPECT_EQ(word, 0x40A00002u);
}

TEST(InstructionSetAdvance, RefusesWithTheExactMessageAndKeepsTheWord) {
  const struct {
    std::uint32_t word;
    std::uint32_t advance;
    std::string_view message;
  } cases[] = {
      {0x40A0000A, 0, "zero event advance"},
      {0x78000003, 0, "zero event advance"},  // zero is checked before the kind
      {0x00000000, 0, "zero event advance"},
      {0x40A0000A, 0x80001, "delay advance overflow"},
      {0x40A0000A, 0xFFFFFFFF, "delay advance overflow"},
      {delay_pic(5, 0, 0), 129, "PIC delay advance overflow"},
      {delay_xpic(5, 0, 0), 4097, "XPIC delay advance overflow"},
      {0x78000003, 5, "first scheduled event is not a delay"},
      {0x7FE00003, 1, "first scheduled event is not a delay"},
      {send_off(100, 3, 0), 5, "first scheduled event is not a delay"},
      {ROW_ENTRY_WORD, 1, "first scheduled event is not a delay"},
      {ROW_RETURN_WORD, 1, "first scheduled event is not a delay"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word << std::dec << " advance " << c.advance);
    std::uint32_t word = c.word;
    EXPECT_EQ(set_instruction_advance(word, c.advance), std::unexpected(ExchangeError::schedule(c.message)));
    EXPECT_EQ(word, c.word);
  }
}

TEST(InstructionValidateCount, AcceptsOneThroughTheLargestReceiverCount) {
  for (const std::uint32_t count : {1u, 51u, 52u, 53u, 64u, 65u, 4148u}) {
    EXPECT_TRUE(validate_count(count).has_value()) << count;
  }
}

TEST(InstructionValidateCount, RefusesOtherCountsCarryingThem) {
  for (const std::uint32_t count : {0u, 4149u, 0xFFFFFFFFu}) {
    EXPECT_EQ(validate_count(count), std::unexpected(ExchangeError::count(count))) << count;
  }
}

TEST(InstructionPatchSenderAddress, WritesTheWordAddressIntoTheFirstSend) {
  const struct {
    Row row;
    std::uint32_t byte_address;
    Row expected;
  } cases[] = {
      {row_of(0x78000003), 0x100, row_of(0x78000203)},
      {row_of(0x78000003), 0, row_of(0x78000003)},
      {row_of(0x78000003), 0xFFFFC, row_of(0x781FFFFB)},
      {row_of(0x781FFFFB), 0x100, row_of(0x78000203)},  // a second patch replaces the first
      // The send-off after the send keeps its base_word.
      {row_of(0x40A00044, 0x7FE00003, 0x74600003, ROW_RETURN_WORD), 0x100,
       row_of(0x40A00044, 0x7FE00203, 0x74600003, ROW_RETURN_WORD)},
      // Only the first of two sends changes.
      {row_of(0x78000003, 0x78000003, ROW_RETURN_WORD), 0x8, row_of(0x78000013, 0x78000003, ROW_RETURN_WORD)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.byte_address);
    Row row = c.row;
    ASSERT_TRUE(patch_sender_address(row, c.byte_address).has_value());
    EXPECT_EQ(row, c.expected);
  }
}

TEST(InstructionPatchSenderAddress, RefusesBadAddressesAndRowsWithoutSendKeepingTheRow) {
  const struct {
    Row row;
    std::uint32_t byte_address;
  } cases[] = {
      {row_of(0x78000003), 0x102},
      {row_of(0x78000003), 0x101},
      {row_of(0x78000003), 0x100000},
      {row_of(0x78000003), 0xFFFFFFFC},
      {row_of(0x40A00009, 0x70000003, ROW_RETURN_WORD), 0x100},
      {row_of(ROW_RETURN_WORD), 0x100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.byte_address);
    Row row = c.row;
    EXPECT_EQ(patch_sender_address(row, c.byte_address), std::unexpected(ExchangeError::address(c.byte_address)));
    EXPECT_EQ(row, c.row);
  }
  Row row = row_of(0x78000003);
  EXPECT_EQ(patch_sender_address(row, 0x102), std::unexpected(ExchangeError::address(258)));
}

TEST(InstructionReceiveAddressWord, IsAPicDelayWithBothMarkBits) {
  const struct {
    std::uint32_t word;
    bool receive_address;
  } cases[] = {
      {0x60014000, true},
      {0x61194000, true},
      {0x60215FFF, true},
      {0x63FFFFFF, true},
      {delay_pic(20, 1, RECEIVE_ADDRESS_MARK), true},
      {0x60010000, false},  // bit 14 missing
      {0x60004000, false},  // bit 16 missing
      {0x60000000, false},
      {0x64014000, false},  // an XPIC delay carrying the mark
      {0x68014000, false},
      {0x70014000, false},
      {0x78014000, false},
      {0x40A14000, false},
      {ROW_ENTRY_WORD, false},
      {ROW_RETURN_WORD, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_receive_address_word(c.word), c.receive_address) << std::hex << c.word;
  }
}

TEST(InstructionPatchReceiverAddress, WritesTheWindowOffsetIntoTheFirstMarkedPicDelay) {
  const struct {
    Row row;
    std::uint32_t byte_address;
    Row expected;
  } cases[] = {
      {row_of(0x60214000), 0x50010, row_of(0x60214004)},
      {row_of(0x60214000), 0x50000, row_of(0x60214000)},
      {row_of(0x60214000), 0x57FFC, row_of(0x60215FFF)},
      {row_of(0x60215FFF), 0x50010, row_of(0x60214004)},  // a second patch replaces the first
      // XPIC delays and unmarked PIC delays are passed over; only the first mark changes.
      {row_of(0x64014000, 0x60200000, 0x61194000, 0x61194000), 0x50020,
       row_of(0x64014000, 0x60200000, 0x61194008, 0x61194000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.byte_address);
    Row row = c.row;
    ASSERT_TRUE(patch_multicast_receiver_address(row, c.byte_address).has_value());
    EXPECT_EQ(row, c.expected);
  }
}

TEST(InstructionPatchReceiverAddress, TurnsTheOperandIntoTheBufferWordAddress) {
  for (std::uint32_t byte_address = RECEIVE_WINDOW_BASE; byte_address < RECEIVE_WINDOW_LIMIT; byte_address += 4) {
    Row row = row_of(delay_pic(20, 0, RECEIVE_ADDRESS_MARK));
    ASSERT_TRUE(patch_multicast_receiver_address(row, byte_address).has_value());
    ASSERT_EQ(row[1], delay_pic(20, 0, byte_address / 4)) << byte_address;
  }
}

TEST(InstructionPatchReceiverAddress, RefusesBadAddressesAndRowsWithoutMarkKeepingTheRow) {
  const struct {
    Row row;
    std::uint32_t byte_address;
  } cases[] = {
      {row_of(0x60214000), 0x4FFFC},
      {row_of(0x60214000), 0x50002},
      {row_of(0x60214000), 0x58000},
      {row_of(0x60214000), 0},
      {row_of(0x60214000), 0xFFFFFFFC},
      {row_of(0x64014000), 0x50010},
      {row_of(0x60200000, 0x78000003, ROW_RETURN_WORD), 0x50010},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.byte_address);
    Row row = c.row;
    EXPECT_EQ(patch_multicast_receiver_address(row, c.byte_address),
              std::unexpected(ExchangeError::address(c.byte_address)));
    EXPECT_EQ(row, c.row);
  }
}

TEST(InstructionSenderAddress, ReadsTheFirstSendsBaseWordAsBytes) {
  const struct {
    Row row;
    std::optional<std::uint32_t> address;
  } cases[] = {
      {row_of(0x78000003), 0},
      {row_of(0x78000203), 0x100},
      {row_of(0x7FFFFFFF), 0xFFFFC},
      {row_of(0x40A00044, 0x7FE00203, 0x74600013, ROW_RETURN_WORD), 0x100},  // not the send-off's
      {row_of(0x78000013, 0x78000203, ROW_RETURN_WORD), 0x8},                // the first of two sends
      {row_of(0x40A00009, 0x70000013, ROW_RETURN_WORD), std::nullopt},
      {row_of(ROW_RETURN_WORD), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.row[1]);
    EXPECT_EQ(sender_address(c.row), c.address);
  }
}

TEST(InstructionSenderAddress, ReadsBackWhatThePatcherWrote) {
  for (const std::uint32_t byte_address : {0u, 4u, 0x100u, 0x50400u, 0xFFFF8u, 0xFFFFCu}) {
    Row row = row_of(0x40A00044, 0x7FE00003, 0x74600003, ROW_RETURN_WORD);
    ASSERT_TRUE(patch_sender_address(row, byte_address).has_value());
    EXPECT_EQ(sender_address(row), byte_address);
  }
}

TEST(InstructionReceiverAddress, ReadsTheFirstReceiveAddressWordsOperandAsBytes) {
  const struct {
    Row row;
    std::optional<std::uint32_t> address;
  } cases[] = {
      {row_of(0x60214000), RECEIVE_WINDOW_BASE},  // not yet patched: the window's base
      {row_of(0x60214004), 0x50010},
      {row_of(0x60215FFF), 0x57FFC},
      {row_of(0x63FFFFFF), 0xFFFFC},  // the whole of `c`, not only its window offset
      {row_of(0x64014000, 0x60200000, 0x61194008, 0x61194000), 0x50020},
      {row_of(0x64014000, 0x60200000, ROW_RETURN_WORD), std::nullopt},
      {row_of(ROW_RETURN_WORD), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.row[1]);
    EXPECT_EQ(receiver_address(c.row), c.address);
  }
}

TEST(InstructionReceiverAddress, ReadsBackWhatThePatcherWrote) {
  for (std::uint32_t byte_address = RECEIVE_WINDOW_BASE; byte_address < RECEIVE_WINDOW_LIMIT; byte_address += 4) {
    Row row = row_of(0x64014000, delay_pic(35, 0, RECEIVE_ADDRESS_MARK), delay_xpic(0, 0, 0x640), ROW_RETURN_WORD);
    ASSERT_TRUE(patch_multicast_receiver_address(row, byte_address).has_value());
    ASSERT_EQ(receiver_address(row), byte_address);
  }
}

}  // namespace
}  // namespace velk_exchange
