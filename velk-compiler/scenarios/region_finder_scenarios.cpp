// Scenario checks of the constrained region finder: bounds, alignment and reuse of dead
// storage under a High window, and the exhaustion message of a full Low window.
#include <charconv>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "velk_compiler/region_finder.hpp"

namespace velk_compiler {
namespace {

std::string hexadecimal(std::uint32_t value) {
  char digits[8];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value, 16);
  return "0x" + std::string(digits, written.ptr);
}

[[nodiscard]] CheckOutcome failure(std::string reason) { return std::unexpected(std::move(reason)); }

// One request of the bounds scenario: what it is called, and the address it should get.
struct NamedAddress {
  std::string_view name;
  std::uint32_t address;
};

[[nodiscard]] CheckOutcome check_placed(const NamedAddress& placed, std::uint32_t size,
                                        const MemoryConstraint& window) {
  const std::string name(placed.name);
  if (placed.address % window.alignment != 0) {
    return failure(name + "=" + hexadecimal(placed.address) + " is not a multiple of " +
                   std::to_string(window.alignment));
  }
  if (placed.address < window.base) {
    return failure(name + "=" + hexadecimal(placed.address) + " lies below the base " + hexadecimal(window.base));
  }
  if (std::uint64_t{placed.address} + size > window.limit) {
    return failure(name + "=" + hexadecimal(placed.address) + " ends past the limit " + hexadecimal(window.limit));
  }
  return {};
}

[[nodiscard]] CheckOutcome check_equal(const NamedAddress& placed, const NamedAddress& expected) {
  if (placed.address == expected.address) return {};
  return failure(std::string(placed.name) + "=" + hexadecimal(placed.address) + ", expected " +
                 std::string(expected.name) + "=" + hexadecimal(expected.address));
}

// Runs one request, or says which one failed and why.
[[nodiscard]] std::expected<std::uint32_t, std::string> request(std::string_view name,
                                                                std::span<const Allocation> allocations,
                                                                std::uint16_t tile, std::uint32_t size,
                                                                std::size_t live_from, std::size_t live_until,
                                                                const MemoryConstraint& window) {
  const Result<std::uint32_t> address = find_free_region(allocations, tile, size, live_from, live_until, window);
  if (!address) return std::unexpected(std::string(name) + " request failed: " + to_string(address.error()));
  return *address;
}

}  // namespace

CheckOutcome constrained_allocator_obeys_bounds_and_reuses_dead_storage() {
  constexpr MemoryConstraint window{
      .base = 0x50000, .limit = 0x54000, .alignment = 32, .placement = MemoryPlacement::High};
  constexpr std::uint32_t size = 256;

  std::vector<Allocation> allocations;
  const auto first = request("first", allocations, 0, size, 0, 1, window);
  if (!first) return failure(first.error());

  allocations.push_back(Allocation{TensorId{0}, 0, *first, size, 0, 1, Home{}});
  const std::vector<Allocation> recorded = allocations;
  const auto concurrent = request("concurrent", allocations, 0, size, 0, 1, window);
  if (!concurrent) return failure(concurrent.error());
  const auto reused = request("reused", allocations, 0, size, 1, 2, window);
  if (!reused) return failure(reused.error());
  const auto other_tile = request("other_tile", allocations, 1, size, 0, 1, window);
  if (!other_tile) return failure(other_tile.error());
  if (allocations != recorded) return failure("the finder changed the list of allocations");

  const NamedAddress placed[] = {
      {"first", *first}, {"concurrent", *concurrent}, {"reused", *reused}, {"other_tile", *other_tile}};
  for (const NamedAddress& each : placed) {
    if (auto bounded = check_placed(each, size, window); !bounded) return bounded;
  }
  const NamedAddress top{"limit - 256", window.limit - size};
  const NamedAddress below_top{"limit - 512", window.limit - 2 * size};
  if (auto checked = check_equal(placed[0], top); !checked) return checked;
  if (auto checked = check_equal(placed[1], below_top); !checked) return checked;
  if (!(*concurrent + size <= *first || *first + size <= *concurrent)) {
    return failure("concurrent=" + hexadecimal(*concurrent) + " overlaps first=" + hexadecimal(*first));
  }
  if (auto checked = check_equal(placed[2], placed[0]); !checked) return checked;
  return check_equal(placed[3], placed[0]);
}

CheckOutcome constrained_allocator_reports_exhaustion() {
  constexpr MemoryConstraint window{
      .base = 0x50000, .limit = 0x50040, .alignment = 32, .placement = MemoryPlacement::Low};
  const std::vector<Allocation> allocations{
      Allocation{TensorId{0}, 7, 0x50000, 64, 3, 5, ExchangeStaging{3}},
  };
  const Result<std::uint32_t> address = find_free_region(allocations, 7, 32, 4, 6, window);
  if (address) return failure("expected exhaustion, got address " + hexadecimal(*address));
  constexpr std::string_view expected = "no 32-byte region for tile 7 in 0x50000..0x50040";
  if (address.error() != CompileError::memory(std::string(expected))) {
    return failure("expected memory error \"" + std::string(expected) + "\", got " + to_string(address.error()));
  }
  return {};
}

}  // namespace velk_compiler
