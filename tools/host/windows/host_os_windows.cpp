// Processes, stop requests and file locations on Windows.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "tools/host/host_os.h"

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
  void Kill() override { TerminateJobObject(job_, 1); }

 private:
  HANDLE process_;
  HANDLE job_;
};

HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

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

bool UnderServiceManager() {
  return false;
}

void NotifyServiceManager(const std::string&) {}

std::string DefaultConfigPath() {
  return ProgramData() + "\\Corvale\\corvale-ups.toml";
}

std::string DefaultShutdownCommand() {
  return "shutdown /s /t 0";
}

std::string DefaultFlagFile() {
  return ProgramData() + "\\Corvale\\killpower";
}

bool ReadableByOthers(const std::string&) {
  // The folder under ProgramData is readable by Users unless its ACL says otherwise; checking the
  // ACL is still to come.
  return false;
}

}  // namespace corvale::host
