#include "velk_views/trace.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "exchange_schedule.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/program.hpp"
#include "velk_exchange/plan_program.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;
using nlohmann::json;

struct EncoderTrace {
  vc::Graph graph;
  vc::Program program;
  std::string text;
  json document;
};

const EncoderTrace& encoder_trace() {
  static const EncoderTrace trace = [] {
    EncoderTrace t;
    t.graph = vc::encoder_graph({}).value();
    t.program = vc::build_program(t.graph, {}, velk_exchange::Topology::r77()).value();
    t.text = trace_json(t.graph, t.program).value();
    t.document = json::parse(t.text);
    return t;
  }();
  return trace;
}

std::vector<json> events_where(const json& document, const std::string& ph, int pid) {
  std::vector<json> found;
  for (const json& event : document.at("traceEvents")) {
    if (event.at("ph") == ph && event.at("pid") == pid) found.push_back(event);
  }
  return found;
}

const vc::LoweredExchangeEpoch& epoch_of(const vc::Program& compiled, std::size_t phase, std::size_t launch) {
  for (const vc::LoweredExchangePhase& lowered : compiled.exchanges) {
    if (lowered.phase == phase) return lowered.epochs.at(launch);
  }
  throw std::out_of_range("no lowered phase");
}

// Where each phase starts, read from the schedule track.
std::map<std::size_t, std::uint64_t> phase_starts(const json& document) {
  std::map<std::size_t, std::uint64_t> starts;
  for (const json& event : events_where(document, "X", 1)) {
    starts[event.at("args").at("phase").get<std::size_t>()] = event.at("ts").get<std::uint64_t>();
  }
  return starts;
}

TEST(TraceJson, DocumentNamesItsClockAndNotionalKernelLength) {
  const json& document = encoder_trace().document;
  ASSERT_TRUE(document.is_object());
  const json& other = document.at("otherData");
  EXPECT_EQ(other.at("format"), "velk trace");
  EXPECT_EQ(other.at("version"), 1);
  EXPECT_EQ(other.at("clock"),
            "one trace microsecond is one cycle (a notional 1 MHz clock): timestamps and durations are exact cycle "
            "counts");
  EXPECT_EQ(other.at("notional_kernel_cycles"), 1000);
  EXPECT_EQ(other.at("tile_count"), 64);
  EXPECT_EQ(other.at("end_cycle"), 15664);
  for (const json& event : document.at("traceEvents")) {
    ASSERT_TRUE(event.contains("ph") && event.contains("pid") && event.contains("name")) << event.dump();
  }
}

// One track per tile, named "tile NNNN" and sorted by tile number.
TEST(TraceJson, OneNamedTrackPerTileInTileOrder) {
  std::map<int, std::string> names;
  std::map<int, int> sort_index;
  for (const json& event : events_where(encoder_trace().document, "M", 2)) {
    if (event.at("name") == "thread_name") names[event.at("tid")] = event.at("args").at("name");
    if (event.at("name") == "thread_sort_index") sort_index[event.at("tid")] = event.at("args").at("sort_index");
  }
  ASSERT_EQ(names.size(), 64u);
  ASSERT_EQ(sort_index.size(), 64u);
  for (int tile = 0; tile < 64; ++tile) {
    EXPECT_EQ(names.at(tile + 1), tile_name(static_cast<std::uint16_t>(tile), 64));
    EXPECT_EQ(sort_index.at(tile + 1), tile);
  }
}

