// Encoding of a tile's work as 8-word commands.
#include "velk_compiler/tile_commands.hpp"

#include <limits>

#include "text.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {
namespace {

// Machine-word indices (phase, operation, tensor, input count) are written as their low
// 32 bits: a stream names them modulo 2^32 by definition.
std::uint32_t low_word(std::size_t value) { return static_cast<std::uint32_t>(value & 0xFFFFFFFFu); }

EncodedTileCommand transfer_command(std::size_t phase, const Transfer& transfer) {
  return {{TILE_COMMAND_TRANSFER, low_word(phase), transfer.source_tile, transfer.destination_tile,
           low_word(transfer.tensor.index), transfer.bytes, 0, 0}};
}

EncodedTileCommand kernel_command(std::size_t phase, OpId op, const KernelCommand& command) {
  EncodedTileCommand encoded{{TILE_COMMAND_KERNEL, low_word(phase), low_word(op.index), low_word(command.output.index),
                              low_word(command.inputs.size()), 0, 0, 0}};
  for (std::size_t i = 0; i < command.inputs.size() && i < 3; ++i)
    encoded.words[5 + i] = low_word(command.inputs[i].index);
  return encoded;
}

}  // namespace

std::array<std::uint8_t, 32> EncodedTileCommand::to_le_bytes() const {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (std::size_t b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<std::uint8_t>((words[i] >> (8 * b)) & 0xFF);
  }
  return bytes;
}

Result<std::vector<EncodedTileCommand>> Schedule::tile_commands(std::uint16_t tile) const {
  if (tile >= tile_count) {
    return std::unexpected(CompileError::graph(fill("tile {} is out of range", {std::to_string(tile)})));
  }
  std::vector<EncodedTileCommand> encoded;
  encoded.reserve(phases.size() + 1);  // a tile usually has at most one command per phase
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const auto* exchange = std::get_if<ExchangePhase>(&phases[p])) {
      for (const Transfer& transfer : exchange->transfers) {
        if (transfer.source_tile == tile || transfer.destination_tile == tile) {
          encoded.push_back(transfer_command(p, transfer));
        }
      }
      continue;
    }
    const auto& compute = std::get<ComputePhase>(phases[p]);
    for (const KernelCommand& command : compute.commands) {
      if (command.tile == tile) encoded.push_back(kernel_command(p, compute.op, command));
    }
  }
  encoded.push_back({{TILE_COMMAND_END, 0, 0, 0, 0, 0, 0, 0}});
  return encoded;
}

namespace {

// Calls visit(tile, command) for every command of every stream, in stream order per tile.
template <class Visit>
void for_each_tile_command(const Schedule& schedule, Visit&& visit) {
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p])) {
      for (const Transfer& transfer : exchange->transfers) {
        visit(transfer.source_tile, p, transfer);
        if (transfer.destination_tile != transfer.source_tile) visit(transfer.destination_tile, p, transfer);
      }
      continue;
    }
    const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
    for (const KernelCommand& command : compute.commands) visit(command.tile, p, compute.op, command);
  }
}

}  // namespace

std::vector<std::vector<EncodedTileCommand>> Schedule::all_tile_commands() const {
  // Counted first, so that every stream is allocated once at its size.
  std::vector<std::size_t> counts(tile_count, 1);  // the end command
  const auto count = [&](std::uint16_t tile, auto&&...) {
    if (tile < tile_count) ++counts[tile];
  };
  for_each_tile_command(*this, count);

  std::vector<std::vector<EncodedTileCommand>> streams(tile_count);
  for (std::size_t tile = 0; tile < streams.size(); ++tile) streams[tile].reserve(counts[tile]);
  for_each_tile_command(*this, [&](std::uint16_t tile, std::size_t phase, const auto&... command) {
    if (tile >= tile_count) return;
    if constexpr (sizeof...(command) == 1) {
      streams[tile].push_back(transfer_command(phase, command...));
    } else {
      streams[tile].push_back(kernel_command(phase, command...));
    }
  });
  for (std::vector<EncodedTileCommand>& stream : streams) stream.push_back({{TILE_COMMAND_END, 0, 0, 0, 0, 0, 0, 0}});
  return streams;
}

std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command) {
  out << "EncodedTileCommand { words: [";
  for (std::size_t i = 0; i < command.words.size(); ++i)
    out << (i != 0 ? ", " : "") << "0x" << std::hex << command.words[i] << std::dec;
  return out << "] }";
}

}  // namespace velk_compiler
