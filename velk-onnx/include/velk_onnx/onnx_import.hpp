// Reading an ONNX model into a Velk graph. The model's nodes map onto the graph's eight
// operation kinds; everything else is refused with a message that names the node and says
// what would make it importable. Nothing is approximated unless the caller asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/graph.hpp"

namespace velk_onnx {

struct OnnxError {
  enum class Kind : std::uint8_t {
    Unreadable,   // not a model: the file cannot be read, the bytes do not parse, limits exceeded
    Unsupported,  // a model, but one that holds something the importer does not map
  };
  Kind kind = Kind::Unreadable;
  std::string message;
  bool operator==(const OnnxError&) const = default;
};

// The message alone: it names the file or node it is about.
std::string to_string(const OnnxError& error);
std::ostream& operator<<(std::ostream& out, const OnnxError& error);

template <class T>
using Result = std::expected<T, OnnxError>;

struct ImportOptions {
  // Drop a leading dimension of 1 from every graph input (refused where an input's first
  // dimension is not 1); the results lose it too.
  bool drop_batch = false;
  // Import the erf form of GELU as the graph's tanh form, which differs from it by a little
  // under 5e-4 at most; the import says so in its notes.
  bool gelu_erf_as_tanh = false;
  bool operator==(const ImportOptions&) const = default;
};

struct ImportedModel {
  // Declared tensors first (the inputs in the model's order, then the weights in the order of
  // first use), then the operations in the model's order.
  velk_compiler::Graph graph;
  // Every weight's values in C order, by tensor name.
  std::map<std::string, std::vector<float>, std::less<>> weights;
  // What the import changed at the caller's request, one line each (empty when nothing).
  std::vector<std::string> notes;
};

// The largest model the importer reads; protobuf itself stops at 2 GiB.
inline constexpr std::size_t MAX_MODEL_BYTES = std::size_t{1} << 30;
// The most values the import creates by broadcasting constants to full-shape weights.
inline constexpr std::size_t MAX_MATERIALISED_VALUES = std::size_t{1} << 28;

// Imports a model from its serialised bytes (a ModelProto).
[[nodiscard]] Result<ImportedModel> import_onnx(std::string_view bytes, const ImportOptions& options = {});

// Imports the model in the file; errors about the file itself start with its path.
[[nodiscard]] Result<ImportedModel> import_onnx_file(const std::filesystem::path& path,
                                                     const ImportOptions& options = {});

}  // namespace velk_onnx
