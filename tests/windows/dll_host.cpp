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
//   spy              from now on, note the DLL's CreateFileA, SetCommState and string
//                    RegSetValueExA arguments
//   spied            print what was noted, one "spied ..." line per call
// Once the DLL is loaded, its serial calls are held to what Windows documents for them, which Wine
// does not check: SetCommState refuses a block whose XON and XOFF characters are equal, and a
// communications device is opened only without sharing, as an existing device, with no template.
// Either is refused as Windows refuses it (FALSE or INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER).
//   wine-port:COMn:DEVICE   map a COM port to a Unix device for Wine's mount manager
//   exec:LINE        run the command line LINE as it stands (CreateProcess), wait, print its
//                    exit code ("exec 0")
//   start-type:SERVICE[:N]  set a service's start type through the service manager (2 automatic,
//                    3 manual, 4 disabled; Wine's sc has no "config"), then print it
//   bench-raw:N | bench-dll:N   median microseconds and CPU per exchange, bare or through the DLL
//   wait-cost:MS     CPU share of a wait with no limit on a steady UPS
//   stack            deepest stack each entry point uses
//   trust-root:PATH | distrust-root:PATH   add a certificate (a DER file) to the machine's trusted
//                    roots, or take it out again, as an administrator's certificate tool would
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
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

HMODULE loaded = nullptr;

// What the DLL asked of the serial calls. Wine neither enforces a port's share mode nor has modem
// lines to look at, so the arguments are checked where they leave the DLL.
std::vector<std::string> spied;
bool noting = false;

// "\\.\COM3" or "COM3": a communications device, as CreateFile's documentation names them.
bool NamesCommDevice(const char* name) {
  const char* device = std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
  return _strnicmp(device, "COM", 3) == 0 && device[3] >= '1' && device[3] <= '9';
}

HANDLE WINAPI SpyCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (noting) {
    char text[160];
    std::snprintf(text, sizeof text, "CreateFileA %s access=0x%lX share=%lu disposition=%lu", name,
                  access, share, disposition);
    spied.push_back(text);
  }
  // Communications resources: exclusive access, OPEN_EXISTING, and a null template handle.
  if (NamesCommDevice(name) &&
      (share != 0 || disposition != OPEN_EXISTING || templateFile != nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI SpySetCommState(HANDLE port, LPDCB dcb) {
  if (noting) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "SetCommState baud=%lu bits=%u parity=%u stop=%u dtr=%u rts=%u xon=%u xoff=%u "
                  "outx=%u inx=%u",
                  dcb->BaudRate, dcb->ByteSize, dcb->Parity, dcb->StopBits, dcb->fDtrControl,
                  dcb->fRtsControl, static_cast<unsigned char>(dcb->XonChar),
                  static_cast<unsigned char>(dcb->XoffChar), dcb->fOutX, dcb->fInX);
    spied.push_back(text);
  }
  // "The SetCommState function fails if the XonChar member of the DCB structure is equal to the
  // XoffChar member."
  if (dcb->XonChar == dcb->XoffChar) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return SetCommState(port, dcb);
}

LONG WINAPI SpyRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) {
  // Wine adds a missing NUL when it stores a string, so the size is only honest here.
  if (noting && type == REG_SZ) {
    spied.push_back(std::string("RegSetValueExA ") + name + " size=" + std::to_string(size));
  }
  return RegSetValueExA(key, name, reserved, type, data, size);
}

// Points the DLL's import slots for these calls at the spies above.
void Spy() {
  auto* base = reinterpret_cast<BYTE*>(loaded);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int patched = 0;
  for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       import->Name != 0; ++import) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      void* spy = nullptr;
      if (std::strcmp(name, "CreateFileA") == 0) spy = reinterpret_cast<void*>(SpyCreateFileA);
      if (std::strcmp(name, "SetCommState") == 0) spy = reinterpret_cast<void*>(SpySetCommState);
      if (std::strcmp(name, "RegSetValueExA") == 0) {
        spy = reinterpret_cast<void*>(SpyRegSetValueExA);
      }
      if (spy == nullptr) continue;
      DWORD protection;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      slots->u1.Function = reinterpret_cast<DWORD_PTR>(spy);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      ++patched;
    }
  }
  if (patched != 3) Fail("the DLL does not import CreateFileA, SetCommState and RegSetValueExA");
}

