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
    std::size_t highest = 0;
    for (const Allocation& a : allocations) highest = std::max(highest, a.tensor.index);
    if (highest < 2 * allocations.size() + 64) {
      group_by_dense_tensor(allocations.empty() ? 0 : highest + 1);
    } else {
      for (std::size_t i = 0; i < allocations.size(); ++i) entries_.push_back(entry(i));
      std::sort(entries_.begin(), entries_.end());
    }
  }

  // The first allocation of `tensor` on `tile`, in list order, that `matches`; or nullptr.
  template <class Predicate>
  const Allocation* first(TensorId tensor, std::uint16_t tile, Predicate&& matches) const {
    auto begin = entries_.begin();
    auto end = entries_.end();
    if (!tensor_starts_.empty()) {
      if (tensor.index >= tensor_starts_.size() - 1) return nullptr;
      begin += static_cast<std::ptrdiff_t>(tensor_starts_[tensor.index]);
      end = entries_.begin() + static_cast<std::ptrdiff_t>(tensor_starts_[tensor.index + 1]);
    }
    auto found = std::lower_bound(begin, end, Entry{tensor.index, tile, 0});
    for (; found != end && found->tensor == tensor.index && found->tile == tile; ++found) {
      const Allocation& a = allocations_[found->position];
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

  Entry entry(std::size_t position) const {
    return {allocations_[position].tensor.index, allocations_[position].tile, position};
  }

  // Tensor indices are dense in every compiled schedule: a counting sort by tensor keeps list
  // order within each tensor, where the homes already come in tile order, so each tensor's
  // run rarely needs sorting.
  void group_by_dense_tensor(std::size_t tensors) {
    tensor_starts_.assign(tensors + 1, 0);
    for (const Allocation& a : allocations_) ++tensor_starts_[a.tensor.index + 1];
    for (std::size_t t = 0; t < tensors; ++t) tensor_starts_[t + 1] += tensor_starts_[t];
    std::vector<std::size_t> next(tensor_starts_.begin(), tensor_starts_.end() - 1);
    entries_.resize(allocations_.size());
    for (std::size_t i = 0; i < allocations_.size(); ++i) entries_[next[allocations_[i].tensor.index]++] = entry(i);
    for (std::size_t t = 0; t < tensors; ++t) {
      const auto run_begin = entries_.begin() + static_cast<std::ptrdiff_t>(tensor_starts_[t]);
      const auto run_end = entries_.begin() + static_cast<std::ptrdiff_t>(tensor_starts_[t + 1]);
      if (!std::is_sorted(run_begin, run_end)) std::sort(run_begin, run_end);
    }
  }

  std::span<const Allocation> allocations_;
  std::vector<Entry> entries_;              // sorted by (tensor, tile, list position)
  std::vector<std::size_t> tensor_starts_;  // dense: where each tensor's entries start
};

// The two ways of finding "the first allocation of `tensor` on `tile`, in list order, that
// matches": a scan of the list, for the public one-off lookups, and the index, for whole
// lowerings. Rules written over a lookup (`first(tensor, tile, predicate)`) serve both.
struct ListLookup {
  std::span<const Allocation> allocations;
  template <class Predicate>
  const Allocation* operator()(TensorId tensor, std::uint16_t tile, Predicate&& matches) const {
    for (const Allocation& a : allocations) {
      if (a.tensor == tensor && a.tile == tile && matches(a)) return &a;
    }
    return nullptr;
  }
};

struct IndexedLookup {
  const AllocationIndex& index;
  template <class Predicate>
  const Allocation* operator()(TensorId tensor, std::uint16_t tile, Predicate&& matches) const {
    return index.first(tensor, tile, matches);
  }
};

}  // namespace velk_compiler
