// An agent's own checks before it starts: what it follows the UPS with must work.
#pragma once

#include "host/checks.h"
#include "host/config.h"

namespace corvale::host::agent {

// An agent that cannot speak TLS, or cannot read what it checks the server against, never
// connects: it would meet the next power failure blind. Keys of the machine with the cable are
// warned of.
void CheckAgentStart(const Config& config, const CheckedFile& file, StartChecks& checks);

}  // namespace corvale::host::agent
