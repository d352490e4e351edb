// The Chrome trace event file of a compiled schedule. Every figure comes from the timeline
// (schedule_timeline) and the lowered exchanges; this file only lays them out as events.
#include "velk_views/trace.hpp"

#include <map>
#include <nlohmann/json.hpp>
#include <variant>
#include <vector>

#include "velk_views/timeline.hpp"

namespace velk_views {

// Members keep their insertion order, so every event is written in a fixed order.
using Json = nlohmann::ordered_json;
namespace {

namespace vc = velk_compiler;

constexpr int SCHEDULE_PID = 1;
constexpr int TILES_PID = 2;
constexpr int MEMORY_PID = 3;
constexpr int PHASES_TID = 1;

constexpr std::string_view CLOCK_TEXT =
    "one trace microsecond is one cycle (a notional 1 MHz clock): timestamps and durations are exact cycle counts";
constexpr std::string_view KERNEL_TEXT =
    "kernels have no cycle model: every kernel launch is drawn as long as notional_kernel_cycles";

int tile_tid(std::uint16_t tile) { return int{tile} + 1; }

Json metadata(int pid, std::optional<int> tid, std::string_view name, Json args) {
  Json event{{"ph", "M"}, {"pid", pid}};
  if (tid) event["tid"] = *tid;
  event["name"] = name;
  event["args"] = std::move(args);
  return event;
}

Json slice(std::string_view category, std::string name, int pid, int tid, std::uint64_t start, std::uint64_t duration,
           Json args) {
  return Json{{"ph", "X"},  {"cat", category}, {"name", std::move(name)}, {"pid", pid},
              {"tid", tid}, {"ts", start},     {"dur", duration},         {"args", std::move(args)}};
}

// Half a cycle into the slice, so the arrow binds to it and not to a neighbour that ends
// where it starts.
Json flow(std::string_view phase_letter, std::uint64_t id, int tid, std::uint64_t slice_start,
          std::uint64_t launch_start) {
  const double ts = static_cast<double>(launch_start + slice_start) + 0.5;
  return Json{{"ph", phase_letter}, {"cat", "multicast"}, {"name", "multicast"},
              {"id", id},           {"pid", TILES_PID},   {"tid", tid},
              {"ts", ts},           {"bp", "e"}};
}

std::string phase_label(const vc::Graph& graph, const vc::Phase& phase, std::size_t index,
                        const vc::LoweredExchangePhase* lowered, const std::vector<LaunchTimeline*>& launches) {
  const std::string prefix = "phase " + std::to_string(index) + ": ";
  if (const auto* compute = std::get_if<vc::ComputePhase>(&phase)) {
    const std::string name = compute->op.index < graph.ops.size() ? graph.ops[compute->op.index].name : "?";
    return prefix + name;
  }
  std::size_t groups = 0;
  std::size_t slots = 0;
  if (lowered != nullptr) {
    for (const vc::LoweredExchangeEpoch& epoch : lowered->epochs) groups += epoch.groups.size();
  }
  for (const LaunchTimeline* launch : launches) {
    if (!launch->group_slots.empty()) slots += launch->group_slots.back() + 1;
  }
  return prefix + "exchange, " + std::to_string(groups) + (groups == 1 ? " group" : " groups") + " in " +
         std::to_string(slots) + (slots == 1 ? " slot" : " slots");
}

Json word_args(const vc::Graph& graph, const LaunchTimeline& launch, const vc::LoweredExchangeEpoch& epoch,
               const TileLaunch& tile, const WordSlice& word) {
  Json args{{"phase", launch.phase},         {"launch", launch.epoch},       {"tile", tile.tile},
            {"word_index", word.word_index}, {"word", word_text(word.word)}, {"start_cycle", word.start_cycle},
            {"end_cycle", word.end_cycle}};
  if (word.role == WordRole::Send || word.role == WordRole::SendOff) args["words"] = word.word.advance;
  if (!word.group || *word.group >= epoch.groups.size()) return args;
  const vc::LoweredExchangeGroup& group = epoch.groups[*word.group];
  args["group"] = *word.group;
  if (*word.group < launch.group_slots.size()) args["slot"] = launch.group_slots[*word.group];
  args["tensor"] = group.tensor.index;
  args["tensor_name"] = std::string(graph.tensor_name(group.tensor).value_or(""));
  args["bytes"] = group.bytes;
  args["source_tile"] = group.source_tile;
  args["destination_tiles"] = group.destination_tiles;
  return args;
}

const TileLaunch* find_tile(const LaunchTimeline& launch, std::uint16_t tile) {
  for (const TileLaunch& t : launch.tiles) {
    if (t.tile == tile) return &t;
  }
  return nullptr;
}

const WordSlice* find_slice(const TileLaunch* tile, WordRole role, std::size_t group) {
  if (tile == nullptr) return nullptr;
  for (const WordSlice& s : tile->slices) {
    if (s.role == role && s.group == group) return &s;
  }
  return nullptr;
}

// One flow per destination of every group: from the send to the first receive word.
void add_flows(std::vector<Json>& events, std::uint64_t& next_id, const LaunchTimeline& launch,
               const vc::LoweredExchangeEpoch& epoch) {
  for (std::size_t g = 0; g < epoch.groups.size(); ++g) {
    const vc::LoweredExchangeGroup& group = epoch.groups[g];
    const WordSlice* send = find_slice(find_tile(launch, group.source_tile), WordRole::Send, g);
    if (send == nullptr) continue;
    for (const std::uint16_t destination : group.destination_tiles) {
      const WordSlice* receive = find_slice(find_tile(launch, destination), WordRole::Receive, g);
      if (receive == nullptr) continue;
      events.push_back(flow("s", next_id, tile_tid(group.source_tile), send->start_cycle, launch.start_cycle));
      events.push_back(flow("f", next_id, tile_tid(destination), receive->start_cycle, launch.start_cycle));
      ++next_id;
    }
  }
}

std::vector<Json> metadata_events(const vc::Schedule& schedule) {
  std::vector<Json> events;
  const std::pair<int, std::string_view> processes[] = {
      {SCHEDULE_PID, "schedule"}, {TILES_PID, "tiles"}, {MEMORY_PID, "live SRAM (bytes per tile)"}};
  for (const auto& [pid, name] : processes) {
    events.push_back(metadata(pid, std::nullopt, "process_name", Json{{"name", name}}));
    events.push_back(metadata(pid, std::nullopt, "process_sort_index", Json{{"sort_index", pid}}));
  }
  events.push_back(metadata(SCHEDULE_PID, PHASES_TID, "thread_name", Json{{"name", "phases"}}));
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    events.push_back(
        metadata(TILES_PID, tile_tid(tile), "thread_name", Json{{"name", tile_name(tile, schedule.tile_count)}}));
    events.push_back(metadata(TILES_PID, tile_tid(tile), "thread_sort_index", Json{{"sort_index", tile}}));
  }
  return events;
}

std::string document(const vc::Schedule& schedule, const ScheduleTimeline& timeline, const std::vector<Json>& events) {
  const Json other{{"format", "velk trace"},
                   {"version", TRACE_FORMAT_VERSION},
                   {"clock", CLOCK_TEXT},
                   {"kernel", KERNEL_TEXT},
                   {"notional_kernel_cycles", NOTIONAL_KERNEL_CYCLES},
                   {"tile_count", schedule.tile_count},
                   {"end_cycle", timeline.end_cycle}};
  // The events first: a reader that stops after them still has the whole trace.
  std::string text = "{\"traceEvents\": [\n";
  for (std::size_t i = 0; i < events.size(); ++i) text += events[i].dump() + (i + 1 < events.size() ? ",\n" : "\n");
  return text + "],\n\"otherData\": " + other.dump() + "}\n";
}

}  // namespace

