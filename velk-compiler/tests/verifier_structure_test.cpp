// The verifier's structural invariants that the mutations of verifier_test.cpp do not break:
// each case damages one record of the encoder road and expects the verifier's exact message.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "velk_compiler/velk_compiler.hpp"
#include "encoder_road.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::Topology;

// The first broken invariant of the schedule, its lowered exchanges and its programs, in that
// order, as the whole error text; empty when all hold.
std::string first_broken(const Road& road) {
  if (auto s = verify_schedule(road.graph, road.schedule, road.options); !s) return to_string(s.error());
  if (auto l = verify_lowered_exchanges(road.schedule, road.exchanges); !l) return to_string(l.error());
  if (auto p = verify_tile_programs(road.schedule, road.exchanges, road.programs); !p) return to_string(p.error());
  return "";
}

ExchangePhase& exchange_at(Road& road, std::size_t phase) {
  return std::get<ExchangePhase>(road.schedule.phases[phase]);
}
ComputePhase& compute_at(Road& road, std::size_t phase) { return std::get<ComputePhase>(road.schedule.phases[phase]); }

// Every staging region of exchange phase 7 removed: its transfers then land nowhere.
void drop_staging_of_phase_7(Road& road) {
  std::erase_if(road.schedule.allocations, [](const Allocation& a) {
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return staging != nullptr && staging->phase == 7;
  });
  road.schedule.peak_sram = peak_sram(road.schedule.allocations, 0x50000);
}

TEST(VerifierStructure, ReportsEachBrokenInvariantExactly) {
  const struct {
    std::string_view expected;
    std::function<void(Road&)> mutate;
  } cases[] = {
      {"graph: invariant broken: layout names its own tensor (layout 0)",
       [](Road& r) { r.schedule.layouts[0].tensor = TensorId{1}; }},
      {"graph: invariant broken: layout has tiles and an alignment (layout 0)",
       [](Road& r) { r.schedule.layouts[0].alignment = 0; }},
      {"graph: invariant broken: layout has tiles and an alignment (layout 3)",
       [](Road& r) { r.schedule.layouts[3].tiles.clear(); }},
      {"graph: invariant broken: commands follow the result layout and the operation in phase 0",
       [](Road& r) { compute_at(r, 0).commands[0].tile = 5; }},
      {"graph: invariant broken: commands follow the result layout and the operation in phase 0",
       [](Road& r) { compute_at(r, 0).commands[2].inputs.clear(); }},
      {"graph: invariant broken: exchange phase has transfers in phase 7",
       [](Road& r) { exchange_at(r, 7).transfers.clear(); }},
      {"graph: invariant broken: transfer runs from an operand tile to a result tile (tensor 13 to tile 4 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].source_tile = 60; }},
      {"graph: invariant broken: transfer runs from an operand tile to a result tile (tensor 13 to tile 9 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].destination_tile = 9; }},
      {"graph: invariant broken: tensor 13 has a staging region on tile 4 in phase 7", drop_staging_of_phase_7},
      {"graph: invariant broken: one launch per exchange phase with transfers in phase 7",
       [](Road& r) { r.exchanges[0].epochs.clear(); }},
      {"graph: invariant broken: no lowered phase beyond the exchange phases",
       [](Road& r) { r.exchanges.push_back(r.exchanges.back()); }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "7)",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].receivers.pop_back(); }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "12)",
       [](Road& r) {
         auto& tiles = r.exchanges[1].epochs[0].groups[0].destination_tiles;
         std::reverse(tiles.begin(), tiles.end());
       }},
      {"graph: invariant broken: sender row reads a region of its tensor (group of tile 0 in phase 7)",
       [](Road& r) {
         for (std::uint32_t& word : r.exchanges[0].epochs[0].groups[0].sender) {
           if (velk_exchange::instruction_kind(word) == velk_exchange::InstructionKind::Send)
             word = velk_exchange::delay(0);
         }
       }},
      {"graph: invariant broken: receiver row of tile 4 writes its staging region (group of tile 0 in phase 7)",
       [](Road& r) {
         for (std::uint32_t& word : r.exchanges[0].epochs[0].groups[0].receivers[0]) {
           if (velk_exchange::is_receive_address_word(word)) word = velk_exchange::delay(0);
         }
       }},
      {"graph: invariant broken: one compute step per kernel on the tile in phase 0 (program of tile 0)",
       [](Road& r) {
         r.programs[0].steps[0] = ExchangeStep{0, 0, {}};
       }},
      {"graph: invariant broken: one compute step per kernel on the tile in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).op = OpId{3}; }},
  };
  const Road original = encoder_road();
  ASSERT_EQ(first_broken(original), "");
  for (const auto& c : cases) {
    Road road = original;
    c.mutate(road);
    EXPECT_EQ(first_broken(road), c.expected);
  }
}

TEST(VerifierStructure, ProgramsNeedEveryExchangePhaseLowered) {
  Road road = encoder_road();
  road.exchanges.erase(road.exchanges.begin());
  EXPECT_EQ(verify_tile_programs(road.schedule, road.exchanges, road.programs),
            std::unexpected(CompileError::graph("invariant broken: every exchange phase is lowered in phase 7")));
}

}  // namespace
}  // namespace velk_compiler
