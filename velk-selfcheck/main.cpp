// The self-check: runs the scenario checks of the compiler and the exchange library in their
// fixed order and exits non-zero when any fails.
#include "check_runner.hpp"

int main(int argc, char** argv) { return velk_selfcheck::run_checks(argc, argv, velk_compiler::scenario_checks()); }
