// Building graphs through the builder.
#include <benchmark/benchmark.h>

#include <string>

#include "velk_compiler/graph.hpp"

namespace {

// A chain of `length` layer normalisations, each feeding the next, with names built per op.
void BM_BuildLayerNormChain(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    velk_compiler::Graph graph;
    velk_compiler::TensorId current = graph.input("input", {512, 1024});
    for (std::size_t i = 0; i < length; ++i) {
      current = *graph.layer_norm("norm" + std::to_string(i), current, 1e-5F);
    }
    (void)graph.mark_output(current);
    benchmark::DoNotOptimize(graph);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_BuildLayerNormChain)->RangeMultiplier(8)->Range(64, 32768)->Complexity(benchmark::oN);

}  // namespace
