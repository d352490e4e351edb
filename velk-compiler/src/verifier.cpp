// The schedule verifier.
#include "velk_compiler/verifier.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_compiler/memory_planner.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

std::unexpected<CompileError> broken(const std::string& what) {
  return std::unexpected(CompileError::graph("invariant broken: " + what));
}

std::string num(std::size_t value) { return std::to_string(value); }

std::string at_phase(std::size_t phase) { return " in phase " + num(phase); }

// --- the schedule ---------------------------------------------------------------------------

[[nodiscard]] Result<void> verify_layouts(const Graph& graph, const Schedule& schedule) {
  if (schedule.layouts.size() != graph.tensors.size()) return broken("one layout per tensor");
  for (std::size_t i = 0; i < schedule.layouts.size(); ++i) {
    const Layout& layout = schedule.layouts[i];
    const std::string where = " (layout " + num(i) + ")";
    if (layout.tensor != TensorId{i}) return broken("layout names its own tensor" + where);
    if (layout.tiles.empty() || layout.alignment == 0) return broken("layout has tiles and an alignment" + where);
    for (std::size_t t = 0; t < layout.tiles.size(); ++t) {
      if (layout.tiles[t] != t || layout.tiles[t] >= schedule.tile_count) {
        return broken("layout tiles run from tile 0 within the tile count" + where);
      }
    }
  }
  return {};
}

[[nodiscard]] Result<void> verify_transfers(const Graph& graph, const Schedule& schedule, std::size_t phase,
                                            const ExchangePhase& exchange, const Op& fed) {
  if (exchange.transfers.empty()) return broken("exchange phase has transfers" + at_phase(phase));
  if (auto valid = validate_transfers(exchange.transfers); !valid) {
    return broken(valid.error().message() + at_phase(phase));
  }
  const Layout& result = schedule.layouts[fed.output.index];
  for (const Transfer& t : exchange.transfers) {
    const std::string where =
        " (tensor " + num(t.tensor.index) + " to tile " + num(t.destination_tile) + at_phase(phase) + ")";
    if (std::find(fed.inputs.begin(), fed.inputs.end(), t.tensor) == fed.inputs.end()) {
      return broken("transfer moves an operand of the next operation" + where);
    }
    const Layout& operand = schedule.layouts[t.tensor.index];
    const bool from_operand =
        std::find(operand.tiles.begin(), operand.tiles.end(), t.source_tile) != operand.tiles.end();
    const bool to_result =
        std::find(result.tiles.begin(), result.tiles.end(), t.destination_tile) != result.tiles.end();
    if (!from_operand || !to_result) return broken("transfer runs from an operand tile to a result tile" + where);
    if (t.bytes != local_bytes(graph.tensors[t.tensor.index], operand))
      return broken("transfer moves one share" + where);
  }
  return {};
}

[[nodiscard]] Result<void> verify_commands(const Graph& graph, const Schedule& schedule, std::size_t phase,
                                           const ComputePhase& compute) {
  const Op& op = graph.ops[compute.op.index];
  const Layout& result = schedule.layouts[op.output.index];
  if (compute.commands.size() != result.tiles.size()) return broken("one command per result tile" + at_phase(phase));
  for (std::size_t i = 0; i < compute.commands.size(); ++i) {
    const KernelCommand& command = compute.commands[i];
    if (command.tile != result.tiles[i] || command.output != op.output || command.inputs != op.inputs) {
      return broken("commands follow the result layout and the operation" + at_phase(phase));
    }
    const bool last = i + 1 == compute.commands.size();
    if ((command.specialization.role == "tail") != last)
      return broken("only the last command is the tail" + at_phase(phase));
    if (command.specialization.operation != operation_name(op.kind) ||
        command.specialization.shape != graph.tensors[op.output.index].shape) {
      return broken("command key names the operation and the result shape" + at_phase(phase));
    }
  }
  return {};
}

