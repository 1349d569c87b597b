// corvale-ups as a user and a script see it: exit codes, messages, events, and the demo.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

using corvale::UpsPeer;
using corvale::testing::Line;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

struct Result {
  int exitCode;
  std::string output;  // standard output and standard error together
};

std::vector<std::string> Command(const Line& line, std::vector<std::string> words) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", CORVALE_UPS_TOOL};
  argv.insert(argv.end(), words.begin(), words.end());
  if (words.size() > 0 && words[0] != "demo" && words[0] != "simulate") {
    argv.push_back("--registry=" + line.registry.Root().string());
    argv.push_back("--devices=" + line.Devices().string());
  }
  return argv;
}

Result RunTool(const std::vector<std::string>& argv, std::chrono::seconds timeout = 30s) {
  Subprocess tool(argv);
  Result result{0, {}};
  result.output += tool.ReadAll(timeout);
  result.exitCode = tool.Wait(5s);
  return result;
}

class HostToolTest : public ::testing::Test {
 protected:
  Line line;
};

TEST_F(HostToolTest, StatusReportsTheStateAndThePublishedValues) {
  const auto result = RunTool(Command(line, {"status"}));
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("online"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("BatteryStatus=1 BatteryCapacity=99 FirmwareRev=\"v1.0b  [ "),
            std::string::npos)
      << result.output;
}

TEST_F(HostToolTest, StatusAsJsonForScripts) {
  line.peer->SetStatus(0x0005);
  const auto result = RunTool(Command(line, {"status", "--json"}));
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const auto event = nlohmann::json::parse(result.output);
  EXPECT_EQ(event["event"], "state");
  EXPECT_EQ(event["state"], 4);
  EXPECT_EQ(event["name"], "low battery");
  EXPECT_EQ(event["values"]["BatteryCapacity"], 10);
  EXPECT_EQ(event["values"]["FirmwareRev"], "v1.0b  [ OnBatt LowBatt Silenced ]");
}

TEST_F(HostToolTest, StatusByHandNeverWritesTheServicesRegistry) {
  // What a running service's driver published, and the port it uses.
  line.registry.Write(corvale::kStatusKey, "BatteryCapacity", "55");
  std::filesystem::create_symlink(line.peer->DevicePath(), line.Devices() / "ups0");
  line.peer->SetStatus(0x0005);
  for (const auto* port : {"ups0", "ttyX9"}) {
    const auto result = RunTool(Command(line, {"status", "--json", "--port", port}));
    EXPECT_EQ(result.exitCode, std::string(port) == "ups0" ? 0 : 4) << result.output;
    EXPECT_EQ(line.registry.Read(corvale::kServiceKey, "Port"), "COM1") << port;
    EXPECT_EQ(line.registry.Read(corvale::kStatusKey, "BatteryCapacity"), "55") << port;
    if (result.exitCode == 0) {
      // Reported from this poll, not from what the service had published.
      EXPECT_EQ(nlohmann::json::parse(result.output)["values"]["BatteryCapacity"], 10);
    }
  }

  // With --config, the file's folders and port.
  const auto config = line.directory.Path() / "by-hand.toml";
  std::ofstream(config) << "[ups]\nport = \"ups0\"\ndevices = \"" << line.Devices().string()
                        << "\"\nregistry = \"" << line.registry.Root().string()
                        << "\"\n[network]\nlisten = []\n[service]\ncontrol = \"\"\n";
  const auto result = RunTool({CORVALE_UPS_TOOL, "status", "--json", "--config", config.string()});
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(line.registry.Read(corvale::kServiceKey, "Port"), "COM1");
}

TEST_F(HostToolTest, ExitCodesAndMessagesSayWhatToDo) {
  const struct {
    const char* name;
    std::function<void(Line&)> arrange;
    std::vector<std::string> words;
    int exitCode;
    const char* says;
  } cases[] = {
      {"unknown command", {}, {"frobnicate"}, 2, "subcommand"},
      {"delay too long", {}, {"turn-off", "1000"}, 2, "not in range"},
      {"port name too long", {}, {"status", "--port", "ttyUSB10"}, 2, "1 to 7 characters"},
      {"no library",
       {},
       {"status", "--library", "/nonexistent/libCorvaleUPS.so"},
       6,
       "cannot load the driver library"},
      {"no registry root",
       [](Line& l) { std::filesystem::remove_all(l.registry.Root()); },
       {"status"},
       3,
       "does not exist"},
      {"no Port value",
       [](Line& l) {
         std::filesystem::remove(l.registry.KeyDirectory(corvale::kServiceKey) / "Port");
       },
       {"status"},
       3,
       "--port"},
      {"port outside the device folder",
       {},
       {"status", "--port", "../COM1"},
       2,
       "inside the device folder"},
      {"missing device", {}, {"status", "--port", "ttyNONE"}, 4, "no such device"},
      {"no device folder",
       [](Line& l) { std::filesystem::remove_all(l.Devices()); },
       {"status"},
       4,
       "the device folder"},
      {"not a serial port",
       [](Line& l) {
         std::filesystem::remove(l.Devices() / "COM1");
         std::ofstream(l.Devices() / "COM1") << "text";
       },
       {"status"},
       4,
       "is not a serial port. Name the UPS's serial device"},
      {"silent UPS",
       [](Line& l) { l.peer->SetFault(UpsPeer::Fault::kSilent); },
       {"status"},
       5,
       "no valid reply"},
  };
  for (const auto& c : cases) {
    Line fresh;
    if (c.arrange) c.arrange(fresh);
    const auto result = RunTool(Command(fresh, c.words));
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ":\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.name << ":\n" << result.output;
  }
}

