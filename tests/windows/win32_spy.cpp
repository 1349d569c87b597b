// winsock2.h before windows.h, which the header brings.
#include <winsock2.h>
#include <ws2tcpip.h>
// After them:
#include <cstring>
#include <map>
#include <mutex>

#include "tests/windows/win32_spy.h"

namespace corvale::testing::spy {

namespace {

// The system's own functions, as the import slots held them before: the spies call these, not
// the slots, which now lead back to the spies.
decltype(&setsockopt) realSetsockopt = nullptr;
decltype(&bind) realBind = nullptr;
decltype(&closesocket) realClosesocket = nullptr;
decltype(&OpenSCManagerW) realOpenSCManagerW = nullptr;
decltype(&OpenServiceW) realOpenServiceW = nullptr;
decltype(&QueryServiceStatus) realQueryServiceStatus = nullptr;
decltype(&ControlService) realControlService = nullptr;
decltype(&DeleteService) realDeleteService = nullptr;
decltype(&CloseServiceHandle) realCloseServiceHandle = nullptr;
decltype(&AssignProcessToJobObject) realAssignProcessToJobObject = nullptr;
bool refusingJobs = false;

std::mutex mutex;
bool scheduled = false;
std::vector<ShutdownCall> shutdownCalls;
std::vector<LoggedEvent> loggedEvents;

// What a socket was set up with, and where it was bound.
struct SocketState {
  bool reuse = false;
  bool exclusive = false;
  bool bound = false;
  sockaddr_storage address = {};
};
std::map<SOCKET, SocketState> sockets;

std::string Utf8(const std::wstring& wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
}

// "To shut down the local computer, the calling thread must have the SE_SHUTDOWN_NAME privilege":
// held and enabled, as AdjustTokenPrivileges leaves it.
bool ShutdownPrivilegeEnabled() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  LUID shutdown;
  LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown);
  PRIVILEGE_SET wanted = {};
  wanted.PrivilegeCount = 1;
  wanted.Control = PRIVILEGE_SET_ALL_NECESSARY;
  wanted.Privilege[0].Luid = shutdown;
  BOOL held = FALSE;
  const bool checked = PrivilegeCheck(token, &wanted, &held) != 0;
  CloseHandle(token);
  return checked && held;
}

BOOL WINAPI SpyInitiateSystemShutdownExW(LPWSTR machine, LPWSTR message, DWORD timeout, BOOL force,
                                         BOOL reboot, DWORD reason) {
  if (!ShutdownPrivilegeEnabled()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  std::lock_guard lock(mutex);
  if (machine != nullptr && machine[0] != L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);  // these tests shut down no other machine
    return FALSE;
  }
  if (scheduled) {
    SetLastError(1190);  // ERROR_SHUTDOWN_IS_SCHEDULED
    return FALSE;
  }
  shutdownCalls.push_back(
      {message != nullptr ? message : L"", timeout, force != FALSE, reboot != FALSE, reason});
  return TRUE;
}

BOOL WINAPI SpyAbortSystemShutdownW(LPWSTR) {
  if (!ShutdownPrivilegeEnabled()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  std::lock_guard lock(mutex);
  if (!scheduled) {
    SetLastError(ERROR_NO_SHUTDOWN_IN_PROGRESS);
    return FALSE;
  }
  scheduled = false;
  return TRUE;
}

int WSAAPI SpySetsockopt(SOCKET socket, int level, int name, const char* value, int length) {
  const int result = realSetsockopt(socket, level, name, value, length);
  if (result == 0 && level == SOL_SOCKET && length >= static_cast<int>(sizeof(BOOL))) {
    BOOL on = FALSE;
    std::memcpy(&on, value, sizeof on);
    std::lock_guard lock(mutex);
    if (name == SO_REUSEADDR) sockets[socket].reuse = on != FALSE;
    if (name == SO_EXCLUSIVEADDRUSE) sockets[socket].exclusive = on != FALSE;
  }
  return result;
}

std::uint16_t Port(const sockaddr_storage& address) {
  return address.ss_family == AF_INET
             ? ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port)
             : ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// Windows: "the second socket can bind to the same port if it sets SO_REUSEADDR", unless the one
// holding it set SO_EXCLUSIVEADDRUSE. Linux, under Wine, refuses while the first listens.
int WSAAPI SpyBind(SOCKET socket, const sockaddr* address, int length) {
  const int result = realBind(socket, address, length);
  const int error = WSAGetLastError();
  std::lock_guard lock(mutex);
  SocketState& state = sockets[socket];
  sockaddr_storage wanted = {};
  std::memcpy(&wanted, address, std::min<std::size_t>(length, sizeof wanted));
  if (result == 0) {
    state.bound = true;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&state.address), &length) != 0) {
      state.address = wanted;
    }
    return 0;
  }
  if (error != WSAEADDRINUSE && error != WSAEACCES) return result;
  for (const auto& [other, holder] : sockets) {
    if (other == socket || !holder.bound || holder.address.ss_family != wanted.ss_family ||
        Port(holder.address) != Port(wanted)) {
      continue;
    }
    if (holder.exclusive) {
      WSASetLastError(WSAEACCES);
      return SOCKET_ERROR;
    }
    if (state.reuse) {
      state.bound = true;
      state.address = wanted;
      return 0;  // taken over, as Windows lets it
    }
  }
  WSASetLastError(error);
  return result;
}

