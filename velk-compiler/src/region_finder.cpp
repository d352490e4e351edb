// The constrained region finder.
//
// The candidates are the multiples of the alignment from the base (rounded up) to
// limit - size. Rather than stepping through them one alignment at a time, each search
// jumps over the whole run of candidates that the first colliding region blocks: going
// up, every candidate below that region's end still overlaps it; going down, every
// candidate above its address - size does. The jumps land on exactly the candidate the
// step-by-step walk would reach next with a chance of fitting, so both give the same
// answer, but a search costs at most one pass over the list per colliding region instead
// of one per candidate (a window of megabytes at a small alignment has millions).
//
// All address arithmetic is checked or done in 64 bits: nothing wraps.
#include "velk_compiler/region_finder.hpp"

#include <bit>
#include <charconv>
#include <limits>
#include <optional>
#include <string>

#include "text.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {
namespace {

constexpr std::uint64_t address_space_end = std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;

// What is asked for, besides the window.
struct Request {
  std::uint16_t tile;
  std::uint32_t size;
  std::size_t live_from;
  std::size_t live_until;
};

// `value` rounded down to a multiple of a non-zero `alignment`.
std::uint32_t align_down(std::uint32_t value, std::uint32_t alignment) { return value - value % alignment; }

// The five checks, in order; any failure is "invalid allocation constraint".
bool valid_request(const Request& request, const MemoryConstraint& constraint) {
  if (request.size == 0) return false;
  if (request.live_from >= request.live_until) return false;
  if (!std::has_single_bit(constraint.alignment)) return false;
  if (constraint.base >= constraint.limit) return false;
  return request.size <= constraint.limit - constraint.base;
}

// Whether `allocation` leaves room for the request at `start`. The byte ends are compared
// in 64 bits, which is exact; it agrees with clamping the allocation's end to 2^32 - 1
// because a start that fits is at most 2^32 - 2.
bool compatible(const Allocation& allocation, const Request& request, std::uint32_t start) {
  if (allocation.tile != request.tile) return true;
  // Half-open lifetimes: one that died before the request is born, or is born after it
  // dies, leaves its bytes free.
  if (!half_open_overlap(allocation.live_from, allocation.live_until, request.live_from, request.live_until)) {
    return true;
  }
  const std::uint64_t end = std::uint64_t{start} + request.size;
  const std::uint64_t allocation_end = std::uint64_t{allocation.address} + allocation.size;
  return end <= allocation.address || start >= allocation_end;
}

// The first allocation, in list order, that the request at `start` would collide with.
const Allocation* first_collision(std::span<const Allocation> allocations, const Request& request,
                                  std::uint32_t start) {
  for (const Allocation& allocation : allocations) {
    if (!compatible(allocation, request, start)) return &allocation;
  }
  return nullptr;
}

std::string hexadecimal(std::uint32_t value) {
  char digits[8];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value, 16);
  return std::string(digits, written.ptr);
}

CompileError exhausted(const Request& request, const MemoryConstraint& constraint) {
  return CompileError::memory(fill("no {}-byte region for tile {} in 0x{}..0x{}",
                                   {std::to_string(request.size), std::to_string(request.tile),
                                    hexadecimal(constraint.base), hexadecimal(constraint.limit)}));
}

// The lowest fitting candidate. When none fits, the step-by-step walk ends on the highest
// candidate, and it fails with "allocation address overflow" exactly when one more step
// from there would pass 2^32 - 1; otherwise the window is exhausted.
[[nodiscard]] Result<std::uint32_t> search_upward(std::span<const Allocation> allocations, const Request& request,
                                                  const MemoryConstraint& constraint) {
  const std::uint32_t last_start = constraint.limit - request.size;
  const std::optional<std::uint32_t> first = align_u32(constraint.base, constraint.alignment);
  // No aligned start at or above the base exists below 2^32: there is no candidate, the
  // same answer the downward search gives.
  if (!first || *first > last_start) return std::unexpected(exhausted(request, constraint));
  std::uint32_t candidate = *first;
  while (candidate <= last_start) {
    const Allocation* collision = first_collision(allocations, request, candidate);
    if (collision == nullptr) return candidate;
    const std::uint64_t collision_end = std::uint64_t{collision->address} + collision->size;
    if (collision_end >= address_space_end) break;
    const std::optional<std::uint32_t> next =
        align_u32(static_cast<std::uint32_t>(collision_end), constraint.alignment);
    if (!next) break;
    candidate = *next;
  }
  const std::uint32_t highest = align_down(last_start, constraint.alignment);
  if (std::uint64_t{highest} + constraint.alignment >= address_space_end) {
    return std::unexpected(CompileError::memory("allocation address overflow"));
  }
  return std::unexpected(exhausted(request, constraint));
}

// The highest fitting candidate, from limit - size rounded down to the alignment.
[[nodiscard]] Result<std::uint32_t> search_downward(std::span<const Allocation> allocations, const Request& request,
                                                    const MemoryConstraint& constraint) {
  std::uint32_t candidate = align_down(constraint.limit - request.size, constraint.alignment);
  while (candidate >= constraint.base) {
    const Allocation* collision = first_collision(allocations, request, candidate);
    if (collision == nullptr) return candidate;
    // A start fits below the collision only if the region ends at or before its address.
    if (collision->address < request.size) break;
    candidate = align_down(collision->address - request.size, constraint.alignment);
  }
  return std::unexpected(exhausted(request, constraint));
}

}  // namespace

Result<std::uint32_t> find_free_region(std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t size,
                                       std::size_t live_from, std::size_t live_until, MemoryConstraint constraint) {
  const Request request{tile, size, live_from, live_until};
  if (!valid_request(request, constraint)) {
    return std::unexpected(CompileError::memory("invalid allocation constraint"));
  }
  switch (constraint.placement) {
    case MemoryPlacement::Low: return search_upward(allocations, request, constraint);
    case MemoryPlacement::High: return search_downward(allocations, request, constraint);
  }
  return std::unexpected(CompileError::memory("invalid allocation constraint"));
}

std::ostream& operator<<(std::ostream& out, MemoryPlacement placement) {
  switch (placement) {
    case MemoryPlacement::Low: return out << "Low";
    case MemoryPlacement::High: return out << "High";
  }
  return out << "Unknown";
}

std::ostream& operator<<(std::ostream& out, const MemoryConstraint& c) {
  return out << "MemoryConstraint { base: 0x" << std::hex << c.base << ", limit: 0x" << c.limit << ", alignment: 0x"
             << c.alignment << std::dec << ", placement: " << c.placement << " }";
}

}  // namespace velk_compiler
