#include "host/host.h"

#include <filesystem>
#include <fstream>

#include "host/utf8_path.h"

namespace corvale::host {

Host::Host(DriverLibrary& driver, HostOptions options, Logger& log)
    // Made once options_ holds the options: the port and timing are read from there.
    : Host(
          [this, &driver, &log](UpsSource::Listener listener) {
            return std::make_unique<Supervisor>(driver, options_.setup, log, std::move(listener),
                                                options_.timing);
          },
          std::move(options), log) {
  driver_ = &driver;
}

Host::Host(const SourceMaker& makeSource, HostOptions options, Logger& log)
    : driver_(nullptr),
      options_(std::move(options)),
      log_(log),
      hooks_(log, {options_.mostHooksRunning}),
      shutdownRunner_(log, {.countWellEndedFor = std::chrono::seconds(0)}),
      dispatcher_(options_.name, options_.eventsCommand, options_.logEvents ? &log : nullptr,
                  hooks_, options_.hookTimeout),
      policy_(options_.onBatteryLimit),
      shutdown_(options_.shutdownCommand, Steps(), log, options_.shutdownTiming),
      source_(makeSource([this](const Observation& o) { Observe(o); })) {
  if (!options_.whereToLook.empty()) deriver_.SetWhereToLook(options_.whereToLook);
  if (!options_.sourceName.empty()) deriver_.SetSourceName(options_.sourceName);
}

Host::~Host() {
  Stop();
  // Their callbacks use the members below them.
  hooks_.StopWatching();
  shutdownRunner_.StopWatching();
}

void Host::Start() {
  poller_ = std::thread([this] { source_->Run(); });
}

void Host::Stop() {
  source_->Stop();
  if (poller_.joinable()) poller_.join();
  shutdown_.Stop();
}

void Host::Observe(const Observation& observation) {
  if (pollListener_) pollListener_(observation);
  for (const auto& event : deriver_.Next(observation)) dispatcher_.Raise(event);
  std::lock_guard decide(decideMutex_);
  if (observation.forcedShutdown) {
    shutdown_.Begin("the NUT server ordered this machine down (FSD)",
                    ShutdownSequence::Reason::kForced);
  }
  if (auto reason = policy_.Decide(observation)) {
    shutdown_.Begin(*reason, ShutdownSequence::Reason::kPower);
  }
  if (shutdown_.Tick(observation)) policy_.Reset();
}

void Host::ShutDownNow(const std::string& reason) {
  std::lock_guard decide(decideMutex_);
  shutdown_.Begin(reason, ShutdownSequence::Reason::kForced);
}

ShutdownSteps Host::Steps() {
  ShutdownSteps steps;
  const auto state = [this] {
    const auto latest = source_->Latest();
    return latest ? latest->polled : 8u;
  };
  const auto& delegated = options_.delegated;
  if (delegated) {
    steps.writeFlag = delegated->writeFlag;
    steps.removeFlag = delegated->removeFlag;
  } else if (!options_.flagFile.empty()) {
    steps.writeFlag = [this] {
      std::string path, contents;
      {
        std::lock_guard settings(settingsMutex_);
        path = options_.flagFile;
        contents = options_.flagContents;
      }
      WriteFlagFile(path, contents, log_);
    };
    steps.removeFlag = [this] {
      std::lock_guard settings(settingsMutex_);
      RemoveFlagFile(options_.flagFile);
    };
  }
  steps.beforeShutdown = options_.beforeShutdown;
  steps.cancelBeforeShutdown = options_.cancelBeforeShutdown;
  steps.runCommand = [this](std::function<void(const std::optional<ExitStatus>&)> ended) {
    auto then = [this, ended](const std::optional<ExitStatus>& status) {
      const bool started = status && !status->signalled && status->code == 0;
      // Only once the host is surely on its way down; a failed command orders nothing.
      if (started && options_.turnOffAfterShutdown) {
        OrderTurnOff(*options_.turnOffAfterShutdown, "after the shutdown command");
      }
      ended(status);
    };
    if (options_.delegated) return options_.delegated->runCommand(then);
    std::string command;
    {
      std::lock_guard settings(settingsMutex_);
      command = options_.shutdownCommand;
    }
    shutdownRunner_.Start("shutdown command", command, {{"CORVALE_UPS_NAME", options_.name}},
                          options_.shutdownCommandTimeout, then);
  };
  if (delegated && delegated->systemCall) {
    steps.shutDownSystem = [this](auto done) {
      options_.delegated->systemCall([done](const std::optional<ExitStatus>& status) {
        if (status && !status->signalled && status->code == 0) return done(true, "");
        done(false, status ? "the helper says " + status->Describe()
                           : std::string("the helper did not make it"));
      });
    };
  } else if (options_.systemCall) {
    steps.shutDownSystem = [this](auto done) {
      std::string error, notice;
      const bool made = options_.systemCall(options_.name + ": power failure", &error, &notice);
      if (!notice.empty()) log_.Log(Priority::kWarning, notice);
      done(made, error);
    };
  }
  steps.raise = [this, state](EventKind kind, const std::string& message) {
    dispatcher_.Raise({kind, state(), message});
  };
  return steps;
}

bool WriteFlagFile(const std::string& path, const std::string& contents, Logger& log) {
  const std::filesystem::path flag = PathFromUtf8(path);
  std::string why;
  const auto folder = OpenFolder(Utf8FromPath(flag.parent_path()), true, true, &why);
  if (folder &&
      folder->Replace(Utf8FromPath(flag.filename()),
                      "# the UPS is to be turned off once this host is down\n" + contents, &why)) {
    return true;
  }
  log.Log(Priority::kError, "cannot write the flag file " + path + ": " + why +
                                ": the UPS will not be turned off after the shutdown");
  return false;
}

void RemoveFlagFile(const std::string& path) {
  const std::filesystem::path flag = PathFromUtf8(path);
  std::string why;
  if (const auto folder = OpenFolder(Utf8FromPath(flag.parent_path()), true, false, &why)) {
    folder->Remove(Utf8FromPath(flag.filename()));
  }
}

bool Host::OrderTurnOff(std::uint32_t delay, const std::string& why) {
  // A garbled reply must not leave a halted host without power for good: ask again.
  if (driver_ == nullptr) return false;
  bool acknowledged = false;
  for (int attempt = 0; attempt < 3 && !acknowledged; ++attempt) {
    acknowledged = driver_->TurnOff(delay) != 0;
  }
  const auto latest = source_->Latest();
  dispatcher_.Raise({EventKind::kKillPower, latest ? latest->polled : 8u,
                     "ordered the UPS off in " + std::to_string(delay) + " s " + why + ": " +
                         (acknowledged ? "acknowledged" : "no reply")});
  return acknowledged;
}

bool Host::Reconfigure(const HostOptions& next) {
  std::lock_guard decide(decideMutex_);
  if (!shutdown_.Reconfigure(next.shutdownCommand, next.shutdownTiming)) return false;
  policy_.SetOnBatteryLimit(next.onBatteryLimit);
  dispatcher_.SetCommand(next.eventsCommand);
  bool newSetup = false;
  {
    std::lock_guard settings(settingsMutex_);
    options_.shutdownCommand = next.shutdownCommand;
    options_.shutdownTiming = next.shutdownTiming;
    options_.onBatteryLimit = next.onBatteryLimit;
    options_.eventsCommand = next.eventsCommand;
    options_.flagFile = next.flagFile;
    options_.flagContents = next.flagContents;
    newSetup = !(next.setup == options_.setup);
    options_.setup = next.setup;
  }
  if (newSetup) source_->ChangeSetup(next.setup);
  return true;
}

void Host::Raise(EventKind kind, const std::string& message) {
  const auto latest = source_->Latest();
  dispatcher_.Raise({kind, latest ? latest->polled : 8u, message});
}

void Host::ReportShutdownReadiness(bool ready) {
  const auto latest = source_->Latest();
  dispatcher_.Raise(
      ready ? UpsEvent{EventKind::kShutdownReady, latest ? latest->polled : 8u,
                       "the privileged helper answers: this host can shut down"}
            : UpsEvent{EventKind::kShutdownUnready, latest ? latest->polled : 8u,
                       "the privileged helper does not answer: a shutdown would not happen "
                       "(systemctl reset-failed corvale-ups-shutdown.service "
                       "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path)"});
}

}  // namespace corvale::host