int WSAAPI SpyClosesocket(SOCKET socket) {
  {
    std::lock_guard lock(mutex);
    sockets.erase(socket);
  }
  return realClosesocket(socket);
}

BOOL WINAPI SpyReportEventW(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                            LPCWSTR* texts, LPVOID) {
  std::lock_guard lock(mutex);
  loggedEvents.push_back({true, type, id, count > 0 && texts[0] != nullptr ? Utf8(texts[0]) : ""});
  return TRUE;
}

BOOL WINAPI SpyReportEventA(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                            LPCSTR* texts, LPVOID) {
  std::lock_guard lock(mutex);
  loggedEvents.push_back({false, type, id, count > 0 && texts[0] != nullptr ? texts[0] : ""});
  return TRUE;
}

// The fake service: its handles are these addresses, told apart from the real manager's.
char fakeManager, fakeService;
bool faking = false;
int startingLeft = 0, stoppingLeft = 0;
DWORD fakeState = SERVICE_START_PENDING;
std::vector<std::string> serviceCalls;

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_STOPPED:
      return "STOPPED";
    default:
      return "OTHER";
  }
}

void Fill(SERVICE_STATUS* status) {
  *status = {};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = fakeState;
  status->dwControlsAccepted = fakeState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

SC_HANDLE WINAPI SpyOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  {
    std::lock_guard lock(mutex);
    if (faking) return reinterpret_cast<SC_HANDLE>(&fakeManager);
  }
  return realOpenSCManagerW(machine, database, access);
}

SC_HANDLE WINAPI SpyOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (manager == reinterpret_cast<SC_HANDLE>(&fakeManager)) {
    return reinterpret_cast<SC_HANDLE>(&fakeService);
  }
  return realOpenServiceW(manager, name, access);
}

BOOL WINAPI SpyQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (service != reinterpret_cast<SC_HANDLE>(&fakeService)) {
    return realQueryServiceStatus(service, status);
  }
  std::lock_guard lock(mutex);
  serviceCalls.push_back(std::string("query ") + StateName(fakeState));
  Fill(status);
  if (fakeState == SERVICE_START_PENDING && --startingLeft <= 0) fakeState = SERVICE_RUNNING;
  if (fakeState == SERVICE_STOP_PENDING && --stoppingLeft <= 0) fakeState = SERVICE_STOPPED;
  return TRUE;
}

BOOL WINAPI SpyControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  if (service != reinterpret_cast<SC_HANDLE>(&fakeService)) {
    return realControlService(service, control, status);
  }
  std::lock_guard lock(mutex);
  serviceCalls.push_back(std::string(control == SERVICE_CONTROL_STOP ? "stop " : "control ") +
                         StateName(fakeState));
  // "ERROR_SERVICE_CANNOT_ACCEPT_CTRL: The requested control code cannot be sent to the service
  // because the state of the service is SERVICE_STOPPED, SERVICE_START_PENDING, or
  // SERVICE_STOP_PENDING."
  if (fakeState != SERVICE_RUNNING) {
    SetLastError(fakeState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE
                                              : ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
  }
  if (control == SERVICE_CONTROL_STOP) fakeState = SERVICE_STOP_PENDING;
  Fill(status);
  return TRUE;
}

BOOL WINAPI SpyDeleteService(SC_HANDLE service) {
  if (service != reinterpret_cast<SC_HANDLE>(&fakeService)) return realDeleteService(service);
  std::lock_guard lock(mutex);
  serviceCalls.push_back(std::string("delete ") + StateName(fakeState));
  return TRUE;
}

BOOL WINAPI SpyCloseServiceHandle(SC_HANDLE handle) {
  if (handle == reinterpret_cast<SC_HANDLE>(&fakeService) ||
      handle == reinterpret_cast<SC_HANDLE>(&fakeManager)) {
    return TRUE;
  }
  return realCloseServiceHandle(handle);
}

