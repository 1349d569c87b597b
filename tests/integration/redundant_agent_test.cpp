// An agent whose machine has two power supplies, each fed by another UPS: two primary services,
// each on its own simulated UPS, and one agent service following both over loopback. It shuts
// down only when too few supplies are left fed, names the UPS in every event, and re-arms.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "simulator/temporary_directory.h"
#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/read_file.h"
#include "tests/support/subprocess.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::FreePort;
using corvale::testing::Line;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

// A service's output read line by line until what a test waits for appears.
struct Output {
  bool WaitFor(const std::string& text, std::chrono::seconds timeout = 15s) {
    if (log.find(text, searched) != std::string::npos) {
      searched = log.find(text, searched) + text.size();
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto next = process->ReadLine(100ms)) {
        log += *next + "\n";
        if (next->find(text) != std::string::npos) {
          searched = log.size();
          return true;
        }
      }
    }
    return false;
  }
  // Reads for `span`; whether `text` appeared meanwhile.
  bool Heard(const std::string& text, std::chrono::seconds span) {
    const auto deadline = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto next = process->ReadLine(100ms)) log += *next + "\n";
    }
    return log.find(text) != std::string::npos;
  }
  std::unique_ptr<Subprocess> process;
  std::string log;
  std::size_t searched = 0;
};

std::unique_ptr<Subprocess> RunService(const fs::path& config) {
  return std::make_unique<Subprocess>(std::vector<std::string>{"/bin/sh", "-c", "exec \"$@\" 2>&1",
                                                               "-", CORVALE_UPS_TOOL, "service",
                                                               "--config", config.string()});
}

// One primary: its own simulated UPS on a pseudo-terminal, its NUT server on a free port.
struct Primary : Output {
  Primary() {
    const fs::path dir = line.directory.Path();
    config = dir / "corvale-ups.toml";
    std::ofstream(config) << "[ups]\nname = \"test-ups\"\nport = \"COM1\"\ndevices = \""
                          << line.Devices().string() << "\"\nregistry = \""
                          << line.registry.Root().string()
                          << "\"\n[shutdown]\ncommand = \"true\"\nflag_file = \""
                          << (dir / "run/killpower").string() << "\"\n[events]\nhistory = \""
                          << (dir / "history.jsonl").string()
                          << "\"\n[http]\nlisten = []\n[service]\ncontrol = \""
                          << (dir / "control").string()
                          << "\"\n[network]\nlisten = [\"127.0.0.1:" << port
                          << "\"]\nhostsync_seconds = 2\n[[users]]\nname = \"a1\"\npassword = "
                             "\"pw-a1\"\nupsmon = \"secondary\"\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  }
  void Start() {
    log.clear();
    searched = 0;
    process = RunService(config);
    ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  }
  void Kill() {
    process->Signal(SIGKILL);
    process->Wait(10s);
  }
  void GoesLow() { line.peer->SetStatus(kOnBatt | kLowBatt); }

  Line line;
  int port = FreePort();
  fs::path config;
};

// The agent: one [[ups]] entry per server, and a hook that writes down each event and its UPS.
struct RedundantAgent : Output {
  // `entries`: each server's port and what its entry adds; `shutdown`: what [shutdown] adds.
  RedundantAgent(const std::vector<std::pair<int, std::string>>& entries,
                 const std::string& shutdown) {
    const fs::path dir = directory.Path();
    // The hook runs as the service's account, which must reach it.
    fs::permissions(dir, fs::perms(0755));
    config = dir / "corvale-ups.toml";
    std::ofstream(dir / "shutdown.sh") << "#!/bin/sh\necho agent >> " << Order().string() << "\n";
    std::ofstream(dir / "hook.sh") << "#!/bin/sh\necho \"$CORVALE_UPS_EVENT $CORVALE_UPS_NAME\" >> "
                                   << Events().string() << "\n";
    for (const char* script : {"shutdown.sh", "hook.sh"}) {
      fs::permissions(dir / script, fs::perms(0755));
    }
    std::ofstream out(config);
    for (const auto& [port, extra] : entries) {
      out << "[[ups]]\nname = \"test-ups\"\nserver = \"127.0.0.1:" << port
          << "\"\nuser = \"a1\"\npassword = \"pw-a1\"\ndeadtime = 3\n"
          << extra;
    }
    out << "[shutdown]\ncommand = \"" << (dir / "shutdown.sh").string() << "\"\nflag_file = \""
        << (dir / "run/killpower").string() << "\"\n"
        << shutdown << "[events]\ncommand = \"" << (dir / "hook.sh").string() << "\"\nhistory = \""
        << (dir / "history.jsonl").string() << "\"\n[http]\nlisten = []\n[service]\ncontrol = \""
        << (dir / "control").string() << "\"\n";
    out.close();
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  }
  void Start() { process = RunService(config); }
  fs::path Order() const { return directory.Path() / "order"; }
  fs::path Events() const { return directory.Path() / "events"; }
  // check-config's words on what the machine would do now.
  std::string CheckConfig() const {
    Subprocess check({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "check-config",
                      "--config", config.string()});
    std::string said = check.ReadAll(10s);
    said += "exit " + std::to_string(check.Wait(10s));
    return said;
  }
  // What `status` says of the running agent, and its exit status last.
  std::string Status() const {
    Subprocess status({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "status",
                       "--config", config.string()});
    std::string said = status.ReadAll(10s);
    said += "exit " + std::to_string(status.Wait(10s));
    return said;
  }

