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

std::vector<Config::Stage> StagesOf(const Config& config, std::size_t ups) {
  std::vector<Config::Stage> stages;
  for (const auto& stage : config.stages) {
    if (config.StageUps(stage) == ups) stages.push_back(stage);
  }
  return stages;
}

bool RecordOf(const Config& config, std::size_t ups, const HistoryRecord& record) {
  if (ups < config.upses.size() && record.ups == config.UnitName(config.upses[ups])) return true;
  return ups == 0 && !config.Watches(record.ups);
}

double BatteryNeeds(const Config& config, const std::map<std::string, double>& shutdownTimes,
                    std::size_t ups) {
  double latest =
      config.OnBatterySeconds(ups < config.upses.size() ? config.upses[ups] : config.ups());
  for (const auto& stage : StagesOf(config, ups)) {
    if (stage.when == Config::Stage::When::kAfterSeconds) {
      latest = std::max<double>(latest, stage.afterSeconds);
    }
  }
  double slowest = 0;
  for (const auto& [user, seconds] : shutdownTimes) slowest = std::max(slowest, seconds);
  return latest + slowest + kBatteryMarginSeconds;
}

ShutdownTime Slower(const ShutdownTime& kept, const ShutdownTime& measured) {
  if (measured.seconds > kept.seconds) return measured;
  if (measured.seconds == kept.seconds && measured.toClose) return measured;
  return kept;
}

std::string MeasuredText(const std::optional<ShutdownTime>& time) {
  if (!time) return "its shutdown not yet measured";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", time->seconds);
  return std::string("shuts down in ") + seconds + " after its FSD, measured " +
         (time->toClose ? "to its connection's close as it went down"
                        : "to its logout (the machine may need longer)");
}

std::map<std::string, ShutdownTime> ShutdownMeasures(const std::vector<HistoryRecord>& records) {
  std::map<std::string, ShutdownTime> times;
  for (const auto& record : records) {
    if (record.event != "machine-down" || record.user.empty() || !record.shutdownSeconds) continue;
    // A record older than the words measured to the logout.
    const ShutdownTime measured{*record.shutdownSeconds, record.measuredTo == "close"};
    const auto [found, added] = times.try_emplace(record.user, measured);
    if (!added) found->second = Slower(found->second, measured);
  }
  return times;
}

std::map<std::string, double> ShutdownTimes(const std::vector<HistoryRecord>& records) {
  std::map<std::string, double> times;
  for (const auto& [user, time] : ShutdownMeasures(records)) times[user] = time.seconds;
  return times;
}

Coordinator::Coordinator(const Config& config, Actions actions, Logger& log, std::size_t ups)
    : actions_(std::move(actions)),
      log_(log),
      ups_(ups),
      config_(config),
      runner_(StagesOf(config, ups), std::chrono::seconds(config.plan.wakeAfterSeconds)) {}

std::string Coordinator::UpsName() const {
  return ups_ < config_.upses.size() ? config_.UnitName(config_.upses[ups_]) : "";
}

std::string Coordinator::OfTheUps() const {
  return config_.upses.size() < 2 || ups_ >= config_.upses.size() ? "" : ", UPS " + UpsName();
}

