// The compile report's data block: the memory maps and launch rows as compact JSON arrays.
#include "report_data.hpp"

#include <algorithm>
#include <map>
#include <variant>

#include "html_support.hpp"
#include "report_svg.hpp"
#include "velk_views/disassembler.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;

// Writes the commas of a JSON array or object: call next() before each element.
class Separated {
 public:
  explicit Separated(std::string& out) : out_(out) {}
  std::string& next() {
    if (!first_) out_ += ',';
    first_ = false;
    return out_;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void append_number(std::string& out, std::int64_t value) { out += std::to_string(value); }

void append_numbers(std::string& out, std::initializer_list<std::int64_t> values) {
  Separated items(out);
  for (const std::int64_t value : values) append_number(items.next(), value);
}

std::int64_t signed_value(std::uint64_t value) { return static_cast<std::int64_t>(value); }

// The line render_words gives a word, from its hex digits to its advance: what does not
// depend on the word's position or on the words before it.
std::string render_line_middle(const DecodedWord& word) {
  const std::string line = render_words(std::span<const DecodedWord>(&word, 1));
  constexpr std::size_t POSITION = 6;  // the position, four wide, and two blanks
  const std::size_t ends = line.rfind(" ends ");
  return ends == std::string::npos || ends < POSITION ? line : line.substr(POSITION, ends - POSITION);
}

// The distinct words of the launches, each with its index in the data's word list.
struct WordTable {
  std::map<std::uint32_t, std::size_t> index;
  std::vector<DecodedWord> words;

  std::size_t of(const DecodedWord& word) {
    const auto [found, added] = index.emplace(word.word, words.size());
    if (added) words.push_back(word);
    return found->second;
  }
};

void append_panel(std::string& out, const MapPanel& panel) {
  out += '[';
  append_numbers(out, {panel.window, signed_value(panel.base), signed_value(panel.end), signed_value(panel.step)});
  out += ",[";
  Separated regions(out);
  for (const vc::Allocation* a : panel.regions) {
    const auto* staging = std::get_if<vc::ExchangeStaging>(&a->kind);
    const std::int64_t staged_phase = staging != nullptr ? signed_value(staging->phase) : -1;
    append_numbers(regions.next(), {signed_value(a->tensor.index), a->address, a->size, signed_value(a->live_from),
                                    signed_value(a->live_until), staged_phase});
  }
  out += "]]";
}

// Distinct JSON texts in order of first use: tiles that hold the same regions share one map,
// and rows with the same program and timed words (the same role in another layer, or beside
// another tile) share one row, which keeps a large schedule's page small.
class SharedTexts {
 public:
  std::size_t of(std::string text) {
    const auto [found, added] = index_.emplace(std::move(text), texts_.size());
    if (added) texts_.push_back(&found->first);
    return found->second;
  }

  void append(std::string& out) const {
    out += "[\n";
    Separated items(out);
    for (const std::string* text : texts_) items.next() += *text + '\n';
    out += ']';
  }

 private:
  std::map<std::string, std::size_t> index_;
  std::vector<const std::string*> texts_;
};

// Each tile's panels as the index of its map in `maps`.
std::string tile_maps(const vc::Schedule& schedule, const vc::CompilerOptions& options, SharedTexts& maps) {
  std::string out = "[";
  Separated tiles(out);
  for (const std::vector<MapPanel>& panels : memory_panels(schedule, options)) {
    std::string map = "[";
    Separated items(map);
    for (const MapPanel& panel : panels) append_panel(items.next(), panel);
    append_number(tiles.next(), signed_value(maps.of(map + ']')));
  }
  return out + ']';
}

void append_groups(std::string& out, const LaunchTimeline& launch, const vc::LoweredExchangeEpoch& epoch) {
  out += '[';
  Separated groups(out);
  for (std::size_t g = 0; g < epoch.groups.size(); ++g) {
    const vc::LoweredExchangeGroup& group = epoch.groups[g];
    const std::size_t slot = g < launch.group_slots.size() ? launch.group_slots[g] : 0;
    std::string& item = groups.next();
    item += '[';
    append_numbers(
        item, {signed_value(group.tensor.index), signed_value(group.bytes), group.source_tile, signed_value(slot)});
    item += ",[";
    Separated destinations(item);
    for (const std::uint16_t tile : group.destination_tiles) append_number(destinations.next(), tile);
    item += "]]";
  }
  out += ']';
}

// A row's program and timed words: [[word, end cycle, ...], [slice numbers, ...]].
std::string row_text(const TileLaunch& tile, std::size_t group_count, WordTable& words) {
  std::string out = "[[";
  Separated program(out);
  for (const DecodedWord& word : decode_words(tile.program)) {
    append_numbers(program.next(), {signed_value(words.of(word)), signed_value(word.end_cycle)});
  }
  out += "],[";
  Separated slices(out);
  for (const WordSlice& slice : tile.slices) {
    const bool grouped = slice.group && *slice.group < group_count;
    append_numbers(slices.next(), {signed_value(slice.word_index), static_cast<std::int64_t>(slice.role),
                                   grouped ? signed_value(*slice.group) : -1, signed_value(slice.start_cycle),
                                   signed_value(slice.end_cycle)});
  }
  return out + "]]";
}

void append_launches(std::string& out, const ScheduleTimeline& timeline,
                     std::span<const vc::LoweredExchangePhase> exchanges, WordTable& words, SharedTexts& rows) {
  out += "[\n";
  Separated launches(out);
  for (const LaunchTimeline& launch : timeline.launches) {
    const vc::LoweredExchangeEpoch* epoch = launch_epoch(launch, exchanges);
    if (epoch == nullptr) continue;
    std::string& item = launches.next();
    item += "{\"phase\":" + std::to_string(launch.phase) + ",\"epoch\":" + std::to_string(launch.epoch) +
            ",\"start\":" + std::to_string(launch.start_cycle) + ",\"cycles\":" + std::to_string(launch.cycles) +
            ",\"tick\":" + std::to_string(tick_step(launch.cycles, 12)) + ",\"groups\":";
    append_groups(item, launch, *epoch);
    item += ",\"rows\":[";
    Separated numbers(item);
    for (const TileLaunch& tile : launch.tiles) {
      append_number(numbers.next(), tile.tile);
      append_number(numbers.next(), signed_value(rows.of(row_text(tile, epoch->groups.size(), words))));
    }
    item += "]}\n";
  }
  out += ']';
}

void append_words(std::string& out, const WordTable& table) {
  out += "[\n";
  Separated words(out);
  for (const DecodedWord& word : table.words) {
    words.next() +=
        '[' + script_json_string(word_text(word)) + ',' + script_json_string(render_line_middle(word)) + "]\n";
  }
  out += ']';
}

std::string strings_json(const std::vector<std::string>& strings) {
  std::string out = "[";
  Separated items(out);
  for (const std::string& s : strings) items.next() += script_json_string(s);
  return out + "]";
}

}  // namespace

const vc::LoweredExchangeEpoch* launch_epoch(const LaunchTimeline& launch,
                                             std::span<const vc::LoweredExchangePhase> exchanges) {
  for (const vc::LoweredExchangePhase& lowered : exchanges) {
    if (lowered.phase == launch.phase && launch.epoch < lowered.epochs.size()) return &lowered.epochs[launch.epoch];
  }
  return nullptr;
}

std::vector<std::vector<MapPanel>> memory_panels(const vc::Schedule& schedule, const vc::CompilerOptions& options) {
  std::vector<std::vector<MapPanel>> tiles(schedule.tile_count);
  std::vector<MapPanel> exchange(schedule.tile_count, MapPanel{0, options.exchange_base, options.exchange_base, 0, {}});
  std::vector<MapPanel> data(schedule.tile_count, MapPanel{1, options.data_base, options.data_base, 0, {}});
  for (const vc::Allocation& a : schedule.allocations) {
    if (a.tile >= schedule.tile_count) continue;
    MapPanel& panel = std::holds_alternative<vc::ExchangeStaging>(a.kind) ? exchange[a.tile] : data[a.tile];
    panel.regions.push_back(&a);
    panel.end = std::max(panel.end, std::uint64_t{a.address} + a.size);
    // Regions lie in their window, but draw from the lowest start should one not.
    panel.base = std::min<std::uint64_t>(panel.base, a.address);
  }
  for (std::size_t t = 0; t < tiles.size(); ++t) {
    for (MapPanel* panel : {&exchange[t], &data[t]}) {
      if (panel->regions.empty()) continue;
      const std::uint64_t span = panel->end - panel->base;
      panel->step = byte_tick_step(span, 6);
      panel->end = panel->base + (span + panel->step - 1) / panel->step * panel->step;
      tiles[t].push_back(std::move(*panel));
    }
  }
  return tiles;
}

std::string report_data_json(const vc::Graph& graph, const vc::Program& program, const ScheduleTimeline& timeline) {
  const vc::Schedule& schedule = program.schedule;
  std::string phase_kinds;
  for (const vc::Phase& phase : schedule.phases)
    phase_kinds += std::holds_alternative<vc::ExchangePhase>(phase) ? 'x' : 'c';
  // Regions that outlive the last phase (the outputs) reach into one more column.
  bool outlives = false;
  for (const vc::Allocation& a : schedule.allocations) outlives = outlives || a.live_until >= schedule.phases.size();
  const std::size_t columns = std::max<std::size_t>(1, schedule.phases.size() + (outlives ? 1 : 0));

  std::vector<std::string> colours;
  for (std::size_t i = 0; i < SERIES_COLOURS; ++i) colours.emplace_back(series_colour(i));
  std::string roles = "[";
  Separated role_items(roles);
  for (const WordRole role : ALL_WORD_ROLES) {
    role_items.next() +=
        "[" + script_json_string(word_role_name(role)) + "," + script_json_string(role_colour(role)) + "]";
  }
  roles += "]";
  std::vector<std::string> tensors;
  for (const vc::Tensor& tensor : graph.tensors) tensors.push_back(tensor.name);
  std::string peaks = "[";
  Separated peak_items(peaks);
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto found = schedule.peak_sram.find(static_cast<std::uint16_t>(t));
    append_number(peak_items.next(), found == schedule.peak_sram.end() ? -1 : std::int64_t{found->second});
  }
  peaks += "]";

  WordTable words;
  SharedTexts rows;
  std::string launches;
  append_launches(launches, timeline, program.exchanges, words, rows);
  std::string word_list;
  append_words(word_list, words);
  std::string row_list;
  rows.append(row_list);
  SharedTexts maps;
  const std::string tiles = tile_maps(schedule, program.options, maps);
  std::string map_list;
  maps.append(map_list);

  const std::size_t tile_digits = tile_name(0, schedule.tile_count).size() - std::string_view("tile ").size();
  return "{\"tileCount\":" + std::to_string(schedule.tile_count) + ",\"tileDigits\":" + std::to_string(tile_digits) +
         ",\"phaseKinds\":" + script_json_string(phase_kinds) + ",\"columns\":" + std::to_string(columns) +
         ",\n\"colours\":" + strings_json(colours) + ",\n\"roles\":" + roles +
         ",\n\"tensors\":" + strings_json(tensors) + ",\n\"peaks\":" + peaks + ",\n\"tileMaps\":" + tiles +
         ",\n\"maps\":" + map_list + ",\n\"words\":" + word_list + ",\n\"rows\":" + row_list +
         ",\n\"launches\":" + launches + "}";
}

}  // namespace velk_views
