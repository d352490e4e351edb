// The golden evaluation of a graph. Every check runs before any arithmetic, so the
// evaluation itself may rely on what they establish: each declared tensor has a value of its
// element count, each operation's operands are computed before it and fit its kind, and
// every output is computed. Validation bounds every element count by a machine word and
// allows no zero dimension, so every product of some of a tensor's dimensions, and every
// index below, is at most its element count.
//
// The build compiles this source as it does reference.cpp (no fused multiply-add, no
// fast-math), so that the element-by-element arithmetic here is defined bit for bit as well.
#include "velk_compiler/evaluate.hpp"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "text.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/reference.hpp"

static_assert(FLT_EVAL_METHOD == 0, "float expressions must be evaluated in float");
#if defined(__FAST_MATH__)
#error "evaluate.cpp must be compiled without fast-math: its results are defined bit for bit"
#endif

namespace velk_compiler {
namespace {

CompileError refusal(std::string_view name, std::string_view what) {
  return CompileError::graph(fill("{}: {}", {name, what}));
}

bool declared(const Tensor& tensor) { return !tensor.producer; }

// The tensors of each name, in tensor order.
using NameHolders = std::map<std::string_view, std::vector<std::size_t>, std::less<>>;

NameHolders name_holders(const Graph& graph) {
  NameHolders holders;
  for (const Tensor& tensor : graph.tensors) holders[tensor.name].push_back(tensor.id.index);
  return holders;
}

// The refusals about one declared tensor or output: a shared name, a missing value, a value
// of the wrong element count.
Result<void> check_tensor(const Tensor& tensor, const NameHolders& holders, const TensorValues& given) {
  const std::vector<std::size_t>& same_name = holders.find(tensor.name)->second;
  if (same_name.size() > 1) {
    const std::size_t other = same_name[0] != tensor.id.index ? same_name[0] : same_name[1];
    const std::size_t first = std::min(other, tensor.id.index);
    const std::size_t second = std::max(other, tensor.id.index);
    return std::unexpected(refusal(
        tensor.name, fill("name shared by tensors {} and {}", {std::to_string(first), std::to_string(second)})));
  }
  if (!declared(tensor)) return {};
  const auto value = given.find(tensor.name);
  if (value == given.end()) return std::unexpected(refusal(tensor.name, "no value given"));
  if (value->second.size() != tensor.elements()) {
    return std::unexpected(refusal(tensor.name, fill("{} values given, its shape {} holds {}",
                                                     {std::to_string(value->second.size()), shape_text(tensor.shape),
                                                      std::to_string(tensor.elements())})));
  }
  return {};
}

// Output ids, then each declared tensor and output in tensor order, then the given names.
Result<void> check_values(const Graph& graph, const TensorValues& given) {
  std::vector<bool> is_output(graph.tensors.size(), false);
  for (const TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) {
      return std::unexpected(CompileError::graph(fill("unknown output tensor {}", {std::to_string(output.index)})));
    }
    is_output[output.index] = true;
  }
  const NameHolders holders = name_holders(graph);
  for (const Tensor& tensor : graph.tensors) {
    if (!declared(tensor) && !is_output[tensor.id.index]) continue;
    if (auto checked = check_tensor(tensor, holders, given); !checked) return checked;
  }
  for (const auto& [name, values] : given) {
    // Declared names are unique by now, so a declared tensor is its name's only holder.
    const auto holder = holders.find(name);
    if (holder == holders.end() || !declared(graph.tensors[holder->second.front()])) {
      return std::unexpected(refusal(name, "given but not an input or weight of the graph"));
    }
  }
  return {};
}

// Whether an operation's operands and result have the counts and shapes its kind requires,
// by the rules of the graph builder.
struct Fits {
  const Graph& graph;
  const Op& op;

  const Tensor& operand(std::size_t position) const { return graph.tensors[op.inputs[position].index]; }
  const Tensor& result() const { return graph.tensors[op.output.index]; }
  bool unary_same_shape() const { return op.inputs.size() == 1 && result().shape == operand(0).shape; }
  bool binary_same_shape() const {
    return op.inputs.size() == 2 && operand(1).shape == operand(0).shape && result().shape == operand(0).shape;
  }

