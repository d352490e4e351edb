// Runs ONNX's own backend node test cases (written by scripts/onnx-node-tests) through the
// importer and the golden evaluator, and prints a table: each case passed (imported, and every
// output within ONNX's own tolerance), refused with its reason, or wrongly evaluated. Exits 1
// when any case is wrongly evaluated, 2 when the cases cannot be read.
//
//   velk_onnx_node_suite CASES_DIR
//
// Where a case feeds a value as a graph input that a real model carries as a constant, the
// case's value is bound as an initializer before the import: a Reshape's target shape, a
// LayerNormalization's scale and bias, and the broadcast operand of the `_bcast` cases. The
// layer normalisation cases also ask for the Mean and InvStdDev outputs, which the importer
// does not offer; only Y is compared there.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "model_index.hpp"
#include "velk_compiler/evaluate.hpp"
#include "velk_io/files.hpp"
#include "velk_onnx/onnx_import.hpp"

namespace {

namespace fs = std::filesystem;

// ONNX's own runner compares with numpy's allclose at these tolerances.
constexpr double RTOL = 1e-3;
constexpr double ATOL = 1e-7;

struct Binding {
  const char* prefix;
  std::vector<int> inputs;  // graph inputs bound as constants
  int kept_outputs = 0;     // 0: all
  const char* note;
};

const Binding BINDINGS[] = {
    {"test_reshape_", {1}, 0, "shape bound as a constant"},
    {"test_layer_normalization_", {1, 2}, 1, "scale and bias bound as constants; Y compared"},
    {"test_add_bcast", {1}, 0, "broadcast operand bound as a constant"},
    {"test_mul_bcast", {1}, 0, "broadcast operand bound as a constant"},
};

const Binding* binding_of(const std::string& name) {
  for (const Binding& binding : BINDINGS) {
    if (name.starts_with(binding.prefix)) return &binding;
  }
  return nullptr;
}

struct Outcome {
  std::string name;
  enum class Result { Passed, Refused, Wrong } result = Result::Passed;
  std::string detail;  // the refusal or the mismatch
  std::string note;    // what the harness bound
};

bool read_tensor(const fs::path& path, onnx::TensorProto& tensor) {
  auto bytes = velk_io::read_file(path);
  return bytes && tensor.ParseFromString(*bytes);
}

// Why a case is refused, in a few words: the refusal without the node it names.
std::string reason(const std::string& message) {
  const std::size_t colon = message.find(": ");
  std::string why = message.starts_with("node ") && colon != std::string::npos ? message.substr(colon + 2) : message;
  if (const std::size_t semicolon = why.find("; the importer maps"); semicolon != std::string::npos) {
    why.resize(semicolon);
  }
  return why;
}

// Refusals grouped for the summary: the part after the last place the message names.
std::string group_of(const std::string& reason) {
  const std::size_t colon = reason.rfind(": ");
  return colon == std::string::npos ? reason : reason.substr(colon + 2);
}

Outcome run_case(const fs::path& folder) {
  Outcome outcome{folder.filename().string(), Outcome::Result::Passed, "", ""};
  onnx::ModelProto model;
  auto bytes = velk_io::read_file(folder / "model.onnx");
  if (!bytes || !model.ParseFromString(*bytes)) {
    return {outcome.name, Outcome::Result::Wrong, "model.onnx cannot be read", ""};
  }
  const fs::path data = folder / "test_data_set_0";
  std::vector<onnx::TensorProto> inputs(static_cast<std::size_t>(model.graph().input_size()));
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (!read_tensor(data / ("input_" + std::to_string(i) + ".pb"), inputs[i])) {
      return {outcome.name, Outcome::Result::Wrong, "input_" + std::to_string(i) + ".pb cannot be read", ""};
    }
  }
  std::vector<onnx::TensorProto> expected(static_cast<std::size_t>(model.graph().output_size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!read_tensor(data / ("output_" + std::to_string(i) + ".pb"), expected[i])) {
      return {outcome.name, Outcome::Result::Wrong, "output_" + std::to_string(i) + ".pb cannot be read", ""};
    }
  }

