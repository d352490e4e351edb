// Fuzz target: Topology::multicast, the fabric timing model, and joining the planned rows of
// a whole exchange epoch into per-tile plan programs.
//
// The input is a list of multicasts (sender, receivers, word count, extra offset) on the R77
// card or on a small hand-built topology, and a pair of tiles for the timing model, which is
// held to pairs worked out by hand and to its ranges. Each call is compared with an independent
// model of the planner: the refusal it must give, in the documented order, or the exact sender
// and receiver rows with their cycle counts. Every plan is then patched with fuzzed addresses
// and its rows joined into the programs of an epoch laid out as the compiler lays one out: slots
// one after another, each starting one cycle after every event before it, no tile with two
// roles in one slot. Every join must succeed, and every finished program must hold one entry
// and one return word and cover exactly the epoch's horizon.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_exchange::ExchangeError;
using velk_exchange::MulticastPlan;
using velk_exchange::PlanProgramBuilder;
using velk_exchange::Row;
using velk_exchange::Topology;
using velk_fuzz::FuzzInput;
using velk_fuzz::require;

constexpr std::uint32_t MAX_EVENT_CYCLE = 4095;
constexpr std::size_t MAX_RECEIVERS = 24;

// The timing model is not written out again here: the planner model below times receivers
// with velk_exchange::time_to_mux itself, which check_timing_model holds to pairs worked out by
// hand and to the properties every pair has.
struct TimedPair {
  std::uint32_t source;
  std::uint32_t destination;
  std::int32_t displacement;
  std::int32_t time_to_mux;
};

// Worked out by hand from the fields of both physical numbers (topology.hpp): column group g,
// half h (bit 5), row r, bit 0 b0, bits 0–1 L, bits 3–4 q, and e(g) = g for g ≤ 7, else 15 − g:
//   D = 6 (e(g_d) − e(g_s) − (h_s xor b0_s)) + k,  k = L_d ≤ 1 ? (h_d = L_d ? 1 : 5)
//                                                              : (h_d = b0_d ? 2 : 4)
//   time_to_mux = [8 h_s + q_s − g_d + (⌊(g_s mod 8) / 2⌋ xor 3)] + 4 e(g_s) + turn − 4 e(g_d)
//                 + 2 (r_s − r_d) + |D| − 34,  turn = (g_s mod 8) + 1 within one half,
//                                                     16 − (g_s mod 8) across.
// Each comment gives the fields (h = 1 exactly when g ≥ 8; a field not named is 0), D, then the
// terms of time_to_mux in that order. velk-exchange/tests/multicast_test.cpp pins the same pairs.
constexpr TimedPair HAND_TIMED_PAIRS[] = {
    // 0 → 2 (L 2): D = (0 − 0 − 0) × 6 + 2 = 2;  (0 + 0 − 0 + 3) + 0 + 1 − 0 + 0 + 2 − 34 = −28.
    {0, 2, 2, -28},
    // 0 → 1409 (r 22, L 1, b0 1): D = (0 − 0 − 0) × 6 + 5 = 5;
    //   (0 + 0 − 0 + 3) + 0 + 1 − 0 − 44 + 5 − 34 = −69.
    {0, 1409, 5, -69},
    // 1 (b0 1) → 1412 (r 22, g 1, L 0): D = (1 − 0 − 1) × 6 + 1 = 1;
    //   (0 + 0 − 1 + 3) + 0 + 1 − 4 − 44 + 1 − 34 = −78, the least on the R77.
    {1, 1412, 1, -78},
    // 1440 (r 22, g 8) → 0: D = (0 − 7 − 1) × 6 + 1 = −47;
    //   (8 + 0 − 0 + 3) + 28 + 16 − 0 + 44 + 47 − 34 = 112, the greatest on the R77.
    {1440, 0, -47, 112},
    // 777 (r 12, g 2, q 1, b0 1) → 5 (g 1, L 1, b0 1): D = (1 − 2 − 1) × 6 + 5 = −7;
    //   (0 + 1 − 1 + 2) + 8 + 3 − 4 + 24 + 7 − 34 = 6.
    {777, 5, -7, 6},
    // 1000 (r 15, g 10, q 1) → 1001 (r 15, g 10, L 1, b0 1): D = (5 − 5 − 1) × 6 + 1 = −5;
    //   (8 + 1 − 10 + 2) + 20 + 3 − 20 + 0 + 5 − 34 = −25.
    {1000, 1001, -5, -25},
    // 100 (r 1, g 9) → 1400 (r 21, g 14, L 0): D = (1 − 6 − 1) × 6 + 5 = −31;
    //   (8 + 0 − 14 + 3) + 24 + 2 − 4 − 40 + 31 − 34 = −24.
    {100, 1400, -31, -24},
    // 5 (g 1, b0 1) → 34 (g 8, L 2): D = (7 − 1 − 1) × 6 + 4 = 34;
    //   (0 + 0 − 8 + 3) + 4 + 15 − 28 + 0 + 34 − 34 = −14.
    {5, 34, 34, -14},
    // 1471 (r 22, g 15, q 3, b0 1) → 727 (r 11, g 5, L 3, b0 1): D = (5 − 0 − 0) × 6 + 4 = 34;
    //   (8 + 3 − 5 + 0) + 0 + 9 − 20 + 22 + 34 − 34 = 17.
    {1471, 727, 34, 17},
    // 300 (r 4, g 11, q 1) → 483 (r 7, g 8, L 3, b0 1): D = (7 − 4 − 1) × 6 + 2 = 14;
    //   (8 + 1 − 8 + 2) + 16 + 4 − 28 − 6 + 14 − 34 = −31.
    {300, 483, 14, -31},
    // 2047, beyond the card (r 31, g 15, q 3, b0 1) → 0: D = (0 − 0 − 0) × 6 + 1 = 1;
    //   (8 + 3 − 0 + 0) + 0 + 9 − 0 + 62 + 1 − 34 = 49.
    {2047, 0, 1, 49},
};