void Coordinator::Resume(const std::vector<HistoryRecord>& all) {
  // Another UPS's failure, and the stages that went in it, are its own plan's.
  std::vector<HistoryRecord> records;
  for (const auto& record : all) {
    if (RecordOf(config_, ups_, record)) records.push_back(record);
  }
  // The battery's verdict as last said: said again only when it changes, not at each start.
  for (const auto& record : records) {
    if (record.event == "battery-weak" || record.event == "battery-weak-ended") {
      std::lock_guard lock(mutex_);
      weak_ = record.event == "battery-weak";
    }
  }
  // The last power failure: from its first "on-battery" (a restart meanwhile raises another) to
  // its "online", if it has ended.
  std::optional<std::size_t> failure, ended;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].event == "on-battery" && (!failure || ended)) failure = i, ended.reset();
    if (records[i].event == "online" && failure && !ended) ended = i;
  }
  // A failure older than any battery lasts is not this one.
  constexpr auto kLongestFailure = std::chrono::hours(24);
  if (!failure || std::chrono::system_clock::now() - records[*failure].time > kLongestFailure) {
    return;
  }
  std::unique_lock lock(mutex_);
  std::vector<std::string> went, woken;
  for (std::size_t i = *failure; i < records.size(); ++i) {
    for (const auto& stage : runner_.Stages()) {
      const auto& message = records[i].message;
      if (records[i].event == "stage" && message.starts_with("stage \"" + stage.name + "\" goes")) {
        went.push_back(stage.name);
      }
      if (records[i].event == "wake" &&
          (message.starts_with("woke stage \"" + stage.name + "\"") ||
           message.starts_with("could not wake stage \"" + stage.name + "\""))) {
        woken.push_back(stage.name);
      }
    }
  }
  std::erase_if(went, [&](const std::string& name) {
    return std::find(woken.begin(), woken.end(), name) != woken.end();
  });
  // Of a failure that has ended, only a stage with machines to wake has anything left to do: the
  // others are not "gone" any more.
  if (ended) {
    std::erase_if(went, [&](const std::string& name) {
      return std::none_of(
          runner_.Stages().begin(), runner_.Stages().end(),
          [&](const Config::Stage& stage) { return stage.name == name && !stage.wake.empty(); });
    });
  }
  if (went.empty() && ended) return;
  std::optional<Clock::time_point> since;
  if (!ended) {
    // The steady clock of this run, as far back as the wall clock says the failure began.
    const auto ago = std::chrono::system_clock::now() - records[*failure].time;
    since = Clock::now() - std::chrono::duration_cast<Clock::duration>(ago);
  }
  runner_.Resume(since, ended ? std::vector<std::string>{} : went,
                 ended ? went : std::vector<std::string>{});
  // The history only says the power was out when the last run ended: the stages that went get
  // FSD again once this run hears the UPS on battery, never before (the power may be back).
  unheard_ = !ended && !went.empty();
  lock.unlock();
  log_.Log(Priority::kNotice,
           ended ? "the plan goes on from the last run: stage(s) " + Joined(went) +
                       " went in the last power failure and are woken once the power has held"
                 : "the plan goes on from the last run: the power failed " +
                       Seconds(std::chrono::duration<double>(std::chrono::system_clock::now() -
                                                             records[*failure].time)
                                   .count()) +
                       " ago and was still out when that run ended" +
                       (went.empty() ? ""
                                     : "; gone already: " + Joined(went) +
                                           " (FSD again once the UPS is heard on battery)"));
}

void Coordinator::Observe(const Observation& observation) {
  std::vector<Config::Stage> due, released, woken;
  std::vector<std::string> resumedUsers;
  bool ended = false, held = false;
  {
    std::lock_guard lock(mutex_);
    // The first word of the UPS in this run: on battery, the stages the last run sent down go
    // again; online, the runner ends that failure and releases them.
    if (unheard_ && !observation.linkLost && observation.state != 0) {
      unheard_ = false;
      const bool onBattery = observation.state == 2 || observation.state == 4;
      const auto gone = runner_.Due();
      for (std::size_t i = 0; onBattery && i < gone.size(); ++i) {
        if (!gone[i]) continue;
        const auto& users = runner_.Stages()[i].users;
        resumedUsers.insert(resumedUsers.end(), users.begin(), users.end());
      }
    }
    const auto actions = runner_.Observe(observation);
    ended = actions.failureEnded;
    held = actions.powerHeld;
    for (auto i : actions.due) due.push_back(runner_.Stages()[i]);
    for (auto i : actions.released) released.push_back(runner_.Stages()[i]);
    for (auto i : actions.wake) woken.push_back(runner_.Stages()[i]);
  }
  if (!resumedUsers.empty()) {
    log_.Log(Priority::kWarning, "still on battery: FSD again for " + Joined(resumedUsers) +
                                     ", whose stage went before this run");
    actions_.force(resumedUsers);
  }
  // The power failed again (heard, not a lost link, which says nothing): a stage not woken yet
  // goes again, or is woken once the power has held after this failure.
  if (observation.state != 1 && !observation.linkLost && !wakes_.empty()) {
    std::lock_guard lock(mutex_);
    for (const auto& pending : wakes_) runner_.WakeLater(pending.stage.name);
    wakes_.clear();
  }
  for (const auto& stage : due) {
    const std::string message = "stage \"" + stage.name + "\" goes (" + WhenText(stage) +
                                OfTheUps() + "): FSD for " + Joined(stage.users);
    log_.Log(Priority::kWarning, message);
    actions_.force(stage.users);
    actions_.record("stage", message);
  }
  for (const auto& stage : released) {
    log_.Log(Priority::kNotice, "the power is back: stage \"" + stage.name +
                                    "\"'s machines that log in from now on stay up");
  }
  // Every user's, those a reload took out of the plan too.
  if (ended && actions_.powerBack) actions_.powerBack();
  if (held && actions_.releaseStages) actions_.releaseStages();
  for (auto& stage : woken) wakes_.push_back({std::move(stage)});
  // Through a lost link the power may have failed unheard: a wake-up waits for news.
  if (!wakes_.empty() && observation.state == 1 && !observation.linkLost) Wake(observation);
}

