#include "velk_compiler/graph.hpp"

#include <gtest/gtest.h>

namespace velk_compiler {
namespace {

std::string error_message(const Result<TensorId>& result) {
  return result ? std::string("<no error>") : result.error().message();
}

TEST(GraphBuilder, IdsFollowCreationOrder) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.weight("b", {3, 5});
  const Result<TensorId> c = graph.matmul("c", a, b);
  ASSERT_TRUE(c);
  EXPECT_EQ(a, TensorId{0});
  EXPECT_EQ(b, TensorId{1});
  EXPECT_EQ(*c, TensorId{2});
  ASSERT_EQ(graph.ops.size(), 1u);
  EXPECT_EQ(graph.ops[0], (Op{OpId{0}, "c", MatMul{}, {a, b}, TensorId{2}}));
  const Tensor& result = graph.tensors[2];
  EXPECT_EQ(result, (Tensor{TensorId{2}, "c", DType::F32, {2, 5}, TensorKind::Intermediate, OpId{0}}));
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Input);
  EXPECT_EQ(graph.tensors[1].kind, TensorKind::Weight);
  EXPECT_EQ(graph.tensors[0].producer, std::nullopt);
}

TEST(GraphBuilder, MatmulShapeRule) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {4, 5});
  const TensorId cube = graph.input("cube", {2, 3, 4});
  const TensorId flat = graph.input("flat", {3});
  EXPECT_EQ(error_message(graph.matmul("mm", a, b)), "mm: incompatible matmul [2, 3] x [4, 5]");
  EXPECT_EQ(error_message(graph.matmul("mm", cube, b)), "mm: incompatible matmul [2, 3, 4] x [4, 5]");
  EXPECT_EQ(error_message(graph.matmul("mm", a, flat)), "mm: incompatible matmul [2, 3] x [3]");
  EXPECT_EQ(graph.ops.size(), 0u);
  EXPECT_EQ(graph.tensors.size(), 4u);
}

TEST(GraphBuilder, AddAndMulNeedEqualShapes) {
  struct Case {
    const char* name;
    Result<TensorId> (Graph::*build)(std::string_view, TensorId, TensorId);
    OpKind kind;
  };
  const Case cases[] = {{"add", &Graph::add, Add{}}, {"mul", &Graph::mul, Mul{}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId a = graph.input("a", {4, 8});
    const TensorId turned = graph.input("turned", {8, 4});
    const TensorId deeper = graph.input("deeper", {4, 8, 1});
    const TensorId same = graph.input("same", {4, 8});
    const Graph before = graph;
    EXPECT_EQ(error_message((graph.*c.build)("x", a, turned)), "x: binary shapes differ");
    EXPECT_EQ(error_message((graph.*c.build)("x", a, deeper)), "x: binary shapes differ");
    EXPECT_EQ(graph, before);
    const Result<TensorId> result = (graph.*c.build)("x", a, same);
    ASSERT_TRUE(result);
    EXPECT_EQ(graph.tensors[result->index].shape, (Shape{4, 8}));
    EXPECT_EQ(graph.ops.back(), (Op{OpId{0}, "x", c.kind, {a, same}, *result}));
  }
}

TEST(GraphBuilder, ReshapeKeepsTheElementCount) {
  struct Case {
    const char* name;
    Shape from;
    Shape to;
    bool accepted;
  };
  const std::size_t big = std::size_t{1} << 32;
  const Case cases[] = {
      {"split a dimension", {4, 4}, {2, 2, 4}, true},
      {"flatten", {4, 4}, {16}, true},
      {"add unit dimensions", {4, 4}, {1, 16, 1}, true},
      {"fewer elements", {4, 4}, {3, 3}, false},
      {"more elements", {4, 4}, {4, 5}, false},
      {"no dimensions is one element", {4, 4}, {}, false},
      {"a zero dimension", {4, 4}, {4, 4, 0}, false},
      // (2^60 + 1) * 16 wraps to 16 in a machine word.
      {"a count that wraps to the operand's", {4, 4}, {(std::size_t{1} << 60) + 1, 16}, false},
      {"an operand count beyond a machine word", {big, big}, {16}, false},
      // Neither count fits, so they cannot be compared; validation refuses both tensors.
      {"both counts beyond a machine word", {big, big}, {big, big, 2}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId x = graph.input("x", c.from);
    const Graph before = graph;
    const Result<TensorId> result = graph.reshape("r", x, c.to);
    if (!c.accepted) {
      EXPECT_EQ(error_message(result), "r: reshape changes the element count");
      EXPECT_EQ(graph, before);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(graph.tensors[result->index].shape, c.to);
    EXPECT_EQ(graph.ops.back(), (Op{OpId{0}, "r", Reshape{c.to}, {x}, *result}));
  }
}

TEST(GraphBuilder, TransposePermutesAxes) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3, 4});
  const Result<TensorId> t = graph.transpose("t", x, {0, 2, 1});
  ASSERT_TRUE(t);
  EXPECT_EQ(graph.tensors[t->index].shape, (Shape{2, 4, 3}));
  EXPECT_EQ(graph.ops.back().kind, OpKind(Transpose{{0, 2, 1}}));
  for (const std::vector<std::size_t>& bad :
       {std::vector<std::size_t>{0, 0, 1}, std::vector<std::size_t>{0, 1}, std::vector<std::size_t>{0, 1, 3}}) {
    EXPECT_EQ(error_message(graph.transpose("t", x, bad)), "t: invalid transpose permutation");
  }
}