constexpr std::uint32_t R77_TILES = 1472;  // the card's physical numbers are 0 … 1471
constexpr std::uint32_t FABRIC_BITS = 0x7FF;

// The hand-computed pairs, then one fuzzed pair: only bits 0–10 of either number count, and on
// the R77 the results stay within their documented ranges.
void check_timing_model(std::uint32_t source_bits, std::uint32_t destination_bits) {
  for (const TimedPair& pair : HAND_TIMED_PAIRS) {
    require(velk_exchange::route_displacement(pair.source, pair.destination) == pair.displacement,
            "route_displacement of a hand-computed pair");
    require(velk_exchange::time_to_mux(pair.source, pair.destination) == pair.time_to_mux,
            "time_to_mux of a hand-computed pair");
  }
  const std::uint32_t source = source_bits & FABRIC_BITS;
  const std::uint32_t destination = destination_bits & FABRIC_BITS;
  const std::int32_t displacement = velk_exchange::route_displacement(source, destination);
  const std::int32_t mux = velk_exchange::time_to_mux(source, destination);
  require(velk_exchange::route_displacement(source_bits, destination_bits) == displacement,
          "route_displacement reads only bits 0-10");
  require(velk_exchange::time_to_mux(source_bits, destination_bits) == mux, "time_to_mux reads only bits 0-10");
  if (source < R77_TILES && destination < R77_TILES) {
    require(displacement >= -47 && displacement <= 47, "route_displacement lies in -47 ... 47 on the R77");
    require(mux >= -78 && mux <= 112, "time_to_mux lies in -78 ... 112 on the R77");
  }
}

