// Stop requests, the system's shutdown, file locations and the service's own files on Windows.
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "host/host_os.h"
#include "host/utf8_path.h"
#include "host/windows/file_access.h"
#include "host/windows/service_control.h"
#include "host/windows/wide_text.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

// Auto-reset: each request ends one wait.
HANDLE stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
HANDLE reloadEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

std::string ProgramData() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? Utf8(folder) : "C:\\ProgramData";
}

std::string DataFolder() {
  return ProgramData() + "\\Corvale";
}

// ERROR_SHUTDOWN_IS_SCHEDULED, which mingw-w64's headers lack: a shutdown counts down already.
constexpr DWORD kShutdownIsScheduled = 1190;

// Turns on a privilege this process holds; false when it holds none such.
bool EnablePrivilege(const wchar_t* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  CloseHandle(token);
  return enabled;
}

struct LocalFreed {
  void operator()(void* memory) const { LocalFree(memory); }
};
using Descriptor = std::unique_ptr<void, LocalFreed>;

// A security descriptor from SDDL; null when it cannot be made.
Descriptor Security(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
  return Descriptor(descriptor);
}

bool IsLink(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The folder `path` (which may not exist yet) as `UntrustedFolder` judges it.
std::optional<std::string> FolderProblem(const fs::path& path) {
  fs::path existing = path;
  bool missing = false;
  auto problem = OthersMayChange(existing, Guard::kWhole, &missing);
  while (missing && existing != existing.parent_path()) {
    existing = existing.parent_path();
    problem = OthersMayChange(existing, Guard::kWhole, &missing);
  }
  if (problem && existing != path) {
    // Whoever may make things there could make the folder first, and own it.
    return "there is no folder " + Utf8FromPath(path) + " yet, and in " + Utf8FromPath(existing) +
           ", where it would be made, " + *problem +
           ": make it the administrators' own first: mkdir \"" + Utf8FromPath(path) + "\" && " +
           FolderFix(Utf8FromPath(path));
  }
  if (problem) {
    return Utf8FromPath(path) + ": " + *problem +
           ". Let only the administrators change it: " + FolderFix(Utf8FromPath(path));
  }
  if (IsLink(existing)) {
    return Utf8FromPath(existing) + " is a link or junction: the service's folders are real ones";
  }
  for (fs::path above = existing.parent_path();; above = above.parent_path()) {
    if (auto aboveProblem = OthersMayChange(above, Guard::kAbove)) {
      return Utf8FromPath(above) + ", above " + Utf8FromPath(path) + ": " + *aboveProblem;
    }
    if (above == above.parent_path()) break;
  }
  return std::nullopt;
}

fs::path Absolute(const std::string& path) {
  std::error_code ignored;
  const fs::path given = PathFromUtf8(path);
  return given.is_absolute() ? given : fs::absolute(given, ignored);
}

// The service's folders: made here, whatever they hold, the administrators' alone.
class WindowsFolder : public Folder {
 public:
  explicit WindowsFolder(fs::path folder) : folder_(std::move(folder)) {}

  std::vector<Entry> List(std::size_t limit) override {
    std::vector<Entry> entries;
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
      if (entries.size() >= limit) break;
      std::error_code ignored;
      const auto changed = entry.last_write_time(ignored);
      entries.push_back({Utf8FromPath(entry.path().filename()),
                         entry.is_regular_file(ignored) && !entry.is_symlink(ignored),
                         ignored
                             ? std::chrono::seconds(0)
                             : std::chrono::duration_cast<std::chrono::seconds>(now - changed)});
    }
    return entries;
  }

  bool Remove(const std::string& name) override {
    std::error_code error;
    return fs::remove_all(folder_ / PathFromUtf8(name), error) > 0 && !error;
  }

  bool Create(const std::string& name, std::string* error) override {
    HANDLE file = CreateFileW((folder_ / PathFromUtf8(name)).wstring().c_str(), GENERIC_WRITE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = ErrorText(GetLastError());
      return false;
    }
    CloseHandle(file);
    return true;
  }

  // Written to a new file, flushed, then moved over whatever was at the name.
  bool Replace(const std::string& name, const std::string& contents, std::string* error,
               bool secret) override {
    const fs::path target = folder_ / PathFromUtf8(name);
    const fs::path temporary = folder_ / PathFromUtf8("." + name + ".tmp");
    // A secret is the administrators' and SYSTEM's alone; the rest takes the folder's list.
    const Descriptor security = secret ? Security(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)") : nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.get(), FALSE};
    HANDLE file =
        CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, security ? &attributes : nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = "cannot write " + Utf8FromPath(temporary) + ": " + ErrorText(GetLastError());
      return false;
    }
    DWORD written = 0;
    const bool done =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
        written == contents.size() && FlushFileBuffers(file);
    const DWORD failure = GetLastError();
    CloseHandle(file);
    if (!done || !MoveFileExW(temporary.wstring().c_str(), target.wstring().c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      *error = "cannot write " + Utf8FromPath(target) + ": " +
               ErrorText(done ? GetLastError() : failure);
      DeleteFileW(temporary.wstring().c_str());
      return false;
    }
    return true;
  }

  bool Rename(const std::string& from, const std::string& to, std::string* error) override {
    error->clear();
    const fs::path source = folder_ / PathFromUtf8(from);
    const DWORD attributes = GetFileAttributesW(source.wstring().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD failure = GetLastError();
      if (failure != ERROR_FILE_NOT_FOUND && failure != ERROR_PATH_NOT_FOUND) {
        *error = ErrorText(failure);
      }
      return false;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      *error = from + " is not a plain file";
      return false;
    }
    const fs::path target = folder_ / PathFromUtf8(to);
    // A folder in the way is removed; MoveFileEx replaces a file or a link itself.
    std::error_code ignored;
    if (fs::is_directory(fs::symlink_status(target, ignored))) fs::remove_all(target, ignored);
    if (!MoveFileExW(source.wstring().c_str(), target.wstring().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      *error = ErrorText(GetLastError());
      return false;
    }
    return true;
  }

  std::optional<std::string> ReadOwnFile(const std::string& name, std::size_t limit,
                                         std::string* why) override {
    why->clear();
    const fs::path path = folder_ / PathFromUtf8(name);
    bool missing = false;
    if (auto problem = OthersMayChange(path, Guard::kWhole, &missing)) {
      *why = *problem;
      return std::nullopt;
    }
    if (missing) return std::nullopt;
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *why = ErrorText(GetLastError());
      return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    std::optional<std::string> contents;
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        information.nNumberOfLinks != 1) {
      *why = "it is not a plain file of its own (a folder, a link, or a file with another name)";
    } else if (information.nFileSizeHigh != 0 || information.nFileSizeLow > limit) {
      *why = "it is larger than " + std::to_string(limit) + " bytes";
    } else {
      std::string text(information.nFileSizeLow, '\0');
      DWORD read = 0;
      if (ReadFile(file, text.data(), information.nFileSizeLow, &read, nullptr) &&
          read == information.nFileSizeLow) {
        contents = std::move(text);
      } else {
        *why = ErrorText(GetLastError());
      }
    }
    CloseHandle(file);
    return contents;
  }

 private:
  fs::path folder_;
};

}  // namespace