  // Bind the constants, from the last graph input on so that the positions stay valid.
  std::vector<std::string> input_names;
  for (const onnx::ValueInfoProto& input : model.graph().input()) input_names.push_back(input.name());
  std::vector<bool> bound(inputs.size(), false);
  if (const Binding* binding = binding_of(outcome.name)) {
    outcome.note = binding->note;
    for (auto position = binding->inputs.rbegin(); position != binding->inputs.rend(); ++position) {
      const auto index = static_cast<std::size_t>(*position);
      if (index >= inputs.size()) continue;
      onnx::TensorProto constant = inputs[index];
      constant.set_name(input_names[index]);
      *model.mutable_graph()->add_initializer() = constant;
      model.mutable_graph()->mutable_input()->erase(model.mutable_graph()->mutable_input()->begin() + *position);
      bound[index] = true;
    }
    if (binding->kept_outputs > 0) {
      while (model.graph().output_size() > binding->kept_outputs) model.mutable_graph()->mutable_output()->RemoveLast();
      expected.resize(static_cast<std::size_t>(binding->kept_outputs));
    }
  }

  auto imported = velk_onnx::import_onnx(model.SerializeAsString());
  if (!imported) return {outcome.name, Outcome::Result::Refused, reason(imported.error().message), outcome.note};

  velk_compiler::TensorValues given = imported->weights;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (bound[i]) continue;
    auto values = velk_onnx::detail::decode_tensor(inputs[i], input_names[i]);
    if (!values)
      return {outcome.name, Outcome::Result::Wrong, "input " + input_names[i] + ": " + values.error().message,
              outcome.note};
    given[input_names[i]] = values->floats;
  }
  auto outputs = velk_compiler::evaluate(imported->graph, given);
  if (!outputs) {
    return {outcome.name, Outcome::Result::Wrong, "evaluation failed: " + outputs.error().message(), outcome.note};
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string& name = model.graph().output(static_cast<int>(i)).name();
    auto want = velk_onnx::detail::decode_tensor(expected[i], "output " + name);
    const auto got = outputs->find(name);
    if (!want || got == outputs->end() || got->second.size() != want->floats.size()) {
      return {outcome.name, Outcome::Result::Wrong, "output " + name + " is missing or of another size", outcome.note};
    }
    for (std::size_t k = 0; k < want->floats.size(); ++k) {
      const double a = got->second[k];
      const double e = want->floats[k];
      if (!(std::abs(a - e) <= ATOL + RTOL * std::abs(e))) {
        return {outcome.name, Outcome::Result::Wrong,
                "output " + name + "[" + std::to_string(k) + "] is " + std::to_string(a) + ", expected " +
                    std::to_string(e),
                outcome.note};
      }
    }
  }
  outcome.result = Outcome::Result::Passed;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velk_onnx_node_suite CASES_DIR (written by scripts/onnx-node-tests)\n";
    return 2;
  }
  std::vector<fs::path> folders;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(argv[1], error)) {
    if (entry.is_directory() && fs::exists(entry.path() / "model.onnx")) folders.push_back(entry.path());
  }
  if (error || folders.empty()) {
    std::cerr << "velk_onnx_node_suite: " << argv[1] << ": no cases found\n";
    return 2;
  }
  std::ranges::sort(folders);

  std::vector<Outcome> outcomes;
  for (const fs::path& folder : folders) outcomes.push_back(run_case(folder));
  std::size_t passed = 0;
  std::size_t wrong = 0;
  std::map<std::string, std::vector<std::string>> refused;  // reason → cases
  std::cout << "| case | result | reason or note |\n|---|---|---|\n";
  for (const Outcome& outcome : outcomes) {
    const char* result = outcome.result == Outcome::Result::Passed    ? "passed"
                         : outcome.result == Outcome::Result::Refused ? "refused"
                                                                      : "WRONG";
    std::string text = outcome.detail;
    if (!outcome.note.empty()) text += (text.empty() ? "" : "; ") + outcome.note;
    std::cout << "| " << outcome.name << " | " << result << " | " << text << " |\n";
    passed += outcome.result == Outcome::Result::Passed;
    wrong += outcome.result == Outcome::Result::Wrong;
    if (outcome.result == Outcome::Result::Refused) refused[group_of(outcome.detail)].push_back(outcome.name);
  }
  std::cout << "\n"
            << outcomes.size() << " cases: " << passed << " passed, " << outcomes.size() - passed - wrong
            << " refused, " << wrong << " wrongly evaluated\n\n| refused because | cases |\n|---|---|\n";
  for (const auto& [why, cases] : refused) std::cout << "| " << why << " | " << cases.size() << " |\n";
  return wrong == 0 ? 0 : 1;
}
