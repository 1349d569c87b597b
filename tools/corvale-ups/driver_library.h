// The driver library loaded the way a host loads it: by file, entry points by their plain names.
#pragma once

#include <cstdint>
#include <string>

namespace corvale {

class DriverLibrary {
 public:
  // Loads `path`, or when empty, libCorvaleUPS.so from beside this program, from ../lib, and
  // then from the loader's search path. Throws std::runtime_error with the loader's message.
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
  void* handle_ = nullptr;
  std::string path_;
};

inline constexpr std::uint32_t kNoTimeLimit = 0xFFFFFFFF;

// "online", "on battery", "low battery", "no communication".
const char* StateName(std::uint32_t state);

}  // namespace corvale
