// Whole-graph validation before compilation. Tensors are checked first, then operations,
// then the output list; the first failure decides the message.
#include <limits>

#include "text.hpp"
#include "velk_compiler/graph.hpp"

namespace velk_compiler {
namespace {

// A shape is usable when it is non-empty, has no zero dimension, and its byte size fits
// in a machine word, so that no later stage ever computes a wrapped size.
bool usable_shape(const Tensor& tensor) {
  if (tensor.shape.empty()) return false;
  for (const std::size_t dimension : tensor.shape) {
    if (dimension == 0) return false;
  }
  const std::optional<std::size_t> elements = checked_elements(tensor.shape);
  return elements && *elements <= std::numeric_limits<std::size_t>::max() / size(tensor.dtype);
}

bool valid_op(const Graph& graph, const Op& op, std::size_t position) {
  if (op.id.index != position) return false;
  for (const TensorId input : op.inputs) {
    if (input.index >= graph.tensors.size()) return false;
  }
  if (op.output.index >= graph.tensors.size()) return false;
  return graph.tensors[op.output.index].producer == op.id;
}

}  // namespace

Result<void> Graph::validate() const {
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (tensors[i].id.index != i || !usable_shape(tensors[i])) {
      return std::unexpected(CompileError::graph(fill("invalid tensor {}", {tensors[i].name})));
    }
  }
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (!valid_op(*this, ops[i], i)) return std::unexpected(CompileError::graph(fill("invalid op {}", {ops[i].name})));
  }
  if (outputs.empty()) return std::unexpected(CompileError::graph("graph has no outputs"));
  return {};
}

}  // namespace velk_compiler
