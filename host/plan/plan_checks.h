// The shutdown plan's own checks before the service starts: machines that can reach it, and a
// battery that carries it.
#pragma once

#include "host/checks.h"
#include "host/config.h"

namespace corvale::host::plan {

void CheckPlanStart(const Config& config, StartChecks& checks);

}  // namespace corvale::host::plan
