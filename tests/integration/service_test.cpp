// corvale-ups service end to end: a real configuration file, the simulator's UPS on a
// pseudo-terminal, and the shutdown, kill-power, events and recovery a user relies on.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/raw_client.h"
#include "tests/support/service_fixture.h"

namespace {

namespace fs = std::filesystem;
using corvale::UpsPeer;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004, kBattFail = 0x0040;

using ServiceTest = corvale::testing::ServiceFixture;

using corvale::testing::ReadFile;

TEST_F(ServiceTest, PowerFailureShutsDownOnceAndKillPowerCutsTheOutputAfterwards) {
  const fs::path ran = Dir() / "shutdown-ran";
  Start(WriteConfig("echo once >> " + ran.string()));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("on-battery")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  EXPECT_TRUE(fs::exists(Flag()));
  // The state flaps: the command has run and stays run.
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("low-battery")) << log;
  EXPECT_EQ(ReadFile(ran), "once\n");
  EXPECT_TRUE(line.peer->TurnOffDelays().empty()) << "the service never orders the UPS off";

  const auto stopStart = std::chrono::steady_clock::now();
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 1s);

  // kill-power runs after the file systems went read-only: the registry stand-in here too.
  const fs::path config = Dir() / "corvale-ups.toml";
  const std::string registry = line.registry.Root().string();
  EXPECT_EQ(RunToEnd({"unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                      "mount --bind \"$1\" \"$1\" && mount -o remount,ro,bind \"$1\" && "
                      "exec \"$0\" kill-power --config \"$2\"",
                      CORVALE_UPS_TOOL, registry, config.string()}),
            0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{42});
  EXPECT_FALSE(fs::exists(Flag()));
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays().size(), 1u) << "no flag, no turn-off";
}

TEST_F(ServiceTest, ActsOnTheStateItFindsAndOnAUpsLostWhileOnBattery) {
  // Started with the battery already low: no change is needed to act.
  line.peer->SetStatus(kOnBatt | kLowBatt);
  Start(WriteConfig("true"));
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  service.reset();

  // On battery, then silent: after 15 s the battery counts as low.
  line.peer->SetStatus(kOnBatt);
  log.clear();
  Start(WriteConfig("true"));
  ASSERT_TRUE(WaitFor("on-battery")) << log;
  line.peer->SetFault(UpsPeer::Fault::kSilent);
  ASSERT_TRUE(WaitFor("communication-lost", 20s)) << log;
  ASSERT_TRUE(WaitFor("shutdown: communication with the UPS is lost while it runs on battery"))
      << log;
}

TEST_F(ServiceTest, EventsRunTheHookWithoutWaitingForIt) {
  const fs::path heard = Dir() / "heard";
  // The first hook never ends; the next events must run all the same.
  Start(WriteConfig("true",
                    "[events]\ncommand = \"echo $CORVALE_UPS_EVENT $CORVALE_UPS_STATE "
                    "$CORVALE_UPS_NAME >> " +
                        heard.string() + "; [ $CORVALE_UPS_EVENT != online ] || sleep 30\"\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kBattFail);
  ASSERT_TRUE(WaitFor("battery-failed")) << log;
  line.peer->SetStatus(kBattFail | kOnBatt);
  ASSERT_TRUE(WaitFor("on-battery")) << log;
  // Hooks that end well are counted, not logged one by one: the file says when it has run.
  ASSERT_TRUE(WaitForFile(heard, "on-battery 2 test-ups\n")) << log;
  ASSERT_TRUE(WaitForFile(heard, "battery-failed 1 test-ups\n")) << log;
  // Hooks run side by side: the two after the first may write in either order.
  std::istringstream lines(ReadFile(heard));
  std::multiset<std::string> heardLines;
  for (std::string heardLine; std::getline(lines, heardLine);) heardLines.insert(heardLine);
  EXPECT_EQ(heardLines,
            (std::multiset<std::string>{"online 1 test-ups", "battery-failed 1 test-ups",
                                        "on-battery 2 test-ups"}));
}

TEST_F(ServiceTest, ShortLossesRaiseNothingAndANewDeviceBehindTheLinkIsPickedUp) {
  Start(WriteConfig("true"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // Five silent seconds: no event.
  line.peer->SetFault(UpsPeer::Fault::kSilent);
  std::this_thread::sleep_for(5s);
  line.peer->SetFault(UpsPeer::Fault::kNone);
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("on-battery")) << log;
  EXPECT_EQ(log.find("communication"), std::string::npos) << log;

  // The adapter is unplugged and comes back as another device behind the same name.
  line.peer->Hangup();
  ASSERT_TRUE(WaitFor("communication-lost", 20s)) << log;
  auto replugged = std::make_unique<UpsPeer>();
  fs::remove(line.Devices() / "COM1");
  fs::create_symlink(replugged->DevicePath(), line.Devices() / "COM1");
  ASSERT_TRUE(WaitFor("communication-restored", 20s)) << log;
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  EXPECT_EQ(log.find("busy"), std::string::npos) << "its own port, closed for the restart";
}

TEST_F(ServiceTest, StartedBeforeTheDeviceExistsItWaitsForIt) {
  fs::remove(line.Devices() / "COM1");
  Start(WriteConfig("true"));
  ASSERT_TRUE(WaitFor("no such device")) << log;
  fs::create_symlink(line.peer->DevicePath(), line.Devices() / "COM1");
  ASSERT_TRUE(WaitFor("test-ups: online", 20s)) << log;
  EXPECT_EQ(log.find("no such device"), log.rfind("no such device")) << "said once, not each try";
}

TEST_F(ServiceTest, ConfigurationErrorsAreReportedWithTheirLines) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"[ups]\nport = \"COM1\"\ncolour = 3\n", ":3: unknown key 'colour' in [ups]"},
      {"[ups]\nport = 7\n", ":2: ups.port must be a string"},
      {"[ups]\nport = \"ttyUSB10\"\n", ":2: ups.port must name a device"},
      {"[ups]\nport = \"../COM1\"\n", ":2: ups.port must name a device"},
      {"[ups]\nport = \"COM1\"\n[shutdown]\n\nturn_off_delay = 1000\n",
       ":5: shutdown.turn_off_delay must be from 0 to 999, not 1000"},
      {"[ups]\nport = \"COM1\"\n[shutdown]\non_battery_seconds = \"60\"\n",
       ":4: shutdown.on_battery_seconds must be a whole number"},
      {"[ups]\nport = \"COM1\"\n[netwrok]\n", ":3: unknown section or key 'netwrok'"},
      {"[ups]\nport = \"COM1\"\n[events]\ncommand = \"C:\\Scripts\\x.cmd\"\n",
       ":4: Error while parsing string: unknown escape sequence '\\S' (a backslash in \"...\" "
       "starts an escape: write a path as 'C:\\Scripts\\x.cmd' in single quotes"},
      {"[ups]\nport = \"COM1\"\n[network]\nlisten = [\"localhost\"]\n",
       ":4: network.listen takes \"address:port\""},
      {"[ups]\nport = \"COM1\"\n[[users]]\nname = \"a\"\npassword = \"b\"\nactions = [\"ALL\"]\n",
       ":6: users.actions may hold SET, FSD, not \"ALL\""},
      {"[ups]\nport = \"COM1\n", ":2:"},
      {"[shutdown]\ncommand = \"x\"\n", ": ups.port is missing"},
  };
  const fs::path path = Dir() / "bad.toml";
  for (const auto& c : cases) {
    std::ofstream(path) << c.text;
    for (const char* command : {"check-config", "service"}) {
      Subprocess tool({"/bin/sh", "-c", "exec \"$0\" \"$1\" --config \"$2\" 2>&1", CORVALE_UPS_TOOL,
                       command, path.string()});
      const std::string output = tool.ReadAll(10s);
      EXPECT_EQ(tool.Wait(5s), 2) << command << " " << c.text;
      EXPECT_NE(output.find(path.string() + c.says), std::string::npos)
          << command << " " << c.text << "\n"
          << output;
    }
  }
  EXPECT_EQ(Tool({"check-config", "--config", WriteConfig("true").string()}), 0);
}

