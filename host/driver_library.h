// The driver library as a host uses it: loaded by file, its six entry points called by their plain
// names, its "Port" prepared and its start-up failures explained. Portable; each OS implements it
// in its own file (posix/driver_posix.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvale {

// Exit codes that scripts can rely on.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,        // anything not listed below
  kExitUsage = 2,          // bad arguments or configuration
  kExitRegistry = 3,       // the "Port" value could not be read (init result 4)
  kExitPort = 4,           // the serial port could not be opened or set up (init result 5)
  kExitNoUps = 5,          // the UPS did not answer (init result 6, or no communication)
  kExitNoLibrary = 6,      // the driver library could not be loaded
  kExitNoService = 7,      // status: the service does not answer, so nothing protects the machine
  kExitNotReady = 8,       // drill: a link of the shutdown chain is not ready
  kExitShutdownArmed = 9,  // status: a shutdown is under way, FSD is set, or the power cut is armed
};

inline constexpr std::uint32_t kNoTimeLimit = 0xFFFFFFFF;

class DriverLibrary {
 public:
  // Loads `path`, or when empty, the library installed with this program. Throws
  // std::runtime_error with the loader's message.
  explicit DriverLibrary(const std::string& path = {});
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  const std::string& Path() const { return path_; }

  std::uint32_t (*Init)();
  std::uint32_t (*Stop)();
  std::uint32_t (*GetState)();
  void (*WaitForStateChange)(std::uint32_t state, std::uint32_t interval);
  void (*CancelWait)();
  std::uint32_t (*TurnOff)(std::uint32_t delay);

 private:
  // Fills the six entry points through `find(name)`, the symbol's address or null; each OS's
  // loader supplies `find`.
  template <typename Find>
  void ResolveEntryPoints(Find find) {
    const auto resolve = [&](const char* name, auto*& out) {
      void* symbol = find(name);
      if (symbol == nullptr) {
        throw std::runtime_error(std::string("the library has no entry point ") + name);
      }
      out = reinterpret_cast<std::remove_reference_t<decltype(out)>>(symbol);
    };
    resolve("UPSInit", Init);
    resolve("UPSStop", Stop);
    resolve("UPSGetState", GetState);
    resolve("UPSWaitForStateChange", WaitForStateChange);
    resolve("UPSCancelWait", CancelWait);
    resolve("UPSTurnOff", TurnOff);
  }

  void* handle_ = nullptr;
  std::string path_;
};

// Why the driver library at `path` (empty: the one installed with this program) may not be
// loaded: there is no such file, or (Windows, where the service that loads it is the system's own
// account) another account may change it, or the folders it is in. Nothing when it may.
std::optional<std::string> LibraryProblem(const std::string& path);

// Where the driver finds its configuration: the registry (a folder standing in for it on
// POSIX), the folder its port name is looked up in, and the port to store as "Port" first.
struct Setup {
  std::string registry;
  std::string deviceDirectory;
  std::optional<std::string> port;
  friend bool operator==(const Setup&, const Setup&) = default;
};
Setup DefaultSetup();
// Whether the driver finds its port and keeps its state in folders (ups.devices, ups.registry),
// as on POSIX; on Windows both are in the system's registry and those keys mean nothing.
bool SetupInFolders();

// Readies the driver's configuration and stores "Port" when one is given. Returns what is wrong,
// or nothing when all is ready.
std::optional<std::string> PrepareSetup(const Setup& setup);

// A registry of a command's own, for a driver started by hand or at the very end of a shutdown:
// nothing it writes ("Port", the status values) reaches what the service's driver reads and
// publishes, and it needs nothing from /var. Made in the folder `parent` with the port of
// `shared` (read from its registry when not given); removed with the object. Where it cannot be
// made, and where the driver reads the system's registry (Windows), it is `shared` itself.
class PrivateSetup {
 public:
  PrivateSetup(const Setup& shared, const std::string& parent);
  ~PrivateSetup();
  PrivateSetup(const PrivateSetup&) = delete;
  PrivateSetup& operator=(const PrivateSetup&) = delete;
  const Setup& Get() const { return setup_; }
  bool Private() const { return !folder_.empty(); }  // false: it is `shared` itself

 private:
  Setup setup_;
  std::string folder_;  // empty: none of our own
};

// UPSInit with its result explained: kExitOk, or the exit code with `message` set (kExitNoUps
// leaves the driver running, waiting for the UPS).
int StartDriver(DriverLibrary& driver, const Setup& setup, std::string* message);

// The status values the driver has published, in the order it writes them.
using PublishedList = std::vector<std::pair<std::string, std::string>>;
PublishedList PublishedValues(const Setup& setup);

// "online", "on battery", "low battery", "no communication".
inline const char* StateName(std::uint32_t state) {
  switch (state) {
    case 1:
      return "online";
    case 2:
      return "on battery";
    case 4:
      return "low battery";
    case 8:
      return "no communication";
    default:
      return "unknown";
  }
}

}  // namespace corvale
