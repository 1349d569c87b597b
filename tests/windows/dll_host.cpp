// A stand-in for the Windows UPS service, for end-to-end tests under Wine. It loads the DLL by
// name, finds the entry points by their plain names, and runs the steps given on its command line,
// printing one line per result for the test that started it:
//   registry:PORT    create the service keys, set "Port", clear earlier status values
//   registry-noport  create the service keys without a "Port" value
//   load:PATH        LoadLibrary and GetProcAddress the six entry points
//   init | state | stop | cancel | turnoff:D | wait:STATE:INTERVAL
//   wait-start:STATE:INTERVAL, wait-join   a wait on a second thread
//   values           the three published values
//   sync:TAG         print "sync TAG" and wait for a line on standard input
//   sleep:MS | version:PATH | race:MS
//   query:KEY:NAME   a string value anywhere under HKEY_LOCAL_MACHINE
//   wine-port:COMn:DEVICE   map a COM port to a Unix device for Wine's mount manager
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using InitFn = DWORD(WINAPI*)();
using StopFn = DWORD(WINAPI*)();
using GetStateFn = DWORD(WINAPI*)();
using WaitFn = void(WINAPI*)(DWORD, DWORD);
using CancelFn = void(WINAPI*)();
using TurnOffFn = DWORD(WINAPI*)(DWORD);

struct Driver {
  InitFn init;
  StopFn stop;
  GetStateFn getState;
  WaitFn wait;
  CancelFn cancel;
  TurnOffFn turnOff;
} driver;

constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\UPS";
constexpr char kStatusKey[] = "System\\CurrentControlSet\\Services\\UPS\\Status";

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& why) {
  Say("error " + why);
  std::exit(2);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

void SetUpRegistry(const char* port) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    Fail("cannot create the service key");
  }
  if (port != nullptr) {
    RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                   static_cast<DWORD>(std::strlen(port) + 1));
  } else {
    RegDeleteValueA(key, "Port");
  }
  RegCloseKey(key);
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatusKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    Fail("cannot create the status key");
  }
  for (const char* name : {"BatteryStatus", "BatteryCapacity", "FirmwareRev"}) {
    RegDeleteValueA(key, name);
  }
  RegCloseKey(key);
  Say("registry ok");
}

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  FARPROC found = GetProcAddress(module, name);
  if (found == nullptr) Fail(std::string("no entry point ") + name);
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(found));
}

void Load(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) Fail("LoadLibrary " + path + " failed: " + std::to_string(GetLastError()));
  driver = {
      Entry<InitFn>(module, "UPSInit"),         Entry<StopFn>(module, "UPSStop"),
      Entry<GetStateFn>(module, "UPSGetState"), Entry<WaitFn>(module, "UPSWaitForStateChange"),
      Entry<CancelFn>(module, "UPSCancelWait"), Entry<TurnOffFn>(module, "UPSTurnOff")};
  Say("load ok");
}

std::string Value(const char* name, const char* keyPath = kStatusKey) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "-";
  }
  BYTE data[300];
  DWORD size = sizeof data;
  DWORD type = 0;
  std::string text = "-";
  if (RegQueryValueExA(key, name, nullptr, &type, data, &size) == ERROR_SUCCESS) {
    if (type == REG_DWORD && size == 4) {
      DWORD number;
      std::memcpy(&number, data, 4);
      text = std::to_string(number);
    } else if (type == REG_SZ && size > 0) {
      text.assign(reinterpret_cast<char*>(data), size - 1);
    } else {
      text = "type" + std::to_string(type);
    }
  }
  RegCloseKey(key);
  return text;
}

std::string VersionString(const std::vector<char>& info, const char* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\080904B0\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || length == 0) return "-";
  return static_cast<const char*>(value);
}

void Version(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) Fail("no version resource");
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) Fail("GetFileVersionInfo");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length);
  WORD* translation = nullptr;
  VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                 &length);
  const auto part = [](DWORD word, bool high) {
    return std::to_string(high ? HIWORD(word) : LOWORD(word));
  };
  char translationText[16];
  std::snprintf(translationText, sizeof translationText, "%04x|%u", translation[0], translation[1]);
  const std::string numbers =
      part(fixed->dwFileVersionMS, true) + "." + part(fixed->dwFileVersionMS, false) + "." +
      part(fixed->dwFileVersionLS, true) + "." + part(fixed->dwFileVersionLS, false) + "|" +
      part(fixed->dwProductVersionMS, true) + "." + part(fixed->dwProductVersionMS, false) + "." +
      part(fixed->dwProductVersionLS, true) + "." + part(fixed->dwProductVersionLS, false) + "|" +
      std::to_string(fixed->dwFileType) + "|" + translationText;
  Say("version " + VersionString(info, "FileDescription") + "|" +
      VersionString(info, "FileVersion") + "|" + VersionString(info, "InternalName") + "|" +
      VersionString(info, "OriginalFilename") + "|" + numbers);
}