// The physical number of a tile the fabric can address, or nothing.
std::optional<std::uint32_t> fabric_physical(const Topology& topology, std::uint16_t logical) {
  if (logical >= topology.tile_count()) return std::nullopt;
  const std::uint32_t physical = topology.logical_to_physical[logical];
  if (physical > FABRIC_BITS) return std::nullopt;
  return physical;
}

std::uint32_t model_delay(std::uint32_t cycles) { return 0x40A00000 | (cycles & 0x7FFFF); }
std::uint32_t model_pic(std::uint32_t a, std::uint32_t c) {
  return 0x60000000 | ((a << 19) & 0x03F80000) | (c & 0x3FFFF);
}
std::uint32_t model_xpic(std::uint32_t a, std::uint32_t c) {
  return 0x64000000 | ((a << 14) & 0x03FFC000) | (c & 0x1FFF);
}

Row model_sender_row(std::uint32_t start, std::uint32_t count) {
  std::vector<std::uint32_t> words{velk_exchange::ROW_ENTRY_WORD};
  if (start >= 1) words.push_back(model_delay(start - 1));
  words.push_back(0x78000003 | ((std::min(count, 64u) - 1) << 21));
  if (count > 64) {
    const std::uint32_t rest = count - 65;
    words.push_back(0x70000003 | ((rest & 0x3F) << 21) | (((rest >> 6) & 0x3F) << 14));
  }
  const std::int64_t trailing = 4 - (std::int64_t{start} - 1) - count;
  if (trailing >= 0) words.push_back(model_delay(static_cast<std::uint32_t>(trailing)));
  words.push_back(velk_exchange::ROW_RETURN_WORD);
  Row row{};
  std::copy(words.begin(), words.end(), row.begin());
  return row;
}

Row model_receiver_row(std::uint32_t source, std::uint32_t receive_cycle, std::uint32_t count, std::uint32_t phase) {
  const std::uint32_t wait = model_xpic(receive_cycle, source);
  if (count <= 51) {
    return {velk_exchange::ROW_ENTRY_WORD,
            wait,
            model_xpic(count - 1, 0x640),
            model_pic(51 - count + phase, 0x14000),
            model_delay(count + 4),
            velk_exchange::ROW_RETURN_WORD,
            0,
            0,
            0};
  }
  if (count == 52) {
    return {velk_exchange::ROW_ENTRY_WORD,
            wait,
            model_pic(phase + 50, 0x14000),
            model_xpic(0, 0x640),
            model_delay(56),
            velk_exchange::ROW_RETURN_WORD,
            0,
            0,
            0};
  }
  return {velk_exchange::ROW_ENTRY_WORD,
          wait,
          model_pic(phase + 51, 0x14000),
          model_xpic(count - 53, 0x640),
          model_delay(56),
          velk_exchange::ROW_RETURN_WORD,
          0,
          0,
          0};
}

