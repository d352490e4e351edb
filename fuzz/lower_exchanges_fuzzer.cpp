// Fuzz target: Schedule::lower_exchanges on fuzzed transfer sets and allocations.
//
// The input describes a schedule by hand: a tile count, a few phases (mostly exchanges, some
// compute phases between them), each exchange's transfers, and the regions the lowering reads:
// homes on source tiles, staging regions on destination tiles, staging copies kept from
// earlier phases, each present or missing, inside or outside its window, as the input says.
// Relays, fan-out, conflicts and cycles all arise from such inputs.
//
// Each step of the scheduler (grouping, conflicts, colouring, slot order) is compared with a
// model written from its rules. Every successful lowering must pass verify_lowered_exchanges,
// be repeated exactly by a second call, lay its groups out slot by slot as exchange_slots
// orders them, and read and write exactly the regions that the straightforward source and
// staging lookups name. Every failure must be one of the documented errors; the errors
// documented as unreachable are findings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_compiler::Allocation;
using velk_compiler::CompileError;
using velk_compiler::ExchangePhase;
using velk_compiler::ExchangeStaging;
using velk_compiler::Home;
using velk_compiler::Result;
using velk_compiler::Schedule;
using velk_compiler::TensorId;
using velk_compiler::Transfer;
using velk_fuzz::FuzzInput;
using velk_fuzz::require;

constexpr std::size_t MAX_PHASES = 4;
constexpr std::size_t MAX_TRANSFERS = 24;
constexpr std::uint32_t MAX_TENSORS = 6;
constexpr std::uint16_t MAX_TILES = 32;

std::uint16_t read_tile(FuzzInput& in, std::uint16_t tile_count) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return static_cast<std::uint16_t>(in.in_range(0, 1500));
  return static_cast<std::uint16_t>(form % tile_count);
}

std::uint32_t read_bytes(FuzzInput& in) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return in.u32();
  if (form == 0xFE) return in.in_range(0, 64);
  if (form >= 0xF0) return 4 * in.in_range(1, 4200);
  return 4 * (1 + form % 64u);
}

// An address in the window from `base`, on a 16-byte grid, or now and then any address.
std::uint32_t read_address(FuzzInput& in, std::uint32_t base) {
  if (in.byte() == 0xFF) return in.u32();
  return base + 16 * in.in_range(0, 0x7FF);
}

// Mostly one of a few tensors, so that groups coalesce and relays arise; now and then an index
// far beyond any graph's, up to the largest machine word.
TensorId read_tensor(FuzzInput& in) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return TensorId{SIZE_MAX - in.byte() % 4};
  if (form == 0xFE) return TensorId{std::size_t{in.u32()} + in.byte()};
  return TensorId{form % MAX_TENSORS};
}

Transfer read_transfer(FuzzInput& in, std::uint16_t tile_count) {
  Transfer t;
  t.source_tile = read_tile(in, tile_count);
  t.destination_tile = read_tile(in, tile_count);
  t.tensor = read_tensor(in);
  t.bytes = read_bytes(in);
  return t;
}

// The regions a transfer of exchange phase `p` relies on, each there unless the input
// leaves it out: a home of the tensor on the source, a staging region of the phase on the
// destination, and now and then a staging region of an earlier phase on the source that may
// still be live at `p`.
void add_regions(FuzzInput& in, std::vector<Allocation>& allocations, const Transfer& t, std::size_t p,
                 std::size_t phases) {
  const std::uint8_t form = in.byte();
  if (form % 4 != 0) {
    allocations.push_back(Allocation{t.tensor, t.source_tile, read_address(in, 0x58000), t.bytes, 0, phases, Home{}});
  }
  if (form % 16 != 1) {
    std::size_t until = p + 1;
    if (in.byte() == 0xFF) until = in.in_range(0, static_cast<std::uint32_t>(phases + 1));
    allocations.push_back(
        Allocation{t.tensor, t.destination_tile, read_address(in, 0x50000), t.bytes, p, until, ExchangeStaging{p}});
  }
  if (form >= 0xE0 && p > 0) {
    const std::size_t earlier = in.in_range(0, static_cast<std::uint32_t>(p - 1));
    const std::size_t until = earlier + in.in_range(0, 3);
    allocations.push_back(Allocation{t.tensor, t.source_tile, read_address(in, 0x50000), t.bytes, earlier, until,
                                     ExchangeStaging{earlier}});
  }
}

