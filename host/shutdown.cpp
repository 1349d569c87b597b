#include "host/shutdown.h"

namespace corvale::host {

ShutdownSequence::ShutdownSequence(std::string command, ShutdownSteps steps, Logger& log,
                                   ShutdownTiming timing)
    : command_(std::move(command)), steps_(std::move(steps)), log_(log), timing_(timing) {}

ShutdownSequence::Stage ShutdownSequence::CurrentStage() const {
  std::lock_guard lock(mutex_);
  return stage_;
}

bool ShutdownSequence::Reconfigure(std::string command, ShutdownTiming timing) {
  std::lock_guard lock(mutex_);
  if (stage_ != Stage::kIdle) return false;
  command_ = std::move(command);
  timing_ = timing;
  return true;
}

void ShutdownSequence::Begin(const std::string& why, Reason reason) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (stage_ != Stage::kIdle) {
      // A primary's FSD outlasts the power's return: keep at a shutdown under way.
      if (reason == Reason::kForced) reason_ = Reason::kForced;
      return;
    }
    stage_ = Stage::kPreparing;
    why_ = why;
    reason_ = reason;
    commandFailures_ = 0;
    nextAttempt_.reset();
    // The flag is written and removed only under the lock: a concurrent stop removes it after
    // this write, never before it.
    if (steps_.writeFlag) steps_.writeFlag();
  }
  if (steps_.raise) steps_.raise(EventKind::kShutdown, why + ": shutting down");
  if (steps_.beforeShutdown) {
    steps_.beforeShutdown([this] { Attempt(); });
  } else {
    Attempt();
  }
}

void ShutdownSequence::Attempt() {
  bool useCommand = false, fallingBack = false;
  std::string command;  // as it was tried, whatever a reload sets afterwards
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || (stage_ != Stage::kPreparing && stage_ != Stage::kWaitingToRetry)) return;
    stage_ = Stage::kRunning;
    const bool commandGaveUp =
        steps_.shutDownSystem && commandFailures_ >= timing_.commandFailuresBeforeSystemCall;
    useCommand = !command_.empty() && !commandGaveUp;
    fallingBack = !command_.empty() && commandGaveUp;
    command = command_;
  }
  if (useCommand) {
    steps_.runCommand([this, command](const std::optional<ExitStatus>& status) {
      if (status && !status->signalled && status->code == 0) return Ended(true, {});
      {
        std::lock_guard lock(mutex_);
        ++commandFailures_;
      }
      Ended(false,
            "the shutdown command '" + command + "' " +
                (status ? (status->signalled ? "was " : "ended with ") + status->Describe()
                        // It could not start, or the root helper never ran it: said just before.
                        : std::string("did not run")));
    });
    return;
  }
  if (!steps_.shutDownSystem) return Ended(true, {});  // nothing to run: only report
  if (fallingBack) {
    log_.Log(Priority::kCritical,
             "the shutdown command keeps failing: using the system's own shutdown call instead");
  }
  steps_.shutDownSystem([this](bool made, const std::string& error) {
    Ended(made, made ? std::string() : "the system's shutdown call failed: " + error);
  });
}

void ShutdownSequence::Ended(bool started, const std::string& failure) {
  bool stopped = false;
  {
    std::lock_guard lock(mutex_);
    if (stage_ != Stage::kRunning) return;
    stage_ = started ? Stage::kStarted : Stage::kWaitingToRetry;
    // Timed from the failure itself, not from the next poll that sees it (which may have begun
    // long before: a driver restarting for a lost UPS takes seconds).
    nextAttempt_.reset();
    if (!started) nextAttempt_ = Now() + timing_.retryEvery;
    startedSeenAt_.reset();
    stopped = stopped_;
    // Nothing tries again after the stop: the flag of a failed command must not outlive it.
    if (stopped && !started && steps_.removeFlag) steps_.removeFlag();
  }
  if (started) return;
  if (!stopped) return Failed(failure);
  log_.Log(Priority::kCritical, "the host did NOT shut down: " + failure +
                                    ", after the service stopped: no power cut will follow");
  if (steps_.raise) steps_.raise(EventKind::kShutdownFailed, failure);
}

