// velkc on ONNX models (graph, compile, run --onnx) and the host evaluation of `velkc run`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run_velkc.hpp"
#include "velk_io/npy.hpp"

namespace {

using namespace velkc_tests;

const std::string MODEL = source_file("tests/fixtures/onnx/encoder_block.onnx");
const std::string ERF_MODEL = source_file("tests/fixtures/onnx/encoder_block_erf.onnx");
const std::string INPUT = source_file("tests/fixtures/onnx/encoder_block_input.npy");

velk_io::NpyArray read_array(const std::filesystem::path& path) {
  auto array = velk_io::read_npy(read_all(path));
  EXPECT_TRUE(array.has_value()) << path;
  return array.value_or(velk_io::NpyArray{});
}

TEST(VelkcOnnx, RefusalsExitTwoAndNameWhatIsWrong) {
  const std::string unsupported = source_file("tests/fixtures/onnx/unsupported_sigmoid.onnx");
  const StatusCase cases[] = {
      {"an unsupported node",
       {"compile", "--onnx", unsupported},
       2,
       "velkc: " + unsupported +
           ": node 1 \"/act/Sigmoid\" (Sigmoid): op type Sigmoid is not imported; the importer maps Add, Gemm, "
           "Identity, LayerNormalization, MatMul, Mul, Reshape, Softmax and Transpose, GELU written as Mul, Add and "
           "Tanh (or Erf) with its constants, and Softmax written as ReduceMax, Sub, Exp, ReduceSum and Div\n"},
      {"the erf form of GELU without the option",
       {"graph", "--onnx", ERF_MODEL},
       2,
       "velkc: " + ERF_MODEL +
           ": node 23 \"/gelu/Mul_1\" (Mul): it ends a GELU in the erf form (nn.GELU()), which differs from the "
           "graph's tanh form by up to 4.7e-04; export nn.GELU(approximate=\"tanh\"), or import it as the tanh form "
           "with --gelu-erf-as-tanh\n"},
      {"a file that is no model",
       {"compile", "--onnx", INPUT},
       2,
       "velkc: " + INPUT + ": not an ONNX model: the bytes do not parse as a ModelProto\n"},
      {"a missing model",
       {"run", "--onnx", "missing.onnx", "--out", "out"},
       2,
       "velkc: missing.onnx: cannot open: No such file or directory\n"},
      {"an import option without --onnx", {"compile", "--encoder", "--drop-batch"}, 2, ""},
      {"run without --out", {"run", "--onnx", MODEL}, 2, ""},
      {"run without the input",
       {"run", "--onnx", MODEL, "--out", "out"},
       2,
       "velkc: graph: input: no value given; give it with --input NAME=FILE.npy\n"},
      {"an input without a file",
       {"run", "--onnx", MODEL, "--input", "input", "--out", "out"},
       2,
       "velkc: --input: \"input\" is not NAME=FILE.npy\n"},
      {"an input the graph does not have",
       {"run", "--onnx", MODEL, "--input", "x=" + INPUT, "--out", "out"},
       2,
       "velkc: --input x: the graph has no input or weight of this name\n"},
      {"an input given twice",
       {"run", "--onnx", MODEL, "--input", "input=" + INPUT, "--input", "input=" + INPUT, "--out", "out"},
       2,
       "velkc: --input input: given twice\n"},
      {"an input of another shape",
       {"run", "--encoder", "--input", "input=" + INPUT, "--out", "out"},
       2,
       "velkc: --input input: " + INPUT + " holds an array of shape [16, 32], the tensor's is [32, 64]\n"},
      {"an input that is no .npy file",
       {"run", "--onnx", MODEL, "--input", "input=" + MODEL, "--out", "out"},
       2,
       "velkc: " + MODEL + ": not a .npy file: it does not begin with \\x93NUMPY\n"},
  };
  expect_statuses(cases);
}

// The model's graph file compiles to what the model compiles to.
TEST(VelkcOnnx, GraphFileOfAModelCompilesAsTheModel) {
  const Outcome written = velkc({"graph", "--onnx", MODEL, "--out", "model.json"});
  ASSERT_EQ(written.status, 0) << written.err;
  const Outcome from_file = velkc({"compile", "--graph", "model.json", "--tiles", "16"});
  const Outcome from_model = velkc({"compile", "--onnx", MODEL, "--tiles", "16"});
  ASSERT_EQ(from_model.status, 0) << from_model.err;
  EXPECT_EQ(from_file.out, from_model.out);
  EXPECT_TRUE(from_model.out.starts_with("graph: 22 tensors, 15 operations, 1 output\n")) << from_model.out;
}

float largest_difference(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  float largest = 0.0F;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

TEST(VelkcOnnx, RunReproducesPytorch) {
  const Outcome run = velkc({"run", "--onnx", MODEL, "--input", "input=" + INPUT, "--out", "out"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "wrote 1 file to out\n");
  const velk_io::NpyArray output = read_array(test_dir() / "out" / "ffn_residual.npy");
  EXPECT_EQ(output.shape, (velk_compiler::Shape{16, 32}));
  EXPECT_LE(
      largest_difference(output.values, read_array(source_file("tests/fixtures/onnx/encoder_block_output.npy")).values),
      1e-4F);

  const Outcome erf =
      velkc({"run", "--onnx", ERF_MODEL, "--gelu-erf-as-tanh", "--input", "input=" + INPUT, "--out", "erf"});
  ASSERT_EQ(erf.status, 0) << erf.err;
  EXPECT_EQ(erf.err, "velkc: " + ERF_MODEL +
                         ": GELU in the erf form imported as the tanh form at node 23 \"/gelu/Mul_1\" (Mul); they "
                         "differ by at most 4.7e-04 (at x = 2.701)\n");
  EXPECT_LE(largest_difference(read_array(test_dir() / "erf" / "ffn_residual.npy").values,
                               read_array(source_file("tests/fixtures/onnx/encoder_block_erf_output.npy")).values),
            1e-3F);
}

}  // namespace
