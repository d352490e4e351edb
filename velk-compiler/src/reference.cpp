// The host reference of the encoder block and its kernels.
//
// Bit-for-bit reproducibility rests on three things: each float operation below is a
// separate, correctly rounded 32-bit operation (the build compiles this file with
// -ffp-contract=off and -fno-fast-math, so nothing is fused into a multiply-add or
// reassociated), the loops add their terms in ascending index order, and float
// expressions are evaluated in float (checked below). Square root is the correctly rounded
// std::sqrt; exp and tanh are the platform's float functions.
//
// The public kernels check their arguments; the private ones below them assume the spans
// already hold exactly the matrices their dimensions describe, which encoder_reference
// establishes once before any arithmetic.
#include "velk_compiler/reference.hpp"

#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "text.hpp"

// Float intermediates must not be kept wider than float (x87-style excess precision).
static_assert(FLT_EVAL_METHOD == 0, "float expressions must be evaluated in float");
#if defined(__FAST_MATH__)
#error "reference.cpp must be compiled without fast-math: its results are defined bit for bit"
#endif

namespace velk_compiler {
namespace {

// 1e-5 as the nearest 32-bit float, as in the encoder graph.
constexpr float layer_norm_epsilon = 1e-5F;

// The number of elements of a rows x columns matrix, or nothing when it overflows a
// machine word or exceeds what a vector of floats can hold.
std::optional<std::size_t> matrix_elements(std::size_t rows, std::size_t columns) {
  const std::array<std::size_t, 2> shape{rows, columns};
  const std::optional<std::size_t> elements = checked_elements(shape);
  if (!elements || *elements > std::vector<float>().max_size()) return std::nullopt;
  return elements;
}

// True when `length` values are exactly a rows x columns matrix; an overflowing product
// never is.
bool holds_matrix(std::size_t length, std::size_t rows, std::size_t columns) {
  const std::optional<std::size_t> elements = matrix_elements(rows, columns);
  return elements && *elements == length;
}

std::string shape_mismatch(std::string_view what, std::size_t length, std::size_t rows, std::size_t columns) {
  return fill("{} has {} values, expected {} x {}",
              {what, std::to_string(length), std::to_string(rows), std::to_string(columns)});
}

std::vector<float> generated_matrix(std::size_t rows, std::size_t columns, std::size_t salt) {
  const std::optional<std::size_t> elements = matrix_elements(rows, columns);
  if (!elements) return {};
  const float denominator = std::sqrt(50.0F * static_cast<float>(rows));
  std::vector<float> matrix(*elements);
  for (std::size_t index = 0; index < matrix.size(); ++index) {
    // (17*index + 31*salt) mod 101, reduced first so that no product can wrap.
    const std::size_t m = (17 * (index % 101) + 31 * (salt % 101)) % 101;
    matrix[index] = (static_cast<float>(m) - 50.0F) / denominator;
  }
  return matrix;
}

// Preconditions of the private kernels: every span is exactly the matrix its dimensions
// describe, and every result size fits. Rows of no columns are skipped outright, so a
// huge row count over empty spans costs nothing.

std::vector<float> multiply(std::span<const float> left, std::span<const float> right, std::size_t rows,
                            std::size_t inner, std::size_t columns) {
  std::vector<float> result(rows * columns, 0.0F);
  if (columns == 0) return result;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      float sum = 0.0F;
      for (std::size_t k = 0; k < inner; ++k) sum = sum + left[r * inner + k] * right[k * columns + c];
      result[r * columns + c] = sum;
    }
  }
  return result;
}

std::vector<float> normalise_rows(std::span<const float> input, std::size_t rows, std::size_t columns, float epsilon) {
  std::vector<float> result(input.size(), 0.0F);
  if (columns == 0) return result;
  const float count = static_cast<float>(columns);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const float> row = input.subspan(r * columns, columns);
    // Both sums start from -0 so that a row of negative zeros normalises to +0.
    float sum = -0.0F;
    for (const float x : row) sum = sum + x;
    const float mean = sum / count;
    float squares = -0.0F;
    for (const float x : row) {
      const float deviation = x - mean;
      squares = squares + deviation * deviation;
    }
    const float variance = squares / count;
    const float scale = 1.0F / std::sqrt(variance + epsilon);
    for (std::size_t c = 0; c < columns; ++c) result[r * columns + c] = (row[c] - mean) * scale;
  }
  return result;
}

