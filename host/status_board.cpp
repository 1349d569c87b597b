#include "host/status_board.h"

namespace corvale::host {

StatusBoard::StatusBoard(std::vector<std::string> upses) {
  if (upses.empty()) upses.emplace_back();
  for (auto& name : upses) {
    UpsStatus ups;
    ups.ups = std::move(name);
    for (int kind = 0; kind <= static_cast<int>(kLastEventKind); ++kind) {
      ups.eventsByKind[EventName(static_cast<EventKind>(kind))] = 0;
    }
    snapshot_.upses.push_back(std::move(ups));
  }
  watches_.resize(snapshot_.upses.size());
  snapshot_.startedAt = std::chrono::system_clock::now();
}

void StatusBoard::SetSharing(std::function<SharingFacts()> sharing) {
  std::lock_guard lock(mutex_);
  sharing_ = std::move(sharing);
}

void StatusBoard::SetShutdown(Shutdown shutdown) {
  std::lock_guard lock(mutex_);
  shutdown_ = std::move(shutdown);
}

FollowingFacts AllFollowed(const std::vector<FollowingFacts>& each) {
  if (each.size() <= 1) return each.empty() ? FollowingFacts{} : each.front();
  FollowingFacts all;
  all.connected = true;
  for (const auto& one : each) {
    all.server += (all.server.empty() ? "" : ", ") + one.server;
    if (one.connected) continue;
    all.connected = false;
    all.problem += (all.problem.empty() ? "" : "; ") + one.server + ": " + one.problem;
  }
  return all;
}

void StatusBoard::SetFollowing(std::function<FollowingFacts()> following) {
  std::lock_guard lock(mutex_);
  following_ = std::move(following);
}

void StatusBoard::SetPlan(std::function<PlanFacts()> plan) {
  std::lock_guard lock(mutex_);
  plan_ = std::move(plan);
}

void StatusBoard::SetNotifications(
    std::function<std::vector<notify::NotifyFacts>()> notifications) {
  std::lock_guard lock(mutex_);
  notifications_ = std::move(notifications);
}

void StatusBoard::SetShutdownReady(std::function<bool()> ready) {
  std::lock_guard lock(mutex_);
  shutdownReady_ = std::move(ready);
}

std::optional<double> StatusBoard::BatterySecondsToLow(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= snapshot_.upses.size()) return std::nullopt;
  return snapshot_.upses[index].batterySecondsToLow;
}

void StatusBoard::SetBatteryMeasures(std::size_t index,
                                     const std::vector<BatteryMeasure>& measures) {
  std::lock_guard lock(mutex_);
  if (index >= snapshot_.upses.size()) return;
  auto& ups = snapshot_.upses[index];
  if (ups.batterySecondsToLow || measures.empty()) return;
  const auto first =
      measures.size() > kBatteryMeasures ? measures.end() - kBatteryMeasures : measures.begin();
  ups.batteryMeasures.assign(first, measures.end());
  ups.batterySecondsToLow = measures.back().secondsToLow;
}

void StatusBoard::OnPoll(std::size_t index, const Observation& observation) {
  std::lock_guard lock(mutex_);
  if (index >= snapshot_.upses.size()) return;
  auto& ups = snapshot_.upses[index];
  ups.state = observation.polled;
  ups.communicating = !observation.linkLost;
  if (observation.polled != 8) {
    ++ups.pollsValid;
    ups.lastValidPoll = std::chrono::system_clock::now();
    ups.flags = observation.flags;
    ups.statusText = observation.statusText;
  } else {
    ++ups.pollsFailed;
  }
}

void StatusBoard::OnEvent(const UpsEvent& event, std::chrono::system_clock::time_point when) {
  std::lock_guard lock(mutex_);
  // The UPS it names; the service's own events (and a name not watched) count in the first's.
  std::size_t index = 0;
  for (std::size_t i = 0; i < snapshot_.upses.size(); ++i) {
    if (!event.ups.empty() && snapshot_.upses[i].ups == event.ups) index = i;
  }
  auto& ups = snapshot_.upses[index];
  auto& watch = watches_[index];
  ++ups.eventsByKind[EventName(event.kind)];
  if (event.kind == EventKind::kOnBattery && !ups.onBatterySince) {
    watch.startUnknown = !watch.sawOnline;
    ++ups.powerFailures;
    ups.onBatterySince = when;
  }
  if (event.kind == EventKind::kLowBattery && ups.onBatterySince && !watch.lowThisFailure &&
      !watch.startUnknown && when - *ups.onBatterySince >= kArrivedLow) {
    ups.batterySecondsToLow = std::chrono::duration<double>(when - *ups.onBatterySince).count();
    ups.batteryMeasures.push_back({when, *ups.batterySecondsToLow});
    if (ups.batteryMeasures.size() > kBatteryMeasures) ups.batteryMeasures.pop_front();
    watch.lowThisFailure = true;
  }
  if (event.kind == EventKind::kOnline) watch.lowThisFailure = watch.startUnknown = false;
  if (event.kind == EventKind::kOnline) watch.sawOnline = true;
  if (event.kind == EventKind::kOnline && ups.onBatterySince) {
    ups.onBatterySecondsTotal += std::chrono::duration<double>(when - *ups.onBatterySince).count();
    ups.onBatterySince.reset();
  }
  snapshot_.recentEvents.push_back(
      {when, EventName(event.kind), ups.ups, event.state, event.message, std::nullopt});
  if (snapshot_.recentEvents.size() > kRecentEvents) snapshot_.recentEvents.pop_front();
}

StatusSnapshot StatusBoard::Snapshot() const {
  std::function<SharingFacts()> sharing;
  Shutdown shutdown;
  std::function<bool()> ready;
  std::function<FollowingFacts()> following;
  std::function<PlanFacts()> plan;
  std::function<std::vector<notify::NotifyFacts>()> notifications;
  StatusSnapshot copy;
  {
    std::lock_guard lock(mutex_);
    copy = snapshot_;
    sharing = sharing_;
    shutdown = shutdown_;
    ready = shutdownReady_;
    following = following_;
    plan = plan_;
    notifications = notifications_;
  }
  copy.now = std::chrono::system_clock::now();
  for (auto& ups : copy.upses) {
    if (ups.onBatterySince) {
      ups.onBatterySecondsTotal +=
          std::chrono::duration<double>(copy.now - *ups.onBatterySince).count();
    }
  }
  // The first UPS's at the top, as clients of a single UPS read it.
  static_cast<UpsStatus&>(copy) = copy.upses.front();
  // Asked outside the lock: they take locks of their own.
  if (sharing) copy.sharing = sharing();
  if (shutdown) std::tie(copy.shutdownPending, copy.shutdownWaitsFor) = shutdown();
  if (ready) copy.shutdownReady = ready();
  if (following) copy.following = following();
  if (plan) copy.plan = plan();
  if (notifications) copy.notify = notifications();
  return copy;
}

}  // namespace corvale::host
