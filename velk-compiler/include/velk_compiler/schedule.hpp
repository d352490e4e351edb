// The compiled schedule: the records that `compile` returns and every later stage reads.
// They are plain values that refer to each other only by TensorId, OpId, tile number
// (16-bit logical tile) and phase index (position in Schedule::phases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/tile_commands.hpp"
#include "velk_exchange/instruction.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler {

struct LoweredExchangePhase;  // exchange_lowering.hpp
struct LoweredTileProgram;    // tile_program.hpp

// The default data window: from the end of the fabric's receive window to the top of the
// SRAM the compiler plans.
inline constexpr std::uint32_t DEFAULT_DATA_BASE = velk_exchange::RECEIVE_WINDOW_LIMIT;
inline constexpr std::uint32_t DEFAULT_DATA_LIMIT = 0xE0000;

struct CompilerOptions {
  std::uint16_t tile_count = 64;
  // Each tile's exchange window: by default the whole receive window of the fabric, which
  // every exchange window must lie inside.
  std::uint32_t exchange_base = velk_exchange::RECEIVE_WINDOW_BASE;    // first byte
  std::uint32_t exchange_limit = velk_exchange::RECEIVE_WINDOW_LIMIT;  // first byte past it
  std::uint32_t data_base = DEFAULT_DATA_BASE;                         // first byte of each tile's data window
  std::uint32_t data_limit = DEFAULT_DATA_LIMIT;                       // first byte past it
  bool operator==(const CompilerOptions&) const = default;
};

enum class Sharding : std::uint8_t { Replicated, Rows, Columns, Heads };

struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;  // ascending from tile 0
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 16;
  bool operator==(const Layout&) const = default;
};

// Selects a compiled kernel variant.
struct SpecializationKey {
  std::string operation;  // "matmul", "add", ...
  Shape shape;            // the whole result shape, not the tile's share
  std::uint8_t worker_count = 1;
  std::string role;  // "tail" on the layout's last tile, "body" elsewhere
  std::uint32_t alignment = 16;
  bool operator==(const SpecializationKey&) const = default;
};

// One kernel launch on one tile.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  std::vector<TensorId> inputs;
  SpecializationKey specialization;
  bool operator==(const KernelCommand&) const = default;
};

// One copy of one tile's share of a tensor to another tile.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  bool operator==(const Transfer&) const = default;
};

struct ExchangePhase {
  std::vector<Transfer> transfers;
  bool operator==(const ExchangePhase&) const = default;
};

struct ComputePhase {
  OpId op;
  std::vector<KernelCommand> commands;  // one per tile of the result's layout, in layout order
  bool operator==(const ComputePhase&) const = default;
};

using Phase = std::variant<ExchangePhase, ComputePhase>;

// A tensor's share on a tile of its layout, in the data window.
struct Home {
  bool operator==(const Home&) const = default;
};

// A region of the exchange window that receives the data of exchange phase `phase`.
struct ExchangeStaging {
  std::size_t phase = 0;
  bool operator==(const ExchangeStaging&) const = default;
};

using AllocationKind = std::variant<Home, ExchangeStaging>;

// One region of one tile's memory. `live_from` and `live_until` are phase indices; the
// planner counts both as occupied.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  AllocationKind kind;
  bool operator==(const Allocation&) const = default;
};

struct Schedule {
  std::vector<Layout> layouts;          // one per tensor, in tensor order
  std::vector<Phase> phases;            // in execution order
  std::vector<Allocation> allocations;  // in the planner's order
  std::uint16_t tile_count = 0;
  // Per tile with at least one allocation: the highest end of its regions, counted from
  // the lower of the two window bases.
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  // Every exchange phase lowered onto the fabric as one launch, in phase order
  // (exchange_lowering.hpp). Emits "lowered exchange schedule".
  [[nodiscard]] Result<std::vector<LoweredExchangePhase>> lower_exchanges(
      const velk_exchange::Topology& topology) const;

  // One program per tile 0 .. tile_count - 1 (tile_program.hpp). Emits
  // "lowered per-tile programs".
  [[nodiscard]] Result<std::vector<LoweredTileProgram>> lower_tile_programs(
      const velk_exchange::Topology& topology) const;

  // The address of the first home region of the tensor on the tile, or
  // "missing home allocation for tensor {} on tile {}".
  [[nodiscard]] Result<std::uint32_t> home_address(TensorId tensor, std::uint16_t tile) const;

  // Where a kernel of compute phase `compute_phase` reads `tensor` on `tile`: the staging
  // region an exchange filled for this very phase, else the tensor's home.
  [[nodiscard]] Result<std::uint32_t> compute_input_address(TensorId tensor, std::uint16_t tile,
                                                            std::size_t compute_phase) const;

  // One tile's transfers and kernel launches as commands, closed by the end command.
  // Fails with "tile {} is out of range" for a tile not below `tile_count`.
  [[nodiscard]] Result<std::vector<EncodedTileCommand>> tile_commands(std::uint16_t tile) const;

  // Every tile's stream, entry t equal to tile_commands(t), in one walk over the phases (a
  // walk per tile costs tiles × commands). A transfer or launch naming a tile not below
  // `tile_count` belongs to no stream, as no tile_commands call can ask for it.
  [[nodiscard]] std::vector<std::vector<EncodedTileCommand>> all_tile_commands() const;

  bool operator==(const Schedule&) const = default;
};

std::string_view sharding_name(Sharding sharding);

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options);
std::ostream& operator<<(std::ostream& out, Sharding sharding);
std::ostream& operator<<(std::ostream& out, const Layout& layout);
std::ostream& operator<<(std::ostream& out, const SpecializationKey& key);
std::ostream& operator<<(std::ostream& out, const KernelCommand& command);
std::ostream& operator<<(std::ostream& out, const Transfer& transfer);
std::ostream& operator<<(std::ostream& out, const Phase& phase);
std::ostream& operator<<(std::ostream& out, const AllocationKind& kind);
std::ostream& operator<<(std::ostream& out, const Allocation& allocation);

}  // namespace velk_compiler
