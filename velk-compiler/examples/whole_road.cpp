// The whole road of the compiler on the encoder block: graph -> schedule -> lowered
// exchanges -> tile programs -> command bytes. Built and run by ctest, and shown in README.
#include <cstdio>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

int report(const velk_compiler::CompileError& error) {
  std::fprintf(stderr, "%s\n", velk_compiler::to_string(error).c_str());
  return 1;
}

}  // namespace

int main() {
  using namespace velk_compiler;

  // 1. The graph: the encoder block at its default size (or any graph built with Graph's
  //    builder operations).
  const Result<Graph> graph = encoder_graph(EncoderConfig{.sequence = 32, .hidden = 64, .heads = 4, .feed_forward = 256});
  if (!graph) return report(graph.error());

  // 2. The schedule: layouts, compute and exchange phases, and every tile's memory plan.
  const CompilerOptions options{.tile_count = 64};
  const Result<Schedule> schedule = compile(*graph, options);
  if (!schedule) return report(schedule.error());

  // 3. Every exchange phase as one launch on the R77 card's fabric.
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  const Result<std::vector<LoweredExchangePhase>> exchanges = schedule->lower_exchanges(topology);
  if (!exchanges) return report(exchanges.error());

  // 4. One program per tile: kernels with resolved addresses, one exchange row per launch.
  const Result<std::vector<LoweredTileProgram>> programs = schedule->lower_tile_programs(topology);
  if (!programs) return report(programs.error());

  // 5. Each tile's command stream, 32 little-endian bytes per command.
  std::size_t bytes = 0;
  for (std::uint16_t tile = 0; tile < schedule->tile_count; ++tile) {
    const Result<std::vector<EncodedTileCommand>> commands = schedule->tile_commands(tile);
    if (!commands) return report(commands.error());
    for (const EncodedTileCommand& command : *commands) bytes += command.to_le_bytes().size();
  }

  // Anything can be checked against the system's invariants.
  if (auto verified = verify_schedule(*graph, *schedule, options); !verified) {
    return report(verified.error());
  }
  unsigned long long cycles = 0;
  for (const LoweredExchangePhase& phase : *exchanges) cycles += phase.cost.estimated_cycles;
  std::printf("%zu phases, %zu exchange launches of %llu cycles in all, %zu tile programs, %zu command bytes\n",
              schedule->phases.size(), exchanges->size(), cycles, programs->size(), bytes);
  return 0;
}
