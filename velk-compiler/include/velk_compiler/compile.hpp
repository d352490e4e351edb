// The compile driver: graph and options in, schedule out. It validates the graph, checks
// the options, chooses every layout, builds one compute phase per operation (preceded by an
// exchange phase when an operand must first reach tiles that lack it), plans every tile's
// memory and derives each tile's peak.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// Emits "compiling graph" first, then on success "planned tile SRAM" and
// "graph compilation completed". A graph error wins over an options error.
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);

// The phases `compile` builds for the graph over these layouts (one per tensor): per
// operation, an exchange phase when some operand must reach tiles that lack it, then its
// compute phase. Requires a validated graph.
[[nodiscard]] Result<std::vector<Phase>> compile_phases(const Graph& graph, const std::vector<Layout>& layouts);

// True when the options describe an exchange window inside 0x50000..0x58000, below a
// non-empty data window, on at least one tile.
bool valid_options(const CompilerOptions& options);

// Which option breaks those rules and why, for a person to read.
struct OptionsProblem {
  enum class Option : std::uint8_t { TileCount, ExchangeWindow, DataWindow };
  Option option = Option::TileCount;
  std::string why;  // "no tiles", "the window is empty (0x50000:0x50000)", ...
  bool operator==(const OptionsProblem&) const = default;
};

// The first rule of valid_options that the options break, in the order tiles, exchange
// window, data window; nothing when they are valid.
[[nodiscard]] std::optional<OptionsProblem> options_problem(const CompilerOptions& options);

// One exchange phase's transfers: none may copy a tile to itself or move 0 bytes
// ("invalid exchange transfer"), and no two may target the same tensor on the same tile
// ("multiple sends target one tensor region in an epoch").
[[nodiscard]] Result<void> validate_transfers(std::span<const Transfer> transfers);

}  // namespace velk_compiler
