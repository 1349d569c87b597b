// What the service checks before it starts, beyond the configuration file's own content, so that
// `check-config` saying "fine" means the service will start: its own checks, and each room's
// (the NUT server's, the agent's, the plan's, the notifications'), gathered here.
#pragma once

#include <string>

#include "host/checks.h"
#include "host/config.h"

namespace corvale::host {

// No side effects: nothing is created, opened for writing or contacted.
StartChecks CheckBeforeStart(const Config& config, const std::string& path);

}  // namespace corvale::host
