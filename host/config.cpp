#include "host/config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <asio/ip/address.hpp>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale::host {

namespace {

// A word NUT's clients send bare: printable ASCII without spaces, quotes or backslashes.
bool SendableWord(const std::string& word) {
  return std::all_of(word.begin(), word.end(), [](char c) {
    return c > ' ' && c < 0x7F && c != '"' && c != '\'' && c != '\\';
  });
}

// "host:port": an IPv4 or bracketed IPv6 literal, or a host name; a port from 1 to 65535.
bool IsListenAddress(const std::string& address) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || address.size() - colon > 6 ||
      colon + 1 == address.size() ||
      address.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
    return false;
  }
  const unsigned long port = std::stoul(address.substr(colon + 1));
  if (port == 0 || port > 65535) return false;
  const std::string host = address.substr(0, colon);
  std::error_code error;
  if (host.front() == '[') {
    if (host.back() != ']') return false;
    asio::ip::make_address_v6(host.substr(1, host.size() - 2), error);
    return !error;
  }
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    asio::ip::make_address_v4(host, error);
    return !error;
  }
  return host == "*" || (host.find_first_not_of(
                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
                             std::string::npos &&
                         host.front() != '-' && host.front() != '.');
}

// An optional number's value before it is read: left so when the file's value is refused.
constexpr std::uint32_t kUnread = 0xFFFFFFFF;

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

// Reads one table's keys into the configuration, noting each problem with its line.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string name, std::vector<ConfigProblem>& problems)
      : table_(table), name_(std::move(name)), problems_(problems) {}

  ~TableReader() {
    for (const auto& [key, node] : table_) {
      if (!known_.count(std::string(key.str()))) {
        Problem(LineOf(node), "unknown key '" + std::string(key.str()) + "' in [" + name_ + "]");
      }
    }
  }

  void String(const char* key, std::string& out, std::size_t maxLength = 4096) {
    const toml::node* node = Find(key);
    if (node == nullptr) return;
    if (!node->is_string()) return WrongType(*node, key, "a string");
    const std::string& value = node->as_string()->get();
    if (value.size() > maxLength || value.find('\0') != std::string::npos) {
      return Problem(LineOf(*node), Key(key) + " must be a text of at most " +
                                        std::to_string(maxLength) + " characters");
    }
    out = value;
  }

  void Integer(const char* key, std::uint32_t& out, std::int64_t low, std::int64_t high) {
    const toml::node* node = Find(key);
    if (node == nullptr) return;
    if (!node->is_integer()) return WrongType(*node, key, "a whole number");
    const std::int64_t value = node->as_integer()->get();
    if (value < low || value > high) {
      return Problem(LineOf(*node), Key(key) + " must be from " + std::to_string(low) + " to " +
                                        std::to_string(high) + ", not " + std::to_string(value));
    }
    out = static_cast<std::uint32_t>(value);
  }

  void Bool(const char* key, bool& out) {
    const toml::node* node = Find(key);
    if (node == nullptr) return;
    if (!node->is_boolean()) return WrongType(*node, key, "true or false");
    out = node->as_boolean()->get();
  }

  // An array of strings, each one of `allowed` when that is not empty.
  void Strings(const char* key, std::vector<std::string>& out,
               const std::vector<std::string>& allowed = {}) {
    const toml::node* node = Find(key);
    if (node == nullptr) return;
    if (!node->is_array()) return WrongType(*node, key, "a list of strings");
    std::vector<std::string> values;
    for (const toml::node& item : *node->as_array()) {
      if (!item.is_string()) return WrongType(*node, key, "a list of strings");
      const std::string& value = item.as_string()->get();
      if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        std::string choices;
        for (const auto& choice : allowed) choices += (choices.empty() ? "" : ", ") + choice;
        return Problem(LineOf(*node),
                       Key(key) + " may hold " + choices + ", not \"" + value + "\"");
      }
      values.push_back(value);
    }
    out = std::move(values);
  }

  // The line of `key`, or of the table where it is missing.
  int LineOfKey(const char* key, int fallback) const {
    const toml::node* node = table_.get(key);
    return node != nullptr ? LineOf(*node) : fallback;
  }
  const toml::node* Find(const char* key) {
    known_.insert(key);
    return table_.get(key);
  }
  void Problem(int line, std::string message) { problems_.push_back({line, std::move(message)}); }
  std::string Key(const char* key) const { return name_ + "." + key; }

 private:
  void WrongType(const toml::node& node, const char* key, const char* wanted) {
    Problem(LineOf(node), Key(key) + " must be " + wanted);
  }

  const toml::table& table_;
  std::string name_;
  std::vector<ConfigProblem>& problems_;
  std::set<std::string> known_;
};

// Runs `read` on table `name` when present; a key of that name that is no table is a problem.
template <typename Read>
void Section(const toml::table& root, const char* name, std::vector<ConfigProblem>& problems,
             Read read) {
  const toml::node* node = root.get(name);
  if (node == nullptr) return;
  if (!node->is_table()) {
    problems.push_back({LineOf(*node), std::string("[") + name + "] must be a table"});
    return;
  }
  TableReader reader(*node->as_table(), name, problems);
  read(reader);
}

// A section's "listen": distinct "address:port" texts; `port` for the examples in the problems.
void ReadListen(TableReader& section, const std::string& name, std::vector<std::string>& listen,
                const std::string& port) {
  const toml::node* node = section.Find("listen");
  section.Strings("listen", listen);
  std::set<std::string> distinct;
  for (const auto& address : listen) {
    if (!IsListenAddress(address)) {
      section.Problem(LineOf(*node),
                      name + ".listen takes \"address:port\" texts such as \"127.0.0.1:" + port +
                          "\" or \"[::1]:" + port + "\", not \"" + address + "\"");
    } else if (!distinct.insert(address).second) {
      section.Problem(LineOf(*node), name + ".listen names \"" + address + "\" twice");
    }
  }
}

