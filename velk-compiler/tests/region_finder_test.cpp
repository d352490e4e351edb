// Tests of the constrained region finder: every refusal and failure message, the
// half-open lifetime rule, byte and tile boundaries, both placements, the top of the
// address space, and a seeded cross-check against a step-by-step walk of every candidate.
#include "velk_compiler/region_finder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace velk_compiler {
namespace {

constexpr std::uint32_t top_address = std::numeric_limits<std::uint32_t>::max();

constexpr MemoryConstraint window(std::uint32_t base, std::uint32_t limit, std::uint32_t alignment,
                                  MemoryPlacement placement) {
  return MemoryConstraint{.base = base, .limit = limit, .alignment = alignment, .placement = placement};
}

Allocation region(std::uint16_t tile, std::uint32_t address, std::uint32_t size, std::size_t live_from,
                  std::size_t live_until) {
  return Allocation{TensorId{0}, tile, address, size, live_from, live_until, Home{}};
}

std::string error_message(const Result<std::uint32_t>& result) {
  return result ? "<address " + std::to_string(*result) + ">" : result.error().message();
}

constexpr MemoryPlacement placements[] = {MemoryPlacement::Low, MemoryPlacement::High};

TEST(FindFreeRegion, RefusesInvalidRequests) {
  struct Case {
    const char* what;
    std::uint32_t size;
    std::size_t live_from, live_until;
    std::uint32_t base, limit, alignment;
  };
  const Case cases[] = {
      {"size 0", 0, 0, 1, 0x1000, 0x2000, 16},
      {"empty lifetime", 16, 4, 4, 0x1000, 0x2000, 16},
      {"reversed lifetime", 16, 5, 4, 0x1000, 0x2000, 16},
      {"alignment 0", 16, 0, 1, 0x1000, 0x2000, 0},
      {"alignment 3", 16, 0, 1, 0x1000, 0x2000, 3},
      {"alignment 48", 16, 0, 1, 0x1000, 0x2000, 48},
      {"alignment all ones", 16, 0, 1, 0x1000, 0x2000, top_address},
      {"base at limit", 16, 0, 1, 0x2000, 0x2000, 16},
      {"base above limit", 16, 0, 1, 0x2001, 0x2000, 16},
      {"size one past the window", 0x1001, 0, 1, 0x1000, 0x2000, 16},
      {"size of the address space", top_address, 0, 1, 1, top_address, 1},
  };
  for (const Case& c : cases) {
    for (const MemoryPlacement placement : placements) {
      SCOPED_TRACE(std::string(c.what) + (placement == MemoryPlacement::Low ? ", Low" : ", High"));
      const Result<std::uint32_t> result =
          find_free_region({}, 0, c.size, c.live_from, c.live_until, window(c.base, c.limit, c.alignment, placement));
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), CompileError::memory("invalid allocation constraint"));
    }
  }
}

// The smallest valid requests just inside each rule.
TEST(FindFreeRegion, AcceptsRequestsAtTheValidationBoundaries) {
  for (const MemoryPlacement placement : placements) {
    SCOPED_TRACE(placement == MemoryPlacement::Low ? "Low" : "High");
    EXPECT_EQ(find_free_region({}, 0, 1, 7, 8, window(0x100, 0x101, 1, placement)), 0x100u);
    EXPECT_EQ(find_free_region({}, 0, 0x1000, 0, 1, window(0x1000, 0x2000, 0x1000, placement)), 0x1000u);
    EXPECT_EQ(find_free_region({}, 0, top_address, 0, 1, window(0, top_address, 1, placement)), 0u);
    EXPECT_EQ(find_free_region({}, 0, 1, 0, 1, window(0, top_address, 0x80000000, placement)),
              placement == MemoryPlacement::Low ? 0u : 0x80000000u);
  }
}

