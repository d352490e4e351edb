// The golden evaluation of a graph: every operation run on the host in 32-bit floating point
// with the host kernels of reference.hpp, so that a graph of one operation gives exactly the
// kernel's result, bit for bit.
//
// The arithmetic of each operation kind:
//   matmul      2-D, `matmul` of reference.hpp
//   layer_norm  over the last axis, `layer_norm` with rows = elements / last dimension
//   softmax     along the operation's axis: the last axis by `softmax_rows`; any other axis
//               line by line, each line along the axis gathered, `softmax_rows` with one row,
//               and scattered back
//   gelu        `gelu` of each element
//   reshape     a copy
//   transpose   any permutation of any rank, a copy
//   add, mul    element by element, left operand first
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "velk_compiler/error.hpp"
#include "velk_compiler/graph.hpp"

namespace velk_compiler {

// Values of tensors, by tensor name; each a row-major (C order) fp32 array of the tensor's elements.
using TensorValues = std::map<std::string, std::vector<float>, std::less<>>;

// Runs the graph on the host in 32-bit floating point with the host kernels of reference.hpp
// and gives every output's values by name.
//
// `given` holds exactly the graph's declared tensors: those no operation produces, its
// inputs and weights (a declared tensor marked as output among them). An output that is a
// declared tensor gives its given value; an output marked twice appears once.
//
// Refusals, all of kind Graph, in this order (the first problem decides):
//   - what `graph.validate()` refuses, its error unchanged;
//   - an output id the graph did not issue: "unknown output tensor <index>";
//   - then tensor by tensor, in tensor order:
//       a declared tensor or output whose name another tensor has too (evaluation goes by
//         name): "<name>: name shared by tensors <i> and <j>", i < j, the other the first
//         such tensor;
//       a declared tensor without a value: "<name>: no value given";
//       a value of the wrong element count: "<name>: <n> values given, its shape [4, 4] holds 16";
//   - a given name that is no declared tensor's, in map order: "<name>: given but not an input
//     or weight of the graph";
//   - then operation by operation: an operand that is neither declared nor the result of an
//     earlier operation: "<op>: reads <tensor> before it is computed"; operands or a result
//     whose count or shapes do not fit the kind (as the builder would have refused them):
//     "<op>: operands do not fit <kind>";
//   - an output that no operation computes: "<name>: output is never computed".
// Everything is checked before any arithmetic.
[[nodiscard]] Result<TensorValues> evaluate(const Graph& graph, const TensorValues& given);

}  // namespace velk_compiler
