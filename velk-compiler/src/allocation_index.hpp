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
  }

  // The first allocation of `tensor` on `tile`, in list order, that `matches`; or nullptr.
  template <class Predicate>
  const Allocation* first(TensorId tensor, std::uint16_t tile, Predicate&& matches) const {
    auto entry = std::lower_bound(entries_.begin(), entries_.end(), Entry{tensor.index, tile, 0});
    for (; entry != entries_.end() && entry->tensor == tensor.index && entry->tile == tile; ++entry) {
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
  std::vector<Entry> entries_;  // sorted by (tensor, tile, list position)
};

}  // namespace velk_compiler
