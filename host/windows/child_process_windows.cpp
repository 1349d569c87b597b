// A UPS's driver process on Windows: started with two pipes as its standard input and output,
// handed exactly those (an explicit inheritance list), in a job object that ends it when the
// service's last handle to the job closes, even when the service crashes. In the child, the
// registry's HKEY_LOCAL_MACHINE is redirected to a key of this UPS's own, so that two drivers
// never read each other's "Port" or write over each other's status.
#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "host/child_process.h"
#include "host/windows/owned_handle.h"
#include "host/windows/wide_text.h"

namespace corvale::host {

namespace {

class WindowsChild final : public ChildProcess {
 public:
  WindowsChild(HANDLE process, HANDLE job, HANDLE input, HANDLE output)
      : process_(process), job_(job), input_(input), output_(output) {}
  ~WindowsChild() override {
    input_.Close();
    Kill();
    Wait(std::chrono::seconds(5));
  }

  ReadResult Read(char* buffer, std::size_t size, std::chrono::milliseconds wait,
                  std::size_t* got) override {
    // An anonymous pipe has no overlapped reads: look before reading, so that a read never waits.
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
        return ReadResult::kEnded;
      }
      if (available > 0) {
        DWORD count = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, available));
        if (!ReadFile(output_.get(), buffer, wanted, &count, nullptr) || count == 0) {
          return ReadResult::kEnded;
        }
        *got = count;
        return ReadResult::kData;
      }
      if (std::chrono::steady_clock::now() >= until) return ReadResult::kNothingYet;
      Sleep(10);
    }
  }

  bool Write(const std::string& text) override {
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD count = 0;
      if (!WriteFile(input_.get(), text.data() + done, static_cast<DWORD>(text.size() - done),
                     &count, nullptr) ||
          count == 0) {
        return false;
      }
      done += count;
    }
    return true;
  }

  void Kill() override {
    if (!ended_) TerminateJobObject(job_.get(), 1);
  }

  std::optional<ExitStatus> Wait(std::chrono::milliseconds wait) override {
    if (ended_) return ended_;
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    ended_ = ExitStatus{false, static_cast<int>(code)};
    return ended_;
  }

  long Id() const override { return static_cast<long>(GetProcessId(process_.get())); }

 private:
  Handle process_;
  Handle job_;
  Handle input_;
  Handle output_;
  std::optional<ExitStatus> ended_;
};

// One word of a command line, read back the same by CommandLineToArgvW and the C runtime.
std::wstring Quoted(const std::wstring& word) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');  // before the closing quote
  return quoted + L"\"";
}

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         std::string* error) {
  const auto fail = [error](const std::string& what) {
    *error = what + ": " + ErrorText(GetLastError());
    return nullptr;
  };
  const char* failedStep = "";
  Handle job(KillOnCloseJob(&failedStep));
  if (!job) return fail(failedStep);
  // The child's ends are inheritable, ours are not.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  Handle childIn, ourIn, ourOut, childOut;
  if (!CreatePipe(childIn.out(), ourIn.out(), &inheritable, 0) ||
      !CreatePipe(ourOut.out(), childOut.out(), &inheritable, 0)) {
    return fail("cannot make a pipe");
  }
  SetHandleInformation(ourIn.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ourOut.get(), HANDLE_FLAG_INHERIT, 0);
  Handle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                         OPEN_EXISTING, 0, nullptr));
  if (!nul) return fail("cannot open NUL for its error output");

  std::vector<HANDLE> handed = {childIn.get(), childOut.get(), nul.get()};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> attributeMemory(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    return fail("cannot prepare its start");
  }
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed.data(),
                                 handed.size() * sizeof(HANDLE), nullptr, nullptr)) {
    DeleteProcThreadAttributeList(attributes);
    return fail("cannot prepare its start");
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = childIn.get();
  startup.StartupInfo.hStdOutput = childOut.get();
  startup.StartupInfo.hStdError = nul.get();
  startup.lpAttributeList = attributes;

  const std::wstring path = Wide(program);
  std::wstring line = Quoted(path);
  for (const auto& argument : arguments) line += L" " + Quoted(Wide(argument));
  PROCESS_INFORMATION process = {};
  const bool created =
      CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                     nullptr, &startup.StartupInfo, &process) != 0;
  const DWORD createError = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  if (!created) {
    SetLastError(createError);
    return fail("cannot start " + program);
  }
  Handle thread(process.hThread);
  Handle child(process.hProcess);
  if (!AssignProcessToJobObject(job.get(), child.get())) {
    const DWORD assignError = GetLastError();
    TerminateProcess(child.get(), 1);
    SetLastError(assignError);
    return fail("cannot put it in a job object of its own, where it ends with the service");
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    TerminateJobObject(job.get(), 1);
    return fail("cannot start it");
  }
  return std::make_unique<WindowsChild>(child.release(), job.release(), ourIn.release(),
                                        ourOut.release());
}

std::string ThisProgram() {
  std::vector<wchar_t> self(32768);
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  return length == 0 || length >= self.size() ? std::string()
                                              : Utf8(std::wstring(self.data(), length));
}

bool BecomeChild(std::string* why) {
  if (GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_PIPE ||
      GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_PIPE) {
    *why = "this command is started by the service, with pipes for its input and output";
    return false;
  }
  return true;  // the service's job object ends us with it
}

bool IsolateRegistry(const std::string& name, const std::string&, std::string* why) {
  // The UPS's name becomes a key's name: nothing that could reach another key.
  if (name.empty() || name.size() > 64) {
    *why = "the UPS's name must have 1 to 64 characters";
    return false;
  }
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) {
      *why = "the UPS's name '" + name + "' may hold only letters, digits, '-', '_' and '.'";
      return false;
    }
  }
  const std::wstring path = L"SOFTWARE\\Corvale\\UPS\\Units\\" + Wide(name);
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    *why = "cannot make HKLM\\" + Utf8(path) + ": " + ErrorText(static_cast<DWORD>(status));
    return false;
  }
  status = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key);
  RegCloseKey(key);  // the override holds its own handle
  if (status != ERROR_SUCCESS) {
    *why = "cannot redirect HKEY_LOCAL_MACHINE to HKLM\\" + Utf8(path) + ": " +
           ErrorText(static_cast<DWORD>(status));
    return false;
  }
  return true;
}

std::size_t ReadInput(char* buffer, std::size_t size) {
  DWORD count = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &count,
                nullptr)) {
    return 0;
  }
  return count;
}

bool WriteOutput(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD count = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data() + done,
                   static_cast<DWORD>(text.size() - done), &count, nullptr) ||
        count == 0) {
      return false;
    }
    done += count;
  }
  return true;
}

}  // namespace corvale::host