Schedule read_schedule(FuzzInput& in) {
  Schedule schedule;
  schedule.tile_count = static_cast<std::uint16_t>(1 + in.byte() % MAX_TILES);
  if (schedule.tile_count == 1) schedule.tile_count = 2;
  const std::size_t phases = 1 + in.byte() % MAX_PHASES;
  for (std::size_t p = 0; p < phases; ++p) {
    if (in.byte() >= 0xE0) {
      schedule.phases.emplace_back(velk_compiler::ComputePhase{});
      continue;
    }
    ExchangePhase exchange;
    const std::size_t transfers = in.byte() % (MAX_TRANSFERS + 1);
    for (std::size_t i = 0; i < transfers; ++i) exchange.transfers.push_back(read_transfer(in, schedule.tile_count));
    schedule.phases.emplace_back(std::move(exchange));
  }
  for (std::size_t p = 0; p < phases; ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) continue;
    for (const Transfer& t : exchange->transfers) add_regions(in, schedule.allocations, t, p, phases);
  }
  return schedule;
}

// The R77 card, or now and then fewer tiles than the schedule.
velk_exchange::Topology read_topology(FuzzInput& in, std::uint16_t tile_count) {
  static const velk_exchange::Topology r77 = velk_exchange::Topology::r77();
  if (in.byte() != 0xFF) return r77;
  velk_exchange::Topology topology = r77;
  topology.logical_to_physical.resize(in.in_range(0, tile_count));
  return topology;
}

constexpr std::string_view DOCUMENTED[] = {
    "exchange topology has too few tiles",
    "invalid exchange transfer",
    "multiple sends target one tensor region in an epoch",
    "exchange staging dependencies contain a cycle",
    "tensor {} exchange size is not whole words",
    "missing staging allocation for tensor {} on tile {}",
};

bool documented(const CompileError& error) {
  if (const velk_exchange::ExchangeError* exchange = error.exchange_error()) {
    using Kind = velk_exchange::ExchangeError::Kind;
    switch (exchange->kind()) {
      case Kind::Tile:
      case Kind::Count:
      case Kind::ReceiverSet:
      case Kind::Address: return true;
      case Kind::Schedule:
        return exchange->message() == "multicast start cycle" || exchange->message() == "multicast receive cycle";
      case Kind::DuplicateTile:
      case Kind::HostPacket: return false;
    }
    return false;
  }
  return std::any_of(std::begin(DOCUMENTED), std::end(DOCUMENTED),
                     [&](std::string_view pattern) { return velk_fuzz::matches_message(pattern, error.message()); });
}

// The straightforward lookups: the first staging region of phase `p` of the tensor on the
// tile, in list order.
const Allocation* first_staging(const Schedule& schedule, TensorId tensor, std::uint16_t tile, std::size_t p) {
  for (const Allocation& a : schedule.allocations) {
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    if (a.tensor == tensor && a.tile == tile && staging != nullptr && staging->phase == p) return &a;
  }
  return nullptr;
}

// The scheduler's steps written out from their rules, the slow and obvious way.
std::vector<velk_compiler::PendingGroup> model_groups(std::span<const Transfer> transfers) {
  std::vector<velk_compiler::PendingGroup> groups;
  for (const Transfer& t : transfers) {
    const auto same = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
      return g.source == t.source_tile && g.tensor == t.tensor && g.bytes == t.bytes;
    });
    if (same == groups.end()) {
      groups.push_back({t.source_tile, t.tensor, t.bytes, {t.destination_tile}});
    } else {
      same->destinations.push_back(t.destination_tile);
    }
  }
  for (auto& g : groups) {
    std::sort(g.destinations.begin(), g.destinations.end());
    g.destinations.erase(std::unique(g.destinations.begin(), g.destinations.end()), g.destinations.end());
  }
  return groups;
}

bool among(std::span<const std::uint16_t> tiles, std::uint16_t tile) {
  return std::find(tiles.begin(), tiles.end(), tile) != tiles.end();
}

