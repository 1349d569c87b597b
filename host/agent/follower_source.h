// An agent's observations: what a NUT server says of the UPS, turned into what the host's policy
// reads from a serial port, so that an agent decides, raises events and shuts down as a primary
// does. A server that cannot be reached, or whose data is stale, counts as a UPS that does not
// answer: lost after `deadtime`, with its last known state held meanwhile.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "host/agent/follower.h"
#include "host/status_board.h"
#include "host/supervisor.h"

namespace corvale::host::agent {

// The observation a status of NUT's words ("OB LB", "FSD OL") makes; unknown words are ignored.
// Neither "OL" nor "OB": the state is unknown (8).
Observation ObservationFromStatus(const std::string& status, Clock::time_point when);

class FollowerSource final : public UpsSource {
 public:
  FollowerSource(FollowerOptions options, std::chrono::milliseconds deadtime, Logger& log,
                 Listener onObservation);
  ~FollowerSource() override;

  void Run() override;
  void Stop() override;
  std::optional<Observation> Latest() const override;

  // This machine's own shutdown has begun and the system stops the service: the server hears
  // LOGOUT, so that its primary waits no longer for this machine.
  // True once it has (at most `within`).
  bool LogOut(std::chrono::milliseconds within) { return follower_.LogOut(within); }
  // This machine's shutdown command starts: the server hears so.
  void SayShuttingDown() { follower_.SayShuttingDown(); }
  // The system stops the service as this machine goes down: the connection stays open until
  // the system's last step, or is logged out of where it cannot (Follower::HoldToTheEnd).
  Follower::Hold HoldToTheEnd(std::chrono::milliseconds within, std::chrono::seconds atMost) {
    return follower_.HoldToTheEnd(within, atMost);
  }
  // The machine woke from sleep: log in again now.
  void Reconnect() { follower_.Reconnect(); }
  FollowingFacts Facts() const;

 private:
  void OnReading(const Reading& reading);

  std::string server_;
  std::chrono::milliseconds pollEvery_, deadtime_;
  Listener onObservation_;
  Follower follower_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool fresh_ = false;                // a reading came since the last observation
  std::optional<Observation> known_;  // from the last reading with a state
  std::optional<Clock::time_point> lastKnown_;
  FollowingFacts facts_;
  std::optional<Observation> latest_;
};

}  // namespace corvale::host::agent