// A region live in [3, 5) on the first slot: a request live in [from, until) shares its
// bytes only when the two half-open ranges share a phase.
TEST(FindFreeRegion, LifetimesAreHalfOpen) {
  const std::vector<Allocation> allocations{region(0, 0x1000, 32, 3, 5)};
  struct Case {
    std::size_t live_from, live_until;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0, 3, 0x1000},  // ends where the region is born
      {5, 9, 0x1000},  // born where the region dies
      {0, 1, 0x1000}, {6, 7, 0x1000}, {2, 4, 0x1020}, {4, 5, 0x1020}, {4, 6, 0x1020}, {3, 5, 0x1020}, {0, 9, 0x1020},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("lifetime " + std::to_string(c.live_from) + " to " + std::to_string(c.live_until));
    EXPECT_EQ(find_free_region(allocations, 0, 32, c.live_from, c.live_until,
                               window(0x1000, 0x1100, 32, MemoryPlacement::Low)),
              c.expected);
  }
}

// One live region at [0x1020, 0x1040); byte ranges that only touch it are free.
TEST(FindFreeRegion, TouchingByteRangesDoNotCollide) {
  const std::vector<Allocation> allocations{region(0, 0x1020, 0x20, 0, 4)};
  struct Case {
    std::uint32_t size;
    MemoryPlacement placement;
    std::uint32_t limit;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0x20, MemoryPlacement::Low, 0x1100, 0x1000},   // ends exactly at its address
      {0x21, MemoryPlacement::Low, 0x1100, 0x1040},   // one byte more: the first slot past its end
      {0x20, MemoryPlacement::High, 0x1060, 0x1040},  // starts exactly at its end
      {0x20, MemoryPlacement::High, 0x1050, 0x1000},  // the slot at its end would pass the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + " limit " + std::to_string(c.limit));
    EXPECT_EQ(find_free_region(allocations, 0, c.size, 1, 2, window(0x1000, c.limit, 0x10, c.placement)), c.expected);
  }
}

// High in a window from 0 where a region starts exactly at `size`: the only fit is address 0.
TEST(FindFreeRegion, DownwardSearchReachesAddressZero) {
  const std::vector<Allocation> allocations{region(0, 0x20, 0xE0, 0, 4)};
  EXPECT_EQ(find_free_region(allocations, 0, 0x20, 1, 2, window(0, 0x100, 0x10, MemoryPlacement::High)), 0u);
}

TEST(FindFreeRegion, RegionsOfOtherTilesNeverBlock) {
  const std::vector<Allocation> allocations{region(1, 0x1000, 0x100, 0, 10), region(0xFFFF, 0x1000, 0x100, 0, 10)};
  EXPECT_EQ(find_free_region(allocations, 0, 0x10, 0, 10, window(0x1000, 0x1100, 0x10, MemoryPlacement::Low)), 0x1000u);
  EXPECT_EQ(find_free_region(allocations, 0, 0x10, 0, 10, window(0x1000, 0x1100, 0x10, MemoryPlacement::High)),
            0x10F0u);
}

// A staging region of another tensor blocks exactly as a home region does.
TEST(FindFreeRegion, KindAndTensorPlayNoPart) {
  const std::vector<Allocation> allocations{
      Allocation{TensorId{9}, 2, 0x1000, 0x10, 0, 3, ExchangeStaging{1}},
  };
  EXPECT_EQ(find_free_region(allocations, 2, 0x10, 2, 3, window(0x1000, 0x1100, 0x10, MemoryPlacement::Low)), 0x1010u);
}

TEST(FindFreeRegion, WindowExactlyAsLargeAsTheRequestReturnsTheBase) {
  for (const MemoryPlacement placement : placements) {
    EXPECT_EQ(find_free_region({}, 3, 0x40, 0, 1, window(0x50040, 0x50080, 0x40, placement)), 0x50040u);
  }
}

TEST(FindFreeRegion, FirstCandidatesAreAlignedInsideTheWindow) {
  // High: limit - size = 90 rounds down to 80.
  EXPECT_EQ(find_free_region({}, 0, 10, 0, 1, window(0, 100, 16, MemoryPlacement::High)), 80u);
  // Low: the base rounds up.
  EXPECT_EQ(find_free_region({}, 0, 10, 0, 1, window(0x50001, 0x50100, 16, MemoryPlacement::Low)), 0x50010u);
}

