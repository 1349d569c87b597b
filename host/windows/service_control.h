// The Windows service's control handler, reachable for tests: Wine's service manager never sends
// SHUTDOWN, so it is tested by calling the handler in-process.
#pragma once

#include <windows.h>

namespace corvale::host {

// What the service does for a control code from the service manager (SERVICE_CONTROL_...).
DWORD HandleServiceControl(DWORD control);
// The controls a running service accepts (SERVICE_ACCEPT_...).
DWORD AcceptedControls();
// Ends one WaitForServiceRequest with a reload (PARAMCHANGE).
void AskForReload();

}  // namespace corvale::host
