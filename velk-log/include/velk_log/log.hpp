// Structured log events: a level, a target (the emitting library's namespace), a message
// and named fields, delivered to whichever subscriber is installed.
//
// Two places can hold a subscriber: the current thread (ScopedSubscriber, used by tests so
// that checks running on several threads only see their own events) and the process
// (set_global_subscriber, used by executables). A thread's own subscriber takes precedence.
// With neither installed, `emit` returns after one thread-local read and one relaxed
// atomic load: no allocation, no string building.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velk_log {

// Ordered from most to least severe: a subscriber listening at Debug also gets Info.
enum class Level : std::uint8_t { Error, Warn, Info, Debug, Trace };

std::string_view level_name(Level level);  // "ERROR", "WARN", "INFO", "DEBUG", "TRACE"
// Parses the lower-case names used by VELK_LOG ("error" ... "trace").
std::optional<Level> parse_level(std::string_view text);

using Value = std::variant<std::uint64_t, std::int64_t, std::string_view>;

struct Field {
  std::string_view name;
  Value value;
};

// A borrowed view of one event; valid only during delivery.
struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void on_event(const Event& event) = 0;
  // Whether this subscriber takes progress events (report_progress); most do not.
  virtual bool wants_progress() const { return false; }
};

// Installs the process-wide subscriber; nullptr drops every event that no thread-local
// subscriber takes. The subscriber must be safe to call from several threads.
void set_global_subscriber(std::shared_ptr<Subscriber> subscriber);

// Installs `subscriber` for the current thread for the lifetime of this object and
// restores the previous one on destruction. Scopes nest; the subscriber must outlive it.
class ScopedSubscriber {
 public:
  explicit ScopedSubscriber(Subscriber& subscriber);
  ~ScopedSubscriber();
  ScopedSubscriber(const ScopedSubscriber&) = delete;
  ScopedSubscriber& operator=(const ScopedSubscriber&) = delete;

 private:
  Subscriber* previous_;
};

// True when an installed subscriber wants events of this level and target.
bool enabled(Level level, std::string_view target);

// Delivers one event to the current subscriber, or drops it.
void emit(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields = {});

// Progress of long work, for a person waiting on it: an Info event with the message
// "progress" and the fields stage (text), done, total (counts) and unit (text: what is
// counted, "operations", "phases", "tiles"). Delivered only to a subscriber whose
// wants_progress() is true, so that the events of a stage stay the same for everyone else.
inline constexpr std::string_view PROGRESS_MESSAGE = "progress";
void report_progress(std::string_view target, std::string_view stage, std::uint64_t done, std::uint64_t total,
                     std::string_view unit);

// Owned copies of events, for tests and for subscribers that keep what they receive.
using OwnedValue = std::variant<std::uint64_t, std::int64_t, std::string>;

struct OwnedField {
  std::string name;
  OwnedValue value;
  bool operator==(const OwnedField&) const = default;
};

struct RecordedEvent {
  Level level;
  std::string target;
  std::string message;
  std::vector<OwnedField> fields;
  bool operator==(const RecordedEvent&) const = default;

  // The field of that name, or nothing.
  const OwnedValue* field(std::string_view name) const;
};

// A subscriber that keeps an owned copy of every event at or above `max_level`, progress
// events only when asked for. Safe to share between threads.
class EventRecorder final : public Subscriber {
 public:
  explicit EventRecorder(Level max_level = Level::Trace, bool with_progress = false)
      : max_level_(max_level), with_progress_(with_progress) {}
  bool enabled(Level level, std::string_view target) const override;
  void on_event(const Event& event) override;
  bool wants_progress() const override { return with_progress_; }
  std::vector<RecordedEvent> events() const;

 private:
  Level max_level_;
  bool with_progress_;
  mutable std::mutex mutex_;
  std::vector<RecordedEvent> events_;
};

}  // namespace velk_log