// A script must tell "protected" from "the state is fine but nothing acts on it".
TEST_F(ServiceTest, StatusSaysWhereItReadTheStateAndWhetherTheServiceAnswers) {
  const std::string address = "127.0.0.1:" + std::to_string(corvale::testing::FreePort());
  const fs::path config = WriteConfig("true", "[network]\nlisten = [\"" + address + "\"]\n");
  const auto status = [&](int* exitCode) {
    Subprocess tool({"/bin/sh", "-c", "exec \"$0\" status --json --config \"$1\" 2>&1",
                     CORVALE_UPS_TOOL, config.string()});
    const std::string text = tool.ReadAll(20s);
    *exitCode = tool.Wait(5s);
    return text;
  };
  int exitCode = -1;
  const std::string down = status(&exitCode);
  EXPECT_EQ(exitCode, 7) << down;
  EXPECT_NE(down.find("\"source\":\"port\""), std::string::npos) << down;
  EXPECT_NE(down.find("\"state\":1"), std::string::npos) << down;
  EXPECT_NE(down.find("the service does not answer at " + Control().string()), std::string::npos)
      << down;

  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  const std::string up = status(&exitCode);
  EXPECT_EQ(exitCode, 0) << up;
  EXPECT_NE(up.find("\"source\":\"service\""), std::string::npos) << up;
  EXPECT_NE(up.find("\"state\":1"), std::string::npos) << up;
}

TEST_F(ServiceTest, AFailedShutdownIsTriedAgainAndAbandonedWithoutATraceWhenThePowerReturns) {
  const fs::path tries = Dir() / "tries";
  Start(WriteConfig("echo try >> " + tries.string() + "; exit 3", "retry_seconds = 1\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the host did NOT shut down: the shutdown command")) << log;
  EXPECT_TRUE(fs::exists(Flag()));
  ASSERT_TRUE(WaitFor("the host did NOT shut down")) << log;
  EXPECT_EQ(ReadFile(tries), "try\ntry\n");
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("shutdown-abandoned: the power is back")) << log;
  EXPECT_FALSE(fs::exists(Flag())) << "an abandoned shutdown must not cut the power later";
  // A new power failure is a new shutdown.
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  ASSERT_TRUE(WaitFor("the host did NOT shut down")) << log;
  EXPECT_TRUE(fs::exists(Flag()));
  service->Signal(SIGTERM);
  const int status = service->Wait(5s);
  log += service->ReadAll(1s);
  EXPECT_EQ(status, 0) << log;
  EXPECT_FALSE(fs::exists(Flag())) << "stopped before the host shut down";
}

TEST_F(ServiceTest, AShutdownThatLeavesTheHostUpFailsAndIsAbandonedOnceThePowerIsBack) {
  // The command says yes and the host stays up: a harmless test command, or `shutdown +5` that
  // somebody cancelled.
  const fs::path tries = Dir() / "tries";
  const int httpPort = corvale::testing::FreePort();
  Start(WriteConfig("echo try >> " + tries.string(),
                    "retry_seconds = 1\ndown_within_seconds = 2\n[http]\nlisten = "
                    "[\"127.0.0.1:" +
                        std::to_string(httpPort) + "\"]\n"));
  const auto status = [httpPort] {
    Subprocess curl({"curl", "-sf", "--max-time", "5", "-w", "\n",
                     "http://127.0.0.1:" + std::to_string(httpPort) + "/api/v1/status"});
    const std::string body = curl.ReadAll(10s);
    curl.Wait(10s);
    return body;
  };
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  const std::string shuttingDown = status();
  EXPECT_NE(shuttingDown.find("the system to go down"), std::string::npos) << shuttingDown;
  ASSERT_TRUE(WaitFor("the host did NOT shut down: it still runs 2 s after")) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << "tried again: " << log;
  EXPECT_TRUE(fs::exists(Flag()));
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("shutdown-abandoned: the power is back", 20s)) << log;
  EXPECT_NE(log.find("forced shutdown (FSD) cleared"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(Flag())) << "no power cut at the next ordinary reboot";
  const std::string page = status();
  EXPECT_NE(page.find("\"shutdown\":{\"pending\":false"), std::string::npos) << page;
  EXPECT_NE(page.find("\"FSD\":false"), std::string::npos) << page;
  // A new low battery is acted on without a restart.
  const std::size_t triesBefore = ReadFile(tries).size();
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  EXPECT_GT(ReadFile(tries).size(), triesBefore);
  EXPECT_TRUE(fs::exists(Flag()));
}

// `status` run as another user, through `/bin/sh -c`, its output and exit code.
struct Said {
  int code = -1;
  std::string text;
};
Said RunAs(const std::vector<std::string>& as, std::vector<std::string> words) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-"};
  argv.insert(argv.end(), as.begin(), as.end());
  argv.push_back(CORVALE_UPS_TOOL);
  argv.insert(argv.end(), words.begin(), words.end());
  Subprocess tool(argv);
  Said said;
  said.text = tool.ReadAll(20s);
  said.code = tool.Wait(5s);
  return said;
}

