// A test fixture: the encoder block compiled with default options and lowered all the way,
// for tests that damage one record and watch the verifier.
#pragma once

#include <vector>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {

struct Road {
  Graph graph;
  CompilerOptions options;
  Schedule schedule;
  std::vector<LoweredExchangePhase> exchanges;
  std::vector<LoweredTileProgram> programs;
};

inline Road encoder_road() {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  Road road{*encoder_graph(EncoderConfig{}), CompilerOptions{}, {}, {}, {}};
  road.schedule = *compile(road.graph, road.options);
  road.exchanges = *road.schedule.lower_exchanges(topology);
  road.programs = *road.schedule.lower_tile_programs(topology);
  return road;
}

}  // namespace velk_compiler
