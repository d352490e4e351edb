// Per-tile program lowering and the address lookups it uses.
#include "velk_compiler/tile_program.hpp"

#include <map>

#include "text.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

Result<LoweredComputeCommand> lower_command(const Schedule& schedule, const ComputePhase& compute,
                                            const KernelCommand& command, std::size_t phase) {
  const Result<std::uint32_t> output = schedule.home_address(command.output, command.tile);
  if (!output) return std::unexpected(output.error());
  LoweredComputeCommand lowered{compute.op, *output, {}, command.specialization};
  lowered.input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const Result<std::uint32_t> address = schedule.compute_input_address(input, command.tile, phase);
    if (!address) return std::unexpected(address.error());
    lowered.input_addresses.push_back(*address);
  }
  return lowered;
}

Result<LoweredTileProgram> lower_program(const Schedule& schedule, std::uint16_t tile,
                                         const std::map<std::size_t, const LoweredExchangePhase*>& exchange_by_phase) {
  LoweredTileProgram program{tile, {}};
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto lowered = exchange_by_phase.find(p);
      if (lowered == exchange_by_phase.end()) {
        return std::unexpected(CompileError::graph(fill("missing lowered exchange phase {}", {std::to_string(p)})));
      }
      const std::vector<LoweredExchangeEpoch>& epochs = lowered->second->epochs;
      for (std::size_t e = 0; e < epochs.size(); ++e) program.steps.emplace_back(ExchangeStep{p, e, epochs[e].row_for(tile)});
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile != tile) continue;
      Result<LoweredComputeCommand> lowered = lower_command(schedule, compute, command, p);
      if (!lowered) return std::unexpected(lowered.error());
      program.steps.emplace_back(std::move(*lowered));
    }
  }
  return program;
}

}  // namespace

Result<std::uint32_t> Schedule::home_address(TensorId tensor, std::uint16_t tile) const {
  for (const Allocation& a : allocations) {
    if (a.tensor == tensor && a.tile == tile && std::holds_alternative<Home>(a.kind)) return a.address;
  }
  return std::unexpected(CompileError::memory(fill("missing home allocation for tensor {} on tile {}",
                                                   {std::to_string(tensor.index), std::to_string(tile)})));
}

Result<std::uint32_t> Schedule::compute_input_address(TensorId tensor, std::uint16_t tile,
                                                      std::size_t compute_phase) const {
  for (const Allocation& a : allocations) {
    if (a.tensor == tensor && a.tile == tile && std::holds_alternative<ExchangeStaging>(a.kind) &&
        a.live_until == compute_phase) {
      return a.address;
    }
  }
  return home_address(tensor, tile);
}

Result<std::vector<LoweredTileProgram>> Schedule::lower_tile_programs(const velk_exchange::Topology& topology) const {
  const Result<std::vector<LoweredExchangePhase>> exchanges = lower_exchanges(topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  std::map<std::size_t, const LoweredExchangePhase*> exchange_by_phase;
  for (const LoweredExchangePhase& phase : *exchanges) exchange_by_phase.emplace(phase.phase, &phase);

  std::vector<LoweredTileProgram> programs;
  programs.reserve(tile_count);
  for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
    Result<LoweredTileProgram> program = lower_program(*this, static_cast<std::uint16_t>(tile), exchange_by_phase);
    if (!program) return std::unexpected(program.error());
    programs.push_back(std::move(*program));
  }
  velk_log::emit(velk_log::Level::Info, "velk_compiler", "lowered per-tile programs",
                 {{"tiles", std::uint64_t{programs.size()}}});
  return programs;
}

std::ostream& operator<<(std::ostream& out, const LoweredTileStep& step) {
  if (const auto* exchange = std::get_if<ExchangeStep>(&step)) {
    out << "Exchange { phase: " << exchange->phase << ", epoch: " << exchange->epoch << ", row: [";
    for (std::size_t i = 0; i < exchange->row.size(); ++i) out << (i != 0 ? ", " : "") << "0x" << std::hex << exchange->row[i] << std::dec;
    return out << "] }";
  }
  const auto& compute = std::get<LoweredComputeCommand>(step);
  out << "Compute { op: " << compute.op.index << ", output_address: 0x" << std::hex << compute.output_address
      << ", input_addresses: [";
  for (std::size_t i = 0; i < compute.input_addresses.size(); ++i) out << (i != 0 ? ", " : "") << "0x" << compute.input_addresses[i];
  return out << std::dec << "], specialization: " << compute.specialization << " }";
}

std::ostream& operator<<(std::ostream& out, const LoweredTileProgram& program) {
  out << "LoweredTileProgram { tile: " << program.tile << ", steps: [";
  for (std::size_t i = 0; i < program.steps.size(); ++i) out << (i != 0 ? ", " : "") << program.steps[i];
  return out << "] }";
}

}  // namespace velk_compiler
