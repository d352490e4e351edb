// The schedule file. One writer and one reader per record, side by side, so that a field
// added to one is seen missing from the other.
#include "velk_io/schedule_json.hpp"

#include <array>
#include <utility>

#include "json_support.hpp"

namespace velk_io {
namespace {

namespace vc = velk_compiler;

constexpr std::array<std::string_view, 4> SHARDING_NAMES = {"replicated", "rows", "columns", "heads"};
constexpr std::array<std::string_view, 2> ADDRESSING_NAMES = {"relative", "absolute"};

template <std::size_t N>
std::string choices(const std::array<std::string_view, N>& names) {
  std::string text;
  for (std::size_t i = 0; i < N; ++i)
    text += (i == 0 ? "\"" : i + 1 == N ? " or \"" : ", \"") + std::string(names[i]) + "\"";
  return text;
}

// The position of the node's text among `names`; fails naming the choices otherwise.
template <std::size_t N>
std::size_t read_choice(JsonReader& reader, const Node& node, const std::array<std::string_view, N>& names) {
  const std::string text = reader.text(node);
  if (reader.failed()) return 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return i;
  }
  reader.fail(node, "unknown value \"" + text + "\" (expected " + choices(names) + ")");
  return 0;
}

template <class T>
Json index_list(const std::vector<T>& ids) {
  Json list = Json::array();
  for (const T& id : ids) list.push_back(id.index);
  return list;
}

template <class T>
std::vector<T> read_index_list(JsonReader& reader, const Node& node) {
  std::vector<T> ids;
  for (const Node& element : reader.array(node)) ids.push_back(T{reader.unsigned_as<std::size_t>(element)});
  return ids;
}

template <class T>
std::vector<T> read_unsigned_list(JsonReader& reader, const Node& node) {
  std::vector<T> values;
  for (const Node& element : reader.array(node)) values.push_back(reader.unsigned_as<T>(element));
  return values;
}

velk_exchange::Row read_row(JsonReader& reader, const Node& node) {
  velk_exchange::Row row{};
  const std::vector<Node> words = reader.array(node, row.size());
  for (std::size_t i = 0; i < words.size(); ++i) row[i] = reader.hex_word(words[i]);
  return row;
}

Json row_json(const velk_exchange::Row& row) { return hex_array({row.begin(), row.end()}); }

// Layout

Json layout_json(const vc::Layout& layout) {
  return Json{{"tensor", layout.tensor.index},
              {"tiles", layout.tiles},
              {"sharding", SHARDING_NAMES[static_cast<std::size_t>(layout.sharding)]},
              {"alignment", layout.alignment}};
}

vc::Layout read_layout(JsonReader& reader, const Node& node) {
  reader.object(node, {"tensor", "tiles", "sharding", "alignment"});
  return vc::Layout{vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
                    read_unsigned_list<std::uint16_t>(reader, reader.field(node, "tiles")),
                    static_cast<vc::Sharding>(read_choice(reader, reader.field(node, "sharding"), SHARDING_NAMES)),
                    reader.unsigned_as<std::uint32_t>(reader.field(node, "alignment"))};
}

// Phases

Json specialization_json(const vc::SpecializationKey& key) {
  return Json{{"operation", key.operation},
              {"shape", key.shape},
              {"worker_count", key.worker_count},
              {"role", key.role},
              {"alignment", key.alignment}};
}

vc::SpecializationKey read_specialization(JsonReader& reader, const Node& node) {
  reader.object(node, {"operation", "shape", "worker_count", "role", "alignment"});
  return vc::SpecializationKey{reader.text(reader.field(node, "operation")),
                               read_unsigned_list<std::size_t>(reader, reader.field(node, "shape")),
                               reader.unsigned_as<std::uint8_t>(reader.field(node, "worker_count")),
                               reader.text(reader.field(node, "role")),
                               reader.unsigned_as<std::uint32_t>(reader.field(node, "alignment"))};
}

Json command_json(const vc::KernelCommand& command) {
  return Json{{"tile", command.tile},
              {"output", command.output.index},
              {"inputs", index_list(command.inputs)},
              {"specialization", specialization_json(command.specialization)}};
}

vc::KernelCommand read_command(JsonReader& reader, const Node& node) {
  reader.object(node, {"tile", "output", "inputs", "specialization"});
  return vc::KernelCommand{reader.unsigned_as<std::uint16_t>(reader.field(node, "tile")),
                           vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "output"))},
                           read_index_list<vc::TensorId>(reader, reader.field(node, "inputs")),
                           read_specialization(reader, reader.field(node, "specialization"))};
}

