#include <gtest/gtest.h>

#include "velk_compiler/graph.hpp"

namespace velk_compiler {
namespace {

[[nodiscard]] Result<void> failure(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

Graph small_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {4, 4});
  const TensorId y = *graph.gelu("y", x);
  (void)graph.mark_output(y);
  return graph;
}

TEST(Validate, BuiltGraphWithOutputPasses) { EXPECT_TRUE(small_graph().validate()); }

TEST(Validate, MissingOutput) {
  Graph graph = small_graph();
  graph.outputs.clear();
  EXPECT_EQ(graph.validate(), failure("graph has no outputs"));
}

TEST(Validate, TensorChecks) {
  const Shape too_large_elements{std::size_t{1} << 32, std::size_t{1} << 32};
  const Shape too_large_bytes{std::size_t{1} << 31, std::size_t{1} << 31};
  for (const Shape& shape : {Shape{}, Shape{4, 0}, too_large_elements, too_large_bytes}) {
    Graph graph;
    graph.input("bad", shape);
    EXPECT_EQ(graph.validate(), failure("invalid tensor bad")) << shape.size();
  }
  Graph misplaced = small_graph();
  misplaced.tensors[0].id = TensorId{1};
  EXPECT_EQ(misplaced.validate(), failure("invalid tensor x"));
}

TEST(Validate, OpChecks) {
  Graph wrong_id = small_graph();
  wrong_id.ops[0].id = OpId{3};
  Graph unknown_input = small_graph();
  unknown_input.ops[0].inputs.push_back(TensorId{2});
  Graph unknown_output = small_graph();
  unknown_output.ops[0].output = TensorId{2};
  Graph no_producer = small_graph();
  no_producer.tensors[1].producer.reset();
  Graph other_producer = small_graph();
  other_producer.tensors[1].producer = OpId{1};
  // The op and its result agree on id 3, but the op is at position 0.
  Graph agreeing_wrong_id = small_graph();
  agreeing_wrong_id.ops[0].id = OpId{3};
  agreeing_wrong_id.tensors[1].producer = OpId{3};
  for (const Graph& graph : {wrong_id, unknown_input, unknown_output, no_producer, other_producer, agreeing_wrong_id}) {
    EXPECT_EQ(graph.validate(), failure("invalid op y"));
  }
}

TEST(Validate, TensorsBeforeOpsBeforeOutputs) {
  Graph graph = small_graph();
  graph.tensors[0].shape = {};
  graph.ops[0].output = TensorId{9};
  graph.outputs.clear();
  EXPECT_EQ(graph.validate(), failure("invalid tensor x"));
  graph.tensors[0].shape = {4, 4};
  EXPECT_EQ(graph.validate(), failure("invalid op y"));
}

}  // namespace
}  // namespace velk_compiler
