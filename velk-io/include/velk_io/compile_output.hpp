// One compilation carried through to the files velkc writes: compile, lower the exchanges
// and the per-tile programs, encode every tile's command stream, summarise; then the files
// as values (name and bytes), so that their contents are tested without touching a disk.
//
//   schedule.json      the CompiledSchedule (schedule_json.hpp)
//   tiles/NNNN.bin     tile NNNN's command stream: every command's 32-byte little-endian
//                      image, in stream order, closed by the end command
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/tile_commands.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_io/compile_report.hpp"
#include "velk_io/schedule_json.hpp"

namespace velk_io {

struct CompileOutput {
  CompiledSchedule compiled;
  std::vector<std::vector<velk_compiler::EncodedTileCommand>> tile_commands;  // entry t: tile t's stream
  CompileSummary summary;
  bool operator==(const CompileOutput&) const = default;
};

// Every stage's first error ends the call, unchanged.
velk_compiler::Result<CompileOutput> compile_output(const velk_compiler::Graph& graph,
                                                    const velk_compiler::CompilerOptions& options,
                                                    const velk_exchange::Topology& topology);

struct OutputFile {
  std::string path;      // relative to the output folder, '/'-separated
  std::string contents;  // bytes
  bool operator==(const OutputFile&) const = default;
};

// The commands' byte images, one after the other.
std::string command_stream_bytes(std::span<const velk_compiler::EncodedTileCommand> commands);

// "tiles/0007.bin": the tile number with at least four digits, more when the tile count
// needs them, so that the names sort in tile order.
std::string tile_file_name(std::uint16_t tile, std::uint16_t tile_count);

// schedule.json, then the tile files in tile order.
std::vector<OutputFile> output_files(const CompileOutput& output);

}  // namespace velk_io