[[nodiscard]] Result<void> verify_phases(const Graph& graph, const Schedule& schedule) {
  std::size_t next_op = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (const auto* compute = std::get_if<ComputePhase>(&schedule.phases[p])) {
      if (next_op >= graph.ops.size() || compute->op != OpId{next_op}) {
        return broken("compute phases follow the operations in order" + at_phase(p));
      }
      if (auto commands = verify_commands(graph, schedule, p, *compute); !commands) return commands;
      ++next_op;
      continue;
    }
    const auto* fed = p + 1 < schedule.phases.size() ? std::get_if<ComputePhase>(&schedule.phases[p + 1]) : nullptr;
    if (fed == nullptr || fed->op.index >= graph.ops.size()) {
      return broken("exchange phase directly precedes a compute phase" + at_phase(p));
    }
    const auto& exchange = std::get<ExchangePhase>(schedule.phases[p]);
    if (auto transfers = verify_transfers(graph, schedule, p, exchange, graph.ops[fed->op.index]); !transfers) {
      return transfers;
    }
  }
  if (next_op != graph.ops.size()) return broken("one compute phase per operation");
  return {};
}

[[nodiscard]] Result<void> verify_allocation(const Schedule& schedule, const CompilerOptions& options,
                                             const Allocation& a, std::size_t index) {
  const std::string where = " (allocation " + num(index) + ")";
  if (a.tile >= schedule.tile_count || a.tensor.index >= schedule.layouts.size()) {
    return broken("allocation names a known tile and tensor" + where);
  }
  if (a.live_from > a.live_until || a.live_until > schedule.phases.size()) {
    return broken("allocation lifetime lies within the phases" + where);
  }
  const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
  if (staging != nullptr && (staging->phase >= schedule.phases.size() ||
                             !std::holds_alternative<ExchangePhase>(schedule.phases[staging->phase]))) {
    return broken("staging region names an exchange phase" + where);
  }
  const std::uint64_t base = staging != nullptr ? options.exchange_base : options.data_base;
  const std::uint64_t limit = staging != nullptr ? options.exchange_limit : options.data_limit;
  if (a.address < base || std::uint64_t{a.address} + a.size > limit)
    return broken("region lies inside its window" + where);
  return {};
}

// The schedule's regions by (tensor, tile), so that a check visits a tile's regions of one
// tensor rather than every allocation.
class RegionLookup {
 public:
  explicit RegionLookup(const Schedule& schedule) {
    regions_.reserve(schedule.allocations.size());
    for (const Allocation& a : schedule.allocations) regions_.push_back(&a);
    std::stable_sort(regions_.begin(), regions_.end(), [](const Allocation* a, const Allocation* b) {
      return std::pair(a->tensor.index, a->tile) < std::pair(b->tensor.index, b->tile);
    });
  }

  // Whether some region of `tensor` on `tile` matches.
  bool any(TensorId tensor, std::uint16_t tile, auto&& matches) const {
    const auto key = std::pair(tensor.index, tile);
    auto at = std::lower_bound(regions_.begin(), regions_.end(), key, [](const Allocation* a, const auto& k) {
      return std::pair(a->tensor.index, a->tile) < k;
    });
    for (; at != regions_.end() && (*at)->tensor == tensor && (*at)->tile == tile; ++at) {
      if (matches(**at)) return true;
    }
    return false;
  }

 private:
  std::vector<const Allocation*> regions_;
};

[[nodiscard]] Result<void> verify_regions_present(const Graph& graph, const Schedule& schedule,
                                                  const RegionLookup& regions) {
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const std::size_t share = local_bytes(graph.tensors[i], schedule.layouts[i]);
    for (const std::uint16_t tile : schedule.layouts[i].tiles) {
      const bool home = regions.any(TensorId{i}, tile, [share](const Allocation& a) {
        return std::holds_alternative<Home>(a.kind) && a.size >= share;
      });
      if (!home) return broken("tensor " + num(i) + " has a home on tile " + num(tile));
    }
  }
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) continue;
    for (const Transfer& t : exchange->transfers) {
      const bool staged = regions.any(t.tensor, t.destination_tile,
                                      [&](const Allocation& a) { return is_staging_of(a, p) && a.size >= t.bytes; });
      if (!staged) {
        return broken("tensor " + num(t.tensor.index) + " has a staging region on tile " + num(t.destination_tile) +
                      at_phase(p));
      }
    }
  }
  return {};
}

