#include "host/command_runner.h"

#include <algorithm>

namespace corvale::host {

std::string ExitStatus::Describe() const {
  if (signalled && code == 0) return "killed";  // Windows ends a process with no signal
  return (signalled ? "killed by signal " : "exit status ") + std::to_string(code);
}

CommandRunner::CommandRunner(Logger& log, RunnerLimits limits)
    : log_(log), limits_(limits), watcher_([this] { Watch(); }) {}

void CommandRunner::StopWatching() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (!watcher_.joinable()) return;
  watcher_.join();
  LogWellEndedCount();
  // What still runs ends with the service: a hook or a shutdown command must not outlive it,
  // holding what it holds or acting on a state that has gone. Nobody hears how they ended.
  std::vector<Running> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(running_);
  }
  for (auto& entry : left) {
    log_.Log(Priority::kWarning,
             "the " + entry.what + " still ran as the service stopped: ended it");
    entry.command->Kill();
  }
  // Reaped before the service goes, within a second.
  for (int round = 0; round < 20; ++round) {
    std::erase_if(left, [](Running& entry) { return entry.command->Poll().has_value(); });
    if (left.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void CommandRunner::LogWellEndedCount() {
  if (wellEndedUnlogged_ == 0) return;
  log_.Log(Priority::kInfo, std::to_string(wellEndedUnlogged_) +
                                (wellEndedUnlogged_ == 1 ? " more command" : " more commands") +
                                " ended with exit status 0 since the last line");
  wellEndedUnlogged_ = 0;
}

void CommandRunner::LogEnding(const std::string& what, const ExitStatus& status) {
  const auto now = std::chrono::steady_clock::now();
  if (status.signalled || status.code != 0) {
    LogWellEndedCount();
    log_.Log(Priority::kWarning, "the " + what + " ended: " + status.Describe());
    wellEndedLoggedAt_.reset();  // the next to end well says that they work again
    return;
  }
  if (wellEndedLoggedAt_ && now - *wellEndedLoggedAt_ < limits_.countWellEndedFor) {
    ++wellEndedUnlogged_;
    return;
  }
  LogWellEndedCount();
  log_.Log(Priority::kInfo, "the " + what + " ended: " + status.Describe());
  wellEndedLoggedAt_ = now;
}

bool CommandRunner::Start(const std::string& what, const std::string& command,
                          const Environment& environment, std::chrono::milliseconds timeout,
                          OnExit onExit, bool spare) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;  // nothing would watch it, nor end it
  const bool spareTaken = std::any_of(running_.begin(), running_.end(),
                                      [](const Running& running) { return running.spare; });
  const bool full = limits_.mostRunning != 0 && running_.size() >= limits_.mostRunning;
  if (full || (spare && (spareTaken || (limits_.mostRunning != 0 &&
                                        running_.size() >= limits_.mostRunning / 2)))) {
    // A burst of hooks that hang would otherwise log one line each: each kind is named once.
    ++dropped_;
    const bool first =
        std::find(droppedKinds_.begin(), droppedKinds_.end(), what) == droppedKinds_.end();
    if (first) droppedKinds_.push_back(what);
    const std::size_t running = running_.size();
    lock.unlock();
    if (first) {
      log_.Log(spare ? Priority::kWarning : Priority::kError,
               "dropping the " + what + " (and any more like it): " + std::to_string(running) +
                   " earlier ones are still running" +
                   (spare ? ", and their places are kept for the events that matter" : ""));
    }
    if (onExit) onExit(std::nullopt);
    return false;
  }
  std::string error;
  auto started = StartCommand(command, environment, &error);
  if (!started) {
    lock.unlock();
    log_.Log(Priority::kError, "cannot run the " + what + " '" + command + "': " + error);
    if (onExit) onExit(std::nullopt);
    return false;
  }
  droppedKinds_.clear();
  if (dropped_ != 0) {
    log_.Log(Priority::kWarning, std::to_string(dropped_) + " commands were dropped while " +
                                     std::to_string(limits_.mostRunning) + " were running");
    dropped_ = 0;
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout.count() > 0) deadline = std::chrono::steady_clock::now() + timeout;
  running_.push_back({what, std::move(started), deadline, false, std::move(onExit), spare});
  changed_.notify_all();
  return true;
}

void CommandRunner::Watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (running_.empty()) {
      // Idle: asleep until a command starts, not woken ten times a second for nothing.
      changed_.wait(lock, [this] { return stopping_ || !running_.empty(); });
    } else {
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<Running, ExitStatus>> ended;
    for (auto entry = running_.begin(); entry != running_.end();) {
      if (auto status = entry->command->Poll()) {
        ended.emplace_back(std::move(*entry), *status);
        entry = running_.erase(entry);
        continue;
      }
      if (entry->deadline && now >= *entry->deadline) {
        if (!entry->terminated) {
          log_.Log(Priority::kWarning,
                   "the " + entry->what + " still runs after its time: asking it to end");
          entry->command->Terminate();
          entry->terminated = true;
          entry->deadline = now + limits_.grace;
        } else {
          log_.Log(Priority::kWarning,
                   "the " + entry->what + " did not end when asked: killing it");
          entry->command->Kill();
          entry->deadline.reset();
        }
      }
      ++entry;
    }
    lock.unlock();
    for (auto& [command, status] : ended) {
      if (limits_.logEndings) LogEnding(command.what, status);
      if (command.onExit) command.onExit(status);
    }
    lock.lock();
  }
}

}  // namespace corvale::host
