// The shutdown plan end to end: stages of agents and NUT's own upsmon going in order on the
// simulator's UPS, the power's return between stages, Wake-on-LAN, and drills.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include "tests/support/agent_fixture.h"
#include "tests/support/raw_client.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::AgentServiceTest;
using corvale::testing::kLowBatt;
using corvale::testing::kOnBatt;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

constexpr char kMac[] = "52:54:00:12:34:56";

// A UDP socket on loopback that takes the magic packets.
class WakeReceiver {
 public:
  WakeReceiver() {
    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    timeval wait{1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~WakeReceiver() { close(socket_); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // The next packet within a second; empty when none came.
  std::string Next() {
    char packet[512];
    const auto got = recv(socket_, packet, sizeof packet, 0);
    return got > 0 ? std::string(packet, static_cast<std::size_t>(got)) : std::string();
  }

 private:
  int socket_ = -1;
  int port_ = 0;
};

std::string Stages(const std::string& wakeAddress, int earlySeconds) {
  return "[[stage]]\nname = \"early\"\nusers = [\"a1\"]\nafter_seconds = " +
         std::to_string(earlySeconds) + "\nwake = [\"" + kMac +
         "\"]\n[[stage]]\nname = \"storage\"\nusers = [\"mon\"]\nwhen = \"low-battery\"\n"
         "[plan]\nwake_after_seconds = 2\nwake_address = \"" +
         wakeAddress + "\"\n";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class PlanServiceTest : public AgentServiceTest {
 protected:
  WakeReceiver wake;
};

TEST_F(PlanServiceTest, ABlipDoesNothingAndALongFailureGoesStageByStageThePrimaryLast) {
  StartPrimary(Stages(wake.Address(), 8));
  auto a1 = StartAgent("a1");
  auto a2 = StartAgent("a2");  // in no stage: it goes with the primary
  auto upsmon = StartUpsmon();
  ASSERT_TRUE(WaitFor("as mon", 15s)) << log;

  line.peer->SetStatus(kOnBatt);
  std::this_thread::sleep_for(5s);
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(log.find("stage \""), std::string::npos) << "a 5 s blip: " << log;
  EXPECT_FALSE(fs::exists(Dir() / "order"));

  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"early\" goes (after 8 s on battery): FSD for a1", 15s)) << log;
  SystemGoesDown(*a1);
  ASSERT_TRUE(WaitFor("(a1) logged out")) << log;
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(ReadFile(Dir() / "order"), "a1\n") << "only the early stage has gone";

  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("stage \"storage\" goes (at low battery): FSD for mon")) << log;
  // Low after about 12 s on battery, where the plan needs 8 s, a1's shutdown and the margin.
  ASSERT_TRUE(WaitFor("test-ups: battery-weak: the battery last ran low after 1")) << log;
  SystemGoesDown(*a2);
  ASSERT_TRUE(WaitFor("the other machines have logged out", 30s)) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  const std::string order = ReadFile(Dir() / "order");
  for (const char* machine : {"a1\n", "a2\n", "upsmon\n", "primary\n"}) {
    EXPECT_EQ(Count(order, machine), 1u) << machine << " once: " << order;
  }
  EXPECT_TRUE(order.starts_with("a1\n")) << order;
  EXPECT_TRUE(order.ends_with("primary\n")) << order;
  // Each machine's time to shut down, by its user, for the plan to show.
  const std::string history = ReadFile(Dir() / "history.jsonl");
  EXPECT_NE(history.find("\"user\":\"a1\""), std::string::npos) << history;
  EXPECT_NE(history.find("\"event\":\"stage\""), std::string::npos) << history;
  EXPECT_EQ(wake.Next(), "") << "the power never came back: nobody is woken";
}

// A history line as the service writes it, `ago` before now.
std::string HistoryAt(std::chrono::seconds ago, const std::string& event, int state,
                      const std::string& message) {
  const std::time_t when =
      std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - ago);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S.000Z", std::gmtime(&when));
  return std::string("{\"time\":\"") + time + "\",\"event\":\"" + event +
         "\",\"ups\":\"test-ups\",\"state\":" + std::to_string(state) + ",\"message\":\"" +
         message + "\"}\n";
}

