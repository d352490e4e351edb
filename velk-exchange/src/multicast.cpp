// Multicast planning and the fabric timing model. Planning makes one pass over the receivers
// to check the set, one to time them and one to write their rows; the membership set is a
// bitmap indexed by logical tile, only probed, so nothing about its layout reaches a row.
#include "velk_exchange/multicast.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "velk_log/log.hpp"

namespace velk_exchange {
namespace {

constexpr std::uint32_t SEND_DIRECTION = 3;
constexpr std::uint32_t MAX_SEND_WORDS = 64;  // words one send word carries; a send-off takes the rest
// The latest start and receive cycle: a receiver waits for them in an XPIC delay's 12-bit `a`.
constexpr std::uint32_t MAX_EVENT_CYCLE = 4095;
// Physical numbers the fabric can address: the timing model reads bits 0–10, and a receiver
// row keeps the sender's number in an XPIC delay's 13-bit `c` and twice its row in a 7-bit `a`.
constexpr std::uint32_t MAX_FABRIC_PHYSICAL = 0x7FF;
// The fixed `c` operand of a receiver row's second XPIC delay (its first names the sender).
constexpr std::uint32_t RECEIVER_XPIC_OPERAND = 0x640;
constexpr std::uint32_t RECEIVER_CLOSING_CYCLES = 56;  // `cycles` of the closing delay for counts ≥ 52
constexpr std::int32_t MUX_TIME_BIAS = 34;             // the constant part of every time_to_mux
constexpr std::string_view LOG_TARGET = "velk_exchange";

// Fields of a physical tile number as the timing model reads them.
std::int32_t column_group(std::uint32_t physical) { return static_cast<std::int32_t>((physical >> 2) & 0xFu); }
std::int32_t half_of_chip(std::uint32_t physical) { return static_cast<std::int32_t>((physical >> 5) & 1u); }
std::int32_t tile_row(std::uint32_t physical) { return static_cast<std::int32_t>((physical >> 6) & 0x1Fu); }
std::int32_t lowest_bit(std::uint32_t physical) { return static_cast<std::int32_t>(physical & 1u); }

// A column group counted from its half's nearer edge: groups 8–15 count from the other side.
std::int32_t from_nearer_edge(std::int32_t group) { return group <= 7 ? group : group ^ 0xF; }

// A tile's physical number, refused with ExchangeError::tile when the topology has none for it
// or only one beyond what the fabric addresses.
[[nodiscard]] Result<std::uint32_t> fabric_tile(const Topology& topology, std::uint16_t logical) {
  const Result<std::uint16_t> physical = topology.physical(logical);
  if (!physical) return std::unexpected(physical.error());
  if (*physical > MAX_FABRIC_PHYSICAL) return std::unexpected(ExchangeError::tile(logical));
  return std::uint32_t{*physical};
}

// The receivers' physical numbers in the given order. `sender_logical` must be a tile of the
// topology. Any fault of the set, a receiver without a tile included, is ReceiverSet.
[[nodiscard]] Result<std::vector<std::uint32_t>> receiver_tiles(const Topology& topology, std::uint16_t sender_logical,
                                                                std::span<const std::uint16_t> receiver_logical) {
  if (receiver_logical.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::vector<bool> used(topology.tile_count(), false);
  used[sender_logical] = true;
  std::vector<std::uint32_t> physical;
  physical.reserve(receiver_logical.size());
  for (const std::uint16_t logical : receiver_logical) {
    const Result<std::uint32_t> tile = fabric_tile(topology, logical);
    if (!tile || used[logical]) return std::unexpected(ExchangeError::receiver_set());
    used[logical] = true;
    physical.push_back(*tile);
  }
  return physical;
}

// The first cycle at which the send may start without any receiver's event before cycle 0,
// delayed by the caller's offset.
[[nodiscard]] Result<std::uint32_t> start_cycle_for(std::span<const std::int32_t> mux_times,
                                                    std::uint32_t schedule_offset) {
  const std::int32_t minimum_mux = *std::ranges::min_element(mux_times);
  const std::uint64_t natural_start = minimum_mux < 0 ? static_cast<std::uint64_t>(-std::int64_t{minimum_mux}) : 0;
  const std::uint64_t start_cycle = natural_start + schedule_offset;
  if (start_cycle > MAX_EVENT_CYCLE) return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  return static_cast<std::uint32_t>(start_cycle);
}

[[nodiscard]] Result<Row> sender_row(std::uint32_t start_cycle, std::uint32_t count) {
  const Result<std::uint32_t> send = encode_send(std::min(count, MAX_SEND_WORDS) - 1u, SEND_DIRECTION, 0);
  if (!send) return std::unexpected(send.error());
  Row row{};
  std::size_t next = 0;
  const auto push = [&row, &next](std::uint32_t word) { row[next++] = word; };
  push(ROW_ENTRY_WORD);
  if (start_cycle >= 1) push(delay(start_cycle - 1u));
  push(*send);
  if (count > MAX_SEND_WORDS) push(send_off(count - MAX_SEND_WORDS - 1u, SEND_DIRECTION, 0));
  // A send that ends before cycle 6 is followed by a delay bringing the row to 6 cycles; its
  // `cycles` is one less than the cycles it adds. Never present together with a send-off.
  const std::int64_t sender_delay = std::int64_t{start_cycle} - 1;
  const std::int64_t trailing_delay = 4 - sender_delay - std::int64_t{count};
  if (trailing_delay >= 0) push(delay(static_cast<std::uint32_t>(trailing_delay)));
  push(ROW_RETURN_WORD);
  return row;
}

std::uint32_t receive_address_word(std::uint32_t a) { return delay_pic(a, 0, RECEIVE_ADDRESS_MARK); }

// One of three layouts, for up to 51 words, for 52 and for 53 or more; each spends
// receive_cycle + count + receiver_phase + 58 cycles.
Row receiver_row(std::uint32_t source_physical, std::uint32_t receive_cycle, std::uint32_t count,
                 std::uint32_t receiver_phase) {
  const std::uint32_t wait = delay_xpic(receive_cycle, 0, source_physical);
  if (count <= 51) {
    return Row{ROW_ENTRY_WORD,
               wait,
               delay_xpic(count - 1u, 0, RECEIVER_XPIC_OPERAND),
               receive_address_word(51u - count + receiver_phase),
               delay(count + 4u),
               ROW_RETURN_WORD,
               0,
               0,
               0};
  }
  if (count == 52) {
    return Row{ROW_ENTRY_WORD,
               wait,
               receive_address_word(receiver_phase + 50u),
               delay_xpic(0, 0, RECEIVER_XPIC_OPERAND),
               delay(RECEIVER_CLOSING_CYCLES),
               ROW_RETURN_WORD,
               0,
               0,
               0};
  }
  return Row{ROW_ENTRY_WORD,
             wait,
             receive_address_word(receiver_phase + 51u),
             delay_xpic(count - 53u, 0, RECEIVER_XPIC_OPERAND),
             delay(RECEIVER_CLOSING_CYCLES),
             ROW_RETURN_WORD,
             0,
             0,
             0};
}

void log_assembled(std::uint16_t sender_logical, std::size_t receivers, std::uint32_t count,
                   std::uint32_t schedule_offset) {
  if (!velk_log::enabled(velk_log::Level::Debug, LOG_TARGET)) return;
  velk_log::emit(velk_log::Level::Debug, LOG_TARGET, "assembled multicast exchange",
                 {{"sender_logical", std::uint64_t{sender_logical}},
                  {"receivers", std::uint64_t{receivers}},
                  {"count", std::uint64_t{count}},
                  {"schedule_offset", std::uint64_t{schedule_offset}}});
}

}  // namespace

std::int32_t route_displacement(std::uint32_t source, std::uint32_t destination) {
  const std::int32_t source_group = column_group(source);
  const std::int32_t destination_group = column_group(destination);
  const std::int32_t source_mux = from_nearer_edge(source_group) + ((source_group >> 3) ^ lowest_bit(source));
  const std::int32_t base = (from_nearer_edge(destination_group) - source_mux) * 6;
  const std::int32_t destination_lane = static_cast<std::int32_t>(destination & 3u);
  const std::int32_t destination_half = destination_group >> 3;
  if (destination_lane <= 1) return base + (destination_half == destination_lane ? 1 : 5);
  return base + (destination_half == lowest_bit(destination) ? 2 : 4);
}

std::int32_t time_to_mux(std::uint32_t source, std::uint32_t destination) {
  const std::int32_t source_group = column_group(source);
  const std::int32_t destination_group = column_group(destination);
  const std::int32_t source_low = source_group & 7;
  const std::int32_t displacement = route_displacement(source, destination);
  const std::int32_t source_edge = from_nearer_edge(source_group) * 4;
  const std::int32_t destination_edge = from_nearer_edge(destination_group) * 4;
  const std::int32_t local = 8 * half_of_chip(source) + static_cast<std::int32_t>((source >> 3) & 3u);
  const std::int32_t crossing = local - destination_group + ((source_low >> 1) ^ 3);
  const bool same_region = half_of_chip(source) == half_of_chip(destination);
  const std::int32_t turn = same_region ? source_low + 1 : 16 - source_low;
  const std::int32_t group_delta = 2 * (tile_row(source) - tile_row(destination));
  return crossing + source_edge + turn - destination_edge + group_delta + std::abs(displacement) - MUX_TIME_BIAS;
}

Result<MulticastPlan> Topology::multicast(std::uint16_t sender_logical, std::span<const std::uint16_t> receiver_logical,
                                          std::uint32_t count, std::uint32_t schedule_offset) const {
  if (const Result<void> valid = validate_count(count); !valid) return std::unexpected(valid.error());
  const Result<std::uint32_t> source_physical = fabric_tile(*this, sender_logical);
  if (!source_physical) return std::unexpected(source_physical.error());
  const Result<std::vector<std::uint32_t>> receivers = receiver_tiles(*this, sender_logical, receiver_logical);
  if (!receivers) return std::unexpected(receivers.error());

  std::vector<std::int32_t> mux_times;
  mux_times.reserve(receivers->size());
  for (const std::uint32_t physical : *receivers) mux_times.push_back(time_to_mux(*source_physical, physical));
  const Result<std::uint32_t> start_cycle = start_cycle_for(mux_times, schedule_offset);
  if (!start_cycle) return std::unexpected(start_cycle.error());

  const Result<Row> sender = sender_row(*start_cycle, count);
  if (!sender) return std::unexpected(sender.error());
  MulticastPlan plan{*sender, {}};
  plan.receivers.reserve(receivers->size());
  for (std::size_t i = 0; i < receivers->size(); ++i) {
    const std::int64_t receive_cycle = std::int64_t{*start_cycle} + mux_times[i];
    if (receive_cycle < 0 || receive_cycle > MAX_EVENT_CYCLE) {
      return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
    }
    const std::uint32_t receiver_phase = ((*receivers)[i] >> 6) * 2u;
    plan.receivers.push_back(
        receiver_row(*source_physical, static_cast<std::uint32_t>(receive_cycle), count, receiver_phase));
  }
  log_assembled(sender_logical, plan.receivers.size(), count, schedule_offset);
  return plan;
}

}  // namespace velk_exchange
