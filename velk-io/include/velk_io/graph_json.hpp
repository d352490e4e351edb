// The graph file: a Graph as a JSON document, and back.
//
//   {
//     "version": 1,
//     "tensors": [ {"name": "input", "shape": [32, 64], "kind": "input"}, ... ],
//     "operations": [
//       {"name": "norm1", "kind": "layer_norm", "inputs": ["input"], "epsilon": 1e-05},
//       {"name": "q", "kind": "matmul", "inputs": ["norm1", "wq"]}, ...
//     ],
//     "outputs": ["ffn_residual"]
//   }
//
// `tensors` declares the graph's inputs and weights, which take tensor indices 0, 1, ... in
// order; each operation then adds its result tensor with the next index, named after the
// operation. An operand or output names a tensor by its name (when no other tensor defined
// so far has it) or by its index. Operation kinds are the kernel families of the compiler
// (`operation_name`), with their attributes as members: `epsilon` (layer_norm), `axis`
// (softmax), `permutation` (transpose), `shape` (reshape). Result shapes are not written:
// the graph builder derives them, so every shape rule and message of the builder applies.
// docs/graph-format.md describes the format for users.
#pragma once

#include <string>
#include <string_view>

#include "velk_compiler/graph.hpp"
#include "velk_io/error.hpp"

namespace velk_io {

inline constexpr std::uint64_t GRAPH_FORMAT_VERSION = 1;

// Builds the graph that the document describes, through the graph builder. A document that
// is not JSON fails at its line and column; a missing or mistyped field, an unknown kind or
// tensor, a number out of range, or a builder refusal fails at the JSON path of the value.
[[nodiscard]] Result<velk_compiler::Graph> read_graph_json(std::string_view text);

// The graph's document. Refuses a graph that reading the document back would not give again
// exactly (one the builder cannot make: a declared tensor after an operation's result, a
// result shape the builder would not derive, ...); so read_graph_json(write_graph_json(g))
// equals g whenever the write succeeds.
[[nodiscard]] Result<std::string> write_graph_json(const velk_compiler::Graph& graph);

}  // namespace velk_io
