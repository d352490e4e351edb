// Layout choice and kernel specialisation: where each tensor lives and which kernel
// variant each launch runs. Small pure functions of one tensor or one operation kind,
// so every layout is a run of tiles from tile 0, whatever the tensor's neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// Bytes of tensor data per layout tile are counted in started blocks of this size.
inline constexpr std::size_t LAYOUT_BLOCK_BYTES = 1024;
// Every share is aligned to this many bytes in tile memory.
inline constexpr std::uint32_t LAYOUT_ALIGNMENT = 16;

// One tile per started 1024-byte block, at least 1 and at most `tile_count` (which must
// be at least 1; 0 is treated as 1).
Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);

// The tensor's byte size divided by the layout's tile count, rounded up: the same share on
// every tile whatever the sharding. A layout without tiles holds nothing: 0.
std::size_t local_bytes(const Tensor& tensor, const Layout& layout);

// The kernel family's name: "matmul", "add", "mul", "reshape", "transpose",
// "layer_norm", "softmax" or "gelu".
std::string_view operation_name(const OpKind& kind);

// 6 workers for results of 96 or more elements, else 1.
std::uint8_t worker_count(const Tensor& tensor);

// The key of the launch on `tile` of an operation of `kind` whose result is `result`
// laid out by `layout`: "tail" on the layout's last tile, "body" elsewhere.
SpecializationKey specialization_key(const OpKind& kind, const Tensor& result, const Layout& layout,
                                     std::uint16_t tile);

}  // namespace velk_compiler
