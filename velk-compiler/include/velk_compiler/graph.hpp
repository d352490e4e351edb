// The graph model: tensors, operations and the builder that appends them with checked
// shapes. Records refer to each other only by position (TensorId, OpId), and the builder
// only ever appends, so ids are handed out in creation order and `ops` is topological.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velk_compiler/error.hpp"

namespace velk_compiler {

struct TensorId {
  std::size_t index = 0;
  auto operator<=>(const TensorId&) const = default;
};

struct OpId {
  std::size_t index = 0;
  auto operator<=>(const OpId&) const = default;
};

enum class DType : std::uint8_t { F32 };

// Bytes per element.
constexpr std::size_t size(DType dtype) {
  switch (dtype) {
    case DType::F32: return 4;
  }
  return 4;
}

enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

using Shape = std::vector<std::size_t>;

// The product of the dimensions (1 for an empty shape), or nothing when it does not fit
// in a machine word.
std::optional<std::size_t> checked_elements(std::span<const std::size_t> shape);

// A bracketed, comma-separated list of dimensions: [128, 256].
inline std::string shape_text(std::span<const std::size_t> shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype = DType::F32;
  Shape shape;
  TensorKind kind = TensorKind::Input;
  std::optional<OpId> producer;

  // Product of the dimensions, 1 for an empty shape. Validation refuses shapes whose
  // product or byte size does not fit in a machine word, so after `validate` this is exact.
  std::size_t elements() const;
  bool operator==(const Tensor&) const = default;
};

struct MatMul {
  bool operator==(const MatMul&) const = default;
};
struct Add {
  bool operator==(const Add&) const = default;
};
struct Mul {
  bool operator==(const Mul&) const = default;
};
struct Reshape {
  Shape shape;
  bool operator==(const Reshape&) const = default;
};
struct Transpose {
  std::vector<std::size_t> permutation;
  bool operator==(const Transpose&) const = default;
};
struct LayerNorm {
  float epsilon = 0.0F;
  bool operator==(const LayerNorm&) const = default;
};
struct Softmax {
  std::size_t axis = 0;
  bool operator==(const Softmax&) const = default;
};
struct Gelu {
  bool operator==(const Gelu&) const = default;
};

using OpKind = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu>;

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;
  bool operator==(const Op&) const = default;
};

struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  std::vector<TensorId> outputs;

  // Appends one tensor with dtype F32. Never fails and checks nothing.
  TensorId tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer);
  TensorId input(std::string_view name, Shape shape);
  TensorId weight(std::string_view name, Shape shape);

  // Appends one operation and its result tensor (tensor first). Refuses operand ids that
  // this graph did not issue with "{}: unknown input".
  [[nodiscard]] Result<TensorId> op(std::string_view name, OpKind kind, std::vector<TensorId> inputs, Shape shape);

  // The typed operations check their operand shapes before calling `op`. An operand id
  // this graph did not issue is refused with "{}: unknown input" before any shape is read.
  [[nodiscard]] Result<TensorId> binary(std::string_view name, OpKind kind, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> add(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> mul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> matmul(std::string_view name, TensorId left, TensorId right);
  // Refuses a `shape` whose element count differs from the operand's with "{}: reshape
  // changes the element count". A count too large for a machine word differs from every count
  // that fits; two such counts cannot be compared here and pass, and `validate` refuses them.
  [[nodiscard]] Result<TensorId> reshape(std::string_view name, TensorId input, Shape shape);
  [[nodiscard]] Result<TensorId> transpose(std::string_view name, TensorId input, std::vector<std::size_t> permutation);
  [[nodiscard]] Result<TensorId> layer_norm(std::string_view name, TensorId input, float epsilon);
  [[nodiscard]] Result<TensorId> softmax(std::string_view name, TensorId input, std::size_t axis);
  [[nodiscard]] Result<TensorId> gelu(std::string_view name, TensorId input);

  // Turns the tensor into an Output and appends it to `outputs` (twice if marked twice).
  // An id this graph did not issue is refused with "unknown output tensor {}".
  [[nodiscard]] Result<void> mark_output(TensorId tensor);

  // Whole-graph check before compilation; changes nothing.
  [[nodiscard]] Result<void> validate() const;

  // The tensor's name, or nothing for an id this graph did not issue.
  [[nodiscard]] std::optional<std::string_view> tensor_name(TensorId tensor) const {
    if (tensor.index >= tensors.size()) return std::nullopt;
    return tensors[tensor.index].name;
  }

  bool operator==(const Graph&) const = default;
};

std::ostream& operator<<(std::ostream& out, TensorId id);
std::ostream& operator<<(std::ostream& out, OpId id);

}  // namespace velk_compiler

template <>
struct std::hash<velk_compiler::TensorId> {
  std::size_t operator()(velk_compiler::TensorId id) const noexcept { return std::hash<std::size_t>{}(id.index); }
};
