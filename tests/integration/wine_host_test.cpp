// corvale-ups.exe under Wine: the same host core as on Linux, loading CorvaleUPS.dll, with the
// UPS peer as COM1, its NUT server read by the native upsc, and its shutdown command run.
#include "tests/support/wine_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/read_file.h"
#include "tests/support/subprocess.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using corvale::testing::WineHost;
using namespace std::chrono_literals;

const fs::path kBuild = CORVALE_WINDOWS_BUILD_DIR;
const fs::path kSource = CORVALE_SOURCE_DIR;
// ReportEvent's types.
constexpr int kEventError = 1, kEventWarning = 2, kEventInformation = 4;

class WineHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVALE_SKIP_WITHOUT_WINE(kSource, kBuild);
    ASSERT_TRUE(fs::exists(kBuild / "cli/corvale-ups.exe"));
    host.MapCom1(peer.DevicePath());
  }
  void TearDown() override {
    if (serviceManagerStarted) Shell("wineserver -k");  // with any service a failure left
    host.UnmapCom1();
  }

  std::vector<std::string> Exe(std::vector<std::string> words) {
    words.insert(words.begin(), {(kSource / "cmake/wine-run.sh").string(),
                                 (kBuild / "cli/corvale-ups.exe").string()});
    return words;
  }
  // The process's output until `text` appears in a line; false when it never does.
  bool WaitFor(Subprocess& process, const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto line = process.ReadLine(500ms);
      if (!line) continue;
      output += *line + "\n";
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }

  // A configuration whose shutdown command leaves `marker`, sharing the UPS on `port`.
  // `hook`: the events command, when there is one.
  fs::path WriteConfig(const std::string& hook = "") {
    const fs::path config = directory.Path() / "corvale-ups.toml";
    std::ofstream(config) << "[ups]\nname = \"winups\"\nport = \"COM1\"\nlibrary = '"
                          << host.DllPath() << "'\n[shutdown]\ncommand = 'echo done> "
                          << WineHost::WindowsPath(marker) << "'\nflag_file = '"
                          << WineHost::WindowsPath(directory.Path() / "killpower")
                          << "'\n[events]\ncommand = '" << hook << "'\nhistory = '"
                          << WineHost::WindowsPath(directory.Path() / "history.jsonl")
                          << "'\n[network]\nlisten = [\"127.0.0.1:" << port
                          << "\"]\n[http]\nlisten = [\"127.0.0.1:" << httpPort << "\"]\n";
    return config;
  }

  // A command line in the test's Wine prefix, to its end; what it printed. `wine` in it is the
  // Wine that fits the build.
  std::string Shell(const std::string& command) {
    Subprocess run({"/bin/bash", "-c",
                    "export WINEPREFIX=" + (kBuild / "tests/wineprefix").string() +
                        " WINEDEBUG=-all; wine() { " + host.Wine() + " \"$@\"; }; " + command +
                        " 2>&1"});
    const std::string text = run.ReadAll(60s);
    run.Wait(10s);
    return text;
  }

  // Wine keeps a service alive only with a persistent server. Its services (the service manager
  // among them) are started here with no pipes of ours: a program started from a test inherits
  // the test's pipes, and they close with it. What they report to the Event Log goes to
  // `eventLog`, where Wine prints each ReportEvent's type, ID and text.
  void StartServiceManager() {
    serviceManagerStarted = true;
    Shell(
        "wineserver -k; wineserver -p && WINEDEBUG=fixme-all,fixme+advapi,+eventlog wine cmd /c "
        "ver </dev/null >'" +
        eventLog.string() + "' 2>&1");
    host.MapCom1(peer.DevicePath());  // again: the new server's mount manager reads the port key
  }

  bool WaitForService(const std::string& state) {
    for (int attempt = 0; attempt < 60; ++attempt) {
      if (Shell("wine sc query CorvaleUPS").find(state) != std::string::npos) return true;
      std::this_thread::sleep_for(500ms);
    }
    return false;
  }

  struct LoggedEvent {
    int type = 0;  // EVENTLOG_ERROR_TYPE 1, WARNING 2, INFORMATION 4
    int id = 0;
    std::string text;
  };
  // The events reported so far, from Wine's trace: "0134:fixme:advapi:ReportEventW (source,type,
  // category,id,...)" and then "0134:err:eventlog:ReportEventW L"text"" from the same thread.
  std::vector<LoggedEvent> EventLog() {
    std::vector<LoggedEvent> events;
    std::map<std::string, LoggedEvent> pending;  // by thread
    std::ifstream in(eventLog);
    for (std::string line; std::getline(in, line);) {
      const std::string thread = line.substr(0, line.find(':'));
      if (const auto call = line.find("fixme:advapi:ReportEventW ("); call != std::string::npos) {
        std::istringstream fields(line.substr(line.find('(', call) + 1));
        std::string source, type, category, id;
        std::getline(fields, source, ',');
        std::getline(fields, type, ',');
        std::getline(fields, category, ',');
        std::getline(fields, id, ',');
        pending[thread] = {std::stoi(type, nullptr, 16), std::stoi(id, nullptr, 16), ""};
      } else if (const auto text = line.find(":eventlog:ReportEventW L\"");
                 text != std::string::npos && pending.count(thread)) {
        // Wine prints the text as a C string: quotes and backslashes escaped.
        std::string printed = line.substr(text + 24), plain;
        if (!printed.empty() && printed.back() == '"') printed.pop_back();
        for (std::size_t at = 0; at < printed.size(); ++at) {
          if (printed[at] == '\\' && at + 1 < printed.size()) ++at;
          plain += printed[at];
        }
        pending[thread].text = plain;
        events.push_back(pending[thread]);
        pending.erase(thread);
      }
    }
    return events;
  }
  // The first event with `id` whose text has `text`, or nothing.
  std::optional<LoggedEvent> FindEvent(int id, const std::string& text) {
    for (const auto& event : EventLog()) {
      if (event.id == id && event.text.find(text) != std::string::npos) return event;
    }
    return std::nullopt;
  }

  // corvale-ups.exe's service in a test program of the same commands, which hands it the service
  // manager's SHUTDOWN for a line "shutdown" (Wine never sends a service one). Its driver
  // processes are that program's `ups-child`, as the service starts its own program's.
  std::vector<std::string> InProcessService(const fs::path& config) {
    return {(kSource / "cmake/wine-run.sh").string(),
            (kBuild / "tests/service_in_process.exe").string(), "service-in-process", "--config",
            WineHost::WindowsPath(config)};
  }
  // Whether `text` came already, or comes within `timeout`.
  bool Saw(Subprocess& process, const std::string& text, std::chrono::seconds timeout) {
    return output.find(text) != std::string::npos || WaitFor(process, text, timeout);
  }

  // A UPS on a cable of this machine: its name (this run's own: each driver keeps its status
  // under its name in the registry), COM port, supplies and turn-off delay.
  struct Cable {
    std::string name, com;
    int supplies = 1, delay = 120;
  };
  // `command`: the shutdown command; empty: one that leaves `marker`.
  fs::path WriteCablesConfig(const std::vector<Cable>& cables, int minSupplies,
                             const std::string& command = "") {
    const fs::path config = directory.Path() / "corvale-ups.toml";
    std::ofstream out(config);
    for (const auto& cable : cables) {
      out << "[[ups]]\nname = \"" << cable.name << "\"\nport = \"" << cable.com << "\"\nlibrary = '"
          << host.DllPath() << "'\nsupplies = " << cable.supplies
          << "\nturn_off_delay = " << cable.delay << "\n";
    }
    out << "[shutdown]\nmin_supplies = " << minSupplies << "\nretry_seconds = 2\ncommand = '"
        << (command.empty() ? "echo once>> " + WineHost::WindowsPath(marker) : command)
        << "'\nflag_file = '" << WineHost::WindowsPath(flagFile) << "'\n[events]\nhistory = '"
        << WineHost::WindowsPath(directory.Path() / "history.jsonl")
        << "'\n[network]\nlisten = [\"127.0.0.1:" << port << "\"]\n[http]\nlisten = []\n";
    return config;
  }
  void WaitUntilOnline(Subprocess& service, const std::vector<Cable>& cables) {
    for (const auto& cable : cables) {
      ASSERT_TRUE(Saw(service, cable.name + ": online", 90s)) << output;
    }
  }
  // The ports beyond COM1 and the UPSes' registry keys go with the test, however it ends.
  struct CablesGone {
    WineHostTest& test;
    std::vector<Cable> cables;
    ~CablesGone() {
      for (const auto& cable : cables) {
        test.Shell("wine reg delete 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + cable.name + "' /f");
        std::string lower = cable.com;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower != "com1") fs::remove(kBuild / "tests/wineprefix/dosdevices" / lower);
      }
    }
  };

  WineHost host{kBuild, kSource};
  corvale::UpsPeer peer;
  // In the build's folder, not /tmp: Wine shows a folder that everyone may change (as /tmp is)
  // as one, and the service keeps no flag or history below it.
  corvale::TemporaryDirectory directory{"corvale-wine-host", kBuild / "tests/scratch"};
  const std::string port = std::to_string(corvale::testing::FreePort());
  const std::string httpPort = std::to_string(corvale::testing::FreePort());
  const fs::path marker = directory.Path() / "shut-down";
  const fs::path eventLog = directory.Path() / "event-log";
  const fs::path flagFile = directory.Path() / "killpower";
  bool serviceManagerStarted = false;
  std::string output;
};

