// The self-check's table of scenario checks against what README documents of it, and the
// properties the check runner relies on.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "scenarios.hpp"

namespace velk_compiler {
namespace {

// The check names of README's table of the self-check's checks, in the order listed: the
// first column of the rows that follow the header "| check | what it shows |".
std::vector<std::string> documented_check_names() {
  std::ifstream readme(std::string(VELK_SOURCE_DIR) + "/README.md");
  EXPECT_TRUE(readme) << "README.md not found";
  std::vector<std::string> names;
  bool in_table = false;
  for (std::string line; std::getline(readme, line);) {
    if (line == "| check | what it shows |") {
      in_table = true;
    } else if (in_table && line.starts_with("| `")) {
      names.push_back(line.substr(3, line.find('`', 3) - 3));
    } else if (in_table && !line.starts_with("|---")) {
      break;
    }
  }
  return names;
}

TEST(ScenarioTable, IsTheTableReadmeDocuments) {
  std::vector<std::string> names;
  for (const ScenarioCheck& check : scenario_checks()) names.emplace_back(check.name);
  EXPECT_EQ(names, documented_check_names());
}

// The runner registers every check as test velk.<name> and selects checks by name.
TEST(ScenarioTable, EveryCheckRunsUnderItsOwnName) {
  std::set<std::string_view> seen;
  for (const ScenarioCheck& check : scenario_checks()) {
    EXPECT_TRUE(seen.insert(check.name).second) << "twice: " << check.name;
    EXPECT_NE(check.run, nullptr) << check.name;
    EXPECT_FALSE(check.name.empty());
    EXPECT_EQ(check.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string_view::npos)
        << check.name;
  }
}

}  // namespace
}  // namespace velk_compiler
