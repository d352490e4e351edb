#include "velk_onnx/onnx_import.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "model_builder.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/evaluate.hpp"
#include "velk_compiler/reference.hpp"
#include "velk_io/files.hpp"
#include "velk_io/npy.hpp"

namespace velk_onnx {
namespace {

using testing::ModelBuilder;
using velk_compiler::Shape;
using velk_compiler::TensorValues;

const std::string FIXTURES = std::string(VELK_SOURCE_DIR) + "/tests/fixtures/onnx/";

velk_io::NpyArray fixture_array(const std::string& name) {
  auto bytes = velk_io::read_file(FIXTURES + name);
  EXPECT_TRUE(bytes.has_value());
  auto array = velk_io::read_npy(bytes.value_or(""));
  EXPECT_TRUE(array.has_value());
  return array.value_or(velk_io::NpyArray{});
}

// The model's outputs for the given inputs, its weights added.
TensorValues run(const ImportedModel& model, TensorValues inputs) {
  inputs.insert(model.weights.begin(), model.weights.end());
  auto outputs = velk_compiler::evaluate(model.graph, inputs);
  EXPECT_TRUE(outputs.has_value()) << outputs.error();
  return outputs.value_or(TensorValues{});
}

float largest_difference(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  float largest = 0.0F;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

// The PyTorch block, exported by examples/pytorch_encoder.py: the built-in block's operations
// with nn.GELU(approximate="tanh"), S=16, H=32, F=64.
TEST(PytorchEncoder, ImportsAsTheBuiltInBlockAndReproducesPytorch) {
  auto model = import_onnx_file(FIXTURES + "encoder_block.onnx");
  ASSERT_TRUE(model.has_value()) << model.error();
  EXPECT_TRUE(model->notes.empty());
  auto encoder = velk_compiler::encoder_graph({.sequence = 16, .hidden = 32, .heads = 1, .feed_forward = 64});
  ASSERT_TRUE(encoder.has_value());

  ASSERT_EQ(model->graph.tensors.size(), encoder->tensors.size());
  for (std::size_t i = 0; i < encoder->tensors.size(); ++i) {
    EXPECT_EQ(model->graph.tensors[i].shape, encoder->tensors[i].shape) << i;
    EXPECT_EQ(model->graph.tensors[i].kind, encoder->tensors[i].kind) << i;
    EXPECT_EQ(model->graph.tensors[i].producer, encoder->tensors[i].producer) << i;
  }
  ASSERT_EQ(model->graph.ops.size(), encoder->ops.size());
  for (std::size_t i = 0; i < encoder->ops.size(); ++i) {
    EXPECT_EQ(model->graph.ops[i].kind.index(), encoder->ops[i].kind.index()) << i;
    EXPECT_EQ(model->graph.ops[i].inputs, encoder->ops[i].inputs) << i;
  }
  EXPECT_EQ(model->graph.tensors[1].name, "wq");

  // Declared in the same order, so the whole schedule is the same: phases, layouts, memory plan.
  auto imported = velk_compiler::compile(model->graph, {});
  auto built_in = velk_compiler::compile(*encoder, {});
  ASSERT_TRUE(imported.has_value() && built_in.has_value());
  EXPECT_EQ(imported->phases, built_in->phases);
  EXPECT_EQ(imported->layouts, built_in->layouts);
  EXPECT_EQ(imported->allocations, built_in->allocations);
  EXPECT_EQ(imported->peak_sram, built_in->peak_sram);

  const velk_io::NpyArray input = fixture_array("encoder_block_input.npy");
  const velk_io::NpyArray expected = fixture_array("encoder_block_output.npy");
  const TensorValues outputs = run(*model, {{"input", input.values}});
  ASSERT_TRUE(outputs.contains("ffn_residual"));
  EXPECT_LE(largest_difference(outputs.at("ffn_residual"), expected.values), 1e-4F);
}

TEST(PytorchEncoder, ErfGeluIsRefusedUnlessAskedFor) {
  auto refused = import_onnx_file(FIXTURES + "encoder_block_erf.onnx");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, OnnxError::Kind::Unsupported);
  EXPECT_EQ(refused.error().message,
            "node 23 \"/gelu/Mul_1\" (Mul): it ends a GELU in the erf form (nn.GELU()), which differs from the "
            "graph's tanh form by up to 4.7e-04; export nn.GELU(approximate=\"tanh\"), or import it as the tanh form "
            "with --gelu-erf-as-tanh");

  auto model = import_onnx_file(FIXTURES + "encoder_block_erf.onnx", {.gelu_erf_as_tanh = true});
  ASSERT_TRUE(model.has_value()) << model.error();
  ASSERT_EQ(model->notes.size(), 1U);
  EXPECT_EQ(model->notes[0],
            "GELU in the erf form imported as the tanh form at node 23 \"/gelu/Mul_1\" (Mul); they differ by at "
            "most 4.7e-04 (at x = 2.701)");
  const TensorValues outputs = run(*model, {{"input", fixture_array("encoder_block_input.npy").values}});
  const float difference =
      largest_difference(outputs.at("ffn_residual"), fixture_array("encoder_block_erf_output.npy").values);
  EXPECT_GT(difference, 1e-5F);
  EXPECT_LE(difference, 1e-3F);
}

// The kinds of the graph's operations in order, as the graph file names them.
std::vector<std::string> op_kinds(const velk_compiler::Graph& graph) {
  static const char* const names[] = {"matmul", "add", "mul", "reshape", "transpose", "layer_norm", "softmax", "gelu"};
  std::vector<std::string> kinds;
  for (const velk_compiler::Op& op : graph.ops) kinds.emplace_back(names[op.kind.index()]);
  return kinds;
}

std::vector<float> iota(std::size_t count, float start = 0.0F, float step = 1.0F) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = start + step * static_cast<float>(i);
  return values;
}

struct MappingCase {
  const char* name;
  std::function<ModelBuilder()> model;
  ImportOptions options;
  std::vector<std::string> kinds;
  Shape output_shape;
  // The inputs, and a check of the output values.
  TensorValues inputs;
  std::function<void(const std::vector<float>&)> check;
};

void expect_values(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_FLOAT_EQ(actual[i], expected[i]) << i;
}

TEST(OnnxImport, MapsEachSupportedFormOntoTheGraph) {
  const MappingCase cases[] = {
      {"Gemm folds transB into the weight and broadcasts its bias",
       [] {
         ModelBuilder m;
         m.input("a", {2, 3}).initializer("b", {2, 3}, {1, 0, 0, 0, 1, 1}).initializer("c", {2}, {10, 20});
         ModelBuilder::attribute(m.node("Gemm", {"a", "b", "c"}, {"y"}), "transB", std::int64_t{1});
         m.output("y");
         return m;
       },
       {},
       {"matmul", "add"},
       {2, 2},
       {{"a", {1, 2, 3, 4, 5, 6}}},
       [](const std::vector<float>& y) {
         expect_values(y, {11, 25, 14, 31});
       }},
      {"a scalar constant broadcasts to a full-shape weight",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3}).scalar("half", 0.5F);
         m.node("Mul", {"half", "x"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"mul"},
       {2, 3},
       {{"x", iota(6)}},
       [](const std::vector<float>& y) {
         expect_values(y, {0, 0.5F, 1, 1.5F, 2, 2.5F});
       }},
      {"Reshape copies a dimension for 0 and infers -1; Identity is dropped",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3, 4}).integers("shape", {0, -1});
         m.node("Identity", {"x"}, {"same"});
         m.node("Reshape", {"same", "shape"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"reshape"},
       {2, 12},
       {{"x", iota(24)}},
       [](const std::vector<float>& y) { expect_values(y, iota(24)); }},
      {"an output reached through Identity takes the output's name",
       [] {
         ModelBuilder m;
         m.input("x", {2});
         m.node("Add", {"x", "x"}, {"sum"});
         m.node("Identity", {"sum"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"add"},
       {2},
       {{"x", {1, 2}}},
       [](const std::vector<float>& y) {
         expect_values(y, {2, 4});
       }},
      {"Transpose without perm reverses the axes",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3});
         m.node("Transpose", {"x"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"transpose"},
       {3, 2},
       {{"x", iota(6)}},
       [](const std::vector<float>& y) {
         expect_values(y, {0, 3, 1, 4, 2, 5});
       }},
      {"Softmax counts a negative axis from the end",
       [] {
         ModelBuilder m;
         m.input("x", {2, 2});
         ModelBuilder::attribute(m.node("Softmax", {"x"}, {"y"}), "axis", std::int64_t{-2});
         m.output("y");
         return m;
       },
       {},
       {"softmax"},
       {2, 2},
       {{"x", {0, 5, 0, 5}}},
       [](const std::vector<float>& y) {
         expect_values(y, {0.5F, 0.5F, 0.5F, 0.5F});
       }},
      {"LayerNormalization over two axes goes through rows; scale and bias become Mul and Add",
       [] {
         ModelBuilder m;
         m.input("x", {2, 1, 2}).initializer("scale", {1, 2}, {2, 3}).initializer("bias", {2}, {1, 1});
         ModelBuilder::attribute(m.node("LayerNormalization", {"x", "scale", "bias"}, {"y"}), "axis", std::int64_t{1});
         m.output("y");
         return m;
       },
       {},
       {"reshape", "layer_norm", "reshape", "mul", "add"},
       {2, 1, 2},
       {{"x", {1, 3, 5, 5}}},
       [](const std::vector<float>& y) {
         const float unit = 1.0F / std::sqrt(1.0F + 1e-5F);  // row [1, 3]: mean 2, variance 1
         expect_values(y, {1 - 2 * unit, 1 + 3 * unit, 1, 1});
       }},
      {"LayerNormalization with ones and zeros is the graph's layer norm alone",
       [] {
         ModelBuilder m;
         m.input("x", {1, 4}).initializer("ones", {4}, {1, 1, 1, 1}).initializer("zeros", {4}, {0, 0, 0, 0});
         m.node("LayerNormalization", {"x", "ones", "zeros"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"layer_norm"},
       {1, 4},
       {{"x", {1, 2, 3, 4}}},
       [](const std::vector<float>& y) {
         auto expected = velk_compiler::layer_norm(std::vector<float>{1, 2, 3, 4}, 1, 4, 1e-5F);
         ASSERT_TRUE(expected.has_value());
         expect_values(y, *expected);
       }},
      {"--drop-batch imports a batched MatMul on a leading 1 as two-dimensional",
       [] {
         ModelBuilder m;
         m.input("x", {1, 2, 2}).initializer("w", {2, 1}, {1, 10});
         m.node("MatMul", {"x", "w"}, {"y"});
         m.output("y");
         return m;
       },
       {.drop_batch = true},
       {"matmul"},
       {2, 1},
       {{"x", {1, 2, 3, 4}}},
       [](const std::vector<float>& y) {
         expect_values(y, {21, 43});
       }},
      {"GELU with Pow(x, 3) and the factors in another association is one gelu",
       [] {
         ModelBuilder m;
         m.input("x", {4}).scalar("three", 3).scalar("kappa", 0.044715F).scalar("beta", 0.7978846F);
         m.scalar("one", 1).scalar("half", 0.5F);
         m.node("Pow", {"x", "three"}, {"cube"});
         m.node("Mul", {"cube", "kappa"}, {"scaled_cube"});
         m.node("Add", {"scaled_cube", "x"}, {"inner"});
         m.node("Mul", {"inner", "beta"}, {"argument"});
         m.node("Tanh", {"argument"}, {"t"});
         m.node("Add", {"t", "one"}, {"bracket"});
         m.node("Mul", {"x", "half"}, {"half_x"});
         m.node("Mul", {"half_x", "bracket"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"gelu"},
       {4},
       {{"x", {-1, 0, 0.5F, 2}}},
       [](const std::vector<float>& y) {
         expect_values(y, {velk_compiler::gelu(-1), 0, velk_compiler::gelu(0.5F), velk_compiler::gelu(2)});
       }},
      {"the decomposed softmax is one softmax",
       [] {
         ModelBuilder m;
         m.input("x", {2, 2}).integers("axes", {1});
         ModelBuilder::attribute(m.node("ReduceMax", {"x"}, {"max"}), "axes", std::vector<std::int64_t>{1});
         m.node("Sub", {"x", "max"}, {"shifted"});
         m.node("Exp", {"shifted"}, {"e"});
         m.node("ReduceSum", {"e", "axes"}, {"total"});
         m.node("Div", {"e", "total"}, {"y"});
         m.output("y");
         return m;
       },
       {},
       {"softmax"},
       {2, 2},
       {{"x", {1, 1, 0, 0}}},
       [](const std::vector<float>& y) {
         expect_values(y, {0.5F, 0.5F, 0.5F, 0.5F});
       }},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto model = import_onnx(c.model().bytes(), c.options);
    ASSERT_TRUE(model.has_value()) << model.error();
    EXPECT_EQ(op_kinds(model->graph), c.kinds);
    ASSERT_EQ(model->graph.outputs.size(), 1U);
    EXPECT_EQ(model->graph.tensors[model->graph.outputs[0].index].shape, c.output_shape);
    const TensorValues outputs = run(*model, c.inputs);
    ASSERT_EQ(outputs.size(), 1U);
    EXPECT_EQ(outputs.begin()->first, "y");
    c.check(outputs.begin()->second);
  }
}

struct RefusalCase {
  const char* name;
  std::function<std::string()> bytes;
  ImportOptions options;
  OnnxError::Kind kind;
  std::string message;
};

std::string one_node(const std::string& op_type, std::vector<std::vector<std::int64_t>> input_dims,
                     const std::function<void(ModelBuilder&, onnx::NodeProto&)>& adjust = nullptr,
                     std::int64_t opset = 17) {
  ModelBuilder m(opset);
  onnx::NodeProto& node = m.node(op_type, {}, {"y"});
  for (std::size_t i = 0; i < input_dims.size(); ++i) {
    const std::string name = std::string(1, static_cast<char>('a' + i));
    m.input(name, input_dims[i]);
    node.add_input(name);
  }
  m.output("y");
  if (adjust) adjust(m, node);
  return m.bytes();
}

TEST(OnnxImport, RefusesWhatItCannotMapAndNamesTheNode) {
  using Kind = OnnxError::Kind;
  const std::string imported =
      "the importer maps Add, Gemm, Identity, LayerNormalization, MatMul, Mul, Reshape, Softmax and Transpose, GELU "
      "written as Mul, Add and Tanh (or Erf) with its constants, and Softmax written as ReduceMax, Sub, Exp, "
      "ReduceSum and Div";
  const RefusalCase cases[] = {
      {"an op type it does not map",
       [] { return one_node("Tanh", {{2}}); },
       {},
       Kind::Unsupported,
       "node 0 (Tanh) writing \"y\": op type Tanh is not imported; " + imported},
      {"an op of another domain",
       [] {
         return one_node("FusedGemm", {{2}}, [](ModelBuilder&, onnx::NodeProto& n) { n.set_domain("com.example"); });
       },
       {},
       Kind::Unsupported,
       "node 0 (FusedGemm) writing \"y\": op type FusedGemm of domain com.example is not imported; " + imported},
      {"a batched MatMul",
       [] {
         return one_node("MatMul", {{1, 2, 3}, {3, 4}});
       },
       {},
       Kind::Unsupported,
       "node 0 (MatMul) writing \"y\": a MatMul of [1, 2, 3] by [3, 4]: only two-dimensional operands are imported; "
       "--drop-batch drops the leading dimension of 1"},
      {"a broadcast of two computed operands",
       [] {
         return one_node("Add", {{2, 3}, {3}});
       },
       {},
       Kind::Unsupported,
       "node 0 (Add) writing \"y\": its operands of shapes [2, 3] and [3] would broadcast, and only a constant "
       "operand may broadcast"},
      {"a constant that does not broadcast",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3}).initializer("c", {2}, {1, 2});
         m.node("Add", {"x", "c"}, {"y"}, "/add");
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 \"/add\" (Add): the constant \"c\" of shape [2] does not broadcast to [2, 3]"},
      {"a dynamic dimension",
       [] {
         ModelBuilder m;
         m.input("x", {2});
         m.graph()
             .mutable_input(0)
             ->mutable_type()
             ->mutable_tensor_type()
             ->mutable_shape()
             ->mutable_dim(0)
             ->set_dim_param("batch");
         m.node("Identity", {"x"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "input \"x\": dimension 0 is dynamic (\"batch\"); export it with a fixed shape"},
      {"an input of another data type",
       [] {
         ModelBuilder m;
         m.input("x", {2}, onnx::TensorProto_DataType_INT64);
         m.output("x");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "input \"x\" has data type INT64; only FLOAT inputs are imported"},
      {"an old Softmax over more than the last axis",
       [] {
         return one_node(
             "Softmax", {{2, 3}},
             [](ModelBuilder&, onnx::NodeProto& n) { ModelBuilder::attribute(n, "axis", std::int64_t{0}); }, 11);
       },
       {},
       Kind::Unsupported,
       "node 0 (Softmax) writing \"y\": a Softmax of opset 11 normalises all axes from 0 on as one, which only the "
       "last axis matches; export with opset 13 or later"},
      {"a Gemm with alpha",
       [] {
         return one_node("Gemm", {{2, 2}, {2, 2}},
                         [](ModelBuilder&, onnx::NodeProto& n) { ModelBuilder::attribute(n, "alpha", 2.0F); });
       },
       {},
       Kind::Unsupported,
       "node 0 (Gemm) writing \"y\": alpha is 2.000000; only 1 is imported (fold the factor into a weight)"},
      {"a Reshape to a computed shape",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3}).input("shape", {2});
         m.node("Reshape", {"x", "shape"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (Reshape) writing \"y\": its target shape is computed by the model; only a constant shape is imported"},
      {"a Reshape that changes the element count",
       [] {
         ModelBuilder m;
         m.input("x", {4, 4}).integers("shape", {3, 3});
         m.node("Reshape", {"x", "shape"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (Reshape) writing \"y\": it reshapes [4, 4] into a shape of 9 elements"},
      {"a LayerNormalization whose Mean is read",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3}).initializer("scale", {3}, {1, 1, 1});
         m.node("LayerNormalization", {"x", "scale"}, {"y", "mean"});
         m.output("y").output("mean");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (LayerNormalization) writing \"y\": its output \"mean\" (Mean or InvStdDev) is read; only Y is "
       "imported"},
      {"a LayerNormalization whose epsilon is not a number",
       [] {
         ModelBuilder m;
         m.input("x", {2, 3}).initializer("scale", {3}, {1, 1, 1});
         ModelBuilder::attribute(m.node("LayerNormalization", {"x", "scale"}, {"y"}), "epsilon", std::nanf(""));
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (LayerNormalization) writing \"y\": its epsilon nan is no finite number of at least 0"},
      {"a LayerNormalization over more elements than a machine word counts",
       [] {
         ModelBuilder m;
         m.input("x", {std::int64_t{1} << 33, std::int64_t{1} << 33, std::int64_t{1} << 33});
         m.initializer("scale", {1}, {1});
         ModelBuilder::attribute(m.node("LayerNormalization", {"x", "scale"}, {"y"}), "axis", std::int64_t{1});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (LayerNormalization) writing \"y\": its operand [8589934592, 8589934592, 8589934592] has more "
       "elements than a machine word counts"},
      {"--drop-batch on an input without a leading 1",
       [] {
         return one_node("Identity", {{2, 3}});
       },
       {.drop_batch = true},
       Kind::Unsupported,
       "--drop-batch: input \"a\" of shape [2, 3] has no leading dimension of 1 to drop"},
      {"an output nothing writes",
       [] {
         ModelBuilder m;
         m.input("x", {2});
         m.output("nowhere");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "output \"nowhere\" is written by no node"},
      {"an operand nothing defines",
       [] {
         ModelBuilder m;
         m.input("x", {2});
         m.node("Add", {"x", "later"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "node 0 (Add) writing \"y\": it reads \"later\", which no input, initializer or earlier node gives"},
      {"a weight kept in an external file",
       [] {
         ModelBuilder m;
         m.input("x", {2}).initializer("w", {2}, {});
         m.graph().mutable_initializer(0)->set_data_location(onnx::TensorProto_DataLocation_EXTERNAL);
         m.node("Add", {"x", "w"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unsupported,
       "initializer \"w\" keeps its data in an external file; save the model with its weights inside"},
      {"a weight of fewer values than its shape",
       [] {
         ModelBuilder m;
         m.input("x", {2}).initializer("w", {2}, {1});
         m.node("Add", {"x", "w"}, {"y"});
         m.output("y");
         return m.bytes();
       },
       {},
       Kind::Unreadable,
       "initializer \"w\" holds 1 values where its shape [2] needs 2"},
      {"bytes that are no model",
       [] { return std::string("\xff\xff\xff\xff not a model", 17); },
       {},
       Kind::Unreadable,
       "not an ONNX model: the bytes do not parse as a ModelProto"},
      {"a model without the default opset",
       [] {
         onnx::ModelProto model;
         model.mutable_graph();
         return model.SerializeAsString();
       },
       {},
       Kind::Unsupported,
       "the model imports no opset of the default ONNX domain"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto model = import_onnx(c.bytes(), c.options);
    ASSERT_FALSE(model.has_value());
    EXPECT_EQ(model.error().kind, c.kind);
    EXPECT_EQ(model.error().message, c.message);
  }
}

TEST(OnnxImport, RefusesEveryTruncationOfARealModelCleanly) {
  auto bytes = velk_io::read_file(FIXTURES + "encoder_block.onnx");
  ASSERT_TRUE(bytes.has_value());
  for (std::size_t length = 0; length < bytes->size(); length += 97) {
    auto model = import_onnx(std::string_view(*bytes).substr(0, length));
    if (model) {
      EXPECT_TRUE(model->graph.validate().has_value()) << length;
    }
  }
}

TEST(OnnxImport, FileErrorsNameThePath) {
  auto missing = import_onnx_file(FIXTURES + "no-such-model.onnx");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, OnnxError::Kind::Unreadable);
  EXPECT_TRUE(missing.error().message.starts_with(FIXTURES + "no-such-model.onnx: ")) << missing.error();
  auto not_a_model = import_onnx_file(FIXTURES + "encoder_block_input.npy");
  ASSERT_FALSE(not_a_model.has_value());
  EXPECT_EQ(not_a_model.error().message,
            FIXTURES + "encoder_block_input.npy: not an ONNX model: the bytes do not parse as a ModelProto");
}

// Tensors come as raw little-endian bytes or as typed lists, in FLOAT, INT64 and INT32; Constant
// nodes also as value_float(s) and value_int(s). Each form gives the same values.
TEST(OnnxImport, ReadsEveryFormOfConstantData) {
  const auto raw_floats = [](std::vector<float> values) {
    std::string bytes(values.size() * sizeof(float), '\0');
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
  };
  const auto model_with = [&](const std::function<void(ModelBuilder&)>& constants) {
    ModelBuilder m;
    m.input("x", {2, 2});
    constants(m);
    m.node("Reshape", {"x", "shape"}, {"flat"});
    m.node("Add", {"flat", "bias"}, {"y"});
    m.output("y");
    return m.bytes();
  };
  const std::function<void(ModelBuilder&)> forms[] = {
      [&](ModelBuilder& m) {  // raw FLOAT bias, raw INT64 shape
        onnx::TensorProto* bias = m.graph().add_initializer();
        bias->set_name("bias");
        bias->set_data_type(onnx::TensorProto_DataType_FLOAT);
        bias->add_dims(4);
        bias->set_raw_data(raw_floats({1, 2, 3, 4}));
        onnx::TensorProto* shape = m.graph().add_initializer();
        shape->set_name("shape");
        shape->set_data_type(onnx::TensorProto_DataType_INT64);
        shape->add_dims(1);
        const std::int64_t four = 4;
        shape->set_raw_data(std::string(reinterpret_cast<const char*>(&four), sizeof four));
      },
      [](ModelBuilder& m) {  // Constant nodes: value_floats and value_ints
        onnx::AttributeProto* floats = m.node("Constant", {}, {"bias"}).add_attribute();
        floats->set_name("value_floats");
        floats->set_type(onnx::AttributeProto_AttributeType_FLOATS);
        for (const float v : {1.0F, 2.0F, 3.0F, 4.0F}) floats->add_floats(v);
        ModelBuilder::attribute(m.node("Constant", {}, {"shape"}), "value_ints", std::vector<std::int64_t>{-1});
      },
      [](ModelBuilder& m) {  // INT32 shape as a typed list, then as raw bytes
        m.initializer("bias", {4}, {1, 2, 3, 4});
        onnx::TensorProto* shape = m.graph().add_initializer();
        shape->set_name("shape");
        shape->set_data_type(onnx::TensorProto_DataType_INT32);
        shape->add_dims(1);
        shape->add_int32_data(4);
      },
      [](ModelBuilder& m) {
        m.initializer("bias", {4}, {1, 2, 3, 4});
        onnx::TensorProto* shape = m.graph().add_initializer();
        shape->set_name("shape");
        shape->set_data_type(onnx::TensorProto_DataType_INT32);
        shape->add_dims(1);
        const std::int32_t four = 4;
        shape->set_raw_data(std::string(reinterpret_cast<const char*>(&four), sizeof four));
      },
  };
  for (std::size_t i = 0; i < std::size(forms); ++i) {
    SCOPED_TRACE(i);
    auto model = import_onnx(model_with(forms[i]));
    ASSERT_TRUE(model.has_value()) << model.error();
    const TensorValues outputs = run(*model, {{"x", {10, 20, 30, 40}}});
    expect_values(outputs.at("y"), {11, 22, 33, 44});
  }
}

TEST(OnnxImport, RefusesDamagedConstantData) {
  const auto with_bias = [](const std::function<void(onnx::TensorProto&)>& damage) {
    ModelBuilder m;
    m.input("x", {2});
    onnx::TensorProto* bias = m.graph().add_initializer();
    *bias = ModelBuilder::tensor("bias", {2}, {1, 2});
    damage(*bias);
    m.node("Add", {"x", "bias"}, {"y"});
    m.output("y");
    return m.bytes();
  };
  const std::pair<std::function<void(onnx::TensorProto&)>, std::string> cases[] = {
      {[](onnx::TensorProto& t) { t.set_dims(0, -2); }, "initializer \"bias\" has a negative dimension"},
      {[](onnx::TensorProto& t) {
         t.clear_float_data();
         t.set_raw_data(std::string(7, '\0'));
       },
       "initializer \"bias\" holds 1 values where its shape [2] needs 2"},
      {[](onnx::TensorProto& t) { t.set_data_type(onnx::TensorProto_DataType_DOUBLE); },
       "initializer \"bias\" has data type DOUBLE; only FLOAT tensors (and INT64 shapes) are imported"},
      {[](onnx::TensorProto& t) { t.set_data_type(99); },
       "initializer \"bias\" has data type number 99; only FLOAT tensors (and INT64 shapes) are imported"},
      {[](onnx::TensorProto& t) {
         t.add_dims(std::int64_t{1} << 62);
         t.add_dims(std::int64_t{1} << 62);
       },
       "initializer \"bias\" has more elements than a machine word counts"},
  };
  for (const auto& [damage, message] : cases) {
    SCOPED_TRACE(message);
    auto model = import_onnx(with_bias(damage));
    ASSERT_FALSE(model.has_value());
    EXPECT_EQ(model.error().message, message);
  }
}

}  // namespace
}  // namespace velk_onnx
