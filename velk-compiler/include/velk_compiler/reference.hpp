// The host reference of the encoder block: a deterministic weight generator, the block's
// evaluation in 32-bit floating point, and the four host kernels it is built from.
//
// Results are reproducible bit for bit: every float operation is rounded on its own, in
// the order written here, sums run in ascending index order, and nothing is fused,
// reordered or kept in a wider type (the build compiles reference.cpp accordingly).
// Unlike the encoder graph, the reference splits attention into heads and scales the
// scores by 1/sqrt(head width). Matrices are row-major: element (r, c) of an R x C matrix
// is at r*C + c.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/error.hpp"

namespace velk_compiler {

// The six weight matrices of the block, for S = sequence, H = hidden, F = feed_forward.
struct EncoderWeights {
  std::vector<float> wq;  // H x H query projection
  std::vector<float> wk;  // H x H key projection
  std::vector<float> wv;  // H x H value projection
  std::vector<float> wo;  // H x H attention output projection
  std::vector<float> w1;  // H x F feed-forward up projection
  std::vector<float> w2;  // F x H feed-forward down projection

  // Element i of a matrix with `rows` rows and salt s (1 to 6 in field order) is
  // (float((17*i + 31*s) mod 101) - 50) / sqrt(50 * float(rows)), so every weight lies
  // within +-50/sqrt(50*rows). A matrix whose element count cannot be held in memory is
  // left empty, and encoder_reference refuses such a configuration.
  static EncoderWeights deterministic(const EncoderConfig& config);

  bool operator==(const EncoderWeights&) const = default;
};

// Evaluates the block on an S x H input and returns the S x H output. Refuses, before any
// float arithmetic and in this order: an input that is not S*H long ("encoder input size
// mismatch"), zero heads, working matrices too large to hold, and weights of the wrong
// length. All errors are of kind Graph.
[[nodiscard]] Result<std::vector<float>> encoder_reference(const EncoderConfig& config, std::span<const float> input,
                                                           const EncoderWeights& weights);

// rows x inner times inner x columns; each result element sums over k ascending from +0.
// Refuses operands that are not exactly rows*inner and inner*columns long, and a result
// too large to hold.
[[nodiscard]] Result<std::vector<float>> matmul(std::span<const float> left, std::span<const float> right,
                                                std::size_t rows, std::size_t inner, std::size_t columns);

// Normalises each row to zero mean and unit population variance, with no gain or bias:
// (x - mean) / sqrt(variance + epsilon). Both row sums start from -0. Refuses an input
// that is not exactly rows*columns long.
[[nodiscard]] Result<std::vector<float>> layer_norm(std::span<const float> input, std::size_t rows, std::size_t columns,
                                                    float epsilon);

// Replaces each row by exp(x - row maximum) / total, in place. Refuses a span that is not
// exactly rows*columns long, leaving it untouched.
[[nodiscard]] Result<void> softmax_rows(std::span<float> values, std::size_t rows, std::size_t columns);

// The tanh form: 0.5x * (1 + tanh(0.7978846 * (x + 0.044715 * x*(x*x)))).
float gelu(float value);

}  // namespace velk_compiler
