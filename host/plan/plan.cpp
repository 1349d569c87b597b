#include "host/plan/plan.h"

#include <algorithm>
#include <cctype>

namespace corvale::host::plan {

std::string WhenText(const Config::Stage& stage) {
  switch (stage.when) {
    case Config::Stage::When::kAfterSeconds:
      return "after " + std::to_string(stage.afterSeconds) + " s on battery";
    case Config::Stage::When::kLowBattery:
      return "at low battery";
    case Config::Stage::When::kLost:
      return "when the UPS is lost on battery";
  }
  return "";
}

PlanRunner::PlanRunner(std::vector<Config::Stage> stages, std::chrono::seconds wakeAfter)
    : stages_(std::move(stages)),
      wakeAfter_(wakeAfter),
      gone_(stages_.size(), false),
      sleeping_(stages_.size(), false) {}

void PlanRunner::Reconfigure(std::vector<Config::Stage> stages, std::chrono::seconds wakeAfter) {
  std::vector<bool> gone(stages.size(), false), sleeping(stages.size(), false);
  for (std::size_t i = 0; i < stages.size(); ++i) {
    for (std::size_t j = 0; j < stages_.size(); ++j) {
      if (stages_[j].name != stages[i].name) continue;
      gone[i] = gone_[j];
      sleeping[i] = sleeping_[j];
    }
  }
  stages_ = std::move(stages);
  wakeAfter_ = wakeAfter;
  gone_ = std::move(gone);
  sleeping_ = std::move(sleeping);
}

void PlanRunner::Resume(std::optional<Clock::time_point> onBatterySince,
                        const std::vector<std::string>& gone,
                        const std::vector<std::string>& sleeping) {
  onBatterySince_ = onBatterySince;
  const auto named = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    gone_[i] = named(gone, stages_[i].name);
    sleeping_[i] = !gone_[i] && named(sleeping, stages_[i].name);
    unheld_ = unheld_ || sleeping_[i];
  }
}

PlanRunner::Actions PlanRunner::Observe(const Observation& observation) {
  Actions actions;
  latest_ = observation.when;
  // The last state seen counts through a loss: a UPS lost on battery is still on battery.
  const bool onBattery = observation.state == 2 || observation.state == 4;
  const bool online = observation.state == 1 && !observation.linkLost;
  if (online) {
    actions.failureEnded = onBatterySince_.has_value();
    onBatterySince_.reset();
    unheld_ = unheld_ || actions.failureEnded;
    for (std::size_t i = 0; i < stages_.size(); ++i) {
      if (!gone_[i]) continue;
      gone_[i] = false;
      sleeping_[i] = true;
      actions.released.push_back(i);
    }
    if (!powerBackSince_) powerBackSince_ = observation.when;
    if (unheld_ && observation.when - *powerBackSince_ >= wakeAfter_) {
      unheld_ = false;
      actions.powerHeld = true;
      for (std::size_t i = 0; i < stages_.size(); ++i) {
        if (!sleeping_[i]) continue;
        sleeping_[i] = false;
        if (!stages_[i].wake.empty()) actions.wake.push_back(i);
      }
    }
    return actions;
  }
  powerBackSince_.reset();
  if (!onBattery) return actions;  // never seen, or lost while the power was there
  if (!onBatterySince_) onBatterySince_ = observation.when;
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    if (gone_[i]) continue;
    const auto& stage = stages_[i];
    bool due = false;
    switch (stage.when) {
      case Config::Stage::When::kAfterSeconds:
        due = observation.when - *onBatterySince_ >= std::chrono::seconds(stage.afterSeconds);
        break;
      case Config::Stage::When::kLowBattery:
        due = observation.state == 4 && !observation.linkLost;
        break;
      case Config::Stage::When::kLost:
        due = observation.linkLost;
        break;
    }
    if (!due) continue;
    gone_[i] = true;
    sleeping_[i] = false;  // down again before it was woken: woken after this failure instead
    actions.due.push_back(i);
  }
  return actions;
}

void PlanRunner::WakeLater(const std::string& name) {
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    if (stages_[i].name != name || gone_[i]) continue;
    sleeping_[i] = true;
    unheld_ = true;
  }
}

std::vector<bool> PlanRunner::Gone() const {
  std::vector<bool> gone = gone_;
  for (std::size_t i = 0; i < gone.size(); ++i) gone[i] = gone[i] || sleeping_[i];
  return gone;
}

std::optional<std::chrono::seconds> PlanRunner::OnBatteryFor() const {
  if (!onBatterySince_) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::seconds>(latest_ - *onBatterySince_);
}

std::string MagicPacket(const std::string& mac) {
  if (mac.size() != 17) return "";
  std::string address;
  for (std::size_t i = 0; i < mac.size(); i += 3) {
    if (!std::isxdigit(static_cast<unsigned char>(mac[i])) ||
        !std::isxdigit(static_cast<unsigned char>(mac[i + 1])) ||
        (i + 2 < mac.size() && mac[i + 2] != ':' && mac[i + 2] != '-')) {
      return "";
    }
    address += static_cast<char>(std::stoi(mac.substr(i, 2), nullptr, 16));
  }
  std::string packet(6, '\xFF');
  for (int i = 0; i < 16; ++i) packet += address;
  return packet;
}

}  // namespace corvale::host::plan
