// corvale-ups: a UPS monitor service for the Corvale UPS driver library, and the tools around it:
// a foreground monitor, one-shot status and turn-off, the power cut after shutdown, a UPS
// simulator and a demo. This file only reads the command line and hands over.
#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "cli/commands.h"
#include "cli/events.h"
#include "cli/parse.h"
#include "host/config.h"
#include "host/control.h"
#include "host/host_os.h"
#include "host/nut/nut_client.h"
#include "host/supervisor.h"

#ifndef CORVALE_UPS_VERSION
#define CORVALE_UPS_VERSION "0"
#endif

namespace corvale {

namespace {

void AddCommonOptions(CLI::App* command, Common& common, std::optional<std::string>& port) {
  command
      ->add_option("--registry", common.setup.registry,
                   "Folder standing for the registry (HKEY_LOCAL_MACHINE)")
      ->envname("CORVALE_UPS_REGISTRY")
      ->capture_default_str();
  command
      ->add_option("--devices", common.setup.deviceDirectory,
                   "Folder in which the port name is looked up")
      ->envname("CORVALE_UPS_DEVICES")
      ->capture_default_str();
  command->add_option("--library", common.library, "The driver library (libCorvaleUPS.so)")
      ->envname("CORVALE_UPS_LIBRARY");
  command
      ->add_option("--port", port,
                   "Serial device to use, written into the registry as \"Port\" (e.g. ttyUSB0)")
      ->check(CLI::Validator(
          [](std::string& name) -> std::string {
            const bool contained =
                !name.empty() && name[0] != '/' && name.find("..") == std::string::npos;
            if (contained && name.size() <= 7) return {};
            return "a port name has 1 to 7 characters and names a device inside the device "
                   "folder, such as ttyUSB0 (link a device from elsewhere there, e.g. as COM1)";
          },
          "NAME"));
}

}  // namespace

}  // namespace corvale

