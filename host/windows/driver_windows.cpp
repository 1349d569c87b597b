// The driver library on Windows: CorvaleUPS.dll loaded with LoadLibrary, configured through the
// registry as the UPS service configured it, and its start-up failures explained.
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "host/driver_library.h"

namespace corvale {

namespace {

constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\UPS";
constexpr char kStatusKey[] = "System\\CurrentControlSet\\Services\\UPS\\Status";

std::string ErrorText(DWORD code) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

std::optional<std::string> ReadString(const char* keyPath, const char* name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  BYTE data[512];
  DWORD size = sizeof data - 1;
  DWORD type = 0;
  std::optional<std::string> value;
  if (RegQueryValueExA(key, name, nullptr, &type, data, &size) == ERROR_SUCCESS) {
    if (type == REG_DWORD && size == 4) {
      DWORD number;
      std::memcpy(&number, data, 4);
      value = std::to_string(number);
    } else if (type == REG_SZ) {
      data[size] = 0;
      value = reinterpret_cast<const char*>(data);
    }
  }
  RegCloseKey(key);
  return value;
}

}  // namespace

DriverLibrary::DriverLibrary(const std::string& path) {
  std::vector<std::string> candidates;
  if (!path.empty()) {
    candidates.push_back(path);
  } else {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string folder(self, length);
    folder = folder.substr(0, folder.find_last_of("\\/") + 1);
    candidates = {folder + "CorvaleUPS.dll", "CorvaleUPS.dll"};
  }
  std::string errors;
  for (const auto& candidate : candidates) {
    HMODULE module = LoadLibraryA(candidate.c_str());
    if (module != nullptr) {
      handle_ = module;
      path_ = candidate;
      break;
    }
    errors += "\n  " + candidate + ": " + ErrorText(GetLastError());
  }
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load the driver library:" + errors +
                             "\n  (name it with --library)");
  }
  ResolveEntryPoints([this](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
  });
}

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

Setup DefaultSetup() {
  return Setup{"HKEY_LOCAL_MACHINE", "", std::nullopt};
}

std::optional<std::string> PrepareSetup(const Setup& setup) {
  if (!setup.port) return std::nullopt;
  if (setup.port->empty() || setup.port->size() > 7) {
    return "the port name '" + *setup.port + "' must have 1 to 7 characters, such as COM1.";
  }
  if (ReadString(kServiceKey, "Port") == *setup.port) return std::nullopt;
  HKEY key;
  // Creating the status key creates the service key above it too.
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatusKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key, nullptr);
  if (result == ERROR_SUCCESS) {
    RegCloseKey(key);
    result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_SET_VALUE, &key);
  }
  if (result == ERROR_SUCCESS) {
    result =
        RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(setup.port->c_str()),
                       static_cast<DWORD>(setup.port->size() + 1));
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) {
    return "cannot write \"Port\" under HKEY_LOCAL_MACHINE\\" + std::string(kServiceKey) + ": " +
           ErrorText(static_cast<DWORD>(result)) + ". Run as an administrator.";
  }
  return std::nullopt;
}

int StartDriver(DriverLibrary& driver, const Setup&, std::string* message) {
  const std::string port = ReadString(kServiceKey, "Port").value_or("?");
  switch (driver.Init()) {
    case 1:
      return kExitOk;
    case 4:
      *message = "no usable \"Port\" value under HKEY_LOCAL_MACHINE\\" + std::string(kServiceKey) +
                 ". Give the port with --port COM1 (at most 7 characters).";
      return kExitRegistry;
    case 5: {
      const HANDLE probe = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
      const DWORD error = GetLastError();
      if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        *message = "no such port: " + port + ". See the ports in Device Manager.";
      } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        *message = "the port " + port + " is busy: another program has it open.";
      } else {
        *message = "the port " + port + " cannot be set up: " + ErrorText(error);
      }
      return kExitPort;
    }
    case 6:
      *message = "no valid reply from a UPS on " + port +
                 ". Check that the UPS is on and that its own serial cable is used.";
      return kExitNoUps;
    default:
      *message = "the driver reported an unknown result.";
      return kExitFailure;
  }
}

PrivateSetup::PrivateSetup(const Setup& shared, const std::string&) : setup_(shared) {}

PrivateSetup::~PrivateSetup() = default;

PublishedList PublishedValues(const Setup&) {
  PublishedList values;
  for (const char* name : {"BatteryStatus", "BatteryCapacity", "FirmwareRev"}) {
    if (auto value = ReadString(kStatusKey, name)) values.emplace_back(name, *value);
  }
  return values;
}

}  // namespace corvale
