// The schedule verifier: checks, from the records alone, every invariant the compiler
// promises about a schedule, its lowered exchanges and its tile programs. It does not call
// the stages that produced them, so a fault in a stage shows up as a broken invariant here.
// The first broken invariant is returned as a Graph error "invariant broken: <what and where>".
#pragma once

#include <span>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_compiler/tile_program.hpp"

namespace velk_compiler {

// One compute phase per operation in order; exchange phases only directly before the
// compute phase they feed, with valid transfers of operand shares from the operand's tiles
// to the result's; one command per result tile with a single "tail"; tiles and phase indices
// in range; every home and staging region present, inside its window, and never sharing a
// byte with a region of the same tile while both are live; `peak_sram` matching the regions.
[[nodiscard]] Result<void> verify_schedule(const Graph& graph, const Schedule& schedule,
                                           const CompilerOptions& options);

// One lowered phase per exchange phase, one launch per phase with transfers; its groups
// cover exactly the phase's transfers with rows addressed to the right regions; every row
// is framed by one entry and one return word and covers the launch's cycles; no tile has
// two roles at once; costs add up.
[[nodiscard]] Result<void> verify_lowered_exchanges(const Schedule& schedule,
                                                    std::span<const LoweredExchangePhase> lowered);

// One program per tile, each following the schedule's phases: one exchange step per launch
// with the tile's row, and per kernel on the tile a compute step whose addresses point at
// regions of the right tensors that are live in that phase.
[[nodiscard]] Result<void> verify_tile_programs(const Schedule& schedule, std::span<const LoweredExchangePhase> lowered,
                                                std::span<const LoweredTileProgram> programs);

}  // namespace velk_compiler
