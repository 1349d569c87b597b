// The driver library on POSIX: loaded with dlopen, configured through the registry stand-in (a
// folder tree) and the device folder, and its start-up failures explained from the device itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "host/driver_library.h"
#include "host/host_os.h"
#include "host/posix/registry_tree.h"

namespace corvale {

namespace {

constexpr char kLibraryName[] = "libCorvaleUPS.so";

std::vector<std::string> Candidates() {
  std::vector<std::string> candidates;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    // Beside the program in a build tree (cli/ is one folder below the library), the package's
    // private folder, or the usual bin/ and lib/ pair of an installation.
    for (const char* relative : {".", "..", "../lib/corvale-ups", "../lib"}) {
      const auto candidate = self.parent_path() / relative / kLibraryName;
      if (std::filesystem::exists(candidate)) candidates.push_back(candidate.lexically_normal());
    }
  }
  candidates.push_back(kLibraryName);
  return candidates;
}

}  // namespace

DriverLibrary::DriverLibrary(const std::string& path) {
  std::string errors;
  for (const auto& candidate : path.empty() ? Candidates() : std::vector<std::string>{path}) {
    handle_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) {
      path_ = candidate;
      break;
    }
    errors += std::string("\n  ") + dlerror();
  }
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load the driver library:" + errors +
                             "\n  (name it with --library or CORVALE_UPS_LIBRARY)");
  }
  ResolveEntryPoints([this](const char* name) { return dlsym(handle_, name); });
}

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::optional<std::string> LibraryProblem(const std::string& path) {
  // Without a path, the loader searches as the package installed it.
  std::error_code error;
  if (!path.empty() && !std::filesystem::is_regular_file(path, error)) {
    return "there is no driver library " + path;
  }
  return std::nullopt;
}

namespace fs = std::filesystem;

Setup DefaultSetup() {
  return Setup{kDefaultRegistryRoot, kDefaultDeviceDirectory, std::nullopt};
}

bool SetupInFolders() {
  return true;
}

namespace {

// A port name is a name inside the device folder, as the driver looks it up.
bool IsContainedName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (const auto& part : fs::path(name)) {
    if (part == "..") return false;
  }
  return true;
}

std::string NameRule(const std::string& port) {
  return "the port name '" + port +
         "' must have 1 to 7 characters and name a device inside the device folder (such as "
         "ttyUSB0); link a device from elsewhere into it under a short name (e.g. COM1).";
}

}  // namespace

std::optional<std::string> PrepareSetup(const Setup& setup) {
  const RegistryTree registry(setup.registry);
  setenv(kRegistryVariable, setup.registry.c_str(), 1);
  setenv(kDevicesVariable, setup.deviceDirectory.c_str(), 1);
  if (!fs::is_directory(registry.Root())) {
    return "the registry root " + setup.registry + " does not exist. Create it (sudo mkdir -p " +
           setup.registry + ") or name another with --registry or " + kRegistryVariable + ".";
  }
  if (!setup.port) return std::nullopt;
  if (setup.port->size() > 7 || !IsContainedName(*setup.port)) return NameRule(*setup.port);
  // Written only when it changes: kill-power runs when the file systems are read-only.
  if (registry.Read(kServiceKey, "Port") == *setup.port) return std::nullopt;
  try {
    registry.CreateServiceKeys();
    registry.Write(kServiceKey, "Port", *setup.port);
  } catch (const fs::filesystem_error& error) {
    return "cannot write \"Port\" under " + setup.registry + ": " + error.code().message() +
           ". Run as a user who may write there, or use --registry.";
  }
  return std::nullopt;
}

