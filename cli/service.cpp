// `corvale-ups service`, `check-config` and `kill-power`: the system service, driven by its
// configuration file, and the power cut that its shutdown hook orders once the host is down.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/checked_answer.h"
#include "cli/commands.h"
#include "cli/service_config.h"
#include "host/config.h"
#include "host/control.h"
#include "host/history.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/http/http_server.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/shutdown_requests.h"
#include "host/start_checks.h"
#include "host/utf8_path.h"

namespace corvale {

namespace {

// What kill-power needs of one UPS, written into the flag when the shutdown is decided: one
// "key=value" a line after a comment.
struct KillPowerFacts {
  std::string name, port, devices, registry, library;
  std::uint32_t delay = 120;

  KillPowerFacts(const host::Config& config, const host::Config::Ups& ups)
      : name(ups.name),
        port(ups.port),
        devices(ups.devices),
        registry(ups.registry),
        library(ups.library),
        delay(config.TurnOffDelay(ups)) {}
  explicit KillPowerFacts(const host::Config& config) : KillPowerFacts(config, config.ups()) {}

  // Where the driver's setup is no folders (Windows), their keys would only mislead whoever
  // reads the flag.
  std::string Text(const std::string& prefix = "") const {
    std::string text = prefix + "name=" + name + "\n" + prefix + "port=" + port + "\n";
    if (SetupInFolders()) {
      text += prefix + "devices=" + devices + "\n" + prefix + "registry=" + registry + "\n";
    }
    return text + prefix + "library=" + library + "\n" + prefix +
           "turn_off_delay=" + std::to_string(delay) + "\n";
  }

  // One key of it (without its prefix); false when it is none of its keys.
  bool Take(const std::string& key, const std::string& value) {
    if (key == "name") name = value;
    if (key == "port") port = value;
    if (key == "devices") devices = value;
    if (key == "registry") registry = value;
    if (key == "library") library = value;
    if (key == "turn_off_delay" && !value.empty() && value.size() <= 3 &&
        value.find_first_not_of("0123456789") == std::string::npos) {
      delay = static_cast<std::uint32_t>(std::stoul(value));
    }
    return key == "name" || key == "port" || key == "devices" || key == "registry" ||
           key == "library" || key == "turn_off_delay";
  }
};

// The most UPSes one flag names (a bit each in the root helper's request).
constexpr std::size_t kMostFlaggedUpses = 64;

// The UPSes a flag names. Every version reads the first from the plain keys (what it lacks, in a
// flag of an older version, comes from `fallback`); a flag for several UPSes says how many
// ("upses=N") and names each in full as "ups.K.key" (K from 1), which an older kill-power
// ignores: it turns the first off and leaves the others on, never one it was not asked to.
std::vector<KillPowerFacts> ParseKillPowerFacts(std::istream& in, const host::Config& fallback) {
  KillPowerFacts first(fallback);
  std::optional<std::size_t> count;
  std::vector<std::pair<std::string, std::string>> numbered;
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "upses" && !value.empty() && value.size() <= 2 &&
        value.find_first_not_of("0123456789") == std::string::npos) {
      count = std::stoul(value);
    } else if (key.starts_with("ups.")) {
      numbered.emplace_back(key.substr(4), value);
    } else {
      first.Take(key, value);
    }
  }
  if (!count) return {first};
  if (*count == 0 || *count > kMostFlaggedUpses) return {};
  // Each in full: nothing of one UPS is taken from another, or from the configuration.
  std::vector<KillPowerFacts> upses;
  std::vector<bool> hasPort(*count, false);
  host::Config blank;
  blank.upses = {host::Config::Ups{}};
  for (std::size_t k = 0; k < *count; ++k) upses.emplace_back(blank);
  for (const auto& [key, value] : numbered) {
    const auto dot = key.find('.');
    const std::string number = key.substr(0, dot);
    if (dot == std::string::npos || number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::size_t k = std::stoul(number);
    if (k == 0 || k > *count) continue;
    upses[k - 1].Take(key.substr(dot + 1), value);
    if (key.substr(dot + 1) == "port") hasPort[k - 1] = true;
  }
  std::vector<KillPowerFacts> complete;
  for (std::size_t k = 0; k < *count; ++k) {
    if (hasPort[k]) complete.push_back(upses[k]);
  }
  return complete;
}

}  // namespace

void Explain(host::Logger* log, host::Priority priority, const std::string& text, int messageId) {
  if (log != nullptr) {
    log->Log(priority, text, priority <= host::Priority::kError ? messageId : 0);
  } else {
    std::fprintf(stderr, "corvale-ups: %s\n", text.c_str());
  }
}

