#include "host/log.h"

#include <ctime>

#include "host/host_os.h"

namespace corvale::host {

void Logger::Log(Priority priority, const std::string& message, int messageId) {
  std::lock_guard lock(mutex_);
  if (sink_) return sink_(priority, message);
  if (journal_) {
    WriteServiceLog(static_cast<int>(priority), message,
                    messageId != 0 ? messageId : message_id::ForPriority(priority));
  } else {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    // std::localtime's shared buffer is safe here: only this function uses it, under the lock.
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(out_, "%s corvale-ups: %s\n", stamp, message.c_str());
  }
  std::fflush(out_);
}

void LastingCondition::Holds(Priority priority, const std::string& message, Clock::time_point now) {
  if (holding_ == message && now - loggedAt_ < repeat_) {
    ++unlogged_;
    return;
  }
  const bool repeat = holding_ == message;
  log_.Log(priority,
           repeat ? message + " (still, " + std::to_string(unlogged_ + 1) + " times)" : message);
  holding_ = message;
  loggedAt_ = now;
  unlogged_ = 0;
}

void LastingCondition::Ends(const std::string& message) {
  if (!holding_) return;
  log_.Log(Priority::kNotice, message);
  holding_.reset();
}

}  // namespace corvale::host
