// What the command-line front-ends share on every OS: starting the driver from the command
// line with its failures explained, and the one-shot status and turn-off commands.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/checked_answer.h"
#include "cli/commands.h"
#include "cli/events.h"
#include "host/config.h"
#include "host/control.h"
#include "host/host_os.h"
#include "host/nut/nut_client.h"
#include "host/utf8_path.h"

namespace corvale {

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "corvale-ups: %s\n", message.c_str());
  return code;
}

int StartFromCommandLine(const Common& common, std::unique_ptr<DriverLibrary>& driver) {
  if (auto problem = PrepareSetup(common.setup)) return Fail(kExitRegistry, *problem);
  try {
    driver = std::make_unique<DriverLibrary>(common.library);
  } catch (const std::runtime_error& error) {
    return Fail(kExitNoLibrary, error.what());
  }
  std::string message;
  const int code = StartDriver(*driver, common.setup, &message);
  if (code != kExitOk && code != kExitNoUps) return Fail(code, message);
  if (code == kExitNoUps) std::fprintf(stderr, "corvale-ups: %s\n", message.c_str());
  return code;
}

namespace {

// The running service's view, and what became of asking it.
struct ServiceAnswer {
  std::string address;      // where it was asked; empty: not asked (no file, no NUT server)
  std::optional<int> exit;  // its answer's exit code; nothing: it did not answer
  std::string armed = {};   // a power cut armed, though the service did not answer
};
// "host:port" for a server named with or without its port.
std::string WithPort(const std::string& server) {
  const auto colon = server.rfind(':');
  const bool hasPort = server.front() == '['
                           ? colon != std::string::npos && colon > server.find(']')
                           : colon != std::string::npos && server.find(':') == colon;
  return hasPort ? server : server + ":3493";
}

// Told whenever the service says root's helper does not answer: the mend is the same.
void WarnHelperSilent() {
  std::fprintf(stderr,
               "corvale-ups: warning: the service could not shut this host down: its "
               "privileged helper does not answer ("
               "systemctl reset-failed corvale-ups-shutdown.service corvale-ups-shutdown.path; "
               "systemctl start corvale-ups-shutdown.path)\n");
}

// Several UPSes over NUT: each one's state from its public variables, where the service serves
// it (an agent: each on its own server); which of them feeds this machine only the service
// knows. Nothing when no UPS answered on a primary's own server: the port is read instead.
std::optional<int> EachUpsOverNut(const Common& common, const host::Config& config, bool agent,
                                  const std::string& listen) {
  struct Seen {
    std::string name;
    std::uint32_t state = 8;
    std::string problem;
    std::uint32_t supplies = 0;
  };
  std::vector<Seen> seen;
  bool answered = false, ready = true;
  for (const auto& ups : config.upses) {
    const std::string address = agent ? WithPort(ups.server) : listen;
    Seen each{config.UnitName(ups), 8, "", ups.supplies};
    bool refused = false;
    const auto variables =
        nut::QueryVariables(address, ups.name, std::chrono::seconds(2), &each.problem, &refused);
    answered = answered || refused;  // a server that says it does not serve the UPS is there
    if (variables) {
      answered = true;
      for (const auto& [name, value] : *variables) {
        if (name == "ups.status") each.state = nut::StateFromStatus(value);
        if (name == "driver.shutdown.ready" && value == "0") ready = false;
      }
    }
    seen.push_back(std::move(each));
  }
  if (!answered && !agent) return std::nullopt;
  if (!ready && !agent) WarnHelperSilent();
  EventLog log(common.json);
  bool silent = false;
  for (const auto& each : seen) {
    silent = silent || each.state == 8;
    Event event = StateEvent(each.state, {{"supplies", std::to_string(each.supplies)}});
    event.ups = Printable(each.name);
    event.message = event.ups + (each.problem.empty() ? "" : ": " + Printable(each.problem));
    event.source = agent ? "server" : "service";
    log.Report(event);
  }
  Event machine = Note("supplies",
                       "unknown: which UPS feeds this machine now only the service knows (its "
                       "status page shows it)");
  machine.values = {{"total", std::to_string(config.Supplies())},
                    {"minimum", std::to_string(config.MinSupplies())}};
  log.Report(machine);
  return silent ? kExitNoUps : kExitOk;
}

// Where this OS has no local channel to the service: its public variables over its first NUT
// listen address (no login).
ServiceAnswer StatusOverNut(const Common& common, const std::string& configPath) {
  if (common.setup.port || !std::filesystem::exists(host::PathFromUtf8(configPath))) return {};
  const auto loaded = host::LoadConfig(configPath);
  if (!loaded.problems.empty()) return {};
  const auto& config = loaded.config;
  // An agent's UPS is on its primary: asked there (its public variables, no login).
  const bool agent = config.ups().Agent();
  if (!agent && config.network.listen.empty()) return {};
  ServiceAnswer answer{agent ? WithPort(config.ups().server) : config.network.listen.front(),
                       std::nullopt};
  // The server's state says nothing of whether this agent acts on it.
  if (agent && !host::ServiceRunning(kServiceName)) {
    answer.exit = Fail(kExitNoService, std::string("the service ") + kServiceName +
                                           " does not run, so nothing protects this machine");
    return answer;
  }
  if (config.upses.size() > 1) {
    answer.exit = EachUpsOverNut(common, config, agent, answer.address);
    return answer;
  }
  std::string error;
  bool refused = false;
  const auto variables = nut::QueryVariables(answer.address, config.ups().name,
                                             std::chrono::seconds(2), &error, &refused);
  if (!variables && (agent || refused)) {
    answer.exit = Fail(kExitNoUps, std::string(agent ? "the UPS this agent follows" : "the UPS") +
                                       " cannot be read: " + Printable(error));
  }
  if (!variables) return answer;
  std::uint32_t state = 8;
  bool shutdownReady = true;
  for (const auto& [name, value] : *variables) {
    if (name == "ups.status") state = nut::StateFromStatus(value);
    if (name == "driver.shutdown.ready") shutdownReady = value != "0";
  }
  // The primary's helper is not this machine's: an agent's readiness is its own page's to tell.
  if (!shutdownReady && !agent) {
    WarnHelperSilent();
  }
  const Setup setup{config.ups().registry, config.ups().devices, std::nullopt};
  Event event = StateEvent(state, agent ? PublishedList() : PublishedValues(setup));
  event.source = agent ? "server" : "service";
  EventLog(common.json).Report(event);
  if (agent) {
    std::fprintf(stderr,
                 "corvale-ups: the state above is the NUT server's at %s; whether this machine's "
                 "agent runs and is logged in there shows on its status page and in its log\n",
                 answer.address.c_str());
  }
  answer.exit = state == 8 ? kExitNoUps : kExitOk;
  return answer;
}

// What to tell of a shutdown under way or a power cut armed, from the service's view and the
// flag; empty when neither.
std::string ArmedShutdown(const nlohmann::json& status, const std::string& flagFile, bool agent) {
  std::string armed;
  const auto add = [&armed](const std::string& what) {
    armed += (armed.empty() ? "" : "; ") + what;
  };
  const auto& shutdown = status.is_object() ? status.value("shutdown", nlohmann::json::object())
                                            : nlohmann::json::object();
  if (shutdown.value("pending", false)) {
    add("this machine's shutdown is under way (it waits for " +
        Printable(shutdown.value("waits_for", std::string("its end"))) + ")");
  }
  // An agent following several servers: one server's FSD takes one UPS out of its supplies (its
  // line says so), and orders this machine down only once too few are left (a shutdown pending).
  const bool several =
      status.is_object() && status.value("upses", nlohmann::json::array()).size() > 1;
  if (status.is_object() && status.value("nut", nlohmann::json::object()).value("fsd", false) &&
      !(agent && several)) {
    add(agent ? "the NUT server orders this machine down (FSD)"
              : "FSD is set: every machine on the UPS is told to shut down");
  }
  if (std::error_code ignored; !agent && std::filesystem::exists(flagFile, ignored)) {
    add("the power cut is armed (" + flagFile +
        "): the next shutdown of this machine cuts the power of every machine on " +
        (several ? "each UPS the flag names" : "the UPS") +
        "; if none is wanted: sudo corvale-ups disarm");
  }
  return armed;
}

// Several UPSes: a line for each (its state and battery as the service sees them, and its part
// in this machine's supplies), then what the machine would do now, as check-config says it. The
// registry's values are left out: on some systems the UPSes' processes share one. The exit code:
// armed first, then 5 when any UPS does not answer.
int ReportEachUps(const Common& common, const nlohmann::json& status, const std::string& address,
                  const std::string& armed) {
  std::string why;
  const auto text = host::AskService(address, "SUPPLIES", std::chrono::seconds(3), &why);
  const bool answered = text && !text->starts_with("ERR ");
  const auto supplies = answered ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
  if (answered && !WellFormedSupplies(supplies)) return Fail(kExitNoService, kMalformedAnswer);
  if (text && !answered) why = text->substr(4, text->find('\n') - 4);
  EventLog log(common.json);
  bool silent = false;
  const auto& upses = status["upses"];
  for (const auto& ups : upses) {
    const std::string name = ups.value("name", std::string());
    const auto state = ups.value("state", 8u);
    silent = silent || state == 8;
    const auto flags = ups.value("flags", nlohmann::json::object());
    PublishedList values;
    if (state != 8) {
      values.emplace_back("battery", flags.value("LB", false)   ? "low"
                                     : flags.value("RB", false) ? "needs replacing"
                                                                : "ok");
    }
    const auto onBattery = ups.find("on_battery_seconds");
    if (onBattery != ups.end() && onBattery->is_number() && onBattery->get<double>() > 0) {
      // A century at most: whatever the service says, the number is printed whole.
      const double seconds = std::min(onBattery->get<double>(), 3.2e9);
      values.emplace_back("on_battery_seconds", std::to_string(std::llround(seconds)));
    }
    std::string part;
    for (const auto& unit : answered ? supplies["upses"] : nlohmann::json::array()) {
      if (unit["name"].get<std::string>() != name) continue;
      const auto count = unit["supplies"].get<std::uint64_t>();
      values.emplace_back("supplies", std::to_string(count));
      part = count == 0                   ? "watched only, never a reason to shut down"
             : !unit["known"].get<bool>() ? "not heard from yet"
             : unit["feeds"].get<bool>()
                 ? "feeds this machine"
                 : "does not feed this machine: " + Printable(unit.value("why", std::string()));
      break;
    }
    Event event = StateEvent(state, std::move(values));
    event.ups = Printable(name);
    event.message = event.ups + (part.empty() ? "" : ": " + part);
    event.source = "service";
    log.Report(event);
  }
  Event machine = Note("supplies", answered ? WhatTheMachineWouldDo(supplies)
                                            : "unknown: the service does not say which UPS "
                                              "feeds this machine (" +
                                                  Printable(why) + ")");
  if (answered) {
    for (const char* count : {"fed", "total", "minimum"}) {
      machine.values.emplace_back(count, std::to_string(supplies[count].get<std::uint64_t>()));
    }
  }
  machine.source = "service";
  machine.armed = armed;
  log.Report(machine);
  return !armed.empty() ? kExitShutdownArmed : silent ? kExitNoUps : kExitOk;
}

// The running service's view over the local channel: it holds the port, so asking the driver
// directly would only find it busy. Needs no secret, and so no readable file.
ServiceAnswer StatusFromService(const Common& common, const std::string& configPath,
                                const std::string& control) {
  if (common.setup.port || !std::filesystem::exists(configPath)) return {};
  const auto loaded = host::LoadConfig(configPath);
  // A file this user may not read (it holds passwords) still has a service to ask, where it
  // answers by default.
  const bool readable = loaded.problems.empty();
  host::Config config;
  if (readable) {
    config = loaded.config;
  } else {
    config.service.control = control;
  }
  if (config.service.control.empty()) return StatusOverNut(common, configPath);
  ServiceAnswer answer{config.service.control, std::nullopt};
  std::string error;
  const auto text = host::AskService(answer.address, "STATUS", std::chrono::seconds(3), &error);
  // Turned away, the service still runs and holds the port: asking the port would only mislead.
  if (text && text->starts_with("ERR ")) {
    return {answer.address,
            Fail(kExitNoService, "the service did not answer: it refused (" +
                                     Printable(text->substr(4, text->find('\n') - 4)) +
                                     "); try again")};
  }
  if (!text && error.find(host::kControlBusyError) != std::string::npos) {
    return {answer.address, Fail(kExitNoService, "the service did not answer: " + error)};
  }
  const auto status = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
  // Whoever holds the service's account may answer anything: read only what has the right form.
  if (text && status.is_object() && !WellFormedStatus(status)) {
    return {answer.address, Fail(kExitNoService, kMalformedAnswer)};
  }
  const bool agent =
      readable ? config.ups().Agent() : status.is_object() && status.contains("agent");
  const std::string armed = ArmedShutdown(status, config.shutdown.flagFile, agent);
  if (!status.is_object() || !status.contains("state")) {
    if (text) error = "its answer is not a status";
    std::fprintf(stderr, "corvale-ups: %s\n", error.c_str());
    // Nothing else to read: an agent has no port, and a file not read names none.
    if (agent || !readable) {
      if (!armed.empty()) return {answer.address, Fail(kExitShutdownArmed, armed)};
      answer.exit = Fail(kExitNoService, std::string("the service does not answer, so nothing ") +
                                             "protects this machine: start it (systemctl start "
                                             "corvale-ups)");
    }
    answer.armed = armed;
    return answer;
  }
  const auto state = status.value("state", 8u);
  if (!status.value("shutdown", nlohmann::json::object()).value("ready", true) && !agent) {
    WarnHelperSilent();
  }
  const bool several = status.value("upses", nlohmann::json::array()).size() > 1;
  if (several) {
    answer.exit = ReportEachUps(common, status, answer.address, armed);
  } else {
    const Setup setup{config.ups().registry, config.ups().devices, std::nullopt};
    Event event = StateEvent(state, agent || !readable ? PublishedList() : PublishedValues(setup));
    event.source = "service";
    event.armed = armed;
    EventLog(common.json).Report(event);
    answer.exit = !armed.empty() ? kExitShutdownArmed : state == 8 ? kExitNoUps : kExitOk;
  }
  if (agent && !status.value("agent", nlohmann::json::object()).value("connected", false)) {
    std::fprintf(stderr, "corvale-ups: %s\n",
                 several ? "this agent does not read every NUT server it follows now (each "
                           "UPS's line says which)"
                         : "this agent is not connected to its NUT server now");
  }
  return answer;
}

}  // namespace