std::optional<host::Config> LoadOrExplain(const std::string& path, host::Logger* log,
                                          int messageId) {
  auto loaded = host::LoadConfig(path);
  if (loaded.problems.empty()) return loaded.config;
  for (const auto& problem : loaded.problems) {
    Explain(log, host::Priority::kError, host::Describe(path, problem), messageId);
  }
  return std::nullopt;
}

bool StartChecksPass(const host::Config& config, const std::string& path, host::Logger* log,
                     int messageId) {
  const auto checks = host::CheckBeforeStart(config, path);
  for (const auto& warning : checks.warnings) {
    Explain(log, host::Priority::kWarning, path + ": warning: " + warning, messageId);
  }
  for (const auto& problem : checks.problems) {
    Explain(log, host::Priority::kError, path + ": " + problem, messageId);
  }
  return checks.problems.empty();
}

Setup SetupFrom(const host::Config& config) {
  return SetupFrom(config, config.ups());
}

Setup SetupFrom(const host::Config&, const host::Config::Ups& ups) {
  if (ups.Agent()) return Setup{};
  // Where the driver keeps its setup in the system's registry, the folders mean nothing.
  if (!SetupInFolders()) return Setup{"", "", ups.port};
  return Setup{ups.registry, ups.devices, ups.port};
}

std::string KillPowerText(const host::Config& config, std::uint64_t units) {
  // The plain flag is a single UPS's; never one watched only.
  if (units == 0) {
    const bool one = config.upses.size() == 1 && config.ups().supplies > 0;
    return one ? KillPowerFacts(config).Text() : "";
  }
  std::vector<KillPowerFacts> ordered;
  for (std::size_t index = 0; index < config.upses.size() && index < kMostFlaggedUpses; ++index) {
    const auto& ups = config.upses[index];
    // A UPS watched only is never turned off, whoever asks.
    if ((units >> index & 1u) != 0 && ups.supplies > 0 && !ups.Agent()) {
      ordered.emplace_back(config, ups);
    }
  }
  if (ordered.empty()) return "";
  std::string text = ordered.front().Text() + "upses=" + std::to_string(ordered.size()) + "\n";
  for (std::size_t k = 0; k < ordered.size(); ++k) {
    text += ordered[k].Text("ups." + std::to_string(k + 1) + ".");
  }
  return text;
}

std::uint64_t UnitBits(const std::vector<std::size_t>& units) {
  std::uint64_t bits = 0;
  for (const auto index : units) {
    if (index < kMostFlaggedUpses) bits |= std::uint64_t{1} << index;
  }
  return bits;
}

