#include "velk_log/log.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velk_log {
namespace {

TEST(Log, CapturedEventArrivesIntact) {
  EventRecorder recorder;
  {
    ScopedSubscriber scope(recorder);
    emit(Level::Info, "velk_compiler", "compiling graph",
         {{"operations", std::uint64_t{15}}, {"delta", std::int64_t{-3}}, {"name", std::string_view("x")}});
  }
  const std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Info);
  EXPECT_EQ(events[0].target, "velk_compiler");
  EXPECT_EQ(events[0].message, "compiling graph");
  ASSERT_EQ(events[0].fields.size(), 3u);
  EXPECT_EQ(*events[0].field("operations"), OwnedValue(std::uint64_t{15}));
  EXPECT_EQ(*events[0].field("delta"), OwnedValue(std::int64_t{-3}));
  EXPECT_EQ(*events[0].field("name"), OwnedValue(std::string("x")));
  EXPECT_EQ(events[0].field("missing"), nullptr);
}

TEST(Log, NothingArrivesWithoutSubscriber) {
  EventRecorder recorder;
  { ScopedSubscriber scope(recorder); }
  EXPECT_FALSE(enabled(Level::Error, "velk_compiler"));
  emit(Level::Error, "velk_compiler", "dropped");
  EXPECT_TRUE(recorder.events().empty());
}

TEST(Log, RecorderFiltersByLevel) {
  EventRecorder recorder(Level::Info);
  ScopedSubscriber scope(recorder);
  EXPECT_TRUE(enabled(Level::Info, "t"));
  EXPECT_FALSE(enabled(Level::Debug, "t"));
  emit(Level::Debug, "t", "hidden");
  emit(Level::Warn, "t", "shown");
  ASSERT_EQ(recorder.events().size(), 1u);
  EXPECT_EQ(recorder.events()[0].message, "shown");
}

TEST(Log, ProgressReachesOnlySubscribersThatAskForIt) {
  EventRecorder plain;
  EventRecorder with_progress(Level::Error, true);
  {
    ScopedSubscriber scope(plain);
    report_progress("velk_compiler", "tile programs", 3, 204, "phases");
  }
  EXPECT_TRUE(plain.events().empty());
  {
    ScopedSubscriber scope(with_progress);
    report_progress("velk_compiler", "tile programs", 3, 204, "phases");
    emit(Level::Info, "velk_compiler", "not progress");  // above the recorder's level
  }
  ASSERT_EQ(with_progress.events().size(), 1u);
  EXPECT_EQ(with_progress.events()[0],
            (RecordedEvent{Level::Info,
                           "velk_compiler",
                           "progress",
                           {OwnedField{"stage", std::string("tile programs")}, OwnedField{"done", std::uint64_t{3}},
                            OwnedField{"total", std::uint64_t{204}}, OwnedField{"unit", std::string("phases")}}}));
}

TEST(Log, ScopesNestAndRestore) {
  EventRecorder outer;
  EventRecorder inner;
  ScopedSubscriber outer_scope(outer);
  {
    ScopedSubscriber inner_scope(inner);
    emit(Level::Info, "t", "inner");
  }
  emit(Level::Info, "t", "outer");
  ASSERT_EQ(inner.events().size(), 1u);
  ASSERT_EQ(outer.events().size(), 1u);
  EXPECT_EQ(outer.events()[0].message, "outer");
}

TEST(Log, EachThreadSeesOnlyItsOwnEvents) {
  auto capture = [](std::string_view message, std::vector<RecordedEvent>& out) {
    EventRecorder recorder;
    ScopedSubscriber scope(recorder);
    for (int i = 0; i < 200; ++i) emit(Level::Info, "t", message);
    out = recorder.events();
  };
  std::vector<RecordedEvent> a;
  std::vector<RecordedEvent> b;
  std::thread first(capture, "a", std::ref(a));
  std::thread second(capture, "b", std::ref(b));
  first.join();
  second.join();
  ASSERT_EQ(a.size(), 200u);
  ASSERT_EQ(b.size(), 200u);
  for (const RecordedEvent& e : a) EXPECT_EQ(e.message, "a");
  for (const RecordedEvent& e : b) EXPECT_EQ(e.message, "b");
}

TEST(Log, GlobalSubscriberReceivesWhenNoThreadSubscriber) {
  auto recorder = std::make_shared<EventRecorder>();
  set_global_subscriber(recorder);
  emit(Level::Warn, "t", "global");
  {
    EventRecorder local;
    ScopedSubscriber scope(local);
    emit(Level::Warn, "t", "local");
  }
  set_global_subscriber(nullptr);
  emit(Level::Warn, "t", "dropped");
  ASSERT_EQ(recorder->events().size(), 1u);
  EXPECT_EQ(recorder->events()[0].message, "global");
}

// Every level has the name events print and the lower-case name VELK_LOG takes; only the
// lower-case names parse.
TEST(Log, NamesAndParsesEveryLevel) {
  const struct {
    Level level;
    std::string_view name;
    std::string_view parsed;
  } cases[] = {{Level::Error, "ERROR", "error"},
               {Level::Warn, "WARN", "warn"},
               {Level::Info, "INFO", "info"},
               {Level::Debug, "DEBUG", "debug"},
               {Level::Trace, "TRACE", "trace"}};
  for (const auto& c : cases) {
    EXPECT_EQ(level_name(c.level), c.name);
    EXPECT_EQ(parse_level(c.parsed), c.level);
    EXPECT_EQ(parse_level(c.name), std::nullopt);
  }
  EXPECT_EQ(parse_level(""), std::nullopt);
}

}  // namespace
}  // namespace velk_log