// "AB:CD:...", with openssl's "sha256 Fingerprint=" or "sha256:" in front or not.
bool IsSha256Fingerprint(std::string text) {
  if (const auto equals = text.rfind('='); equals != std::string::npos) text.erase(0, equals + 1);
  if (text.size() > 7 && (text.starts_with("sha256:") || text.starts_with("SHA256:"))) {
    text.erase(0, 7);
  }
  std::erase(text, ':');
  return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                          [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// An agent's keys in [ups]: where it follows the UPS and how it logs in there.
void ReadAgent(TableReader& ups, Config::Ups& out) {
  ups.String("server", out.server, 255);
  if (const toml::node* server = ups.Find("server"); server != nullptr && out.server.empty()) {
    ups.Problem(LineOf(*server),
                "ups.server must name the NUT server, as \"host\" or "
                "\"host:port\"");
  } else if (server != nullptr && !IsListenAddress(out.server) &&
             !IsListenAddress(out.server + ":3493")) {
    ups.Problem(
        LineOf(*server),
        "ups.server takes \"host\", \"host:port\" or \"[v6]:port\", not \"" + out.server + "\"");
  }
  ups.String("user", out.user, 64);
  ups.String("password", out.password, 256);
  ups.Integer("poll_seconds", out.pollSeconds, 1, 60);
  ups.Integer("deadtime", out.deadtime, 3, 600);
  ups.String("ca_file", out.caFile);
  ups.String("fingerprint", out.fingerprint, 200);
  ups.Bool("require_tls", out.requireTls);
  if (out.server.empty()) {
    for (const char* key : {"user", "password", "poll_seconds", "deadtime", "ca_file",
                            "fingerprint", "require_tls"}) {
      if (const toml::node* node = ups.Find(key)) {
        ups.Problem(LineOf(*node), ups.Key(key) + " is for an agent: it needs ups.server");
      }
    }
    return;
  }
  const int line = ups.LineOfKey("server", 0);
  if (out.user.empty() || out.password.empty()) {
    // Without a login the primary does not count this machine and may cut its power first.
    ups.Problem(line,
                "an agent needs ups.user and ups.password: a secondary's login on the "
                "server, so that its primary waits for this machine");
  } else if (!SendableWord(out.user) || !SendableWord(out.password)) {
    ups.Problem(line,
                "ups.user and ups.password may not contain spaces, quotes, backslashes or "
                "control characters: NUT servers cannot take them");
  }
  if (!out.fingerprint.empty() && !IsSha256Fingerprint(out.fingerprint)) {
    ups.Problem(ups.LineOfKey("fingerprint", line),
                "ups.fingerprint must be the server certificate's SHA-256, 64 hexadecimal digits "
                "(colons allowed), as `openssl x509 -noout -fingerprint -sha256` prints it");
  }
  if (!out.caFile.empty() && !PathFromUtf8(out.caFile).is_absolute()) {
    ups.Problem(ups.LineOfKey("ca_file", line), "ups.ca_file must be an absolute path");
  }
}

// A PKCS #12 file (.pfx, .p12) or a certificate of the Windows store (cert:\LocalMachine\My\...).
bool CarriesItsKey(const std::string& certificate) {
  std::string lower;
  for (const char c : certificate)
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.starts_with("cert:\\") || lower.starts_with("cert:/") || lower.ends_with(".pfx") ||
         lower.ends_with(".p12");
}

// "52:54:00:12:34:56" or with dashes: six pairs of hexadecimal digits.
bool IsMacAddress(const std::string& text) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool separator = i % 3 == 2;
    if (separator ? (text[i] != ':' && text[i] != '-')
                  : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
      return false;
    }
  }
  return true;
}