[[nodiscard]] Result<void> verify_no_live_overlap(const Schedule& schedule) {
  std::map<std::uint16_t, std::vector<std::size_t>> by_tile;
  for (std::size_t i = 0; i < schedule.allocations.size(); ++i) by_tile[schedule.allocations[i].tile].push_back(i);
  for (const auto& [tile, indices] : by_tile) {
    for (std::size_t x = 0; x < indices.size(); ++x) {
      for (std::size_t y = x + 1; y < indices.size(); ++y) {
        const Allocation& a = schedule.allocations[indices[x]];
        const Allocation& b = schedule.allocations[indices[y]];
        if (!lifetimes_overlap(a, b)) continue;
        if (std::uint64_t{a.address} + a.size <= b.address || std::uint64_t{b.address} + b.size <= a.address) continue;
        return broken("allocations " + num(indices[x]) + " and " + num(indices[y]) + " of tile " + num(tile) +
                      " share bytes while both are live");
      }
    }
  }
  return {};
}

// --- lowered exchanges ----------------------------------------------------------------------

// The cycles during which a planned row is busy: from the end of its first timed word
// when that is a wait (a delay of any kind), else from 0, to the end of its last event.
struct Window {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

[[nodiscard]] Result<Window> busy_window(const velk_exchange::Row& row) {
  const auto cycles = velk_exchange::plan_event_cycles(row);
  if (!cycles) return std::unexpected(cycles.error());
  for (const std::uint32_t word : row) {
    const std::uint32_t advance = velk_exchange::instruction_advance(word);
    if (advance == 0) continue;
    const velk_exchange::InstructionKind kind = velk_exchange::instruction_kind(word);
    const bool wait = kind == velk_exchange::InstructionKind::Delay ||
                      kind == velk_exchange::InstructionKind::PicDelay ||
                      kind == velk_exchange::InstructionKind::XpicDelay;
    return Window{wait ? advance : 0, *cycles};
  }
  return Window{0, *cycles};
}

[[nodiscard]] Result<void> verify_row_frame(const std::vector<std::uint32_t>& row, std::uint64_t cycles,
                                            const std::string& where) {
  const auto entries = std::count(row.begin(), row.end(), velk_exchange::ROW_ENTRY_WORD);
  const auto returns = std::count(row.begin(), row.end(), velk_exchange::ROW_RETURN_WORD);
  if (row.empty() || row.front() != velk_exchange::ROW_ENTRY_WORD || row.back() != velk_exchange::ROW_RETURN_WORD ||
      entries != 1 || returns != 1) {
    return broken("row is framed by one entry and one return word" + where);
  }
  const auto total = velk_exchange::plan_event_cycles(row);
  if (!total || *total != cycles) return broken("row covers the launch's cycles" + where);
  return {};
}

using TransferKey = std::tuple<std::uint16_t, std::uint16_t, std::size_t, std::uint32_t>;

[[nodiscard]] Result<void> verify_group(const RegionLookup& regions, std::size_t phase, const LoweredExchangeGroup& g,
                                        std::multiset<TransferKey>& covered,
                                        std::map<std::uint16_t, std::vector<Window>>& roles) {
  const std::string where = " (group of tile " + num(g.source_tile) + at_phase(phase) + ")";
  const bool ascending = std::adjacent_find(g.destination_tiles.begin(), g.destination_tiles.end(),
                                            [](auto a, auto b) { return a >= b; }) == g.destination_tiles.end();
  if (g.destination_tiles.empty() || !ascending || g.receivers.size() != g.destination_tiles.size()) {
    return broken("group has ascending destinations with one receiver row each" + where);
  }
  if (g.bytes == 0 || g.bytes % 4 != 0 || g.addressing != ExchangeAddressing::Absolute) {
    return broken("group sends whole words with absolute addresses" + where);
  }
  const std::optional<std::uint32_t> source = velk_exchange::sender_address(g.sender);
  if (!source || !regions.any(g.tensor, g.source_tile, [&](const Allocation& a) { return a.address == *source; })) {
    return broken("sender row reads a region of its tensor" + where);
  }
  const Result<Window> sender = busy_window(g.sender);
  if (!sender) return broken("sender row cycles" + where);
  roles[g.source_tile].push_back(*sender);
  for (std::size_t i = 0; i < g.destination_tiles.size(); ++i) {
    const std::uint16_t tile = g.destination_tiles[i];
    const std::optional<std::uint32_t> address = velk_exchange::receiver_address(g.receivers[i]);
    const bool staged = address && regions.any(g.tensor, tile, [&](const Allocation& a) {
      return is_staging_of(a, phase) && a.address == *address;
    });
    if (!staged) return broken("receiver row of tile " + num(tile) + " writes its staging region" + where);
    const Result<Window> receiver = busy_window(g.receivers[i]);
    if (!receiver) return broken("receiver row cycles" + where);
    roles[tile].push_back(*receiver);
    covered.insert({g.source_tile, tile, g.tensor.index, g.bytes});
  }
  return {};
}

[[nodiscard]] Result<void> verify_roles_apart(const std::map<std::uint16_t, std::vector<Window>>& roles,
                                              std::size_t phase) {
  for (const auto& [tile, windows] : roles) {
    for (std::size_t x = 0; x < windows.size(); ++x) {
      for (std::size_t y = x + 1; y < windows.size(); ++y) {
        const Window& a = windows[x];
        const Window& b = windows[y];
        if (a.start < b.end && b.start < a.end)
          return broken("tile " + num(tile) + " has two roles at once" + at_phase(phase));
      }
    }
  }
  return {};
}

[[nodiscard]] Result<void> verify_epoch(const RegionLookup& regions, std::size_t phase, const ExchangePhase& exchange,
                                        const LoweredExchangeEpoch& epoch) {
  std::multiset<TransferKey> covered;
  std::map<std::uint16_t, std::vector<Window>> roles;
  std::uint64_t payload = 0;
  std::uint64_t cycles = 0;
  for (const LoweredExchangeGroup& g : epoch.groups) {
    if (auto group = verify_group(regions, phase, g, covered, roles); !group) return group;
    payload += g.bytes / 4;
  }
  for (const auto& [tile, windows] : roles) {
    for (const Window& window : windows) cycles = std::max(cycles, window.end);
  }
  std::multiset<TransferKey> transfers;
  for (const Transfer& t : exchange.transfers) {
    transfers.insert({t.source_tile, t.destination_tile, t.tensor.index, t.bytes});
  }
  if (covered != transfers) return broken("groups cover exactly the phase's transfers" + at_phase(phase));
  if (epoch.cost != ExchangeCost{1, cycles, payload}) return broken("launch cost adds up" + at_phase(phase));
  if (auto apart = verify_roles_apart(roles, phase); !apart) return apart;
  if (epoch.tile_rows.size() != roles.size()) return broken("rows exactly for the tiles with a role" + at_phase(phase));
  for (const auto& [tile, row] : epoch.tile_rows) {
    if (roles.count(tile) == 0) return broken("rows exactly for the tiles with a role" + at_phase(phase));
    const std::string where = " (tile " + num(tile) + at_phase(phase) + ")";
    if (auto frame = verify_row_frame(row, epoch.cost.estimated_cycles, where); !frame) return frame;
  }
  return {};
}

// --- tile programs --------------------------------------------------------------------------

bool points_at(const RegionLookup& regions, TensorId tensor, std::uint16_t tile, std::size_t phase,
               std::uint32_t address, bool home_only) {
  return regions.any(tensor, tile, [&](const Allocation& a) {
    return a.address == address && live_in(a, phase) && (!home_only || is_home(a));
  });
}

[[nodiscard]] Result<void> verify_program(const Schedule& schedule, const RegionLookup& regions,
                                          const LoweredPhaseMap& lowered, const LoweredTileProgram& program) {
  const std::uint16_t tile = program.tile;
  std::size_t step = 0;
  auto next = [&]() -> const LoweredTileStep* {
    return step < program.steps.size() ? &program.steps[step++] : nullptr;
  };
  const std::string where = " (program of tile " + num(tile) + ")";
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto found = lowered.find(p);
      if (found == lowered.end()) return broken("every exchange phase is lowered" + at_phase(p));
      for (std::size_t e = 0; e < found->second->epochs.size(); ++e) {
        const LoweredTileStep* s = next();
        const auto* exchange = s != nullptr ? std::get_if<ExchangeStep>(s) : nullptr;
        if (exchange == nullptr || exchange->phase != p || exchange->epoch != e ||
            exchange->row != found->second->epochs[e].row_for(tile)) {
          return broken("one exchange step per launch with the tile's row" + at_phase(p) + where);
        }
      }
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile != tile) continue;
      const LoweredTileStep* s = next();
      const auto* kernel = s != nullptr ? std::get_if<LoweredComputeCommand>(s) : nullptr;
      if (kernel == nullptr || kernel->op != compute.op || kernel->specialization != command.specialization ||
          kernel->input_addresses.size() != command.inputs.size()) {
        return broken("one compute step per kernel on the tile" + at_phase(p) + where);
      }
      if (!points_at(regions, command.output, tile, p, kernel->output_address, true)) {
        return broken("output address points at the output's home" + at_phase(p) + where);
      }
      for (std::size_t i = 0; i < command.inputs.size(); ++i) {
        if (!points_at(regions, command.inputs[i], tile, p, kernel->input_addresses[i], false)) {
          return broken("input address points at a live region of the input" + at_phase(p) + where);
        }
      }
    }
  }
  if (step != program.steps.size()) return broken("program holds no further steps" + where);
  return {};
}

}  // namespace

