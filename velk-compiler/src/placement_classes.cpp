// Placement shared between tiles with the same requests.
#include "placement_classes.hpp"

#include <algorithm>

namespace velk_compiler {

std::size_t PlacementClasses::class_of(std::uint16_t tile) {
  if (tile >= class_of_tile_.size()) {
    classes_[EMPTY].members += std::size_t{tile} + 1 - class_of_tile_.size();
    class_of_tile_.resize(std::size_t{tile} + 1, EMPTY);
  }
  return class_of_tile_[tile];
}

// One member moves from class `from` to class `to`.
void PlacementClasses::leave(std::size_t from, std::size_t to) {
  --classes_[from].members;
  ++classes_[to].members;
  if (classes_[from].members == 0 && !classes_[from].parent && from != EMPTY) retire(from);
}

// A class without members that no step leads to can never be entered again: its regions
// go, and its steps with them, which may leave classes they led to unreachable in turn.
void PlacementClasses::retire(std::size_t unreachable) {
  std::vector<std::size_t> pending{unreachable};
  while (!pending.empty()) {
    Class& retired = classes_[pending.back()];
    pending.pop_back();
    for (const Step& step : retired.steps) forget_step_to(step.to, pending);
    retired.regions = {};
    retired.steps = {};
  }
}

// The step into class `target` is gone; without members it is then unreachable.
void PlacementClasses::forget_step_to(std::size_t target, std::vector<std::size_t>& unreachable) {
  classes_[target].parent.reset();
  if (classes_[target].members == 0) unreachable.push_back(target);
}

Result<std::uint32_t> PlacementClasses::place(const RegionRequest& request) {
  const std::size_t current = class_of(request.tile);
  const Shape shape{request.size,      request.live_from,       request.live_until,
                    request.alignment, request.allocation_base, request.allocation_limit};
  for (const Step& step : classes_[current].steps) {
    if (step.shape == shape) {
      class_of_tile_[request.tile] = step.to;
      leave(current, step.to);
      return step.address;
    }
  }

  const Result<std::uint32_t> address = first_fit(classes_[current].regions, request, live_scratch_);
  if (!address) return address;
  const TileRegion entry{request.live_until, request.live_from, *address, request.size, 0};
  const auto insert = [&entry](std::vector<TileRegion>& regions) {
    regions.insert(std::upper_bound(regions.begin(), regions.end(), entry), entry);
  };

  Class& own = classes_[current];
  if (own.members == 1 && current != EMPTY) {
    // The tile is alone in its class, which becomes its new state: the step that led here
    // and the steps out of the old state no longer describe it.
    if (own.parent) {
      std::erase_if(classes_[*own.parent].steps, [current](const Step& step) { return step.to == current; });
      own.parent.reset();
    }
    std::vector<std::size_t> unreachable;
    for (const Step& step : own.steps) forget_step_to(step.to, unreachable);
    own.steps.clear();
    insert(own.regions);
    for (const std::size_t gone : unreachable) retire(gone);
    return address;
  }

  Class next{own.regions, 0, current, {}};
  insert(next.regions);
  const std::size_t created = classes_.size();
  own.steps.push_back(Step{shape, created, *address});
  classes_.push_back(std::move(next));
  class_of_tile_[request.tile] = created;
  leave(current, created);
  return address;
}

}  // namespace velk_compiler
