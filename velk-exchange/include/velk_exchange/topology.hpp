// Tile numbering of the exchange fabric. Callers name tiles by logical number 0 … tile count − 1;
// the fabric's instructions and its timing model use physical numbers, whose bit fields give a
// tile's place on the chip. A Topology is the table from one numbering to the other.
//
// Physical tile number, least significant bit first:
//   bit 0      block parity   1 when the tile's block is odd
//   bit 1      lane           which tile of a pair (the logical number's lowest bit)
//   bits 2–5   column group   block ÷ 2, 0 … 15; bit 5 tells the half of the chip (its region)
//   bits 6–10  row            0 … 22
// so every row holds 64 tiles and the R77 card's 23 rows hold 1472.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velk_exchange/error.hpp"

namespace velk_exchange {

struct MulticastPlan;  // velk_exchange/multicast.hpp

// The physical number of an R77 logical tile. Consecutive logical tiles pair up on one row and
// column; 23 pairs fill one block down the rows, odd blocks running up again (a serpentine), and
// the 32 blocks alternate between the even and odd column of the 16 column groups.
//
// Defined for logical 0 … 1471, where it is one to one onto physical 0 … 1471. Beyond 1471 the
// result is still well defined (the same formula, at most 4255, never cut to 16 bits) but lands
// on the physical number of some other tile: such a tile has no place on the R77 card, and
// Topology::physical refuses it.
std::uint16_t r77_logical_to_physical(std::uint16_t logical);

struct Topology {
  // Entry i is the physical tile number of logical tile i; its length is the tile count.
  std::vector<std::uint16_t> logical_to_physical;

  // The R77 card: 1472 tiles, entry i = r77_logical_to_physical(i).
  static Topology r77();

  std::size_t tile_count() const { return logical_to_physical.size(); }

  // The physical number of a logical tile, or ExchangeError::tile(logical) when the topology
  // has no such tile.
  [[nodiscard]] Result<std::uint16_t> physical(std::uint16_t logical) const;

  // Plans one timed multicast of `count` words from one tile to others; see multicast.hpp,
  // which a caller includes to use it.
  [[nodiscard]] Result<MulticastPlan> multicast(std::uint16_t sender_logical,
                                                std::span<const std::uint16_t> receiver_logical, std::uint32_t count,
                                                std::uint32_t schedule_offset) const;

  bool operator==(const Topology&) const = default;
};

}  // namespace velk_exchange