// What a person reads in the help and in answers about things that are not there.
TEST(HostToolWordsTest, AMissingHistoryIsAnErrorAndHelpNamesInstalledFolders) {
  const auto missing = RunTool(
      {"/bin/sh", "-c", "exec \"$0\" history --file /nonexistent/h.jsonl 2>&1", CORVALE_UPS_TOOL});
  EXPECT_EQ(missing.exitCode, 1) << missing.output;
  EXPECT_NE(missing.output.find("there is no history at /nonexistent/h.jsonl"), std::string::npos)
      << missing.output;
  EXPECT_EQ(missing.output.find("no events recorded"), std::string::npos) << missing.output;

  const auto help = RunTool({CORVALE_UPS_TOOL, "simulate", "--help"});
  EXPECT_NE(help.output.find("/usr/share/corvale-ups/scenarios"), std::string::npos) << help.output;
}

// A user who may not open the port hears which of its two usual causes it is, by name.
TEST_F(HostToolTest, PermissionDeniedNamesTheUserTheGroupAndWhetherTheModeKeepsItOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  ASSERT_TRUE(nobody && dialout);
  std::filesystem::permissions(line.directory.Path(), std::filesystem::perms(0755));
  ASSERT_EQ(chown(line.peer->DevicePath().c_str(), 0, dialout->gr_gid), 0);
  const auto asNobody = [&](const std::string& groups) {
    auto argv = Command(line, {"status", "--port", "COM1"});
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                               "--regid=" + std::to_string(nobody->pw_gid), groups});
    return RunTool(argv);
  };
  chmod(line.peer->DevicePath().c_str(), 0600);
  const auto modeKeepsOut = asNobody("--groups=" + std::to_string(dialout->gr_gid));
  EXPECT_EQ(modeKeepsOut.exitCode, 4) << modeKeepsOut.output;
  EXPECT_NE(modeKeepsOut.output.find("(group dialout, mode 0600) for nobody. nobody is in dialout, "
                                     "but the device's mode keeps that group out"),
            std::string::npos)
      << modeKeepsOut.output;
  EXPECT_EQ(modeKeepsOut.output.find("usermod"), std::string::npos) << modeKeepsOut.output;

  chmod(line.peer->DevicePath().c_str(), 0660);
  const auto notInGroup = asNobody("--clear-groups");
  EXPECT_EQ(notInGroup.exitCode, 4) << notInGroup.output;
  EXPECT_NE(notInGroup.output.find("sudo usermod -aG dialout nobody"), std::string::npos)
      << notInGroup.output;
}

TEST_F(HostToolTest, BusyPortIsNamedAsBusy) {
  const int other = open((line.Devices() / "COM1").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  const auto result = RunTool(Command(line, {"status"}));
  close(other);
  EXPECT_EQ(result.exitCode, 4) << result.output;
  EXPECT_NE(result.output.find("busy"), std::string::npos) << result.output;
}

TEST_F(HostToolTest, MonitorReportsChangesActsOnLowBatteryAndStopsOnSigterm) {
  const auto marker = line.directory.Path() / "low-battery-ran";
  Subprocess monitor(Command(line, {"monitor", "--json", "--on-low-battery",
                                    "touch " + marker.string(), "--turn-off-delay", "120"}));
  const auto next = [&] {
    // Events on standard output; the log of commands run and problems on standard error.
    while (auto text = monitor.ReadLine(10s)) {
      if (text->rfind('{', 0) == 0) return nlohmann::json::parse(*text);
    }
    return nlohmann::json();
  };
  EXPECT_EQ(next()["name"], "online");
  line.peer->SetStatus(0x0001);
  EXPECT_EQ(next()["name"], "on battery");
  line.peer->SetStatus(0x0005);
  EXPECT_EQ(next()["name"], "low battery");
  EXPECT_EQ(next()["event"], "shutdown");
  const auto turnOff = next();
  EXPECT_EQ(turnOff["event"], "kill-power");
  EXPECT_NE(turnOff["message"].get<std::string>().find("acknowledged"), std::string::npos);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{120});
  EXPECT_TRUE(std::filesystem::exists(marker))
      << "the low-battery command has ended before the turn-off";

  std::this_thread::sleep_for(300ms);
  const auto stopStart = std::chrono::steady_clock::now();
  monitor.Signal(SIGTERM);
  std::string last;
  while (auto text = monitor.ReadLine(5s)) last = *text;
  EXPECT_EQ(monitor.Wait(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 1500ms)
      << "a stop waits only for the exchange in progress";
  EXPECT_EQ(nlohmann::json::parse(last)["event"], "stop");
}

TEST_F(HostToolTest, MonitorOrdersNoTurnOffUnlessTheLowBatteryCommandSucceeded) {
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"--on-low-battery", "exit 1"}, std::vector<std::string>{}}) {
    Line fresh;
    auto words = std::vector<std::string>{"monitor", "--json", "--turn-off-delay", "5"};
    words.insert(words.end(), command.begin(), command.end());
    Subprocess monitor(Command(fresh, words));
    const auto waitFor = [&](const std::string& event) {
      while (auto text = monitor.ReadLine(10s)) {
        if (text->rfind('{', 0) == 0 && nlohmann::json::parse(*text)["event"] == event) return true;
      }
      return false;
    };
    fresh.peer->SetStatus(0x0005);
    ASSERT_TRUE(waitFor("shutdown"));
    if (!command.empty()) {
      EXPECT_TRUE(waitFor("shutdown-failed"));
    }
    monitor.Signal(SIGTERM);
    while (monitor.ReadLine(5s)) {
    }
    EXPECT_EQ(monitor.Wait(5s), 0);
    EXPECT_TRUE(fresh.peer->TurnOffDelays().empty()) << (command.empty() ? "no command" : "failed");
  }
}

