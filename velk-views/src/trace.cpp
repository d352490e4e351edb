// The Chrome trace event file of a compiled schedule. Every figure comes from the timeline
// (schedule_timeline) and the lowered exchanges; this file only lays them out as events, and
// writes each as it is made.
#include "velk_views/trace.hpp"

#include <map>
#include <sstream>
#include <variant>
#include <vector>

#include "velk_io/json_writer.hpp"
#include "velk_io/option_values.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {

namespace {

namespace vc = velk_compiler;
using velk_io::JsonWriter;

constexpr int SCHEDULE_PID = 1;
constexpr int TILES_PID = 2;
constexpr int MEMORY_PID = 3;
constexpr int PHASES_TID = 1;

constexpr std::string_view CLOCK_TEXT =
    "one trace microsecond is one cycle (a notional 1 MHz clock): timestamps and durations are exact cycle counts";
constexpr std::string_view KERNEL_TEXT =
    "kernels have no cycle model: every kernel launch is drawn as long as notional_kernel_cycles";

int tile_tid(std::uint16_t tile) { return int{tile} + 1; }

// The events of the trace, one a line, as they are written.
class EventWriter {
 public:
  explicit EventWriter(std::ostream& out) : json_(out, velk_io::JsonLayout::compact) {
    json_.raw("{\"traceEvents\": [\n");
  }
  // Starts the next event's object; the caller writes its members and ends it.
  JsonWriter& begin() {
    json_.raw(first_ ? "" : ",\n");
    first_ = false;
    json_.begin_object();
    return json_;
  }
  // After the events, the document's other data; the caller writes it and ends the object.
  JsonWriter& begin_other_data() {
    json_.raw("\n],\n\"otherData\": ");
    json_.begin_object();
    return json_;
  }
  void finish() {
    json_.raw("}\n");
    json_.flush();
  }

