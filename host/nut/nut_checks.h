// The NUT server's own checks before the service starts: addresses that can all listen, room for
// its clients, and its certificate.
#pragma once

#include "host/checks.h"
#include "host/config.h"

namespace corvale::nut {

// Pairs of addresses, in one list or across NUT's and HTTP's, that cannot all listen, and
// max_clients beyond the open files the service may hold.
void CheckSharingStart(const host::Config& config, host::StartChecks& checks);

}  // namespace corvale::nut