void Coordinator::Wake(const Observation& observation) {
  // A packet can be lost, and a machine may still be on its way down: sent a few times, apart.
  constexpr int kTries = 3;
  constexpr auto kTryEvery = std::chrono::seconds(3);
  std::string wakeAddress;
  std::uint32_t wakeAfter = 0;
  {
    std::lock_guard lock(mutex_);
    wakeAddress = config_.plan.wakeAddress;
    wakeAfter = config_.plan.wakeAfterSeconds;
  }
  for (auto& pending : wakes_) {
    if (observation.when < pending.next) continue;
    const auto& stage = pending.stage;
    // Woken while still up, a machine would power off after and stay off.
    if (const auto left = actions_.stageSessionsLeft ? actions_.stageSessionsLeft(stage.users) : 0;
        left != 0) {
      if (!pending.waitingSaid) {
        log_.Log(Priority::kInfo, "stage \"" + stage.name + "\" is woken once its machines (" +
                                      Joined(stage.users) + ") have logged out");
        pending.waitingSaid = true;
      }
      continue;
    }
    std::string error;
    const bool sent = SendMagicPackets(wakeAddress, stage.wake, &error);
    pending.next = observation.when + kTryEvery;
    ++pending.sent;
    if (pending.sent == 1 || !sent) {
      const std::string message = sent ? "woke stage \"" + stage.name + "\" (" +
                                             Joined(stage.wake) + " via " + wakeAddress +
                                             "): the power has held " + std::to_string(wakeAfter) +
                                             " s and its machines are down"
                                       : "could not wake stage \"" + stage.name + "\": " + error;
      log_.Log(sent ? Priority::kNotice : Priority::kError, message);
      actions_.record("wake", message);
    }
    if (!sent) pending.sent = kTries;
  }
  std::erase_if(wakes_, [](const PendingWake& pending) { return pending.sent >= kTries; });
}

void Coordinator::Reconfigure(const Config& config) {
  std::optional<std::pair<EventKind, std::string>> change;
  std::vector<std::string> dueUsers;
  {
    std::lock_guard lock(mutex_);
    config_ = config;
    runner_.Reconfigure(StagesOf(config, ups_), std::chrono::seconds(config.plan.wakeAfterSeconds));
    // A stage that has gone in this failure and now names more machines: they go too (once the
    // UPS is heard on battery, for a failure the last run left).
    const auto due = runner_.Due();
    for (std::size_t i = 0; !unheard_ && i < due.size(); ++i) {
      if (!due[i]) continue;
      const auto& users = runner_.Stages()[i].users;
      dueUsers.insert(dueUsers.end(), users.begin(), users.end());
    }
    change = Judge();
  }
  if (!dueUsers.empty()) actions_.force(dueUsers);
  if (change) actions_.raise(change->first, change->second);
}

void Coordinator::MachineDown(const std::string& user, double seconds, bool toClose) {
  std::optional<std::pair<EventKind, std::string>> change;
  {
    std::lock_guard lock(mutex_);
    const ShutdownTime measured{seconds, toClose};
    const auto [found, added] = shutdownTimes_.try_emplace(user, measured);
    if (!added) found->second = Slower(found->second, measured);
    change = Judge();
  }
  if (change) actions_.raise(change->first, change->second);
}

