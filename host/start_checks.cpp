#include "host/start_checks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "host/agent/follower_tls.h"
#include "host/driver_library.h"
#include "host/history.h"
#include "host/host_os.h"
#include "host/listening.h"
#include "host/notify/sender.h"
#include "host/nut/nut_server.h"
#include "host/plan/coordinator.h"
#include "host/utf8_path.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

bool Inside(const std::string& path, const std::string& folder) {
  const auto relative =
      PathFromUtf8(path).lexically_normal().lexically_relative(PathFromUtf8(folder));
  return !relative.empty() && *relative.begin() != "..";
}

bool IsDefaultConfig(const std::string& path) {
  return PathFromUtf8(path).lexically_normal() == PathFromUtf8(DefaultConfigPath());
}

// Whether two listen addresses would take the same port: the same address, or a wildcard
// ("0.0.0.0", "[::]", "*") and any address of its family. A name (not a literal address) may
// resolve to either family, so it meets every wildcard and itself.
bool ListenAddressesOverlap(const std::string& first, const std::string& second) {
  std::string hosts[2], ports[2];
  if (!SplitListenAddress(first, &hosts[0], &ports[0]) ||
      !SplitListenAddress(second, &hosts[1], &ports[1]) || ports[0] != ports[1]) {
    return false;
  }
  enum Family { kAny, kV4, kV6 };
  struct Kind {
    Family family = kAny;
    bool wildcard = false;
    std::string address;  // as parsed, so that "::1" and "0:0::1" are one
  } kinds[2];
  for (int at = 0; at < 2; ++at) {
    if (hosts[at].empty()) {
      kinds[at] = {kAny, true, ""};
      continue;
    }
    std::error_code error;
    const auto address = asio::ip::make_address(hosts[at], error);
    if (error) {
      kinds[at] = {kAny, false, hosts[at]};
    } else {
      kinds[at] = {address.is_v4() ? kV4 : kV6, address.is_unspecified(), address.to_string()};
    }
  }
  const Kind& a = kinds[0];
  const Kind& b = kinds[1];
  if (a.address == b.address && a.family == b.family) return true;
  const bool familiesMeet = a.family == kAny || b.family == kAny || a.family == b.family;
  return familiesMeet && (a.wildcard || b.wildcard);
}

// Pairs of addresses, in one list or across NUT's and HTTP's, that cannot all listen.
void CheckListenOverlaps(const Config& config, std::vector<std::string>& problems) {
  struct Named {
    const char* key;
    const std::string* address;
  };
  std::vector<Named> all;
  for (const auto& address : config.network.listen) all.push_back({"network.listen", &address});
  for (const auto& address : config.http.listen) all.push_back({"http.listen", &address});
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      const auto& [firstKey, first] = all[i];
      const auto& [secondKey, second] = all[j];
      // The exact repeat within one list is the configuration's own problem, with its line.
      if (*first == *second && std::string(firstKey) == secondKey) continue;
      if (!ListenAddressesOverlap(*first, *second)) continue;
      const bool acrossServers = std::string(firstKey) != secondKey;
      problems.push_back(std::string(firstKey) + " \"" + *first + "\" and " + secondKey + " \"" +
                         *second + "\" take the same port" +
                         (acrossServers ? ": HTTP and NUT need ports of their own"
                                        : ": an address that covers every address of its family "
                                          "(0.0.0.0, [::]) cannot share a port with another"));
    }
  }
}

// An agent that cannot speak TLS, or cannot read what it checks the server against, never
// connects: it would meet the next power failure blind.
void CheckAgent(const Config::Ups& ups, bool installed, StartChecks& checks) {
  std::string keys;  // the TLS keys the file sets, and only those
  for (const auto& [key, set] :
       {std::pair{"ups.require_tls", ups.requireTls}, std::pair{"ups.ca_file", !ups.caFile.empty()},
        std::pair{"ups.fingerprint", !ups.fingerprint.empty()}}) {
    if (set) keys += (keys.empty() ? "" : ", ") + std::string(key);
  }
  if (std::string why; !keys.empty() && !agent::ClientTlsAvailable(&why)) {
    checks.problems.push_back(keys + ": " + why);
  }
  if (!ups.caFile.empty()) {
    std::error_code error;
    // As the installed service's account will meet it, whoever runs the check.
    if (!fs::is_regular_file(PathFromUtf8(ups.caFile), error)) {
      checks.problems.push_back("ups.ca_file: there is no file " + ups.caFile);
    } else if (const std::string account = ServiceAccount(); installed && !account.empty()) {
      if (auto problem = AccessProblem(ups.caFile, account, false)) {
        checks.problems.push_back("ups.ca_file: the service runs as " + account + ": " + *problem);
      }
    } else if (std::ifstream in(PathFromUtf8(ups.caFile)); !in) {
      checks.problems.push_back("ups.ca_file: cannot read " + ups.caFile);
    }
  }
}

}  // namespace