Json transfer_json(const vc::Transfer& transfer) {
  return Json{{"source_tile", transfer.source_tile},
              {"destination_tile", transfer.destination_tile},
              {"tensor", transfer.tensor.index},
              {"bytes", transfer.bytes}};
}

vc::Transfer read_transfer(JsonReader& reader, const Node& node) {
  reader.object(node, {"source_tile", "destination_tile", "tensor", "bytes"});
  return vc::Transfer{reader.unsigned_as<std::uint16_t>(reader.field(node, "source_tile")),
                      reader.unsigned_as<std::uint16_t>(reader.field(node, "destination_tile")),
                      vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
                      reader.unsigned_as<std::uint32_t>(reader.field(node, "bytes"))};
}

Json phase_json(const vc::Phase& phase) {
  if (const auto* exchange = std::get_if<vc::ExchangePhase>(&phase)) {
    Json transfers = Json::array();
    for (const vc::Transfer& transfer : exchange->transfers) transfers.push_back(transfer_json(transfer));
    return Json{{"kind", "exchange"}, {"transfers", std::move(transfers)}};
  }
  const auto& compute = std::get<vc::ComputePhase>(phase);
  Json commands = Json::array();
  for (const vc::KernelCommand& command : compute.commands) commands.push_back(command_json(command));
  return Json{{"kind", "compute"}, {"op", compute.op.index}, {"commands", std::move(commands)}};
}

constexpr std::array<std::string_view, 2> PHASE_KINDS = {"exchange", "compute"};

vc::Phase read_phase(JsonReader& reader, const Node& node) {
  const std::size_t kind = reader.object(node, {"kind", "transfers", "op", "commands"})
                               ? read_choice(reader, reader.field(node, "kind"), PHASE_KINDS)
                               : 0;
  if (kind == 0) {
    reader.object(node, {"kind", "transfers"});
    vc::ExchangePhase exchange;
    for (const Node& transfer : reader.array(reader.field(node, "transfers"))) {
      exchange.transfers.push_back(read_transfer(reader, transfer));
    }
    return exchange;
  }
  reader.object(node, {"kind", "op", "commands"});
  vc::ComputePhase compute{vc::OpId{reader.unsigned_as<std::size_t>(reader.field(node, "op"))}, {}};
  for (const Node& command : reader.array(reader.field(node, "commands"))) {
    compute.commands.push_back(read_command(reader, command));
  }
  return compute;
}

// Allocations and peaks

Json allocation_json(const vc::Allocation& a) {
  Json record{{"tensor", a.tensor.index}, {"tile", a.tile},           {"address", a.address},
              {"size", a.size},           {"live_from", a.live_from}, {"live_until", a.live_until}};
  if (const auto* staging = std::get_if<vc::ExchangeStaging>(&a.kind)) {
    record["kind"] = "exchange_staging";
    record["phase"] = staging->phase;
  } else {
    record["kind"] = "home";
  }
  return record;
}

constexpr std::array<std::string_view, 2> ALLOCATION_KINDS = {"home", "exchange_staging"};

