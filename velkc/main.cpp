// velkc, the command-line compiler. This file only wires options to library calls: CLI11
// parses the command line, the compiler builds the program, velk-io reads and writes files,
// velk-onnx reads ONNX models, and velk-views decodes, summarises and draws. Exit status: 0 on
// success, 1 when compilation fails, 2 for a usage error or an input that cannot be read or is
// not supported.
//
// A graph comes from the encoder (--encoder [dims] [--layers N]), a graph file (--graph FILE)
// or an ONNX model (--onnx FILE [--drop-batch] [--gelu-erf-as-tanh]):
//   velkc graph   GRAPH [--out FILE]                                write a graph file
//   velkc compile GRAPH [compiler options] [--quiet]
//                 [--out DIR] [--trace FILE [--trace-tiles RANGES] [--trace-phases RANGES]]
//                 [--report FILE.html]
//   velkc sweep   GRAPH (dimensions as lists) [--tiles LIST] [windows] [--report FILE.html]
//                 [--no-times]                                      tabulate configurations, on every core
//   velkc run     GRAPH [--input NAME=FILE.npy ...] --out DIR       evaluate on the host: DIR/<output>.npy
//   velkc disasm  [WORD ...] | --schedule FILE --tile N              decode instruction words
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/compile_summary.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/evaluate.hpp"
#include "velk_compiler/program.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_io/velk_io.hpp"
#include "velk_log/stderr_subscriber.hpp"
#include "velk_onnx/onnx_import.hpp"
#include "velk_views/velk_views.hpp"

