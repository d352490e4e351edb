// Progress of a long compile on one line of a terminal: a subscriber to the progress events
// of velk-log (report_progress) that draws "stage done/total unit" over itself, so that a
// person sees the work move. Quick work shows nothing: the line appears only once the work
// has run longer than the delay, and is redrawn at most every `interval`.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "velk_log/log.hpp"

namespace velk_views {

class ProgressLine final : public velk_log::Subscriber {
 public:
  using Clock = std::chrono::steady_clock;

  // Draws on `out`, which must outlive this object. `now` gives the time (a test's clock).
  explicit ProgressLine(std::ostream& out, Clock::duration delay = std::chrono::seconds(1),
                        Clock::duration interval = std::chrono::milliseconds(100),
                        std::function<Clock::time_point()> now = Clock::now);

  bool enabled(velk_log::Level, std::string_view) const override { return false; }
  bool wants_progress() const override { return true; }
  void on_event(const velk_log::Event& event) override;

  // Clears the line if one was drawn, so that what is printed next starts on a clean line.
  void finish();

 private:
  std::ostream& out_;
  Clock::duration delay_;
  Clock::duration interval_;
  std::function<Clock::time_point()> now_;
  Clock::time_point start_;
  std::mutex mutex_;
  bool drawn_ = false;
  Clock::time_point last_drawn_{};
  std::string last_stage_;
};

// "tile programs 120/204 phases"; empty for an event that is not a progress event.
std::string progress_text(const velk_log::Event& event);

}  // namespace velk_views