std::vector<std::string> AsNobody() {
  const passwd* nobody = getpwnam("nobody");
  return {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
          "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"};
}

TEST_F(ServiceTest, StatusSaysAShutdownIsArmedOnceThePowerIsBackAndPointsToDisarm) {
  const fs::path config = WriteConfig("true");
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // The system is going down (or should be): a reboot now cuts every machine's power.
  const auto said = RunAs({}, {"status", "--config", config.string()});
  EXPECT_EQ(said.code, 9) << said.text;
  EXPECT_NE(said.text.find("SHUTDOWN ARMED"), std::string::npos) << said.text;
  EXPECT_NE(said.text.find("FSD is set"), std::string::npos) << said.text;
  EXPECT_NE(said.text.find("the power cut is armed (" + Flag().string()), std::string::npos)
      << said.text;
  EXPECT_NE(said.text.find("sudo corvale-ups disarm"), std::string::npos) << said.text;
  const auto json = RunAs({}, {"status", "--json", "--config", config.string()});
  EXPECT_EQ(json.code, 9) << json.text;
  EXPECT_NE(json.text.find("\"shutdown_armed\":"), std::string::npos) << json.text;
  // Stopped, the service says nothing; the flag still does.
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(10s), 0);
  const auto stopped = RunAs({}, {"status", "--config", config.string()});
  EXPECT_EQ(stopped.code, 9) << stopped.text;
  EXPECT_NE(stopped.text.find("sudo corvale-ups disarm"), std::string::npos) << stopped.text;
}

TEST_F(ServiceTest, StatusByAUserWhoMayNotReadTheFileAsksTheService) {
  // The file holds passwords: root's alone, as the README has it.
  const fs::path config = WriteConfig(
      "true", "[[users]]\nname = \"mon\"\npassword = \"pw-mon\"\nupsmon = \"secondary\"\n");
  fs::permissions(config, fs::perms(0600));
  fs::permissions(Dir(), fs::perms(0755));
  const std::vector<std::string> asked = {"status", "--config", config.string(), "--control",
                                          Control().string()};
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  const auto up = RunAs(AsNobody(), asked);
  EXPECT_EQ(up.code, 0) << up.text;
  EXPECT_NE(up.text.find("online"), std::string::npos) << up.text;
  EXPECT_NE(up.text.find("(from the service)"), std::string::npos) << up.text;
  EXPECT_EQ(up.text.find("usermod"), std::string::npos) << up.text;
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(10s), 0);
  const auto down = RunAs(AsNobody(), asked);
  EXPECT_EQ(down.code, 7) << "the service does not answer: " << down.text;
  EXPECT_NE(down.text.find("nothing protects this machine"), std::string::npos) << down.text;
}

TEST_F(ServiceTest, NoCommandTellsASecretToWhoeverHoldsTheServicesPlacesOrReadsEndlessly) {
  const int nutPort = corvale::testing::FreePort();
  // A folder anybody may add names to (as /tmp), where the service's channel would be.
  const fs::path shared = Dir() / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms(01777));
  fs::permissions(Dir(), fs::perms(0755));
  const fs::path control = shared / "control";
  const fs::path config =
      WriteConfig("true", "[network]\nlisten = [\"127.0.0.1:" + std::to_string(nutPort) +
                              "\"]\n[[users]]\nname = \"boss\"\npassword = \"pw-boss\"\nupsmon = "
                              "\"primary\"\n[service]\ncontrol = \"" +
                              control.string() + "\"\n");
  fs::permissions(config, fs::perms(0600));
  // While the service is stopped, an unprivileged user listens where it would: on its NUT port
  // and at its local channel, and keeps whatever it is told.
  const fs::path heard = shared / "heard";
  const std::string squatter =
      "import socket, sys, threading\n"
      "out = open(sys.argv[3], 'ab', buffering=0)\n"
      "tcp = socket.socket(); tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
      "tcp.bind(('127.0.0.1', int(sys.argv[1]))); tcp.listen(4)\n"
      "unix = socket.socket(socket.AF_UNIX); unix.bind(sys.argv[2]); unix.listen(4)\n"
      "print('listening', flush=True)\n"
      "def serve(server):\n"
      "    while True:\n"
      "        client, _ = server.accept(); client.settimeout(5)\n"
      "        try:\n"
      "            while True:\n"
      "                data = client.recv(4096)\n"
      "                if not data: break\n"
      "                out.write(data)\n"
      "        except OSError: pass\n"
      "threading.Thread(target=serve, args=(tcp,), daemon=True).start()\n"
      "serve(unix)\n";
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-"};
  for (const auto& word : AsNobody()) argv.push_back(word);
  argv.insert(argv.end(), {"/usr/bin/python3", "-c", squatter, std::to_string(nutPort),
                           control.string(), heard.string()});
  Subprocess listening(argv);
  ASSERT_TRUE(listening.ReadLine(10s)) << "the squatter listens";
  for (const char* command : {"drill", "plan", "status", "reload"}) {
    const auto said = RunAs({}, {command, "--config", config.string()});
    EXPECT_NE(said.code, 0) << command << ": " << said.text;
    EXPECT_NE(said.text.find("not as the service: it was told nothing"), std::string::npos)
        << command << ": " << said.text;
  }
  std::this_thread::sleep_for(500ms);
  const std::string told = ReadFile(heard);
  EXPECT_EQ(told.find("USERNAME"), std::string::npos) << told;
  EXPECT_EQ(told.find("pw-boss"), std::string::npos) << told;
  EXPECT_EQ(told, "") << "not a word to a process that is not the service";
  listening.Signal(SIGKILL);
  listening.Wait(5s);

  // Root's own process that answers without end: the answer is cut off, not held in memory.
  fs::remove(control);
  const std::string endless =
      "import socket, sys\n"
      "unix = socket.socket(socket.AF_UNIX); unix.bind(sys.argv[1]); unix.listen(4)\n"
      "print('listening', flush=True)\n"
      "chunk = b'x' * 65536\n"
      "while True:\n"
      "    client, _ = unix.accept()\n"
      "    try:\n"
      "        while True: client.sendall(chunk)\n"
      "    except OSError: pass\n";
  Subprocess talker({"python3", "-c", endless, control.string()});
  ASSERT_TRUE(talker.ReadLine(10s));
  const auto started = std::chrono::steady_clock::now();
  for (const char* command : {"status", "drill"}) {
    const auto said = RunAs({}, {command, "--config", config.string()});
    EXPECT_EQ(said.code, 7) << command << ": " << said.text;
    EXPECT_NE(said.text.find("longer than any the service gives"), std::string::npos)
        << command << ": " << said.text;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  rusage used{};
  getrusage(RUSAGE_CHILDREN, &used);
  // An unbounded reader takes a gigabyte in two seconds; a sanitizer's own shadow fits in this.
  EXPECT_LT(used.ru_maxrss, 256 * 1024) << "kB at most, in any command run here";
  talker.Signal(SIGKILL);
  talker.Wait(5s);
}

