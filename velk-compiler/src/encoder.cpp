// Builds the encoder block through the graph builder, so every shape rule applies.
#include "velk_compiler/encoder.hpp"

namespace velk_compiler {
namespace {

// 1e-5 as the nearest 32-bit float.
constexpr float layer_norm_epsilon = 1e-5F;

bool valid_dimensions(const EncoderConfig& config) {
  return config.hidden != 0 && config.sequence != 0 && config.heads != 0 && config.hidden % config.heads == 0;
}

}  // namespace

Result<Graph> encoder_graph(const EncoderConfig& config) {
  if (!valid_dimensions(config)) return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;

  Graph graph;
  graph.tensors.reserve(22);
  graph.ops.reserve(15);
  const TensorId input = graph.input("input", {s, h});
  const TensorId wq = graph.weight("wq", {h, h});
  const TensorId wk = graph.weight("wk", {h, h});
  const TensorId wv = graph.weight("wv", {h, h});
  const TensorId wo = graph.weight("wo", {h, h});
  const TensorId w1 = graph.weight("w1", {h, f});
  const TensorId w2 = graph.weight("w2", {f, h});

  // Once the dimensions pass, every builder call below succeeds; errors still pass through.
  auto norm1 = graph.layer_norm("norm1", input, layer_norm_epsilon);
  if (!norm1) return std::unexpected(norm1.error());
  auto q = graph.matmul("q", *norm1, wq);
  if (!q) return std::unexpected(q.error());
  auto k = graph.matmul("k", *norm1, wk);
  if (!k) return std::unexpected(k.error());
  auto v = graph.matmul("v", *norm1, wv);
  if (!v) return std::unexpected(v.error());
  auto k_transpose = graph.transpose("k_transpose", *k, {1, 0});
  if (!k_transpose) return std::unexpected(k_transpose.error());
  auto scores = graph.matmul("attention_scores", *q, *k_transpose);
  if (!scores) return std::unexpected(scores.error());
  auto probabilities = graph.softmax("attention_softmax", *scores, 1);
  if (!probabilities) return std::unexpected(probabilities.error());
  auto context = graph.matmul("attention_context", *probabilities, *v);
  if (!context) return std::unexpected(context.error());
  auto projection = graph.matmul("attention_projection", *context, wo);
  if (!projection) return std::unexpected(projection.error());
  auto residual = graph.add("attention_residual", input, *projection);
  if (!residual) return std::unexpected(residual.error());
  auto norm2 = graph.layer_norm("norm2", *residual, layer_norm_epsilon);
  if (!norm2) return std::unexpected(norm2.error());
  auto up = graph.matmul("ffn_up", *norm2, w1);
  if (!up) return std::unexpected(up.error());
  auto activation = graph.gelu("ffn_gelu", *up);
  if (!activation) return std::unexpected(activation.error());
  auto down = graph.matmul("ffn_down", *activation, w2);
  if (!down) return std::unexpected(down.error());
  auto output = graph.add("ffn_residual", *residual, *down);
  if (!output) return std::unexpected(output.error());
  if (auto marked = graph.mark_output(*output); !marked) return std::unexpected(marked.error());
  return graph;
}

}  // namespace velk_compiler
