// Diagnostic renderings of the schedule records: the type name and its fields.
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {
namespace {

template <class T>
void write_list(std::ostream& out, const std::vector<T>& items) {
  out << "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out << ", ";
    if constexpr (std::is_integral_v<T>) {
      out << static_cast<std::uint64_t>(items[i]);
    } else {
      out << items[i];
    }
  }
  out << "]";
}

}  // namespace

std::string_view sharding_name(Sharding sharding) {
  switch (sharding) {
    case Sharding::Replicated: return "Replicated";
    case Sharding::Rows: return "Rows";
    case Sharding::Columns: return "Columns";
    case Sharding::Heads: return "Heads";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& out, const CompilerOptions& o) {
  return out << "CompilerOptions { tile_count: " << o.tile_count << ", exchange_base: 0x" << std::hex << o.exchange_base
             << ", exchange_limit: 0x" << o.exchange_limit << ", data_base: 0x" << o.data_base << ", data_limit: 0x"
             << o.data_limit << std::dec << " }";
}

std::ostream& operator<<(std::ostream& out, Sharding sharding) { return out << sharding_name(sharding); }

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  out << "Layout { tensor: " << layout.tensor.index << ", tiles: ";
  write_list(out, layout.tiles);
  return out << ", sharding: " << layout.sharding << ", alignment: " << layout.alignment << " }";
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  out << "SpecializationKey { operation: \"" << key.operation << "\", shape: ";
  write_list(out, key.shape);
  return out << ", worker_count: " << static_cast<unsigned>(key.worker_count) << ", role: \"" << key.role
             << "\", alignment: " << key.alignment << " }";
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  out << "KernelCommand { tile: " << command.tile << ", output: " << command.output.index << ", inputs: [";
  for (std::size_t i = 0; i < command.inputs.size(); ++i) out << (i != 0 ? ", " : "") << command.inputs[i].index;
  return out << "], specialization: " << command.specialization << " }";
}

std::ostream& operator<<(std::ostream& out, const Transfer& t) {
  return out << "Transfer { source_tile: " << t.source_tile << ", destination_tile: " << t.destination_tile
             << ", tensor: " << t.tensor.index << ", bytes: " << t.bytes << " }";
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  if (const auto* exchange = std::get_if<ExchangePhase>(&phase)) {
    out << "Exchange { transfers: ";
    write_list(out, exchange->transfers);
    return out << " }";
  }
  const auto& compute = std::get<ComputePhase>(phase);
  out << "Compute { op: " << compute.op.index << ", commands: ";
  write_list(out, compute.commands);
  return out << " }";
}

std::ostream& operator<<(std::ostream& out, const AllocationKind& kind) {
  if (const auto* staging = std::get_if<ExchangeStaging>(&kind)) {
    return out << "ExchangeStaging { phase: " << staging->phase << " }";
  }
  return out << "Home";
}

std::ostream& operator<<(std::ostream& out, const Allocation& a) {
  return out << "Allocation { tensor: " << a.tensor.index << ", tile: " << a.tile << ", address: 0x" << std::hex
             << a.address << std::dec << ", size: " << a.size << ", live_from: " << a.live_from
             << ", live_until: " << a.live_until << ", kind: " << a.kind << " }";
}

}  // namespace velk_compiler
