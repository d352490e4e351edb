// The import: one walk over the model's nodes in file order, each node (or each matched
// subgraph) appended to the graph through the graph builder, so that every shape rule of the
// builder applies. Constants (initializers, Constant nodes) stay values of the import until an
// operation reads them; they then become weights, broadcast to the full shape where needed.
#include "velk_onnx/onnx_import.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <tuple>
#include <utility>
#include <variant>

#include "model_index.hpp"
#include "patterns.hpp"
#include "velk_io/files.hpp"

namespace velk_onnx {
namespace {

using detail::Constant;
using detail::ModelIndex;
using detail::PatternMatch;
using velk_compiler::Graph;
using velk_compiler::Shape;
using velk_compiler::shape_text;
using velk_compiler::TensorId;

OnnxError unsupported(std::string message) { return OnnxError{OnnxError::Kind::Unsupported, std::move(message)}; }

// A value the graph computes or is given. `shape` is the value's shape in the model; with
// `batch_dropped` the graph's tensor lacks its leading dimension of 1.
struct Value {
  TensorId tensor;
  Shape shape;
  bool batch_dropped = false;
};

Shape graph_shape(const Value& value) {
  if (!value.batch_dropped) return value.shape;
  return Shape(value.shape.begin() + 1, value.shape.end());
}

// An operand of a node: a value of the graph, or a constant of the import.
struct Operand {
  std::string name;
  std::optional<Value> value;
  const Constant* constant = nullptr;
};

struct Import {
  const ModelIndex& index;
  const ImportOptions& options;
  ImportedModel result{};
  std::map<std::string, Value, std::less<>> values{};
  // Decoded initializers, Constant nodes' values and reshaped constants, by value name.
  std::map<std::string, Constant, std::less<>> constants{};
  // Every value name of the model, and every name the graph's tensors have.
  std::set<std::string, std::less<>> reserved{};
  std::set<std::string, std::less<>> taken{};
  // The weights made of constants, by constant name, shape in the model and dropped batch.
  std::map<std::tuple<std::string, Shape, bool>, Value> weights_made{};
  std::size_t broadcast_values = 0;
  // The erf-form GELUs imported as the tanh form, as node texts.
  std::vector<std::string> erf_gelus{};
};

// The node a message is about, with how messages name it.
struct NodeContext {
  const onnx::NodeProto& node;
  std::size_t position;
  std::string text;
};

OnnxError refuse(const NodeContext& context, const std::string& what) {
  return unsupported(context.text + ": " + what);
}

std::string dims_text(const Shape& shape) {
  std::string text;
  for (std::size_t i = 0; i < shape.size(); ++i) text += (i == 0 ? "" : "x") + std::to_string(shape[i]);
  return text.empty() ? "scalar" : text;
}

// `wanted`, or `wanted_2`, `wanted_3`, … when a tensor or a model value has that name.
std::string unique_name(Import& state, const std::string& wanted) {
  std::string name = wanted;
  for (std::size_t suffix = 2; state.taken.contains(name) || state.reserved.contains(name); ++suffix) {
    name = wanted + "_" + std::to_string(suffix);
  }
  state.taken.insert(name);
  return name;
}

std::optional<std::size_t> element_count(std::span<const std::size_t> shape) {
  return velk_compiler::checked_elements(shape);
}

// The constant's values broadcast (numpy's rules, dimensions aligned at the end) to `target`,
// or nothing when it does not broadcast to exactly that shape.
std::optional<std::vector<float>> broadcast_to(const Constant& constant, const Shape& target, std::size_t count) {
  if (constant.shape.size() > target.size()) return std::nullopt;
  const std::size_t offset = target.size() - constant.shape.size();
  for (std::size_t axis = 0; axis < constant.shape.size(); ++axis) {
    const std::size_t extent = constant.shape[axis];
    if (extent != 1 && extent != target[offset + axis]) return std::nullopt;
  }
  std::vector<float> values(count);
  for (std::size_t flat = 0; flat < count; ++flat) {
    // Walk the target's index from the last axis, mapping each coordinate onto the constant.
    std::size_t rest = flat;
    std::size_t source = 0;
    std::size_t stride = 1;
    for (std::size_t axis = target.size(); axis-- > 0;) {
      const std::size_t coordinate = rest % target[axis];
      rest /= target[axis];
      if (axis >= offset) {
        const std::size_t extent = constant.shape[axis - offset];
        source += (extent == 1 ? 0 : coordinate) * stride;
        stride *= extent;
      }
    }
    values[flat] = constant.floats[source];
  }
  return values;
}

Result<Value> built(const NodeContext& context, velk_compiler::Result<TensorId> tensor, Shape shape, bool dropped) {
  if (!tensor) return std::unexpected(refuse(context, "the graph refuses it: " + tensor.error().message()));
  return Value{*tensor, std::move(shape), dropped};
}

// The constant as a weight of the given shape in the model, broadcast where it is smaller.
Result<Value> weight_of(Import& state, const NodeContext& context, const Operand& operand, const Shape& shape,
                        bool dropped) {
  const Constant& constant = *operand.constant;
  if (!constant.is_float) {
    return std::unexpected(
        refuse(context, "operand \"" + operand.name + "\" is an integer constant; only float32 values are computed"));
  }
  const auto key = std::tuple{operand.name, shape, dropped};
  if (const auto made = state.weights_made.find(key); made != state.weights_made.end()) return made->second;
  const std::optional<std::size_t> count = element_count(shape);
  const bool broadcast = constant.shape != shape;
  if (!count || (broadcast && *count > MAX_MATERIALISED_VALUES - state.broadcast_values)) {
    return std::unexpected(refuse(context, "broadcasting the constant \"" + operand.name + "\" to " +
                                               shape_text(shape) +
                                               " would make more values than the importer's limit of " +
                                               std::to_string(MAX_MATERIALISED_VALUES)));
  }
  std::optional<std::vector<float>> values = broadcast_to(constant, shape, *count);
  if (!values) {
    return std::unexpected(refuse(context, "the constant \"" + operand.name + "\" of shape " +
                                               shape_text(constant.shape) + " does not broadcast to " +
                                               shape_text(shape)));
  }
  if (broadcast) state.broadcast_values += *count;
  // A constant read at its own shape keeps its name, unless a tensor has it already.
  const bool own_name = !broadcast && !state.taken.contains(operand.name);
  const std::string name = own_name
                               ? *state.taken.insert(operand.name).first
                               : unique_name(state, broadcast ? operand.name + "_" + dims_text(shape) : operand.name);
  Value value{TensorId{}, shape, dropped};
  value.tensor = state.result.graph.weight(name, graph_shape(value));
  state.result.weights.emplace(name, std::move(*values));
  state.weights_made.emplace(key, value);
  return value;
}

// A constant read at its own shape (a matmul operand), or the value itself.
Result<Value> tensor_of(Import& state, const NodeContext& context, const Operand& operand) {
  if (operand.value) return *operand.value;
  return weight_of(state, context, operand, operand.constant->shape, false);
}

Result<Operand> operand(Import& state, const NodeContext& context, int position) {
  if (position >= context.node.input_size() || context.node.input(position).empty()) {
    return std::unexpected(refuse(context, "operand " + std::to_string(position) + " is missing"));
  }
  const std::string& name = context.node.input(position);
  if (const auto value = state.values.find(name); value != state.values.end()) return Operand{name, value->second};
  if (auto constant = state.constants.find(name); constant != state.constants.end()) {
    return Operand{name, std::nullopt, &constant->second};
  }
  if (const auto initializer = state.index.initializers.find(name); initializer != state.index.initializers.end()) {
    auto decoded = detail::decode_tensor(*initializer->second, "initializer \"" + name + "\"");
    if (!decoded) return std::unexpected(decoded.error());
    const auto stored = state.constants.emplace(name, std::move(*decoded)).first;
    return Operand{name, std::nullopt, &stored->second};
  }
  return std::unexpected(
      refuse(context, "it reads \"" + name + "\", which no input, initializer or earlier node gives"));
}

Result<Value> computed_operand(Import& state, const NodeContext& context, int position) {
  auto read = operand(state, context, position);
  if (!read) return std::unexpected(read.error());
  if (!read->value) {
    return std::unexpected(refuse(context, "its operand \"" + read->name +
                                               "\" is a constant; export with constant folding so that no node "
                                               "computes on constants alone"));
  }
  return *read->value;
}

// Add or Mul: operands of equal shape, or one of them a constant that broadcasts to the other.
Result<Value> elementwise(Import& state, const NodeContext& context, bool add, const std::string& name,
                          const Operand& left, const Operand& right) {
  if (!left.value && !right.value) {
    return std::unexpected(refuse(context, "both operands are constants; export with constant folding"));
  }
  Value a;
  Value b;
  if (left.value && right.value) {
    a = *left.value;
    b = *right.value;
    if (a.shape != b.shape) {
      return std::unexpected(refuse(context, "its operands of shapes " + shape_text(a.shape) + " and " +
                                                 shape_text(b.shape) +
                                                 " would broadcast, and only a constant operand may broadcast"));
    }
    if (a.batch_dropped != b.batch_dropped) {
      return std::unexpected(refuse(context, "only one of its operands lost its batch dimension to --drop-batch"));
    }
  } else {
    const Value& computed = left.value ? *left.value : *right.value;
    auto weight = weight_of(state, context, left.value ? right : left, computed.shape, computed.batch_dropped);
    if (!weight) return std::unexpected(weight.error());
    a = left.value ? computed : *weight;
    b = left.value ? *weight : computed;
  }
  Graph& graph = state.result.graph;
  return built(context, add ? graph.add(name, a.tensor, b.tensor) : graph.mul(name, a.tensor, b.tensor), a.shape,
               a.batch_dropped);
}

std::optional<std::int64_t> integer_attribute(const onnx::NodeProto& node, std::string_view name) {
  const onnx::AttributeProto* attribute = detail::find_attribute(node, name);
  if (attribute == nullptr) return std::nullopt;
  return attribute->i();
}

std::optional<float> float_attribute(const onnx::NodeProto& node, std::string_view name) {
  const onnx::AttributeProto* attribute = detail::find_attribute(node, name);
  if (attribute == nullptr) return std::nullopt;
  return attribute->f();
}

// An axis of a value of `rank` axes, negative ones counted from the end.
Result<std::size_t> axis_of(const NodeContext& context, std::int64_t axis, std::size_t rank) {
  const auto signed_rank = static_cast<std::int64_t>(rank);
  if (axis < -signed_rank || axis >= signed_rank) {
    return std::unexpected(refuse(
        context, "axis " + std::to_string(axis) + " is outside the " + std::to_string(rank) + " axes of its operand"));
  }
  return static_cast<std::size_t>(axis < 0 ? axis + signed_rank : axis);
}

Result<Value> matmul_of(Import& state, const NodeContext& context, const std::string& name, const Value& a,
                        const Value& b) {
  const Shape left = graph_shape(a);
  const Shape right = graph_shape(b);
  if (left.size() != 2 || right.size() != 2 || b.batch_dropped) {
    std::string what = "a MatMul of " + shape_text(a.shape) + " by " + shape_text(b.shape) +
                       ": only two-dimensional operands are imported";
    if (!state.options.drop_batch && a.shape.size() == 3 && a.shape[0] == 1 && b.shape.size() == 2) {
      what += "; --drop-batch drops the leading dimension of 1";
    }
    return std::unexpected(refuse(context, what));
  }
  Shape shape{left[0], right[1]};
  if (a.batch_dropped) shape.insert(shape.begin(), 1);
  return built(context, state.result.graph.matmul(name, a.tensor, b.tensor), std::move(shape), a.batch_dropped);
}

Result<Value> transpose_of(Import& state, const NodeContext& context, const std::string& name, const Value& value,
                           const std::vector<std::size_t>& permutation) {
  std::vector<std::size_t> sorted = permutation;
  std::ranges::sort(sorted);
  bool every_axis_once = sorted.size() == value.shape.size();
  for (std::size_t axis = 0; axis < sorted.size(); ++axis) every_axis_once = every_axis_once && sorted[axis] == axis;
  if (!every_axis_once) {
    return std::unexpected(refuse(
        context, "its perm is no permutation of the " + std::to_string(value.shape.size()) + " axes of its operand"));
  }
  Shape shape;
  for (const std::size_t axis : permutation) shape.push_back(value.shape[axis]);
  std::vector<std::size_t> graph_permutation = permutation;
  if (value.batch_dropped) {
    if (permutation.empty() || permutation[0] != 0) {
      return std::unexpected(refuse(context, "it moves the batch dimension that --drop-batch dropped"));
    }
    graph_permutation.clear();
    for (std::size_t i = 1; i < permutation.size(); ++i) graph_permutation.push_back(permutation[i] - 1);
  }
  return built(context, state.result.graph.transpose(name, value.tensor, graph_permutation), std::move(shape),
               value.batch_dropped);
}

// Gemm: alpha * A' * B' + beta * C with A' and B' transposed on request; alpha and beta 1.
Result<Value> import_gemm(Import& state, const NodeContext& context) {
  for (const char* factor : {"alpha", "beta"}) {
    if (const std::optional<float> value = float_attribute(context.node, factor); value && *value != 1.0F) {
      return std::unexpected(refuse(context, std::string(factor) + " is " + std::to_string(*value) +
                                                 "; only 1 is imported (fold the factor into a weight)"));
    }
  }
  const std::string& out = context.node.output(0);
  std::array<Value, 2> factors;
  for (const int side : {0, 1}) {
    auto read = operand(state, context, side);
    if (!read) return std::unexpected(read.error());
    const bool transposed = integer_attribute(context.node, side == 0 ? "transA" : "transB").value_or(0) != 0;
    if (read->constant && read->constant->is_float && transposed && read->constant->shape.size() == 2) {
      // A transposed constant is folded: the weight holds it transposed.
      const Constant& source = *read->constant;
      Constant folded{{source.shape[1], source.shape[0]}, true, std::vector<float>(source.floats.size()), {}};
      for (std::size_t row = 0; row < source.shape[0]; ++row) {
        for (std::size_t column = 0; column < source.shape[1]; ++column) {
          folded.floats[column * source.shape[0] + row] = source.floats[row * source.shape[1] + column];
        }
      }
      // Under a name no model value has, so that it never stands in for one.
      std::string name = read->name + "_transposed";
      for (std::size_t suffix = 2; state.reserved.contains(name) || state.constants.contains(name); ++suffix) {
        name = read->name + "_transposed_" + std::to_string(suffix);
      }
      const auto stored = state.constants.emplace(name, std::move(folded)).first;
      read = Operand{name, std::nullopt, &stored->second};
    }
    auto tensor = tensor_of(state, context, *read);
    if (!tensor) return std::unexpected(tensor.error());
    if (read->value && transposed) {
      tensor = transpose_of(state, context, unique_name(state, out + (side == 0 ? "_a" : "_b") + "_transposed"),
                            *tensor, {1, 0});
      if (!tensor) return std::unexpected(tensor.error());
    }
    factors[static_cast<std::size_t>(side)] = *tensor;
  }
  const bool with_bias = context.node.input_size() > 2 && !context.node.input(2).empty();
  auto product =
      matmul_of(state, context, with_bias ? unique_name(state, out + "_product") : out, factors[0], factors[1]);
  if (!product || !with_bias) return product;
  auto bias = operand(state, context, 2);
  if (!bias) return std::unexpected(bias.error());
  return elementwise(state, context, true, out, Operand{out + "_product", *product}, *bias);
}

// The target shape of a Reshape, with ONNX's rules: 0 copies the operand's dimension (unless
// allowzero), -1 takes what is left.
Result<Shape> reshape_target(const NodeContext& context, const Shape& from, const Constant& target, bool allow_zero) {
  if (target.is_float) return std::unexpected(refuse(context, "its shape operand is not an integer tensor"));
  const std::optional<std::size_t> total = element_count(from);
  Shape shape;
  std::optional<std::size_t> inferred;
  std::size_t known = 1;
  for (std::size_t i = 0; i < target.integers.size(); ++i) {
    const std::int64_t entry = target.integers[i];
    std::size_t extent = 0;
    if (entry == -1) {
      if (inferred) return std::unexpected(refuse(context, "its shape has more than one -1"));
      inferred = i;
      extent = 1;
    } else if (entry == 0 && !allow_zero) {
      if (i >= from.size()) {
        return std::unexpected(refuse(context, "its shape's 0 at position " + std::to_string(i) +
                                                   " copies a dimension that the operand " + shape_text(from) +
                                                   " does not have"));
      }
      extent = from[i];
    } else if (entry <= 0) {
      return std::unexpected(refuse(context, "its shape entry " + std::to_string(entry) + " at position " +
                                                 std::to_string(i) + " makes no dimension the graph can hold"));
    } else {
      extent = static_cast<std::size_t>(entry);
    }
    if (extent != 0 && known > std::numeric_limits<std::size_t>::max() / extent) {
      return std::unexpected(refuse(context, "its shape has more elements than a machine word counts"));
    }
    known *= extent;
    shape.push_back(extent);
  }
  if (inferred) {
    if (!total || known == 0 || *total % known != 0) {
      return std::unexpected(
          refuse(context, "its shape's -1 cannot be inferred: " + shape_text(from) + " does not divide into it"));
    }
    shape[*inferred] = *total / known;
  } else if (total != known) {
    return std::unexpected(
        refuse(context, "it reshapes " + shape_text(from) + " into a shape of " + std::to_string(known) + " elements"));
  }
  return shape;
}

Result<void> import_reshape(Import& state, const NodeContext& context) {
  auto data = operand(state, context, 0);
  if (!data) return std::unexpected(data.error());
  auto target = operand(state, context, 1);
  if (!target) return std::unexpected(target.error());
  if (!target->constant) {
    return std::unexpected(
        refuse(context, "its target shape is computed by the model; only a constant shape is imported"));
  }
  const bool allow_zero = integer_attribute(context.node, "allowzero").value_or(0) != 0;
  const Shape& from = data->value ? data->value->shape : data->constant->shape;
  auto shape = reshape_target(context, from, *target->constant, allow_zero);
  if (!shape) return std::unexpected(shape.error());
  const std::string& out = context.node.output(0);
  state.taken.insert(out);
  if (data->constant) {
    Constant reshaped = *data->constant;
    reshaped.shape = *shape;
    state.constants.insert_or_assign(out, std::move(reshaped));
    return {};
  }
  const Value& value = *data->value;
  const bool dropped = value.batch_dropped && !shape->empty() && (*shape)[0] == 1;
  Value result{TensorId{}, *shape, dropped};
  auto made = built(context, state.result.graph.reshape(out, value.tensor, graph_shape(result)), *shape, dropped);
  if (!made) return std::unexpected(made.error());
  state.values.insert_or_assign(out, *made);
  return {};
}

Result<Value> import_transpose(Import& state, const NodeContext& context) {
  auto value = computed_operand(state, context, 0);
  if (!value) return std::unexpected(value.error());
  std::vector<std::size_t> permutation;
  if (const onnx::AttributeProto* perm = detail::find_attribute(context.node, "perm")) {
    for (const std::int64_t axis : perm->ints()) {
      if (axis < 0) return std::unexpected(refuse(context, "its perm holds the negative axis " + std::to_string(axis)));
      permutation.push_back(static_cast<std::size_t>(axis));
    }
  } else {
    for (std::size_t axis = value->shape.size(); axis-- > 0;) permutation.push_back(axis);
  }
  return transpose_of(state, context, context.node.output(0), *value, permutation);
}

Result<Value> softmax_of(Import& state, const NodeContext& context, const std::string& name, const Value& value,
                         std::int64_t raw_axis) {
  auto axis = axis_of(context, raw_axis, value.shape.size());
  if (!axis) return std::unexpected(axis.error());
  if (value.batch_dropped && *axis == 0) {
    return std::unexpected(refuse(context, "it normalises over the batch dimension that --drop-batch dropped"));
  }
  const std::size_t graph_axis = *axis - (value.batch_dropped ? 1 : 0);
  return built(context, state.result.graph.softmax(name, value.tensor, graph_axis), value.shape, value.batch_dropped);
}

Result<Value> import_softmax(Import& state, const NodeContext& context) {
  auto value = computed_operand(state, context, 0);
  if (!value) return std::unexpected(value.error());
  const bool flattening = state.index.opset < 13;
  const std::int64_t raw_axis = integer_attribute(context.node, "axis").value_or(flattening ? 1 : -1);
  if (flattening) {
    auto axis = axis_of(context, raw_axis, value->shape.size());
    if (!axis) return std::unexpected(axis.error());
    if (*axis + 1 != value->shape.size()) {
      return std::unexpected(refuse(context, "a Softmax of opset " + std::to_string(state.index.opset) +
                                                 " normalises all axes from " + std::to_string(*axis) +
                                                 " on as one, which only the last axis matches; export with opset 13 "
                                                 "or later"));
    }
  }
  return softmax_of(state, context, context.node.output(0), *value, raw_axis);
}

bool all_equal(const Operand& operand, float expected) {
  return operand.constant != nullptr && operand.constant->is_float &&
         std::ranges::all_of(operand.constant->floats, [&](float v) { return v == expected; });
}

// LayerNormalization over the axes from `axis` on: the graph's layer norm over the last axis,
// through reshapes to rows where the axes are several, then the scale and bias as Mul and Add
// where they are not ones and zeros.
Result<Value> import_layer_norm(Import& state, const NodeContext& context) {
  for (int extra = 1; extra < context.node.output_size(); ++extra) {
    const std::string& output = context.node.output(extra);
    if (!output.empty() && state.index.read_count(output) > 0) {
      return std::unexpected(
          refuse(context, "its output \"" + output + "\" (Mean or InvStdDev) is read; only Y is imported"));
    }
  }
  if (const std::optional<std::int64_t> stash = integer_attribute(context.node, "stash_type"); stash && *stash != 1) {
    return std::unexpected(
        refuse(context, "stash_type " + std::to_string(*stash) + " is not imported; only 1 (float32)"));
  }
  auto value = computed_operand(state, context, 0);
  if (!value) return std::unexpected(value.error());
  auto scale = operand(state, context, 1);
  if (!scale) return std::unexpected(scale.error());
  std::optional<Operand> bias;
  if (context.node.input_size() > 2 && !context.node.input(2).empty()) {
    auto read = operand(state, context, 2);
    if (!read) return std::unexpected(read.error());
    bias = std::move(*read);
  }
  auto axis = axis_of(context, integer_attribute(context.node, "axis").value_or(-1), value->shape.size());
  if (!axis) return std::unexpected(axis.error());
  const float epsilon = float_attribute(context.node, "epsilon").value_or(1e-5F);
  if (!std::isfinite(epsilon) || epsilon < 0.0F) {
    return std::unexpected(
        refuse(context, "its epsilon " + std::to_string(epsilon) + " is no finite number of at least 0"));
  }

  const Shape shape = graph_shape(*value);
  // With the batch dropped, axis 0 still means every axis: the dropped one holds one element.
  const std::size_t first = value->batch_dropped ? std::max<std::size_t>(*axis, 1) - 1 : *axis;
  const bool rows = first + 1 != shape.size();
  const bool scaled = !all_equal(*scale, 1.0F);
  const bool biased = bias && !all_equal(*bias, 0.0F);
  const std::string& out = context.node.output(0);
  const auto step_name = [&](bool last, const char* suffix) { return last ? out : unique_name(state, out + suffix); };
  Graph& graph = state.result.graph;

  Value current = *value;
  if (rows) {
    const std::optional<std::size_t> outer = element_count(std::span(shape).first(first));
    const std::optional<std::size_t> inner = element_count(std::span(shape).subspan(first));
    if (!outer || !inner) {
      return std::unexpected(
          refuse(context, "its operand " + shape_text(value->shape) + " has more elements than a machine word counts"));
    }
    auto reshaped = built(context, graph.reshape(step_name(false, "_rows"), current.tensor, {*outer, *inner}),
                          current.shape, current.batch_dropped);
    if (!reshaped) return reshaped;
    current = *reshaped;
  }
  auto normalised =
      built(context, graph.layer_norm(step_name(!rows && !scaled && !biased, "_normalised"), current.tensor, epsilon),
            current.shape, current.batch_dropped);
  if (!normalised) return normalised;
  current = *normalised;
  if (rows) {
    auto restored =
        built(context, graph.reshape(step_name(!scaled && !biased, "_normalised_rows"), current.tensor, shape),
              current.shape, current.batch_dropped);
    if (!restored) return restored;
    current = *restored;
  }
  if (scaled) {
    auto product = elementwise(state, context, false, step_name(!biased, "_scaled"), Operand{out, current}, *scale);
    if (!product) return product;
    current = *product;
  }
  if (biased) return elementwise(state, context, true, out, Operand{out, current}, *bias);
  return current;
}

Result<Value> import_pattern(Import& state, const NodeContext& context, const PatternMatch& match) {
  const auto found = state.values.find(match.operand);
  if (found == state.values.end()) {
    return std::unexpected(refuse(context, "it computes on \"" + match.operand + "\", which is no computed value"));
  }
  const Value& value = found->second;
  const std::string& out = context.node.output(0);
  if (match.kind == PatternMatch::Kind::Softmax) return softmax_of(state, context, out, value, match.axis);
  if (match.kind == PatternMatch::Kind::GeluErf) {
    if (!state.options.gelu_erf_as_tanh) {
      const detail::GeluFormDifference difference = detail::gelu_form_difference();
      char largest[32];
      std::snprintf(largest, sizeof largest, "%.1e", static_cast<double>(difference.largest));
      return std::unexpected(
          refuse(context,
                 std::string("it ends a GELU in the erf form (nn.GELU()), which differs from the graph's tanh form by "
                             "up to ") +
                     largest +
                     "; export nn.GELU(approximate=\"tanh\"), or import it as the tanh form with --gelu-erf-as-tanh"));
    }
    state.erf_gelus.push_back(context.text);
  }
  return built(context, state.result.graph.gelu(out, value.tensor), value.shape, value.batch_dropped);
}

const char* const IMPORTED_OPS =
    "the importer maps Add, Gemm, Identity, LayerNormalization, MatMul, Mul, Reshape, Softmax and Transpose, "
    "GELU written as Mul, Add and Tanh (or Erf) with its constants, and Softmax written as ReduceMax, Sub, Exp, "
    "ReduceSum and Div";

Result<void> import_node(Import& state, const NodeContext& context, const PatternMatch* match) {
  const onnx::NodeProto& node = context.node;
  const std::string& type = node.op_type();
  if (!node.domain().empty() && node.domain() != "ai.onnx") {
    return std::unexpected(
        refuse(context, "op type " + type + " of domain " + node.domain() + " is not imported; " + IMPORTED_OPS));
  }
  if (node.output_size() < 1 || node.output(0).empty()) return std::unexpected(refuse(context, "it writes no value"));
  const std::string& out = node.output(0);
  if (type == "Constant") {
    auto constant = detail::constant_node_value(node, context.position);
    if (!constant) return std::unexpected(constant.error());
    state.constants.insert_or_assign(out, std::move(*constant));
    return {};
  }
  if (type == "Identity") {
    auto read = operand(state, context, 0);
    if (!read) return std::unexpected(read.error());
    if (read->value) {
      state.values.insert_or_assign(out, *read->value);
    } else {
      state.constants.insert_or_assign(out, *read->constant);
    }
    return {};
  }
  if (type == "Reshape") return import_reshape(state, context);

  state.taken.insert(out);
  Result<Value> value;
  if (match != nullptr) {
    value = import_pattern(state, context, *match);
  } else if (type == "Add" || type == "Mul") {
    auto left = operand(state, context, 0);
    if (!left) return std::unexpected(left.error());
    auto right = operand(state, context, 1);
    if (!right) return std::unexpected(right.error());
    value = elementwise(state, context, type == "Add", out, *left, *right);
  } else if (type == "MatMul") {
    std::array<Value, 2> factors;
    for (const int side : {0, 1}) {
      auto read = operand(state, context, side);
      if (!read) return std::unexpected(read.error());
      auto tensor = tensor_of(state, context, *read);
      if (!tensor) return std::unexpected(tensor.error());
      factors[static_cast<std::size_t>(side)] = *tensor;
    }
    value = matmul_of(state, context, out, factors[0], factors[1]);
  } else if (type == "Gemm") {
    value = import_gemm(state, context);
  } else if (type == "Transpose") {
    value = import_transpose(state, context);
  } else if (type == "Softmax") {
    value = import_softmax(state, context);
  } else if (type == "LayerNormalization") {
    value = import_layer_norm(state, context);
  } else {
    return std::unexpected(refuse(context, "op type " + type + " is not imported; " + IMPORTED_OPS));
  }
  if (!value) return std::unexpected(value.error());
  state.values.insert_or_assign(out, *value);
  return {};
}

Result<void> declare_inputs(Import& state) {
  for (const onnx::ValueInfoProto& input : state.index.graph().input()) {
    const std::string& name = input.name();
    if (state.index.initializers.contains(name)) continue;  // a weight with a default, as older models list them
    const std::string place = "input \"" + name + "\"";
    if (!input.type().has_tensor_type()) return std::unexpected(unsupported(place + " is not a tensor"));
    const onnx::TypeProto_Tensor& type = input.type().tensor_type();
    if (type.elem_type() != onnx::TensorProto_DataType_FLOAT) {
      return std::unexpected(unsupported(place + " has data type " + detail::data_type_name(type.elem_type()) +
                                         "; only FLOAT inputs are imported"));
    }
    if (!type.has_shape()) return std::unexpected(unsupported(place + " has no shape; export it with a fixed shape"));
    Shape shape;
    for (int axis = 0; axis < type.shape().dim_size(); ++axis) {
      const onnx::TensorShapeProto_Dimension& dimension = type.shape().dim(axis);
      if (!dimension.has_dim_value()) {
        return std::unexpected(unsupported(place + ": dimension " + std::to_string(axis) + " is dynamic" +
                                           (dimension.has_dim_param() ? " (\"" + dimension.dim_param() + "\")" : "") +
                                           "; export it with a fixed shape"));
      }
      if (dimension.dim_value() <= 0) {
        return std::unexpected(unsupported(place + ": dimension " + std::to_string(axis) + " is " +
                                           std::to_string(dimension.dim_value()) +
                                           "; the graph holds no empty tensor"));
      }
      shape.push_back(static_cast<std::size_t>(dimension.dim_value()));
    }
    if (shape.empty())
      return std::unexpected(unsupported(place + " is a scalar; the graph's tensors have a dimension"));
    const bool dropped = state.options.drop_batch;
    if (dropped && (shape.size() < 2 || shape[0] != 1)) {
      return std::unexpected(unsupported("--drop-batch: " + place + " of shape " + shape_text(shape) +
                                         " has no leading dimension of 1 to drop"));
    }
    Value value{TensorId{}, shape, dropped};
    state.taken.insert(name);
    value.tensor = state.result.graph.input(name, graph_shape(value));
    state.values.emplace(name, value);
  }
  return {};
}

// An output reached through Identity nodes is a tensor of another name; the operation that
// computes it takes the output's name (a model value name no tensor has, since Identity makes no
// tensor), unless that tensor is an output under its own name too.
void name_after_output(Import& state, TensorId tensor, const std::string& output) {
  Graph& graph = state.result.graph;
  velk_compiler::Tensor& computed = graph.tensors[tensor.index];
  if (computed.name == output || !computed.producer || state.taken.contains(output)) return;
  for (const onnx::ValueInfoProto& other : state.index.graph().output()) {
    if (other.name() == computed.name) return;
  }
  state.taken.insert(output);
  computed.name = output;
  graph.ops[computed.producer->index].name = output;
}

Result<void> mark_outputs(Import& state) {
  for (const onnx::ValueInfoProto& output : state.index.graph().output()) {
    const std::string place = "output \"" + output.name() + "\"";
    const auto value = state.values.find(output.name());
    if (value == state.values.end()) {
      if (state.constants.contains(output.name()) || state.index.initializers.contains(output.name())) {
        return std::unexpected(unsupported(place + " is a constant; the graph's outputs are computed"));
      }
      return std::unexpected(unsupported(place + " is written by no node"));
    }
    if (auto marked = state.result.graph.mark_output(value->second.tensor); !marked) {
      return std::unexpected(unsupported(place + ": " + marked.error().message()));
    }
    name_after_output(state, value->second.tensor, output.name());
  }
  return {};
}

// The same graph with its declared tensors (inputs and weights) numbered first, as a graph file
// numbers them; the operations keep their order.
Graph declared_first(Graph graph) {
  std::vector<std::size_t> number(graph.tensors.size());
  std::size_t next = 0;
  for (const bool computed : {false, true}) {
    for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
      if (graph.tensors[i].producer.has_value() == computed) number[i] = next++;
    }
  }
  std::vector<velk_compiler::Tensor> tensors(graph.tensors.size());
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    tensors[number[i]] = std::move(graph.tensors[i]);
    tensors[number[i]].id = TensorId{number[i]};
  }
  graph.tensors = std::move(tensors);
  const auto renumber = [&](TensorId& id) { id = TensorId{number[id.index]}; };
  for (velk_compiler::Op& op : graph.ops) {
    std::ranges::for_each(op.inputs, renumber);
    renumber(op.output);
  }
  std::ranges::for_each(graph.outputs, renumber);
  return graph;
}

