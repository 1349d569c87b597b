#include "host/plan/coordinator.h"

#include <algorithm>
#include <cstdio>

#include "host/plan/wake.h"

namespace corvale::host::plan {

namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", seconds);
  return text;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string joined;
  for (const auto& word : words) joined += (joined.empty() ? "" : ", ") + word;
  return joined;
}

}  // namespace

double BatteryNeeds(const Config& config, const std::map<std::string, double>& shutdownTimes) {
  double latest = config.shutdown.onBatterySeconds;
  for (const auto& stage : config.stages) {
    if (stage.when == Config::Stage::When::kAfterSeconds) {
      latest = std::max<double>(latest, stage.afterSeconds);
    }
  }
  double slowest = 0;
  for (const auto& [user, seconds] : shutdownTimes) slowest = std::max(slowest, seconds);
  return latest + slowest + kBatteryMarginSeconds;
}

std::map<std::string, double> ShutdownTimes(const std::vector<HistoryRecord>& records) {
  std::map<std::string, double> times;
  for (const auto& record : records) {
    if (record.event == "machine-down" && !record.user.empty() && record.shutdownSeconds) {
      times[record.user] = *record.shutdownSeconds;  // oldest first: the last one stays
    }
  }
  return times;
}

Coordinator::Coordinator(const Config& config, Actions actions, Logger& log)
    : actions_(std::move(actions)),
      log_(log),
      config_(config),
      runner_(config.stages, std::chrono::seconds(config.plan.wakeAfterSeconds)) {}

void Coordinator::Observe(const Observation& observation) {
  std::vector<Config::Stage> due, released, woken;
  bool ended = false;
  std::string wakeAddress;
  std::uint32_t wakeAfter = 0;
  {
    std::lock_guard lock(mutex_);
    const auto actions = runner_.Observe(observation);
    ended = actions.failureEnded;
    if (actions.Empty() && !ended) return;
    for (auto i : actions.due) due.push_back(runner_.Stages()[i]);
    for (auto i : actions.released) released.push_back(runner_.Stages()[i]);
    for (auto i : actions.wake) woken.push_back(runner_.Stages()[i]);
    wakeAddress = config_.plan.wakeAddress;
    wakeAfter = config_.plan.wakeAfterSeconds;
  }
  for (const auto& stage : due) {
    const std::string message = "stage \"" + stage.name + "\" goes (" + WhenText(stage) +
                                "): FSD for " + Joined(stage.users);
    log_.Log(Priority::kWarning, message);
    actions_.force(stage.users);
    actions_.record("stage", message);
  }
  for (const auto& stage : released) {
    log_.Log(Priority::kNotice, "the power is back: stage \"" + stage.name +
                                    "\"'s FSD ends once its machines have logged out");
  }
  // Every user's, those a reload took out of the plan too.
  if (ended) actions_.release();
  for (const auto& stage : woken) {
    std::string error;
    const bool sent = SendMagicPackets(wakeAddress, stage.wake, &error);
    const std::string message = sent ? "woke stage \"" + stage.name + "\" (" + Joined(stage.wake) +
                                           " via " + wakeAddress + "): the power has been back " +
                                           std::to_string(wakeAfter) + " s"
                                     : "could not wake stage \"" + stage.name + "\": " + error;
    log_.Log(sent ? Priority::kNotice : Priority::kError, message);
    actions_.record("wake", message);
  }
}

void Coordinator::Reconfigure(const Config& config) {
  std::optional<std::pair<EventKind, std::string>> change;
  std::vector<std::string> dueUsers;
  {
    std::lock_guard lock(mutex_);
    config_ = config;
    runner_.Reconfigure(config.stages, std::chrono::seconds(config.plan.wakeAfterSeconds));
    // A stage that has gone in this failure and now names more machines: they go too.
    const auto due = runner_.Due();
    for (std::size_t i = 0; i < due.size(); ++i) {
      if (!due[i]) continue;
      const auto& users = runner_.Stages()[i].users;
      dueUsers.insert(dueUsers.end(), users.begin(), users.end());
    }
    change = Judge();
  }
  if (!dueUsers.empty()) actions_.force(dueUsers);
  if (change) actions_.raise(change->first, change->second);
}

