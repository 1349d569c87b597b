// corvale-ups: watch a UPS through the Corvale driver library on Linux, as the Windows UPS service
// does with CorvaleUPS.dll; simulate a UPS; show the whole story in a demo.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <memory>

#include "tools/corvale-ups/commands.h"
#include "tools/corvale-ups/monitor.h"

namespace {

using namespace corvale;

std::atomic<bool> stopRequested{false};
std::atomic<void (*)()> cancelWait{nullptr};

void OnSignal(int) {
  stopRequested = true;
  if (auto cancel = cancelWait.load()) cancel();  // a single atomic store in the driver
}

void InstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

struct Common {
  std::string registry = kDefaultRegistryRoot;
  std::string devices = kDefaultDeviceDirectory;
  std::string library;
  std::string port;
  bool json = false;
};

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "corvale-ups: %s\n", message.c_str());
  return code;
}

// Loads the library and starts the driver; on failure says why and gives the exit code.
int Start(const Common& common, Setup& setup, std::unique_ptr<DriverLibrary>& driver) {
  setup = Setup{RegistryTree(common.registry), common.devices,
                common.port.empty() ? std::nullopt : std::optional<std::string>(common.port)};
  if (auto problem = PrepareSetup(setup)) return Fail(kExitRegistry, *problem);
  try {
    driver = std::make_unique<DriverLibrary>(common.library);
  } catch (const std::runtime_error& error) {
    return Fail(kExitNoLibrary, error.what());
  }
  cancelWait = driver->CancelWait;
  std::string message;
  const int code = StartDriver(*driver, setup, &message);
  if (code != kExitOk && code != kExitNoUps) return Fail(code, message);
  if (code == kExitNoUps) std::fprintf(stderr, "corvale-ups: %s\n", message.c_str());
  return code;
}

void AddCommonOptions(CLI::App* command, Common& common, bool withPort) {
  command
      ->add_option("--registry", common.registry,
                   "Folder standing for the registry (HKEY_LOCAL_MACHINE)")
      ->envname(kRegistryVariable)
      ->capture_default_str();
  command->add_option("--devices", common.devices, "Folder in which the port name is looked up")
      ->envname(kDevicesVariable)
      ->capture_default_str();
  command->add_option("--library", common.library, "The driver library (libCorvaleUPS.so)")
      ->envname("CORVALE_UPS_LIBRARY");
  if (withPort) {
    command
        ->add_option("--port", common.port,
                     "Serial device to use, written into the registry as \"Port\" (e.g. ttyUSB0)")
        ->check(CLI::Validator(
            [](std::string& port) -> std::string {
              if (!port.empty() && port.size() <= 7) return {};
              return "a port name has 1 to 7 characters (a name inside the device directory, "
                     "such as ttyUSB0; link a longer one there, e.g. as COM1)";
            },
            "NAME"));
  }
}

int RunMonitor(const Common& common, std::uint32_t interval, const std::string& onLowBattery,
               std::optional<std::uint32_t> turnOffDelay) {
  Setup setup;
  std::unique_ptr<DriverLibrary> driver;
  const int started = Start(common, setup, driver);
  if (started != kExitOk && started != kExitNoUps) return started;
  if (started == kExitNoUps)
    std::fprintf(stderr, "corvale-ups: monitoring anyway; waiting for the UPS\n");
  EventLog log(common.json);
  MonitorOptions options;
  options.interval = interval;
  options.turnOffDelay = turnOffDelay;
  if (!onLowBattery.empty()) {
    options.onLowBattery = [&] {
      const int status = std::system(onLowBattery.c_str());
      log.Report(
          Note("low-battery", "ran '" + onLowBattery + "': exit status " + std::to_string(status)));
    };
  }
  Monitor(*driver, setup, options, stopRequested, log);
  return kExitOk;
}

int RunStatus(const Common& common) {
  Setup setup;
  std::unique_ptr<DriverLibrary> driver;
  const int started = Start(common, setup, driver);
  if (started != kExitOk && started != kExitNoUps) return started;
  const std::uint32_t state = driver->GetState();
  EventLog log(common.json);
  log.Report(StateEvent(state, PublishedValues(setup.registry)));
  driver->Stop();
  return state == 8 ? kExitNoUps : kExitOk;
}

int RunTurnOff(const Common& common, std::uint32_t delay) {
  Setup setup;
  std::unique_ptr<DriverLibrary> driver;
  const int started = Start(common, setup, driver);
  if (started != kExitOk) return started;
  const bool acknowledged = driver->TurnOff(delay) != 0;
  driver->Stop();
  if (!acknowledged) return Fail(kExitNoUps, "the UPS did not acknowledge the turn-off");
  std::printf("the UPS will switch its output off in %u s\n", delay);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"corvale-ups: watch a UPS on a serial port through the Corvale UPS driver"};
  app.require_subcommand(1);
  Common common;

  auto* monitor = app.add_subcommand("monitor", "Start the driver and report every state change");
  AddCommonOptions(monitor, common, true);
  std::uint32_t interval = kNoTimeLimit;
  std::string onLowBattery;
  std::optional<std::uint32_t> turnOffDelay;
  monitor->add_option("--interval", interval,
                      "Longest wait between reports, in ms (default: none)");
  monitor->add_option("--on-low-battery", onLowBattery,
                      "Shell command to run when the battery runs low");
  monitor
      ->add_option("--turn-off-delay", turnOffDelay,
                   "After that, order the UPS off after this many seconds (0-999)")
      ->check(CLI::Range(0, 999));
  monitor->add_flag("--json", common.json, "One JSON object per event");

  auto* status =
      app.add_subcommand("status", "Report the UPS's state and the published values once");
  AddCommonOptions(status, common, true);
  status->add_flag("--json", common.json, "As a JSON object");

  auto* turnOff = app.add_subcommand("turn-off", "Order the UPS to switch its output off");
  AddCommonOptions(turnOff, common, true);
  std::uint32_t delay = 0;
  turnOff->add_option("DELAY", delay, "Seconds until the output goes off (0-999)")
      ->required()
      ->check(CLI::Range(0, 999));

  auto* simulate = app.add_subcommand("simulate", "Play a UPS on a pseudo-terminal");
  SimulateOptions simulateOptions;
  simulate
      ->add_option("--scenario", simulateOptions.scenarioFile,
                   "Scenario file to play (see tools/scenarios); without one, keys drive it")
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  InstallSignalHandlers();
  if (*monitor) return RunMonitor(common, interval, onLowBattery, turnOffDelay);
  if (*status) return RunStatus(common);
  if (*turnOff) return RunTurnOff(common, delay);
  if (*simulate) return RunSimulate(simulateOptions, stopRequested);
  return RunDemo(demoOptions, stopRequested);
}
