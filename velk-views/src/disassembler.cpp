// The exchange instruction word decoder. The fields come from velk_exchange::decode_instruction;
// this file only names them, orders them and chooses how each is printed.
#include "velk_views/disassembler.hpp"

#include <charconv>
#include <system_error>

#include "velk_io/text_format.hpp"

namespace velk_views {

using velk_io::hex;
using velk_io::pad_left;
using velk_io::pad_right;
namespace {

using velk_exchange::InstructionFields;
using velk_exchange::InstructionKind;

struct FieldLayout {
  std::string_view name;
  std::uint32_t InstructionFields::*value;
  bool hex;  // addresses and operands read best in hexadecimal
};

constexpr FieldLayout DELAY_FIELDS[] = {{"cycles", &InstructionFields::cycles, false}};
// PIC and XPIC delays name the same fields; only their widths differ.
constexpr FieldLayout PIC_DELAY_FIELDS[] = {
    {"a", &InstructionFields::a, false}, {"b", &InstructionFields::b, false}, {"c", &InstructionFields::c, true}};
// Sends and send-offs name the same fields; only their widths differ.
constexpr FieldLayout SEND_FIELDS[] = {{"count_minus_one", &InstructionFields::count_minus_one, false},
                                       {"base_word", &InstructionFields::base_word, true},
                                       {"direction", &InstructionFields::direction, false}};

std::span<const FieldLayout> field_layouts(InstructionKind kind) {
  switch (kind) {
    case InstructionKind::Delay: return DELAY_FIELDS;
    case InstructionKind::PicDelay:
    case InstructionKind::XpicDelay: return PIC_DELAY_FIELDS;
    case InstructionKind::Send:
    case InstructionKind::SendOff: return SEND_FIELDS;
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

std::vector<WordField> decode_fields(const InstructionFields& decoded) {
  std::vector<WordField> fields;
  for (const FieldLayout& layout : field_layouts(decoded.kind)) fields.push_back({layout.name, decoded.*layout.value});
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
    const InstructionFields fields = velk_exchange::decode_instruction(word);
    const std::uint32_t advance = velk_exchange::instruction_advance(word);
    cycle += advance;
    decoded.push_back(DecodedWord{word, fields.kind, decode_fields(fields), advance, cycle});
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
