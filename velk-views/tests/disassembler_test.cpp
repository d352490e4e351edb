#include "velk_views/disassembler.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_views {
namespace {

using velk_exchange::InstructionKind;

struct WordCase {
  std::uint32_t word;
  InstructionKind kind;
  std::string_view name;
  std::vector<WordField> fields;
  std::uint32_t advance;
};

std::uint32_t send(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word) {
  return velk_exchange::encode_send(count_minus_one, direction, base_word).value();
}

// Words built by the exchange library decode into the operands they were built from.
TEST(DecodeWords, ReadsTheFieldsTheBuildersWrite) {
  using velk_exchange::delay;
  using velk_exchange::delay_pic;
  using velk_exchange::delay_xpic;
  using velk_exchange::send_off;
  const WordCase cases[] = {
      {delay(0), InstructionKind::Delay, "delay", {{"cycles", 0}}, 1},
      {delay(0x7FFFF), InstructionKind::Delay, "delay", {{"cycles", 0x7FFFF}}, 524288},
      {delay_pic(0, 0, 0x14000), InstructionKind::PicDelay, "pic-delay", {{"a", 0}, {"b", 0}, {"c", 0x14000}}, 1},
      {delay_pic(127, 1, 0x3FFFF), InstructionKind::PicDelay, "pic-delay", {{"a", 127}, {"b", 1}, {"c", 0x3FFFF}}, 128},
      {delay_xpic(4095, 1, 0x1FFF),
       InstructionKind::XpicDelay,
       "xpic-delay",
       {{"a", 4095}, {"b", 1}, {"c", 0x1FFF}},
       4096},
      {delay_xpic(12, 0, 0x640), InstructionKind::XpicDelay, "xpic-delay", {{"a", 12}, {"b", 0}, {"c", 0x640}}, 13},
      {send_off(4095, 3, 0),
       InstructionKind::SendOff,
       "send-off",
       {{"count_minus_one", 4095}, {"base_word", 0}, {"direction", 3}},
       4096},
      {send_off(64, 5, 0x7FF),
       InstructionKind::SendOff,
       "send-off",
       {{"count_minus_one", 64}, {"base_word", 0x7FF}, {"direction", 5}},
       65},
      {send(0, 3, 0), InstructionKind::Send, "send", {{"count_minus_one", 0}, {"base_word", 0}, {"direction", 3}}, 1},
      {send(63, 7, 0x3FFFF),
       InstructionKind::Send,
       "send",
       {{"count_minus_one", 63}, {"base_word", 0x3FFFF}, {"direction", 7}},
       64},
      {velk_exchange::ROW_ENTRY_WORD, InstructionKind::Other, "row-entry", {}, 0},
      {velk_exchange::ROW_RETURN_WORD, InstructionKind::Other, "row-return", {}, 0},
      {0, InstructionKind::Other, "other", {}, 0},
      {0x40C00000, InstructionKind::Other, "other", {}, 0},
  };
  for (const WordCase& c : cases) {
    SCOPED_TRACE(c.word);
    const std::vector<DecodedWord> decoded = decode_words(std::vector<std::uint32_t>{c.word});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0], (DecodedWord{c.word, c.kind, c.fields, c.advance, c.advance}));
    EXPECT_EQ(word_name(decoded[0]), c.name);
  }
}

TEST(DecodeWords, EndCyclesAreTheRunningSumOfAdvances) {
  const std::vector<std::uint32_t> words = {velk_exchange::ROW_ENTRY_WORD, velk_exchange::delay(4), send(2, 0, 0),
                                            velk_exchange::ROW_RETURN_WORD, 0};
  std::vector<std::uint64_t> ends;
  for (const DecodedWord& word : decode_words(words)) ends.push_back(word.end_cycle);
  EXPECT_EQ(ends, (std::vector<std::uint64_t>{0, 5, 8, 8, 8}));
}

