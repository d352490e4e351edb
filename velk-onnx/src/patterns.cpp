#include "patterns.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

#include "velk_compiler/reference.hpp"

namespace velk_onnx::detail {
namespace {

const double SQRT_2_OVER_PI = std::sqrt(2.0 / std::numbers::pi);
constexpr double GELU_CUBE_FACTOR = 0.044715;

// Exporters write the constants as floats, or round them differently in the last digits.
bool near(double value, double expected) { return std::abs(value - expected) <= 1e-5 * std::abs(expected); }

std::optional<std::size_t> position_of(const ModelIndex& index, std::string_view value) {
  const auto found = index.producer.find(value);
  if (found == index.producer.end()) return std::nullopt;
  return found->second;
}

const onnx::NodeProto& node_at(const ModelIndex& index, std::size_t position) {
  return index.graph().node(static_cast<int>(position));
}

bool is_op(const onnx::NodeProto& node, std::string_view op_type, int inputs) {
  return node.op_type() == op_type && node.input_size() == inputs && node.output_size() >= 1 &&
         (node.domain().empty() || node.domain() == "ai.onnx");
}

// The node writing `value` when it is of this kind and nothing but its one reader reads the value.
std::optional<std::size_t> interior(const ModelIndex& index, std::string_view value, std::string_view op_type,
                                    int inputs, std::size_t readers = 1) {
  const std::optional<std::size_t> position = position_of(index, value);
  if (!position || index.read_count(value) != readers) return std::nullopt;
  if (!is_op(node_at(index, *position), op_type, inputs)) return std::nullopt;
  return position;
}

// The value's constant, when it is an initializer or a Constant node's output that decodes.
std::optional<Constant> constant_of(const ModelIndex& index, std::string_view value) {
  Result<Constant> decoded = std::unexpected(OnnxError{});
  if (const auto found = index.initializers.find(value); found != index.initializers.end()) {
    decoded = decode_tensor(*found->second, "");
  } else if (const std::optional<std::size_t> position = position_of(index, value)) {
    const onnx::NodeProto& node = node_at(index, *position);
    if (node.op_type() == "Constant") decoded = constant_node_value(node, *position);
  }
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

// The single value of a one-element float constant.
std::optional<double> scalar(const ModelIndex& index, std::string_view value) {
  const std::optional<Constant> constant = constant_of(index, value);
  if (!constant || !constant->is_float || constant->floats.size() != 1) return std::nullopt;
  return constant->floats[0];
}

// A product flattened across Mul nodes (and Pow by 3, and Div by a constant) that only it
// reads: the constant factors multiplied out, the other factors listed, the nodes collected.
struct Product {
  double constant = 1.0;
  std::vector<std::string> factors;
  std::vector<std::size_t> nodes;
};

void collect_factors(const ModelIndex& index, const std::string& value, Product& product) {
  if (const auto mul = interior(index, value, "Mul", 2)) {
    product.nodes.push_back(*mul);
    for (const std::string& input : node_at(index, *mul).input()) collect_factors(index, input, product);
    return;
  }
  if (const auto pow = interior(index, value, "Pow", 2)) {
    const onnx::NodeProto& node = node_at(index, *pow);
    if (const std::optional<double> exponent = scalar(index, node.input(1)); exponent && *exponent == 3.0) {
      product.nodes.push_back(*pow);
      product.factors.insert(product.factors.end(), 3, node.input(0));
      return;
    }
  }
  if (const auto div = interior(index, value, "Div", 2)) {
    const onnx::NodeProto& node = node_at(index, *div);
    if (const std::optional<double> divisor = scalar(index, node.input(1)); divisor && *divisor != 0.0) {
      product.nodes.push_back(*div);
      product.constant /= *divisor;
      collect_factors(index, node.input(0), product);
      return;
    }
  }
  if (const std::optional<double> constant = scalar(index, value)) {
    product.constant *= *constant;
    return;
  }
  product.factors.push_back(value);
}

// The product that the node at `position` computes, the node itself among its nodes.
Product product_of_node(const ModelIndex& index, std::size_t position) {
  Product product;
  product.nodes.push_back(position);
  for (const std::string& input : node_at(index, position).input()) collect_factors(index, input, product);
  return product;
}

// `value` is 1 + f(...) for the one-operand node kind `function`, read only here: gives
// f's node and its operand.
std::optional<std::pair<std::size_t, std::size_t>> one_plus(const ModelIndex& index, const std::string& value,
                                                            std::string_view function) {
  const std::optional<std::size_t> add = interior(index, value, "Add", 2);
  if (!add) return std::nullopt;
  const onnx::NodeProto& node = node_at(index, *add);
  for (int side = 0; side < 2; ++side) {
    const std::optional<double> one = scalar(index, node.input(side));
    if (!one || *one != 1.0) continue;
    if (const auto inner = interior(index, node.input(1 - side), function, 1)) return std::pair{*add, *inner};
  }
  return std::nullopt;
}

void append(std::vector<std::size_t>& nodes, const std::vector<std::size_t>& more) {
  nodes.insert(nodes.end(), more.begin(), more.end());
}

// sqrt(2/pi) * (x + 0.044715 * x*x*x), read only by the tanh.
std::optional<std::vector<std::size_t>> tanh_argument(const ModelIndex& index, const std::string& value,
                                                      const std::string& x) {
  Product scaled;
  collect_factors(index, value, scaled);
  if (!near(scaled.constant, SQRT_2_OVER_PI) || scaled.factors.size() != 1) return std::nullopt;
  const std::optional<std::size_t> sum = interior(index, scaled.factors[0], "Add", 2);
  if (!sum) return std::nullopt;
  const onnx::NodeProto& node = node_at(index, *sum);
  for (int side = 0; side < 2; ++side) {
    if (node.input(side) != x) continue;
    Product cube;
    collect_factors(index, node.input(1 - side), cube);
    const bool cube_of_x =
        cube.factors.size() == 3 && std::ranges::all_of(cube.factors, [&](const std::string& f) { return f == x; });
    if (!near(cube.constant, GELU_CUBE_FACTOR) || !cube_of_x || cube.nodes.empty()) continue;
    std::vector<std::size_t> nodes = scaled.nodes;
    nodes.push_back(*sum);
    append(nodes, cube.nodes);
    return nodes;
  }
  return std::nullopt;
}

// x / sqrt(2) (or x * (1/sqrt(2))), read only by the erf.
std::optional<std::vector<std::size_t>> erf_argument(const ModelIndex& index, const std::string& value,
                                                     const std::string& x) {
  Product scaled;
  collect_factors(index, value, scaled);
  if (!near(scaled.constant, 1.0 / std::numbers::sqrt2) || scaled.factors != std::vector<std::string>{x} ||
      scaled.nodes.empty()) {
    return std::nullopt;
  }
  return scaled.nodes;
}

// 0.5 * x * (1 + tanh(...)) or 0.5 * x * (1 + erf(...)), in any association of the factors.
std::optional<PatternMatch> match_gelu(const ModelIndex& index, std::size_t root) {
  if (!is_op(node_at(index, root), "Mul", 2)) return std::nullopt;
  const Product outer = product_of_node(index, root);
  if (!near(outer.constant, 0.5) || outer.factors.size() != 2) return std::nullopt;
  for (std::size_t side = 0; side < 2; ++side) {
    const std::string& x = outer.factors[side];
    const std::string& bracket = outer.factors[1 - side];
    for (const auto& [function, kind] :
         {std::pair{"Tanh", PatternMatch::Kind::GeluTanh}, std::pair{"Erf", PatternMatch::Kind::GeluErf}}) {
      const auto inner = one_plus(index, bracket, function);
      if (!inner) continue;
      const std::string& argument = node_at(index, inner->second).input(0);
      const auto argument_nodes =
          kind == PatternMatch::Kind::GeluTanh ? tanh_argument(index, argument, x) : erf_argument(index, argument, x);
      if (!argument_nodes) continue;
      PatternMatch match{kind, root, x, 0, outer.nodes};
      match.nodes.push_back(inner->first);
      match.nodes.push_back(inner->second);
      append(match.nodes, *argument_nodes);
      return match;
    }
  }
  return std::nullopt;
}

// The one axis of a reduction that keeps its dimensions, from its `axes` attribute or its
// second operand.
std::optional<std::int64_t> single_kept_axis(const ModelIndex& index, const onnx::NodeProto& node) {
  if (const onnx::AttributeProto* keepdims = find_attribute(node, "keepdims"); keepdims && keepdims->i() != 1) {
    return std::nullopt;
  }
  if (const onnx::AttributeProto* axes = find_attribute(node, "axes")) {
    if (axes->ints_size() != 1) return std::nullopt;
    return axes->ints(0);
  }
  if (node.input_size() != 2) return std::nullopt;
  const std::optional<Constant> constant = constant_of(index, node.input(1));
  if (!constant || constant->is_float || constant->integers.size() != 1) return std::nullopt;
  return constant->integers[0];
}

std::optional<std::size_t> reduction(const ModelIndex& index, const std::string& value, std::string_view op_type) {
  for (const int inputs : {1, 2}) {
    if (const auto position = interior(index, value, op_type, inputs)) return position;
  }
  return std::nullopt;
}

// exp(x - max(x)) / sum(exp(x - max(x))) along one axis, as the softmax function body writes it.
std::optional<PatternMatch> match_softmax(const ModelIndex& index, std::size_t root) {
  const onnx::NodeProto& divide = node_at(index, root);
  if (!is_op(divide, "Div", 2)) return std::nullopt;
  const std::optional<std::size_t> exp = interior(index, divide.input(0), "Exp", 1, 2);
  const std::optional<std::size_t> sum = reduction(index, divide.input(1), "ReduceSum");
  if (!exp || !sum || node_at(index, *sum).input(0) != divide.input(0)) return std::nullopt;
  const std::optional<std::size_t> sub = interior(index, node_at(index, *exp).input(0), "Sub", 2);
  if (!sub) return std::nullopt;
  const std::string& x = node_at(index, *sub).input(0);
  const std::optional<std::size_t> max = reduction(index, node_at(index, *sub).input(1), "ReduceMax");
  if (!max || node_at(index, *max).input(0) != x) return std::nullopt;
  const std::optional<std::int64_t> sum_axis = single_kept_axis(index, node_at(index, *sum));
  const std::optional<std::int64_t> max_axis = single_kept_axis(index, node_at(index, *max));
  if (!sum_axis || sum_axis != max_axis) return std::nullopt;
  return PatternMatch{PatternMatch::Kind::Softmax, root, x, *sum_axis, {*max, *sub, *exp, *sum, root}};
}

}  // namespace

std::vector<PatternMatch> find_patterns(const ModelIndex& index) {
  std::vector<PatternMatch> matches;
  std::set<std::size_t> claimed;
  for (std::size_t root = 0; root < static_cast<std::size_t>(index.graph().node_size()); ++root) {
    std::optional<PatternMatch> match = match_gelu(index, root);
    if (!match) match = match_softmax(index, root);
    if (!match) continue;
    std::ranges::sort(match->nodes);
    const bool free = std::ranges::none_of(match->nodes, [&](std::size_t node) { return claimed.contains(node); });
    const bool distinct = std::ranges::adjacent_find(match->nodes) == match->nodes.end();
    if (!free || !distinct) continue;
    claimed.insert(match->nodes.begin(), match->nodes.end());
    matches.push_back(std::move(*match));
  }
  return matches;
}

GeluFormDifference gelu_form_difference() {
  GeluFormDifference difference;
  double largest = 0.0;
  // Beyond +-8 both forms equal x or 0 to within float rounding.
  for (int step = -8 * 1024; step <= 8 * 1024; ++step) {
    const float x = static_cast<float>(step) / 1024.0F;
    const auto wide = static_cast<double>(x);
    const double exact = 0.5 * wide * (1.0 + std::erf(wide / std::numbers::sqrt2));
    const double gap = std::abs(exact - static_cast<double>(velk_compiler::gelu(x)));
    if (gap > largest) {
      largest = gap;
      difference.at = x;
    }
  }
  difference.largest = static_cast<float>(largest);
  return difference;
}

}  // namespace velk_onnx::detail