// Every exchange slice starts and ends where plan_event_cycles of its tile's program up to
// the word before it, and up to it, puts it; and every tile of a launch ends at the launch's
// estimated cycles.
TEST(TraceJson, ExchangeSlicesAgreeWithPlanEventCyclesOfTheirWords) {
  const EncoderTrace& trace = encoder_trace();
  const std::map<std::size_t, std::uint64_t> starts = phase_starts(trace.document);
  std::map<std::tuple<std::size_t, std::size_t, std::uint16_t>, std::uint64_t> tile_ends;
  std::size_t slices = 0;
  for (const json& event : events_where(trace.document, "X", 2)) {
    if (event.at("cat") != "exchange") continue;
    ++slices;
    const json& args = event.at("args");
    const auto phase = args.at("phase").get<std::size_t>();
    const auto launch = args.at("launch").get<std::size_t>();
    const auto tile = args.at("tile").get<std::uint16_t>();
    const auto index = args.at("word_index").get<std::size_t>();
    EXPECT_EQ(event.at("tid"), tile + 1);
    const std::vector<std::uint32_t>& program = epoch_of(trace.program, phase, launch).tile_rows.at(tile);
    ASSERT_LT(index, program.size());
    const std::uint32_t before = velk_exchange::plan_event_cycles(std::span(program.data(), index)).value();
    const std::uint32_t after = velk_exchange::plan_event_cycles(std::span(program.data(), index + 1)).value();
    const std::uint64_t launch_start = starts.at(phase);
    EXPECT_EQ(event.at("ts").get<std::uint64_t>(), launch_start + before) << event.dump();
    EXPECT_EQ(event.at("dur").get<std::uint64_t>(), after - before) << event.dump();
    EXPECT_EQ(args.at("start_cycle"), before);
    EXPECT_EQ(args.at("end_cycle"), after);
    std::uint64_t& end = tile_ends[{phase, launch, tile}];
    end = std::max(end, std::uint64_t{after});
  }
  EXPECT_GT(slices, 0u);
  std::size_t tiles = 0;
  for (const vc::LoweredExchangePhase& lowered : trace.program.exchanges) {
    for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
      for (const auto& [tile, program] : lowered.epochs[e].tile_rows) {
        ++tiles;
        EXPECT_EQ(tile_ends.at({lowered.phase, e, tile}), lowered.epochs[e].cost.estimated_cycles);
      }
    }
  }
  EXPECT_EQ(tile_ends.size(), tiles);
}

TEST(TraceJson, KernelLaunchesAreNotionalSlicesNamedByTheirKeys) {
  const EncoderTrace& trace = encoder_trace();
  const std::map<std::size_t, std::uint64_t> starts = phase_starts(trace.document);
  std::vector<std::tuple<std::size_t, int, std::string>> expected;
  for (std::size_t p = 0; p < trace.program.schedule.phases.size(); ++p) {
    const auto* compute = std::get_if<vc::ComputePhase>(&trace.program.schedule.phases[p]);
    if (compute == nullptr) continue;
    for (const vc::KernelCommand& command : compute->commands) {
      expected.emplace_back(p, command.tile + 1, specialization_label(command.specialization));
    }
  }
  std::vector<std::tuple<std::size_t, int, std::string>> found;
  for (const json& event : events_where(trace.document, "X", 2)) {
    if (event.at("cat") != "compute") continue;
    const auto phase = event.at("args").at("phase").get<std::size_t>();
    found.emplace_back(phase, event.at("tid").get<int>(), event.at("name").get<std::string>());
    EXPECT_EQ(event.at("ts"), starts.at(phase));
    EXPECT_EQ(event.at("dur"), NOTIONAL_KERNEL_CYCLES);
    EXPECT_EQ(event.at("args").at("notional"), true);
  }
  std::sort(expected.begin(), expected.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, expected);
}

// Each flow starts inside its group's send slice and finishes inside a receive slice of one
// of the group's destinations, one flow per destination.
TEST(TraceJson, FlowsJoinEachSendToItsReceives) {
  const EncoderTrace& trace = encoder_trace();
  std::size_t destinations = 0;
  for (const vc::LoweredExchangePhase& lowered : trace.program.exchanges) {
    for (const vc::LoweredExchangeEpoch& epoch : lowered.epochs) {
      for (const vc::LoweredExchangeGroup& group : epoch.groups) destinations += group.destination_tiles.size();
    }
  }
  const std::vector<json> slices = events_where(trace.document, "X", 2);
  const auto enclosing = [&slices](int tid, double ts) -> const json* {
    for (const json& s : slices) {
      const double start = s.at("ts").get<double>();
      if (s.at("tid") == tid && start < ts && ts < start + s.at("dur").get<double>()) return &s;
    }
    return nullptr;
  };
  std::map<std::uint64_t, const json*> starts;
  for (const json& event : events_where(trace.document, "s", 2)) {
    const json* send = enclosing(event.at("tid"), event.at("ts"));
    ASSERT_NE(send, nullptr) << event.dump();
    EXPECT_EQ(send->at("name"), "send");
    starts[event.at("id")] = send;
  }
  const std::vector<json> finishes = events_where(trace.document, "f", 2);
  EXPECT_EQ(starts.size(), destinations);
  EXPECT_EQ(finishes.size(), destinations);
  for (const json& event : finishes) {
    const json* receive = enclosing(event.at("tid"), event.at("ts"));
    ASSERT_NE(receive, nullptr) << event.dump();
    EXPECT_EQ(receive->at("name"), "receive");
    const json* send = starts.at(event.at("id"));
    EXPECT_EQ(receive->at("args").at("group"), send->at("args").at("group"));
    EXPECT_EQ(receive->at("args").at("phase"), send->at("args").at("phase"));
    const std::vector<int> tiles = send->at("args").at("destination_tiles");
    EXPECT_NE(std::find(tiles.begin(), tiles.end(), event.at("tid").get<int>() - 1), tiles.end());
  }
}

