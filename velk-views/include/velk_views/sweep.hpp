// The sweep: one graph, or the encoder block at several sizes, compiled for several tile
// counts, so that a user can choose a configuration by looking. Per configuration it keeps
// the figures of its compile summary (compile_report.hpp): peak SRAM over the tiles (maximum
// and median, as peak_spread gives them), phases, exchange launches and their cycles in all;
// and, when asked, the wall time of the compilation. That time is the only figure that
// differs from run to run, so every rendering can leave it out.
//
// A configuration that does not compile (too few tiles for memory, a launch too long for the
// fabric, ...) is kept with its error: the sweep shows where the workable range ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velk_compiler/compile_summary.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_views {

struct SweepGraph {
  std::string name;  // "s32 h64 n4 f256" for an encoder block, the file's name for a graph file
  velk_compiler::Graph graph;
  bool operator==(const SweepGraph&) const = default;
};

struct SweepFigures {
  std::uint32_t peak_maximum = 0;  // bytes, on the fullest tile
  std::uint32_t peak_median = 0;   // bytes, on the median tile
  std::size_t phases = 0;
  std::size_t launches = 0;
  std::uint64_t exchange_cycles = 0;  // the estimated cycles of all launches together
  bool operator==(const SweepFigures&) const = default;
};

struct SweepPoint {
  std::size_t graph = 0;  // position in the sweep's graphs
  std::uint16_t tile_count = 0;
  std::optional<SweepFigures> figures;         // none when the configuration did not compile
  std::string failure;                         // then the compiler's error, as velk_compiler::to_string gives it
  std::optional<double> compile_milliseconds;  // the wall time of build_program and summarize_program, when measured
  bool operator==(const SweepPoint&) const = default;
};

// "s32 h64 n4 f256": sequence, hidden, heads, feed-forward; a stack of more than one layer
// adds its layer count ("s128 h768 n12 f3072 l12").
std::string encoder_sweep_name(const velk_compiler::EncoderConfig& config, std::size_t layers = 1);

// The encoder stack at every combination of the dimensions and layer counts, sequence
// outermost and layers innermost, each named by encoder_sweep_name. The first size that
// encoder_stack refuses fails the call with its error.
[[nodiscard]] velk_compiler::Result<std::vector<SweepGraph>> encoder_sweep_graphs(
    std::span<const std::size_t> sequences, std::span<const std::size_t> hiddens, std::span<const std::size_t> heads,
    std::span<const std::size_t> feed_forwards, std::span<const std::size_t> layers);

// The figures of one compiled configuration. The median and maximum are 0 without tiles.
[[nodiscard]] SweepFigures sweep_figures(const velk_compiler::CompileSummary& summary);

// Every graph compiled for every tile count (graphs outer, tile counts inner) with `options`
// otherwise, through build_program. Measures each compilation's wall time only when
// `measure_time` is set. The configurations are compiled by `workers` threads at once (0:
// one per core); the points are the same, in the same order, for any number of workers,
// but for the measured times.
std::vector<SweepPoint> run_sweep(std::span<const SweepGraph> graphs, std::span<const std::uint16_t> tile_counts,
                                  const velk_compiler::CompilerOptions& options,
                                  const velk_exchange::Topology& topology, bool measure_time, unsigned workers = 0);

// The points as a text table, one line per configuration and a header, columns aligned; a
// failed configuration shows its error in place of its figures. The compile time column is
// there when `with_times` is set (a point without a measured time shows "-").
std::string render_sweep_table(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points, bool with_times);

// A self-contained HTML page: the table, and a line chart per figure against the tile
// count with one line per graph (failed configurations leave a gap). The compile time
// appears, as a column and a chart, only when `with_times` is set.
std::string sweep_report_html(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points, bool with_times);

}  // namespace velk_views
