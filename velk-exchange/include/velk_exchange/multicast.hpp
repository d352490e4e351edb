// Multicast planning: one buffer of `count` 32-bit words sent from one sender tile to one or
// more receiver tiles in a single timed transfer, and the fabric timing model it rests on.
//
// Topology::multicast (declared with Topology) finds, from the tiles' physical positions, the
// cycle relative to the sender's start at which each receiver's wait must end (time_to_mux);
// starts the send at the earliest cycle that puts no receiver's event before cycle 0, plus the
// caller's `schedule_offset`; and writes one row for the sender and one per receiver, in the
// order the receivers were given. Rows count time from cycle 0 of the exchange epoch. Their SRAM
// addresses are left blank: the caller fills them with patch_sender_address and
// patch_multicast_receiver_address, then joins each tile's rows with a PlanProgramBuilder.
//
// Sender row, max(6, start_cycle + count) cycles:
//   ROW_ENTRY_WORD
//   delay(start_cycle − 1)                 only when start_cycle ≥ 1
//   send of the first min(count, 64) words, direction 3
//   send-off of the other count − 64       only when count > 64
//   delay padding the row to 6 cycles      only when start_cycle + count ≤ 5
//   ROW_RETURN_WORD
//
// Receiver row, receive_cycle + count + receiver_phase + 58 cycles, where receive_cycle is
// start_cycle plus the receiver's time_to_mux and receiver_phase is twice the receiver's row:
//   ROW_ENTRY_WORD, an XPIC delay that waits until receive_cycle and names the sender's physical
//   tile, then three words whose order changes at counts 52 and 53 (one of them the
//   receive-address PIC delay marked with RECEIVE_ADDRESS_MARK), a closing delay, ROW_RETURN_WORD.
//
// Refusals, in the order they are checked (the first one found is returned):
//   count outside 1 … 4148                                    ExchangeError::count(count)
//   the sender has no physical tile                           ExchangeError::tile(sender_logical)
//   no receivers, or one that repeats an earlier receiver,
//   is the sender or has no physical tile                     ExchangeError::receiver_set()
//   start_cycle above 4095                                    Schedule "multicast start cycle"
//   a receiver's receive_cycle above 4095                     Schedule "multicast receive cycle"
// A tile "has no physical tile" when the topology lacks it or, in a hand-built topology, when
// its physical number needs more than the 11 bits that the fabric's timing model reads.
//
// Each successful plan emits one DEBUG event "assembled multicast exchange" (target
// "velk_exchange") with the fields sender_logical, receivers, count and schedule_offset.
#pragma once

#include <cstdint>
#include <vector>

#include "velk_exchange/instruction.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_exchange {

struct MulticastPlan {
  Row sender;
  std::vector<Row> receivers;  // one per receiver, in the order the receivers were given
  bool operator==(const MulticastPlan&) const = default;
};

// The signed distance term of a route between two physical tiles, from their column groups
// (counted from the nearer edge of their half of the chip) and the destination's lane and half.
// Reads only bits 0–10 of each number; on the R77 it lies in −47 … 47.
std::int32_t route_displacement(std::uint32_t source, std::uint32_t destination);

// The cycle, relative to the sender's start, at which a receiver's wait for data must end; it
// may be negative. Reads only bits 0–10 of each number, so every step stays within a few
// hundred cycles and signed arithmetic never overflows; on the R77 it lies in −78 … 112.
std::int32_t time_to_mux(std::uint32_t source, std::uint32_t destination);

}  // namespace velk_exchange
