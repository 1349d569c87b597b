#include "host/nut/nut_session.h"

#include <algorithm>

namespace corvale::nut {

namespace {

constexpr char kProtocolVersion[] = "1.3";
constexpr char kWritable[] = "ups.delay.shutdown";
constexpr char kInstantCommand[] = "shutdown.return";
// Asked for by this project's agents only, never listed: standard clients never see it.
constexpr char kDrillVariable[] = "corvale.drill";

struct Description {
  const char* name;
  const char* text;
};
constexpr Description kVariableDescriptions[] = {
    {"device.mfr", "Device manufacturer"},
    {"device.model", "Device model"},
    {"device.type", "Device type (ups, pdu, scd, psu, ats)"},
    {"driver.name", "Driver name"},
    {"driver.version", "Driver version"},
    {"ups.alarm", "UPS alarms"},
    {"ups.delay.shutdown", "Interval to wait after shutdown with delay command (seconds)"},
    {"ups.firmware", "UPS firmware"},
    {"ups.mfr", "UPS manufacturer"},
    {"ups.model", "UPS model"},
    {"ups.status", "UPS status"},
};

Session::Result Reply(std::string line) {
  return Session::Result{line + "\n"};
}
Session::Result Error(const std::string& code) {
  return Reply("ERR " + code);
}

const char* DescriptionOf(const std::string& name) {
  for (const auto& entry : kVariableDescriptions) {
    if (name == entry.name) return entry.text;
  }
  return nullptr;
}

bool IsNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::vector<std::string>> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return std::nullopt;
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::optional<std::size_t> Backend::FindUps(std::string_view name) const {
  const auto& names = UpsNames();
  const auto found = std::find(names.begin(), names.end(), name);
  if (found == names.end()) return std::nullopt;
  return static_cast<std::size_t>(found - names.begin());
}

bool SamePassword(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    const char other = expected.empty() ? '\0' : expected[i % expected.size()];
    difference |= static_cast<unsigned char>(given[i] ^ other);
  }
  return difference == 0;
}

Session::~Session() {
  if (loggedIn_) backend_.Logout(this);
}

bool Session::AsksForTls(std::string_view line) {
  const auto words = SplitWords(line);
  return words && !words->empty() && words->front() == "STARTTLS";
}

void Session::TlsStarted() {
  tls_ = true;
  username_.reset();
  password_.reset();
  if (loggedIn_) backend_.Logout(this);
  loggedIn_ = false;
  loggedInAs_.clear();
}

std::optional<User> Session::Authenticated() const {
  if (!username_ || !password_) return std::nullopt;
  auto user = backend_.FindUser(*username_);
  if (!user || !SamePassword(*password_, user->password)) return std::nullopt;
  return user;
}

std::string Session::CheckUser() const {
  if (!username_) return "USERNAME-REQUIRED";
  if (!password_) return "PASSWORD-REQUIRED";
  if (Authenticated()) return "";
  backend_.LoginRefused(*username_, address_);
  return "ACCESS-DENIED";
}

Session::Result Session::Handle(std::string_view line, std::function<void(std::string)> later) {
  const auto parsed = SplitWords(line);
  if (!parsed) return Error("INVALID-ARGUMENT");
  const auto& words = *parsed;
  if (words.empty()) return Error("UNKNOWN-COMMAND");
  const std::string& command = words[0];
  const std::size_t count = words.size();

  if (command == "GET") return Get(words);
  if (command == "LIST") return List(words);
  if (command == "VER" && count == 1) {
    return Reply("corvale-ups 1.0.0.1 - NUT network protocol " + std::string(kProtocolVersion));
  }
  if ((command == "NETVER" || command == "PROTVER") && count == 1) return Reply(kProtocolVersion);
  if (command == "HELP") {
    return Reply(
        "Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD "
        "STARTTLS PRIMARY FSD DRILL SHUTTING-DOWN");
  }
  if (command == "LOGOUT") {
    if (loggedIn_) backend_.SaidLogout(this);
    return Result{"OK Goodbye\n", true};
  }
  // "SHUTTING-DOWN ups": this project's agents only, once their shutdown command has started (a
  // standard server answers UNKNOWN-COMMAND, and the agent goes on as before).
  if (command == "SHUTTING-DOWN") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    const auto ups = KnownUps(words[1]);
    if (!ups) return Error("UNKNOWN-UPS");
    // Said of the UPS it logged in to, or of none.
    if (!loggedIn_ || *ups != loggedInUps_) return Error("ACCESS-DENIED");
    backend_.ShuttingDown(this);
    return Reply("OK");
  }
  if (command == "STARTTLS") {
    if (tls_) return Error("ALREADY-SSL-MODE");
    if (!backend_.TlsConfigured()) return Error("FEATURE-NOT-CONFIGURED");
    return Result{"OK STARTTLS\n", false, true};
  }
  if (command == "USERNAME") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    if (username_) return Error("ALREADY-SET-USERNAME");
    username_ = words[1];
    return Reply("OK");
  }
  if (command == "PASSWORD") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    if (password_) return Error("ALREADY-SET-PASSWORD");
    password_ = words[1];
    return Reply("OK");
  }
  if (command == "LOGIN") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    if (loggedIn_) return Error("ALREADY-LOGGED-IN");
    if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
    const auto ups = KnownUps(words[1]);
    if (!ups) return Error("UNKNOWN-UPS");
    if (Authenticated()->upsmon == User::Upsmon::kNone) return Error("ACCESS-DENIED");
    loggedIn_ = true;
    loggedInUps_ = *ups;
    loggedInAs_ = *username_;
    backend_.Login(this, *ups, address_, loggedInAs_);
    return Reply("OK");
  }
  if (command == "PRIMARY" || command == "MASTER") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
    if (!KnownUps(words[1])) return Error("UNKNOWN-UPS");
    if (Authenticated()->upsmon != User::Upsmon::kPrimary) return Error("ACCESS-DENIED");
    return Reply(command == "PRIMARY" ? "OK PRIMARY-GRANTED" : "OK MASTER-GRANTED");
  }
  if (command == "FSD") {
    if (count != 2) return Error("INVALID-ARGUMENT");
    if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
    const auto ups = KnownUps(words[1]);
    if (!ups) return Error("UNKNOWN-UPS");
    const auto user = Authenticated();
    if (user->upsmon != User::Upsmon::kPrimary && !user->mayForceShutdown) {
      return Error("ACCESS-DENIED");
    }
    backend_.ForceShutdown(*ups, user->name);
    return Reply("OK FSD-SET");
  }
  if (command == "DRILL") return Drill(words, std::move(later));
  if (command == "SET") {
    if (count != 5 || words[1] != "VAR") return Error("INVALID-ARGUMENT");
    if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
    const auto ups = KnownUps(words[2]);
    if (!ups) return Error("UNKNOWN-UPS");
    if (!Authenticated()->maySet) return Error("ACCESS-DENIED");
    if (words[3] != kWritable) {
      return Error(DescriptionOf(words[3]) != nullptr ? "READONLY" : "VAR-NOT-SUPPORTED");
    }
    const std::string refused = backend_.SetVariable(*ups, words[3], words[4]);
    return refused.empty() ? Reply("OK") : Error(refused);
  }
  if (command == "INSTCMD") {
    if (count < 3 || count > 4) return Error("INVALID-ARGUMENT");
    if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
    const auto ups = KnownUps(words[1]);
    if (!ups) return Error("UNKNOWN-UPS");
    const auto user = Authenticated();
    const auto& allowed = user->instcmds;
    const bool may = std::find(allowed.begin(), allowed.end(), "ALL") != allowed.end() ||
                     std::find(allowed.begin(), allowed.end(), words[2]) != allowed.end();
    if (!may) return Error("ACCESS-DENIED");
    if (words[2] != kInstantCommand) return Error("CMD-NOT-SUPPORTED");
    if (!later) return Error("INSTCMD-FAILED");
    backend_.RunInstantCommand(*ups, words[2], user->name, std::move(later));
    return Result{"", false, false, true};
  }
  return Error("UNKNOWN-COMMAND");
}

