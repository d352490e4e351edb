// Fuzz target: reading a graph from JSON text.
//
// Any text must give a graph or an error, never a crash or a sanitizer report. Reading is a
// pure function of the text, so a second read must give an equal result. A graph that is read
// is built through the graph builder, so its records are consistent: validation can only
// object to its shapes or to a missing output, and a small graph that validates must compile
// and pass the schedule verifier.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_io/velk_io.hpp"

namespace {

using velk_fuzz::require;

constexpr std::size_t MAX_COMPILED_TENSORS = 48;
constexpr std::size_t MAX_COMPILED_ELEMENTS = 1 << 16;

// Small enough to compile in milliseconds.
bool small(const velk_compiler::Graph& graph) {
  if (graph.tensors.size() > MAX_COMPILED_TENSORS) return false;
  for (const velk_compiler::Tensor& tensor : graph.tensors) {
    const auto elements = velk_compiler::checked_elements(tensor.shape);
    if (!elements || *elements > MAX_COMPILED_ELEMENTS) return false;
  }
  return true;
}

bool consistent(const velk_compiler::Graph& graph) {
  for (std::size_t i = 0; i < graph.ops.size(); ++i) {
    const velk_compiler::Op& op = graph.ops[i];
    if (op.id.index != i || op.output.index >= graph.tensors.size()) return false;
    if (graph.tensors[op.output.index].producer != op.id) return false;
    for (const velk_compiler::TensorId input : op.inputs) {
      if (input.index >= op.output.index) return false;  // operands exist before the operation
    }
  }
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (graph.tensors[i].id.index != i) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto graph = velk_io::read_graph_json(text);
  require(velk_io::read_graph_json(text) == graph, "reading a graph is deterministic");
  if (!graph) return 0;
  require(consistent(*graph), "a graph read from JSON is consistent as the builder makes it");
  if (!graph->validate() || !small(*graph)) return 0;

  const velk_compiler::CompilerOptions options{};
  const auto schedule = velk_compiler::compile(*graph, options);
  if (!schedule) return 0;
  const auto verified = velk_compiler::verify_schedule(*graph, *schedule, options);
  require(verified.has_value(), "verify_schedule", verified ? "" : to_string(verified.error()));
  return 0;
}
