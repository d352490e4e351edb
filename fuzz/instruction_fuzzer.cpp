// Fuzz target: the exchange instruction words and the plan program builder.
//
// Each input is a short list of operations on fuzzed words and rows, each checked against
// the properties the library states:
//   - a builder's word has its kind, its cut operands read back from their fields, and an
//     operand never reaches another field (changing one operand changes only its own bits);
//   - encode_send refuses exactly the operands that do not fit and otherwise builds exactly
//     the word send_off's layout rules give;
//   - instruction_advance agrees with an independent reading of the word layouts;
//   - set_instruction_advance either leaves the word unchanged with the documented error or
//     gives it the requested advance while changing only the advance field;
//   - both patchers either leave the row unchanged with Address(byte_address) or change only
//     the address bits of the first marked word;
//   - plan_event_cycles is the 64-bit sum of the advances, or its overflow error;
//   - the plan program builder keeps every row's events at their planned cycles, leaves
//     itself unchanged on a refusal, and finishes on exactly the horizon.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_exchange::ExchangeError;
using velk_exchange::InstructionKind;
using velk_exchange::PlanProgramBuilder;
using velk_exchange::Row;
using velk_fuzz::FuzzInput;
using velk_fuzz::require;

// An independent reading of the word layouts: kind patterns in order, and each kind's
// advance field as (low bit, width).
struct Layout {
  std::uint32_t mask;
  std::uint32_t value;
  InstructionKind kind;
};
constexpr Layout LAYOUTS[] = {
    {0xFFF80000, 0x40A00000, InstructionKind::Delay},     {0xFC000000, 0x60000000, InstructionKind::PicDelay},
    {0xFC000000, 0x64000000, InstructionKind::XpicDelay}, {0xF8000000, 0x70000000, InstructionKind::SendOff},
    {0xF8000000, 0x78000000, InstructionKind::Send},
};

InstructionKind kind_of(std::uint32_t word) {
  for (const Layout& layout : LAYOUTS) {
    if ((word & layout.mask) == layout.value) return layout.kind;
  }
  return InstructionKind::Other;
}

std::uint32_t field(std::uint32_t word, unsigned low, unsigned width) { return (word >> low) & ((1u << width) - 1u); }

std::uint32_t advance_of(std::uint32_t word) {
  switch (kind_of(word)) {
    case InstructionKind::Delay: return field(word, 0, 19) + 1;
    case InstructionKind::PicDelay: return field(word, 19, 7) + 1;
    case InstructionKind::XpicDelay: return field(word, 14, 12) + 1;
    case InstructionKind::SendOff: return (field(word, 21, 6) | (field(word, 14, 6) << 6)) + 1;
    case InstructionKind::Send: return field(word, 21, 6) + 1;
    case InstructionKind::Other: return 0;
  }
  return 0;
}

// The bits that hold a delay kind's advance.
std::uint32_t advance_mask(InstructionKind kind) {
  switch (kind) {
    case InstructionKind::Delay: return 0x0007FFFF;
    case InstructionKind::PicDelay: return 0x03F80000;
    case InstructionKind::XpicDelay: return 0x03FFC000;
    case InstructionKind::SendOff:
    case InstructionKind::Send:
    case InstructionKind::Other: return 0;
  }
  return 0;
}

// Words with a fair chance of being each kind, the fixed words included.
std::uint32_t read_word(FuzzInput& in) {
  static constexpr std::uint32_t OPCODES[] = {0x40A00000,
                                              0x60000000,
                                              0x64000000,
                                              0x70000000,
                                              0x78000000,
                                              velk_exchange::ROW_ENTRY_WORD,
                                              velk_exchange::ROW_RETURN_WORD,
                                              0};
  const std::uint8_t form = in.byte();
  const std::uint32_t raw = in.u32();
  if (form < 0x40) return raw;
  const std::uint32_t opcode = OPCODES[form % 8];
  if (opcode == velk_exchange::ROW_ENTRY_WORD || opcode == velk_exchange::ROW_RETURN_WORD) return opcode;
  const std::uint32_t operand_mask = opcode == 0x40A00000 ? 0x0007FFFF : opcode >= 0x70000000 ? 0x07FFFFFF : 0x03FFFFFF;
  return opcode | (raw & operand_mask);
}

// A row as a planner might make it: entry, a body, return, then zeros; or, now and then,
// nine arbitrary words.
Row read_row(FuzzInput& in) {
  Row row{};
  if (in.byte() == 0xFF) {
    for (std::uint32_t& word : row) word = read_word(in);
    return row;
  }
  row[0] = velk_exchange::ROW_ENTRY_WORD;
  const std::size_t body = in.byte() % 8;
  for (std::size_t i = 0; i < body; ++i) row[1 + i] = read_word(in);
  row[1 + body] = velk_exchange::ROW_RETURN_WORD;
  return row;
}

