// Why a memory plan failed: the region the planner could not place, the window it had, and
// the regions already placed on its tile that are live while it is needed. `compile` only
// says that planning failed; this re-runs the same steps (validation, options, layouts,
// phases, then the planner's own requests in its order, through `allocate_region`) and stops
// at the first placement that fails, keeping what the planner had placed by then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// The region the planner could not place.
struct FailedRegion {
  TensorId tensor;
  std::string label;  // as in the planner's message: the tensor's name, or "tensor {} exchange staging"
  std::uint16_t tile = 0;
  std::uint64_t size = 0;  // bytes needed, rounded up to `alignment` (a share too large for 32 bits as is)
  std::uint32_t alignment = 1;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  AllocationKind kind;
  std::uint32_t window_base = 0;   // first byte of the window the region had to fit in
  std::uint32_t window_limit = 0;  // first byte past it
  bool operator==(const FailedRegion&) const = default;
};

struct MemoryFailure {
  CompileError error;  // the error `compile` returns for the same graph and options
  FailedRegion region;
  // The regions already placed on the region's tile whose lifetimes overlap the region's and
  // whose bytes lie at least partly inside its window, in placement order.
  std::vector<Allocation> live_regions;
  bool operator==(const MemoryFailure&) const = default;
};

// Nothing when the memory plan of `compile(graph, options)` succeeds; the failure when the
// planner refuses a region; and the error of an earlier step (validation, options, phase
// building) unchanged, as `compile` returns it.
[[nodiscard]] Result<std::optional<MemoryFailure>> diagnose_memory_plan(const Graph& graph,
                                                                        const CompilerOptions& options);

std::ostream& operator<<(std::ostream& out, const FailedRegion& region);
std::ostream& operator<<(std::ostream& out, const MemoryFailure& failure);

}  // namespace velk_compiler
