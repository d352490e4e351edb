// Builds the encoder block through the graph builder, so every shape rule applies.
#include "velk_compiler/encoder.hpp"

#include <string>
#include <vector>

namespace velk_compiler {
namespace {

// 1e-5 as the nearest 32-bit float.
constexpr float layer_norm_epsilon = 1e-5F;

// What one block adds beside its input: six weights and fifteen results.
constexpr std::size_t BLOCK_TENSORS = 21;
constexpr std::size_t BLOCK_OPERATIONS = 15;

bool valid_dimensions(const EncoderConfig& config) {
  return config.hidden != 0 && config.sequence != 0 && config.heads != 0 && config.hidden % config.heads == 0;
}

// One block's weights, declared before any operation.
struct BlockWeights {
  TensorId wq, wk, wv, wo, w1, w2;
};

BlockWeights declare_weights(Graph& graph, const EncoderConfig& config, const std::string& prefix) {
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  return BlockWeights{graph.weight(prefix + "wq", {h, h}), graph.weight(prefix + "wk", {h, h}),
                      graph.weight(prefix + "wv", {h, h}), graph.weight(prefix + "wo", {h, h}),
                      graph.weight(prefix + "w1", {h, f}), graph.weight(prefix + "w2", {f, h})};
}

// Appends one block's fifteen operations reading `input` and returns its result
// "ffn_residual"; every new name is `prefix` + the block's own.
Result<TensorId> append_block(Graph& graph, const std::string& prefix, TensorId input, const BlockWeights& w) {
  const auto name = [&prefix](std::string_view own) { return prefix + std::string(own); };
  const auto [wq, wk, wv, wo, w1, w2] = w;

  // Once the dimensions pass, every builder call below succeeds; errors still pass through.
  auto norm1 = graph.layer_norm(name("norm1"), input, layer_norm_epsilon);
  if (!norm1) return std::unexpected(norm1.error());
  auto q = graph.matmul(name("q"), *norm1, wq);
  if (!q) return std::unexpected(q.error());
  auto k = graph.matmul(name("k"), *norm1, wk);
  if (!k) return std::unexpected(k.error());
  auto v = graph.matmul(name("v"), *norm1, wv);
  if (!v) return std::unexpected(v.error());
  auto k_transpose = graph.transpose(name("k_transpose"), *k, {1, 0});
  if (!k_transpose) return std::unexpected(k_transpose.error());
  auto scores = graph.matmul(name("attention_scores"), *q, *k_transpose);
  if (!scores) return std::unexpected(scores.error());
  auto probabilities = graph.softmax(name("attention_softmax"), *scores, 1);
  if (!probabilities) return std::unexpected(probabilities.error());
  auto context = graph.matmul(name("attention_context"), *probabilities, *v);
  if (!context) return std::unexpected(context.error());
  auto projection = graph.matmul(name("attention_projection"), *context, wo);
  if (!projection) return std::unexpected(projection.error());
  auto residual = graph.add(name("attention_residual"), input, *projection);
  if (!residual) return std::unexpected(residual.error());
  auto norm2 = graph.layer_norm(name("norm2"), *residual, layer_norm_epsilon);
  if (!norm2) return std::unexpected(norm2.error());
  auto up = graph.matmul(name("ffn_up"), *norm2, w1);
  if (!up) return std::unexpected(up.error());
  auto activation = graph.gelu(name("ffn_gelu"), *up);
  if (!activation) return std::unexpected(activation.error());
  auto down = graph.matmul(name("ffn_down"), *activation, w2);
  if (!down) return std::unexpected(down.error());
  return graph.add(name("ffn_residual"), *residual, *down);
}

}  // namespace

Result<Graph> encoder_graph(const EncoderConfig& config) { return encoder_stack(config, 1); }

Result<Graph> encoder_stack(const EncoderConfig& config, std::size_t layers) {
  if (!valid_dimensions(config)) return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  if (layers == 0 || layers > MAX_ENCODER_LAYERS) {
    return std::unexpected(CompileError::graph("invalid encoder layer count"));
  }
  // Every declared tensor comes before the first operation, as in a graph file, so that
  // the stack's tensor numbers are those its graph file gives.
  const auto prefix = [layers](std::size_t layer) {
    return layers == 1 ? std::string() : "l" + std::to_string(layer) + "_";
  };
  Graph graph;
  graph.tensors.reserve(1 + layers * BLOCK_TENSORS);
  graph.ops.reserve(layers * BLOCK_OPERATIONS);
  TensorId carried = graph.input(prefix(0) + "input", {config.sequence, config.hidden});
  std::vector<BlockWeights> weights;
  weights.reserve(layers);
  for (std::size_t layer = 0; layer < layers; ++layer) weights.push_back(declare_weights(graph, config, prefix(layer)));
  for (std::size_t layer = 0; layer < layers; ++layer) {
    Result<TensorId> output = append_block(graph, prefix(layer), carried, weights[layer]);
    if (!output) return std::unexpected(output.error());
    carried = *output;
  }
  if (auto marked = graph.mark_output(carried); !marked) return std::unexpected(marked.error());
  return graph;
}

}  // namespace velk_compiler
