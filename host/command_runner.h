// Runs the user's commands (event hooks, the shutdown command) in the background: the caller never
// waits for one, a command past its time is asked to end and then killed, and how each ended is
// logged in words.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host_os.h"
#include "host/log.h"

namespace corvale::host {

struct RunnerLimits {
  std::size_t mostRunning = 0;  // 0: no bound (the shutdown command must never be refused)
  std::chrono::milliseconds grace{5000};  // from SIGTERM to SIGKILL for one past its time
  bool logEndings = true;                 // false where the caller logs how its commands ended
  // Commands that end well are the usual case: the first is logged, then a count at most this
  // often, and the count when one fails or the runner stops.
  std::chrono::seconds countWellEndedFor{600};
};

class CommandRunner {
 public:
  using OnExit = std::function<void(const std::optional<ExitStatus>&)>;

  CommandRunner(Logger& log, RunnerLimits limits = {});
  ~CommandRunner() { StopWatching(); }
  // No more exit callbacks from here on; commands still running are ended (with all they
  // started), unheard.
  void StopWatching();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // Starts `command`; `timeout` zero lets it run as long as it takes. `onExit` runs on the
  // runner's thread when it ends (with nothing when it could not start). False when it could not
  // be started, or too many are still running: then it is dropped, logged once per burst.
  // `spare`: a command that may be left out (a drill's hook): it runs only where no other such
  // runs and half the places stay free for the commands that matter.
  bool Start(const std::string& what, const std::string& command, const Environment& environment,
             std::chrono::milliseconds timeout, OnExit onExit = {}, bool spare = false);

 private:
  struct Running {
    std::string what;
    std::unique_ptr<RunningCommand> command;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool terminated = false;  // asked to end; killed at the next deadline
    OnExit onExit;
    bool spare = false;
  };
  void Watch();
  void LogEnding(const std::string& what, const ExitStatus& status);
  void LogWellEndedCount();

  Logger& log_;
  RunnerLimits limits_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Running> running_;
  std::size_t dropped_ = 0;                // refused since the last one that started
  std::vector<std::string> droppedKinds_;  // each named once in the log until one starts
  bool stopping_ = false;
  std::size_t wellEndedUnlogged_ = 0;  // the watcher's own
  std::optional<std::chrono::steady_clock::time_point> wellEndedLoggedAt_;
  std::thread watcher_;
};

}  // namespace corvale::host
