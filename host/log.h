// The service's log: one line per event or problem on standard error, with a syslog priority
// prefix ("<4>") when the journal reads it, or a time stamp for a person at a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace corvale::host {

enum class Priority { kCritical = 2, kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// The number a log viewer shows and filters by (the Windows Event Log's event ID; the message
// table in host/windows/messages.mc has a text for each): one per UPS event kind, one for a
// service that cannot start, and one per priority for every other line.
namespace message_id {
constexpr int kStartFailed = 10;
constexpr int kFirstEvent = 100;  // + the EventKind's number
constexpr int ForPriority(Priority priority) {
  return static_cast<int>(priority) - 1;
}
}  // namespace message_id

class Logger {
 public:
  explicit Logger(bool forJournal, std::FILE* out = stderr) : journal_(forJournal), out_(out) {}
  // Every line handed to `sink` instead (a UPS's driver process passes its lines to the service).
  using Sink = std::function<void(Priority, const std::string&)>;
  explicit Logger(Sink sink) : journal_(false), out_(nullptr), sink_(std::move(sink)) {}
  // `messageId` 0: the priority's own.
  void Log(Priority priority, const std::string& message, int messageId = 0);

 private:
  bool journal_;
  std::FILE* out_;
  Sink sink_;
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
