// The schedule file. One writer and one reader per record, side by side, so that a field
// added to one is seen missing from the other.
#include "velk_io/schedule_json.hpp"

#include <array>
#include <sstream>
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
void write_index_list(JsonWriter& w, const std::vector<T>& ids) {
  w.begin_array();
  for (const T& id : ids) w.number(id.index);
  w.end_array();
}

// An array with one element per item, each written by `write`.
template <class Items, class Write>
void write_list(JsonWriter& w, const Items& items, Write write) {
  w.begin_array();
  for (const auto& item : items) write(w, item);
  w.end_array();
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

void write_row(JsonWriter& w, const velk_exchange::Row& row) { write_hex_words(w, row); }

// Layout

void write_layout(JsonWriter& w, const vc::Layout& layout) {
  w.begin_object();
  w.key("tensor").number(layout.tensor.index);
  w.key("tiles").numbers(layout.tiles);
  w.key("sharding").string(SHARDING_NAMES[static_cast<std::size_t>(layout.sharding)]);
  w.key("alignment").number(layout.alignment);
  w.end_object();
}

vc::Layout read_layout(JsonReader& reader, const Node& node) {
  reader.object(node, {"tensor", "tiles", "sharding", "alignment"});
  return vc::Layout{vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
                    read_unsigned_list<std::uint16_t>(reader, reader.field(node, "tiles")),
                    static_cast<vc::Sharding>(read_choice(reader, reader.field(node, "sharding"), SHARDING_NAMES)),
                    reader.unsigned_as<std::uint32_t>(reader.field(node, "alignment"))};
}

// Phases

void write_specialization(JsonWriter& w, const vc::SpecializationKey& key) {
  w.begin_object();
  w.key("operation").string(key.operation);
  w.key("shape").numbers(key.shape);
  w.key("worker_count").number(key.worker_count);
  w.key("role").string(key.role);
  w.key("alignment").number(key.alignment);
  w.end_object();
}

vc::SpecializationKey read_specialization(JsonReader& reader, const Node& node) {
  reader.object(node, {"operation", "shape", "worker_count", "role", "alignment"});
  return vc::SpecializationKey{reader.text(reader.field(node, "operation")),
                               read_unsigned_list<std::size_t>(reader, reader.field(node, "shape")),
                               reader.unsigned_as<std::uint8_t>(reader.field(node, "worker_count")),
                               reader.text(reader.field(node, "role")),
                               reader.unsigned_as<std::uint32_t>(reader.field(node, "alignment"))};
}

void write_command(JsonWriter& w, const vc::KernelCommand& command) {
  w.begin_object();
  w.key("tile").number(command.tile);
  w.key("output").number(command.output.index);
  write_index_list(w.key("inputs"), command.inputs);
  write_specialization(w.key("specialization"), command.specialization);
  w.end_object();
}

vc::KernelCommand read_command(JsonReader& reader, const Node& node) {
  reader.object(node, {"tile", "output", "inputs", "specialization"});
  return vc::KernelCommand{reader.unsigned_as<std::uint16_t>(reader.field(node, "tile")),
                           vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "output"))},
                           read_index_list<vc::TensorId>(reader, reader.field(node, "inputs")),
                           read_specialization(reader, reader.field(node, "specialization"))};
}

void write_transfer(JsonWriter& w, const vc::Transfer& transfer) {
  w.begin_object();
  w.key("source_tile").number(transfer.source_tile);
  w.key("destination_tile").number(transfer.destination_tile);
  w.key("tensor").number(transfer.tensor.index);
  w.key("bytes").number(transfer.bytes);
  w.end_object();
}

vc::Transfer read_transfer(JsonReader& reader, const Node& node) {
  reader.object(node, {"source_tile", "destination_tile", "tensor", "bytes"});
  return vc::Transfer{reader.unsigned_as<std::uint16_t>(reader.field(node, "source_tile")),
                      reader.unsigned_as<std::uint16_t>(reader.field(node, "destination_tile")),
                      vc::TensorId{reader.unsigned_as<std::size_t>(reader.field(node, "tensor"))},
                      reader.unsigned_as<std::uint32_t>(reader.field(node, "bytes"))};
}

