// Opens velkc's HTML report in headless Chromium, as a person would open it: the page must
// load without a console message, render to a screenshot, and once its script has run hold
// for a chosen tile one memory map region per allocation of that tile, and launch charts of a
// bounded number of rows that include the chosen tile's. Skipped, saying why, only when
// Chromium is not installed (scripts/install-deps installs it).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "run_velkc.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/program.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_io/graph_json.hpp"
#include "velk_io/text_format.hpp"

namespace {

using namespace velkc_tests;
namespace vc = velk_compiler;

bool chromium_installed() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

// Chromium on `url` with the flags that keep it off the network and away from any profile,
// each run with a new profile folder; standard output and error go to the two files.
int run_chromium(const std::filesystem::path& dir, const std::string& profile, const std::string& action,
                 const std::string& url, const std::string& out, const std::string& err) {
  std::filesystem::remove_all(dir / profile);
  const std::string command =
      "cd '" + dir.string() +
      "' && timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync --user-data-dir='" +
      (dir / profile).string() + "' --enable-logging=stderr --v=0 " + action + " '" + url + "' >" + out + " 2>" + err;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Lines in which Chromium reports something the page wrote to its console, errors included.
std::string console_lines(const std::string& log) {
  std::string found;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(":CONSOLE") != std::string::npos) found += line + "\n";
  }
  return found;
}

