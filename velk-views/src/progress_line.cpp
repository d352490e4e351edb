// The progress line.
#include "velk_views/progress_line.hpp"

#include <utility>
#include <variant>

namespace velk_views {
namespace {

// Moves to the line's start and clears it.
constexpr std::string_view CLEAR_LINE = "\r\x1b[K";

template <class T>
const T* field(const velk_log::Event& event, std::string_view name) {
  for (const velk_log::Field& f : event.fields) {
    if (f.name == name) return std::get_if<T>(&f.value);
  }
  return nullptr;
}

}  // namespace

std::string progress_text(const velk_log::Event& event) {
  const auto* stage = field<std::string_view>(event, "stage");
  const auto* done = field<std::uint64_t>(event, "done");
  const auto* total = field<std::uint64_t>(event, "total");
  const auto* unit = field<std::string_view>(event, "unit");
  if (event.message != velk_log::PROGRESS_MESSAGE || !stage || !done || !total || !unit) return {};
  return std::string(*stage) + " " + std::to_string(*done) + "/" + std::to_string(*total) + " " + std::string(*unit);
}

ProgressLine::ProgressLine(std::ostream& out, Clock::duration delay, Clock::duration interval,
                           std::function<Clock::time_point()> now)
    : out_(out), delay_(delay), interval_(interval), now_(std::move(now)), start_(now_()) {}

void ProgressLine::on_event(const velk_log::Event& event) {
  const std::string text = progress_text(event);
  if (text.empty()) return;
  const std::lock_guard lock(mutex_);
  const Clock::time_point now = now_();
  if (now - start_ < delay_) return;
  const auto* stage = field<std::string_view>(event, "stage");
  const bool new_stage = *stage != last_stage_;
  if (drawn_ && !new_stage && now - last_drawn_ < interval_) return;
  out_ << CLEAR_LINE << text << std::flush;
  drawn_ = true;
  last_drawn_ = now;
  last_stage_ = std::string(*stage);
}

void ProgressLine::finish() {
  const std::lock_guard lock(mutex_);
  if (drawn_) out_ << CLEAR_LINE << std::flush;
  drawn_ = false;
}

}  // namespace velk_views
