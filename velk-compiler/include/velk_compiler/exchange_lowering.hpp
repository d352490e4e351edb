// The lowered exchange model: each exchange phase of a schedule becomes one exchange
// launch (an epoch) on the fabric. Inside the launch the phase's multicast groups run in
// colour slots, one slot after the other on the launch's clock; the groups of one slot are
// pairwise free of conflict, so every tile has at most one role per slot. Every tile with a
// role runs its own finished program row; every other tile runs the idle row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <span>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_exchange/instruction.hpp"

namespace velk_compiler {

// The row of a tile without a role in a launch. None of its words takes time.
inline constexpr velk_exchange::Row IDLE_ROW = {0x40C00000, 0x41800001, 0x43A00000, 0, 0, 0, 0, 0, 0};

// How receiver rows name their destination: `Absolute` rows carry the address of their
// own destination's staging region. The lowering only produces `Absolute`.
enum class ExchangeAddressing : std::uint8_t { Relative, Absolute };

struct ExchangeCost {
  std::uint32_t launches = 0;
  std::uint64_t estimated_cycles = 0;  // from the launch's start to the end of its last event
  std::uint64_t payload_words = 0;     // counted once per group, however many destinations
  bool operator==(const ExchangeCost&) const = default;
};

// One multicast: one source tile sends one tensor region to one or more tiles.
struct LoweredExchangeGroup {
  std::uint16_t source_tile = 0;
  std::vector<std::uint16_t> destination_tiles;  // ascending, no duplicates
  TensorId tensor;
  std::uint32_t bytes = 0;  // per destination, a positive multiple of 4
  ExchangeAddressing addressing = ExchangeAddressing::Absolute;
  velk_exchange::Row sender{};                // as planned, with the source address written in
  std::vector<velk_exchange::Row> receivers;  // one per destination, with its staging address
  bool operator==(const LoweredExchangeGroup&) const = default;
};

// One exchange launch.
struct LoweredExchangeEpoch {
  std::vector<LoweredExchangeGroup> groups;  // slot by slot, in execution order
  // The finished program of every tile with a role, each covering exactly
  // `cost.estimated_cycles` event cycles.
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  ExchangeCost cost;

  // A copy of the tile's row, or the idle row when the tile has no role.
  std::vector<std::uint32_t> row_for(std::uint16_t tile) const;
  bool operator==(const LoweredExchangeEpoch&) const = default;
};

struct LoweredExchangePhase {
  std::size_t phase = 0;                     // index in Schedule::phases
  std::vector<LoweredExchangeEpoch> epochs;  // one for a phase with transfers, else none
  ExchangeCost cost;                         // the epoch's cost, or zero
  bool operator==(const LoweredExchangePhase&) const = default;
};

// The lowered phases by the index of the exchange phase each lowers (the first of equal
// indices).
using LoweredPhaseMap = std::map<std::size_t, const LoweredExchangePhase*>;
[[nodiscard]] LoweredPhaseMap lowered_by_phase(std::span<const LoweredExchangePhase> lowered);

// True when two groups would give some tile two roles at once: the same source, one's
// source among the other's destinations, or a shared destination.
bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                              std::uint16_t right_source, std::span<const std::uint16_t> right_destinations);

std::ostream& operator<<(std::ostream& out, ExchangeAddressing addressing);
std::ostream& operator<<(std::ostream& out, const ExchangeCost& cost);
std::ostream& operator<<(std::ostream& out, const LoweredExchangeGroup& group);
std::ostream& operator<<(std::ostream& out, const LoweredExchangeEpoch& epoch);
std::ostream& operator<<(std::ostream& out, const LoweredExchangePhase& phase);

}  // namespace velk_compiler
