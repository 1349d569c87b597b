// The driver library on Windows: CorvaleUPS.dll loaded by its full path once only the
// administrators may change it, configured through the registry as the UPS service configured it,
// and its start-up failures explained.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "host/driver_library.h"
#include "host/utf8_path.h"
#include "host/windows/file_access.h"
#include "host/windows/wide_text.h"

namespace corvale {

namespace {

namespace fs = std::filesystem;
using host::ErrorText;
using host::Wide;

constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\UPS";
constexpr char kStatusKey[] = "System\\CurrentControlSet\\Services\\UPS\\Status";

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

// CorvaleUPS.dll beside this program, as the installer puts it.
fs::path InstalledLibrary() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(std::wstring(self, length)).parent_path() / L"CorvaleUPS.dll";
}

fs::path LibraryPath(const std::string& configured) {
  return configured.empty() ? InstalledLibrary() : host::PathFromUtf8(configured);
}

// Libraries the driver and Windows load later come from the system's own folder, never from the
// current folder or the search path, where somebody else may have put one.
void LimitLibrarySearch() {
  using SetDefault = BOOL(WINAPI*)(DWORD);
  // Windows 8, and Windows 7 with its update KB2533623; SetDllDirectory("") drops the current
  // folder where it is missing.
  const auto setDefault = reinterpret_cast<SetDefault>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

// Why the port named "Port" cannot be used, looked at again after UPSInit gave 5: opened as the
// driver opens it (through the device namespace, so that COM10 and up are found), and set up as
// the driver sets it up, with the reason Windows gives for the step that fails.
std::string ExplainPortFailure(const std::string& port) {
  const std::wstring device = L"\\\\.\\" + Wide(port);
  const HANDLE probe = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return "no such port: " + port + ". See the ports in Device Manager.";
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      return "the port " + port + " is busy: another program has it open.";
    }
    return "the port " + port + " cannot be opened: " + ErrorText(error);
  }
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  std::string why;
  if (!BuildCommDCBW(L"1200,N,8,1", &dcb)) {
    why = "the line settings cannot be made: " + ErrorText(GetLastError());
  } else {
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(probe, &dcb)) {
      why = "the port " + port +
            " opens but refused the line settings (1200 baud, 8N1): is it a serial port? Windows "
            "says: " +
            ErrorText(GetLastError());
    } else {
      why = "the port " + port +
            " could not be set up then, but opens and takes the line settings now (was it "
            "unplugged, or busy for a moment?).";
    }
  }
  CloseHandle(probe);
  return why;
}

}  // namespace

std::optional<std::string> LibraryProblem(const std::string& configured) {
  const fs::path path = LibraryPath(configured);
  if (!path.is_absolute()) {
    return "\"" + configured + "\" is not a full path: give the library's full path";
  }
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    return "there is no driver library " + host::Utf8FromPath(path);
  }
  return host::UntrustedProgramFile(path);
}

DriverLibrary::DriverLibrary(const std::string& path) {
  static const bool limited = (LimitLibrarySearch(), true);
  (void)limited;
  if (auto problem = LibraryProblem(path)) {
    throw std::runtime_error("cannot load the driver library: " + *problem +
                             (path.empty() ? "\n  (name it with --library)" : ""));
  }
  const fs::path file = LibraryPath(path);
  // By its full path only; the DLL's own imports are looked for beside it first.
  HMODULE module = LoadLibraryExW(file.wstring().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    throw std::runtime_error("cannot load the driver library " + host::Utf8FromPath(file) + ": " +
                             ErrorText(GetLastError()));
  }
  handle_ = module;
  path_ = host::Utf8FromPath(file);
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

bool SetupInFolders() {
  return false;
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
    case 5:
      *message = ExplainPortFailure(port);
      return kExitPort;
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
