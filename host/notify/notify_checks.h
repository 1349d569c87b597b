// The notifications' own checks before the service starts. A notice that cannot go is worth a
// warning, never a UPS left unwatched; a secret others may read is a problem.
#pragma once

#include "host/checks.h"
#include "host/config.h"

namespace corvale::host::notify {

void CheckNotifyStart(const Config& config, const CheckedFile& file, StartChecks& checks);

}  // namespace corvale::host::notify