// [[stage]] and [plan]: the other machines' order, checked against the users and this machine's
// own time on battery.
void ReadPlan(const toml::table& root, LoadedConfig& loaded) {
  Config& config = loaded.config;
  auto& problems = loaded.problems;
  Section(root, "plan", problems, [&](TableReader& plan) {
    plan.Integer("wake_after_seconds", config.plan.wakeAfterSeconds, 0, 86400);
    plan.String("wake_address", config.plan.wakeAddress, 64);
    const auto colon = config.plan.wakeAddress.rfind(':');
    std::error_code error;
    if (colon != std::string::npos) {
      asio::ip::make_address_v4(config.plan.wakeAddress.substr(0, colon), error);
    }
    if (colon == std::string::npos || error || !IsListenAddress(config.plan.wakeAddress)) {
      plan.Problem(plan.LineOfKey("wake_address", 0),
                   "plan.wake_address takes an IPv4 \"address:port\" such as "
                   "\"192.168.1.255:9\", not \"" +
                       config.plan.wakeAddress + "\"");
    }
  });
  const toml::node* stages = root.get("stage");
  if (stages == nullptr) return;
  const toml::array* list = stages->as_array();
  if (list == nullptr || !list->is_array_of_tables()) {
    problems.push_back({LineOf(*stages), "stage must be [[stage]] tables"});
    return;
  }
  if (config.Agent()) {
    problems.push_back({LineOf(*stages),
                        "the shutdown plan ([[stage]]) belongs on the machine with the UPS's "
                        "cable, which tells the others when to go"});
    return;
  }
  if (config.network.listen.empty()) {
    problems.push_back({LineOf(*stages),
                        "the shutdown plan ([[stage]]) needs network.listen: its machines follow "
                        "this one over NUT"});
  }
  std::set<std::string> names, planned;
  for (const toml::node& entry : *list) {
    Config::Stage stage;
    const int line = LineOf(entry);
    int usersLine = line, wakeLine = line, upsLine = line;
    bool namesUps = false;
    std::string when;
    bool hasAfter = false;
    {
      TableReader reader(*entry.as_table(), "stage", problems);
      reader.String("name", stage.name, 64);
      reader.Strings("users", stage.users);
      reader.String("when", when, 32);
      hasAfter = reader.Find("after_seconds") != nullptr;
      reader.Integer("after_seconds", stage.afterSeconds, 0, 86400);
      reader.Strings("wake", stage.wake);
      namesUps = reader.Find("ups") != nullptr;
      reader.String("ups", stage.ups, 64);
      upsLine = reader.LineOfKey("ups", line);
      usersLine = reader.LineOfKey("users", line);
      wakeLine = reader.LineOfKey("wake", line);
    }
    const auto followed =
        std::find_if(config.upses.begin(), config.upses.end(),
                     [&](const Config::Ups& ups) { return !namesUps || ups.name == stage.ups; });
    if (followed == config.upses.end()) {
      std::string known;
      for (const auto& ups : config.upses) known += (known.empty() ? "" : ", ") + ups.name;
      problems.push_back(
          {upsLine, "stage \"" + stage.name + "\" follows the UPS \"" + stage.ups +
                        "\", which this machine does not watch (its UPSes: " + known + ")"});
    }
    const Config::Ups& ups = followed == config.upses.end() ? config.ups() : *followed;
    if (stage.name.empty()) {
      problems.push_back({line, "each [[stage]] needs a name"});
    } else if (!names.insert(stage.name).second) {
      problems.push_back({line, "stage \"" + stage.name + "\" is named twice"});
    }
    if (hasAfter == !when.empty()) {
      problems.push_back({line, "stage \"" + stage.name +
                                    "\" needs either after_seconds (of continuous time on "
                                    "battery) or when = \"low-battery\" or \"lost\""});
    } else if (hasAfter) {
      stage.when = Config::Stage::When::kAfterSeconds;
      // Measured on the stage's own UPS, against the time that UPS counts as failed after; that
      // takes this machine down only where the supplies the others feed fall short without it.
      const auto own = config.OnBatterySeconds(ups);
      const bool goesWithIt =
          ups.supplies > 0 && config.Supplies() - ups.supplies < config.MinSupplies();
      if (followed != config.upses.end() && goesWithIt && own != 0 && stage.afterSeconds >= own) {
        const std::string setting = ups.onBatterySeconds
                                        ? "the on_battery_seconds of the UPS " + ups.name
                                        : std::string("shutdown.on_battery_seconds");
        problems.push_back(
            {line, "stage \"" + stage.name + "\" goes after " + std::to_string(stage.afterSeconds) +
                       " s on battery, but this machine itself shuts down after " +
                       std::to_string(own) + " s (" + setting + "): the others go first"});
      }
    } else if (when == "low-battery") {
      stage.when = Config::Stage::When::kLowBattery;
    } else if (when == "lost") {
      stage.when = Config::Stage::When::kLost;
    } else {
      problems.push_back({line, "stage.when is \"low-battery\" or \"lost\", not \"" + when + "\""});
    }
    if (stage.users.empty()) {
      problems.push_back({usersLine, "stage \"" + stage.name + "\" names no users"});
    }
    for (const auto& name : stage.users) {
      const auto user = std::find_if(config.users.begin(), config.users.end(),
                                     [&](const Config::User& known) { return known.name == name; });
      if (user == config.users.end()) {
        problems.push_back({usersLine, "stage \"" + stage.name + "\" names the user " + name +
                                           ", who is not in [[users]]"});
      } else if (user->upsmon.empty()) {
        problems.push_back({usersLine, "stage \"" + stage.name + "\" names the user " + name +
                                           ", who cannot log in as a machine: give it upsmon = "
                                           "\"secondary\""});
      }
      if (!planned.insert(name).second) {
        problems.push_back(
            {usersLine, "the user " + name + " is in two stages: each machine goes once"});
      }
    }
    for (const auto& mac : stage.wake) {
      if (!IsMacAddress(mac)) {
        problems.push_back({wakeLine,
                            "stage.wake takes MAC addresses such as "
                            "\"52:54:00:12:34:56\", not \"" +
                                mac + "\""});
      }
    }
    config.stages.push_back(std::move(stage));
  }
}

// The events a notice may be asked for.
const std::vector<std::string>& NoticeEvents() {
  static const std::vector<std::string> events = {"online",
                                                  "on-battery",
                                                  "low-battery",
                                                  "battery-failed",
                                                  "battery-ok",
                                                  "overload",
                                                  "overload-ended",
                                                  "system-failed",
                                                  "system-ok",
                                                  "communication-lost",
                                                  "communication-restored",
                                                  "shutdown",
                                                  "shutdown-failed",
                                                  "shutdown-abandoned",
                                                  "kill-power",
                                                  "shutdown-unready",
                                                  "shutdown-ready",
                                                  "drill",
                                                  "battery-weak",
                                                  "battery-weak-ended",
                                                  "supplies-low",
                                                  "supplies-ok"};
  return events;
}

