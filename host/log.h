// The service's log: one line per event or problem on standard error, with a syslog priority
// prefix ("<4>") when the journal reads it, or a time stamp for a person at a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

namespace corvale::host {

enum class Priority { kCritical = 2, kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

class Logger {
 public:
  explicit Logger(bool forJournal, std::FILE* out = stderr) : journal_(forJournal), out_(out) {}
  void Log(Priority priority, const std::string& message);

 private:
  bool journal_;
  std::FILE* out_;
  std::mutex mutex_;
};

// A problem that may last: logged when it starts or changes, again at most every `repeat` while
// it lasts, and once when it ends, so that a UPS unplugged for a week does not flood the log.
class LastingCondition {
 public:
  using Clock = std::chrono::steady_clock;
  LastingCondition(Logger& log, std::chrono::seconds repeat) : log_(log), repeat_(repeat) {}
  void Holds(Priority priority, const std::string& message, Clock::time_point now);
  void Ends(const std::string& message);
  bool Holding() const { return holding_.has_value(); }

 private:
  Logger& log_;
  std::chrono::seconds repeat_;
  std::optional<std::string> holding_;
  Clock::time_point loggedAt_;
  int unlogged_ = 0;
};

}  // namespace corvale::host