// What multicast must return: the refusal of the first failing check, or the plan.
[[nodiscard]] velk_exchange::Result<MulticastPlan> model_multicast(const Topology& topology, std::uint16_t sender,
                                                                   std::span<const std::uint16_t> receivers,
                                                                   std::uint32_t count, std::uint32_t offset) {
  if (count == 0 || count > 4148) return std::unexpected(ExchangeError::count(count));
  const std::optional<std::uint32_t> source = fabric_physical(topology, sender);
  if (!source) return std::unexpected(ExchangeError::tile(sender));
  if (receivers.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::set<std::uint16_t> used{sender};
  std::vector<std::uint32_t> physical;
  for (const std::uint16_t receiver : receivers) {
    const std::optional<std::uint32_t> p = fabric_physical(topology, receiver);
    if (!p || !used.insert(receiver).second) return std::unexpected(ExchangeError::receiver_set());
    physical.push_back(*p);
  }
  std::vector<std::int32_t> mux;
  for (const std::uint32_t p : physical) mux.push_back(velk_exchange::time_to_mux(*source, p));
  const std::int64_t natural = std::max<std::int64_t>(-*std::min_element(mux.begin(), mux.end()), 0);
  const std::int64_t start = natural + offset;
  if (start > MAX_EVENT_CYCLE) return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  MulticastPlan plan{model_sender_row(static_cast<std::uint32_t>(start), count), {}};
  for (std::size_t i = 0; i < physical.size(); ++i) {
    const std::int64_t receive = start + mux[i];
    if (receive < 0 || receive > MAX_EVENT_CYCLE) {
      return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
    }
    plan.receivers.push_back(
        model_receiver_row(*source, static_cast<std::uint32_t>(receive), count, (physical[i] >> 6) * 2));
  }
  return plan;
}

std::uint32_t cycles_of(const Row& row) {
  const velk_exchange::Result<std::uint32_t> cycles = velk_exchange::plan_event_cycles(row);
  require(cycles.has_value(), "a planned row's cycles fit in 32 bits");
  return *cycles;
}

// The planned rows' own cycle counts: the sender spends max(6, start + count), each
// receiver its receive cycle + count + phase + 58.
void check_row_cycles(const MulticastPlan& plan, std::uint32_t count) {
  const std::uint32_t start = velk_exchange::instruction_kind(plan.sender[1]) == velk_exchange::InstructionKind::Delay
                                  ? velk_exchange::instruction_advance(plan.sender[1])
                                  : 0;
  require(cycles_of(plan.sender) == std::max(6u, start + count), "a sender row spends max(6, start + count) cycles");
  for (const Row& receiver : plan.receivers) {
    const std::uint32_t receive_cycle = velk_exchange::decode_instruction(receiver[1]).a;
    const std::uint32_t phase_field = velk_exchange::decode_instruction(receiver[count <= 51 ? 3 : 2]).a;
    const std::uint32_t phase = count <= 51 ? phase_field + count - 51 : phase_field - (count == 52 ? 50 : 51);
    require(cycles_of(receiver) == receive_cycle + count + phase + 58,
            "a receiver row spends receive cycle + count + phase + 58 cycles");
  }
}

// Any topology the fabric might be described by: mostly the R77 card, now and then a few
// tiles with fuzzed physical numbers, some beyond what the fabric addresses.
Topology read_topology(FuzzInput& in) {
  static const Topology r77 = Topology::r77();
  if (in.byte() != 0xFF) return r77;
  Topology topology;
  const std::size_t tiles = 1 + in.byte() % 48;
  for (std::size_t i = 0; i < tiles; ++i)
    topology.logical_to_physical.push_back(in.flag() ? in.u16() : in.u16() & 0x7FF);
  return topology;
}

std::uint16_t read_tile(FuzzInput& in, const Topology& topology) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return in.u16();
  return static_cast<std::uint16_t>(in.in_range(0, static_cast<std::uint32_t>(topology.tile_count())));
}

std::uint32_t read_count(FuzzInput& in) {
  const std::uint8_t form = in.byte();
  if (form == 0xFF) return in.u32();
  if (form >= 0xC0) return in.in_range(0, 4150);
  return in.in_range(1, 80);
}

// The rows of one epoch, joined per tile as the compiler joins them.
struct Epoch {
  std::map<std::uint16_t, PlanProgramBuilder> builders;
  std::set<std::uint16_t> slot_tiles;  // tiles with a role in the current slot
  std::uint32_t horizon = 0;           // end of every event of the slots before the current one
  std::uint32_t slot_horizon = 0;      // the same, the current slot included

  void next_slot() {
    horizon = slot_horizon;
    slot_tiles.clear();
  }
  std::uint32_t slot_offset() const { return horizon == 0 ? 0 : horizon + 1; }
};

