// The host reference of the encoder block: weight generation and the whole evaluation, at
// the default configuration and at a larger one.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velk_compiler/reference.hpp"

namespace {

using velk_compiler::EncoderConfig;

constexpr EncoderConfig larger_config{.sequence = 128, .hidden = 256, .heads = 8, .feed_forward = 1024};

std::vector<float> sample_input(const EncoderConfig& config) {
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i % 19) - 9.0F) / 16.0F;
  return input;
}

void BM_DeterministicWeights(benchmark::State& state, EncoderConfig config) {
  for (auto _ : state) {
    velk_compiler::EncoderWeights weights = velk_compiler::EncoderWeights::deterministic(config);
    benchmark::DoNotOptimize(weights);
  }
}
BENCHMARK_CAPTURE(BM_DeterministicWeights, default, EncoderConfig{});
BENCHMARK_CAPTURE(BM_DeterministicWeights, larger, larger_config);

// One evaluation per iteration; items are the output rows (tokens).
void BM_EncoderReference(benchmark::State& state, EncoderConfig config) {
  const std::vector<float> input = sample_input(config);
  const velk_compiler::EncoderWeights weights = velk_compiler::EncoderWeights::deterministic(config);
  for (auto _ : state) {
    auto output = velk_compiler::encoder_reference(config, input, weights);
    if (!output) state.SkipWithError("encoder_reference failed");
    benchmark::DoNotOptimize(output);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(config.sequence));
}
BENCHMARK_CAPTURE(BM_EncoderReference, default, EncoderConfig{})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EncoderReference, larger, larger_config)->Unit(benchmark::kMillisecond);

}  // namespace
