// The whole road in one call.
#include "velk_compiler/program.hpp"

#include "allocation_index.hpp"
#include "exchange_lowering_steps.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {

Result<Program> build_program(const Graph& graph, const CompilerOptions& options,
                              const velk_exchange::Topology& topology) {
  Result<Schedule> schedule = compile(graph, options);
  if (!schedule) return std::unexpected(schedule.error());
  return lower_schedule(std::move(*schedule), options, topology);
}

Result<Program> lower_schedule(Schedule schedule, const CompilerOptions& options,
                               const velk_exchange::Topology& topology) {
  Program program{options, std::move(schedule), {}, {}, {}, {}};
  const Schedule& compiled = program.schedule;

  const AllocationIndex index(compiled.allocations);
  Result<SlottedExchanges> exchanges = lower_exchanges_with_slots(compiled, index, topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  program.exchanges = std::move(exchanges->phases);
  program.group_slots = std::move(exchanges->group_slots);

  Result<std::vector<LoweredTileProgram>> programs = lower_tile_programs(compiled, index, program.exchanges);
  if (!programs) return std::unexpected(programs.error());
  program.tile_programs = std::move(*programs);

  program.tile_commands = compiled.all_tile_commands();
  velk_log::report_progress("velk_compiler", "tile commands", compiled.tile_count, compiled.tile_count, "tiles");
  return program;
}

}  // namespace velk_compiler