bool model_conflict(const velk_compiler::PendingGroup& a, const velk_compiler::PendingGroup& b) {
  if (a.source == b.source || among(a.destinations, b.source) || among(b.destinations, a.source)) return true;
  return std::any_of(a.destinations.begin(), a.destinations.end(),
                     [&](std::uint16_t d) { return among(b.destinations, d); });
}

// DSatur: the uncoloured group of greatest (saturation, degree, smaller source, smaller
// tensor), the later one on a full tie, takes the smallest colour no neighbour has.
std::vector<std::size_t> model_colors(std::span<const velk_compiler::PendingGroup> groups,
                                      const std::vector<std::vector<std::size_t>>& adjacency) {
  const std::size_t n = groups.size();
  std::vector<std::optional<std::size_t>> colors(n);
  auto neighbour_colors = [&](std::size_t i) {
    std::vector<std::size_t> seen;
    for (const std::size_t j : adjacency[i]) {
      if (colors[j] && !std::count(seen.begin(), seen.end(), *colors[j])) seen.push_back(*colors[j]);
    }
    return seen;
  };
  for (std::size_t step = 0; step < n; ++step) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < n; ++i) {
      if (colors[i]) continue;
      if (!best) {
        best = i;
        continue;
      }
      const auto key = [&](std::size_t g) {
        return std::tuple{neighbour_colors(g).size(), adjacency[g].size(),
                          -static_cast<std::int64_t>(groups[g].source)};
      };
      const auto ki = key(i);
      const auto kb = key(*best);
      const bool better = ki > kb || (ki == kb && groups[i].tensor.index < groups[*best].tensor.index) ||
                          (ki == kb && groups[i].tensor == groups[*best].tensor);  // later position on a full tie
      if (better) best = i;
    }
    const std::vector<std::size_t> taken = neighbour_colors(*best);
    std::size_t color = 0;
    while (std::count(taken.begin(), taken.end(), color)) ++color;
    colors[*best] = color;
  }
  std::vector<std::size_t> result;
  for (const auto& c : colors) result.push_back(*c);
  return result;
}

// Whether a send of exchange phase `p` can read `tensor` on `tile` before any transfer of `p`.
bool model_readable(const Schedule& schedule, TensorId tensor, std::uint16_t tile, std::size_t p) {
  return std::any_of(schedule.allocations.begin(), schedule.allocations.end(), [&](const Allocation& a) {
    if (a.tensor != tensor || a.tile != tile) return false;
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return staging == nullptr || (staging->phase < p && a.live_from <= p && p < a.live_until);
  });
}

// The colour slots in colour order, each moved ahead only past slots whose sources lack a copy.
std::optional<std::vector<std::vector<velk_compiler::PendingGroup>>> model_slots(
    const Schedule& schedule, std::size_t p, std::span<const velk_compiler::PendingGroup> groups,
    std::span<const std::size_t> colors) {
  const std::size_t count = groups.empty() ? 0 : *std::max_element(colors.begin(), colors.end()) + 1;
  std::vector<std::vector<velk_compiler::PendingGroup>> remaining(count);
  for (std::size_t i = 0; i < groups.size(); ++i) remaining[colors[i]].push_back(groups[i]);
  std::vector<std::pair<TensorId, std::uint16_t>> delivered;
  std::vector<std::vector<velk_compiler::PendingGroup>> ordered;
  while (!remaining.empty()) {
    std::size_t ready = 0;
    for (; ready < remaining.size(); ++ready) {
      const bool all = std::all_of(remaining[ready].begin(), remaining[ready].end(), [&](const auto& g) {
        return model_readable(schedule, g.tensor, g.source, p) ||
               std::count(delivered.begin(), delivered.end(), std::pair{g.tensor, g.source}) != 0;
      });
      if (all) break;
    }
    if (ready == remaining.size()) return std::nullopt;
    for (const auto& g : remaining[ready]) {
      for (const std::uint16_t d : g.destinations) delivered.emplace_back(g.tensor, d);
    }
    ordered.push_back(remaining[ready]);
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(ready));
  }
  return ordered;
}

