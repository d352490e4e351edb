#include "velk_compiler/encoder.hpp"

#include <gtest/gtest.h>

namespace velk_compiler {
namespace {

TEST(EncoderGraph, DefaultConfigurationReadsLikeTheBlock) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph);
  const struct {
    std::string_view name;
    TensorKind kind;
    Shape shape;
  } leaves[] = {
      {"input", TensorKind::Input, {32, 64}}, {"wq", TensorKind::Weight, {64, 64}},
      {"wk", TensorKind::Weight, {64, 64}},   {"wv", TensorKind::Weight, {64, 64}},
      {"wo", TensorKind::Weight, {64, 64}},   {"w1", TensorKind::Weight, {64, 256}},
      {"w2", TensorKind::Weight, {256, 64}},
  };
  const struct {
    std::string_view name;
    OpKind kind;
    std::vector<std::size_t> inputs;
    Shape shape;
  } ops[] = {
      {"norm1", LayerNorm{1e-5F}, {0}, {32, 64}},
      {"q", MatMul{}, {7, 1}, {32, 64}},
      {"k", MatMul{}, {7, 2}, {32, 64}},
      {"v", MatMul{}, {7, 3}, {32, 64}},
      {"k_transpose", Transpose{{1, 0}}, {9}, {64, 32}},
      {"attention_scores", MatMul{}, {8, 11}, {32, 32}},
      {"attention_softmax", Softmax{1}, {12}, {32, 32}},
      {"attention_context", MatMul{}, {13, 10}, {32, 64}},
      {"attention_projection", MatMul{}, {14, 4}, {32, 64}},
      {"attention_residual", Add{}, {0, 15}, {32, 64}},
      {"norm2", LayerNorm{1e-5F}, {16}, {32, 64}},
      {"ffn_up", MatMul{}, {17, 5}, {32, 256}},
      {"ffn_gelu", Gelu{}, {18}, {32, 256}},
      {"ffn_down", MatMul{}, {19, 6}, {32, 64}},
      {"ffn_residual", Add{}, {16, 20}, {32, 64}},
  };
  ASSERT_EQ(graph->tensors.size(), 22u);
  ASSERT_EQ(graph->ops.size(), 15u);
  for (std::size_t i = 0; i < std::size(leaves); ++i) {
    const Tensor& t = graph->tensors[i];
    EXPECT_EQ(t, (Tensor{TensorId{i}, std::string(leaves[i].name), DType::F32, leaves[i].shape, leaves[i].kind, {}}));
  }
  for (std::size_t k = 0; k < std::size(ops); ++k) {
    const Op& op = graph->ops[k];
    std::vector<TensorId> inputs;
    for (const std::size_t input : ops[k].inputs) inputs.push_back(TensorId{input});
    EXPECT_EQ(op, (Op{OpId{k}, std::string(ops[k].name), ops[k].kind, inputs, TensorId{7 + k}})) << ops[k].name;
    const Tensor& result = graph->tensors[7 + k];
    const TensorKind kind = k == 14 ? TensorKind::Output : TensorKind::Intermediate;
    EXPECT_EQ(result, (Tensor{TensorId{7 + k}, std::string(ops[k].name), DType::F32, ops[k].shape, kind, OpId{k}}));
  }
  EXPECT_EQ(graph->outputs, std::vector<TensorId>{TensorId{21}});
  EXPECT_EQ(std::get<LayerNorm>(graph->ops[0].kind).epsilon, 0.00001F);
  EXPECT_TRUE(graph->validate());
}

TEST(EncoderGraph, SameConfigurationGivesIdenticalGraph) {
  const EncoderConfig config{8, 16, 2, 32};
  EXPECT_EQ(encoder_graph(config), encoder_graph(config));
  EXPECT_EQ(encoder_graph(config)->tensors[0].shape, (Shape{8, 16}));
}