int RunStatus(const Common& given, const StatusOptions& options) {
  Common common = given;
  // The service first: it needs no secret, and so no file this user may read.
  ServiceAnswer service;
  if ((options.configGiven || !options.settingsGiven) && !given.setup.port) {
    service = StatusFromService(given, options.configPath, options.control);
    if (service.exit) return *service.exit;
  }
  if (options.configGiven) {
    const auto loaded = host::LoadConfig(options.configPath);
    for (const auto& problem : loaded.problems)
      Fail(0, host::Describe(options.configPath, problem));
    if (!loaded.problems.empty()) return kExitUsage;
    const auto& ups = loaded.config.ups();
    common.setup = Setup{ups.registry, ups.devices, given.setup.port ? given.setup.port : ups.port};
    if (common.library.empty()) common.library = ups.library;
  }
  if (!common.setup.port) {
    // The port the service uses, read (never written) from its registry.
    Setup shared = common.setup;
    if (auto problem = PrepareSetup(shared)) return Fail(kExitRegistry, *problem);
  }
  // Whatever this driver writes ("Port", the status values) stays out of the service's registry.
  const PrivateSetup own(common.setup, std::filesystem::temp_directory_path().string());
  if (!own.Private() && given.setup.port && host::ServiceRunning(kServiceName)) {
    // The driver here reads the one registry the service reads too.
    return Fail(kExitUsage, std::string("the service ") + kServiceName +
                                " runs: a port given here would become its port too. Ask it "
                                "without --port, or stop it first (net stop " +
                                kServiceName + ")");
  }
  common.setup = own.Get();
  std::unique_ptr<DriverLibrary> driver;
  const int started = StartFromCommandLine(common, driver);
  if (started != kExitOk && started != kExitNoUps) return started;
  const std::uint32_t state = driver->GetState();
  Event event = StateEvent(state, PublishedValues(common.setup));
  event.source = "port";
  EventLog(common.json).Report(event);
  driver->Stop();
  if (!service.armed.empty()) return Fail(kExitShutdownArmed, service.armed);
  if (!service.address.empty()) {
    // A script must not take this for "protected": the state is right, but nobody acts on it.
    return Fail(kExitNoService, "the service does not answer at " + service.address +
                                    ", so nothing protects this machine (the state above was "
                                    "read from the port directly): start the service");
  }
  return state == 8 ? kExitNoUps : kExitOk;
}

int RunTurnOff(const Common& common, std::uint32_t delay) {
  std::unique_ptr<DriverLibrary> driver;
  const int started = StartFromCommandLine(common, driver);
  if (started != kExitOk) return started;
  const bool acknowledged = driver->TurnOff(delay) != 0;
  driver->Stop();
  if (!acknowledged) return Fail(kExitNoUps, "the UPS did not acknowledge the turn-off");
  std::printf("the UPS will switch its output off in %u s\n", delay);
  return kExitOk;
}

}  // namespace corvale
