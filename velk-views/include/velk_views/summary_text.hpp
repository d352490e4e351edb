// What velkc tells a user about a compilation, as text: its size, its phases, each exchange
// launch and each tile's peak SRAM beside its lower bound (compile_summary.hpp); and, when
// memory planning fails, why.
#pragma once

#include <string>

#include "velk_compiler/compile_summary.hpp"
#include "velk_compiler/error.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/memory_diagnostics.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_views {

// The summary as lines of text: graph size, phases, one line per launch, and peak SRAM per
// tile as minimum, median and maximum, with the fullest tiles named.
[[nodiscard]] std::string render_summary(const velk_compiler::CompileSummary& summary);

// A failed compilation as velkc prints it: the error as the compiler renders it
// (`velk_compiler::to_string`), and for a memory error the planner's diagnosis
// (`diagnose_memory_plan` with the same graph and options) when there is one.
[[nodiscard]] std::string render_compile_failure(const velk_compiler::Graph& graph,
                                                 const velk_compiler::CompilerOptions& options,
                                                 const velk_compiler::CompileError& error);

// Why memory planning failed: the region, the bytes it needed, the window it had and the
// regions live beside it, one per line with tensor name, kind, address, size and lifetime.
[[nodiscard]] std::string render_memory_failure(const velk_compiler::Graph& graph,
                                                const velk_compiler::MemoryFailure& failure);

}  // namespace velk_views
