#include "host/status_board.h"

namespace corvale::host {

StatusBoard::StatusBoard(std::string ups) {
  snapshot_.ups = std::move(ups);
  snapshot_.startedAt = std::chrono::system_clock::now();
  for (int kind = 0; kind <= static_cast<int>(kLastEventKind); ++kind) {
    snapshot_.eventsByKind[EventName(static_cast<EventKind>(kind))] = 0;
  }
}

void StatusBoard::SetSharing(std::function<SharingFacts()> sharing) {
  std::lock_guard lock(mutex_);
  sharing_ = std::move(sharing);
}

void StatusBoard::SetShutdown(Shutdown shutdown) {
  std::lock_guard lock(mutex_);
  shutdown_ = std::move(shutdown);
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

void StatusBoard::SetBatteryMeasures(const std::vector<BatteryMeasure>& measures) {
  std::lock_guard lock(mutex_);
  if (snapshot_.batterySecondsToLow || measures.empty()) return;
  const auto first =
      measures.size() > kBatteryMeasures ? measures.end() - kBatteryMeasures : measures.begin();
  snapshot_.batteryMeasures.assign(first, measures.end());
  snapshot_.batterySecondsToLow = measures.back().secondsToLow;
}

void StatusBoard::OnPoll(const Observation& observation) {
  std::lock_guard lock(mutex_);
  snapshot_.state = observation.polled;
  snapshot_.communicating = !observation.linkLost;
  if (observation.polled != 8) {
    ++snapshot_.pollsValid;
    snapshot_.lastValidPoll = std::chrono::system_clock::now();
    snapshot_.flags = observation.flags;
    snapshot_.statusText = observation.statusText;
  } else {
    ++snapshot_.pollsFailed;
  }
}

void StatusBoard::OnEvent(const UpsEvent& event, std::chrono::system_clock::time_point when) {
  std::lock_guard lock(mutex_);
  ++snapshot_.eventsByKind[EventName(event.kind)];
  if (event.kind == EventKind::kOnBattery && !snapshot_.onBatterySince) {
    startUnknown_ = !sawOnline_;
    ++snapshot_.powerFailures;
    snapshot_.onBatterySince = when;
  }
  if (event.kind == EventKind::kLowBattery && snapshot_.onBatterySince && !lowThisFailure_ &&
      !startUnknown_ && when - *snapshot_.onBatterySince >= kArrivedLow) {
    snapshot_.batterySecondsToLow =
        std::chrono::duration<double>(when - *snapshot_.onBatterySince).count();
    snapshot_.batteryMeasures.push_back({when, *snapshot_.batterySecondsToLow});
    if (snapshot_.batteryMeasures.size() > kBatteryMeasures) snapshot_.batteryMeasures.pop_front();
    lowThisFailure_ = true;
  }
  if (event.kind == EventKind::kOnline) lowThisFailure_ = startUnknown_ = false;
  if (event.kind == EventKind::kOnline) sawOnline_ = true;
  if (event.kind == EventKind::kOnline && snapshot_.onBatterySince) {
    snapshot_.onBatterySecondsTotal +=
        std::chrono::duration<double>(when - *snapshot_.onBatterySince).count();
    snapshot_.onBatterySince.reset();
  }
  snapshot_.recentEvents.push_back(
      {when, EventName(event.kind), snapshot_.ups, event.state, event.message, std::nullopt});
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
  if (copy.onBatterySince) {
    copy.onBatterySecondsTotal +=
        std::chrono::duration<double>(copy.now - *copy.onBatterySince).count();
  }
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