void join(Epoch& epoch, std::uint16_t tile, const Row& row) {
  const velk_exchange::Result<void> appended = epoch.builders[tile].append_scheduled_row(row);
  require(appended.has_value(), "a row of a later slot always joins its tile's program",
          appended ? "" : velk_exchange::to_string(appended.error()));
  epoch.slot_tiles.insert(tile);
  epoch.slot_horizon = std::max(epoch.slot_horizon, cycles_of(row));
}

void plan_one(FuzzInput& in, const Topology& topology, Epoch& epoch) {
  const std::uint16_t sender = read_tile(in, topology);
  std::vector<std::uint16_t> receivers(in.byte() % (MAX_RECEIVERS + 1));
  for (std::uint16_t& receiver : receivers) receiver = read_tile(in, topology);
  const std::uint32_t count = read_count(in);
  const std::uint8_t extra_form = in.byte();
  const std::uint32_t extra = extra_form == 0xFF ? in.in_range(0, 4200) : extra_form % 8;

  // A tile may hold one role per slot: a multicast touching a tile of the current slot, or
  // one the input asks to separate, starts the next slot.
  const bool shares_tile =
      epoch.slot_tiles.contains(sender) ||
      std::any_of(receivers.begin(), receivers.end(), [&](std::uint16_t r) { return epoch.slot_tiles.contains(r); });
  if (shares_tile || in.byte() == 0xFF) epoch.next_slot();
  const std::uint32_t offset = epoch.slot_offset() + extra;

  const velk_exchange::Result<MulticastPlan> plan = topology.multicast(sender, receivers, count, offset);
  const velk_exchange::Result<MulticastPlan> expected = model_multicast(topology, sender, receivers, count, offset);
  require(plan == expected, "multicast plans exactly the modelled rows, or refuses as modelled",
          plan ? "plan" : velk_exchange::to_string(plan.error()));
  if (!plan) return;
  check_row_cycles(*plan, count);

  MulticastPlan patched = *plan;
  const std::uint32_t source_address = 4 * in.in_range(0, 0x3FFFF);
  require(velk_exchange::patch_sender_address(patched.sender, source_address).has_value(),
          "every sender row takes a valid source address");
  for (Row& receiver : patched.receivers) {
    const std::uint32_t address = velk_exchange::RECEIVE_WINDOW_BASE + 4 * in.in_range(0, 0x1FFF);
    require(velk_exchange::patch_multicast_receiver_address(receiver, address).has_value(),
            "every receiver row takes an address of the receive window");
  }
  join(epoch, sender, patched.sender);
  for (std::size_t i = 0; i < receivers.size(); ++i) join(epoch, receivers[i], patched.receivers[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span<const std::uint8_t>(data, size));
  const Topology topology = read_topology(in);

  // The timing model on a pair of tiles whose fuzzed bits above bit 10 repeat in the upper half.
  const std::uint32_t source_bits = in.u16();
  const std::uint32_t destination_bits = in.u16();
  check_timing_model(source_bits << 16 | source_bits, destination_bits << 16 | destination_bits);

  Epoch epoch;
  const std::size_t multicasts = 1 + in.byte() % 12;
  for (std::size_t i = 0; i < multicasts && !in.exhausted(); ++i) plan_one(in, topology, epoch);
  epoch.next_slot();

  for (auto& [tile, builder] : epoch.builders) {
    const velk_exchange::Result<std::vector<std::uint32_t>> program = std::move(builder).finish(epoch.horizon);
    require(program.has_value(), "every program finishes on the epoch's horizon");
    require(std::count(program->begin(), program->end(), velk_exchange::ROW_ENTRY_WORD) == 1 &&
                std::count(program->begin(), program->end(), velk_exchange::ROW_RETURN_WORD) == 1 &&
                program->front() == velk_exchange::ROW_ENTRY_WORD && program->back() == velk_exchange::ROW_RETURN_WORD,
            "a finished program holds one entry and one return word");
    require(velk_exchange::plan_event_cycles(*program) == epoch.horizon, "a finished program covers the horizon");
  }
  return 0;
}
