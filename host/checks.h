// What a start check finds, in the form every room's checks share: the service's own checks
// (start_checks.h) gather them with the rooms' (nut/, agent/, plan/, notify/).
#pragma once

#include <string>
#include <vector>

namespace corvale::host {

struct StartChecks {
  std::vector<std::string> problems;  // the service refuses to start
  std::vector<std::string> warnings;  // it starts, but this will likely fail later
};

// Where the checked file is: `installed` when it is the one the installed service reads, which is
// checked as the service's account will meet it, whoever runs the check.
struct CheckedFile {
  std::string path;
  bool installed = false;
};

}  // namespace corvale::host
