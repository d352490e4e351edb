// The binary tile command stream: one tile's transfers and kernel launches as 8-word
// commands, in schedule order, closed by an end command. Built by
// Schedule::tile_commands; it names tensors, tiles, operations and phases by index and
// carries no addresses.
//
//   word  transfer (1)        kernel (2)                 end (0xFF)
//   0     1                   2                          0xFF
//   1     phase index         phase index                0
//   2     source tile         operation index            0
//   3     destination tile    output tensor index        0
//   4     tensor index        number of inputs           0
//   5     bytes               input 0 (or 0)             0
//   6     0                   input 1 (or 0)             0
//   7     0                   input 2 (or 0)             0
#pragma once

#include <array>
#include <cstdint>
#include <ostream>

namespace velk_compiler {

inline constexpr std::uint32_t TILE_COMMAND_TRANSFER = 1;
inline constexpr std::uint32_t TILE_COMMAND_KERNEL = 2;
inline constexpr std::uint32_t TILE_COMMAND_END = 0xFF;

struct EncodedTileCommand {
  std::array<std::uint32_t, 8> words{};

  // The command's 32-byte image: word i at bytes 4i .. 4i + 3, least significant first.
  std::array<std::uint8_t, 32> to_le_bytes() const;
  bool operator==(const EncodedTileCommand&) const = default;
};

std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command);

}  // namespace velk_compiler
