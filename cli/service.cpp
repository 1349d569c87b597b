// `corvale-ups service`, `check-config` and `kill-power`: the system service, driven by its
// configuration file, and the power cut that its shutdown hook orders once the host is down.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/commands.h"
#include "host/config.h"
#include "host/history.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/http/http_server.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/shutdown_requests.h"
#include "host/start_checks.h"

namespace corvale {

namespace {

// Where a command's problems with its configuration go: standard error, or for the service the
// service manager's log (the Event Log has no standard error to read), as a failed start.
void Explain(host::Logger* log, host::Priority priority, const std::string& text) {
  if (log != nullptr) {
    log->Log(priority, text,
             priority <= host::Priority::kError ? host::message_id::kStartFailed : 0);
  } else {
    std::fprintf(stderr, "corvale-ups: %s\n", text.c_str());
  }
}

// The configuration, or nothing after every problem was told.
std::optional<host::Config> LoadOrExplain(const std::string& path, host::Logger* log = nullptr) {
  auto loaded = host::LoadConfig(path);
  if (loaded.problems.empty()) return loaded.config;
  for (const auto& problem : loaded.problems) {
    Explain(log, host::Priority::kError, host::Describe(path, problem));
  }
  return std::nullopt;
}

Setup SetupFrom(const host::Config& config) {
  return Setup{config.ups.registry, config.ups.devices, config.ups.port};
}

// What kill-power needs, written into the flag when the shutdown is decided: one "key=value" a
// line after a comment.
struct KillPowerFacts {
  std::string name, port, devices, registry, library;
  std::uint32_t delay = 120;

  explicit KillPowerFacts(const host::Config& config)
      : name(config.ups.name),
        port(config.ups.port),
        devices(config.ups.devices),
        registry(config.ups.registry),
        library(config.ups.library),
        delay(config.shutdown.turnOffDelay) {}

  std::string Text() const {
    return "name=" + name + "\nport=" + port + "\ndevices=" + devices + "\nregistry=" + registry +
           "\nlibrary=" + library + "\nturn_off_delay=" + std::to_string(delay) + "\n";
  }

  // Read from a flag; what it lacks (a flag of an older version) comes from `fallback`.
  static KillPowerFacts Parse(std::istream& in, const host::Config& fallback) {
    KillPowerFacts facts(fallback);
    for (std::string line; std::getline(in, line);) {
      const auto equals = line.find('=');
      if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
      const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
      if (key == "name") facts.name = value;
      if (key == "port") facts.port = value;
      if (key == "devices") facts.devices = value;
      if (key == "registry") facts.registry = value;
      if (key == "library") facts.library = value;
      if (key == "turn_off_delay" && !value.empty() && value.size() <= 3 &&
          value.find_first_not_of("0123456789") == std::string::npos) {
        facts.delay = static_cast<std::uint32_t>(std::stoul(value));
      }
    }
    return facts;
  }
};

// What a pending shutdown waits for, in words for the status page.
std::pair<bool, std::string> PendingShutdown(host::ShutdownSequence::Stage stage,
                                             const host::Config& config) {
  using Stage = host::ShutdownSequence::Stage;
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

}  // namespace

// Every check the service makes before it starts: its problems told, and true when none.
bool StartChecksPass(const host::Config& config, const std::string& path,
                     host::Logger* log = nullptr) {
  const auto checks = host::CheckBeforeStart(config, path);
  for (const auto& warning : checks.warnings) {
    Explain(log, host::Priority::kWarning, path + ": warning: " + warning);
  }
  for (const auto& problem : checks.problems) {
    Explain(log, host::Priority::kError, path + ": " + problem);
  }
  return checks.problems.empty();
}

int RunCheckConfig(const std::string& configPath) {
  const auto config = LoadOrExplain(configPath);
  if (!config || !StartChecksPass(*config, configPath)) return kExitUsage;
  // The installed service asks the root helper; whether that answers is the system's to tell.
  if (config->shutdown.requests == host::DefaultRequestFolder()) {
    if (auto problem = host::InstalledHelperProblem()) {
      Explain(nullptr, host::Priority::kWarning, configPath + ": warning: " + *problem);
    }
  }
  std::printf("%s: fine\n", configPath.c_str());
  return kExitOk;
}

int RunService(const std::string& configPath) {
  host::RaiseOpenFileLimit();
  // Every reason not to start reaches the log before the service manager hears of the exit.
  host::Logger log(host::UnderServiceManager());
  const auto config = LoadOrExplain(configPath, &log);
  if (!config || !StartChecksPass(*config, configPath, &log)) return kExitUsage;
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(config->ups.library);
  } catch (const std::runtime_error& error) {
    log.Log(host::Priority::kError, error.what(), host::message_id::kStartFailed);
    return kExitNoLibrary;
  }

