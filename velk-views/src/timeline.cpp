// The schedule on one clock: phase spans, and every launch read word by word against the
// rows of its groups.
#include "velk_views/timeline.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <variant>

#include "velk_exchange/instruction.hpp"
#include "velk_io/text_format.hpp"

namespace velk_views {

using velk_io::hex_word;
namespace {

namespace vc = velk_compiler;
namespace vx = velk_exchange;

using vx::InstructionKind;

// One row a tile plays in a launch.
struct TileRole {
  std::size_t group = 0;
  const vx::Row* row = nullptr;
  bool sender = false;
};

// The part every word of a program plays; zero-advance words get one too but make no slice.
struct WordPart {
  WordRole role = WordRole::Padding;
  std::optional<std::size_t> group;
};

// The tile's rows in the order they reached its program: group by group, the sender row
// where the tile sends, its receiver row where it receives.
std::vector<TileRole> tile_roles(const vc::LoweredExchangeEpoch& epoch, std::uint16_t tile) {
  std::vector<TileRole> roles;
  for (std::size_t g = 0; g < epoch.groups.size(); ++g) {
    const vc::LoweredExchangeGroup& group = epoch.groups[g];
    if (group.source_tile == tile) roles.push_back(TileRole{g, &group.sender, true});
    for (std::size_t i = 0; i < group.destination_tiles.size() && i < group.receivers.size(); ++i) {
      if (group.destination_tiles[i] == tile) roles.push_back(TileRole{g, &group.receivers[i], false});
    }
  }
  return roles;
}

// The words between a row's entry word and its first return word, or nothing when the row
// lacks either.
std::optional<std::span<const std::uint32_t>> row_body(const vx::Row& row) {
  if (row[0] != vx::ROW_ENTRY_WORD) return std::nullopt;
  const auto end = std::find(row.begin() + 1, row.end(), vx::ROW_RETURN_WORD);
  if (end == row.end()) return std::nullopt;
  return std::span<const std::uint32_t>(row.begin() + 1, end);
}

// What each word of a row's body does, by its kind and its place in the row.
std::vector<WordRole> body_roles(std::span<const std::uint32_t> body, bool sender) {
  std::vector<WordRole> roles;
  roles.reserve(body.size());
  bool sent = false;
  bool waited = false;
  for (const std::uint32_t word : body) {
    const InstructionKind kind = vx::instruction_kind(word);
    if (sender) {
      if (kind == InstructionKind::Send) sent = true;
      roles.push_back(kind == InstructionKind::Send      ? WordRole::Send
                      : kind == InstructionKind::SendOff ? WordRole::SendOff
                      : sent                             ? WordRole::TrailingDelay
                                                         : WordRole::StartDelay);
      continue;
    }
    if (!waited && vx::instruction_advance(word) != 0) {
      waited = true;
      roles.push_back(WordRole::ReceiveWait);
      continue;
    }
    roles.push_back(kind == InstructionKind::Delay ? WordRole::TrailingDelay : WordRole::Receive);
  }
  return roles;
}

// A program word comes from its row's word when it is that word, or, for the row's first
// timed word, the same word given the program's advance (the builder shortens it so that
// it still ends at its planned cycle).
bool comes_from(std::uint32_t program_word, std::uint32_t row_word, bool first_timed) {
  if (program_word == row_word) return true;
  if (!first_timed || vx::instruction_kind(program_word) != vx::instruction_kind(row_word)) return false;
  std::uint32_t retimed = row_word;
  return vx::set_instruction_advance(retimed, vx::instruction_advance(program_word)).has_value() &&
         retimed == program_word;
}

[[nodiscard]] Result<std::vector<WordPart>> program_parts(std::span<const std::uint32_t> program,
                                                          std::span<const TileRole> roles, const std::string& place) {
  const auto fail = [&place](std::string message) { return std::unexpected(IoError{place, std::move(message)}); };
  if (program.empty() || program.front() != vx::ROW_ENTRY_WORD) {
    return fail("program does not begin with the row entry word");
  }
  std::vector<WordPart> parts(program.size());
  std::size_t position = 1;
  for (const TileRole& role : roles) {
    const auto body = row_body(*role.row);
    if (!body) return fail("the row of group " + std::to_string(role.group) + " lacks its entry or return word");
    const std::vector<WordRole> roles_in_body = body_roles(*body, role.sender);
    bool timed_seen = false;
    for (std::size_t k = 0; k < body->size(); ++k) {
      const std::uint32_t row_word = (*body)[k];
      const bool first_timed = !timed_seen && vx::instruction_advance(row_word) != 0;
      timed_seen = timed_seen || first_timed;
      if (position >= program.size() || !comes_from(program[position], row_word, first_timed)) {
        const std::string found = position < program.size() ? " (" + hex_word(program[position]) + ")" : "";
        return fail("word " + std::to_string(position) + found + " does not come from the row of group " +
                    std::to_string(role.group) + " (" + hex_word(row_word) + ")");
      }
      parts[position] = WordPart{roles_in_body[k], role.group};
      ++position;
    }
  }
  // The rest is padding, then the return word closes the program.
  for (; position + 1 < program.size(); ++position) {
    if (vx::instruction_kind(program[position]) != InstructionKind::Delay) {
      return fail("word " + std::to_string(position) + " (" + hex_word(program[position]) +
                  ") is neither a row's word nor padding");
    }
  }
  if (position + 1 != program.size() || program.back() != vx::ROW_RETURN_WORD) {
    return fail("program does not end with the row return word");
  }
  return parts;
}

[[nodiscard]] Result<std::vector<LaunchTimeline>> phase_launches(const vc::LoweredExchangePhase& lowered,
                                                                 const std::vector<std::size_t>& slots,
                                                                 std::uint64_t start_cycle) {
  std::size_t groups = 0;
  for (const vc::LoweredExchangeEpoch& epoch : lowered.epochs) groups += epoch.groups.size();
  if (slots.size() != groups) {
    return std::unexpected(IoError{"phases[" + std::to_string(lowered.phase) + "]",
                                   "the exchange scheduler gives " + std::to_string(slots.size()) +
                                       " groups, the launches hold " + std::to_string(groups)});
  }
  std::vector<LaunchTimeline> launches;
  std::size_t first_group = 0;
  std::uint64_t cycle = start_cycle;
  for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
    const vc::LoweredExchangeEpoch& epoch = lowered.epochs[e];
    const auto first = slots.begin() + static_cast<std::ptrdiff_t>(first_group);
    LaunchTimeline launch{lowered.phase,
                          e,
                          cycle,
                          epoch.cost.estimated_cycles,
                          std::vector<std::size_t>(first, first + static_cast<std::ptrdiff_t>(epoch.groups.size())),
                          {}};
    for (const auto& [tile, program] : epoch.tile_rows) {
      Result<TileLaunch> read = tile_launch(epoch, tile);
      if (!read) {
        return std::unexpected(IoError{
            "phase " + std::to_string(lowered.phase) + " launch " + std::to_string(e) + ", " + read.error().place,
            read.error().message});
      }
      launch.tiles.push_back(std::move(*read));
    }
    first_group += epoch.groups.size();
    // Each launch spends at most a few thousand cycles, so no sum of them nears 64 bits.
    cycle += epoch.cost.estimated_cycles;
    launches.push_back(std::move(launch));
  }
  return launches;
}

}  // namespace