  bool operator()(const MatMul&) const {
    if (op.inputs.size() != 2) return false;
    const Shape& a = operand(0).shape;
    const Shape& b = operand(1).shape;
    return a.size() == 2 && b.size() == 2 && a[1] == b[0] && result().shape == Shape{a[0], b[1]};
  }
  bool operator()(const Add&) const { return binary_same_shape(); }
  bool operator()(const Mul&) const { return binary_same_shape(); }
  bool operator()(const Reshape&) const {
    return op.inputs.size() == 1 && result().elements() == operand(0).elements();
  }
  bool operator()(const Transpose& transpose) const {
    if (op.inputs.size() != 1) return false;
    const Shape& shape = operand(0).shape;
    const std::vector<std::size_t>& permutation = transpose.permutation;
    if (permutation.size() != shape.size()) return false;
    std::vector<bool> seen(shape.size(), false);
    Shape permuted;
    for (const std::size_t axis : permutation) {
      if (axis >= shape.size() || seen[axis]) return false;
      seen[axis] = true;
      permuted.push_back(shape[axis]);
    }
    return result().shape == permuted;
  }
  bool operator()(const LayerNorm&) const { return unary_same_shape(); }
  bool operator()(const Softmax& softmax) const { return unary_same_shape() && softmax.axis < operand(0).shape.size(); }
  bool operator()(const Gelu&) const { return unary_same_shape(); }
};

// Operation by operation in graph order, then the outputs in list order.
Result<void> check_operations(const Graph& graph) {
  std::vector<bool> computed(graph.tensors.size(), false);
  for (const Tensor& tensor : graph.tensors) computed[tensor.id.index] = declared(tensor);
  for (const Op& op : graph.ops) {
    for (const TensorId input : op.inputs) {
      if (!computed[input.index]) {
        return std::unexpected(
            refusal(op.name, fill("reads {} before it is computed", {graph.tensors[input.index].name})));
      }
    }
    if (!std::visit(Fits{graph, op}, op.kind)) {
      return std::unexpected(refusal(op.name, fill("operands do not fit {}", {operation_name(op.kind)})));
    }
    computed[op.output.index] = true;
  }
  for (const TensorId output : graph.outputs) {
    if (!computed[output.index]) {
      return std::unexpected(refusal(graph.tensors[output.index].name, "output is never computed"));
    }
  }
  return {};
}

// ---- the arithmetic; its arguments are what the checks above established ----

std::size_t product(std::span<const std::size_t> dimensions) {
  std::size_t result = 1;
  for (const std::size_t dimension : dimensions) result *= dimension;
  return result;
}

std::vector<float> add_values(std::span<const float> left, std::span<const float> right) {
  std::vector<float> result(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) result[i] = left[i] + right[i];
  return result;
}

std::vector<float> multiply_values(std::span<const float> left, std::span<const float> right) {
  std::vector<float> result(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) result[i] = left[i] * right[i];
  return result;
}

std::vector<float> gelu_values(std::span<const float> input) {
  std::vector<float> result(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) result[i] = gelu(input[i]);
  return result;
}

Result<std::vector<float>> layer_norm_last_axis(std::span<const float> input, const Shape& shape, float epsilon) {
  const std::size_t columns = shape.back();
  return layer_norm(input, input.size() / columns, columns, epsilon);
}

// Line (o, i) along the axis holds the elements o*length*inner + j*inner + i, j below
// length, where inner is the product of the dimensions after the axis. Lines that are contiguous (the
// last axis, or only dimensions of 1 after it) are rows of one softmax_rows call; the others
// are gathered, normalised as one row and scattered back, which is the same arithmetic.
Result<std::vector<float>> softmax_along(std::span<const float> input, const Shape& shape, std::size_t axis) {
  std::vector<float> result(input.begin(), input.end());
  const std::size_t length = shape[axis];
  const std::size_t inner = product(std::span(shape).subspan(axis + 1));
  const std::size_t outer = input.size() / (length * inner);
  if (inner == 1) {
    if (auto done = softmax_rows(result, outer, length); !done) return std::unexpected(done.error());
    return result;
  }
  std::vector<float> line(length);
  for (std::size_t o = 0; o < outer; ++o) {
    for (std::size_t i = 0; i < inner; ++i) {
      const std::size_t start = o * length * inner + i;
      for (std::size_t j = 0; j < length; ++j) line[j] = result[start + j * inner];
      if (auto done = softmax_rows(line, 1, length); !done) return std::unexpected(done.error());
      for (std::size_t j = 0; j < length; ++j) result[start + j * inner] = line[j];
    }
  }
  return result;
}

// Walks the result in row-major order with an odometer over its coordinates: result axis d
// runs over input axis permutation[d], so a step along it moves the input position by that
// axis's stride.
std::vector<float> transposed(std::span<const float> input, const Shape& shape,
                              std::span<const std::size_t> permutation) {
  const std::size_t rank = shape.size();
  std::vector<std::size_t> stride(rank, 1);
  for (std::size_t axis = rank - 1; axis-- > 0;) stride[axis] = stride[axis + 1] * shape[axis + 1];
  std::vector<std::size_t> coordinate(rank, 0);
  std::vector<float> result(input.size());
  std::size_t source = 0;
  for (float& target : result) {
    target = input[source];
    for (std::size_t d = rank; d-- > 0;) {
      const std::size_t axis = permutation[d];
      if (++coordinate[d] < shape[axis]) {
        source += stride[axis];
        break;
      }
      coordinate[d] = 0;
      source -= (shape[axis] - 1) * stride[axis];
    }
  }
  return result;
}

// One operation's result from its operands' values.
struct Apply {
  const Graph& graph;
  const Op& op;
  const std::vector<std::span<const float>>& values;

