// The diagnostic renderings of the compiler's records: each prints its type name and its
// fields with their values, as tests and error reports show them.
#include <gtest/gtest.h>

#include <sstream>

#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

template <class T>
std::string rendered(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

const SpecializationKey KEY{"matmul", {32, 64}, 6, "tail", 16};

TEST(Rendering, IdentifiersAndErrors) {
  EXPECT_EQ(rendered(TensorId{7}), "TensorId(7)");
  EXPECT_EQ(rendered(OpId{3}), "OpId(3)");
  EXPECT_EQ(rendered(CompileError::memory("address overflow")), "memory: address overflow");
  EXPECT_EQ(rendered(CompileError(velk_exchange::ExchangeError::schedule("zero event advance"))),
            "exchange: Schedule(\"zero event advance\")");
  EXPECT_EQ(rendered(velk_exchange::ExchangeError::count(0)), "Count(0)");
}

TEST(Rendering, ScheduleRecords) {
  EXPECT_EQ(rendered(CompilerOptions{}),
            "CompilerOptions { tile_count: 64, exchange_base: 0x50000, exchange_limit: 0x58000, data_base: 0x58000, "
            "data_limit: 0xe0000 }");
  const struct {
    Sharding sharding;
    std::string_view name;
  } shardings[] = {{Sharding::Replicated, "Replicated"},
                   {Sharding::Rows, "Rows"},
                   {Sharding::Columns, "Columns"},
                   {Sharding::Heads, "Heads"}};
  for (const auto& s : shardings) {
    EXPECT_EQ(rendered(s.sharding), s.name);
    EXPECT_EQ(sharding_name(s.sharding), s.name);
  }
  EXPECT_EQ(rendered(Layout{TensorId{2}, {0, 1}, Sharding::Rows, 16}),
            "Layout { tensor: 2, tiles: [0, 1], sharding: Rows, alignment: 16 }");
  EXPECT_EQ(
      rendered(KEY),
      "SpecializationKey { operation: \"matmul\", shape: [32, 64], worker_count: 6, role: \"tail\", alignment: 16 }");
  EXPECT_EQ(rendered(KernelCommand{1, TensorId{4}, {TensorId{2}, TensorId{3}}, KEY}),
            "KernelCommand { tile: 1, output: 4, inputs: [2, 3], specialization: SpecializationKey { operation: "
            "\"matmul\", shape: [32, 64], worker_count: 6, role: \"tail\", alignment: 16 } }");
  EXPECT_EQ(rendered(Phase{ComputePhase{OpId{5}, {}}}), "Compute { op: 5, commands: [] }");
  EXPECT_EQ(rendered(AllocationKind{Home{}}), "Home");
  EXPECT_EQ(rendered(Allocation{TensorId{1}, 2, 0x58000, 64, 0, 3, Home{}}),
            "Allocation { tensor: 1, tile: 2, address: 0x58000, size: 64, live_from: 0, live_until: 3, kind: Home }");
  EXPECT_EQ(rendered(Allocation{TensorId{0}, 1, 0x50000, 64, 0, 1, ExchangeStaging{0}}),
            "Allocation { tensor: 0, tile: 1, address: 0x50000, size: 64, live_from: 0, live_until: 1, kind: "
            "ExchangeStaging { phase: 0 } }");
  EXPECT_EQ(rendered(Phase{ExchangePhase{{Transfer{0, 1, TensorId{0}, 64}}}}),
            "Exchange { transfers: [Transfer { source_tile: 0, destination_tile: 1, tensor: 0, bytes: 64 }] }");
}

TEST(Rendering, LoweredExchangeRecords) {
  EXPECT_EQ(rendered(ExchangeAddressing::Relative), "Relative");
  EXPECT_EQ(rendered(ExchangeAddressing::Absolute), "Absolute");
  EXPECT_EQ(rendered(ExchangeCost{1, 74, 16}), "ExchangeCost { launches: 1, estimated_cycles: 74, payload_words: 16 }");
  const LoweredExchangeGroup group{0,
                                   {1, 2},
                                   TensorId{3},
                                   4,
                                   ExchangeAddressing::Absolute,
                                   velk_exchange::Row{0x41800003, 0x78000003, 0x43A00000},
                                   {velk_exchange::Row{0x41800003}, velk_exchange::Row{0x43A00000}}};
  const std::string group_text =
      "LoweredExchangeGroup { source_tile: 0, destination_tiles: [1, 2], tensor: 3, bytes: 4, addressing: Absolute, "
      "sender: [0x41800003, 0x78000003, 0x43a00000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, "
      "0x00000000], receivers: [[0x41800003, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, "
      "0x00000000, 0x00000000], [0x43a00000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, "
      "0x00000000, 0x00000000]] }";
  EXPECT_EQ(rendered(group), group_text);
  const LoweredExchangeEpoch epoch{{group}, {{0, {0x41800003, 0x43A00000}}, {2, {0x41800003}}}, ExchangeCost{1, 6, 1}};
  const std::string epoch_text = "LoweredExchangeEpoch { groups: [" + group_text +
                                 "], tile_rows: {0: [0x41800003, 0x43a00000], 2: [0x41800003]}, cost: ExchangeCost { "
                                 "launches: 1, estimated_cycles: 6, payload_words: 1 } }";
  EXPECT_EQ(rendered(epoch), epoch_text);
  EXPECT_EQ(rendered(LoweredExchangePhase{7, {epoch, epoch}, ExchangeCost{}}),
            "LoweredExchangePhase { phase: 7, epochs: [" + epoch_text + ", " + epoch_text +
                "], cost: ExchangeCost { launches: 0, estimated_cycles: 0, payload_words: 0 } }");
}

TEST(Rendering, TileProgramsAndCommands) {
  const LoweredTileStep exchange = ExchangeStep{7, 0, {0x41800003, 0x43A00000}};
  EXPECT_EQ(rendered(exchange), "Exchange { phase: 7, epoch: 0, row: [0x41800003, 0x43a00000] }");
  const LoweredTileStep compute = LoweredComputeCommand{OpId{2}, 0x58040, {0x58000, 0x50010}, KEY};
  EXPECT_EQ(rendered(compute),
            "Compute { op: 2, output_address: 0x58040, input_addresses: [0x58000, 0x50010], specialization: "
            "SpecializationKey { operation: \"matmul\", shape: [32, 64], worker_count: 6, role: \"tail\", alignment: "
            "16 } }");
  EXPECT_EQ(rendered(LoweredTileProgram{3, {exchange}}),
            "LoweredTileProgram { tile: 3, steps: [Exchange { phase: 7, epoch: 0, row: [0x41800003, 0x43a00000] }] }");
  EXPECT_EQ(rendered(EncodedTileCommand{{TILE_COMMAND_TRANSFER, 7, 0, 4, 11, 1024, 0, 0}}),
            "EncodedTileCommand { words: [0x1, 0x7, 0x0, 0x4, 0xb, 0x400, 0x0, 0x0] }");
}

TEST(Rendering, RegionFinderConstraints) {
  EXPECT_EQ(rendered(MemoryPlacement::Low), "Low");
  EXPECT_EQ(rendered(MemoryPlacement::High), "High");
  EXPECT_EQ(rendered(MemoryConstraint{0x50000, 0x54000, 32, MemoryPlacement::High}),
            "MemoryConstraint { base: 0x50000, limit: 0x54000, alignment: 0x20, placement: High }");
}

TEST(Rendering, MemoryFailures) {
  const MemoryFailure failure{CompileError::memory("tile 1 exceeds data limit allocating b"),
                              FailedRegion{TensorId{1}, "b", 1, 1024, 16, 0, 2, ExchangeStaging{0}, 0x50000, 0x507F0},
                              {Allocation{TensorId{0}, 1, 0x50000, 1024, 0, 1, ExchangeStaging{0}},
                               Allocation{TensorId{2}, 1, 0x58000, 64, 1, 2, Home{}}}};
  EXPECT_EQ(
      rendered(failure),
      "MemoryFailure { error: memory: tile 1 exceeds data limit allocating b, region: FailedRegion { tensor: 1, "
      "label: \"b\", tile: 1, size: 1024, alignment: 16, live_from: 0, live_until: 2, kind: ExchangeStaging { "
      "phase: 0 }, window_base: 0x50000, window_limit: 0x507f0 }, live_regions: [Allocation { tensor: 0, tile: 1, "
      "address: 0x50000, size: 1024, live_from: 0, live_until: 1, kind: ExchangeStaging { phase: 0 } }, "
      "Allocation { tensor: 2, tile: 1, address: 0x58000, size: 64, live_from: 1, live_until: 2, kind: Home }] }");
}

}  // namespace
}  // namespace velk_compiler
