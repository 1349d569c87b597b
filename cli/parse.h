// The command line read the same way on every OS: help and version exit 0, a mistake exits 2.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>

#include "cli/commands.h"
#include "host/control.h"
#include "host/driver_library.h"

namespace corvale {

// Nothing when the command line was read; else the exit code, after CLI11 printed why.
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
  }
  return std::nullopt;
}

// plan, drill and notify: the same commands on every OS.
class PlanCommands {
 public:
  PlanCommands(CLI::App& app, std::string& configPath) {
    plan_ = app.add_subcommand(
        "plan",
        "Show the shutdown plan: each stage, the UPS it follows, when it goes, its machines and "
        "who is missing");
    plan_->add_flag("--json", planJson_, "As JSON");
    drill_ = app.add_subcommand(
        "drill",
        "Rehearse the shutdown of every machine on the UPSes (every UPS's stages), shutting "
        "nothing down");
    drill_->add_option("--user", drillUser_,
                       "Ignored: the drill asks the service over its local channel, as root, "
                       "with no login");
    reload_ = app.add_subcommand(
        "reload", "Have the running service read its file again; waits until it is applied");
    reload_
        ->add_option("--control", control_,
                     "Where the service answers, when the file cannot be read (default " +
                         host::DefaultControlPath() + ")")
        ->envname("CORVALE_UPS_CONTROL");
    notify_ = app.add_subcommand("notify", "Try the notifications ([[notify]])");
    notify_->add_flag("--test", notifyTest_, "Send a test notice through each entry now")
        ->required();
    notify_->add_option("NAME", notifyName_, "Only this entry");
    for (auto* command : {plan_, drill_, reload_, notify_}) {
      command->add_option("--config", configPath, "The configuration file")->capture_default_str();
    }
  }
  // The exit code of the one given, or nothing when none was.
  std::optional<int> Run(const std::string& configPath) const {
    if (*plan_) return RunPlan(configPath, planJson_);
    if (*drill_) return RunDrill(configPath, drillUser_);
    if (*reload_) return RunReload(configPath, control_);
    if (*notify_) return RunNotifyTest(configPath, notifyName_);
    return std::nullopt;
  }

 private:
  CLI::App *plan_, *drill_, *reload_, *notify_;
  bool planJson_ = false, notifyTest_ = false;
  std::string drillUser_, notifyName_, control_;
};

}  // namespace corvale