TEST_F(ServiceTest,
       AnAnswerOfTheWrongFormOrWithTerminalControlsNeitherAbortsNorReachesTheTerminal) {
  // Whoever took the service's account answers at its channel: root's commands must hold.
  const fs::path config = WriteConfig(
      "true", "[network]\nlisten = [\"127.0.0.1:" + std::to_string(corvale::testing::FreePort()) +
                  "\"]\n[[users]]\nname = \"vm\"\npassword = \"p\"\nupsmon = \"secondary\"\n"
                  "[[stage]]\nname = \"early\"\nusers = [\"vm\"]\nafter_seconds = 30\n");
  fs::permissions(config, fs::perms(0600));  // it holds a password
  const std::string fake =
      "import socket, sys, os\n"
      "unix = socket.socket(socket.AF_UNIX); unix.bind(sys.argv[1]); unix.listen(4)\n"
      "print('listening', flush=True)\n"
      "answers = sys.argv[2:]\n"
      "while True:\n"
      "    client, _ = unix.accept()\n"
      "    client.makefile('rb').readline()\n"
      "    client.sendall(answers[0].encode()); client.close()\n"
      "    answers = answers[1:] or answers\n";
  struct Case {
    const char* command;
    std::string answer;
    int code;
    std::string says = "the service's answer is malformed";
    std::string then = {};  // the answer to the next request
  };
  const std::string escapes = R"(\u001b]0;owned\u0007\u009b2J)";
  const std::string supplies =
      R"({"upses":[{"name":"a","supplies":1,"known":true,"feeds":true}],"fed":1,"total":1,)"
      R"("minimum":1})";
  const std::vector<Case> cases = {
      {"status", R"({"state":1,"shutdown":"x"})", 7},
      {"status", R"({"state":"1"})", 7},
      {"status", R"({"state":1,"nut":{"fsd":"yes"}})", 7},
      {"plan", R"({"plan":{"stages":[{"name":"early","machines":[{"user":5}]}]}})", 7},
      {"plan", R"({"plan":{"stages":[{"name":"early","machines":[{"addresses":[1,2]}]}]}})", 7},
      {"plan", R"({"plan":{"stages":"x"}})", 7},
      {"check-config",
       R"({"plan":{"stages":[{"name":"early","machines":[{"user":5,"addresses":["a","b"]}]}]}})",
       7},
      {"status", R"({"state":2,"shutdown":{"pending":true,"waits_for":")" + escapes + R"("}})", 9,
       "this machine's shutdown is under way (it waits for ?]0;owned???2J)"},
      {"plan",
       R"({"plan":{"stages":[{"name":")" + escapes + R"(","when":")" + escapes +
           R"(","machines":[{"user":")" + escapes + R"(","logged_in":true,"addresses":[")" +
           escapes + R"("]}],"wake":[")" + escapes + R"("]}]}})",
       0, "?]0;owned???2J: logged in from ?]0;owned???2J"},
      {"check-config",
       R"({"plan":{"stages":[{"name":")" + escapes + R"(","machines":[{"user":")" + escapes +
           R"(","addresses":["a","b"]}]}]}})",
       0, "is logged in 2 times"},
      // Several UPSes: each entry and the supplies' answer held to their form, and shown as text.
      {"status", R"({"state":1,"upses":[{"name":"a","state":"1"},{"name":"b"}]})", 7,
       "the service's answer is malformed", supplies},
      {"status", R"({"state":1,"upses":[{"name":"a","flags":{"LB":1}},{"name":"b"}]})", 7,
       "the service's answer is malformed", supplies},
      {"status", R"({"state":1,"upses":[{"name":"a","on_battery_seconds":"9"},{"name":"b"}]})", 7,
       "the service's answer is malformed", supplies},
      {"status", R"({"state":1,"upses":[{"name":"a","state":1},{"name":"b","state":2}]})", 7,
       "the service's answer is malformed", R"({"upses":"x","fed":1,"total":2,"minimum":1})"},
      {"status",
       R"({"state":1,"upses":[{"name":")" + escapes +
           R"(","state":1},{"name":"b","state":2,"on_battery_seconds":1e300}]})",
       0, "?]0;owned???2J: feeds this machine",
       R"({"upses":[{"name":")" + escapes +
           R"(","supplies":1,"known":true,"feeds":true},{"name":"b","supplies":1,"known":true,)"
           R"("feeds":false,"why":")" +
           escapes + R"("}],"fed":1,"total":2,"minimum":1})"},
      // Turned away: the service runs and holds the port, so the port is not asked.
      {"status", "ERR busy: too many at once\n", 7, "the service did not answer: it refused (busy"},
      {"reload", "ERR busy: too many at once\n", 0, "reloaded", "OK reloaded\n"},
  };
  for (const auto& c : cases) {
    fs::remove(Control());
    std::vector<std::string> argv = {"python3", "-c", fake, Control().string(), c.answer};
    if (!c.then.empty()) argv.push_back(c.then);
    Subprocess answering(argv);
    ASSERT_TRUE(answering.ReadLine(10s));
    const auto said = RunAs({}, {c.command, "--config", config.string()});
    EXPECT_EQ(said.code, c.code) << c.command << " " << c.answer << ": " << said.text;
    EXPECT_NE(said.text.find(c.says), std::string::npos)
        << c.command << " " << c.answer << ": " << said.text;
    for (const char* control : {"\x1b", "\x07", "\xc2\x9b"}) {
      EXPECT_EQ(said.text.find(control), std::string::npos)
          << c.command << " " << c.answer << ": " << said.text;
    }
    answering.Signal(SIGKILL);
    answering.Wait(5s);
  }
}

