// The straightforward forms, rule by rule.
#include "straightforward.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "velk_exchange/topology.hpp"

namespace velk_compiler::straightforward {
namespace {

// --- compile ----------------------------------------------------------------------------

bool same_placement(const Layout& a, const Layout& b) { return a.tiles == b.tiles && a.sharding == b.sharding; }

Result<std::vector<Transfer>> operand_transfers(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Layout& out = layouts[op.output.index];
  std::vector<Transfer> transfers;
  for (const TensorId operand : op.inputs) {
    const Layout& in = layouts[operand.index];
    if (same_placement(in, out)) continue;
    const std::size_t share = local_bytes(graph.tensors[operand.index], in);
    if (share > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(oversized_share(graph.tensors[operand.index], share));
    }
    for (std::size_t i = 0; i < out.tiles.size(); ++i) {
      const std::uint16_t destination = out.tiles[i];
      const std::uint16_t source = in.tiles[i % in.tiles.size()];
      if (source == destination) continue;
      transfers.push_back(Transfer{source, destination, operand, static_cast<std::uint32_t>(share)});
    }
  }
  return transfers;
}

Result<void> validate_with_a_set(std::span<const Transfer> transfers) {
  std::set<std::pair<std::uint16_t, TensorId>> targets;
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    if (!targets.emplace(transfer.destination_tile, transfer.tensor).second) {
      return std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch"));
    }
  }
  return {};
}

Result<std::vector<Phase>> phases_of(const Graph& graph, const std::vector<Layout>& layouts) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    Result<std::vector<Transfer>> transfers = operand_transfers(graph, layouts, op);
    if (!transfers) return std::unexpected(transfers.error());
    if (!transfers->empty()) {
      if (auto valid = validate_with_a_set(*transfers); !valid) return std::unexpected(valid.error());
      phases.emplace_back(ExchangePhase{std::move(*transfers)});
    }
    const Layout& out = layouts[op.output.index];
    ComputePhase phase{op.id, {}};
    for (const std::uint16_t tile : out.tiles) {
      phase.commands.push_back(KernelCommand{tile, op.output, op.inputs,
                                             specialization_key(op.kind, graph.tensors[op.output.index], out, tile)});
    }
    phases.emplace_back(std::move(phase));
  }
  return phases;
}

struct Lifetimes {
  std::vector<std::size_t> produced;
  std::vector<std::size_t> consumed;
};

Lifetimes lifetimes_of(const Graph& graph, std::span<const Phase> phases) {
  Lifetimes lifetimes{std::vector<std::size_t>(graph.tensors.size(), 0),
                      std::vector<std::size_t>(graph.tensors.size(), 0)};
  auto read = [&](TensorId tensor, std::size_t phase) {
    lifetimes.consumed[tensor.index] = std::max(lifetimes.consumed[tensor.index], phase);
  };
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<ComputePhase>(&phases[p])) {
      const Op& op = graph.ops[compute->op.index];
      lifetimes.produced[op.output.index] = p;
      for (const TensorId input : op.inputs) read(input, p);
    } else {
      for (const Transfer& transfer : std::get<ExchangePhase>(phases[p]).transfers) read(transfer.tensor, p);
    }
  }
  for (const TensorId output : graph.outputs) lifetimes.consumed[output.index] = phases.size();
  return lifetimes;
}

Result<void> place_homes(WalkRegions& placed, const Graph& graph, std::span<const Layout> layouts,
                         const Lifetimes& lifetimes, const CompilerOptions& options) {
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const Tensor& tensor = graph.tensors[i];
    const Layout& layout = layouts[i];
    const std::size_t share = local_bytes(tensor, layout);
    const std::optional<std::uint32_t> size = share <= std::numeric_limits<std::uint32_t>::max()
                                                  ? align_u32(static_cast<std::uint32_t>(share), layout.alignment)
                                                  : std::nullopt;
    if (!size) return std::unexpected(oversized_share(tensor, share));
    const std::size_t produced = lifetimes.produced[i];
    const std::size_t consumed = std::max(lifetimes.consumed[i], produced);
    for (const std::uint16_t tile : layout.tiles) {
      const RegionRequest request{TensorId{i},
                                  tile,
                                  *size,
                                  produced,
                                  consumed,
                                  layout.alignment,
                                  Home{},
                                  options.data_base,
                                  options.data_limit,
                                  {tensor.name, {}}};
      if (auto placed_home = walk_allocate(placed, request); !placed_home) return placed_home;
    }
  }
  return {};
}

bool has_staging(const WalkRegions& placed, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  const auto regions = placed.by_tile.find(tile);
  if (regions == placed.by_tile.end()) return false;
  return std::any_of(regions->second.begin(), regions->second.end(), [&](const Allocation& a) {
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return a.tensor == tensor && staging != nullptr && staging->phase == phase;
  });
}

