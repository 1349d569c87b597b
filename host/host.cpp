#include "host/host.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <system_error>

#include "host/utf8_path.h"

namespace corvale::host {

Host::Host(DriverLibrary& driver, HostOptions options, Logger& log)
    // Made once options_ holds the options: the port and timing are read from there.
    : Host(
          [this, &driver, &log](UpsSource::Listener listener) {
            return std::make_unique<Supervisor>(driver, options_.setup, log, std::move(listener),
                                                options_.timing);
          },
          std::move(options), log) {}

namespace {

// The one UPS of a host made from HostOptions alone.
std::vector<Host::UnitSpec> OneUnit(const HostOptions& options,
                                    const Host::SourceMaker& makeSource) {
  UnitOptions unit;
  unit.name = options.name;
  unit.onBatteryLimit = options.onBatteryLimit;
  unit.whereToLook = options.whereToLook;
  unit.sourceName = options.sourceName;
  std::vector<Host::UnitSpec> units;
  units.push_back({std::move(unit), makeSource});
  return units;
}

std::vector<ShutdownPolicy::Supply> SupplyList(const std::vector<Host::UnitSpec>& units) {
  std::vector<ShutdownPolicy::Supply> supplies;
  for (const auto& unit : units) {
    supplies.push_back({unit.options.name, unit.options.supplies, unit.options.onBatteryLimit});
  }
  return supplies;
}

}  // namespace

Host::Host(const SourceMaker& makeSource, HostOptions options, Logger& log)
    : Host(OneUnit(options, makeSource), options, log) {}

Host::Host(std::vector<UnitSpec> units, const HostOptions& options, Logger& log)
    : options_(options),
      log_(log),
      hooks_(log, {options_.mostHooksRunning}),
      shutdownRunner_(log, {.countWellEndedFor = std::chrono::seconds(0)}),
      dispatcher_(options_.name, options_.eventsCommand, options_.logEvents ? &log : nullptr,
                  hooks_, options_.hookTimeout),
      policy_(SupplyList(units), options_.minSupplies),
      shutdown_(options_.shutdownCommand, Steps(), log, options_.shutdownTiming) {
  for (auto& unit : units) {
    units_.push_back(std::make_unique<Unit>(
        units_.size(), std::move(unit.options), unit.makeSource,
        [this](Unit& from, const Observation& observation) { Observe(from, observation); }));
  }
}

Host::~Host() {
  Stop();
  // Their callbacks use the members below them.
  hooks_.StopWatching();
  shutdownRunner_.StopWatching();
}

void Host::Start() {
  for (auto& unit : units_) unit->Start();
}

void Host::Stop() {
  for (auto& unit : units_) unit->Stop();
  shutdown_.Stop();
}

void Host::Observe(Unit& unit, const Observation& observation) {
  if (pollListener_) pollListener_(unit, observation);
  for (const auto& event : unit.Derive(observation)) dispatcher_.Raise(event);
  std::lock_guard decide(decideMutex_);
  Decide(unit, observation, true);
}

void Host::Decide(const Unit& unit, const Observation& observation, bool poll) {
  const auto decision = policy_.Decide(unit.Index(), observation);
  if (decision.suppliesLow) {
    dispatcher_.Raise({*decision.suppliesLow ? EventKind::kSuppliesLow : EventKind::kSuppliesOk,
                       observation.polled, decision.said, unit.Name()});
  }
  if (!decision.orderedOff.empty()) {
    // Once ordered, a UPS stays ordered while the shutdown lasts: its power may come back before
    // the machine is down, and only the power cut brings the machine up again then.
    std::lock_guard settings(settingsMutex_);
    for (const auto index : decision.orderedOff) {
      if (std::find(orderedOff_.begin(), orderedOff_.end(), index) == orderedOff_.end()) {
        orderedOff_.push_back(index);
      }
    }
  }
  if (decision.forced) {
    shutdown_.Begin(*decision.forced, ShutdownSequence::Reason::kForced);
  } else if (decision.shutDown) {
    shutdown_.Begin(*decision.shutDown, ShutdownSequence::Reason::kPower);
  }
  // The retries and the power's return are timed on fresh polls alone.
  if (poll && shutdown_.Tick(decision.powerBack, observation.when)) {
    policy_.Reset();
    std::lock_guard settings(settingsMutex_);
    orderedOff_.clear();  // abandoned: nothing of it may cut the power later
  }
}

std::vector<std::size_t> Host::OrderedOff() const {
  std::lock_guard settings(settingsMutex_);
  return orderedOff_;
}

bool Host::TurnOffOrdered(const std::string& why) {
  // All at once, each through its own driver: the system gives a service little time as it shuts
  // down, and a silent UPS must not spend it while the next one waits its turn.
  const auto ordered = OrderedOff();
  std::vector<std::future<bool>> orders;
  orders.reserve(ordered.size());  // so that a future started is never lost to a full vector
  bool acknowledged = true;
  for (const auto index : ordered) {
    Unit& unit = *units_.at(index);
    const auto order = [this, &unit, &why] {
      return OrderTurnOff(unit, unit.Options().turnOffDelay, why);
    };
    try {
      orders.push_back(std::async(std::launch::async, order));
    } catch (const std::system_error&) {
      // No thread to be had as the system goes down: ordered here, the others meanwhile.
      acknowledged = order() && acknowledged;
    }
  }
  for (auto& order : orders) acknowledged = order.get() && acknowledged;
  return acknowledged;
}

void Host::ForceShutdown(const Unit& unit, const std::string& reason) {
  std::lock_guard decide(decideMutex_);
  policy_.Force(unit.Index(), reason);
  // At once, not at its next poll.
  Observation latest = unit.Latest().value_or(Observation{});
  if (!unit.Latest()) latest.when = Clock::now();
  Decide(unit, latest, false);
}

ShutdownSteps Host::Steps() {
  ShutdownSteps steps;
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
        contents = options_.flagText ? options_.flagText(orderedOff_) : options_.flagContents;
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
  steps.raise = [this](EventKind kind, const std::string& message) {
    dispatcher_.Raise({kind, State(), message});
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
    folder->Remove(Utf8FromPath(PathFromUtf8(PendingFlagFile(path)).filename()));
  }
}

std::string PendingFlagFile(const std::string& path) {
  return path + ".pending";
}

bool ArmPendingFlag(const std::string& path, Logger& log) {
  const std::filesystem::path flag = PathFromUtf8(path);
  std::string why;
  const auto folder = OpenFolder(Utf8FromPath(flag.parent_path()), true, false, &why);
  if (folder && folder->Rename(Utf8FromPath(PathFromUtf8(PendingFlagFile(path)).filename()),
                               Utf8FromPath(flag.filename()), &why)) {
    return true;
  }
  if (!why.empty()) {
    log.Log(Priority::kError, "cannot make " + PendingFlagFile(path) + " the flag file " + path +
                                  ": " + why +
                                  ": the UPS will not be turned off after the shutdown");
  }
  return false;
}

bool Host::OrderTurnOff(Unit& unit, std::uint32_t delay, const std::string& why) {
  // A garbled reply must not leave a halted host without power for good: ask again.
  std::optional<bool> acknowledged;
  for (int attempt = 0; attempt < 3 && !acknowledged.value_or(false); ++attempt) {
    acknowledged = unit.Source().TurnOff(delay);
    if (!acknowledged) return false;  // no line to the UPS (an agent's)
  }
  dispatcher_.Raise({EventKind::kKillPower, unit.State(),
                     "ordered the UPS off in " + std::to_string(delay) + " s " + why + ": " +
                         (*acknowledged ? "acknowledged" : "no reply"),
                     unit.Name()});
  return *acknowledged;
}

bool Host::Reconfigure(const HostOptions& next) {
  std::lock_guard decide(decideMutex_);
  if (!shutdown_.Reconfigure(next.shutdownCommand, next.shutdownTiming)) return false;
  for (std::size_t i = 0; i < next.units.size() && i < units_.size(); ++i) {
    policy_.SetOnBatteryLimit(i, next.units[i].onBatteryLimit);
    // Only a new port or folder starts its driver again: any other setting leaves its polls be.
    if (!(options_.units.size() > i && options_.units[i].setup == next.units[i].setup)) {
      units_[i]->Source().ChangeSetup(next.units[i].setup);
    }
  }
  if (next.units.empty()) policy_.SetOnBatteryLimit(next.onBatteryLimit);
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
    options_.flagText = next.flagText;
    newSetup = next.units.empty() && !(next.setup == options_.setup);
    options_.setup = next.setup;
    options_.units = next.units;
  }
  if (newSetup) units_.front()->Source().ChangeSetup(next.setup);
  return true;
}

void Host::Raise(EventKind kind, const std::string& message) {
  dispatcher_.Raise({kind, State(), message});
}

void Host::ReportShutdownReadiness(bool ready) {
  dispatcher_.Raise(
      ready ? UpsEvent{EventKind::kShutdownReady, State(),
                       "the privileged helper answers: this host can shut down"}
            : UpsEvent{EventKind::kShutdownUnready, State(),
                       "the privileged helper does not answer: a shutdown would not happen "
                       "(systemctl reset-failed corvale-ups-shutdown.service "
                       "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path)"});
}

}  // namespace corvale::host
