// The Windows service's control handler, reachable for tests: Wine's service manager never sends
// PRESHUTDOWN or SHUTDOWN, so they are tested by calling it in-process.
#pragma once

#include <windows.h>

namespace corvale::host {

// What the service does for a control code from the service manager (SERVICE_CONTROL_...).
DWORD HandleServiceControl(DWORD control);

}  // namespace corvale::host