TEST_F(ServiceTest, DisarmRemovesAPendingPowerCutByHand) {
  Start(WriteConfig("true"));
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(5s), 0);
  ASSERT_TRUE(fs::exists(Flag())) << "a started shutdown keeps its power cut past the stop";
  // One that root's helper keeps aside until it runs the service's shutdown goes too.
  const fs::path pending = Flag().string() + ".pending";
  std::ofstream(pending) << "port=COM1\n";
  const fs::path config = Dir() / "corvale-ups.toml";
  Subprocess disarm({CORVALE_UPS_TOOL, "disarm", "--config", config.string()}, true);
  const std::string said = disarm.ReadAll(10s);
  EXPECT_EQ(disarm.Wait(5s), 0) << said;
  EXPECT_NE(said.find("removed " + Flag().string()), std::string::npos) << said;
  EXPECT_FALSE(fs::exists(Flag()));
  EXPECT_FALSE(fs::exists(pending));
  // Only a pending one (a shutdown being prepared): its removal is said, not "no flag".
  std::ofstream(pending) << "port=COM1\n";
  Subprocess pendingOnly({CORVALE_UPS_TOOL, "disarm", "--config", config.string()}, true);
  const std::string saidPending = pendingOnly.ReadAll(10s);
  EXPECT_EQ(pendingOnly.Wait(5s), 0) << saidPending;
  EXPECT_NE(saidPending.find("removed " + pending.string()), std::string::npos) << saidPending;
  EXPECT_EQ(saidPending.find("no power cut is pending"), std::string::npos) << saidPending;
  EXPECT_FALSE(fs::exists(pending));
  // What cannot be removed at the pending flag's path keeps no flag beside it, and is said.
  fs::create_directories(pending / "inside");
  std::ofstream(Flag()) << "port=COM1\n";
  EXPECT_EQ(Tool({"disarm", "--config", config.string()}), 1);
  EXPECT_FALSE(fs::exists(Flag())) << "a folder at the pending flag's path kept the flag";
  fs::remove_all(pending);
  EXPECT_EQ(Tool({"disarm", "--config", config.string()}), 0) << "nothing to disarm is fine";
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_TRUE(line.peer->TurnOffDelays().empty()) << "disarmed: the UPS stays on";
  // Only root may disarm.
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(nobody);
  fs::permissions(Dir(), fs::perms(0755));
  EXPECT_EQ(RunToEnd({"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                      "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups",
                      CORVALE_UPS_TOOL, "disarm", "--config", config.string()}),
            2);
}