// [[notify]]: who hears of what, over which kind of receiver, with which secret.
void ReadNotify(const toml::table& root, LoadedConfig& loaded) {
  Config& config = loaded.config;
  auto& problems = loaded.problems;
  const toml::node* entries = root.get("notify");
  if (entries == nullptr) return;
  const toml::array* list = entries->as_array();
  if (list == nullptr || !list->is_array_of_tables()) {
    problems.push_back({LineOf(*entries), "notify must be [[notify]] tables"});
    return;
  }
  std::set<std::string> names;
  for (const toml::node& item : *list) {
    Config::Notify entry;
    const int line = LineOf(item);
    std::string kind;
    {
      TableReader reader(*item.as_table(), "notify", problems);
      reader.String("name", entry.name, 64);
      reader.String("kind", kind, 16);
      reader.Strings("events", entry.events, NoticeEvents());
      reader.String("url", entry.url, 2048);
      reader.String("format", entry.format, 16);
      reader.String("token", entry.token, 4096);
      reader.String("token_file", entry.tokenFile);
      reader.String("user", entry.user, 256);
      reader.String("password", entry.password, 256);
      reader.String("password_file", entry.passwordFile);
      reader.String("from", entry.from, 256);
      reader.Strings("to", entry.to);
      reader.String("ca_file", entry.caFile);
      reader.Bool("insecure", entry.insecure);
      reader.Integer("after_seconds", entry.afterSeconds, 0, 86400);
      reader.Integer("remind_minutes", entry.remindMinutes, 0, 1440);
      reader.Bool("blip", entry.blip);
    }
    const std::string who = "notify \"" + entry.name + "\"";
    const auto problem = [&](const std::string& message) { problems.push_back({line, message}); };
    if (entry.name.empty() || !SendableWord(entry.name)) {
      problem("each [[notify]] needs a name without spaces or quotes");
    } else if (!names.insert(entry.name).second) {
      problem(who + " is named twice");
    }
    if (kind == "webhook") {
      entry.kind = Config::Notify::Kind::kWebhook;
    } else if (kind == "ntfy") {
      entry.kind = Config::Notify::Kind::kNtfy;
    } else if (kind == "smtp") {
      entry.kind = Config::Notify::Kind::kSmtp;
    } else {
      problem(who + ": kind is \"webhook\", \"ntfy\" or \"smtp\", not \"" + kind + "\"");
    }
    const bool mail = entry.kind == Config::Notify::Kind::kSmtp;
    const std::string scheme = entry.url.substr(0, entry.url.find("://"));
    const bool web = scheme == "http" || scheme == "https";
    const bool post = scheme == "smtp" || scheme == "smtps";
    if (entry.url.find("://") == std::string::npos || (mail ? !post : !web) ||
        entry.url.find_first_of(" \t\r\n") != std::string::npos) {
      problem(who + ": url must be " +
              (mail ? "smtp://server:587 (STARTTLS) or smtps://server:465"
                    : "an https:// (or http://) address") +
              ", not \"" + ShownUrl(entry.url) + "\"");
    }
    if (entry.format != "json" && entry.format != "text") {
      problem(who + ": format is \"json\" or \"text\", not \"" + entry.format + "\"");
    }
    if (!entry.token.empty() && !entry.tokenFile.empty()) {
      problem(who + ": token and token_file exclude each other");
    }
    if (!entry.password.empty() && !entry.passwordFile.empty()) {
      problem(who + ": password and password_file exclude each other");
    }
    const bool login =
        !entry.user.empty() || !entry.password.empty() || !entry.passwordFile.empty();
    if (!mail && login) {
      problem(who + ": user and password are for mail; a webhook or ntfy takes a token");
    }
    if (mail && (!entry.password.empty() || !entry.passwordFile.empty()) && entry.user.empty()) {
      problem(who + ": a password needs its user");
    }
    const auto authority = entry.url.substr(0, entry.url.find('/', entry.url.find("://") + 3));
    if (authority.find('@') != std::string::npos) {
      problem(who +
              ": no user or password in the url: use token_file (or user and "
              "password_file for mail)");
    }
    const bool secret = !entry.token.empty() || !entry.tokenFile.empty() ||
                        !entry.password.empty() || !entry.passwordFile.empty() ||
                        UrlCarriesSecret(entry);
    // smtp:// is upgraded with STARTTLS, which is required (insecure makes it optional for a mail
    // without a login); http:// never is.
    if (secret && scheme == "http" && !entry.insecure) {
      problem(who +
              ": a token (or a URL that is itself the key) over http:// travels in clear: use "
              "https://, or set insecure = true");
    }
    if (mail && (entry.from.empty() || entry.to.empty())) {
      problem(who + ": mail needs from and to");
    }
    std::vector<std::string> addresses = entry.to;
    addresses.push_back(entry.from);
    for (const auto& address : addresses) {
      if (!address.empty() && (address.find('@') == std::string::npos ||
                               address.find_first_of(" <>\"\r\n\t,;") != std::string::npos)) {
        problem(who + ": \"" + address + "\" is not a mail address such as ops@example.com");
      }
    }
    for (const auto* file : {&entry.tokenFile, &entry.passwordFile, &entry.caFile}) {
      if (!file->empty() && !PathFromUtf8(*file).is_absolute()) {
        problem(who + ": " + *file + " must be an absolute path");
      }
    }
    config.notify.push_back(std::move(entry));
  }
}

// The serial side of the [ups] table: the port and where the driver finds it.
// True when a port is given.
bool ReadSerial(TableReader& ups, Config::Ups& out) {
  const toml::node* port = ups.Find("port");
  if (port != nullptr) {
    if (!port->is_string()) {
      ups.Problem(LineOf(*port), "ups.port must be a string");
    } else {
      const std::string& name = port->as_string()->get();
      if (name.empty() || name.size() > 7 || name.find("..") != std::string::npos ||
          name[0] == '/') {
        ups.Problem(LineOf(*port),
                    std::string("ups.port must name ") + PortRule() + ", not \"" + name + "\"");
      } else {
        out.port = name;
      }
    }
  }
  for (const auto& [key, folder] :
       {std::pair{"devices", &out.devices}, std::pair{"registry", &out.registry}}) {
    ups.String(key, *folder);
    // Empty would be no folder at all: the driver would look for its port and keep its state
    // wherever it happened to run.
    if (const toml::node* node = ups.Find(key); node != nullptr && folder->empty()) {
      ups.Problem(LineOf(*node), ups.Key(key) + " must name a folder, not \"\"");
    }
  }
  ups.String("library", out.library);
  return port != nullptr;
}

// What an agent's file may not hold: what only the machine with the cable shares.
void RefuseSharingOnAgent(const toml::table& root, std::vector<ConfigProblem>& problems) {
  if (const toml::node* shared = root.get("network") ? root.get("network") : root.get("users")) {
    problems.push_back({LineOf(*shared),
                        "an agent (ups.server) shares nothing: [network] and "
                        "[[users]] belong on the machine with the UPS's cable"});
  }
}

