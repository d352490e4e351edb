// The schedule on one clock, as the trace and the HTML report draw it. Cycles count from the
// start of the first phase, and the phases run one after another:
//   - an exchange phase lasts as long as its launches, one after another, each its estimated
//     cycles (every tile with a role leaves a launch at that cycle; the idle row takes none);
//   - a compute phase has no cycle model, so each is drawn NOTIONAL_KERNEL_CYCLES long, and
//     every kernel launch of it fills the whole phase on its tile.
//
// Inside a launch every timed word of every tile's program becomes a slice with its exact
// start and end cycle, read from the decoder's running count (decode_words), and with the
// part it plays. The parts are found by reading, not by redoing the lowering: a tile's rows
// reach its program in group order (a group's sender row, then its receiver rows), so its
// program is the bodies of its rows one after the other, each as planned but for a first
// timed word that may have been shortened to keep its planned cycle, then the padding up to
// the launch's horizon. Every word is checked against the row it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_views/disassembler.hpp"
#include "velk_views/error.hpp"

namespace velk_views {

// How long a kernel launch is drawn. Kernels have no cycle model; this length only keeps
// compute phases visible beside the exchange launches (a few hundred cycles each for the
// encoder block) and says nothing about their real duration.
inline constexpr std::uint64_t NOTIONAL_KERNEL_CYCLES = 1000;

// What a timed word does. A sender row is a start delay (when the send does not start at the
// row's first cycle), the send of up to 64 words, a send-off for the rest, and a trailing
// delay; a receiver row is the wait for the data (an XPIC delay naming the sender), the
// receive words and a trailing delay. Padding fills a program up to the launch's horizon.
enum class WordRole : std::uint8_t { StartDelay, Send, SendOff, TrailingDelay, ReceiveWait, Receive, Padding };

// "start delay", "send", "send-off", "trailing delay", "receive wait", "receive", "padding".
std::string_view word_role_name(WordRole role);

struct WordSlice {
  std::size_t word_index = 0;  // position of the word in the tile's program
  DecodedWord word;            // the decoder's reading; its end_cycle counts from the launch's start
  WordRole role = WordRole::Padding;
  std::optional<std::size_t> group;  // position in the launch's groups; none for padding
  std::uint64_t start_cycle = 0;     // from the launch's start
  std::uint64_t end_cycle = 0;
  bool operator==(const WordSlice&) const = default;
};

// One tile's program in one launch, word by word.
struct TileLaunch {
  std::uint16_t tile = 0;
  std::vector<std::uint32_t> program;  // the tile's finished row (LoweredExchangeEpoch::tile_rows)
  std::vector<WordSlice> slices;       // its timed words, in order
  bool operator==(const TileLaunch&) const = default;
};

struct LaunchTimeline {
  std::size_t phase = 0;  // the exchange phase's index in Schedule::phases
  std::size_t epoch = 0;  // the launch's index within the lowered phase
  std::uint64_t start_cycle = 0;
  std::uint64_t cycles = 0;              // the launch's estimated cycles
  std::vector<std::size_t> group_slots;  // per group of the launch, its colour slot
  std::vector<TileLaunch> tiles;         // every tile with a role, ascending
  bool operator==(const LaunchTimeline&) const = default;
};

struct PhaseSpan {
  std::size_t phase = 0;
  std::uint64_t start_cycle = 0;
  std::uint64_t end_cycle = 0;
  bool operator==(const PhaseSpan&) const = default;
};

struct ScheduleTimeline {
  std::vector<PhaseSpan> phases;         // one per phase of the schedule, in order
  std::vector<LaunchTimeline> launches;  // in phase order, then launch order
  std::uint64_t end_cycle = 0;           // where the last phase ends
  bool operator==(const ScheduleTimeline&) const = default;
};

// The tile's program in the launch, its words read against the launch's groups. Fails, at
// "tile N", when the tile has no program in the launch or a word does not come from the
// rows of the tile's groups or from padding.
[[nodiscard]] Result<TileLaunch> tile_launch(const velk_compiler::LoweredExchangeEpoch& epoch, std::uint16_t tile);

// The whole schedule of a built program on its clock, each launch with its groups' colour
// slots (Program::group_slots). Fails at "phases[N]" for an exchange phase without its
// lowered counterpart or whose slots do not cover its groups, and as tile_launch does.
[[nodiscard]] Result<ScheduleTimeline> schedule_timeline(const velk_compiler::Program& program);

// "tile 0007": the tile number with at least four digits, more when the tile count needs
// them, so that the names sort in tile order.
std::string tile_name(std::uint16_t tile, std::uint16_t tile_count);

// A kernel launch's specialisation key in one line: "matmul [32, 256] body, 2 workers,
// align 16".
std::string specialization_label(const velk_compiler::SpecializationKey& key);

// The bytes of the tile's regions live in each phase (both ends of a lifetime count), one
// entry per phase 0 .. phase_count - 1.
std::vector<std::uint64_t> live_bytes_per_phase(std::span<const velk_compiler::Allocation> allocations,
                                                std::uint16_t tile, std::size_t phase_count);

}  // namespace velk_views
