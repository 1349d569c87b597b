// A reload of the running service: the file read again and what changed applied, keeping what
// the service knows of the UPS; what only a restart takes is said.
#include <algorithm>

#include "cli/running_service.h"
#include "cli/service_config.h"

namespace corvale {

namespace {

// Keys that only a restart of the service takes: what it is known by, the library it has
// loaded, the folders its root helper watches, the UPS it watches.
constexpr const char* kKeysForTheNextStart[] = {"ups",
                                                "ups.name",
                                                "ups.library",
                                                "shutdown.requests",
                                                "ups.server",
                                                "ups.user",
                                                "ups.password",
                                                "ups.poll_seconds",
                                                "ups.deadtime",
                                                "ups.ca_file",
                                                "ups.fingerprint",
                                                "ups.require_tls",
                                                "notify",
                                                "service.control",
                                                "shutdown.results",
                                                "ups.supplies",
                                                "shutdown.min_supplies"};

// Each UPS as the events name it, and where it is followed.
std::vector<std::string> WatchedUpses(const host::Config& config) {
  std::vector<std::string> upses;
  for (const auto& ups : config.upses) upses.push_back(config.UnitName(ups) + " " + ups.server);
  return upses;
}

bool Contains(const std::vector<std::string>& keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string Join(const std::vector<std::string>& words) {
  std::string joined;
  for (const auto& word : words) joined += (joined.empty() ? "" : ", ") + word;
  return joined;
}

}  // namespace

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
  if (before.ups().Agent() != next.ups().Agent()) {
    return Refused(host::Priority::kWarning,
                   "not reloaded: " + path_ +
                       " switches between the serial port and a NUT server (an agent); only a "
                       "restart of the service does that");
  }
  if (next.ups().Agent()) {
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
  // Another set of UPSes is another host: the units, their threads and the policy's count are
  // made at the start. Refused whole rather than half taken (a minimum checked against UPSes
  // that are not watched).
  if ((before.upses.size() > 1 || next.upses.size() > 1) &&
      WatchedUpses(before) != WatchedUpses(next)) {
    return Refused(host::Priority::kWarning,
                   "not reloaded: " + path_ +
                       " changes the UPSes this machine watches ([[ups]] entries added, removed "
                       "or renamed); only a restart of the service takes another set of UPSes");
  }
  // Kept as they run until the next start, so that a later reload still names them.
  std::vector<std::string> deferred;
  for (const char* key : kKeysForTheNextStart) {
    if (Contains(changed, key)) deferred.emplace_back(key);
  }
  // Of each UPS, only the port and its folders change live; the rest waits for the next start.
  if (next.upses.size() == before.upses.size()) {
    for (std::size_t i = 0; i < next.upses.size(); ++i) {
      host::Config::Ups ups = before.upses[i];
      ups.port = next.upses[i].port;
      ups.devices = next.upses[i].devices;
      ups.registry = next.upses[i].registry;
      ups.onBatterySeconds = next.upses[i].onBatterySeconds;
      ups.turnOffDelay = next.upses[i].turnOffDelay;
      next.upses[i] = ups;
    }
  } else {
    next.upses = before.upses;
  }
  next.shutdown.minSupplies = before.shutdown.minSupplies;
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
  // Root names the UPSes of a flag from the file as it is now: so does the service from here on.
  if (requests_) requests_->SetUpsList(next.UpsListDigest());
  for (const auto& plan : plans_) plan->Reconfigure(next);
  if (backend_ &&
      (Contains(changed, "shutdown.turn_off_delay") || Contains(changed, "ups.turn_off_delay"))) {
    // The set of UPSes is the one the service started with (checked above): same positions.
    for (std::size_t index = 0; index < next.upses.size(); ++index) {
      backend_->SetVariable(index, "ups.delay.shutdown",
                            std::to_string(next.TurnOffDelay(next.upses[index])));
    }
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

}  // namespace corvale
