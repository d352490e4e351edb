#include "velk_views/progress_line.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace velk_views {
namespace {

using namespace std::chrono_literals;

// A ProgressLine on a clock the test moves by hand.
struct Fixture {
  std::ostringstream out;
  ProgressLine::Clock::time_point now{};
  ProgressLine line{out, 1s, 100ms, [this] { return now; }};

  void report(std::string_view stage, std::uint64_t done, std::uint64_t total) {
    const velk_log::ScopedSubscriber scope(line);
    velk_log::report_progress("velk_compiler", stage, done, total, "phases");
  }
};

TEST(ProgressLine, QuietUntilTheDelayThenThrottledBetweenStages) {
  Fixture f;
  f.report("tile programs", 1, 204);
  f.now += 999ms;
  f.report("tile programs", 2, 204);
  EXPECT_EQ(f.out.str(), "");  // quick work shows nothing

  f.now += 1ms;
  f.report("tile programs", 3, 204);
  f.now += 50ms;
  f.report("tile programs", 4, 204);      // too soon after the last drawing
  f.report("tile commands", 1472, 1472);  // a new stage is always drawn
  f.now += 100ms;
  f.report("tile commands", 1472, 1472);
  EXPECT_EQ(f.out.str(),
            "\r\x1b[Ktile programs 3/204 phases\r\x1b[Ktile commands 1472/1472 phases\r\x1b[Ktile commands 1472/1472 "
            "phases");
  f.line.finish();
  EXPECT_TRUE(f.out.str().ends_with("phases\r\x1b[K"));
}

TEST(ProgressLine, FinishWithoutDrawingLeavesNothing) {
  Fixture f;
  f.report("phases", 1, 2);
  f.line.finish();
  EXPECT_EQ(f.out.str(), "");
}

TEST(ProgressLine, TakesOnlyProgressEvents) {
  Fixture f;
  f.now += 2s;
  const velk_log::ScopedSubscriber scope(f.line);
  EXPECT_FALSE(velk_log::enabled(velk_log::Level::Error, "velk_compiler"));
  velk_log::emit(velk_log::Level::Error, "velk_compiler", "progress", {{"stage", std::string_view("x")}});
  EXPECT_EQ(f.out.str(), "");
}

}  // namespace
}  // namespace velk_views