 private:
  JsonWriter json_;
  bool first_ = true;
};

void metadata(EventWriter& events, int pid, std::optional<int> tid, std::string_view name, std::string_view arg,
              std::variant<std::string_view, std::uint64_t> value) {
  JsonWriter& w = events.begin();
  w.key("ph").string("M");
  w.key("pid").number(pid);
  if (tid) w.key("tid").number(*tid);
  w.key("name").string(name);
  w.key("args").begin_object();
  w.key(arg);
  if (const auto* text = std::get_if<std::string_view>(&value)) {
    w.string(*text);
  } else {
    w.number(std::get<std::uint64_t>(value));
  }
  w.end_object();
  w.end_object();
}

// A slice's members up to its arguments, whose object it leaves open for the caller.
JsonWriter& begin_slice(EventWriter& events, std::string_view category, std::string_view name, int pid, int tid,
                        std::uint64_t start, std::uint64_t duration) {
  JsonWriter& w = events.begin();
  w.key("ph").string("X");
  w.key("cat").string(category);
  w.key("name").string(name);
  w.key("pid").number(pid);
  w.key("tid").number(tid);
  w.key("ts").number(start);
  w.key("dur").number(duration);
  w.key("args").begin_object();
  return w;
}

void end_slice(JsonWriter& w) {
  w.end_object();
  w.end_object();
}

// Half a cycle into the slice, so the arrow binds to it and not to a neighbour that ends
// where it starts.
void flow(EventWriter& events, std::string_view phase_letter, std::uint64_t id, int tid, std::uint64_t slice_start,
          std::uint64_t launch_start) {
  JsonWriter& w = events.begin();
  w.key("ph").string(phase_letter);
  w.key("cat").string("multicast");
  w.key("name").string("multicast");
  w.key("id").number(id);
  w.key("pid").number(TILES_PID);
  w.key("tid").number(tid);
  w.key("ts").number(static_cast<double>(launch_start + slice_start) + 0.5);
  w.key("bp").string("e");
  w.end_object();
}

std::string phase_label(const vc::Graph& graph, const vc::Phase& phase, std::size_t index,
                        const vc::LoweredExchangePhase* lowered, const std::vector<const LaunchTimeline*>& launches) {
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

void word_args(JsonWriter& w, const vc::Graph& graph, const LaunchTimeline& launch,
               const vc::LoweredExchangeEpoch& epoch, const TileLaunch& tile, const WordSlice& word) {
  w.key("phase").number(launch.phase);
  w.key("launch").number(launch.epoch);
  w.key("tile").number(tile.tile);
  w.key("word_index").number(word.word_index);
  w.key("word").string(word_text(word.word));
  w.key("start_cycle").number(word.start_cycle);
  w.key("end_cycle").number(word.end_cycle);
  if (word.role == WordRole::Send || word.role == WordRole::SendOff) w.key("words").number(word.word.advance);
  if (!word.group || *word.group >= epoch.groups.size()) return;
  const vc::LoweredExchangeGroup& group = epoch.groups[*word.group];
  w.key("group").number(*word.group);
  if (*word.group < launch.group_slots.size()) w.key("slot").number(launch.group_slots[*word.group]);
  w.key("tensor").number(group.tensor.index);
  w.key("tensor_name").string(graph.tensor_name(group.tensor).value_or(""));
  w.key("bytes").number(group.bytes);
  w.key("source_tile").number(group.source_tile);
  w.key("destination_tiles").numbers(group.destination_tiles);
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

// What the trace draws, with the lookups every part of it shares.
struct TraceContext {
  const vc::Graph& graph;
  const vc::Schedule& schedule;
  const ScheduleTimeline& timeline;
  const TraceSelection& selection;
  vc::LoweredPhaseMap lowered_by_phase;
  std::map<std::size_t, std::vector<const LaunchTimeline*>> launches_by_phase;

  bool tile_chosen(std::uint64_t tile) const {
    return selection.tiles.empty() || velk_io::in_ranges(selection.tiles, tile);
  }
  bool phase_chosen(std::uint64_t phase) const {
    return selection.phases.empty() || velk_io::in_ranges(selection.phases, phase);
  }
  const vc::LoweredExchangePhase* lowered(std::size_t phase) const {
    const auto found = lowered_by_phase.find(phase);
    return found == lowered_by_phase.end() ? nullptr : found->second;
  }
  const std::vector<const LaunchTimeline*>& launches(std::size_t phase) const {
    static const std::vector<const LaunchTimeline*> none;
    const auto found = launches_by_phase.find(phase);
    return found == launches_by_phase.end() ? none : found->second;
  }
  // The launch's epoch, when the lowered exchanges have it.
  const vc::LoweredExchangeEpoch* epoch(const LaunchTimeline& launch) const {
    const vc::LoweredExchangePhase* phase = lowered(launch.phase);
    return phase == nullptr || launch.epoch >= phase->epochs.size() ? nullptr : &phase->epochs[launch.epoch];
  }
};

void write_metadata(EventWriter& events, const TraceContext& trace) {
  const std::pair<int, std::string_view> processes[] = {
      {SCHEDULE_PID, "schedule"}, {TILES_PID, "tiles"}, {MEMORY_PID, "live SRAM (bytes per tile)"}};
  for (const auto& [pid, name] : processes) {
    metadata(events, pid, std::nullopt, "process_name", "name", name);
    metadata(events, pid, std::nullopt, "process_sort_index", "sort_index", static_cast<std::uint64_t>(pid));
  }
  metadata(events, SCHEDULE_PID, PHASES_TID, "thread_name", "name", "phases");
  const std::uint16_t tile_count = trace.schedule.tile_count;
  for (std::uint32_t t = 0; t < tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    if (!trace.tile_chosen(tile)) continue;
    metadata(events, TILES_PID, tile_tid(tile), "thread_name", "name", tile_name(tile, tile_count));
    metadata(events, TILES_PID, tile_tid(tile), "thread_sort_index", "sort_index", tile);
  }
}

void write_phase_slices(EventWriter& events, const TraceContext& trace) {
  for (const PhaseSpan& span : trace.timeline.phases) {
    if (!trace.phase_chosen(span.phase)) continue;
    const vc::Phase& phase = trace.schedule.phases[span.phase];
    const std::string label =
        phase_label(trace.graph, phase, span.phase, trace.lowered(span.phase), trace.launches(span.phase));
    JsonWriter& w = begin_slice(events, "phase", label, SCHEDULE_PID, PHASES_TID, span.start_cycle,
                                span.end_cycle - span.start_cycle);
    w.key("phase").number(span.phase);
    w.key("kind").string(std::holds_alternative<vc::ComputePhase>(phase) ? "compute" : "exchange");
    w.key("start_cycle").number(span.start_cycle);
    w.key("end_cycle").number(span.end_cycle);
    end_slice(w);
  }
}

// One slice of a tile's track: a kernel launch of a compute phase, or the tile's part of an
// exchange launch (all its timed words).
struct TileItem {
  const PhaseSpan* span = nullptr;
  const vc::KernelCommand* command = nullptr;  // a kernel launch
  const LaunchTimeline* launch = nullptr;      // else the tile's words in this launch
  const TileLaunch* tile_launch = nullptr;
  const vc::LoweredExchangeEpoch* epoch = nullptr;
};

// Per chosen tile, its items in time order: the tracks are written one after the other, so
// each tile's items are gathered first (references only, not events).
std::vector<std::vector<TileItem>> tile_items(const TraceContext& trace) {
  std::vector<std::vector<TileItem>> items(trace.schedule.tile_count);
  for (const PhaseSpan& span : trace.timeline.phases) {
    if (!trace.phase_chosen(span.phase)) continue;
    if (const auto* compute = std::get_if<vc::ComputePhase>(&trace.schedule.phases[span.phase])) {
      for (const vc::KernelCommand& command : compute->commands) {
        if (command.tile < items.size() && trace.tile_chosen(command.tile)) {
          items[command.tile].push_back(TileItem{&span, &command, nullptr, nullptr, nullptr});
        }
      }
      continue;
    }
    for (const LaunchTimeline* launch : trace.launches(span.phase)) {
      const vc::LoweredExchangeEpoch* epoch = trace.epoch(*launch);
      if (epoch == nullptr) continue;
      for (const TileLaunch& tile : launch->tiles) {
        if (tile.tile < items.size() && trace.tile_chosen(tile.tile)) {
          items[tile.tile].push_back(TileItem{&span, nullptr, launch, &tile, epoch});
        }
      }
    }
  }
  return items;
}

void write_kernel_slice(EventWriter& events, const TraceContext& trace, const PhaseSpan& span,
                        const vc::KernelCommand& command) {
  const auto& compute = std::get<vc::ComputePhase>(trace.schedule.phases[span.phase]);
  const std::vector<vc::Op>& ops = trace.graph.ops;
  JsonWriter& w = begin_slice(events, "compute", specialization_label(command.specialization), TILES_PID,
                              tile_tid(command.tile), span.start_cycle, NOTIONAL_KERNEL_CYCLES);
  w.key("phase").number(span.phase);
  w.key("op").number(compute.op.index);
  w.key("op_name").string(compute.op.index < ops.size() ? std::string_view(ops[compute.op.index].name) : "");
  w.key("output").string(trace.graph.tensor_name(command.output).value_or(""));
  w.key("notional").boolean(true);
  w.key("notional_kernel_cycles").number(NOTIONAL_KERNEL_CYCLES);
  end_slice(w);
}

void write_tile_slices(EventWriter& events, const TraceContext& trace) {
  for (const std::vector<TileItem>& items : tile_items(trace)) {
    for (const TileItem& item : items) {
      if (item.command != nullptr) {
        write_kernel_slice(events, trace, *item.span, *item.command);
        continue;
      }
      const LaunchTimeline& launch = *item.launch;
      const TileLaunch& tile = *item.tile_launch;
      for (const WordSlice& word : tile.slices) {
        JsonWriter& w = begin_slice(events, "exchange", word_role_name(word.role), TILES_PID, tile_tid(tile.tile),
                                    launch.start_cycle + word.start_cycle, word.end_cycle - word.start_cycle);
        word_args(w, trace.graph, launch, *item.epoch, tile, word);
        end_slice(w);
      }
    }
  }
}

// One flow per destination of every group: from the send to the first receive word. Every
// flow of the whole trace takes an id, so a part's flows keep the ids they have in the whole.
void write_flows(EventWriter& events, const TraceContext& trace) {
  std::uint64_t next_id = 1;
  for (const PhaseSpan& span : trace.timeline.phases) {
    if (std::holds_alternative<vc::ComputePhase>(trace.schedule.phases[span.phase])) continue;
    for (const LaunchTimeline* launch : trace.launches(span.phase)) {
      const vc::LoweredExchangeEpoch* epoch = trace.epoch(*launch);
      if (epoch == nullptr) continue;
      for (std::size_t g = 0; g < epoch->groups.size(); ++g) {
        const vc::LoweredExchangeGroup& group = epoch->groups[g];
        const WordSlice* send = find_slice(find_tile(*launch, group.source_tile), WordRole::Send, g);
        if (send == nullptr) continue;
        for (const std::uint16_t destination : group.destination_tiles) {
          const WordSlice* receive = find_slice(find_tile(*launch, destination), WordRole::Receive, g);
          if (receive == nullptr) continue;
          const std::uint64_t id = next_id++;
          if (!trace.phase_chosen(span.phase) || !trace.tile_chosen(group.source_tile) ||
              !trace.tile_chosen(destination)) {
            continue;
          }
          flow(events, "s", id, tile_tid(group.source_tile), send->start_cycle, launch->start_cycle);
          flow(events, "f", id, tile_tid(destination), receive->start_cycle, launch->start_cycle);
        }
      }
    }
  }
}

void write_counters(EventWriter& events, const TraceContext& trace) {
  const vc::Schedule& schedule = trace.schedule;
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    if (!trace.tile_chosen(tile)) continue;
    const std::vector<std::uint64_t> live = live_bytes_per_phase(schedule.allocations, tile, schedule.phases.size());
    const std::string name = tile_name(tile, schedule.tile_count);
    for (const PhaseSpan& span : trace.timeline.phases) {
      if (span.end_cycle == span.start_cycle || !trace.phase_chosen(span.phase)) continue;
      JsonWriter& w = events.begin();
      w.key("ph").string("C");
      w.key("pid").number(MEMORY_PID);
      w.key("name").string(name);
      w.key("ts").number(span.start_cycle);
      w.key("args").begin_object();
      w.key("bytes").number(live[span.phase]);
      w.end_object();
      w.end_object();
    }
  }
}

void write_ranges(JsonWriter& w, const std::vector<velk_io::IndexRange>& ranges) {
  w.begin_array();
  for (const velk_io::IndexRange& range : ranges) {
    w.begin_array();
    w.number(range.first);
    w.number(range.last);
    w.end_array();
  }
  w.end_array();
}

void write_other_data(EventWriter& events, const TraceContext& trace) {
  JsonWriter& w = events.begin_other_data();
  w.key("format").string("velk trace");
  w.key("version").number(TRACE_FORMAT_VERSION);
  w.key("clock").string(CLOCK_TEXT);
  w.key("kernel").string(KERNEL_TEXT);
  w.key("notional_kernel_cycles").number(NOTIONAL_KERNEL_CYCLES);
  w.key("tile_count").number(trace.schedule.tile_count);
  w.key("end_cycle").number(trace.timeline.end_cycle);
  // Only a part names what it holds, so the whole trace reads as it always has.
  if (!trace.selection.tiles.empty()) write_ranges(w.key("tiles"), trace.selection.tiles);
  if (!trace.selection.phases.empty()) write_ranges(w.key("phases"), trace.selection.phases);
  w.end_object();
}

}  // namespace

Result<void> write_trace(std::ostream& out, const vc::Graph& graph, const vc::Program& program,
                         const TraceSelection& selection) {
  const Result<ScheduleTimeline> timeline = schedule_timeline(program);
  if (!timeline) return std::unexpected(timeline.error());
  TraceContext trace{graph, program.schedule, *timeline, selection, vc::lowered_by_phase(program.exchanges), {}};
  for (const LaunchTimeline& launch : timeline->launches) trace.launches_by_phase[launch.phase].push_back(&launch);

  // The events first: a reader that stops after them still has the whole trace.
  EventWriter events(out);
  write_metadata(events, trace);
  write_phase_slices(events, trace);
  write_tile_slices(events, trace);
  write_flows(events, trace);
  write_counters(events, trace);
  write_other_data(events, trace);
  events.finish();
  return {};
}

Result<std::string> trace_json(const vc::Graph& graph, const vc::Program& program, const TraceSelection& selection) {
  std::ostringstream out;
  if (auto written = write_trace(out, graph, program, selection); !written) return std::unexpected(written.error());
  return std::move(out).str();
}

}  // namespace velk_views
