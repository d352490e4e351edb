// Lifetimes of tile memory regions: every stage's question about when a region holds its
// bytes, asked in one vocabulary.
//
// An allocation is live from phase `live_from` through phase `live_until`, both ends
// included: it holds its bytes in every phase p with live_from <= p <= live_until. A kernel
// reads its inputs and writes its output within one phase, so a region last read in phase p
// and a region first written in phase p must not share bytes; closing both ends says so.
// The memory planner, the verifier, the lower bounds and the views all ask `live_in` and
// `lifetimes_overlap`.
//
// A staging region of exchange phase e lives in e and in e + 1: the exchange fills it and
// the kernels of compute phase e + 1 read it. Three questions follow from that:
//   staged_for(a, p)         the kernels of compute phase p read the region: its life ends at p;
//   kept_staging_at(a, p)    a copy that an earlier exchange phase left is still there to send
//                            on in exchange phase p. This is stricter than live_in: the copy
//                            must outlive p (p < live_until), because a region whose life ends
//                            in p is consumed there, not passed on;
//   readable_at_start(a, p)  a home, or a kept staging copy: what a tile can send from before
//                            any transfer of exchange phase p has run.
//
// The region finder (region_finder.hpp) is a stand-alone search with its own, half-open
// convention: a request live from f until u occupies f .. u - 1 (`half_open_overlap`).
#pragma once

#include <cstddef>
#include <variant>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// The region holds its bytes in `phase`.
[[nodiscard]] constexpr bool live_in(const Allocation& a, std::size_t phase) {
  return a.live_from <= phase && phase <= a.live_until;
}

// The closed phase ranges [a_start, a_end] and [b_start, b_end] share a phase.
[[nodiscard]] constexpr bool lifetimes_overlap(std::size_t a_start, std::size_t a_end, std::size_t b_start,
                                               std::size_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

[[nodiscard]] constexpr bool lifetimes_overlap(const Allocation& a, const Allocation& b) {
  return lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until);
}

// The half-open ranges [a_from, a_until) and [b_from, b_until) share a phase: the region
// finder's rule, under which a region born in the phase where another dies may take its bytes.
[[nodiscard]] constexpr bool half_open_overlap(std::size_t a_from, std::size_t a_until, std::size_t b_from,
                                               std::size_t b_until) {
  return a_from < b_until && b_from < a_until;
}

[[nodiscard]] inline bool is_home(const Allocation& a) { return std::holds_alternative<Home>(a.kind); }

// A staging region that exchange phase `exchange_phase` fills.
[[nodiscard]] inline bool is_staging_of(const Allocation& a, std::size_t exchange_phase) {
  const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
  return staging != nullptr && staging->phase == exchange_phase;
}

// A staging region whose data the kernels of compute phase `compute_phase` read, whatever
// exchange phase filled it.
[[nodiscard]] inline bool staged_for(const Allocation& a, std::size_t compute_phase) {
  return std::holds_alternative<ExchangeStaging>(a.kind) && a.live_until == compute_phase;
}

// A staging copy left by an exchange phase before `exchange_phase` that outlives it.
[[nodiscard]] inline bool kept_staging_at(const Allocation& a, std::size_t exchange_phase) {
  const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
  return staging != nullptr && staging->phase < exchange_phase && a.live_from <= exchange_phase &&
         exchange_phase < a.live_until;
}

// A copy the tile holds before any transfer of exchange phase `exchange_phase`.
[[nodiscard]] inline bool readable_at_start(const Allocation& a, std::size_t exchange_phase) {
  return is_home(a) || kept_staging_at(a, exchange_phase);
}

}  // namespace velk_compiler
