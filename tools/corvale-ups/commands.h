// The corvale-ups subcommands that need more than a few lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/corvale-ups/monitor.h"

namespace corvale {

struct SimulateOptions {
  std::string scenarioFile;  // empty: take keys interactively
  std::string link;          // a symlink to create for the device, e.g. /tmp/devices/COM1
  bool quiet = false;        // no frame log
};
int RunSimulate(const SimulateOptions& options, const std::atomic<bool>& stop);

struct DemoOptions {
  std::string scenarioFile;  // empty: the built-in power-failure story
  std::uint32_t turnOffDelay = 5;
  std::string library;
  bool json = false;
};
int RunDemo(const DemoOptions& options, std::atomic<bool>& stop);

// The power-failure story from tools/scenarios, built into the program.
extern const char kPowerFailureScenario[];

}  // namespace corvale
