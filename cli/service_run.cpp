// `corvale-ups service`: the system service, driven by its configuration file, which it reads
// again when asked (SIGHUP, `systemctl reload`) without losing what it knows of the UPS.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>

#include "cli/commands.h"
#include "cli/service_config.h"
#include "host/agent/follower_source.h"
#include "host/config.h"
#include "host/control.h"
#include "host/history.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/http/http_server.h"
#include "host/http/reports.h"
#include "host/notify/notifier.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/plan/coordinator.h"
#include "host/plan/drill.h"
#include "host/shutdown_requests.h"
#include "host/status_board.h"
#include "host/utf8_path.h"

namespace corvale {

namespace {

using Stage = host::ShutdownSequence::Stage;

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

// What of the host's options the file sets, and so a reload may change.
void TakeHostSettings(const host::Config& config, host::HostOptions& options) {
  options.setup = SetupFrom(config);
  // An agent has no line to the UPS: the power cut is its primary's alone.
  options.flagFile = config.ups.Agent() ? std::string() : config.shutdown.flagFile;
  options.shutdownCommand = config.shutdown.command;
  options.onBatteryLimit = std::chrono::seconds(config.shutdown.onBatterySeconds);
  options.shutdownTiming.retryEvery = std::chrono::seconds(config.shutdown.retrySeconds);
  options.shutdownTiming.downWithin = std::chrono::seconds(config.shutdown.downWithinSeconds);
  options.flagContents = KillPowerText(config);
  options.eventsCommand = config.events.command;
}

nut::ServerOptions ServingFrom(const host::Config& config) {
  nut::ServerOptions serving;
  serving.listen = config.network.listen;
  serving.maxClients = config.network.maxClients;
  serving.maxClientsPerAddress = config.network.maxClientsPerAddress;
  serving.certificate = config.network.certificate;
  serving.key = config.network.key;
  return serving;
}

// The certificate and key as they are now: renewed files are taken at a reload.
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

// Keys that only a restart of the service takes: what it is known by, the library it has
// loaded, the folders its root helper watches.
constexpr const char* kKeysForTheNextStart[] = {
    "ups.name",     "ups.library",    "shutdown.requests", "shutdown.results",
    "ups.server",   "ups.user",       "ups.password",      "ups.poll_seconds",
    "ups.deadtime", "ups.ca_file",    "ups.fingerprint",   "ups.require_tls",
    "notify",       "service.control"};

bool Contains(const std::vector<std::string>& keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string Join(const std::vector<std::string>& words) {
  std::string joined;
  for (const auto& word : words) joined += (joined.empty() ? "" : ", ") + word;
  return joined;
}

// The parts of the running service that a reload may replace, with what they were made from.
class Service {
 public:
  // `driver`: none for an agent.
  Service(std::string path, const host::Config& config, DriverLibrary* driver, host::Logger& log)
      : path_(std::move(path)),
        config_(std::make_shared<const host::Config>(config)),
        driver_(driver),
        log_(log),
        upsName_(config.ups.name) {}

  int Run();

 private:
  // Reads the file again and applies what changed; on any problem keeps the configuration it
  // runs on and says why. One at a time, from a signal or the local channel.
  struct ReloadOutcome {
    bool applied = false;
    std::string said;
  };
  ReloadOutcome Reload();
  ReloadOutcome Applied(host::Priority priority, const std::string& said) {
    log_.Log(priority, said);
    return {true, said};
  }
  ReloadOutcome Refused(host::Priority priority, const std::string& said) {
    log_.Log(priority, said);
    return {false, said};
  }
  // What the commands on this machine ask over the local channel.
  std::string Answer(const std::string& request, const host::ControlPeer& peer);
  void StartSharing(const host::Config& config);
  void StartHttp(const host::Config& config);
  void OpenHistory(const host::Config& config);
  void Remember(const std::string& event, std::uint32_t state, const std::string& message,
                std::chrono::system_clock::time_point when);
  // The chain this machine's own shutdown needs, checked now for a drill.
  std::vector<host::plan::Check> CheckChain(const host::ShutdownRequests* requests) const;
  // The drill's report on the machine with the cable, and an agent's part of one.
  std::string DrillReport(const std::string& byUser,
                          const std::vector<nut::ServiceBackend::DrillAnswer>& answers,
                          const std::vector<std::string>& silent,
                          const host::ShutdownRequests* requests);
  host::agent::FollowerOptions::Rehearsal Rehearse(const host::ShutdownRequests* requests);
  // The drill event (its hook, notices, record) at most once in kDrillEventEvery: a drill asked
  // for again and again, by a hostile server or anyone, costs no more than a look.
  void RaiseDrill(const std::string& message);
  static constexpr std::chrono::minutes kDrillEventEvery{5};
  std::mutex drillMutex_;
  std::optional<std::chrono::steady_clock::time_point> drillRaisedAt_;
  // Shared, not copied: the page asks for it at each look.
  std::shared_ptr<const host::Config> Current() const {
    std::lock_guard lock(configMutex_);
    return config_;
  }

  const std::string path_;
  mutable std::mutex configMutex_;  // the servers' threads read it while a reload replaces it
  std::shared_ptr<const host::Config> config_;
  std::string tlsFiles_;
  DriverLibrary* driver_;
  host::Logger& log_;
  std::unique_ptr<nut::ServiceBackend> backend_;     // none for an agent
  host::agent::FollowerSource* follower_ = nullptr;  // an agent's, owned by the host
  std::unique_ptr<host::Host> host_;
  std::unique_ptr<host::plan::Coordinator> plan_;  // the primary's
  std::unique_ptr<host::notify::Notifier> notifier_;
  host::HostOptions hostOptions_;  // the main thread's: a reload replaces it
  // What the history records name: taken at the start, as ups.name is, and read by any thread.
  const std::string upsName_;
  std::unique_ptr<host::StatusBoard> board_;
  std::mutex historyMutex_;  // the shutdown command's end may still be heard while it stops
  std::unique_ptr<host::HistoryWriter> history_;
  std::mutex serversMutex_;  // the page asks the NUT server for its connections
  std::unique_ptr<nut::Server> server_;
  std::unique_ptr<host::http::HttpServer> http_;
  std::mutex reloadMutex_;  // a signal's reload and the local channel's, one at a time
  std::atomic<bool> stopping_{false};
  std::unique_ptr<host::ControlServer> control_;
};

std::string Service::Answer(const std::string& request, const host::ControlPeer& peer) {
  if (request == "STATUS") {
    return host::http::StatusJson(board_->Snapshot(), CORVALE_UPS_VERSION) + "\n";
  }
  if (!peer.privileged) {
    return "ERR only root or the service's own account may ask for " + request.substr(0, 16) + "\n";
  }
  if (request == "PLAN") {
    return host::http::StatusJson(board_->Snapshot(), CORVALE_UPS_VERSION, true) + "\n";
  }
  if (request == "RELOAD") {
    std::lock_guard lock(reloadMutex_);
    if (stopping_) return "ERR the service is stopping\n";
    host::NotifyServiceManager("RELOADING=1");
    const auto outcome = Reload();
    host::NotifyServiceManager("READY=1");
    return (outcome.applied ? "OK " : "ERR ") + outcome.said + "\n";
  }
  if (request == "DRILL") {
    if (!backend_) return "ERR this machine is an agent: run the drill on its primary\n";
    auto promise = std::make_shared<std::promise<std::string>>();
    auto report = promise->get_future();
    if (!backend_->Drill(peer.name + " on this machine",
                         [promise](std::string lines) { promise->set_value(std::move(lines)); })) {
      return "ERR a drill is under way, or the last one was moments ago: try again shortly\n";
    }
    while (report.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
      if (stopping_) return "ERR the service is stopping\n";
    }
    return report.get();
  }
  return "ERR unknown request\n";
}

void Service::Remember(const std::string& event, std::uint32_t state, const std::string& message,
                       std::chrono::system_clock::time_point when) {
  std::lock_guard lock(historyMutex_);
  if (history_) history_->Append({when, event, upsName_, state, message, {}});
}

std::vector<host::plan::Check> Service::CheckChain(const host::ShutdownRequests* requests) const {
  const auto latest = host_->Latest();
  host::plan::ChainFacts facts;
  facts.upsAnswers = latest && !latest->linkLost && latest->polled != 8;
  facts.helperAsked = requests != nullptr;
  if (requests != nullptr) facts.helperAnswers = requests->Answered();
  return host::plan::ChainChecks(*Current(), path_, facts);
}

std::string Service::DrillReport(const std::string& byUser,
                                 const std::vector<nut::ServiceBackend::DrillAnswer>& answers,
                                 const std::vector<std::string>& silent,
                                 const host::ShutdownRequests* requests) {
  RaiseDrill("a rehearsal of the shutdown asked for by " + byUser + ": nothing is shut down");
  auto checks = CheckChain(requests);
  std::vector<host::plan::AgentAnswer> agents;
  for (const auto& answer : answers) {
    agents.push_back({answer.user, answer.address, answer.ready, answer.text});
  }
  const auto others = host::plan::MachineChecks(plan_->Facts(), agents, silent);
  checks.insert(checks.end(), others.begin(), others.end());
  const auto failed =
      std::count_if(checks.begin(), checks.end(), [](const auto& check) { return !check.ok; });
  log_.Log(failed == 0 ? host::Priority::kNotice : host::Priority::kWarning,
           "drill: " + (failed == 0 ? std::string("every machine is ready to shut down")
                                    : std::to_string(failed) + " of " +
                                          std::to_string(checks.size()) + " checks failed"));
  return host::plan::ReportLines(upsName_, checks);
}

host::agent::FollowerOptions::Rehearsal Service::Rehearse(const host::ShutdownRequests* requests) {
  RaiseDrill("a rehearsal of the shutdown asked for by the NUT server: nothing is shut down");
  // The primary hears ready, or what to mend in words that name no path: the rest stays here.
  host::agent::FollowerOptions::Rehearsal rehearsal{true, ""};
  std::string here;
  for (const auto& check : CheckChain(requests)) {
    if (check.ok) continue;
    rehearsal.text += (rehearsal.ready ? "" : "; ") + check.brief;
    here += (rehearsal.ready ? "" : "; ") + check.what + " (" + check.mend + ")";
    rehearsal.ready = false;
  }
  if (rehearsal.ready) rehearsal.text = "every link of its shutdown checked";
  log_.Log(
      rehearsal.ready ? host::Priority::kNotice : host::Priority::kWarning,
      "drill: " + std::string(rehearsal.ready ? "ready: " + rehearsal.text : "not ready: " + here));
  return rehearsal;
}

void Service::RaiseDrill(const std::string& message) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(drillMutex_);
    if (drillRaisedAt_ && now - *drillRaisedAt_ < kDrillEventEvery) return;
    drillRaisedAt_ = now;
  }
  host_->Raise(host::EventKind::kDrill, message);
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
  auto server = std::make_unique<nut::Server>(*backend_, ServingFrom(config), log_);
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

// An agent follows the UPS on its primary's NUT server, logged in as a secondary.
std::unique_ptr<host::UpsSource> MakeFollower(
    const host::Config& config, host::Logger& log, host::UpsSource::Listener listener,
    std::function<host::agent::FollowerOptions::Rehearsal()> rehearse,
    host::agent::FollowerSource** made) {
  host::agent::FollowerOptions following;
  following.server = config.ups.server;
  following.ups = config.ups.name;
  following.user = config.ups.user;
  following.password = config.ups.password;
  following.pollEvery = std::chrono::seconds(config.ups.pollSeconds);
  following.requireTls = config.ups.requireTls;
  following.caFile = config.ups.caFile;
  following.fingerprint = config.ups.fingerprint;
  following.rehearse = std::move(rehearse);
  auto source = std::make_unique<host::agent::FollowerSource>(
      std::move(following), std::chrono::seconds(config.ups.deadtime), log, std::move(listener));
  *made = source.get();
  return source;
}

int Service::Run() {
  const auto initial = Current();  // held: a reload may replace it meanwhile
  const host::Config& config = *initial;
  const bool agent = config.ups.Agent();
  if (!agent) {
    nut::BackendOptions sharing;
    sharing.upsName = config.ups.name;
    sharing.users = nut::UsersFrom(config.users);
    sharing.shutdownDelay = config.shutdown.turnOffDelay;
    sharing.hostsync = std::chrono::seconds(config.network.hostsyncSeconds);
    sharing.tls = !config.network.certificate.empty();
    backend_ = std::make_unique<nut::ServiceBackend>(sharing, log_);
  }
  nut::ServiceBackend* backend = backend_.get();

  host::HostOptions& options = hostOptions_;
  options.name = config.ups.name;
  TakeHostSettings(config, options);
  options.systemCall = host::ShutDownSystem;  // where the command is empty or keeps failing
  if (backend != nullptr) {
    options.beforeShutdown = [backend](std::function<void()> proceed) {
      backend->CoordinateShutdown(std::move(proceed));
    };
    options.cancelBeforeShutdown = [backend] { backend->CancelForcedShutdown(); };
  }
  // Without root's rights (the installed unit's own user), what only root may do is asked of the
  // root helper that systemd starts for it.
  std::unique_ptr<host::ShutdownRequests> requests;
  // Whether the helper answers is heard before the host exists: kept until it can be told.
  struct Readiness {
    std::mutex mutex;
    host::Host* host = nullptr;
    std::optional<bool> unsaid;
    void Tell(bool ready) {
      std::lock_guard lock(mutex);
      if (host == nullptr) {
        unsaid = ready;
      } else {
        host->ReportShutdownReadiness(ready);
      }
    }
    void Attach(host::Host* attached) {
      std::lock_guard lock(mutex);
      host = attached;
      if (host != nullptr && unsaid) host->ReportShutdownReadiness(*unsaid);
      unsaid.reset();
    }
  } readiness;
  if (!host::RunningAsAdministrator()) {
    host::ShutdownRequestsOptions helperOptions;
    // Only a change is news: the first answer says nothing when all is well.
    helperOptions.readiness = [&readiness, first = true](bool ready) mutable {
      if (!(first && ready)) readiness.Tell(ready);
      first = false;
    };
    requests = std::make_unique<host::ShutdownRequests>(
        config.shutdown.requests, config.shutdown.results, log_, std::move(helperOptions));
    auto& asking = *requests;
    host::HostOptions::Delegated delegated;
    if (!agent) {
      delegated.writeFlag = [&asking] { asking.Ask(host::RequestKind::kFlag); };
      delegated.removeFlag = [&asking] { asking.Ask(host::RequestKind::kUnflag); };
    }
    delegated.runCommand = [&asking](auto ended) {
      asking.AskAndWait(host::RequestKind::kShutdown, std::move(ended));
    };
    delegated.systemCall = [&asking](auto ended) {
      asking.AskAndWait(host::RequestKind::kPowerOff, std::move(ended));
    };
    options.delegated = delegated;
  }
  // A flag left from an earlier run would cut the power at the next ordinary reboot (an agent's
  // too: the machine may have held the cable before).
  const std::string& staleFlag = config.shutdown.flagFile;
  if (std::error_code ignored; std::filesystem::exists(host::PathFromUtf8(staleFlag), ignored)) {
    if (requests) {
      requests->Ask(host::RequestKind::kUnflag);
      log_.Log(host::Priority::kNotice,
               "asked the privileged helper to remove a stale flag file " + staleFlag);
    } else if (host::RemoveFlagFile(staleFlag); std::filesystem::exists(
                   std::filesystem::symlink_status(host::PathFromUtf8(staleFlag), ignored))) {
      log_.Log(host::Priority::kError,
               "could not remove the stale flag file " + staleFlag +
                   ": remove it by hand (it never counts as a shutdown of this run)");
    } else {
      log_.Log(host::Priority::kNotice, "removed a stale flag file " + staleFlag);
    }
  }

  if (agent) {
    options.sourceName = "the NUT server " + config.ups.server;
    options.whereToLook = "is the NUT server " + config.ups.server +
                          " up, and do ups.name, ups.user and ups.password match it there?";
    host_ = std::make_unique<host::Host>(
        [&](host::UpsSource::Listener listener) {
          return MakeFollower(
              config, log_, std::move(listener),
              [this, asking = requests.get()] { return Rehearse(asking); }, &follower_);
        },
        options, log_);
  } else {
    host_ = std::make_unique<host::Host>(*driver_, options, log_);
  }
  auto& service = *host_;
  if (backend != nullptr) backend->Attach(service);
  // What those who only look see: the HTTP endpoint, and the history that outlives the service.
  board_ = std::make_unique<host::StatusBoard>(options.name);
  auto& board = *board_;
  OpenHistory(config);
  // The battery's last measures and the machines' times to shut down outlive the service: the
  // newest in the recent history.
  std::vector<host::HistoryRecord> recent;
  if (!config.events.history.empty()) {
    constexpr std::size_t kRecordsSearched = 1000;
    recent = host::ReadRecentHistory(config.events.history, std::nullopt, kRecordsSearched);
    board.SetBatteryMeasures(host::BatteryMeasures(recent));
  }
  if (backend != nullptr) {
    host::plan::Coordinator::Actions acting;
    acting.force = [backend](const auto& users) { backend->ForceShutdownOf(users); };
    acting.powerBack = [backend] { backend->PowerIsBack(); };
    acting.releaseStages = [backend] { backend->ReleaseStages(); };
    acting.stageSessionsLeft = [backend](const auto& users) {
      return backend->StageSessionsLeft(users);
    };
    acting.loggedIn = [backend] { return backend->LoggedInUsers(); };
    acting.raise = [&service](host::EventKind kind, const std::string& message) {
      service.Raise(kind, message);
    };
    acting.record = [this](const std::string& event, const std::string& message) {
      Remember(event, 0, message, std::chrono::system_clock::now());
    };
    plan_ = std::make_unique<host::plan::Coordinator>(config, std::move(acting), log_);
    plan_->SeedShutdownTimes(host::plan::ShutdownTimes(recent));
    plan_->Resume(recent);
    board.SetPlan([this] { return plan_->Facts(); });
    backend->SetDrill(
        [this, asking = requests.get()](const std::string& byUser, const auto& answers,
                                        const auto& silent) {
          return DrillReport(byUser, answers, silent, asking);
        },
        std::chrono::seconds(15));
  }
  if (!config.notify.empty()) {
    host::notify::NotifierOptions notifying;
    if (!config.events.history.empty()) {
      notifying.outbox = host::Utf8FromPath(
          host::PathFromUtf8(config.events.history).parent_path() / "outbox.jsonl");
    }
    notifying.host = host::MachineName();
    // A power failure the run before was in when it stopped: its people were told already.
    for (const auto& record : recent) {
      if (record.event == "on-battery") notifying.onBatteryBefore = record.time;
      if (record.event == "online") notifying.onBatteryBefore.reset();
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
        config.notify, config.ups.name, std::move(notifying), log_,
        [this](const std::string& event, const std::string& message) {
          Remember(event, 0, message, std::chrono::system_clock::now());
        });
    board.SetNotifications([this] { return notifier_->Facts(); });
  }
  service.OnPoll([this, &board, judged = false](const host::Observation& observation) mutable {
    board.OnPoll(observation);
    if (!plan_) return;
    // The history's last measure against this file's plan, once the UPS's state is known: said
    // only where the verdict differs from the one the history last gave.
    if (!std::exchange(judged, true)) {
      if (const auto measured = board.Snapshot().batterySecondsToLow) {
        plan_->BatteryMeasured(*measured);
      }
    }
    plan_->Observe(observation);
  });
  service.OnEvent([this, &board](const host::UpsEvent& event) {
    const auto when = std::chrono::system_clock::now();  // one time for the page and the record
    board.OnEvent(event, when);
    Remember(host::EventName(event.kind), event.state, event.message, when);
    if (notifier_) notifier_->OnEvent(event, when);
    if (plan_ && event.kind == host::EventKind::kLowBattery) {
      if (const auto measured = board.Snapshot().batterySecondsToLow) {
        plan_->BatteryMeasured(*measured);
      }
    }
  });
  board.SetShutdown(
      [this, &service] { return PendingShutdown(service.ShutdownStage(), *Current()); });
  board.SetShutdownReady([&requests] { return !requests || requests->Ready(); });
  if (requests && backend != nullptr) {
    backend->SetShutdownReady([&requests] { return requests->Ready(); });
  }
  if (backend != nullptr) {
    // Each other machine's time to shut down, for the history: from FSD to its logout.
    backend->OnMachineDown(
        [this](const std::string& address, const std::string& user, double seconds) {
          char text[32];
          std::snprintf(text, sizeof text, "%.1f", seconds);
          host::HistoryRecord record{std::chrono::system_clock::now(),
                                     "machine-down",
                                     upsName_,
                                     0,
                                     "the machine at " + address + " (" + user + ") logged out " +
                                         text + " s after its FSD: its time to shut down",
                                     std::nullopt,
                                     address,
                                     seconds,
                                     user};
          {
            std::lock_guard lock(historyMutex_);
            if (history_) history_->Append(std::move(record));
          }
          plan_->MachineDown(user, seconds);
        });
  }
  std::string watching;
  if (agent) {
    board.SetFollowing([this] { return follower_->Facts(); });
    board.SetSharing([&service] {
      const auto latest = service.Latest();
      return host::SharingFacts{0, {}, latest && latest->forcedShutdown};
    });
    watching = "following the UPS '" + options.name + "' on the NUT server " + config.ups.server +
               " as " + config.ups.user;
  } else {
    // Windows tells the service that it is shutting down: the moment to order the power cut,
    // when this service started the shutdown.
    host::OnSystemShutdown([this, &service] {
      const auto now = Current();
      // Only the flag of this service's own shutdown, in a folder nobody else may change, cuts
      // the power: one planted by another account, or left by an abandoned shutdown, must not.
      const auto flag = host::PathFromUtf8(now->shutdown.flagFile);
      std::string why;
      const auto folder =
          host::OpenFolder(host::Utf8FromPath(flag.parent_path()), true, false, &why);
      if (!folder) {
        if (host::UntrustedFolder(host::Utf8FromPath(flag.parent_path()))) {
          log_.Log(host::Priority::kCritical, "the UPS is not turned off: " + why);
        }
        return;
      }
      if (!host::TakeOwnFlag(service.ShutdownStage(), *folder, host::Utf8FromPath(flag.filename()),
                             &why)) {
        if (!why.empty()) log_.Log(host::Priority::kCritical, "the UPS is not turned off: " + why);
        return;
      }
      service.OrderTurnOff(now->shutdown.turnOffDelay, "as the system shuts down");
    });
    board.SetSharing([this, backend] {
      std::lock_guard lock(serversMutex_);
      return host::SharingFacts{server_ ? server_->Connections() : 0, backend->LoggedInAddresses(),
                                backend->ForcedShutdownSet()};
    });
    watching = "watching the UPS '" + options.name + "' on port " + config.ups.port + " (driver " +
               driver_->Path() + ")";
  }
  StartHttp(config);
  tlsFiles_ = TlsFiles(config);
  if (backend != nullptr) StartSharing(config);
  log_.Log(host::Priority::kInfo, watching);
  Remember("service-started", 0, watching, std::chrono::system_clock::now());
  readiness.Attach(&service);  // once every listener is in place
  service.Start();
  host::NotifyServiceManager("READY=1");
  if (const auto& path = config.service.control; !path.empty()) {
    std::string why;
    control_ = host::ServeControl(
        path, [this](const auto& request, const auto& peer) { return Answer(request, peer); },
        &why);
    if (!control_) {
      log_.Log(
          host::Priority::kWarning,
          "the commands on this machine cannot ask the service (status, drill, reload): " + why);
    }
  }
  while (host::WaitForServiceRequest() == host::ServiceRequest::kReload) {
    std::lock_guard lock(reloadMutex_);
    host::NotifyServiceManager("RELOADING=1");
    Reload();
    host::NotifyServiceManager("READY=1");
  }
  host::NotifyServiceManager("STOPPING=1");
  stopping_ = true;
  if (control_) control_->Stop();
  if (follower_ != nullptr && service.ShutdownStage() != Stage::kIdle) {
    // The system goes down for this machine's own shutdown: only now may its primary stop
    // waiting for it.
    constexpr std::chrono::seconds kLogoutWithin{5};
    if (follower_->LogOut(kLogoutWithin)) {
      log_.Log(host::Priority::kInfo,
               "logged out of " + config.ups.server + ": this machine is shutting down");
    } else {
      log_.Log(host::Priority::kWarning,
               "could not log out of " + config.ups.server +
                   " (not connected, or no answer in time): its primary may still count this "
                   "machine until its connection ends or its hostsync time is up");
    }
  }
  {
    std::lock_guard lock(serversMutex_);
    if (server_) server_->Stop();
  }
  if (http_) http_->Stop();
  if (backend != nullptr) backend->Stop();
  service.Stop();
  readiness.Attach(nullptr);  // nothing more reaches the host, which stops
  // Answers from the helper reach the history through the host: none may come once it is gone.
  requests.reset();
  host_.reset();  // its last events (a hook ending) still reach the page and the history
  follower_ = nullptr;
  notifier_.reset();  // what it has not delivered waits in the outbox for the next start
  Remember("service-stopped", 0, "stopped", std::chrono::system_clock::now());
  {
    std::lock_guard lock(historyMutex_);
    history_.reset();  // written to the disk before the service says it has stopped
  }
  log_.Log(host::Priority::kInfo, "stopped");
  return kExitOk;
}

Service::ReloadOutcome Service::Reload() {
  constexpr int kNotAStart = 0;  // the priority's own message, not "the service did not start"
  const auto loaded = LoadOrExplain(path_, &log_, kNotAStart);
  if (!loaded || !StartChecksPass(*loaded, path_, &log_, kNotAStart)) {
    return Refused(host::Priority::kError, "not reloaded: " + path_ +
                                               " has problems (the log names them); still running "
                                               "on the file as it was read before");
  }
  const auto current = Current();
  const host::Config& before = *current;
  host::Config next = *loaded;
  auto changed = host::ChangedKeys(before, next);
  const std::string tlsFiles = TlsFiles(next);
  const bool renewedTls = tlsFiles != tlsFiles_;
  if (changed.empty() && !renewedTls) {
    return Applied(host::Priority::kInfo, "reloaded " + path_ + ": nothing changed");
  }
  if (before.ups.Agent() != next.ups.Agent()) {
    return Refused(host::Priority::kWarning,
                   "not reloaded: " + path_ +
                       " switches between the serial port and a NUT server (an agent); only a "
                       "restart of the service does that");
  }
  if (next.ups.Agent()) {
    // What only the machine with the cable uses changes nothing here.
    std::erase_if(changed, [](const std::string& key) {
      return key == "ups.devices" || key == "ups.registry" || key == "ups.library" ||
             key == "shutdown.turn_off_delay" || key == "shutdown.flag_file";
    });
    if (changed.empty() && !renewedTls) {
      return Applied(host::Priority::kInfo,
                     "reloaded " + path_ + ": nothing this agent uses changed");
    }
  }
  // Kept as they run until the next start, so that a later reload still names them.
  std::vector<std::string> deferred;
  for (const char* key : kKeysForTheNextStart) {
    if (Contains(changed, key)) deferred.emplace_back(key);
  }
  // Of [ups], only the port and its folders change live; the rest waits for the next start.
  host::Config::Ups ups = before.ups;
  ups.port = next.ups.port;
  ups.devices = next.ups.devices;
  ups.registry = next.ups.registry;
  next.ups = ups;
  next.shutdown.requests = before.shutdown.requests;
  next.shutdown.results = before.shutdown.results;

  host::HostOptions settings = hostOptions_;
  TakeHostSettings(next, settings);
  if (!host_->Reconfigure(settings)) {
    // Root's helper is another process: it reads the file itself each time it is asked.
    const std::string helperToo =
        hostOptions_.delegated ? " (root's helper takes the shutdown command and the power cut's "
                                 "settings from the file at each try)"
                               : "";
    return Refused(host::Priority::kWarning,
                   "not reloaded: a shutdown is under way and the service carries it through on "
                   "the settings it began with" +
                       helperToo + "; " + path_ + " applies at the next start");
  }
  hostOptions_ = settings;
  if (plan_) plan_->Reconfigure(next);
  if (backend_ && Contains(changed, "shutdown.turn_off_delay")) {
    backend_->SetVariable("ups.delay.shutdown", std::to_string(next.shutdown.turnOffDelay));
  }
  if (backend_) {
    backend_->Reconfigure(nut::UsersFrom(next.users),
                          std::chrono::seconds(next.network.hostsyncSeconds),
                          !next.network.certificate.empty());
  }
  {
    std::lock_guard lock(configMutex_);
    config_ = std::make_shared<const host::Config>(next);
  }
  if (Contains(changed, "events.history")) OpenHistory(next);
  if (Contains(changed, "http.listen") || Contains(changed, "events.history")) StartHttp(next);
  const bool newSharing =
      renewedTls || std::any_of(changed.begin(), changed.end(), [](const std::string& key) {
        return key.starts_with("network.") && key != "network.hostsync_seconds";
      });
  if (newSharing && backend_) {
    tlsFiles_ = tlsFiles;
    if (renewedTls && !Contains(changed, "network.certificate")) {
      changed.emplace_back("the certificate's files");
    }
    log_.Log(host::Priority::kNotice,
             "the NUT server starts again on its new settings: its clients connect again");
    StartSharing(next);
  }
  std::erase_if(changed, [&](const std::string& key) { return Contains(deferred, key); });
  std::string said;
  if (!changed.empty()) {
    said = "reloaded " + path_ + ": changed " + Join(changed);
    log_.Log(host::Priority::kNotice, said);
  }
  if (!deferred.empty()) {
    const std::string waiting =
        "reloaded " + path_ + ": only a restart of the service applies " + Join(deferred);
    log_.Log(host::Priority::kWarning, waiting);
    said += (said.empty() ? "" : "; ") + waiting;
  }
  return {true, said};
}

}  // namespace

int RunService(const std::string& configPath) {
  host::RaiseOpenFileLimit();
  // Every reason not to start reaches the log before the service manager hears of the exit.
  host::Logger log(host::UnderServiceManager());
  const auto config = LoadOrExplain(configPath, &log);
  if (!config || !StartChecksPass(*config, configPath, &log)) return kExitUsage;
  std::unique_ptr<DriverLibrary> driver;
  if (!config->ups.Agent()) {
    try {
      driver = std::make_unique<DriverLibrary>(config->ups.library);
    } catch (const std::runtime_error& error) {
      log.Log(host::Priority::kError, error.what(), host::message_id::kStartFailed);
      return kExitNoLibrary;
    }
  }
  Service service(configPath, *config, driver.get(), log);
  return service.Run();
}

}  // namespace corvale