void softmax_each_row(std::span<float> values, std::size_t rows, std::size_t columns) {
  if (columns == 0) return;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<float> row = values.subspan(r * columns, columns);
    // A NaN never compares greater, so it never becomes the maximum.
    float maximum = -std::numeric_limits<float>::infinity();
    for (const float x : row) {
      if (x > maximum) maximum = x;
    }
    float total = 0.0F;
    for (float& x : row) {
      x = std::exp(x - maximum);
      total = total + x;
    }
    for (float& x : row) x = x / total;
  }
}

// The scores of one head: scores(r, c) = (sum over i of q(r, offset + i) * k(c, offset + i))
// / sqrt(head_size), over the S x H projections q and k.
void head_scores(std::span<const float> q, std::span<const float> k, std::size_t sequence, std::size_t hidden,
                 std::size_t offset, std::size_t head_size, std::span<float> scores) {
  const float divisor = std::sqrt(static_cast<float>(head_size));
  for (std::size_t r = 0; r < sequence; ++r) {
    for (std::size_t c = 0; c < sequence; ++c) {
      float sum = 0.0F;
      for (std::size_t i = 0; i < head_size; ++i) sum = sum + q[r * hidden + offset + i] * k[c * hidden + offset + i];
      scores[r * sequence + c] = sum / divisor;
    }
  }
}

// Writes one head's columns offset .. offset + head_size - 1 of the context: the
// probabilities times the head's columns of v.
void head_context(std::span<const float> probabilities, std::span<const float> v, std::size_t sequence,
                  std::size_t hidden, std::size_t offset, std::size_t head_size, std::span<float> context) {
  for (std::size_t r = 0; r < sequence; ++r) {
    for (std::size_t i = 0; i < head_size; ++i) {
      float sum = 0.0F;
      for (std::size_t c = 0; c < sequence; ++c)
        sum = sum + probabilities[r * sequence + c] * v[c * hidden + offset + i];
      context[r * hidden + offset + i] = sum;
    }
  }
}

// Multi-head attention over the S x H projections. With H not a multiple of `heads`, the
// head width is rounded down and the last H - heads*head_size context columns stay 0.
std::vector<float> attention_context(std::span<const float> q, std::span<const float> k, std::span<const float> v,
                                     const EncoderConfig& config) {
  const std::size_t sequence = config.sequence;
  const std::size_t hidden = config.hidden;
  const std::size_t head_size = hidden / config.heads;
  std::vector<float> context(sequence * hidden, 0.0F);
  std::vector<float> scores(sequence * sequence, 0.0F);
  for (std::size_t head = 0; head < config.heads; ++head) {
    const std::size_t offset = head * head_size;
    head_scores(q, k, sequence, hidden, offset, head_size, scores);
    softmax_each_row(scores, sequence, sequence);
    head_context(scores, v, sequence, hidden, offset, head_size, context);
  }
  return context;
}

// left[i] + right[i], left first; both are equally long.
std::vector<float> add_elementwise(std::span<const float> left, std::span<const float> right) {
  std::vector<float> sum(left.size(), 0.0F);
  for (std::size_t i = 0; i < left.size(); ++i) sum[i] = left[i] + right[i];
  return sum;
}

struct MatrixShape {
  std::size_t rows;
  std::size_t columns;
};

struct NamedWeight {
  std::string_view name;
  const std::vector<float>& values;
  MatrixShape shape;
};