int main(int argc, char** argv) {
  using namespace corvale;
  CLI::App app{"corvale-ups: watch a UPS on a serial port through the Corvale UPS driver"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("corvale-ups ") + CORVALE_UPS_VERSION);
  Common common;
  std::optional<std::string> port;
  std::string configPath = host::DefaultConfigPath();

  auto* service = app.add_subcommand("service", "Run as the system service (until SIGTERM)");
  auto* checkConfig = app.add_subcommand("check-config", "Check the configuration file");
  auto* killPower = app.add_subcommand(
      "kill-power", "Order the UPS off after the host is down, if the service asked for it");
  auto* shutdownHelper = app.add_subcommand(
      "shutdown-helper",
      "As root, write the flag and shut down when the unprivileged service asks (systemd runs it)");
  auto* disarm = app.add_subcommand(
      "disarm",
      "As root, remove the flag: no power cut after the next shutdown (undoes one that "
      "was cancelled)");
  for (auto* command : {service, checkConfig, killPower, shutdownHelper, disarm}) {
    command->add_option("--config", configPath, "The configuration file")->capture_default_str();
  }
  std::string lastGood = host::DefaultResultFolder() + "/last-good.toml";
  shutdownHelper
      ->add_option("--last-good", lastGood,
                   "Where root keeps the last good copy of the file, to act on while an edit "
                   "breaks it (\"\": none)")
      ->capture_default_str();
  std::string flagFile;
  killPower->add_option("--flag", flagFile,
                        "The flag the service left (default: the configuration's flag_file, or " +
                            host::DefaultFlagFile() + " when the file cannot be read)");

  auto* history = app.add_subcommand("history", "List the power events the service recorded");
  HistoryOptions historyOptions;
  history->add_option("--config", configPath, "The configuration naming the history file")
      ->capture_default_str();
  history->add_option("--file", historyOptions.file, "The history file itself");
  history->add_option("--since", historyOptions.since, "Only from this time on (RFC 3339)");
  history->add_flag("--json", historyOptions.json, "As JSON lines");
  history->add_flag("--battery", historyOptions.battery,
                    "Only the battery's health: how long each power failure took to run it low");

  PlanCommands planCommands(app, configPath);

  auto* monitor = app.add_subcommand("monitor", "Start the driver and report every event");
  AddCommonOptions(monitor, common, port);
  MonitorOptions monitorOptions;
  monitor->add_option("--interval", monitorOptions.interval,
                      "Ignored: the UPS is polled once a second");
  monitor->add_option("--on-low-battery", monitorOptions.onLowBattery,
                      "Shell command to run when the battery runs low (tried again every 30 s "
                      "while it fails)");
  monitor
      ->add_option("--turn-off-delay", monitorOptions.turnOffDelay,
                   "When that command has ended with status 0, order the UPS off after this many "
                   "seconds (0-999); without --on-low-battery nothing is ordered. Risky: if the "
                   "host is not down by then, it loses power while still writing; the service's "
                   "kill-power waits until the disks are unmounted")
      ->check(CLI::Range(0, 999));
  monitor->add_flag("--json", common.json, "One JSON object per event");

  auto* status =
      app.add_subcommand("status", "Report the UPS's state and the published values once");
  AddCommonOptions(status, common, port);
  status->add_flag("--json", common.json, "As a JSON object");
  status
      ->add_option("--config", configPath,
                   "Ask the service configured here, when it runs and shares the UPS; given, "
                   "its settings are used. The service's registry is never written")
      ->capture_default_str();
  std::string control = host::DefaultControlPath();
  status
      ->add_option("--control", control,
                   "Where the service answers, when the file is not readable by this user")
      ->envname("CORVALE_UPS_CONTROL")
      ->capture_default_str();

  auto* turnOff = app.add_subcommand("turn-off", "Order the UPS to switch its output off");
  AddCommonOptions(turnOff, common, port);
  std::uint32_t delay = 0;
  turnOff->add_option("DELAY", delay, "Seconds until the output goes off (0-999)")
      ->required()
      ->check(CLI::Range(0, 999));

  // Started by the service, one per UPS on a machine with several; not for people.
  auto* upsChild = app.add_subcommand("ups-child", "One UPS's driver, for the service");
  upsChild->group("");
  AddCommonOptions(upsChild, common, port);
  std::string childName;
  upsChild->add_option("--name", childName, "The UPS's name")->required();

  auto* simulate = app.add_subcommand("simulate", "Play a UPS on a pseudo-terminal");
  SimulateOptions simulateOptions;
  simulate
      ->add_option("--scenario", simulateOptions.scenarioFile,
                   "Scenario file to play (examples in " CORVALE_SCENARIOS
                   "); without one, keys drive it")
      ->check(CLI::ExistingFile);
  simulate->add_option("--link", simulateOptions.link,
                       "Also make this symlink to the device (e.g. DEVICES/COM1)");
  simulate->add_flag("--quiet", simulateOptions.quiet, "Do not log each frame");

  auto* demo = app.add_subcommand("demo", "Show a power failure end to end on the simulator");
  DemoOptions demoOptions;
  demo->add_option("--scenario", demoOptions.scenarioFile, "Another telling of the story")
      ->check(CLI::ExistingFile);
  demo->add_option("--turn-off-delay", demoOptions.turnOffDelay, "Seconds (0-999)")
      ->check(CLI::Range(0, 999))
      ->capture_default_str();
  demo->add_option("--library", demoOptions.library, "The driver library (libCorvaleUPS.so)")
      ->envname("CORVALE_UPS_LIBRARY");
  demo->add_flag("--json", demoOptions.json, "One JSON object per event");

  if (const auto exitCode = ParseCommandLine(app, argc, argv)) return *exitCode;
  common.setup.port = port;

  if (*checkConfig) return RunCheckConfig(configPath);
  if (*history) {
    historyOptions.configPath = configPath;
    return RunHistory(historyOptions);
  }
  if (const auto ran = planCommands.Run(configPath)) return *ran;
  if (*killPower) return RunKillPower(configPath, flagFile);
  if (*disarm) return RunDisarm(configPath);
  if (*shutdownHelper) return RunShutdownHelper(configPath, lastGood);
  if (*status) {
    bool settingsGiven = false;
    for (const char* name : {"--registry", "--devices"}) {
      settingsGiven = settingsGiven || status->get_option(name)->count() > 0;
    }
    return RunStatus(
        common, {configPath, status->get_option("--config")->count() > 0, settingsGiven, control});
  }
  if (*turnOff) return RunTurnOff(common, delay);
  if (*upsChild) return RunUpsChild(common, childName);

  // The long-running commands stop on SIGTERM or SIGINT, taken by a thread of their own.
  host::CatchStopRequests();
  if (*service) return RunService(configPath);
  if (*monitor) return RunMonitor(common, monitorOptions);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    host::WaitForStopRequest();
    stop = true;
  });
  const int result = *simulate ? RunSimulate(simulateOptions, stop) : RunDemo(demoOptions, stop);
  host::WakeStopWaiter();
  stopper.join();
  return result;
}
