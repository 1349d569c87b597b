// What the host needs of the operating system besides the driver: running commands in the
// background, waiting for a request to stop, and talking to the service manager. Portable
// declarations; one implementation per OS (posix/host_os_posix.cpp).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvale::host {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct ExitStatus {
  bool signalled = false;
  int code = 0;  // the exit status, or the signal's number
  // "exit status 3", "killed by signal 9"
  std::string Describe() const;
};

class RunningCommand {
 public:
  virtual ~RunningCommand() = default;
  // How it ended, or nothing while it runs. Never blocks.
  virtual std::optional<ExitStatus> Poll() = 0;
  // Ends it and everything it started.
  virtual void Kill() = 0;
};

// Starts `command` through the system's shell, with `extra` added to this process's environment,
// its input empty and its output on ours. Nothing, with `error` set, when it cannot start.
std::unique_ptr<RunningCommand> StartCommand(const std::string& command, const Environment& extra,
                                             std::string* error);

// Makes SIGTERM and SIGINT (or their equivalents) requests to stop. Call before any thread starts.
void CatchStopRequests();
// Blocks until a stop is requested, or WakeStopWaiter is called.
void WaitForStopRequest();
void WakeStopWaiter();

// True when a service manager started us and reads our standard error as its log.
bool UnderServiceManager();
// Tells the service manager "READY=1", "STOPPING=1" and so on; nothing without one.
void NotifyServiceManager(const std::string& state);

std::string DefaultConfigPath();
// What shuts this system down, and where the flag for the power cut after it lives.
std::string DefaultShutdownCommand();
std::string DefaultFlagFile();

// True when users other than the owner (and its group) may read `path`: no place for passwords.
bool ReadableByOthers(const std::string& path);

}  // namespace corvale::host
