// The Windows service: what the service manager starts and controls, its registration, and its
// lines in the Event Log.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "host/host_os.h"
#include "host/windows/service_control.h"
#include "host/windows/wide_text.h"

namespace corvale::host {

namespace {

bool runningAsService = false;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::function<int()> serviceBody;
std::function<void()> onSystemShutdown;
std::mutex resumeMutex;  // the action is called under it: cleared, it is not under way
std::function<void()> onResume;
std::wstring serviceName;
int serviceResult = 0;

void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
  if (statusHandle == nullptr) return;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? AcceptedControls() : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = waitHint;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD eventType, void*, void*) {
  return HandleServiceControl(control, eventType);
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  statusHandle = RegisterServiceCtrlHandlerExW(serviceName.c_str(), OnServiceControl, nullptr);
  ReportStatus(SERVICE_START_PENDING, 0, 10000);
  serviceResult = serviceBody();
  ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(serviceResult));
}

// A service handle, closed with the object.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(SC_HANDLE handle) {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
    handle_ = handle;
  }

 private:
  SC_HANDLE handle_;
};

std::wstring EventSourceKey(const std::string& name) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + Wide(name);
}

}  // namespace

DWORD AcceptedControls() {
  // SHUTDOWN, not PRESHUTDOWN: Windows holds its shutdown for a service that accepts PRESHUTDOWN
  // until it stops (or its time-out passes), and one that stops then never hears SHUTDOWN. The
  // UPS's countdown must start as late as it can: after the pre-shutdown phase, in which other
  // services still save virtual machines or install updates.
  // POWEREVENT: an agent logs in again as soon as the machine wakes from sleep.
  return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE |
         SERVICE_ACCEPT_POWEREVENT;
}

DWORD HandleServiceControl(DWORD control, DWORD eventType) {
  switch (control) {
    case SERVICE_CONTROL_SHUTDOWN:
      // The last the service hears before Windows goes down, with a few seconds to act.
      if (onSystemShutdown) onSystemShutdown();
      [[fallthrough]];
    case SERVICE_CONTROL_STOP:
      ReportStatus(SERVICE_STOP_PENDING, 0, 10000);
      WakeStopWaiter();
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:  // sc control <name> paramchange: read the file again
      AskForReload();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      // Windows always sends RESUMEAUTOMATIC on waking, and RESUMESUSPEND after it when someone
      // is at the machine: either may be the first to arrive.
      if (eventType == PBT_APMRESUMEAUTOMATIC || eventType == PBT_APMRESUMESUSPEND) {
        std::lock_guard lock(resumeMutex);
        if (onResume) onResume();
      }
      return NO_ERROR;
    default:  // PRESHUTDOWN among them: not accepted, see AcceptedControls
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

int RunAsService(const std::string& name, const std::function<int()>& body) {
  serviceName = Wide(name);
  serviceBody = body;
  runningAsService = true;
  SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return serviceResult;
  runningAsService = false;  // started from a console, not by the service manager
  CatchStopRequests();
  return body();
}

void OnSystemShutdown(std::function<void()> action) {
  onSystemShutdown = std::move(action);
}

void OnResumeFromSleep(std::function<void()> action) {
  std::lock_guard lock(resumeMutex);
  onResume = std::move(action);
}

bool UnderServiceManager() {
  return runningAsService;
}

void NotifyServiceManager(const std::string& state) {
  if (state == "READY=1") ReportStatus(SERVICE_RUNNING);
  if (state == "STOPPING=1") ReportStatus(SERVICE_STOP_PENDING, 0, 10000);
}

void WriteServiceLog(int priority, const std::string& message, int messageId) {
  static HANDLE source = RegisterEventSourceW(nullptr, L"CorvaleUPS");
  const WORD type = priority <= 3   ? EVENTLOG_ERROR_TYPE
                    : priority == 4 ? EVENTLOG_WARNING_TYPE
                                    : EVENTLOG_INFORMATION_TYPE;
  // The text is UTF-8 ("Büro-USV"): the narrow call would read it in the system's code page.
  const std::wstring text = Wide(message);
  const wchar_t* strings[] = {text.c_str()};
  // The message table's IDs carry no severity bits: the ID here is the one Event Viewer shows.
  if (source != nullptr) {
    ReportEventW(source, type, 0, static_cast<DWORD>(messageId), nullptr, 1, 0, strings, nullptr);
  }
}

bool InstallService(const std::string& name, const std::string& configPath, std::string* error) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    *error = "cannot tell where this program is: " + ErrorText(GetLastError());
    return false;
  }
  const std::wstring command =
      L"\"" + std::wstring(self) + L"\" service --config \"" + Wide(configPath) + L"\"";
  const std::wstring wideName = Wide(name);
  const wchar_t* display = L"Corvale UPS monitor";
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    *error = ErrorText(GetLastError()) + " (run as an administrator)";
    return false;
  }
  ServiceHandle service(CreateServiceW(manager.get(), wideName.c_str(), display, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
  if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed again (an upgrade, another configuration): the same service, brought up to date.
    // Its start type is the administrator's: one disabled stays disabled.
    service.reset(OpenServiceW(manager.get(), wideName.c_str(), SERVICE_ALL_ACCESS));
    if (!service || !ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_NO_CHANGE, SERVICE_ERROR_NORMAL, command.c_str(),
                                          nullptr, nullptr, nullptr, nullptr, nullptr, display)) {
      *error = ErrorText(GetLastError());
      return false;
    }
  }
  if (!service) {
    *error = ErrorText(GetLastError());
    return false;
  }
  wchar_t description[] =
      L"Watches the UPS through CorvaleUPS.dll, shuts Windows down in time and shares the UPS "
      L"with the other machines it powers (NUT protocol).";
  SERVICE_DESCRIPTIONW text = {description};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
  // Restarted a minute after it fails, as Windows' own services are; the count of failures starts
  // again after a day.
  SC_ACTION restart[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW recovery = {};
  recovery.dwResetPeriod = 86400;
  recovery.cActions = 3;
  recovery.lpsaActions = restart;
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    std::fprintf(stderr, "corvale-ups: warning: cannot set the service's recovery actions: %s\n",
                 ErrorText(GetLastError()).c_str());
  }
  // The event source, so that the Event Log shows the service's own name.
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(self),
                   static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
    RegCloseKey(key);
  }
  return true;
}