void check_builders(FuzzInput& in) {
  const std::uint32_t a = in.u32();
  const std::uint32_t b = in.u32();
  const std::uint32_t c = in.u32();
  const std::uint32_t other = in.u32();

  const std::uint32_t d = velk_exchange::delay(a);
  require(d == (0x40A00000 | (a & 0x7FFFF)) && kind_of(d) == InstructionKind::Delay, "delay layout");
  require(velk_exchange::instruction_advance(d) == (a & 0x7FFFF) + 1, "delay advance");

  const std::uint32_t pic = velk_exchange::delay_pic(a, b, c);
  require(kind_of(pic) == InstructionKind::PicDelay && field(pic, 19, 7) == (a & 0x7F) &&
              field(pic, 18, 1) == (b & 1) && field(pic, 0, 18) == (c & 0x3FFFF),
          "PIC delay fields read back cut");
  require(((pic ^ velk_exchange::delay_pic(other, b, c)) & ~0x03F80000u) == 0 &&
              ((pic ^ velk_exchange::delay_pic(a, other, c)) & ~0x00040000u) == 0 &&
              ((pic ^ velk_exchange::delay_pic(a, b, other)) & ~0x0003FFFFu) == 0,
          "a PIC delay operand never disturbs another field");

  const std::uint32_t xpic = velk_exchange::delay_xpic(a, b, c);
  require(kind_of(xpic) == InstructionKind::XpicDelay && field(xpic, 14, 12) == (a & 0xFFF) &&
              field(xpic, 13, 1) == (b & 1) && field(xpic, 0, 13) == (c & 0x1FFF),
          "XPIC delay fields read back cut");
  require(((xpic ^ velk_exchange::delay_xpic(other, b, c)) & ~0x03FFC000u) == 0 &&
              ((xpic ^ velk_exchange::delay_xpic(a, other, c)) & ~0x00002000u) == 0 &&
              ((xpic ^ velk_exchange::delay_xpic(a, b, other)) & ~0x00001FFFu) == 0,
          "an XPIC delay operand never disturbs another field");

  const std::uint32_t off = velk_exchange::send_off(a, b, c);
  require(kind_of(off) == InstructionKind::SendOff && (off & 0x00100000) == 0 &&
              (field(off, 21, 6) | (field(off, 14, 6) << 6)) == (a & 0xFFF) && field(off, 0, 3) == (b & 7) &&
              field(off, 3, 11) == (c & 0x7FF),
          "send-off fields read back cut, bit 20 clear");
  require(((off ^ velk_exchange::send_off(other, b, c)) & ~0x07EFC000u) == 0 &&
              ((off ^ velk_exchange::send_off(a, other, c)) & ~0x00000007u) == 0 &&
              ((off ^ velk_exchange::send_off(a, b, other)) & ~0x00003FF8u) == 0,
          "a send-off operand never disturbs another field");

  // Operands near their bounds make both outcomes of encode_send likely.
  const std::uint32_t count_minus_one = in.flag() ? a % 80 : a;
  const std::uint32_t direction = in.flag() ? b % 10 : b;
  const std::uint32_t base_word = in.flag() ? c % 0x48000 : c;
  const velk_exchange::Result<std::uint32_t> send = velk_exchange::encode_send(count_minus_one, direction, base_word);
  const bool fits = count_minus_one < 64 && direction <= 7 && base_word <= 0x3FFFF;
  if (!fits) {
    require(!send && send.error() == ExchangeError::schedule("send instruction operand"),
            "encode_send refuses an operand beyond its field");
    return;
  }
  require(send.has_value() && *send == (0x78000000 | (count_minus_one << 21) | (base_word << 3) | direction),
          "encode_send layout");
  require(velk_exchange::instruction_advance(*send) == count_minus_one + 1, "send advance");
}

void check_advance(std::uint32_t word) {
  require(velk_exchange::instruction_kind(word) == kind_of(word), "instruction_kind follows the pattern order");
  require(velk_exchange::instruction_advance(word) == advance_of(word), "instruction_advance reads the layout");
}

