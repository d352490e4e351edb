// Fuzz target: the whole compiler road from a graph built through the builder.
//
// The input is a short program of builder calls (inputs, weights, every typed operation, the
// general `op`, output marks) followed by the compiler options. Every builder call is checked
// against the builder's shape rules: a refusal must carry the documented message and leave the
// graph untouched, an acceptance must append exactly the predicted records. The finished graph
// is validated (its outcome predicted from the records), compiled twice (equal schedules),
// lowered onto the fabric, lowered into tile programs and encoded into commands; every success
// goes through the schedule verifier, and every failure must be one of the documented errors.
//
// Shapes, tensor counts and the tile count are capped so that one input runs in milliseconds.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_compiler::CompileError;
using velk_compiler::CompilerOptions;
using velk_compiler::Graph;
using velk_compiler::OpKind;
using velk_compiler::Result;
using velk_compiler::Shape;
using velk_compiler::TensorId;
using velk_fuzz::FuzzInput;
using velk_fuzz::require;

constexpr std::size_t MAX_STEPS = 24;
constexpr std::size_t MAX_RANK = 3;
constexpr std::uint32_t MAX_DIMENSION = 48;
constexpr std::uint16_t MAX_TILES = 64;

std::string shape_text(const Shape& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) text += (i != 0 ? ", " : "") + std::to_string(shape[i]);
  return text + "]";
}

// Mostly usable shapes; now and then an empty shape or a zero dimension, which the builder
// accepts and validation refuses, or huge dimensions, whose shares no tile holds and whose
// byte size may not even fit in a machine word.
Shape read_shape(FuzzInput& in) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return {};
  if (form == 0xFD) {
    Shape huge(1 + in.byte() % MAX_RANK);
    for (std::size_t& dimension : huge) dimension = std::size_t{in.u32()} + 1;
    return huge;
  }
  const std::size_t rank = 1 + form % MAX_RANK;
  Shape shape;
  for (std::size_t i = 0; i < rank; ++i) shape.push_back(form == 0xFE && i == 0 ? 0 : in.in_range(1, MAX_DIMENSION));
  return shape;
}

// Any tensor of the graph, or now and then the next free id, which no call may accept.
TensorId pick(FuzzInput& in, const Graph& graph) { return TensorId{in.byte() % (graph.tensors.size() + 1)}; }

bool known(const Graph& graph, TensorId id) { return id.index < graph.tensors.size(); }

const Shape& shape_of(const Graph& graph, TensorId id) { return graph.tensors[id.index].shape; }

// What a typed call must do: append a tensor of `shape` (and its operation), or refuse with
// `message`.
struct Expected {
  std::optional<Shape> shape;
  std::string message;
};

Expected refuse(std::string message) { return Expected{std::nullopt, std::move(message)}; }
Expected accept(Shape shape) { return Expected{std::move(shape), {}}; }

// Checks one builder call that creates an operation against its prediction.
void check_call(const Graph& before, const Graph& after, const Result<TensorId>& result, const Expected& expected,
                const std::vector<TensorId>& operands) {
  if (!expected.shape) {
    require(!result, "builder refuses what its rules refuse", expected.message);
    require(result.error().kind() == CompileError::Kind::Graph && result.error().message() == expected.message,
            "builder refusal message", to_string(result.error()) + " expected " + expected.message);
    require(after == before, "a refused call leaves the graph unchanged");
    return;
  }
  require(result.has_value(), "builder accepts what its rules accept", result ? "" : to_string(result.error()));
  require(after.tensors.size() == before.tensors.size() + 1 && after.ops.size() == before.ops.size() + 1 &&
              after.outputs == before.outputs,
          "an accepted call appends one tensor and one operation");
  require(*result == TensorId{before.tensors.size()}, "the result takes the next tensor id");
  const velk_compiler::Tensor& tensor = after.tensors.back();
  const velk_compiler::Op& op = after.ops.back();
  require(tensor.id == *result && tensor.shape == *expected.shape && tensor.producer == op.id &&
              tensor.kind == velk_compiler::TensorKind::Intermediate,
          "the result tensor has the predicted shape and names its operation", shape_text(tensor.shape));
  require(op.id == velk_compiler::OpId{before.ops.size()} && op.output == *result && op.inputs == operands &&
              op.name == tensor.name,
          "the operation records its operands and result");
  require(std::equal(before.tensors.begin(), before.tensors.end(), after.tensors.begin()) &&
              std::equal(before.ops.begin(), before.ops.end(), after.ops.begin()),
          "the builder only appends");
}

