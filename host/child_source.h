// A UPS watched through a driver process of its own (`corvale-ups ups-child`): the driver keeps
// one UPS's state per process, and a crash, a hung port or a re-plug of one UPS must never stop
// or slow the watch of another. This source starts the process, reads its observations (bounded
// lines; anything else is its fault: it is killed), starts it again when it dies or falls silent,
// with a growing pause, and meanwhile reports the UPS as not answering, so that the time counts
// as for a silent cable.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/child_process.h"
#include "host/log.h"
#include "host/supervisor.h"

namespace corvale::host {

struct ChildSourceOptions {
  std::string name;     // the UPS's, for the log
  std::string program;  // this program
  std::string library;  // the driver library; empty: the installed one
  Setup setup;
  // The driver reads its port and publishes its status in the system's registry itself, where
  // Windows' own tools read them, rather than in a key of this UPS's own: one UPS's at most.
  bool systemRegistry = false;
  SupervisorTiming timing;
  // No line from the process this long: it hangs, and is killed.
  std::chrono::milliseconds silentLimit{30000};
  std::chrono::milliseconds firstPause{1000};  // before the first restart, doubling up to
  std::chrono::milliseconds longestPause{30000};
  // A process that ran this long before it ended starts again after the first pause.
  std::chrono::milliseconds steadyAfter{60000};
  std::chrono::milliseconds turnOffWithin{10000};
};

// The arguments of the driver process for `options`.
std::vector<std::string> ChildArguments(const ChildSourceOptions& options);

class ChildSource final : public UpsSource {
 public:
  ChildSource(ChildSourceOptions options, Logger& log, Listener onPoll);
  ~ChildSource() override;

  void Run() override;
  void Stop() override;
  std::optional<Observation> Latest() const override;
  // The process starts again on the new port.
  void ChangeSetup(Setup setup) override;
  std::optional<bool> TurnOff(std::uint32_t delay) override;

  // The running process's id, for tests; 0 when none runs.
  long ChildId() const { return childId_; }

 private:
  // A setup a reload left, taken for the next start of the process.
  void TakeNextSetup();
  // Talks to one started process until it ends, is at fault or the source stops; why it ended.
  std::string Serve(ChildProcess& child);
  // Takes one line of the process; false when it is at fault (`why` set).
  bool Take(const std::string& line, bool* greeted, std::string* why);
  // Says the UPS does not answer when no observation came for longer than a poll.
  void TickUnanswered(Clock::time_point now);
  void Deliver(const Observation& observation);
  // Waits `pause` or until stopped, saying the UPS does not answer meanwhile.
  void PauseUnanswered(std::chrono::milliseconds pause);

  ChildSourceOptions options_;
  Logger& log_;
  Listener onPoll_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> childId_{0};

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  ChildProcess* child_ = nullptr;  // while one runs
  std::optional<Setup> nextSetup_;
  std::optional<bool> turnOffAnswer_;
  bool turnOffAsked_ = false;
  std::optional<Observation> latest_;

  // The Run thread's own.
  Observation current_;
  Clock::time_point started_;
  std::optional<Clock::time_point> lastValid_;
  Clock::time_point lastDelivered_;
  std::mutex turnOffMutex_;  // one order at a time
};

}  // namespace corvale::host
