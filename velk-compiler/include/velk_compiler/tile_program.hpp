// Per-tile programs: the schedule lowered into one ordered program per tile. A compute
// phase gives a tile its kernel launches with every tensor resolved to an SRAM address; an
// exchange phase gives every tile one exchange step per launch, its own program row or the
// idle row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <variant>
#include <vector>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

struct ExchangeStep {
  std::size_t phase = 0;  // index of the exchange phase in Schedule::phases
  std::size_t epoch = 0;  // index of the launch within the lowered phase
  std::vector<std::uint32_t> row;
  bool operator==(const ExchangeStep&) const = default;
};

struct LoweredComputeCommand {
  OpId op;
  std::uint32_t output_address = 0;            // the tile's home of the output
  std::vector<std::uint32_t> input_addresses;  // per input, staging region or home
  SpecializationKey specialization;
  bool operator==(const LoweredComputeCommand&) const = default;
};

using LoweredTileStep = std::variant<ExchangeStep, LoweredComputeCommand>;

struct LoweredTileProgram {
  std::uint16_t tile = 0;
  std::vector<LoweredTileStep> steps;
  bool operator==(const LoweredTileProgram&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredTileStep& step);
std::ostream& operator<<(std::ostream& out, const LoweredTileProgram& program);

}  // namespace velk_compiler
