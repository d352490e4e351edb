#include "velk_compiler/schedule.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace velk_compiler {
namespace {

TEST(CompilerOptions, Defaults) {
  const CompilerOptions options{};
  EXPECT_EQ(options.tile_count, 64);
  EXPECT_EQ(options.exchange_base, 0x50000u);
  EXPECT_EQ(options.exchange_limit, 0x58000u);
  EXPECT_EQ(options.data_base, 0x58000u);
  EXPECT_EQ(options.data_limit, 0xE0000u);
}

Schedule small_schedule() {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.layouts = {Layout{TensorId{0}, {0}, Sharding::Rows, 16}};
  schedule.phases = {ExchangePhase{{Transfer{0, 1, TensorId{0}, 64}}},
                     ComputePhase{OpId{0}, {KernelCommand{1, TensorId{1}, {TensorId{0}}, {"gelu", {4, 4}, 1, "tail", 16}}}}};
  schedule.allocations = {Allocation{TensorId{0}, 0, 0x58000, 64, 0, 1, Home{}},
                          Allocation{TensorId{0}, 1, 0x50000, 64, 0, 1, ExchangeStaging{0}}};
  schedule.peak_sram = {{0, 0x8040}, {1, 0x40}};
  return schedule;
}

TEST(Schedule, EqualityIsFieldByField) {
  const Schedule schedule = small_schedule();
  EXPECT_EQ(schedule, small_schedule());
  Schedule changed = small_schedule();
  std::get<ExchangePhase>(changed.phases[0]).transfers[0].bytes = 68;
  EXPECT_NE(schedule, changed);
  changed = small_schedule();
  changed.allocations[1].kind = ExchangeStaging{1};
  EXPECT_NE(schedule, changed);
  changed = small_schedule();
  changed.peak_sram[1] = 0x41;
  EXPECT_NE(schedule, changed);
}

TEST(Schedule, RecordsRenderWithTypeAndFieldNames) {
  std::ostringstream out;
  out << small_schedule().allocations[1] << "; " << small_schedule().phases[0];
  EXPECT_EQ(out.str(),
            "Allocation { tensor: 0, tile: 1, address: 0x50000, size: 64, live_from: 0, live_until: 1, kind: "
            "ExchangeStaging { phase: 0 } }; Exchange { transfers: [Transfer { source_tile: 0, destination_tile: 1, "
            "tensor: 0, bytes: 64 }] }");
}

}  // namespace
}  // namespace velk_compiler
