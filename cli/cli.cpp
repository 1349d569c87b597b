// What the command-line front-ends share on every OS: starting the driver from the command
// line with its failures explained, and the one-shot status and turn-off commands.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cli/commands.h"
#include "cli/events.h"
#include "host/config.h"
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

// The running service's view, over its first listen address, when it has one: the service holds
// the port, so asking the driver directly would only find it busy.
struct ServiceAnswer {
  std::string address;      // where it was asked; empty: not asked (no file, no NUT server)
  std::optional<int> exit;  // its answer's exit code; nothing: it did not answer
};
// "host:port" for a server named with or without its port.
std::string WithPort(const std::string& server) {
  const auto colon = server.rfind(':');
  const bool hasPort = server.front() == '['
                           ? colon != std::string::npos && colon > server.find(']')
                           : colon != std::string::npos && server.find(':') == colon;
  return hasPort ? server : server + ":3493";
}

ServiceAnswer StatusFromService(const Common& common, const std::string& configPath) {
  if (common.setup.port || !std::filesystem::exists(host::PathFromUtf8(configPath))) return {};
  const auto loaded = host::LoadConfig(configPath);
  if (!loaded.problems.empty()) return {};
  const auto& config = loaded.config;
  // An agent's UPS is on its primary: asked there (its public variables, no login).
  const bool agent = config.ups.Agent();
  if (!agent && config.network.listen.empty()) return {};
  ServiceAnswer answer{agent ? WithPort(config.ups.server) : config.network.listen.front(),
                       std::nullopt};
  std::string error;
  const auto variables =
      nut::QueryVariables(answer.address, config.ups.name, std::chrono::seconds(2), &error);
  if (!variables && agent) {
    answer.exit = Fail(kExitNoUps, "the NUT server " + answer.address +
                                       " that this agent follows does not answer: " + error);
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
    std::fprintf(stderr,
                 "corvale-ups: warning: the service could not shut this host down: its "
                 "privileged helper does not answer ("
                 "systemctl reset-failed corvale-ups-shutdown.service corvale-ups-shutdown.path; "
                 "systemctl start corvale-ups-shutdown.path)\n");
  }
  const Setup setup{config.ups.registry, config.ups.devices, std::nullopt};
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

}  // namespace

int RunStatus(const Common& given, const StatusOptions& options) {
  Common common = given;
  if (options.configGiven) {
    const auto loaded = host::LoadConfig(options.configPath);
    for (const auto& problem : loaded.problems)
      Fail(0, host::Describe(options.configPath, problem));
    if (!loaded.problems.empty()) return kExitUsage;
    const auto& ups = loaded.config.ups;
    common.setup = Setup{ups.registry, ups.devices, given.setup.port ? given.setup.port : ups.port};
    if (common.library.empty()) common.library = ups.library;
  }
  ServiceAnswer service;
  if ((options.configGiven || !options.settingsGiven) && !given.setup.port) {
    service = StatusFromService(given, options.configPath);
    if (service.exit) return *service.exit;
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