// Every entry point at once from several threads, then a stop; the UPS peer checks each frame.
void Race(DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (GetTickCount() < end) driver.getState();
  });
  threads.emplace_back([&] {
    while (GetTickCount() < end) driver.turnOff(999);
  });
  threads.emplace_back([&] {
    while (GetTickCount() < end) driver.wait(0, 300);
  });
  threads.emplace_back([&] {
    while (GetTickCount() < end) {
      driver.cancel();
      Sleep(50);
    }
  });
  Sleep(milliseconds / 2);
  const DWORD stopped = driver.stop();
  for (auto& thread : threads) thread.join();
  Say("race " + std::to_string(stopped));
}

DWORD WINAPI WaitThread(void* arguments) {
  const DWORD* stateAndInterval = static_cast<const DWORD*>(arguments);
  driver.wait(stateAndInterval[0], stateAndInterval[1]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  HANDLE waiter = nullptr;
  DWORD waitStarted = 0;
  DWORD waitArgs[2] = {0, 0};
  for (int i = 1; i < argc; ++i) {
    const auto step = Split(argv[i]);
    const std::string& verb = step[0];
    const auto number = [&](std::size_t at) {
      return static_cast<DWORD>(std::strtoul(step.at(at).c_str(), nullptr, 10));
    };
    const DWORD start = GetTickCount();
    const auto took = [&] { return " " + std::to_string(GetTickCount() - start); };
    if (verb == "registry") {
      SetUpRegistry(step.at(1).c_str());
    } else if (verb == "registry-noport") {
      SetUpRegistry(nullptr);
    } else if (verb == "load") {
      Load(std::string(argv[i]).substr(5));
    } else if (verb == "init") {
      const DWORD result = driver.init();
      Say("init " + std::to_string(result) + took());
    } else if (verb == "state") {
      const DWORD state = driver.getState();
      Say("state " + std::to_string(state) + took());
    } else if (verb == "wait") {
      driver.wait(number(1), number(2));
      Say("wait" + took());
    } else if (verb == "wait-start") {
      waitArgs[0] = number(1);
      waitArgs[1] = number(2);
      waitStarted = start;
      waiter = CreateThread(nullptr, 0, WaitThread, waitArgs, 0, nullptr);
      Say("wait-start");
    } else if (verb == "wait-join") {
      if (WaitForSingleObject(waiter, 10000) != WAIT_OBJECT_0) Fail("the wait did not end");
      Say("wait " + std::to_string(GetTickCount() - waitStarted));
    } else if (verb == "cancel") {
      driver.cancel();
      Say("cancel");
    } else if (verb == "stop") {
      const DWORD result = driver.stop();
      Say("stop " + std::to_string(result) + took());
    } else if (verb == "turnoff") {
      const DWORD result = driver.turnOff(number(1));
      Say("turnoff " + std::to_string(result & 0xFF) + took());
    } else if (verb == "values") {
      Say("values " + Value("BatteryStatus") + "|" + Value("BatteryCapacity") + "|" +
          Value("FirmwareRev"));
    } else if (verb == "sync") {
      Say("sync " + step.at(1));
      char line[16];
      if (std::fgets(line, sizeof line, stdin) == nullptr) Fail("no answer to sync");
    } else if (verb == "sleep") {
      Sleep(number(1));
    } else if (verb == "version") {
      Version(std::string(argv[i]).substr(8));
    } else if (verb == "query") {
      Say("query " + Value(step.at(2).c_str(), step.at(1).c_str()));
    } else if (verb == "wine-port") {
      // Wine rebuilds dosdevices/comN from this key whenever its server starts.
      HKEY key;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", 0, nullptr, 0,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        Fail("cannot open Wine's port key");
      }
      const std::string device = step.at(2);
      RegSetValueExA(key, step.at(1).c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(device.c_str()),
                     static_cast<DWORD>(device.size() + 1));
      RegCloseKey(key);
      Say("wine-port ok");
    } else if (verb == "race") {
      Race(number(1));
    } else {
      Fail("unknown step " + verb);
    }
  }
  return 0;
}
