// The scenario checks on several threads at once, as a check runner may run them.
//
// Every thread runs the whole table twice over, each thread starting at a different check so
// that different checks overlap in time, and captures the log events of every check run with
// its own EventRecorder installed by a ScopedSubscriber. The stages share no mutable state and
// the log delivers each event to the emitting thread's own subscriber, so every run must pass
// and must capture exactly the events that the same check captures when it runs alone. Built
// with ThreadSanitizer (preset tsan), any data race fails the run as well.
//
// Prints one line per failure and a closing "N passed, N failed" line; exits non-zero on any
// failure.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scenarios.hpp"
#include "velk_log/log.hpp"

namespace {

using velk_compiler::ScenarioCheck;

constexpr std::size_t THREADS = 4;
constexpr std::size_t ROUNDS = 2;

struct CheckRun {
  std::size_t check = 0;
  velk_compiler::CheckOutcome outcome;
  std::vector<velk_log::RecordedEvent> events;
};

// Runs one check with its own log capture.
CheckRun run_captured(std::span<const ScenarioCheck> checks, std::size_t check) {
  velk_log::EventRecorder recorder;
  velk_log::ScopedSubscriber capture(recorder);
  CheckRun run{check, checks[check].run(), {}};
  run.events = recorder.events();
  return run;
}

// One thread's work: the table `ROUNDS` times, starting at check `first`. Events emitted
// outside a check run would land in `outside`.
struct ThreadResult {
  std::vector<CheckRun> runs;
  std::vector<velk_log::RecordedEvent> outside;
};

void run_thread(std::span<const ScenarioCheck> checks, std::size_t first, ThreadResult& result) {
  velk_log::EventRecorder outside;
  velk_log::ScopedSubscriber capture(outside);
  for (std::size_t round = 0; round < ROUNDS; ++round) {
    for (std::size_t i = 0; i < checks.size(); ++i)
      result.runs.push_back(run_captured(checks, (first + i) % checks.size()));
  }
  result.outside = outside.events();
}

}  // namespace

int main() {
  const std::span<const ScenarioCheck> checks = velk_compiler::scenario_checks();

  // Each check alone first: what it must capture wherever it runs.
  std::vector<CheckRun> alone;
  for (std::size_t check = 0; check < checks.size(); ++check) alone.push_back(run_captured(checks, check));

  std::vector<ThreadResult> results(THREADS);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < THREADS; ++t) {
    threads.emplace_back(run_thread, checks, t * checks.size() / THREADS, std::ref(results[t]));
  }
  for (std::thread& thread : threads) thread.join();

  std::size_t passed = 0;
  std::size_t failed = 0;
  auto failure = [&failed](std::size_t thread, std::string_view name, const std::string& why) {
    std::printf("FAILED thread %zu %.*s: %s\n", thread, static_cast<int>(name.size()), name.data(), why.c_str());
    ++failed;
  };
  std::size_t captured_alone = 0;
  for (const CheckRun& run : alone) {
    if (!run.outcome) failure(0, checks[run.check].name, "alone: " + run.outcome.error());
    captured_alone += run.events.size();
  }
  // The compiling checks report progress, so a capture that sees nothing is broken too.
  if (captured_alone == 0) failure(0, "(every check)", "no log event captured");
  for (std::size_t t = 0; t < THREADS; ++t) {
    if (!results[t].outside.empty()) failure(t, "(outside any check)", "captured events of no check run");
    for (const CheckRun& run : results[t].runs) {
      const std::string_view name = checks[run.check].name;
      if (!run.outcome) {
        failure(t, name, run.outcome.error());
      } else if (run.events != alone[run.check].events) {
        failure(t, name,
                "captured " + std::to_string(run.events.size()) + " events, alone " +
                    std::to_string(alone[run.check].events.size()));
      } else {
        ++passed;
      }
    }
  }
  std::printf("%zu checks on %zu threads, %zu rounds each\n", checks.size(), THREADS, ROUNDS);
  std::printf("%zu passed, %zu failed\n", passed, failed);
  return failed == 0 && passed == THREADS * ROUNDS * checks.size() ? 0 : 1;
}