TEST_F(WineHostTest, StatusThroughTheDll) {
  // With a port given, nothing is asked of a service.
  Subprocess status(Exe({"status", "--port", "COM1", "--json", "--library", host.DllPath()}));
  ASSERT_TRUE(WaitFor(status, "\"state\":1", 60s)) << output;
  EXPECT_EQ(status.Wait(30s), 0);
}

TEST_F(WineHostTest, TheProgramCarriesItsVersionAndNoDebugInformation) {
  std::string said;
  for (const auto& line :
       host.Run({"version:" + WineHost::WindowsPath(kBuild / "cli/corvale-ups.exe")})) {
    said += line + "\n";
  }
  // Descriptions, then file and product version, file type 1 (application), language, code page.
  EXPECT_NE(said.find("version Corvale UPS monitor service|1.0.0.1|corvale-ups|corvale-ups.exe|"
                      "1.0.0.1|1.0.0.1|1|0809|1200"),
            std::string::npos)
      << said;
  EXPECT_LT(fs::file_size(kBuild / "cli/corvale-ups.exe"), 3'000'000u) << "stripped";
}

TEST_F(WineHostTest, ServiceSharesTheUpsAndShutsDownOnLowBattery) {
  // A hook that hangs, told apart from any other test's by its count.
  const std::string hanging = "ping.exe -n " + std::to_string(90000 + ::getpid() % 9999);
  const auto hooksRunning = [&] {
    // "[p]ing": the shell that runs pgrep, whose own line holds the pattern, is not counted.
    Subprocess count(
        {"/bin/sh", "-c", "pgrep -c -f '[p]" + hanging.substr(1) + " 127.0.0.1' || true"});
    return std::stoi(count.ReadLine(10s).value_or("0"));
  };
  const fs::path config = WriteConfig(hanging + " 127.0.0.1");
  Subprocess service(Exe({"service", "--config", WineHost::WindowsPath(config)}),
                     /*mergeErrors=*/true);
  ASSERT_TRUE(WaitFor(service, "winups: online", 60s)) << output;
  Subprocess upsc({"/bin/sh", "-c", "upsc winups@127.0.0.1:" + port + " ups.status 2>/dev/null"});
  EXPECT_EQ(upsc.ReadLine(20s).value_or("-"), "OL");
  // The HTTP endpoint inside Wine, read by the native curl.
  Subprocess curl({"/bin/sh", "-c",
                   "curl -sf --max-time 10 http://127.0.0.1:" + httpPort +
                       "/metrics | grep '^corvale_ups_state'"});
  EXPECT_EQ(curl.ReadLine(20s).value_or("-"), "corvale_ups_state{ups=\"winups\"} 1");
  peer.SetStatus(0x0005);
  ASSERT_TRUE(WaitFor(service, "shutdown command ended: exit status 0", 30s)) << output;
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(fs::exists(directory.Path() / "killpower"));
  EXPECT_GE(hooksRunning(), 2) << "online, on-battery, low-battery, shutdown: each still runs";
  service.Signal(SIGINT);  // Wine hands it to the console's Ctrl-C handler
  ASSERT_TRUE(WaitFor(service, "stopped", 30s)) << output;
  EXPECT_EQ(service.Wait(30s), 0);
  EXPECT_EQ(hooksRunning(), 0) << "the hooks end with the service";
  // The history, written through Windows' own calls, read here.
  Subprocess history(
      Exe({"history", "--file", WineHost::WindowsPath(directory.Path() / "history.jsonl")}));
  const std::string listed = history.ReadAll(60s);
  EXPECT_NE(listed.find("  low-battery  "), std::string::npos) << listed;
  EXPECT_NE(listed.find("  service-stopped  "), std::string::npos) << listed;
}

