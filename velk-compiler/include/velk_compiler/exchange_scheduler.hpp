// The exchange scheduler: the first half of lowering one exchange phase. Its transfers are
// coalesced into multicast groups, the groups coloured so that no two groups of one colour
// give a tile two roles, and the colour slots ordered so that a tile only passes a tensor
// on in a slot after the one that delivered it to the tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// The scheduler's work item: one source sending one tensor region to its destinations.
struct PendingGroup {
  std::uint16_t source = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  std::vector<std::uint16_t> destinations;
  bool operator==(const PendingGroup&) const = default;
};

// One group per (source, tensor, bytes), in order of first appearance, with ascending,
// de-duplicated destinations.
std::vector<PendingGroup> group_transfers(std::span<const Transfer> transfers);

// For each group, the ascending positions of the groups it conflicts with.
std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups);

// Greedy colouring by saturation: repeatedly the uncoloured group with the most distinct
// neighbour colours, then the most neighbours, then the smaller source, then the smaller
// tensor, then the later position, takes the smallest colour none of its neighbours has.
std::vector<std::size_t> color_exchange_groups(std::span<const PendingGroup> groups,
                                               const std::vector<std::vector<std::size_t>>& adjacency);

// The colour slots of exchange phase `phase` of `schedule` in execution order: each slot
// runs once every group's source holds a readable copy (a home, a staging copy of an
// earlier phase still live, or a copy delivered by an earlier slot). Fails with the
// transfer validation errors or "exchange staging dependencies contain a cycle".
[[nodiscard]] Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const Schedule& schedule, std::size_t phase,
                                                                            std::span<const Transfer> transfers);

}  // namespace velk_compiler
