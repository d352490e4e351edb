// Command-line values of velkc.
#include "velk_io/option_values.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace velk_io {

namespace {

// The comma-separated items of `text`, empty ones included.
std::vector<std::string_view> comma_items(std::string_view text) {
  std::vector<std::string_view> items;
  for (std::size_t start = 0;;) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    items.push_back(text.substr(start, comma - start));
    if (comma == text.size()) return items;
    start = comma + 1;
  }
}

}  // namespace

Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max, std::string_view place) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [last, status] = std::from_chars(digits.data(), end, value, base);
  if (digits.empty() || last != end || (status != std::errc{} && status != std::errc::result_out_of_range)) {
    return std::unexpected(IoError{std::string(place),
                                   "\"" + std::string(text) + "\" is not a number (decimal, or hexadecimal after 0x)"});
  }
  if (status == std::errc::result_out_of_range || value > max) {
    return std::unexpected(
        IoError{std::string(place), std::string(text) + " is too large (at most " + std::to_string(max) + ")"});
  }
  return value;
}

Result<std::vector<std::uint64_t>> parse_unsigned_list(std::string_view text, std::uint64_t max,
                                                       std::string_view place) {
  std::vector<std::uint64_t> values;
  for (const std::string_view item : comma_items(text)) {
    const Result<std::uint64_t> value = parse_unsigned(item, max, place);
    if (!value) return std::unexpected(value.error());
    values.push_back(*value);
  }
  return values;
}

namespace {

Result<IndexRange> parse_range(std::string_view item, std::uint64_t max, std::string_view place) {
  const std::size_t dash = item.find('-');
  const Result<std::uint64_t> first = parse_unsigned(item.substr(0, dash), max, place);
  if (!first) return std::unexpected(first.error());
  if (dash == std::string_view::npos) return IndexRange{*first, *first};
  const Result<std::uint64_t> last = parse_unsigned(item.substr(dash + 1), max, place);
  if (!last) return std::unexpected(last.error());
  if (*last < *first) {
    return std::unexpected(
        IoError{std::string(place), "range " + std::string(item) + " is reversed (write the lower number first)"});
  }
  return IndexRange{*first, *last};
}

}  // namespace

Result<std::vector<IndexRange>> parse_ranges(std::string_view text, std::uint64_t max, std::string_view place) {
  std::vector<IndexRange> ranges;
  for (const std::string_view item : comma_items(text)) {
    const Result<IndexRange> range = parse_range(item, max, place);
    if (!range) return std::unexpected(range.error());
    ranges.push_back(*range);
  }
  return ranges;
}

bool in_ranges(std::span<const IndexRange> ranges, std::uint64_t index) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [index](const IndexRange& range) { return range.first <= index && index <= range.last; });
}

Result<AddressWindow> parse_window(std::string_view text, std::string_view place) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::unexpected(IoError{std::string(place), "expected BASE:LIMIT, found \"" + std::string(text) + "\""});
  }
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint32_t>::max();
  const Result<std::uint64_t> base = parse_unsigned(text.substr(0, colon), MAX, place);
  if (!base) return std::unexpected(base.error());
  const Result<std::uint64_t> limit = parse_unsigned(text.substr(colon + 1), MAX, place);
  if (!limit) return std::unexpected(limit.error());
  return AddressWindow{static_cast<std::uint32_t>(*base), static_cast<std::uint32_t>(*limit)};
}

}  // namespace velk_io