PrivateSetup::PrivateSetup(const Setup& shared, const std::string& parent) : setup_(shared) {
  std::string pattern = (fs::path(parent) / "corvale-ups-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  folder_ = pattern;
  setup_.registry = folder_;
  if (!setup_.port) setup_.port = RegistryTree(shared.registry).Read(kServiceKey, "Port");
}

PrivateSetup::~PrivateSetup() {
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

namespace {

std::string ExplainRegistryFailure(const Setup& setup) {
  const RegistryTree registry(setup.registry);
  if (!registry.HasKey(kServiceKey)) {
    return "the registry stand-in at " + setup.registry +
           " has no UPS service key. Give the port with --port NAME to set it up.";
  }
  const auto port = registry.Read(kServiceKey, "Port");
  if (!port)
    return "no \"Port\" value is set. Give the port with --port NAME (e.g. --port ttyUSB0).";
  if (port->size() > 7) return NameRule(*port);
  return "the \"Port\" value under " + registry.KeyDirectory(kServiceKey).string() +
         " cannot be read (check its permissions).";
}

std::string BusyPort(const fs::path& device) {
  return "the port " + device.string() +
         " is busy: another program has it open. Find it with: fuser " + device.string();
}

// Who may not open the port and why, by name: not in the device's group, or the device's own
// mode shuts out a group this user is in.
std::string ExplainDeniedPort(const fs::path& device) {
  struct stat status {};
  if (stat(device.c_str(), &status) != 0) return "permission denied on " + device.string() + ".";
  const passwd* me = getpwuid(geteuid());
  const std::string user = me != nullptr ? me->pw_name : "uid " + std::to_string(geteuid());
  const group* owner = getgrgid(status.st_gid);
  const std::string groupName =
      owner != nullptr ? owner->gr_name : "gid " + std::to_string(status.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(static_cast<std::size_t>(
      std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  const bool inGroup = getegid() == status.st_gid ||
                       std::find(groups.begin(), groups.end(), status.st_gid) != groups.end();
  const std::string prefix = "permission denied on " + device.string() + " (group " + groupName +
                             ", mode " + mode + ") for " + user + ". ";
  if (inGroup) {
    return prefix + user + " is in " + groupName +
           ", but the device's mode keeps that group out: give the group read and write "
           "(chmod g+rw " +
           device.string() + ", or for good a udev rule with MODE=\"0660\").";
  }
  // Never the advice to join root's group, or one that its mode shuts out anyway.
  if (auto problem = host::PortAccessProblem(device.string(), user)) {
    return "permission denied on " + device.string() + ": " + *problem + ".";
  }
  return prefix + "Add " + user + " to the group " + groupName + ": sudo usermod -aG " + groupName +
         " " + user + ", then log in again (or restart the service).";
}

std::string ExplainPortFailure(const Setup& setup) {
  const std::string port = RegistryTree(setup.registry).Read(kServiceKey, "Port").value_or("?");
  if (!IsContainedName(port)) return NameRule(port);
  if (!fs::is_directory(setup.deviceDirectory)) {
    return "the device folder " + setup.deviceDirectory +
           " does not exist. Name the folder that holds the port with --devices (usually /dev).";
  }
  const fs::path device = fs::path(setup.deviceDirectory) / port;
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {
      return "no such device: " + device.string() +
             ". Is the serial adapter plugged in? See which ports exist with: ls /dev/ttyUSB* "
             "/dev/ttyS*";
    }
    if (error == EACCES || error == EPERM) return ExplainDeniedPort(device);
    if (error == EBUSY) return BusyPort(device);
    return "cannot open " + device.string() + ": " + std::strerror(error);
  }
  const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
  const bool terminal = isatty(fd);
  close(fd);
  if (busy) return BusyPort(device);
  if (!terminal) {
    return device.string() +
           " is not a serial port. Name the UPS's serial device (see ls /dev/ttyUSB* /dev/ttyS*).";
  }
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
      const std::string port = RegistryTree(setup.registry).Read(kServiceKey, "Port").value_or("?");
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

PublishedList PublishedValues(const Setup& setup) {
  const RegistryTree registry(setup.registry);
  PublishedList values;
  for (const char* name : {"BatteryStatus", "BatteryCapacity", "FirmwareRev"}) {
    if (auto value = registry.Read(kStatusKey, name)) values.emplace_back(name, *value);
  }
  return values;
}

}  // namespace corvale
