// The transformer encoder block as a graph: the compiler's reference workload.
#pragma once

#include <cstddef>

#include "velk_compiler/graph.hpp"

namespace velk_compiler {

struct EncoderConfig {
  std::size_t sequence = 32;       // token rows of the input
  std::size_t hidden = 64;         // model width
  std::size_t heads = 4;           // attention heads; in the graph it only constrains `hidden`
  std::size_t feed_forward = 256;  // inner width of the feed-forward network
  bool operator==(const EncoderConfig&) const = default;
};

// The pre-normalised encoder block: one input, six weights, fifteen operations and the
// single output "ffn_residual". Attention is one unscaled head over the full width.
// Refuses zero dimensions and a `hidden` that is no multiple of `heads` with
// "invalid encoder dimensions"; `feed_forward` is left for validation to judge.
[[nodiscard]] Result<Graph> encoder_graph(const EncoderConfig& config);

// The most layers `encoder_stack` builds (a bound on the graph's size, far above real models).
inline constexpr std::size_t MAX_ENCODER_LAYERS = 1024;

// `layers` encoder blocks in a row, each block's output the next block's input, and the last
// block's output the graph's one output. With more than one layer every name carries its
// layer's prefix ("l0_input", "l0_wq", …, "l11_ffn_residual"); one layer is exactly
// `encoder_graph(config)`. As in a graph file, the declared tensors come first (the input,
// then each layer's six weights), then each layer's fifteen operations. Refuses what `encoder_graph` refuses, then a
// layer count of 0 or above MAX_ENCODER_LAYERS with "invalid encoder layer count".
[[nodiscard]] Result<Graph> encoder_stack(const EncoderConfig& config, std::size_t layers);

}  // namespace velk_compiler
