// Layout choice and kernel specialisation.
#include "velk_compiler/layout.hpp"

#include <algorithm>
#include <limits>

namespace velk_compiler {
namespace {

// The tensor's byte size, saturated at the largest machine word. Validation refuses such
// tensors before compilation; saturating keeps these functions total on any tensor.
std::size_t byte_size(const Tensor& tensor) {
  const std::optional<std::size_t> elements = checked_elements(tensor.shape);
  const std::size_t element_bytes = size(tensor.dtype);
  if (!elements || *elements > std::numeric_limits<std::size_t>::max() / element_bytes) {
    return std::numeric_limits<std::size_t>::max();
  }
  return *elements * element_bytes;
}

Sharding choose_sharding(const Tensor& tensor) {
  const std::size_t rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) return Sharding::Columns;
  if (rank >= 3) return Sharding::Heads;
  if (rank == 2) return Sharding::Rows;
  return Sharding::Replicated;
}

}  // namespace

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  const std::size_t bytes = byte_size(tensor);
  const std::size_t blocks = bytes / LAYOUT_BLOCK_BYTES + (bytes % LAYOUT_BLOCK_BYTES != 0 ? 1 : 0);
  // Clamp at full width: a block count beyond 65535 must still give `tile_count` tiles.
  const std::size_t count = std::clamp<std::size_t>(blocks, 1, std::max<std::size_t>(tile_count, 1));
  Layout layout{tensor.id, {}, choose_sharding(tensor), LAYOUT_ALIGNMENT};
  layout.tiles.reserve(count);
  for (std::size_t tile = 0; tile < count; ++tile) layout.tiles.push_back(static_cast<std::uint16_t>(tile));
  return layout;
}

std::size_t local_bytes(const Tensor& tensor, const Layout& layout) {
  const std::size_t tiles = layout.tiles.size();
  if (tiles == 0) return 0;
  const std::size_t bytes = byte_size(tensor);
  return bytes / tiles + (bytes % tiles != 0 ? 1 : 0);
}

std::string_view operation_name(const OpKind& kind) {
  struct Name {
    std::string_view operator()(const MatMul&) const { return "matmul"; }
    std::string_view operator()(const Add&) const { return "add"; }
    std::string_view operator()(const Mul&) const { return "mul"; }
    std::string_view operator()(const Reshape&) const { return "reshape"; }
    std::string_view operator()(const Transpose&) const { return "transpose"; }
    std::string_view operator()(const LayerNorm&) const { return "layer_norm"; }
    std::string_view operator()(const Softmax&) const { return "softmax"; }
    std::string_view operator()(const Gelu&) const { return "gelu"; }
  };
  return std::visit(Name{}, kind);
}

std::uint8_t worker_count(const Tensor& tensor) {
  const std::optional<std::size_t> elements = checked_elements(tensor.shape);
  return !elements || *elements >= 96 ? 6 : 1;
}

SpecializationKey specialization_key(const OpKind& kind, const Tensor& result, const Layout& layout,
                                     std::uint16_t tile) {
  const bool tail = !layout.tiles.empty() && layout.tiles.back() == tile;
  return SpecializationKey{std::string(operation_name(kind)), result.shape, worker_count(result),
                           tail ? "tail" : "body", layout.alignment};
}

}  // namespace velk_compiler
