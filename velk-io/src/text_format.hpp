// Small text helpers shared by velk-io's readable outputs: upper-case hexadecimal and
// padding to a column width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velk_io {

// "0x" and the value's upper-case hexadecimal digits, zero-padded to at least `digits`.
inline std::string hex(std::uint64_t value, std::size_t digits = 1) {
  constexpr std::string_view DIGITS = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), DIGITS[value & 0xFu]);
    value >>= 4u;
  } while (value != 0);
  if (text.size() < digits) text.insert(0, digits - text.size(), '0');
  return "0x" + text;
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

}  // namespace velk_io