// The single [ups] table: one UPS, as files have always had it.
void ReadUpsTable(const toml::table& root, LoadedConfig& loaded) {
  Config& config = loaded.config;
  auto& problems = loaded.problems;
  Config::Ups& single = config.upses.front();
  bool hasPort = false;
  int serverLine = 0;
  Section(root, "ups", problems, [&](TableReader& ups) {
    ReadAgent(ups, single);
    serverLine = ups.LineOfKey("server", 0);
    ups.String("name", single.name, 64);
    hasPort = ReadSerial(ups, single);
    // An entry's own keys, written in the one table: say where they belong.
    for (const char* key : {"supplies", "on_battery_seconds", "turn_off_delay"}) {
      if (const toml::node* node = ups.Find(key)) {
        ups.Problem(LineOf(*node),
                    "ups." + std::string(key) +
                        " is a key of [[ups]] entries (one per UPS, for several UPSes), not of "
                        "the one [ups] table: with one UPS, leave it out" +
                        (std::string_view(key) == "supplies"
                             ? ""
                             : " and set [shutdown] " + std::string(key) + " instead"));
      }
    }
  });
  if (single.Agent()) {
    config.network.listen.clear();  // it serves no NUT clients
    if (hasPort) {
      problems.push_back({serverLine,
                          "ups.port and ups.server exclude each other: the port on "
                          "the machine with the UPS's cable, the server on the others"});
    }
    // Files made from the shipped one set them to their defaults: nothing to say. Another value
    // is warned of, not refused.
    const Config defaults;
    for (const auto& [key, isDefault] :
         {std::pair{"ups.devices", single.devices == defaults.ups().devices},
          std::pair{"ups.registry", single.registry == defaults.ups().registry},
          std::pair{"ups.library", single.library == defaults.ups().library},
          std::pair{"shutdown.turn_off_delay",
                    root.at_path("shutdown.turn_off_delay").value_or<std::int64_t>(-1) ==
                        defaults.shutdown.turnOffDelay},
          std::pair{"plan", false}}) {
      if (root.at_path(key) && !isDefault) config.ignoredByAgent.emplace_back(key);
    }
    if (!single.caFile.empty() && !single.fingerprint.empty()) {
      problems.push_back({serverLine,
                          "ups.ca_file and ups.fingerprint exclude each other: a "
                          "pinned certificate is checked alone"});
    }
    RefuseSharingOnAgent(root, problems);
  } else if (!hasPort) {
    problems.push_back({0,
                        "ups.port is missing: name the UPS's serial port (or, on a machine "
                        "without the cable, ups.server)"});
  }
  if (single.name.empty()) problems.push_back({0, "ups.name must not be empty"});
}

// A UPS name NUT's clients can write in "name@host": letters, digits, '-', '_' and '.'.
bool IsNutUpsName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && name.front() != '-' && name.front() != '.' &&
         std::all_of(name.begin(), name.end(), [](unsigned char c) {
           return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
         });
}

// "host" and "host:3493" are one server.
std::string ServerWithPort(const std::string& server) {
  return IsListenAddress(server) ? server : server + ":3493";
}

// One [[ups]] entry as read, with the lines its checks across entries point at.
struct UpsEntry {
  Config::Ups ups;
  int line = 0;
  bool hasPort = false, named = false, ownRegistry = false;
  int devicesLine = 0, libraryLine = 0, registryLine = 0;
};

UpsEntry ReadUpsEntry(const toml::node& node, std::vector<ConfigProblem>& problems) {
  UpsEntry entry;
  entry.line = LineOf(node);
  Config::Ups& ups = entry.ups;
  TableReader reader(*node.as_table(), "ups", problems);
  ReadAgent(reader, ups);
  entry.named = reader.Find("name") != nullptr;
  reader.String("name", ups.name, 64);
  entry.hasPort = ReadSerial(reader, ups);
  entry.ownRegistry = reader.Find("registry") != nullptr;
  entry.devicesLine = reader.LineOfKey("devices", 0);
  entry.libraryLine = reader.LineOfKey("library", 0);
  entry.registryLine = reader.LineOfKey("registry", entry.line);
  reader.Integer("supplies", ups.supplies, 0, 64);
  if (reader.Find("on_battery_seconds") != nullptr) {
    std::uint32_t seconds = kUnread;
    reader.Integer("on_battery_seconds", seconds, 0, 86400);
    if (seconds != kUnread) ups.onBatterySeconds = seconds;
  }
  if (const toml::node* delay = reader.Find("turn_off_delay")) {
    std::uint32_t seconds = kUnread;
    reader.Integer("turn_off_delay", seconds, 0, 999);
    if (seconds != kUnread) ups.turnOffDelay = seconds;
    if (ups.Agent()) {
      reader.Problem(LineOf(*delay),
                     "ups.turn_off_delay is for a UPS on this machine's cable: a followed "
                     "UPS is turned off by its own primary");
    }
  }
  if (ups.Agent()) {
    for (const char* key : {"devices", "registry", "library"}) {
      if (const toml::node* serial = reader.Find(key)) {
        reader.Problem(LineOf(*serial), reader.Key(key) +
                                            " is for a UPS on this machine's cable, not one "
                                            "followed on a NUT server");
      }
    }
    if (entry.hasPort) {
      reader.Problem(reader.LineOfKey("port", entry.line),
                     "ups.port and ups.server exclude each other: the port on the machine "
                     "with the UPS's cable, the server on the others");
    }
    if (!ups.caFile.empty() && !ups.fingerprint.empty()) {
      reader.Problem(reader.LineOfKey("server", entry.line),
                     "ups.ca_file and ups.fingerprint exclude each other: a pinned certificate "
                     "is checked alone");
    }
  }
  return entry;
}

