// Building the encoder block graph and choosing the layouts of its tensors.
#include <benchmark/benchmark.h>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/layout.hpp"

namespace {

using velk_compiler::EncoderConfig;

void BM_EncoderGraph(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::encoder_graph(EncoderConfig{}));
}
BENCHMARK(BM_EncoderGraph);

void BM_ChooseEncoderLayouts(benchmark::State& state) {
  const velk_compiler::Graph graph = *velk_compiler::encoder_graph(EncoderConfig{512, 1024, 16, 4096});
  for (auto _ : state) {
    for (const velk_compiler::Tensor& tensor : graph.tensors) {
      benchmark::DoNotOptimize(velk_compiler::choose_layout(tensor, 1472));
    }
  }
}
BENCHMARK(BM_ChooseEncoderLayouts);

}  // namespace