TEST_F(WineHostTest, InstalledAsAWindowsServiceItStartsServesAndStops) {
  const fs::path config = WriteConfig();
  StartServiceManager();
  // From the configuration's folder, by its name alone: registered by its full path.
  EXPECT_NE(Shell("cd '" + config.parent_path().string() + "' && wine " +
                  (kBuild / "cli/corvale-ups.exe").string() + " install --config " +
                  config.filename().string())
                .find("is registered"),
            std::string::npos);
  const auto registered =
      Shell("wine reg query 'HKLM\\System\\CurrentControlSet\\Services\\CorvaleUPS' /v ImagePath");
  EXPECT_NE(registered.find(WineHost::WindowsPath(config)), std::string::npos) << registered;
  Shell("wine net start CorvaleUPS");
  // `net start` returns before the service runs: ask the service manager until it does.
  ASSERT_TRUE(WaitForService("RUNNING"));
  std::string status;
  for (int attempt = 0; attempt < 40 && status != "OL\n"; ++attempt) {
    status = Shell("upsc winups@127.0.0.1:" + port + " ups.status 2>/dev/null | tail -n 1");
    if (status != "OL\n") std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(status, "OL\n") << "the native upsc reads the service inside Wine";
  // By hand, another port would become the service's too: refused while it runs.
  const auto byHand = Shell("wine " + (kBuild / "cli/corvale-ups.exe").string() +
                            " status --port COM2 2>&1; echo $?");
  EXPECT_NE(byHand.find("the service CorvaleUPS runs"), std::string::npos) << byHand;
  EXPECT_NE(byHand.find("\n2\n"), std::string::npos) << byHand;
  peer.SetStatus(0x0005);
  for (int attempt = 0; attempt < 60 && !fs::exists(marker); ++attempt) {
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_TRUE(fs::exists(marker)) << "the configured shutdown command ran";
  // Each event kind under its own ID and type, which Event Viewer filters by.
  const auto online = FindEvent(100, "winups: online");
  ASSERT_TRUE(online) << ReadFile(eventLog);
  EXPECT_EQ(online->type, kEventInformation);
  const auto shutdown = FindEvent(111, "winups: shutdown");
  ASSERT_TRUE(shutdown) << ReadFile(eventLog);
  EXPECT_EQ(shutdown->type, kEventError);
  EXPECT_TRUE(FindEvent(5, "watching the UPS 'winups'")) << "other lines by their priority";
  Shell("wine net stop CorvaleUPS");
  EXPECT_NE(Shell("wine sc query CorvaleUPS").find("STOPPED"), std::string::npos);
  EXPECT_NE(Shell("wine " + (kBuild / "cli/corvale-ups.exe").string() + " remove").find("removed"),
            std::string::npos);
  EXPECT_EQ(Shell("wine sc query CorvaleUPS").find("RUNNING"), std::string::npos);
  Shell("wineserver -k");
}

TEST_F(WineHostTest, CheckConfigSpeaksOfWindowsThings) {
  host.MapPort("COM10", peer.DevicePath());
  const fs::path config = directory.Path() / "ports.toml";
  const auto check = [&](const std::string& name) {
    std::ofstream(config) << "[ups]\nport = \"" << name << "\"\n[network]\nlisten = []\n";
    Subprocess run(Exe({"check-config", "--config", WineHost::WindowsPath(config)}), true);
    const std::string said = run.ReadAll(60s);
    run.Wait(10s);
    EXPECT_EQ(said.find("/dev"), std::string::npos) << said;
    EXPECT_EQ(said.find("ups.devices"), std::string::npos) << said;
    EXPECT_EQ(said.find("ups.registry"), std::string::npos) << said;
    return said;
  };
  EXPECT_NE(check("COM10").find(": fine"), std::string::npos);
  EXPECT_EQ(check("COM10").find("warning"), std::string::npos);
  const std::string missing = check("COM99");
  EXPECT_NE(missing.find("warning: ups.port: there is no COM99 on this machine yet"),
            std::string::npos)
      << missing;
  EXPECT_NE(check("COM12345").find("ups.port must name a COM port in 1 to 7 characters"),
            std::string::npos);
  // The drill asks over the local channel, which this build does not have: said plainly.
  std::ofstream(config) << "[ups]\nport = \"COM10\"\n[network]\nlisten = []\n";
  Subprocess drill(Exe({"drill", "--config", WineHost::WindowsPath(config)}), true);
  const std::string drillSaid = drill.ReadAll(60s);
  EXPECT_EQ(drill.Wait(10s), 2) << drillSaid;
  EXPECT_NE(drillSaid.find("the drill needs the service's local channel, which this build for "
                           "Windows does not have"),
            std::string::npos)
      << drillSaid;
  EXPECT_EQ(drillSaid.find("service.control"), std::string::npos) << drillSaid;
  fs::remove(kBuild / "tests/wineprefix/dosdevices/com10");
}

TEST_F(WineHostTest, AFailedStartSaysWhatIsWrongWithThePort) {
  // Ports that exist but are not serial ports: they open, and refuse the line settings.
  const fs::path notSerial = directory.Path() / "not-a-port";
  std::ofstream(notSerial) << "x";
  for (const char* name : {"COM2", "COM10"}) {
    host.MapPort(name, notSerial.string());
    Subprocess status(Exe({"status", "--port", name, "--library", host.DllPath()}), true);
    const std::string said = status.ReadAll(60s);
    EXPECT_EQ(status.Wait(30s), 4) << said;
    EXPECT_NE(said.find(std::string("the port ") + name + " opens but refused the line settings"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("no such port"), std::string::npos) << "COM10 is there: " << said;
    EXPECT_EQ(said.find("Success"), std::string::npos) << "no error after a success: " << said;
  }
  fs::remove(kBuild / "tests/wineprefix/dosdevices/com2");
  fs::remove(kBuild / "tests/wineprefix/dosdevices/com10");
}

TEST_F(WineHostTest, CheckConfigFindsMistypedProgramsAndPlantedFoldersAndReadsNamesBeyondAscii) {
  // The file, its hook and its flag in a folder named "Störung", for a UPS named "Büro-USV".
  const fs::path folder = directory.Path() / "Störung";
  fs::create_directories(folder / "flag");
  std::ofstream(folder / "on-event.cmd") << "@exit 0\r\n";
  const fs::path config = folder / "corvale-ups.toml";
  const auto write = [&](const std::string& shutdownCommand) {
    std::ofstream(config) << "[ups]\nname = \"Büro-USV\"\nport = \"COM1\"\nlibrary = '"
                          << host.DllPath() << "'\n[shutdown]\ncommand = '" << shutdownCommand
                          << "'\nflag_file = '" << WineHost::WindowsPath(folder / "flag/killpower")
                          << "'\n[events]\ncommand = '\""
                          << WineHost::WindowsPath(folder / "on-event.cmd")
                          << "\" %CORVALE_UPS_EVENT%'\nhistory = '"
                          << WineHost::WindowsPath(folder / "history.jsonl")
                          << "'\n[network]\nlisten = []\n[http]\nlisten = []\n";
  };
  const auto check = [&](std::string* said) {
    Subprocess run(Exe({"check-config", "--config", WineHost::WindowsPath(config)}), true);
    *said = run.ReadAll(60s);
    return run.Wait(10s);
  };
  std::string said;
  write("shutdown /s /t 0");
  EXPECT_EQ(check(&said), 0) << said;
  EXPECT_NE(said.find(": fine"), std::string::npos) << said;
  // A typo: cmd.exe would exit 9009 twice when the battery runs low.
  write(WineHost::WindowsPath(folder / "shutdwn.cmd"));
  EXPECT_EQ(check(&said), 2) << said;
  EXPECT_NE(said.find("shutdown.command: there is no program"), std::string::npos) << said;
  // The flag's folder, changed by somebody so that everybody may put a flag there.
  write("shutdown /s /t 0");
  fs::permissions(folder / "flag", fs::perms::all);
  EXPECT_EQ(check(&said), 2) << said;
  EXPECT_NE(said.find("shutdown.flag_file: "), std::string::npos) << said;
  EXPECT_NE(said.find("Everyone may change it"), std::string::npos) << said;
}

TEST_F(WineHostTest, AServiceThatCannotStartSaysWhyInTheEventLog) {
  const fs::path config = WriteConfig();
  StartServiceManager();
  const std::string exe = (kBuild / "cli/corvale-ups.exe").string();
  ASSERT_NE(Shell("wine " + exe + " install --config '" + WineHost::WindowsPath(config) + "'")
                .find("is registered"),
            std::string::npos);
  // Broken after it was registered: the service has no standard error to say so on.
  const std::string text = ReadFile(config);
  const std::string brokenLine = std::to_string(std::count(text.begin(), text.end(), '\n') + 1);
  std::ofstream(config, std::ios::app) << "command = \"C:\\Scripts\\x.cmd\"\n";
  Shell("wine net start CorvaleUPS");
  EXPECT_TRUE(WaitForService("STOPPED"));
  const auto failed = FindEvent(10, "escape");
  EXPECT_TRUE(failed) << ReadFile(eventLog);
  if (failed) {
    EXPECT_EQ(failed->type, kEventError);
    EXPECT_NE(failed->text.find(WineHost::WindowsPath(config) + ":" + brokenLine + ":"),
              std::string::npos)
        << "the file and the line: " << failed->text;
    EXPECT_NE(failed->text.find("single quotes"), std::string::npos) << "and how to write it";
  }
  Shell("wine " + exe + " remove");
  Shell("wineserver -k");
}

TEST_F(WineHostTest, TheInstallerChecksWithTheNewProgramFirstAndKeepsWhatTheAdministratorChose) {
  const fs::path installer = kBuild / "corvale-ups-setup-1.0.0.1.exe";
  ASSERT_TRUE(fs::exists(installer)) << "built with makensis by the Windows build";
  const fs::path drive = kBuild / "tests/wineprefix/drive_c";
  const fs::path shipped = drive / "Program Files/Corvale UPS";
  // A folder of the administrator's own (without spaces: NSIS takes /D= and _?= unquoted).
  const fs::path folder = drive / "CorvaleUPS";
  const fs::path settings = drive / "ProgramData/Corvale";
  const fs::path config = settings / "corvale-ups.toml";
  StartServiceManager();
  const auto install = [&](const std::string& options = "") {
    return Shell("wine " + installer.string() + " /S" + options + "; echo exit $?");
  };
  const std::string good =
      "[ups]\nname = \"winups\"\nport = \"COM1\"\n[network]\nlisten = []\n[http]\nlisten = []\n";
  // Whatever an earlier run left in the prefix.
  Shell("wine sc delete CorvaleUPS");
  fs::remove_all(settings);
  fs::remove_all(shipped);
  fs::remove_all(folder);

  // Before any installation, another account made the folder, and a file in it whose commands
  // would run as SYSTEM. (Wine shows another account's rights only as Everyone's.)
  fs::create_directories(settings);
  std::ofstream(config) << good << "[shutdown]\ncommand = 'C:\\Users\\Public\\own.cmd'\n";
  fs::permissions(settings, fs::perms::all);
  fs::permissions(config, fs::perms::all);
  EXPECT_NE(install().find("exit 2"), std::string::npos) << "a planted file is not a configuration";
  std::string why = ReadFile(settings / "install.log");
  EXPECT_NE(why.find("Everyone may change it"), std::string::npos) << why;
  EXPECT_EQ(fs::status(settings).permissions() & fs::perms::others_write, fs::perms::none)
      << "the folder is taken back for the administrators";
  EXPECT_EQ(Shell("wine sc query CorvaleUPS").find("SERVICE_NAME"), std::string::npos);
  EXPECT_FALSE(fs::exists(shipped));

  // A configuration kept from an earlier installation, with an error in it.
  fs::remove(config);
  std::ofstream(config)
      << "[ups]\nname = \"winups\"\nport = \"COM1\"\n[shutdown]\nturn_off_delay = 1200\n";
  EXPECT_NE(install().find("exit 2"), std::string::npos) << "a silent failure is not a success";
  why = ReadFile(settings / "install.log");
  EXPECT_NE(why.find("corvale-ups.toml:5: shutdown.turn_off_delay"), std::string::npos) << why;
  EXPECT_EQ(Shell("wine sc query CorvaleUPS").find("SERVICE_NAME"), std::string::npos);

  // Mended, and installed where the administrator chose; running.
  std::ofstream(config) << good;
  EXPECT_NE(install(" '/D=C:\\CorvaleUPS'").find("exit 0"), std::string::npos)
      << ReadFile(settings / "install.log");
  EXPECT_FALSE(fs::exists(settings / "install.log"));
  EXPECT_TRUE(fs::exists(folder / "corvale-ups.exe"));
  Shell("wine net start CorvaleUPS");
  ASSERT_TRUE(WaitForService("RUNNING"));

  // A typo, then an upgrade: the new program refuses the file before anything is stopped.
  std::ofstream(config, std::ios::app) << "[shutdown]\nturn_off_delay = 1200\n";
  EXPECT_NE(install().find("exit 2"), std::string::npos);
  EXPECT_NE(Shell("wine sc query CorvaleUPS").find("RUNNING"), std::string::npos)
      << "the machine keeps its service";
  why = ReadFile(settings / "install.log");
  EXPECT_NE(why.find("corvale-ups.toml:9: shutdown.turn_off_delay"), std::string::npos) << why;
  EXPECT_NE(why.find("run on as before"), std::string::npos) << why;

  // Mended; installed again over the running service, where the first installation went.
  std::ofstream(config) << good;
  const std::size_t startsBefore = EventLog().size();
  const std::string again = install();
  EXPECT_NE(again.find("exit 0"), std::string::npos) << again << ReadFile(settings / "install.log");
  EXPECT_TRUE(WaitForService("RUNNING")) << "started again after its files were replaced";
  EXPECT_FALSE(fs::exists(shipped)) << "not into Program Files beside the installed one";
  bool stopped = false, startedAgain = false;
  const auto events = EventLog();
  for (std::size_t index = startsBefore; index < events.size(); ++index) {
    stopped = stopped || events[index].text.find("stopped") != std::string::npos;
    startedAgain =
        startedAgain || (stopped && events[index].text.find("watching") != std::string::npos);
  }
  EXPECT_TRUE(stopped && startedAgain) << ReadFile(eventLog);

  // Disabled by the administrator: an upgrade leaves it so.
  Shell("wine net stop CorvaleUPS");
  ASSERT_EQ(corvale::testing::FindLine(host.Run({"start-type:CorvaleUPS:4"}), "start-type"),
            "start-type 4");
  EXPECT_NE(install().find("exit 0"), std::string::npos);
  EXPECT_EQ(corvale::testing::FindLine(host.Run({"start-type:CorvaleUPS"}), "start-type"),
            "start-type 4")
      << "SERVICE_DISABLED, as the administrator left it";

  // What Add/Remove Programs shows, and the files an administrator reads.
  const auto entry = Shell(
      "wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CorvaleUPS'");
  for (const char* value : {"DisplayVersion    REG_SZ    1.0.0.1", "Publisher", "DisplayIcon",
                            "EstimatedSize", "UninstallString",
                            "InstallLocation    REG_SZ    "
                            "C:\\CorvaleUPS",
                            "/S _?=C:\\CorvaleUPS"}) {
    EXPECT_NE(entry.find(value), std::string::npos) << value << "\n" << entry;
  }
  const auto menu = drive / "ProgramData/Microsoft/Windows/Start Menu/Programs/Corvale UPS";
  EXPECT_TRUE(fs::exists(menu / "Corvale UPS console.lnk"));
  // The configuration is the administrators' alone: its shortcut opens Notepad with their rights.
  const std::string link = ReadFile(menu / "Configuration.lnk");
  ASSERT_GT(link.size(), 0x18u);
  EXPECT_EQ(link.substr(0, 4), std::string("\x4c\0\0\0", 4)) << "a shell link";
  EXPECT_NE(static_cast<unsigned char>(link[0x15]) & 0x20, 0) << "SLDF_RUNAS_USER";
  const std::string readme = ReadFile(folder / "README.txt");
  EXPECT_NE(readme.find("corvale-ups.exe\r\n"), std::string::npos) << "Windows line endings";
  EXPECT_NE(ReadFile(config).find("winups"), std::string::npos)
      << "the administrator's file is kept";
  EXPECT_NE(ReadFile(kBuild / "corvale-ups.toml").find("[events]\r\n"), std::string::npos);
  std::string installerVersion;
  for (const auto& line : host.Run({"version:" + WineHost::WindowsPath(installer)})) {
    installerVersion += line + "\n";
  }
  EXPECT_NE(installerVersion.find("|1.0.0.1|"), std::string::npos) << installerVersion;

  // A service that cannot be removed keeps everything else: here `remove` itself fails.
  const std::string uninstall =
      "wine 'C:\\CorvaleUPS\\uninstall.exe' /S '_?=C:\\CorvaleUPS'; echo exit $?";
  fs::copy_file(folder / "corvale-ups.exe", directory.Path() / "corvale-ups.exe");
  fs::copy_file(drive / "windows/system32/reg.exe", folder / "corvale-ups.exe.new");
  fs::rename(folder / "corvale-ups.exe.new", folder / "corvale-ups.exe");
  EXPECT_NE(Shell(uninstall).find("exit 2"), std::string::npos);
  EXPECT_TRUE(fs::exists(folder / "CorvaleUPS.dll"));
  EXPECT_NE(Shell("wine sc query CorvaleUPS").find("SERVICE_NAME"), std::string::npos);
  fs::copy_file(directory.Path() / "corvale-ups.exe", folder / "corvale-ups.exe",
                fs::copy_options::overwrite_existing);

  // Removed as a tool removes it, waiting (Add/Remove's quiet command line): nothing of it is
  // left when that returns but the data the README says it keeps.
  for (const char* kept : {"history.jsonl", "history.jsonl.1", "outbox.jsonl"}) {
    std::ofstream(settings / kept) << "{}\n";
  }
  std::ofstream(settings / "killpower") << "# a power cut nobody would act on\n";
  const std::string queried = corvale::testing::FindLine(
      host.Run({"query:Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CorvaleUPS:"
                "QuietUninstallString"}),
      "query");
  ASSERT_EQ(queried.rfind("query ", 0), 0u) << queried;
  const std::string quiet = queried.substr(6);
  ASSERT_NE(quiet.find("/S _?=C:\\CorvaleUPS"), std::string::npos) << quiet;
  EXPECT_EQ(corvale::testing::FindLine(host.Run({"exec:" + quiet}), "exec"), "exec 0");
  EXPECT_FALSE(fs::exists(folder)) << "removed before the uninstaller returned";
  EXPECT_EQ(Shell("wine sc query CorvaleUPS").find("SERVICE_NAME"), std::string::npos);
  for (const char* kept :
       {"corvale-ups.toml", "history.jsonl", "history.jsonl.1", "outbox.jsonl"}) {
    EXPECT_TRUE(fs::exists(settings / kept)) << kept;
  }
  EXPECT_FALSE(fs::exists(settings / "killpower"));
  EXPECT_FALSE(fs::exists(settings / "install.log"));
  EXPECT_EQ(Shell("wine reg query "
                  "'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CorvaleUPS'")
                .find("DisplayName"),
            std::string::npos);
  Shell("wineserver -k");
}

TEST_F(WineHostTest, TheInstallerMakesAnAgentSilentlyWithThePasswordFromAFile) {
  const fs::path installer = kBuild / "corvale-ups-setup-1.0.0.1.exe";
  ASSERT_TRUE(fs::exists(installer));
  const fs::path drive = kBuild / "tests/wineprefix/drive_c";
  const fs::path folder = drive / "CorvaleAgent";
  const fs::path settings = drive / "ProgramData/Corvale";
  const fs::path config = settings / "corvale-ups.toml";
  StartServiceManager();
  Shell("wine sc delete CorvaleUPS");
  fs::remove_all(settings);
  fs::remove_all(folder);
  const fs::path secret = directory.Path() / "password.txt";
  std::ofstream(secret) << "s3cret-pw\r\n";  // as Notepad ends a line
  const auto install = [&](const std::string& options) {
    return Shell("wine " + installer.string() + " /S " + options +
                 " '/D=C:\\CorvaleAgent'; echo exit $?");
  };
  // A server nobody here serves: the installed agent must reach no other service.
  const std::string server = "127.0.0.1:" + std::to_string(corvale::testing::FreePort());
  // Without the password: refused, nothing written or installed.
  EXPECT_NE(install("/AGENT=" + server + " /USER=rack2").find("exit 2"), std::string::npos);
  EXPECT_FALSE(fs::exists(config));
  EXPECT_EQ(Shell("wine sc query CorvaleUPS").find("SERVICE_NAME"), std::string::npos);

  const std::string done = install("/AGENT=" + server + " /UPS=rack /USER=rack2 '/PASSWORDFILE=" +
                                   WineHost::WindowsPath(secret) + "'");
  EXPECT_NE(done.find("exit 0"), std::string::npos) << done << ReadFile(settings / "install.log");
  const std::string written = ReadFile(config);
  for (const std::string& part :
       {"server = '" + server + "'", std::string("name = 'rack'"), std::string("user = 'rack2'"),
        std::string("password = 's3cret-pw'")}) {
    EXPECT_NE(written.find(part), std::string::npos) << part << "\n" << written << done;
  }
  EXPECT_EQ(written.find("port ="), std::string::npos) << "an agent has no cable: " << written;
  EXPECT_TRUE(fs::exists(secret)) << "the administrator's file is left as it was";
  EXPECT_NE(Shell("wine " + (folder / "corvale-ups.exe").string() + " check-config").find(": fine"),
            std::string::npos);
  // Installed again, with other answers: the administrator's file is kept.
  EXPECT_NE(
      install("/AGENT=10.0.0.9 /USER=other '/PASSWORDFILE=" + WineHost::WindowsPath(secret) + "'")
          .find("exit 0"),
      std::string::npos);
  EXPECT_EQ(ReadFile(config), written);
  Shell("wine net stop CorvaleUPS");
  Shell("wine 'C:\\CorvaleAgent\\uninstall.exe' /S '_?=C:\\CorvaleAgent'");
  fs::remove_all(settings);
  fs::remove_all(folder);
  Shell("wineserver -k");
}

}  // namespace

namespace {

TEST_F(WineHostTest, TwoUpsDriverProcessesEachKeepTheirOwnPortAndStatus) {
  corvale::UpsPeer second;
  host.MapPort("COM2", second.DevicePath());
  const auto start = [&](const std::string& name, const std::string& com) {
    auto process = std::make_unique<Subprocess>(
        Exe({"ups-child", "--name", name, "--port", com, "--library", host.DllPath()}));
    process->WriteLine("corvale-ups-child 1");
    return process;
  };
  const std::string left = "wine-left-" + std::to_string(::getpid());
  const std::string right = "wine-right-" + std::to_string(::getpid());
  auto leftChild = start(left, "COM1");
  auto rightChild = start(right, "COM2");
  peer.SetStatus(0x0001);  // only the first UPS on battery
  EXPECT_TRUE(WaitFor(*leftChild, "obs 2 2 0 ", 60s)) << output;
  EXPECT_TRUE(WaitFor(*rightChild, "obs 1 1 0 ", 60s)) << output;
  for (auto* child : {leftChild.get(), rightChild.get()}) {
    child->WriteLine("stop");
    EXPECT_EQ(child->Wait(30s), 0);
  }
  // Each driver read its "Port" and wrote its status under its own UPS's key.
  const auto value = [&](const std::string& name, const std::string& key, const char* what) {
    return Shell("wine reg query 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + name +
                 "\\System\\CurrentControlSet\\Services\\UPS" + key + "' /v " + what);
  };
  EXPECT_NE(value(left, "", "Port").find("COM1"), std::string::npos);
  EXPECT_NE(value(right, "", "Port").find("COM2"), std::string::npos);
  EXPECT_NE(value(left, "\\Status", "FirmwareRev").find("OnBatt"), std::string::npos);
  EXPECT_EQ(value(right, "\\Status", "FirmwareRev").find("OnBatt"), std::string::npos);
  Shell("wine reg delete 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + left + "' /f");
  Shell("wine reg delete 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + right + "' /f");
  fs::remove(kBuild / "tests/wineprefix/dosdevices/com2");
}

TEST_F(WineHostTest, TheServiceWithTwoRedundantUpsesGoesDownOnlyWhenTheSecondRunsLow) {
  corvale::UpsPeer second;
  host.MapPort("COM2", second.DevicePath());
  // Names of this run's own: each UPS's driver keeps its status under its name in the registry.
  const std::string left = "wine-left-" + std::to_string(::getpid());
  const std::string right = "wine-right-" + std::to_string(::getpid());
  const fs::path config = directory.Path() / "corvale-ups.toml";
  {
    std::ofstream out(config);
    const auto entry = [&](const std::string& name, const char* com, int delay) {
      out << "[[ups]]\nname = \"" << name << "\"\nport = \"" << com << "\"\nlibrary = '"
          << host.DllPath() << "'\nsupplies = 1\nturn_off_delay = " << delay << "\n";
    };
    entry(left, "COM1", 41);
    entry(right, "COM2", 42);
    out << "[shutdown]\nmin_supplies = 1\ncommand = 'echo once>> " << WineHost::WindowsPath(marker)
        << "'\nflag_file = '" << WineHost::WindowsPath(directory.Path() / "killpower")
        << "'\n[events]\nhistory = '" << WineHost::WindowsPath(directory.Path() / "history.jsonl")
        << "'\n[network]\nlisten = [\"127.0.0.1:" << port << "\"]\n[http]\nlisten = []\n";
  }
  // Where the system's UPS tab reads the driver's values: nothing of an earlier test's.
  const std::string systemKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS";
  Shell("wine reg delete '" + systemKey + "\\Status' /f");
  Shell("wine reg delete '" + systemKey + "' /v Port /f");
  Subprocess service(Exe({"service", "--config", WineHost::WindowsPath(config)}),
                     /*mergeErrors=*/true);
  for (const auto& name : {left, right}) {
    if (output.find(name + ": online") != std::string::npos) continue;  // in either order
    ASSERT_TRUE(WaitFor(service, name + ": online", 90s)) << output;
  }
  EXPECT_NE(output.find("watching 2 UPSes, each driver in a process of its own: " + left +
                        " on port COM1 (1 supply); " + right + " on port COM2 (1 supply);"),
            std::string::npos)
      << output;
  // The first UPS runs low: the second still feeds one supply, all the machine needs.
  peer.SetStatus(0x0005);
  ASSERT_TRUE(WaitFor(service, left + ": low-battery", 30s)) << output;
  EXPECT_FALSE(WaitFor(service, "shutdown", 6s)) << output;
  EXPECT_EQ(output.find("supplies-low"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_FALSE(fs::exists(directory.Path() / "killpower"));
  // The first UPS's driver process publishes where the system's UPS tab reads, as the service of
  // one UPS does; the other keeps its UPS's values under its own key.
  const std::string published = Shell("wine reg query '" + systemKey + "\\Status' /v FirmwareRev");
  EXPECT_NE(published.find("OnBatt"), std::string::npos) << published;
  const std::string systemPort = Shell("wine reg query '" + systemKey + "' /v Port");
  EXPECT_NE(systemPort.find("COM1"), std::string::npos) << systemPort;
  const std::string own =
      Shell("wine reg query 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + right +
            "\\System\\CurrentControlSet\\Services\\UPS\\Status' /v FirmwareRev");
  EXPECT_EQ(own.find("OnBatt"), std::string::npos) << own;
  EXPECT_NE(own.find("FirmwareRev"), std::string::npos) << own;
  // The second runs low too: now the machine goes down, once, and both UPSes are ordered off.
  second.SetStatus(0x0005);
  ASSERT_TRUE(WaitFor(service, "shutdown command ended: exit status 0", 30s)) << output;
  EXPECT_FALSE(WaitFor(service, "shutdown command ended", 6s)) << output;
  EXPECT_EQ(ReadFile(marker), "once\r\n");
  const std::string flag = ReadFile(directory.Path() / "killpower");
  EXPECT_NE(flag.find("upses=2\n"), std::string::npos) << flag;
  EXPECT_NE(flag.find("ups.1.name=" + left + "\n"), std::string::npos) << flag;
  EXPECT_NE(flag.find("ups.1.turn_off_delay=41\n"), std::string::npos) << flag;
  EXPECT_NE(flag.find("ups.2.name=" + right + "\n"), std::string::npos) << flag;
  EXPECT_NE(flag.find("ups.2.turn_off_delay=42\n"), std::string::npos) << flag;
  service.Signal(SIGINT);
  ASSERT_TRUE(WaitFor(service, "stopped", 30s)) << output;
  EXPECT_EQ(service.Wait(30s), 0);
  // A stop is not the system's shutdown: neither UPS is turned off.
  EXPECT_TRUE(peer.TurnOffDelays().empty());
  EXPECT_TRUE(second.TurnOffDelays().empty());
  Subprocess history(
      Exe({"history", "--file", WineHost::WindowsPath(directory.Path() / "history.jsonl")}));
  const std::string listed = history.ReadAll(60s);
  for (const auto& name : {left, right}) {
    EXPECT_NE(listed.find("  low-battery  " + name + ": the UPS's battery is low"),
              std::string::npos)
        << listed;
  }
  EXPECT_NE(listed.find("  supplies-low  "), std::string::npos) << listed;
  Shell("wine reg delete 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + left + "' /f");
  Shell("wine reg delete 'HKLM\\SOFTWARE\\Corvale\\UPS\\Units\\" + right + "' /f");
  fs::remove(kBuild / "tests/wineprefix/dosdevices/com2");
}

// Windows tells the service that the system goes down: each UPS this service's own shutdown
// ordered off is turned off through its own driver process with its own delay; one watched only,
// and one still on utility power, are left on.
TEST_F(WineHostTest, AtTheSystemsShutdownEachUpsOrderedOffIsTurnedOffWithItsOwnDelay) {
  corvale::UpsPeer second, online, watched;
  const std::string tag = std::to_string(::getpid());
  const std::vector<Cable> cables = {{"cut-a-" + tag, "COM1", 1, 31},
                                     {"cut-b-" + tag, "COM2", 1, 32},
                                     {"cut-c-" + tag, "COM3", 1, 33},
                                     {"cut-w-" + tag, "COM4", 0, 34}};
  const CablesGone gone{*this, cables};
  host.MapPort("COM2", second.DevicePath());
  host.MapPort("COM3", online.DevicePath());
  host.MapPort("COM4", watched.DevicePath());
  Subprocess service(InProcessService(WriteCablesConfig(cables, 2)), /*mergeErrors=*/true);
  WaitUntilOnline(service, cables);
  // The UPS watched only and the first run low: two supplies are still fed, all the machine needs.
  watched.SetStatus(0x0005);
  peer.SetStatus(0x0005);
  ASSERT_TRUE(Saw(service, cables[0].name + ": low-battery", 30s)) << output;
  ASSERT_TRUE(Saw(service, cables[3].name + ": low-battery", 30s)) << output;
  EXPECT_FALSE(fs::exists(marker));
  // The second runs low too: one supply is left, below the minimum.
  second.SetStatus(0x0005);
  ASSERT_TRUE(Saw(service, "shutdown command ended: exit status 0", 30s)) << output;
  const std::string flagText = ReadFile(flagFile);
  // The plain keys name the first UPS ordered off, as a reader of one UPS's flag expects.
  EXPECT_NE(flagText.find("\nname=" + cables[0].name + "\nport=COM1\n"), std::string::npos)
      << flagText;
  EXPECT_NE(flagText.find("\nturn_off_delay=31\nupses=2\n"), std::string::npos) << flagText;
  EXPECT_NE(flagText.find("ups.2.name=" + cables[1].name + "\nups.2.port=COM2\n"),
            std::string::npos)
      << flagText;
  EXPECT_NE(flagText.find("ups.2.turn_off_delay=32\n"), std::string::npos) << flagText;
  EXPECT_EQ(flagText.find(cables[2].name), std::string::npos) << flagText;
  EXPECT_EQ(flagText.find(cables[3].name), std::string::npos) << flagText;
  // Windows keeps the port in its registry: the Linux driver's folders would only mislead.
  EXPECT_EQ(flagText.find("devices="), std::string::npos) << flagText;
  EXPECT_EQ(flagText.find("registry="), std::string::npos) << flagText;
  // Nothing is turned off before the system goes down.
  EXPECT_TRUE(peer.TurnOffDelays().empty());
  EXPECT_TRUE(second.TurnOffDelays().empty());

  service.WriteLine("shutdown");
  ASSERT_TRUE(Saw(service, "shutdown control answered 0", 60s)) << output;
  ASSERT_TRUE(Saw(service, "service ended 0", 60s)) << output;
  EXPECT_EQ(service.Wait(30s), 0);
  EXPECT_EQ(peer.TurnOffDelays(), std::vector<std::uint32_t>{31});
  EXPECT_EQ(second.TurnOffDelays(), std::vector<std::uint32_t>{32});
  EXPECT_TRUE(online.TurnOffDelays().empty()) << "on utility power: it feeds the machine";
  EXPECT_TRUE(watched.TurnOffDelays().empty()) << "watched only: never turned off";
  for (const auto& [cable, delay] : {std::pair{cables[0], "31"}, std::pair{cables[1], "32"}}) {
    EXPECT_NE(output.find(cable.name + ": kill-power: ordered the UPS off in " + delay +
                          " s as the system shuts down: acknowledged"),
              std::string::npos)
        << output;
  }
  EXPECT_FALSE(fs::exists(flagFile)) << "taken as the power cut was ordered";
}

// Only the flag of this run's own shutdown cuts the power as the system goes down: not one left
// once a shutdown was abandoned (which ordered both UPSes off while it lasted), nor one that
// another account may have written.
TEST_F(WineHostTest, AtTheSystemsShutdownNoUpsIsTurnedOffForAFlagNotTheServicesOwn) {
  corvale::UpsPeer second;
  const std::string tag = std::to_string(::getpid());
  const std::vector<Cable> cables = {{"keep-a-" + tag, "COM1", 1, 31},
                                     {"keep-b-" + tag, "COM2", 1, 32}};
  const CablesGone gone{*this, cables};
  host.MapPort("COM2", second.DevicePath());
  const std::string flagText =
      "# the UPS is to be turned off once this host is down\nname=" + cables[0].name +
      "\nport=COM1\nturn_off_delay=31\nupses=2\n";
  {
    // Its command fails; the power comes back before the next try.
    Subprocess service(InProcessService(WriteCablesConfig(cables, 1, "exit 1")),
                       /*mergeErrors=*/true);
    WaitUntilOnline(service, cables);
    peer.SetStatus(0x0005);
    second.SetStatus(0x0005);
    ASSERT_TRUE(Saw(service, "shutdown command ended: exit status 1", 30s)) << output;
    peer.SetStatus(0x0000);
    second.SetStatus(0x0000);
    ASSERT_TRUE(Saw(service, ": shutdown-abandoned: ", 60s)) << output;
    // A flag as it left it (one it could not remove, or a copy put back by hand).
    std::ofstream(flagFile) << flagText;
    service.WriteLine("shutdown");
    ASSERT_TRUE(Saw(service, "shutdown control answered 0", 60s)) << output;
    ASSERT_TRUE(Saw(service, "service ended 0", 60s)) << output;
    EXPECT_EQ(service.Wait(30s), 0);
    EXPECT_NE(output.find("the UPS is not turned off: no shutdown of this service's own is under "
                          "way"),
              std::string::npos)
        << output;
  }
  EXPECT_TRUE(peer.TurnOffDelays().empty());
  EXPECT_TRUE(second.TurnOffDelays().empty());

  fs::remove(flagFile);
  output.clear();
  Subprocess service(InProcessService(WriteCablesConfig(cables, 1)), /*mergeErrors=*/true);
  WaitUntilOnline(service, cables);
  peer.SetStatus(0x0005);
  second.SetStatus(0x0005);
  ASSERT_TRUE(Saw(service, "shutdown command ended: exit status 0", 30s)) << output;
  ASSERT_TRUE(fs::exists(flagFile));
  // Another account's: Wine shows a file everyone may change as its Unix mode.
  fs::remove(flagFile);
  std::ofstream(flagFile) << flagText;
  fs::permissions(flagFile, fs::perms::others_write, fs::perm_options::add);
  service.WriteLine("shutdown");
  ASSERT_TRUE(Saw(service, "shutdown control answered 0", 60s)) << output;
  ASSERT_TRUE(Saw(service, "service ended 0", 60s)) << output;
  EXPECT_EQ(service.Wait(30s), 0);
  EXPECT_NE(output.find("the UPS is not turned off: the flag file killpower is not this "
                        "service's"),
            std::string::npos)
      << output;
  EXPECT_TRUE(peer.TurnOffDelays().empty());
  EXPECT_TRUE(second.TurnOffDelays().empty());
}

}  // namespace
