// A check runner over a table with one passing and one failing check, so that ctest can
// show that a failing check fails the run and that a name filter selects checks.
#include "check_runner.hpp"

namespace {

[[nodiscard]] velk_compiler::CheckOutcome passes() { return {}; }
[[nodiscard]] velk_compiler::CheckOutcome fails() { return std::unexpected(std::string("made to fail")); }

constexpr velk_compiler::ScenarioCheck probe_table[] = {{"passes", passes}, {"fails", fails}};

}  // namespace

int main(int argc, char** argv) { return velk_selfcheck::run_checks(argc, argv, probe_table); }
