// A human-readable subscriber that prints one line per event to standard error:
//   INFO velk_compiler: compiling graph operations=15 tensors=22 tiles=64
#pragma once

#include <string>

#include "velk_log/log.hpp"

namespace velk_log {

class StderrSubscriber final : public Subscriber {
 public:
  explicit StderrSubscriber(Level max_level) : max_level_(max_level) {}
  bool enabled(Level level, std::string_view target) const override;
  void on_event(const Event& event) override;

 private:
  Level max_level_;
  std::mutex mutex_;
};

// The line StderrSubscriber prints for an event, without the newline.
std::string format_event(const Event& event);

// Logging as the environment variable VELK_LOG asks for it, the one place that reads it:
// unset, nothing; a level name (error, warn, info, debug, trace), a StderrSubscriber at
// that level installed as the process's subscriber; anything else, one line on standard
// error that says so, and nothing. Returns whether a subscriber was installed.
bool log_to_stderr_as_environment_asks();

}  // namespace velk_log