TEST_F(PlanServiceTest, AfterAnOutageEndedUnseenAStagesMachineIsNotSentDownAgainAtTheStart) {
  // The last run ended at low battery with the early stage gone; the power is back now.
  std::ofstream(Dir() / "history.jsonl")
      << HistoryAt(600s, "on-battery", 2, "on battery")
      << HistoryAt(540s, "stage", 0, "stage \\\"early\\\" goes (after 8 s on battery): FSD for a1")
      << HistoryAt(300s, "low-battery", 4, "low battery");
  // a1's machine, just started, logs in as soon as the server answers and watches its status.
  const std::string watcher =
      "import socket, sys, time\n"
      "end = time.time() + 30\n"
      "while time.time() < end:\n"
      "    try:\n"
      "        s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=2)\n"
      "        f = s.makefile('rw')\n"
      "        def ask(line):\n"
      "            f.write(line + '\\n'); f.flush(); return f.readline().strip()\n"
      "        if ask('USERNAME a1') != 'OK' or ask('PASSWORD pw-a1') != 'OK': raise OSError\n"
      "        if not ask('LOGIN test-ups').startswith('OK'): raise OSError\n"
      "        stop = time.time() + 6\n"
      "        while time.time() < stop:\n"
      "            print(ask('GET VAR test-ups ups.status'), flush=True); time.sleep(0.05)\n"
      "        break\n"
      "    except OSError:\n"
      "        time.sleep(0.02)\n"
      "print('done', flush=True)\n";
  Subprocess a1({"python3", "-c", watcher, std::to_string(port)});
  StartPrimary(Stages(wake.Address(), 8));
  std::string seen;
  for (auto next = a1.ReadLine(40s); next && *next != "done"; next = a1.ReadLine(40s)) {
    seen += *next + "\n";
  }
  EXPECT_NE(seen.find("VAR test-ups ups.status \"OL\""), std::string::npos) << seen;
  EXPECT_EQ(seen.find("FSD"), std::string::npos) << "the power is back: " << seen;
  EXPECT_NE(log.find("the power failed 6"), std::string::npos) << log;
  EXPECT_EQ(log.find("on battery since"), std::string::npos) << log;
}

TEST_F(PlanServiceTest, PowerBackBetweenStagesStopsTheLaterOnesAndWakesTheEarlyMachines) {
  StartPrimary(Stages(wake.Address(), 3));
  auto a1 = StartAgent("a1");
  auto upsmon = StartUpsmon();
  ASSERT_TRUE(WaitFor("as mon", 15s)) << log;

  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"early\" goes", 15s)) << log;
  ASSERT_TRUE(a1->WaitFor("shutdown: the NUT server ordered this machine down (FSD)")) << a1->log;
  // Asked on the agent meanwhile, status says its machine is going down, never "online".
  Subprocess status({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "status",
                     "--config", a1->config.string()});
  const std::string said = status.ReadAll(10s);
  EXPECT_EQ(status.Wait(10s), 9) << said;
  EXPECT_NE(said.find("SHUTDOWN ARMED"), std::string::npos) << said;
  SystemGoesDown(*a1);
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("woke stage \"early\"")) << log;
  // The magic packet once the power has held for wake_after_seconds, a few times.
  std::string expected(6, '\xFF');
  for (int i = 0; i < 16; ++i) expected += std::string("\x52\x54\x00\x12\x34\x56", 6);
  for (int sent = 0; sent < 3; ++sent) {
    std::string packet;
    for (int i = 0; i < 5 && packet.empty(); ++i) packet = wake.Next();
    EXPECT_EQ(packet, expected) << sent;
  }
  EXPECT_EQ(wake.Next(), "") << "three packets per address";
  // The machine woken logs in again and sees the UPS as it is: it stays up. So does upsmon.
  a1 = StartAgent("a1");
  std::this_thread::sleep_for(3s);
  a1->Drain();
  EXPECT_EQ(a1->log.find("shutdown:"), std::string::npos) << a1->log;
  EXPECT_EQ(ReadFile(Dir() / "order"), "a1\n") << "no later stage went";
  EXPECT_EQ(log.find("stage \"storage\""), std::string::npos) << log;
}

