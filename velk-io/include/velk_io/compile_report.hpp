// What velkc tells a user about a compilation: its size, its phases, each exchange launch and
// each tile's peak SRAM, every figure beside a simple lower bound so that the user sees how
// much room is left; and, when memory planning fails, why.
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
#include <string>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/memory_diagnostics.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_io {

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
std::optional<PeakSpread> peak_spread(std::span<const TilePeak> peaks);

// The busiest tile of a launch and its words sent plus received: each group sends bytes / 4
// words once from its source and delivers them to each destination. {0, 0} for no groups.
std::pair<std::uint16_t, std::uint64_t> busiest_tile_words(const velk_compiler::LoweredExchangeEpoch& epoch);

// For every tile with regions, the largest sum of the sizes of its regions live together in
// one phase (both ends of a lifetime count).
std::map<std::uint16_t, std::uint64_t> live_bytes_bound(std::span<const velk_compiler::Allocation> allocations);

// The figures of a compiled and lowered graph. Counts slots with the exchange scheduler
// (`exchange_slots`), whose error it returns unchanged; it cannot fail on a schedule that
// `lower_exchanges` has lowered.
velk_compiler::Result<CompileSummary> summarize_compilation(
    const velk_compiler::Graph& graph, const velk_compiler::CompilerOptions& options,
    const velk_compiler::Schedule& schedule, std::span<const velk_compiler::LoweredExchangePhase> exchanges);

// The summary as lines of text: graph size, phases, one line per launch, and peak SRAM per
// tile as minimum, median and maximum, with the fullest tiles named.
std::string render_summary(const CompileSummary& summary);

// A failed compilation as velkc prints it: the error as the compiler renders it
// (`velk_compiler::to_string`), and for a memory error the planner's diagnosis
// (`diagnose_memory_plan` with the same graph and options) when there is one.
std::string render_compile_failure(const velk_compiler::Graph& graph, const velk_compiler::CompilerOptions& options,
                                   const velk_compiler::CompileError& error);

// Why memory planning failed: the region, the bytes it needed, the window it had and the
// regions live beside it, one per line with tensor name, kind, address, size and lifetime.
std::string render_memory_failure(const velk_compiler::Graph& graph, const velk_compiler::MemoryFailure& failure);

}  // namespace velk_io
