#include "simulator/scenario.h"

#include <chrono>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvale {

namespace {

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004, kOverload = 0x0008, kBattFail = 0x0040;

struct BitChange {
  std::uint16_t set;
  std::uint16_t clear;
  const char* description;
};

const std::map<std::string, BitChange>& BitActions() {
  static const std::map<std::string, BitChange> actions = {
      {"online", {0, 0x03FF, "the UPS runs on utility power, all well"}},
      {"power-fails", {kOnBatt, 0, "power fails: the UPS runs on battery"}},
      {"power-returns", {0, kOnBatt | kLowBatt, "power returns"}},
      {"battery-low", {kLowBatt, 0, "the battery runs low"}},
      {"battery-fails", {kBattFail, 0, "the battery fails its test"}},
      {"battery-ok", {0, kBattFail | kLowBatt, "the battery is fine again"}},
      {"overload", {kOverload, 0, "the UPS is overloaded"}},
      {"overload-ends", {0, kOverload, "the overload ends"}},
  };
  return actions;
}

const std::map<std::string, std::pair<UpsPeer::Fault, const char*>>& FaultActions() {
  static const std::map<std::string, std::pair<UpsPeer::Fault, const char*>> actions = {
      {"silent", {UpsPeer::Fault::kSilent, "the UPS stops answering"}},
      {"garbage", {UpsPeer::Fault::kGarbled, "replies arrive garbled"}},
      {"short", {UpsPeer::Fault::kShort, "replies arrive cut short"}},
      {"lowercase", {UpsPeer::Fault::kLowerCase, "replies arrive in lower case"}},
      {"late", {UpsPeer::Fault::kLate, "replies arrive late"}},
      {"drop", {UpsPeer::Fault::kUnplugged, "the serial cable is pulled out"}},
      {"restore", {UpsPeer::Fault::kNone, "the line is healthy again"}},
  };
  return actions;
}

}  // namespace

std::vector<ScenarioStep> ParseScenario(std::istream& in, const std::string& name) {
  std::vector<ScenarioStep> steps;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    std::istringstream words(text);
    ScenarioStep step;
    step.line = line;
    if (!(words >> step.at)) {
      if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
      throw std::invalid_argument(name + ":" + std::to_string(line) +
                                  ": expected a time in seconds");
    }
    const auto where = name + ":" + std::to_string(line) + ": ";
    if (!(words >> step.action)) throw std::invalid_argument(where + "expected an action");
    words >> step.argument;
    if (std::string extra; words >> extra) {
      throw std::invalid_argument(where + "unexpected '" + extra + "' after the step");
    }
    if (!std::isfinite(step.at) || step.at < 0 || (!steps.empty() && step.at < steps.back().at)) {
      throw std::invalid_argument(where + "times must not go backwards");
    }
    const bool known = BitActions().count(step.action) || FaultActions().count(step.action) ||
                       step.action == "bits" || step.action == "end";
    if (!known) throw std::invalid_argument(where + "unknown action '" + step.action + "'");
    // Only "bits" and "late" take an argument; the number is checked whole, before it is used.
    const auto number = [&](unsigned long most, const char* says) {
      try {
        std::size_t used = 0;
        if (step.argument.empty() || step.argument[0] == '-') throw std::out_of_range(says);
        const unsigned long value = std::stoul(step.argument, &used, 0);
        if (used != step.argument.size() || value > most) throw std::out_of_range(says);
      } catch (const std::logic_error&) {
        throw std::invalid_argument(where + says + ", not '" + step.argument + "'");
      }
    };
    if (step.action == "bits") {
      number(0x3FF, "bits needs a number from 0 to 0x3FF");
    } else if (step.action == "late" && !step.argument.empty()) {
      number(60000, "late takes milliseconds from 0 to 60000");
    } else if (!step.argument.empty()) {
      throw std::invalid_argument(where + "'" + step.action + "' takes no argument");
    }
    steps.push_back(step);
  }
  return steps;
}

std::string ApplyStep(UpsPeer& ups, const ScenarioStep& step) {
  if (auto bits = BitActions().find(step.action); bits != BitActions().end()) {
    const auto& change = bits->second;
    ups.SetStatus(static_cast<std::uint16_t>((ups.Status() | change.set) & ~change.clear));
    return change.description;
  }
  if (auto fault = FaultActions().find(step.action); fault != FaultActions().end()) {
    const auto lateBy =
        std::chrono::milliseconds(step.argument.empty() ? 1500 : std::stoul(step.argument));
    ups.SetFault(fault->second.first, lateBy);
    return fault->second.second;
  }
  if (step.action == "bits") {
    ups.SetStatus(static_cast<std::uint16_t>(std::stoul(step.argument, nullptr, 0)));
    return "status bits set to " + step.argument;
  }
  return "end of the scenario";
}

void PlayScenario(UpsPeer& ups, const std::vector<ScenarioStep>& steps,
                  const std::atomic<bool>& stop,
                  const std::function<void(const std::string&)>& onStep) {
  const auto start = std::chrono::steady_clock::now();
  for (const auto& step : steps) {
    const auto due = start + std::chrono::milliseconds(static_cast<long long>(step.at * 1000));
    while (!stop && std::chrono::steady_clock::now() < due) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (stop) return;
    const std::string description = ApplyStep(ups, step);
    if (onStep) onStep(description);
    if (step.action == "end") return;
  }
}

}  // namespace corvale