// What the machine would do right now, as the running service sees each UPS; only the service
// knows, and whoever took its account may answer anything: every word is checked and shown as
// text.
int SayWhatItWouldDo(const host::Config& config) {
  std::string why = "it has no local channel (service.control is empty)";
  const auto answer =
      config.service.control.empty()
          ? std::nullopt
          : host::AskService(config.service.control, "SUPPLIES", std::chrono::seconds(2), &why);
  if (!answer) {
    std::printf(
        "right now: unknown: the running service does not answer (%s); only it knows "
        "which UPS feeds this machine now\n",
        Printable(why).c_str());
    return kExitOk;
  }
  const auto supplies = nlohmann::json::parse(*answer, nullptr, false);
  if (!WellFormedSupplies(supplies)) return Fail(kExitNoService, kMalformedAnswer);
  for (const auto& ups : supplies["upses"]) {
    const auto name = Printable(ups["name"].get<std::string>());
    const auto count = ups["supplies"].get<std::uint64_t>();
    const bool known = ups["known"].get<bool>(), feeds = ups["feeds"].get<bool>();
    const std::string said = !known ? "not heard from yet"
                             : feeds
                                 ? "feeds"
                                 : "does not feed: " + Printable(ups.value("why", std::string()));
    std::printf("  %s (%llu %s): %s\n", name.c_str(), static_cast<unsigned long long>(count),
                count == 1 ? "supply" : "supplies", said.c_str());
  }
  std::printf("right now: %s\n", WhatTheMachineWouldDo(supplies).c_str());
  // The UPSes, their supplies and the minimum are taken at the start alone: a file changed since
  // would otherwise be read as what the service does.
  bool same = supplies["minimum"].get<std::uint64_t>() == config.MinSupplies() &&
              supplies["upses"].size() == config.upses.size();
  for (std::size_t index = 0; same && index < config.upses.size(); ++index) {
    const auto& ups = supplies["upses"][index];
    same = ups["name"].get<std::string>() == config.UnitName(config.upses[index]) &&
           ups["supplies"].get<std::uint64_t>() == config.upses[index].supplies;
  }
  if (!same) {
    std::printf(
        "the running service still counts the UPSes, supplies and minimum it started with, not "
        "this file's: restart the service to apply them\n");
  }
  return kExitOk;
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
  // Two sessions of one stage's user: one machine's login hides the other's shutdown and wake-up.
  // Only the running service knows its sessions; it says so to root over its local channel.
  if (std::string why; !config->stages.empty() && !config->service.control.empty()) {
    const auto answer =
        host::AskService(config->service.control, "PLAN", std::chrono::seconds(2), &why);
    const auto status = answer ? nlohmann::json::parse(*answer, nullptr, false) : nlohmann::json();
    if (status.is_object() && status.contains("plan")) {
      if (!WellFormedStatus(status)) return Fail(kExitNoService, kMalformedAnswer);
      for (const auto& stage : status["plan"].value("stages", nlohmann::json::array())) {
        for (const auto& machine : stage.value("machines", nlohmann::json::array())) {
          const auto addresses = machine.value("addresses", nlohmann::json::array());
          if (addresses.size() < 2) continue;
          Explain(nullptr, host::Priority::kWarning,
                  configPath + ": warning: stage \"" +
                      Printable(stage.value("name", std::string())) +
                      "\": " + Printable(machine.value("user", std::string())) + " is logged in " +
                      std::to_string(addresses.size()) +
                      " times: give each machine of a stage a user of its own");
        }
      }
    }
  }
  if (config->upses.size() > 1) {
    std::string upses;
    for (const auto& ups : config->upses) {
      upses += (upses.empty() ? "" : ", ") + config->UnitName(ups) + " (" +
               std::to_string(ups.supplies) + (ups.supplies == 1 ? " supply)" : " supplies)");
    }
    std::printf("%s: fine: %s %zu UPSes: %s\n", configPath.c_str(),
                config->Agent() ? "an agent following" : "on this machine's cables,",
                config->upses.size(), upses.c_str());
  } else if (config->ups().Agent()) {
    std::printf("%s: fine: an agent following the UPS '%s' on %s\n", configPath.c_str(),
                config->ups().name.c_str(), config->ups().server.c_str());
  } else {
    std::printf("%s: fine\n", configPath.c_str());
  }
  if (config->Supplies() == 0) {
    std::printf(
        "monitor only: every UPS is watched only (supplies = 0): this machine never shuts "
        "down for the power\n");
  } else if (config->entries) {
    std::printf(
        "shuts down when fewer than %u of its %u power supplies are fed by a UPS that is "
        "well\n",
        config->MinSupplies(), config->Supplies());
  }
  if (config->entries) return SayWhatItWouldDo(*config);
  return kExitOk;
}

int RunPrepareDataFolder() {
  std::string error;
  if (!host::PrepareDataFolder(&error)) return Fail(kExitFailure, error);
  return kExitOk;
}

int RunInstall(const std::string& given) {
  // The service starts elsewhere than this command: a relative path would name another file.
  const std::string configPath =
      host::Utf8FromPath(std::filesystem::absolute(host::PathFromUtf8(given)));
  // Its own folder first, the administrators' alone, so that nothing another account put there
  // is trusted.
  if (std::string error; !host::PrepareDataFolder(&error)) return Fail(kExitFailure, error);
  const auto config = LoadOrExplain(configPath);
  if (!config || !StartChecksPass(*config, configPath)) return kExitUsage;
  if (config->ups().Agent()) {
    // No port, no registry: an agent only needs the network.
  } else if (auto problem = PrepareSetup(SetupFrom(*config))) {
    return Fail(kExitRegistry, *problem);
  }
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
  bool wasRegistered = true;
  if (!host::RemoveService(kServiceName, &error, &wasRegistered)) {
    return Fail(kExitFailure, "cannot remove the service: " + error);
  }
  std::printf(wasRegistered ? "the service %s is removed\n"
                            : "the service %s is not registered: nothing to remove\n",
              kServiceName);
  return kExitOk;
}