// Every tile row of a launch covers exactly the launch's cycles, so the decoder's last end
// cycle is the launch's estimated cycle count.
TEST(DecodeWords, LoweredEncoderRowsEndAtTheirLaunchsCycleCount) {
  const auto graph = velk_compiler::encoder_graph({});
  const auto schedule = velk_compiler::compile(*graph, {});
  const auto exchanges = schedule->lower_exchanges(velk_exchange::Topology::r77());
  ASSERT_TRUE(exchanges);
  std::size_t rows = 0;
  for (const velk_compiler::LoweredExchangePhase& phase : *exchanges) {
    for (const velk_compiler::LoweredExchangeEpoch& epoch : phase.epochs) {
      for (const auto& [tile, row] : epoch.tile_rows) {
        SCOPED_TRACE(tile);
        const std::vector<DecodedWord> decoded = decode_words(row);
        ASSERT_FALSE(decoded.empty());
        EXPECT_EQ(decoded.back().end_cycle, epoch.cost.estimated_cycles);
        EXPECT_EQ(word_name(decoded.front()), "row-entry");
        EXPECT_EQ(word_name(decoded.back()), "row-return");
        ++rows;
      }
    }
  }
  EXPECT_GT(rows, 0u);
}

TEST(RenderWords, OneLinePerWord) {
  const std::vector<std::uint32_t> words = {velk_exchange::delay_pic(3, 0, 0x14004),
                                            velk_exchange::send_off(100, 2, 9)};
  EXPECT_EQ(
      render_words(decode_words(words)),
      "   0  0x60194004  pic-delay   a=3 b=0 c=0x14004                                   advance 4      ends 4\n"
      "   1  0x7480404A  send-off    count_minus_one=100 base_word=0x9 direction=2       advance 101    ends 105\n");
}

struct HexCase {
  std::string_view text;
  Result<std::vector<std::uint32_t>> words;
};

TEST(ParseHexWords, AcceptsBlanksCommasAndLineBreaks) {
  const HexCase cases[] = {
      {"", std::vector<std::uint32_t>{}},
      {" \n, ", std::vector<std::uint32_t>{}},
      {"0x1 2,3\n0X4\t ffffffff", std::vector<std::uint32_t>{1, 2, 3, 4, 0xFFFFFFFF}},
      {"0x00000000", std::vector<std::uint32_t>{0}},
      {"0x100000000",
       std::unexpected(IoError{"word 1", "\"0x100000000\" is not a hexadecimal word of at most 8 digits"})},
      {"1 0x", std::unexpected(IoError{"word 2", "\"0x\" is not a hexadecimal word of at most 8 digits"})},
      {"-1", std::unexpected(IoError{"word 1", "\"-1\" is not a hexadecimal word of at most 8 digits"})},
      {"12 34 5g", std::unexpected(IoError{"word 3", "\"5g\" is not a hexadecimal word of at most 8 digits"})},
  };
  for (const HexCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_hex_words(c.text), c.words);
  }
}

TEST(RenderTileProgram, DecodesExchangeRowsAndListsComputeSteps) {
  const velk_compiler::LoweredTileProgram program{
      2,
      {velk_compiler::LoweredComputeCommand{
           velk_compiler::OpId{5}, 0x58400, {0x58000, 0x50000}, {"add", {4}, 1, "tail", 16}},
       velk_compiler::ExchangeStep{6, 0, {velk_exchange::ROW_ENTRY_WORD, velk_exchange::ROW_RETURN_WORD}}}};
  EXPECT_EQ(
      render_tile_program(program),
      "tile 2: 2 steps\n"
      "step 0: compute op 5 add (tail), output 0x58400, inputs 0x58000, 0x50000\n"
      "step 1: exchange phase 6 launch 0, 2 words\n"
      "   0  0x41800003  row-entry                                                       advance 0      ends 0\n"
      "   1  0x43A00000  row-return                                                      advance 0      ends 0\n");
}

}  // namespace
}  // namespace velk_views

namespace velk_views {
namespace {

TEST(WordText, NamesTheWordAndItsFieldsOnOneLine) {
  const std::vector<DecodedWord> words = decode_words(
      std::vector<std::uint32_t>{velk_exchange::ROW_ENTRY_WORD, 0x40A00004, 0x78000203, 0x61194800, 0x12345678});
  EXPECT_EQ(word_text(words[0]), "0x41800003 row-entry");
  EXPECT_EQ(word_text(words[1]), "0x40A00004 delay cycles=4");
  EXPECT_EQ(word_text(words[2]), "0x78000203 send count_minus_one=0 base_word=0x40 direction=3");
  EXPECT_EQ(word_text(words[3]), "0x61194800 pic-delay a=35 b=0 c=0x14800");
  EXPECT_EQ(word_text(words[4]), "0x12345678 other");
}

}  // namespace
}  // namespace velk_views
