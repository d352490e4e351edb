// The R77 card's tile numbering and the logical-to-physical lookup.
#include "velk_exchange/topology.hpp"

namespace velk_exchange {
namespace {

constexpr std::uint32_t R77_TILE_COUNT = 1472;
constexpr std::uint32_t R77_ROWS = 23;
constexpr std::uint32_t TILES_PER_ROW = 64;

}  // namespace

std::uint16_t r77_logical_to_physical(std::uint16_t logical) {
  // All steps on 32-bit values: for any 16-bit logical number the block is at most 1424 and the
  // result at most 4255, so nothing wraps and the final narrowing keeps every bit.
  const std::uint32_t pair = logical / 2u;
  const std::uint32_t lane = logical % 2u;
  const std::uint32_t block = pair / R77_ROWS;
  std::uint32_t row = pair % R77_ROWS;
  if (block % 2u == 1u) row = (R77_ROWS - 1u) - row;  // odd blocks run their rows upwards
  const std::uint32_t column = (block / 2u) * 4u + block % 2u;
  return static_cast<std::uint16_t>(row * TILES_PER_ROW + column + lane * 2u);
}

Topology Topology::r77() {
  Topology topology;
  topology.logical_to_physical.reserve(R77_TILE_COUNT);
  for (std::uint32_t logical = 0; logical < R77_TILE_COUNT; ++logical) {
    topology.logical_to_physical.push_back(r77_logical_to_physical(static_cast<std::uint16_t>(logical)));
  }
  return topology;
}

Result<std::uint16_t> Topology::physical(std::uint16_t logical) const {
  if (logical >= logical_to_physical.size()) return std::unexpected(ExchangeError::tile(logical));
  return logical_to_physical[logical];
}

}  // namespace velk_exchange
