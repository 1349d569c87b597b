// Scenario files for the UPS simulator: one step per line, "<seconds> <action> [argument]",
// seconds counted from the start; "#" starts a comment.
//
//   online  power-fails  power-returns  battery-low  battery-fails  battery-ok  overload
//   overload-ends bits <n>                          status bits 0 to 9 as a number (0x.. for hex)
//   silent  garbage  short  lowercase  late [ms]  drop  restore     faults on the line
//   end                               the scenario is over
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "simulator/ups_peer.h"

namespace corvale {

struct ScenarioStep {
  double at = 0;  // seconds from the start
  std::string action;
  std::string argument;
  int line = 0;
};

// Throws std::invalid_argument naming the file and line of the first bad step.
std::vector<ScenarioStep> ParseScenario(std::istream& in, const std::string& name);

// Applies one step to the UPS; returns a person's description of it ("power fails").
std::string ApplyStep(UpsPeer& ups, const ScenarioStep& step);

// Plays `steps` in time until the end or until `stop` is set; `onStep` hears each description.
void PlayScenario(UpsPeer& ups, const std::vector<ScenarioStep>& steps,
                  const std::atomic<bool>& stop,
                  const std::function<void(const std::string&)>& onStep);

// The demo's power-failure story (scenarios/power-failure.txt), built into the program.
extern const char kPowerFailureScenario[];

}  // namespace corvale
