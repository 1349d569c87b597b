#include "tools/corvale-ups/driver_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace corvale {

namespace {

constexpr char kLibraryName[] = "libCorvaleUPS.so";

std::vector<std::string> Candidates() {
  std::vector<std::string> candidates;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    // Beside the program in a build tree (tools/ is one folder below the library), or the usual
    // bin/ and lib/ pair of an installation.
    for (const char* relative : {".", "..", "../lib"}) {
      const auto candidate = self.parent_path() / relative / kLibraryName;
      if (std::filesystem::exists(candidate)) candidates.push_back(candidate.lexically_normal());
    }
  }
  candidates.push_back(kLibraryName);
  return candidates;
}

template <typename Function>
void Resolve(void* handle, const char* name, Function*& out) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr)
    throw std::runtime_error(std::string("the library has no entry point ") + name);
  out = reinterpret_cast<Function*>(symbol);
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
  Resolve(handle_, "UPSInit", Init);
  Resolve(handle_, "UPSStop", Stop);
  Resolve(handle_, "UPSGetState", GetState);
  Resolve(handle_, "UPSWaitForStateChange", WaitForStateChange);
  Resolve(handle_, "UPSCancelWait", CancelWait);
  Resolve(handle_, "UPSTurnOff", TurnOff);
}

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

const char* StateName(std::uint32_t state) {
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
