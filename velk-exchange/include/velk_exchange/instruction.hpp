// Exchange instruction words: their builders and their field reader, their advance in cycles, the
// rewrite of a delay's advance, the patchers that write tile SRAM addresses into planned rows and
// the readers that find those addresses again.
//
// A tile's part in an exchange is a short program of 32-bit words run in order. Every word takes
// a known number of cycles (its advance) or none, so the cycle at which a word ends is the sum of
// the advances up to it; all tiles of an exchange are planned against one clock on that basis.
//
// Word layouts, bit 0 least significant; bits not listed are 0 in every word built here:
//   delay       bits 19–31 = 0x814   0–18 cycles (advance cycles + 1)
//   PIC delay   bits 26–31 = 0x18    19–25 a (advance − 1), 18 b, 0–17 c
//   XPIC delay  bits 26–31 = 0x19    14–25 a (advance − 1), 13 b, 0–12 c
//   send-off    bits 27–31 = 0x0E    21–26 count_minus_one bits 0–5, 14–19 its bits 6–11,
//                                    3–13 base_word, 0–2 direction (advance count_minus_one + 1)
//   send        bits 27–31 = 0x0F    21–26 count_minus_one, 3–20 base_word, 0–2 direction
//                                    (advance count_minus_one + 1)
// The two fixed words ROW_ENTRY_WORD and ROW_RETURN_WORD match no kind and take no time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "velk_exchange/error.hpp"

namespace velk_exchange {

// A planned row: ROW_ENTRY_WORD, the body, ROW_RETURN_WORD, then 0 up to the ninth word.
using Row = std::array<std::uint32_t, 9>;

inline constexpr std::uint32_t ROW_ENTRY_WORD = 0x41800003;
inline constexpr std::uint32_t ROW_RETURN_WORD = 0x43A00000;

// The receive window of tile SRAM that receiver rows write into: byte addresses
// RECEIVE_WINDOW_BASE up to, not including, RECEIVE_WINDOW_LIMIT (8192 words).
inline constexpr std::uint32_t RECEIVE_WINDOW_BASE = 0x50000;
inline constexpr std::uint32_t RECEIVE_WINDOW_LIMIT = 0x58000;
// The `c` operand of a receiver row's receive-address PIC delay before patching: the window's
// first word address, whose bits 14 and 16 mark the word for patch_multicast_receiver_address.
inline constexpr std::uint32_t RECEIVE_ADDRESS_MARK = RECEIVE_WINDOW_BASE / 4;

// Word kinds, in the order the kind test tries them.
enum class InstructionKind : std::uint8_t { Delay, PicDelay, XpicDelay, SendOff, Send, Other };

// The kind of a word: the first pattern of the order above that matches it.
InstructionKind instruction_kind(std::uint32_t instruction);

// The fields of a word as its kind lays them out (see the layouts above). A kind uses only its own
// fields; the others are 0, as are all fields of a word of no kind:
//   Delay                cycles
//   PicDelay, XpicDelay  a, b, c
//   SendOff, Send        count_minus_one (a send-off's two parts joined), base_word, direction
struct InstructionFields {
  InstructionKind kind = InstructionKind::Other;
  std::uint32_t cycles = 0;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t c = 0;
  std::uint32_t count_minus_one = 0;
  std::uint32_t base_word = 0;
  std::uint32_t direction = 0;
  bool operator==(const InstructionFields&) const = default;
};

// The kind and fields of a word: the builders' operands back, as far as they fit their fields.
InstructionFields decode_instruction(std::uint32_t instruction);

// The builders cut every operand to its field: a too-large operand loses its high bits and never
// disturbs another field.
std::uint32_t delay(std::uint32_t cycles);
std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c);
std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b, std::uint32_t c);
std::uint32_t send_off(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word);

// A send word; refuses with Schedule "send instruction operand" any operand that does not fit
// its field (count_minus_one ≥ 64, direction > 7, base_word > 0x3FFFF) instead of cutting it.
[[nodiscard]] Result<std::uint32_t> encode_send(std::uint32_t count_minus_one, std::uint32_t direction,
                                                std::uint32_t base_word);

// The cycles a word takes: 1 … 524288 for a delay, 1 … 128 for a PIC delay, 1 … 4096 for an
// XPIC delay or a send-off, 1 … 64 for a send, 0 for any other word.
std::uint32_t instruction_advance(std::uint32_t instruction);

// Gives a delay word of any of the three kinds the advance `advance`, keeping its other bits.
// Refuses (leaving the word unchanged) a zero advance before looking at the word, then any word
// that is no delay, then an advance that does not fit the kind's field.
[[nodiscard]] Result<void> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance);

// Accepts a multicast word count of 1 … 4148; refuses any other with ExchangeError::count.
// (A receiver row stores count − 53 in an XPIC delay's 12-bit field, so 4148 is the largest.)
[[nodiscard]] Result<void> validate_count(std::uint32_t count);

// Whether a word is a receive-address word: a PIC delay whose `c` has every bit of
// RECEIVE_ADDRESS_MARK set, the kind of word patch_multicast_receiver_address writes into.
bool is_receive_address_word(std::uint32_t instruction);

// Writes the word address of a source buffer into the first send word of a sender row. Refuses
// with ExchangeError::address an unaligned address, one whose word address exceeds 0x3FFFF, or a
// row without a send word. A send-off after the send keeps its own base_word.
[[nodiscard]] Result<void> patch_sender_address(Row& row, std::uint32_t byte_address);

// Writes a destination buffer address within the receive window into the first receive-address
// word of a receiver row, so that its `c` operand becomes byte_address ÷ 4. Refuses with
// ExchangeError::address an unaligned address, one outside the window, or a row without such a
// word.
[[nodiscard]] Result<void> patch_multicast_receiver_address(Row& row, std::uint32_t byte_address);

// The byte address a sender row sends from: base_word × 4 of its first send word, the word
// patch_sender_address writes; nothing for a row without a send word.
std::optional<std::uint32_t> sender_address(const Row& row);

// The byte address a receiver row receives into: `c` × 4 of its first receive-address word, the
// word patch_multicast_receiver_address writes; nothing for a row without one.
std::optional<std::uint32_t> receiver_address(const Row& row);

}  // namespace velk_exchange
