// The exchange scheduler.
//
// Colouring is DSatur: a group's saturation is the number of distinct colours among its
// neighbours. Each group keeps the set of its neighbours' colours up to date as colours are
// given, so a step scans the uncoloured groups once. Every order that reaches the result
// comes from the transfer list, the colour numbers and the explicit tie-break, never from
// a hash container.
#include "velk_compiler/exchange_scheduler.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <tuple>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/exchange_lowering.hpp"

namespace velk_compiler {
namespace {

// (tensor, tile) pairs of tiles holding a readable copy.
using CopySet = std::set<std::pair<TensorId, std::uint16_t>>;

// True when `a` should be coloured before `b`: greater saturation, then degree, then the
// smaller source, then the smaller tensor; on a full tie the later group (`b_later`).
bool colours_first(std::size_t a_saturation, std::size_t a_degree, const PendingGroup& a, std::size_t b_saturation,
                   std::size_t b_degree, const PendingGroup& b) {
  return std::tuple(a_saturation, a_degree, b.source, b.tensor) > std::tuple(b_saturation, b_degree, a.source, a.tensor);
}

// Copies that a send of phase p may read before any transfer of p has happened.
CopySet readable_at_start(const Schedule& schedule, std::size_t phase) {
  CopySet available;
  for (const Allocation& a : schedule.allocations) {
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    const bool live_earlier_staging =
        staging != nullptr && staging->phase < phase && a.live_from <= phase && phase < a.live_until;
    if (staging == nullptr || live_earlier_staging) available.emplace(a.tensor, a.tile);
  }
  return available;
}

bool sources_available(const std::vector<PendingGroup>& slot, const CopySet& available) {
  return std::all_of(slot.begin(), slot.end(),
                     [&](const PendingGroup& g) { return available.contains({g.tensor, g.source}); });
}

}  // namespace

std::vector<PendingGroup> group_transfers(std::span<const Transfer> transfers) {
  std::vector<PendingGroup> groups;
  for (const Transfer& t : transfers) {
    auto group = std::find_if(groups.begin(), groups.end(), [&](const PendingGroup& g) {
      return g.source == t.source_tile && g.tensor == t.tensor && g.bytes == t.bytes;
    });
    if (group == groups.end()) {
      groups.push_back(PendingGroup{t.source_tile, t.tensor, t.bytes, {t.destination_tile}});
    } else {
      group->destinations.push_back(t.destination_tile);
    }
  }
  for (PendingGroup& g : groups) {
    std::sort(g.destinations.begin(), g.destinations.end());
    g.destinations.erase(std::unique(g.destinations.begin(), g.destinations.end()), g.destinations.end());
  }
  return groups;
}

std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups) {
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (i != j && exchange_groups_conflict(groups[i].source, groups[i].destinations, groups[j].source,
                                             groups[j].destinations)) {
        adjacency[i].push_back(j);
      }
    }
  }
  return adjacency;
}

std::vector<std::size_t> color_exchange_groups(std::span<const PendingGroup> groups,
                                               const std::vector<std::vector<std::size_t>>& adjacency) {
  const std::size_t n = groups.size();
  std::vector<std::optional<std::size_t>> colors(n);
  std::vector<std::set<std::size_t>> neighbour_colors(n);
  for (std::size_t step = 0; step < n; ++step) {
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < n; ++i) {
      if (colors[i]) continue;
      // Later groups win full ties, so a later group replaces the choice unless it loses.
      if (!chosen || !colours_first(neighbour_colors[*chosen].size(), adjacency[*chosen].size(), groups[*chosen],
                                    neighbour_colors[i].size(), adjacency[i].size(), groups[i])) {
        chosen = i;
      }
    }
    // A group with d neighbours always finds a free colour at or below d.
    std::size_t color = 0;
    while (neighbour_colors[*chosen].contains(color)) ++color;
    colors[*chosen] = color;
    for (const std::size_t neighbour : adjacency[*chosen]) neighbour_colors[neighbour].insert(color);
  }
  std::vector<std::size_t> result(n);
  for (std::size_t i = 0; i < n; ++i) result[i] = *colors[i];
  return result;
}

Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const Schedule& schedule, std::size_t phase,
                                                              std::span<const Transfer> transfers) {
  if (auto valid = validate_transfers(transfers); !valid) return std::unexpected(valid.error());
  const std::vector<PendingGroup> groups = group_transfers(transfers);
  const std::vector<std::size_t> colors = color_exchange_groups(groups, exchange_conflict_graph(groups));

  const std::size_t color_count = groups.empty() ? 0 : *std::max_element(colors.begin(), colors.end()) + 1;
  std::vector<std::vector<PendingGroup>> remaining(color_count);
  for (std::size_t i = 0; i < groups.size(); ++i) remaining[colors[i]].push_back(groups[i]);

  CopySet available = readable_at_start(schedule, phase);
  std::vector<std::vector<PendingGroup>> ordered;
  ordered.reserve(color_count);
  while (!remaining.empty()) {
    const auto ready = std::find_if(remaining.begin(), remaining.end(),
                                    [&](const auto& slot) { return sources_available(slot, available); });
    if (ready == remaining.end()) {
      return std::unexpected(CompileError::graph("exchange staging dependencies contain a cycle"));
    }
    for (const PendingGroup& g : *ready) {
      for (const std::uint16_t destination : g.destinations) available.emplace(g.tensor, destination);
    }
    ordered.push_back(std::move(*ready));
    remaining.erase(ready);
  }
  return ordered;
}

}  // namespace velk_compiler
