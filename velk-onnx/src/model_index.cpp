#include "model_index.hpp"

#include <bit>
#include <cstring>
#include <limits>

namespace velk_onnx::detail {
namespace {

OnnxError unreadable(std::string message) { return OnnxError{OnnxError::Kind::Unreadable, std::move(message)}; }
OnnxError unsupported(std::string message) { return OnnxError{OnnxError::Kind::Unsupported, std::move(message)}; }

bool default_domain(std::string_view domain) { return domain.empty() || domain == "ai.onnx"; }

// Copies `count` little-endian values of type T out of raw bytes.
template <class T>
std::vector<T> little_endian_values(const std::string& raw, std::size_t count) {
  static_assert(std::endian::native == std::endian::little, "the raw tensor data is little-endian");
  std::vector<T> values(count);
  if (count != 0) std::memcpy(values.data(), raw.data(), count * sizeof(T));
  return values;
}

}  // namespace

std::size_t ModelIndex::read_count(std::string_view value) const {
  const auto found = reads.find(value);
  return found == reads.end() ? 0 : found->second;
}

const onnx::NodeProto* ModelIndex::producing_node(std::string_view value) const {
  const auto found = producer.find(value);
  return found == producer.end() ? nullptr : &graph().node(static_cast<int>(found->second));
}

Result<ModelIndex> index_model(std::string_view bytes) {
  if (bytes.size() > MAX_MODEL_BYTES) {
    return std::unexpected(unreadable("a model of " + std::to_string(bytes.size()) + " bytes is larger than the " +
                                      std::to_string(MAX_MODEL_BYTES >> 20) + " MiB the importer reads"));
  }
  ModelIndex index;
  if (!index.model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return std::unexpected(unreadable("not an ONNX model: the bytes do not parse as a ModelProto"));
  }
  if (!index.model.has_graph()) return std::unexpected(unreadable("not an ONNX model: it holds no graph"));
  std::optional<std::int64_t> opset;
  for (const onnx::OperatorSetIdProto& entry : index.model.opset_import()) {
    if (default_domain(entry.domain())) opset = entry.version();
  }
  if (!opset) return std::unexpected(unsupported("the model imports no opset of the default ONNX domain"));
  index.opset = *opset;

  const onnx::GraphProto& graph = index.graph();
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    if (!index.initializers.emplace(initializer.name(), &initializer).second) {
      return std::unexpected(unreadable("initializer \"" + initializer.name() + "\" is given twice"));
    }
  }
  for (int position = 0; position < graph.node_size(); ++position) {
    const onnx::NodeProto& node = graph.node(position);
    for (const std::string& input : node.input()) {
      if (!input.empty()) ++index.reads[input];
    }
    for (const std::string& output : node.output()) {
      if (output.empty()) continue;
      const bool initializer = index.initializers.contains(output);
      if (initializer || !index.producer.emplace(output, static_cast<std::size_t>(position)).second) {
        return std::unexpected(unreadable(node_text(node, static_cast<std::size_t>(position)) + ": value \"" + output +
                                          "\" is written twice"));
      }
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) ++index.reads[output.name()];
  return index;
}

Result<Constant> decode_tensor(const onnx::TensorProto& tensor, std::string_view what) {
  const std::string name(what);
  if (tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL) {
    return std::unexpected(
        unsupported(name + " keeps its data in an external file; save the model with its weights inside"));
  }
  Constant constant;
  std::size_t count = 1;
  for (const std::int64_t dimension : tensor.dims()) {
    if (dimension < 0) return std::unexpected(unreadable(name + " has a negative dimension"));
    const auto extent = static_cast<std::size_t>(dimension);
    if (extent != 0 && count > std::numeric_limits<std::size_t>::max() / extent) {
      return std::unexpected(unreadable(name + " has more elements than a machine word counts"));
    }
    count *= extent;
    constant.shape.push_back(extent);
  }
  const std::int32_t type = tensor.data_type();
  const std::string& raw = tensor.raw_data();
  const auto size_mismatch = [&](std::size_t given) {
    return unreadable(name + " holds " + std::to_string(given) + " values where its shape " +
                      velk_compiler::shape_text(constant.shape) + " needs " + std::to_string(count));
  };
  if (type == onnx::TensorProto_DataType_FLOAT) {
    if (tensor.has_raw_data()) {
      if (raw.size() / sizeof(float) != count || raw.size() % sizeof(float) != 0) {
        return std::unexpected(size_mismatch(raw.size() / sizeof(float)));
      }
      constant.floats = little_endian_values<float>(raw, count);
    } else {
      if (static_cast<std::size_t>(tensor.float_data_size()) != count) {
        return std::unexpected(size_mismatch(static_cast<std::size_t>(tensor.float_data_size())));
      }
      constant.floats.assign(tensor.float_data().begin(), tensor.float_data().end());
    }
    return constant;
  }
  if (type == onnx::TensorProto_DataType_INT64 || type == onnx::TensorProto_DataType_INT32) {
    constant.is_float = false;
    const std::size_t width = type == onnx::TensorProto_DataType_INT64 ? 8 : 4;
    if (tensor.has_raw_data()) {
      if (raw.size() / width != count || raw.size() % width != 0)
        return std::unexpected(size_mismatch(raw.size() / width));
      if (width == 8) {
        constant.integers = little_endian_values<std::int64_t>(raw, count);
      } else {
        const std::vector<std::int32_t> narrow = little_endian_values<std::int32_t>(raw, count);
        constant.integers.assign(narrow.begin(), narrow.end());
      }
    } else if (width == 8) {
      if (static_cast<std::size_t>(tensor.int64_data_size()) != count) {
        return std::unexpected(size_mismatch(static_cast<std::size_t>(tensor.int64_data_size())));
      }
      constant.integers.assign(tensor.int64_data().begin(), tensor.int64_data().end());
    } else {
      if (static_cast<std::size_t>(tensor.int32_data_size()) != count) {
        return std::unexpected(size_mismatch(static_cast<std::size_t>(tensor.int32_data_size())));
      }
      constant.integers.assign(tensor.int32_data().begin(), tensor.int32_data().end());
    }
    return constant;
  }
  return std::unexpected(unsupported(name + " has data type " + data_type_name(type) +
                                     "; only FLOAT tensors (and INT64 shapes) are imported"));
}

Result<Constant> constant_node_value(const onnx::NodeProto& node, std::size_t position) {
  const std::string place = node_text(node, position);
  if (node.attribute_size() != 1) {
    return std::unexpected(unreadable(place + ": a Constant node holds exactly one value attribute"));
  }
  const onnx::AttributeProto& attribute = node.attribute(0);
  Constant constant;
  if (attribute.name() == "value") return decode_tensor(attribute.t(), place + ": its value");
  if (attribute.name() == "value_float") {
    constant.floats = {attribute.f()};
  } else if (attribute.name() == "value_floats") {
    constant.floats.assign(attribute.floats().begin(), attribute.floats().end());
    constant.shape = {constant.floats.size()};
  } else if (attribute.name() == "value_int") {
    constant.is_float = false;
    constant.integers = {attribute.i()};
  } else if (attribute.name() == "value_ints") {
    constant.is_float = false;
    constant.integers.assign(attribute.ints().begin(), attribute.ints().end());
    constant.shape = {constant.integers.size()};
  } else {
    return std::unexpected(unsupported(place + ": a Constant of attribute " + attribute.name() +
                                       " is not imported; only float and integer tensors are"));
  }
  return constant;
}

std::string data_type_name(std::int32_t data_type) {
  if (onnx::TensorProto_DataType_IsValid(data_type)) {
    return onnx::TensorProto_DataType_Name(static_cast<onnx::TensorProto_DataType>(data_type));
  }
  return "number " + std::to_string(data_type);
}

std::string node_text(const onnx::NodeProto& node, std::size_t position) {
  std::string text = "node " + std::to_string(position) + " ";
  if (!node.name().empty()) return text + "\"" + node.name() + "\" (" + node.op_type() + ")";
  text += "(" + node.op_type() + ")";
  if (node.output_size() > 0) text += " writing \"" + node.output(0) + "\"";
  return text;
}

const onnx::AttributeProto* find_attribute(const onnx::NodeProto& node, std::string_view name) {
  for (const onnx::AttributeProto& attribute : node.attribute()) {
    if (attribute.name() == name) return &attribute;
  }
  return nullptr;
}

}  // namespace velk_onnx::detail
