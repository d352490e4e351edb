// The constrained region finder: where a new region of a given size and lifetime can go
// on one tile, inside a window with a base, a limit and an alignment, searched from the
// low or the high end. It only reads the regions already placed; recording the new one
// is the caller's business.
//
// Lifetimes here are half-open: a region live from f until u occupies phases f .. u - 1,
// so a region born in the phase where another dies may take its bytes. (The memory
// planner, by contrast, counts both end phases as occupied.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>

#include "velk_compiler/error.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

enum class MemoryPlacement : std::uint8_t {
  Low,   // the lowest fitting start, searching upward from the base
  High,  // the highest fitting start, searching downward from the limit
};

struct MemoryConstraint {
  std::uint32_t base = 0;       // lowest byte address the region may use
  std::uint32_t limit = 0;      // end of the window, exclusive
  std::uint32_t alignment = 0;  // the start is a multiple of it; a power of two
  MemoryPlacement placement = MemoryPlacement::Low;
  bool operator==(const MemoryConstraint&) const = default;
};

// The start address of a free `size`-byte region on `tile`, live from `live_from` until
// `live_until`, inside `constraint`'s window. Candidates are the multiples of the
// alignment from the base up to limit - size; Low returns the lowest that collides with
// no live region of the tile, High the highest. Fails with kind Memory:
//   "invalid allocation constraint"  size 0, empty lifetime, alignment not a power of
//                                    two, base not below limit, or size beyond the window;
//   "allocation address overflow"    Low only: no candidate fits and the upward walk
//                                    would step past 2^32 - 1;
//   "no {}-byte region for tile {} in 0x{}..0x{}"  no candidate fits (size and tile in
//                                    decimal, base and limit in lower-case hexadecimal).
// A base so close to 2^32 that rounding it up to the alignment would pass 2^32 - 1 leaves
// no candidate at all, which both placements report as exhaustion.
[[nodiscard]] Result<std::uint32_t> find_free_region(std::span<const Allocation> allocations, std::uint16_t tile,
                                                     std::uint32_t size, std::size_t live_from, std::size_t live_until,
                                                     MemoryConstraint constraint);

std::ostream& operator<<(std::ostream& out, MemoryPlacement placement);
std::ostream& operator<<(std::ostream& out, const MemoryConstraint& constraint);

}  // namespace velk_compiler