vc::Allocation read_allocation(JsonReader& reader, const Node& node) {
  reader.object(node, {"tensor", "tile", "address", "size", "live_from", "live_until", "kind", "phase"});
  vc::Allocation a{vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
                   reader.unsigned_as<std::uint16_t>(reader.field(node, "tile")),
                   reader.unsigned_as<std::uint32_t>(reader.field(node, "address")),
                   reader.unsigned_as<std::uint32_t>(reader.field(node, "size")),
                   reader.unsigned_as<std::size_t>(reader.field(node, "live_from")),
                   reader.unsigned_as<std::size_t>(reader.field(node, "live_until")),
                   vc::Home{}};
  if (read_choice(reader, reader.field(node, "kind"), ALLOCATION_KINDS) == 1) {
    a.kind = vc::ExchangeStaging{reader.unsigned_as<std::size_t>(reader.field(node, "phase"))};
  } else if (reader.has(node, "phase")) {
    reader.fail(node.child("phase"), "not a field of a home allocation");
  }
  return a;
}

// Per tile: {"tile": t, "<name>": value} in ascending tile order; a tile may appear once.
template <class T, class Write>
Json tile_map_json(const std::map<std::uint16_t, T>& map, std::string_view name, Write write) {
  Json list = Json::array();
  for (const auto& [tile, value] : map) list.push_back(Json{{"tile", tile}, {std::string(name), write(value)}});
  return list;
}

template <class T, class Read>
std::map<std::uint16_t, T> read_tile_map(JsonReader& reader, const Node& node, std::string_view name, Read read) {
  std::map<std::uint16_t, T> map;
  for (const Node& entry : reader.array(node)) {
    reader.object(entry, {"tile", name});
    const Node tile_node = reader.field(entry, "tile");
    const auto tile = reader.unsigned_as<std::uint16_t>(tile_node);
    T value = read(reader, reader.field(entry, name));
    if (reader.failed()) break;
    if (!map.emplace(tile, std::move(value)).second) {
      reader.fail(tile_node, "tile " + std::to_string(tile) + " appears twice");
    }
  }
  return map;
}

// Lowered exchanges

Json cost_json(const vc::ExchangeCost& cost) {
  return Json{
      {"launches", cost.launches}, {"estimated_cycles", cost.estimated_cycles}, {"payload_words", cost.payload_words}};
}

vc::ExchangeCost read_cost(JsonReader& reader, const Node& node) {
  reader.object(node, {"launches", "estimated_cycles", "payload_words"});
  return vc::ExchangeCost{reader.unsigned_as<std::uint32_t>(reader.field(node, "launches")),
                          reader.unsigned_as<std::uint64_t>(reader.field(node, "estimated_cycles")),
                          reader.unsigned_as<std::uint64_t>(reader.field(node, "payload_words"))};
}

Json group_json(const vc::LoweredExchangeGroup& group) {
  Json receivers = Json::array();
  for (const velk_exchange::Row& row : group.receivers) receivers.push_back(row_json(row));
  return Json{{"source_tile", group.source_tile},
              {"destination_tiles", group.destination_tiles},
              {"tensor", group.tensor.index},
              {"bytes", group.bytes},
              {"addressing", ADDRESSING_NAMES[static_cast<std::size_t>(group.addressing)]},
              {"sender", row_json(group.sender)},
              {"receivers", std::move(receivers)}};
}

vc::LoweredExchangeGroup read_group(JsonReader& reader, const Node& node) {
  reader.object(node, {"source_tile", "destination_tiles", "tensor", "bytes", "addressing", "sender", "receivers"});
  vc::LoweredExchangeGroup group{
      reader.unsigned_as<std::uint16_t>(reader.field(node, "source_tile")),
      read_unsigned_list<std::uint16_t>(reader, reader.field(node, "destination_tiles")),
      vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
      reader.unsigned_as<std::uint32_t>(reader.field(node, "bytes")),
      static_cast<vc::ExchangeAddressing>(read_choice(reader, reader.field(node, "addressing"), ADDRESSING_NAMES)),
      read_row(reader, reader.field(node, "sender")),
      {}};
  for (const Node& row : reader.array(reader.field(node, "receivers")))
    group.receivers.push_back(read_row(reader, row));
  return group;
}

