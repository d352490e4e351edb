// The graph builder. Every refusal happens before anything is appended, so a refused
// call leaves the graph exactly as it was.
#include "velk_compiler/graph.hpp"

#include <limits>
#include <set>
#include <utility>

#include "text.hpp"

namespace velk_compiler {
namespace {

CompileError refusal(std::string_view name, std::string_view what) {
  return CompileError::graph(fill("{}: {}", {name, what}));
}

}  // namespace

std::optional<std::size_t> checked_elements(std::span<const std::size_t> shape) {
  std::size_t product = 1;
  for (const std::size_t dimension : shape) {
    if (dimension != 0 && product > std::numeric_limits<std::size_t>::max() / dimension) return std::nullopt;
    product *= dimension;
  }
  return product;
}

std::size_t Tensor::elements() const {
  std::size_t product = 1;
  for (const std::size_t dimension : shape) product *= dimension;
  return product;
}

TensorId Graph::tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{id, std::string(name), DType::F32, std::move(shape), kind, producer});
  return id;
}

TensorId Graph::input(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
}

Result<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs, Shape shape) {
  for (const TensorId input_id : inputs) {
    if (input_id.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  }
  const OpId op_id{ops.size()};
  const TensorId result = tensor(name, std::move(shape), TensorKind::Intermediate, op_id);
  ops.push_back(Op{op_id, std::string(name), std::move(kind), std::move(inputs), result});
  return result;
}

Result<TensorId> Graph::binary(std::string_view name, OpKind kind, TensorId left, TensorId right) {
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(refusal(name, "unknown input"));
  }
  Shape shape = tensors[left.index].shape;
  if (tensors[right.index].shape != shape) return std::unexpected(refusal(name, "binary shapes differ"));
  return op(name, std::move(kind), {left, right}, std::move(shape));
}

Result<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Add{}, left, right);
}

Result<TensorId> Graph::mul(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Mul{}, left, right);
}

Result<TensorId> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(refusal(name, "unknown input"));
  }
  const Shape& a = tensors[left.index].shape;
  const Shape& b = tensors[right.index].shape;
  if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
    return std::unexpected(
        CompileError::graph(fill("{}: incompatible matmul {} x {}", {name, shape_text(a), shape_text(b)})));
  }
  return op(name, MatMul{}, {left, right}, Shape{a[0], b[1]});
}

Result<TensorId> Graph::reshape(std::string_view name, TensorId input, Shape shape) {
  if (input.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  if (checked_elements(tensors[input.index].shape) != checked_elements(shape)) {
    return std::unexpected(refusal(name, "reshape changes the element count"));
  }
  Shape result_shape = shape;
  return op(name, Reshape{std::move(shape)}, {input}, std::move(result_shape));
}

Result<TensorId> Graph::transpose(std::string_view name, TensorId input, std::vector<std::size_t> permutation) {
  if (input.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  const Shape& s = tensors[input.index].shape;
  const std::set<std::size_t> distinct(permutation.begin(), permutation.end());
  bool valid = permutation.size() == s.size() && distinct.size() == permutation.size();
  for (const std::size_t axis : permutation) valid = valid && axis < s.size();
  if (!valid) return std::unexpected(refusal(name, "invalid transpose permutation"));
  Shape shape;
  shape.reserve(permutation.size());
  for (const std::size_t axis : permutation) shape.push_back(s[axis]);
  return op(name, Transpose{std::move(permutation)}, {input}, std::move(shape));
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (input.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  return op(name, LayerNorm{epsilon}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::softmax(std::string_view name, TensorId input, std::size_t axis) {
  if (input.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  if (axis >= tensors[input.index].shape.size()) return std::unexpected(refusal(name, "softmax axis out of range"));
  return op(name, Softmax{axis}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) {
  if (input.index >= tensors.size()) return std::unexpected(refusal(name, "unknown input"));
  return op(name, Gelu{}, {input}, tensors[input.index].shape);
}

Result<void> Graph::mark_output(TensorId tensor_id) {
  if (tensor_id.index >= tensors.size()) {
    return std::unexpected(CompileError::graph(fill("unknown output tensor {}", {std::to_string(tensor_id.index)})));
  }
  tensors[tensor_id.index].kind = TensorKind::Output;
  outputs.push_back(tensor_id);
  return {};
}

std::ostream& operator<<(std::ostream& out, TensorId id) { return out << "TensorId(" << id.index << ")"; }
std::ostream& operator<<(std::ostream& out, OpId id) { return out << "OpId(" << id.index << ")"; }

}  // namespace velk_compiler