namespace {

constexpr int EXIT_COMPILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// Beyond this size the trace viewers slow down badly; velkc then says how to write a part.
constexpr std::uint64_t LARGE_TRACE_BYTES = std::uint64_t{16} << 20;

// The windows of the default compiler options, as the help text shows them.
const std::string DEFAULT_EXCHANGE_WINDOW = velk_io::hex(velk_compiler::CompilerOptions{}.exchange_base) + ":" +
                                            velk_io::hex(velk_compiler::CompilerOptions{}.exchange_limit);
const std::string DEFAULT_DATA_WINDOW = velk_io::hex(velk_compiler::CompilerOptions{}.data_base) + ":" +
                                        velk_io::hex(velk_compiler::CompilerOptions{}.data_limit);

// A failed step: what to print on standard error and the exit status it calls for.
struct Failure {
  int status;
  std::string message;
};

template <class T>
using Step = std::expected<T, Failure>;

Failure usage(const velk_io::IoError& error) { return Failure{EXIT_USAGE, velk_io::to_string(error)}; }

Failure compile_failed(const velk_compiler::CompileError& error) {
  return Failure{EXIT_COMPILE_FAILED, velk_compiler::to_string(error)};
}

// "-" for a file to read or write is standard input or output, as command-line tools have it.
constexpr std::string_view STANDARD_STREAM = "-";

// The whole text of the file, or of standard input for "-".
[[nodiscard]] velk_io::Result<std::string> read_input(const std::string& path) {
  if (path != STANDARD_STREAM) return velk_io::read_file(path);
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

// Where the messages of a run go: standard output, unless a file is written there.
std::ostream& messages_stream(std::initializer_list<std::string_view> outputs) {
  const bool to_stdout = std::find(outputs.begin(), outputs.end(), STANDARD_STREAM) != outputs.end();
  return to_stdout ? std::cerr : std::cout;
}

// Where the graph comes from: the built-in encoder block, a graph file or an ONNX model.
struct GraphSource {
  bool encoder = false;
  std::string file;
  std::string onnx;
  velk_onnx::ImportOptions import;
  std::string sequence = "32";
  std::string hidden = "64";
  std::string heads = "4";
  std::string feed_forward = "256";
  std::string layers = "1";
};

// With `lists`, each encoder dimension takes a comma-separated list of values (velkc sweep).
void add_graph_options(CLI::App& command, GraphSource& source, bool lists = false) {
  CLI::Option* encoder = command.add_flag("--encoder", source.encoder, "use the built-in encoder block");
  CLI::Option* file =
      command.add_option("--graph", source.file, "read the graph from a graph file (JSON)")->type_name("FILE");
  CLI::Option* onnx = command.add_option("--onnx", source.onnx, "import the graph and its weights from an ONNX model")
                          ->type_name("FILE");
  encoder->excludes(file);
  onnx->excludes(encoder)->excludes(file);
  command.add_flag("--drop-batch", source.import.drop_batch, "onnx: drop a leading dimension of 1 from every input")
      ->needs(onnx);
  command
      .add_flag("--gelu-erf-as-tanh", source.import.gelu_erf_as_tanh,
                "onnx: import GELU in the erf form (nn.GELU()) as the tanh form, which differs by under 5e-4")
      ->needs(onnx);
  const std::tuple<const char*, std::string*, const char*> dimensions[] = {
      {"--sequence", &source.sequence, "encoder: token rows of the input"},
      {"--hidden", &source.hidden, "encoder: model width"},
      {"--heads", &source.heads, "encoder: attention heads"},
      {"--feed-forward", &source.feed_forward, "encoder: inner width of the feed-forward network"},
      {"--layers", &source.layers, "encoder: blocks in a row, each feeding the next"}};
  for (const auto& [name, value, description] : dimensions) {
    command.add_option(name, *value, std::string(description) + (lists ? ", one value or a list N,N,..." : ""))
        ->type_name(lists ? "N[,N...]" : "N")
        ->needs(encoder)
        ->capture_default_str();
  }
}

[[nodiscard]] Step<std::size_t> dimension(const std::string& text, std::string_view option) {
  auto value = velk_io::parse_unsigned(text, std::numeric_limits<std::size_t>::max(), option);
  if (!value) return std::unexpected(usage(value.error()));
  return static_cast<std::size_t>(*value);
}

// A graph and the values of its weights where the source holds them (an ONNX model).
struct LoadedGraph {
  velk_compiler::Graph graph;
  velk_compiler::TensorValues weights;
};

[[nodiscard]] Step<LoadedGraph> import_model(const GraphSource& source) {
  auto model = velk_onnx::import_onnx_file(source.onnx, source.import);
  if (!model) {
    const bool file_named = model.error().message.starts_with(source.onnx + ": ");
    return std::unexpected(Failure{EXIT_USAGE, (file_named ? "" : source.onnx + ": ") + model.error().message});
  }
  for (const std::string& note : model->notes) std::cerr << "velkc: " << source.onnx << ": " << note << "\n";
  return LoadedGraph{std::move(model->graph), std::move(model->weights)};
}

[[nodiscard]] Step<LoadedGraph> load_graph_and_weights(const GraphSource& source) {
  if (!source.onnx.empty()) return import_model(source);
  if (!source.encoder && source.file.empty()) {
    return std::unexpected(Failure{EXIT_USAGE, "give --encoder, --graph FILE or --onnx FILE"});
  }
  if (!source.encoder) {
    auto text = read_input(source.file);
    if (!text) return std::unexpected(usage(text.error()));
    auto graph = velk_io::read_graph_json(*text);
    if (!graph) return std::unexpected(Failure{EXIT_USAGE, source.file + ": " + velk_io::to_string(graph.error())});
    return LoadedGraph{std::move(*graph), {}};
  }
  velk_compiler::EncoderConfig config;
  std::size_t layers = 1;
  for (auto [text, option, field] :
       {std::tuple{&source.sequence, "--sequence", &config.sequence},
        std::tuple{&source.hidden, "--hidden", &config.hidden}, std::tuple{&source.heads, "--heads", &config.heads},
        std::tuple{&source.feed_forward, "--feed-forward", &config.feed_forward},
        std::tuple{&source.layers, "--layers", &layers}}) {
    auto value = dimension(*text, option);
    if (!value) return std::unexpected(value.error());
    *field = *value;
  }
  auto graph = velk_compiler::encoder_stack(config, layers);
  if (!graph) return std::unexpected(compile_failed(graph.error()));
  return LoadedGraph{std::move(*graph), {}};
}

[[nodiscard]] Step<velk_compiler::Graph> load_graph(const GraphSource& source) {
  auto loaded = load_graph_and_weights(source);
  if (!loaded) return std::unexpected(loaded.error());
  return std::move(loaded->graph);
}

struct CompileArguments {
  GraphSource source;
  std::string tiles;
  std::string exchange_window;
  std::string data_window;
  std::string out;
  std::string trace;
  std::optional<std::string> trace_tiles;
  std::optional<std::string> trace_phases;
  std::string report;
  bool quiet = false;
};

// The progress line on standard error while it lives, when that is a terminal.
class ShownProgress {
 public:
  explicit ShownProgress(bool quiet) {
    if (quiet || isatty(STDERR_FILENO) == 0) return;
    line_ = std::make_shared<velk_views::ProgressLine>(std::cerr);
    velk_log::set_global_subscriber(line_);
  }
  ~ShownProgress() {
    if (!line_) return;
    velk_log::set_global_subscriber(nullptr);
    line_->finish();
  }
  ShownProgress(const ShownProgress&) = delete;
  ShownProgress& operator=(const ShownProgress&) = delete;

 private:
  std::shared_ptr<velk_views::ProgressLine> line_;
};

[[nodiscard]] Step<velk_compiler::CompilerOptions> compiler_options(const CompileArguments& arguments) {
  velk_compiler::CompilerOptions options;
  if (!arguments.tiles.empty()) {
    auto tiles = velk_io::parse_unsigned(arguments.tiles, std::numeric_limits<std::uint16_t>::max(), "--tiles");
    if (!tiles) return std::unexpected(usage(tiles.error()));
    options.tile_count = static_cast<std::uint16_t>(*tiles);
  }
  if (!arguments.exchange_window.empty()) {
    auto window = velk_io::parse_window(arguments.exchange_window, "--exchange-window");
    if (!window) return std::unexpected(usage(window.error()));
    options.exchange_base = window->base;
    options.exchange_limit = window->limit;
  }
  if (!arguments.data_window.empty()) {
    auto window = velk_io::parse_window(arguments.data_window, "--data-window");
    if (!window) return std::unexpected(usage(window.error()));
    options.data_base = window->base;
    options.data_limit = window->limit;
  }
  return options;
}

[[nodiscard]] Step<void> run_graph(const GraphSource& source, const std::string& out) {
  auto graph = load_graph(source);
  if (!graph) return std::unexpected(graph.error());
  auto text = velk_io::write_graph_json(*graph);
  if (!text) return std::unexpected(usage(text.error()));
  if (out.empty() || out == STANDARD_STREAM) {
    std::cout << *text;
    return {};
  }
  auto written = velk_io::write_file(out, *text);
  if (!written) return std::unexpected(usage(written.error()));
  return {};
}

// Writes `text` to `path` (standard output for "-"), or fails with the error of whatever made it.
[[nodiscard]] Step<void> write_made_file(const std::string& path, const velk_io::Result<std::string>& text,
                                         std::ostream& messages) {
  if (!text) return std::unexpected(Failure{EXIT_COMPILE_FAILED, velk_io::to_string(text.error())});
  if (path == STANDARD_STREAM) {
    std::cout << *text << std::flush;
    return {};
  }
  auto written = velk_io::write_file(path, *text);
  if (!written) return std::unexpected(usage(written.error()));
  messages << "wrote " << path << "\n";
  return {};
}

// For an error that an option caused, a line that names the option and says why (or nothing).
std::string option_hint(const velk_compiler::CompilerOptions& options, const velk_compiler::CompileError& error) {
  using Option = velk_compiler::OptionsProblem::Option;
  if (error == velk_compiler::CompileError::graph("invalid compiler options")) {
    const std::optional<velk_compiler::OptionsProblem> problem = velk_compiler::options_problem(options);
    if (!problem) return "";
    const char* name = problem->option == Option::TileCount        ? "--tiles"
                       : problem->option == Option::ExchangeWindow ? "--exchange-window"
                                                                   : "--data-window";
    return std::string(name) + ": " + problem->why + "\n";
  }
  if (error == velk_compiler::CompileError::graph("exchange topology has too few tiles")) {
    return "--tiles: the R77 card has " + std::to_string(velk_exchange::Topology::r77().tile_count()) +
           " tiles, fewer than " + std::to_string(options.tile_count) + "\n";
  }
  return "";
}

// The part of the trace that --trace-tiles and --trace-phases choose (ranges within the program).
[[nodiscard]] Step<velk_views::TraceSelection> trace_selection(const CompileArguments& arguments,
                                                               const velk_compiler::Program& program) {
  velk_views::TraceSelection selection;
  for (auto [text, option, count, ranges] :
       {std::tuple{&arguments.trace_tiles, "--trace-tiles", std::size_t{program.schedule.tile_count}, &selection.tiles},
        std::tuple{&arguments.trace_phases, "--trace-phases", program.schedule.phases.size(), &selection.phases}}) {
    if (!*text) continue;
    auto parsed = velk_io::parse_ranges(**text, std::max<std::size_t>(count, 1) - 1, option);
    if (!parsed) return std::unexpected(usage(parsed.error()));
    *ranges = std::move(*parsed);
  }
  return selection;
}

// How many of 0 … total-1 the ranges choose (all when there are none).
std::size_t chosen_count(const std::vector<velk_io::IndexRange>& ranges, std::size_t total) {
  std::size_t count = 0;
  for (std::size_t index = 0; index < total; ++index) count += ranges.empty() || velk_io::in_ranges(ranges, index);
  return count;
}

// Writes the trace as it is made; a large one comes with a hint to write a part.
[[nodiscard]] Step<void> write_trace_file(const std::string& path, const velk_compiler::Graph& graph,
                                          const velk_compiler::Program& program,
                                          const velk_views::TraceSelection& selection, std::ostream& messages) {
  if (path == STANDARD_STREAM) {
    auto made = velk_views::write_trace(std::cout, graph, program, selection);
    std::cout.flush();
    if (!made) return std::unexpected(Failure{EXIT_COMPILE_FAILED, velk_io::to_string(made.error())});
    return {};
  }
  velk_views::Result<void> made;
  auto written = velk_io::write_file_with(
      path, [&](std::ostream& out) { made = velk_views::write_trace(out, graph, program, selection); });
  if (!made) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);  // nothing was written to it
    return std::unexpected(Failure{EXIT_COMPILE_FAILED, velk_io::to_string(made.error())});
  }
  if (!written) return std::unexpected(usage(written.error()));
  messages << "wrote " << path << "\n";
  if (*written >= LARGE_TRACE_BYTES) {
    messages << "trace " << path << ": " << (*written + (1U << 19)) / (1U << 20) << " MB for "
             << chosen_count(selection.tiles, program.schedule.tile_count) << " tiles and "
             << chosen_count(selection.phases, program.schedule.phases.size())
             << " phases; --trace-tiles and --trace-phases write a part\n";
  }
  return {};
}