Expected predict_binary(const Graph& g, std::string_view name, TensorId left, TensorId right) {
  if (!known(g, left) || !known(g, right)) return refuse(std::string(name) + ": unknown input");
  if (shape_of(g, left) != shape_of(g, right)) return refuse(std::string(name) + ": binary shapes differ");
  return accept(shape_of(g, left));
}

Expected predict_matmul(const Graph& g, std::string_view name, TensorId left, TensorId right) {
  if (!known(g, left) || !known(g, right)) return refuse(std::string(name) + ": unknown input");
  const Shape& a = shape_of(g, left);
  const Shape& b = shape_of(g, right);
  if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
    return refuse(std::string(name) + ": incompatible matmul " + shape_text(a) + " x " + shape_text(b));
  }
  return accept(Shape{a[0], b[1]});
}

Expected predict_transpose(const Graph& g, std::string_view name, TensorId input,
                           const std::vector<std::size_t>& permutation) {
  if (!known(g, input)) return refuse(std::string(name) + ": unknown input");
  const Shape& s = shape_of(g, input);
  std::vector<bool> seen(s.size(), false);
  bool valid = permutation.size() == s.size();
  for (const std::size_t axis : permutation) {
    valid = valid && axis < s.size() && !seen[axis];
    if (valid) seen[axis] = true;
  }
  if (!valid) return refuse(std::string(name) + ": invalid transpose permutation");
  Shape shape;
  for (const std::size_t axis : permutation) shape.push_back(s[axis]);
  return accept(shape);
}

Expected predict_unary(const Graph& g, std::string_view name, TensorId input) {
  if (!known(g, input)) return refuse(std::string(name) + ": unknown input");
  return accept(shape_of(g, input));
}

Expected predict_softmax(const Graph& g, std::string_view name, TensorId input, std::size_t axis) {
  if (!known(g, input)) return refuse(std::string(name) + ": unknown input");
  if (axis >= shape_of(g, input).size()) return refuse(std::string(name) + ": softmax axis out of range");
  return accept(shape_of(g, input));
}

Expected predict_op(const Graph& g, std::string_view name, const std::vector<TensorId>& inputs, const Shape& shape) {
  for (const TensorId input : inputs) {
    if (!known(g, input)) return refuse(std::string(name) + ": unknown input");
  }
  return accept(shape);
}

OpKind read_kind(FuzzInput& in) {
  switch (in.byte() % 8) {
    case 0: return velk_compiler::MatMul{};
    case 1: return velk_compiler::Add{};
    case 2: return velk_compiler::Mul{};
    case 3: return velk_compiler::Reshape{read_shape(in)};
    case 4: return velk_compiler::Transpose{{0, 1}};
    case 5: return velk_compiler::LayerNorm{1e-5F};
    case 6: return velk_compiler::Softmax{in.byte() % 3u};
    default: return velk_compiler::Gelu{};
  }
}