std::string erf_note(const std::vector<std::string>& nodes) {
  const detail::GeluFormDifference difference = detail::gelu_form_difference();
  char figures[96];
  std::snprintf(figures, sizeof figures, "they differ by at most %.1e (at x = %.3f)",
                static_cast<double>(difference.largest), static_cast<double>(difference.at));
  std::string list;
  for (std::size_t i = 0; i < nodes.size(); ++i) list += (i == 0 ? "" : ", ") + nodes[i];
  return "GELU in the erf form imported as the tanh form at " + list + "; " + figures;
}

}  // namespace

std::string to_string(const OnnxError& error) { return error.message; }
std::ostream& operator<<(std::ostream& out, const OnnxError& error) { return out << error.message; }

Result<ImportedModel> import_onnx(std::string_view bytes, const ImportOptions& options) {
  auto index = detail::index_model(bytes);
  if (!index) return std::unexpected(index.error());
  Import state{.index = *index, .options = options};
  const onnx::GraphProto& graph = index->graph();
  for (const onnx::ValueInfoProto& input : graph.input()) state.reserved.insert(input.name());
  for (const auto& [name, initializer] : index->initializers) state.reserved.insert(name);
  for (const auto& [name, node] : index->producer) state.reserved.insert(name);

  if (auto declared = declare_inputs(state); !declared) return std::unexpected(declared.error());
  const std::vector<PatternMatch> matches = detail::find_patterns(*index);
  std::map<std::size_t, const PatternMatch*> root_of;  // every node of a match, to its match
  for (const PatternMatch& match : matches) {
    for (const std::size_t node : match.nodes) root_of.emplace(node, &match);
  }
  for (std::size_t position = 0; position < static_cast<std::size_t>(graph.node_size()); ++position) {
    const auto in_match = root_of.find(position);
    if (in_match != root_of.end() && in_match->second->root != position) continue;  // the root imports it
    const onnx::NodeProto& node = graph.node(static_cast<int>(position));
    const NodeContext context{node, position, detail::node_text(node, position)};
    if (auto imported = import_node(state, context, in_match == root_of.end() ? nullptr : in_match->second);
        !imported) {
      return std::unexpected(imported.error());
    }
  }
  if (auto marked = mark_outputs(state); !marked) return std::unexpected(marked.error());
  state.result.graph = declared_first(std::move(state.result.graph));
  if (auto valid = state.result.graph.validate(); !valid) {
    return std::unexpected(unsupported("the imported graph is refused: " + valid.error().message()));
  }
  if (!state.erf_gelus.empty()) state.result.notes.push_back(erf_note(state.erf_gelus));
  return std::move(state.result);
}

Result<ImportedModel> import_onnx_file(const std::filesystem::path& path, const ImportOptions& options) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > MAX_MODEL_BYTES) {
    return std::unexpected(
        OnnxError{OnnxError::Kind::Unreadable, path.string() + ": a model of " + std::to_string(size) +
                                                   " bytes is larger than the " +
                                                   std::to_string(MAX_MODEL_BYTES >> 20) + " MiB the importer reads"});
  }
  auto bytes = velk_io::read_file(path);
  if (!bytes) return std::unexpected(OnnxError{OnnxError::Kind::Unreadable, velk_io::to_string(bytes.error())});
  auto model = import_onnx(*bytes, options);
  if (!model && model.error().kind == OnnxError::Kind::Unreadable) {
    model.error().message = path.string() + ": " + model.error().message;
  }
  return model;
}

}  // namespace velk_onnx
