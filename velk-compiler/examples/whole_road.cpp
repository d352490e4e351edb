// The whole road of the compiler on the encoder block in one call: graph -> schedule ->
// lowered exchanges -> tile programs -> command bytes. Built and run by ctest, and shown in
// README.
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
  const Result<Graph> graph =
      encoder_graph(EncoderConfig{.sequence = 32, .hidden = 64, .heads = 4, .feed_forward = 256});
  if (!graph) return report(graph.error());

  // 2. The program: the schedule (layouts, compute and exchange phases, every tile's memory
  //    plan), every exchange phase as one launch on the R77 card's fabric, one program per
  //    tile and every tile's command stream.
  const CompilerOptions options{.tile_count = 64};
  const Result<Program> program = build_program(*graph, options, velk_exchange::Topology::r77());
  if (!program) return report(program.error());

  // 3. Each tile's command stream, 32 little-endian bytes per command.
  std::size_t bytes = 0;
  for (const std::vector<EncodedTileCommand>& commands : program->tile_commands) {
    for (const EncodedTileCommand& command : commands) bytes += command.to_le_bytes().size();
  }

  // Anything can be checked against the system's invariants.
  if (auto verified = verify_schedule(*graph, program->schedule, options); !verified) return report(verified.error());
  if (auto verified = verify_tile_programs(program->schedule, program->exchanges, program->tile_programs); !verified) {
    return report(verified.error());
  }
  const CompileSummary summary = summarize_program(*graph, *program);
  unsigned long long cycles = 0;
  for (const LaunchFigures& launch : summary.launches) cycles += launch.cycles;
  std::printf("%zu phases, %zu exchange launches of %llu cycles in all, %zu tile programs, %zu command bytes\n",
              program->schedule.phases.size(), summary.launches.size(), cycles, program->tile_programs.size(), bytes);
  return 0;
}
