// Runs the user's commands (event hooks, the shutdown command) in the background: the caller never
// waits for one, a hook that hangs is ended after a while, and how each ended is logged in words.
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

class CommandRunner {
 public:
  static constexpr std::chrono::seconds kHookTimeout{120};
  static constexpr std::size_t kMostRunning = 16;
  using OnExit = std::function<void(const std::optional<ExitStatus>&)>;

  explicit CommandRunner(Logger& log);
  ~CommandRunner() { StopWatching(); }
  // No more exit callbacks from here on; commands still running are left to finish.
  void StopWatching();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // Starts `command`; `timeout` zero lets it run as long as it takes. `onExit` runs on the
  // runner's thread when it ends (with nothing when it could not start). False when it could not
  // be started, or too many are still running.
  bool Start(const std::string& what, const std::string& command, const Environment& environment,
             std::chrono::seconds timeout, OnExit onExit = {});

 private:
  struct Running {
    std::string what;
    std::unique_ptr<RunningCommand> command;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    OnExit onExit;
  };
  void Watch();

  Logger& log_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Running> running_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace corvale::host