// A counter per tile, one sample per phase that takes time, holding the bytes live in it.
TEST(TraceJson, CountersShowEachTilesLiveBytesPhaseByPhase) {
  const EncoderTrace& trace = encoder_trace();
  const vc::Schedule& schedule = trace.program.schedule;
  const std::map<std::size_t, std::uint64_t> starts = phase_starts(trace.document);
  std::map<std::string, std::vector<std::pair<std::uint64_t, std::uint64_t>>> samples;
  for (const json& event : events_where(trace.document, "C", 3)) {
    samples[event.at("name")].emplace_back(event.at("ts"), event.at("args").at("bytes"));
  }
  ASSERT_EQ(samples.size(), 64u);
  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    const std::vector<std::uint64_t> live = live_bytes_per_phase(schedule.allocations, tile, schedule.phases.size());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
    for (std::size_t p = 0; p < live.size(); ++p) expected.emplace_back(starts.at(p), live[p]);
    EXPECT_EQ(samples.at(tile_name(tile, 64)), expected) << tile;
  }
}

TEST(TraceJson, SameScheduleGivesTheSameText) {
  const EncoderTrace& trace = encoder_trace();
  EXPECT_EQ(trace_json(trace.graph, trace.program).value(), trace.text);
}

// The whole trace of one 64-byte multicast from tile 0 to tile 1, event by event, on 16
// tiles (only the first two tracks' metadata shown in full).
TEST(TraceJson, SingleTransferEventByEvent) {
  vc::Graph graph;
  graph.input("x", {16});
  const std::vector<vc::Transfer> transfers = {vc::Transfer{0, 1, vc::TensorId{0}, 64}};
  const vc::Program program =
      vc::lower_schedule(vc::exchange_schedule(transfers), {}, velk_exchange::Topology::r77()).value();
  const Result<std::string> text = trace_json(graph, program);
  ASSERT_TRUE(text) << text.error();
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text->size();) {
    const std::size_t end = text->find('\n', start);
    lines.push_back(text->substr(start, end - start));
    start = end + 1;
  }
  const std::string group =
      R"("group":0,"slot":0,"tensor":0,"tensor_name":"x","bytes":64,"source_tile":0,"destination_tiles":[1]})";
  const std::vector<std::string> expected_tail = {
      R"({"ph":"X","cat":"phase","name":"phase 0: exchange, 1 group in 1 slot","pid":1,"tid":1,"ts":0,"dur":74,"args":{"phase":0,"kind":"exchange","start_cycle":0,"end_cycle":74}},)",
      R"({"ph":"X","cat":"exchange","name":"start delay","pid":2,"tid":1,"ts":0,"dur":28,"args":{"phase":0,"launch":0,"tile":0,"word_index":1,"word":"0x40A0001B delay cycles=27","start_cycle":0,"end_cycle":28,)" +
          group + "},",
      R"({"ph":"X","cat":"exchange","name":"send","pid":2,"tid":1,"ts":28,"dur":16,"args":{"phase":0,"launch":0,"tile":0,"word_index":2,"word":"0x79EC4003 send count_minus_one=15 base_word=0x18800 direction=3","start_cycle":28,"end_cycle":44,"words":16,)" +
          group + "},",
      R"({"ph":"X","cat":"exchange","name":"padding","pid":2,"tid":1,"ts":44,"dur":30,"args":{"phase":0,"launch":0,"tile":0,"word_index":3,"word":"0x40A0001D delay cycles=29","start_cycle":44,"end_cycle":74}},)",
      R"({"ph":"X","cat":"exchange","name":"receive wait","pid":2,"tid":2,"ts":0,"dur":1,"args":{"phase":0,"launch":0,"tile":1,"word_index":1,"word":"0x64000000 xpic-delay a=0 b=0 c=0x0","start_cycle":0,"end_cycle":1,)" +
          group + "},",
      R"({"ph":"X","cat":"exchange","name":"receive","pid":2,"tid":2,"ts":1,"dur":16,"args":{"phase":0,"launch":0,"tile":1,"word_index":2,"word":"0x6403C640 xpic-delay a=15 b=0 c=0x640","start_cycle":1,"end_cycle":17,)" +
          group + "},",
      R"({"ph":"X","cat":"exchange","name":"receive","pid":2,"tid":2,"ts":17,"dur":36,"args":{"phase":0,"launch":0,"tile":1,"word_index":3,"word":"0x61194800 pic-delay a=35 b=0 c=0x14800","start_cycle":17,"end_cycle":53,)" +
          group + "},",
      R"({"ph":"X","cat":"exchange","name":"trailing delay","pid":2,"tid":2,"ts":53,"dur":21,"args":{"phase":0,"launch":0,"tile":1,"word_index":4,"word":"0x40A00014 delay cycles=20","start_cycle":53,"end_cycle":74,)" +
          group + "},",
      R"({"ph":"s","cat":"multicast","name":"multicast","id":1,"pid":2,"tid":1,"ts":28.5,"bp":"e"},)",
      R"({"ph":"f","cat":"multicast","name":"multicast","id":1,"pid":2,"tid":2,"ts":1.5,"bp":"e"},)",
  };
  // Metadata: 3 processes with name and sort index, the phases track, 16 tile tracks.
  const std::size_t metadata = 3 * 2 + 1 + 16 * 2;
  ASSERT_EQ(lines.size(), 1 + metadata + expected_tail.size() + 16 + 2);
  EXPECT_EQ(lines[0], R"({"traceEvents": [)");
  EXPECT_EQ(lines[1], R"({"ph":"M","pid":1,"name":"process_name","args":{"name":"schedule"}},)");
  EXPECT_EQ(lines[8], R"({"ph":"M","pid":2,"tid":1,"name":"thread_name","args":{"name":"tile 0000"}},)");
  EXPECT_EQ(lines[9], R"({"ph":"M","pid":2,"tid":1,"name":"thread_sort_index","args":{"sort_index":0}},)");
  for (std::size_t i = 0; i < expected_tail.size(); ++i) {
    EXPECT_EQ(lines[1 + metadata + i], expected_tail[i]) << i;
  }
  // Tile 0 holds its 64-byte home, tile 1 its staging region, every other tile nothing.
  const std::size_t counters = 1 + metadata + expected_tail.size();
  EXPECT_EQ(lines[counters], R"({"ph":"C","pid":3,"name":"tile 0000","ts":0,"args":{"bytes":64}},)");
  EXPECT_EQ(lines[counters + 1], R"({"ph":"C","pid":3,"name":"tile 0001","ts":0,"args":{"bytes":64}},)");
  EXPECT_EQ(lines[counters + 15], R"({"ph":"C","pid":3,"name":"tile 0015","ts":0,"args":{"bytes":0}})");
  EXPECT_EQ(lines[counters + 16], "],");
  EXPECT_TRUE(lines.back().starts_with(R"("otherData": {"format":"velk trace","version":1,"clock":"one )"))
      << lines.back();
  EXPECT_TRUE(lines.back().ends_with(R"("tile_count":16,"end_cycle":74}})")) << lines.back();
}

