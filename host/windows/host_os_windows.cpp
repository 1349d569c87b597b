// Processes, stop requests and file locations on Windows.
#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/host_os.h"
#include "host/windows/file_access.h"
#include "host/windows/service_control.h"

namespace corvale::host {

namespace {

std::string LastError() {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

class WindowsCommand : public RunningCommand {
 public:
  WindowsCommand(HANDLE process, HANDLE job) : process_(process), job_(job) {}
  ~WindowsCommand() override {
    CloseHandle(process_);
    CloseHandle(job_);  // the job stays alive while its processes run
  }
  std::optional<ExitStatus> Poll() override {
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return ExitStatus{false, static_cast<int>(code)};
  }
  void Terminate() override { Kill(); }
  void Kill() override { TerminateJobObject(job_, 1); }

 private:
  HANDLE process_;
  HANDLE job_;
};

// Auto-reset: each request ends one wait.
HANDLE stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
HANDLE reloadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

std::string ProgramData() {
  char folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("ProgramData", folder, sizeof folder);
  return length > 0 && length < sizeof folder ? folder : "C:\\ProgramData";
}

}  // namespace

std::unique_ptr<RunningCommand> StartCommand(const std::string& command, const Environment& extra,
                                             std::string* error) {
  // The environment block: ours, with `extra` replacing variables of the same name.
  std::string block;
  char* inherited = GetEnvironmentStringsA();
  for (const char* entry = inherited; *entry != '\0'; entry += std::strlen(entry) + 1) {
    const std::string text = entry;
    const std::string name = Upper(text.substr(0, text.find('=', 1)));
    bool replaced = false;
    for (const auto& [key, value] : extra) replaced = replaced || Upper(key) == name;
    if (!replaced) block += text + '\0';
  }
  FreeEnvironmentStringsA(inherited);
  for (const auto& [key, value] : extra) block += key + "=" + value + '\0';
  block += '\0';

  std::string line = "cmd.exe /c " + command;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // In a job of its own, so that a hook that hangs can be ended with all it started.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED, block.data(), nullptr, &startup,
                      &process)) {
    *error = LastError();
    CloseHandle(job);
    return nullptr;
  }
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  return std::make_unique<WindowsCommand>(process.hProcess, job);
}

void CatchStopRequests() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopRequest() {
  WaitForSingleObject(stopEvent, INFINITE);
}

void WakeStopWaiter() {
  SetEvent(stopEvent);
}

ServiceRequest WaitForServiceRequest() {
  // The stop first: a reload asked for just before it is moot.
  const HANDLE events[] = {stopEvent, reloadEvent};
  const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  return woken == WAIT_OBJECT_0 + 1 ? ServiceRequest::kReload : ServiceRequest::kStop;
}

namespace {

bool runningAsService = false;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::function<int()> serviceBody;
std::function<void()> onSystemShutdown;
std::string serviceName;
int serviceResult = 0;

void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
  if (statusHandle == nullptr) return;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
          : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = waitHint;
  SetServiceStatus(statusHandle, &status);
}

}  // namespace

DWORD HandleServiceControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      if (onSystemShutdown) onSystemShutdown();
      [[fallthrough]];
    case SERVICE_CONTROL_STOP:
      ReportStatus(SERVICE_STOP_PENDING, 0, 10000);
      SetEvent(stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:  // sc control <name> paramchange: read the file again
      SetEvent(reloadEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

namespace {

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  return HandleServiceControl(control);
}

void WINAPI ServiceMain(DWORD, char**) {
  statusHandle = RegisterServiceCtrlHandlerExA(serviceName.c_str(), OnServiceControl, nullptr);
  ReportStatus(SERVICE_START_PENDING, 0, 10000);
  serviceResult = serviceBody();
  ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(serviceResult));
}

}  // namespace