Result<void> place_staging(WalkRegions& placed, std::span<const Phase> phases, const CompilerOptions& options) {
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&phases[p]);
    if (exchange == nullptr) continue;
    for (const Transfer& transfer : exchange->transfers) {
      if (has_staging(placed, transfer.tensor, transfer.destination_tile, p)) continue;
      const std::optional<std::uint32_t> size = align_u32(transfer.bytes, 16);
      if (!size) return std::unexpected(CompileError::memory("address overflow"));
      const std::string label = "tensor " + std::to_string(transfer.tensor.index) + " exchange staging";
      const RegionRequest request{transfer.tensor,
                                  transfer.destination_tile,
                                  *size,
                                  p,
                                  p + 1,
                                  16,
                                  ExchangeStaging{p},
                                  options.exchange_base,
                                  options.exchange_limit,
                                  RegionLabel{label, {}}};
      if (auto placed_staging = walk_allocate(placed, request); !placed_staging) return placed_staging;
    }
  }
  return {};
}

// --- lowering ---------------------------------------------------------------------------

bool readable_from_the_start(const Schedule& schedule, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  return std::any_of(schedule.allocations.begin(), schedule.allocations.end(), [&](const Allocation& a) {
    return a.tensor == tensor && a.tile == tile && readable_at_start(a, phase);
  });
}

Result<std::vector<std::vector<PendingGroup>>> slots_of(const Schedule& schedule, std::size_t phase,
                                                        std::span<const Transfer> transfers) {
  if (auto valid = validate_with_a_set(transfers); !valid) return std::unexpected(valid.error());
  const std::vector<PendingGroup> groups = group_transfers(transfers);
  const std::vector<std::size_t> colors = rescanning_dsatur(groups, all_pairs_conflicts(groups));
  const std::size_t color_count = groups.empty() ? 0 : *std::max_element(colors.begin(), colors.end()) + 1;
  std::vector<std::vector<PendingGroup>> remaining(color_count);
  for (std::size_t i = 0; i < groups.size(); ++i) remaining[colors[i]].push_back(groups[i]);

  std::set<std::pair<TensorId, std::uint16_t>> delivered;
  auto available = [&](const PendingGroup& g) {
    return delivered.contains({g.tensor, g.source}) || readable_from_the_start(schedule, g.tensor, g.source, phase);
  };
  std::vector<std::vector<PendingGroup>> ordered;
  while (!remaining.empty()) {
    const auto ready = std::find_if(remaining.begin(), remaining.end(),
                                    [&](const auto& slot) { return std::all_of(slot.begin(), slot.end(), available); });
    if (ready == remaining.end()) {
      return std::unexpected(CompileError::graph("exchange staging dependencies contain a cycle"));
    }
    for (const PendingGroup& g : *ready) {
      for (const std::uint16_t destination : g.destinations) delivered.emplace(g.tensor, destination);
    }
    ordered.push_back(std::move(*ready));
    remaining.erase(ready);
  }
  return ordered;
}

}  // namespace

Result<void> walk_allocate(WalkRegions& placed, const RegionRequest& r) {
  std::vector<Allocation>& tile = placed.by_tile[r.tile];
  std::uint32_t address = r.allocation_base;
  for (;;) {
    const std::uint64_t end = std::uint64_t{address} + r.size;
    if (end > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(CompileError::memory("address overflow"));
    const Allocation* conflict = nullptr;
    for (const Allocation& other : tile) {
      if (lifetimes_overlap(r.live_from, r.live_until, other.live_from, other.live_until) &&
          address < other.address + other.size && other.address < end) {
        conflict = &other;
        break;
      }
    }
    if (conflict == nullptr) {
      if (end > r.allocation_limit) {
        return std::unexpected(CompileError::memory("tile " + std::to_string(r.tile) +
                                                    " exceeds data limit allocating " + r.label.text()));
      }
      break;
    }
    const std::optional<std::uint32_t> next = align_u32(conflict->address + conflict->size, r.alignment);
    if (!next) return std::unexpected(CompileError::memory("address overflow"));
    address = *next;
  }
  const Allocation a{r.tensor, r.tile, address, r.size, r.live_from, r.live_until, r.kind};
  tile.push_back(a);
  placed.allocations.push_back(a);
  return {};
}

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!valid_options(options)) return std::unexpected(CompileError::graph("invalid compiler options"));
  Schedule schedule;
  schedule.tile_count = options.tile_count;
  for (const Tensor& tensor : graph.tensors) schedule.layouts.push_back(choose_layout(tensor, options.tile_count));
  Result<std::vector<Phase>> phases = phases_of(graph, schedule.layouts);
  if (!phases) return std::unexpected(phases.error());
  schedule.phases = std::move(*phases);

  const Lifetimes lifetimes = lifetimes_of(graph, schedule.phases);
  WalkRegions placed;
  if (auto homes = place_homes(placed, graph, schedule.layouts, lifetimes, options); !homes) {
    return std::unexpected(homes.error());
  }
  if (auto staging = place_staging(placed, schedule.phases, options); !staging) {
    return std::unexpected(staging.error());
  }
  schedule.allocations = std::move(placed.allocations);
  schedule.peak_sram = peak_sram(schedule.allocations, std::min(options.exchange_base, options.data_base));
  return schedule;
}