TEST_F(PlanServiceTest,
       AMachineLostOnBatteryAndStartedAfterThePowersReturnStaysUpAndIsWokenOnceDown) {
  StartPrimary(Stages(wake.Address(), 3));
  auto lost = StartAgent("a1");
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"early\" goes", 15s)) << log;
  // Its link drops on battery: no logout reaches the primary, its session lingers.
  lost->process->Signal(SIGSTOP);
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // The same machine, started again after the power's return, reads the UPS as it is.
  auto again = StartAgent("a1");
  std::this_thread::sleep_for(3s);
  again->Drain();
  EXPECT_EQ(again->log.find("shutdown:"), std::string::npos) << again->log;
  // Two sessions of one stage's user now: plan and check-config say so.
  const auto config = (Dir() / "corvale-ups.toml").string();
  Subprocess plan(
      {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "plan", "--config", config});
  const std::string planned = plan.ReadAll(10s);
  plan.Wait(10s);
  EXPECT_NE(planned.find("warning: 2 sessions of one user"), std::string::npos) << planned;
  Subprocess check({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "check-config",
                    "--config", config});
  const std::string checked = check.ReadAll(10s);
  check.Wait(10s);
  EXPECT_NE(checked.find("stage \"early\": a1 is logged in 2 times"), std::string::npos) << checked;
  // Once the power has held the lingering session's FSD ends too; nobody is woken while a
  // session that saw the FSD is still there.
  ASSERT_TRUE(WaitFor("forced shutdown (FSD) cleared for a1: the power has held")) << log;
  EXPECT_EQ(wake.Next(), "") << "its machine is not down yet";
  lost->process->Signal(SIGKILL);
  ASSERT_TRUE(WaitFor("woke stage \"early\"")) << log;
  EXPECT_FALSE(wake.Next().empty());
  again->Drain();
  EXPECT_EQ(again->log.find("shutdown:"), std::string::npos) << again->log;
}

TEST_F(PlanServiceTest, TwoOutagesMeasureTheBatteryAndAWeakOneIsSaidOnce) {
  StartPrimary(Stages(wake.Address(), 20));
  for (const auto lasted : {2s, 4s}) {
    line.peer->SetStatus(kOnBatt);
    ASSERT_TRUE(WaitFor("test-ups: on-battery")) << log;
    std::this_thread::sleep_for(lasted);
    line.peer->SetStatus(kOnBatt | kLowBatt);
    ASSERT_TRUE(WaitFor("test-ups: low-battery")) << log;
    line.peer->SetStatus(0);
    ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  }
  Subprocess listed(
      {CORVALE_UPS_TOOL, "history", "--battery", "--file", (Dir() / "history.jsonl").string()});
  const std::string text = listed.ReadAll(10s);
  EXPECT_EQ(listed.Wait(10s), 0);
  EXPECT_EQ(Count(text, "low battery after "), 2u) << text;
  EXPECT_NE(text.find(" on battery (+"), std::string::npos) << "the second lasted longer: " << text;
  // The plan needs a minute to spare: a battery low after seconds is weak, said once, and not
  // again at a restart or a reload (only when it becomes true).
  EXPECT_EQ(Count(log, "battery-weak:"), 1u) << log;
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(10s), 0);
  StartPrimary(Stages(wake.Address(), 20));
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("reloaded")) << log;
  std::this_thread::sleep_for(2s);
  WaitFor("battery-weak:", 1s);
  EXPECT_EQ(Count(log, "battery-weak:"), 0u) << log;
  EXPECT_EQ(Count(ReadFile(Dir() / "history.jsonl"), "\"event\":\"battery-weak\""), 1u);
}

