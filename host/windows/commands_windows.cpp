// Commands on Windows: the system's own cmd.exe runs each, in a job object of its own, so that one
// that hangs, or still runs when the service stops, is ended with everything it started.
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <vector>

#include "host/host_os.h"
#include "host/windows/command_line.h"
#include "host/windows/owned_handle.h"
#include "host/windows/wide_text.h"

namespace corvale::host {

namespace {

class WindowsCommand : public RunningCommand {
 public:
  WindowsCommand(HANDLE process, HANDLE job) : process_(process), job_(job) {}
  ~WindowsCommand() override {
    // The job ends whatever still runs in it when its last handle closes. A command that ended on
    // its own may have left something in the background, as a shell's may on POSIX: that lives on.
    if (ended_ && !killed_) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
      SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    CloseHandle(process_);
    CloseHandle(job_);
  }
  std::optional<ExitStatus> Poll() override {
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return std::nullopt;
    ended_ = true;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (killed_) return ExitStatus{true, 0};
    return ExitStatus{false, static_cast<int>(code)};
  }
  // Windows has no request to end: it is ended at once, with all it started.
  void Terminate() override { Kill(); }
  void Kill() override {
    if (ended_) return;
    killed_ = true;
    TerminateJobObject(job_, 1);
  }

 private:
  HANDLE process_;
  HANDLE job_;
  bool ended_ = false;
  bool killed_ = false;
};

bool UnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring Shell() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
  return ShellPath(length > 0 && length < MAX_PATH ? folder : L"C:\\Windows", UnderWow64());
}

std::wstring Upper(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return text;
}

// Ours, with `extra` replacing variables of the same name (Windows' names ignore case).
std::wstring EnvironmentBlock(const Environment& extra) {
  std::wstring block;
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::wstring text = entry;
    const std::wstring name = Upper(text.substr(0, text.find(L'=', 1)));
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& pair) {
      return Upper(Wide(pair.first)) == name;
    });
    if (!replaced) block += text + L'\0';
  }
  if (inherited != nullptr) FreeEnvironmentStringsW(inherited);
  for (const auto& [key, value] : extra) block += Wide(key) + L"=" + Wide(value) + L'\0';
  block += L'\0';
  return block;
}

// An inheritable copy of our `which` output where it is a file or a pipe; a console is not
// shared with a command that has no window of its own.
HANDLE Output(DWORD which) {
  const HANDLE ours = GetStdHandle(which);
  if (ours == nullptr || ours == INVALID_HANDLE_VALUE) return nullptr;
  const DWORD type = GetFileType(ours);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) return nullptr;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), ours, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

}  // namespace

std::unique_ptr<RunningCommand> StartCommand(const std::string& command, const Environment& extra,
                                             std::string* error) {
  const auto fail = [error](const std::string& what) {
    *error = what + ": " + ErrorText(GetLastError());
    return nullptr;
  };
  // In a job of its own: a hook that hangs is ended with all it started, and whatever still runs
  // when the service ends (even by a crash) goes with the job's last handle.
  const char* failedStep = "";
  Handle job(KillOnCloseJob(&failedStep));
  if (!job) return fail(failedStep);

  // Input from NUL: `pause` or a prompt ends at once instead of waiting for a key on a console
  // nobody sees. Nothing else of ours is handed on: no listening socket, client connection or
  // serial port may outlive the service in a command's background process.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  Handle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!nul) return fail("cannot open NUL for its input");
  Handle out(Output(STD_OUTPUT_HANDLE)), err(Output(STD_ERROR_HANDLE));
  std::vector<HANDLE> handed = {nul.get()};
  for (const Handle* handle : {&out, &err}) {
    if (*handle) handed.push_back(handle->get());
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> attributeMemory(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    return fail("cannot prepare its start");
  }
  const bool listed =
      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed.data(),
                                handed.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
  if (!listed) {
    DeleteProcThreadAttributeList(attributes);
    return fail("cannot prepare its start");
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.get();
  startup.StartupInfo.hStdOutput = out ? out.get() : nul.get();
  startup.StartupInfo.hStdError = err ? err.get() : nul.get();
  startup.lpAttributeList = attributes;

  const std::wstring shell = Shell();
  std::wstring line = ShellCommandLine(shell, Wide(command));
  std::wstring environment = EnvironmentBlock(extra);
  PROCESS_INFORMATION process = {};
  const bool created =
      CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                         EXTENDED_STARTUPINFO_PRESENT,
                     environment.data(), nullptr, &startup.StartupInfo, &process) != 0;
  const DWORD createError = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  if (!created) {
    SetLastError(createError);
    return fail("cannot start " + Utf8(shell));
  }
  Handle thread(process.hThread);
  Handle child(process.hProcess);
  // Not a step of it may run outside the job: where it cannot be put there (a service kept in a
  // job of its own on Windows 7), it does not run at all.
  if (!AssignProcessToJobObject(job.get(), child.get())) {
    const DWORD assignError = GetLastError();
    TerminateProcess(child.get(), 1);
    SetLastError(assignError);
    return fail("cannot put it in a job object of its own, where it could be ended if it hangs");
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    TerminateJobObject(job.get(), 1);
    return fail("cannot start it");
  }
  return std::make_unique<WindowsCommand>(child.release(), job.release());
}

}  // namespace corvale::host
