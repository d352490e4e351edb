// Runs the velkc executable: exit statuses, messages and output files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_velkc.hpp"

namespace {

using namespace velkc_tests;

TEST(Velkc, ExitStatuses) {
  const std::string encoder = source_file("examples/encoder.json");
  const StatusCase cases[] = {
      {"no subcommand", {}, 2, ""},
      {"unknown subcommand", {"link"}, 2, ""},
      {"help", {"--help"}, 0, ""},
      {"graph without a source", {"graph"}, 2, "velkc: give --encoder, --graph FILE or --onnx FILE\n"},
      {"encoder and graph file together", {"graph", "--encoder", "--graph", encoder}, 2, ""},
      {"encoder dimension without --encoder", {"compile", "--hidden", "32"}, 2, ""},
      {"missing graph file",
       {"compile", "--graph", "missing.json"},
       2,
       "velkc: missing.json: cannot open: No such file or directory\n"},
      {"graph file is a folder", {"compile", "--graph", "."}, 2, "velkc: .: is a folder, not a file\n"},
      {"tile count beyond 16 bits",
       {"compile", "--encoder", "--tiles", "70000"},
       2,
       "velkc: --tiles: 70000 is too large (at most 65535)\n"},
      {"tile count not a number",
       {"compile", "--encoder", "--tiles", "6x"},
       2,
       "velkc: --tiles: \"6x\" is not a number (decimal, or hexadecimal after 0x)\n"},
      {"window without colon",
       {"compile", "--encoder", "--data-window", "0x58000"},
       2,
       "velkc: --data-window: expected BASE:LIMIT, found \"0x58000\"\n"},
      {"trace part without a trace", {"compile", "--encoder", "--trace-tiles", "0-3"}, 2, ""},
      {"reversed trace range",
       {"compile", "--encoder", "--trace", "part.json", "--trace-tiles", "5-3"},
       2,
       "velkc: --trace-tiles: range 5-3 is reversed (write the lower number first)\n"},
      {"trace tile beyond the tiles",
       {"compile", "--encoder", "--trace", "part.json", "--trace-tiles", "0-3,64"},
       2,
       "velkc: --trace-tiles: 64 is too large (at most 63)\n"},
      {"trace phase beyond the schedule",
       {"compile", "--encoder", "--trace", "part.json", "--trace-phases", "10-17"},
       2,
       "velkc: --trace-phases: 17 is too large (at most 16)\n"},
      {"trace range not a number",
       {"compile", "--encoder", "--trace", "part.json", "--trace-phases", "1-x"},
       2,
       "velkc: --trace-phases: \"x\" is not a number (decimal, or hexadecimal after 0x)\n"},
      {"version", {"--version"}, 0, ""},
      {"no tiles",
       {"compile", "--encoder", "--tiles", "0"},
       1,
       "velkc: graph: invalid compiler options\n--tiles: no tiles: give at least 1\n"},
      {"more tiles than the card",
       {"compile", "--encoder", "--tiles", "1473"},
       1,
       "velkc: graph: exchange topology has too few tiles\n--tiles: the R77 card has 1472 tiles, fewer than 1473\n"},
      {"empty data window",
       {"compile", "--encoder", "--data-window", "0x58000:0x58000"},
       1,
       "velkc: graph: invalid compiler options\n--data-window: the window (0x58000:0x58000) is empty\n"},
      {"empty exchange window",
       {"compile", "--encoder", "--exchange-window", "0x50000:0x50000"},
       1,
       "velkc: graph: invalid compiler options\n--exchange-window: the window (0x50000:0x50000) is empty\n"},
      {"windows overlapping",
       {"compile", "--encoder", "--data-window", "0x57000:0xE0000"},
       1,
       "velkc: graph: invalid compiler options\n--data-window: the window (0x57000:0xE0000) overlaps the exchange "
       "window (0x50000:0x58000), which must lie below it\n"},
      {"heads do not divide hidden",
       {"compile", "--encoder", "--hidden", "30"},
       1,
       "velkc: graph: invalid encoder dimensions\n"},
      {"compiles the shipped encoder", {"compile", "--graph", encoder}, 0, ""},
      {"bad word",
       {"disasm", "0x41800003", "0xZZ"},
       2,
       "velkc: word 2: \"0xZZ\" is not a hexadecimal word of at most 8 digits\n"},
      {"tile without schedule", {"disasm", "--tile", "3"}, 2, ""},
      {"words and schedule together", {"disasm", "0x0", "--schedule", "s.json", "--tile", "0"}, 2, ""},
      {"missing schedule",
       {"disasm", "--schedule", "s.json", "--tile", "0"},
       2,
       "velkc: s.json: cannot open: No such file or directory\n"},
  };
  expect_statuses(cases);
}

TEST(Velkc, VersionFromTheProject) {
  const Outcome run = velkc({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "velkc " VELK_VERSION "\n");
}

// VELK_LOG turns the log events on, as it does for the self-check; a wrong level says so.
TEST(Velkc, LogEventsAsVelkLogAsks) {
  ::setenv("VELK_LOG", "info", 1);
  const Outcome logged = velkc({"compile", "--encoder"});
  ::setenv("VELK_LOG", "loud", 1);
  const Outcome wrong = velkc({"compile", "--encoder"});
  ::unsetenv("VELK_LOG");
  EXPECT_EQ(logged.status, 0);
  EXPECT_TRUE(logged.err.starts_with("INFO velk_compiler: compiling graph operations=15 tensors=22 tiles=64\n"))
      << logged.err;
  EXPECT_TRUE(logged.err.ends_with("INFO velk_compiler: lowered per-tile programs tiles=64\n")) << logged.err;
  EXPECT_EQ(wrong.status, 0);
  EXPECT_EQ(wrong.err, "VELK_LOG=loud is not one of error, warn, info, debug, trace; logging stays off\n");
  EXPECT_EQ(wrong.out, logged.out);
}

// "-" is standard input for a file read and standard output for a single file written; the
// messages then go to standard error.
TEST(Velkc, DashIsStandardInputOrOutput) {
  const std::string encoder = read_all(source_file("examples/encoder.json"));
  const Outcome from_stdin = velkc({"compile", "--graph", "-"}, encoder);
  const Outcome from_file = velkc({"compile", "--graph", source_file("examples/encoder.json")});
  EXPECT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_EQ(from_stdin.out, from_file.out);

  EXPECT_EQ(velkc({"graph", "--encoder", "--out", "-"}).out, encoder);

  const Outcome trace = velkc({"compile", "--encoder", "--trace", "-"});
  EXPECT_EQ(trace.status, 0) << trace.err;
  EXPECT_TRUE(trace.out.starts_with("{\"traceEvents\": [")) << trace.out.substr(0, 80);
  EXPECT_EQ(trace.err, from_file.out);  // the summary
  ASSERT_EQ(velkc({"compile", "--encoder", "--trace", "trace.json"}).status, 0);
  EXPECT_EQ(trace.out, read_all(test_dir() / "trace.json"));

  const Outcome both = velkc({"compile", "--encoder", "--trace", "-", "--report", "-"});
  EXPECT_EQ(both.status, 2);
  EXPECT_EQ(both.err, "velkc: --trace and --report cannot both write to standard output\n");

  ASSERT_EQ(velkc({"compile", "--encoder", "--out", "out"}).status, 0);
  const Outcome disassembled =
      velkc({"disasm", "--schedule", "-", "--tile", "4"}, read_all(test_dir() / "out" / "schedule.json"));
  EXPECT_EQ(disassembled.status, 0) << disassembled.err;
  EXPECT_TRUE(disassembled.out.starts_with("tile 4: 15 steps\n")) << disassembled.out.substr(0, 80);
}

TEST(Velkc, GraphWritesTheShippedEncoderExample) {
  const Outcome run = velkc({"graph", "--encoder"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, read_all(source_file("examples/encoder.json")));
}

TEST(Velkc, GraphRewritesAGraphFileAndWritesToAFile) {
  const Outcome rewritten = velkc({"graph", "--graph", source_file("examples/encoder.json"), "--out", "copy.json"});
  EXPECT_EQ(rewritten.status, 0) << rewritten.err;
  EXPECT_EQ(rewritten.out, "");
  EXPECT_EQ(read_all(test_dir() / "copy.json"), read_all(source_file("examples/encoder.json")));

  const Outcome small =
      velkc({"graph", "--encoder", "--sequence", "16", "--hidden", "0x20", "--heads", "2", "--feed-forward", "64"});
  EXPECT_EQ(small.status, 0) << small.err;
  EXPECT_NE(small.out.find(R"({"name": "input", "shape": [16, 32], "kind": "input"})"), std::string::npos);
  EXPECT_NE(small.out.find(R"({"name": "w1", "shape": [32, 64], "kind": "weight"})"), std::string::npos);
}

TEST(Velkc, MalformedGraphFileNamesFileAndPlace) {
  std::ofstream(test_dir() / "bad.json") << "{\"version\": 1,\n \"tensors\": [{\"name\": \"x\", \"shape\": [-2], "
                                            "\"kind\": \"input\"}], \"operations\": [], \"outputs\": [0]}\n";
  const Outcome run = velkc({"compile", "--graph", "bad.json"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "velkc: bad.json: tensors[0].shape[0]: must not be negative, found -2\n");
}

TEST(Velkc, MemoryFailureSaysWhy) {
  const Outcome run = velkc({"compile", "--encoder", "--data-window", "0x58000:0x5A000"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("velkc: memory: tile ")) << run.err;
  EXPECT_NE(run.err.find("\nwhy: tile "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("in the data window 0x58000..0x5A000 (8192 bytes)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("live beside it on tile "), std::string::npos) << run.err;
}

TEST(Velkc, CompileTwiceGivesIdenticalFolders) {
  const Outcome first = velkc({"compile", "--encoder", "--out", "first"});
  ASSERT_EQ(first.status, 0) << first.err;
  const Outcome second = velkc({"compile", "--encoder", "--out", "second"});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(first.out.substr(first.out.find('\n')), second.out.substr(second.out.find('\n')));

  const std::filesystem::path dir = test_dir();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "first")) {
    if (entry.is_regular_file()) names.push_back(std::filesystem::relative(entry.path(), dir / "first").string());
  }
  std::vector<std::string> second_names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "second")) {
    if (entry.is_regular_file())
      second_names.push_back(std::filesystem::relative(entry.path(), dir / "second").string());
  }
  std::sort(names.begin(), names.end());
  std::sort(second_names.begin(), second_names.end());
  EXPECT_EQ(names, second_names);
  EXPECT_EQ(names.size(), 65u);  // schedule.json and 64 tile streams
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read_all(dir / "first" / name), read_all(dir / "second" / name));
  }
}

TEST(Velkc, DisassemblesWordsFromArgumentsAndStandardInput) {
  const std::string expected =
      "   0  0x41800003  row-entry                                                       advance 0      ends 0\n"
      "   1  0x40A00004  delay       cycles=4                                            advance 5      ends 5\n"
      "   2  0x78000203  send        count_minus_one=0 base_word=0x40 direction=3        advance 1      ends 6\n"
      "   3  0x43A00000  row-return                                                      advance 0      ends 6\n";
  const Outcome arguments = velkc({"disasm", "0x41800003", "40a00004", "0x78000203", "0x43A00000"});
  EXPECT_EQ(arguments.status, 0) << arguments.err;
  EXPECT_EQ(arguments.out, expected);
  const Outcome input = velkc({"disasm"}, "0x41800003, 0x40A00004\n0x78000203\n0x43a00000\n");
  EXPECT_EQ(input.status, 0) << input.err;
  EXPECT_EQ(input.out, expected);
}

TEST(Velkc, DisassemblesATilesProgramsFromItsSchedule) {
  ASSERT_EQ(velkc({"compile", "--encoder", "--out", "out"}).status, 0);
  const Outcome run = velkc({"disasm", "--schedule", "out/schedule.json", "--tile", "4"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("tile 4: ")) << run.out;
  EXPECT_NE(run.out.find("exchange phase 7 launch 0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("row-entry"), std::string::npos) << run.out;
  const Outcome missing = velkc({"disasm", "--schedule", "out/schedule.json", "--tile", "64"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "velkc: tile_programs: no program for tile 64 (the schedule has 64 programs)\n");
}

TEST(Velkc, CompileWritesTheSameTraceTwice) {
  const Outcome first = velkc({"compile", "--encoder", "--trace", "first.json"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(first.out.starts_with("wrote first.json\ngraph: 22 tensors")) << first.out;
  ASSERT_EQ(velkc({"compile", "--encoder", "--trace", "second.json"}).status, 0);
  const std::string trace = read_all(test_dir() / "first.json");
  EXPECT_TRUE(trace.starts_with("{\"traceEvents\": [\n{\"ph\":\"M\"")) << trace.substr(0, 80);
  EXPECT_TRUE(trace.ends_with("\"tile_count\":64,\"end_cycle\":15664}}\n")) << trace.substr(trace.size() - 80);
  EXPECT_EQ(trace, read_all(test_dir() / "second.json"));

  const Outcome part =
      velkc({"compile", "--encoder", "--trace", "part.json", "--trace-tiles", "0-7", "--trace-phases", "7"});
  ASSERT_EQ(part.status, 0) << part.err;
  EXPECT_TRUE(part.out.starts_with("wrote part.json\ngraph: ")) << part.out;  // a small trace has no size hint
  const std::string part_trace = read_all(test_dir() / "part.json");
  EXPECT_LT(part_trace.size(), trace.size() / 4);
  EXPECT_TRUE(part_trace.ends_with("\"tiles\":[[0,7]],\"phases\":[[7,7]]}}\n"))
      << part_trace.substr(part_trace.size() - 80);

  const Outcome unwritable = velkc({"compile", "--encoder", "--trace", "missing/trace.json"});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_EQ(unwritable.err, "velkc: missing/trace.json: cannot open for writing: No such file or directory\n");
}

TEST(Velkc, SweepTabulatesEveryConfigurationWithoutTimesWhenAsked) {
  const Outcome run = velkc({"sweep", "--encoder", "--hidden", "32,64", "--tiles", "0,8", "--no-times"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "graph            tiles  peak max (bytes)  peak median (bytes)  phases  launches  exchange cycles\n"
            "s32 h32 n4 f256      0  failed: graph: invalid compiler options\n"
            "s32 h32 n4 f256      8             50176                45056      16         1              320\n"
            "s32 h64 n4 f256      0  failed: graph: invalid compiler options\n"
            "s32 h64 n4 f256      8             60416                60416      16         1              320\n");
  const Outcome timed = velkc({"sweep", "--graph", source_file("examples/encoder.json"), "--tiles", "64"});
  EXPECT_EQ(timed.status, 0) << timed.err;
  EXPECT_TRUE(timed.out.starts_with("graph" + std::string(source_file("examples/encoder.json").size() - 3, ' ') +
                                    "tiles  peak max (bytes)  peak median (bytes)  phases  launches  exchange cycles  "
                                    "compile ms\n"))
      << timed.out;
}

TEST(Velkc, SweepWritesTheSameReportTwiceWithoutTimes) {
  const std::vector<std::string> sweep = {"sweep",   "--encoder", "--sequence", "16,32",
                                          "--tiles", "8,16",      "--no-times", "--report"};
  std::vector<std::string> first = sweep;
  first.push_back("first.html");
  const Outcome run = velkc(first);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("wrote first.html\ngraph ")) << run.out;
  std::vector<std::string> second = sweep;
  second.push_back("second.html");
  ASSERT_EQ(velkc(second).status, 0);
  const std::string page = read_all(test_dir() / "first.html");
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>"));
  EXPECT_NE(page.find("<svg class=\"chart\""), std::string::npos);
  EXPECT_EQ(page, read_all(test_dir() / "second.html"));
}

TEST(Velkc, SweepRefusesBadListsAndSizes) {
  const StatusCase cases[] = {
      {"tile list with a word",
       {"sweep", "--encoder", "--tiles", "8,x"},
       2,
       "velkc: --tiles: \"x\" is not a number (decimal, or hexadecimal after 0x)\n"},
      {"empty list item",
       {"sweep", "--encoder", "--hidden", "32,,64"},
       2,
       "velkc: --hidden: \"\" is not a number (decimal, or hexadecimal after 0x)\n"},
      {"heads that do not divide hidden",
       {"sweep", "--encoder", "--heads", "4,3"},
       1,
       "velkc: graph: invalid encoder dimensions\n"},
      {"no graph", {"sweep"}, 2, "velkc: give --encoder, --graph FILE or --onnx FILE\n"},
  };
  expect_statuses(cases);
}

}  // namespace