  std::span<const float> operand(std::size_t position) const { return values[op.inputs[position].index]; }
  const Shape& shape(std::size_t position) const { return graph.tensors[op.inputs[position].index].shape; }

  Result<std::vector<float>> operator()(const MatMul&) const {
    return matmul(operand(0), operand(1), shape(0)[0], shape(0)[1], shape(1)[1]);
  }
  Result<std::vector<float>> operator()(const Add&) const { return add_values(operand(0), operand(1)); }
  Result<std::vector<float>> operator()(const Mul&) const { return multiply_values(operand(0), operand(1)); }
  Result<std::vector<float>> operator()(const Reshape&) const {
    return std::vector<float>(operand(0).begin(), operand(0).end());
  }
  Result<std::vector<float>> operator()(const Transpose& transpose) const {
    return transposed(operand(0), shape(0), transpose.permutation);
  }
  Result<std::vector<float>> operator()(const LayerNorm& norm) const {
    return layer_norm_last_axis(operand(0), shape(0), norm.epsilon);
  }
  Result<std::vector<float>> operator()(const Softmax& softmax) const {
    return softmax_along(operand(0), shape(0), softmax.axis);
  }
  Result<std::vector<float>> operator()(const Gelu&) const { return gelu_values(operand(0)); }
};

// The given values are read in place; only results are stored.
Result<TensorValues> run(const Graph& graph, const TensorValues& given) {
  std::vector<std::span<const float>> values(graph.tensors.size());
  std::vector<std::vector<float>> results(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    if (declared(tensor)) values[tensor.id.index] = given.find(tensor.name)->second;
  }
  for (const Op& op : graph.ops) {
    Result<std::vector<float>> result = std::visit(Apply{graph, op, values}, op.kind);
    if (!result) return std::unexpected(result.error());
    results[op.output.index] = std::move(*result);
    values[op.output.index] = results[op.output.index];
  }
  TensorValues outputs;
  for (const TensorId output : graph.outputs) {
    const std::span<const float> value = values[output.index];
    outputs.try_emplace(graph.tensors[output.index].name, value.begin(), value.end());
  }
  return outputs;
}

}  // namespace

Result<TensorValues> evaluate(const Graph& graph, const TensorValues& given) {
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (auto checked = check_values(graph, given); !checked) return std::unexpected(checked.error());
  if (auto checked = check_operations(graph); !checked) return std::unexpected(checked.error());
  return run(graph, given);
}

}  // namespace velk_compiler