void Coordinator::MachineDown(const std::string& user, double seconds) {
  std::optional<std::pair<EventKind, std::string>> change;
  {
    std::lock_guard lock(mutex_);
    shutdownTimes_[user] = seconds;
    change = Judge();
  }
  if (change) actions_.raise(change->first, change->second);
}

void Coordinator::SeedShutdownTimes(std::map<std::string, double> times) {
  std::lock_guard lock(mutex_);
  shutdownTimes_ = std::move(times);
}

void Coordinator::BatteryMeasured(double secondsToLow) {
  std::optional<std::pair<EventKind, std::string>> change;
  {
    std::lock_guard lock(mutex_);
    secondsToLow_ = secondsToLow;
    change = Judge();
  }
  if (change) actions_.raise(change->first, change->second);
}

std::optional<std::pair<EventKind, std::string>> Coordinator::Judge() {
  // Without stages there is no plan to carry: this machine's own limit is its own business.
  if (!secondsToLow_ || (config_.stages.empty() && !weak_)) return std::nullopt;
  const double needs = BatteryNeeds(config_, shutdownTimes_);
  const bool weak = !config_.stages.empty() && *secondsToLow_ < needs;
  if (weak == weak_) return std::nullopt;
  weak_ = weak;
  const std::string figures =
      "the battery last ran low after " + Seconds(*secondsToLow_) +
      " on battery; the shutdown plan needs " + Seconds(needs) +
      " (its latest stage, the slowest machine's shutdown and a margin of " +
      Seconds(kBatteryMarginSeconds) + ")";
  if (weak) {
    return std::pair{EventKind::kBatteryWeak,
                     figures + ": replace the battery, or let the stages go earlier"};
  }
  return std::pair{EventKind::kBatteryWeakEnded, figures};
}

PlanFacts Coordinator::Facts() const {
  const auto loggedIn =
      actions_.loggedIn ? actions_.loggedIn() : std::map<std::string, std::vector<std::string>>{};
  std::lock_guard lock(mutex_);
  PlanFacts facts;
  const auto gone = runner_.Gone();
  const auto machine = [&](const std::string& user) {
    PlanFacts::Machine entry{user, {}, std::nullopt};
    if (const auto found = loggedIn.find(user); found != loggedIn.end()) {
      entry.addresses = found->second;
    }
    if (const auto time = shutdownTimes_.find(user); time != shutdownTimes_.end()) {
      entry.lastShutdownSeconds = time->second;
    }
    return entry;
  };
  std::vector<std::string> planned;
  for (std::size_t i = 0; i < runner_.Stages().size(); ++i) {
    const auto& stage = runner_.Stages()[i];
    PlanFacts::Stage entry;
    entry.name = stage.name;
    entry.when = WhenText(stage);
    if (stage.when == Config::Stage::When::kAfterSeconds) entry.afterSeconds = stage.afterSeconds;
    entry.gone = gone[i];
    for (const auto& user : stage.users) {
      entry.machines.push_back(machine(user));
      planned.push_back(user);
    }
    entry.wake = stage.wake;
    facts.stages.push_back(std::move(entry));
  }
  for (const auto& [user, addresses] : loggedIn) {
    if (std::find(planned.begin(), planned.end(), user) == planned.end()) {
      facts.withThisMachine.push_back(machine(user));
    }
  }
  if (!config_.stages.empty()) facts.needsSeconds = BatteryNeeds(config_, shutdownTimes_);
  facts.batteryWeak = weak_;
  return facts;
}

}  // namespace corvale::host::plan