// The events of the whole trace that a part of tiles 0-4 and 9 and phases 5-9 holds: tracks
// and counters of those tiles, slices of those phases, flows of those phases between those
// tiles (phase 7 sends from tile 0 to 4 and from 1 to 5), and every process and the phases
// track.
std::vector<json> events_of_part(const json& whole) {
  const auto tile_chosen = [](std::size_t tile) { return tile <= 4 || tile == 9; };
  const auto phase_chosen = [](std::size_t phase) { return phase >= 5 && phase <= 9; };
  std::vector<std::pair<std::uint64_t, std::uint64_t>> chosen_spans;  // [start, end) of the chosen phases
  for (const json& event : events_where(whole, "X", 1)) {
    if (phase_chosen(event.at("args").at("phase").get<std::size_t>())) {
      const auto start = event.at("ts").get<std::uint64_t>();
      chosen_spans.emplace_back(start, start + event.at("dur").get<std::uint64_t>());
    }
  }
  const auto in_chosen_phase = [&](double ts) {
    return std::any_of(chosen_spans.begin(), chosen_spans.end(), [ts](const auto& span) {
      return static_cast<double>(span.first) <= ts && ts < static_cast<double>(span.second);
    });
  };
  const auto tile_of = [](const json& event) { return static_cast<std::size_t>(event.at("tid").get<int>() - 1); };
  std::map<std::uint64_t, int> flow_ends_chosen;  // per flow id, its chosen ends
  for (const json& event : whole.at("traceEvents")) {
    if ((event.at("ph") == "s" || event.at("ph") == "f") && tile_chosen(tile_of(event)) &&
        in_chosen_phase(event.at("ts").get<double>())) {
      ++flow_ends_chosen[event.at("id").get<std::uint64_t>()];
    }
  }
  std::vector<json> part;
  for (const json& event : whole.at("traceEvents")) {
    const std::string ph = event.at("ph");
    const int pid = event.at("pid");
    bool kept = false;
    if (ph == "M") kept = pid != 2 || !event.contains("tid") || tile_chosen(tile_of(event));
    if (ph == "X" && pid == 1) kept = phase_chosen(event.at("args").at("phase").get<std::size_t>());
    if (ph == "X" && pid == 2) {
      kept = tile_chosen(tile_of(event)) && phase_chosen(event.at("args").at("phase").get<std::size_t>());
    }
    if (ph == "s" || ph == "f") kept = flow_ends_chosen[event.at("id").get<std::uint64_t>()] == 2;
    if (ph == "C") {
      const std::string name = event.at("name");  // "tile 0008"
      kept = tile_chosen(std::stoul(name.substr(5))) && in_chosen_phase(event.at("ts").get<double>());
    }
    if (kept) part.push_back(event);
  }
  return part;
}