[[nodiscard]] Step<void> run_compile(const CompileArguments& arguments) {
  auto graph = load_graph(arguments.source);
  if (!graph) return std::unexpected(graph.error());
  auto options = compiler_options(arguments);
  if (!options) return std::unexpected(options.error());
  auto program = [&] {
    const ShownProgress progress(arguments.quiet);
    return velk_compiler::build_program(*graph, *options, velk_exchange::Topology::r77());
  }();
  if (!program) {
    std::string message = velk_views::render_compile_failure(*graph, *options, program.error());
    const std::string hint = option_hint(*options, program.error());
    if (!hint.empty()) message += (message.ends_with('\n') ? "" : "\n") + hint;
    return std::unexpected(Failure{EXIT_COMPILE_FAILED, message});
  }
  if (arguments.trace == STANDARD_STREAM && arguments.report == STANDARD_STREAM) {
    return std::unexpected(Failure{EXIT_USAGE, "--trace and --report cannot both write to standard output"});
  }
  std::ostream& messages = messages_stream({arguments.trace, arguments.report});
  const velk_compiler::CompileSummary summary = velk_compiler::summarize_program(*graph, *program);
  auto selection = trace_selection(arguments, *program);
  if (!selection) return std::unexpected(selection.error());
  if (!arguments.out.empty()) {
    auto written = velk_io::write_program_files(arguments.out, *program);
    if (!written) return std::unexpected(usage(written.error()));
    messages << "wrote " << *written << " files to " << arguments.out << "\n";
  }
  if (!arguments.trace.empty()) {
    if (auto written = write_trace_file(arguments.trace, *graph, *program, *selection, messages); !written) {
      return written;
    }
  }
  if (!arguments.report.empty()) {
    if (auto written = write_made_file(arguments.report, velk_views::report_html(*graph, *program, summary), messages);
        !written) {
      return written;
    }
  }
  messages << velk_views::render_summary(summary);
  return {};
}