void write_phase(JsonWriter& w, const vc::Phase& phase) {
  w.begin_object();
  if (const auto* exchange = std::get_if<vc::ExchangePhase>(&phase)) {
    w.key("kind").string("exchange");
    write_list(w.key("transfers"), exchange->transfers, write_transfer);
  } else {
    const auto& compute = std::get<vc::ComputePhase>(phase);
    w.key("kind").string("compute");
    w.key("op").number(compute.op.index);
    write_list(w.key("commands"), compute.commands, write_command);
  }
  w.end_object();
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

void write_allocation(JsonWriter& w, const vc::Allocation& a) {
  w.begin_object();
  w.key("tensor").number(a.tensor.index);
  w.key("tile").number(a.tile);
  w.key("address").number(a.address);
  w.key("size").number(a.size);
  w.key("live_from").number(a.live_from);
  w.key("live_until").number(a.live_until);
  if (const auto* staging = std::get_if<vc::ExchangeStaging>(&a.kind)) {
    w.key("kind").string("exchange_staging");
    w.key("phase").number(staging->phase);
  } else {
    w.key("kind").string("home");
  }
  w.end_object();
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
void write_tile_map(JsonWriter& w, const std::map<std::uint16_t, T>& map, std::string_view name, Write write) {
  w.begin_array();
  for (const auto& [tile, value] : map) {
    w.begin_object();
    w.key("tile").number(tile);
    write(w.key(name), value);
    w.end_object();
  }
  w.end_array();
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

void write_cost(JsonWriter& w, const vc::ExchangeCost& cost) {
  w.begin_object();
  w.key("launches").number(cost.launches);
  w.key("estimated_cycles").number(cost.estimated_cycles);
  w.key("payload_words").number(cost.payload_words);
  w.end_object();
}

vc::ExchangeCost read_cost(JsonReader& reader, const Node& node) {
  reader.object(node, {"launches", "estimated_cycles", "payload_words"});
  return vc::ExchangeCost{reader.unsigned_as<std::uint32_t>(reader.field(node, "launches")),
                          reader.unsigned_as<std::uint64_t>(reader.field(node, "estimated_cycles")),
                          reader.unsigned_as<std::uint64_t>(reader.field(node, "payload_words"))};
}

void write_group(JsonWriter& w, const vc::LoweredExchangeGroup& group) {
  w.begin_object();
  w.key("source_tile").number(group.source_tile);
  w.key("destination_tiles").numbers(group.destination_tiles);
  w.key("tensor").number(group.tensor.index);
  w.key("bytes").number(group.bytes);
  w.key("addressing").string(ADDRESSING_NAMES[static_cast<std::size_t>(group.addressing)]);
  write_row(w.key("sender"), group.sender);
  write_list(w.key("receivers"), group.receivers, write_row);
  w.end_object();
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

void write_epoch(JsonWriter& w, const vc::LoweredExchangeEpoch& epoch) {
  w.begin_object();
  write_list(w.key("groups"), epoch.groups, write_group);
  write_tile_map(w.key("tile_rows"), epoch.tile_rows, "row", write_hex_words);
  write_cost(w.key("cost"), epoch.cost);
  w.end_object();
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

void write_exchange(JsonWriter& w, const vc::LoweredExchangePhase& phase) {
  w.begin_object();
  w.key("phase").number(phase.phase);
  write_list(w.key("epochs"), phase.epochs, write_epoch);
  write_cost(w.key("cost"), phase.cost);
  w.end_object();
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

void write_step(JsonWriter& w, const vc::LoweredTileStep& step) {
  w.begin_object();
  if (const auto* exchange = std::get_if<vc::ExchangeStep>(&step)) {
    w.key("kind").string("exchange");
    w.key("phase").number(exchange->phase);
    w.key("epoch").number(exchange->epoch);
    write_hex_words(w.key("row"), exchange->row);
  } else {
    const auto& compute = std::get<vc::LoweredComputeCommand>(step);
    w.key("kind").string("compute");
    w.key("op").number(compute.op.index);
    w.key("output_address").number(compute.output_address);
    w.key("input_addresses").numbers(compute.input_addresses);
    write_specialization(w.key("specialization"), compute.specialization);
  }
  w.end_object();
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

void write_program(JsonWriter& w, const vc::LoweredTileProgram& program) {
  w.begin_object();
  w.key("tile").number(program.tile);
  write_list(w.key("steps"), program.steps, write_step);
  w.end_object();
}

vc::LoweredTileProgram read_program(JsonReader& reader, const Node& node) {
  reader.object(node, {"tile", "steps"});
  vc::LoweredTileProgram program{reader.unsigned_as<std::uint16_t>(reader.field(node, "tile")), {}};
  for (const Node& step : reader.array(reader.field(node, "steps"))) program.steps.push_back(read_step(reader, step));
  return program;
}

template <class T, class Read>
std::vector<T> read_list(JsonReader& reader, const Node& node, Read read) {
  std::vector<T> items;
  for (const Node& element : reader.array(node)) items.push_back(read(reader, element));
  return items;
}

}  // namespace

namespace {

bool write_schedule_document(std::ostream& out, const vc::Schedule& s,
                             std::span<const vc::LoweredExchangePhase> exchanges,
                             std::span<const vc::LoweredTileProgram> tile_programs) {
  JsonWriter w(out);
  w.begin_object();
  w.key("version").number(SCHEDULE_FORMAT_VERSION);
  w.key("tile_count").number(s.tile_count);
  write_list(w.key("layouts"), s.layouts, write_layout);
  write_list(w.key("phases"), s.phases, write_phase);
  write_list(w.key("allocations"), s.allocations, write_allocation);
  write_tile_map(w.key("peak_sram"), s.peak_sram, "bytes", [](JsonWriter& v, std::uint32_t bytes) { v.number(bytes); });
  write_list(w.key("exchanges"), exchanges, write_exchange);
  write_list(w.key("tile_programs"), tile_programs, write_program);
  w.end_object();
  w.raw("\n");
  return w.flush();
}

std::string schedule_text(const vc::Schedule& s, std::span<const vc::LoweredExchangePhase> exchanges,
                          std::span<const vc::LoweredTileProgram> tile_programs) {
  std::ostringstream out;
  write_schedule_document(out, s, exchanges, tile_programs);
  return std::move(out).str();
}

}  // namespace

std::string write_schedule_json(const CompiledSchedule& compiled) {
  return schedule_text(compiled.schedule, compiled.exchanges, compiled.tile_programs);
}

std::string write_schedule_json(const vc::Program& program) {
  return schedule_text(program.schedule, program.exchanges, program.tile_programs);
}

bool write_schedule_json(std::ostream& out, const vc::Program& program) {
  return write_schedule_document(out, program.schedule, program.exchanges, program.tile_programs);
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
