// Subgraphs that exporters write for one operation of the graph: GELU (tanh and erf forms)
// and the decomposed softmax. A match names the node that computes the result, the value
// it is computed from, and every node it replaces; the import then emits one operation at
// the root and skips the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model_index.hpp"

namespace velk_onnx::detail {

struct PatternMatch {
  enum class Kind : std::uint8_t { GeluTanh, GeluErf, Softmax };
  Kind kind = Kind::GeluTanh;
  std::size_t root = 0;            // the node whose output is the result
  std::string operand;             // the value the result is computed from
  std::int64_t axis = 0;           // Softmax: the axis as the model writes it (may be negative)
  std::vector<std::size_t> nodes;  // every node of the subgraph, the root among them, ascending
};

// Every match in the model, by root, none sharing a node. A subgraph only matches when none
// of its values but the root's output is read from outside it.
std::vector<PatternMatch> find_patterns(const ModelIndex& index);

// The largest difference between the erf form of GELU and the graph's tanh form over the
// floats where they differ visibly, and where it is reached.
struct GeluFormDifference {
  float largest = 0.0F;
  float at = 0.0F;
};
GeluFormDifference gelu_form_difference();

}  // namespace velk_onnx::detail
