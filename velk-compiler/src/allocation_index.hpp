// An index of a schedule's allocations by (tensor, tile), built once per lowering call. Each
// lookup yields the matching allocations in allocation-list order, so "the first match in
// Schedule::allocations" stays exactly what a linear scan would find.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

class AllocationIndex {
 public:
  explicit AllocationIndex(std::span<const Allocation> allocations) : allocations_(allocations) {
    entries_.reserve(allocations.size());
    for (std::size_t i = 0; i < allocations.size(); ++i) {
      entries_.push_back(Entry{allocations[i].tensor.index, allocations[i].tile, i});
    }
    std::sort(entries_.begin(), entries_.end());
    // Where tensor indices are dense (as in every compiled schedule), remember where each
    // tensor's entries start, so a lookup searches only that tensor's tiles. The highest
    // index is compared before 1 is added to it, since any machine word may name a tensor.
    const std::size_t highest = entries_.empty() ? 0 : entries_.back().tensor;
    if (!entries_.empty() && highest < 2 * entries_.size() + 64) {
      const std::size_t tensors = highest + 1;
      tensor_starts_.assign(tensors + 1, entries_.size());
      for (std::size_t i = entries_.size(); i-- > 0;) tensor_starts_[entries_[i].tensor] = i;
      for (std::size_t t = tensors; t-- > 0;) tensor_starts_[t] = std::min(tensor_starts_[t], tensor_starts_[t + 1]);
    }
  }

  // The first allocation of `tensor` on `tile`, in list order, that `matches`; or nullptr.
  template <class Predicate>
  const Allocation* first(TensorId tensor, std::uint16_t tile, Predicate&& matches) const {
    auto begin = entries_.begin();
    auto end = entries_.end();
    if (!tensor_starts_.empty()) {
      if (tensor.index >= tensor_starts_.size() - 1) return nullptr;  // no entries; never wraps
      begin += static_cast<std::ptrdiff_t>(tensor_starts_[tensor.index]);
      end = entries_.begin() + static_cast<std::ptrdiff_t>(tensor_starts_[tensor.index + 1]);
    }
    auto entry = std::lower_bound(begin, end, Entry{tensor.index, tile, 0});
    for (; entry != end && entry->tensor == tensor.index && entry->tile == tile; ++entry) {
      const Allocation& a = allocations_[entry->position];
      if (matches(a)) return &a;
    }
    return nullptr;
  }

 private:
  struct Entry {
    std::size_t tensor;
    std::uint16_t tile;
    std::size_t position;
    auto operator<=>(const Entry&) const = default;
  };

  std::span<const Allocation> allocations_;
  std::vector<Entry> entries_;              // sorted by (tensor, tile, list position)
  std::vector<std::size_t> tensor_starts_;  // per tensor, its first entry; empty when sparse
};

}  // namespace velk_compiler
