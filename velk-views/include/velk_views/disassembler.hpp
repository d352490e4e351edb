// The exchange instruction word decoder: each word's kind, its fields, its advance and the
// cycle at which it ends, one line per word. The kind, the fields and the advance come from the
// exchange library itself (`decode_instruction`, `instruction_advance`), so the decoder cannot
// disagree with the planner about a word's layout or its time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/tile_program.hpp"
#include "velk_exchange/instruction.hpp"
#include "velk_views/error.hpp"

namespace velk_views {

struct WordField {
  std::string_view name;  // the field's name in the word layout: cycles, a, b, c, count_minus_one, ...
  std::uint32_t value = 0;
  bool operator==(const WordField&) const = default;
};

struct DecodedWord {
  std::uint32_t word = 0;
  velk_exchange::InstructionKind kind = velk_exchange::InstructionKind::Other;
  std::vector<WordField> fields;  // none for a word of no kind
  std::uint32_t advance = 0;
  std::uint64_t end_cycle = 0;  // the advances of the words up to and including this one
  bool operator==(const DecodedWord&) const = default;
};

// The words in order, the cycle count running from 0 at the first word.
std::vector<DecodedWord> decode_words(std::span<const std::uint32_t> words);

// "delay", "pic-delay", "xpic-delay", "send-off", "send"; for words of no kind "row-entry",
// "row-return" (the two fixed words) or "other".
std::string_view word_name(const DecodedWord& word);

// The word in hex, its name and its fields on one line: "0x78000203 send count_minus_one=0
// base_word=0x40 direction=3" (no position, advance or cycle).
std::string word_text(const DecodedWord& word);

// One line per word: position, the word in hex, its name, its fields, its advance and the
// cycle at which it ends:
//    1  0x40A00004  delay       cycles=4                                            advance 5      ends 5
std::string render_words(std::span<const DecodedWord> words);

// Hexadecimal words separated by blanks, commas or line breaks, each with or without "0x"
// and at most eight digits. A bad word fails at "word N" (counted from 1).
[[nodiscard]] Result<std::vector<std::uint32_t>> parse_hex_words(std::string_view text);

// A tile's program: each exchange step's row decoded (its cycles counted from the start of
// its launch) and each compute step as one line with its addresses.
std::string render_tile_program(const velk_compiler::LoweredTileProgram& program);

}  // namespace velk_views