// "DRILL ups": a rehearsal, from a user who may force a shutdown; "DRILL ups ANSWER id 0|1
// text": a logged-in agent's part of one.
Session::Result Session::Drill(const std::vector<std::string>& words,
                               std::function<void(std::string)> later) {
  if (words.size() < 2) return Error("INVALID-ARGUMENT");
  if (!KnownUps(words[1])) return Error("UNKNOWN-UPS");
  if (words.size() == 6 && words[2] == "ANSWER") {
    if (!loggedIn_) return Error("ACCESS-DENIED");
    if (!IsNumber(words[3]) || words[3].size() > 19 || (words[4] != "0" && words[4] != "1")) {
      return Error("INVALID-ARGUMENT");
    }
    backend_.DrillAnswered(this, std::stoull(words[3]), words[4] == "1", words[5]);
    return Reply("OK");
  }
  if (words.size() != 2) return Error("INVALID-ARGUMENT");
  if (const auto refused = CheckUser(); !refused.empty()) return Error(refused);
  const auto user = Authenticated();
  if (user->upsmon != User::Upsmon::kPrimary && !user->mayForceShutdown) {
    return Error("ACCESS-DENIED");
  }
  if (!later || !backend_.Drill(user->name, std::move(later))) return Error("DRILL-RUNNING");
  return Result{"", false, false, true};
}

