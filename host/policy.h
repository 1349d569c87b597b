// When to shut the host down: on the UPSes' state, not on a change of it, so that a service
// started while a battery is already low acts at once. Each UPS feeds some of this machine's power
// supplies; the machine runs on while enough of them are fed by a UPS that is still well.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/supervisor.h"

namespace corvale::host {

// What one UPS's last observation says of the supplies it feeds.
struct Feeding {
  // Heard: a valid reply came, or it counts as lost. Until then it is counted either way only
  // where that changes nothing.
  bool known = false;
  bool feeds = false;
  // Why it no longer feeds, when that is the power failure's doing (its battery low, its time on
  // battery up, lost while on battery, FSD): what may shut the machine down. Empty when it feeds,
  // or when it does not for another reason (lost while on utility power, never heard): counted
  // out, but alone never a reason, as with a single UPS.
  std::string powerReason;
  bool forced = false;  // FSD: a primary ordered the machines on it down
  std::string why;      // why it does not feed, in words
  bool online = false;  // on utility power and not low: counts towards the power's return
};

// One UPS's verdict, poll by poll.
class FeedJudge {
 public:
  explicit FeedJudge(std::chrono::seconds onBatteryLimit) : onBatteryLimit_(onBatteryLimit) {}
  Feeding Judge(const Observation& observation);
  // A reloaded limit; time already on battery counts towards it.
  void SetOnBatteryLimit(std::chrono::seconds limit) { onBatteryLimit_ = limit; }
  // A primary's FSD for this UPS: it holds for as long as the service runs.
  void Force(std::string reason) { forcedBy_ = std::move(reason); }

 private:
  std::chrono::seconds onBatteryLimit_;
  std::optional<Clock::time_point> onBatterySince_;
  std::optional<std::string> forcedBy_;
};

// The machine's supplies as they stand, for the page, the metrics and check-config.
struct SupplyFacts {
  struct Unit {
    std::string name;
    std::uint32_t supplies = 0;
    bool known = false;
    bool feeds = false;
    std::string why;     // why not
    bool power = false;  // out for the power's sake (low, time on battery up, lost on it, FSD)
  };
  std::vector<Unit> units;
  std::uint32_t fed = 0;      // supplies fed by a UPS that is well (not yet heard: not counted)
  std::uint32_t minimum = 0;  // the fewest it runs on
};

class ShutdownPolicy {
 public:
  struct Supply {
    std::string name;
    std::uint32_t supplies = 1;  // 0: watched only
    std::chrono::seconds onBatteryLimit{0};
  };
  // Shuts down once fewer than `minSupplies` supplies are fed.
  ShutdownPolicy(std::vector<Supply> units, std::uint32_t minSupplies);
  // One UPS feeding the machine; `onBatteryLimit` zero: only a low battery (or a UPS lost while
  // on battery) shuts down.
  explicit ShutdownPolicy(std::chrono::seconds onBatteryLimit)
      : ShutdownPolicy({Supply{"", 1, onBatteryLimit}}, 1) {}

  struct Decision {
    // Why the host must shut down now: given once, never again (until Reset), whatever the UPSes
    // do afterwards.
    std::optional<std::string> shutDown;
    // While below the minimum with an FSD among the reasons: the shutdown it orders, which the
    // power's return does not undo. Given each time.
    std::optional<std::string> forced;
    // Enough supplies on utility power again: what lets a failed shutdown be abandoned.
    bool powerBack = false;
    // The machine's margin has just gone (true: fewer supplies fed than it runs on) or come back
    // (false), with what to say.
    std::optional<bool> suppliesLow;
    std::string said;
    // With `shutDown` or `forced`: the UPSes (their indices) that feed this machine and no longer
    // do for the power failure's sake, the ones to turn off once it is down. A UPS on utility
    // power, or one watched only, never is.
    std::vector<std::size_t> orderedOff;
  };
  // Each poll of the UPS `unit` (its index).
  Decision Decide(std::size_t unit, const Observation& observation);
  // The single UPS's poll: why to shut down, once.
  std::optional<std::string> Decide(const Observation& observation) {
    return Decide(0, observation).shutDown;
  }
  // The shutdown was abandoned: decide afresh.
  void Reset() { decided_ = false; }
  void SetOnBatteryLimit(std::size_t unit, std::chrono::seconds limit);
  void SetOnBatteryLimit(std::chrono::seconds limit) { SetOnBatteryLimit(0, limit); }
  // A primary's FSD for the UPS `unit`; the next Decide acts on it.
  void Force(std::size_t unit, std::string reason) {
    units_.at(unit).judge.Force(std::move(reason));
  }
  // From any thread.
  SupplyFacts Facts() const;

 private:
  struct Watched {
    Supply supply;
    FeedJudge judge;
    Feeding last;
  };
  std::vector<Watched> units_;
  std::uint32_t minimum_;
  bool decided_ = false;
  std::optional<bool> low_;  // the margin as last said; nothing until every UPS was heard
  mutable std::mutex factsMutex_;
  SupplyFacts facts_;
};

}  // namespace corvale::host
