// Hands scenario checks to GoogleTest.
//
// Log events go to standard error at the level named by VELK_LOG (error, warn, info,
// debug, trace); unset means no log output.
#include "check_runner.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "velk_log/stderr_subscriber.hpp"

namespace velk_selfcheck {
namespace {

class ScenarioTest final : public testing::Test {
 public:
  explicit ScenarioTest(const velk_compiler::ScenarioCheck& check) : check_(check) {}
  void TestBody() override {
    const velk_compiler::CheckOutcome outcome = check_.run();
    if (!outcome) FAIL() << outcome.error();
  }

 private:
  const velk_compiler::ScenarioCheck& check_;
};

}  // namespace

int run_checks(int argc, char** argv, std::span<const velk_compiler::ScenarioCheck> checks) {
  testing::InitGoogleTest(&argc, argv);
  velk_log::log_to_stderr_as_environment_asks();
  if (checks.empty()) std::printf("no scenario checks registered\n");
  for (const velk_compiler::ScenarioCheck& check : checks) {
    const std::string name(check.name);
    testing::RegisterTest("velk", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [&check]() -> testing::Test* { return new ScenarioTest(check); });
  }
  return RUN_ALL_TESTS();
}

}  // namespace velk_selfcheck