// [[ups]] entries: several UPSes, each feeding some of this machine's power supplies.
void ReadUpsEntries(const toml::table& root, const toml::array& list, LoadedConfig& loaded) {
  Config& config = loaded.config;
  auto& problems = loaded.problems;
  config.entries = true;
  std::vector<UpsEntry> entries;
  for (const toml::node& node : list) entries.push_back(ReadUpsEntry(node, problems));
  const Config defaults;
  std::map<std::string, int> seen;        // each UPS, by what tells it apart, and its line
  std::map<std::string, int> registries;  // each cable's registry folder
  std::map<std::string, int> ports;       // each cable's port
  // The request that turns UPSes off after a shutdown names each by a bit of a 64-bit number.
  constexpr std::size_t kMostEntries = 64;
  if (entries.size() > kMostEntries) {
    problems.push_back({LineOf(list), "[[ups]] holds " + std::to_string(entries.size()) +
                                          " entries: at most " + std::to_string(kMostEntries)});
  }
  const UpsEntry* firstCable = nullptr;  // the machine-wide driver keys are its
  const UpsEntry* firstServer = nullptr;
  for (auto& entry : entries) {
    Config::Ups& ups = entry.ups;
    if (!entry.hasPort && !ups.Agent()) {
      problems.push_back({entry.line,
                          "each [[ups]] entry needs port (a UPS on this machine's cable) or "
                          "server (a UPS followed on a NUT server)"});
      continue;
    }
    if (!entry.named && entries.size() > 1) {
      problems.push_back({entry.line, "each [[ups]] entry needs a name when there are several"});
    } else if (!IsNutUpsName(ups.name)) {
      problems.push_back({entry.line, "ups.name \"" + ups.name +
                                          "\" is no UPS name NUT's clients can write: 1 to 64 "
                                          "letters, digits, '-', '_' or '.'"});
    }
    const std::string identity =
        ups.Agent() ? ups.name + "@" + ServerWithPort(ups.server) : ups.name;
    if (const auto [where, fresh] = seen.emplace(identity, entry.line); !fresh) {
      problems.push_back(
          {entry.line,
           "the UPS " + (ups.Agent() ? ups.name + "@" + ups.server : "\"" + ups.name + "\"") +
               " is named twice (first on line " + std::to_string(where->second) + ")"});
    }
    if (ups.Agent()) {
      if (firstServer == nullptr) firstServer = &entry;
      continue;
    }
    if (firstCable == nullptr) {
      firstCable = &entry;
    } else {
      // One driver install serves every UPS of the machine: its folder of ports and its library.
      if (ups.devices != firstCable->ups.devices) {
        problems.push_back({entry.devicesLine ? entry.devicesLine : entry.line,
                            "ups.devices is the machine's: every [[ups]] entry names the same (\"" +
                                firstCable->ups.devices + "\" on line " +
                                std::to_string(firstCable->line) + ")"});
      }
      if (ups.library != firstCable->ups.library) {
        problems.push_back({entry.libraryLine ? entry.libraryLine : entry.line,
                            "ups.library is the machine's: every [[ups]] entry names the same "
                            "driver (the entry on line " +
                                std::to_string(firstCable->line) + " differs)"});
      }
    }
    // Two drivers on one line would garble each other's frames, and one UPS would count twice.
    if (const auto [where, fresh] = ports.emplace(ups.port, entry.line); !fresh) {
      problems.push_back({entry.line, "ups.port " + ups.port +
                                          " is the port of the entry on line " +
                                          std::to_string(where->second) +
                                          " too: each UPS has a cable of its own"});
    }
    // Two drivers never share a registry folder: each keeps its own port and state there.
    if (!entry.ownRegistry) ups.registry = defaults.ups().registry + "/" + ups.name;
    if (const auto [where, fresh] = registries.emplace(ups.registry, entry.line); !fresh) {
      problems.push_back({entry.registryLine, "ups.registry " + ups.registry +
                                                  " is the registry of the entry on line " +
                                                  std::to_string(where->second) +
                                                  " too: each UPS's driver needs its own"});
    }
  }
  if (firstCable != nullptr && firstServer != nullptr) {
    const UpsEntry& later = firstCable->line > firstServer->line ? *firstCable : *firstServer;
    const UpsEntry& earlier = &later == firstCable ? *firstServer : *firstCable;
    problems.push_back(
        {later.line, std::string("this [[ups]] entry ") +
                         (later.ups.Agent() ? "follows a NUT server" : "names a port") +
                         " while the one on line " + std::to_string(earlier.line) +
                         (earlier.ups.Agent() ? " follows a NUT server" : " names a port") +
                         ": a machine either has the UPSes' cables (the primary) or follows "
                         "primaries (an agent), never both"});
  }
  config.upses.clear();
  for (auto& entry : entries) config.upses.push_back(std::move(entry.ups));
  if (config.upses.empty()) {
    config.upses.emplace_back();
    problems.push_back({LineOf(list), "[[ups]] holds no entry"});
  }
  if (firstServer != nullptr) {
    config.network.listen.clear();  // an agent serves no NUT clients
    if (root.at_path("shutdown.turn_off_delay").value_or<std::int64_t>(-1) !=
            std::int64_t{defaults.shutdown.turnOffDelay} &&
        root.at_path("shutdown.turn_off_delay")) {
      config.ignoredByAgent.emplace_back("shutdown.turn_off_delay");
    }
    if (root.get("plan") != nullptr) config.ignoredByAgent.emplace_back("plan");
    RefuseSharingOnAgent(root, problems);
  }
}

// [ups] or [[ups]]: the UPSes this machine watches.
void ReadUpses(const toml::table& root, LoadedConfig& loaded) {
  const toml::node* node = root.get("ups");
  if (node != nullptr && node->is_array()) {
    if (!node->as_array()->is_array_of_tables()) {
      loaded.problems.push_back({LineOf(*node), "ups must be one [ups] table or [[ups]] entries"});
      return;
    }
    return ReadUpsEntries(root, *node->as_array(), loaded);
  }
  ReadUpsTable(root, loaded);
}

// [shutdown] min_supplies against the supplies the UPSes feed.
void CheckMinSupplies(const toml::table& root, LoadedConfig& loaded) {
  const Config& config = loaded.config;
  const auto& minimum = config.shutdown.minSupplies;
  if (!minimum) return;
  const int line = LineOf(*root.at_path("shutdown.min_supplies").node());
  const std::uint32_t sum = config.Supplies();
  if (sum == 0) {
    loaded.problems.push_back({line,
                               "shutdown.min_supplies counts nothing: every UPS is watched only "
                               "(supplies = 0), and this machine never shuts down for the power"});
  } else if (*minimum < 1 || *minimum > sum) {
    loaded.problems.push_back(
        {line, "shutdown.min_supplies must be from 1 to " + std::to_string(sum) +
                   " (the supplies the UPSes feed), not " + std::to_string(*minimum)});
  }
}