struct SweepArguments {
  GraphSource source;
  CompileArguments windows;  // only its two windows are read
  std::string tiles = "8,16,32,64";
  std::string report;
  bool no_times = false;
};

[[nodiscard]] Step<std::vector<std::size_t>> dimension_list(const std::string& text, std::string_view option) {
  auto values = velk_io::parse_unsigned_list(text, std::numeric_limits<std::size_t>::max(), option);
  if (!values) return std::unexpected(usage(values.error()));
  return std::vector<std::size_t>(values->begin(), values->end());
}

// The graph file's or model's graph under its file name, or the encoder block at every size listed.
[[nodiscard]] Step<std::vector<velk_views::SweepGraph>> sweep_graphs(const GraphSource& source) {
  if (!source.encoder) {
    auto graph = load_graph(source);
    if (!graph) return std::unexpected(graph.error());
    const std::string& name = source.onnx.empty() ? source.file : source.onnx;
    return std::vector<velk_views::SweepGraph>{velk_views::SweepGraph{name, std::move(*graph)}};
  }
  std::vector<std::vector<std::size_t>> dimensions;
  for (auto [text, option] : {std::pair{&source.sequence, "--sequence"}, std::pair{&source.hidden, "--hidden"},
                              std::pair{&source.heads, "--heads"}, std::pair{&source.feed_forward, "--feed-forward"},
                              std::pair{&source.layers, "--layers"}}) {
    auto values = dimension_list(*text, option);
    if (!values) return std::unexpected(values.error());
    dimensions.push_back(std::move(*values));
  }
  auto graphs =
      velk_views::encoder_sweep_graphs(dimensions[0], dimensions[1], dimensions[2], dimensions[3], dimensions[4]);
  if (!graphs) return std::unexpected(compile_failed(graphs.error()));
  return std::move(*graphs);
}

