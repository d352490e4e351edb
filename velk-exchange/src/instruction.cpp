// Exchange instruction words. Every layout is written as named bit fields grouped by word kind,
// and every builder, reader and patcher goes through them, so a mask is written exactly once.
#include "velk_exchange/instruction.hpp"

#include <algorithm>
#include <string_view>

namespace velk_exchange {
namespace {

// `width` bits of a word starting at bit `low` (width below 32).
struct BitField {
  unsigned low;
  unsigned width;

  constexpr std::uint32_t max() const { return (std::uint32_t{1} << width) - 1u; }
  constexpr std::uint32_t mask() const { return max() << low; }
  // `value` cut to the field's width and moved into place.
  constexpr std::uint32_t bits(std::uint32_t value) const { return (value & max()) << low; }
  constexpr std::uint32_t read(std::uint32_t word) const { return (word >> low) & max(); }
  constexpr std::uint32_t replace(std::uint32_t word, std::uint32_t value) const {
    return (word & ~mask()) | bits(value);
  }
};

namespace delay_word {
constexpr std::uint32_t OPCODE = 0x40A00000;  // bits 19–31 = 0x814
constexpr BitField cycles{0, 19};
}  // namespace delay_word

namespace pic_word {
constexpr std::uint32_t OPCODE = 0x60000000;  // bits 26–31 = 0x18
constexpr BitField a{19, 7};
constexpr BitField b{18, 1};
constexpr BitField c{0, 18};
}  // namespace pic_word

namespace xpic_word {
constexpr std::uint32_t OPCODE = 0x64000000;  // bits 26–31 = 0x19
constexpr BitField a{14, 12};
constexpr BitField b{13, 1};
constexpr BitField c{0, 13};
}  // namespace xpic_word

namespace send_off_word {
constexpr std::uint32_t OPCODE = 0x70000000;  // bits 27–31 = 0x0E
constexpr BitField count_low{21, 6};          // count_minus_one bits 0–5
constexpr BitField count_high{14, 6};         // count_minus_one bits 6–11; bit 20 stays 0
constexpr unsigned COUNT_LOW_WIDTH = 6;
constexpr BitField base_word{3, 11};
constexpr BitField direction{0, 3};
}  // namespace send_off_word

namespace send_word {
constexpr std::uint32_t OPCODE = 0x78000000;  // bits 27–31 = 0x0F
constexpr BitField count_minus_one{21, 6};
constexpr BitField base_word{3, 18};
constexpr BitField direction{0, 3};
}  // namespace send_word

// The receive-address word of a receiver row: a PIC delay whose `c` has the bits of
// RECEIVE_ADDRESS_MARK set. Patching replaces the low 13 bits of `c`, the word's offset in the
// receive window, which keeps the mark and makes `c` the buffer's word address.
constexpr std::uint32_t RECEIVE_ADDRESS_WORD_MASK = 0xFC000000 | RECEIVE_ADDRESS_MARK;
constexpr std::uint32_t RECEIVE_ADDRESS_WORD_VALUE = pic_word::OPCODE | RECEIVE_ADDRESS_MARK;
constexpr BitField receive_window_word{0, 13};
static_assert(receive_window_word.max() + 1u == (RECEIVE_WINDOW_LIMIT - RECEIVE_WINDOW_BASE) / 4u);

struct KindPattern {
  std::uint32_t mask;
  std::uint32_t value;
  InstructionKind kind;
};

constexpr KindPattern KIND_PATTERNS[] = {
    {0xFFF80000, delay_word::OPCODE, InstructionKind::Delay},
    {0xFC000000, pic_word::OPCODE, InstructionKind::PicDelay},
    {0xFC000000, xpic_word::OPCODE, InstructionKind::XpicDelay},
    {0xF8000000, send_off_word::OPCODE, InstructionKind::SendOff},
    {0xF8000000, send_word::OPCODE, InstructionKind::Send},
};

bool is_send_word(std::uint32_t instruction) { return instruction_kind(instruction) == InstructionKind::Send; }

// Writes advance − 1 into a delay's field, or refuses with `overflow` when it does not fit.
[[nodiscard]] Result<void> rewrite_delay_field(std::uint32_t& instruction, BitField field, std::uint32_t immediate,
                                               std::string_view overflow) {
  if (immediate > field.max()) return std::unexpected(ExchangeError::schedule(overflow));
  instruction = field.replace(instruction, immediate);
  return {};
}

// A send-off's count_minus_one, joined from its two parts.
std::uint32_t send_off_count_minus_one(std::uint32_t instruction) {
  return send_off_word::count_low.read(instruction) |
         (send_off_word::count_high.read(instruction) << send_off_word::COUNT_LOW_WIDTH);
}

}  // namespace

InstructionKind instruction_kind(std::uint32_t instruction) {
  for (const KindPattern& pattern : KIND_PATTERNS) {
    if ((instruction & pattern.mask) == pattern.value) return pattern.kind;
  }
  return InstructionKind::Other;
}

InstructionFields decode_instruction(std::uint32_t instruction) {
  const InstructionKind kind = instruction_kind(instruction);
  switch (kind) {
    case InstructionKind::Delay: return {.kind = kind, .cycles = delay_word::cycles.read(instruction)};
    case InstructionKind::PicDelay:
      return {.kind = kind,
              .a = pic_word::a.read(instruction),
              .b = pic_word::b.read(instruction),
              .c = pic_word::c.read(instruction)};
    case InstructionKind::XpicDelay:
      return {.kind = kind,
              .a = xpic_word::a.read(instruction),
              .b = xpic_word::b.read(instruction),
              .c = xpic_word::c.read(instruction)};
    case InstructionKind::SendOff:
      return {.kind = kind,
              .count_minus_one = send_off_count_minus_one(instruction),
              .base_word = send_off_word::base_word.read(instruction),
              .direction = send_off_word::direction.read(instruction)};
    case InstructionKind::Send:
      return {.kind = kind,
              .count_minus_one = send_word::count_minus_one.read(instruction),
              .base_word = send_word::base_word.read(instruction),
              .direction = send_word::direction.read(instruction)};
    case InstructionKind::Other: break;
  }
  return {};
}

std::uint32_t delay(std::uint32_t cycles) { return delay_word::OPCODE | delay_word::cycles.bits(cycles); }

std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return pic_word::OPCODE | pic_word::a.bits(a) | pic_word::b.bits(b) | pic_word::c.bits(c);
}