// Each step of the scheduler on every exchange phase, against the model.
void check_scheduler(const Schedule& schedule) {
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr || !velk_compiler::validate_transfers(exchange->transfers)) continue;
    const std::vector<velk_compiler::PendingGroup> groups = velk_compiler::group_transfers(exchange->transfers);
    require(groups == model_groups(exchange->transfers), "transfers coalesce by source, tensor and bytes");
    const auto adjacency = velk_compiler::exchange_conflict_graph(groups);
    for (std::size_t i = 0; i < groups.size(); ++i) {
      std::vector<std::size_t> expected;
      for (std::size_t j = 0; j < groups.size(); ++j) {
        const bool conflict = velk_compiler::exchange_groups_conflict(groups[i].source, groups[i].destinations,
                                                                      groups[j].source, groups[j].destinations);
        require(conflict == model_conflict(groups[i], groups[j]), "exchange_groups_conflict follows its four tests");
        if (j != i && conflict) expected.push_back(j);
      }
      require(adjacency[i] == expected, "the conflict graph holds exactly the conflicting pairs");
    }
    const std::vector<std::size_t> colors = velk_compiler::color_exchange_groups(groups, adjacency);
    require(colors == model_colors(groups, adjacency), "groups are coloured by saturation with the stated tie-breaks");
    const auto slots = velk_compiler::exchange_slots(schedule, p, exchange->transfers);
    const auto expected = model_slots(schedule, p, groups, colors);
    require(slots.has_value() == expected.has_value() && (!expected || *slots == *expected),
            "slots run in colour order unless a copy must be delivered first");
    if (!expected) {
      require(slots.error() == CompileError::graph("exchange staging dependencies contain a cycle"),
              "a slot order that cannot be found is a staging cycle");
    }
  }
}

void check_phase(const Schedule& schedule, const velk_compiler::LoweredExchangePhase& lowered) {
  const auto& exchange = std::get<ExchangePhase>(schedule.phases[lowered.phase]);
  const auto slots = velk_compiler::exchange_slots(schedule, lowered.phase, exchange.transfers);
  require(slots.has_value(), "exchange_slots succeeds on a phase that lowers");
  std::vector<velk_compiler::PendingGroup> order;
  for (const auto& slot : *slots) order.insert(order.end(), slot.begin(), slot.end());
  const std::vector<velk_compiler::LoweredExchangeGroup> none;
  const auto& groups = lowered.epochs.empty() ? none : lowered.epochs[0].groups;
  require(groups.size() == order.size(), "the launch holds every group of every slot");
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const auto& g = groups[i];
    require(g.source_tile == order[i].source && g.tensor == order[i].tensor && g.bytes == order[i].bytes &&
                g.destination_tiles == order[i].destinations,
            "groups run slot by slot in the scheduler's order");
    const Allocation* source =
        velk_compiler::exchange_source_allocation(schedule, g.tensor, g.source_tile, lowered.phase);
    require(source != nullptr && velk_exchange::sender_address(g.sender) == source->address,
            "the sender reads the region the source copy rule names");
    for (std::size_t d = 0; d < g.destination_tiles.size(); ++d) {
      const Allocation* staging = first_staging(schedule, g.tensor, g.destination_tiles[d], lowered.phase);
      require(staging != nullptr && velk_exchange::receiver_address(g.receivers[d]) == staging->address,
              "each receiver writes its first staging region of the phase");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span<const std::uint8_t>(data, size));
  const Schedule schedule = read_schedule(in);
  const velk_exchange::Topology topology = read_topology(in, schedule.tile_count);

  check_scheduler(schedule);
  const Result<std::vector<velk_compiler::LoweredExchangePhase>> lowered = schedule.lower_exchanges(topology);
  require(schedule.lower_exchanges(topology) == lowered, "lowering is deterministic");
  if (!lowered) {
    require(documented(lowered.error()), "lowering fails only with reachable documented errors",
            to_string(lowered.error()));
    return 0;
  }
  const Result<void> verified = velk_compiler::verify_lowered_exchanges(schedule, *lowered);
  require(verified.has_value(), "verify_lowered_exchanges", verified ? "" : to_string(verified.error()));
  for (const auto& phase : *lowered) check_phase(schedule, phase);
  return 0;
}