// Free slots at 0x1040 and 0x10C0 among blocked ones: Low takes the lowest, High the
// highest, both skipping blocked runs of several candidates.
TEST(FindFreeRegion, LowAndHighTakeTheEndsOfTheFreeCandidates) {
  const std::vector<Allocation> allocations{
      region(0, 0x1000, 0x40, 0, 2),
      region(0, 0x1050, 0x70, 1, 3),
      region(0, 0x10D0, 0x30, 0, 5),
  };
  EXPECT_EQ(find_free_region(allocations, 0, 0x10, 1, 2, window(0x1000, 0x1100, 0x10, MemoryPlacement::Low)), 0x1040u);
  EXPECT_EQ(find_free_region(allocations, 0, 0x10, 1, 2, window(0x1000, 0x1100, 0x10, MemoryPlacement::High)), 0x10C0u);
}

TEST(FindFreeRegion, ReportsExhaustionWithTheWindow) {
  struct Case {
    std::vector<Allocation> allocations;
    std::uint16_t tile;
    std::uint32_t size;
    MemoryConstraint constraint;  // placement set per run
    std::string message;
  };
  const Case cases[] = {
      {{region(3, 0, 0x10, 0, 1)},
       3,
       16,
       window(0, 0x10, 16, MemoryPlacement::Low),
       "no 16-byte region for tile 3 in 0x0..0x10"},
      {{region(65535, 0xABCDE0, 0x10, 0, 1)},
       65535,
       16,
       window(0xABCDE0, 0xABCDF0, 16, MemoryPlacement::Low),
       "no 16-byte region for tile 65535 in 0xabcde0..0xabcdf0"},
      {{region(0, 0, 1, 0, 1)},
       0,
       top_address,
       window(0, top_address, 1, MemoryPlacement::Low),
       "no 4294967295-byte region for tile 0 in 0x0..0xffffffff"},
      // No multiple of 0x20 from 0x1001 leaves room for 16 bytes below 0x1020.
      {{}, 0, 16, window(0x1001, 0x1020, 0x20, MemoryPlacement::Low), "no 16-byte region for tile 0 in 0x1001..0x1020"},
      // Blocked by two regions that only together cover the window.
      {{region(4, 0x2000, 0x30, 0, 1), region(4, 0x2020, 0x20, 0, 1)},
       4,
       32,
       window(0x2000, 0x2040, 0x10, MemoryPlacement::Low),
       "no 32-byte region for tile 4 in 0x2000..0x2040"},
  };
  for (const Case& c : cases) {
    for (const MemoryPlacement placement : placements) {
      SCOPED_TRACE(c.message + (placement == MemoryPlacement::Low ? ", Low" : ", High"));
      MemoryConstraint constraint = c.constraint;
      constraint.placement = placement;
      const Result<std::uint32_t> result = find_free_region(c.allocations, c.tile, c.size, 0, 1, constraint);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), CompileError::memory(c.message));
    }
  }
}

