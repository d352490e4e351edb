// Placement shared between tiles. A tile's regions and their addresses follow from the
// requests it has received, in order, alone: first fit reads nothing else. Tiles that have
// received the same requests so far therefore hold the same regions at the same addresses,
// and on a regular layout that is most of them. Such tiles share one class, one region
// list, and the first of them to take a request records its outcome for the others, who
// then follow it without searching. A tile whose requests differ leaves for a class of its
// own, so every address is exactly the one its own tile's first fit gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {

// The planner's first fit of `request` among one tile's regions (ordered by end of life);
// `live` is working space. allocate_region's rule and messages.
[[nodiscard]] Result<std::uint32_t> first_fit(std::span<const TileRegion> tile_regions, const RegionRequest& request,
                                              std::vector<TileRegion>& live);

class PlacementClasses {
 public:
  // Places the request on its tile: the address allocate_region would give it after the
  // tile's earlier requests, or its error (and then nothing changes).
  [[nodiscard]] Result<std::uint32_t> place(const RegionRequest& request);

 private:
  // What of a request decides its address, beside the tile's regions.
  struct Shape {
    std::uint32_t size = 0;
    std::size_t live_from = 0;
    std::size_t live_until = 0;
    std::uint32_t alignment = 0;
    std::uint32_t base = 0;
    std::uint32_t limit = 0;
    bool operator==(const Shape&) const = default;
  };
  // A request taken by a member of a class: the class its takers go to and the address.
  struct Step {
    Shape shape;
    std::size_t to = 0;
    std::uint32_t address = 0;
  };
  struct Class {
    std::vector<TileRegion> regions;  // ordered by end of life, positions unused
    std::size_t members = 0;
    std::optional<std::size_t> parent;  // the class whose step leads here, while that step holds
    std::vector<Step> steps;
  };

  std::size_t class_of(std::uint16_t tile);
  void leave(std::size_t from, std::size_t to);
  void retire(std::size_t unreachable);
  void forget_step_to(std::size_t target, std::vector<std::size_t>& unreachable);

  std::vector<std::size_t> class_of_tile_;
  // The class of tiles without regions, where every tile starts. It stays so, whoever
  // leaves it, since a tile not seen yet may join it at any time.
  static constexpr std::size_t EMPTY = 0;
  std::vector<Class> classes_{Class{}};
  std::vector<TileRegion> live_scratch_;
};

}  // namespace velk_compiler