std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return xpic_word::OPCODE | xpic_word::a.bits(a) | xpic_word::b.bits(b) | xpic_word::c.bits(c);
}

std::uint32_t send_off(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word) {
  return send_off_word::OPCODE | send_off_word::count_low.bits(count_minus_one) |
         send_off_word::count_high.bits(count_minus_one >> send_off_word::COUNT_LOW_WIDTH) |
         send_off_word::base_word.bits(base_word) | send_off_word::direction.bits(direction);
}

Result<std::uint32_t> encode_send(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word) {
  if (count_minus_one > send_word::count_minus_one.max() || direction > send_word::direction.max() ||
      base_word > send_word::base_word.max()) {
    return std::unexpected(ExchangeError::schedule("send instruction operand"));
  }
  return send_word::OPCODE | send_word::count_minus_one.bits(count_minus_one) | send_word::base_word.bits(base_word) |
         send_word::direction.bits(direction);
}

// Every word that a lowering plans passes through here, often several times, so it reads
// only the one field it needs rather than decoding the whole word.
std::uint32_t instruction_advance(std::uint32_t instruction) {
  switch (instruction_kind(instruction)) {
    case InstructionKind::Delay: return delay_word::cycles.read(instruction) + 1u;
    case InstructionKind::PicDelay: return pic_word::a.read(instruction) + 1u;
    case InstructionKind::XpicDelay: return xpic_word::a.read(instruction) + 1u;
    case InstructionKind::SendOff: return send_off_count_minus_one(instruction) + 1u;
    case InstructionKind::Send: return send_word::count_minus_one.read(instruction) + 1u;
    case InstructionKind::Other: return 0;
  }
  return 0;
}

Result<void> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance) {
  if (advance == 0) return std::unexpected(ExchangeError::schedule("zero event advance"));
  const std::uint32_t immediate = advance - 1u;
  switch (instruction_kind(instruction)) {
    case InstructionKind::Delay:
      return rewrite_delay_field(instruction, delay_word::cycles, immediate, "delay advance overflow");
    case InstructionKind::PicDelay:
      return rewrite_delay_field(instruction, pic_word::a, immediate, "PIC delay advance overflow");
    case InstructionKind::XpicDelay:
      return rewrite_delay_field(instruction, xpic_word::a, immediate, "XPIC delay advance overflow");
    case InstructionKind::SendOff:
    case InstructionKind::Send:
    case InstructionKind::Other: break;
  }
  return std::unexpected(ExchangeError::schedule("first scheduled event is not a delay"));
}

Result<void> validate_count(std::uint32_t count) {
  constexpr std::uint32_t MAX_COUNT = 4148;
  if (count == 0 || count > MAX_COUNT) return std::unexpected(ExchangeError::count(count));
  return {};
}

bool is_receive_address_word(std::uint32_t instruction) {
  return (instruction & RECEIVE_ADDRESS_WORD_MASK) == RECEIVE_ADDRESS_WORD_VALUE;
}

Result<void> patch_sender_address(Row& row, std::uint32_t byte_address) {
  const std::uint32_t word_address = byte_address / 4u;
  if (byte_address % 4u != 0 || word_address > send_word::base_word.max()) {
    return std::unexpected(ExchangeError::address(byte_address));
  }
  const auto send = std::ranges::find_if(row, is_send_word);
  if (send == row.end()) return std::unexpected(ExchangeError::address(byte_address));
  *send = send_word::base_word.replace(*send, word_address);
  return {};
}

Result<void> patch_multicast_receiver_address(Row& row, std::uint32_t byte_address) {
  if (byte_address < RECEIVE_WINDOW_BASE || byte_address % 4u != 0) {
    return std::unexpected(ExchangeError::address(byte_address));
  }
  const std::uint32_t window_word = (byte_address - RECEIVE_WINDOW_BASE) / 4u;
  if (window_word > receive_window_word.max()) return std::unexpected(ExchangeError::address(byte_address));
  const auto mark = std::ranges::find_if(row, is_receive_address_word);
  if (mark == row.end()) return std::unexpected(ExchangeError::address(byte_address));
  *mark = receive_window_word.replace(*mark, window_word);
  return {};
}

std::optional<std::uint32_t> sender_address(const Row& row) {
  const auto send = std::ranges::find_if(row, is_send_word);
  if (send == row.end()) return std::nullopt;
  return send_word::base_word.read(*send) * 4u;
}

std::optional<std::uint32_t> receiver_address(const Row& row) {
  const auto mark = std::ranges::find_if(row, is_receive_address_word);
  if (mark == row.end()) return std::nullopt;
  return pic_word::c.read(*mark) * 4u;
}

}  // namespace velk_exchange
