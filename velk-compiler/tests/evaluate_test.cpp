// Tests of the golden evaluation: a graph of one operation gives its host kernel's result
// bit for bit (softmax along any axis line by line, transpose of any rank by worked values),
// the encoder graph agrees with the encoder reference, outputs that are declared tensors or
// marked twice, and every refusal.
#include "velk_compiler/evaluate.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/reference.hpp"

namespace velk_compiler {
namespace {

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> result;
  for (const float value : values) result.push_back(std::bit_cast<std::uint32_t>(value));
  return result;
}

// Irregular values of both signs: (i*7 mod 11 - 5) * scale.
std::vector<float> sample(std::size_t count, float scale) {
  std::vector<float> values;
  for (std::size_t i = 0; i < count; ++i)
    values.push_back(static_cast<float>(static_cast<int>(i * 7 % 11) - 5) * scale);
  return values;
}

std::vector<float> kernel_result(const Result<std::vector<float>>& result) {
  EXPECT_TRUE(result);
  return result.value_or(std::vector<float>{});
}

// The output "r" of a graph whose declared tensors are "a" (and "b"), or nothing on a refusal.
std::vector<float> evaluated_r(const Graph& graph, const TensorValues& given) {
  const Result<TensorValues> outputs = evaluate(graph, given);
  if (!outputs) {
    ADD_FAILURE() << outputs.error();
    return {};
  }
  return outputs->at("r");
}

using Build = std::function<Result<TensorId>(Graph&, TensorId, TensorId)>;

// One operation named "r" over an input "a" and a weight "b" (which a unary operation ignores).
Graph one_operation(const Shape& a, const Shape& b, const Build& build) {
  Graph graph;
  const TensorId left = graph.input("a", a);
  const TensorId right = graph.weight("b", b);
  const Result<TensorId> result = build(graph, left, right);
  EXPECT_TRUE(result);
  if (result) {
    EXPECT_TRUE(graph.mark_output(*result));
  }
  return graph;
}

// softmax_rows applied to each line along `axis`, written out with explicit coordinates.
std::vector<float> softmax_by_lines(std::vector<float> values, std::size_t outer, std::size_t length,
                                    std::size_t inner) {
  for (std::size_t o = 0; o < outer; ++o) {
    for (std::size_t i = 0; i < inner; ++i) {
      std::vector<float> line;
      for (std::size_t j = 0; j < length; ++j) line.push_back(values[(o * length + j) * inner + i]);
      EXPECT_TRUE(softmax_rows(line, 1, length));
      for (std::size_t j = 0; j < length; ++j) values[(o * length + j) * inner + i] = line[j];
    }
  }
  return values;
}

std::vector<float> softmax_of_rows(std::vector<float> values, std::size_t rows, std::size_t columns) {
  EXPECT_TRUE(softmax_rows(values, rows, columns));
  return values;
}

// ---- one operation equals its kernel ----

TEST(Evaluate, OneOperationEqualsItsHostKernelBitForBit) {
  const std::vector<float> a6 = sample(6, 0.37F);
  const std::vector<float> a12 = sample(12, 0.61F);
  const std::vector<float> a24 = sample(24, 0.53F);
  const std::vector<float> b12 = sample(12, -0.29F);
  std::vector<float> gelu_expected;
  for (const float x : a24) gelu_expected.push_back(gelu(x));
  struct Case {
    const char* label;
    Shape a;
    Shape b;
    Build build;
    const std::vector<float>& a_values;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"matmul",
       {2, 3},
       {3, 4},
       [](Graph& g, TensorId x, TensorId y) { return g.matmul("r", x, y); },
       a6,
       kernel_result(matmul(a6, b12, 2, 3, 4))},
      {"layer_norm over the last axis",
       {2, 3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) { return g.layer_norm("r", x, 1e-5F); },
       a24,
       kernel_result(layer_norm(a24, 6, 4, 1e-5F))},
      {"softmax on the last axis",
       {2, 3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) { return g.softmax("r", x, 2); },
       a24,
       softmax_of_rows(a24, 6, 4)},
      {"softmax on axis 0 of 2-D",
       {3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) { return g.softmax("r", x, 0); },
       a12,
       softmax_by_lines(a12, 1, 3, 4)},
      {"softmax on the middle axis of 3-D",
       {2, 3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) { return g.softmax("r", x, 1); },
       a24,
       softmax_by_lines(a24, 2, 3, 4)},
      {"gelu", {2, 3, 4}, {1}, [](Graph& g, TensorId x, TensorId) { return g.gelu("r", x); }, a24, gelu_expected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Graph graph = one_operation(c.a, c.b, c.build);
    const std::vector<float> b = c.b == Shape{3, 4} ? b12 : std::vector<float>{0.0F};
    EXPECT_EQ(bits(evaluated_r(graph, {{"a", c.a_values}, {"b", b}})), bits(c.expected));
  }
}

// Worked values, exact in float.
TEST(Evaluate, ElementwiseReshapeAndTransposeWorkedValues) {
  const std::vector<float> ramp = [] {
    std::vector<float> values;
    for (int i = 0; i < 24; ++i) values.push_back(static_cast<float>(i));
    return values;
  }();
  struct Case {
    const char* label;
    Shape a;
    Shape b;
    Build build;
    std::vector<float> a_values;
    std::vector<float> b_values;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"add",
       {3},
       {3},
       [](Graph& g, TensorId x, TensorId y) { return g.add("r", x, y); },
       {1.5F, -2.0F, 0.25F},
       {0.5F, 3.0F, -0.25F},
       {2.0F, 1.0F, 0.0F}},
      {"mul",
       {3},
       {3},
       [](Graph& g, TensorId x, TensorId y) { return g.mul("r", x, y); },
       {1.5F, -2.0F, 0.25F},
       {0.5F, 3.0F, -0.25F},
       {0.75F, -6.0F, -0.0625F}},
      {"reshape copies",
       {2, 3},
       {1},
       [](Graph& g, TensorId x, TensorId) {
         return g.reshape("r", x, {3, 2});
       },
       {1, 2, 3, 4, 5, 6},
       {0},
       {1, 2, 3, 4, 5, 6}},
      {"transpose of 2-D",
       {2, 3},
       {1},
       [](Graph& g, TensorId x, TensorId) {
         return g.transpose("r", x, {1, 0});
       },
       {0, 1, 2, 3, 4, 5},
       {0},
       {0, 3, 1, 4, 2, 5}},
      // Result [4, 2, 3]: r[i][j][k] = a[j][k][i] = 12j + 4k + i.
      {"transpose of 3-D",
       {2, 3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) {
         return g.transpose("r", x, {2, 0, 1});
       },
       ramp,
       {0},
       {0, 4, 8, 12, 16, 20, 1, 5, 9, 13, 17, 21, 2, 6, 10, 14, 18, 22, 3, 7, 11, 15, 19, 23}},
      // Result [3, 2, 4]: r[i][j][k] = a[j][i][k] = 12j + 4i + k.
      {"transpose of the first two of 3-D",
       {2, 3, 4},
       {1},
       [](Graph& g, TensorId x, TensorId) {
         return g.transpose("r", x, {1, 0, 2});
       },
       ramp,
       {0},
       {0, 1, 2, 3, 12, 13, 14, 15, 4, 5, 6, 7, 16, 17, 18, 19, 8, 9, 10, 11, 20, 21, 22, 23}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Graph graph = one_operation(c.a, c.b, c.build);
    EXPECT_EQ(bits(evaluated_r(graph, {{"a", c.a_values}, {"b", c.b_values}})), bits(c.expected));
  }
}

std::vector<float> scaled(std::vector<float> values, float factor) {
  for (float& x : values) x = x * factor;
  return values;
}

// The reference scales one head's scores by 1/sqrt(hidden), the graph does not. With hidden
// 16 that factor is 1/4, a power of two: scaling wq by it scales q, and every product and
// sum of the scores after it, exactly, so the graph given wq/4 computes the reference's
// scores and everything after them bit for bit. Both take wq and wk at 1/8 of the
// deterministic weights, so that the scores are small and the softmax does not saturate
// into ones and zeros (which would hide any scaling of the scores).
TEST(Evaluate, EncoderGraphAgreesWithTheReference) {
  const EncoderConfig config{.sequence = 4, .hidden = 16, .heads = 1, .feed_forward = 32};
  const Result<Graph> graph = encoder_graph(config);
  ASSERT_TRUE(graph);
  EncoderWeights weights = EncoderWeights::deterministic(config);
  weights.wq = scaled(weights.wq, 0.125F);
  weights.wk = scaled(weights.wk, 0.125F);
  const std::vector<float> input = sample(config.sequence * config.hidden, 0.45F);
  const TensorValues given{{"input", input},   {"wq", scaled(weights.wq, 0.25F)},
                           {"wk", weights.wk}, {"wv", weights.wv},
                           {"wo", weights.wo}, {"w1", weights.w1},
                           {"w2", weights.w2}};
  const Result<TensorValues> outputs = evaluate(*graph, given);
  ASSERT_TRUE(outputs) << outputs.error();
  ASSERT_EQ(outputs->size(), 1u);
  EXPECT_EQ(bits(outputs->at("ffn_residual")), bits(kernel_result(encoder_reference(config, input, weights))));
}

TEST(Evaluate, DeclaredOutputsGiveTheirValueAndEachOutputAppearsOnce) {
  Graph graph;
  const TensorId a = graph.input("a", {2});
  const Result<TensorId> r = graph.gelu("r", a);
  ASSERT_TRUE(r);
  ASSERT_TRUE(graph.mark_output(a));
  ASSERT_TRUE(graph.mark_output(*r));
  ASSERT_TRUE(graph.mark_output(*r));
  const Result<TensorValues> outputs = evaluate(graph, {{"a", {1.0F, -1.0F}}});
  ASSERT_TRUE(outputs) << outputs.error();
  EXPECT_EQ(*outputs, (TensorValues{{"a", {1.0F, -1.0F}}, {"r", {gelu(1.0F), gelu(-1.0F)}}}));
}

// Only declared tensors and outputs are looked up by name.
TEST(Evaluate, IntermediatesMayShareNames) {
  Graph graph;
  const TensorId a = graph.input("a", {1});
  const Result<TensorId> first = graph.gelu("same", a);
  ASSERT_TRUE(first);
  const Result<TensorId> second = graph.gelu("same", *first);
  ASSERT_TRUE(second);
  const Result<TensorId> r = graph.add("r", *first, *second);
  ASSERT_TRUE(r);
  ASSERT_TRUE(graph.mark_output(*r));
  EXPECT_EQ(bits(evaluated_r(graph, {{"a", {2.0F}}})), bits({gelu(2.0F) + gelu(gelu(2.0F))}));
}

// ---- refusals ----

// a [2, 2] input, b [2, 2] weight, r = a + b the output.
Graph sum_graph() {
  return one_operation({2, 2}, {2, 2}, [](Graph& g, TensorId x, TensorId y) { return g.add("r", x, y); });
}

const TensorValues sum_given{{"a", {1, 2, 3, 4}}, {"b", {1, 2, 3, 4}}};

TEST(Evaluate, RefusalsNameTheTensor) {
  struct Case {
    const char* message;
    std::function<void(Graph&)> change;
    TensorValues given;
  };
  const Case cases[] = {
      {"graph has no outputs", [](Graph& g) { g.outputs.clear(); }, sum_given},
      {"unknown output tensor 7", [](Graph& g) { g.outputs.push_back(TensorId{7}); }, sum_given},
      {"a: name shared by tensors 0 and 1", [](Graph& g) { g.tensors[1].name = "a"; }, sum_given},
      {"r: name shared by tensors 0 and 2",
       [](Graph& g) { g.tensors[0].name = "r"; },
       {{"r", {1, 2, 3, 4}}, {"b", {1, 2, 3, 4}}}},
      {"b: no value given", [](Graph&) {}, {{"a", {1, 2, 3, 4}}}},
      {"x: 10 values given, its shape [4, 4] holds 16",
       [](Graph& g) {
         g.tensors[0].name = "x";
         g.tensors[0].shape = {4, 4};
       },
       {{"x", std::vector<float>(10)}, {"b", {1, 2, 3, 4}}}},
      // The first problem in tensor order decides: a's missing value before b's count.
      {"a: no value given", [](Graph&) {}, {{"b", {1}}}},
      {"c: given but not an input or weight of the graph",
       [](Graph&) {},
       {{"a", {1, 2, 3, 4}}, {"b", {1, 2, 3, 4}}, {"d", {}}, {"c", {}}}},
      {"r: given but not an input or weight of the graph",
       [](Graph&) {},
       {{"a", {1, 2, 3, 4}}, {"b", {1, 2, 3, 4}}, {"r", {1, 2, 3, 4}}}},
      {"r: operands do not fit add",
       [](Graph& g) { g.tensors[1].shape = {4}; },
       {{"a", {1, 2, 3, 4}}, {"b", {1, 2, 3, 4}}}},
      {"r: operands do not fit add", [](Graph& g) { g.tensors[2].shape = {4}; }, sum_given},
      {"r: operands do not fit matmul",
       [](Graph& g) {
         g.ops[0].kind = MatMul{};
         g.ops[0].inputs.pop_back();
       },
       sum_given},
      {"r: operands do not fit gelu", [](Graph& g) { g.ops[0].kind = Gelu{}; }, sum_given},
      {"r: operands do not fit softmax",
       [](Graph& g) {
         g.ops[0].kind = Softmax{2};
         g.ops[0].inputs.pop_back();
       },
       sum_given},
      {"r: operands do not fit transpose",
       [](Graph& g) {
         g.ops[0].kind = Transpose{{0, 0}};
         g.ops[0].inputs.pop_back();
       },
       sum_given},
      {"r: operands do not fit reshape",
       [](Graph& g) {
         g.ops[0].kind = Reshape{{4}};
         g.ops[0].inputs.pop_back();
         g.tensors[2].shape = {5};
       },
       sum_given},
      {"r: reads r before it is computed", [](Graph& g) { g.ops[0].inputs[1] = TensorId{2}; }, sum_given},
      {"ghost: output is never computed",
       [](Graph& g) {
         const TensorId ghost = g.tensor("ghost", {1}, TensorKind::Intermediate, OpId{5});
         ASSERT_TRUE(g.mark_output(ghost));
       },
       sum_given},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Graph graph = sum_graph();
    c.change(graph);
    const Result<TensorValues> outputs = evaluate(graph, c.given);
    ASSERT_FALSE(outputs);
    EXPECT_EQ(outputs.error(), CompileError::graph(c.message));
  }
}

TEST(Evaluate, RefusesDuplicateDeclaredNames) {
  Graph graph;
  const TensorId a = graph.input("x", {2});
  const TensorId b = graph.weight("x", {2});
  const Result<TensorId> r = graph.add("r", a, b);
  ASSERT_TRUE(r);
  ASSERT_TRUE(graph.mark_output(*r));
  EXPECT_EQ(evaluate(graph, {{"x", {1, 2}}}),
            std::unexpected(CompileError::graph("x: name shared by tensors 0 and 1")));
}

}  // namespace
}  // namespace velk_compiler