std::optional<std::int64_t> HoldConnectionToTheEnd(std::intptr_t, std::chrono::seconds,
                                                   std::string* why) {
  // A socket belongs to the process that made it (WSADuplicateSocket needs the other process to
  // take it up), and Windows ends a service's process when it reports it has stopped.
  *why = "on Windows the connection ends with the service's process";
  return std::nullopt;
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

void AskForReload() {
  SetEvent(reloadEvent);
}

ServiceRequest WaitForServiceRequest() {
  // The stop first: a reload asked for just before it is moot.
  const HANDLE events[] = {stopEvent, reloadEvent};
  const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  return woken == WAIT_OBJECT_0 + 1 ? ServiceRequest::kReload : ServiceRequest::kStop;
}

bool ShutDownSystem(const std::string& reason, std::string* error, std::string* notice) {
  // Both calls need the shutdown privilege, turned on first; a planned shutdown for a power
  // failure, with the reason in the text Windows shows and logs ("Büro-USV: power failure").
  EnablePrivilege(L"SeShutdownPrivilege");
  std::wstring message = Wide(reason);
  const DWORD why =
      SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT | SHTDN_REASON_FLAG_PLANNED;
  const auto shutDown = [&] {
    return InitiateSystemShutdownExW(nullptr, message.data(), 0, TRUE, FALSE, why) != 0;
  };
  if (shutDown()) return true;
  DWORD failure = GetLastError();
  if (failure == ERROR_SHUTDOWN_IN_PROGRESS) {
    if (notice != nullptr) *notice = "the system is already shutting down";
    return true;
  }
  if (failure == kShutdownIsScheduled) {
    // A countdown under way (shutdown /r /t 3600, an installer's restart) refuses every other
    // shutdown, and would come too late or be cancelled: it gives way to this one, now.
    if (!AbortSystemShutdownW(nullptr)) {
      *error = "a shutdown is already counting down and cannot be aborted for this one: " +
               ErrorText(GetLastError());
      return false;
    }
    if (notice != nullptr) {
      *notice =
          "a shutdown was already counting down (scheduled by an administrator or an installer): "
          "aborted it to shut down now";
    }
    if (shutDown()) return true;
    failure = GetLastError();
  }
  *error = ErrorText(failure);
  return false;
}

std::string DefaultConfigPath() {
  return DataFolder() + "\\corvale-ups.toml";
}

bool RunningAsAdministrator() {
  return true;  // the service runs as LocalSystem; by hand, the calls say when it may not
}

std::optional<std::string> InstalledHelperProblem() {
  return std::nullopt;  // the service has the rights itself and asks no helper
}

std::string DefaultRequestFolder() {
  return DataFolder() + "\\requests";
}

std::string DefaultResultFolder() {
  return DataFolder() + "\\results";
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
  HANDLE file = CreateFileW(Absolute(path).wstring().c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText(GetLastError());
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
  if (!done) *error = ErrorText(GetLastError());
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

bool AppendDurably(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, true, error);
}

bool AppendToFile(const std::string& path, const std::string& data, std::string* error) {
  return Append(path, data, false, error);
}

std::unique_ptr<ReadableFile> OpenRegularFile(const std::string& path, std::string* why) {
  why->clear();
  HANDLE file = CreateFileW(Absolute(path).wstring().c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD failed = GetLastError();
    if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_PATH_NOT_FOUND) {
      *why = "cannot read " + path + ": " + ErrorText(failed);
    }
    return nullptr;
  }
  if (!RegularFile(file, path, why)) {
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<WindowsReadableFile>(file);
}

std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name, std::string* error) {
  // From the system's folder only: never a planted copy beside the program or in the working
  // folder.
  HMODULE module = LoadLibraryExW(Wide(name).c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    *error = "cannot load " + name + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  return std::make_unique<WindowsLibrary>(module);
}

bool SyncFolderOf(const std::string&, std::string*) {
  // NTFS keeps a folder's entries in its journal, written before the files' data: nothing to do.
  return true;
}

std::string DefaultHistoryFile() {
  return DataFolder() + "\\history.jsonl";
}

std::vector<std::string> SerialSetupWarnings(const std::string&, const std::string&,
                                             const std::string& port) {
  // The driver's keys live in the system's registry; only the port may be missing.
  wchar_t target[512];
  if (QueryDosDeviceW(Wide(port).c_str(), target, 512) != 0) return {};
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
  return DataFolder() + "\\killpower";
}

std::optional<std::string> UntrustedConfig(const std::string& path, bool passwords) {
  const fs::path file = Absolute(path);
  const std::string name = Utf8FromPath(file);
  const std::string fix = "icacls \"" + name + "\" /setowner *S-1-5-32-544 && icacls \"" + name +
                          "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F";
  bool missing = false;
  if (auto problem = OthersMayChange(file, Guard::kWhole, &missing)) {
    return name + ": " + *problem +
           ", and whoever may change it chooses the commands the service runs as SYSTEM. Let only "
           "the administrators change it: " +
           fix;
  }
  if (missing) return std::nullopt;  // unread; the loader says so
  // Its folder, whole: a file there could be replaced, or made before the installer's.
  const fs::path folder = file.parent_path();
  if (auto problem = OthersMayChange(folder, Guard::kWhole)) {
    return Utf8FromPath(folder) + ", which holds " + name + ": " + *problem +
           ", and could put a configuration of their own there. Let only the administrators "
           "change it: " +
           FolderFix(Utf8FromPath(folder));
  }
  for (fs::path above = folder.parent_path();; above = above.parent_path()) {
    if (auto problem = OthersMayChange(above, Guard::kAbove)) {
      return Utf8FromPath(above) + ", above " + name + ": " + *problem;
    }
    if (above == above.parent_path()) break;
  }
  if (passwords) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(file.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
      const Descriptor owned(descriptor);
      if (AclLetsOthersRead(dacl)) {
        return name +
               " holds passwords and others may read it. Let only the administrators read "
               "it: " +
               fix;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> ExposedSecretFile(const std::string& path) {
  const fs::path file = Absolute(path);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(file.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const Descriptor owned(descriptor);
  if (!AclLetsOthersRead(dacl)) return std::nullopt;
  return path + " holds a secret and other users may read it. Let only administrators read it: " +
         "icacls \"" + path + "\" /inheritance:r /grant:r Administrators:F SYSTEM:F";
}

std::optional<std::string> UntrustedFolder(const std::string& path) {
  if (path.empty()) return std::nullopt;
  return FolderProblem(Absolute(path));
}

std::optional<std::string> UntrustedStateFile(const std::string& path) {
  const fs::path file = Absolute(path);
  if (auto problem = FolderProblem(file.parent_path())) return problem;
  if (auto problem = OthersMayChange(file, Guard::kWhole)) {
    return Utf8FromPath(file) + ": " + *problem +
           "; the service keeps it for itself. Remove it, or let only the administrators change "
           "it: " +
           FileFix(Utf8FromPath(file));
  }
  return std::nullopt;
}

bool PrepareDataFolder(std::string* error) {
  const fs::path folder = PathFromUtf8(DataFolder());
  // Taken back from whoever made it, when somebody did before the installation.
  EnablePrivilege(L"SeTakeOwnershipPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");
  const Descriptor security = Security(kDataFolderSecurity);
  if (!security) {
    *error = "cannot make its access list: " + ErrorText(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.get(), FALSE};
  if (!CreateDirectoryW(folder.wstring().c_str(), &attributes) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "cannot make " + Utf8FromPath(folder) + ": " + ErrorText(GetLastError());
    return false;
  }
  // Owned by the Administrators, with the list above, either way.
  const DWORD attributesNow = GetFileAttributesW(folder.wstring().c_str());
  if (attributesNow == INVALID_FILE_ATTRIBUTES || (attributesNow & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributesNow & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = Utf8FromPath(folder) +
             " is not a folder of its own (a file, a link or a junction): remove it and install "
             "again";
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted);
  BYTE owner[SECURITY_MAX_SID_SIZE];
  DWORD ownerSize = sizeof owner;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, owner, &ownerSize);
  const DWORD result = SetNamedSecurityInfoW(
      const_cast<wchar_t*>(folder.wstring().c_str()), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
  if (result != ERROR_SUCCESS) {
    *error =
        "cannot make " + Utf8FromPath(folder) + " the administrators' own: " + ErrorText(result);
    return false;
  }
  return true;
}

bool WriteSecretFile(const std::string& path, const std::string& text, std::string* error) {
  // Owned by the Administrators; SYSTEM and they alone, nothing inherited from the folder.
  const Descriptor security = Security(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
  if (!security) {
    *error = "cannot make its access list: " + ErrorText(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.get(), FALSE};
  const HANDLE file = CreateFileW(Absolute(path).wstring().c_str(), GENERIC_WRITE, 0, &attributes,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot make " + path + ": " + ErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  const bool whole =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  if (!whole) *error = "cannot write " + path + ": " + ErrorText(GetLastError());
  CloseHandle(file);
  return whole;
}

std::unique_ptr<Folder> OpenFolder(const std::string& path, bool rootOnly, bool create,
                                   std::string* why) {
  const fs::path folder = Absolute(path);
  if (rootOnly) {
    if (auto untrusted = FolderProblem(folder)) {
      *why = *untrusted;
      return nullptr;
    }
  }
  std::error_code error;
  if (create && !fs::exists(folder, error)) {
    fs::create_directories(folder.parent_path(), error);
    // The administrators' alone, whatever the folder above hands down.
    const Descriptor security = rootOnly ? Security(kDataFolderSecurity) : nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.get(), FALSE};
    CreateDirectoryW(folder.wstring().c_str(), security ? &attributes : nullptr);
  }
  if (!fs::is_directory(folder, error) || IsLink(folder)) {
    *why = "there is no folder " + Utf8FromPath(folder);
    return nullptr;
  }
  return std::make_unique<WindowsFolder>(folder);
}

std::string MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return "this machine";
  return Utf8(name);
}

}  // namespace corvale::host
