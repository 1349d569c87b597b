// corvale-ups as the agent on the other machines of the UPS, end to end: a primary service on the
// simulator's UPS, agent services following it over loopback, and NUT's own upsmon beside them.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "tests/support/agent_fixture.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::Agent;
using corvale::testing::AgentServiceTest;
using corvale::testing::kOnBatt;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

TEST_F(AgentServiceTest, OnFsdEveryMachineShutsDownOnceAndThePrimaryLast) {
  // The primary decides on time alone; the agents, without a limit of their own, go on its FSD.
  StartPrimary("");
  std::string text = ReadFile(Dir() / "corvale-ups.toml");
  text.insert(text.find("[shutdown]\n") + 11, "on_battery_seconds = 3\n");
  std::ofstream(Dir() / "corvale-ups.toml") << text;
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("changed shutdown.on_battery_seconds")) << log;
  auto a1 = StartAgent("a1");
  auto a2 = StartAgent("a2");
  auto upsmon = StartUpsmon();

  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(a1->WaitFor("on-battery")) << a1->log;
  // Each of the three is logged in and waited for.
  ASSERT_TRUE(WaitFor("waiting up to 30 s for 3 other machines")) << log;
  ASSERT_TRUE(a1->WaitFor("shutdown: the NUT server ordered this machine down (FSD)")) << a1->log;
  SystemGoesDown(*a1);
  SystemGoesDown(*a2);
  // No logout: its connection stays open until the system ends every process.
  EXPECT_NE(a1->log.find("stays open in process"), std::string::npos) << a1->log;
  EXPECT_EQ(a1->log.find("logged out of 127.0.0.1:"), std::string::npos) << a1->log;
  ASSERT_TRUE(WaitFor("the other machines have logged out", 20s)) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;

  const std::string order = ReadFile(Dir() / "order");
  for (const char* machine : {"a1\n", "a2\n", "upsmon\n"}) {
    EXPECT_NE(order.find(machine), std::string::npos) << order;
    EXPECT_EQ(order.find(machine), order.rfind(machine)) << "once: " << order;
  }
  EXPECT_TRUE(order.ends_with("primary\n")) << order;
  // Each machine's time from FSD to its logout is in the primary's history.
  const std::string history = ReadFile(Dir() / "history.jsonl");
  std::size_t downs = 0;
  for (auto at = history.find("\"event\":\"machine-down\""); at != std::string::npos;
       at = history.find("\"event\":\"machine-down\"", at + 1)) {
    ++downs;
  }
  EXPECT_EQ(downs, 3u) << history;
  EXPECT_NE(history.find("\"machine\":\"127.0.0.1\""), std::string::npos) << history;
  EXPECT_NE(history.find("\"shutdown_seconds\":"), std::string::npos) << history;
  // An agent has no line to the UPS: no flag of its own, and its history holds its story.
  EXPECT_FALSE(fs::exists(a1->dir / "run/killpower"));
  EXPECT_TRUE(fs::exists(Flag()));
  EXPECT_NE(ReadFile(a1->dir / "history.jsonl").find("\"event\":\"shutdown\""), std::string::npos);
  EXPECT_EQ(a1->log.find("pw-a1"), std::string::npos) << "never the password";
}

TEST_F(AgentServiceTest,
       APrimaryGoneWhileOnlineCostsNothingButGoneOnBatteryShutsDownAfterDeadtime) {
  StartPrimary();
  auto agent = StartAgent("a1", "deadtime = 4\n");
  // A restart of the primary, and then a primary away for longer than the deadtime: online.
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(10s), 0);
  StartPrimary();
  // The agent may be back before the primary's first poll: its login is then already read.
  ASSERT_TRUE(log.find("logged in to test-ups") != std::string::npos ||
              WaitFor("logged in to test-ups", 20s))
      << log;
  service->Signal(SIGKILL);
  service->Wait(10s);
  ASSERT_TRUE(agent->WaitFor("communication-lost")) << agent->log;
  // The server is what went silent, not the UPS.
  EXPECT_NE(agent->log.find("communication-lost: no valid reply from the NUT server 127.0.0.1:"),
            std::string::npos)
      << agent->log;
  StartPrimary();
  ASSERT_TRUE(agent->WaitFor("communication-restored", 40s)) << agent->log;
  EXPECT_EQ(agent->log.find("shutdown:"), std::string::npos) << agent->log;

  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(agent->WaitFor("on-battery")) << agent->log;
  const auto killed = std::chrono::steady_clock::now();
  service->Signal(SIGKILL);
  ASSERT_TRUE(
      agent->WaitFor("shutdown: communication with the UPS is lost while it runs on battery", 15s))
      << agent->log;
  EXPECT_GE(std::chrono::steady_clock::now() - killed, 3s) << "not before the deadtime";
  ASSERT_TRUE(agent->WaitFor("the shutdown command ended: exit status 0")) << agent->log;
  EXPECT_EQ(ReadFile(Dir() / "order"), "a1\n");
}

TEST_F(AgentServiceTest, CheckConfigStatusAndReloadKnowTheAgent) {
  StartPrimary();
  auto agent = StartAgent("a1");
  // A reload takes the hooks at once; where it follows the UPS only at the next start.
  std::string text = ReadFile(agent->config);
  text.insert(text.find("[shutdown]\n"), "deadtime = 30\n");
  text.insert(text.find("[events]\n") + 9, "command = \"true\"\n");
  std::ofstream(agent->config) << text;
  agent->process->Signal(SIGHUP);
  ASSERT_TRUE(agent->WaitFor("changed events.command")) << agent->log;
  ASSERT_TRUE(agent->WaitFor("only a restart of the service applies ups.deadtime")) << agent->log;
  const auto check = Tool({"check-config", "--config", agent->config.string()});
  EXPECT_EQ(check, 0);
  Subprocess status({CORVALE_UPS_TOOL, "status", "--json", "--config", agent->config.string()});
  const std::string said = status.ReadAll(10s);
  EXPECT_EQ(status.Wait(10s), 0) << said;
  EXPECT_NE(said.find("\"state\":1"), std::string::npos) << said;
  EXPECT_NE(said.find("\"source\":\"service\""), std::string::npos) << said;
  // With the agent's own service stopped nothing protects this machine, whatever its server says.
  agent->process->Signal(SIGTERM);
  ASSERT_EQ(agent->process->Wait(10s), 0);
  Subprocess stopped({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "status",
                      "--config", agent->config.string()});
  const std::string unprotected = stopped.ReadAll(10s);
  EXPECT_EQ(stopped.Wait(10s), 7) << unprotected;
  EXPECT_NE(unprotected.find("nothing protects this machine"), std::string::npos) << unprotected;
  agent = StartAgent("a1");
  // A port beside the server, or shared settings on an agent, are refused with their lines.
  std::ofstream(agent->config, std::ios::app) << "[network]\nlisten = []\n";
  Subprocess refused({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "check-config",
                      "--config", agent->config.string()});
  const std::string why = refused.ReadAll(10s);
  EXPECT_NE(refused.Wait(10s), 0);
  EXPECT_NE(why.find("an agent (ups.server) shares nothing"), std::string::npos) << why;
}

}  // namespace
