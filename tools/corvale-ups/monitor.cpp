#include "tools/corvale-ups/monitor.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace corvale {

namespace fs = std::filesystem;

std::optional<std::string> PrepareSetup(const Setup& setup) {
  setenv(kRegistryVariable, setup.registry.Root().c_str(), 1);
  setenv(kDevicesVariable, setup.deviceDirectory.c_str(), 1);
  if (!fs::is_directory(setup.registry.Root())) {
    return "the registry root " + setup.registry.Root().string() +
           " does not exist. Create it (sudo mkdir -p " + setup.registry.Root().string() +
           ") or name another with --registry or " + kRegistryVariable + ".";
  }
  if (!setup.port) return std::nullopt;
  if (setup.port->empty() || setup.port->size() > 7) {
    return "the port name '" + *setup.port +
           "' must have 1 to 7 characters (a name inside the device directory, such as ttyUSB0).";
  }
  try {
    setup.registry.CreateServiceKeys();
    setup.registry.Write(kServiceKey, "Port", *setup.port);
  } catch (const fs::filesystem_error& error) {
    return "cannot write \"Port\" under " + setup.registry.Root().string() + ": " +
           error.code().message() + ". Run as a user who may write there, or use --registry.";
  }
  return std::nullopt;
}

namespace {

std::string ExplainRegistryFailure(const Setup& setup) {
  const RegistryTree& registry = setup.registry;
  if (!registry.HasKey(kServiceKey)) {
    return "the registry stand-in at " + registry.Root().string() +
           " has no UPS service key. Give the port with --port NAME to set it up.";
  }
  const auto port = registry.Read(kServiceKey, "Port");
  if (!port)
    return "no \"Port\" value is set. Give the port with --port NAME (e.g. --port ttyUSB0).";
  if (port->size() > 7) {
    return "the \"Port\" value '" + *port +
           "' is longer than 7 characters. Link the device under a " +
           "shorter name in the device directory (e.g. COM1) and set that.";
  }
  return "the \"Port\" value under " + registry.KeyDirectory(kServiceKey).string() +
         " cannot be read (check its permissions).";
}

std::string BusyPort(const fs::path& device) {
  return "the port " + device.string() +
         " is busy: another program has it open. Find it with: " + "fuser " + device.string();
}

std::string ExplainPortFailure(const Setup& setup) {
  const std::string port = setup.registry.Read(kServiceKey, "Port").value_or("?");
  const fs::path device = fs::path(setup.deviceDirectory) / port;
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {
      return "no such device: " + device.string() +
             ". Is the serial adapter plugged in? See which ports exist with: ls /dev/ttyUSB* "
             "/dev/ttyS*";
    }
    if (error == EACCES || error == EPERM) {
      return "permission denied on " + device.string() +
             ". Add your user to the group that owns it (usually dialout): sudo usermod -aG "
             "dialout $USER, then log in again.";
    }
    if (error == EBUSY) return BusyPort(device);
    return "cannot open " + device.string() + ": " + std::strerror(error);
  }
  const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
  const bool terminal = isatty(fd);
  close(fd);
  if (busy) return BusyPort(device);
  if (!terminal) return device.string() + " is not a serial port.";
  return "the serial port " + device.string() + " refused the line settings (1200 baud, 8N1).";
}

}  // namespace

int StartDriver(DriverLibrary& driver, const Setup& setup, std::string* message) {
  switch (driver.Init()) {
    case 1:
      return kExitOk;
    case 4:
      *message = ExplainRegistryFailure(setup);
      return kExitRegistry;
    case 5:
      *message = ExplainPortFailure(setup);
      return kExitPort;
    case 6: {
      const std::string port = setup.registry.Read(kServiceKey, "Port").value_or("?");
      *message = "no valid reply from a UPS on " +
                 (fs::path(setup.deviceDirectory) / port).string() +
                 ". Check that the UPS is on and that its own serial cable is used.";
      return kExitNoUps;
    }
    default:
      *message = "the driver reported an unknown result.";
      return kExitFailure;
  }
}

PublishedList PublishedValues(const RegistryTree& registry) {
  PublishedList values;
  for (const char* name : {"BatteryStatus", "BatteryCapacity", "FirmwareRev"}) {
    if (auto value = registry.Read(kStatusKey, name)) values.emplace_back(name, *value);
  }
  return values;
}

void Monitor(DriverLibrary& driver, const Setup& setup, const MonitorOptions& options,
             const std::atomic<bool>& stop, EventLog& log) {
  std::uint32_t last = driver.GetState();
  log.Report(StateEvent(last, PublishedValues(setup.registry)));
  while (!stop) {
    driver.WaitForStateChange(last, options.interval);
    if (stop) break;
    const std::uint32_t state = driver.GetState();
    if (state == last) continue;
    last = state;
    log.Report(StateEvent(state, PublishedValues(setup.registry)));
    if (state != 4) continue;
    if (options.onLowBattery) options.onLowBattery();
    if (options.turnOffDelay) {
      const bool acknowledged = driver.TurnOff(*options.turnOffDelay) != 0;
      log.Report(Note("turn-off", "ordered the UPS off in " +
                                      std::to_string(*options.turnOffDelay) +
                                      " s: " + (acknowledged ? "acknowledged" : "no reply")));
    }
  }
  driver.Stop();
  log.Report(Note("stop", "driver stopped"));
}

}  // namespace corvale
