// Uses every library of the installed velk package once: writes the encoder block as a graph
// file, reads it back, compiles it, lowers its exchanges and logs the result.
#include <iostream>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"
#include "velk_io/velk_io.hpp"
#include "velk_log/velk_log.hpp"

int main() {
  const auto graph = velk_compiler::encoder_graph({});
  if (!graph) return 1;
  const auto text = velk_io::write_graph_json(*graph);
  if (!text) return 1;
  const auto back = velk_io::read_graph_json(*text);
  if (!back || *back != *graph) return 1;
  const auto schedule = velk_compiler::compile(*back, {});
  if (!schedule) return 1;
  const auto exchanges = schedule->lower_exchanges(velk_exchange::Topology::r77());
  if (!exchanges) return 1;
  velk_log::emit(velk_log::Level::Info, "velk_consumer", "compiled",
                 {{"phases", std::uint64_t{schedule->phases.size()}}});
  std::cout << "compiled " << schedule->phases.size() << " phases, " << exchanges->size() << " exchange phases\n";
  return 0;
}