// A machine's time to shut down runs from its FSD until its connection closes as the machine goes
// down: through its shutdown command and the rest of its shutdown after the system stopped the
// agent's service, not only until that stop.
TEST_F(PlanServiceTest, AMachinesTimeToShutDownRunsToItsConnectionsCloseAsItGoesDown) {
  StartPrimary(Stages(wake.Address(), 2));
  auto a1 = StartAgent("a1");
  auto upsmon = StartUpsmon();
  ASSERT_TRUE(WaitFor("as mon", 15s)) << log;
  // Its shutdown command takes a while, as a real one does.
  std::ofstream(a1->dir / "shutdown.sh")
      << "#!/bin/sh\necho a1 >> " << (Dir() / "order").string() << "\nsleep 3\n";

  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"early\" goes", 15s)) << log;
  ASSERT_TRUE(a1->WaitFor("shutdown: the NUT server ordered this machine down (FSD)")) << a1->log;
  const auto commandStarted = std::chrono::steady_clock::now();
  // The system stops the agent's service once the command has run; the machine's other services
  // take 3 s more; then the system ends every process left.
  const auto end = SystemGoesDown(*a1, 3s);
  EXPECT_NE(a1->log.find("stays open in process"), std::string::npos) << a1->log;
  EXPECT_EQ(a1->log.find("logged out of"), std::string::npos) << a1->log;
  ASSERT_TRUE(WaitFor("(a1) logged out")) << log;
  EXPECT_NE(log.find("(a1) says its shutdown command has started"), std::string::npos) << log;

  // The history is written on a thread of its own, just after the log.
  std::string history;
  for (int i = 0; i < 50 && history.find("machine-down") == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
    history = ReadFile(Dir() / "history.jsonl");
  }
  const auto at = history.find("\"event\":\"machine-down\"");
  ASSERT_NE(at, std::string::npos) << history;
  const auto from = history.rfind('\n', at) + 1;  // npos + 1: the first line
  const std::string record = history.substr(from, history.find('\n', at) - from);
  EXPECT_NE(record.find("\"measured_to\":\"close\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"command_started_seconds\""), std::string::npos) << record;
  const auto seconds = record.find("\"shutdown_seconds\":");
  ASSERT_NE(seconds, std::string::npos) << record;
  const double measured = std::stod(record.substr(seconds + 19));
  // At least the command's 3 s and the 3 s after the service's stop: a logout at the stop would
  // have measured the command alone.
  const double commandToEnd = std::chrono::duration<double>(end - commandStarted).count();
  EXPECT_GE(measured, commandToEnd - 0.5) << record;
  EXPECT_GE(measured, 6.0) << record;

  Subprocess plan({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "plan", "--config",
                   (Dir() / "corvale-ups.toml").string()});
  const std::string said = plan.ReadAll(10s);
  EXPECT_EQ(plan.Wait(10s), 0) << said;
  EXPECT_NE(said.find("a1: MISSING (not logged in); shuts down in "), std::string::npos) << said;
  EXPECT_NE(said.find("after its FSD, measured to its connection's close as it went down"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("mon: logged in from 127.0.0.1; its shutdown not yet measured"),
            std::string::npos)
      << said;
}

