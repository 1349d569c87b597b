// `corvale-ups service`, `check-config` and `kill-power`: the system service, driven by its
// configuration file, and the power cut that its shutdown hook orders once the host is down.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cli/commands.h"
#include "host/config.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"

namespace corvale {

namespace {

// The configuration, or nothing after every problem was printed.
std::optional<host::Config> LoadOrExplain(const std::string& path) {
  auto loaded = host::LoadConfig(path);
  if (loaded.problems.empty()) return loaded.config;
  for (const auto& problem : loaded.problems) {
    std::fprintf(stderr, "corvale-ups: %s\n", host::Describe(path, problem).c_str());
  }
  return std::nullopt;
}

Setup SetupFrom(const host::Config& config) {
  return Setup{config.ups.registry, config.ups.devices, config.ups.port};
}

}  // namespace

int RunCheckConfig(const std::string& configPath) {
  if (!LoadOrExplain(configPath)) return kExitUsage;
  std::printf("%s: fine\n", configPath.c_str());
  return kExitOk;
}

int RunService(const std::string& configPath) {
  const auto config = LoadOrExplain(configPath);
  if (!config) return kExitUsage;
  if (!config->users.empty() && host::ReadableByOthers(configPath)) {
    return Fail(kExitUsage, configPath +
                                " holds passwords and every user may read it. Let only "
                                "administrators read it (Linux: chmod o-r " +
                                configPath + "; Windows: icacls \"" + configPath +
                                "\" /inheritance:r /grant:r Administrators:F SYSTEM:F)");
  }
  host::Logger log(host::UnderServiceManager());
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(config->ups.library);
  } catch (const std::runtime_error& error) {
    log.Log(host::Priority::kError, error.what());
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
  options.shutDownSystem = true;  // where the command is empty
  options.onBatteryLimit = std::chrono::seconds(config->shutdown.onBatterySeconds);
  options.flagFile = config->shutdown.flagFile;
  options.eventsCommand = config->events.command;
  options.beforeShutdown = [&backend](std::function<void()> proceed) {
    backend.CoordinateShutdown(std::move(proceed));
  };
  // A flag left from an earlier run would cut the power at the next ordinary reboot.
  std::error_code ignored;
  if (std::filesystem::remove(options.flagFile, ignored)) {
    log.Log(host::Priority::kNotice, "removed a stale flag file " + options.flagFile);
  }

  host::Host service(*driver, options, log);
  backend.Attach(service);
  // Windows tells the service that it is shutting down: the moment to order the power cut, when
  // this service started the shutdown.
  host::OnSystemShutdown([&] {
    std::error_code missing;
    if (!std::filesystem::remove(options.flagFile, missing)) return;
    service.OrderTurnOff(config->shutdown.turnOffDelay, "as the system shuts down");
  });
  nut::Server server(backend,
                     {config->network.listen, config->network.maxClients,
                      config->network.certificate, config->network.key},
                     log);
  // Protecting this machine comes first: a port taken by another program only costs the sharing.
  if (std::string problem; !config->network.listen.empty() && !server.Start(&problem)) {
    log.Log(host::Priority::kError, "not sharing the UPS on the network: " + problem);
  }
  log.Log(host::Priority::kInfo, "watching the UPS '" + options.name + "' on port " +
                                     config->ups.port + " (driver " + driver->Path() + ")");
  service.Start();
  host::NotifyServiceManager("READY=1");
  host::WaitForStopRequest();
  host::NotifyServiceManager("STOPPING=1");
  server.Stop();
  backend.Stop();
  service.Stop();
  log.Log(host::Priority::kInfo, "stopped");
  return kExitOk;
}

int RunInstall(const std::string& configPath) {
  const auto config = LoadOrExplain(configPath);
  if (!config) return kExitUsage;
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

int RunKillPower(const std::string& configPath) {
  const auto config = LoadOrExplain(configPath);
  if (!config) return kExitUsage;
  host::Logger log(host::UnderServiceManager());
  const std::string& flag = config->shutdown.flagFile;
  if (!std::filesystem::exists(flag)) {
    std::printf("no flag file %s: the UPS stays on\n", flag.c_str());
    return kExitOk;
  }
  std::error_code error;
  if (!std::filesystem::remove(flag, error)) {
    log.Log(host::Priority::kWarning, "cannot remove " + flag + ": " + error.message());
  }
  Common common;
  common.setup = SetupFrom(*config);
  common.library = config->ups.library;
  std::unique_ptr<DriverLibrary> driver;
  const int started = StartFromCommandLine(common, driver);
  if (started != kExitOk) return started;
  const std::uint32_t delay = config->shutdown.turnOffDelay;
  const std::uint32_t state = driver->GetState();
  const bool acknowledged = driver->TurnOff(delay) != 0;
  driver->Stop();
  if (!acknowledged) return Fail(kExitNoUps, "the UPS did not acknowledge the turn-off");
  log.Log(host::Priority::kCritical, config->ups.name +
                                         ": kill-power: the UPS turns its output "
                                         "off in " +
                                         std::to_string(delay) +
                                         " s and on again when the power returns");
  if (!config->events.command.empty()) {
    std::string why;
    host::StartCommand(
        config->events.command,
        {{"CORVALE_UPS_EVENT", "kill-power"},
         {"CORVALE_UPS_NAME", config->ups.name},
         {"CORVALE_UPS_STATE", std::to_string(state)},
         {"CORVALE_UPS_MESSAGE", "ordered the UPS off in " + std::to_string(delay) + " s"}},
        &why);
  }
  return kExitOk;
}

}  // namespace corvale
