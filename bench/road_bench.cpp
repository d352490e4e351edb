// The whole road (build_program): graph -> compile -> lowered exchanges -> tile programs ->
// command bytes of every tile; and the
// compile driver on a long chain of operations over the whole chip.
#include <benchmark/benchmark.h>

#include <string>

#include "straightforward.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/program.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_compiler::CompilerOptions;
using velk_compiler::EncoderConfig;

// Every byte of every tile's command stream, so nothing of the road can be skipped.
std::size_t command_bytes(const velk_compiler::Program& program) {
  std::size_t bytes = program.tile_programs.size();
  for (const auto& commands : program.tile_commands) {
    for (const auto& command : commands) {
      const auto image = command.to_le_bytes();
      bytes += image.size() + image[0];
    }
  }
  return bytes;
}

// The road from the graph, the fast way or the straightforward way.
template <bool Straightforward>
std::size_t road(const velk_compiler::Graph& graph, const CompilerOptions& options,
                 const velk_exchange::Topology& topology) {
  if constexpr (Straightforward) {
    return command_bytes(*velk_compiler::straightforward::build_program(graph, options, topology));
  } else {
    return command_bytes(*velk_compiler::build_program(graph, options, topology));
  }
}

std::size_t whole_road(const EncoderConfig& config, const CompilerOptions& options,
                       const velk_exchange::Topology& topology) {
  return road<false>(*velk_compiler::encoder_graph(config), options, topology);
}

void BM_RoadDefaultEncoder(benchmark::State& state) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(whole_road(EncoderConfig{}, CompilerOptions{}, topology));
}
BENCHMARK(BM_RoadDefaultEncoder)->Unit(benchmark::kMicrosecond);

void BM_RoadDefaultEncoderStraightforward(benchmark::State& state) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) {
    benchmark::DoNotOptimize(road<true>(*velk_compiler::encoder_graph(EncoderConfig{}), CompilerOptions{}, topology));
  }
}
BENCHMARK(BM_RoadDefaultEncoderStraightforward)->Unit(benchmark::kMicrosecond);

// BERT-base: twelve blocks of sequence 128, hidden 768, feed-forward 3072, on the whole card.
const EncoderConfig bert_base{128, 768, 12, 3072};
constexpr std::size_t BERT_LAYERS = 12;

void BM_RoadBertBase12FullChip(benchmark::State& state) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  const velk_compiler::Graph graph = *velk_compiler::encoder_stack(bert_base, BERT_LAYERS);
  for (auto _ : state) benchmark::DoNotOptimize(road<false>(graph, CompilerOptions{1472}, topology));
}
BENCHMARK(BM_RoadBertBase12FullChip)->Unit(benchmark::kMillisecond);

// Takes minutes: the scanning lookups visit every allocation for every kernel operand.
void BM_RoadBertBase12FullChipStraightforward(benchmark::State& state) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  const velk_compiler::Graph graph = *velk_compiler::encoder_stack(bert_base, BERT_LAYERS);
  for (auto _ : state) benchmark::DoNotOptimize(road<true>(graph, CompilerOptions{1472}, topology));
}
BENCHMARK(BM_RoadBertBase12FullChipStraightforward)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RoadLargeEncoderFullChip(benchmark::State& state) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) {
    benchmark::DoNotOptimize(whole_road(EncoderConfig{512, 1024, 16, 4096}, CompilerOptions{1472}, topology));
  }
}
BENCHMARK(BM_RoadLargeEncoderFullChip)->Unit(benchmark::kMillisecond);

// `length` operations, alternating layer norms and GELUs, each reading the previous result,
// over a [rows, 1024] input: 64 rows spread over 256 tiles, 512 rows over all 1472.
velk_compiler::Graph chain(std::size_t length, std::size_t rows) {
  velk_compiler::Graph graph;
  velk_compiler::TensorId current = graph.input("input", {rows, 1024});
  for (std::size_t i = 0; i < length; ++i) {
    const std::string name = "op" + std::to_string(i);
    current = i % 2 == 0 ? *graph.layer_norm(name, current, 1e-5F) : *graph.gelu(name, current);
  }
  (void)graph.mark_output(current);
  return graph;
}

void BM_CompileChain(benchmark::State& state) {
  const velk_compiler::Graph graph = chain(static_cast<std::size_t>(state.range(0)), 64);
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::compile(graph, CompilerOptions{1472}));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CompileChain)->RangeMultiplier(2)->Range(32, 256)->Complexity()->Unit(benchmark::kMillisecond);

void BM_CompileChainStraightforward(benchmark::State& state) {
  const velk_compiler::Graph graph = chain(static_cast<std::size_t>(state.range(0)), 64);
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::straightforward::compile(graph, CompilerOptions{1472}));
}
BENCHMARK(BM_CompileChainStraightforward)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_CompileChainFullChip(benchmark::State& state) {
  const velk_compiler::Graph graph = chain(static_cast<std::size_t>(state.range(0)), 512);
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::compile(graph, CompilerOptions{1472}));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CompileChainFullChip)->RangeMultiplier(2)->Range(32, 256)->Complexity()->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

void BM_TileCommandsDefaultEncoder(benchmark::State& state) {
  const velk_compiler::Schedule schedule =
      *velk_compiler::compile(*velk_compiler::encoder_graph(EncoderConfig{}), CompilerOptions{});
  for (auto _ : state) {
    for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile)
      benchmark::DoNotOptimize(schedule.tile_commands(tile));
  }
}
BENCHMARK(BM_TileCommandsDefaultEncoder)->Unit(benchmark::kMicrosecond);

}  // namespace