// One builder call chosen by the input. Calls that make compatible operands likely (a fresh
// weight of the right shape) keep most graphs deep enough to need exchanges.
void build_step(FuzzInput& in, Graph& graph, std::size_t step) {
  const std::string name = "n" + std::to_string(step);
  const Graph before = graph;
  switch (in.byte() % 12) {
    case 0: {
      const TensorId id = graph.input(name, read_shape(in));
      require(id == TensorId{before.tensors.size()} && graph.ops == before.ops, "input appends one tensor");
      return;
    }
    case 1: {
      const TensorId id = graph.weight(name, read_shape(in));
      require(id == TensorId{before.tensors.size()} && graph.ops == before.ops, "weight appends one tensor");
      return;
    }
    case 2: {
      const TensorId left = pick(in, graph);
      const TensorId right = pick(in, graph);
      const Expected expected = predict_matmul(before, name, left, right);
      const Result<TensorId> result = graph.matmul(name, left, right);
      check_call(before, graph, result, expected, {left, right});
      return;
    }
    case 3:
    case 4: {
      const TensorId left = pick(in, graph);
      const TensorId right = pick(in, graph);
      const Expected expected = predict_binary(before, name, left, right);
      const Result<TensorId> result = (step % 2 == 0) ? graph.add(name, left, right) : graph.mul(name, left, right);
      check_call(before, graph, result, expected, {left, right});
      return;
    }
    case 5: {
      const TensorId input = pick(in, graph);
      std::vector<std::size_t> permutation(in.byte() % 4);
      for (std::size_t& axis : permutation) axis = in.byte() % 4u;
      const Expected expected = predict_transpose(before, name, input, permutation);
      const Result<TensorId> result = graph.transpose(name, input, permutation);
      check_call(before, graph, result, expected, {input});
      if (result) {
        const auto* kind = std::get_if<velk_compiler::Transpose>(&graph.ops.back().kind);
        require(kind != nullptr && kind->permutation == permutation, "transpose keeps its permutation");
      }
      return;
    }
    case 6:
    case 7: {
      const TensorId input = pick(in, graph);
      const Expected expected = predict_unary(before, name, input);
      const Result<TensorId> result = (step % 2 == 0) ? graph.layer_norm(name, input, 1e-5F) : graph.gelu(name, input);
      check_call(before, graph, result, expected, {input});
      return;
    }
    case 8: {
      const TensorId input = pick(in, graph);
      const std::size_t axis = in.byte() % 4u;
      const Expected expected = predict_softmax(before, name, input, axis);
      const Result<TensorId> result = graph.softmax(name, input, axis);
      check_call(before, graph, result, expected, {input});
      return;
    }
    case 9: {
      // The general operation: any kind, one to three operands (an operand may repeat, which
      // is how an exchange phase can target one region twice), any result shape.
      OpKind kind = read_kind(in);
      std::vector<TensorId> inputs(1 + in.byte() % 3);
      for (TensorId& input : inputs) input = pick(in, graph);
      const Shape shape = read_shape(in);
      const Expected expected = predict_op(before, name, inputs, shape);
      const Result<TensorId> result = graph.op(name, kind, inputs, shape);
      check_call(before, graph, result, expected, inputs);
      if (result) require(graph.ops.back().kind == kind, "op keeps its kind");
      return;
    }
    case 10: {
      const TensorId tensor = pick(in, graph);
      const Result<void> marked = graph.mark_output(tensor);
      if (!known(before, tensor)) {
        require(!marked && marked.error().message() == "unknown output tensor " + std::to_string(tensor.index) &&
                    graph == before,
                "mark_output refuses an unknown tensor and changes nothing");
        return;
      }
      require(marked.has_value() && graph.outputs.size() == before.outputs.size() + 1 &&
                  graph.outputs.back() == tensor &&
                  graph.tensors[tensor.index].kind == velk_compiler::TensorKind::Output,
              "mark_output appends the tensor to the outputs and makes it an output");
      return;
    }
    default: {
      // A matmul against a fresh weight whose first dimension fits the operand.
      const TensorId left = pick(in, graph);
      if (!known(graph, left) || shape_of(graph, left).size() != 2) return;
      const TensorId right = graph.weight(name + "_w", Shape{shape_of(graph, left)[1], in.in_range(1, MAX_DIMENSION)});
      const Graph with_weight = graph;
      const Expected expected = predict_matmul(with_weight, name, left, right);
      const Result<TensorId> result = graph.matmul(name, left, right);
      check_call(with_weight, graph, result, expected, {left, right});
      return;
    }
  }
}

