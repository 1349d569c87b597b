// The poll loop: keeps the driver running, polls the UPS once a second on a thread of its own,
// decides when communication counts as lost, and restarts the driver while it is, so that a
// re-plugged adapter or a UPS switched off and on is picked up without a restart.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "host/driver_library.h"
#include "host/log.h"

namespace corvale::host {

using Clock = std::chrono::steady_clock;

// What the status text's names say about the UPS.
struct UpsFlags {
  bool onBattery = false;
  bool lowBattery = false;
  bool overload = false;
  bool batteryFailed = false;
  bool systemFailed = false;
  friend bool operator==(const UpsFlags&, const UpsFlags&) = default;
};
UpsFlags FlagsFromStatusText(const std::string& text);

// One poll, as the rest of the host sees it.
struct Observation {
  Clock::time_point when;
  std::uint32_t polled = 8;  // what this poll returned: 1, 2, 4, or 8 for no valid reply
  std::uint32_t state = 0;   // the last valid reply's state, held through a short loss; 0: none
  UpsFlags flags;            // from the last valid reply
  std::string statusText;    // the published "FirmwareRev" text it came from
  bool linkLost = false;     // no valid reply for `lostAfter`
  // An agent's server has ordered every machine on the UPS down (FSD): at once, and the power's
  // return does not undo it.
  bool forcedShutdown = false;
};

// Where the host's observations come from: the UPS on its serial port, or, on the other machines
// the UPS powers, a NUT server that has it.
class UpsSource {
 public:
  using Listener = std::function<void(const Observation&)>;
  virtual ~UpsSource() = default;
  // Observes until Stop, calling the listener on this thread.
  virtual void Run() = 0;
  // From any thread: Run returns within a second.
  virtual void Stop() = 0;
  // The latest observation, for readers on other threads.
  virtual std::optional<Observation> Latest() const = 0;
  // From any thread: a reloaded configuration's port.
  virtual void ChangeSetup(Setup) {}
  // From any thread: orders the UPS off after `delay` seconds; whether it acknowledged, or
  // nothing where there is no line to the UPS (an agent's server).
  virtual std::optional<bool> TurnOff(std::uint32_t /*delay*/) { return std::nullopt; }
};

struct SupervisorTiming {
  std::chrono::milliseconds pollEvery{1000};
  std::chrono::milliseconds lostAfter{15000};
  std::chrono::milliseconds restartEvery{10000};
};

class Supervisor final : public UpsSource {
 public:
  Supervisor(DriverLibrary& driver, Setup setup, Logger& log, Listener onPoll,
             SupervisorTiming timing = {});

  // The poll loop; returns once Stop was called, with the driver stopped.
  void Run() override;
  // From any thread: ends Run within the exchange in progress (at most a second).
  void Stop() override;
  // From any thread: the driver restarts on `setup` (another port) at the next poll.
  void ChangeSetup(Setup setup) override;
  std::optional<Observation> Latest() const override;
  std::optional<bool> TurnOff(std::uint32_t delay) override { return driver_.TurnOff(delay) != 0; }

 private:
  bool EnsureDriverRunning(Clock::time_point now);

  DriverLibrary& driver_;
  Setup setup_;
  Logger& log_;
  Listener onPoll_;
  SupervisorTiming timing_;
  LastingCondition startProblem_;
  LastingCondition restarting_;  // while the UPS is lost: one line, not one per restart
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards the sleep and the driver's start against Stop
  std::condition_variable wake_;
  bool running_ = false;
  std::optional<Clock::time_point> lastStart_;
  std::optional<Setup> nextSetup_;  // guarded by mutex_
  mutable std::mutex latestMutex_;
  std::optional<Observation> latest_;
};

}  // namespace corvale::host
