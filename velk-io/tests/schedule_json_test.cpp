#include "velk_io/schedule_json.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "json_support.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_io {
namespace {

namespace vc = velk_compiler;

CompiledSchedule compiled_encoder() {
  const vc::Result<vc::Graph> graph = vc::encoder_graph(vc::EncoderConfig{});
  EXPECT_TRUE(graph);
  vc::Result<vc::Schedule> schedule = vc::compile(*graph, vc::CompilerOptions{});
  EXPECT_TRUE(schedule);
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  auto exchanges = schedule->lower_exchanges(topology);
  auto programs = schedule->lower_tile_programs(topology);
  EXPECT_TRUE(exchanges);
  EXPECT_TRUE(programs);
  return CompiledSchedule{*schedule, *exchanges, *programs};
}

TEST(ScheduleJson, RoundTripsTheCompiledEncoderBlock) {
  const CompiledSchedule compiled = compiled_encoder();
  const std::string text = write_schedule_json(compiled);
  const Result<CompiledSchedule> back = read_schedule_json(text);
  ASSERT_TRUE(back) << to_string(back.error());
  // Field by field first, so that a failure names the record that differs.
  EXPECT_EQ(back->schedule.layouts, compiled.schedule.layouts);
  EXPECT_EQ(back->schedule.phases, compiled.schedule.phases);
  EXPECT_EQ(back->schedule.allocations, compiled.schedule.allocations);
  EXPECT_EQ(back->schedule.peak_sram, compiled.schedule.peak_sram);
  EXPECT_EQ(back->schedule.tile_count, compiled.schedule.tile_count);
  EXPECT_EQ(back->exchanges, compiled.exchanges);
  EXPECT_EQ(back->tile_programs, compiled.tile_programs);
  EXPECT_EQ(*back, compiled);
  EXPECT_EQ(write_schedule_json(*back), text);
}

// The streamed file is the document that the same values give as one tree, laid out whole.
TEST(ScheduleJson, StreamedFileIsTheWholeDocumentsText) {
  struct Case {
    const char* name;
    std::size_t layers;
    std::uint16_t tiles;
  };
  const Case cases[] = {{"encoder block, 64 tiles", 1, 64}, {"encoder block, 8 tiles", 1, 8}, {"two blocks", 2, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vc::CompilerOptions options;
    options.tile_count = c.tiles;
    const vc::Program program = vc::build_program(vc::encoder_stack(vc::EncoderConfig{}, c.layers).value(), options,
                                                  velk_exchange::Topology::r77())
                                    .value();
    ASSERT_FALSE(program.exchanges.empty());
    std::ostringstream out;
    ASSERT_TRUE(write_schedule_json(out, program));
    const std::string text = out.str();
    const Result<Json> document = parse_json(text);
    ASSERT_TRUE(document);
    EXPECT_EQ(format_json(*document), text);
    EXPECT_EQ(write_schedule_json(program), text);
    EXPECT_EQ(read_schedule_json(text), (CompiledSchedule{program.schedule, program.exchanges, program.tile_programs}));
  }
}

TEST(ScheduleJson, RoundTripsValuesAtTheEdgesOfTheirFields) {
  CompiledSchedule edges;
  vc::Schedule& s = edges.schedule;
  s.tile_count = 65535;
  s.layouts = {vc::Layout{vc::TensorId{0}, {0, 65535}, vc::Sharding::Heads, 0xFFFFFFFF}};
  s.phases = {vc::ExchangePhase{{vc::Transfer{65535, 0, vc::TensorId{1}, 0xFFFFFFFF}}},
              vc::ComputePhase{vc::OpId{3}, {vc::KernelCommand{7, vc::TensorId{2}, {}, {"mul", {}, 255, "tail", 0}}}}};
  s.allocations = {
      vc::Allocation{vc::TensorId{0}, 65535, 0xFFFFFFFF, 0, 0, 18446744073709551615u, vc::ExchangeStaging{9}}};
  s.peak_sram = {{0, 0}, {65535, 0xFFFFFFFF}};
  vc::LoweredExchangeEpoch epoch;
  epoch.groups = {vc::LoweredExchangeGroup{1,
                                           {2, 3},
                                           vc::TensorId{4},
                                           8,
                                           vc::ExchangeAddressing::Relative,
                                           velk_exchange::Row{0xFFFFFFFF, 0, 1},
                                           {velk_exchange::Row{}}}};
  epoch.tile_rows = {{1, {0x41800003, 0x43A00000}}, {2, {}}};
  epoch.cost = vc::ExchangeCost{0xFFFFFFFF, 18446744073709551615u, 0};
  edges.exchanges = {vc::LoweredExchangePhase{0, {epoch}, epoch.cost}, vc::LoweredExchangePhase{}};
  edges.tile_programs = {vc::LoweredTileProgram{
      65535,
      {vc::ExchangeStep{0, 0, {0xDEADBEEF}}, vc::LoweredComputeCommand{vc::OpId{1}, 0x58000, {0, 0xFFFFFFFF}, {}}}}};
  const Result<CompiledSchedule> back = read_schedule_json(write_schedule_json(edges));
  ASSERT_TRUE(back) << to_string(back.error());
  EXPECT_EQ(*back, edges);
}

struct Malformed {
  const char* name;
  std::string from;  // replaced once in the encoder's schedule file ...
  std::string to;    // ... by this
  std::string message;
};

TEST(ScheduleJson, MalformedFilesNameThePlace) {
  const std::string text = write_schedule_json(compiled_encoder());
  const Malformed cases[] = {
      {"syntax", "\"version\": 1,", "\"version\": 1",
       "line 3, column 14: syntax error while parsing object - unexpected string literal; expected '}'"},
      {"version", "\"version\": 1", "\"version\": 3", "version: unsupported version 3 (this reader knows version 1)"},
      {"tile count beyond 16 bits", "\"tile_count\": 64", "\"tile_count\": 65536",
       "tile_count: must be at most 65535, found 65536"},
      {"unknown sharding", "\"sharding\": \"rows\"", "\"sharding\": \"diagonal\"",
       "layouts[0].sharding: unknown value \"diagonal\" (expected \"replicated\", \"rows\", \"columns\" or \"heads\")"},
      {"layout tile negative", "\"tiles\": [0, 1", "\"tiles\": [-1, 1",
       "layouts[0].tiles[0]: must not be negative, found -1"},
      {"unknown phase kind", "\"kind\": \"compute\"", "\"kind\": \"barrier\"",
       "phases[0].kind: unknown value \"barrier\" (expected \"exchange\" or \"compute\")"},
      {"worker count beyond 8 bits", "\"worker_count\": 6", "\"worker_count\": 256",
       "phases[0].commands[0].specialization.worker_count: must be at most 255, found 256"},
      {"missing field", "\"bytes\": 1024}", "\"byte\": 1024}", "phases[7].transfers[0]: unknown field \"byte\""},
      {"address beyond 32 bits", "\"address\": 360448", "\"address\": 4294967296",
       "allocations[0].address: must be at most 4294967295, found 4294967296"},
      {"home with a phase", "\"kind\": \"home\"}", "\"kind\": \"home\", \"phase\": 3}",
       "allocations[0].phase: not a field of a home allocation"},
      {"tile twice in peak_sram", "{\"tile\": 1, \"bytes\"", "{\"tile\": 0, \"bytes\"",
       "peak_sram[1].tile: tile 0 appears twice"},
      {"short row", "\"sender\": [\"0x41800003\", ", "\"sender\": [",
       "exchanges[0].epochs[0].groups[0].sender: expected 9 elements, found 8"},
      {"word not hex", "\"sender\": [\"0x41800003\"", "\"sender\": [\"0x4180000G\"",
       "exchanges[0].epochs[0].groups[0].sender[0]: expected a word \"0x\" and 1 to 8 hexadecimal digits, found "
       "\"0x4180000G\""},
      {"word as number", "\"sender\": [\"0x41800003\"", "\"sender\": [1098907651",
       "exchanges[0].epochs[0].groups[0].sender[0]: expected a hexadecimal word string, found a number"},
      {"unknown addressing", "\"addressing\": \"absolute\"", "\"addressing\": \"indirect\"",
       "exchanges[0].epochs[0].groups[0].addressing: unknown value \"indirect\" (expected \"relative\" or "
       "\"absolute\")"},
      {"step row not a list", "\"kind\": \"exchange\", \"phase\": 7, \"epoch\": 0, \"row\": [",
       "\"kind\": \"exchange\", \"phase\": 7, \"epoch\": 0, \"row\": {\"x\": 1}, \"was\": [",
       "tile_programs[0].steps[7]: unknown field \"was\""},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    std::string changed = text;
    changed.replace(at, c.from.size(), c.to);
    const Result<CompiledSchedule> back = read_schedule_json(changed);
    ASSERT_FALSE(back);
    EXPECT_EQ(to_string(back.error()), c.message);
  }
}

TEST(ScheduleJson, FindsATilesProgram) {
  const CompiledSchedule compiled = compiled_encoder();
  const Result<const vc::LoweredTileProgram*> program = tile_program(compiled, 63);
  ASSERT_TRUE(program);
  EXPECT_EQ(*program, &compiled.tile_programs[63]);
  EXPECT_EQ(tile_program(compiled, 64),
            std::unexpected(IoError{"tile_programs", "no program for tile 64 (the schedule has 64 programs)"}));
}

}  // namespace
}  // namespace velk_io