// Everything encoder_reference refuses, in the order it refuses it.
[[nodiscard]] Result<void> check_encoder_arguments(const EncoderConfig& config, std::span<const float> input,
                                                   const EncoderWeights& weights) {
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  if (!holds_matrix(input.size(), s, h)) return std::unexpected(CompileError::graph("encoder input size mismatch"));
  if (config.heads == 0) return std::unexpected(CompileError::graph("encoder needs at least one head"));
  // The working matrices besides the S x H ones, which the input already bounds.
  for (const MatrixShape shape : {MatrixShape{h, h}, MatrixShape{h, f}, MatrixShape{s, s}, MatrixShape{s, f}}) {
    if (!matrix_elements(shape.rows, shape.columns)) {
      return std::unexpected(CompileError::graph(
          fill("encoder matrix {} x {} is too large", {std::to_string(shape.rows), std::to_string(shape.columns)})));
    }
  }
  const std::array<NamedWeight, 6> named{{
      {"wq", weights.wq, {h, h}},
      {"wk", weights.wk, {h, h}},
      {"wv", weights.wv, {h, h}},
      {"wo", weights.wo, {h, h}},
      {"w1", weights.w1, {h, f}},
      {"w2", weights.w2, {f, h}},
  }};
  for (const NamedWeight& weight : named) {
    const std::size_t expected = weight.shape.rows * weight.shape.columns;
    if (weight.values.size() != expected) {
      return std::unexpected(
          CompileError::graph(fill("encoder weight {} has {} values, expected {}",
                                   {weight.name, std::to_string(weight.values.size()), std::to_string(expected)})));
    }
  }
  return {};
}

}  // namespace

EncoderWeights EncoderWeights::deterministic(const EncoderConfig& config) {
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  return EncoderWeights{
      .wq = generated_matrix(h, h, 1),
      .wk = generated_matrix(h, h, 2),
      .wv = generated_matrix(h, h, 3),
      .wo = generated_matrix(h, h, 4),
      .w1 = generated_matrix(h, f, 5),
      .w2 = generated_matrix(f, h, 6),
  };
}

Result<std::vector<float>> encoder_reference(const EncoderConfig& config, std::span<const float> input,
                                             const EncoderWeights& weights) {
  if (auto checked = check_encoder_arguments(config, input, weights); !checked) {
    return std::unexpected(checked.error());
  }
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;

  const std::vector<float> norm1 = normalise_rows(input, s, h, layer_norm_epsilon);
  const std::vector<float> q = multiply(norm1, weights.wq, s, h, h);
  const std::vector<float> k = multiply(norm1, weights.wk, s, h, h);
  const std::vector<float> v = multiply(norm1, weights.wv, s, h, h);
  const std::vector<float> context = attention_context(q, k, v, config);
  const std::vector<float> projected = multiply(context, weights.wo, s, h, h);
  const std::vector<float> residual1 = add_elementwise(input, projected);
  const std::vector<float> norm2 = normalise_rows(residual1, s, h, layer_norm_epsilon);
  std::vector<float> activations = multiply(norm2, weights.w1, s, h, f);
  for (float& x : activations) x = gelu(x);
  const std::vector<float> down = multiply(activations, weights.w2, s, f, h);
  return add_elementwise(residual1, down);
}

Result<std::vector<float>> matmul(std::span<const float> left, std::span<const float> right, std::size_t rows,
                                  std::size_t inner, std::size_t columns) {
  if (!holds_matrix(left.size(), rows, inner)) {
    return std::unexpected(CompileError::graph(shape_mismatch("matmul left", left.size(), rows, inner)));
  }
  if (!holds_matrix(right.size(), inner, columns)) {
    return std::unexpected(CompileError::graph(shape_mismatch("matmul right", right.size(), inner, columns)));
  }
  if (!matrix_elements(rows, columns)) {
    return std::unexpected(CompileError::graph(
        fill("matmul result {} x {} is too large", {std::to_string(rows), std::to_string(columns)})));
  }
  return multiply(left, right, rows, inner, columns);
}

Result<std::vector<float>> layer_norm(std::span<const float> input, std::size_t rows, std::size_t columns,
                                      float epsilon) {
  if (!holds_matrix(input.size(), rows, columns)) {
    return std::unexpected(CompileError::graph(shape_mismatch("layer norm input", input.size(), rows, columns)));
  }
  return normalise_rows(input, rows, columns, epsilon);
}

Result<void> softmax_rows(std::span<float> values, std::size_t rows, std::size_t columns) {
  if (!holds_matrix(values.size(), rows, columns)) {
    return std::unexpected(CompileError::graph(shape_mismatch("softmax input", values.size(), rows, columns)));
  }
  softmax_each_row(values, rows, columns);
  return {};
}

float gelu(float value) {
  const float x = value;
  const float a = 0.5F * x;
  const float cube = x * (x * x);
  const float inner = x + 0.044715F * cube;
  const float t = std::tanh(0.7978846F * inner);
  return a * (1.0F + t);
}

}  // namespace velk_compiler
