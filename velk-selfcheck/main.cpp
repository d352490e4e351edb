// The self-check: hands the table of scenario checks to GoogleTest, which runs them,
// selects them by name (--gtest_filter=velk.<name>), reports each as passed or failed
// with a summary, and exits non-zero when any check fails.
//
// Log events go to standard error at the level named by VELK_LOG
// (error, warn, info, debug, trace); unset means no log output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "scenarios.hpp"
#include "velk_log/stderr_subscriber.hpp"

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

void install_log_subscriber() {
  const char* setting = std::getenv("VELK_LOG");
  if (setting == nullptr) return;
  const std::optional<velk_log::Level> level = velk_log::parse_level(setting);
  if (!level) {
    std::fprintf(stderr, "VELK_LOG=%s is not one of error, warn, info, debug, trace; logging stays off\n", setting);
    return;
  }
  velk_log::set_global_subscriber(std::make_shared<velk_log::StderrSubscriber>(*level));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  install_log_subscriber();
  const auto checks = velk_compiler::scenario_checks();
  if (checks.empty()) std::printf("no scenario checks registered yet\n");
  for (const velk_compiler::ScenarioCheck& check : checks) {
    const std::string name(check.name);
    testing::RegisterTest("velk", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [&check]() -> testing::Test* { return new ScenarioTest(check); });
  }
  return RUN_ALL_TESTS();
}
