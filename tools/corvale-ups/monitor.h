// What the Windows UPS service does with a minidriver, for Linux: start it, wait for state
// changes, act on low battery, stop it cleanly.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/common/registry_tree.h"
#include "tools/corvale-ups/driver_library.h"
#include "tools/corvale-ups/events.h"

namespace corvale {

// Exit codes that scripts can rely on.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,    // anything not listed below
  kExitUsage = 2,      // bad arguments
  kExitRegistry = 3,   // the "Port" value could not be read (init result 4)
  kExitPort = 4,       // the serial port could not be opened or set up (init result 5)
  kExitNoUps = 5,      // the UPS did not answer (init result 6, or no communication)
  kExitNoLibrary = 6,  // the driver library could not be loaded
};

// Where the library looks, and the port to write into the registry stand-in before UPSInit.
struct Setup {
  RegistryTree registry{kDefaultRegistryRoot};
  std::string deviceDirectory = kDefaultDeviceDirectory;
  std::optional<std::string> port;
};

// Points the library at `setup` (through its environment variables) and writes "Port" when one
// was given. Returns an explanation of what is wrong, or nothing when all is ready.
std::optional<std::string> PrepareSetup(const Setup& setup);

// UPSInit with its result explained: kExitOk, or the exit code with `message` set.
int StartDriver(DriverLibrary& driver, const Setup& setup, std::string* message);

// The status values the driver has published.
PublishedList PublishedValues(const RegistryTree& registry);

struct MonitorOptions {
  std::uint32_t interval = kNoTimeLimit;
  std::function<void()> onLowBattery;         // runs once each time the battery runs low
  std::optional<std::uint32_t> turnOffDelay;  // then orders the UPS off after this many seconds
};

// Reports the state, then every change, until `stop` is set (the caller also cancels the wait).
// Stops the driver before it returns.
void Monitor(DriverLibrary& driver, const Setup& setup, const MonitorOptions& options,
             const std::atomic<bool>& stop, EventLog& log);

}  // namespace corvale