BOOL WINAPI SpyAssignProcessToJobObject(HANDLE job, HANDLE process) {
  {
    std::lock_guard lock(mutex);
    if (refusingJobs) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  return realAssignProcessToJobObject(job, process);
}

}  // namespace

bool Install(std::string* missing) {
  struct Hook {
    const char* name;
    void* spy;
    void** real;  // where the system's own function is kept, for spies that pass calls on
    bool found;
  } hooks[] = {
      {"InitiateSystemShutdownExW", reinterpret_cast<void*>(SpyInitiateSystemShutdownExW), nullptr,
       false},
      {"AbortSystemShutdownW", reinterpret_cast<void*>(SpyAbortSystemShutdownW), nullptr, false},
      {"setsockopt", reinterpret_cast<void*>(SpySetsockopt),
       reinterpret_cast<void**>(&realSetsockopt), false},
      {"bind", reinterpret_cast<void*>(SpyBind), reinterpret_cast<void**>(&realBind), false},
      {"closesocket", reinterpret_cast<void*>(SpyClosesocket),
       reinterpret_cast<void**>(&realClosesocket), false},
      {"ReportEventW", reinterpret_cast<void*>(SpyReportEventW), nullptr, false},
      {"ReportEventA", reinterpret_cast<void*>(SpyReportEventA), nullptr, false},
      {"OpenSCManagerW", reinterpret_cast<void*>(SpyOpenSCManagerW),
       reinterpret_cast<void**>(&realOpenSCManagerW), false},
      {"OpenServiceW", reinterpret_cast<void*>(SpyOpenServiceW),
       reinterpret_cast<void**>(&realOpenServiceW), false},
      {"QueryServiceStatus", reinterpret_cast<void*>(SpyQueryServiceStatus),
       reinterpret_cast<void**>(&realQueryServiceStatus), false},
      {"ControlService", reinterpret_cast<void*>(SpyControlService),
       reinterpret_cast<void**>(&realControlService), false},
      {"DeleteService", reinterpret_cast<void*>(SpyDeleteService),
       reinterpret_cast<void**>(&realDeleteService), false},
      {"CloseServiceHandle", reinterpret_cast<void*>(SpyCloseServiceHandle),
       reinterpret_cast<void**>(&realCloseServiceHandle), false},
      {"AssignProcessToJobObject", reinterpret_cast<void*>(SpyAssignProcessToJobObject),
       reinterpret_cast<void**>(&realAssignProcessToJobObject), false},
  };
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       import->Name != 0; ++import) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      for (Hook& hook : hooks) {
        if (std::strcmp(name, hook.name) != 0) continue;
        if (hook.real != nullptr) *hook.real = reinterpret_cast<void*>(slots->u1.Function);
        DWORD protection;
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook.spy);
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        hook.found = true;
      }
    }
  }
  // A call this program does not import, it never makes (nothing here looks calls up by name):
  // there is nothing to hold to its documentation.
  missing->clear();
  for (const Hook& hook : hooks) {
    if (!hook.found) *missing += std::string(missing->empty() ? "" : ", ") + hook.name;
  }
  return true;
}

void ScheduleShutdown() {
  std::lock_guard lock(mutex);
  scheduled = true;
}

bool ShutdownScheduled() {
  std::lock_guard lock(mutex);
  return scheduled;
}

std::vector<ShutdownCall> ShutdownCalls() {
  std::lock_guard lock(mutex);
  return shutdownCalls;
}

std::vector<LoggedEvent> LoggedEvents() {
  std::lock_guard lock(mutex);
  return loggedEvents;
}

void FakeService(int startingQueries, int stoppingQueries) {
  std::lock_guard lock(mutex);
  faking = true;
  startingLeft = startingQueries;
  stoppingLeft = stoppingQueries;
  fakeState = startingQueries > 0 ? SERVICE_START_PENDING : SERVICE_RUNNING;
  serviceCalls.clear();
}

std::vector<std::string> ServiceCalls() {
  std::lock_guard lock(mutex);
  return serviceCalls;
}

void RefuseJobs() {
  std::lock_guard lock(mutex);
  refusingJobs = true;
}

void Reset() {
  std::lock_guard lock(mutex);
  refusingJobs = false;
  scheduled = false;
  shutdownCalls.clear();
  loggedEvents.clear();
  faking = false;
  serviceCalls.clear();
}

}  // namespace corvale::testing::spy
