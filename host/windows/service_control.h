// The Windows service's control handler, reachable for tests: Wine's service manager never sends
// SHUTDOWN, and no program may send another service a power event (ControlService takes neither),
// so they are tested by calling the handler in-process.
#pragma once

#include <windows.h>

namespace corvale::host {

// What the service does for a control code from the service manager (SERVICE_CONTROL_...), with
// its event type (PBT_... for POWEREVENT).
DWORD HandleServiceControl(DWORD control, DWORD eventType = 0);
// The controls a running service accepts (SERVICE_ACCEPT_...).
DWORD AcceptedControls();
// Ends one WaitForServiceRequest with a reload (PARAMCHANGE).
void AskForReload();

}  // namespace corvale::host