// What validation must say about a graph made by the builder: its records are consistent by
// construction, so only the shapes and the output list can be at fault.
[[nodiscard]] Result<void> predict_validation(const Graph& graph) {
  for (const velk_compiler::Tensor& tensor : graph.tensors) {
    // Non-empty, no zero dimension, and a byte size (4 per element) that fits in a machine word.
    bool usable = !tensor.shape.empty();
    std::size_t bytes = 4;
    for (const std::size_t dimension : tensor.shape) {
      usable = usable && dimension != 0 && bytes <= SIZE_MAX / dimension;
      if (usable) bytes *= dimension;
    }
    if (!usable) return std::unexpected(CompileError::graph("invalid tensor " + tensor.name));
  }
  if (graph.outputs.empty()) return std::unexpected(CompileError::graph("graph has no outputs"));
  return {};
}

bool options_valid(const CompilerOptions& o) {
  return o.tile_count != 0 && o.exchange_base >= 0x50000 && o.exchange_limit <= 0x58000 &&
         o.exchange_base < o.exchange_limit && o.exchange_limit <= o.data_base && o.data_base < o.data_limit;
}

// Mostly the default windows over a fuzzed tile count; now and then fuzzed windows around
// their bounds, which reach the options check and exhaustion of small windows.
CompilerOptions read_options(FuzzInput& in) {
  CompilerOptions options;
  const std::uint8_t form = in.byte();
  options.tile_count = static_cast<std::uint16_t>(in.in_range(form == 0xFF ? 0 : 1, MAX_TILES));
  if (form % 8 != 7) return options;
  options.exchange_base = 0x4FFF0 + in.in_range(0, 0x80) * 0x10;
  options.exchange_limit = options.exchange_base + in.in_range(0, 0x8000);
  options.data_base = options.exchange_limit + in.in_range(0, 0x100) - 0x10;
  options.data_limit = options.data_base + in.in_range(0, 0x40000) - 0x10;
  return options;
}

constexpr std::string_view COMPILE_MESSAGES[] = {
    "multiple sends target one tensor region in an epoch",
    "invalid exchange transfer",
    "tile {} exceeds data limit allocating {}",
    "address overflow",
    "tensor {} share of {} bytes does not fit in tile memory",
};

constexpr std::string_view LOWERING_MESSAGES[] = {
    "tensor {} exchange size is not whole words",
    "exchange topology has too few tiles",
};

bool documented(const CompileError& error, std::span<const std::string_view> messages) {
  if (error.kind() == CompileError::Kind::Exchange) return error.exchange_error() != nullptr;
  return std::any_of(messages.begin(), messages.end(),
                     [&](std::string_view pattern) { return velk_fuzz::matches_message(pattern, error.message()); });
}

// Every command stream of the schedule: one command per transfer touching the tile and per
// kernel on it, then the end command, each with its little-endian image.
void check_commands(const velk_compiler::Schedule& schedule) {
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    const auto commands = schedule.tile_commands(tile);
    require(commands.has_value(), "tile_commands succeeds on every tile");
    std::size_t expected = 1;
    for (const velk_compiler::Phase& phase : schedule.phases) {
      if (const auto* exchange = std::get_if<velk_compiler::ExchangePhase>(&phase)) {
        expected += static_cast<std::size_t>(
            std::count_if(exchange->transfers.begin(), exchange->transfers.end(),
                          [&](const auto& x) { return x.source_tile == tile || x.destination_tile == tile; }));
      } else {
        const auto& commands_of = std::get<velk_compiler::ComputePhase>(phase).commands;
        expected += static_cast<std::size_t>(
            std::count_if(commands_of.begin(), commands_of.end(), [&](const auto& c) { return c.tile == tile; }));
      }
    }
    require(commands->size() == expected, "one command per transfer and kernel of the tile, then the end");
    require(
        commands->back() == velk_compiler::EncodedTileCommand{{velk_compiler::TILE_COMMAND_END, 0, 0, 0, 0, 0, 0, 0}},
        "the stream closes with the end command");
    for (const velk_compiler::EncodedTileCommand& command : *commands) {
      const std::array<std::uint8_t, 32> bytes = command.to_le_bytes();
      for (std::size_t i = 0; i < 8; ++i) {
        const std::uint32_t word = std::uint32_t{bytes[4 * i]} | (std::uint32_t{bytes[4 * i + 1]} << 8) |
                                   (std::uint32_t{bytes[4 * i + 2]} << 16) | (std::uint32_t{bytes[4 * i + 3]} << 24);
        require(word == command.words[i], "the byte image holds each word little-endian");
      }
    }
  }
  const auto beyond = schedule.tile_commands(schedule.tile_count);
  require(!beyond && beyond.error().message() == "tile " + std::to_string(schedule.tile_count) + " is out of range",
          "tile_commands refuses a tile beyond the tile count");
}

