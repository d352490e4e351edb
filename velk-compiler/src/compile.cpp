// The compile driver.
//
// Every layout is a run of tiles from tile 0, so an operand needs copies only when it is
// spread over fewer tiles than the result: result tile i then receives one share from the
// operand's tile i modulo its tile count. Weights are never moved by the encoder block,
// since they always span at least as many tiles as the results that use them.
#include "velk_compiler/compile.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "text.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_planner.hpp"
#include "velk_exchange/instruction.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

constexpr std::string_view LOG_TARGET = "velk_compiler";

bool same_placement(const Layout& a, const Layout& b) { return a.tiles == b.tiles && a.sharding == b.sharding; }

// The copies that bring every operand of `op` to the tiles of its result, by operand,
// then by destination position.
[[nodiscard]] Result<std::vector<Transfer>> operand_transfers(const Graph& graph, const std::vector<Layout>& layouts,
                                                              const Op& op) {
  const Layout& out = layouts[op.output.index];
  std::vector<Transfer> transfers;
  for (const TensorId operand : op.inputs) {
    const Layout& in = layouts[operand.index];
    if (same_placement(in, out)) continue;
    const std::size_t share = local_bytes(graph.tensors[operand.index], in);
    if (share > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(oversized_share(graph.tensors[operand.index], share));
    }
    for (std::size_t i = 0; i < out.tiles.size(); ++i) {
      const std::uint16_t destination = out.tiles[i];
      const std::uint16_t source = in.tiles[i % in.tiles.size()];
      if (source == destination) continue;
      transfers.push_back(Transfer{source, destination, operand, static_cast<std::uint32_t>(share)});
    }
  }
  return transfers;
}

// All launches of one operation share one key but for the last tile's role, so the key is
// made once and copied.
ComputePhase compute_phase(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Layout& out = layouts[op.output.index];
  const Tensor& result = graph.tensors[op.output.index];
  const SpecializationKey body = specialization_key(op.kind, result, out, out.tiles.front());
  ComputePhase phase{op.id, {}};
  phase.commands.reserve(out.tiles.size());
  for (std::size_t i = 0; i + 1 < out.tiles.size(); ++i)
    phase.commands.emplace_back(out.tiles[i], op.output, op.inputs, body);
  phase.commands.push_back(KernelCommand{out.tiles.back(), op.output, op.inputs,
                                         specialization_key(op.kind, result, out, out.tiles.back())});
  return phase;
}

}  // namespace

Result<std::vector<Phase>> compile_phases(const Graph& graph, const std::vector<Layout>& layouts) {
  std::vector<Phase> phases;
  phases.reserve(graph.ops.size());
  for (std::size_t done = 0; done < graph.ops.size(); ++done) {
    const Op& op = graph.ops[done];
    Result<std::vector<Transfer>> transfers = operand_transfers(graph, layouts, op);
    if (!transfers) return std::unexpected(transfers.error());
    if (!transfers->empty()) {
      if (auto valid = validate_transfers(*transfers); !valid) return std::unexpected(valid.error());
      phases.emplace_back(ExchangePhase{std::move(*transfers)});
    }
    phases.emplace_back(compute_phase(graph, layouts, op));
    velk_log::report_progress(LOG_TARGET, "phases", done + 1, graph.ops.size(), "operations");
  }
  return phases;
}

namespace {

std::uint64_t largest_peak(const std::map<std::uint16_t, std::uint32_t>& peaks) {
  std::uint32_t largest = 0;
  for (const auto& [tile, peak] : peaks) largest = std::max(largest, peak);
  return largest;
}

}  // namespace

bool valid_options(const CompilerOptions& options) { return !options_problem(options); }

