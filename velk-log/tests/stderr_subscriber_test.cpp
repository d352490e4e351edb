// The human-readable subscriber of the self-check: the line it makes of an event, its level
// filter, and what it writes to standard error.
#include "velk_log/stderr_subscriber.hpp"

#include <gtest/gtest.h>

namespace velk_log {
namespace {

TEST(StderrSubscriber, FormatsOneLinePerEvent) {
  const Field fields[] = {
      {"operations", std::uint64_t{15}}, {"offset", std::int64_t{-2}}, {"kind", std::string_view("home")}};
  const Event event{Level::Debug, "velk_compiler", "planned tile SRAM", fields};
  EXPECT_EQ(format_event(event), "DEBUG velk_compiler: planned tile SRAM operations=15 offset=-2 kind=home");
}

TEST(StderrSubscriber, ListensUpToItsLevel) {
  const StderrSubscriber info(Level::Info);
  EXPECT_TRUE(info.enabled(Level::Error, "velk_compiler"));
  EXPECT_TRUE(info.enabled(Level::Info, "velk_compiler"));
  EXPECT_FALSE(info.enabled(Level::Debug, "velk_compiler"));
  EXPECT_FALSE(info.enabled(Level::Trace, "velk_exchange"));
}

TEST(StderrSubscriber, WritesOneLinePerEventToStandardError) {
  StderrSubscriber subscriber(Level::Debug);
  ScopedSubscriber scope(subscriber);
  testing::internal::CaptureStderr();
  emit(Level::Info, "velk_compiler", "compiling graph",
       {{"operations", std::uint64_t{15}}, {"tensors", std::uint64_t{22}}, {"tiles", std::uint64_t{64}}});
  emit(Level::Trace, "velk_compiler", "not listened to");
  emit(Level::Warn, "velk_exchange", "odd", {{"offset", std::int64_t{-2}}, {"kind", std::string_view("home")}});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "INFO velk_compiler: compiling graph operations=15 tensors=22 tiles=64\n"
            "WARN velk_exchange: odd offset=-2 kind=home\n");
}

}  // namespace
}  // namespace velk_log
