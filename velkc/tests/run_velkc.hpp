// Runs the velkc executable for the command-line tests, each in a folder of its own test,
// and reads back what it wrote.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace velkc_tests {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string read_all(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

inline std::filesystem::path test_dir() {
  const std::filesystem::path dir =
      std::filesystem::path(VELKC_TEST_DIR) / testing::UnitTest::GetInstance()->current_test_info()->name();
  std::filesystem::create_directories(dir);
  return dir;
}

// Runs velkc with the arguments (each passed as one word) in a folder of the test's own.
inline Outcome velkc(const std::vector<std::string>& arguments, const std::string& input = "") {
  const std::filesystem::path dir = test_dir();
  std::ofstream(dir / "stdin.txt", std::ios::binary) << input;
  std::string command = "cd '" + dir.string() + "' && '" + VELKC + "'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " <stdin.txt >stdout.txt 2>stderr.txt";
  const int status = std::system(command.c_str());
  Outcome run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_all(dir / "stdout.txt");
  run.err = read_all(dir / "stderr.txt");
  return run;
}

inline std::string source_file(const std::string& relative) { return std::string(VELK_SOURCE_DIR) + "/" + relative; }

// One velkc run: its arguments, the exit status and what it prints on standard error.
struct StatusCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  std::string err;  // the exact standard error, or empty to leave it unchecked
};

// Runs each case and checks its status, and its standard error where the case gives one.
inline void expect_statuses(std::span<const StatusCase> cases) {
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = velkc(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (!c.err.empty()) {
      EXPECT_EQ(run.err, c.err);
    }
  }
}

}  // namespace velkc_tests