[[nodiscard]] Step<void> run_sweep(const SweepArguments& arguments) {
  auto graphs = sweep_graphs(arguments.source);
  if (!graphs) return std::unexpected(graphs.error());
  auto options = compiler_options(arguments.windows);
  if (!options) return std::unexpected(options.error());
  auto counts = velk_io::parse_unsigned_list(arguments.tiles, std::numeric_limits<std::uint16_t>::max(), "--tiles");
  if (!counts) return std::unexpected(usage(counts.error()));
  std::vector<std::uint16_t> tile_counts;
  for (const std::uint64_t count : *counts) tile_counts.push_back(static_cast<std::uint16_t>(count));

  const bool times = !arguments.no_times;
  const std::vector<velk_views::SweepPoint> points =
      velk_views::run_sweep(*graphs, tile_counts, *options, velk_exchange::Topology::r77(), times);
  std::ostream& messages = messages_stream({arguments.report});
  if (!arguments.report.empty()) {
    auto written = write_made_file(arguments.report, velk_views::sweep_report_html(*graphs, points, times), messages);
    if (!written) return written;
  }
  messages << velk_views::render_sweep_table(*graphs, points, times);
  return {};
}

struct RunArguments {
  GraphSource source;
  std::vector<std::string> inputs;  // NAME=FILE.npy
  std::string out;
};