TEST(TraceJson, APartHoldsTheChosenTilesAndPhasesAtTheWholeTracesTimes) {
  const EncoderTrace& whole = encoder_trace();
  const TraceSelection selection{{{0, 4}, {9, 9}}, {{5, 9}}};
  const json part = json::parse(trace_json(whole.graph, whole.program, selection).value());

  const std::vector<json> expected = events_of_part(whole.document);
  EXPECT_EQ(part.at("traceEvents").get<std::vector<json>>(), expected);
  // The part has each kind of event: kernel launches, exchange words, flows and counters.
  for (const std::string category : {"compute", "exchange", "multicast"}) {
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const json& event) {
      return event.value("cat", "") == category;
    })) << category;
  }
  EXPECT_FALSE(events_where(part, "C", 3).empty());

  json other = whole.document.at("otherData");
  other["tiles"] = json::parse("[[0, 4], [9, 9]]");
  other["phases"] = json::parse("[[5, 9]]");
  EXPECT_EQ(part.at("otherData"), other);
}

TEST(TraceJson, StreamedTraceIsTheTraceText) {
  const EncoderTrace& whole = encoder_trace();
  std::ostringstream out;
  ASSERT_TRUE(write_trace(out, whole.graph, whole.program));
  EXPECT_EQ(out.str(), whole.text);
  // Choosing every tile and phase by name writes the same events.
  const TraceSelection everything{{{0, 63}}, {{0, whole.program.schedule.phases.size() - 1}}};
  const json chosen = json::parse(trace_json(whole.graph, whole.program, everything).value());
  EXPECT_EQ(chosen.at("traceEvents"), whole.document.at("traceEvents"));
}

}  // namespace
}  // namespace velk_views