std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The text from the element with `id` to the end of `close`, as the browser serialised it.
std::string_view element_with_id(std::string_view dom, const std::string& id, std::string_view close) {
  const std::size_t start = dom.find("id=\"" + id + "\"");
  if (start == std::string_view::npos) return {};
  const std::size_t end = dom.find(close, start);
  return dom.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// What Chromium serialises for a text node: only "&", "<" and ">" escaped.
std::string dom_text(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

// The first lines of a region's hover text, up to its size in bytes.
std::string region_title_start(const vc::Graph& graph, const vc::Allocation& a) {
  const auto* staging = std::get_if<vc::ExchangeStaging>(&a.kind);
  const std::string kind = staging != nullptr ? "staging of exchange phase " + std::to_string(staging->phase) : "home";
  return "<title>" +
         dom_text("tensor " + std::to_string(a.tensor.index) + " \"" + graph.tensors.at(a.tensor.index).name + "\" (" +
                  kind + ")\naddress " + velk_io::hex(a.address) + " to " +
                  velk_io::hex(std::uint64_t{a.address} + a.size) + ", " + std::to_string(a.size) + " bytes (");
}

struct BrowserCase {
  std::string name;
  std::vector<std::string> compile;  // velkc's arguments before --report
  std::uint16_t tile_count = 0;
  std::uint16_t chosen_tile = 0;
  bool screenshot = false;
};

// The DOM after the page's script has drawn the chosen tile: its map holds a region, with its
// hover text, per allocation of the tile; every launch chart at most 32 rows, the chosen
// tile's among them when the tile has a role in the launch.
void check_report(const BrowserCase& c, const vc::Graph& graph, std::string_view shown_name = {}) {
  SCOPED_TRACE(c.name);
  std::vector<std::string> arguments = c.compile;
  arguments.insert(arguments.end(), {"--report", c.name + ".html"});
  const Outcome compiled = velkc(arguments);
  ASSERT_EQ(compiled.status, 0) << compiled.err;
  const std::filesystem::path dir = test_dir();
  const std::string page = "file://" + std::filesystem::absolute(dir / (c.name + ".html")).string();

  const std::string fragment = "#memory-tile-" + std::to_string(c.chosen_tile);
  ASSERT_EQ(run_chromium(dir, "profile-dom", "--dump-dom", page + fragment, c.name + ".dom", c.name + ".dom.log"), 0)
      << read_all(dir / (c.name + ".dom.log"));
  EXPECT_EQ(console_lines(read_all(dir / (c.name + ".dom.log"))), "");
  const std::string dom = read_all(dir / (c.name + ".dom"));
  ASSERT_TRUE(dom.ends_with("</html>\n") || dom.ends_with("</html>"))
      << dom.substr(dom.size() > 200 ? dom.size() - 200 : 0);

  const vc::Program program =
      vc::build_program(graph, {.tile_count = c.tile_count}, velk_exchange::Topology::r77()).value();
  const std::string_view map = element_with_id(dom, "memory-tile-" + std::to_string(c.chosen_tile), "</section>");
  ASSERT_FALSE(map.empty());
  std::size_t allocations = 0;
  std::size_t staging = 0;
  for (const vc::Allocation& a : program.schedule.allocations) {
    if (a.tile != c.chosen_tile) continue;
    ++allocations;
    if (std::holds_alternative<vc::ExchangeStaging>(a.kind)) ++staging;
    EXPECT_NE(map.find(region_title_start(graph, a)), std::string_view::npos) << region_title_start(graph, a);
  }
  EXPECT_GT(staging, 0u);
  EXPECT_EQ(count(map, "<g class=\"region\""), allocations);
  EXPECT_EQ(count(map, "<title>tensor "), allocations);
  if (!shown_name.empty()) {
    EXPECT_NE(map.find(dom_text(shown_name)), std::string_view::npos);
  }

  const std::string_view launches = element_with_id(dom, "launches", "<script");
  const std::string chosen_row = ">tile " + velk_io::tile_number(c.chosen_tile, c.tile_count) + "</text></g>";
  std::size_t charts = 0;
  for (const vc::LoweredExchangePhase& phase : program.exchanges) {
    for (std::size_t e = 0; e < phase.epochs.size(); ++e) {
      const vc::LoweredExchangeEpoch& epoch = phase.epochs[e];
      const std::string id = "launch-" + std::to_string(phase.phase) + "-" + std::to_string(e);
      const std::string_view chart = element_with_id(launches, id, "</svg>");
      ASSERT_FALSE(chart.empty()) << id;
      const std::size_t rows = count(chart, "<g class=\"tile-row\">");
      EXPECT_EQ(rows, std::min<std::size_t>(32, epoch.tile_rows.size())) << id;
      EXPECT_GT(count(chart, "<rect class=\"slice\""), 0u) << id;
      EXPECT_EQ(chart.find(chosen_row) != std::string_view::npos, epoch.tile_rows.contains(c.chosen_tile)) << id;
      ++charts;
    }
  }
  EXPECT_EQ(count(launches, "<svg class=\"gantt\""), charts);

  if (!c.screenshot) return;
  ASSERT_EQ(run_chromium(dir, "profile-shot", "--screenshot=" + c.name + ".png --window-size=1400,1000", page,
                         c.name + ".shot.out", c.name + ".shot.log"),
            0)
      << read_all(dir / (c.name + ".shot.log"));
  EXPECT_EQ(console_lines(read_all(dir / (c.name + ".shot.log"))), "");
  const std::string png = read_all(dir / (c.name + ".png"));
  EXPECT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
  // A blank page of this size compresses to a few kilobytes; the report's charts do not.
  EXPECT_GT(png.size(), 50000u);
}

vc::Graph graph_file(const std::filesystem::path& path) { return velk_io::read_graph_json(read_all(path)).value(); }

TEST(ReportInBrowser, LoadsRendersAndMapsTheChosenTile) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed: run scripts/install-deps";
  check_report({"encoder", {"compile", "--encoder"}, 64, 9, true}, vc::encoder_graph({}).value());
}

// The 12-layer stack on 1472 tiles: a page of a few megabytes whose script draws one tile's map
// and a window of each launch's rows.
TEST(ReportInBrowser, TwelveLayersOnAllTilesMapTheChosenTile) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed: run scripts/install-deps";
  const std::string bert = source_file("examples/bert-base-12.json");
  check_report({"bert", {"compile", "--graph", bert, "--tiles", "1472"}, 1472, 1000, true}, graph_file(bert));
}

// Names come from graph files: one that closes the script element, quotes and ampersands
// leave the page whole, and the map shows the name as it is.
TEST(ReportInBrowser, NamesThatLookLikeMarkupStayText) {
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed: run scripts/install-deps";
  std::string text = read_all(source_file("examples/encoder.json"));
  const std::string hostile = R"(</script><b onclick=\"x\">'wq' & <!--</b>)";
  for (std::size_t at = text.find("\"wq\""); at != std::string::npos; at = text.find("\"wq\"", at + hostile.size())) {
    text.replace(at, 4, "\"" + hostile + "\"");
  }
  const std::filesystem::path file = test_dir() / "hostile.json";
  std::ofstream(file, std::ios::binary) << text;
  const vc::Graph graph = graph_file(file);
  const std::string name = R"(</script><b onclick="x">'wq' & <!--</b>)";
  ASSERT_EQ(graph.tensors.at(1).name, name);
  check_report({"hostile", {"compile", "--graph", file.string(), "--tiles", "8"}, 8, 5, false}, graph, name);
}

}  // namespace
