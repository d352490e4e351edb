// The graph file. Reading goes through the graph builder, one declared tensor or operation
// at a time, so the builder's checks and messages are the file's; a builder refusal is
// placed at the operation that caused it. Writing checks its own work by reading the
// document back.
#include "velk_io/graph_json.hpp"

#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json_support.hpp"
#include "velk_compiler/layout.hpp"

namespace velk_io {
namespace {

using velk_compiler::Graph;
using velk_compiler::OpKind;
using velk_compiler::Shape;
using velk_compiler::TensorId;

// The operation kinds of the file, in the order of OpKind's variants: the number of operands
// each takes and the name of its one attribute, if any.
struct OperationKind {
  std::string_view name;
  std::size_t operands;
  std::string_view attribute;
};

constexpr OperationKind OPERATION_KINDS[] = {
    {"matmul", 2, ""},
    {"add", 2, ""},
    {"mul", 2, ""},
    {"reshape", 1, "shape"},
    {"transpose", 1, "permutation"},
    {"layer_norm", 1, "epsilon"},
    {"softmax", 1, "axis"},
    {"gelu", 1, ""},
};
constexpr std::string_view KIND_LIST = "matmul, add, mul, reshape, transpose, layer_norm, softmax, gelu";

const OperationKind* find_kind(std::string_view name) {
  for (const OperationKind& kind : OPERATION_KINDS) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

// The tensors defined so far, by name, for operands and outputs that name them.
using NameIndex = std::map<std::string, std::vector<TensorId>, std::less<>>;

std::string count_text(std::size_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::optional<TensorId> resolve_tensor(JsonReader& reader, const Node& node, const Graph& graph,
                                       const NameIndex& names) {
  if (reader.failed() || node.value == nullptr) return std::nullopt;
  if (reader.is_text(node)) {
    const std::string name = reader.text(node);
    const auto found = names.find(name);
    if (found == names.end()) {
      reader.fail(node, "unknown tensor \"" + name + "\"");
      return std::nullopt;
    }
    if (found->second.size() > 1) {
      reader.fail(node, "tensor name \"" + name + "\" is ambiguous (" + count_text(found->second.size(), "tensor") +
                            " have it); refer to the tensor by index");
      return std::nullopt;
    }
    return found->second.front();
  }
  if (!node.value->is_number()) {
    reader.fail(node, "expected a tensor name or index, found " + node.value->dump());
    return std::nullopt;
  }
  const auto index = reader.unsigned_as<std::size_t>(node);
  if (reader.failed()) return std::nullopt;
  if (index >= graph.tensors.size()) {
    reader.fail(node, "unknown tensor " + std::to_string(index) + " (" + count_text(graph.tensors.size(), "tensor") +
                          " defined so far)");
    return std::nullopt;
  }
  return TensorId{index};
}

Shape read_shape(JsonReader& reader, const Node& node) {
  Shape shape;
  for (const Node& dimension : reader.array(node)) shape.push_back(reader.unsigned_as<std::size_t>(dimension));
  return shape;
}

void read_tensor(JsonReader& reader, const Node& node, Graph& graph, NameIndex& names) {
  if (!reader.object(node, {"name", "shape", "kind"})) return;
  const std::string name = reader.text(reader.field(node, "name"));
  Shape shape = read_shape(reader, reader.field(node, "shape"));
  const Node kind_node = reader.field(node, "kind");
  const std::string kind = reader.text(kind_node);
  if (reader.failed()) return;
  TensorId id;
  if (kind == "input") {
    id = graph.input(name, std::move(shape));
  } else if (kind == "weight") {
    id = graph.weight(name, std::move(shape));
  } else {
    reader.fail(kind_node, "unknown tensor kind \"" + kind + "\" (expected \"input\" or \"weight\")");
    return;
  }
  names[name].push_back(id);
}

// The builder call for one operation; its operands are already resolved and counted.
[[nodiscard]] velk_compiler::Result<TensorId> build_operation(JsonReader& reader, const Node& node,
                                                              const OperationKind& kind, const std::string& name,
                                                              const std::vector<TensorId>& inputs, Graph& graph) {
  const Node attribute = kind.attribute.empty() ? Node{} : reader.field(node, kind.attribute);
  if (kind.name == "matmul") return graph.matmul(name, inputs[0], inputs[1]);
  if (kind.name == "add") return graph.add(name, inputs[0], inputs[1]);
  if (kind.name == "mul") return graph.mul(name, inputs[0], inputs[1]);
  if (kind.name == "gelu") return graph.gelu(name, inputs[0]);
  if (kind.name == "layer_norm") {
    const float epsilon = reader.float_number(attribute);
    if (reader.failed()) return TensorId{};
    return graph.layer_norm(name, inputs[0], epsilon);
  }
  if (kind.name == "softmax") {
    const auto axis = reader.unsigned_as<std::size_t>(attribute);
    if (reader.failed()) return TensorId{};
    return graph.softmax(name, inputs[0], axis);
  }
  Shape values = read_shape(reader, attribute);
  if (reader.failed()) return TensorId{};
  if (kind.name == "transpose") return graph.transpose(name, inputs[0], std::move(values));
  return graph.reshape(name, inputs[0], std::move(values));
}

void read_operation(JsonReader& reader, const Node& node, Graph& graph, NameIndex& names) {
  if (!reader.object(node, {"name", "kind", "inputs", "epsilon", "axis", "permutation", "shape"})) return;
  const Node kind_node = reader.field(node, "kind");
  const std::string kind_name = reader.text(kind_node);
  if (reader.failed()) return;
  const OperationKind* kind = find_kind(kind_name);
  if (kind == nullptr) {
    reader.fail(kind_node,
                "unknown operation kind \"" + kind_name + "\" (expected one of " + std::string(KIND_LIST) + ")");
    return;
  }
  for (const std::string_view attribute : {"epsilon", "axis", "permutation", "shape"}) {
    if (attribute != kind->attribute && reader.has(node, attribute)) {
      reader.fail(node.child(attribute), "not an attribute of " + kind_name);
    }
  }
  const std::string name = reader.text(reader.field(node, "name"));
  const Node inputs_node = reader.field(node, "inputs");
  std::vector<TensorId> inputs;
  for (const Node& operand : reader.array(inputs_node)) {
    if (const std::optional<TensorId> id = resolve_tensor(reader, operand, graph, names)) inputs.push_back(*id);
  }
  if (reader.failed()) return;
  if (inputs.size() != kind->operands) {
    reader.fail(inputs_node, kind_name + " takes " + count_text(kind->operands, "operand") + ", found " +
                                 std::to_string(inputs.size()));
    return;
  }
  const velk_compiler::Result<TensorId> result = build_operation(reader, node, *kind, name, inputs, graph);
  if (reader.failed()) return;
  if (!result) {
    reader.fail(node, result.error().message());
    return;
  }
  names[name].push_back(*result);
}

void read_outputs(JsonReader& reader, const Node& node, Graph& graph, const NameIndex& names) {
  for (const Node& output : reader.array(node)) {
    const std::optional<TensorId> id = resolve_tensor(reader, output, graph, names);
    if (!id) return;
    // The id was just resolved against this graph, so marking cannot be refused.
    if (auto marked = graph.mark_output(*id); !marked) reader.fail(output, marked.error().message());
  }
}

// A reference that reads back as the same tensor: its name when no other tensor of the graph
// has it, else its index.
Json tensor_reference(const Graph& graph, TensorId id, const std::map<std::string_view, std::size_t>& name_counts) {
  if (id.index < graph.tensors.size()) {
    const std::string& name = graph.tensors[id.index].name;
    if (name_counts.at(name) == 1) return name;
  }
  return id.index;
}

Json attribute_value(const OpKind& kind) {
  return std::visit(
      [](const auto& variant) -> Json {
        using Kind = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<Kind, velk_compiler::Reshape>) return variant.shape;
        if constexpr (std::is_same_v<Kind, velk_compiler::Transpose>) return variant.permutation;
        if constexpr (std::is_same_v<Kind, velk_compiler::LayerNorm>) return float_as_decimal(variant.epsilon);
        if constexpr (std::is_same_v<Kind, velk_compiler::Softmax>) return variant.axis;
        return nullptr;
      },
      kind);
}

Json graph_document(const Graph& graph) {
  std::map<std::string_view, std::size_t> name_counts;
  for (const velk_compiler::Tensor& tensor : graph.tensors) ++name_counts[tensor.name];

  Json tensors = Json::array();
  for (const velk_compiler::Tensor& tensor : graph.tensors) {
    if (tensor.producer) continue;
    // A marked output loses its declared kind; "input" reads back marked all the same.
    const std::string_view kind = tensor.kind == velk_compiler::TensorKind::Weight ? "weight" : "input";
    tensors.push_back(Json{{"name", tensor.name}, {"shape", tensor.shape}, {"kind", kind}});
  }
  Json operations = Json::array();
  for (const velk_compiler::Op& op : graph.ops) {
    Json inputs = Json::array();
    for (const TensorId input : op.inputs) inputs.push_back(tensor_reference(graph, input, name_counts));
    const std::string_view kind = velk_compiler::operation_name(op.kind);
    Json operation{{"name", op.name}, {"kind", kind}, {"inputs", std::move(inputs)}};
    const std::string_view attribute = OPERATION_KINDS[op.kind.index()].attribute;
    if (!attribute.empty()) operation[std::string(attribute)] = attribute_value(op.kind);
    operations.push_back(std::move(operation));
  }
  Json outputs = Json::array();
  for (const TensorId output : graph.outputs) outputs.push_back(tensor_reference(graph, output, name_counts));
  return Json{{"version", GRAPH_FORMAT_VERSION},
              {"tensors", std::move(tensors)},
              {"operations", std::move(operations)},
              {"outputs", std::move(outputs)}};
}

// Where a graph read back from its document first differs from the original.
IoError difference(const Graph& original, const Graph& read_back) {
  const std::string message = "the graph builder would not make this record again from the graph file";
  for (std::size_t i = 0; i < original.tensors.size(); ++i) {
    if (i >= read_back.tensors.size() || read_back.tensors[i] != original.tensors[i]) {
      return IoError{"tensor " + std::to_string(i) + " \"" + original.tensors[i].name + "\"", message};
    }
  }
  for (std::size_t i = 0; i < original.ops.size(); ++i) {
    if (i >= read_back.ops.size() || read_back.ops[i] != original.ops[i]) {
      return IoError{"operation " + std::to_string(i) + " \"" + original.ops[i].name + "\"", message};
    }
  }
  if (read_back.outputs != original.outputs) return IoError{"outputs", message};
  return IoError{"graph", message};
}

}  // namespace

Result<Graph> read_graph_json(std::string_view text) {
  const Result<Json> document = parse_json(text);
  if (!document) return std::unexpected(document.error());
  JsonReader reader;
  const Node root{&*document, ""};
  reader.object(root, {"version", "tensors", "operations", "outputs"});
  reader.version(root, GRAPH_FORMAT_VERSION);
  Graph graph;
  NameIndex names;
  for (const Node& tensor : reader.array(reader.field(root, "tensors"))) read_tensor(reader, tensor, graph, names);
  for (const Node& op : reader.array(reader.field(root, "operations"))) read_operation(reader, op, graph, names);
  read_outputs(reader, reader.field(root, "outputs"), graph, names);
  if (reader.failed()) return std::unexpected(reader.error());
  return graph;
}

Result<std::string> write_graph_json(const Graph& graph) {
  std::string text = format_json(graph_document(graph));
  const Result<Graph> read_back = read_graph_json(text);
  if (!read_back) {
    return std::unexpected(IoError{
        "graph", "cannot be written exactly: its graph file fails to read back at " + to_string(read_back.error())});
  }
  if (*read_back != graph) return std::unexpected(difference(graph, *read_back));
  return text;
}

}  // namespace velk_io
