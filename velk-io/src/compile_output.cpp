// One compilation carried through to its output files.
#include "velk_io/compile_output.hpp"

#include <algorithm>
#include <utility>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/tile_program.hpp"

namespace velk_io {

namespace vc = velk_compiler;

vc::Result<CompileOutput> compile_output(const vc::Graph& graph, const vc::CompilerOptions& options,
                                         const velk_exchange::Topology& topology) {
  vc::Result<vc::Schedule> schedule = vc::compile(graph, options);
  if (!schedule) return std::unexpected(schedule.error());
  vc::Result<std::vector<vc::LoweredExchangePhase>> exchanges = schedule->lower_exchanges(topology);
  if (!exchanges) return std::unexpected(exchanges.error());
  vc::Result<std::vector<vc::LoweredTileProgram>> programs = schedule->lower_tile_programs(topology);
  if (!programs) return std::unexpected(programs.error());

  CompileOutput output;
  output.tile_commands.reserve(schedule->tile_count);
  for (std::uint32_t tile = 0; tile < schedule->tile_count; ++tile) {
    vc::Result<std::vector<vc::EncodedTileCommand>> commands =
        schedule->tile_commands(static_cast<std::uint16_t>(tile));
    if (!commands) return std::unexpected(commands.error());
    output.tile_commands.push_back(std::move(*commands));
  }
  vc::Result<CompileSummary> summary = summarize_compilation(graph, options, *schedule, *exchanges);
  if (!summary) return std::unexpected(summary.error());
  output.summary = std::move(*summary);
  output.compiled = CompiledSchedule{std::move(*schedule), std::move(*exchanges), std::move(*programs)};
  return output;
}

std::string command_stream_bytes(std::span<const vc::EncodedTileCommand> commands) {
  std::string bytes;
  bytes.reserve(commands.size() * 32);
  for (const vc::EncodedTileCommand& command : commands) {
    for (const std::uint8_t byte : command.to_le_bytes()) bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

std::string tile_file_name(std::uint16_t tile, std::uint16_t tile_count) {
  const std::size_t digits = std::max<std::size_t>(4, std::to_string(tile_count == 0 ? 0 : tile_count - 1).size());
  std::string number = std::to_string(tile);
  if (number.size() < digits) number.insert(0, digits - number.size(), '0');
  return "tiles/" + number + ".bin";
}

std::vector<OutputFile> output_files(const CompileOutput& output) {
  std::vector<OutputFile> files;
  files.reserve(output.tile_commands.size() + 1);
  files.push_back(OutputFile{"schedule.json", write_schedule_json(output.compiled)});
  const std::uint16_t tile_count = output.compiled.schedule.tile_count;
  for (std::size_t tile = 0; tile < output.tile_commands.size(); ++tile) {
    files.push_back(OutputFile{tile_file_name(static_cast<std::uint16_t>(tile), tile_count),
                               command_stream_bytes(output.tile_commands[tile])});
  }
  return files;
}

}  // namespace velk_io