  nut::BackendOptions sharing;
  sharing.upsName = config->ups.name;
  sharing.users = nut::UsersFrom(config->users);
  sharing.shutdownDelay = config->shutdown.turnOffDelay;
  sharing.hostsync = std::chrono::seconds(config->network.hostsyncSeconds);
  sharing.tls = !config->network.certificate.empty();
  nut::ServiceBackend backend(sharing, log);

  host::HostOptions options;
  options.name = config->ups.name;
  options.setup = SetupFrom(*config);
  options.shutdownCommand = config->shutdown.command;
  options.systemCall = host::ShutDownSystem;  // where the command is empty or keeps failing
  options.onBatteryLimit = std::chrono::seconds(config->shutdown.onBatterySeconds);
  options.shutdownTiming.retryEvery = std::chrono::seconds(config->shutdown.retrySeconds);
  options.shutdownTiming.downWithin = std::chrono::seconds(config->shutdown.downWithinSeconds);
  options.flagFile = config->shutdown.flagFile;
  options.flagContents = KillPowerFacts(*config).Text();
  options.eventsCommand = config->events.command;
  options.beforeShutdown = [&backend](std::function<void()> proceed) {
    backend.CoordinateShutdown(std::move(proceed));
  };
  options.cancelBeforeShutdown = [&backend] { backend.CancelForcedShutdown(); };
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
        config->shutdown.requests, config->shutdown.results, log, std::move(helperOptions));
    auto& asking = *requests;
    host::HostOptions::Delegated delegated;
    delegated.writeFlag = [&asking] { asking.Ask(host::RequestKind::kFlag); };
    delegated.removeFlag = [&asking] { asking.Ask(host::RequestKind::kUnflag); };
    delegated.runCommand = [&asking](auto ended) {
      asking.AskAndWait(host::RequestKind::kShutdown, std::move(ended));
    };
    delegated.systemCall = [&asking](auto ended) {
      asking.AskAndWait(host::RequestKind::kPowerOff, std::move(ended));
    };
    options.delegated = delegated;
  }
  // A flag left from an earlier run would cut the power at the next ordinary reboot.
  if (std::error_code ignored; std::filesystem::exists(options.flagFile, ignored)) {
    if (requests) {
      requests->Ask(host::RequestKind::kUnflag);
    } else {
      host::RemoveFlagFile(options.flagFile);
    }
    log.Log(host::Priority::kNotice, "removed a stale flag file " + options.flagFile);
  }

  host::Host service(*driver, options, log);
  backend.Attach(service);
  // What those who only look see: the HTTP endpoint, and the history that outlives the service.
  host::StatusBoard board(options.name);
  std::unique_ptr<host::HistoryWriter> history;
  // The shutdown command's end may still be heard while the service stops.
  std::mutex historyMutex;
  if (!config->events.history.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(config->events.history).parent_path(),
                                        ignored);
    history = std::make_unique<host::HistoryWriter>(config->events.history, log);
  }
  const auto remember = [&](const std::string& event, std::uint32_t state,
                            const std::string& message,
                            std::chrono::system_clock::time_point when) {
    std::lock_guard lock(historyMutex);
    if (history) history->Append({when, event, options.name, state, message, {}});
  };
  service.OnPoll([&board](const host::Observation& observation) { board.OnPoll(observation); });
  service.OnEvent([&](const host::UpsEvent& event) {
    const auto when = std::chrono::system_clock::now();  // one time for the page and the record
    board.OnEvent(event, when);
    remember(host::EventName(event.kind), event.state, event.message, when);
  });
  board.SetShutdown([&] { return PendingShutdown(service.ShutdownStage(), *config); });
  board.SetShutdownReady([&requests] { return !requests || requests->Ready(); });
  if (requests) backend.SetShutdownReady([&requests] { return requests->Ready(); });
  // Windows tells the service that it is shutting down: the moment to order the power cut, when
  // this service started the shutdown.
  host::OnSystemShutdown([&] {
    std::error_code missing;
    if (!std::filesystem::remove(options.flagFile, missing)) return;
    service.OrderTurnOff(config->shutdown.turnOffDelay, "as the system shuts down");
  });
  nut::ServerOptions serving;
  serving.listen = config->network.listen;
  serving.maxClients = config->network.maxClients;
  serving.maxClientsPerAddress = config->network.maxClientsPerAddress;
  serving.certificate = config->network.certificate;
  serving.key = config->network.key;
  nut::Server server(backend, serving, log);
  board.SetSharing([&] {
    return host::SharingFacts{server.Connections(), backend.LoggedInAddresses(),
                              backend.ForcedShutdownSet()};
  });
  host::http::HttpOptions web;
  web.listen = config->http.listen;
  web.historyFile = config->events.history;
  web.version = CORVALE_UPS_VERSION;
  host::http::HttpServer http(board, web, log);
  if (std::string problem; !web.listen.empty() && !http.Start(&problem)) {
    log.Log(host::Priority::kError, "no HTTP endpoint: " + problem);
  }
  // Protecting this machine comes first: an address that cannot be served only costs the
  // sharing there, and is tried again.
  if (std::string problem; !config->network.listen.empty() && !server.Start(&problem)) {
    log.Log(host::Priority::kError, "not sharing the UPS on the network: " + problem);
  }
  log.Log(host::Priority::kInfo, "watching the UPS '" + options.name + "' on port " +
                                     config->ups.port + " (driver " + driver->Path() + ")");
  remember("service-started", 0, "watching the UPS on port " + config->ups.port,
           std::chrono::system_clock::now());
  readiness.Attach(&service);  // once every listener is in place
  service.Start();
  host::NotifyServiceManager("READY=1");
  host::WaitForStopRequest();
  host::NotifyServiceManager("STOPPING=1");
  server.Stop();
  http.Stop();
  backend.Stop();
  service.Stop();
  readiness.Attach(nullptr);  // nothing more reaches the host, which stops
  // Answers from the helper reach the history through the host: none may come once it is gone.
  requests.reset();
  remember("service-stopped", 0, "stopped", std::chrono::system_clock::now());
  {
    std::lock_guard lock(historyMutex);
    history.reset();  // written to the disk before the service says it has stopped
  }
  log.Log(host::Priority::kInfo, "stopped");
  return kExitOk;
}

