#include "velk_compiler/verifier.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "encoder_road.hpp"
#include "exchange_schedule.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::Topology;

std::string first_broken(const Road& road) {
  if (auto s = verify_schedule(road.graph, road.schedule, road.options); !s) return s.error().message();
  if (auto l = verify_lowered_exchanges(road.schedule, road.exchanges); !l) return l.error().message();
  if (auto p = verify_tile_programs(road.schedule, road.exchanges, road.programs); !p) return p.error().message();
  return "";
}

ComputePhase& compute_at(Road& road, std::size_t phase) { return std::get<ComputePhase>(road.schedule.phases[phase]); }
ExchangePhase& exchange_at(Road& road, std::size_t phase) { return std::get<ExchangePhase>(road.schedule.phases[phase]); }

TEST(Verifier, AcceptsTheEncoderRoad) { EXPECT_EQ(first_broken(encoder_road()), ""); }

TEST(Verifier, ReportsEachBrokenInvariant) {
  const struct {
    std::string_view expected;
    std::function<void(Road&)> mutate;
  } cases[] = {
      {"schedule keeps the options' tile count", [](Road& r) { r.schedule.tile_count = 63; }},
      {"one layout per tensor", [](Road& r) { r.schedule.layouts.pop_back(); }},
      {"layout tiles run from tile 0 within the tile count (layout 0)",
       [](Road& r) { r.schedule.layouts[0].tiles.push_back(64); }},
      {"compute phases follow the operations in order in phase 1",
       [](Road& r) { std::swap(r.schedule.phases[1], r.schedule.phases[2]); }},
      {"exchange phase directly precedes a compute phase in phase 17",
       [](Road& r) { r.schedule.phases.push_back(r.schedule.phases[7]); }},
      {"transfer moves one share", [](Road& r) { exchange_at(r, 7).transfers[0].bytes = 1020; }},
      {"transfer moves an operand of the next operation",
       [](Road& r) { exchange_at(r, 7).transfers[0].tensor = TensorId{0}; }},
      {"multiple sends target one tensor region in an epoch in phase 12",
       [](Road& r) { exchange_at(r, 12).transfers[1].destination_tile = exchange_at(r, 12).transfers[0].destination_tile; }},
      {"only the last command is the tail in phase 0",
       [](Road& r) { compute_at(r, 0).commands[0].specialization.role = "tail"; }},
      {"one command per result tile in phase 0", [](Road& r) { compute_at(r, 0).commands.pop_back(); }},
      {"command key names the operation and the result shape in phase 0",
       [](Road& r) { compute_at(r, 0).commands[1].specialization.operation = "gelu"; }},
      {"one compute phase per operation", [](Road& r) { r.schedule.phases.pop_back(); }},
      {"compute phases follow the operations in order in phase 17",
       [](Road& r) { r.schedule.phases.push_back(ComputePhase{OpId{15}, {}}); }},
      {"the graph is valid: graph has no outputs", [](Road& r) { r.graph.outputs.clear(); }},
      {"region lies inside its window (allocation 0)", [](Road& r) { r.schedule.allocations[0].address = 0xE0000; }},
      {"allocation lifetime lies within the phases (allocation 3)",
       [](Road& r) { r.schedule.allocations[3].live_until = 18; }},
      {"allocation names a known tile and tensor (allocation 3)", [](Road& r) { r.schedule.allocations[3].tile = 64; }},
      {"staging region names an exchange phase",
       [](Road& r) { std::get<ExchangeStaging>(r.schedule.allocations.back().kind).phase = 8; }},
      {"tensor 0 has a home on tile 0", [](Road& r) { r.schedule.allocations.erase(r.schedule.allocations.begin()); }},
      {"share bytes while both are live",
       [](Road& r) { r.schedule.allocations.push_back(r.schedule.allocations[0]); }},
      {"peak SRAM matches the regions", [](Road& r) { r.schedule.peak_sram[0] += 1; }},
      {"one lowered phase per exchange phase in phase 12", [](Road& r) { r.exchanges.pop_back(); }},
      {"launch cost adds up in phase 7",
       [](Road& r) {
         r.exchanges[0].epochs[0].cost.payload_words += 1;
         r.exchanges[0].cost = r.exchanges[0].epochs[0].cost;
       }},
      {"phase cost equals its launch's cost in phase 7", [](Road& r) { r.exchanges[0].cost.launches = 2; }},
      {"groups cover exactly the phase's transfers in phase 7",
       [](Road& r) { r.exchanges[0].epochs[0].groups.pop_back(); }},
      {"group sends whole words with absolute addresses",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].addressing = ExchangeAddressing::Relative; }},
      {"receiver row of tile 4 writes its staging region",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].receivers[0][2] += 1; }},  // the receive-address word
      {"sender row reads a region of its tensor", [](Road& r) { r.exchanges[0].epochs[0].groups[0].sender[2] += 8; }},
      {"row is framed by one entry and one return word (tile 0 in phase 7)",
       [](Road& r) { r.exchanges[0].epochs[0].tile_rows[0].push_back(velk_exchange::ROW_RETURN_WORD); }},
      {"row covers the launch's cycles (tile 0 in phase 7)",
       [](Road& r) {
         auto& row = r.exchanges[0].epochs[0].tile_rows[0];
         row.insert(row.end() - 1, velk_exchange::delay(0));
       }},
      {"rows exactly for the tiles with a role in phase 7",
       [](Road& r) { r.exchanges[0].epochs[0].tile_rows.erase(0); }},
      {"one program per tile", [](Road& r) { r.programs.pop_back(); }},
      {"programs in tile order", [](Road& r) { std::swap(r.programs[0], r.programs[1]); }},
      {"output address points at the output's home in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).output_address += 16; }},
      {"input address points at a live region of the input in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).input_addresses[0] += 16; }},
      {"one exchange step per launch with the tile's row in phase 7 (program of tile 40)",
       [](Road& r) { r.programs[40].steps.erase(r.programs[40].steps.begin()); }},
      {"program holds no further steps (program of tile 40)",
       [](Road& r) { r.programs[40].steps.push_back(r.programs[40].steps[0]); }},
  };
  const Road original = encoder_road();
  for (const auto& c : cases) {
    Road road = original;
    c.mutate(road);
    const std::string broken = first_broken(road);
    EXPECT_NE(broken.find(c.expected), std::string::npos) << "expected: " << c.expected << "\n     got: " << broken;
  }
}

TEST(Verifier, CatchesTwoRolesAtOnce) {
  // Tile 0 sends two tensors; the colouring puts them in successive slots. Replaying the first
  // group's timing for the second makes the two sends overlap.
  const std::vector<Transfer> transfers = {{0, 1, TensorId{0}, 64}, {0, 2, TensorId{1}, 64}};
  const Schedule schedule = exchange_schedule(transfers);
  std::vector<LoweredExchangePhase> lowered = *schedule.lower_exchanges(Topology::r77());
  EXPECT_TRUE(verify_lowered_exchanges(schedule, lowered));
  auto& groups = lowered[0].epochs[0].groups;
  groups[1].sender = groups[0].sender;
  EXPECT_EQ(verify_lowered_exchanges(schedule, lowered),
            std::unexpected(CompileError::graph("invariant broken: tile 0 has two roles at once in phase 0")));
}

}  // namespace
}  // namespace velk_compiler