void Load(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  loaded = module;
  if (module == nullptr) Fail("LoadLibrary " + path + " failed: " + std::to_string(GetLastError()));
  driver = {
      Entry<InitFn>(module, "UPSInit"),         Entry<StopFn>(module, "UPSStop"),
      Entry<GetStateFn>(module, "UPSGetState"), Entry<WaitFn>(module, "UPSWaitForStateChange"),
      Entry<CancelFn>(module, "UPSCancelWait"), Entry<TurnOffFn>(module, "UPSTurnOff")};
  Spy();
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

DWORD WINAPI WaitThread(void* arguments);

// Stack high-water marks: paint a region below the caller's frame (the compiler's stack probes
// commit its pages in order), call, and see how far down the pattern was overwritten. The region
// lies below the stack pointer once PaintStack returns, which 32-bit Windows leaves alone.
constexpr std::size_t kPaintedBytes = 32 * 1024;
constexpr unsigned char kPaint = 0xA5;
std::uintptr_t paintedArea = 0;  // an address, not a pointer: the frame is gone when it is read

__attribute__((noinline)) void PaintStack() {
  volatile unsigned char area[kPaintedBytes];
  for (std::size_t i = 0; i < kPaintedBytes; ++i) area[i] = kPaint;
  paintedArea = reinterpret_cast<std::uintptr_t>(area);
}

std::size_t StackOverwritten() {
  const auto* area = reinterpret_cast<volatile const unsigned char*>(paintedArea);
  std::size_t untouched = 0;
  while (untouched < kPaintedBytes && area[untouched] == kPaint) ++untouched;
  return kPaintedBytes - untouched;
}

template <typename Call>
__attribute__((noinline)) std::size_t StackUse(Call call) {
  PaintStack();
  call();
  return StackOverwritten();
}

double ThreadCpuMicroseconds(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(thread, &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 10.0;  // 100 ns units
}

// Median wall time and mean CPU time per call of `exchange`, in microseconds.
template <typename Exchange>
std::string Measure(int count, Exchange&& exchange) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> walls;
  const double cpuStart = ThreadCpuMicroseconds(GetCurrentThread());
  for (int i = 0; i < count; ++i) {
    QueryPerformanceCounter(&start);
    exchange();
    QueryPerformanceCounter(&end);
    walls.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart));
  }
  const double cpu = (ThreadCpuMicroseconds(GetCurrentThread()) - cpuStart) / count;
  std::sort(walls.begin(), walls.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.1f %.1f", walls[walls.size() / 2], cpu);
  return text;
}

// The floor for the same bytes: the port set up as the driver sets it, then WriteFile and ReadFile.
void BenchRaw(int count) {
  HANDLE port =
      CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) Fail("cannot open COM1");
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  BuildCommDCBA("1200,N,8,1", &dcb);
  SetCommState(port, &dcb);
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = 100;
  timeouts.ReadTotalTimeoutConstant = 1000;
  SetCommTimeouts(port, &timeouts);
  const std::string figures = Measure(count, [&] {
    static const char kPoll[] = "ZCADLIOPERJD\r";
    char reply[12];
    DWORD moved = 0;
    WriteFile(port, kPoll, 13, &moved, nullptr);
    ReadFile(port, reply, sizeof reply, &moved, nullptr);
    if (moved != 12) Fail("the UPS did not answer the raw exchange");
  });
  CloseHandle(port);
  Say("bench-raw " + figures);
}