TEST(GraphBuilder, SoftmaxAxisMustExist) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 4});
  EXPECT_TRUE(graph.softmax("s", x, 1));
  EXPECT_EQ(graph.ops.back().kind, OpKind(Softmax{1}));
  EXPECT_EQ(error_message(graph.softmax("s", x, 2)), "s: softmax axis out of range");
}

TEST(GraphBuilder, UnaryOperationsKeepShapeAndAttribute) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 7});
  const Result<TensorId> norm = graph.layer_norm("norm", x, -2.5F);
  const Result<TensorId> act = graph.gelu("act", *norm);
  ASSERT_TRUE(norm && act);
  EXPECT_EQ(graph.ops[0].kind, OpKind(LayerNorm{-2.5F}));
  EXPECT_EQ(graph.ops[1].kind, OpKind(Gelu{}));
  EXPECT_EQ(graph.tensors[act->index].shape, (Shape{3, 7}));
  EXPECT_EQ(graph.ops[1].inputs, std::vector<TensorId>{*norm});
}

TEST(GraphBuilder, RefusalLeavesGraphUnchangedAndNextIdsAreFree) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {3, 3});
  const Graph before = graph;
  EXPECT_FALSE(graph.add("bad", a, b));
  EXPECT_FALSE(graph.softmax("bad", a, 5));
  EXPECT_FALSE(graph.op("bad", Add{}, {a, TensorId{2}}, {1}));
  EXPECT_EQ(graph, before);
  const Result<TensorId> good = graph.matmul("good", a, b);
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, TensorId{2});
  EXPECT_EQ(graph.ops[0].id, OpId{0});
}

TEST(GraphBuilder, GeneralOpRefusesIdsItDidNotIssue) {
  Graph graph;
  const TensorId a = graph.input("a", {2});
  // The next tensor id is the op's own result: an operation cannot consume it.
  EXPECT_EQ(error_message(graph.op("self", Gelu{}, {a, TensorId{1}}, {2})), "self: unknown input");
  const Result<TensorId> reshaped = graph.op("reshape", Reshape{{1, 2}}, {a}, {1, 2});
  ASSERT_TRUE(reshaped);
  EXPECT_EQ(graph.tensors[reshaped->index].shape, (Shape{1, 2}));
}

TEST(GraphBuilder, TypedOperationsRefuseIdsItDidNotIssue) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 2});
  const TensorId stranger{7};
  const Graph before = graph;
  EXPECT_EQ(error_message(graph.add("add", a, stranger)), "add: unknown input");
  EXPECT_EQ(error_message(graph.mul("mul", stranger, a)), "mul: unknown input");
  EXPECT_EQ(error_message(graph.reshape("r", stranger, {4})), "r: unknown input");
  EXPECT_EQ(error_message(graph.matmul("mm", stranger, a)), "mm: unknown input");
  EXPECT_EQ(error_message(graph.transpose("t", stranger, {1, 0})), "t: unknown input");
  EXPECT_EQ(error_message(graph.layer_norm("n", stranger, 1e-5F)), "n: unknown input");
  EXPECT_EQ(error_message(graph.softmax("s", stranger, 0)), "s: unknown input");
  EXPECT_EQ(error_message(graph.gelu("g", stranger)), "g: unknown input");
  EXPECT_EQ(graph, before);
}

TEST(GraphBuilder, MarkOutput) {
  Graph graph;
  const TensorId a = graph.input("a", {2});
  ASSERT_TRUE(graph.mark_output(a));
  ASSERT_TRUE(graph.mark_output(a));
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Output);
  EXPECT_EQ(graph.outputs, (std::vector<TensorId>{a, a}));

  const Graph before = graph;
  const Result<void> refused = graph.mark_output(TensorId{1});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), CompileError::graph("unknown output tensor 1"));
  EXPECT_EQ(graph, before);
}

TEST(Tensor, ElementsAndByteSize) {
  EXPECT_EQ((Tensor{TensorId{0}, "t", DType::F32, {128, 256}, TensorKind::Input, {}}.elements()), 32768u);
  EXPECT_EQ((Tensor{TensorId{0}, "t", DType::F32, {}, TensorKind::Input, {}}.elements()), 1u);
  EXPECT_EQ(size(DType::F32), 4u);
  EXPECT_EQ(checked_elements(Shape{1u << 31, 1u << 31}), std::size_t{1} << 62);
  EXPECT_EQ(checked_elements(Shape{std::size_t{1} << 32, std::size_t{1} << 32}), std::nullopt);
  EXPECT_EQ(checked_elements(Shape{std::size_t{1} << 32, std::size_t{1} << 32, 0}), std::nullopt);
}

}  // namespace
}  // namespace velk_compiler
