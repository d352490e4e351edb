// Command-line values of velkc: unsigned numbers in decimal or 0x-hexadecimal with a range,
// lists of them, lists of index ranges, and memory windows BASE:LIMIT. Errors are placed at the option's name.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "velk_io/error.hpp"

namespace velk_io {

// Decimal digits, or "0x"/"0X" and hexadecimal digits; at most `max`.
[[nodiscard]] Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max, std::string_view place);

// "8,16,32": numbers as parse_unsigned reads them, separated by commas, at least one. An
// empty item fails like any other bad number.
[[nodiscard]] Result<std::vector<std::uint64_t>> parse_unsigned_list(std::string_view text, std::uint64_t max,
                                                                     std::string_view place);

// Indices first … last, both included.
struct IndexRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  bool operator==(const IndexRange&) const = default;
};

// "0-63", "5", "0-3,8": ranges FIRST-LAST and single numbers, separated by commas, each number
// as parse_unsigned reads it and at most `max`; a range's first number is at most its last.
[[nodiscard]] Result<std::vector<IndexRange>> parse_ranges(std::string_view text, std::uint64_t max,
                                                           std::string_view place);

// Whether one of the ranges holds `index`.
[[nodiscard]] bool in_ranges(std::span<const IndexRange> ranges, std::uint64_t index);

struct AddressWindow {
  std::uint32_t base = 0;   // first byte
  std::uint32_t limit = 0;  // first byte past it
  bool operator==(const AddressWindow&) const = default;
};

// "BASE:LIMIT", each a 32-bit number as parse_unsigned reads it. Whether the window suits
// the compiler is the compiler's to judge (`valid_options`).
[[nodiscard]] Result<AddressWindow> parse_window(std::string_view text, std::string_view place);

}  // namespace velk_io