Result<void> verify_schedule(const Graph& graph, const Schedule& schedule, const CompilerOptions& options) {
  if (auto valid = graph.validate(); !valid) return broken("the graph is valid: " + valid.error().message());
  if (schedule.tile_count != options.tile_count) return broken("schedule keeps the options' tile count");
  if (auto layouts = verify_layouts(graph, schedule); !layouts) return layouts;
  if (auto phases = verify_phases(graph, schedule); !phases) return phases;
  for (std::size_t i = 0; i < schedule.allocations.size(); ++i) {
    if (auto allocation = verify_allocation(schedule, options, schedule.allocations[i], i); !allocation)
      return allocation;
  }
  if (auto present = verify_regions_present(graph, schedule, RegionLookup(schedule)); !present) return present;
  if (auto overlap = verify_no_live_overlap(schedule); !overlap) return overlap;
  if (schedule.peak_sram != peak_sram(schedule.allocations, std::min(options.exchange_base, options.data_base))) {
    return broken("peak SRAM matches the regions");
  }
  return {};
}

Result<void> verify_lowered_exchanges(const Schedule& schedule, std::span<const LoweredExchangePhase> lowered) {
  const RegionLookup regions(schedule);
  std::size_t next = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) continue;
    if (next >= lowered.size() || lowered[next].phase != p)
      return broken("one lowered phase per exchange phase" + at_phase(p));
    const LoweredExchangePhase& phase = lowered[next++];
    const std::size_t launches = exchange->transfers.empty() ? 0 : 1;
    if (phase.epochs.size() != launches) return broken("one launch per exchange phase with transfers" + at_phase(p));
    const ExchangeCost expected = launches == 0 ? ExchangeCost{} : phase.epochs[0].cost;
    if (phase.cost != expected) return broken("phase cost equals its launch's cost" + at_phase(p));
    if (launches == 1) {
      if (auto epoch = verify_epoch(regions, p, *exchange, phase.epochs[0]); !epoch) return epoch;
    }
  }
  if (next != lowered.size()) return broken("no lowered phase beyond the exchange phases");
  return {};
}

Result<void> verify_tile_programs(const Schedule& schedule, std::span<const LoweredExchangePhase> lowered,
                                  std::span<const LoweredTileProgram> programs) {
  if (programs.size() != schedule.tile_count) return broken("one program per tile");
  const LoweredPhaseMap by_phase = lowered_by_phase(lowered);
  const RegionLookup regions(schedule);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    if (programs[i].tile != i) return broken("programs in tile order");
    if (auto program = verify_program(schedule, regions, by_phase, programs[i]); !program) return program;
  }
  return {};
}

}  // namespace velk_compiler
