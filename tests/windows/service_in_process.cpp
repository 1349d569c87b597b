// corvale-ups.exe's commands, built from the same objects, with one more for the tests:
// `service-in-process --config FILE` runs the service as the program does from a console, and a
// line "shutdown" on standard input hands it the service manager's SHUTDOWN, which Wine never
// sends a service. Every other command (the driver processes' `ups-child` among them) is the
// program's own.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "host/windows/service_control.h"
#include "host/windows/wide_text.h"

int wmain(int argc, wchar_t** argv) {
  using namespace corvale;
  if (argc == 4 && std::wstring(argv[1]) == L"service-in-process" &&
      std::wstring(argv[2]) == L"--config") {
    // As the service manager calls the handler: on a thread of its own, while the service runs.
    std::thread([] {
      for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line != "shutdown") continue;
        const DWORD answer = host::HandleServiceControl(SERVICE_CONTROL_SHUTDOWN);
        std::printf("shutdown control answered %lu\n", static_cast<unsigned long>(answer));
        std::fflush(stdout);
      }
    }).detach();
    const int status = RunService(host::Utf8(argv[3]));
    std::printf("service ended %d\n", status);
    std::fflush(stdout);
    return status;
  }
  return RunWindowsCommandLine(argc, argv);
}