StartChecks CheckBeforeStart(const Config& config, const std::string& path) {
  StartChecks checks;
  if (auto untrusted = UntrustedConfig(path, HoldsSecrets(config))) {
    checks.problems.push_back(*untrusted);
  }
  // Root writes the flag and the helper's answers: in folders only root may write, or the
  // service's account could point them at root's files. Answers come only where a sandboxed
  // service asks root's helper (not on Windows, where the service has the rights itself).
  const bool helperAnswers = !ServiceWritableFolders().empty();
  for (const auto& [key, folder] :
       {std::pair{"shutdown.flag_file",
                  Utf8FromPath(PathFromUtf8(config.shutdown.flagFile).parent_path())},
        std::pair{"shutdown.results", helperAnswers ? config.shutdown.results : std::string()}}) {
    if (auto untrusted = UntrustedFolder(folder)) {
      checks.problems.push_back(std::string(key) + ": " + *untrusted);
    }
  }
  // What the service keeps for itself, where it writes as the system's own account.
  if (!config.events.history.empty()) {
    std::vector<std::string> kept = {config.events.history};
    if (!config.notify.empty()) {
      kept.push_back(
          Utf8FromPath(PathFromUtf8(config.events.history).parent_path() / "outbox.jsonl"));
    }
    for (const auto& file : kept) {
      if (auto untrusted = UntrustedStateFile(file)) {
        checks.problems.push_back("events.history: " + *untrusted);
        break;
      }
    }
  }
  // Room beside the clients for the service's own files: the port, the registry, the flag,
  // hooks' pipes, the journal.
  constexpr std::size_t kOwnFiles = 64;
  CheckListenOverlaps(config, checks.problems);
  // The file the installed unit reads is checked as the unit's account will meet it, whoever
  // runs this check (often root, who may read anything).
  if (const std::string account = ServiceAccount(); !account.empty() && IsDefaultConfig(path)) {
    if (auto problem = AccessProblem(path, account, false)) {
      checks.problems.push_back("the service runs as " + account + ": " + *problem);
    }
    if (!config.events.history.empty()) {
      if (auto problem = AccessProblem(config.events.history, account, true)) {
        checks.warnings.push_back("events.history: " + *problem);
      }
    }
  }
  // A program that cannot run shows only when it is needed: during a power failure.
  for (const auto& [key, command, line, user] :
       {std::tuple{"shutdown.command", config.shutdown.command, config.shutdown.commandLine,
                   std::string()},
        std::tuple{"events.command", config.events.command, config.events.commandLine,
                   ServiceAccount()}}) {
    if (command.empty()) continue;
    if (auto problem = CommandProblem(command, user)) {
      checks.problems.push_back((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) +
                                key + ": " + *problem);
    }
  }
  if (const std::size_t limit = OpenFileLimit(); config.network.maxClients + kOwnFiles > limit) {
    checks.problems.push_back("network.max_clients = " + std::to_string(config.network.maxClients) +
                              " does not fit in the limit of " + std::to_string(limit) +
                              " open files with room for the service's own; lower it (or raise "
                              "LimitNOFILE in the unit)");
  }
  if (!config.ups.Agent()) {
    if (auto problem = LibraryProblem(config.ups.library)) {
      checks.problems.push_back("ups.library: " + *problem);
    }
  }
  if (!config.network.certificate.empty()) {
    // It may appear later (a certificate renewed at boot): the service waits for it.
    std::string why;
    if (!nut::CheckTlsFiles(config.network.certificate, config.network.key, &why)) {
      checks.warnings.push_back("network.certificate and network.key: " + why +
                                "; the service shares the UPS only once they can be used");
    }
  }
  if (config.ups.Agent() && !config.ignoredByAgent.empty()) {
    std::string keys;
    for (const auto& key : config.ignoredByAgent) keys += (keys.empty() ? "" : ", ") + key;
    checks.warnings.push_back(keys +
                              ": for the machine with the UPS's cable; an agent "
                              "(ups.server) has no port and never turns the UPS off, so "
                              "it ignores them");
  }
  if (config.ups.Agent()) {
    CheckAgent(config.ups, IsDefaultConfig(path), checks);
  } else {
    for (auto& warning :
         SerialSetupWarnings(config.ups.devices, config.ups.registry, config.ups.port)) {
      checks.warnings.push_back(std::move(warning));
    }
    // The port as the service's account will meet it (the installed unit's, or whoever runs the
    // service by hand), not as root who runs the check.
    const bool installed = fs::path(path).lexically_normal() == fs::path(DefaultConfigPath());
    const std::string device = (fs::path(config.ups.devices) / config.ups.port).string();
    if (auto problem = PortAccessProblem(device, installed ? ServiceAccount() : std::string())) {
      checks.warnings.push_back("ups.port: " + *problem +
                                "; until then the service cannot watch the UPS");
    }
  }
  // A notice that cannot go is worth a warning, never a UPS left unwatched: notices wait in the
  // outbox meanwhile.
  if (std::string why; !config.notify.empty() && !notify::SendingAvailable(&why)) {
    checks.warnings.push_back("[[notify]]: " + why + "; notices wait in the outbox until then");
  }
  for (const auto& entry : config.notify) {
    if (auto limit = notify::EntryLimit(entry)) {
      checks.warnings.push_back("notify \"" + entry.name + "\": " + *limit);
    }
  }
  const bool installed = IsDefaultConfig(path);
  for (const auto& entry : config.notify) {
    // A secret in a file of its own is held to the rule of one in the configuration.
    for (const auto* file : {&entry.tokenFile, &entry.passwordFile}) {
      if (file->empty()) continue;
      if (auto exposed = ExposedSecretFile(*file)) {
        checks.problems.push_back("notify \"" + entry.name + "\": " + *exposed);
      }
    }
    if (entry.kind == Config::Notify::Kind::kSmtp && entry.insecure && !entry.user.empty()) {
      checks.warnings.push_back(
          "notify \"" + entry.name +
          "\": insecure = true never sends the mail password without TLS: a server that offers "
          "no STARTTLS gets no login, and so no mail; insecure only lets a mail without a login "
          "go in clear");
    }
    for (const auto* file : {&entry.tokenFile, &entry.passwordFile, &entry.caFile}) {
      if (file->empty()) continue;
      // As the service's account will meet it, whoever runs this check.
      const std::string account = installed ? ServiceAccount() : std::string();
      std::optional<std::string> problem;
      if (!account.empty()) {
        problem = AccessProblem(*file, account, false);
      } else if (std::ifstream in(PathFromUtf8(*file)); !in) {
        problem = "cannot read " + *file;
      }
      if (problem) checks.warnings.push_back("notify \"" + entry.name + "\": " + *problem);
    }
  }
  if (!config.notify.empty() && config.events.history.empty()) {
    checks.warnings.push_back(
        "[[notify]] without events.history: the outbox is kept beside the history, so notices "
        "waiting for a receiver are lost if the service stops");
  }
  if (!config.stages.empty() &&
      std::all_of(config.network.listen.begin(), config.network.listen.end(),
                  [](const std::string& address) {
                    return address.starts_with("127.") || address.starts_with("[::1]");
                  })) {
    checks.warnings.push_back(
        "[[stage]]: network.listen serves this machine only (loopback): the other machines "
        "cannot follow the plan unless they are guests reaching it there; serve the LAN");
  }
  if (!config.stages.empty() && !config.events.history.empty()) {
    // The last outage that ran the battery low says whether it carries the plan.
    constexpr std::size_t kRecordsSearched = 1000;
    const auto recent = ReadRecentHistory(config.events.history, std::nullopt, kRecordsSearched);
    const auto measures = BatteryMeasures(recent);
    const double needs = plan::BatteryNeeds(config, plan::ShutdownTimes(recent));
    if (!measures.empty() && measures.back().secondsToLow < needs) {
      checks.warnings.push_back("the battery last ran low after " +
                                std::to_string(static_cast<long>(measures.back().secondsToLow)) +
                                " s on battery, but the shutdown plan needs " +
                                std::to_string(static_cast<long>(needs)) +
                                " s (its latest stage, the slowest machine's shutdown and " +
                                std::to_string(static_cast<long>(plan::kBatteryMarginSeconds)) +
                                " s to spare): let the stages go earlier, or replace the battery");
    }
  }
  const auto writable = ServiceWritableFolders();
  // The flag is the root helper's to write, not the service's.
  for (const auto& [key, where] : {std::pair{"ups.registry", config.ups.registry},
                                   std::pair{"events.history", config.events.history}}) {
    if (writable.empty()) break;
    if (where.empty() || (config.ups.Agent() && std::string_view(key) == "ups.registry")) continue;
    bool inside = false;
    for (const auto& folder : writable) inside = inside || Inside(where, folder);
    if (!inside) {
      std::string folders;
      for (const auto& folder : writable) folders += (folders.empty() ? "" : " or ") + folder;
      checks.warnings.push_back(std::string(key) + ": the installed service may only write in " +
                                folders + ", not " + where);
    }
  }
  // The installed root helper writes only in its own folder (its sandbox), and its path unit
  // watches only the shipped request folder: elsewhere, no flag or no request would ever land.
  if (!writable.empty()) {
    const std::string helpers = DefaultResultFolder();
    // An agent writes no flag: only the results' folder counts.
    for (const auto& [key, where] : {std::pair{"shutdown.flag_file", config.shutdown.flagFile},
                                     std::pair{"shutdown.results", config.shutdown.results}}) {
      if (config.ups.Agent() && std::string_view(key) == "shutdown.flag_file") continue;
      if (where != helpers && !Inside(where, helpers)) {
        checks.warnings.push_back(std::string(key) +
                                  ": the installed root helper may only write in " + helpers +
                                  ", not " + where + ": no power cut would follow a shutdown");
      }
    }
    if (PathFromUtf8(config.shutdown.requests).lexically_normal() !=
        PathFromUtf8(DefaultRequestFolder())) {
      checks.warnings.push_back("shutdown.requests: corvale-ups-shutdown.path watches only " +
                                DefaultRequestFolder() +
                                ", so the installed helper never sees "
                                "requests left in " +
                                config.shutdown.requests);
    }
  }
  return checks;
}

}  // namespace corvale::host