int RunAsService(const std::string& name, const std::function<int()>& body) {
  serviceName = name;
  serviceBody = body;
  runningAsService = true;
  SERVICE_TABLE_ENTRYA table[] = {{serviceName.data(), ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return serviceResult;
  runningAsService = false;  // started from a console, not by the service manager
  CatchStopRequests();
  return body();
}

void OnSystemShutdown(std::function<void()> action) {
  onSystemShutdown = std::move(action);
}

bool UnderServiceManager() {
  return runningAsService;
}

void NotifyServiceManager(const std::string& state) {
  if (state == "READY=1") ReportStatus(SERVICE_RUNNING);
  if (state == "STOPPING=1") ReportStatus(SERVICE_STOP_PENDING, 0, 10000);
}

void WriteServiceLog(int priority, const std::string& message, int messageId) {
  static HANDLE source = RegisterEventSourceA(nullptr, "CorvaleUPS");
  const WORD type = priority <= 3   ? EVENTLOG_ERROR_TYPE
                    : priority == 4 ? EVENTLOG_WARNING_TYPE
                                    : EVENTLOG_INFORMATION_TYPE;
  const char* strings[] = {message.c_str()};
  // The message table's IDs carry no severity bits: the ID here is the one Event Viewer shows.
  if (source != nullptr) {
    ReportEventA(source, type, 0, static_cast<DWORD>(messageId), nullptr, 1, 0, strings, nullptr);
  }
}

bool ShutDownSystem(const std::string& reason, std::string* error) {
  // The shutdown privilege first, then a planned shutdown for a power failure.
  HANDLE token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
  }
  std::wstring message(reason.begin(), reason.end());
  if (InitiateSystemShutdownExW(
          nullptr, message.data(), 0, TRUE, FALSE,
          SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT | SHTDN_REASON_FLAG_PLANNED)) {
    return true;
  }
  *error = LastError();
  return false;
}

bool InstallService(const std::string& name, const std::string& configPath, std::string* error) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string command =
      "\"" + std::string(self) + "\" service --config \"" + configPath + "\"";
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    *error = LastError() + " (run as an administrator)";
    return false;
  }
  SC_HANDLE service =
      CreateServiceA(manager, name.c_str(), "Corvale UPS monitor", SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed again (an upgrade, another configuration): the same service, brought up to date.
    service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr &&
        !ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, "Corvale UPS monitor")) {
      CloseServiceHandle(service);
      service = nullptr;
    }
  }
  if (service == nullptr) {
    *error = LastError();
    CloseServiceHandle(manager);
    return false;
  }
  char description[] =
      "Watches the UPS through CorvaleUPS.dll, shuts Windows down in time and shares the UPS "
      "with the other machines it powers (NUT protocol).";
  SERVICE_DESCRIPTIONA text = {description};
  ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
  SERVICE_PRESHUTDOWN_INFO preshutdown = {30000};  // time to order the UPS off
  ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
  // Restarted a minute after it fails, as Windows' own services are; the count of failures starts
  // again after a day.
  SC_ACTION restart[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSA recovery = {};
  recovery.dwResetPeriod = 86400;
  recovery.cActions = 3;
  recovery.lpsaActions = restart;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    std::fprintf(stderr, "corvale-ups: warning: cannot set the service's recovery actions: %s\n",
                 LastError().c_str());
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  // The event source, so that the Event Log shows the service's own name.
  HKEY key;
  if (RegCreateKeyExA(
          HKEY_LOCAL_MACHINE,
          ("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name).c_str(), 0,
          nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(self),
                   static_cast<DWORD>(std::strlen(self) + 1));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
    RegCloseKey(key);
  }
  return true;
}

bool RemoveService(const std::string& name, std::string* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr
          ? OpenServiceA(manager, name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)
          : nullptr;
  bool removed = false;
  if (service != nullptr) {
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      // Until it has ended: an uninstaller deletes the program next, which Windows refuses while
      // it runs.
      for (int waited = 0; waited < 300 && QueryServiceStatus(service, &status) &&
                           status.dwCurrentState != SERVICE_STOPPED;
           ++waited) {
        Sleep(100);
      }
    }
    removed = DeleteService(service) != 0;
  }
  if (!removed) *error = LastError();
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                ("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name).c_str());
  return removed;
}

bool ServiceRunning(const std::string& name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status = {};
  const bool running = service != nullptr && QueryServiceStatus(service, &status) &&
                       status.dwCurrentState != SERVICE_STOPPED;
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return running;
}

std::string DefaultConfigPath() {
  return ProgramData() + "\\Corvale\\corvale-ups.toml";
}

bool RunningAsAdministrator() {
  return true;  // the service runs as LocalSystem; by hand, the calls say when it may not
}

std::optional<std::string> InstalledHelperProblem() {
  return std::nullopt;  // the service has the rights itself and asks no helper
}

std::string DefaultRequestFolder() {
  return ProgramData() + "\\Corvale\\requests";
}

std::string DefaultResultFolder() {
  return ProgramData() + "\\Corvale\\results";
}

std::string DefaultShutdownCommand() {
  return "";  // InitiateSystemShutdownExW, with a power-failure reason
}

namespace {

// Whether `file` is a regular file on a disk, not a pipe, a device or a link opened as itself;
// `why` says what it is otherwise.
bool RegularFile(HANDLE file, const std::string& path, std::string* why) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    *why = path + " is a link, a pipe or a device, not a regular file";
    return false;
  }
  return true;
}

