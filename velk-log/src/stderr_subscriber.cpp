// The self-check's human-readable event printer.
#include "velk_log/stderr_subscriber.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace velk_log {

bool StderrSubscriber::enabled(Level level, std::string_view) const { return level <= max_level_; }

void StderrSubscriber::on_event(const Event& event) {
  const std::string line = format_event(event) + "\n";
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

bool log_to_stderr_as_environment_asks() {
  const char* setting = std::getenv("VELK_LOG");
  if (setting == nullptr) return false;
  const std::optional<Level> level = parse_level(setting);
  if (!level) {
    std::fprintf(stderr, "VELK_LOG=%s is not one of error, warn, info, debug, trace; logging stays off\n", setting);
    return false;
  }
  set_global_subscriber(std::make_shared<StderrSubscriber>(*level));
  return true;
}

std::string format_event(const Event& event) {
  std::string line;
  line += level_name(event.level);
  line += ' ';
  line += event.target;
  line += ": ";
  line += event.message;
  for (const Field& field : event.fields) {
    line += ' ';
    line += field.name;
    line += '=';
    std::visit(
        [&line](const auto& v) {
          if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string_view>) {
            line += v;
          } else {
            line += std::to_string(v);
          }
        },
        field.value);
  }
  return line;
}

}  // namespace velk_log
