// What the service checks before it starts, beyond the configuration file's own content, so that
// `check-config` saying "fine" means the service will start.
#pragma once

#include <string>
#include <vector>

#include "host/config.h"

namespace corvale::host {

struct StartChecks {
  std::vector<std::string> problems;  // the service refuses to start
  std::vector<std::string> warnings;  // it starts, but this will likely fail later
};

// No side effects: nothing is created, opened for writing or contacted.
StartChecks CheckBeforeStart(const Config& config, const std::string& path);

}  // namespace corvale::host