TEST_F(ServiceTest, HooksThatAllHangDoNotHoldUpTheShutdown) {
  Start(WriteConfig("true", "[events]\ncommand = \"exec sleep 5917\"\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  constexpr std::uint16_t kOverload = 0x0008, kSysFail = 0x0080;
  for (int round = 0; round < 2; ++round) {
    line.peer->SetStatus(kOnBatt | kBattFail | kOverload | kSysFail);
    ASSERT_TRUE(WaitFor("system-failed")) << log;
    line.peer->SetStatus(0);
    ASSERT_TRUE(WaitFor("system-ok")) << log;
  }
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  EXPECT_NE(log.find("dropping the event command"), std::string::npos) << log;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  RunToEnd({"pkill", "-f", "sleep 5917"});
}

TEST_F(ServiceTest, KillPowerTriesAgainAndNeedsNeitherTheRegistryNorTheConfiguration) {
  Start(WriteConfig("true"));
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(5s), 0);
  ASSERT_TRUE(fs::exists(Flag()));

  // /var is gone, the configuration was broken by an edit, and the UPS garbles its replies
  // until the first turn-off.
  fs::remove_all(line.registry.Root());
  const fs::path config = Dir() / "corvale-ups.toml";
  std::ofstream(config) << "[ups\n";
  line.peer->SetFault(UpsPeer::Fault::kGarbled);
  line.peer->OnFrame(
      [this](const UpsPeer::FrameRecord&, const std::optional<corvale::UpsCommand>& command) {
        if (command && command->letter == 'S') line.peer->SetFault(UpsPeer::Fault::kNone);
      });
  EXPECT_EQ(Tool({"kill-power", "--config", config.string(), "--flag", Flag().string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), (std::vector<std::uint32_t>{42, 42}));
  EXPECT_FALSE(fs::exists(Flag()));
  EXPECT_FALSE(fs::exists(line.registry.Root())) << "nothing written where /var was";
}

TEST_F(ServiceTest, APortOnlyRootMayOpenIsNamedWithAdviceThatGivesTheAccountNothingMore) {
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  ASSERT_TRUE(nobody && dialout);
  const fs::path requests = Dir() / "requests";
  fs::create_directories(requests);
  ASSERT_EQ(RunToEnd({"chown", "-R", std::to_string(nobody->pw_uid), requests.string(),
                      line.registry.Root().string()}),
            0);
  fs::permissions(Dir(), fs::perms(0755));
  // The pseudo-terminal as a device that only root may open.
  ASSERT_EQ(chown(line.peer->DevicePath().c_str(), 0, 0), 0);
  fs::permissions(line.peer->DevicePath(), fs::perms(0600));
  const fs::path config =
      WriteConfig("true", "requests = \"" + requests.string() + "\"\n[service]\ncontrol = \"\"\n");
  const std::vector<std::string> asNobody = {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                                             "--regid=" + std::to_string(nobody->pw_gid),
                                             "--groups=" + std::to_string(dialout->gr_gid)};
  // check-config, as the account that runs the service, names it before any power failure.
  const auto checked = RunAs(asNobody, {"check-config", "--config", config.string()});
  EXPECT_NE(checked.text.find("ups.port: nobody may not open"), std::string::npos) << checked.text;
  Start(config, asNobody);
  ASSERT_TRUE(WaitFor("permission denied on", 15s)) << log;
  EXPECT_NE(log.find("udev rule"), std::string::npos) << log;
  for (const std::string& said : {log, checked.text}) {
    EXPECT_EQ(said.find("usermod -aG root"), std::string::npos) << said;
    EXPECT_EQ(said.find("group root:"), std::string::npos) << said;
  }
}

TEST_F(ServiceTest, WithoutRootsRightsTheRootHelperWritesTheFlagAndShutsDown) {
  // As the installed unit runs it: a system user in group dialout, the registry its own, asking
  // a root helper through a folder of its own. Here the test plays systemd's path unit.
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  ASSERT_TRUE(nobody && dialout);
  const fs::path requests = Dir() / "requests", results = Dir() / "results";
  const fs::path ran = Dir() / "shutdown-ran-as";
  fs::create_directories(requests);
  fs::create_directories(Dir() / "run");
  ASSERT_EQ(RunToEnd({"chown", "-R", std::to_string(nobody->pw_uid), requests.string(),
                      line.registry.Root().string()}),
            0);
  fs::permissions(Dir(), fs::perms(0755));
  ASSERT_EQ(chown(line.peer->DevicePath().c_str(), 0, dialout->gr_gid), 0);
  fs::permissions(line.peer->DevicePath(), fs::perms(0660));
  const fs::path config =
      WriteConfig("id -u > " + ran.string(), "requests = \"" + requests.string() +
                                                 "\"\nresults = \"" + results.string() + "\"\n");
  Start(config, {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                 "--regid=" + std::to_string(nobody->pw_gid),
                 "--groups=" + std::to_string(dialout->gr_gid)});
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  EXPECT_TRUE(line.registry.Read(corvale::kStatusKey, "FirmwareRev")) << "published as nobody";
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  // The path unit: the helper, as root, for each request that comes.
  const auto helper = [&] {
    return Tool({"shutdown-helper", "--config", config.string(), "--last-good", ""});
  };
  for (int i = 0; i < 100 && !fs::exists(ran); ++i) {
    ASSERT_EQ(helper(), 0);
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(WaitFor("the root helper's shutdown ended: exit status 0")) << log;
  EXPECT_EQ(ReadFile(ran), "0\n") << "the shutdown command runs as root";
  struct stat flag;
  ASSERT_EQ(stat(Flag().c_str(), &flag), 0);
  EXPECT_EQ(flag.st_uid, 0u) << "written by root, as kill-power trusts only that";
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{42});

  // A flag that root did not write cuts nothing.
  std::ofstream(Flag()) << "port=COM1\n";
  ASSERT_EQ(chown(Flag().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_NE(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays().size(), 1u);
}

TEST_F(ServiceTest, TheTimeOnBatteryLimitComesFromTheFile) {
  Start(WriteConfig("true", "on_battery_seconds = 2\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS has run on battery for 2 s")) << log;
}

TEST_F(ServiceTest, CheckConfigRefusesWhatTheServiceRefuses) {
  const std::string users =
      "[network]\nlisten = []\n[[users]]\nname = \"mon\"\npassword = \"pw\"\n";
  const struct {
    const char* name;
    std::string upsKey;  // one more line in [ups]
    std::string extra;
    fs::perms mode;
    gid_t group;  // the file's group
    fs::perms folderMode;
    int exitCode;
    const char* says;
  } cases[] = {
      {"passwords others may read", "", users, fs::perms(0644), 0, fs::perms(0700), 2,
       "every user may read it"},
      {"passwords a group of users may read", "", users, fs::perms(0640), 100, fs::perms(0700), 2,
       "(gid 100) may read it"},
      {"passwords kept private", "", users, fs::perms(0640), 0, fs::perms(0755), 0, "fine"},
      {"everybody may change the commands", "", "", fs::perms(0666), 0, fs::perms(0700), 2,
       "may be written by every user"},
      {"a group may change them", "", "", fs::perms(0664), 100, fs::perms(0700), 2,
       "(gid 100), who would choose"},
      {"anybody may replace the file", "", "", fs::perms(0644), 0, fs::perms(0777), 2,
       "may be written by every user, who could replace"},
      {"no such library", "library = \"/nonexistent/lib.so\"\n", "", fs::perms(0600), 0,
       fs::perms(0700), 2, "no driver library"},
      {"too many clients for the open-file limit", "",
       "[network]\nlisten = []\nmax_clients = 4096\n", fs::perms(0600), 0, fs::perms(0700), 2,
       "LimitNOFILE"},
      {"no certificate yet", "",
       "[network]\nlisten = []\ncertificate = \"/nonexistent.pem\"\nkey = \"/nonexistent.key\"\n",
       fs::perms(0600), 0, fs::perms(0700), 0, "warning: network.certificate and network.key"},
  };
  for (const auto& c : cases) {
    const fs::path config = WriteConfig("true", c.extra);
    std::string content = ReadFile(config);
    content.insert(content.find('\n') + 1, c.upsKey);
    std::ofstream(config) << content;
    fs::permissions(config, c.mode);
    ASSERT_EQ(chown(config.c_str(), 0, c.group), 0);
    fs::permissions(Dir(), c.folderMode);
    for (const std::string command : {"check-config", "service"}) {
      if (c.exitCode == 0 && command == "service") continue;
      // Under a limit of 2048 open files, whatever the machine's.
      Subprocess tool(
          {"/bin/sh", "-c",
           "ulimit -Sn 2048 && ulimit -Hn 2048 && exec \"$0\" \"$1\" --config \"$2\" 2>&1",
           CORVALE_UPS_TOOL, command, config.string()});
      const std::string output = tool.ReadAll(10s);
      EXPECT_EQ(tool.Wait(5s), c.exitCode) << c.name << " " << command << "\n" << output;
      EXPECT_NE(output.find(c.says), std::string::npos) << c.name << " " << command << "\n"
                                                        << output;
    }
  }
  fs::permissions(Dir(), fs::perms(0700));
  // What may still come right is a warning: the adapter may be plugged in later.
  fs::remove(line.Devices() / "COM1");
  Subprocess tool({"/bin/sh", "-c", "exec \"$0\" check-config --config \"$1\" 2>&1",
                   CORVALE_UPS_TOOL, WriteConfig("").string()});
  const std::string output = tool.ReadAll(10s);
  EXPECT_EQ(tool.Wait(5s), 0) << output;
  EXPECT_NE(output.find("warning: ups.port: there is no"), std::string::npos) << output;
}

// The service checks the file as its own account at every start and reload: a shutdown command
// that only root (its helper) may reach is not "missing" to it, while a typo still is, and a hook
// there (which the service's account runs) may not be run.
TEST_F(ServiceTest, TheServicesOwnCheckLeavesAProgramOnlyRootMayReachToRoot) {
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const fs::path closed = Dir() / "root-only";
  fs::create_directories(closed);
  std::ofstream(closed / "down.sh") << "#!/bin/sh\n";
  fs::permissions(closed / "down.sh", fs::perms(0755));
  fs::permissions(closed, fs::perms(0700));
  fs::permissions(Dir(), fs::perms(0755));
  const auto checkAsNobody = [&](const fs::path& command, std::string* output,
                                 const std::string& extra = {}) {
    const fs::path config = WriteConfig(command.string(), extra);
    fs::permissions(config, fs::perms(0644));
    Subprocess tool({"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                     "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", "/bin/sh", "-c",
                     "exec \"$0\" check-config --config \"$1\" 2>&1", CORVALE_UPS_TOOL,
                     config.string()});
    *output = tool.ReadAll(10s);
    return tool.Wait(5s);
  };
  std::string output;
  EXPECT_EQ(checkAsNobody(closed / "down.sh", &output), 0) << output;
  EXPECT_EQ(checkAsNobody(Dir() / "down-typo.sh", &output), 2) << output;
  EXPECT_NE(output.find("there is no program"), std::string::npos) << output;
  const std::string hook = "[events]\ncommand = \"" + (closed / "down.sh").string() + "\"\n";
  EXPECT_EQ(checkAsNobody("true", &output, hook), 2) << output;
  EXPECT_NE(output.find("events.command: " + (closed / "down.sh").string() + " may not be run by"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("it may not enter " + closed.string()), std::string::npos) << output;
  fs::permissions(Dir(), fs::perms(0700));
}

TEST_F(ServiceTest, NoGroupButRootsMayWriteTheFileOrAnyFolderAboveIt) {
  // The service's own group is a group like any other: played here by a group that the checking
  // process runs in, as the installed service runs in its own.
  const passwd* nobody = getpwnam("nobody");
  const group* own = getgrnam("dialout");
  ASSERT_TRUE(nobody && own);
  const fs::path top = Dir() / "etc", folder = top / "corvale-ups",
                 config = folder / "corvale-ups.toml";
  fs::create_directories(folder);
  fs::copy_file(WriteConfig("true"), config);
  const std::string gid = std::to_string(own->gr_gid);
  const std::string groupName = std::string("the group ") + own->gr_name + " (gid " + gid + ")";
  const struct {
    const char* name;
    fs::path what;  // the one path made unsafe
    fs::perms mode;
    uid_t owner;
    gid_t group;
    std::string says;
  } cases[] = {
      {"the file, by the group", config, fs::perms(0664), 0, own->gr_gid,
       config.string() + " may be written by " + groupName},
      {"its folder, by the group", folder, fs::perms(0775), 0, own->gr_gid,
       "chmod g-w " + folder.string()},
      {"a folder further up, by the group", top, fs::perms(0775), 0, own->gr_gid,
       "the folder " + top.string() + " may be written by " + groupName},
      {"a folder further up, by everyone", top, fs::perms(0777), 0, 0, "chmod o-w " + top.string()},
      {"a folder further up, by its owner", top, fs::perms(0755), 4321, 0,
       "chown root " + top.string()},
      {"root's group may write", config, fs::perms(0664), 0, 0, "fine"},
  };
  fs::permissions(Dir(), fs::perms(0755));
  for (const auto& c : cases) {
    for (const auto& path : {top, folder}) {
      ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
      fs::permissions(path, fs::perms(0755));
    }
    ASSERT_EQ(chown(config.c_str(), 0, 0), 0);
    fs::permissions(config, fs::perms(0644));
    ASSERT_EQ(chown(c.what.c_str(), c.owner, c.group), 0);
    fs::permissions(c.what, c.mode);
    const bool fine = c.says == "fine";
    for (const bool asTheService : {false, true}) {
      std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-"};
      if (asTheService) {
        argv.insert(argv.end(), {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                                 "--regid=" + gid, "--groups=" + gid});
      }
      argv.insert(argv.end(), {CORVALE_UPS_TOOL, "check-config", "--config", config.string()});
      Subprocess tool(argv);
      const std::string output = tool.ReadAll(10s);
      EXPECT_EQ(tool.Wait(5s), fine ? 0 : 2)
          << c.name << (asTheService ? " as the service\n" : "\n") << output;
      EXPECT_NE(output.find(c.says), std::string::npos) << c.name << "\n" << output;
    }
  }
}

}  // namespace

// `systemctl reload`: an edit takes effect without a restart, and what the host knows of the UPS
// (on battery since when, which events were raised) is kept.
TEST_F(ServiceTest, AReloadTakesTheEditedHookAndKeepsRunningOnTheOldFileWhenTheNewOneIsBad) {
  const fs::path first = Dir() / "first", second = Dir() / "second";
  const auto hook = [](const fs::path& to) {
    return "[events]\ncommand = \"echo $CORVALE_UPS_EVENT >> " + to.string() + "\"\n";
  };
  const fs::path config = WriteConfig("true", hook(first));
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForFile(first, "on-battery\n")) << log;

  WriteConfig("true", hook(second));
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("reloaded " + config.string() + ": changed events.command")) << log;
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitForFile(second, "online\n")) << log;
  EXPECT_EQ(ReadFile(second), "online\n") << "the reload raised nothing of its own";
  EXPECT_EQ(ReadFile(first), "online\non-battery\n");

  // A broken edit is told with its line, and changes nothing.
  std::string broken = ReadFile(config);
  broken.replace(broken.find("turn_off_delay = 42"), 19, "turn_off_delay = 4200");
  std::ofstream(config) << broken;
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor(config.string() + ":8: shutdown.turn_off_delay")) << log;
  ASSERT_TRUE(WaitFor("not reloaded")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForFile(second, "online\non-battery\n")) << log;
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("not reloaded")) << log;
  WriteConfig("true", hook(second));
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("reloaded " + config.string() + ": nothing changed")) << log;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0) << log;
}