TEST_F(PlanServiceTest, PlanShowsTheTimelineAndWhoIsMissing) {
  const int http = corvale::testing::FreePort();
  StartPrimary(Stages(wake.Address(), 20) +
               "[http]\nlisten = [\"127.0.0.1:" + std::to_string(http) + "\"]\n");
  auto a1 = StartAgent("a1");
  const auto config = (Dir() / "corvale-ups.toml").string();
  Subprocess plan(
      {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "plan", "--config", config});
  const std::string said = plan.ReadAll(10s);
  EXPECT_EQ(plan.Wait(10s), 0) << said;
  EXPECT_NE(said.find("after 20 s on battery: stage \"early\""), std::string::npos) << said;
  EXPECT_NE(said.find("a1: logged in from 127.0.0.1"), std::string::npos) << said;
  EXPECT_NE(said.find("mon: MISSING"), std::string::npos) << said;
  EXPECT_NE(said.find(kMac), std::string::npos) << said;
  // Those who only look (the page, /api/v1/status) learn how many machines, not their NUT users
  // or their MAC addresses.
  Subprocess curl({"curl", "-sf", "--max-time", "5", "-w", "\n",
                   "http://127.0.0.1:" + std::to_string(http) + "/api/v1/status"});
  const std::string open = curl.ReadAll(10s);
  EXPECT_EQ(curl.Wait(10s), 0);
  EXPECT_NE(open.find("\"stages\""), std::string::npos) << open;
  for (const char* secret : {"\"a1\"", "\"mon\"", kMac}) {
    EXPECT_EQ(open.find(secret), std::string::npos) << secret << ": " << open;
  }
  // Without the local channel (Windows has none yet), plan asks the HTTP endpoint: the machines
  // are counted there, not named.
  std::string text = ReadFile(config);
  const auto control = text.find("control = ");
  text.replace(control, text.find('\n', control) - control, "control = \"\"");
  const auto withoutChannel = (Dir() / "without-channel.toml").string();
  std::ofstream(withoutChannel) << text;
  fs::permissions(withoutChannel, fs::perms(0600));
  Subprocess overHttp({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "plan",
                       "--config", withoutChannel});
  const std::string counted = overHttp.ReadAll(10s);
  EXPECT_EQ(overHttp.Wait(10s), 0) << counted;
  EXPECT_NE(counted.find("a machine: logged in from 127.0.0.1"), std::string::npos) << counted;
  EXPECT_EQ(counted.find("a1:"), std::string::npos) << counted;
  Subprocess json({CORVALE_UPS_TOOL, "plan", "--json", "--config", config});
  const std::string parsed = json.ReadAll(10s);
  EXPECT_EQ(json.Wait(10s), 0);
  EXPECT_NE(parsed.find("\"live\": true"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find("\"needs_seconds\": 80.0"), std::string::npos)
      << "20 s + margin: " << parsed;
}

TEST_F(PlanServiceTest, ADrillChecksEveryLinkAndNamesWhatIsNotReady) {
  const std::string boss =
      "[[users]]\nname = \"boss\"\npassword = \"pw-boss\"\nupsmon = \"primary\"\n";
  StartPrimary(Stages(wake.Address(), 20) + boss + "[events]\ncommand = \"env >> " +
               (Dir() / "hook-env").string() + "\"\n");
  auto a1 = StartAgent("a1");
  auto upsmon = StartUpsmon();
  ASSERT_TRUE(WaitFor("as mon", 15s)) << log;
  const auto config = (Dir() / "corvale-ups.toml").string();
  const auto drill = [&] {
    Subprocess run(
        {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "drill", "--config", config});
    std::string said = run.ReadAll(40s);
    return std::pair{run.Wait(10s), said};
  };
  const auto [ready, report] = drill();
  EXPECT_EQ(ready, 0) << report;
  EXPECT_NE(report.find("ok    the agent a1 at 127.0.0.1 is ready"), std::string::npos) << report;
  EXPECT_NE(report.find("ok    stage \"storage\": mon is logged in"), std::string::npos) << report;
  EXPECT_NE(report.find("ok    the flag's folder"), std::string::npos) << report;
  ASSERT_TRUE(WaitForFile(Dir() / "hook-env", "CORVALE_UPS_DRILL=1")) << "the hooks hear it";
  ASSERT_TRUE(a1->WaitFor("drill: ready")) << a1->log;

  // A machine of the plan gone, and the agent's own shutdown command gone.
  upsmon.reset();
  fs::remove(a1->dir / "shutdown.sh");
  const auto [missing, told] = drill();
  EXPECT_EQ(missing, 8) << told;
  EXPECT_NE(told.find("FAIL  stage \"storage\": mon is not logged in"), std::string::npos) << told;
  EXPECT_NE(told.find("FAIL  the agent a1 at 127.0.0.1 is not ready: the shutdown command cannot "
                      "run"),
            std::string::npos)
      << told;

  // Nothing of a drill reaches the UPS or the machines: no FSD, no command, no turn-off.
  EXPECT_FALSE(fs::exists(Dir() / "order"));
  EXPECT_TRUE(line.peer->TurnOffDelays().empty());
  EXPECT_EQ(log.find("FSD) set"), std::string::npos) << log;
  EXPECT_EQ(log.find("pw-boss"), std::string::npos) << "never the password";
}

TEST_F(PlanServiceTest, AnAgentsDrillAnswerReachesRootsTerminalAsPrintableTextOnly) {
  StartPrimary(Stages(wake.Address(), 20) +
               "[[users]]\nname = \"boss\"\npassword = \"pw-boss\"\nupsmon = \"primary\"\n");
  // A machine logged in as a1 that answers drills with terminal controls: ESC, BEL, DEL and the
  // C1 controls CSI (U+009B) and NEL (U+0085) in UTF-8.
  corvale::testing::RawClient hostile(port);
  for (const char* command : {"USERNAME a1\n", "PASSWORD pw-a1\n", "LOGIN test-ups\n"}) {
    ASSERT_TRUE(hostile.Send(command));
    ASSERT_EQ(hostile.Line(), "OK");
  }
  std::atomic<bool> done{false};
  std::thread answering([&] {
    while (!done) {
      hostile.Send("GET VAR test-ups corvale.drill\n");
      const std::string reply = hostile.Line();
      const auto quote = reply.find('"');
      const std::string id =
          quote == std::string::npos ? "0" : reply.substr(quote + 1, reply.size() - quote - 2);
      if (id != "0") {
        hostile.Send("DRILL test-ups ANSWER " + id +
                     " 1 \"\x1b]0;owned\x07 \x7f\xc2\x9b"
                     "31m \xc2\x85 all fine\"\n");
        hostile.Line();
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  Subprocess run({CORVALE_UPS_TOOL, "drill", "--config", (Dir() / "corvale-ups.toml").string()});
  const std::string said = run.ReadAll(40s);
  run.Wait(10s);
  done = true;
  answering.join();
  EXPECT_NE(said.find("all fine"), std::string::npos) << said;
  EXPECT_NE(said.find("what that machine says of itself"), std::string::npos) << said;
  for (const char c : said) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte != 0x7f)) << int(byte) << ": " << said;
  }
  EXPECT_EQ(said.find("\xc2\x9b"), std::string::npos) << said;
  EXPECT_EQ(said.find("\xc2\x85"), std::string::npos) << said;
}

TEST_F(PlanServiceTest, AServerThatAsksForADrillAtEveryPollGetsFewAnswersAndNoHookStorm) {
  // A hostile NUT server: a new drill number at every poll, every answer kept.
  const int hostilePort = corvale::testing::FreePort();
  const fs::path answers = Dir() / "answers";
  const std::string server =
      "import socket, sys\n"
      "listener = socket.socket(); listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
      "listener.bind(('127.0.0.1', int(sys.argv[1]))); listener.listen(4)\n"
      "print('listening', flush=True)\n"
      "out = open(sys.argv[2], 'a', buffering=1)\n"
      "drill = 0\n"
      "while True:\n"
      "    client, _ = listener.accept(); lines = client.makefile('r')\n"
      "    for line in lines:\n"
      "        words = line.split()\n"
      "        if words[:1] in (['USERNAME'], ['PASSWORD'], ['LOGIN']): reply = 'OK'\n"
      "        elif words[-1:] == ['ups.status']: reply = 'VAR test-ups ups.status \"OL\"'\n"
      "        elif words[-1:] == ['corvale.drill']:\n"
      "            drill += 1; reply = 'VAR test-ups corvale.drill \"%d\"' % drill\n"
      "        elif words[:1] == ['DRILL']: out.write(line); reply = 'OK'\n"
      "        else: reply = 'ERR UNKNOWN-COMMAND'\n"
      "        client.sendall((reply + '\\n').encode())\n";
  Subprocess hostile({"python3", "-c", server, std::to_string(hostilePort), answers.string()});
  ASSERT_TRUE(hostile.ReadLine(10s));
  const fs::path dir = Dir() / "agent";
  fs::create_directories(dir);
  const fs::path config = dir / "corvale-ups.toml";
  std::ofstream(config)
      << "[ups]\nname = \"test-ups\"\nserver = \"127.0.0.1:" << hostilePort
      << "\"\nuser = \"a1\"\npassword = \"pw-a1\"\n[shutdown]\ncommand = \"true\"\n"
      << "flag_file = \"" << (dir / "run/killpower").string()
      << "\"\n[events]\ncommand = \"echo $CORVALE_UPS_EVENT >> " << (dir / "hooks").string()
      << "\"\nhistory = \"" << (dir / "history.jsonl").string()
      << "\"\n[http]\nlisten = []\n[service]\ncontrol = \"" << (dir / "control").string() << "\"\n";
  fs::permissions(config, fs::perms(0600));
  Subprocess agent({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "service",
                    "--config", config.string()});
  std::this_thread::sleep_for(15s);
  agent.Signal(SIGTERM);
  agent.Wait(10s);
  const std::string told = ReadFile(answers);
  EXPECT_GE(Count(told, "ANSWER"), 1u) << told;
  EXPECT_LE(Count(told, "ANSWER"), 2u) << "at most one answer in 10 s: " << told;
  EXPECT_EQ(told.find('/'), std::string::npos) << "no path of this machine's: " << told;
  EXPECT_LE(Count(ReadFile(dir / "hooks"), "drill"), 1u) << ReadFile(dir / "hooks");
  EXPECT_LE(Count(ReadFile(dir / "history.jsonl"), "\"event\":\"drill\""), 1u);
  hostile.Signal(SIGKILL);
  hostile.Wait(5s);
}

TEST_F(PlanServiceTest, ADrillNamesADeadRootHelper) {
  // As the installed unit runs it: a system user asking a root helper that never answers.
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  ASSERT_TRUE(nobody && dialout);
  const fs::path requests = Dir() / "requests";
  fs::create_directories(requests);
  // The service's own runtime folder, where it answers the commands.
  const fs::path runtime = Dir() / "runtime";
  fs::create_directories(runtime);
  ASSERT_EQ(chown(runtime.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  fs::create_directories(Dir() / "run");
  ASSERT_EQ(RunToEnd({"chown", "-R", std::to_string(nobody->pw_uid), requests.string(),
                      line.registry.Root().string()}),
            0);
  fs::permissions(Dir(), fs::perms(0755));
  ASSERT_EQ(chown(line.peer->DevicePath().c_str(), 0, dialout->gr_gid), 0);
  fs::permissions(line.peer->DevicePath(), fs::perms(0660));
  const auto config =
      WriteConfig("true", "requests = \"" + requests.string() + "\"\nresults = \"" +
                              (Dir() / "results").string() +
                              "\"\n[network]\nlisten = [\"127.0.0.1:" + std::to_string(port) +
                              "\"]\n[[users]]\nname = \"boss\"\npassword = \"pw-boss\"\nupsmon = "
                              "\"primary\"\n[service]\ncontrol = \"" +
                              (runtime / "control").string() + "\"\n");
  // Readable by root and the service's group only: it holds a password.
  ASSERT_EQ(chown(config.c_str(), 0, nobody->pw_gid), 0);
  fs::permissions(config, fs::perms(0640));
  Start(config, {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                 "--regid=" + std::to_string(nobody->pw_gid),
                 "--groups=" + std::to_string(dialout->gr_gid)});
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_TRUE(WaitFor("shutdown-unready", 20s)) << log;
  Subprocess run({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "drill", "--config",
                  config.string()});
  const std::string said = run.ReadAll(40s);
  EXPECT_EQ(run.Wait(10s), 8) << said;
  EXPECT_NE(said.find("FAIL  root's helper does not answer"), std::string::npos) << said;
  EXPECT_NE(said.find("systemctl start corvale-ups-shutdown.path"), std::string::npos) << said;
  EXPECT_TRUE(fs::is_empty(Dir() / "run")) << "no flag";
}

}  // namespace