TEST_F(HostToolTest, TurnOffOrdersTheUpsOff) {
  const auto result = RunTool(Command(line, {"turn-off", "30"}));
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{30});
}

TEST_F(HostToolTest, SimulatorServesAScenarioToTheDriver) {
  line.peer.reset();  // the simulator plays the UPS instead
  const auto scenario = line.directory.Path() / "battery.txt";
  std::ofstream(scenario) << "0 power-fails\n30 end\n";
  Subprocess simulator(Command(line, {"simulate", "--quiet", "--scenario", scenario.string(),
                                      "--link", (line.Devices() / "SIM").string()}));
  const auto first = simulator.ReadLine(5s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->rfind("UPS simulator on /dev/pts/", 0), 0u) << *first;
  const auto result = RunTool(Command(line, {"status", "--port", "SIM", "--json"}));
  ASSERT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(nlohmann::json::parse(result.output)["name"], "on battery");
}

TEST_F(HostToolTest, BadScenarioFilesAreNamedByLine) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"0 online\n2 explode\n", ":2: unknown action 'explode'"},
      {"5 online\n2 power-fails\n", ":2: times must not go backwards"},
      {"0 bits 0x400\n", ":1: bits needs a number from 0 to 0x3FF"},
      {"# fine\nsoon online\n", ":2: expected a time in seconds"},
      {"0 late abc\n", ":1: late takes milliseconds from 0 to 60000, not 'abc'"},
      {"0 late 99999999999999999999\n", ":1: late takes milliseconds"},
      {"0 late -5\n", ":1: late takes milliseconds"},
      {"0 online now\n", ":1: 'online' takes no argument"},
      {"0 bits 5 6\n", ":1: unexpected '6' after the step"},
  };
  for (const auto& c : cases) {
    const auto scenario = line.directory.Path() / "bad.txt";
    std::ofstream(scenario) << c.text;
    const auto result = RunTool(Command(line, {"simulate", "--scenario", scenario.string()}));
    EXPECT_EQ(result.exitCode, 2) << c.text << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.text << result.output;
  }
}

TEST_F(HostToolTest, VersionAndJsonOnlyOutputForScripts) {
  const auto version = RunTool({CORVALE_UPS_TOOL, "--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output, "corvale-ups 1.0.0.1\n");
  // Standard output alone: every line of the demo's --json must parse.
  Subprocess demo({CORVALE_UPS_TOOL, "demo", "--json", "--scenario", CORVALE_QUICK_DEMO,
                   "--turn-off-delay", "1"});
  int lines = 0;
  while (auto text = demo.ReadLine(30s)) {
    EXPECT_NO_THROW(nlohmann::json::parse(*text)) << *text;
    ++lines;
  }
  EXPECT_EQ(demo.Wait(5s), 0);
  EXPECT_GT(lines, 5);
}

TEST_F(HostToolTest, DemoTellsTheWholeStory) {
  const auto result = RunTool(
      Command(line, {"demo", "--scenario", CORVALE_QUICK_DEMO, "--turn-off-delay", "1"}), 60s);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  for (const char* expected :
       {"host saw:    online -> on battery -> low battery -> no communication -> online",
        "1 turn-off), 0 invalid", "ordered with a 1 s delay, acknowledged",
        "FirmwareRev=\"v1.0b  [ Silenced ]\""}) {
    EXPECT_NE(result.output.find(expected), std::string::npos) << expected << "\n" << result.output;
  }
}

}  // namespace
