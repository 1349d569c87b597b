#include "host/policy.h"

namespace corvale::host {

Feeding FeedJudge::Judge(const Observation& observation) {
  Feeding feeding;
  const bool onBattery = observation.state == 2 || observation.state == 4;
  if (!onBattery) {
    onBatterySince_.reset();
  } else if (!onBatterySince_) {
    onBatterySince_ = observation.when;
  }
  feeding.online =
      observation.polled == 1 && !observation.linkLost && !observation.flags.lowBattery;
  if (forcedBy_ || observation.forcedShutdown) {
    feeding.known = true;
    feeding.forced = true;
    feeding.online = false;  // ordered down: its power's return changes nothing
    feeding.powerReason = forcedBy_.value_or("the NUT server ordered this machine down (FSD)");
    feeding.why = feeding.powerReason;
    return feeding;
  }
  if (observation.state == 0) {
    // Never a valid reply: unknown, so not counted once it counts as lost (fail safe).
    if (!observation.linkLost) return feeding;
    feeding.known = true;
    feeding.why = "it has not answered since the service started";
    return feeding;
  }
  feeding.known = true;
  if (observation.linkLost) {
    // On battery, nobody can tell how much is left: as good as low.
    if (onBattery) {
      feeding.powerReason = "communication with the UPS is lost while it runs on battery";
    }
    feeding.why = onBattery ? feeding.powerReason : "communication with it is lost";
    return feeding;
  }
  if (observation.state == 4) {
    feeding.powerReason = feeding.why = "the UPS's battery is low";
    return feeding;
  }
  if (onBattery && onBatteryLimit_.count() > 0 &&
      observation.when - *onBatterySince_ >= onBatteryLimit_) {
    feeding.powerReason = feeding.why =
        "the UPS has run on battery for " + std::to_string(onBatteryLimit_.count()) + " s";
    return feeding;
  }
  feeding.feeds = true;
  return feeding;
}

ShutdownPolicy::ShutdownPolicy(std::vector<Supply> units, std::uint32_t minSupplies)
    : minimum_(minSupplies) {
  for (auto& supply : units) {
    const auto limit = supply.onBatteryLimit;
    units_.push_back({std::move(supply), FeedJudge(limit), {}});
  }
}

void ShutdownPolicy::SetOnBatteryLimit(std::size_t unit, std::chrono::seconds limit) {
  units_.at(unit).supply.onBatteryLimit = limit;
  units_.at(unit).judge.SetOnBatteryLimit(limit);
}

ShutdownPolicy::Decision ShutdownPolicy::Decide(std::size_t unit, const Observation& observation) {
  units_.at(unit).last = units_[unit].judge.Judge(observation);
  std::uint32_t fed = 0, unheard = 0, online = 0, total = 0;
  for (const auto& watched : units_) {
    const auto supplies = watched.supply.supplies;
    total += supplies;
    if (!watched.last.known) unheard += supplies;
    if (watched.last.feeds) fed += supplies;
    if (watched.last.online) online += supplies;
  }
  const bool several = units_.size() > 1;
  // What each UPS that does not feed says; one UPS's words are the machine's.
  const auto reasons = [&](bool powerOnly) {
    std::string said;
    for (const auto& watched : units_) {
      if (!watched.last.known || watched.last.feeds || watched.supply.supplies == 0) continue;
      if (powerOnly && watched.last.powerReason.empty()) continue;
      const std::string& why = powerOnly ? watched.last.powerReason : watched.last.why;
      said += (said.empty() ? "" : "; ") + (several ? watched.supply.name + ": " + why : why);
    }
    return said;
  };
  const auto count = [&] {
    return std::to_string(fed) + " of this machine's " + std::to_string(total) +
           " power supplies " + (fed == 1 ? "is" : "are") +
           " fed by a UPS that is well, and it runs on no fewer than " + std::to_string(minimum_);
  };
  Decision decision;
  decision.powerBack = online >= minimum_;
  // Certain either way: a UPS not heard yet could not change it.
  const bool below = fed + unheard < minimum_;
  const bool enough = fed >= minimum_;
  if (below) {
    bool forced = false, power = false;
    for (const auto& watched : units_) {
      if (watched.supply.supplies == 0 || watched.last.feeds) continue;
      forced = forced || watched.last.forced;
      power = power || !watched.last.powerReason.empty();
    }
    const std::string why = several ? count() + " (" + reasons(false) + ")" : reasons(true);
    if (forced) decision.forced = why;
    if (power && !decided_) {
      decided_ = true;
      decision.shutDown = why;
    }
    if (decision.forced || decision.shutDown) {
      for (std::size_t index = 0; index < units_.size(); ++index) {
        const auto& watched = units_[index];
        if (watched.supply.supplies == 0 || watched.last.feeds) continue;
        if (watched.last.forced || !watched.last.powerReason.empty()) {
          decision.orderedOff.push_back(index);
        }
      }
    }
  }
  if (several && below && low_ != true) {
    low_ = true;
    decision.suppliesLow = true;
    decision.said = count() + ": " + reasons(false);
  } else if (several && enough && !low_) {
    low_ = false;  // the first verdict: no news when all is well
  } else if (several && enough && *low_) {
    low_ = false;
    decision.suppliesLow = false;
    decision.said = count() + " again";
  }
  std::lock_guard lock(factsMutex_);
  facts_.units.clear();
  for (const auto& watched : units_) {
    facts_.units.push_back({watched.supply.name, watched.supply.supplies, watched.last.known,
                            watched.last.feeds, watched.last.why,
                            !watched.last.powerReason.empty()});
  }
  facts_.fed = fed;
  facts_.minimum = minimum_;
  return decision;
}

SupplyFacts ShutdownPolicy::Facts() const {
  std::lock_guard lock(factsMutex_);
  return facts_;
}

}  // namespace corvale::host
