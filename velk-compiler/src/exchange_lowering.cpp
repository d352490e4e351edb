// The lowered exchange records, the idle row and the conflict rule.
#include "velk_compiler/exchange_lowering.hpp"

#include <algorithm>
#include <iomanip>

namespace velk_compiler {
namespace {

bool contains(std::span<const std::uint16_t> tiles, std::uint16_t tile) {
  return std::find(tiles.begin(), tiles.end(), tile) != tiles.end();
}

template <class Words>
void write_words(std::ostream& out, const Words& words) {
  out << "[";
  for (std::size_t i = 0; i < words.size(); ++i) {
    out << (i != 0 ? ", " : "") << "0x" << std::hex << std::setw(8) << std::setfill('0') << words[i] << std::dec
        << std::setfill(' ');
  }
  out << "]";
}

}  // namespace

std::vector<std::uint32_t> LoweredExchangeEpoch::row_for(std::uint16_t tile) const {
  const auto row = tile_rows.find(tile);
  if (row != tile_rows.end()) return row->second;
  return std::vector<std::uint32_t>(IDLE_ROW.begin(), IDLE_ROW.end());
}

LoweredPhaseMap lowered_by_phase(std::span<const LoweredExchangePhase> lowered) {
  LoweredPhaseMap by_phase;
  for (const LoweredExchangePhase& phase : lowered) by_phase.emplace(phase.phase, &phase);
  return by_phase;
}

bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                              std::uint16_t right_source, std::span<const std::uint16_t> right_destinations) {
  if (left_source == right_source) return true;
  if (contains(left_destinations, right_source)) return true;
  if (contains(right_destinations, left_source)) return true;
  return std::any_of(left_destinations.begin(), left_destinations.end(),
                     [&](std::uint16_t tile) { return contains(right_destinations, tile); });
}

std::ostream& operator<<(std::ostream& out, ExchangeAddressing addressing) {
  switch (addressing) {
    case ExchangeAddressing::Relative: return out << "Relative";
    case ExchangeAddressing::Absolute: return out << "Absolute";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const ExchangeCost& cost) {
  return out << "ExchangeCost { launches: " << cost.launches << ", estimated_cycles: " << cost.estimated_cycles
             << ", payload_words: " << cost.payload_words << " }";
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangeGroup& group) {
  out << "LoweredExchangeGroup { source_tile: " << group.source_tile << ", destination_tiles: [";
  for (std::size_t i = 0; i < group.destination_tiles.size(); ++i) {
    out << (i != 0 ? ", " : "") << group.destination_tiles[i];
  }
  out << "], tensor: " << group.tensor.index << ", bytes: " << group.bytes << ", addressing: " << group.addressing
      << ", sender: ";
  write_words(out, group.sender);
  out << ", receivers: [";
  for (std::size_t i = 0; i < group.receivers.size(); ++i) {
    if (i != 0) out << ", ";
    write_words(out, group.receivers[i]);
  }
  return out << "] }";
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangeEpoch& epoch) {
  out << "LoweredExchangeEpoch { groups: [";
  for (std::size_t i = 0; i < epoch.groups.size(); ++i) out << (i != 0 ? ", " : "") << epoch.groups[i];
  out << "], tile_rows: {";
  bool first = true;
  for (const auto& [tile, row] : epoch.tile_rows) {
    out << (first ? "" : ", ") << tile << ": ";
    write_words(out, row);
    first = false;
  }
  return out << "}, cost: " << epoch.cost << " }";
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangePhase& phase) {
  out << "LoweredExchangePhase { phase: " << phase.phase << ", epochs: [";
  for (std::size_t i = 0; i < phase.epochs.size(); ++i) out << (i != 0 ? ", " : "") << phase.epochs[i];
  return out << "], cost: " << phase.cost << " }";
}

}  // namespace velk_compiler