Session::Result Session::Get(const std::vector<std::string>& words) {
  if (words.size() < 3) return Error("INVALID-ARGUMENT");
  const std::string& what = words[1];
  const std::string& ups = words[2];
  const auto place = KnownUps(ups);
  if (!place) return Error("UNKNOWN-UPS");
  if (what == "NUMLOGINS" && words.size() == 3) {
    return Reply("NUMLOGINS " + ups + " " + std::to_string(backend_.NumLogins(*place)));
  }
  if (what == "UPSDESC" && words.size() == 3) {
    return Reply("UPSDESC " + ups + " " + Quote(backend_.UpsDescription(*place)));
  }
  if (words.size() != 4) return Error("INVALID-ARGUMENT");
  const std::string& name = words[3];
  if (what == "CMDDESC") {
    if (name != kInstantCommand) return Error("CMD-NOT-SUPPORTED");
    return Reply("CMDDESC " + ups + " " + name + " " +
                 Quote("Turn off the load and return when power is back"));
  }
  if (what != "VAR" && what != "TYPE" && what != "DESC") return Error("INVALID-ARGUMENT");
  if (what == "VAR" && name == kDrillVariable) {
    return Reply("VAR " + ups + " " + name + " " +
                 Quote(std::to_string(backend_.DrillAsked(this))));
  }
  const char* description = DescriptionOf(name);
  const auto variables = backend_.CurrentVariables(this, *place);
  if (what == "DESC") {
    if (description == nullptr) return Error("VAR-NOT-SUPPORTED");
    return Reply("DESC " + ups + " " + name + " " + Quote(description));
  }
  if (!variables) return Error("DATA-STALE");
  const auto found = std::find_if(variables->begin(), variables->end(),
                                  [&](const auto& variable) { return variable.first == name; });
  if (found == variables->end()) return Error("VAR-NOT-SUPPORTED");
  if (what == "VAR") return Reply("VAR " + ups + " " + name + " " + Quote(found->second));
  if (name == kWritable) return Reply("TYPE " + ups + " " + name + " RW RANGE NUMBER");
  return Reply(
      "TYPE " + ups + " " + name +
      (IsNumber(found->second) ? " NUMBER" : " STRING:" + std::to_string(found->second.size())));
}

Session::Result Session::List(const std::vector<std::string>& words) {
  if (words.size() < 2) return Error("INVALID-ARGUMENT");
  const std::string& what = words[1];
  if (what == "UPS" && words.size() == 2) {
    std::string list = "BEGIN LIST UPS\n";
    const auto& names = backend_.UpsNames();
    for (std::size_t ups = 0; ups < names.size(); ++ups) {
      list += "UPS " + names[ups] + " " + Quote(backend_.UpsDescription(ups)) + "\n";
    }
    return Result{list + "END LIST UPS\n"};
  }
  if (words.size() < 3) return Error("INVALID-ARGUMENT");
  const std::string& ups = words[2];
  const auto place = KnownUps(ups);
  if (!place) return Error("UNKNOWN-UPS");
  const std::string head = what + " " + ups;
  std::string body;
  if ((what == "VAR" || what == "RW") && words.size() == 3) {
    const auto variables = backend_.CurrentVariables(this, *place);
    if (!variables) return Error("DATA-STALE");
    for (const auto& [name, value] : *variables) {
      if (what == "RW" && name != kWritable) continue;
      body += what + " " + ups + " " + name + " " + Quote(value) + "\n";
    }
  } else if (what == "CMD" && words.size() == 3) {
    body = "CMD " + ups + " " + kInstantCommand + "\n";
  } else if (what == "CLIENT" && words.size() == 3) {
    for (const auto& address : backend_.LoggedInAddresses(*place)) {
      body += "CLIENT " + ups + " " + address + "\n";
    }
  } else if ((what == "ENUM" || what == "RANGE") && words.size() == 4) {
    const std::string& name = words[3];
    if (DescriptionOf(name) == nullptr) return Error("VAR-NOT-SUPPORTED");
    if (what == "RANGE" && name == kWritable) {
      body = "RANGE " + ups + " " + name + " \"0\" \"999\"\n";
    }
    return Result{"BEGIN LIST " + head + " " + name + "\n" + body + "END LIST " + head + " " +
                  name + "\n"};
  } else {
    return Error("INVALID-ARGUMENT");
  }
  return Result{"BEGIN LIST " + head + "\n" + body + "END LIST " + head + "\n"};
}

}  // namespace corvale::nut
