// Fuzz target: importing an ONNX model from its bytes.
//
// Any bytes must give a model or an error, never a crash, a hang or a sanitizer report, with
// and without the import options. Importing is a pure function of the bytes. An imported
// graph validates, holds a value of the right size for every weight, and a small one
// evaluates on the host once its inputs are given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_compiler/evaluate.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_onnx/onnx_import.hpp"

namespace {

using velk_fuzz::require;

constexpr std::size_t MAX_EVALUATED_ELEMENTS = 1 << 14;

bool small(const velk_compiler::Graph& graph) {
  for (const velk_compiler::Tensor& tensor : graph.tensors) {
    const auto elements = velk_compiler::checked_elements(tensor.shape);
    if (!elements || *elements > MAX_EVALUATED_ELEMENTS) return false;
  }
  return true;
}

// Equal bit for bit: a model may hold NaN weights, which compare unequal to themselves.
bool same_values(const std::map<std::string, std::vector<float>, std::less<>>& a,
                 const std::map<std::string, std::vector<float>, std::less<>>& b) {
  if (a.size() != b.size()) return false;
  for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
    if (left->first != right->first || left->second.size() != right->second.size()) return false;
    if (std::memcmp(left->second.data(), right->second.data(), left->second.size() * sizeof(float)) != 0) return false;
  }
  return true;
}

void check(std::string_view bytes, const velk_onnx::ImportOptions& options) {
  const auto model = velk_onnx::import_onnx(bytes, options);
  const auto again = velk_onnx::import_onnx(bytes, options);
  require(model.has_value() == again.has_value(), "importing is deterministic");
  if (!model) {
    require(model.error() == again.error(), "importing is deterministic");
    return;
  }
  require(model->graph == again->graph && same_values(model->weights, again->weights), "importing is deterministic");
  require(model->graph.validate().has_value(), "an imported graph validates");
  velk_compiler::TensorValues given;
  for (const velk_compiler::Tensor& tensor : model->graph.tensors) {
    if (tensor.producer) continue;
    const auto weight = model->weights.find(tensor.name);
    if (tensor.kind == velk_compiler::TensorKind::Weight) {
      require(weight != model->weights.end() && weight->second.size() == tensor.elements(),
              "every weight has its values");
    }
    if (weight == model->weights.end() && small(model->graph)) given[tensor.name].assign(tensor.elements(), 0.5F);
  }
  if (!small(model->graph)) return;
  given.insert(model->weights.begin(), model->weights.end());
  const auto outputs = velk_compiler::evaluate(model->graph, given);
  require(outputs.has_value(), "a small imported graph evaluates",
          outputs ? "" : velk_compiler::to_string(outputs.error()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check(bytes, {});
  check(bytes, {.drop_batch = true, .gelu_erf_as_tanh = true});
  return 0;
}