// The upward walk fails with an overflow when its last candidate is blocked and one more
// step would pass 2^32 - 1; the downward walk finds the same candidates exhausted.
TEST(FindFreeRegion, UpwardWalkPastTheAddressSpaceOverflows) {
  struct Case {
    std::uint32_t base, size, alignment;
    std::uint32_t highest;  // the highest candidate, which High returns when nothing blocks
    std::string low_message;
    std::string high_message;
  };
  const Case cases[] = {
      {0xFFFFFF00, 8, 16, 0xFFFFFFF0, "allocation address overflow",
       "no 8-byte region for tile 0 in 0xffffff00..0xffffffff"},
      {0x80000000, 1, 0x80000000, 0x80000000, "allocation address overflow",
       "no 1-byte region for tile 0 in 0x80000000..0xffffffff"},
      // The last candidate 0xFFFFFFFE plus one step is 0xFFFFFFFF, still an address.
      {0xFFFFFFF0, 1, 1, 0xFFFFFFFE, "no 1-byte region for tile 0 in 0xfffffff0..0xffffffff",
       "no 1-byte region for tile 0 in 0xfffffff0..0xffffffff"},
      // A 16-byte region cannot start at 0xFFFFFFF0, so the last candidate is 0xFFFFFFE0.
      {0xFFFFFF00, 16, 16, 0xFFFFFFE0, "no 16-byte region for tile 0 in 0xffffff00..0xffffffff",
       "no 16-byte region for tile 0 in 0xffffff00..0xffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.low_message);
    const std::vector<Allocation> full{region(0, c.base, top_address - c.base, 0, 1)};
    const MemoryConstraint low = window(c.base, top_address, c.alignment, MemoryPlacement::Low);
    const MemoryConstraint high = window(c.base, top_address, c.alignment, MemoryPlacement::High);
    EXPECT_EQ(error_message(find_free_region(full, 0, c.size, 0, 1, low)), c.low_message);
    EXPECT_EQ(error_message(find_free_region(full, 0, c.size, 0, 1, high)), c.high_message);
    EXPECT_EQ(find_free_region({}, 0, c.size, 0, 1, low), c.base);
    EXPECT_EQ(find_free_region({}, 0, c.size, 0, 1, high), c.highest);
  }
}

// A base within one alignment step of 2^32 has no aligned start at or above it: both
// placements report exhaustion rather than an overflow.
TEST(FindFreeRegion, BaseThatCannotBeAlignedIsExhaustion) {
  for (const MemoryPlacement placement : placements) {
    SCOPED_TRACE(placement == MemoryPlacement::Low ? "Low" : "High");
    EXPECT_EQ(error_message(find_free_region({}, 0, 1, 0, 1, window(0xFFFFFFF1, top_address, 16, placement))),
              "no 1-byte region for tile 0 in 0xfffffff1..0xffffffff");
    EXPECT_EQ(error_message(find_free_region({}, 0, 1, 0, 1, window(0x80000001, top_address, 0x80000000, placement))),
              "no 1-byte region for tile 0 in 0x80000001..0xffffffff");
  }
}

// A region that itself runs past 2^32 - 1 blocks up to the top without wrapping.
TEST(FindFreeRegion, RegionEndingPastTheAddressSpaceBlocksToTheTop) {
  const std::vector<Allocation> allocations{region(0, 0xFFFFFF00, 0x200, 0, 1)};
  EXPECT_EQ(error_message(find_free_region(allocations, 0, 0x10, 0, 1,
                                           window(0xFFFFFF00, top_address, 0x10, MemoryPlacement::Low))),
            "no 16-byte region for tile 0 in 0xffffff00..0xffffffff");
  EXPECT_EQ(find_free_region(allocations, 0, 0x10, 0, 1, window(0xFFFFFE00, top_address, 0x10, MemoryPlacement::High)),
            0xFFFFFEF0u);
}

TEST(FindFreeRegion, LeavesTheListUnchanged) {
  const std::vector<Allocation> original{
      region(0, 0x1000, 0x40, 0, 2),
      Allocation{TensorId{3}, 0, 0x1040, 0x40, 1, 4, ExchangeStaging{1}},
      region(1, 0x1000, 0x80, 0, 9),
  };
  std::vector<Allocation> allocations = original;
  for (const MemoryPlacement placement : placements) {
    EXPECT_TRUE(find_free_region(allocations, 0, 0x40, 1, 2, window(0x1000, 0x1100, 0x40, placement)));
    EXPECT_FALSE(find_free_region(allocations, 0, 0x100, 1, 2, window(0x1000, 0x1100, 0x40, placement)));
    EXPECT_FALSE(find_free_region(allocations, 0, 0, 1, 2, window(0x1000, 0x1100, 0x40, placement)));
  }
  EXPECT_EQ(allocations, original);
}

// ---- cross-check against a step-by-step walk ----

// The search as a plain walk over every candidate, one alignment step at a time, with
// the allocation's end clamped to 2^32 - 1. Assumes a valid request.
[[nodiscard]] Result<std::uint32_t> walk_every_candidate(const std::vector<Allocation>& allocations, std::uint16_t tile,
                                                         std::uint32_t size, std::size_t live_from,
                                                         std::size_t live_until, const MemoryConstraint& c) {
  const auto fits = [&](std::uint64_t a) {
    if (a + size > c.limit) return false;
    for (const Allocation& other : allocations) {
      const std::uint64_t other_end = std::min<std::uint64_t>(std::uint64_t{other.address} + other.size, top_address);
      const bool compatible = other.tile != tile || other.live_until <= live_from || live_until <= other.live_from ||
                              a + size <= other.address || a >= other_end;
      if (!compatible) return false;
    }
    return true;
  };
  const std::string exhausted = "exhausted";
  const std::uint64_t last_start = c.limit - size;
  if (c.placement == MemoryPlacement::Low) {
    std::uint64_t candidate = (std::uint64_t{c.base} + c.alignment - 1) / c.alignment * c.alignment;
    if (candidate > top_address) return std::unexpected(CompileError::memory(exhausted));
    while (candidate <= last_start) {
      if (fits(candidate)) return static_cast<std::uint32_t>(candidate);
      if (candidate + c.alignment > top_address) {
        return std::unexpected(CompileError::memory("allocation address overflow"));
      }
      candidate += c.alignment;
    }
    return std::unexpected(CompileError::memory(exhausted));
  }
  std::uint64_t candidate = last_start / c.alignment * c.alignment;
  while (true) {
    if (candidate >= c.base && fits(candidate)) return static_cast<std::uint32_t>(candidate);
    if (candidate < c.alignment) return std::unexpected(CompileError::memory(exhausted));
    candidate -= c.alignment;
    if (candidate < c.base) return std::unexpected(CompileError::memory(exhausted));
  }
}

// An address, "exhausted" for any exhaustion message, or the error message.
std::string outcome(const Result<std::uint32_t>& result) {
  if (result) return "address " + std::to_string(*result);
  if (result.error().message().starts_with("no ")) return "exhausted";
  return result.error().message();
}

// Small random windows, either near 0 or just below 2^32, with a few random regions on
// three tiles (some running past 2^32 - 1); Low and High must agree with the walk, which
// has every outcome: addresses, exhaustion and overflow.
TEST(FindFreeRegion, AgreesWithAWalkOverEveryCandidate) {
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    const auto below = [&](std::uint32_t bound) {
      return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random);
    };
    const std::uint32_t origin = below(2) == 0 ? 0 : top_address - 0x400;
    // Near 2^32 half of the windows end at the very top, where the upward walk can overflow.
    const bool at_the_top = origin != 0 && below(2) == 0;
    const std::uint32_t base = at_the_top ? top_address - 1 - below(0x100) : origin + below(0x100);
    const std::uint32_t limit = at_the_top ? top_address : base + 1 + below(0x300);
    const std::uint32_t alignment = std::uint32_t{1} << below(8);
    const std::uint32_t size = 1 + below(std::min<std::uint32_t>(limit - base, 0x80));
    const std::size_t live_from = below(4);
    const std::size_t live_until = live_from + 1 + below(3);
    const std::uint16_t tile = static_cast<std::uint16_t>(below(2));
    std::vector<Allocation> allocations;
    const std::uint32_t count = below(12);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t from = below(6);
      allocations.push_back(
          region(static_cast<std::uint16_t>(below(3)), origin + below(0x400), 1 + below(0x100), from, from + below(4)));
    }
    for (const MemoryPlacement placement : placements) {
      const MemoryConstraint constraint{base, limit, alignment, placement};
      const Result<std::uint32_t> found = find_free_region(allocations, tile, size, live_from, live_until, constraint);
      const Result<std::uint32_t> walked =
          walk_every_candidate(allocations, tile, size, live_from, live_until, constraint);
      ASSERT_EQ(outcome(found), outcome(walked))
          << "seed " << seed << ", " << constraint << ", size " << size << ", tile " << tile << ", lifetime "
          << live_from << " to " << live_until;
    }
  }
}

}  // namespace
}  // namespace velk_compiler
