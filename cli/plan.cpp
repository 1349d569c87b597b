// `corvale-ups plan`, `drill` and `reload`: the shutdown plan as a timeline, a rehearsal of it,
// and a reload of the file, each asked of the running service over its local channel.
#include "host/plan/plan.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/checked_answer.h"
#include "cli/commands.h"
#include "host/config.h"
#include "host/control.h"
#include "host/http/http_client.h"
#include "host/plan/coordinator.h"
#include "host/plan/drill.h"

namespace corvale {

namespace {

// Where this machine reaches its own HTTP endpoint: a wildcard address is asked on loopback.
std::string LoopbackAddress(const std::string& listen) {
  const auto colon = listen.rfind(':');
  const std::string host = listen.substr(0, colon), port = listen.substr(colon + 1);
  if (host == "0.0.0.0" || host == "*") return "127.0.0.1:" + port;
  if (host == "[::]") return "[::1]:" + port;
  return listen;
}

// Asks the service over the local channel; an ERR answer is the service's refusal, in words.
std::optional<std::string> AskOrSay(const std::string& control, const std::string& request,
                                    std::chrono::milliseconds timeout, std::string* why) {
  auto answer = host::AskService(control, request, timeout, why);
  if (answer && answer->starts_with("ERR ") && request != "DRILL") {
    *why = "the service refused: " + Printable(answer->substr(4, answer->find('\n') - 4));
    return std::nullopt;
  }
  return answer;
}

std::optional<host::Config> Load(const std::string& path) {
  auto loaded = host::LoadConfig(path);
  for (const auto& problem : loaded.problems) Fail(0, host::Describe(path, problem));
  if (!loaded.problems.empty()) return std::nullopt;
  return std::move(loaded.config);
}

std::string Seconds(const nlohmann::json& value) {
  if (!value.is_number()) return "not measured";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", value.get<double>());
  return text;
}

// What is known of a machine's time to shut down, in words.
std::string ShutdownLine(const nlohmann::json& machine) {
  const auto last = machine.value("last_shutdown_seconds", nlohmann::json());
  if (!last.is_number()) return host::plan::MeasuredText(std::nullopt);
  const auto measuredTo = machine.value("shutdown_measured_to", nlohmann::json());
  return host::plan::MeasuredText(host::plan::ShutdownTime{
      last.get<double>(), measuredTo.is_string() && measuredTo.get<std::string>() == "close"});
}

std::string MachineLine(const nlohmann::json& machine) {
  std::string line = Printable(machine.value("user", "a machine"));
  if (machine.value("logged_in", false)) {
    std::string from;
    for (const auto& address : machine.value("addresses", nlohmann::json::array())) {
      from += (from.empty() ? "" : ", ") + Printable(address.get<std::string>());
    }
    line += ": logged in from " + from;
  } else {
    line += ": MISSING (not logged in)";
  }
  return line + "; " + ShutdownLine(machine);
}

// The plan as the file has it, where the service does not answer.
nlohmann::json PlanFromFile(const host::Config& config) {
  nlohmann::json stages = nlohmann::json::array();
  for (const auto& stage : config.stages) {
    nlohmann::json machines = nlohmann::json::array();
    for (const auto& user : stage.users) {
      machines.push_back({{"user", user},
                          {"logged_in", false},
                          {"addresses", nlohmann::json::array()},
                          {"last_shutdown_seconds", nullptr},
                          {"shutdown_measured_to", nullptr}});
    }
    stages.push_back({{"name", stage.name},
                      {"when", host::plan::WhenText(stage)},
                      {"after_seconds", stage.when == host::Config::Stage::When::kAfterSeconds
                                            ? nlohmann::json(stage.afterSeconds)
                                            : nlohmann::json(nullptr)},
                      {"gone", false},
                      {"machines", machines},
                      {"wake", stage.wake},
                      {"ups", config.UnitName(config.upses[config.StageUps(stage)])}});
  }
  nlohmann::json upses = nlohmann::json::array();
  for (const auto& ups : config.upses) {
    upses.push_back(
        {{"ups", config.UnitName(ups)}, {"needs_seconds", nullptr}, {"battery_weak", false}});
  }
  return {{"stages", stages},
          {"with_this_machine", nlohmann::json::array()},
          {"needs_seconds", nullptr},
          {"battery_weak", false},
          {"upses", upses}};
}

}  // namespace

int RunPlan(const std::string& configPath, bool json) {
  const auto config = Load(configPath);
  if (!config) return kExitUsage;
  if (config->ups().Agent()) {
    return Fail(kExitUsage,
                "this machine is an agent: its place in the plan is set on the machine "
                "with the UPS's cable (" +
                    config->ups().server + "); run plan there");
  }
  nlohmann::json plan, status;
  std::string why = "service.control and http.listen are empty, so the service cannot be asked";
  // Where this system has no local channel, the HTTP endpoint's plan: the machines counted, not
  // named.
  const bool local = !config->service.control.empty();
  if (local || !config->http.listen.empty()) {
    const auto body = local
                          ? AskOrSay(config->service.control, "PLAN", std::chrono::seconds(3), &why)
                          : host::http::FetchBody(LoopbackAddress(config->http.listen.front()),
                                                  "/api/v1/status", std::chrono::seconds(3), &why);
    if (body) {
      status = nlohmann::json::parse(*body, nullptr, false);
      if (status.is_object() && status.contains("plan")) {
        if (!WellFormedStatus(status)) return Fail(kExitNoService, kMalformedAnswer);
        plan = status["plan"];
      } else {
        why = "the service answers without a plan";
      }
    }
  }
  const bool live = !plan.is_null();
  if (!live) plan = PlanFromFile(*config);
  if (json) {
    plan["live"] = live;
    if (live)
      plan["battery_seconds_to_low"] = status.value("battery_seconds_to_low", nlohmann::json());
    // Every byte beyond ASCII escaped: nothing in it can act on a terminal.
    std::printf("%s\n", plan.dump(2, ' ', true).c_str());
  } else {
    const bool several = config->upses.size() > 1;
    if (several) {
      std::string names;
      for (const auto& ups : config->upses) names += (names.empty() ? "" : ", ") + ups.name;
      std::printf("Shutdown plan for the UPSes %s (each stage follows one)\n", names.c_str());
    } else {
      std::printf("Shutdown plan for the UPS %s\n", config->ups().name.c_str());
    }
    if (!live) std::printf("  (from %s alone: %s)\n", configPath.c_str(), why.c_str());
    for (const auto& stage : plan.value("stages", nlohmann::json::array())) {
      // Which UPS's power it follows, where there is a choice.
      const std::string of =
          several ? " of the UPS " + Printable(stage.value("ups", config->ups().name)) : "";
      std::printf("\n%s%s: stage \"%s\"%s\n", Printable(stage.value("when", "")).c_str(),
                  of.c_str(), Printable(stage.value("name", "")).c_str(),
                  stage.value("gone", false)
                      ? " (gone: its machines went down in the last power failure, not woken yet)"
                      : "");
      for (const auto& machine : stage.value("machines", nlohmann::json::array())) {
        std::printf("  %s\n", MachineLine(machine).c_str());
        if (const auto addresses = machine.value("addresses", nlohmann::json::array());
            addresses.size() > 1) {
          std::printf(
              "    warning: %zu sessions of one user: each machine of a stage needs a user "
              "of its own, or one machine's login hides another's shutdown and wake-up\n",
              addresses.size());
        }
      }
      // The MAC addresses where the answer names them (root's, over the local channel).
      std::string macs;
      for (const auto& mac : stage.value("wake", nlohmann::json::array())) {
        if (mac.is_string()) macs += (macs.empty() ? "" : ", ") + Printable(mac.get<std::string>());
      }
      if (macs.empty() && stage.value("woken", 0) > 0) {
        macs = std::to_string(stage.value("woken", 0)) + " machine(s)";
      }
      if (!macs.empty()) {
        std::printf("  woken when the power has held %u s and they are down: %s\n",
                    config->plan.wakeAfterSeconds, macs.c_str());
      }
    }
    if (several) {
      std::printf(
          "\nlast: this machine (when fewer than %u of its supplies are fed by a UPS that is "
          "well), with the machines in no stage\n",
          config->MinSupplies());
    } else {
      std::printf("\nlast: this machine (%s), with the machines in no stage\n",
                  config->OnBatterySeconds(config->ups()) != 0
                      ? ("after " + std::to_string(config->OnBatterySeconds(config->ups())) +
                         " s on battery, or at low battery")
                            .c_str()
                      : "at low battery");
    }
    for (const auto& machine : plan.value("with_this_machine", nlohmann::json::array())) {
      std::printf("  %s\n", MachineLine(machine).c_str());
    }
    // What "time to shut down" is here: the primary sees a machine's session end, no further.
    std::printf(
        "\n(a machine's time to shut down is the slowest measured lately, from its FSD to "
        "its connection's close as it went down, where its agent said its shutdown had "
        "started; otherwise to its logout, and its last steps are left to the margin)\n");
    if (live && !several) {
      std::printf("\nbattery: last ran low after %s on battery; the plan needs %s%s\n",
                  Seconds(status.value("battery_seconds_to_low", nlohmann::json())).c_str(),
                  Seconds(plan.value("needs_seconds", nlohmann::json())).c_str(),
                  plan.value("battery_weak", false) ? ": TOO WEAK (battery-weak)" : "");
    } else if (live) {
      // Each UPS's stages against its own battery.
      const auto upses = status.value("upses", nlohmann::json::array());
      for (const auto& ups : plan.value("upses", nlohmann::json::array())) {
        if (!ups.is_object() || !ups.value("needs_seconds", nlohmann::json()).is_number()) continue;
        const std::string name = ups.value("ups", "");
        nlohmann::json measured;
        for (const auto& each : upses) {
          if (each.is_object() && each.value("name", "") == name) {
            measured = each.value("battery_seconds_to_low", nlohmann::json());
          }
        }
        std::printf("\nbattery of %s: last ran low after %s on battery; its stages need %s%s\n",
                    Printable(name).c_str(), Seconds(measured).c_str(),
                    Seconds(ups.value("needs_seconds", nlohmann::json())).c_str(),
                    ups.value("battery_weak", false) ? ": TOO WEAK (battery-weak)" : "");
      }
    }
  }
  if (!live) return Fail(kExitNoService, "the service did not answer: " + why);
  return kExitOk;
}

int RunDrill(const std::string& configPath, const std::string& /*userName*/) {
  const auto config = Load(configPath);
  if (!config) return kExitUsage;
  if (config->ups().Agent()) {
    return Fail(kExitUsage,
                "this machine is an agent: run the drill on the machine with the UPS's "
                "cable (" +
                    config->ups().server + "); it asks this agent too");
  }
  if (config->service.control.empty()) {
    // Where this OS has no local channel, nothing can be asked.
    return Fail(kExitUsage, host::DefaultControlPath().empty()
                                ? "the drill needs the service's local channel, which this "
                                  "build for Windows does not have: it cannot be run here"
                                : "service.control is empty: the drill asks the service there");
  }
  std::string error;
  // The agents answer at their next poll: the service waits for them up to 15 s.
  const auto report = AskOrSay(config->service.control, "DRILL", std::chrono::seconds(25), &error);
  if (!report) return Fail(kExitNoService, error);
  int failed = 0, checked = 0;
  std::printf("Drill of the shutdown of %s (nothing is shut down)\n\n",
              Printable(config->ups().name).c_str());
  std::istringstream lines(*report);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("ERR ")) return Fail(kExitNoService, Printable(line.substr(4)));
    const auto check = host::plan::ParseCheckLine(line);
    if (!check) continue;
    ++checked;
    if (check->ok) {
      std::printf("  ok    %s\n", Printable(check->what).c_str());
    } else {
      ++failed;
      std::printf("  FAIL  %s\n        mend: %s\n", Printable(check->what).c_str(),
                  Printable(check->mend).c_str());
    }
  }
  // An agent's answer is its own word: this machine cannot see into another.
  std::printf("\n(each agent's readiness is what that machine says of itself)\n");
  if (failed != 0) {
    std::printf("%d of %d checks failed: a power failure now would not go as planned\n", failed,
                checked);
    return kExitNotReady;
  }
  std::printf("ready: all %d checks passed\n", checked);
  return kExitOk;
}

