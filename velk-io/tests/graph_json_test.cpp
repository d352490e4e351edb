#include "velk_io/graph_json.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/layout.hpp"

namespace velk_io {
namespace {

using velk_compiler::Graph;
using velk_compiler::TensorId;

Graph encoder(const velk_compiler::EncoderConfig& config = {}) {
  velk_compiler::Result<Graph> graph = velk_compiler::encoder_graph(config);
  EXPECT_TRUE(graph);
  return graph ? *graph : Graph{};
}

// One operation of every kind, an output marked twice and a declared tensor marked as output.
Graph every_kind() {
  Graph g;
  const TensorId a = g.input("a", {2, 3});
  const TensorId w = g.weight("w", {3, 4});
  const TensorId b = g.input("b", {2, 4});
  const TensorId product = *g.matmul("product", a, w);
  const TensorId sum = *g.add("sum", product, b);
  const TensorId scaled = *g.mul("scaled", sum, b);
  const TensorId flat = *g.reshape("flat", scaled, {8});
  const TensorId cube = *g.reshape("cube", flat, {2, 2, 2});
  const TensorId turned = *g.transpose("turned", cube, {2, 0, 1});
  const TensorId norm = *g.layer_norm("norm", turned, 0.1F);
  const TensorId soft = *g.softmax("soft", norm, 2);
  const TensorId act = *g.gelu("act", soft);
  EXPECT_TRUE(g.mark_output(act));
  EXPECT_TRUE(g.mark_output(act));
  EXPECT_TRUE(g.mark_output(b));
  return g;
}

// Two tensors called "x": references to them must be written as indices.
Graph shared_names() {
  Graph g;
  const TensorId x = g.input("x", {4});
  const TensorId y = g.input("y", {4});
  const TensorId first = *g.add("x", x, y);
  const TensorId second = *g.add("z", first, x);
  EXPECT_TRUE(g.mark_output(second));
  return g;
}

Graph round_trip(const Graph& graph) {
  const Result<std::string> text = write_graph_json(graph);
  EXPECT_TRUE(text) << (text ? "" : to_string(text.error()));
  if (!text) return {};
  const Result<Graph> back = read_graph_json(*text);
  EXPECT_TRUE(back) << (back ? "" : to_string(back.error()));
  return back ? *back : Graph{};
}

TEST(GraphJson, RoundTripsTheEncoderBlock) {
  EXPECT_EQ(round_trip(encoder()), encoder());
  const velk_compiler::EncoderConfig larger{.sequence = 128, .hidden = 256, .heads = 8, .feed_forward = 1024};
  EXPECT_EQ(round_trip(encoder(larger)), encoder(larger));
}

TEST(GraphJson, RoundTripsEveryOperationKindAndSharedNames) {
  EXPECT_EQ(round_trip(every_kind()), every_kind());
  EXPECT_EQ(round_trip(shared_names()), shared_names());
  const Result<std::string> text = write_graph_json(shared_names());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(R"({"name": "z", "kind": "add", "inputs": [2, 0]})"), std::string::npos) << *text;
}

TEST(GraphJson, KindNamesAreTheKernelFamilies) {
  for (const velk_compiler::Op& op : every_kind().ops) {
    const std::string expected = "\"kind\": \"" + std::string(velk_compiler::operation_name(op.kind)) + "\"";
    EXPECT_NE(write_graph_json(every_kind())->find(expected), std::string::npos) << expected;
  }
}

TEST(GraphJson, WritesEpsilonAsTheShortestDecimalOfTheFloat) {
  const Result<std::string> text = write_graph_json(encoder());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(R"("epsilon": 1e-05)"), std::string::npos);
}

TEST(GraphJson, ShippedEncoderExampleIsTheDefaultEncoderBlock) {
  std::ifstream file(std::string(VELK_SOURCE_DIR) + "/examples/encoder.json", std::ios::binary);
  ASSERT_TRUE(file);
  std::ostringstream contents;
  contents << file.rdbuf();
  EXPECT_EQ(contents.str(), write_graph_json(encoder()).value());
}

TEST(GraphJson, RefusesGraphsTheFileCannotReproduce) {
  Graph late_input;
  const TensorId a = late_input.input("a", {4});
  const TensorId doubled = *late_input.add("doubled", a, a);
  const TensorId b = late_input.input("b", {4});
  ASSERT_TRUE(late_input.mark_output(*late_input.add("sum", doubled, b)));
  EXPECT_EQ(write_graph_json(late_input),
            std::unexpected(IoError{"tensor 1 \"doubled\"",
                                    "the graph builder would not make this record again from the graph file"}));

  Graph wrong_shape = every_kind();
  wrong_shape.tensors[3].shape = {9, 9};
  EXPECT_EQ(write_graph_json(wrong_shape),
            std::unexpected(IoError{"tensor 3 \"product\"",
                                    "the graph builder would not make this record again from the graph file"}));

  Graph dangling = every_kind();
  dangling.ops[0].inputs[0] = TensorId{99};
  EXPECT_EQ(write_graph_json(dangling),
            std::unexpected(IoError{"graph",
                                    "cannot be written exactly: its graph file fails to read back at "
                                    "operations[0].inputs[0]: unknown tensor 99 (3 tensors defined so far)"}));
}

