// Per-tile program lowering and the address lookups it uses.
#include "velk_compiler/tile_program.hpp"

#include <map>

#include "allocation_index.hpp"
#include "exchange_lowering_steps.hpp"
#include "text.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

std::unexpected<CompileError> missing_home(TensorId tensor, std::uint16_t tile) {
  return std::unexpected(CompileError::memory(fill("missing home allocation for tensor {} on tile {}",
                                                   {std::to_string(tensor.index), std::to_string(tile)})));
}

bool is_home(const Allocation& a) { return std::holds_alternative<Home>(a.kind); }

// A kernel of compute phase `phase` reads an input from the staging region an exchange
// filled for this very phase, whatever exchange phase it names.
auto staged_for(std::size_t phase) {
  return [phase](const Allocation& a) { return std::holds_alternative<ExchangeStaging>(a.kind) && a.live_until == phase; };
}

// The address lookups of Schedule::home_address and Schedule::compute_input_address, served
// by an index built once for the whole lowering.
class AddressResolver {
 public:
  explicit AddressResolver(const AllocationIndex& index) : index_(index) {}

  Result<std::uint32_t> home(TensorId tensor, std::uint16_t tile) const {
    const Allocation* home = index_.first(tensor, tile, is_home);
    if (home == nullptr) return missing_home(tensor, tile);
    return home->address;
  }

  Result<std::uint32_t> input(TensorId tensor, std::uint16_t tile, std::size_t phase) const {
    const Allocation* staged = index_.first(tensor, tile, staged_for(phase));
    if (staged != nullptr) return staged->address;
    return home(tensor, tile);
  }

 private:
  const AllocationIndex& index_;
};

Result<LoweredComputeCommand> lower_command(const AddressResolver& addresses, const ComputePhase& compute,
                                            const KernelCommand& command, std::size_t phase) {
  const Result<std::uint32_t> output = addresses.home(command.output, command.tile);
  if (!output) return std::unexpected(output.error());
  LoweredComputeCommand lowered{compute.op, *output, {}, command.specialization};
  lowered.input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const Result<std::uint32_t> address = addresses.input(input, command.tile, phase);
    if (!address) return std::unexpected(address.error());
    lowered.input_addresses.push_back(*address);
  }
  return lowered;
}

using ExchangeByPhase = std::map<std::size_t, const LoweredExchangePhase*>;

std::unexpected<CompileError> missing_lowered_phase(std::size_t phase) {
  return std::unexpected(CompileError::graph(fill("missing lowered exchange phase {}", {std::to_string(phase)})));
}

// One tile's program, walking the phases in order. Its errors, taken tile by tile, are the
// errors the whole lowering reports.
Result<LoweredTileProgram> lower_program(const Schedule& schedule, const AddressResolver& addresses, std::uint16_t tile,
                                         const ExchangeByPhase& exchange_by_phase) {
  LoweredTileProgram program{tile, {}};
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto lowered = exchange_by_phase.find(p);
      if (lowered == exchange_by_phase.end()) return missing_lowered_phase(p);
      const std::vector<LoweredExchangeEpoch>& epochs = lowered->second->epochs;
      for (std::size_t e = 0; e < epochs.size(); ++e) program.steps.emplace_back(ExchangeStep{p, e, epochs[e].row_for(tile)});
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile != tile) continue;
      Result<LoweredComputeCommand> lowered = lower_command(addresses, compute, command, p);
      if (!lowered) return std::unexpected(lowered.error());
      program.steps.emplace_back(std::move(*lowered));
    }
  }
  return program;
}

// Every tile's program in one walk over the phases: each command goes straight to its tile's
// program instead of every tile scanning every phase. Nothing when some step fails; the
// caller then finds the error in tile order.
std::optional<std::vector<LoweredTileProgram>> lower_programs_by_phase(const Schedule& schedule,
                                                                       const AddressResolver& addresses,
                                                                       const ExchangeByPhase& exchange_by_phase) {
  std::vector<LoweredTileProgram> programs(schedule.tile_count);
  std::vector<std::size_t> step_counts(schedule.tile_count, 0);
  for (const Phase& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<ExchangePhase>(&phase)) {
      for (std::size_t& count : step_counts) count += exchange->transfers.empty() ? 0u : 1u;
      continue;
    }
    for (const KernelCommand& command : std::get<ComputePhase>(phase).commands) {
      if (command.tile < step_counts.size()) ++step_counts[command.tile];
    }
  }
  for (std::size_t tile = 0; tile < programs.size(); ++tile) {
    programs[tile].tile = static_cast<std::uint16_t>(tile);
    programs[tile].steps.reserve(step_counts[tile]);
  }
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
      const auto lowered = exchange_by_phase.find(p);
      if (lowered == exchange_by_phase.end()) return std::nullopt;
      const std::vector<LoweredExchangeEpoch>& epochs = lowered->second->epochs;
      for (std::size_t e = 0; e < epochs.size(); ++e) {
        for (LoweredTileProgram& program : programs) program.steps.emplace_back(ExchangeStep{p, e, epochs[e].row_for(program.tile)});
      }
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile >= programs.size()) continue;  // no tile runs it
      Result<LoweredComputeCommand> lowered = lower_command(addresses, compute, command, p);
      if (!lowered) return std::nullopt;
      programs[command.tile].steps.emplace_back(std::move(*lowered));
    }
  }
  return programs;
}

}  // namespace

// The two public lookups scan the allocation list once each; lowering a whole schedule uses
// the same rules through AddressResolver's index.
Result<std::uint32_t> Schedule::home_address(TensorId tensor, std::uint16_t tile) const {
  for (const Allocation& a : allocations) {
    if (a.tensor == tensor && a.tile == tile && is_home(a)) return a.address;
  }
  return missing_home(tensor, tile);
}

Result<std::uint32_t> Schedule::compute_input_address(TensorId tensor, std::uint16_t tile,
                                                      std::size_t compute_phase) const {
  const auto staged = staged_for(compute_phase);
  for (const Allocation& a : allocations) {
    if (a.tensor == tensor && a.tile == tile && staged(a)) return a.address;
  }
  return home_address(tensor, tile);
}

Result<std::vector<LoweredTileProgram>> Schedule::lower_tile_programs(const velk_exchange::Topology& topology) const {
  const AllocationIndex index(allocations);
  const Result<std::vector<LoweredExchangePhase>> exchanges = velk_compiler::lower_exchanges(*this, index, topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  ExchangeByPhase exchange_by_phase;
  for (const LoweredExchangePhase& phase : *exchanges) exchange_by_phase.emplace(phase.phase, &phase);

  const AddressResolver addresses(index);
  std::optional<std::vector<LoweredTileProgram>> programs = lower_programs_by_phase(*this, addresses, exchange_by_phase);
  if (!programs) {
    // Some step failed: lower tile by tile, which meets the errors in their reported order.
    programs.emplace();
    for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
      Result<LoweredTileProgram> program =
          lower_program(*this, addresses, static_cast<std::uint16_t>(tile), exchange_by_phase);
      if (!program) return std::unexpected(program.error());
      programs->push_back(std::move(*program));
    }
  }
  velk_log::emit(velk_log::Level::Info, "velk_compiler", "lowered per-tile programs",
                 {{"tiles", std::uint64_t{programs->size()}}});
  return std::move(*programs);
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