int RunInstall(const std::string& given) {
  // The service starts elsewhere than this command: a relative path would name another file.
  const std::string configPath = std::filesystem::absolute(given).string();
  const auto config = LoadOrExplain(configPath);
  if (!config || !StartChecksPass(*config, configPath)) return kExitUsage;
  if (auto problem = PrepareSetup(SetupFrom(*config))) return Fail(kExitRegistry, *problem);
  std::string error;
  if (!host::InstallService(kServiceName, configPath, &error)) {
    return Fail(kExitFailure, "cannot register the service: " + error);
  }
  std::printf("the service %s is registered; it starts at boot (now: net start %s)\n", kServiceName,
              kServiceName);
  return kExitOk;
}

int RunRemove() {
  std::string error;
  if (!host::RemoveService(kServiceName, &error)) {
    return Fail(kExitFailure, "cannot remove the service: " + error);
  }
  std::printf("the service %s is removed\n", kServiceName);
  return kExitOk;
}

int RunShutdownHelper(const std::string& configPath) {
  host::Logger log(host::UnderServiceManager());
  if (!host::RunningAsAdministrator()) return Fail(kExitUsage, "shutdown-helper runs as root");
  // Root acts on this file: it must be root's alone.
  const auto config = LoadOrExplain(configPath);
  if (!config) return kExitUsage;
  if (auto untrusted = host::UntrustedConfig(configPath, !config->users.empty())) {
    return Fail(kExitUsage, *untrusted);
  }
  const auto& shutdown = config->shutdown;
  // Root writes the flag and its answers only where the service's account cannot reach.
  for (const auto& folder :
       {std::filesystem::path(shutdown.flagFile).parent_path().string(), shutdown.results}) {
    if (auto untrusted = host::UntrustedFolder(folder)) return Fail(kExitUsage, *untrusted);
  }
  const auto powerOff = [&]() -> std::optional<host::ExitStatus> {
    std::string error;
    if (host::ShutDownSystem(config->ups.name + ": power failure", &error))
      return host::ExitStatus{};
    log.Log(host::Priority::kCritical, "cannot shut the system down: " + error);
    return host::ExitStatus{false, 1};
  };
  host::RequestHandlers handlers;
  handlers.writeFlag = [&] {
    host::WriteFlagFile(shutdown.flagFile, KillPowerFacts(*config).Text(), log);
  };
  handlers.removeFlag = [&] { host::RemoveFlagFile(shutdown.flagFile); };
  const auto runShutdown = [&]() -> std::optional<host::ExitStatus> {
    if (shutdown.command.empty()) return powerOff();
    std::string error;
    const auto command =
        host::StartCommand(shutdown.command, {{"CORVALE_UPS_NAME", config->ups.name}}, &error);
    if (!command) {
      log.Log(host::Priority::kCritical, "cannot run the shutdown command: " + error);
      return std::nullopt;
    }
    // A command that hangs is a failure the service tries again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
      if (auto status = command->Poll()) return status;
      if (std::chrono::steady_clock::now() >= deadline) command->Kill();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  // A shutdown that failed leaves no flag behind: the service writes it again with its next try,
  // and one that stopped meanwhile must not leave a power cut for the next ordinary restart.
  const auto unflagIfFailed = [&](std::optional<host::ExitStatus> status) {
    if (!status || status->signalled || status->code != 0) {
      host::RemoveFlagFile(shutdown.flagFile);
      log.Log(host::Priority::kWarning,
              "the shutdown did not succeed: the flag is removed until the service tries again");
    }
    return status;
  };
  handlers.powerOff = [&] { return unflagIfFailed(powerOff()); };
  handlers.shutdown = [&] { return unflagIfFailed(runShutdown()); };
  // One pass, bounded: systemd starts the helper again while the folder is not empty.
  host::HandleRequests(shutdown.requests, shutdown.results, handlers, log);
  return kExitOk;
}

int RunDisarm(const std::string& configPath) {
  if (!host::RunningAsAdministrator()) {
    return Fail(kExitUsage, "disarm runs as root (the flag is root's): sudo corvale-ups disarm");
  }
  // As kill-power looks for it: a configuration broken by an edit must not hide a flag.
  const auto loaded = host::LoadConfig(configPath);
  const std::string flag =
      loaded.problems.empty() ? loaded.config.shutdown.flagFile : host::DefaultFlagFile();
  std::error_code error;
  // Removes a link itself, never what it points to.
  if (std::filesystem::remove(flag, error)) {
    std::printf(
        "removed %s: no power cut follows the next shutdown, unless the service shuts down "
        "again\n",
        flag.c_str());
    return kExitOk;
  }
  if (error) return Fail(kExitFailure, "cannot remove " + flag + ": " + error.message());
  std::printf("no flag %s: no power cut is pending\n", flag.c_str());
  return kExitOk;
}

int RunKillPower(const std::string& configPath, const std::string& flagFile) {
  host::Logger log(host::UnderServiceManager());
  // The flag says all that is needed: at this point a separate /var may be gone, and a broken
  // edit of the configuration must not keep the power from coming back.
  const auto loaded = host::LoadConfig(configPath);
  const std::string flag = !flagFile.empty()         ? flagFile
                           : loaded.problems.empty() ? loaded.config.shutdown.flagFile
                                                     : host::DefaultFlagFile();
  if (!loaded.problems.empty()) {
    log.Log(host::Priority::kWarning, "cannot use " + configPath + " (" +
                                          host::Describe(configPath, loaded.problems.front()) +
                                          "): looking for the flag at " + flag);
  }
  // Only a flag that root wrote in a folder only root may write says anything.
  const std::filesystem::path flagPath(flag);
  std::string whyNot;
  const auto folder = host::OpenFolder(flagPath.parent_path().string(), true, false, &whyNot);
  if (!folder) {
    if (!host::UntrustedFolder(flagPath.parent_path().string())) {
      std::printf("no flag file %s: the UPS stays on\n", flag.c_str());
      return kExitOk;
    }
    log.Log(host::Priority::kCritical, "kill-power: ignored the flag " + flag + ": " + whyNot);
    return kExitFailure;
  }
  constexpr std::size_t kLargestFlag = 64 * 1024;
  const auto text = folder->ReadOwnFile(flagPath.filename().string(), kLargestFlag, &whyNot);
  if (!text && whyNot.empty()) {
    std::printf("no flag file %s: the UPS stays on\n", flag.c_str());
    return kExitOk;
  }
  // Whatever else is there goes: it says nothing, and must not say it at the next shutdown.
  folder->Remove(flagPath.filename().string());
  if (!text) {
    log.Log(host::Priority::kCritical, "kill-power: ignored " + flag + ": " + whyNot);
    return kExitFailure;
  }
  std::istringstream in(*text);
  const KillPowerFacts facts = KillPowerFacts::Parse(in, loaded.config);
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(facts.library);
  } catch (const std::runtime_error& failure) {
    log.Log(host::Priority::kCritical, std::string("kill-power: ") + failure.what());
    return kExitNoLibrary;
  }
  // A registry of its own beside the flag (on /run, which stays to the end; root's alone).
  const PrivateSetup own(Setup{facts.registry, facts.devices, facts.port},
                         std::filesystem::path(flag).parent_path().string());
  const Setup& setup = own.Get();
  constexpr int kAttempts = 4;
  int code = kExitNoUps;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    std::string why;
    if (auto problem = PrepareSetup(setup)) {
      why = *problem;
      code = kExitRegistry;
    } else if (code = StartDriver(*driver, setup, &why); code == kExitOk || code == kExitNoUps) {
      const bool acknowledged = driver->TurnOff(facts.delay) != 0;
      driver->Stop();
      if (acknowledged) {
        code = kExitOk;
        break;
      }
      why = "the UPS did not acknowledge the turn-off";
      code = kExitNoUps;
    }
    log.Log(host::Priority::kError, "kill-power: attempt " + std::to_string(attempt) + " of " +
                                        std::to_string(kAttempts) + " failed: " + why);
    if (attempt < kAttempts) std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  if (code != kExitOk) {
    log.Log(host::Priority::kCritical,
            facts.name +
                ": kill-power: the UPS was NOT turned off; the host stays down until "
                "someone switches it on");
    return code;
  }
  log.Log(host::Priority::kCritical, facts.name + ": kill-power: the UPS turns its output off in " +
                                         std::to_string(facts.delay) +
                                         " s and on again when the power returns");
  return kExitOk;
}

}  // namespace corvale