void WaitCost(DWORD milliseconds) {
  DWORD waitArguments[2] = {1, 0xFFFFFFFF};
  const DWORD start = GetTickCount();
  HANDLE thread = CreateThread(nullptr, 0, WaitThread, waitArguments, 0, nullptr);
  Sleep(milliseconds);
  driver.cancel();
  WaitForSingleObject(thread, INFINITE);
  const double wall = 1000.0 * (GetTickCount() - start);
  char text[64];
  std::snprintf(text, sizeof text, "wait-cost %.1f %.4f", wall / 1e6,
                100.0 * ThreadCpuMicroseconds(thread) / wall);
  CloseHandle(thread);
  Say(text);
}

DWORD WINAPI WaitThread(void* arguments) {
  const DWORD* stateAndInterval = static_cast<const DWORD*>(arguments);
  driver.wait(stateAndInterval[0], stateAndInterval[1]);
  return 0;
}

// The machine's own "Root" store, which WinHTTP's checks of a server's certificate chain end in.
void TrustRoot(const std::string& path, bool trusted) {
  std::string der;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
      der.append(chunk, count);
    }
    std::fclose(file);
  }
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  PCCERT_CONTEXT added = nullptr;
  bool done = store != nullptr && !der.empty() &&
              CertAddEncodedCertificateToStore(
                  store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                  static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added);
  // CertDeleteCertificateFromStore frees the context it is given, found or not.
  if (done && !trusted)
    done = CertDeleteCertificateFromStore(added);
  else if (added != nullptr)
    CertFreeCertificateContext(added);
  if (store != nullptr) CertCloseStore(store, 0);
  Say(std::string(trusted ? "trust-root " : "distrust-root ") + (done ? "ok" : "failed"));
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
    } else if (verb == "trust-root" || verb == "distrust-root") {
      TrustRoot(std::string(argv[i]).substr(verb.size() + 1), verb == "trust-root");
    } else if (verb == "query") {
      Say("query " + Value(step.at(2).c_str(), step.at(1).c_str()));
    } else if (verb == "spy") {
      noting = true;
      Say("spy ok");
    } else if (verb == "spied") {
      for (const auto& call : spied) Say("spied " + call);
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
    } else if (verb == "exec") {
      std::string line = std::string(argv[i]).substr(5);
      STARTUPINFOA startup = {};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION process = {};
      if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        Fail("cannot run " + line);
      }
      WaitForSingleObject(process.hProcess, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      Say("exec " + std::to_string(code));
    } else if (verb == "start-type") {
      SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
      SC_HANDLE service = manager != nullptr
                              ? OpenServiceA(manager, step.at(1).c_str(),
                                             SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG)
                              : nullptr;
      if (service == nullptr) Fail("cannot open the service " + step.at(1));
      if (step.size() > 2 &&
          !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, number(2), SERVICE_NO_CHANGE, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        Fail("cannot change the start type");
      }
      DWORD size = 0;
      QueryServiceConfigA(service, nullptr, 0, &size);
      std::vector<BYTE> buffer(size);
      auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
      if (!QueryServiceConfigA(service, config, size, &size)) Fail("cannot read the service");
      Say("start-type " + std::to_string(config->dwStartType));
      CloseServiceHandle(service);
      CloseServiceHandle(manager);
    } else if (verb == "bench-raw") {
      BenchRaw(static_cast<int>(number(1)));
    } else if (verb == "bench-dll") {
      Say("bench-dll " + Measure(static_cast<int>(number(1)), [] { driver.getState(); }));
    } else if (verb == "wait-cost") {
      WaitCost(number(1));
    } else if (verb == "stack") {
      const std::size_t getState = StackUse([] { driver.getState(); });
      const std::size_t turnOff = StackUse([] { driver.turnOff(120); });
      const std::size_t wait = StackUse([] { driver.wait(0, 1); });
      const std::size_t init = StackUse([] { driver.init(); });
      Say("stack " + std::to_string(getState) + " " + std::to_string(turnOff) + " " +
          std::to_string(wait) + " " + std::to_string(init));
    } else if (verb == "race") {
      Race(number(1));
    } else {
      Fail("unknown step " + verb);
    }
  }
  return 0;
}