// The file as root's helper acts on it. An edit that broke it (refused by the reload, or never
// reloaded) must not keep the machine from shutting down: the last copy that was good (read well,
// root's alone, its shutdown program there), kept by root where only root may write, stands in.
std::optional<host::Config> HelperConfig(const std::string& path, const std::string& lastGood,
                                         host::Logger& log) {
  std::ifstream in(host::PathFromUtf8(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  host::LoadedConfig loaded;
  if (in) {
    loaded = host::ParseConfig(text.str());
  } else {
    loaded.problems.push_back({0, "cannot read the file"});
  }
  const std::filesystem::path kept(lastGood);
  std::string why;
  const auto folder =
      lastGood.empty() ? nullptr : host::OpenFolder(kept.parent_path().string(), true, false, &why);
  if (loaded.problems.empty()) {
    // Root acts on this file: it must be root's alone, and only then is it kept.
    const bool passwords = host::HoldsSecrets(loaded.config);
    if (auto untrusted = host::UntrustedConfig(path, passwords)) {
      Fail(kExitUsage, *untrusted);
      return std::nullopt;
    }
    // A typo in the program root runs is as bad as a broken file.
    const auto& shutdown = loaded.config.shutdown;
    const auto commandProblem =
        shutdown.command.empty() ? std::nullopt : host::CommandProblem(shutdown.command, "");
    if (!commandProblem) {
      // It may hold passwords: root's alone.
      if (folder && !folder->Replace(kept.filename().string(), text.str(), &why, true)) {
        log.Log(host::Priority::kWarning,
                "cannot keep a copy of " + path + " in " + lastGood + ": " + why);
      }
      return loaded.config;
    }
    log.Log(host::Priority::kCritical,
            host::Describe(path, {shutdown.commandLine, "shutdown.command: " + *commandProblem}));
  } else {
    for (const auto& problem : loaded.problems) {
      log.Log(host::Priority::kCritical, host::Describe(path, problem));
    }
    // Who may write it; whether it holds passwords a broken file cannot tell.
    if (auto untrusted = host::UntrustedConfig(path, false)) {
      log.Log(host::Priority::kCritical, *untrusted);
    }
  }
  constexpr std::size_t kLargestFile = 1024 * 1024;
  const auto copy =
      folder ? folder->ReadOwnFile(kept.filename().string(), kLargestFile, &why) : std::nullopt;
  if (copy) {
    auto previous = host::ParseConfig(*copy);
    if (previous.problems.empty()) {
      log.Log(host::Priority::kCritical,
              "acting on the last good copy of " + path + " (" + lastGood +
                  ") until the file is mended: corvale-ups check-config says what is wrong");
      return previous.config;
    }
  }
  // Read well but for its program: acted on, and the service falls back to the system's own call.
  if (loaded.problems.empty()) return loaded.config;
  log.Log(host::Priority::kCritical,
          "no good copy of " + path + " is kept: the service's requests are not carried out");
  return std::nullopt;
}

int RunShutdownHelper(const std::string& configPath, const std::string& lastGood) {
  host::Logger log(host::UnderServiceManager());
  if (!host::RunningAsAdministrator()) return Fail(kExitUsage, "shutdown-helper runs as root");
  const auto config = HelperConfig(configPath, lastGood, log);
  if (!config) return kExitUsage;
  const auto& shutdown = config->shutdown;
  // Root writes the flag and its answers only where the service's account cannot reach.
  for (const auto& folder :
       {host::Utf8FromPath(host::PathFromUtf8(shutdown.flagFile).parent_path()),
        shutdown.results}) {
    if (auto untrusted = host::UntrustedFolder(folder)) return Fail(kExitUsage, *untrusted);
  }
  const auto powerOff = [&]() -> std::optional<host::ExitStatus> {
    std::string error;
    if (host::ShutDownSystem(config->ups().name + ": power failure", &error))
      return host::ExitStatus{};
    log.Log(host::Priority::kCritical, "cannot shut the system down: " + error);
    return host::ExitStatus{false, 1};
  };
  host::RequestHandlers handlers;
  handlers.writeFlag = [&](std::uint64_t units, std::uint64_t upsList) {
    // An agent has no line to the UPS: whoever asks, its primary alone cuts the power.
    if (config->ups().Agent()) {
      return log.Log(host::Priority::kWarning,
                     "not writing the flag: this machine is an agent (ups.server), and the power "
                     "cut is its primary's");
    }
    // The request names UPSes by their places in the list the service runs on. After an edit
    // the service has not taken (a reload refuses another set of UPSes), the same places name
    // other UPSes here: none is turned off rather than one nobody ordered.
    if (units != 0 && upsList != config->UpsListDigest()) {
      return log.Log(host::Priority::kCritical,
                     "not writing the flag: the UPSes in " + configPath +
                         " are not the ones the service runs on (the file was changed since "
                         "it started); no UPS will be turned off after this shutdown. Restart "
                         "the service after changing [[ups]] entries");
    }
    // Root's own file says which UPSes there are and how to reach them; the request only which
    // of them.
    const std::string text = KillPowerText(*config, units);
    if (text.empty()) {
      return log.Log(host::Priority::kWarning,
                     "not writing the flag: the UPSes asked for are none that feeds this machine "
                     "in " +
                         configPath);
    }
    // Kept aside until the service's own shutdown: a flag asked for alone (the service's account
    // may be taken) must not turn the UPS off at the next ordinary reboot.
    if (host::WriteFlagFile(host::PendingFlagFile(shutdown.flagFile), text, log)) {
      log.Log(host::Priority::kInfo, "the flag waits in " +
                                         host::PendingFlagFile(shutdown.flagFile) +
                                         " until the service's shutdown runs");
    }
  };
  handlers.removeFlag = [&] { host::RemoveFlagFile(shutdown.flagFile); };
  const auto runShutdown = [&]() -> std::optional<host::ExitStatus> {
    if (shutdown.command.empty()) return powerOff();
    std::string error;
    const auto command =
        host::StartCommand(shutdown.command, {{"CORVALE_UPS_NAME", config->ups().name}}, &error);
    if (!command) {
      log.Log(host::Priority::kCritical, "cannot run the shutdown command: " + error);
      return std::nullopt;
    }
    // A command that hangs is a failure the service tries again.
    const auto deadline = std::chrono::steady_clock::now() + host::kShutdownCommandTimeLimit;
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
  // Root writes the flag only together with a shutdown it carries out.
  const auto armFlag = [&] {
    if (host::ArmPendingFlag(shutdown.flagFile, log)) {
      log.Log(host::Priority::kNotice, "wrote the flag " + shutdown.flagFile +
                                           ": the UPS is turned off after this shutdown");
    }
  };
  handlers.powerOff = [&] {
    armFlag();
    return unflagIfFailed(powerOff());
  };
  handlers.shutdown = [&] {
    armFlag();
    return unflagIfFailed(runShutdown());
  };
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
  // One the service asked for, which root keeps until its shutdown, goes too, and is said: the
  // shutdown being prepared now ends without its power cut. Each is tried whatever the other did.
  const std::string pending = host::PendingFlagFile(flag);
  std::error_code pendingError, flagError;
  const bool pendingRemoved = std::filesystem::remove(host::PathFromUtf8(pending), pendingError);
  // Removes a link itself, never what it points to.
  const bool flagRemoved = std::filesystem::remove(host::PathFromUtf8(flag), flagError);
  if (pendingRemoved) {
    std::printf("removed %s: the power cut the service asked for with its shutdown is cancelled\n",
                pending.c_str());
  }
  if (flagRemoved) {
    std::printf(
        "removed %s: no power cut follows the next shutdown, unless the service shuts down "
        "again\n",
        flag.c_str());
  }
  if (flagError) return Fail(kExitFailure, "cannot remove " + flag + ": " + flagError.message());
  if (pendingError) {
    return Fail(kExitFailure, "cannot remove " + pending + ": " + pendingError.message());
  }
  if (!pendingRemoved && !flagRemoved) {
    std::printf("no flag %s: no power cut is pending\n", flag.c_str());
  }
  return kExitOk;
}

namespace {

// One try at ordering one UPS off, as kill-power does at the very end: the driver started on a
// registry of its own in `folder` (on /run, which stays to the end; root's alone). kExitOk when
// the UPS acknowledged; otherwise why not in `why`.
int TryTurnOff(const KillPowerFacts& facts, const std::string& folder, std::string* why) {
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(facts.library);
  } catch (const std::runtime_error& failure) {
    *why = failure.what();
    return kExitNoLibrary;
  }
  const PrivateSetup own(Setup{facts.registry, facts.devices, facts.port}, folder);
  const Setup& setup = own.Get();
  if (auto problem = PrepareSetup(setup)) {
    *why = *problem;
    return kExitRegistry;
  }
  const int code = StartDriver(*driver, setup, why);
  if (code != kExitOk && code != kExitNoUps) return code;
  const bool acknowledged = driver->TurnOff(facts.delay) != 0;
  driver->Stop();
  if (acknowledged) return kExitOk;
  *why = "the UPS did not acknowledge the turn-off";
  return kExitNoUps;
}

// Orders each UPS off with its own delay, in rounds: every UPS is tried once before any is tried
// again, so that a silent one never spends the time the system's last step leaves the others.
int TurnOffAfterShutdown(const std::vector<KillPowerFacts>& upses, const std::string& folder,
                         host::Logger& log) {
  constexpr int kAttempts = 4;
  std::vector<int> codes(upses.size(), kExitNoUps);
  // Settled: turned off, or a library that cannot be loaded (it stays so).
  const auto settled = [&codes](std::size_t i) {
    return codes[i] == kExitOk || codes[i] == kExitNoLibrary;
  };
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    bool failed = false;
    for (std::size_t i = 0; i < upses.size(); ++i) {
      if (settled(i)) continue;
      const auto& facts = upses[i];
      std::string why;
      codes[i] = TryTurnOff(facts, folder, &why);
      if (codes[i] == kExitOk) {
        log.Log(host::Priority::kCritical,
                facts.name + ": kill-power: the UPS turns its output off in " +
                    std::to_string(facts.delay) + " s and on again when the power returns");
      } else if (codes[i] == kExitNoLibrary) {
        log.Log(host::Priority::kCritical, facts.name + ": kill-power: " + why);
      } else {
        failed = true;
        log.Log(host::Priority::kError, facts.name + ": kill-power: attempt " +
                                            std::to_string(attempt) + " of " +
                                            std::to_string(kAttempts) + " failed: " + why);
      }
    }
    if (!failed) break;
    if (attempt < kAttempts) std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  int worst = kExitOk;
  for (std::size_t i = 0; i < upses.size(); ++i) {
    if (codes[i] == kExitOk) continue;
    log.Log(host::Priority::kCritical,
            upses[i].name +
                ": kill-power: the UPS was NOT turned off; the host stays down until "
                "someone switches it on");
    if (worst == kExitOk) worst = codes[i];
  }
  return worst;
}

}  // namespace

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
  const std::filesystem::path flagPath = host::PathFromUtf8(flag);
  const std::string flagFolder = host::Utf8FromPath(flagPath.parent_path());
  std::string whyNot;
  const auto folder = host::OpenFolder(flagFolder, true, false, &whyNot);
  if (!folder) {
    if (!host::UntrustedFolder(flagFolder)) {
      std::printf("no flag file %s: the UPS stays on\n", flag.c_str());
      return kExitOk;
    }
    log.Log(host::Priority::kCritical, "kill-power: ignored the flag " + flag + ": " + whyNot);
    return kExitFailure;
  }
  // A flag the service asked for but root never took up with a shutdown: it cuts nothing, now or
  // at a later reboot.
  const std::string pending = host::PendingFlagFile(flag);
  if (folder->Remove(host::Utf8FromPath(host::PathFromUtf8(pending).filename()))) {
    log.Log(host::Priority::kWarning, "kill-power: removed " + pending +
                                          ": the service asked for a power cut, but root ran no "
                                          "shutdown of the service's with it");
  }
  constexpr std::size_t kLargestFlag = 64 * 1024;
  const auto text =
      folder->ReadOwnFile(host::Utf8FromPath(flagPath.filename()), kLargestFlag, &whyNot);
  if (!text && whyNot.empty()) {
    std::printf("no flag file %s: the UPS stays on\n", flag.c_str());
    return kExitOk;
  }
  // Whatever else is there goes: it says nothing, and must not say it at the next shutdown.
  folder->Remove(host::Utf8FromPath(flagPath.filename()));
  if (!text) {
    log.Log(host::Priority::kCritical, "kill-power: ignored " + flag + ": " + whyNot);
    return kExitFailure;
  }
  if (loaded.problems.empty() && loaded.config.ups().Agent()) {
    log.Log(host::Priority::kWarning, "kill-power: ignored " + flag +
                                          ": this machine is an agent (ups.server) and has no "
                                          "line to the UPS; its primary cuts the power");
    return kExitOk;
  }
  std::istringstream in(*text);
  const auto upses = ParseKillPowerFacts(in, loaded.config);
  if (upses.empty()) {
    log.Log(host::Priority::kCritical, "kill-power: ignored " + flag + ": it names no UPS in full");
    return kExitFailure;
  }
  // Each with its own delay and a registry of its own beside the flag.
  return TurnOffAfterShutdown(upses, flagPath.parent_path().string(), log);
}

}  // namespace corvale