Json epoch_json(const vc::LoweredExchangeEpoch& epoch) {
  Json groups = Json::array();
  for (const vc::LoweredExchangeGroup& group : epoch.groups) groups.push_back(group_json(group));
  return Json{{"groups", std::move(groups)},
              {"tile_rows", tile_map_json(epoch.tile_rows, "row", hex_array)},
              {"cost", cost_json(epoch.cost)}};
}

vc::LoweredExchangeEpoch read_epoch(JsonReader& reader, const Node& node) {
  reader.object(node, {"groups", "tile_rows", "cost"});
  vc::LoweredExchangeEpoch epoch;
  for (const Node& group : reader.array(reader.field(node, "groups")))
    epoch.groups.push_back(read_group(reader, group));
  epoch.tile_rows = read_tile_map<std::vector<std::uint32_t>>(
      reader, reader.field(node, "tile_rows"), "row", [](JsonReader& r, const Node& row) { return r.hex_words(row); });
  epoch.cost = read_cost(reader, reader.field(node, "cost"));
  return epoch;
}

Json exchange_json(const vc::LoweredExchangePhase& phase) {
  Json epochs = Json::array();
  for (const vc::LoweredExchangeEpoch& epoch : phase.epochs) epochs.push_back(epoch_json(epoch));
  return Json{{"phase", phase.phase}, {"epochs", std::move(epochs)}, {"cost", cost_json(phase.cost)}};
}

vc::LoweredExchangePhase read_exchange(JsonReader& reader, const Node& node) {
  reader.object(node, {"phase", "epochs", "cost"});
  vc::LoweredExchangePhase phase{reader.unsigned_as<std::size_t>(reader.field(node, "phase")), {}, {}};
  for (const Node& epoch : reader.array(reader.field(node, "epochs")))
    phase.epochs.push_back(read_epoch(reader, epoch));
  phase.cost = read_cost(reader, reader.field(node, "cost"));
  return phase;
}

// Tile programs

Json step_json(const vc::LoweredTileStep& step) {
  if (const auto* exchange = std::get_if<vc::ExchangeStep>(&step)) {
    return Json{{"kind", "exchange"},
                {"phase", exchange->phase},
                {"epoch", exchange->epoch},
                {"row", hex_array(exchange->row)}};
  }
  const auto& compute = std::get<vc::LoweredComputeCommand>(step);
  return Json{{"kind", "compute"},
              {"op", compute.op.index},
              {"output_address", compute.output_address},
              {"input_addresses", compute.input_addresses},
              {"specialization", specialization_json(compute.specialization)}};
}

vc::LoweredTileStep read_step(JsonReader& reader, const Node& node) {
  const std::size_t kind = reader.object(node, {"kind", "phase", "epoch", "row", "op", "output_address",
                                                "input_addresses", "specialization"})
                               ? read_choice(reader, reader.field(node, "kind"), PHASE_KINDS)
                               : 0;
  if (kind == 0) {
    reader.object(node, {"kind", "phase", "epoch", "row"});
    return vc::ExchangeStep{reader.unsigned_as<std::size_t>(reader.field(node, "phase")),
                            reader.unsigned_as<std::size_t>(reader.field(node, "epoch")),
                            reader.hex_words(reader.field(node, "row"))};
  }
  reader.object(node, {"kind", "op", "output_address", "input_addresses", "specialization"});
  return vc::LoweredComputeCommand{vc::OpId{reader.unsigned_as<std::size_t>(reader.field(node, "op"))},
                                   reader.unsigned_as<std::uint32_t>(reader.field(node, "output_address")),
                                   read_unsigned_list<std::uint32_t>(reader, reader.field(node, "input_addresses")),
                                   read_specialization(reader, reader.field(node, "specialization"))};
}

Json program_json(const vc::LoweredTileProgram& program) {
  Json steps = Json::array();
  for (const vc::LoweredTileStep& step : program.steps) steps.push_back(step_json(step));
  return Json{{"tile", program.tile}, {"steps", std::move(steps)}};
}

