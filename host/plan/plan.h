// The shutdown plan on the machine with the cable: which other machines (stages, by their NUT
// user) go before the rest, and when. It turns observations of the UPS into the stages that are
// due, the stages released when the power comes back, and the machines to wake then. No I/O:
// the service sets FSD, clears it and sends the wake-up packets.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/supervisor.h"

namespace corvale::host::plan {

// When a stage goes, in words: "after 20 s on battery", "at low battery", "when the UPS is lost".
std::string WhenText(const Config::Stage& stage);

class PlanRunner {
 public:
  PlanRunner(std::vector<Config::Stage> stages, std::chrono::seconds wakeAfter);

  struct Actions {
    std::vector<std::size_t> due;       // stages due from now, in the plan's order
    std::vector<std::size_t> released;  // stages that went, now that the power is back
    std::vector<std::size_t> wake;      // stages whose machines are woken once they are down
    bool failureEnded = false;          // the power is back after a failure
    bool powerHeld = false;             // and has held since: every stage's FSD may end
    bool Empty() const { return due.empty() && released.empty() && wake.empty() && !powerHeld; }
  };
  // Each observation in turn, as the host polls.
  Actions Observe(const Observation& observation);
  // A reloaded plan: the time on battery so far counts; a stage that went stays gone.
  void Reconfigure(std::vector<Config::Stage> stages, std::chrono::seconds wakeAfter);
  // Where a run before this one left the plan (from the history): on battery since then (or
  // not), the stages that went in this failure, and those that went in a failure that has ended
  // and wait to be woken. Before the first observation.
  void Resume(std::optional<Clock::time_point> onBatterySince, const std::vector<std::string>& gone,
              const std::vector<std::string>& sleeping);

  // A stage whose wake-up was due when the power failed again: woken once it has held again,
  // unless it goes in this failure.
  void WakeLater(const std::string& name);

  const std::vector<Config::Stage>& Stages() const { return stages_; }
  // Whether each stage has gone in this power failure (or waits for its machines to be woken).
  std::vector<bool> Gone() const;
  // Whether each stage has gone in this power failure, which lasts.
  const std::vector<bool>& Due() const { return gone_; }
  // How long the UPS has been on battery, continuously, as of the latest observation.
  std::optional<std::chrono::seconds> OnBatteryFor() const;

 private:
  std::vector<Config::Stage> stages_;
  std::chrono::seconds wakeAfter_;
  std::optional<Clock::time_point> onBatterySince_;
  std::optional<Clock::time_point> powerBackSince_;
  Clock::time_point latest_{};
  std::vector<bool> gone_;      // due in this failure
  std::vector<bool> sleeping_;  // went in a failure that ended: woken once the power has held
  bool unheld_ = false;         // a failure ended, and the power has not held since
};

// The wake-on-LAN "magic packet" for a MAC address ("52:54:00:12:34:56"): six 0xFF bytes, then
// the address sixteen times. Empty when the address is not one.
std::string MagicPacket(const std::string& mac);

}  // namespace corvale::host::plan
