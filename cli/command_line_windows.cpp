// corvale-ups.exe's command line: the UPS monitor service for CorvaleUPS.dll on today's Windows.
// This file only reads the command line and hands over.
#include <windows.h>

#include <CLI/CLI.hpp>
#include <vector>

#include "cli/commands.h"
#include "cli/parse.h"
#include "host/host_os.h"
#include "host/windows/wide_text.h"

#ifndef CORVALE_UPS_VERSION
#define CORVALE_UPS_VERSION "0"
#endif

namespace corvale {

int RunWindowsCommandLine(int argc, wchar_t** wideArgv) {
  std::vector<std::string> arguments;
  for (int at = 0; at < argc; ++at) arguments.push_back(host::Utf8(wideArgv[at]));
  std::vector<char*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  char** argv = pointers.data();
  CLI::App app{"corvale-ups: watch a UPS on a serial port through CorvaleUPS.dll"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("corvale-ups ") + CORVALE_UPS_VERSION);
  Common common;
  std::optional<std::string> port;
  std::string configPath = host::DefaultConfigPath();

  auto* install = app.add_subcommand(
      "install", "Register the service \"CorvaleUPS\" to start at boot, and the driver's keys");
  auto* remove = app.add_subcommand("remove", "Unregister the service (the driver's keys stay)");
  auto* service =
      app.add_subcommand("service", "What the service manager runs (from a console: until Ctrl-C)");
  auto* checkConfig = app.add_subcommand("check-config", "Check the configuration file");
  auto* status =
      app.add_subcommand("status", "Report the UPS's state and the published values once");
  auto* turnOff = app.add_subcommand("turn-off", "Order the UPS to switch its output off");
  auto* disarm = app.add_subcommand(
      "disarm", "As an administrator, remove the flag: no power cut after the next shutdown");
  auto* history = app.add_subcommand("history", "List the power events the service recorded");
  // For the installer, before it trusts anything in the folder: not listed in the help.
  auto* dataFolder = app.add_subcommand(
      "data-folder", "Make the folder of the configuration the administrators' own");
  dataFolder->group("");
  auto* agentConfig = app.add_subcommand(
      "agent-config", "Write an agent's configuration from the installer's answers");
  agentConfig->group("");
  // Started by the service, one per UPS on a machine with several.
  auto* upsChild = app.add_subcommand("ups-child", "One UPS's driver, for the service");
  upsChild->group("");
  std::string childName;
  upsChild->add_option("--name", childName)->required();
  bool systemRegistry = false;
  upsChild->add_flag("--system-registry", systemRegistry);
  AgentAnswers agent;
  agentConfig->add_option("--config", agent.configPath)->required();
  agentConfig->add_option("--server", agent.server)->required();
  agentConfig->add_option("--ups", agent.ups)->capture_default_str();
  agentConfig->add_option("--user", agent.user)->required();
  agentConfig->add_option("--password-file", agent.passwordFile)->required();
  HistoryOptions historyOptions;
  history->add_option("--file", historyOptions.file, "The history file itself");
  history->add_option("--since", historyOptions.since, "Only from this time on (RFC 3339)");
  history->add_flag("--json", historyOptions.json, "As JSON lines");
  history->add_flag("--battery", historyOptions.battery,
                    "Only the battery's health: how long each power failure took to run it low");
  PlanCommands planCommands(app, configPath);

  for (auto* command : {install, service, checkConfig, status, history, disarm}) {
    command->add_option("--config", configPath, "The configuration file")->capture_default_str();
  }
  for (auto* command : {status, turnOff, upsChild}) {
    command->add_option("--port", port, "COM port, written into the registry as \"Port\"");
    command->add_option("--library", common.library, "The driver library (CorvaleUPS.dll)");
  }
  status->add_flag("--json", common.json, "As a JSON object");
  std::uint32_t delay = 0;
  turnOff->add_option("DELAY", delay, "Seconds until the output goes off (0-999)")
      ->required()
      ->check(CLI::Range(0, 999));

  if (const auto exitCode = ParseCommandLine(app, argc, argv)) return *exitCode;
  common.setup.port = port;
  if (*checkConfig) return RunCheckConfig(configPath);
  if (*status) {
    return RunStatus(common, {configPath, status->get_option("--config")->count() > 0, false, ""});
  }
  if (*turnOff) return RunTurnOff(common, delay);
  if (*upsChild) return RunUpsChild(common, childName, systemRegistry);
  if (*history) {
    historyOptions.configPath = configPath;
    return RunHistory(historyOptions);
  }
  if (const auto ran = planCommands.Run(configPath)) return *ran;
  if (*disarm) return RunDisarm(configPath);
  if (*dataFolder) return RunPrepareDataFolder();
  if (*agentConfig) return RunWriteAgentConfig(agent);
  if (*install) return RunInstall(configPath);
  if (*remove) return RunRemove();
  return host::RunAsService(kServiceName, [&] { return RunService(configPath); });
}

}  // namespace corvale