void check_set_advance(std::uint32_t word, std::uint32_t advance) {
  std::uint32_t changed = word;
  const velk_exchange::Result<void> result = velk_exchange::set_instruction_advance(changed, advance);
  const InstructionKind kind = kind_of(word);
  std::optional<std::string_view> refusal;
  const std::uint32_t mask = advance_mask(kind);
  if (advance == 0) {
    refusal = "zero event advance";
  } else if (mask == 0) {
    refusal = "first scheduled event is not a delay";
  } else if (advance - 1 > (mask >> std::countr_zero(mask))) {
    refusal = kind == InstructionKind::Delay      ? "delay advance overflow"
              : kind == InstructionKind::PicDelay ? "PIC delay advance overflow"
                                                  : "XPIC delay advance overflow";
  }
  if (refusal) {
    require(!result && result.error() == ExchangeError::schedule(*refusal) && changed == word,
            "set_instruction_advance refuses with the documented message and leaves the word", *refusal);
    return;
  }
  require(result.has_value(), "set_instruction_advance accepts an advance that fits");
  require(velk_exchange::instruction_advance(changed) == advance, "after retiming the word takes the new advance");
  require(((changed ^ word) & ~mask) == 0 && kind_of(changed) == kind, "retiming changes only the advance field");
}

void check_validate_count(std::uint32_t count) {
  const velk_exchange::Result<void> result = velk_exchange::validate_count(count);
  if (count >= 1 && count <= 4148) {
    require(result.has_value(), "validate_count accepts 1 … 4148");
  } else {
    require(!result && result.error() == ExchangeError::count(count), "validate_count refuses with Count(count)");
  }
}

// The only differences between `before` and `after` are in word `index`, inside `mask`.
bool changed_only(const Row& before, const Row& after, std::size_t index, std::uint32_t mask) {
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::uint32_t allowed = i == index ? mask : 0;
    if (((before[i] ^ after[i]) & ~allowed) != 0) return false;
  }
  return true;
}

void check_sender_patch(const Row& row, std::uint32_t byte_address) {
  Row patched = row;
  const velk_exchange::Result<void> result = velk_exchange::patch_sender_address(patched, byte_address);
  const auto send =
      std::find_if(row.begin(), row.end(), [](std::uint32_t w) { return kind_of(w) == InstructionKind::Send; });
  if (byte_address % 4 != 0 || byte_address / 4 > 0x3FFFF || send == row.end()) {
    require(!result && result.error() == ExchangeError::address(byte_address) && patched == row,
            "patch_sender_address refuses with Address and leaves the row");
    return;
  }
  const auto index = static_cast<std::size_t>(send - row.begin());
  require(result.has_value() && changed_only(row, patched, index, 0x001FFFF8), "sender patch changes only base_word");
  require(field(patched[index], 3, 18) == byte_address / 4, "the send reads from the patched address");
}

void check_receiver_patch(const Row& row, std::uint32_t byte_address) {
  Row patched = row;
  const velk_exchange::Result<void> result = velk_exchange::patch_multicast_receiver_address(patched, byte_address);
  const auto mark =
      std::find_if(row.begin(), row.end(), [](std::uint32_t w) { return (w & 0xFC014000) == 0x60014000; });
  if (byte_address < 0x50000 || byte_address > 0x57FFC || byte_address % 4 != 0 || mark == row.end()) {
    require(!result && result.error() == ExchangeError::address(byte_address) && patched == row,
            "patch_multicast_receiver_address refuses with Address and leaves the row");
    return;
  }
  const auto index = static_cast<std::size_t>(mark - row.begin());
  require(result.has_value() && changed_only(row, patched, index, 0x00001FFF), "receiver patch changes only bits 0–12");
  require(field(patched[index], 0, 13) == (byte_address - 0x50000) / 4, "bits 0–12 hold the offset in the window");
  // In a planned row the mark is the window's first word address alone, so `c` then becomes
  // the buffer's word address.
  if (field(row[index], 13, 5) == (0x14000 >> 13)) {
    require(field(patched[index], 0, 18) == byte_address / 4, "the receive-address word names the patched address");
  }
}

void check_event_cycles(std::span<const std::uint32_t> words) {
  std::uint64_t total = 0;
  for (const std::uint32_t word : words) total += advance_of(word);
  const velk_exchange::Result<std::uint32_t> cycles = velk_exchange::plan_event_cycles(words);
  if (total > 0xFFFFFFFFu) {
    require(!cycles && cycles.error() == ExchangeError::schedule("plan event horizon overflow"),
            "plan_event_cycles reports its overflow");
  } else {
    require(cycles.has_value() && *cycles == total, "plan_event_cycles is the sum of the advances");
  }
}

// The sum of the advances of `words[0 .. end)`.
std::uint64_t cycles_up_to(std::span<const std::uint32_t> words, std::size_t end) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < end; ++i) total += advance_of(words[i]);
  return total;
}