// The declared tensor (input or weight) of this name, or nothing.
const velk_compiler::Tensor* declared_tensor(const velk_compiler::Graph& graph, std::string_view name) {
  for (const velk_compiler::Tensor& tensor : graph.tensors) {
    if (!tensor.producer && tensor.name == name) return &tensor;
  }
  return nullptr;
}

// Adds each --input NAME=FILE.npy to the values, checking that it names a declared tensor of its shape.
[[nodiscard]] Step<void> add_input_values(const velk_compiler::Graph& graph, const std::vector<std::string>& inputs,
                                          velk_compiler::TensorValues& values) {
  std::set<std::string, std::less<>> given;
  for (const std::string& input : inputs) {
    const std::size_t equals = input.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == input.size()) {
      return std::unexpected(Failure{EXIT_USAGE, "--input: \"" + input + "\" is not NAME=FILE.npy"});
    }
    const std::string name = input.substr(0, equals);
    const std::string path = input.substr(equals + 1);
    const std::string place = "--input " + name;
    if (!given.insert(name).second) return std::unexpected(Failure{EXIT_USAGE, place + ": given twice"});
    const velk_compiler::Tensor* tensor = declared_tensor(graph, name);
    if (tensor == nullptr) {
      return std::unexpected(Failure{EXIT_USAGE, place + ": the graph has no input or weight of this name"});
    }
    auto bytes = read_input(path);
    if (!bytes) return std::unexpected(usage(bytes.error()));
    auto array = velk_io::read_npy(*bytes);
    if (!array) return std::unexpected(Failure{EXIT_USAGE, path + ": " + velk_io::to_string(array.error())});
    if (array->shape != tensor->shape) {
      return std::unexpected(Failure{EXIT_USAGE, place + ": " + path + " holds an array of shape " +
                                                     velk_compiler::shape_text(array->shape) + ", the tensor's is " +
                                                     velk_compiler::shape_text(tensor->shape)});
    }
    values.insert_or_assign(name, std::move(array->values));
  }
  return {};
}

// The file an output's values go to: its name, with every character that is not a letter, a
// digit, '.', '-' or '_' made '_' (so no name leaves the folder), and ".npy".
std::string output_file_name(std::string_view name) {
  std::string file;
  for (const char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    file += plain ? c : '_';
  }
  if (file.empty() || file.starts_with('.')) file.insert(0, "_");
  return file + ".npy";
}