// A reload turned away because too many ask at once tries again, 250 ms apart, for 10 s.
constexpr int kReloadTries = 40;

int RunReload(const std::string& configPath, const std::string& given) {
  const auto loaded = host::LoadConfig(configPath);
  const std::string control = loaded.problems.empty() ? loaded.config.service.control
                              : given.empty()         ? host::DefaultControlPath()
                                                      : given;
  if (control.empty()) return Fail(kExitUsage, "service.control is empty: nowhere to ask");
  std::string error;
  // As long as a reload may take: the NUT server's restart waits for its clients' goodbyes.
  // Turned away while others ask, it asks again for a while.
  std::optional<std::string> answer;
  for (int tries = 0;; ++tries) {
    answer = host::AskService(control, "RELOAD", std::chrono::seconds(60), &error);
    const bool busy = answer ? answer->starts_with(host::kControlBusyAnswer)
                             : error.find(host::kControlBusyError) != std::string::npos;
    if (!busy || tries == kReloadTries) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  if (!answer) return Fail(kExitNoService, error);
  const std::string said = Printable(answer->substr(0, answer->find('\n')));
  if (said.starts_with("OK")) {
    std::printf("%s\n", said.size() > 3 ? said.substr(3).c_str() : "reloaded");
    return kExitOk;
  }
  return Fail(kExitFailure, said.starts_with("ERR ") ? said.substr(4) : said);
}

}  // namespace corvale
