// Compiling the encoder block, and the memory planner alone.
#include <benchmark/benchmark.h>

#include "straightforward.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace {

using velk_compiler::CompilerOptions;
using velk_compiler::EncoderConfig;

const EncoderConfig large_encoder{512, 1024, 16, 4096};
const CompilerOptions full_chip{1472};

void BM_CompileDefaultEncoder(benchmark::State& state) {
  const velk_compiler::Graph graph = *velk_compiler::encoder_graph(EncoderConfig{});
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::compile(graph, CompilerOptions{}));
}
BENCHMARK(BM_CompileDefaultEncoder)->Unit(benchmark::kMicrosecond);

void BM_CompileDefaultEncoderStraightforward(benchmark::State& state) {
  const velk_compiler::Graph graph = *velk_compiler::encoder_graph(EncoderConfig{});
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::straightforward::compile(graph, CompilerOptions{}));
}
BENCHMARK(BM_CompileDefaultEncoderStraightforward)->Unit(benchmark::kMicrosecond);

// The floor under any compile of the default encoder: copying its finished schedule, whose
// kernel commands each own their operand list and result shape.
void BM_CopyDefaultEncoderSchedule(benchmark::State& state) {
  const velk_compiler::Schedule schedule = *velk_compiler::compile(*velk_compiler::encoder_graph(EncoderConfig{}), {});
  for (auto _ : state) {
    velk_compiler::Schedule copy = schedule;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyDefaultEncoderSchedule)->Unit(benchmark::kMicrosecond);

void BM_CompileLargeEncoderFullChip(benchmark::State& state) {
  const velk_compiler::Graph graph = *velk_compiler::encoder_graph(large_encoder);
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::compile(graph, full_chip));
}
BENCHMARK(BM_CompileLargeEncoderFullChip)->Unit(benchmark::kMillisecond);

void BM_PlanMemoryLargeEncoderFullChip(benchmark::State& state) {
  const velk_compiler::Graph graph = *velk_compiler::encoder_graph(large_encoder);
  const velk_compiler::Schedule schedule = *velk_compiler::compile(graph, full_chip);
  for (auto _ : state) {
    benchmark::DoNotOptimize(velk_compiler::plan_memory(graph, schedule.layouts, schedule.phases, full_chip));
  }
}
BENCHMARK(BM_PlanMemoryLargeEncoderFullChip)->Unit(benchmark::kMillisecond);

}  // namespace