std::string_view word_role_name(WordRole role) {
  switch (role) {
    case WordRole::StartDelay: return "start delay";
    case WordRole::Send: return "send";
    case WordRole::SendOff: return "send-off";
    case WordRole::TrailingDelay: return "trailing delay";
    case WordRole::ReceiveWait: return "receive wait";
    case WordRole::Receive: return "receive";
    case WordRole::Padding: return "padding";
  }
  return "padding";
}

Result<TileLaunch> tile_launch(const vc::LoweredExchangeEpoch& epoch, std::uint16_t tile) {
  const std::string place = "tile " + std::to_string(tile);
  const auto found = epoch.tile_rows.find(tile);
  if (found == epoch.tile_rows.end()) return std::unexpected(IoError{place, "has no program in the launch"});
  const std::vector<std::uint32_t>& program = found->second;
  const std::vector<TileRole> roles = tile_roles(epoch, tile);
  Result<std::vector<WordPart>> parts = program_parts(program, roles, place);
  if (!parts) return std::unexpected(parts.error());

  TileLaunch launch{tile, program, {}};
  const std::vector<DecodedWord> decoded = decode_words(program);
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const DecodedWord& word = decoded[i];
    if (word.advance == 0) continue;
    launch.slices.push_back(
        WordSlice{i, word, (*parts)[i].role, (*parts)[i].group, word.end_cycle - word.advance, word.end_cycle});
  }
  return launch;
}

Result<ScheduleTimeline> schedule_timeline(const vc::Program& program) {
  const vc::Schedule& schedule = program.schedule;
  // The slots of each lowered phase, by its exchange phase (the first of equal indices).
  std::map<std::size_t, std::size_t> by_phase;
  for (std::size_t i = 0; i < program.exchanges.size() && i < program.group_slots.size(); ++i) {
    by_phase.emplace(program.exchanges[i].phase, i);
  }
  ScheduleTimeline timeline;
  timeline.phases.reserve(schedule.phases.size());
  std::uint64_t cycle = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const std::uint64_t start = cycle;
    const auto* exchange = std::get_if<vc::ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) {
      cycle += NOTIONAL_KERNEL_CYCLES;
      timeline.phases.push_back(PhaseSpan{p, start, cycle});
      continue;
    }
    const auto lowered = by_phase.find(p);
    if (lowered == by_phase.end()) {
      return std::unexpected(IoError{"phases[" + std::to_string(p) + "]", "exchange phase was not lowered"});
    }
    Result<std::vector<LaunchTimeline>> launches =
        phase_launches(program.exchanges[lowered->second], program.group_slots[lowered->second], start);
    if (!launches) return std::unexpected(launches.error());
    for (LaunchTimeline& launch : *launches) {
      cycle += launch.cycles;
      timeline.launches.push_back(std::move(launch));
    }
    timeline.phases.push_back(PhaseSpan{p, start, cycle});
  }
  timeline.end_cycle = cycle;
  return timeline;
}

std::string tile_name(std::uint16_t tile, std::uint16_t tile_count) {
  return "tile " + velk_io::tile_number(tile, tile_count);
}

std::string specialization_label(const vc::SpecializationKey& key) {
  std::string shape;
  for (const std::size_t dimension : key.shape) shape += (shape.empty() ? "" : ", ") + std::to_string(dimension);
  const unsigned workers = key.worker_count;
  return key.operation + " [" + shape + "] " + key.role + ", " + std::to_string(workers) +
         (workers == 1 ? " worker" : " workers") + ", align " + std::to_string(key.alignment);
}

std::vector<std::uint64_t> live_bytes_per_phase(std::span<const vc::Allocation> allocations, std::uint16_t tile,
                                                std::size_t phase_count) {
  std::vector<std::uint64_t> live(phase_count, 0);
  for (const vc::Allocation& a : allocations) {
    if (a.tile != tile) continue;
    for (std::size_t p = a.live_from; p <= a.live_until && p < phase_count; ++p) live[p] += a.size;
  }
  return live;
}

}  // namespace velk_views
