// The schedule verifier against the encoder road: the road itself passes, and each case damages
// one record of it and expects the verifier's exact message.
#include "velk_compiler/verifier.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "encoder_road.hpp"
#include "exchange_schedule.hpp"
#include "velk_compiler/velk_compiler.hpp"
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

ComputePhase& compute_at(Road& road, std::size_t phase) { return std::get<ComputePhase>(road.schedule.phases[phase]); }
ExchangePhase& exchange_at(Road& road, std::size_t phase) {
  return std::get<ExchangePhase>(road.schedule.phases[phase]);
}

// Every staging region of exchange phase 7 removed: its transfers then land nowhere.
void drop_staging_of_phase_7(Road& road) {
  std::erase_if(road.schedule.allocations, [](const Allocation& a) {
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return staging != nullptr && staging->phase == 7;
  });
  road.schedule.peak_sram = peak_sram(road.schedule.allocations, 0x50000);
}

TEST(Verifier, AcceptsTheEncoderRoad) { EXPECT_EQ(first_broken(encoder_road()), ""); }

// On tile 0 of the road, allocation 0 (0x58000, 1024 bytes, phases 0 to 10) is followed in
// memory by allocation 8 (from 0x58400, phases 0 to 1) and in time by allocation 272 (from
// 0x58000, phases 11 to 13): the road shows that touching bytes and successive phases may be
// shared, and the two cases marked "overlap edge" that one common byte or phase may not.
TEST(Verifier, ReportsEachBrokenInvariantExactly) {
  const struct {
    std::string_view expected;
    std::function<void(Road&)> mutate;
  } cases[] = {
      // The schedule.
      {"graph: invariant broken: the graph is valid: graph has no outputs", [](Road& r) { r.graph.outputs.clear(); }},
      {"graph: invariant broken: schedule keeps the options' tile count", [](Road& r) { r.schedule.tile_count = 63; }},
      {"graph: invariant broken: one layout per tensor", [](Road& r) { r.schedule.layouts.pop_back(); }},
      {"graph: invariant broken: layout names its own tensor (layout 0)",
       [](Road& r) { r.schedule.layouts[0].tensor = TensorId{1}; }},
      {"graph: invariant broken: layout has tiles and an alignment (layout 0)",
       [](Road& r) { r.schedule.layouts[0].alignment = 0; }},
      {"graph: invariant broken: layout has tiles and an alignment (layout 3)",
       [](Road& r) { r.schedule.layouts[3].tiles.clear(); }},
      {"graph: invariant broken: layout tiles run from tile 0 within the tile count (layout 0)",
       [](Road& r) { r.schedule.layouts[0].tiles.push_back(64); }},
      {"graph: invariant broken: compute phases follow the operations in order in phase 1",
       [](Road& r) { std::swap(r.schedule.phases[1], r.schedule.phases[2]); }},
      {"graph: invariant broken: compute phases follow the operations in order in phase 17",
       [](Road& r) {
         r.schedule.phases.push_back(ComputePhase{OpId{15}, {}});
       }},
      {"graph: invariant broken: exchange phase directly precedes a compute phase in phase 17",
       [](Road& r) { r.schedule.phases.push_back(r.schedule.phases[7]); }},
      {"graph: invariant broken: one compute phase per operation", [](Road& r) { r.schedule.phases.pop_back(); }},
      {"graph: invariant broken: exchange phase has transfers in phase 7",
       [](Road& r) { exchange_at(r, 7).transfers.clear(); }},
      {"graph: invariant broken: multiple sends target one tensor region in an epoch in phase 12",
       [](Road& r) {
         exchange_at(r, 12).transfers[1].destination_tile = exchange_at(r, 12).transfers[0].destination_tile;
       }},
      {"graph: invariant broken: transfer moves an operand of the next operation (tensor 0 to tile 4 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].tensor = TensorId{0}; }},
      {"graph: invariant broken: transfer runs from an operand tile to a result tile (tensor 13 to tile 4 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].source_tile = 60; }},
      {"graph: invariant broken: transfer runs from an operand tile to a result tile (tensor 13 to tile 9 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].destination_tile = 9; }},
      {"graph: invariant broken: transfer moves one share (tensor 13 to tile 4 in phase 7)",
       [](Road& r) { exchange_at(r, 7).transfers[0].bytes = 1020; }},
      {"graph: invariant broken: one command per result tile in phase 0",
       [](Road& r) { compute_at(r, 0).commands.pop_back(); }},
      {"graph: invariant broken: commands follow the result layout and the operation in phase 0",
       [](Road& r) { compute_at(r, 0).commands[0].tile = 5; }},
      {"graph: invariant broken: commands follow the result layout and the operation in phase 0",
       [](Road& r) { compute_at(r, 0).commands[2].inputs.clear(); }},
      {"graph: invariant broken: only the last command is the tail in phase 0",
       [](Road& r) { compute_at(r, 0).commands[0].specialization.role = "tail"; }},
      {"graph: invariant broken: command key names the operation and the result shape in phase 0",
       [](Road& r) { compute_at(r, 0).commands[1].specialization.operation = "gelu"; }},
      {"graph: invariant broken: allocation names a known tile and tensor (allocation 3)",
       [](Road& r) { r.schedule.allocations[3].tile = 64; }},
      {"graph: invariant broken: allocation lifetime lies within the phases (allocation 3)",
       [](Road& r) { r.schedule.allocations[3].live_until = 18; }},
      {"graph: invariant broken: staging region names an exchange phase (allocation 387)",
       [](Road& r) { std::get<ExchangeStaging>(r.schedule.allocations.back().kind).phase = 8; }},
      {"graph: invariant broken: region lies inside its window (allocation 0)",
       [](Road& r) { r.schedule.allocations[0].address = 0xE0000; }},
      {"graph: invariant broken: tensor 0 has a home on tile 0",
       [](Road& r) { r.schedule.allocations.erase(r.schedule.allocations.begin()); }},
      {"graph: invariant broken: tensor 13 has a staging region on tile 4 in phase 7", drop_staging_of_phase_7},
      {"graph: invariant broken: allocations 0 and 388 of tile 0 share bytes while both are live",
       [](Road& r) { r.schedule.allocations.push_back(r.schedule.allocations[0]); }},
      {"graph: invariant broken: allocations 0 and 8 of tile 0 share bytes while both are live",  // overlap edge
       [](Road& r) { r.schedule.allocations[8].address -= 16; }},
      {"graph: invariant broken: allocations 0 and 272 of tile 0 share bytes while both are live",  // overlap edge
       [](Road& r) { r.schedule.allocations[272].live_from = 10; }},
      {"graph: invariant broken: peak SRAM matches the regions", [](Road& r) { r.schedule.peak_sram[0] += 1; }},
      // The lowered exchanges.
      {"graph: invariant broken: one lowered phase per exchange phase in phase 12",
       [](Road& r) { r.exchanges.pop_back(); }},
      {"graph: invariant broken: no lowered phase beyond the exchange phases",
       [](Road& r) { r.exchanges.push_back(r.exchanges.back()); }},
      {"graph: invariant broken: one launch per exchange phase with transfers in phase 7",
       [](Road& r) { r.exchanges[0].epochs.clear(); }},
      {"graph: invariant broken: phase cost equals its launch's cost in phase 7",
       [](Road& r) { r.exchanges[0].cost.launches = 2; }},
      {"graph: invariant broken: launch cost adds up in phase 7",
       [](Road& r) {
         r.exchanges[0].epochs[0].cost.payload_words += 1;
         r.exchanges[0].cost = r.exchanges[0].epochs[0].cost;
       }},
      {"graph: invariant broken: groups cover exactly the phase's transfers in phase 7",
       [](Road& r) { r.exchanges[0].epochs[0].groups.pop_back(); }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "7)",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].receivers.pop_back(); }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "12)",
       [](Road& r) {
         auto& tiles = r.exchanges[1].epochs[0].groups[0].destination_tiles;
         std::reverse(tiles.begin(), tiles.end());
       }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "12)",
       [](Road& r) {
         auto& tiles = r.exchanges[1].epochs[0].groups[0].destination_tiles;
         tiles[1] = tiles[0];
       }},
      {"graph: invariant broken: group has ascending destinations with one receiver row each (group of tile 0 in phase "
       "7)",
       [](Road& r) {
         r.exchanges[0].epochs[0].groups[0].destination_tiles.clear();
         r.exchanges[0].epochs[0].groups[0].receivers.clear();
       }},
      {"graph: invariant broken: group sends whole words with absolute addresses (group of tile 0 in phase 7)",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].addressing = ExchangeAddressing::Relative; }},
      {"graph: invariant broken: sender row reads a region of its tensor (group of tile 0 in phase 7)",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].sender[2] += 8; }},
      {"graph: invariant broken: sender row reads a region of its tensor (group of tile 0 in phase 7)",
       [](Road& r) {
         for (std::uint32_t& word : r.exchanges[0].epochs[0].groups[0].sender) {
           if (velk_exchange::instruction_kind(word) == velk_exchange::InstructionKind::Send) {
             word = velk_exchange::delay(0);
           }
         }
       }},
      {"graph: invariant broken: receiver row of tile 4 writes its staging region (group of tile 0 in phase 7)",
       [](Road& r) { r.exchanges[0].epochs[0].groups[0].receivers[0][2] += 1; }},  // the receive-address word
      {"graph: invariant broken: receiver row of tile 4 writes its staging region (group of tile 0 in phase 7)",
       [](Road& r) {
         for (std::uint32_t& word : r.exchanges[0].epochs[0].groups[0].receivers[0]) {
           if (velk_exchange::is_receive_address_word(word)) word = velk_exchange::delay(0);
         }
       }},
      {"graph: invariant broken: row is framed by one entry and one return word (tile 0 in phase 7)",
       [](Road& r) { r.exchanges[0].epochs[0].tile_rows[0].push_back(velk_exchange::ROW_RETURN_WORD); }},
      {"graph: invariant broken: row covers the launch's cycles (tile 0 in phase 7)",
       [](Road& r) {
         auto& row = r.exchanges[0].epochs[0].tile_rows[0];
         row.insert(row.end() - 1, velk_exchange::delay(0));
       }},
      {"graph: invariant broken: rows exactly for the tiles with a role in phase 7",
       [](Road& r) { r.exchanges[0].epochs[0].tile_rows.erase(0); }},
      // The tile programs.
      {"graph: invariant broken: one program per tile", [](Road& r) { r.programs.pop_back(); }},
      {"graph: invariant broken: programs in tile order", [](Road& r) { std::swap(r.programs[0], r.programs[1]); }},
      {"graph: invariant broken: one exchange step per launch with the tile's row in phase 7 (program of tile 40)",
       [](Road& r) { r.programs[40].steps.erase(r.programs[40].steps.begin()); }},
      {"graph: invariant broken: one compute step per kernel on the tile in phase 0 (program of tile 0)",
       [](Road& r) {
         r.programs[0].steps[0] = ExchangeStep{0, 0, {}};
       }},
      {"graph: invariant broken: one compute step per kernel on the tile in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).op = OpId{3}; }},
      {"graph: invariant broken: output address points at the output's home in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).output_address += 16; }},
      {"graph: invariant broken: input address points at a live region of the input in phase 0 (program of tile 0)",
       [](Road& r) { std::get<LoweredComputeCommand>(r.programs[0].steps[0]).input_addresses[0] += 16; }},
      {"graph: invariant broken: program holds no further steps (program of tile 40)",
       [](Road& r) { r.programs[40].steps.push_back(r.programs[40].steps[0]); }},
  };
  const Road original = encoder_road();
  ASSERT_EQ(first_broken(original), "");
  for (const auto& c : cases) {
    Road road = original;
    c.mutate(road);
    EXPECT_EQ(first_broken(road), c.expected);
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

TEST(Verifier, ProgramsNeedEveryExchangePhaseLowered) {
  Road road = encoder_road();
  road.exchanges.erase(road.exchanges.begin());
  EXPECT_EQ(verify_tile_programs(road.schedule, road.exchanges, road.programs),
            std::unexpected(CompileError::graph("invariant broken: every exchange phase is lowered in phase 7")));
}

}  // namespace
}  // namespace velk_compiler