void check_append(PlanProgramBuilder& builder, const Row& row) {
  const PlanProgramBuilder before = builder;
  const velk_exchange::Result<void> result = builder.append_scheduled_row(row);
  require(builder.words().front() == velk_exchange::ROW_ENTRY_WORD &&
              velk_exchange::plan_event_cycles(builder.words()) == builder.event_cycles(),
          "the builder's event cycles are those of its words");
  if (!result) {
    require(builder == before, "a refused row leaves the builder as it was", velk_exchange::to_string(result.error()));
    return;
  }
  // The body that went in, and the same body as planned.
  const auto end = std::find(row.begin(), row.end(), velk_exchange::ROW_RETURN_WORD);
  require(row[0] == velk_exchange::ROW_ENTRY_WORD && end != row.end(), "only framed rows are accepted");
  const std::span<const std::uint32_t> planned(row.begin() + 1, end);
  const std::span<const std::uint32_t> added = std::span(builder.words()).subspan(before.words().size());
  require(added.size() == planned.size(), "an accepted row adds its whole body");
  // Every timed word of the body ends at its planned cycle: a row's cycles count from the
  // start of the epoch, and the builder only shortens the first timed word.
  const std::size_t offset = before.words().size();
  for (std::size_t i = 0; i < planned.size(); ++i) {
    if (advance_of(planned[i]) == 0) continue;
    require(cycles_up_to(builder.words(), offset + i + 1) == cycles_up_to(planned, i + 1),
            "a joined row keeps its events at their planned cycles");
  }
  const auto first_timed =
      std::find_if(planned.begin(), planned.end(), [](std::uint32_t w) { return advance_of(w) != 0; });
  for (std::size_t i = 0; i < planned.size(); ++i) {
    const bool retimed = before.event_cycles() != 0 && i == static_cast<std::size_t>(first_timed - planned.begin());
    require(retimed || added[i] == planned[i], "only the first timed word of a row is retimed");
  }
}

void check_finish(PlanProgramBuilder builder, std::uint32_t horizon) {
  const std::uint32_t events = builder.event_cycles();
  const std::vector<std::uint32_t> words = builder.words();
  const velk_exchange::Result<std::vector<std::uint32_t>> program = std::move(builder).finish(horizon);
  if (horizon < events) {
    require(!program && program.error() == ExchangeError::schedule("plan horizon precedes tile events"),
            "finish refuses a horizon before the events");
    return;
  }
  require(program.has_value() && program->size() >= words.size() + 1 &&
              std::equal(words.begin(), words.end(), program->begin()) &&
              program->back() == velk_exchange::ROW_RETURN_WORD,
          "finish keeps the program and closes it with the return word");
  require(velk_exchange::plan_event_cycles(*program) == horizon, "a finished program covers exactly the horizon");
  for (std::size_t i = words.size(); i + 1 < program->size(); ++i) {
    require(kind_of((*program)[i]) == InstructionKind::Delay, "finish pads with delay words only");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span<const std::uint8_t>(data, size));
  PlanProgramBuilder builder;
  std::vector<std::uint32_t> sequence;
  while (!in.exhausted()) {
    switch (in.byte() % 8) {
      case 0: check_builders(in); break;
      case 1: check_advance(read_word(in)); break;
      case 2: {
        const std::uint32_t word = read_word(in);
        const std::uint8_t form = in.byte();
        check_set_advance(word, form < 0x80 ? in.u32() : in.in_range(0, 0x1010) + (form & 1u) * 0x7F000);
        break;
      }
      case 3: check_validate_count(in.flag() ? in.in_range(0, 4200) : in.u32()); break;
      case 4: {
        const Row row = read_row(in);
        const std::uint32_t address = in.flag() ? in.in_range(0x4FFF0, 0x58010) : in.u32();
        check_sender_patch(row, address);
        check_receiver_patch(row, address);
        break;
      }
      case 5: {
        // A few fuzzed words; now and then one repeated enough times to pass 2^32 cycles
        // (8192 of the longest delay do).
        const std::uint32_t word = read_word(in);
        const std::uint8_t form = in.byte();
        const std::size_t repeats = form == 0xFF ? in.in_range(1, 8200) : 1 + form % 4u;
        if (sequence.size() > 8200) sequence.clear();  // keeps one input within a millisecond
        sequence.insert(sequence.end(), repeats, word);
        check_event_cycles(sequence);
        break;
      }
      case 6: check_append(builder, read_row(in)); break;
      default: check_finish(builder, in.flag() ? builder.event_cycles() + in.in_range(0, 0x100) : in.u32()); break;
    }
  }
  return 0;
}
