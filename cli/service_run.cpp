// `corvale-ups service`: the system service, driven by its configuration file, which it reads
// again when asked (SIGHUP, `systemctl reload`) without losing what it knows of the UPS. Here it
// is wired, part by part, and stopped.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "cli/running_service.h"
#include "cli/service_config.h"
#include "host/child_source.h"
#include "host/host_os.h"
#include "host/http/reports.h"
#include "host/utf8_path.h"

namespace corvale {

namespace {

using Stage = host::ShutdownSequence::Stage;

// How long an agent's connection may outlive the service as its machine goes down: the system
// ends every process well before, unless a service's stop hangs for that long.
constexpr std::chrono::seconds kHeldAtMost{300};

// What a pending shutdown waits for, in words for the status page.
std::pair<bool, std::string> PendingShutdown(Stage stage, const host::Config& config) {
  switch (stage) {
    case Stage::kIdle:
      return {false, ""};
    case Stage::kPreparing:
      return {true, "the other machines on the UPS (NUT clients) to log out, at most " +
                        std::to_string(config.network.hostsyncSeconds) + " s"};
    case Stage::kRunning:
      return {true, "the shutdown command to finish"};
    case Stage::kWaitingToRetry:
      return {true, "the next try of a shutdown that failed, every " +
                        std::to_string(config.shutdown.retrySeconds) + " s"};
    case Stage::kStarted:
      return {true, "the system to go down: the shutdown has started"};
  }
  return {false, ""};
}

// An agent follows a UPS on its primary's NUT server, logged in as a secondary: each with its
// own login, poll, dead time and TLS.
std::unique_ptr<host::UpsSource> MakeFollower(
    const host::Config::Ups& ups, host::Logger& log, host::UpsSource::Listener listener,
    std::function<host::agent::FollowerOptions::Rehearsal()> rehearse,
    host::agent::FollowerSource** made) {
  host::agent::FollowerOptions following;
  following.server = ups.server;
  following.ups = ups.name;
  following.user = ups.user;
  following.password = ups.password;
  following.pollEvery = std::chrono::seconds(ups.pollSeconds);
  following.requireTls = ups.requireTls;
  following.caFile = ups.caFile;
  following.fingerprint = ups.fingerprint;
  following.rehearse = std::move(rehearse);
  auto source = std::make_unique<host::agent::FollowerSource>(
      std::move(following), std::chrono::seconds(ups.deadtime), log, std::move(listener));
  *made = source.get();
  return source;
}

// Several UPSes on this machine's cables: each one's driver in a process of its own (the driver
// keeps one UPS's state per process), so that one that crashes, hangs or is re-plugged never
// stops or slows the watch of another.
std::vector<host::Host::UnitSpec> DriverProcesses(const host::Config& config, host::Logger& log) {
  std::vector<host::Host::UnitSpec> units;
  for (const auto& ups : config.upses) {
    host::UnitOptions unit;
    unit.name = ups.name;
    unit.supplies = ups.supplies;
    unit.onBatteryLimit = std::chrono::seconds(config.OnBatterySeconds(ups));
    unit.turnOffDelay = config.TurnOffDelay(ups);
    host::ChildSourceOptions child;
    child.name = ups.name;
    child.program = host::ThisProgram();
    child.library = ups.library;
    child.setup = SetupFrom(config, ups);
    // Where the driver's setup is the system's registry (Windows), the first UPS's values go
    // where the system's UPS tab and `status` read them, as with one UPS; each other UPS's stay
    // in its own key. Only this one process writes there.
    child.systemRegistry = units.empty() && !SetupInFolders();
    units.push_back({std::move(unit), [child, &log](host::UpsSource::Listener listener) {
                       return std::make_unique<host::ChildSource>(child, log, std::move(listener));
                     }});
  }
  return units;
}

bool SeveralCables(const host::Config& config) {
  return !config.Agent() && config.upses.size() > 1;
}

}  // namespace

std::string MachineUpsName(const host::Config& config) {
  std::string name;
  for (const auto& ups : config.upses) name += (name.empty() ? "" : ",") + config.UnitName(ups);
  return name;
}

void TakeHostSettings(const host::Config& config, host::HostOptions& options) {
  options.setup = SetupFrom(config);
  // An agent has no line to the UPS: the power cut is its primary's alone.
  // A UPS that feeds none of this machine's supplies is never turned off from here.
  options.flagFile =
      config.ups().Agent() || config.Supplies() == 0 ? std::string() : config.shutdown.flagFile;
  options.shutdownCommand = config.shutdown.command;
  options.onBatteryLimit = std::chrono::seconds(config.OnBatterySeconds(config.ups()));
  options.minSupplies = config.MinSupplies();
  // Several UPSes: each one's own time on battery. One keeps the host's single setting.
  options.units.clear();
  if (config.upses.size() > 1) {
    for (const auto& ups : config.upses) {
      options.units.push_back(
          {SetupFrom(config, ups), std::chrono::seconds(config.OnBatterySeconds(ups))});
    }
  }
  options.shutdownTiming.retryEvery = std::chrono::seconds(config.shutdown.retrySeconds);
  options.shutdownTiming.downWithin = std::chrono::seconds(config.shutdown.downWithinSeconds);
  options.flagContents = KillPowerText(config);
  options.eventsCommand = config.events.command;
  options.flagText = nullptr;
  if (SeveralCables(config)) {
    // The flag names the UPSes ordered off, each as this file describes it.
    options.flagText = [config](const std::vector<std::size_t>& orderedOff) {
      return KillPowerText(config, UnitBits(orderedOff));
    };
  }
}

std::string TlsFiles(const host::Config& config) {
  std::string contents;
  for (const auto& path : {config.network.certificate, config.network.key}) {
    if (path.empty()) continue;
    std::ifstream in(host::PathFromUtf8(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    contents += text.str() + '\0';
  }
  return contents;
}

int Service::Run() {
  const auto initial = Current();  // held: a reload may replace it meanwhile
  const host::Config& config = *initial;
  ShareOverNut(config);
  AskRootHelper(config);
  RemoveStaleFlag(config);
  WatchUps(config);
  KeepRecords(config);
  FollowPlan(config);
  Notify(config);
  Listen();
  CutPowerAtSystemShutdown();
  StartHttp(config);
  tlsFiles_ = TlsFiles(config);
  if (backend_) StartSharing(config);
  std::string watching = follower_ != nullptr
                             ? "following the UPS '" + config.ups().name + "' on the NUT server " +
                                   config.ups().server + " as " + config.ups().user
                             : "watching the UPS '" + config.ups().name + "' on port " +
                                   config.ups().port + " (driver " + driver_->Path() + ")";
  if (config.upses.size() > 1) {
    const bool cables = SeveralCables(config);
    watching = (cables ? "watching " : "following ") + std::to_string(config.upses.size()) +
               (cables ? " UPSes, each driver in a process of its own:" : " UPSes:");
    for (const auto& ups : config.upses) {
      watching += " " + config.UnitName(ups) +
                  (cables ? " on port " + ups.port : " as " + ups.user) + " (" +
                  std::to_string(ups.supplies) + (ups.supplies == 1 ? " supply);" : " supplies);");
    }
    watching += " shuts down below " + std::to_string(config.MinSupplies()) + " supplies fed";
  }
  log_.Log(host::Priority::kInfo, watching);
  Remember("service-started", 0, watching, std::chrono::system_clock::now());
  readiness_.Attach(host_.get());  // once every listener is in place
  host_->Start();
  host::NotifyServiceManager("READY=1");
  OpenControl(config);
  ServeUntilStopped();
  StopAll(config);
  log_.Log(host::Priority::kInfo, "stopped");
  return kExitOk;
}

void Service::ShareOverNut(const host::Config& config) {
  if (config.ups().Agent()) return;  // an agent shares nothing
  nut::BackendOptions sharing;
  sharing.upsName = config.ups().name;
  sharing.users = nut::UsersFrom(config.users);
  sharing.shutdownDelay = config.TurnOffDelay(config.ups());
  sharing.hostsync = std::chrono::seconds(config.network.hostsyncSeconds);
  sharing.tls = !config.network.certificate.empty();
  backend_ = std::make_unique<nut::ServiceBackend>(sharing, log_);
  auto* backend = backend_.get();
  hostOptions_.beforeShutdown = [backend](std::function<void()> proceed) {
    backend->CoordinateShutdown(std::move(proceed));
  };
  hostOptions_.cancelBeforeShutdown = [backend] { backend->CancelForcedShutdown(); };
}

void Service::Readiness::Tell(bool ready) {
  std::lock_guard lock(mutex);
  if (host == nullptr) {
    unsaid = ready;
  } else {
    host->ReportShutdownReadiness(ready);
  }
}

void Service::Readiness::Attach(host::Host* attached) {
  std::lock_guard lock(mutex);
  host = attached;
  if (host != nullptr && unsaid) host->ReportShutdownReadiness(*unsaid);
  unsaid.reset();
}

void Service::AskRootHelper(const host::Config& config) {
  // Without root's rights (the installed unit's own user), what only root may do is asked of the
  // root helper that systemd starts for it.
  if (host::RunningAsAdministrator()) return;
  host::ShutdownRequestsOptions helperOptions;
  helperOptions.upsList = config.UpsListDigest();
  // Only a change is news: the first answer says nothing when all is well.
  helperOptions.readiness = [this, first = true](bool ready) mutable {
    if (!(first && ready)) readiness_.Tell(ready);
    first = false;
  };
  requests_ = std::make_unique<host::ShutdownRequests>(
      config.shutdown.requests, config.shutdown.results, log_, std::move(helperOptions));
  auto& asking = *requests_;
  host::HostOptions::Delegated delegated;
  if (SeveralCables(config) && config.Supplies() > 0) {
    // Root writes the flag from its own copy of the file; the request only says which UPSes.
    delegated.writeFlag = [this, &asking] {
      if (const auto units = UnitBits(host_->OrderedOff()); units != 0) {
        asking.Ask(host::RequestKind::kFlag, units);
      } else {
        log_.Log(host::Priority::kNotice, "no UPS is to be turned off after this shutdown");
      }
    };
    delegated.removeFlag = [&asking] { asking.Ask(host::RequestKind::kUnflag); };
  } else if (!config.ups().Agent() && config.Supplies() > 0) {
    delegated.writeFlag = [&asking] { asking.Ask(host::RequestKind::kFlag); };
    delegated.removeFlag = [&asking] { asking.Ask(host::RequestKind::kUnflag); };
  }
  delegated.runCommand = [&asking](auto ended) {
    asking.AskAndWait(host::RequestKind::kShutdown, std::move(ended));
  };
  delegated.systemCall = [&asking](auto ended) {
    asking.AskAndWait(host::RequestKind::kPowerOff, std::move(ended));
  };
  hostOptions_.delegated = delegated;
}

void Service::RemoveStaleFlag(const host::Config& config) {
  // A flag left from an earlier run would cut the power at the next ordinary reboot (an agent's
  // too: the machine may have held the cable before).
  const std::string& staleFlag = config.shutdown.flagFile;
  std::error_code ignored;
  // The root helper's pending flag too: the next shutdown it runs would make it the flag.
  const auto there = [&ignored](const std::string& path) {
    return std::filesystem::exists(
        std::filesystem::symlink_status(host::PathFromUtf8(path), ignored));
  };
  // Named as it is found: the admin looks for that file.
  const std::string stale = there(staleFlag) ? staleFlag
                            : there(host::PendingFlagFile(staleFlag))
                                ? host::PendingFlagFile(staleFlag)
                                : std::string();
  if (stale.empty()) return;
  if (requests_) {
    requests_->Ask(host::RequestKind::kUnflag);
    log_.Log(host::Priority::kNotice,
             "asked the privileged helper to remove a stale flag file " + stale);
  } else if (host::RemoveFlagFile(staleFlag); there(stale)) {
    log_.Log(host::Priority::kError,
             "could not remove the stale flag file " + stale +
                 ": remove it by hand (it never counts as a shutdown of this run)");
  } else {
    log_.Log(host::Priority::kNotice, "removed a stale flag file " + stale);
  }
}

void Service::WatchUps(const host::Config& config) {
  host::HostOptions& options = hostOptions_;
  options.name = upsName_;
  TakeHostSettings(config, options);
  options.systemCall = host::ShutDownSystem;  // where the command is empty or keeps failing
  if (config.ups().Agent()) {
    // Each primary hears when this machine's shutdown command starts: from then on the end of
    // its session is the machine going down.
    options.beforeShutdown = [this](std::function<void()> proceed) {
      for (auto* follower : followers_) {
        if (follower != nullptr) follower->SayShuttingDown();
      }
      proceed();
    };
    // One unit per server followed, each counted with its supplies against the minimum.
    std::vector<host::Host::UnitSpec> units;
    followers_.assign(config.upses.size(), nullptr);
    for (std::size_t i = 0; i < config.upses.size(); ++i) {
      const auto& ups = config.upses[i];
      host::UnitOptions unit;
      unit.name = config.UnitName(ups);
      unit.supplies = ups.supplies;
      unit.onBatteryLimit = std::chrono::seconds(config.OnBatterySeconds(ups));
      unit.sourceName = "the NUT server " + ups.server;
      unit.whereToLook = "is the NUT server " + ups.server +
                         " up, and do ups.name, ups.user and ups.password match it there?";
      units.push_back({std::move(unit), [this, &ups, i](host::UpsSource::Listener listener) {
                         return MakeFollower(
                             ups, log_, std::move(listener), [this] { return Rehearse(); },
                             &followers_[i]);
                       }});
    }
    host_ = std::make_unique<host::Host>(std::move(units), options, log_);
    follower_ = followers_.front();
    host::OnResumeFromSleep([this] {
      for (auto* follower : followers_) follower->Reconnect();
    });
  } else if (SeveralCables(config)) {
    host_ = std::make_unique<host::Host>(DriverProcesses(config, log_), options, log_);
  } else {
    host_ = std::make_unique<host::Host>(*driver_, options, log_);
  }
  if (backend_) backend_->Attach(*host_);
}

void Service::KeepRecords(const host::Config& config) {
  // What those who only look see: the HTTP endpoint, and the history that outlives the service.
  std::vector<std::string> upses;
  for (const auto& unit : host_->Units()) upses.push_back(unit->Name());
  board_ = std::make_unique<host::StatusBoard>(std::move(upses));
  OpenHistory(config);
  // The battery's last measures and the machines' times to shut down outlive the service: the
  // newest in the recent history.
  if (!config.events.history.empty()) {
    constexpr std::size_t kRecordsSearched = 1000;
    recent_ = host::ReadRecentHistory(config.events.history, std::nullopt, kRecordsSearched);
    // Each UPS's own: a single UPS's history (and an older one) is the first's.
    for (std::size_t ups = 0; ups < host_->Units().size(); ++ups) {
      std::vector<host::HistoryRecord> its;
      for (const auto& record : recent_) {
        if (host::plan::RecordOf(config, ups, record)) its.push_back(record);
      }
      board_->SetBatteryMeasures(ups, host::BatteryMeasures(its));
    }
  }
  board_->SetShutdown([this] { return PendingShutdown(host_->ShutdownStage(), *Current()); });
  board_->SetShutdownReady([this] { return !requests_ || requests_->Ready(); });
  if (follower_ != nullptr) {
    board_->SetFollowing([this] {
      std::vector<host::FollowingFacts> each;
      for (const auto* follower : followers_) {
        if (follower != nullptr) each.push_back(follower->Facts());
      }
      return host::AllFollowed(each);
    });
    board_->SetSharing([this] {
      const auto latest = host_->Latest();
      return host::SharingFacts{0, {}, latest && latest->forcedShutdown, std::nullopt};
    });
  }
  if (!backend_) return;
  auto* backend = backend_.get();
  board_->SetSharing([this, backend] {
    std::lock_guard lock(serversMutex_);
    return host::SharingFacts{server_ ? server_->Connections() : 0, backend->LoggedInAddresses(),
                              backend->ForcedShutdownSet(), backend->UpsesForced()};
  });
  if (requests_) backend->SetShutdownReady([this] { return requests_->Ready(); });
  // Each other machine's time to shut down, for the history: from FSD to its session's end.
  backend->OnMachineDown([this](const nut::ServiceBackend::MachineGone& gone) {
    const auto format = [](double seconds) {
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", seconds);
      return std::string(text);
    };
    std::string started;
    if (gone.commandStartedSeconds) {
      started = *gone.commandStartedSeconds >= 0
                    ? " (its shutdown command started " + format(*gone.commandStartedSeconds) +
                          " s after its FSD)"
                    : " (its shutdown command started before its FSD)";
    }
    const std::string ended =
        gone.toClose ? ": its connection closed as it went down, " : ": it logged out ";
    host::HistoryRecord record{
        std::chrono::system_clock::now(),
        "machine-down",
        upsName_,
        0,
        "the machine at " + gone.address + " (" + gone.user + ")" + ended + format(gone.seconds) +
            " s after its FSD" + started +
            (gone.toClose ? ": its time to shut down" : ": its time to shut down, or more"),
        std::nullopt,
        gone.address,
        gone.seconds,
        gone.user,
        gone.toClose ? "close" : "logout",
        gone.commandStartedSeconds};
    {
      std::lock_guard lock(historyMutex_);
      if (history_) history_->Append(std::move(record));
    }
    for (const auto& plan : plans_) plan->MachineDown(gone.user, gone.seconds, gone.toClose);
  });
}

void Service::FollowPlan(const host::Config& config) {
  if (!backend_) return;  // the plan is the machine with the cable's
  auto* backend = backend_.get();
  // Each UPS's stages on its own power, its own sessions and its own battery.
  for (std::size_t ups = 0; ups < host_->Units().size(); ++ups) {
    const std::string name = host_->Units()[ups]->Name();
    host::plan::Coordinator::Actions acting;
    acting.force = [backend, ups](const auto& users) { backend->ForceShutdownOf(ups, users); };
    acting.powerBack = [backend, ups] { backend->PowerIsBack(ups); };
    acting.releaseStages = [backend, ups] { backend->ReleaseStages(ups); };
    acting.stageSessionsLeft = [backend, ups](const auto& users) {
      return backend->StageSessionsLeft(ups, users);
    };
    acting.loggedIn = [backend, ups] { return backend->LoggedInUsers(ups); };
    acting.raise = [this](host::EventKind kind, const std::string& message) {
      host_->Raise(kind, message);
    };
    // A single UPS's records name the machine's UPS, as they always have.
    const std::string recordAs = host_->Units().size() > 1 ? name : std::string();
    acting.record = [this, recordAs](const std::string& event, const std::string& message) {
      Remember(event, 0, message, std::chrono::system_clock::now(), recordAs);
    };
    auto plan = std::make_unique<host::plan::Coordinator>(config, std::move(acting), log_, ups);
    plan->SeedShutdownTimes(host::plan::ShutdownMeasures(recent_));
    plan->Resume(recent_);
    plans_.push_back(std::move(plan));
  }
  board_->SetPlan([this] { return PlanFacts(); });
  backend->SetDrill([this](const std::string& byUser, const auto& answers,
                           const auto& silent) { return DrillReport(byUser, answers, silent); },
                    std::chrono::seconds(15));
}

host::PlanFacts Service::PlanFacts() const {
  std::vector<host::PlanFacts> each;
  for (const auto& plan : plans_) each.push_back(plan->Facts());
  return host::plan::MergedFacts(*Current(), each);
}

void Service::Notify(const host::Config& config) {
  if (config.notify.empty()) return;
  host::notify::NotifierOptions notifying;
  if (!config.events.history.empty()) {
    notifying.outbox = host::Utf8FromPath(host::PathFromUtf8(config.events.history).parent_path() /
                                          "outbox.jsonl");
  }
  notifying.host = host::MachineName();
  // The power failures the run before was in when it stopped, each UPS's own: their people were
  // told already. Only of the UPSes watched now: another's would never end.
  for (const auto& record : recent_) {
    const std::string& ups = record.ups.empty() ? upsName_ : record.ups;
    if (!config.Watches(ups)) continue;
    if (record.event == "on-battery") notifying.onBatteryBefore[ups] = record.time;
    if (record.event == "online") notifying.onBatteryBefore.erase(ups);
  }
  for (const auto& entry : config.notify) {
    std::string why;
    const auto secret = host::notify::ReadSecret(entry, &why);
    if (!secret) {
      log_.Log(host::Priority::kError, "notify \"" + entry.name + "\": " + why +
                                           ": its notices go without the secret, and are "
                                           "likely refused");
    }
    notifying.secrets.emplace_back(entry.name, secret.value_or(""));
  }
  notifier_ = std::make_unique<host::notify::Notifier>(
      config.notify, upsName_, std::move(notifying), log_,
      [this](const std::string& event, const std::string& message) {
        Remember(event, 0, message, std::chrono::system_clock::now());
      });
  board_->SetNotifications([this] { return notifier_->Facts(); });
}

void Service::Listen() {
  // Each UPS's polls come on its own thread: each touches its own byte of `judged` alone.
  host_->OnPoll([this, judged = std::vector<std::uint8_t>(plans_.size(), 0)](
                    const host::Unit& unit, const host::Observation& observation) mutable {
    board_->OnPoll(unit.Index(), observation);
    // Each UPS's stages follow its own power.
    if (unit.Index() >= plans_.size()) return;
    auto& plan = *plans_[unit.Index()];
    // The history's last measure against this file's plan, once the UPS's state is known: said
    // only where the verdict differs from the one the history last gave.
    if (judged[unit.Index()] == 0) {
      judged[unit.Index()] = 1;
      if (const auto measured = BatteryToLow(unit.Index())) plan.BatteryMeasured(*measured);
    }
    plan.Observe(observation);
  });
  host_->OnEvent([this](const host::UpsEvent& event) {
    const auto when = std::chrono::system_clock::now();  // one time for the page and the record
    board_->OnEvent(event, when);
    Remember(host::EventName(event.kind), event.state, event.message, when, event.ups);
    if (notifier_) notifier_->OnEvent(event, when);
    if (event.kind != host::EventKind::kLowBattery) return;
    // The measure of the UPS that ran low, for its own stages.
    for (std::size_t ups = 0; ups < plans_.size(); ++ups) {
      if (!event.ups.empty() ? event.ups != host_->Units()[ups]->Name() : ups != 0) continue;
      if (const auto measured = BatteryToLow(ups)) plans_[ups]->BatteryMeasured(*measured);
    }
  });
}

void Service::CutPowerAtSystemShutdown() {
  if (!backend_) return;  // an agent has no line to the UPS
  // Windows tells the service that it is shutting down: the moment to order the power cut,
  // when this service started the shutdown.
  host::OnSystemShutdown([this] {
    const auto now = Current();
    // Only the flag of this service's own shutdown, in a folder nobody else may change, cuts
    // the power: one planted by another account, or left by an abandoned shutdown, must not.
    const auto flag = host::PathFromUtf8(now->shutdown.flagFile);
    std::string why;
    const auto folder = host::OpenFolder(host::Utf8FromPath(flag.parent_path()), true, false, &why);
    if (!folder) {
      if (host::UntrustedFolder(host::Utf8FromPath(flag.parent_path()))) {
        log_.Log(host::Priority::kCritical, "the UPS is not turned off: " + why);
      }
      return;
    }
    if (!host::TakeOwnFlag(host_->ShutdownStage(), *folder, host::Utf8FromPath(flag.filename()),
                           &why)) {
      if (!why.empty()) log_.Log(host::Priority::kCritical, "the UPS is not turned off: " + why);
      return;
    }
    if (SeveralCables(*now)) {
      host_->TurnOffOrdered("as the system shuts down");
    } else {
      host_->OrderTurnOff(now->TurnOffDelay(now->ups()), "as the system shuts down");
    }
  });
}

void Service::OpenControl(const host::Config& config) {
  const auto& path = config.service.control;
  if (path.empty()) return;
  std::string why;
  control_ = host::ServeControl(
      path, [this](const auto& request, const auto& peer) { return Answer(request, peer); }, &why);
  if (!control_) {
    log_.Log(host::Priority::kWarning,
             "the commands on this machine cannot ask the service (status, drill, reload): " + why);
  }
}

void Service::ServeUntilStopped() {
  while (host::WaitForServiceRequest() == host::ServiceRequest::kReload) {
    std::lock_guard lock(reloadMutex_);
    host::NotifyServiceManager("RELOADING=1");
    Reload();
    host::NotifyServiceManager("READY=1");
  }
}

void Service::StopAll(const host::Config& config) {
  host::NotifyServiceManager("STOPPING=1");
  stopping_ = true;
  host::OnResumeFromSleep(nullptr);  // before the follower goes
  if (control_) control_->Stop();
  const auto stage = host_->ShutdownStage();
  for (std::size_t i = 0; i < followers_.size() && stage != Stage::kIdle; ++i) {
    if (followers_[i] == nullptr) continue;
    const std::string& server = config.upses[i].server;
    if (stage == Stage::kRunning || stage == Stage::kStarted) {
      // The system goes down for this machine's own shutdown, whose command has started: the
      // connection stays open until the system ends every process, so that each primary counts
      // this machine, and measures its time to shut down, until it is down.
      constexpr std::chrono::seconds kHoldWithin{5};
      using How = host::agent::Follower::Hold::How;
      const auto held = followers_[i]->HoldToTheEnd(kHoldWithin, kHeldAtMost);
      switch (held.how) {
        case How::kHeld:
          log_.Log(host::Priority::kInfo, "this machine is shutting down: its connection to " +
                                              server + " stays open in process " +
                                              std::to_string(held.holder) +
                                              " until the system ends every process (at most " +
                                              std::to_string(kHeldAtMost.count()) + " s)");
          break;
        case How::kLoggedOut:
          log_.Log(host::Priority::kInfo, "logged out of " + server +
                                              ": this machine is shutting down (its connection "
                                              "cannot outlive the service: " +
                                              held.why + ")");
          break;
        case How::kNeither:
          log_.Log(host::Priority::kWarning,
                   "could not hold the connection to " + server + " nor log out (" + held.why +
                       "): its primary may still count this machine until its connection ends "
                       "or its hostsync time is up");
          break;
      }
      continue;
    }
    // A shutdown whose command has not run (or failed): only now may its primary stop waiting.
    constexpr std::chrono::seconds kLogoutWithin{5};
    if (followers_[i]->LogOut(kLogoutWithin)) {
      log_.Log(host::Priority::kInfo,
               "logged out of " + server + ": this machine is shutting down");
    } else {
      log_.Log(host::Priority::kWarning,
               "could not log out of " + server +
                   " (not connected, or no answer in time): its primary may still count this "
                   "machine until its connection ends or its hostsync time is up");
    }
  }
  {
    std::lock_guard lock(serversMutex_);
    if (server_) server_->Stop();
  }
  if (http_) http_->Stop();
  if (backend_) backend_->Stop();
  host_->Stop();
  readiness_.Attach(nullptr);  // nothing more reaches the host, which stops
  // Answers from the helper reach the history through the host: none may come once it is gone.
  requests_.reset();
  host_.reset();  // its last events (a hook ending) still reach the page and the history
  follower_ = nullptr;
  followers_.clear();
  notifier_.reset();  // what it has not delivered waits in the outbox for the next start
  Remember("service-stopped", 0, "stopped", std::chrono::system_clock::now());
  std::lock_guard lock(historyMutex_);
  history_.reset();  // written to the disk before the service says it has stopped
}

void Service::Remember(const std::string& event, std::uint32_t state, const std::string& message,
                       std::chrono::system_clock::time_point when, const std::string& ups) {
  std::lock_guard lock(historyMutex_);
  if (history_) history_->Append({when, event, ups.empty() ? upsName_ : ups, state, message, {}});
}

void Service::OpenHistory(const host::Config& config) {
  std::unique_ptr<host::HistoryWriter> opened;
  if (!config.events.history.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(host::PathFromUtf8(config.events.history).parent_path(),
                                        ignored);
    opened = std::make_unique<host::HistoryWriter>(config.events.history, log_);
  }
  std::lock_guard lock(historyMutex_);
  history_ = std::move(opened);  // the one before is on the disk once it is gone
}

void Service::StartSharing(const host::Config& config) {
  std::unique_ptr<nut::Server> old;
  {
    std::lock_guard lock(serversMutex_);
    old = std::move(server_);
  }
  if (old) {
    // The machines logged in connect again at their next poll; until then a shutdown still waits
    // for them.
    constexpr std::chrono::seconds kReconnectGrace{60};
    backend_->KeepLoginsThrough(
        [&] {
          old->Stop();
          old.reset();  // its sessions end here; its port is free for the new one
        },
        kReconnectGrace);
  }
  if (config.network.listen.empty()) return;
  nut::ServerOptions serving;
  serving.listen = config.network.listen;
  serving.maxClients = config.network.maxClients;
  serving.maxClientsPerAddress = config.network.maxClientsPerAddress;
  serving.certificate = config.network.certificate;
  serving.key = config.network.key;
  auto server = std::make_unique<nut::Server>(*backend_, serving, log_);
  // Protecting this machine comes first: an address that cannot be served only costs the
  // sharing there, and is tried again.
  if (std::string problem; !server->Start(&problem)) {
    log_.Log(host::Priority::kError, "not sharing the UPS on the network: " + problem);
  }
  std::lock_guard lock(serversMutex_);
  server_ = std::move(server);
}

void Service::StartHttp(const host::Config& config) {
  if (http_) http_->Stop();
  http_.reset();
  if (config.http.listen.empty()) return;
  host::http::HttpOptions web;
  web.listen = config.http.listen;
  web.historyFile = config.events.history;
  web.version = CORVALE_UPS_VERSION;
  http_ = std::make_unique<host::http::HttpServer>(*board_, web, log_);
  if (std::string problem; !http_->Start(&problem)) {
    log_.Log(host::Priority::kError, "no HTTP endpoint: " + problem);
  }
}

int RunService(const std::string& configPath) {
  host::RaiseOpenFileLimit();
  // Every reason not to start reaches the log before the service manager hears of the exit.
  host::Logger log(host::UnderServiceManager());
  const auto config = LoadOrExplain(configPath, &log);
  if (!config || !StartChecksPass(*config, configPath, &log)) return kExitUsage;
  std::unique_ptr<DriverLibrary> driver;
  if (!config->ups().Agent()) {
    try {
      driver = std::make_unique<DriverLibrary>(config->ups().library);
    } catch (const std::runtime_error& error) {
      log.Log(host::Priority::kError, error.what(), host::message_id::kStartFailed);
      return kExitNoLibrary;
    }
  }
  Service service(configPath, *config, driver.get(), log);
  return service.Run();
}

}  // namespace corvale
