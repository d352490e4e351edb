// A parsed model and the lookups the import needs over it: who produces each value, how
// often it is read, and the constant tensors (initializers) by name. Only this file and the
// files of the import see the protobuf types.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_onnx/onnx_import.hpp"

namespace velk_onnx::detail {

// A constant tensor's values in C order: floats for FLOAT tensors, integers for INT64 and
// INT32 ones.
struct Constant {
  velk_compiler::Shape shape;
  bool is_float = true;
  std::vector<float> floats;
  std::vector<std::int64_t> integers;
};

struct ModelIndex {
  onnx::ModelProto model;
  // The opset of the default domain.
  std::int64_t opset = 0;
  // The node writing each value.
  std::map<std::string, std::size_t, std::less<>> producer;
  // How many node inputs read each value, plus one for each time it is a graph output.
  std::map<std::string, std::size_t, std::less<>> reads;
  std::map<std::string, const onnx::TensorProto*, std::less<>> initializers;

  const onnx::GraphProto& graph() const { return model.graph(); }
  std::size_t read_count(std::string_view value) const;
  // The node that writes the value, or nothing for inputs, initializers and unknown names.
  const onnx::NodeProto* producing_node(std::string_view value) const;
};

// Parses the bytes and indexes the model. Refuses bytes that are not a model, more than
// MAX_MODEL_BYTES, a model without an opset of the default domain, and values written twice.
[[nodiscard]] Result<ModelIndex> index_model(std::string_view bytes);

// The tensor's values. `what` names it in messages ("initializer \"w\"").
[[nodiscard]] Result<Constant> decode_tensor(const onnx::TensorProto& tensor, std::string_view what);

// The value of a Constant node: its `value` tensor, or `value_float(s)` / `value_int(s)`.
[[nodiscard]] Result<Constant> constant_node_value(const onnx::NodeProto& node, std::size_t position);

// The ONNX name of a tensor element type ("FLOAT", "INT64", …).
std::string data_type_name(std::int32_t data_type);

// How messages name a node: `node 3 "/attn/MatMul" (MatMul)`, or with an empty name
// `node 3 (MatMul) writing "y"`.
std::string node_text(const onnx::NodeProto& node, std::size_t position);

// The attribute of this name, or nothing.
const onnx::AttributeProto* find_attribute(const onnx::NodeProto& node, std::string_view name);

}  // namespace velk_onnx::detail
