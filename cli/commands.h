// The corvale-ups subcommands that need more than a few lines. Each only wires the host core
// (host/) to its options and its output.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/driver_library.h"

namespace corvale {

// Options every driver-using command shares.
struct Common {
  Setup setup = DefaultSetup();
  std::string library;
  bool json = false;
};

struct MonitorOptions {
  std::uint32_t interval = kNoTimeLimit;  // accepted for old scripts; polls are once a second
  std::string onLowBattery;
  std::optional<std::uint32_t> turnOffDelay;
};
int RunMonitor(const Common& common, const MonitorOptions& options);

// The system service and its helpers, driven by the configuration file.
int RunService(const std::string& configPath);
int RunCheckConfig(const std::string& configPath);
// The root helper of a service without root's rights: carries out its waiting requests. It keeps
// the last good copy of the file at `lastGood` (empty: none), to act on while an edit breaks it.
int RunShutdownHelper(const std::string& configPath, const std::string& lastGood);
// `flagFile` empty: the configuration's, or the default where it cannot be read.
int RunKillPower(const std::string& configPath, const std::string& flagFile);
// Removes the flag by hand, as root: no power cut follows the next shutdown.
int RunDisarm(const std::string& configPath);

// The recorded power events, from the configuration's history file or `file`.
struct HistoryOptions {
  std::string configPath;
  std::string file;
  std::string since;     // RFC 3339; empty: all
  bool json = false;     // the records as JSON lines
  bool battery = false;  // only the battery's measures: time to low battery per power failure
};
int RunHistory(const HistoryOptions& options);

// The shutdown plan as a timeline (from the running service, or the file alone).
int RunPlan(const std::string& configPath, bool json);
// A rehearsal of the shutdown on the machine with the cable, logged in as `user` (empty: the
// first user who may force a shutdown); kExitNotReady when a check fails.
int RunDrill(const std::string& configPath, const std::string& user);
// Asks the running service to read its file again and waits until it has: 0 once applied,
// kExitFailure when it refused (it says why), kExitNoService when it does not answer. `control`:
// where it answers when the file cannot be read (empty: the default).
int RunReload(const std::string& configPath, const std::string& control);
// A test notice through each [[notify]] entry (or the one named), and what became of it.
int RunNotifyTest(const std::string& configPath, const std::string& name);

// The Windows service's registration (the name "UPS" belongs to the driver's registry key).
inline constexpr char kServiceName[] = "CorvaleUPS";
// corvale-ups.exe's command line, in UTF-16 as wmain takes it: each command above, by its name.
int RunWindowsCommandLine(int argc, wchar_t** argv);
int RunInstall(const std::string& configPath);
int RunRemove();
// Makes the folder of the configuration and the service's files the administrators' own, before
// an installer trusts anything in it.
int RunPrepareDataFolder();
// The installer's agent: a configuration that follows `ups` on `server`, written only where there
// is none yet; the password is the first line of `passwordFile`.
struct AgentAnswers {
  std::string configPath, server, ups = "corvale", user, passwordFile;
};
int RunWriteAgentConfig(const AgentAnswers& answers);

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
int RunDemo(const DemoOptions& options, const std::atomic<bool>& stop);

// Loads the library, prepares the setup and starts the driver; on failure prints why and gives
// the exit code. kExitNoUps leaves the driver running.
int StartFromCommandLine(const Common& common, std::unique_ptr<DriverLibrary>& driver);
int Fail(int code, const std::string& message);

// One report of the UPS's state (from the running service when it shares the UPS), and the
// turn-off order.
struct StatusOptions {
  std::string configPath;
  bool configGiven = false;    // use the file's settings, and ask its service
  bool settingsGiven = false;  // a registry or devices folder given: not the service's
  // Where the service answers when the file cannot be read by this user (it holds passwords).
  std::string control;
};
int RunStatus(const Common& common, const StatusOptions& options);
int RunTurnOff(const Common& common, std::uint32_t delay);
// One UPS's driver in a process of its own, speaking to the service that started it.
// `systemRegistry`: it reads its port and publishes its status where the system's own tools look
// (the one UPS whose driver may), not in a place of this UPS's own.
int RunUpsChild(const Common& common, const std::string& name, bool systemRegistry = false);

}  // namespace corvale
