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

}  // namespace velk_compiler