void lower_and_verify(const velk_compiler::Schedule& schedule, const velk_exchange::Topology& topology) {
  const auto lowered = schedule.lower_exchanges(topology);
  const auto programs = schedule.lower_tile_programs(topology);
  if (!lowered) {
    require(documented(lowered.error(), LOWERING_MESSAGES), "exchange lowering fails only with documented errors",
            to_string(lowered.error()));
    require(!programs && programs.error() == lowered.error(), "tile lowering reports the exchange lowering's error");
    return;
  }
  const Result<void> exchanges_ok = velk_compiler::verify_lowered_exchanges(schedule, *lowered);
  require(exchanges_ok.has_value(), "verify_lowered_exchanges", exchanges_ok ? "" : to_string(exchanges_ok.error()));
  require(programs.has_value(), "tile lowering succeeds when the exchanges lower",
          programs ? "" : to_string(programs.error()));
  const Result<void> programs_ok = velk_compiler::verify_tile_programs(schedule, *lowered, *programs);
  require(programs_ok.has_value(), "verify_tile_programs", programs_ok ? "" : to_string(programs_ok.error()));

  // The one-call road lowers once and gives the same values as the stages one by one.
  const Result<velk_compiler::Program> program = velk_compiler::lower_schedule(schedule, {}, topology);
  require(program.has_value(), "lower_schedule succeeds when the stages do");
  require(program->exchanges == *lowered && program->tile_programs == *programs, "lower_schedule equals the stages");
  require(program->group_slots.size() == lowered->size(), "one list of slots per lowered phase");
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    require(program->tile_commands[t] == schedule.tile_commands(static_cast<std::uint16_t>(t)).value(),
            "lower_schedule keeps each tile's commands");
  }
}

// The R77 card, or now and then the first tiles of it only, so that lowering meets a topology
// with fewer tiles than the schedule.
velk_exchange::Topology read_topology(FuzzInput& in, std::uint16_t tile_count) {
  static const velk_exchange::Topology r77 = velk_exchange::Topology::r77();
  if (in.byte() != 0xFF || tile_count == 0) return r77;
  velk_exchange::Topology topology = r77;
  topology.logical_to_physical.resize(tile_count - 1u);
  return topology;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span<const std::uint8_t>(data, size));
  Graph graph;
  const std::size_t steps = 1 + in.byte() % MAX_STEPS;
  for (std::size_t step = 0; step < steps; ++step) build_step(in, graph, step);
  const CompilerOptions options = read_options(in);
  const velk_exchange::Topology topology = read_topology(in, options.tile_count);

  const Result<void> predicted = predict_validation(graph);
  require(graph.validate() == predicted, "validate reports the first faulty record");

  const Result<velk_compiler::Schedule> schedule = velk_compiler::compile(graph, options);
  if (!predicted) {
    require(!schedule && schedule.error() == predicted.error(), "a graph error wins over everything else");
    return 0;
  }
  if (!options_valid(options)) {
    require(!schedule && schedule.error() == CompileError::graph("invalid compiler options"),
            "invalid options are refused");
    return 0;
  }
  if (!schedule) {
    require(documented(schedule.error(), COMPILE_MESSAGES), "compile fails only with documented errors",
            to_string(schedule.error()));
    return 0;
  }
  const Result<void> schedule_ok = velk_compiler::verify_schedule(graph, *schedule, options);
  require(schedule_ok.has_value(), "verify_schedule", schedule_ok ? "" : to_string(schedule_ok.error()));
  require(velk_compiler::compile(graph, options) == schedule, "compile is deterministic");

  lower_and_verify(*schedule, topology);
  check_commands(*schedule);
  return 0;
}