struct Malformed {
  const char* name;
  std::string text;
  std::string message;
};

// A document of two declared tensors (a [2, 3], w [3, 4]) with the given operations and outputs.
std::string with_operations(const std::string& operations, const std::string& outputs = R"(["q"])") {
  return R"({"version": 1, "tensors": [{"name": "a", "shape": [2, 3], "kind": "input"},
             {"name": "w", "shape": [3, 4], "kind": "weight"}],
             "operations": [)" +
         operations + R"(], "outputs": )" + outputs + "}";
}

std::string with_tensor(const std::string& tensor) {
  return R"({"version": 1, "tensors": [)" + tensor + R"(], "operations": [], "outputs": [0]})";
}

TEST(GraphJson, MalformedFilesNameThePlace) {
  const Malformed cases[] = {
      {"empty text", "",
       "line 1, column 1: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {"unclosed object", "{\n  \"version\": 1,\n  \"tensors\": [}\n",
       "line 3, column 15: syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal"},
      {"trailing comma", "{\"version\": 1,}",
       "line 1, column 15: syntax error while parsing object key - unexpected '}'; expected string literal"},
      {"not an object", "[]", "document: expected an object, found an array"},
      {"nested too deep", R"({"version": 1, "tensors": )" + std::string(100, '[') + std::string(100, ']') + "}",
       "line 1, column 126: nested deeper than 100 levels"},
      {"missing version", R"({"tensors": [], "operations": [], "outputs": []})", "document: missing field \"version\""},
      {"newer version", R"({"version": 2, "tensors": [], "operations": [], "outputs": []})",
       "version: unsupported version 2 (this reader knows version 1)"},
      {"unknown top-level field", R"({"version": 1, "tensors": [], "operations": [], "outputs": [], "extra": 0})",
       "document: unknown field \"extra\""},
      {"tensors not a list", R"({"version": 1, "tensors": {}, "operations": [], "outputs": []})",
       "tensors: expected an array, found an object"},
      {"missing shape", with_tensor(R"({"name": "a", "kind": "input"})"), "tensors[0]: missing field \"shape\""},
      {"member given twice", R"({"version": 1, "version": 1, "tensors": [], "operations": [], "outputs": []})",
       "version: given twice"},
      {"nested member given twice", with_operations(R"({"name": "q", "kind": "matmul", "inputs": [0, 1]},
                          {"name": "r", "kind": "gelu", "inputs": ["q"], "inputs": ["q"]})"),
       "operations[1].inputs: given twice"},
      {"same key in sibling objects is fine, twice in one is not",
       with_tensor(R"({"name": "a", "shape": [1, {"x": 1}, {"x": 2, "y": [{"x": 3}], "y": 0}], "kind": "input"})"),
       "tensors[0].shape[2].y: given twice"},
      {"number beyond a double", "{\"version\": 1,\n \"tensors\": [1e400]}",
       "line 2, column 14: the number 1e400 is beyond the range of a 64-bit float"},
      {"binary bytes", std::string("\0\x01\x02{}", 5),
       "line 1, column 1: not text: the file holds a NUL byte, and JSON is text"},
      {"negative dimension", with_tensor(R"({"name": "a", "shape": [2, -64], "kind": "input"})"),
       "tensors[0].shape[1]: must not be negative, found -64"},
      {"fractional dimension", with_tensor(R"({"name": "a", "shape": [2.5], "kind": "input"})"),
       "tensors[0].shape[0]: must be an integer, found 2.5"},
      {"dimension beyond 64 bits", with_tensor(R"({"name": "a", "shape": [18446744073709551616], "kind": "input"})"),
       "tensors[0].shape[0]: must be at most 18446744073709551615, found 1.8446744073709552e+19"},
      {"dimension as text", with_tensor(R"({"name": "a", "shape": ["32"], "kind": "input"})"),
       "tensors[0].shape[0]: expected an unsigned integer, found a string"},
      {"name not text", with_tensor(R"({"name": 7, "shape": [2], "kind": "input"})"),
       "tensors[0].name: expected a string, found a number"},
      {"unknown tensor kind", with_tensor(R"({"name": "a", "shape": [2], "kind": "bias"})"),
       "tensors[0].kind: unknown tensor kind \"bias\" (expected \"input\" or \"weight\")"},
      {"misspelt field", with_tensor(R"({"name": "a", "shap": [2], "kind": "input"})"),
       "tensors[0]: unknown field \"shap\""},
      {"unknown operation kind", with_operations(R"({"name": "q", "kind": "conv", "inputs": ["a"]})"),
       "operations[0].kind: unknown operation kind \"conv\" (expected one of matmul, add, mul, reshape, transpose, "
       "layer_norm, softmax, gelu)"},
      {"unknown tensor name", with_operations(R"({"name": "q", "kind": "matmul", "inputs": ["a", "wz"]})"),
       "operations[0].inputs[1]: unknown tensor \"wz\""},
      {"unknown tensor index", with_operations(R"({"name": "q", "kind": "matmul", "inputs": [0, 7]})"),
       "operations[0].inputs[1]: unknown tensor 7 (2 tensors defined so far)"},
      {"operand defined later",
       with_operations(
           R"({"name": "q", "kind": "gelu", "inputs": ["r"]}, {"name": "r", "kind": "gelu", "inputs": ["a"]})"),
       "operations[0].inputs[0]: unknown tensor \"r\""},
      {"operand as object", with_operations(R"({"name": "q", "kind": "gelu", "inputs": [{"name": "a"}]})"),
       "operations[0].inputs[0]: expected a tensor name or index, found {\"name\":\"a\"}"},
      {"negative operand index", with_operations(R"({"name": "q", "kind": "gelu", "inputs": [-1]})"),
       "operations[0].inputs[0]: must not be negative, found -1"},
      {"operand count", with_operations(R"({"name": "q", "kind": "matmul", "inputs": ["a"]})"),
       "operations[0].inputs: matmul takes 2 operands, found 1"},
      {"missing attribute", with_operations(R"({"name": "q", "kind": "layer_norm", "inputs": ["a"]})"),
       "operations[0]: missing field \"epsilon\""},
      {"attribute of another kind",
       with_operations(R"({"name": "q", "kind": "matmul", "inputs": ["a", "w"], "axis": 1})"),
       "operations[0].axis: not an attribute of matmul"},
      {"epsilon beyond a float",
       with_operations(R"({"name": "q", "kind": "layer_norm", "inputs": ["a"], "epsilon": 1e300})"),
       "operations[0].epsilon: must fit a 32-bit float, found 1e+300"},
      {"permutation entry not a number",
       with_operations(R"({"name": "q", "kind": "transpose", "inputs": ["a"], "permutation": [1, null]})"),
       "operations[0].permutation[1]: expected an unsigned integer, found null"},
      {"matmul shapes", with_operations(R"({"name": "q", "kind": "matmul", "inputs": ["w", "a"]})"),
       "operations[0]: q: incompatible matmul [3, 4] x [2, 3]"},
      {"binary shapes", with_operations(R"({"name": "q", "kind": "add", "inputs": ["a", "w"]})"),
       "operations[0]: q: binary shapes differ"},
      {"mul shapes", with_operations(R"({"name": "q", "kind": "mul", "inputs": ["a", "w"]})"),
       "operations[0]: q: binary shapes differ"},
      {"reshape element count",
       with_operations(R"({"name": "q", "kind": "reshape", "inputs": ["a"], "shape": [3, 3]})"),
       "operations[0]: q: reshape changes the element count"},
      {"transpose permutation",
       with_operations(R"({"name": "q", "kind": "transpose", "inputs": ["a"], "permutation": [0, 0]})"),
       "operations[0]: q: invalid transpose permutation"},
      {"softmax axis", with_operations(R"({"name": "q", "kind": "softmax", "inputs": ["a"], "axis": 2})"),
       "operations[0]: q: softmax axis out of range"},
      {"ambiguous name",
       with_operations(
           R"({"name": "a", "kind": "gelu", "inputs": ["a"]}, {"name": "q", "kind": "gelu", "inputs": ["a"]})"),
       "operations[1].inputs[0]: tensor name \"a\" is ambiguous (2 tensors have it); refer to the tensor by index"},
      {"unknown output", with_operations(R"({"name": "q", "kind": "gelu", "inputs": ["a"]})", R"(["nope"])"),
       "outputs[0]: unknown tensor \"nope\""},
      {"outputs not a list", with_operations(R"({"name": "q", "kind": "gelu", "inputs": ["a"]})", R"("q")"),
       "outputs: expected an array, found a string"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Graph> graph = read_graph_json(c.text);
    ASSERT_FALSE(graph);
    EXPECT_EQ(to_string(graph.error()), c.message);
  }
}

TEST(GraphJson, BracketsInsideNamesDoNotCountAsNesting) {
  // An escaped quote inside the name does not end it.
  const std::string name = std::string(200, '[') + "\\\"" + std::string(200, '{');
  const Result<Graph> graph =
      read_graph_json(R"({"version": 1, "tensors": [{"name": ")" + name +
                      R"(", "shape": [1], "kind": "input"}], "operations": [], "outputs": [0]})");
  ASSERT_TRUE(graph) << to_string(graph.error());
  EXPECT_EQ(graph->tensors[0].name, std::string(200, '[') + "\"" + std::string(200, '{'));  // the escape read
}

TEST(GraphJson, ReadsOperandsByNameOrIndex) {
  const Result<Graph> graph =
      read_graph_json(with_operations(R"({"name": "q", "kind": "matmul", "inputs": [0, "w"]})"));
  ASSERT_TRUE(graph);
  Graph expected;
  const TensorId a = expected.input("a", {2, 3});
  const TensorId w = expected.weight("w", {3, 4});
  ASSERT_TRUE(expected.mark_output(*expected.matmul("q", a, w)));
  EXPECT_EQ(*graph, expected);
}

}  // namespace
}  // namespace velk_io
