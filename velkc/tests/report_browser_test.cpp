// Opens velkc's HTML report in headless Chromium, as a person would open it: the page must
// load without a console message, render to a screenshot, and hold for a chosen tile one
// memory map region per allocation of that tile. Skipped, saying why, only when Chromium is
// not installed (scripts/install-deps installs it).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>

#include "run_velkc.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/program.hpp"
#include "velk_exchange/topology.hpp"

namespace {

using namespace velkc_tests;

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

TEST(ReportInBrowser, LoadsRendersAndMapsTheChosenTile) {
  const Outcome compiled = velkc({"compile", "--encoder", "--report", "report.html"});
  ASSERT_EQ(compiled.status, 0) << compiled.err;
  if (!chromium_installed()) GTEST_SKIP() << "chromium is not installed: run scripts/install-deps";

  const std::filesystem::path dir = test_dir();
  const std::string page = "file://" + std::filesystem::absolute(dir / "report.html").string();
  constexpr std::uint16_t CHOSEN_TILE = 9;

  ASSERT_EQ(run_chromium(dir, "profile-dom", "--dump-dom", page + "#memory-tile-" + std::to_string(CHOSEN_TILE),
                         "dom.html", "dom.log"),
            0)
      << read_all(dir / "dom.log");
  EXPECT_EQ(console_lines(read_all(dir / "dom.log")), "");
  const std::string dom = read_all(dir / "dom.html");
  ASSERT_TRUE(dom.ends_with("</html>\n") || dom.ends_with("</html>"))
      << dom.substr(dom.size() > 200 ? dom.size() - 200 : 0);

  // The chosen tile's map, as the browser parsed it.
  const std::string id = "id=\"memory-tile-" + std::to_string(CHOSEN_TILE) + "\"";
  const std::size_t start = dom.find(id);
  ASSERT_NE(start, std::string::npos);
  const std::string_view map = std::string_view(dom).substr(start, dom.find("</section>", start) - start);
  const velk_compiler::Graph graph = velk_compiler::encoder_graph({}).value();
  const velk_compiler::Program program =
      velk_compiler::build_program(graph, {}, velk_exchange::Topology::r77()).value();
  std::size_t allocations = 0;
  std::size_t staging = 0;
  for (const velk_compiler::Allocation& a : program.schedule.allocations) {
    if (a.tile != CHOSEN_TILE) continue;
    ++allocations;
    if (std::holds_alternative<velk_compiler::ExchangeStaging>(a.kind)) ++staging;
  }
  EXPECT_GT(staging, 0u);
  EXPECT_EQ(count(map, "<g class=\"region\""), allocations);
  EXPECT_EQ(count(map, "<title>tensor "), allocations);

  ASSERT_EQ(run_chromium(dir, "profile-shot", "--screenshot=report.png --window-size=1400,1000", page, "shot.out",
                         "shot.log"),
            0)
      << read_all(dir / "shot.log");
  EXPECT_EQ(console_lines(read_all(dir / "shot.log")), "");
  const std::string png = read_all(dir / "report.png");
  EXPECT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
  // A blank page of this size compresses to a few kilobytes; the report's charts do not.
  EXPECT_GT(png.size(), 50000u);
}

}  // namespace
