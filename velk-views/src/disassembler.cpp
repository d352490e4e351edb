// The exchange instruction word decoder. Field positions mirror the word layouts listed in
// velk_exchange/instruction.hpp; the tests hold them to the library's builders.
#include "velk_views/disassembler.hpp"

#include <charconv>
#include <system_error>

#include "velk_io/text_format.hpp"

namespace velk_views {

using velk_io::hex;
using velk_io::pad_left;
using velk_io::pad_right;
namespace {

using velk_exchange::InstructionKind;

struct FieldLayout {
  std::string_view name;
  unsigned low;
  unsigned width;
  bool hex;  // addresses and operands read best in hexadecimal

  std::uint32_t read(std::uint32_t word) const { return (word >> low) & ((std::uint32_t{1} << width) - 1u); }
};

constexpr FieldLayout DELAY_FIELDS[] = {{"cycles", 0, 19, false}};
constexpr FieldLayout PIC_FIELDS[] = {{"a", 19, 7, false}, {"b", 18, 1, false}, {"c", 0, 18, true}};
constexpr FieldLayout XPIC_FIELDS[] = {{"a", 14, 12, false}, {"b", 13, 1, false}, {"c", 0, 13, true}};
constexpr FieldLayout SEND_FIELDS[] = {
    {"count_minus_one", 21, 6, false}, {"base_word", 3, 18, true}, {"direction", 0, 3, false}};
// A send-off's count_minus_one is split: bits 0–5 at 21–26, bits 6–11 at 14–19.
constexpr FieldLayout SEND_OFF_COUNT_LOW{"count_minus_one", 21, 6, false};
constexpr FieldLayout SEND_OFF_COUNT_HIGH{"count_minus_one", 14, 6, false};
constexpr FieldLayout SEND_OFF_FIELDS[] = {{"base_word", 3, 11, true}, {"direction", 0, 3, false}};

std::span<const FieldLayout> field_layouts(InstructionKind kind) {
  switch (kind) {
    case InstructionKind::Delay: return DELAY_FIELDS;
    case InstructionKind::PicDelay: return PIC_FIELDS;
    case InstructionKind::XpicDelay: return XPIC_FIELDS;
    case InstructionKind::Send: return SEND_FIELDS;
    case InstructionKind::SendOff: return SEND_OFF_FIELDS;
    case InstructionKind::Other: return {};
  }
  return {};
}

bool hex_field(InstructionKind kind, std::string_view name) {
  for (const FieldLayout& layout : field_layouts(kind)) {
    if (layout.name == name) return layout.hex;
  }
  return false;
}

std::vector<WordField> decode_fields(std::uint32_t word, InstructionKind kind) {
  std::vector<WordField> fields;
  if (kind == InstructionKind::SendOff) {
    fields.push_back({"count_minus_one", SEND_OFF_COUNT_LOW.read(word) | (SEND_OFF_COUNT_HIGH.read(word) << 6u)});
  }
  for (const FieldLayout& layout : field_layouts(kind)) fields.push_back({layout.name, layout.read(word)});
  return fields;
}

std::string field_text(const DecodedWord& word) {
  std::string text;
  for (const WordField& field : word.fields) {
    if (!text.empty()) text += ' ';
    text += std::string(field.name) + "=" +
            (hex_field(word.kind, field.name) ? hex(field.value, 1) : std::to_string(field.value));
  }
  return text;
}

std::string join_addresses(const std::vector<std::uint32_t>& addresses) {
  std::string text;
  for (const std::uint32_t address : addresses) text += (text.empty() ? "" : ", ") + hex(address, 1);
  return text;
}

}  // namespace

std::vector<DecodedWord> decode_words(std::span<const std::uint32_t> words) {
  std::vector<DecodedWord> decoded;
  decoded.reserve(words.size());
  std::uint64_t cycle = 0;
  for (const std::uint32_t word : words) {
    const InstructionKind kind = velk_exchange::instruction_kind(word);
    const std::uint32_t advance = velk_exchange::instruction_advance(word);
    cycle += advance;
    decoded.push_back(DecodedWord{word, kind, decode_fields(word, kind), advance, cycle});
  }
  return decoded;
}

std::string_view word_name(const DecodedWord& word) {
  switch (word.kind) {
    case InstructionKind::Delay: return "delay";
    case InstructionKind::PicDelay: return "pic-delay";
    case InstructionKind::XpicDelay: return "xpic-delay";
    case InstructionKind::SendOff: return "send-off";
    case InstructionKind::Send: return "send";
    case InstructionKind::Other: break;
  }
  if (word.word == velk_exchange::ROW_ENTRY_WORD) return "row-entry";
  if (word.word == velk_exchange::ROW_RETURN_WORD) return "row-return";
  return "other";
}

std::string word_text(const DecodedWord& word) {
  const std::string fields = field_text(word);
  return hex(word.word, 8) + " " + std::string(word_name(word)) + (fields.empty() ? "" : " " + fields);
}

std::string render_words(std::span<const DecodedWord> words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const DecodedWord& word = words[i];
    text += pad_left(std::to_string(i), 4) + "  " + hex(word.word, 8) + "  " +
            pad_right(std::string(word_name(word)), 10) + "  " + pad_right(field_text(word), 50) + "  advance " +
            pad_right(std::to_string(word.advance), 6) + " ends " + std::to_string(word.end_cycle) + "\n";
  }
  return text;
}

Result<std::vector<std::uint32_t>> parse_hex_words(std::string_view text) {
  std::vector<std::uint32_t> words;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n,", position);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(" \t\r\n,", start), text.size());
    const std::string_view token = text.substr(start, end - start);
    std::string_view digits = token;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
    std::uint32_t word = 0;
    const auto [last, status] = std::from_chars(digits.data(), digits.data() + digits.size(), word, 16);
    if (digits.size() > 8 || status != std::errc{} || last != digits.data() + digits.size()) {
      return std::unexpected(IoError{"word " + std::to_string(words.size() + 1),
                                     "\"" + std::string(token) + "\" is not a hexadecimal word of at most 8 digits"});
    }
    words.push_back(word);
    position = end;
  }
  return words;
}

std::string render_tile_program(const velk_compiler::LoweredTileProgram& program) {
  std::string text = "tile " + std::to_string(program.tile) + ": " + std::to_string(program.steps.size()) + " steps\n";
  for (std::size_t i = 0; i < program.steps.size(); ++i) {
    const velk_compiler::LoweredTileStep& step = program.steps[i];
    text += "step " + std::to_string(i) + ": ";
    if (const auto* exchange = std::get_if<velk_compiler::ExchangeStep>(&step)) {
      text += "exchange phase " + std::to_string(exchange->phase) + " launch " + std::to_string(exchange->epoch) +
              ", " + std::to_string(exchange->row.size()) + " words\n";
      text += render_words(decode_words(exchange->row));
      continue;
    }
    const auto& compute = std::get<velk_compiler::LoweredComputeCommand>(step);
    text += "compute op " + std::to_string(compute.op.index) + " " + compute.specialization.operation + " (" +
            compute.specialization.role + "), output " + hex(compute.output_address, 1) + ", inputs " +
            join_addresses(compute.input_addresses) + "\n";
  }
  return text;
}

}  // namespace velk_views