TEST_F(ServiceTest, AReloadMovesTheServersTheUsersAndTheDriverToTheirNewSettings) {
  using corvale::testing::FreePort;
  using corvale::testing::RawClient;
  const int before = FreePort(), after = FreePort(), webBefore = FreePort(), webAfter = FreePort();
  const auto sharing = [](int port, int web, const std::string& user) {
    return "[http]\nlisten = [\"127.0.0.1:" + std::to_string(web) +
           "\"]\n[network]\nlisten = [\"127.0.0.1:" + std::to_string(port) +
           "\"]\n[[users]]\nname = \"" + user + "\"\npassword = \"pw\"\nupsmon = \"secondary\"\n";
  };
  const auto page = [](int port) {
    RawClient client(port);
    client.Send("GET /metrics HTTP/1.0\r\n\r\n");
    return client.Line();
  };
  const auto logIn = [](int port, const std::string& user) {
    RawClient client(port);
    client.Send("USERNAME " + user + "\nPASSWORD pw\nLOGIN test-ups\n");
    std::string replies = client.Line();
    for (int reply = 0; reply < 2; ++reply) replies += " " + client.Line();
    return replies;
  };
  const fs::path config = WriteConfig("true", sharing(before, webBefore, "old"));
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);  // it has passwords
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_EQ(logIn(before, "old"), "OK OK OK");
  ASSERT_EQ(page(webBefore), "HTTP/1.1 200 OK\r");

  // Another port for the same UPS, and another name for the service, which needs a restart.
  fs::create_symlink(line.peer->DevicePath(), line.Devices() / "COM2");
  std::string text = ReadFile(WriteConfig("true", sharing(after, webAfter, "new")));
  text.replace(text.find("\"COM1\""), 6, "\"COM2\"");
  text.replace(text.find("\"test-ups\""), 10, "\"renamed\"");
  std::ofstream(config) << text;
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("reloaded " + config.string() +
                      ": changed ups.port, http.listen, network.listen, users"))
      << log;
  ASSERT_TRUE(WaitFor("only a restart of the service applies ups.name")) << log;
  EXPECT_EQ(logIn(after, "new"), "OK OK OK");
  EXPECT_EQ(logIn(after, "old"), "OK OK ERR ACCESS-DENIED");
  EXPECT_EQ(RawClient(before).Line(), "<closed>");
  EXPECT_EQ(page(webAfter), "HTTP/1.1 200 OK\r");
  EXPECT_EQ(page(webBefore), "<closed>");
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("test-ups: on-battery")) << log;
  EXPECT_NE(log.find("restarting the driver on port COM2"), std::string::npos) << log;
  EXPECT_EQ(line.registry.Read(corvale::kServiceKey, "Port"), "COM2");
}

