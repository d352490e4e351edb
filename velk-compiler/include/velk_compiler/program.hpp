// The whole road from a graph to every tile's command bytes in one call. Each stage runs
// once and its result is kept: the schedule (`compile`), its exchange phases lowered onto
// the fabric with the colour slot of every group, one program per tile, and every tile's
// command stream. The stages' own entry points (`compile`, `Schedule::lower_exchanges`,
// `Schedule::lower_tile_programs`, `Schedule::tile_commands`) give the same values one by one.
#pragma once

#include <cstddef>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_compiler/tile_commands.hpp"
#include "velk_compiler/tile_program.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler {

struct Program {
  CompilerOptions options;
  Schedule schedule;
  std::vector<LoweredExchangePhase> exchanges;  // as Schedule::lower_exchanges gives them
  // Entry i belongs to exchanges[i]: for each group of its launches, in order, the colour
  // slot the group runs in (the exchange scheduler's slots, 0 first).
  std::vector<std::vector<std::size_t>> group_slots;
  std::vector<LoweredTileProgram> tile_programs;               // as Schedule::lower_tile_programs gives them
  std::vector<std::vector<EncodedTileCommand>> tile_commands;  // entry t: Schedule::tile_commands(t)
  bool operator==(const Program&) const = default;
};

// Compiles the graph and lowers the schedule all the way. The first error of any stage ends
// the call unchanged. Emits the events of `compile`, then "lowered exchange schedule" and
// "lowered per-tile programs" once each.
[[nodiscard]] Result<Program> build_program(const Graph& graph, const CompilerOptions& options,
                                            const velk_exchange::Topology& topology);

// The rest of the road for a schedule made some other way (read from a file, built by hand):
// what build_program does after `compile`. `options` are kept in the program as given.
[[nodiscard]] Result<Program> lower_schedule(Schedule schedule, const CompilerOptions& options,
                                             const velk_exchange::Topology& topology);

}  // namespace velk_compiler