bool Append(const std::string& path, const std::string& data, bool sync, std::string* error) {
  // The link itself, never what it points at: refused below.
  HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return false;
  }
  if (!RegularFile(file, path, error)) {
    CloseHandle(file);
    return false;
  }
  DWORD written = 0;
  const bool done =
      WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
      written == data.size() && (!sync || FlushFileBuffers(file));
  if (!done) *error = LastError();
  CloseHandle(file);
  return done;
}

class WindowsReadableFile : public ReadableFile {
 public:
  explicit WindowsReadableFile(HANDLE file) : file_(file) {}
  ~WindowsReadableFile() override { CloseHandle(file_); }
  std::uint64_t Size() override {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file_, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  }
  std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      // A synchronous handle reads from the OVERLAPPED's offset and returns when done.
      OVERLAPPED at{};
      const std::uint64_t from = offset + done;
      at.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
      at.OffsetHigh = static_cast<DWORD>(from >> 32);
      DWORD now = 0;
      const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 20));
      if (!ReadFile(file_, into + done, asked, &now, &at) || now == 0) break;
      done += now;
    }
    return done;
  }

 private:
  HANDLE file_;
};

}  // namespace

bool AppendDurably(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, true, error);
}

bool AppendToFile(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, false, error);
}

std::unique_ptr<ReadableFile> OpenRegularFile(const std::string& path, std::string* why) {
  why->clear();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD failed = GetLastError();
    if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_PATH_NOT_FOUND) {
      *why = "cannot read " + path + ": " + LastError();
    }
    return nullptr;
  }
  if (!RegularFile(file, path, why)) {
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<WindowsReadableFile>(file);
}

bool SyncFolderOf(const std::string&, std::string*) {
  // NTFS keeps a folder's entries in its journal, written before the files' data: nothing to do.
  return true;
}

std::string DefaultHistoryFile() {
  return ProgramData() + "\\Corvale\\history.jsonl";
}

std::vector<std::string> SerialSetupWarnings(const std::string&, const std::string&,
                                             const std::string& port) {
  // The driver's keys live in the system's registry; only the port may be missing.
  char target[512];
  if (QueryDosDeviceA(port.c_str(), target, sizeof target) != 0) return {};
  return {"ups.port: there is no " + port +
          " on this machine yet; the service waits for it (a USB adapter may appear later; "
          "Device Manager lists the COM ports under Ports)"};
}

const char* PortRule() {
  return "a COM port in 1 to 7 characters (such as \"COM3\")";
}

std::size_t OpenFileLimit() {
  return 16384;  // sockets are handles here, bounded by memory rather than a per-process limit
}

void RaiseOpenFileLimit() {}

std::vector<std::string> ServiceWritableFolders() {
  return {};  // LocalSystem may write anywhere
}

std::string DefaultFlagFile() {
  return ProgramData() + "\\Corvale\\killpower";
}

namespace {

bool AclLetsOthers(const ACL* dacl, ACCESS_MASK access) {
  if (dacl == nullptr) return true;
  for (const WELL_KNOWN_SID_TYPE type :
       {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
    BYTE others[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof others;
    if (!CreateWellKnownSid(type, nullptr, others, &size)) continue;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
      void* found = nullptr;
      if (!GetAce(const_cast<ACL*>(dacl), index, &found)) break;
      const auto* header = static_cast<const ACE_HEADER*>(found);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
        continue;
      }
      // Allowed and denied entries share their layout: the mask, then the SID.
      const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(found);
      if (!EqualSid(const_cast<DWORD*>(&entry->SidStart), others) || !(entry->Mask & access)) {
        continue;
      }
      if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) return true;
      break;  // denied to this group: look at the next
    }
  }
  return false;
}

// Whether others may do `what` to `path`, by its access list; false when it cannot be read.
bool OthersMay(const std::string& path, bool (*what)(const ACL*)) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;  // nobody can look at it, so nobody else reads it either
  }
  const bool may = what(dacl);
  LocalFree(descriptor);
  return may;
}

}  // namespace