std::vector<std::vector<std::size_t>> all_pairs_conflicts(std::span<const PendingGroup> groups) {
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (i != j && exchange_groups_conflict(groups[i].source, groups[i].destinations, groups[j].source,
                                             groups[j].destinations)) {
        adjacency[i].push_back(j);
      }
    }
  }
  return adjacency;
}

std::vector<std::size_t> rescanning_dsatur(std::span<const PendingGroup> groups,
                                           const std::vector<std::vector<std::size_t>>& adjacency) {
  std::vector<std::optional<std::size_t>> colors(groups.size());
  auto saturation = [&](std::size_t i) {
    std::set<std::size_t> seen;
    for (const std::size_t j : adjacency[i]) {
      if (colors[j]) seen.insert(*colors[j]);
    }
    return seen.size();
  };
  for (std::size_t step = 0; step < groups.size(); ++step) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      if (colors[i]) continue;
      if (!best) {
        best = i;
        continue;
      }
      const auto key = [&](std::size_t g) {
        return std::tuple(saturation(g), adjacency[g].size(), -static_cast<int>(groups[g].source),
                          -static_cast<long long>(groups[g].tensor.index));
      };
      if (key(i) >= key(*best)) best = i;  // later groups win full ties
    }
    std::set<std::size_t> used;
    for (const std::size_t j : adjacency[*best]) {
      if (colors[j]) used.insert(*colors[j]);
    }
    std::size_t color = 0;
    while (used.contains(color)) ++color;
    colors[*best] = color;
  }
  std::vector<std::size_t> result;
  for (const auto& c : colors) result.push_back(*c);
  return result;
}

Result<std::vector<LoweredExchangePhase>> lower_exchanges(const Schedule& schedule,
                                                          const velk_exchange::Topology& topology) {
  if (topology.tile_count() < schedule.tile_count) {
    return std::unexpected(CompileError::graph("exchange topology has too few tiles"));
  }
  std::vector<LoweredExchangePhase> lowered;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) continue;
    Result<std::vector<std::vector<PendingGroup>>> slots = slots_of(schedule, p, exchange->transfers);
    if (!slots) return std::unexpected(slots.error());
    Result<LoweredExchangePhase> phase = assemble_exchange_phase(schedule, topology, p, *slots);
    if (!phase) return std::unexpected(phase.error());
    lowered.push_back(std::move(*phase));
  }
  return lowered;
}

Result<std::vector<LoweredTileProgram>> tile_programs(const Schedule& schedule,
                                                      std::span<const LoweredExchangePhase> exchanges) {
  std::vector<LoweredTileProgram> programs;
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    LoweredTileProgram program{tile, {}};
    std::size_t next_exchange = 0;
    for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
      if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
        const LoweredExchangePhase& lowered = exchanges[next_exchange++];
        for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
          program.steps.emplace_back(ExchangeStep{p, e, lowered.epochs[e].row_for(tile)});
        }
        continue;
      }
      const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
      for (const KernelCommand& command : compute.commands) {
        if (command.tile != tile) continue;
        const auto output = schedule.home_address(command.output, tile);
        if (!output) return std::unexpected(output.error());
        LoweredComputeCommand lowered{compute.op, *output, {}, command.specialization};
        for (const TensorId input : command.inputs) {
          const auto address = schedule.compute_input_address(input, tile, p);
          if (!address) return std::unexpected(address.error());
          lowered.input_addresses.push_back(*address);
        }
        program.steps.emplace_back(lowered);
      }
    }
    programs.push_back(std::move(program));
  }
  return programs;
}

Result<Program> build_program(const Graph& graph, const CompilerOptions& options,
                              const velk_exchange::Topology& topology) {
  Result<Schedule> schedule = straightforward::compile(graph, options);
  if (!schedule) return std::unexpected(schedule.error());
  Program program{options, std::move(*schedule), {}, {}, {}, {}};
  Result<std::vector<LoweredExchangePhase>> exchanges = lower_exchanges(program.schedule, topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  program.exchanges = std::move(*exchanges);
  Result<std::vector<LoweredTileProgram>> programs = tile_programs(program.schedule, program.exchanges);
  if (!programs) return std::unexpected(programs.error());
  program.tile_programs = std::move(*programs);
  for (std::uint32_t tile = 0; tile < program.schedule.tile_count; ++tile) {
    Result<std::vector<EncodedTileCommand>> commands = program.schedule.tile_commands(static_cast<std::uint16_t>(tile));
    if (!commands) return std::unexpected(commands.error());
    program.tile_commands.push_back(std::move(*commands));
  }
  return program;
}

}  // namespace velk_compiler::straightforward
