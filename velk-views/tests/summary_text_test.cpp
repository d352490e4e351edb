#include "velk_views/summary_text.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;
using vc::CompileSummary;
using vc::LaunchFigures;
using vc::TilePeak;

TEST(RenderSummary, NamesEveryFigureBesideItsBound) {
  CompileSummary summary{3,
                         1,
                         1,
                         1,
                         1,
                         {LaunchFigures{0, 0, 2, 3, 300, 5, 256}},
                         {TilePeak{0, 4096, 1024}, TilePeak{1, 8192, 8192}, TilePeak{2, 2048, 1024}},
                         0};
  EXPECT_EQ(render_summary(summary),
            "graph: 3 tensors, 1 operation, 1 output\n"
            "phases: 2 (1 compute, 1 exchange)\n"
            "exchange launches: 1 (cycles; bound: the words the busiest tile sends plus receives)\n"
            "  phase 0 launch 0: 2 slots, 3 groups, 300 cycles (bound 256 on tile 5, +44)\n"
            "peak SRAM per tile: 3 tiles (bytes from the lower window base; bound: the bytes of the tile's regions "
            "live in one phase)\n"
            "  minimum 2048 on tile 2 (bound 1024, +1024)\n"
            "  median  4096 on tile 0 (bound 1024, +3072)\n"
            "  maximum 8192 on tile 1 (bound 8192, +0)\n"
            "  fullest tiles: 8192 on tile 1 (bound 8192, +0), 4096 on tile 0 (bound 1024, +3072), 2048 on tile 2 "
            "(bound 1024, +1024)\n");
  summary.data_offset = 0x8000;
  EXPECT_TRUE(render_summary(summary).ends_with(
      "  (peaks count from the lower window base; the data window starts 32768 bytes above it)\n"));
}

// Two one-tile operands of a product over 16 tiles: tile 1 stages both in one phase.
vc::Graph fan_out_product() {
  vc::Graph graph;
  const vc::TensorId a = graph.input("a", {64, 4});
  const vc::TensorId b = graph.input("b", {4, 64});
  EXPECT_TRUE(graph.mark_output(graph.matmul("product", a, b).value()));
  return graph;
}

TEST(RenderCompileFailure, MemoryFailuresSayWhy) {
  vc::CompilerOptions options;
  options.exchange_limit = 0x507F0;
  const vc::Graph graph = fan_out_product();
  const vc::Result<vc::Schedule> compiled = vc::compile(graph, options);
  ASSERT_FALSE(compiled);
  EXPECT_EQ(
      render_compile_failure(graph, options, compiled.error()),
      "memory: tile 1 exceeds data limit allocating tensor 1 exchange staging\n"
      "why: tile 1 needs 1024 bytes for tensor 1 \"b\" (staging of phase 0, alignment 16, live in phases 0 to 1)\n"
      "  in the exchange window 0x50000..0x507F0 (2032 bytes)\n"
      "live beside it on tile 1 in that window: 1 region, 1024 bytes\n"
      "  tensor  name  kind                  address          size  live\n"
      "       0  a     staging of phase 0    0x50000          1024  0..1\n");
}

TEST(RenderCompileFailure, OtherFailuresAreTheCompilersRendering) {
  vc::CompilerOptions options;
  options.tile_count = 0;
  const vc::CompileError error = vc::CompileError::graph("invalid compiler options");
  EXPECT_EQ(render_compile_failure(fan_out_product(), options, error), "graph: invalid compiler options\n");
  const vc::CompileError exchange = velk_exchange::ExchangeError::count(0);
  EXPECT_EQ(render_compile_failure(fan_out_product(), {}, exchange), vc::to_string(exchange) + "\n");
}

}  // namespace
}  // namespace velk_views
