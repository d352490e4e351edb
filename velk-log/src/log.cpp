// Delivery of log events to the thread's or the process's subscriber.
#include "velk_log/log.hpp"

#include <atomic>
#include <utility>

namespace velk_log {
namespace {

thread_local Subscriber* thread_subscriber = nullptr;

// The process-wide subscriber. `global_installed` lets `emit` skip the mutex entirely
// when nothing is installed, which is the common case in libraries and benchmarks.
struct GlobalSlot {
  std::mutex mutex;
  std::shared_ptr<Subscriber> subscriber;
  std::atomic<bool> installed{false};
};

GlobalSlot& global_slot() {
  static GlobalSlot slot;
  return slot;
}

std::shared_ptr<Subscriber> global_subscriber() {
  GlobalSlot& slot = global_slot();
  if (!slot.installed.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard lock(slot.mutex);
  return slot.subscriber;
}

OwnedValue own(const Value& value) {
  return std::visit(
      [](const auto& v) -> OwnedValue {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string_view>) {
          return std::string(v);
        } else {
          return v;
        }
      },
      value);
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "UNKNOWN";
}

std::optional<Level> parse_level(std::string_view text) {
  if (text == "error") return Level::Error;
  if (text == "warn") return Level::Warn;
  if (text == "info") return Level::Info;
  if (text == "debug") return Level::Debug;
  if (text == "trace") return Level::Trace;
  return std::nullopt;
}

void set_global_subscriber(std::shared_ptr<Subscriber> subscriber) {
  GlobalSlot& slot = global_slot();
  std::lock_guard lock(slot.mutex);
  slot.installed.store(subscriber != nullptr, std::memory_order_release);
  slot.subscriber = std::move(subscriber);
}

ScopedSubscriber::ScopedSubscriber(Subscriber& subscriber) : previous_(thread_subscriber) {
  thread_subscriber = &subscriber;
}

ScopedSubscriber::~ScopedSubscriber() { thread_subscriber = previous_; }

bool enabled(Level level, std::string_view target) {
  if (thread_subscriber != nullptr) return thread_subscriber->enabled(level, target);
  const std::shared_ptr<Subscriber> global = global_subscriber();
  return global != nullptr && global->enabled(level, target);
}

void emit(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
  const Event event{level, target, message, std::span<const Field>(fields.begin(), fields.size())};
  if (thread_subscriber != nullptr) {
    if (thread_subscriber->enabled(level, target)) thread_subscriber->on_event(event);
    return;
  }
  const std::shared_ptr<Subscriber> global = global_subscriber();
  if (global != nullptr && global->enabled(level, target)) global->on_event(event);
}

void report_progress(std::string_view target, std::string_view stage, std::uint64_t done, std::uint64_t total,
                     std::string_view unit) {
  const std::initializer_list<Field> fields = {{"stage", stage}, {"done", done}, {"total", total}, {"unit", unit}};
  const Event event{Level::Info, target, PROGRESS_MESSAGE, std::span<const Field>(fields.begin(), fields.size())};
  if (thread_subscriber != nullptr) {
    if (thread_subscriber->wants_progress()) thread_subscriber->on_event(event);
    return;
  }
  const std::shared_ptr<Subscriber> global = global_subscriber();
  if (global != nullptr && global->wants_progress()) global->on_event(event);
}

const OwnedValue* RecordedEvent::field(std::string_view name) const {
  for (const OwnedField& f : fields) {
    if (f.name == name) return &f.value;
  }
  return nullptr;
}

bool EventRecorder::enabled(Level level, std::string_view) const { return level <= max_level_; }

void EventRecorder::on_event(const Event& event) {
  RecordedEvent recorded{event.level, std::string(event.target), std::string(event.message), {}};
  recorded.fields.reserve(event.fields.size());
  for (const Field& f : event.fields) recorded.fields.push_back({std::string(f.name), own(f.value)});
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(recorded));
}

std::vector<RecordedEvent> EventRecorder::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

}  // namespace velk_log