  corvale::TemporaryDirectory directory{"corvale-test"};
  fs::path config;
};

std::string Name(const Primary& primary) {
  return "test-ups@127.0.0.1:" + std::to_string(primary.port);
}

class RedundantAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    left.Start();
    right.Start();
  }
  // The agent following both, once it has heard both online.
  std::unique_ptr<RedundantAgent> Follow(const std::string& leftEntry,
                                         const std::string& rightEntry,
                                         const std::string& shutdown) {
    auto agent = std::make_unique<RedundantAgent>(
        std::vector<std::pair<int, std::string>>{{left.port, leftEntry}, {right.port, rightEntry}},
        shutdown);
    agent->Start();
    EXPECT_TRUE(agent->WaitFor(Name(left) + ": online")) << agent->log;
    EXPECT_TRUE(agent->log.find(Name(right) + ": online") != std::string::npos ||
                agent->WaitFor(Name(right) + ": online"))
        << agent->log;
    return agent;
  }

  Primary left, right;
};

TEST_F(RedundantAgentTest, OneSupplyEachNeedingOneRidesOutOneUpsAndGoesWithTheSecond) {
  auto agent = Follow("", "", "min_supplies = 1\n");
  left.GoesLow();
  ASSERT_TRUE(agent->WaitFor(Name(left) + ": low-battery")) << agent->log;
  // Its primary goes down and orders FSD: one UPS out, the other still feeds this machine.
  EXPECT_FALSE(agent->Heard(": shutdown: ", 5s)) << agent->log;
  EXPECT_NE(agent->CheckConfig().find("right now: would run on: 1 of 2 supplies fed, needs 1"),
            std::string::npos)
      << agent->CheckConfig();
  // status says the same, each server's UPS on a line of its own.
  const std::string status = agent->Status();
  EXPECT_NE(status.find("low battery       " + Name(left) + ": does not feed this machine: "),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("online            " + Name(right) + ": feeds this machine"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("supplies          would run on: 1 of 2 supplies fed, needs 1"),
            std::string::npos)
      << status;
  EXPECT_TRUE(status.ends_with("exit 0")) << status;
  right.GoesLow();
  ASSERT_TRUE(agent->WaitFor(": supplies-low: 0 of this machine's 2 power supplies")) << agent->log;
  ASSERT_TRUE(agent->WaitFor(": shutdown: ")) << agent->log;
  ASSERT_TRUE(agent->WaitFor("the shutdown command ended: exit status 0")) << agent->log;
  agent->Heard(": shutdown: ", 3s);
  EXPECT_EQ(agent->log.find(": shutdown: "), agent->log.rfind(": shutdown: "))
      << "once: " << agent->log;
  EXPECT_EQ(ReadFile(agent->Order()), "agent\n");
  // The hook hears which UPS each event is about.
  const std::string events = ReadFile(agent->Events());
  EXPECT_NE(events.find("low-battery " + Name(left) + "\n"), std::string::npos) << events;
  EXPECT_NE(events.find("low-battery " + Name(right) + "\n"), std::string::npos) << events;
  EXPECT_NE(events.find("supplies-low " + Name(right) + "\n"), std::string::npos) << events;
  const std::string history = ReadFile(agent->directory.Path() / "history.jsonl");
  EXPECT_NE(history.find("\"ups\":\"" + Name(left) + "\""), std::string::npos) << history;
  EXPECT_EQ(agent->log.find("pw-a1"), std::string::npos) << "never the password";
}

TEST_F(RedundantAgentTest, NeedingBothSuppliesItGoesWithTheFirstUps) {
  auto agent = Follow("", "", "");  // the minimum: every supply
  left.GoesLow();
  ASSERT_TRUE(agent->WaitFor(": supplies-low: 1 of this machine's 2 power supplies")) << agent->log;
  ASSERT_TRUE(agent->WaitFor(": shutdown: ")) << agent->log;
  // The margin's words name the UPS that went.
  EXPECT_NE(agent->log.find("no fewer than 2: " + Name(left) + ": "), std::string::npos)
      << agent->log;
  ASSERT_TRUE(agent->WaitFor("the shutdown command ended: exit status 0")) << agent->log;
  EXPECT_EQ(ReadFile(agent->Order()), "agent\n");
}

TEST_F(RedundantAgentTest, EachUpsCountsOutAfterItsOwnTimeOnBattery) {
  // [shutdown]'s time is long; the left UPS's own is short.
  auto agent = Follow("on_battery_seconds = 2\n", "", "on_battery_seconds = 600\n");
  left.line.peer->SetStatus(kOnBatt);
  right.line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(agent->WaitFor(Name(left) + ": on-battery")) << agent->log;
  const auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(agent->WaitFor(Name(left) + ": the UPS has run on battery for 2 s")) << agent->log;
  EXPECT_GE(std::chrono::steady_clock::now() - since, 1s);
  ASSERT_TRUE(agent->WaitFor(": shutdown: ")) << agent->log;
  EXPECT_EQ(agent->log.find(Name(right) + ": the UPS has run on battery"), std::string::npos)
      << agent->log;
}

TEST_F(RedundantAgentTest, AWatchedOnlyUpsNeverShutsTheMachineDown) {
  auto agent = Follow("supplies = 0\n", "", "");
  EXPECT_NE(agent->CheckConfig().find("right now: would run on: 1 of 1 supplies fed, needs 1"),
            std::string::npos)
      << agent->CheckConfig();
  left.GoesLow();
  ASSERT_TRUE(agent->WaitFor(Name(left) + ": low-battery")) << agent->log;
  EXPECT_FALSE(agent->Heard(": shutdown: ", 6s)) << agent->log;
  EXPECT_EQ(agent->log.find("supplies-low"), std::string::npos) << agent->log;
  // The one that feeds still counts.
  right.GoesLow();
  ASSERT_TRUE(agent->WaitFor(": shutdown: ")) << agent->log;
}

TEST_F(RedundantAgentTest, APrimaryKilledCountsOutAfterItsDeadtimeAndTheOtherStillCarries) {
  auto agent = Follow("", "", "min_supplies = 1\n");
  left.Kill();
  ASSERT_TRUE(agent->WaitFor(Name(left) + ": communication-lost")) << agent->log;
  EXPECT_FALSE(agent->Heard(": shutdown: ", 3s)) << agent->log;
  const std::string said = agent->CheckConfig();
  EXPECT_NE(said.find(Name(left) + " (1 supply): does not feed: communication with it is lost"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find(Name(right) + " (1 supply): feeds"), std::string::npos) << said;
  EXPECT_NE(said.find("right now: would run on: 1 of 2 supplies fed, needs 1"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("pw-a1"), std::string::npos) << "never the password: " << said;
  // Counted out: the other UPS's low battery leaves nothing.
  right.GoesLow();
  ASSERT_TRUE(agent->WaitFor(": shutdown: ")) << agent->log;
  EXPECT_NE(agent->CheckConfig().find("right now: shutting down"), std::string::npos);
}

// The agent's connection, as the API, the page and the metrics tell it, is every server's: the
// second one lost while the first answers is no less lost.
TEST_F(RedundantAgentTest, TheConnectionToldIsEveryServersNotTheFirstsAlone) {
  const std::string http = "127.0.0.1:" + std::to_string(FreePort());
  RedundantAgent agent({{left.port, ""}, {right.port, ""}}, "min_supplies = 1\n");
  std::string text = ReadFile(agent.config);
  text.replace(text.find("listen = []"), 11, "listen = [\"" + http + "\"]");
  std::ofstream(agent.config) << text;
  agent.Start();
  ASSERT_TRUE(agent.WaitFor(Name(right) + ": online")) << agent.log;
  right.Kill();
  ASSERT_TRUE(agent.WaitFor(Name(right) + ": communication-lost")) << agent.log;
  const std::string status = agent.Status();
  EXPECT_NE(status.find("this agent does not read every NUT server it follows now"),
            std::string::npos)
      << status;
  Subprocess curl({"curl", "-sf", "--max-time", "5", "http://" + http + "/metrics"});
  const std::string metrics = curl.ReadAll(10s);
  EXPECT_EQ(curl.Wait(10s), 0);
  const std::string servers =
      "127.0.0.1:" + std::to_string(left.port) + ", 127.0.0.1:" + std::to_string(right.port);
  EXPECT_NE(metrics.find("server=\"" + servers + "\"} 0"), std::string::npos) << metrics;
}

TEST_F(RedundantAgentTest, AServerUnreachableAtTheStartCountsAsNotFeeding) {
  const int nobody = FreePort();
  RedundantAgent agent({{nobody, ""}, {right.port, ""}}, "min_supplies = 1\n");
  // Without the service only the file can be told of.
  const std::string before = agent.CheckConfig();
  EXPECT_NE(before.find("right now: unknown: the running service does not answer"),
            std::string::npos)
      << before;
  agent.Start();
  ASSERT_TRUE(agent.WaitFor(Name(right) + ": online")) << agent.log;
  ASSERT_TRUE(
      agent.WaitFor("test-ups@127.0.0.1:" + std::to_string(nobody) + ": communication-lost"))
      << agent.log;
  EXPECT_NE(agent.CheckConfig().find("does not feed: it has not answered since the service"),
            std::string::npos)
      << agent.CheckConfig();
  right.GoesLow();
  ASSERT_TRUE(agent.WaitFor(": shutdown: ")) << agent.log;
}

TEST_F(RedundantAgentTest, TheMarginComesBackWithoutAShutdownAndIsSaid) {
  auto agent = Follow("", "", "");  // both needed
  left.Kill();
  // Below the minimum, but no UPS is out for the power: said, not acted on.
  ASSERT_TRUE(agent->WaitFor(": supplies-low: 1 of this machine's 2 power supplies")) << agent->log;
  EXPECT_NE(agent->CheckConfig().find("right now: would run on below its minimum"),
            std::string::npos);
  left.Start();
  ASSERT_TRUE(agent->WaitFor(": supplies-ok: 2 of this machine's 2 power supplies", 30s))
      << agent->log;
  // Re-armed: the next time the margin goes, it is said again.
  left.Kill();
  ASSERT_TRUE(agent->WaitFor(": supplies-low: 1 of this machine's 2 power supplies")) << agent->log;
  EXPECT_EQ(agent->log.find(": shutdown: "), std::string::npos) << agent->log;
  EXPECT_FALSE(fs::exists(agent->Order()));

  // A reload never half takes another set of UPSes, nor a count the policy was not made with.
  const std::string text = ReadFile(agent->config);
  std::ofstream(agent->config) << text.substr(text.find("[[ups]]", 1));
  agent->process->Signal(SIGHUP);
  ASSERT_TRUE(agent->WaitFor("changes the UPSes this machine watches")) << agent->log;
  std::string changed = text;
  changed.insert(changed.find("[shutdown]\n") + 11, "min_supplies = 1\n");
  std::ofstream(agent->config) << changed;
  agent->process->Signal(SIGHUP);
  ASSERT_TRUE(agent->WaitFor("only a restart of the service applies shutdown.min_supplies"))
      << agent->log;
  const std::string said = agent->CheckConfig();
  EXPECT_NE(said.find("needs 2"), std::string::npos) << "runs on what it started on: " << said;
  // The file's count is not read as the service's.
  EXPECT_NE(said.find("the running service still counts the UPSes, supplies and minimum it "
                      "started with, not this file's: restart the service"),
            std::string::npos)
      << said;
}

TEST(RedundantPrimaryTest, ACableEntryWatchedOnlyNeverShutsDownNorCutsThePower) {
  Primary primary;
  // The same UPS as one [[ups]] entry that feeds none of this machine's supplies.
  std::string text = ReadFile(primary.config);
  text.replace(text.find("[ups]\n"), 6, "[[ups]]\nsupplies = 0\n");
  std::ofstream(primary.config) << text;
  primary.Start();
  const fs::path dir = primary.line.directory.Path();
  Subprocess check({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "check-config",
                    "--config", primary.config.string()});
  const std::string said = check.ReadAll(10s);
  EXPECT_NE(said.find("monitor only"), std::string::npos) << said;
  EXPECT_NE(said.find("right now: would run on: it only watches"), std::string::npos) << said;
  primary.GoesLow();
  ASSERT_TRUE(primary.WaitFor("test-ups: low-battery")) << primary.log;
  EXPECT_FALSE(primary.Heard(": shutdown: ", 5s)) << primary.log;
  EXPECT_FALSE(fs::exists(dir / "run/killpower"));
}

TEST(RedundantPrimaryTest, CheckConfigCallsAMachineWithTheCablesNoAgent) {
  corvale::TemporaryDirectory directory{"corvale-test"};
  const fs::path config = directory.Path() / "corvale-ups.toml";
  std::ofstream(config) << "[[ups]]\nname = \"rack-a\"\nport = \"ttyUSB0\"\n"
                           "[[ups]]\nname = \"office\"\nport = \"ttyS0\"\nsupplies = 0\n";
  fs::permissions(config, fs::perms(0600));
  Subprocess check({CORVALE_UPS_TOOL, "check-config", "--config", config.string()});
  const std::string said = check.ReadAll(10s);
  EXPECT_NE(said.find("fine: on this machine's cables, 2 UPSes: rack-a (1 supply), office (0 "
                      "supplies)"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("agent"), std::string::npos) << said;
}

TEST(RedundantAgentCheckTest, AnAnswerOfTheWrongFormOrWithTerminalControlsIsHeldAtTheDoor) {
  // Whoever took the service's account answers at its channel: root's check-config must hold.
  RedundantAgent agent({{FreePort(), ""}, {FreePort(), ""}}, "");
  const fs::path control = agent.directory.Path() / "control";
  const std::string fake =
      "import socket, sys\n"
      "unix = socket.socket(socket.AF_UNIX); unix.bind(sys.argv[1]); unix.listen(4)\n"
      "print('listening', flush=True)\n"
      "while True:\n"
      "    client, _ = unix.accept()\n"
      "    client.makefile('rb').readline()\n"
      "    client.sendall(sys.argv[2].encode()); client.close()\n";
  const std::string escapes = R"(\u001b]0;owned\u0007\u009b2J)";
  const struct {
    std::string answer;
    const char* says;
  } cases[] = {
      {R"({"upses":"x","fed":0,"total":2,"minimum":2})", "malformed"},
      {R"({"upses":[{"name":1,"supplies":1,"known":true,"feeds":true}],"fed":1,"total":1,)"
       R"("minimum":1})",
       "malformed"},
      {R"({"upses":[],"fed":-1,"total":2,"minimum":2})", "malformed"},
      {R"({"upses":[],"fed":1,"total":2})", "malformed"},
      {R"({"upses":[{"name":"x","supplies":1,"known":"yes","feeds":true}],"fed":1,"total":1,)"
       R"("minimum":1})",
       "malformed"},
      {R"({"upses":[{"name":")" + escapes +
           R"(","supplies":1,"known":true,"feeds":false,)"
           R"("power":true,"why":")" +
           escapes + R"("}],"fed":0,"total":1,"minimum":1})",
       "would shut down now: 0 of 1 supplies fed, needs 1 (out for the power: ?]0;owned???2J)"},
  };
  for (const auto& c : cases) {
    fs::remove(control);
    Subprocess answering({"python3", "-c", fake, control.string(), c.answer});
    ASSERT_TRUE(answering.ReadLine(10s));
    const std::string said = agent.CheckConfig();
    EXPECT_NE(said.find(c.says), std::string::npos) << c.answer << ": " << said;
    if (std::string(c.says) == "malformed") {
      EXPECT_NE(said.find("exit 7"), std::string::npos) << c.answer << ": " << said;
    }
    for (const char* terminal : {"\x1b", "\x07", "\xc2\x9b"}) {
      EXPECT_EQ(said.find(terminal), std::string::npos) << c.answer << ": " << said;
    }
    answering.Signal(SIGKILL);
    answering.Wait(5s);
  }
}

}  // namespace