void ShutdownSequence::Failed(const std::string& failure) {
  std::chrono::seconds retryEvery;
  {
    std::lock_guard lock(mutex_);
    retryEvery = timing_.retryEvery;
  }
  log_.Log(Priority::kCritical, "the host did NOT shut down: " + failure + ". Trying again in " +
                                    std::to_string(retryEvery.count()) + " s");
  if (steps_.raise) steps_.raise(EventKind::kShutdownFailed, failure);
}

bool ShutdownSequence::Tick(bool powerBack, Clock::time_point when) {
  std::string why;
  bool abandon = false, stayedUp = false;
  {
    std::lock_guard lock(mutex_);
    if (!powerBack) {
      powerBackSince_.reset();
    } else if (!powerBackSince_) {
      powerBackSince_ = when;
    }
    if (stopped_) return false;
    if (stage_ == Stage::kStarted && timing_.downWithin.count() > 0) {
      // Timed from the first poll after it started, on the polls' clock.
      if (!startedSeenAt_) startedSeenAt_ = when;
      if (when - *startedSeenAt_ < timing_.downWithin) return false;
      startedSeenAt_.reset();
      stage_ = Stage::kWaitingToRetry;
      nextAttempt_ = Now() + timing_.retryEvery;
      ++commandFailures_;
      stayedUp = true;
      why = "it still runs " + std::to_string(timing_.downWithin.count()) +
            " s after the shutdown succeeded";
    } else {
      if (stage_ != Stage::kWaitingToRetry) return false;
      if (!nextAttempt_) nextAttempt_ = Now() + timing_.retryEvery;
      if (Now() < *nextAttempt_) return false;
      nextAttempt_.reset();
      const bool reasonGone = reason_ == Reason::kPower && powerBackSince_ &&
                              when - *powerBackSince_ >= timing_.retryEvery;
      abandon = reasonGone;
      stage_ = abandon ? Stage::kIdle : Stage::kPreparing;  // kPreparing: the next attempt, below
      // Each try comes with its power cut (the flag may have been removed by hand since); an
      // abandoned one leaves none.
      if (!abandon && steps_.writeFlag) steps_.writeFlag();
      if (abandon && steps_.removeFlag) steps_.removeFlag();
      why = why_;
    }
  }
  if (stayedUp) {
    Failed(why);
    return false;
  }
  if (!abandon) {
    Attempt();
    return false;
  }
  if (steps_.cancelBeforeShutdown) steps_.cancelBeforeShutdown();
  if (steps_.raise) {
    steps_.raise(EventKind::kShutdownAbandoned,
                 "the power is back: the shutdown (" + why + ") is abandoned");
  }
  return true;
}

void ShutdownSequence::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // once: what it uses may be gone by a second call
    stopped_ = true;
    // A running command may be taking the host down: it keeps the flag until it fails (Ended).
    if (stage_ != Stage::kPreparing && stage_ != Stage::kWaitingToRetry) return;
    if (steps_.removeFlag) steps_.removeFlag();
  }
  log_.Log(Priority::kWarning, "stopping before the host shut down: no power cut will follow");
}

bool TakeOwnFlag(ShutdownSequence::Stage stage, Folder& folder, const std::string& flagName,
                 std::string* why) {
  why->clear();
  // A flag this run did not order (left by an abandoned shutdown, or one that could not be
  // removed at the start) never cuts the power.
  std::string notOwn;
  const auto contents = folder.ReadOwnFile(flagName, 64 * 1024, &notOwn);
  if (stage == ShutdownSequence::Stage::kIdle) {
    if (contents || !notOwn.empty()) *why = "no shutdown of this service's own is under way";
    return false;
  }
  if (!contents) {
    if (!notOwn.empty()) *why = "the flag file " + flagName + " is not this service's: " + notOwn;
    return false;
  }
  return folder.Remove(flagName);
}

}  // namespace corvale::host
