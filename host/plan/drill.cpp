#include "host/plan/drill.h"

#include <algorithm>
#include <filesystem>

#include "host/driver_library.h"
#include "host/host_os.h"
#include "host/nut/nut_session.h"
#include "host/utf8_path.h"

namespace corvale::host::plan {

namespace {

Check Passed(std::string what) {
  return {true, std::move(what), "", ""};
}
Check Failed(std::string what, std::string mend, std::string brief) {
  return {false, std::move(what), std::move(mend), std::move(brief)};
}

}  // namespace

std::vector<Check> ChainChecks(const Config& config, const std::string& path,
                               const ChainFacts& facts) {
  std::vector<Check> checks;
  const bool agent = config.ups().Agent();
  if (facts.upsAnswers) {
    checks.push_back(Passed(agent ? "the NUT server " + config.ups().server + " answers"
                                  : "the UPS answers on " + config.ups().port));
  } else {
    checks.push_back(Failed(
        agent ? "the NUT server " + config.ups().server + " does not answer with the UPS's state"
              : "the UPS does not answer on " + config.ups().port,
        agent ? "is the server up, and do ups.name, ups.user and ups.password match it there?"
              : "is it on, and is its serial cable on ups.port?",
        agent ? "its NUT server does not answer" : "the UPS does not answer"));
  }
  if (!facts.helperAsked) {
    checks.push_back(Passed("the service runs with the rights to shut down itself"));
  } else if (!facts.helperAnswers) {
    checks.push_back(Failed("root's helper has not been asked yet",
                            "the service asks it within 10 s of its start: run the drill again",
                            "root's helper has not been asked yet"));
  } else if (!*facts.helperAnswers) {
    checks.push_back(Failed("root's helper does not answer",
                            "systemctl reset-failed corvale-ups-shutdown.service "
                            "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path",
                            "root's helper does not answer"));
  } else {
    checks.push_back(Passed("root's helper answers"));
  }
  if (config.shutdown.command.empty()) {
    checks.push_back(Passed("the shutdown is the system's own call (shutdown.command is empty)"));
  } else if (auto problem = CommandProblem(config.shutdown.command, std::string())) {
    checks.push_back(Failed("the shutdown command cannot run: " + *problem,
                            "mend shutdown.command in " + path, "the shutdown command cannot run"));
  } else {
    // Not the command itself: it may hold a secret, and the answer crosses the network.
    checks.push_back(Passed("the shutdown command can run"));
  }
  if (!config.events.command.empty()) {
    if (auto problem = CommandProblem(config.events.command, ServiceAccount())) {
      checks.push_back(Failed("the event command cannot run: " + *problem,
                              "mend events.command in " + path, "the event command cannot run"));
    } else {
      checks.push_back(
          Passed("the event command can run (it hears this drill with CORVALE_UPS_DRILL=1)"));
    }
  }
  if (!agent) {
    const std::string folder = Utf8FromPath(PathFromUtf8(config.shutdown.flagFile).parent_path());
    if (auto untrusted = UntrustedFolder(folder)) {
      checks.push_back(Failed("the flag's folder is not trusted: " + *untrusted,
                              "shutdown.flag_file must be in a folder only root may write",
                              "the flag's folder is not trusted"));
    } else {
      checks.push_back(Passed("the flag's folder " + folder + " is trusted"));
    }
    if (auto problem = LibraryProblem(config.ups().library)) {
      checks.push_back(Failed("the driver library cannot be used: " + *problem,
                              "mend ups.library in " + path, "the driver library cannot be used"));
    } else {
      checks.push_back(Passed("kill-power's driver library is loaded by the service"));
    }
  }
  return checks;
}

std::vector<Check> MachineChecks(const PlanFacts& plan, const std::vector<AgentAnswer>& answers,
                                 const std::vector<std::string>& silent) {
  std::vector<Check> checks;
  // Every UPS's stages, each machine looked for on the UPS its stage follows.
  const bool several = plan.upses.size() > 1;
  for (const auto& stage : plan.stages) {
    const std::string of = several && !stage.ups.empty() ? " (UPS " + stage.ups + ")" : "";
    for (const auto& machine : stage.machines) {
      const std::string who = "stage \"" + stage.name + "\"" + of + ": " + machine.user;
      if (machine.addresses.empty()) {
        checks.push_back(Failed(who + " is not logged in",
                                "is its machine up, and its agent (or upsmon) running with this "
                                "user and password?",
                                ""));
      } else if (machine.addresses.size() > 1) {
        std::string from;
        for (const auto& address : machine.addresses) from += (from.empty() ? "" : ", ") + address;
        checks.push_back(Failed(who + " is logged in " + std::to_string(machine.addresses.size()) +
                                    " times (from " + from + ")",
                                "give each machine of a stage a user of its own: one machine's "
                                "login hides another's shutdown and delays its wake-up",
                                ""));
      } else {
        std::string from;
        for (const auto& address : machine.addresses) from += (from.empty() ? "" : ", ") + address;
        checks.push_back(Passed(who + " is logged in from " + from));
      }
    }
  }
  std::string weak;
  for (const auto& ups : plan.upses) {
    if (ups.batteryWeak) weak += (weak.empty() ? "" : ", ") + ups.ups;
  }
  if (plan.batteryWeak) {
    checks.push_back(Failed(
        several && !weak.empty()
            ? "the battery of " + weak + " ran low sooner than its stages need (battery-weak)"
            : "the battery ran low sooner than the plan needs (battery-weak)",
        "replace the battery, or let the stages go earlier: corvale-ups plan "
        "shows the figures",
        ""));
  }
  for (const auto& machine : plan.withThisMachine) {
    checks.push_back(Passed(machine.user + " is logged in (in no stage: it goes with this one)"));
  }
  for (const auto& answer : answers) {
    const std::string who = "the agent " + answer.user + " at " + answer.address;
    if (answer.ready) {
      checks.push_back(Passed(who + " is ready: " + answer.text));
    } else {
      checks.push_back(Failed(who + " is not ready: " + answer.text,
                              "run `corvale-ups check-config` there", ""));
    }
  }
  for (const auto& user : silent) {
    checks.push_back(Failed("the agent " + user + " did not answer the drill in time",
                            "is it still connected? Its log says why", ""));
  }
  return checks;
}

std::string ReportLines(const std::string& ups, const std::vector<Check>& checks) {
  std::string lines = "BEGIN DRILL " + ups + "\n";
  for (const auto& check : checks) {
    std::string what = check.what, mend = check.mend;
    for (auto* text : {&what, &mend}) {
      std::replace_if(
          text->begin(), text->end(), [](char c) { return static_cast<unsigned char>(c) < ' '; },
          ' ');
    }
    lines += std::string("CHECK ") + (check.ok ? "OK " : "FAIL ") + nut::Quote(what) + " " +
             nut::Quote(mend) + "\n";
  }
  return lines + "END DRILL " + ups + "\n";
}

std::optional<Check> ParseCheckLine(const std::string& line) {
  const auto words = nut::SplitWords(line);
  if (!words || words->size() != 4 || (*words)[0] != "CHECK") return std::nullopt;
  if ((*words)[1] != "OK" && (*words)[1] != "FAIL") return std::nullopt;
  return Check{(*words)[1] == "OK", (*words)[2], (*words)[3], ""};
}

}  // namespace corvale::host::plan