vc::LoweredTileProgram read_program(JsonReader& reader, const Node& node) {
  reader.object(node, {"tile", "steps"});
  vc::LoweredTileProgram program{reader.unsigned_as<std::uint16_t>(reader.field(node, "tile")), {}};
  for (const Node& step : reader.array(reader.field(node, "steps"))) program.steps.push_back(read_step(reader, step));
  return program;
}

template <class Items, class Write>
Json list_json(const Items& items, Write write) {
  Json list = Json::array();
  for (const auto& item : items) list.push_back(write(item));
  return list;
}

template <class T, class Read>
std::vector<T> read_list(JsonReader& reader, const Node& node, Read read) {
  std::vector<T> items;
  for (const Node& element : reader.array(node)) items.push_back(read(reader, element));
  return items;
}

}  // namespace

namespace {

std::string schedule_document(const vc::Schedule& s, std::span<const vc::LoweredExchangePhase> exchanges,
                              std::span<const vc::LoweredTileProgram> tile_programs) {
  const Json document{{"version", SCHEDULE_FORMAT_VERSION},
                      {"tile_count", s.tile_count},
                      {"layouts", list_json(s.layouts, layout_json)},
                      {"phases", list_json(s.phases, phase_json)},
                      {"allocations", list_json(s.allocations, allocation_json)},
                      {"peak_sram", tile_map_json(s.peak_sram, "bytes", [](std::uint32_t bytes) { return bytes; })},
                      {"exchanges", list_json(exchanges, exchange_json)},
                      {"tile_programs", list_json(tile_programs, program_json)}};
  return format_json(document);
}

}  // namespace

std::string write_schedule_json(const CompiledSchedule& compiled) {
  return schedule_document(compiled.schedule, compiled.exchanges, compiled.tile_programs);
}

std::string write_schedule_json(const vc::Program& program) {
  return schedule_document(program.schedule, program.exchanges, program.tile_programs);
}

Result<CompiledSchedule> read_schedule_json(std::string_view text) {
  const Result<Json> document = parse_json(text);
  if (!document) return std::unexpected(document.error());
  JsonReader reader;
  const Node root{&*document, ""};
  reader.object(
      root, {"version", "tile_count", "layouts", "phases", "allocations", "peak_sram", "exchanges", "tile_programs"});
  reader.version(root, SCHEDULE_FORMAT_VERSION);
  CompiledSchedule compiled;
  vc::Schedule& s = compiled.schedule;
  s.tile_count = reader.unsigned_as<std::uint16_t>(reader.field(root, "tile_count"));
  s.layouts = read_list<vc::Layout>(reader, reader.field(root, "layouts"), read_layout);
  s.phases = read_list<vc::Phase>(reader, reader.field(root, "phases"), read_phase);
  s.allocations = read_list<vc::Allocation>(reader, reader.field(root, "allocations"), read_allocation);
  s.peak_sram =
      read_tile_map<std::uint32_t>(reader, reader.field(root, "peak_sram"), "bytes",
                                   [](JsonReader& r, const Node& n) { return r.unsigned_as<std::uint32_t>(n); });
  compiled.exchanges = read_list<vc::LoweredExchangePhase>(reader, reader.field(root, "exchanges"), read_exchange);
  compiled.tile_programs = read_list<vc::LoweredTileProgram>(reader, reader.field(root, "tile_programs"), read_program);
  if (reader.failed()) return std::unexpected(reader.error());
  return compiled;
}

Result<const vc::LoweredTileProgram*> tile_program(const CompiledSchedule& compiled, std::uint16_t tile) {
  for (const vc::LoweredTileProgram& program : compiled.tile_programs) {
    if (program.tile == tile) return &program;
  }
  return std::unexpected(IoError{"tile_programs", "no program for tile " + std::to_string(tile) +
                                                      " (the schedule has " +
                                                      std::to_string(compiled.tile_programs.size()) + " programs)"});
}

}  // namespace velk_io