std::optional<OptionsProblem> options_problem(const CompilerOptions& o) {
  using Option = OptionsProblem::Option;
  const auto window = [](std::uint32_t base, std::uint32_t limit) {
    return "(" + hex_text(base) + ":" + hex_text(limit) + ")";
  };
  const std::string exchange = window(o.exchange_base, o.exchange_limit);
  const std::string receive = window(velk_exchange::RECEIVE_WINDOW_BASE, velk_exchange::RECEIVE_WINDOW_LIMIT);
  if (o.tile_count == 0) return OptionsProblem{Option::TileCount, "no tiles: give at least 1"};
  if (o.exchange_base >= o.exchange_limit) {
    return OptionsProblem{Option::ExchangeWindow, "the window " + exchange + " is empty"};
  }
  if (o.exchange_base < velk_exchange::RECEIVE_WINDOW_BASE || o.exchange_limit > velk_exchange::RECEIVE_WINDOW_LIMIT) {
    return OptionsProblem{Option::ExchangeWindow,
                          "the window " + exchange + " is not inside the fabric's receive window " + receive};
  }
  const std::string data = window(o.data_base, o.data_limit);
  if (o.data_base >= o.data_limit) return OptionsProblem{Option::DataWindow, "the window " + data + " is empty"};
  if (o.exchange_limit > o.data_base) {
    return OptionsProblem{Option::DataWindow, "the window " + data + " overlaps the exchange window " + exchange +
                                                  ", which must lie below it"};
  }
  return std::nullopt;
}

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  velk_log::emit(velk_log::Level::Info, LOG_TARGET, "compiling graph",
                 {{"operations", std::uint64_t{graph.ops.size()}},
                  {"tensors", std::uint64_t{graph.tensors.size()}},
                  {"tiles", std::uint64_t{options.tile_count}}});
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!valid_options(options)) return std::unexpected(CompileError::graph("invalid compiler options"));

  Schedule schedule;
  schedule.tile_count = options.tile_count;
  schedule.layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) schedule.layouts.push_back(choose_layout(tensor, options.tile_count));

  Result<std::vector<Phase>> phases = compile_phases(graph, schedule.layouts);
  if (!phases) return std::unexpected(phases.error());
  schedule.phases = std::move(*phases);

  velk_log::report_progress(LOG_TARGET, "memory plan", 0, schedule.phases.size(), "phases");
  Result<std::vector<Allocation>> allocations = plan_memory(graph, schedule.layouts, schedule.phases, options);
  if (!allocations) return std::unexpected(allocations.error());
  schedule.allocations = std::move(*allocations);
  velk_log::report_progress(LOG_TARGET, "memory plan", schedule.phases.size(), schedule.phases.size(), "phases");
  schedule.peak_sram = peak_sram(schedule.allocations, std::min(options.exchange_base, options.data_base));

  const std::uint64_t peak_bytes = largest_peak(schedule.peak_sram);
  velk_log::emit(velk_log::Level::Debug, LOG_TARGET, "planned tile SRAM", {{"peak_bytes", peak_bytes}});
  velk_log::emit(velk_log::Level::Info, LOG_TARGET, "graph compilation completed",
                 {{"phases", std::uint64_t{schedule.phases.size()}},
                  {"allocations", std::uint64_t{schedule.allocations.size()}},
                  {"peak_bytes", peak_bytes}});
  return schedule;
}

// The first transfer, in list order, that copies a tile to itself, moves nothing, or targets
// a (destination, tensor) pair an earlier transfer already targets, decides the error.
Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // Positions ordered by (destination, tensor, position): a position whose neighbour before
  // it has the same pair repeats an earlier transfer.
  std::vector<std::size_t> order(transfers.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto pair_of = [&](std::size_t i) { return std::pair(transfers[i].destination_tile, transfers[i].tensor); };
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return std::pair(pair_of(a), a) < std::pair(pair_of(b), b); });
  std::vector<bool> repeats(transfers.size(), false);
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (pair_of(order[k]) == pair_of(order[k - 1])) repeats[order[k]] = true;
  }
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const Transfer& transfer = transfers[i];
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    if (repeats[i]) return std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch"));
  }
  return {};
}

}  // namespace velk_compiler
