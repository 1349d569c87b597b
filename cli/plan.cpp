// `corvale-ups plan` and `corvale-ups drill`: the shutdown plan as a timeline, and a rehearsal of
// it, both asked of the running service on the machine with the cable.
#include "host/plan/plan.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "host/config.h"
#include "host/http/http_client.h"
#include "host/nut/nut_client.h"
#include "host/plan/drill.h"

namespace corvale {

namespace {

// Where this machine reaches its own service's listener: a wildcard address is asked on loopback.
std::string LocalAddress(const std::string& listen) {
  const auto colon = listen.rfind(':');
  const std::string host = listen.substr(0, colon), port = listen.substr(colon + 1);
  if (host == "0.0.0.0" || host == "*") return "127.0.0.1:" + port;
  if (host == "[::]") return "[::1]:" + port;
  return listen;
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

std::string MachineLine(const nlohmann::json& machine) {
  std::string line = machine.value("user", "");
  if (machine.value("logged_in", false)) {
    std::string from;
    for (const auto& address : machine["addresses"]) {
      from += (from.empty() ? "" : ", ") + address.get<std::string>();
    }
    line += ": logged in from " + from;
  } else {
    line += ": MISSING (not logged in)";
  }
  const auto& last = machine["last_shutdown_seconds"];
  return line + (last.is_number() ? "; last shut down in " + Seconds(last)
                                  : std::string("; its shutdown not measured yet"));
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
                          {"last_shutdown_seconds", nullptr}});
    }
    stages.push_back({{"name", stage.name},
                      {"when", host::plan::WhenText(stage)},
                      {"after_seconds", stage.when == host::Config::Stage::When::kAfterSeconds
                                            ? nlohmann::json(stage.afterSeconds)
                                            : nlohmann::json(nullptr)},
                      {"gone", false},
                      {"machines", machines},
                      {"wake", stage.wake}});
  }
  return {{"stages", stages},
          {"with_this_machine", nlohmann::json::array()},
          {"needs_seconds", nullptr},
          {"battery_weak", false}};
}

}  // namespace

int RunPlan(const std::string& configPath, bool json) {
  const auto config = Load(configPath);
  if (!config) return kExitUsage;
  if (config->ups.Agent()) {
    return Fail(kExitUsage,
                "this machine is an agent: its place in the plan is set on the machine "
                "with the UPS's cable (" +
                    config->ups.server + "); run plan there");
  }
  nlohmann::json plan, status;
  std::string why = "http.listen is empty, so the service cannot be asked";
  if (!config->http.listen.empty()) {
    const auto body = host::http::FetchBody(LocalAddress(config->http.listen.front()),
                                            "/api/v1/status", std::chrono::seconds(3), &why);
    if (body) {
      status = nlohmann::json::parse(*body, nullptr, false);
      if (!status.is_discarded() && status.contains("plan")) {
        plan = status["plan"];
      } else {
        why = "the service answers without a plan (a version from before plans, still running?)";
      }
    }
  }
  const bool live = !plan.is_null();
  if (!live) plan = PlanFromFile(*config);
  if (json) {
    plan["live"] = live;
    if (live) plan["battery_seconds_to_low"] = status["battery_seconds_to_low"];
    std::printf("%s\n", plan.dump(2).c_str());
  } else {
    std::printf("Shutdown plan for the UPS %s\n", config->ups.name.c_str());
    if (!live) std::printf("  (from %s alone: %s)\n", configPath.c_str(), why.c_str());
    for (const auto& stage : plan["stages"]) {
      std::printf("\n%s: stage \"%s\"%s\n", stage.value("when", "").c_str(),
                  stage.value("name", "").c_str(),
                  stage.value("gone", false) ? " (gone in this power failure)" : "");
      for (const auto& machine : stage["machines"]) {
        std::printf("  %s\n", MachineLine(machine).c_str());
      }
      if (!stage["wake"].empty()) {
        std::string macs;
        for (const auto& mac : stage["wake"])
          macs += (macs.empty() ? "" : ", ") + mac.get<std::string>();
        std::printf("  woken when the power has been back %u s: %s\n",
                    config->plan.wakeAfterSeconds, macs.c_str());
      }
    }
    std::printf("\nlast: this machine (%s), with the machines in no stage\n",
                config->shutdown.onBatterySeconds != 0
                    ? ("after " + std::to_string(config->shutdown.onBatterySeconds) +
                       " s on battery, or at low battery")
                          .c_str()
                    : "at low battery");
    for (const auto& machine : plan["with_this_machine"]) {
      std::printf("  %s\n", MachineLine(machine).c_str());
    }
    if (live) {
      std::printf("\nbattery: last ran low after %s on battery; the plan needs %s%s\n",
                  Seconds(status["battery_seconds_to_low"]).c_str(),
                  Seconds(plan["needs_seconds"]).c_str(),
                  plan.value("battery_weak", false) ? ": TOO WEAK (battery-weak)" : "");
    }
  }
  if (!live) return Fail(kExitNoService, "the service did not answer: " + why);
  return kExitOk;
}

int RunDrill(const std::string& configPath, const std::string& userName) {
  const auto config = Load(configPath);
  if (!config) return kExitUsage;
  if (config->ups.Agent()) {
    return Fail(kExitUsage,
                "this machine is an agent: run the drill on the machine with the UPS's "
                "cable (" +
                    config->ups.server + "); it asks this agent too");
  }
  if (config->network.listen.empty()) {
    return Fail(kExitUsage, "network.listen is empty: the drill asks the service over NUT");
  }
  // Whoever may order every machine down may rehearse it.
  const host::Config::User* user = nullptr;
  for (const auto& candidate : config->users) {
    const bool mayForce = candidate.upsmon == "primary" ||
                          std::find(candidate.actions.begin(), candidate.actions.end(), "FSD") !=
                              candidate.actions.end();
    if ((userName.empty() && mayForce) || candidate.name == userName) {
      user = &candidate;
      break;
    }
  }
  if (user == nullptr) {
    return Fail(kExitUsage,
                userName.empty()
                    ? "the drill logs in as a [[users]] entry that may force a shutdown (upsmon = "
                      "\"primary\" or actions = [\"FSD\"]); " +
                          configPath + " has none"
                    : "there is no user " + userName + " in " + configPath);
  }
  std::string error;
  const std::string address = LocalAddress(config->network.listen.front());
  // The agents answer at their next poll: the service waits for them up to 15 s.
  const auto lines = nut::AskForDrill(address, config->ups.name, user->name, user->password,
                                      std::chrono::seconds(25), &error);
  if (!lines) return Fail(kExitNoService, error);
  int failed = 0, checked = 0;
  std::printf("Drill of the shutdown of %s (nothing is shut down)\n\n", config->ups.name.c_str());
  for (const auto& line : *lines) {
    const auto check = host::plan::ParseCheckLine(line);
    if (!check) continue;
    ++checked;
    if (check->ok) {
      std::printf("  ok    %s\n", check->what.c_str());
    } else {
      ++failed;
      std::printf("  FAIL  %s\n        mend: %s\n", check->what.c_str(), check->mend.c_str());
    }
  }
  if (failed != 0) {
    std::printf("\n%d of %d checks failed: a power failure now would not go as planned\n", failed,
                checked);
    return kExitNotReady;
  }
  std::printf("\nready: all %d checks passed\n", checked);
  return kExitOk;
}

}  // namespace corvale
