// Carrying a decided shutdown through. Once the host has decided to shut down, it keeps at it
// until the system is going down or the reason has gone: a command that fails, cannot start or
// hangs is tried again, then the system's own call is used; nothing but the shutdown itself waits
// here. A shutdown abandoned because the power came back leaves no flag behind, so nothing cuts
// the power later; one that started is never abandoned (the power may still fail again before the
// host is down, and kill-power must then restore it).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "host/events.h"
#include "host/host_os.h"
#include "host/log.h"
#include "host/supervisor.h"

namespace corvale::host {

// What the sequence does in the world; the host supplies the real ones, tests their own.
struct ShutdownSteps {
  std::function<void()> writeFlag;   // the power cut is wanted once the host is down
  std::function<void()> removeFlag;  // ... no longer
  // Before the command: e.g. FSD for the other machines, then `proceed` (once, any thread).
  std::function<void(std::function<void()> proceed)> beforeShutdown;
  std::function<void()> cancelBeforeShutdown;  // FSD cleared again
  // Starts the configured command; `ended` hears how it ended (nothing: it could not start).
  std::function<void(std::function<void(const std::optional<ExitStatus>&)> ended)> runCommand;
  // The system's own call; `done` hears whether it was made, or why not (any thread).
  std::function<void(std::function<void(bool made, const std::string& error)> done)> shutDownSystem;
  std::function<void(EventKind kind, const std::string& message)> raise;
  // The clock a failure is timed on, and its retry; none: the steady clock.
  std::function<Clock::time_point()> now;
};

// How long a shutdown command may run: one still running then (a `pause`, a prompt, a tool that
// hangs) is ended and counts as failed, so that the shutdown is tried again.
inline constexpr std::chrono::seconds kShutdownCommandTimeLimit{120};

struct ShutdownTiming {
  // How long after its failure a failed shutdown is tried again; the power must also be back for
  // this long before a shutdown for a power reason is abandoned.
  std::chrono::seconds retryEvery{30};
  int commandFailuresBeforeSystemCall = 2;
  // A shutdown whose command succeeded but whose host still runs this long after has failed
  // (a command that only schedules it, cancelled since, or one that does nothing); zero: never.
  std::chrono::seconds downWithin{300};
};

class ShutdownSequence {
 public:
  enum class Reason {
    kPower,   // low battery, time on battery, lost while on battery: gone when the power is back
    kForced,  // FSD from a primary: holds for as long as the service runs
  };
  enum class Stage { kIdle, kPreparing, kRunning, kWaitingToRetry, kStarted };

  ShutdownSequence(std::string command, ShutdownSteps steps, Logger& log, ShutdownTiming timing);

  // Begins a shutdown for `why` unless one is under way or has started; from any thread.
  void Begin(const std::string& why, Reason reason);
  // Each poll: tries a failed shutdown again when it is due, or abandons it when its reason has
  // gone (`powerBack`: enough supplies on utility power, since the poll at `when`). True when it
  // was abandoned just now (the policy may decide again).
  bool Tick(bool powerBack, Clock::time_point when);
  // The one UPS's poll.
  bool Tick(const Observation& observation) {
    return Tick(observation.polled == 1 && !observation.linkLost && !observation.flags.lowBattery,
                observation.when);
  }
  // The service stops: a shutdown that has not started must leave no flag that could cut the
  // power at the next ordinary reboot.
  void Stop();

  Stage CurrentStage() const;
  // A reloaded configuration's command and timing; refused (false) while a shutdown is under way,
  // which is carried through on the settings it began with.
  bool Reconfigure(std::string command, ShutdownTiming timing);

 private:
  void Attempt();
  void Ended(bool started, const std::string& failure);
  void Failed(const std::string& failure);  // logged and raised
  Clock::time_point Now() const { return steps_.now ? steps_.now() : Clock::now(); }

  std::string command_;
  ShutdownSteps steps_;
  Logger& log_;
  ShutdownTiming timing_;
  mutable std::mutex mutex_;
  Stage stage_ = Stage::kIdle;
  bool stopped_ = false;
  std::string why_;
  Reason reason_ = Reason::kPower;
  int commandFailures_ = 0;
  std::optional<Clock::time_point> nextAttempt_;  // retry_seconds after the failure
  std::optional<Clock::time_point> powerBackSince_;
  std::optional<Clock::time_point> startedSeenAt_;  // the first poll after it started
};

// The system shuts down (Windows says so to the service): whether the UPS is to be turned off
// now. Only when this run ordered a shutdown (`stage` is not idle) and `flagName` in `folder` is a
// plain file only the administrator wrote, which this call removes. Otherwise false, with `why`
// set when a flag is there but is not one to act on.
bool TakeOwnFlag(ShutdownSequence::Stage stage, Folder& folder, const std::string& flagName,
                 std::string* why);

}  // namespace corvale::host
