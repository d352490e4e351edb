// The exchange scheduler.
//
// Colouring is DSatur: a group's saturation is the number of distinct colours among its
// neighbours. Each group keeps its neighbours' colours up to date as colours are given, and
// the uncoloured groups wait in a heap by rank, so each step takes the best group at once
// and re-ranks only the neighbours whose saturation grew. Every order that reaches the result
// comes from the transfer list, the colour numbers and the explicit tie-break, never from
// a hash container.
#include "velk_compiler/exchange_scheduler.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <tuple>

#include "exchange_lowering_steps.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/lifetime.hpp"

namespace velk_compiler {
namespace {

// The tile holds a copy of `tensor` before any transfer of exchange phase `phase`.
bool holds_copy_at_start(const AllocationIndex& index, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  return index.first(tensor, tile, [phase](const Allocation& a) { return readable_at_start(a, phase); }) != nullptr;
}

}  // namespace

std::vector<PendingGroup> group_transfers(std::span<const Transfer> transfers) {
  // Transfers ordered by (source, tensor, bytes, position): each run is one group, which
  // takes the place of its first transfer.
  const auto key = [&](std::size_t i) {
    return std::tuple(transfers[i].source_tile, transfers[i].tensor, transfers[i].bytes, i);
  };
  std::vector<std::size_t> order(transfers.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  std::vector<std::pair<std::size_t, PendingGroup>> runs;  // (first position, group)
  for (std::size_t k = 0; k < order.size();) {
    const Transfer& first = transfers[order[k]];
    PendingGroup group{first.source_tile, first.tensor, first.bytes, {}};
    const std::size_t start = k;
    for (; k < order.size(); ++k) {
      const Transfer& t = transfers[order[k]];
      if (t.source_tile != first.source_tile || t.tensor != first.tensor || t.bytes != first.bytes) break;
      group.destinations.push_back(t.destination_tile);
    }
    std::sort(group.destinations.begin(), group.destinations.end());
    group.destinations.erase(std::unique(group.destinations.begin(), group.destinations.end()),
                             group.destinations.end());
    runs.emplace_back(order[start], std::move(group));
  }
  std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<PendingGroup> groups;
  groups.reserve(runs.size());
  for (auto& [position, group] : runs) groups.push_back(std::move(group));
  return groups;
}

// Two groups conflict exactly when some tile is the source or a destination of both, so the
// conflicts are found through the groups that touch each tile rather than through every pair.
std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups) {
  std::vector<std::pair<std::uint16_t, std::size_t>> touching;  // (tile, group) for every role
  for (std::size_t i = 0; i < groups.size(); ++i) {
    touching.emplace_back(groups[i].source, i);
    for (const std::uint16_t tile : groups[i].destinations) touching.emplace_back(tile, i);
  }
  std::sort(touching.begin(), touching.end());
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (auto run = touching.begin(); run != touching.end();) {
    const auto run_end = std::find_if(run, touching.end(), [&](const auto& role) { return role.first != run->first; });
    for (auto a = run; a != run_end; ++a) {
      for (auto b = run; b != run_end; ++b) {
        if (a->second != b->second) adjacency[a->second].push_back(b->second);
      }
    }
    run = run_end;
  }
  for (std::vector<std::size_t>& neighbours : adjacency) {
    std::sort(neighbours.begin(), neighbours.end());
    neighbours.erase(std::unique(neighbours.begin(), neighbours.end()), neighbours.end());
  }
  return adjacency;
}

std::vector<std::size_t> color_exchange_groups(std::span<const PendingGroup> groups,
                                               const std::vector<std::vector<std::size_t>>& adjacency) {
  const std::size_t n = groups.size();
  // Each group's neighbour colours, ascending and distinct: its saturation is their count.
  std::vector<std::vector<std::size_t>> neighbour_colors(n);
  // Best first: greatest saturation, then degree, then the smaller source, then the smaller
  // tensor, then the later position. The position makes every rank distinct, so the order
  // is total. A group whose saturation grows is pushed again with its new rank; entries of
  // a coloured group or with an outdated rank are passed over when they come up.
  using Rank = std::tuple<std::size_t, std::size_t, std::uint16_t, TensorId, std::size_t>;
  auto rank = [&](std::size_t i) {
    return Rank{neighbour_colors[i].size(), adjacency[i].size(), static_cast<std::uint16_t>(0xFFFF - groups[i].source),
                TensorId{~groups[i].tensor.index}, i};
  };
  // A group without neighbours takes colour 0 whenever its turn comes and changes no other
  // group's saturation, so it is coloured at once and never ranked.
  std::vector<std::optional<std::size_t>> colors(n);
  std::vector<Rank> candidates;
  candidates.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (adjacency[i].empty()) {
      colors[i] = 0;
    } else {
      candidates.push_back(rank(i));
    }
  }
  std::make_heap(candidates.begin(), candidates.end());
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end());
    const Rank best = candidates.back();
    candidates.pop_back();
    const std::size_t chosen = std::get<4>(best);
    if (colors[chosen] || best != rank(chosen)) continue;
    // A group with d neighbours always finds a free colour at or below d.
    const std::vector<std::size_t>& taken = neighbour_colors[chosen];
    std::size_t color = 0;
    while (color < taken.size() && taken[color] == color) ++color;
    colors[chosen] = color;
    for (const std::size_t neighbour : adjacency[chosen]) {
      if (colors[neighbour]) continue;
      std::vector<std::size_t>& seen = neighbour_colors[neighbour];
      const auto at = std::lower_bound(seen.begin(), seen.end(), color);
      if (at != seen.end() && *at == color) continue;
      seen.insert(at, color);
      candidates.push_back(rank(neighbour));
      std::push_heap(candidates.begin(), candidates.end());
    }
  }
  std::vector<std::size_t> result(n);
  for (std::size_t i = 0; i < n; ++i) result[i] = *colors[i];
  return result;
}

Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const Schedule& schedule, std::size_t phase,
                                                              std::span<const Transfer> transfers) {
  return exchange_slots(AllocationIndex(schedule.allocations), phase, transfers);
}

Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const AllocationIndex& index, std::size_t phase,
                                                              std::span<const Transfer> transfers) {
  if (auto valid = validate_transfers(transfers); !valid) return std::unexpected(valid.error());
  const std::vector<PendingGroup> groups = group_transfers(transfers);
  const std::vector<std::size_t> colors = color_exchange_groups(groups, exchange_conflict_graph(groups));

  const std::size_t color_count = groups.empty() ? 0 : *std::max_element(colors.begin(), colors.end()) + 1;
  std::vector<std::vector<PendingGroup>> remaining(color_count);
  for (std::size_t i = 0; i < groups.size(); ++i) remaining[colors[i]].push_back(groups[i]);

  // Copies delivered by the slots placed so far, on top of those readable from the start.
  std::set<std::pair<TensorId, std::uint16_t>> delivered;
  auto available = [&](const PendingGroup& g) {
    return delivered.contains({g.tensor, g.source}) || holds_copy_at_start(index, g.tensor, g.source, phase);
  };
  std::vector<std::vector<PendingGroup>> ordered;
  ordered.reserve(color_count);
  while (!remaining.empty()) {
    const auto ready = std::find_if(remaining.begin(), remaining.end(),
                                    [&](const auto& slot) { return std::all_of(slot.begin(), slot.end(), available); });
    if (ready == remaining.end()) {
      return std::unexpected(CompileError::graph("exchange staging dependencies contain a cycle"));
    }
    // What the last slot delivers, no later slot reads.
    if (remaining.size() > 1) {
      for (const PendingGroup& g : *ready) {
        for (const std::uint16_t destination : g.destinations) delivered.emplace(g.tensor, destination);
      }
    }
    ordered.push_back(std::move(*ready));
    remaining.erase(ready);
  }
  return ordered;
}

}  // namespace velk_compiler