Result<std::string> trace_json(const vc::Graph& graph, const vc::Program& program) {
  const vc::Schedule& schedule = program.schedule;
  Result<ScheduleTimeline> timeline = schedule_timeline(program);
  if (!timeline) return std::unexpected(timeline.error());

  const vc::LoweredPhaseMap lowered_by_phase = vc::lowered_by_phase(program.exchanges);
  std::map<std::size_t, std::vector<LaunchTimeline*>> launches_by_phase;
  for (LaunchTimeline& launch : timeline->launches) launches_by_phase[launch.phase].push_back(&launch);

  std::vector<Json> events = metadata_events(schedule);
  std::vector<std::vector<Json>> tile_events(schedule.tile_count);
  std::vector<Json> flows;
  std::uint64_t next_flow = 1;
  for (const PhaseSpan& span : timeline->phases) {
    const vc::Phase& phase = schedule.phases[span.phase];
    const auto lowered = lowered_by_phase.find(span.phase);
    const vc::LoweredExchangePhase* lowered_phase = lowered == lowered_by_phase.end() ? nullptr : lowered->second;
    const std::vector<LaunchTimeline*>& launches = launches_by_phase[span.phase];
    events.push_back(slice("phase", phase_label(graph, phase, span.phase, lowered_phase, launches), SCHEDULE_PID,
                           PHASES_TID, span.start_cycle, span.end_cycle - span.start_cycle,
                           Json{{"phase", span.phase},
                                {"kind", std::holds_alternative<vc::ComputePhase>(phase) ? "compute" : "exchange"},
                                {"start_cycle", span.start_cycle},
                                {"end_cycle", span.end_cycle}}));
    if (const auto* compute = std::get_if<vc::ComputePhase>(&phase)) {
      const std::string op_name = compute->op.index < graph.ops.size() ? graph.ops[compute->op.index].name : "";
      for (const vc::KernelCommand& command : compute->commands) {
        if (command.tile >= tile_events.size()) continue;
        tile_events[command.tile].push_back(
            slice("compute", specialization_label(command.specialization), TILES_PID, tile_tid(command.tile),
                  span.start_cycle, NOTIONAL_KERNEL_CYCLES,
                  Json{{"phase", span.phase},
                       {"op", compute->op.index},
                       {"op_name", op_name},
                       {"output", std::string(graph.tensor_name(command.output).value_or(""))},
                       {"notional", true},
                       {"notional_kernel_cycles", NOTIONAL_KERNEL_CYCLES}}));
      }
      continue;
    }
    for (const LaunchTimeline* launch : launches) {
      if (lowered_phase == nullptr || launch->epoch >= lowered_phase->epochs.size()) continue;
      const vc::LoweredExchangeEpoch& epoch = lowered_phase->epochs[launch->epoch];
      for (const TileLaunch& tile : launch->tiles) {
        if (tile.tile >= tile_events.size()) continue;
        for (const WordSlice& word : tile.slices) {
          tile_events[tile.tile].push_back(slice("exchange", std::string(word_role_name(word.role)), TILES_PID,
                                                 tile_tid(tile.tile), launch->start_cycle + word.start_cycle,
                                                 word.end_cycle - word.start_cycle,
                                                 word_args(graph, *launch, epoch, tile, word)));
        }
      }
      add_flows(flows, next_flow, *launch, epoch);
    }
  }
  for (std::vector<Json>& per_tile : tile_events) {
    for (Json& event : per_tile) events.push_back(std::move(event));
  }
  for (Json& event : flows) events.push_back(std::move(event));
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    const std::vector<std::uint64_t> live = live_bytes_per_phase(schedule.allocations, tile, schedule.phases.size());
    for (const PhaseSpan& span : timeline->phases) {
      if (span.end_cycle == span.start_cycle) continue;
      events.push_back(Json{{"ph", "C"},
                            {"pid", MEMORY_PID},
                            {"name", tile_name(tile, schedule.tile_count)},
                            {"ts", span.start_cycle},
                            {"args", Json{{"bytes", live[span.phase]}}}});
    }
  }
  return document(schedule, *timeline, events);
}

}  // namespace velk_views
