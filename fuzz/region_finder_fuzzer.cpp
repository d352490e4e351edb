// Fuzz target: find_free_region against a brute-force search of the same candidates.
//
// The input gives a few regions already placed (on two tiles, with half-open lifetimes) and
// one request: tile, size, lifetime and a window with base, limit, alignment and placement.
// Windows are drawn so that they hold at most a few thousand candidates, anywhere in the
// 32-bit address space, the top included, so that the brute force, which tries every multiple
// of the alignment one step at a time exactly as the finder's rules describe, stays cheap.
// The finder's answer must equal the brute force's: the same address, or the same error with
// the same message.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_compiler/velk_compiler.hpp"

namespace {

using velk_compiler::Allocation;
using velk_compiler::CompileError;
using velk_compiler::MemoryConstraint;
using velk_compiler::MemoryPlacement;
using velk_compiler::Result;
using velk_fuzz::FuzzInput;
using velk_fuzz::require;

constexpr std::size_t MAX_REGIONS = 16;
constexpr std::uint64_t MAX_CANDIDATES = 4096;
constexpr std::uint64_t TOP = 0xFFFFFFFF;

struct Request {
  std::uint16_t tile = 0;
  std::uint32_t size = 0;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
};

std::string hex(std::uint32_t value) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), DIGITS[value % 16]);
    value /= 16;
  } while (value != 0);
  return text;
}

bool fits(std::span<const Allocation> allocations, const Request& r, std::uint64_t a, std::uint32_t limit) {
  if (a + r.size > limit) return false;
  for (const Allocation& x : allocations) {
    const std::uint64_t x_end = std::min<std::uint64_t>(std::uint64_t{x.address} + x.size, TOP);
    const bool compatible = x.tile != r.tile || x.live_until <= r.live_from || r.live_until <= x.live_from ||
                            a + r.size <= x.address || a >= x_end;
    if (!compatible) return false;
  }
  return true;
}

// The finder's rules, one candidate at a time.
[[nodiscard]] Result<std::uint32_t> brute_force(std::span<const Allocation> allocations, const Request& r,
                                                const MemoryConstraint& c) {
  const CompileError invalid = CompileError::memory("invalid allocation constraint");
  if (r.size == 0 || r.live_from >= r.live_until || !std::has_single_bit(c.alignment) || c.base >= c.limit ||
      r.size > c.limit - c.base) {
    return std::unexpected(invalid);
  }
  const CompileError exhausted =
      CompileError::memory("no " + std::to_string(r.size) + "-byte region for tile " + std::to_string(r.tile) +
                           " in 0x" + hex(c.base) + "..0x" + hex(c.limit));
  const std::uint64_t last = c.limit - r.size;
  if (c.placement == MemoryPlacement::Low) {
    std::uint64_t a = (std::uint64_t{c.base} + c.alignment - 1) / c.alignment * c.alignment;
    if (a > TOP) return std::unexpected(exhausted);  // no aligned start at all below 2^32
    while (a <= last) {
      if (fits(allocations, r, a, c.limit)) return static_cast<std::uint32_t>(a);
      a += c.alignment;
      if (a > TOP) return std::unexpected(CompileError::memory("allocation address overflow"));
    }
    return std::unexpected(exhausted);
  }
  std::uint64_t a = last / c.alignment * c.alignment;
  while (true) {
    if (a >= c.base && fits(allocations, r, a, c.limit)) return static_cast<std::uint32_t>(a);
    if (a < c.alignment || a - c.alignment < c.base) return std::unexpected(exhausted);
    a -= c.alignment;
  }
}

