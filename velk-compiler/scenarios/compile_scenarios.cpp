// Scenario checks of the whole road of the encoder block: compile, memory plan, exchange
// lowering, tile programs and command streams.
#include <string>

#include "checks.hpp"
#include "scenario_support.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/memory_planner.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/tile_program.hpp"
#include "velk_compiler/verifier.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

[[nodiscard]] std::expected<Schedule, std::string> compiled_encoder() {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  if (!graph) return fail("encoder_graph", graph);
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  if (!schedule) return fail("compile", schedule);
  return *schedule;
}

[[nodiscard]] CheckOutcome check_schedule(const Graph& graph, const Schedule& schedule) {
  if (auto verified = verify_schedule(graph, schedule, CompilerOptions{}); !verified) return fail("verifier", verified);
  if (graph.ops.size() != 15) return fail("the encoder graph should have 15 operations");
  if (schedule.phases.size() < graph.ops.size()) return fail("fewer phases than operations");
  for (const auto& [tile, peak] : schedule.peak_sram) {
    if (peak >= 0x8E000) return fail("tile " + std::to_string(tile) + " peaks at " + std::to_string(peak) + " bytes");
  }
  const bool staged = std::any_of(schedule.allocations.begin(), schedule.allocations.end(),
                                  [](const Allocation& a) { return std::holds_alternative<ExchangeStaging>(a.kind); });
  if (!staged) return fail("no staging region was planned");
  return {};
}

[[nodiscard]] CheckOutcome check_lowering(const Graph& graph, const Schedule& schedule) {
  const Result<Program> program = build_program(graph, CompilerOptions{}, velk_exchange::Topology::r77());
  if (!program) return fail("build_program", program);
  if (program->schedule != schedule) return fail("the program's schedule differs from the compiled one");
  const std::vector<LoweredExchangePhase>* lowered = &program->exchanges;
  if (lowered->empty()) return fail("no exchange phase was lowered");
  if (auto verified = verify_lowered_exchanges(schedule, *lowered); !verified) return fail("verifier", verified);
  for (const LoweredExchangePhase& phase : *lowered) {
    if (phase.cost.launches == 0) return fail("exchange phase " + std::to_string(phase.phase) + " has no launch");
    for (const LoweredExchangeEpoch& epoch : phase.epochs) {
      if (auto rows = check_epoch_rows(epoch); !rows) return rows;
    }
  }
  const std::vector<LoweredTileProgram>* programs = &program->tile_programs;
  if (programs->size() != schedule.tile_count) return fail("expected one program per tile");
  if (auto verified = verify_tile_programs(schedule, *lowered, *programs); !verified) return fail("verifier", verified);
  for (const LoweredTileProgram& tile_program : *programs) {
    if (tile_program.steps.empty()) return fail("tile " + std::to_string(tile_program.tile) + " has an empty program");
  }
  const std::vector<EncodedTileCommand>* commands = &program->tile_commands.at(0);
  if (commands->empty() || commands->back().words[0] != 0xFF) return fail("tile 0's stream does not end with 0xFF");
  if (commands->back().to_le_bytes().size() != 32) return fail("a command's image is not 32 bytes");
  return {};
}

}  // namespace

CheckOutcome encoder_graph_compiles_deterministically() {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  if (!graph) return fail("encoder_graph", graph);
  const auto first = compiled_encoder();
  const auto second = compiled_encoder();
  if (!first) return fail(first.error());
  if (!second) return fail(second.error());
  if (*first != *second) return fail("two compilations of the encoder block differ");
  if (auto checked = check_schedule(*graph, *first); !checked) return checked;
  return check_lowering(*graph, *first);
}

// Every pair of regions of one tile whose lifetimes overlap (both ends counted) has
// disjoint bytes.
CheckOutcome live_allocations_do_not_overlap() {
  const auto schedule = compiled_encoder();
  if (!schedule) return fail(schedule.error());
  const std::vector<Allocation>& allocations = schedule->allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& a = allocations[i];
      const Allocation& b = allocations[j];
      if (a.tile != b.tile || !lifetimes_overlap(a, b)) continue;
      const bool disjoint =
          std::uint64_t{a.address} + a.size <= b.address || std::uint64_t{b.address} + b.size <= a.address;
      if (!disjoint) {
        return fail("allocations " + std::to_string(i) + " and " + std::to_string(j) + " on tile " +
                    std::to_string(a.tile) + " overlap while both are live");
      }
    }
  }
  return {};
}

}  // namespace velk_compiler
