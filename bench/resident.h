// A process's resident size, as the benchmarks report it.
#pragma once

#include <fstream>
#include <string>

namespace corvale::bench {

// VmRSS of the process `pid`, in KiB; 0 when it cannot be read.
inline long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace corvale::bench