// A window of at most MAX_CANDIDATES candidates somewhere in the address space: near 0, in
// tile SRAM, or at the very top; now and then an invalid one.
MemoryConstraint read_constraint(FuzzInput& in) {
  MemoryConstraint c;
  const std::uint8_t form = in.byte();
  c.placement = (form & 1u) != 0 ? MemoryPlacement::High : MemoryPlacement::Low;
  c.alignment = std::uint32_t{1} << in.in_range(0, 31);
  if ((form & 0xF0) == 0xF0) c.alignment = in.u32();  // not always a power of two
  const std::uint32_t region = (form >> 1) & 3u;
  const std::uint64_t span = std::min<std::uint64_t>(std::uint64_t{c.alignment} * in.in_range(0, MAX_CANDIDATES), TOP);
  const std::uint64_t jitter = in.in_range(0, 64);
  if (region == 3) {
    // Against the top of the address space.
    c.limit = static_cast<std::uint32_t>(TOP - in.in_range(0, 64));
    c.base = static_cast<std::uint32_t>(c.limit > span + jitter ? c.limit - span - jitter : 0);
    return c;
  }
  const std::uint64_t base = region == 0   ? in.in_range(0, 256)
                             : region == 1 ? 0x50000 + in.in_range(0, 0x100)
                                           : in.u32();
  c.base = static_cast<std::uint32_t>(base);
  c.limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(base + span + jitter, TOP));
  if (in.byte() == 0xFF) c.limit = in.u32();
  return c;
}

// Regions around the window, so that collisions are likely: addresses near its base or its
// end, sizes up to a few candidates.
std::vector<Allocation> read_allocations(FuzzInput& in, const MemoryConstraint& c) {
  std::vector<Allocation> allocations(in.byte() % (MAX_REGIONS + 1));
  const std::uint64_t unit = std::max<std::uint32_t>(c.alignment, 1);
  for (Allocation& a : allocations) {
    a.tile = static_cast<std::uint16_t>(in.byte() % 2);
    const std::uint64_t anchor = in.flag() ? c.base : c.limit;
    const std::int64_t steps = static_cast<std::int64_t>(in.in_range(0, 64)) - 32;
    const std::int64_t address = static_cast<std::int64_t>(anchor) +
                                 steps * static_cast<std::int64_t>(std::min<std::uint64_t>(unit, 0x1000000)) +
                                 static_cast<std::int64_t>(in.in_range(0, 15));
    a.address = static_cast<std::uint32_t>(std::clamp<std::int64_t>(address, 0, static_cast<std::int64_t>(TOP)));
    a.size =
        in.byte() == 0xFF
            ? in.u32()
            : static_cast<std::uint32_t>(std::min<std::uint64_t>(unit * in.in_range(0, 4) + in.in_range(0, 31), TOP));
    a.live_from = in.byte() % 6;
    a.live_until = in.byte() % 7;
    a.kind = in.flag() ? velk_compiler::AllocationKind{velk_compiler::Home{}}
                       : velk_compiler::AllocationKind{velk_compiler::ExchangeStaging{in.byte() % 3u}};
  }
  return allocations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span<const std::uint8_t>(data, size));
  const MemoryConstraint constraint = read_constraint(in);
  const std::vector<Allocation> allocations = read_allocations(in, constraint);
  Request request;
  request.tile = static_cast<std::uint16_t>(in.byte() % 2);
  const std::uint64_t unit = std::max<std::uint32_t>(constraint.alignment, 1);
  request.size =
      in.byte() == 0xFF
          ? in.u32()
          : static_cast<std::uint32_t>(std::min<std::uint64_t>(unit * in.in_range(0, 3) + in.in_range(0, 31), TOP));
  request.live_from = in.byte() % 6;
  request.live_until = in.byte() % 7;

  // A window with too many candidates for the brute force is left alone.
  if (constraint.alignment != 0 && constraint.limit > constraint.base &&
      (constraint.limit - constraint.base) / constraint.alignment > MAX_CANDIDATES + 64) {
    return 0;
  }
  const std::vector<Allocation> before = allocations;
  const Result<std::uint32_t> found = velk_compiler::find_free_region(
      allocations, request.tile, request.size, request.live_from, request.live_until, constraint);
  const Result<std::uint32_t> expected = brute_force(allocations, request, constraint);
  require(found == expected, "find_free_region agrees with the brute-force search",
          (found ? "found " + std::to_string(*found) : to_string(found.error())) + " expected " +
              (expected ? std::to_string(*expected) : to_string(expected.error())));
  require(allocations == before, "the finder leaves the regions as they were");
  if (found) {
    require(*found % constraint.alignment == 0 && *found >= constraint.base &&
                std::uint64_t{*found} + request.size <= constraint.limit,
            "an address found is aligned and inside the window");
  }
  return 0;
}