bool RemoveService(const std::string& name, std::string* error, bool* wasRegistered) {
  if (wasRegistered != nullptr) *wasRegistered = true;
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    *error = ErrorText(GetLastError()) + " (run as an administrator)";
    return false;
  }
  ServiceHandle service(OpenServiceW(manager.get(), Wide(name).c_str(),
                                     DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
      if (wasRegistered != nullptr) *wasRegistered = false;
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str());
      return true;
    }
    *error = ErrorText(code);
    return false;
  }
  // Stopped before it is deleted: an uninstaller deletes the program next, which Windows refuses
  // while it runs. One starting is let finish its start first (it cannot take a stop until then),
  // one stopping its stop.
  constexpr auto kPatience = std::chrono::seconds(60);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  SERVICE_STATUS status = {};
  const auto state = [&] {
    return QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
  };
  while (state() == SERVICE_START_PENDING && std::chrono::steady_clock::now() < deadline) {
    Sleep(250);
  }
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING &&
      !ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    *error = "cannot stop it: " + ErrorText(GetLastError());
    return false;
  }
  while (state() != SERVICE_STOPPED && std::chrono::steady_clock::now() < deadline) Sleep(250);
  if (status.dwCurrentState != SERVICE_STOPPED) {
    *error = "it did not stop within " + std::to_string(kPatience.count()) +
             " s: it is left registered; stop it (net stop " + name + ") and try again";
    return false;
  }
  if (!DeleteService(service.get())) {
    *error = ErrorText(GetLastError());
    return false;
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str());
  return true;
}

bool ServiceRunning(const std::string& name) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(
      manager ? OpenServiceW(manager.get(), Wide(name).c_str(), SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status = {};
  return service && QueryServiceStatus(service.get(), &status) &&
         status.dwCurrentState != SERVICE_STOPPED;
}

}  // namespace corvale::host
