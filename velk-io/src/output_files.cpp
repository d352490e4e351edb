// The files of a built program.
#include "velk_io/output_files.hpp"

#include "velk_io/schedule_json.hpp"
#include "velk_io/text_format.hpp"

namespace velk_io {

namespace vc = velk_compiler;

std::string command_stream_bytes(std::span<const vc::EncodedTileCommand> commands) {
  std::string bytes;
  bytes.reserve(commands.size() * 32);
  for (const vc::EncodedTileCommand& command : commands) {
    for (const std::uint8_t byte : command.to_le_bytes()) bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

std::string tile_file_name(std::uint16_t tile, std::uint16_t tile_count) {
  return "tiles/" + tile_number(tile, tile_count) + ".bin";
}

std::vector<OutputFile> output_files(const vc::Program& program) {
  std::vector<OutputFile> files;
  files.reserve(program.tile_commands.size() + 1);
  files.push_back(OutputFile{"schedule.json", write_schedule_json(program)});
  const std::uint16_t tile_count = program.schedule.tile_count;
  for (std::size_t tile = 0; tile < program.tile_commands.size(); ++tile) {
    files.push_back(OutputFile{tile_file_name(static_cast<std::uint16_t>(tile), tile_count),
                               command_stream_bytes(program.tile_commands[tile])});
  }
  return files;
}

}  // namespace velk_io