[[nodiscard]] Step<void> run_run(const RunArguments& arguments) {
  auto loaded = load_graph_and_weights(arguments.source);
  if (!loaded) return std::unexpected(loaded.error());
  const velk_compiler::Graph& graph = loaded->graph;
  velk_compiler::TensorValues values = std::move(loaded->weights);
  if (auto added = add_input_values(graph, arguments.inputs, values); !added) return added;
  auto outputs = velk_compiler::evaluate(graph, values);
  if (!outputs) {
    std::string message = velk_compiler::to_string(outputs.error());
    if (message.ends_with(": no value given")) message += "; give it with --input NAME=FILE.npy";
    return std::unexpected(Failure{EXIT_USAGE, message});
  }
  std::vector<velk_io::OutputFile> files;
  std::map<std::string, std::string, std::less<>> written_by;  // file → output
  for (const velk_compiler::TensorId id : graph.outputs) {
    const velk_compiler::Tensor& tensor = graph.tensors[id.index];
    const std::string file = output_file_name(tensor.name);
    const auto [previous, fresh] = written_by.emplace(file, tensor.name);
    if (!fresh) {
      if (previous->second == tensor.name) continue;  // an output marked twice
      return std::unexpected(Failure{EXIT_USAGE, "outputs \"" + previous->second + "\" and \"" + tensor.name +
                                                     "\" would both be written to " + file});
    }
    auto bytes = velk_io::npy_bytes(velk_io::NpyArray{tensor.shape, outputs->at(tensor.name)});
    if (!bytes) return std::unexpected(Failure{EXIT_COMPILE_FAILED, velk_io::to_string(bytes.error())});
    files.push_back(velk_io::OutputFile{file, std::move(*bytes)});
  }
  std::error_code error;
  std::filesystem::create_directories(arguments.out, error);
  for (const velk_io::OutputFile& file : files) {
    auto written = velk_io::write_file(std::filesystem::path(arguments.out) / file.path, file.contents);
    if (!written) return std::unexpected(usage(written.error()));
  }
  std::cout << "wrote " << files.size() << (files.size() == 1 ? " file" : " files") << " to " << arguments.out << "\n";
  return {};
}

struct DisasmArguments {
  std::vector<std::string> words;
  std::string schedule;
  std::string tile;
};