void Coordinator::SeedShutdownTimes(std::map<std::string, ShutdownTime> times) {
  std::lock_guard lock(mutex_);
  shutdownTimes_ = std::move(times);
}

void Coordinator::SeedShutdownTimes(const std::map<std::string, double>& times) {
  std::map<std::string, ShutdownTime> measures;
  for (const auto& [user, seconds] : times) measures[user] = {seconds, false};
  SeedShutdownTimes(std::move(measures));
}

std::map<std::string, double> Coordinator::SecondsByUser() const {
  std::map<std::string, double> seconds;
  for (const auto& [user, time] : shutdownTimes_) seconds[user] = time.seconds;
  return seconds;
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
  const bool planned = !runner_.Stages().empty();
  if (!secondsToLow_ || (!planned && !weak_)) return std::nullopt;
  const double needs = BatteryNeeds(config_, SecondsByUser(), ups_);
  const bool weak = planned && *secondsToLow_ < needs;
  if (weak == weak_) return std::nullopt;
  weak_ = weak;
  const std::string battery = config_.upses.size() > 1 && ups_ < config_.upses.size()
                                  ? "the battery of the UPS " + UpsName()
                                  : std::string("the battery");
  const std::string figures =
      battery + " last ran low after " + Seconds(*secondsToLow_) +
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
      entry.lastShutdownSeconds = time->second.seconds;
      entry.shutdownMeasuredToClose = time->second.toClose;
    }
    return entry;
  };
  std::vector<std::string> planned;
  for (std::size_t i = 0; i < runner_.Stages().size(); ++i) {
    const auto& stage = runner_.Stages()[i];
    PlanFacts::Stage entry;
    entry.name = stage.name;
    entry.ups = UpsName();
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
  if (!runner_.Stages().empty()) {
    facts.needsSeconds = BatteryNeeds(config_, SecondsByUser(), ups_);
  }
  facts.batteryWeak = weak_;
  facts.upses.push_back({UpsName(), facts.needsSeconds, weak_});
  return facts;
}

PlanFacts MergedFacts(const Config& config, const std::vector<PlanFacts>& each) {
  PlanFacts merged;
  for (const auto& facts : each) {
    merged.stages.insert(merged.stages.end(), facts.stages.begin(), facts.stages.end());
    merged.upses.insert(merged.upses.end(), facts.upses.begin(), facts.upses.end());
    if (!merged.needsSeconds) merged.needsSeconds = facts.needsSeconds;
    merged.batteryWeak = merged.batteryWeak || facts.batteryWeak;
  }
  const auto place = [&](const PlanFacts::Stage& stage) {
    const auto found = std::find_if(
        config.stages.begin(), config.stages.end(),
        [&](const Config::Stage& configured) { return configured.name == stage.name; });
    return found - config.stages.begin();
  };
  std::stable_sort(merged.stages.begin(), merged.stages.end(),
                   [&](const auto& a, const auto& b) { return place(a) < place(b); });
  // A machine logged in to several UPSes, in no stage: once, from each address.
  const auto planned = [&](const std::string& user) {
    return std::any_of(merged.stages.begin(), merged.stages.end(), [&](const auto& stage) {
      return std::any_of(stage.machines.begin(), stage.machines.end(),
                         [&](const auto& machine) { return machine.user == user; });
    });
  };
  for (const auto& facts : each) {
    for (const auto& machine : facts.withThisMachine) {
      if (planned(machine.user)) continue;
      auto known = std::find_if(merged.withThisMachine.begin(), merged.withThisMachine.end(),
                                [&](const auto& entry) { return entry.user == machine.user; });
      if (known == merged.withThisMachine.end()) {
        merged.withThisMachine.push_back(machine);
        continue;
      }
      for (const auto& address : machine.addresses) {
        if (std::find(known->addresses.begin(), known->addresses.end(), address) ==
            known->addresses.end()) {
          known->addresses.push_back(address);
        }
      }
    }
  }
  return merged;
}

}  // namespace corvale::host::plan