TEST(EncoderGraph, DimensionChecks) {
  const struct {
    EncoderConfig config;
    bool accepted;
  } cases[] = {
      {{32, 64, 3, 256}, false}, {{32, 64, 0, 256}, false}, {{0, 64, 4, 256}, false}, {{32, 0, 4, 256}, false},
      {{32, 64, 64, 256}, true}, {{32, 64, 1, 256}, true},  {{32, 64, 4, 0}, true},
  };
  for (const auto& c : cases) {
    const Result<Graph> graph = encoder_graph(c.config);
    EXPECT_EQ(graph.has_value(), c.accepted) << c.config.sequence << " " << c.config.hidden << " " << c.config.heads;
    if (!graph) {
      EXPECT_EQ(graph.error(), CompileError::graph("invalid encoder dimensions"));
    }
  }
}

TEST(EncoderGraph, ZeroFeedForwardIsLeftToValidation) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{32, 64, 4, 0});
  ASSERT_TRUE(graph);
  EXPECT_EQ(graph->tensors[5].shape, (Shape{64, 0}));
  EXPECT_EQ(graph->validate(), std::unexpected(CompileError::graph("invalid tensor w1")));
}

TEST(EncoderStack, OneLayerIsTheBlock) {
  const EncoderConfig config{8, 16, 2, 32};
  EXPECT_EQ(encoder_stack(config, 1), encoder_graph(config));
}

TEST(EncoderStack, LayersChainThroughPrefixedBlocks) {
  const EncoderConfig config{8, 16, 2, 32};
  const Result<Graph> block = encoder_graph(config);
  const Result<Graph> stack = encoder_stack(config, 3);
  ASSERT_TRUE(block && stack);
  ASSERT_EQ(stack->tensors.size(), 1 + 3 * 21u);
  ASSERT_EQ(stack->ops.size(), 3 * 15u);
  EXPECT_TRUE(stack->validate());
  EXPECT_EQ(stack->tensors[0].name, "l0_input");

  // The input, then every layer's six weights, then every layer's fifteen results; each
  // layer reads the previous layer's output where the block reads its input.
  const std::size_t first_result = 1 + 3 * 6;
  for (std::size_t layer = 0; layer < 3; ++layer) {
    const std::string prefix = "l" + std::to_string(layer) + "_";
    const auto stack_tensor = [&](TensorId in_block) {
      if (in_block.index == 0) return layer == 0 ? TensorId{0} : TensorId{first_result + layer * 15 - 1};
      if (in_block.index < 7) return TensorId{1 + layer * 6 + in_block.index - 1};
      return TensorId{first_result + layer * 15 + in_block.index - 7};
    };
    for (std::size_t i = 1; i < block->tensors.size(); ++i) {
      const Tensor& own = stack->tensors[stack_tensor(TensorId{i}).index];
      EXPECT_EQ(own.name, prefix + block->tensors[i].name);
      EXPECT_EQ(own.shape, block->tensors[i].shape);
    }
    for (std::size_t k = 0; k < block->ops.size(); ++k) {
      const Op& op = stack->ops[layer * 15 + k];
      std::vector<TensorId> inputs;
      for (const TensorId input : block->ops[k].inputs) inputs.push_back(stack_tensor(input));
      EXPECT_EQ(op, (Op{OpId{layer * 15 + k}, prefix + block->ops[k].name, block->ops[k].kind, inputs,
                        stack_tensor(block->ops[k].output)}));
    }
  }
  EXPECT_EQ(stack->tensors[first_result + 14].kind, TensorKind::Intermediate);
  EXPECT_EQ(stack->outputs, std::vector<TensorId>{TensorId{63}});
  EXPECT_EQ(stack->tensors[63].name, "l2_ffn_residual");
  EXPECT_EQ(stack->tensors[63].kind, TensorKind::Output);
}

TEST(EncoderStack, RefusesBadDimensionsAndLayerCounts) {
  EXPECT_EQ(encoder_stack(EncoderConfig{32, 64, 3, 256}, 2),
            std::unexpected(CompileError::graph("invalid encoder dimensions")));
  for (const std::size_t layers : {std::size_t{0}, MAX_ENCODER_LAYERS + 1}) {
    EXPECT_EQ(encoder_stack(EncoderConfig{}, layers),
              std::unexpected(CompileError::graph("invalid encoder layer count")));
  }
  EXPECT_TRUE(encoder_stack(EncoderConfig{2, 2, 1, 2}, MAX_ENCODER_LAYERS));
}

}  // namespace
}  // namespace velk_compiler
