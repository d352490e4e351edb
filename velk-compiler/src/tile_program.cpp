// Per-tile program lowering and the address lookups it uses.
#include "velk_compiler/tile_program.hpp"

#include <algorithm>
#include <optional>

#include "allocation_index.hpp"
#include "exchange_lowering_steps.hpp"
#include "text.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

std::unexpected<CompileError> missing_home(TensorId tensor, std::uint16_t tile) {
  return std::unexpected(CompileError::memory(
      fill("missing home allocation for tensor {} on tile {}", {std::to_string(tensor.index), std::to_string(tile)})));
}

// The address rules of a kernel's operands, over any lookup (allocation_index.hpp): the
// output and every input without a staged copy live at the tensor's first home region; an
// input that an exchange staged for this very compute phase is read from its staging region.
template <class Lookup>
[[nodiscard]] Result<std::uint32_t> home_of(const Lookup& first, TensorId tensor, std::uint16_t tile) {
  const Allocation* home = first(tensor, tile, is_home);
  if (home == nullptr) return missing_home(tensor, tile);
  return home->address;
}

template <class Lookup>
[[nodiscard]] Result<std::uint32_t> input_of(const Lookup& first, TensorId tensor, std::uint16_t tile,
                                             std::size_t compute_phase) {
  const Allocation* staged =
      first(tensor, tile, [compute_phase](const Allocation& a) { return staged_for(a, compute_phase); });
  if (staged != nullptr) return staged->address;
  return home_of(first, tensor, tile);
}

[[nodiscard]] Result<LoweredComputeCommand> lower_command(const IndexedLookup& first, const ComputePhase& compute,
                                                          const KernelCommand& command, std::size_t phase) {
  const Result<std::uint32_t> output = home_of(first, command.output, command.tile);
  if (!output) return std::unexpected(output.error());
  LoweredComputeCommand lowered{compute.op, *output, {}, command.specialization};
  lowered.input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const Result<std::uint32_t> address = input_of(first, input, command.tile, phase);
    if (!address) return std::unexpected(address.error());
    lowered.input_addresses.push_back(*address);
  }
  return lowered;
}

std::unexpected<CompileError> missing_lowered_phase(std::size_t phase) {
  return std::unexpected(CompileError::graph(fill("missing lowered exchange phase {}", {std::to_string(phase)})));
}

// The steps each tile's program will hold, so that no program regrows while it is filled.
std::vector<std::size_t> step_counts(const Schedule& schedule, const LoweredPhaseMap& lowered) {
  std::vector<std::size_t> counts(schedule.tile_count, 0);
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto found = lowered.find(p);
      const std::size_t launches = found == lowered.end() ? 0 : found->second->epochs.size();
      for (std::size_t& count : counts) count += launches;
      continue;
    }
    for (const KernelCommand& command : std::get<ComputePhase>(schedule.phases[p]).commands) {
      if (command.tile < counts.size()) ++counts[command.tile];
    }
  }
  return counts;
}

}  // namespace

Result<std::uint32_t> Schedule::home_address(TensorId tensor, std::uint16_t tile) const {
  return home_of(ListLookup{allocations}, tensor, tile);
}

Result<std::uint32_t> Schedule::compute_input_address(TensorId tensor, std::uint16_t tile,
                                                      std::size_t compute_phase) const {
  return input_of(ListLookup{allocations}, tensor, tile, compute_phase);
}

// One walk over the phases: each step goes straight to its tile's program. The error
// reported is the one a tile-by-tile walk meets first: the first failing step, in phase
// order, of the lowest tile that has one. So a tile that fails keeps its first error and
// takes no further steps, and the walk goes on for the other tiles.
Result<std::vector<LoweredTileProgram>> lower_tile_programs(const Schedule& schedule, const AllocationIndex& index,
                                                            std::span<const LoweredExchangePhase> exchanges) {
  const LoweredPhaseMap lowered = lowered_by_phase(exchanges);
  const IndexedLookup first{index};
  std::vector<LoweredTileProgram> programs(schedule.tile_count);
  const std::vector<std::size_t> counts = step_counts(schedule, lowered);
  for (std::size_t tile = 0; tile < programs.size(); ++tile) {
    programs[tile].tile = static_cast<std::uint16_t>(tile);
    programs[tile].steps.reserve(counts[tile]);
  }
  std::vector<std::optional<CompileError>> failures(schedule.tile_count);
  bool failed = false;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto found = lowered.find(p);
      for (LoweredTileProgram& program : programs) {
        if (failures[program.tile]) continue;
        if (found == lowered.end()) {
          failures[program.tile] = missing_lowered_phase(p).error();
          failed = true;
          continue;
        }
        const std::vector<LoweredExchangeEpoch>& epochs = found->second->epochs;
        for (std::size_t e = 0; e < epochs.size(); ++e) {
          program.steps.emplace_back(ExchangeStep{p, e, epochs[e].row_for(program.tile)});
        }
      }
      velk_log::report_progress("velk_compiler", "tile programs", p + 1, schedule.phases.size(), "phases");
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile >= programs.size() || failures[command.tile]) continue;  // no tile runs it, or it failed
      Result<LoweredComputeCommand> step = lower_command(first, compute, command, p);
      if (!step) {
        failures[command.tile] = step.error();
        failed = true;
        continue;
      }
      programs[command.tile].steps.emplace_back(std::move(*step));
    }
    velk_log::report_progress("velk_compiler", "tile programs", p + 1, schedule.phases.size(), "phases");
  }
  if (failed) {
    const auto failure = std::find_if(failures.begin(), failures.end(), [](const auto& f) { return f.has_value(); });
    return std::unexpected(**failure);
  }
  velk_log::emit(velk_log::Level::Info, "velk_compiler", "lowered per-tile programs",
                 {{"tiles", std::uint64_t{programs.size()}}});
  return programs;
}

Result<std::vector<LoweredTileProgram>> Schedule::lower_tile_programs(const velk_exchange::Topology& topology) const {
  const AllocationIndex index(allocations);
  const Result<SlottedExchanges> exchanges = lower_exchanges_with_slots(*this, index, topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  return velk_compiler::lower_tile_programs(*this, index, exchanges->phases);
}

std::ostream& operator<<(std::ostream& out, const LoweredTileStep& step) {
  if (const auto* exchange = std::get_if<ExchangeStep>(&step)) {
    out << "Exchange { phase: " << exchange->phase << ", epoch: " << exchange->epoch << ", row: [";
    for (std::size_t i = 0; i < exchange->row.size(); ++i)
      out << (i != 0 ? ", " : "") << "0x" << std::hex << exchange->row[i] << std::dec;
    return out << "] }";
  }
  const auto& compute = std::get<LoweredComputeCommand>(step);
  out << "Compute { op: " << compute.op.index << ", output_address: 0x" << std::hex << compute.output_address
      << ", input_addresses: [";
  for (std::size_t i = 0; i < compute.input_addresses.size(); ++i)
    out << (i != 0 ? ", " : "") << "0x" << compute.input_addresses[i];
  return out << std::dec << "], specialization: " << compute.specialization << " }";
}

std::ostream& operator<<(std::ostream& out, const LoweredTileProgram& program) {
  out << "LoweredTileProgram { tile: " << program.tile << ", steps: [";
  for (std::size_t i = 0; i < program.steps.size(); ++i) out << (i != 0 ? ", " : "") << program.steps[i];
  return out << "] }";
}

}  // namespace velk_compiler
