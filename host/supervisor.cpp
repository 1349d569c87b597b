#include "host/supervisor.h"

#include <sstream>

namespace corvale::host {

UpsFlags FlagsFromStatusText(const std::string& text) {
  // "v1.0b  [ OnBatt LowBatt Silenced ]": the names between the brackets.
  UpsFlags flags;
  const auto open = text.find('[');
  std::istringstream names(open == std::string::npos ? std::string() : text.substr(open + 1));
  for (std::string name; names >> name && name != "]";) {
    flags.onBattery = flags.onBattery || name == "OnBatt";
    flags.lowBattery = flags.lowBattery || name == "LowBatt";
    flags.overload = flags.overload || name == "Overload";
    flags.batteryFailed = flags.batteryFailed || name == "BattFail";
    flags.systemFailed = flags.systemFailed || name == "SysFail";
  }
  return flags;
}

Supervisor::Supervisor(DriverLibrary& driver, Setup setup, Logger& log, Listener onPoll,
                       SupervisorTiming timing)
    : driver_(driver),
      setup_(std::move(setup)),
      log_(log),
      onPoll_(std::move(onPoll)),
      timing_(timing),
      startProblem_(log, std::chrono::minutes(5)),
      restarting_(log, std::chrono::minutes(30)) {}

bool Supervisor::EnsureDriverRunning(Clock::time_point now) {
  if (std::unique_lock lock(mutex_); nextSetup_) {
    setup_ = std::move(*nextSetup_);
    nextSetup_.reset();
    if (running_) driver_.Stop();
    running_ = false;
    lastStart_.reset();
    lock.unlock();
    log_.Log(Priority::kInfo, "restarting the driver on port " + setup_.port.value_or("(default)"));
  }
  const bool restartDue = !lastStart_ || now - *lastStart_ >= timing_.restartEvery;
  const bool lost = latest_ && latest_->linkLost;
  if (running_ && !(lost && restartDue)) return true;
  if (!restartDue) return running_;
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  if (running_) {
    restarting_.Holds(Priority::kInfo,
                      "restarting the driver every " +
                          std::to_string(timing_.restartEvery.count()) +
                          " ms to find the UPS again",
                      now);
    driver_.Stop();
  }
  lastStart_ = now;
  std::string problem;
  if (auto unready = PrepareSetup(setup_)) {
    problem = *unready;
    running_ = false;
  } else {
    const int started = StartDriver(driver_, setup_, &problem);
    running_ = started == kExitOk || started == kExitNoUps;
    if (started == kExitOk) problem.clear();
  }
  lock.unlock();
  if (!running_) {
    startProblem_.Holds(Priority::kError, "cannot start the driver: " + problem + " Retrying.",
                        now);
  } else if (startProblem_.Holding()) {
    startProblem_.Ends("the driver has started");
  }
  return running_;
}

void Supervisor::Run() {
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> lastValid;
  Observation observation;
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    const bool running = EnsureDriverRunning(now);
    observation.when = now;
    observation.polled = running && !stopping_ ? driver_.GetState() : 8;
    if (observation.polled != 8) {
      if (restarting_.Holding()) restarting_.Ends("the restarted driver found the UPS");
      lastValid = Clock::now();
      observation.state = observation.polled;
      for (const auto& [name, value] : PublishedValues(setup_)) {
        if (name != "FirmwareRev") continue;
        observation.flags = FlagsFromStatusText(value);
        observation.statusText = value;
      }
    }
    observation.linkLost = Clock::now() - lastValid.value_or(start) >= timing_.lostAfter;
    {
      std::lock_guard latest(latestMutex_);
      latest_ = observation;
    }
    if (stopping_) break;
    if (onPoll_) onPoll_(observation);
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, now + timing_.pollEvery,
                     [&] { return stopping_.load() || nextSetup_.has_value(); });
  }
  std::lock_guard lock(mutex_);
  if (running_) driver_.Stop();
  running_ = false;
}

void Supervisor::Stop() {
  stopping_ = true;
  wake_.notify_all();
  // Waits for the exchange in progress and closes the port: the poll thread's next exchange, if
  // any, fails at once. Harmless when the driver never started.
  driver_.CancelWait();
  driver_.Stop();
}

void Supervisor::ChangeSetup(Setup setup) {
  std::lock_guard lock(mutex_);
  nextSetup_ = std::move(setup);
  wake_.notify_all();
}

std::optional<Observation> Supervisor::Latest() const {
  std::lock_guard lock(latestMutex_);
  return latest_;
}

}  // namespace corvale::host
