// The figures of a built program, each beside a simple lower bound, so that a user sees how
// much room is left.
//
// The bounds:
//   - an exchange launch takes at least as many cycles as the words its busiest tile sends
//     plus the words it receives (a tile has one role at a time and moves one word a cycle);
//   - a tile's peak SRAM is at least the largest sum of the sizes of its regions that are
//     live together in one phase.
// Both ignore everything else (latency, alignment, the gap between the two windows), which is
// what makes them simple and what the distance to them measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

struct LaunchFigures {
  std::size_t phase = 0;  // the exchange phase's index in Schedule::phases
  std::size_t epoch = 0;  // the launch's index within the lowered phase
  std::size_t slots = 0;
  std::size_t groups = 0;
  std::uint64_t cycles = 0;         // the launch's estimated cycles
  std::uint16_t busiest_tile = 0;   // the tile that sends plus receives the most words (the lowest of equals)
  std::uint64_t busiest_words = 0;  // its words: the launch's lower bound in cycles
  bool operator==(const LaunchFigures&) const = default;
};

struct TilePeak {
  std::uint16_t tile = 0;
  std::uint32_t peak = 0;        // Schedule::peak_sram of the tile
  std::uint64_t live_bytes = 0;  // the most bytes of its regions live in one phase: the lower bound
  bool operator==(const TilePeak&) const = default;
};

struct CompileSummary {
  std::size_t tensors = 0;
  std::size_t operations = 0;
  std::size_t outputs = 0;
  std::size_t compute_phases = 0;
  std::size_t exchange_phases = 0;
  std::vector<LaunchFigures> launches;  // in phase order
  std::vector<TilePeak> peaks;          // one per tile of `peak_sram`, ascending by tile
  // Bytes from the lower window base up to the data window: every home lies above them, so
  // they are part of the distance of every tile with a home from its bound.
  std::uint32_t data_offset = 0;
  bool operator==(const CompileSummary&) const = default;
};

// The lowest, the median and the highest peak of a list of tiles, for tables that show the
// spread in three figures. Among equal peaks the lowest tile stands for them; the median is
// the lower middle of the tiles ordered by peak, then tile.
struct PeakSpread {
  TilePeak minimum;
  TilePeak median;
  TilePeak maximum;
  bool operator==(const PeakSpread&) const = default;
};

// Nothing for an empty list.
[[nodiscard]] std::optional<PeakSpread> peak_spread(std::span<const TilePeak> peaks);

// The busiest tile of a launch and its words sent plus received: each group sends bytes / 4
// words once from its source and delivers them to each destination. {0, 0} for no groups.
[[nodiscard]] std::pair<std::uint16_t, std::uint64_t> busiest_tile_words(const LoweredExchangeEpoch& epoch);

// For every tile with regions, the largest sum of the sizes of its regions live together in
// one phase.
[[nodiscard]] std::map<std::uint16_t, std::uint64_t> live_bytes_bound(std::span<const Allocation> allocations);

// The figures of the program built for the graph. A launch counts its slots from
// Program::group_slots (none where the program has no slots for its phase).
[[nodiscard]] CompileSummary summarize_program(const Graph& graph, const Program& program);

}  // namespace velk_compiler