bool AclLetsOthersRead(const ACL* dacl) {
  return AclLetsOthers(dacl, FILE_READ_DATA | GENERIC_READ | GENERIC_ALL);
}

bool AclLetsOthersWrite(const ACL* dacl) {
  return AclLetsOthers(dacl, FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL |
                                 WRITE_DAC | WRITE_OWNER | DELETE);
}

std::optional<std::string> UntrustedConfig(const std::string& path, bool passwords) {
  const std::string fix =
      "icacls \"" + path + "\" /inheritance:r /grant:r Administrators:F SYSTEM:F";
  if (OthersMay(path, AclLetsOthersWrite)) {
    return path +
           " may be changed by every user, who would choose the commands the service "
           "runs. Let only administrators change it: " +
           fix;
  }
  if (passwords && OthersMay(path, AclLetsOthersRead)) {
    return path +
           " holds passwords and every user may read it. Let only administrators read "
           "it: " +
           fix;
  }
  return std::nullopt;
}

std::optional<std::string> ExposedSecretFile(const std::string& path) {
  if (!OthersMay(path, AclLetsOthersRead)) return std::nullopt;
  return path + " holds a secret and every user may read it. Let only administrators read it: " +
         "icacls \"" + path + "\" /inheritance:r /grant:r Administrators:F SYSTEM:F";
}

namespace {

// ProgramData's folder is the administrators': files there are worked on by path, as they were.
class WindowsFolder : public Folder {
 public:
  explicit WindowsFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::vector<Entry> List(std::size_t limit) override {
    namespace fs = std::filesystem;
    std::vector<Entry> entries;
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
      if (entries.size() >= limit) break;
      std::error_code ignored;
      const auto changed = entry.last_write_time(ignored);
      entries.push_back({entry.path().filename().string(),
                         entry.is_regular_file(ignored) && !entry.is_symlink(ignored),
                         ignored
                             ? std::chrono::seconds(0)
                             : std::chrono::duration_cast<std::chrono::seconds>(now - changed)});
    }
    return entries;
  }

  bool Remove(const std::string& name) override {
    std::error_code error;
    return std::filesystem::remove_all(folder_ / name, error) > 0 && !error;
  }

  bool Create(const std::string& name, std::string* error) override {
    const std::string path = (folder_ / name).string();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = LastError();
      return false;
    }
    CloseHandle(file);
    return true;
  }

  // `secret` matters only to the Linux root helper's copy of the file; nothing here asks for it.
  bool Replace(const std::string& name, const std::string& contents, std::string* error,
               bool /*secret*/) override {
    const auto temporary = folder_ / ("." + name + ".tmp");
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << contents;
      if (!out.flush()) {
        *error = "cannot write " + temporary.string();
        return false;
      }
    }
    std::error_code failure;
    std::filesystem::rename(temporary, folder_ / name, failure);
    if (failure) *error = failure.message();
    return !failure;
  }

  std::optional<std::string> ReadOwnFile(const std::string& name, std::size_t limit,
                                         std::string* why) override {
    why->clear();
    std::error_code error;
    const auto path = folder_ / name;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    if (std::filesystem::file_size(path, error) > limit || error) {
      *why = "it is larger than " + std::to_string(limit) + " bytes";
      return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

std::unique_ptr<Folder> OpenFolder(const std::string& path, bool, bool create, std::string* why) {
  std::error_code error;
  if (create) std::filesystem::create_directories(path, error);
  if (!std::filesystem::is_directory(path, error)) {
    *why = "there is no folder " + path;
    return nullptr;
  }
  return std::make_unique<WindowsFolder>(path);
}

std::optional<std::string> UntrustedFolder(const std::string&) {
  return std::nullopt;  // the service runs as LocalSystem and writes its own folders
}

namespace {

class WindowsLibrary : public SharedLibrary {
 public:
  explicit WindowsLibrary(HMODULE module) : module_(module) {}
  void* Find(const char* symbol) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, symbol));
  }

 private:
  HMODULE module_;  // kept loaded
};

}  // namespace

std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name, std::string* error) {
  // From the system's folder only: never a planted copy beside the program or in the working
  // folder.
  HMODULE module = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    *error = "cannot load " + name + ": " + LastError();
    return nullptr;
  }
  return std::make_unique<WindowsLibrary>(module);
}

std::string MachineName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "this machine";
  return name;
}

}  // namespace corvale::host