void ReadDocument(const toml::table& root, LoadedConfig& loaded) {
  Config& config = loaded.config;
  auto& problems = loaded.problems;
  static const std::set<std::string> kSections = {"ups",    "shutdown", "events", "network",
                                                  "http",   "users",    "stage",  "plan",
                                                  "notify", "service"};
  for (const auto& [key, node] : root) {
    if (!kSections.count(std::string(key.str()))) {
      problems.push_back({LineOf(node), "unknown section or key '" + std::string(key.str()) + "'"});
    }
  }
  ReadUpses(root, loaded);
  Section(root, "shutdown", problems, [&](TableReader& shutdown) {
    shutdown.String("command", config.shutdown.command);
    config.shutdown.commandLine = shutdown.LineOfKey("command", 0);
    shutdown.Integer("on_battery_seconds", config.shutdown.onBatterySeconds, 0, 86400);
    shutdown.Integer("retry_seconds", config.shutdown.retrySeconds, 1, 600);
    shutdown.Integer("down_within_seconds", config.shutdown.downWithinSeconds, 1, 3600);
    shutdown.Integer("turn_off_delay", config.shutdown.turnOffDelay, 0, 999);
    if (shutdown.Find("min_supplies") != nullptr) {
      std::uint32_t minimum = kUnread;
      shutdown.Integer("min_supplies", minimum, 0, 4096);
      if (minimum != kUnread) config.shutdown.minSupplies = minimum;
    }
    shutdown.String("flag_file", config.shutdown.flagFile);
    shutdown.String("requests", config.shutdown.requests);
    shutdown.String("results", config.shutdown.results);
  });
  CheckMinSupplies(root, loaded);
  if (!PathFromUtf8(config.shutdown.flagFile).is_absolute()) {
    problems.push_back({0, "shutdown.flag_file must be an absolute path"});
  }
  Section(root, "events", problems, [&](TableReader& events) {
    events.String("command", config.events.command);
    config.events.commandLine = events.LineOfKey("command", 0);
    events.String("history", config.events.history);
  });
  if (!config.events.history.empty() && !PathFromUtf8(config.events.history).is_absolute()) {
    problems.push_back({0, "events.history must be an absolute path (or empty for none)"});
  }
  Section(root, "service", problems,
          [&](TableReader& service) { service.String("control", config.service.control); });
  if (!config.service.control.empty() &&
      !std::filesystem::path(config.service.control).is_absolute()) {
    problems.push_back({0, "service.control must be an absolute path (or empty for none)"});
  }
  Section(root, "http", problems,
          [&](TableReader& http) { ReadListen(http, "http", config.http.listen, "3495"); });
  Section(root, "network", problems, [&](TableReader& network) {
    ReadListen(network, "network", config.network.listen, "3493");
    network.Integer("max_clients", config.network.maxClients, 1, 4096);
    network.Integer("max_clients_per_address", config.network.maxClientsPerAddress, 1, 4096);
    // The other machines' time to shut down comes out of this one's last minutes on battery.
    network.Integer("hostsync_seconds", config.network.hostsyncSeconds, 0, 300);
    network.String("certificate", config.network.certificate);
    network.String("key", config.network.key);
  });
  // A PFX file or a certificate of the Windows store holds its key; network.key then names, at
  // most, the file with the PFX's password.
  if (config.network.certificate.empty()
          ? !config.network.key.empty()
          : config.network.key.empty() && !CarriesItsKey(config.network.certificate)) {
    problems.push_back({0,
                        "network.certificate and network.key go together: set both or neither "
                        "(a .pfx file or cert:\\LocalMachine\\My\\THUMBPRINT holds its key)"});
  }
  if (const toml::node* users = root.get("users")) {
    const toml::array* list = users->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
      problems.push_back({LineOf(*users), "users must be [[users]] tables"});
      ReadPlan(root, loaded);
      return ReadNotify(root, loaded);
    }
    for (const toml::node& entry : *list) {
      Config::User user;
      const int line = LineOf(entry);
      int nameLine = line, passwordLine = line, upsmonLine = line;
      {
        TableReader reader(*entry.as_table(), "users", problems);
        reader.String("name", user.name, 64);
        reader.String("password", user.password, 256);
        reader.String("upsmon", user.upsmon);
        reader.Strings("actions", user.actions, {"SET", "FSD"});
        reader.Strings("instcmds", user.instcmds, {"shutdown.return", "ALL"});
        nameLine = reader.LineOfKey("name", line);
        passwordLine = reader.LineOfKey("password", line);
        upsmonLine = reader.LineOfKey("upsmon", line);
      }
      if (user.name.empty() || !SendableWord(user.name)) {
        problems.push_back({nameLine, "each user needs a name without spaces or quotes"});
      }
      if (user.password.empty()) {
        problems.push_back({passwordLine, "user " + user.name + " needs a password"});
      } else if (!SendableWord(user.password)) {
        // upsmon and upsc send the password as a bare word: it would never match.
        problems.push_back({passwordLine, "the password of user " + user.name +
                                              " may not contain spaces, quotes, backslashes or "
                                              "control characters: NUT clients cannot send them"});
      }
      if (!user.upsmon.empty() && user.upsmon != "primary" && user.upsmon != "secondary") {
        problems.push_back({upsmonLine, "users.upsmon is \"primary\" or \"secondary\", not \"" +
                                            user.upsmon + "\""});
      }
      for (const auto& other : config.users) {
        if (other.name == user.name)
          problems.push_back({nameLine, "user " + user.name + " is named twice"});
      }
      config.users.push_back(std::move(user));
    }
  }
  ReadPlan(root, loaded);
  ReadNotify(root, loaded);
}

}  // namespace

bool UrlCarriesSecret(const Config::Notify& entry) {
  const auto scheme = entry.url.find("://");
  if (entry.kind == Config::Notify::Kind::kSmtp || scheme == std::string::npos) return false;
  const auto path = entry.url.find_first_of("/?", scheme + 3);
  if (path == std::string::npos) return false;
  const std::string rest = entry.url.substr(path);
  const bool token = !entry.token.empty() || !entry.tokenFile.empty();
  return rest.find('?') != std::string::npos || (!token && rest != "/");
}

