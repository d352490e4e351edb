// The files velkc writes for a built program, as values (name and bytes), so that their
// contents are tested without touching a disk.
//
//   schedule.json      the schedule, its lowered exchanges and its tile programs (schedule_json.hpp)
//   tiles/NNNN.bin     tile NNNN's command stream: every command's 32-byte little-endian
//                      image, in stream order, closed by the end command
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velk_compiler/program.hpp"
#include "velk_compiler/tile_commands.hpp"

namespace velk_io {

struct OutputFile {
  std::string path;      // relative to the output folder, '/'-separated
  std::string contents;  // bytes
  bool operator==(const OutputFile&) const = default;
};

// The commands' byte images, one after the other.
[[nodiscard]] std::string command_stream_bytes(std::span<const velk_compiler::EncodedTileCommand> commands);

// "tiles/0007.bin": the tile number with at least four digits, more when the tile count
// needs them, so that the names sort in tile order.
[[nodiscard]] std::string tile_file_name(std::uint16_t tile, std::uint16_t tile_count);

// schedule.json, then the tile files in tile order.
[[nodiscard]] std::vector<OutputFile> output_files(const velk_compiler::Program& program);

}  // namespace velk_io