[[nodiscard]] Step<void> run_disasm(const DisasmArguments& arguments) {
  if (!arguments.schedule.empty()) {
    auto tile = velk_io::parse_unsigned(arguments.tile, std::numeric_limits<std::uint16_t>::max(), "--tile");
    if (!tile) return std::unexpected(usage(tile.error()));
    auto text = read_input(arguments.schedule);
    if (!text) return std::unexpected(usage(text.error()));
    auto compiled = velk_io::read_schedule_json(*text);
    if (!compiled) {
      return std::unexpected(Failure{EXIT_USAGE, arguments.schedule + ": " + velk_io::to_string(compiled.error())});
    }
    auto program = velk_io::tile_program(*compiled, static_cast<std::uint16_t>(*tile));
    if (!program) return std::unexpected(usage(program.error()));
    std::cout << velk_views::render_tile_program(**program);
    return {};
  }
  std::string text;
  if (arguments.words.empty()) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  for (const std::string& word : arguments.words) text += word + " ";
  auto words = velk_views::parse_hex_words(text);
  if (!words) return std::unexpected(usage(words.error()));
  std::cout << velk_views::render_words(velk_views::decode_words(*words));
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velkc: the ahead-of-time compiler for the Velk tiled accelerator", "velkc"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "velkc " VELK_VERSION);

  GraphSource graph_source;
  std::string graph_out;
  CLI::App* graph = app.add_subcommand("graph", "write a graph file: the encoder block, or a graph file rewritten");
  add_graph_options(*graph, graph_source);
  graph->add_option("--out", graph_out, "write to this file instead of standard output")->type_name("FILE");

  CompileArguments compile_arguments;
  CLI::App* compile = app.add_subcommand("compile", "compile a graph and summarise the result");
  add_graph_options(*compile, compile_arguments.source);
  compile->add_option("--tiles", compile_arguments.tiles, "number of tiles (default 64)")->type_name("N");
  compile
      ->add_option("--exchange-window", compile_arguments.exchange_window,
                   "exchange (staging) window, decimal or 0x-hex (default " + DEFAULT_EXCHANGE_WINDOW + ")")
      ->type_name("BASE:LIMIT");
  compile
      ->add_option("--data-window", compile_arguments.data_window,
                   "data window, decimal or 0x-hex (default " + DEFAULT_DATA_WINDOW + ")")
      ->type_name("BASE:LIMIT");
  compile->add_option("--out", compile_arguments.out, "write schedule.json and tiles/NNNN.bin into this folder")
      ->type_name("DIR");
  compile
      ->add_option("--trace", compile_arguments.trace,
                   "write the exchange timeline as a Chrome trace (JSON; open in Perfetto or chrome://tracing)")
      ->type_name("FILE");
  for (auto [name, value, description] :
       {std::tuple{"--trace-tiles", &compile_arguments.trace_tiles,
                   "trace only these tiles' tracks, e.g. 0-63 or 0-3,8"},
        std::tuple{"--trace-phases", &compile_arguments.trace_phases, "trace only these phases, e.g. 10-40"}}) {
    compile->add_option(name, *value, description)->type_name("RANGES")->needs("--trace");
  }
  compile
      ->add_option("--report", compile_arguments.report,
                   "write a self-contained HTML report: summary, phases, peak SRAM, memory maps, launch charts")
      ->type_name("FILE.html");
  compile->add_flag("--quiet", compile_arguments.quiet,
                    "show no progress line (shown on a terminal once a compile takes over a second)");

  SweepArguments sweep_arguments;
  CLI::App* sweep = app.add_subcommand(
      "sweep", "compile a graph, or the encoder block at several sizes, for several tile counts and tabulate");
  add_graph_options(*sweep, sweep_arguments.source, true);
  sweep->add_option("--tiles", sweep_arguments.tiles, "tile counts, a list N,N,...")
      ->type_name("N[,N...]")
      ->capture_default_str();
  sweep
      ->add_option("--exchange-window", sweep_arguments.windows.exchange_window,
                   "exchange (staging) window, decimal or 0x-hex (default " + DEFAULT_EXCHANGE_WINDOW + ")")
      ->type_name("BASE:LIMIT");
  sweep
      ->add_option("--data-window", sweep_arguments.windows.data_window,
                   "data window, decimal or 0x-hex (default " + DEFAULT_DATA_WINDOW + ")")
      ->type_name("BASE:LIMIT");
  sweep->add_option("--report", sweep_arguments.report, "also write the table and line charts as an HTML page")
      ->type_name("FILE.html");
  sweep->add_flag("--no-times", sweep_arguments.no_times,
                  "leave out the compile times, the one figure that differs from run to run");

  RunArguments run_arguments;
  CLI::App* run = app.add_subcommand("run", "evaluate a graph on the host in fp32 and write each output as .npy");
  add_graph_options(*run, run_arguments.source);
  run->add_option("--input", run_arguments.inputs,
                  "the values of an input or weight, a NumPy .npy file of float32 in C order (ONNX models bring "
                  "their weights)")
      ->type_name("NAME=FILE.npy");
  run->add_option("--out", run_arguments.out, "write <output name>.npy into this folder")->type_name("DIR")->required();

  DisasmArguments disasm_arguments;
  CLI::App* disasm = app.add_subcommand(
      "disasm", "decode exchange instruction words (arguments, standard input, or a tile's program)");
  CLI::Option* words =
      disasm->add_option("words", disasm_arguments.words, "hexadecimal words; none: read standard input")
          ->type_name("WORD");
  CLI::Option* schedule =
      disasm->add_option("--schedule", disasm_arguments.schedule, "a schedule.json of velkc compile")
          ->type_name("FILE");
  CLI::Option* tile =
      disasm->add_option("--tile", disasm_arguments.tile, "the tile whose program to decode")->type_name("N");
  words->excludes(schedule);
  schedule->needs(tile);
  tile->needs(schedule);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : EXIT_USAGE;
  }

  // Log lines and a redrawn progress line would tear each other apart: with logging on, no
  // progress line.
  if (velk_log::log_to_stderr_as_environment_asks()) compile_arguments.quiet = true;

  Step<void> result;
  if (graph->parsed()) result = run_graph(graph_source, graph_out);
  if (compile->parsed()) result = run_compile(compile_arguments);
  if (sweep->parsed()) result = run_sweep(sweep_arguments);
  if (run->parsed()) result = run_run(run_arguments);
  if (disasm->parsed()) result = run_disasm(disasm_arguments);
  if (!result) {
    std::cerr << "velkc: " << result.error().message << (result.error().message.ends_with('\n') ? "" : "\n");
    return result.error().status;
  }
  return 0;
}
