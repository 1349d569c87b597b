// The service's configuration file (TOML). Every key but ups.port is optional; unknown keys,
// wrong types and values out of range are problems reported with their line, never ignored.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/control.h"
#include "host/host_os.h"

namespace corvale::host {

struct Config {
  struct Ups {
    std::string name = "corvale";  // in logs and, for clients, on the network
    std::string port;              // stored as "Port"; 1 to 7 characters
    std::string devices = "/dev";
    std::string registry = "/var/lib/corvale-ups/registry";
    std::string library;  // empty: the one installed with the program
    // An agent, on a machine without the serial cable, follows the UPS `name` on this NUT server
    // ("host", "host:port", "[v6]:port") instead of a port.
    std::string server;
    std::string user, password;  // a secondary's login there, so that its primary waits
    std::uint32_t pollSeconds = 1;
    std::uint32_t deadtime = 15;  // unreachable this long: the UPS counts as lost
    std::string caFile;           // STARTTLS, the server's certificate checked against it
    std::string fingerprint;      // or pinned: its SHA-256
    bool requireTls = false;
    // How many of this machine's power supplies this UPS feeds; 0: watched only.
    std::uint32_t supplies = 1;
    // A [[ups]] entry's own; unset: [shutdown]'s.
    std::optional<std::uint32_t> onBatterySeconds;
    std::optional<std::uint32_t> turnOffDelay;  // a UPS on this machine's cable only
    bool Agent() const { return !server.empty(); }
    friend bool operator==(const Ups&, const Ups&) = default;
  };
  // Every UPS this machine watches: the one of the [ups] table, or each [[ups]] entry in the
  // file's order. Never empty; either all on this machine's cables or all followed on servers.
  std::vector<Ups> upses = {Ups{}};
  bool entries = false;  // written as [[ups]] entries
  const Ups& ups() const { return upses.front(); }
  // An agent follows a NUT server; the machine with the cable holds none.
  bool Agent() const { return ups().Agent(); }
  // What events, logs and the history call the UPS: its name, or "name@server" where an agent
  // follows several servers (each primary may call its UPS the same).
  std::string UnitName(const Ups& ups) const {
    return ups.Agent() && upses.size() > 1 ? ups.name + "@" + ups.server : ups.name;
  }
  // Whether a UPS of this name (as UnitName gives it) is one this machine watches.
  bool Watches(const std::string& unitName) const {
    return std::any_of(upses.begin(), upses.end(),
                       [&](const Ups& each) { return UnitName(each) == unitName; });
  }
  // Which UPSes, in which order, on which ports: a flag request names UPSes by their places in
  // the list, so root reads those places only against the list the service runs on.
  std::uint64_t UpsListDigest() const;
  std::uint32_t OnBatterySeconds(const Ups& ups) const {
    return ups.onBatterySeconds.value_or(shutdown.onBatterySeconds);
  }
  std::uint32_t TurnOffDelay(const Ups& ups) const {
    return ups.turnOffDelay.value_or(shutdown.turnOffDelay);
  }
  // The supplies of every UPS together; 0: a machine that only watches and never shuts down for
  // the power.
  std::uint32_t Supplies() const {
    std::uint32_t sum = 0;
    for (const auto& each : upses) sum += each.supplies;
    return sum;
  }
  struct Shutdown {
    std::string command = DefaultShutdownCommand();  // empty: the system's own call
    int commandLine = 0;                             // where the file sets it; 0: not set
    std::uint32_t onBatterySeconds = 0;              // 0: only on low battery
    std::uint32_t retrySeconds = 30;                 // a failed shutdown is tried again this often
    std::uint32_t downWithinSeconds = 300;  // a host still up this long after has not shut down
    std::uint32_t turnOffDelay = 120;       // 0 to 999
    // The fewest supplies fed by a UPS that is well this machine runs on; unset: all of them.
    std::optional<std::uint32_t> minSupplies;
    std::string flagFile = DefaultFlagFile();
    // Without root's rights the service asks a root helper here, which answers there.
    std::string requests = DefaultRequestFolder();
    std::string results = DefaultResultFolder();
  } shutdown;
  struct Events {
    std::string command;
    int commandLine = 0;
    // Every event as a JSON line, kept across restarts; empty: none.
    std::string history = DefaultHistoryFile();
  } events;
  struct Service {
    // Where this machine's commands (status, plan, drill, reload) ask the running service; empty:
    // nowhere.
    std::string control = DefaultControlPath();
  } service;
  struct Http {
    // The read-only HTTP endpoint (metrics, JSON, status page); empty: none. 3495: beside NUT's
    // 3493, outside the range Prometheus's exporters take.
    std::vector<std::string> listen = {"127.0.0.1:3495"};
  } http;
  struct Network {
    std::vector<std::string> listen = {"127.0.0.1:3493"};  // "host:port"; empty: no server
    std::uint32_t maxClients = 64;
    std::uint32_t maxClientsPerAddress = 8;  // loopback exempt
    std::uint32_t hostsyncSeconds = 15;
    std::string certificate;  // PEM files; both set: STARTTLS is offered
    std::string key;
  } network;
  struct User {
    std::string name;
    std::string password;
    std::string upsmon;  // "primary", "secondary" or empty
    std::vector<std::string> actions;
    std::vector<std::string> instcmds;
    friend bool operator==(const User&, const User&) = default;
  };
  std::vector<User> users;
  // The shutdown plan: which other machines (by their NUT user) go early, and when. Machines in
  // no stage go with this one.
  struct Stage {
    std::string name;
    std::vector<std::string> users;
    enum class When { kAfterSeconds, kLowBattery, kLost } when = When::kLowBattery;
    std::uint32_t afterSeconds = 0;  // of continuous time on battery, for kAfterSeconds
    std::vector<std::string> wake;   // MAC addresses woken once the power is back
    // The UPS whose power it follows, by its name; empty: the first.
    std::string ups = {};
    friend bool operator==(const Stage&, const Stage&) = default;
  };
  std::vector<Stage> stages;
  // The place in `upses` of the UPS a stage follows: the one it names, else the first (a file
  // of one UPS renamed by a reload still runs on the name it started with).
  std::size_t StageUps(const Stage& stage) const {
    for (std::size_t i = 0; i < upses.size() && !stage.ups.empty(); ++i) {
      if (upses[i].name == stage.ups) return i;
    }
    return 0;
  }
  struct Plan {
    std::uint32_t wakeAfterSeconds = 120;  // of power back before the early machines are woken
    std::string wakeAddress = "255.255.255.255:9";  // where the magic packets go (UDP)
  } plan;
  // Notifications the service sends itself: each entry a receiver and the events it wants.
  struct Notify {
    std::string name;
    enum class Kind { kWebhook, kNtfy, kSmtp } kind = Kind::kWebhook;
    std::vector<std::string> events;  // event names; empty: the ones people act on
    std::string url;                  // http(s):// for webhook and ntfy; smtp:// or smtps://
    std::string format = "json";      // webhook: "json", or "text" ({"text": ...}, chat services)
    std::string token, tokenFile;     // webhook, ntfy: a bearer token, or the file holding it
    std::string user, password, passwordFile;  // smtp: the login
    std::string from;
    std::vector<std::string> to;
    std::string caFile;  // the receiver's certificate checked against this instead of the system's
    bool insecure = false;            // a secret over a connection without TLS, allowed
    std::uint32_t afterSeconds = 0;   // on battery this long before the notice goes
    std::uint32_t remindMinutes = 0;  // a reminder this often while on battery; 0: none
    bool blip = false;                // one "blip" line for a failure shorter than after_seconds
    friend bool operator==(const Notify&, const Notify&) = default;
  };
  std::vector<Notify> notify;
  std::uint32_t MinSupplies() const { return shutdown.minSupplies.value_or(Supplies()); }
  // Keys of the machine with the cable that an agent's file sets and the agent ignores.
  std::vector<std::string> ignoredByAgent;
};

// Whether a webhook's or ntfy's URL is itself a key: it has a query (an API key, a signature),
// or the entry has no token and its path names what anyone who knows it may post to (a chat
// service's hook, an ntfy topic). Such a URL is a secret like a token.
bool UrlCarriesSecret(const Config::Notify& entry);
// What may be shown of a notification URL: its scheme, host and port ("https://h:8443/...").
std::string ShownUrl(const std::string& url);
// Whether the file holds a secret (a password, a token, a URL that is a key) that others must not
// read.
bool HoldsSecrets(const Config& config);

struct ConfigProblem {
  int line = 0;  // 0: the file as a whole
  std::string message;
};

struct LoadedConfig {
  Config config;
  std::vector<ConfigProblem> problems;  // empty when the file is good
};

LoadedConfig ParseConfig(std::string_view text);
LoadedConfig LoadConfig(const std::string& path);

// The keys whose values differ between two configurations ("ups.port", "users"), in the file's
// order. Only names: a password never reaches the log this goes to.
std::vector<std::string> ChangedKeys(const Config& before, const Config& after);

// "FILE:LINE: message", or "FILE: message" for the file as a whole.
std::string Describe(const std::string& path, const ConfigProblem& problem);

}  // namespace corvale::host
