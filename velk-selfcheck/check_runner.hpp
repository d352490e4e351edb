// The check runner of the self-check: registers a table of scenario checks with GoogleTest,
// which selects them by name (--gtest_filter=velk.<name>), reports each as passed or failed
// with a summary, and returns a non-zero status when any check fails.
#pragma once

#include <span>

#include "scenarios.hpp"

namespace velk_selfcheck {

// Runs the checks selected by the command line; installs the stderr log subscriber named
// by VELK_LOG first. Returns the process exit status.
int run_checks(int argc, char** argv, std::span<const velk_compiler::ScenarioCheck> checks);

}  // namespace velk_selfcheck
