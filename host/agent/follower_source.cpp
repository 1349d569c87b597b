#include "host/agent/follower_source.h"

#include <algorithm>
#include <sstream>

#include "host/nut/nut_client.h"

namespace corvale::host::agent {

Observation ObservationFromStatus(const std::string& status, Clock::time_point when) {
  Observation observation;
  observation.when = when;
  observation.polled = nut::StateFromStatus(status);
  observation.state = observation.polled == 8 ? 0 : observation.polled;
  observation.statusText = status;
  std::istringstream words(status);
  for (std::string word; words >> word;) {
    observation.flags.onBattery = observation.flags.onBattery || word == "OB";
    observation.flags.lowBattery = observation.flags.lowBattery || word == "LB";
    observation.flags.overload = observation.flags.overload || word == "OVER";
    observation.flags.batteryFailed = observation.flags.batteryFailed || word == "RB";
    observation.forcedShutdown = observation.forcedShutdown || word == "FSD";
  }
  return observation;
}

namespace {

// Reconnecting waits at most a quarter of the deadtime (a half more with the random part), so that
// a server back within it is found before the UPS counts as lost.
FollowerOptions WithinDeadtime(FollowerOptions options, std::chrono::milliseconds deadtime) {
  const auto longest = std::max(options.firstBackoff, deadtime / 4);
  options.longestBackoff = std::min(options.longestBackoff, longest);
  return options;
}

}  // namespace

FollowerSource::FollowerSource(FollowerOptions options, std::chrono::milliseconds deadtime,
                               Logger& log, Listener onObservation)
    : server_(options.server),
      pollEvery_(options.pollEvery),
      deadtime_(deadtime),
      onObservation_(std::move(onObservation)),
      follower_(WithinDeadtime(std::move(options), deadtime), log,
                [this](const Reading& reading) { OnReading(reading); }) {
  facts_.server = server_;
  facts_.problem = "not connected yet";
}

FollowerSource::~FollowerSource() {
  Stop();
}

void FollowerSource::OnReading(const Reading& reading) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  facts_.connected = false;
  if (!reading.reached) {
    facts_.problem = reading.reason;
  } else if (auto seen = ObservationFromStatus(reading.status, now); seen.state == 0) {
    // FSD without OL or OB (a primary that lost its UPS still tells its secondaries to go).
    facts_.problem = "the server does not say whether the UPS is on line or on battery";
    if (seen.forcedShutdown) {
      if (known_) seen.state = known_->state, seen.flags = known_->flags;
      known_ = seen;
    }
  } else {
    facts_.connected = true;
    facts_.problem.clear();
    known_ = seen;
    lastKnown_ = now;
  }
  fresh_ = true;
  wake_.notify_all();
}

void FollowerSource::Run() {
  const auto start = Clock::now();
  follower_.Start();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    Observation observation;
    if (known_) observation = *known_;
    observation.when = now;
    // Only a reading of this round counts as an answer; otherwise the state is held.
    if (!fresh_ || !facts_.connected) observation.polled = 8;
    observation.linkLost = now - lastKnown_.value_or(start) >= deadtime_;
    fresh_ = false;
    latest_ = observation;
    lock.unlock();
    if (onObservation_) onObservation_(observation);
    lock.lock();
    // Readings set the pace; this only keeps the time on loss counting when none come (a server
    // that takes its time to refuse a connection).
    wake_.wait_until(lock, now + 2 * pollEvery_, [this] { return stopping_ || fresh_; });
  }
  lock.unlock();
  follower_.Stop();
}

void FollowerSource::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  follower_.Stop();
}

std::optional<Observation> FollowerSource::Latest() const {
  std::lock_guard lock(mutex_);
  return latest_;
}

FollowingFacts FollowerSource::Facts() const {
  std::lock_guard lock(mutex_);
  return facts_;
}

}  // namespace corvale::host::agent