std::string ShownUrl(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return "(not a URL)";
  const auto path = url.find_first_of("/?#", scheme + 3);
  return path == std::string::npos ? url : url.substr(0, path) + "/...";
}

bool HoldsSecrets(const Config& config) {
  return !config.users.empty() ||
         std::any_of(config.upses.begin(), config.upses.end(),
                     [](const Config::Ups& ups) { return !ups.password.empty(); }) ||
         std::any_of(config.notify.begin(), config.notify.end(), [](const Config::Notify& entry) {
           return !entry.token.empty() || !entry.password.empty() || UrlCarriesSecret(entry);
         });
}

LoadedConfig ParseConfig(std::string_view text) {
  LoadedConfig loaded;
  try {
    const toml::table root = toml::parse(text);
    ReadDocument(root, loaded);
  } catch (const toml::parse_error& error) {
    loaded.problems.push_back(
        {static_cast<int>(error.source().begin.line), std::string(error.description())});
    if (error.description().find("redefine existing") != std::string_view::npos &&
        error.description().find("'ups'") != std::string_view::npos) {
      loaded.problems.back().message +=
          " (one UPS is the [ups] table, several are [[ups]] entries: a file holds one or the "
          "other)";
    }
    if (error.description().find("escape sequence") != std::string_view::npos) {
      // A Windows path in "..." is the usual cause.
      loaded.problems.back().message +=
          " (a backslash in \"...\" starts an escape: write a path as 'C:\\Scripts\\x.cmd' in "
          "single quotes, or with forward slashes)";
    }
  }
  return loaded;
}

LoadedConfig LoadConfig(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    LoadedConfig loaded;
    loaded.problems.push_back({0, "cannot read the file"});
    return loaded;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str());
}

std::vector<std::string> ChangedKeys(const Config& before, const Config& after) {
  std::vector<std::string> changed;
  const auto compare = [&](const char* key, const auto& first, const auto& second) {
    if (!(first == second)) changed.emplace_back(key);
  };
  const Config &a = before, &b = after;
  // Each UPS's keys, entry by entry; a list of another length changes "ups" as a whole.
  if (a.upses.size() != b.upses.size()) changed.emplace_back("ups");
  const auto each = [&](const char* key, auto field) {
    const std::size_t common = std::min(a.upses.size(), b.upses.size());
    for (std::size_t i = 0; i < common; ++i) {
      if (!(a.upses[i].*field == b.upses[i].*field)) {
        changed.emplace_back(key);
        return;
      }
    }
  };
  using Ups = Config::Ups;
  each("ups.name", &Ups::name);
  each("ups.port", &Ups::port);
  each("ups.devices", &Ups::devices);
  each("ups.registry", &Ups::registry);
  each("ups.library", &Ups::library);
  each("ups.server", &Ups::server);
  each("ups.user", &Ups::user);
  each("ups.password", &Ups::password);
  each("ups.poll_seconds", &Ups::pollSeconds);
  each("ups.deadtime", &Ups::deadtime);
  each("ups.ca_file", &Ups::caFile);
  each("ups.fingerprint", &Ups::fingerprint);
  each("ups.require_tls", &Ups::requireTls);
  each("ups.supplies", &Ups::supplies);
  each("ups.on_battery_seconds", &Ups::onBatterySeconds);
  each("ups.turn_off_delay", &Ups::turnOffDelay);
  compare("shutdown.command", a.shutdown.command, b.shutdown.command);
  compare("shutdown.on_battery_seconds", a.shutdown.onBatterySeconds, b.shutdown.onBatterySeconds);
  compare("shutdown.retry_seconds", a.shutdown.retrySeconds, b.shutdown.retrySeconds);
  compare("shutdown.down_within_seconds", a.shutdown.downWithinSeconds,
          b.shutdown.downWithinSeconds);
  compare("shutdown.turn_off_delay", a.shutdown.turnOffDelay, b.shutdown.turnOffDelay);
  compare("shutdown.min_supplies", a.shutdown.minSupplies, b.shutdown.minSupplies);
  compare("shutdown.flag_file", a.shutdown.flagFile, b.shutdown.flagFile);
  compare("shutdown.requests", a.shutdown.requests, b.shutdown.requests);
  compare("shutdown.results", a.shutdown.results, b.shutdown.results);
  compare("events.command", a.events.command, b.events.command);
  compare("events.history", a.events.history, b.events.history);
  compare("service.control", a.service.control, b.service.control);
  compare("http.listen", a.http.listen, b.http.listen);
  compare("network.listen", a.network.listen, b.network.listen);
  compare("network.max_clients", a.network.maxClients, b.network.maxClients);
  compare("network.max_clients_per_address", a.network.maxClientsPerAddress,
          b.network.maxClientsPerAddress);
  compare("network.hostsync_seconds", a.network.hostsyncSeconds, b.network.hostsyncSeconds);
  compare("network.certificate", a.network.certificate, b.network.certificate);
  compare("network.key", a.network.key, b.network.key);
  compare("users", a.users, b.users);
  compare("stage", a.stages, b.stages);
  compare("plan.wake_after_seconds", a.plan.wakeAfterSeconds, b.plan.wakeAfterSeconds);
  compare("plan.wake_address", a.plan.wakeAddress, b.plan.wakeAddress);
  compare("notify", a.notify, b.notify);
  return changed;
}

std::string Describe(const std::string& path, const ConfigProblem& problem) {
  return path + (problem.line > 0 ? ":" + std::to_string(problem.line) : std::string()) + ": " +
         problem.message;
}

std::uint64_t Config::UpsListDigest() const {
  // FNV-1a: no secret is kept from the service's account here, only a slip of the admin's.
  std::uint64_t digest = 14695981039346656037ull;
  const auto take = [&digest](const std::string& text) {
    for (const char c : text) {
      digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    digest = (digest ^ 0u) * 1099511628211ull;  // the end of each word
  };
  for (const auto& each : upses) {
    take(each.name);
    take(each.port);
    take(each.registry);
  }
  return digest;
}

}  // namespace corvale::host
