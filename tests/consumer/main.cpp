// Uses every library of the installed velk package once: writes the encoder block as a graph
// file, reads it back, builds its program, writes its output files and summary, and logs the
// result.
#include <iostream>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"
#include "velk_io/velk_io.hpp"
#include "velk_log/velk_log.hpp"
#include "velk_views/velk_views.hpp"

int main() {
  const auto graph = velk_compiler::encoder_graph({});
  if (!graph) return 1;
  const auto text = velk_io::write_graph_json(*graph);
  if (!text) return 1;
  const auto back = velk_io::read_graph_json(*text);
  if (!back || *back != *graph) return 1;
  const auto program = velk_compiler::build_program(*back, {}, velk_exchange::Topology::r77());
  if (!program) return 1;
  const std::vector<velk_io::OutputFile> files = velk_io::output_files(*program);
  velk_log::emit(velk_log::Level::Info, "velk_consumer", "compiled",
                 {{"phases", std::uint64_t{program->schedule.phases.size()}}});
  std::cout << "compiled " << program->schedule.phases.size() << " phases, " << program->exchanges.size()
            << " exchange phases, " << files.size() << " files\n"
            << velk_views::render_summary(velk_compiler::summarize_program(*back, *program));
  return 0;
}
