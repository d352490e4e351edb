// Small text helpers shared by every readable output: upper-case hexadecimal, padding to a
// column width, counted nouns and tile numbers that sort.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velk_io {

// "0x" and the value's upper-case hexadecimal digits, zero-padded to at least `digits`.
inline std::string hex(std::uint64_t value, std::size_t digits = 1) {
  constexpr std::string_view DIGITS = "0123456789ABCDEF";
  // The digits from the last, into a buffer that holds the most a 64-bit value has; the
  // schedule file writes millions of words this way.
  char buffer[16];
  std::size_t count = 0;
  do {
    buffer[sizeof buffer - ++count] = DIGITS[value & 0xFu];
    value >>= 4u;
  } while (value != 0);
  std::string text = "0x";
  if (count < digits) text.append(digits - count, '0');
  text.append(buffer + sizeof buffer - count, count);
  return text;
}

// A 32-bit word as exactly eight hexadecimal digits: 0x41800003.
inline std::string hex_word(std::uint32_t word) { return hex(word, 8); }

// `text` followed by blanks up to `width` characters.
inline std::string pad_right(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Blanks up to `width` characters, then `text`.
inline std::string pad_left(const std::string& text, std::size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// "1 slot", "3 slots".
inline std::string plural(std::size_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// "0007": the tile number with at least four digits, more when the tile count needs them,
// so that names built from it sort in tile order.
inline std::string tile_number(std::uint16_t tile, std::uint16_t tile_count) {
  const std::size_t digits = std::max<std::size_t>(4, std::to_string(tile_count == 0 ? 0 : tile_count - 1).size());
  std::string number = std::to_string(tile);
  if (number.size() < digits) number.insert(0, digits - number.size(), '0');
  return number;
}

}  // namespace velk_io