// systemd hears when the service is ready, when a reload begins (with its time, which tells its
// end from an earlier READY=1) and ends, and when it stops.
TEST_F(ServiceTest, TheServiceManagerHearsOfTheStartEachReloadAndTheStop) {
  const fs::path socketPath = Dir() / "notify";
  const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const timeval wait{10, 0};
  setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const auto heard = [manager] {
    char message[256];
    const ssize_t size = recv(manager, message, sizeof message, 0);
    return size < 0 ? std::string("<nothing>") : std::string(message, static_cast<size_t>(size));
  };
  Start(WriteConfig("true"), {"env", "NOTIFY_SOCKET=" + socketPath.string()});
  EXPECT_EQ(heard(), "READY=1");
  service->Signal(SIGHUP);
  const std::string reloading = heard();
  EXPECT_TRUE(reloading.starts_with("RELOADING=1\nMONOTONIC_USEC=")) << reloading;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long began = std::stoll(reloading.substr(reloading.find('=', 12) + 1));
  EXPECT_LE(began, now.tv_sec * 1000000LL + now.tv_nsec / 1000);
  EXPECT_GT(began, (now.tv_sec - 10) * 1000000LL);
  EXPECT_EQ(heard(), "READY=1");
  service->Signal(SIGTERM);
  EXPECT_EQ(heard(), "STOPPING=1");
  EXPECT_EQ(service->Wait(5s), 0);
  close(manager);
}

// The NUT server restarted by a reload drops its connections: the machines behind them must still
// be waited for by a shutdown that comes before they connect again.
TEST_F(ServiceTest, ASecondaryDisconnectedByAReloadIsStillWaitedFor) {
  using corvale::testing::RawClient;
  const int port = corvale::testing::FreePort();
  const auto sharing = [port](int maxClients) {
    return "[network]\nlisten = [\"127.0.0.1:" + std::to_string(port) +
           "\"]\nhostsync_seconds = 2\nmax_clients = " + std::to_string(maxClients) +
           "\n[[users]]\nname = \"mon\"\npassword = \"pw\"\nupsmon = \"secondary\"\n";
  };
  const fs::path config = WriteConfig("true", sharing(64));
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  RawClient secondary(port);
  secondary.Send("USERNAME mon\nPASSWORD pw\nLOGIN test-ups\n");
  for (int reply = 0; reply < 3; ++reply) ASSERT_EQ(secondary.Line(), "OK");

  WriteConfig("true", sharing(99));
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("was disconnected by the server's restart")) << log;
  EXPECT_EQ(secondary.Line(), "<closed>");
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("waiting up to 2 s for 1 other machine to log out")) << log;
  ASSERT_TRUE(WaitFor("hostsync time is up with 1 still logged in")) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
}

TEST_F(ServiceTest, AReloadWaitsForNoShutdownUnderWay) {
  Start(WriteConfig("sleep 30"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("shutdown: the UPS's battery is low")) << log;
  const fs::path config = WriteConfig("true");
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("not reloaded: a shutdown is under way")) << log;
  EXPECT_TRUE(fs::exists(Flag()));
  // `systemctl reload` (the unit's ExecReload) waits for the answer, and its exit says it.
  const auto refused = RunAs({}, {"reload", "--config", config.string()});
  EXPECT_EQ(refused.code, 1) << refused.text;
  EXPECT_NE(refused.text.find("not reloaded: a shutdown is under way"), std::string::npos)
      << refused.text;
}

TEST_F(ServiceTest, ReloadReturnsOnceTheFileIsAppliedAndSaysWhatChanged) {
  const fs::path config = WriteConfig("true");
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  WriteConfig("true", "[events]\ncommand = \"true\"\n");
  const auto applied = RunAs({}, {"reload", "--config", config.string()});
  EXPECT_EQ(applied.code, 0) << applied.text;
  EXPECT_NE(applied.text.find("changed events.command"), std::string::npos) << applied.text;
  std::ofstream(config, std::ios::app) << "[nonsense]\n";
  const auto broken =
      RunAs({}, {"reload", "--config", config.string(), "--control", Control().string()});
  EXPECT_EQ(broken.code, 1) << broken.text;
  EXPECT_NE(broken.text.find("not reloaded"), std::string::npos) << broken.text;
  // Only root (or the service's own account) may have the file read again.
  fs::permissions(Dir(), fs::perms(0755));
  fs::permissions(config, fs::perms(0644));
  const auto other =
      RunAs(AsNobody(), {"reload", "--config", config.string(), "--control", Control().string()});
  EXPECT_EQ(other.code, 1) << other.text;
  EXPECT_NE(other.text.find("only root or the service's own account"), std::string::npos)
      << other.text;
  const std::string unit =
      ReadFile(fs::path(CORVALE_SOURCE_DIR) / "packaging/linux/corvale-ups.service");
  EXPECT_NE(unit.find("ExecReload=/usr/bin/corvale-ups reload"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("kill -HUP"), std::string::npos) << "a signal returns before the reload";
}
