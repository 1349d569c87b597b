// A machine with the cables of several UPSes, each on a simulated UPS of its own, run for real:
// redundant supplies that survive one UPS and go with the second, a UPS watched only, and the
// power cut afterwards of exactly the UPSes the shutdown ordered off; the plan's stages each on
// the power of the UPS they follow, over a restart too.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/raw_client.h"
#include "tests/support/service_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using corvale::testing::Line;
using corvale::testing::ReadFile;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

class SeveralUpsTest : public corvale::testing::ServiceFixture {
 protected:
  // `line` is the UPS "left"; "right" and "watched" (supplies = 0) beside it.
  fs::path WriteSeveral(const std::string& command, std::uint32_t minSupplies) {
    const fs::path path = Dir() / "several.toml";
    std::ofstream out(path);
    // One device folder for the machine: the other UPSes are COM2 and COM3 in the first's.
    for (const auto& [port, peer] : {std::pair{"COM2", &right}, std::pair{"COM3", &watched}}) {
      std::error_code ignored;
      fs::create_symlink(peer->peer->DevicePath(), line.Devices() / port, ignored);
    }
    const auto entry = [&](const char* name, const char* port, const Line& on, int supplies,
                           int delay) {
      out << "[[ups]]\nname = \"" << name << "\"\nport = \"" << port << "\"\ndevices = \""
          << line.Devices().string() << "\"\nregistry = \"" << on.registry.Root().string()
          << "\"\nsupplies = " << supplies << "\nturn_off_delay = " << delay << "\n";
    };
    entry("left", "COM1", line, 1, 31);
    entry("right", "COM2", right, 1, 32);
    entry("watched", "COM3", watched, 0, 33);
    out << "[shutdown]\ncommand = \"" << command << "\"\nmin_supplies = " << minSupplies
        << "\nflag_file = \"" << Flag().string() << "\"\n[events]\nhistory = \""
        << (Dir() / "history.jsonl").string() << "\"\n[http]\nlisten = []\n[network]\n"
        << "listen = []\n[service]\ncontrol = \"" << Control().string() << "\"\n";
    return path;
  }

  void AllOnline() {
    // In any order.
    for (const char* name : {"left: online", "right: online", "watched: online"}) {
      if (log.find(name) != std::string::npos) continue;
      ASSERT_TRUE(WaitFor(name, 15s)) << name << "\n" << log;
    }
  }

  // The process id of this test's service's driver process of the UPS `name`; empty when none
  // runs. Only its own children: another test's service may drive a UPS of the same name.
  std::string DriverProcess(const std::string& name) const {
    corvale::testing::Subprocess pgrep(
        {"pgrep", "-P", std::to_string(service->Pid()), "-f", "ups-child --name " + name + " "});
    return pgrep.ReadLine(5s).value_or("");
  }
  // True once the process `pid` is no driver process any more (gone, or its number reused).
  static bool DriverProcessGone(const std::string& pid) {
    for (int tries = 0; tries < 50; ++tries) {
      std::ifstream in("/proc/" + pid + "/cmdline");
      const std::string line((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      if (line.find("ups-child") == std::string::npos) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  // `corvale-ups` run to its end: its exit status and all it wrote.
  std::pair<int, std::string> Said(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {CORVALE_UPS_TOOL};
    argv.insert(argv.end(), words.begin(), words.end());
    corvale::testing::Subprocess tool(argv, true);
    std::string text = tool.ReadAll(20s);
    return {tool.Wait(5s), std::move(text)};
  }

  // "left" and "right", one supply each, either enough; a stage on each UPS's power, the NUT
  // server on `nutPort` with the machines' users.
  fs::path WriteStaged() {
    const fs::path path = Dir() / "staged.toml";
    {
      std::ofstream out(path);
      std::error_code ignored;
      fs::create_symlink(right.peer->DevicePath(), line.Devices() / "COM2", ignored);
      for (const auto& [name, port, on] :
           {std::tuple{"left", "COM1", &line}, std::tuple{"right", "COM2", &right}}) {
        out << "[[ups]]\nname = \"" << name << "\"\nport = \"" << port << "\"\ndevices = \""
            << line.Devices().string() << "\"\nregistry = \"" << on->registry.Root().string()
            << "\"\n";
      }
      out << "[shutdown]\ncommand = \"true\"\nmin_supplies = 1\nflag_file = \"" << Flag().string()
          << "\"\n[events]\nhistory = \"" << (Dir() / "history.jsonl").string()
          << "\"\n[http]\nlisten = []\n[network]\nlisten = [\"127.0.0.1:" << nutPort
          << "\"]\nhostsync_seconds = 5\n[service]\ncontrol = \"" << Control().string()
          << "\"\n[plan]\nwake_after_seconds = 2\n";
      for (const char* user : {"vm", "nas"}) {
        out << "[[users]]\nname = \"" << user << "\"\npassword = \"pw\"\nupsmon = \"secondary\"\n";
      }
      // The first names no UPS: it follows the first, as in a file written before the key.
      out << "[[stage]]\nname = \"storage\"\nusers = [\"nas\"]\nafter_seconds = 2\n"
          << "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 2\n"
          << "ups = \"right\"\n";
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    return path;
  }

  // A session of `user` logged in to `ups`, once the server answers.
  std::unique_ptr<corvale::testing::RawClient> Session(const std::string& user,
                                                       const std::string& ups) {
    for (int tries = 0; tries < 100; ++tries) {
      auto client = std::make_unique<corvale::testing::RawClient>(nutPort);
      client->Send("USERNAME " + user + "\nPASSWORD pw\nLOGIN " + ups + "\n");
      if (client->Line() == "OK" && client->Line() == "OK" && client->Line() == "OK") return client;
      std::this_thread::sleep_for(100ms);
    }
    ADD_FAILURE() << user << " could not log in to " << ups;
    return nullptr;
  }
  static std::string Status(corvale::testing::RawClient& client, const std::string& ups) {
    client.Send("GET VAR " + ups + " ups.status\n");
    return client.Line();
  }
  // The status the session reads once the service has acted on what it logged (it logs first).
  static std::string StatusBecomes(corvale::testing::RawClient& client, const std::string& ups,
                                   const std::string& expected) {
    std::string read;
    for (int tries = 0; tries < 50 && read != expected; ++tries) {
      if (tries != 0) std::this_thread::sleep_for(100ms);
      read = Status(client, ups);
    }
    return read;
  }
  nlohmann::json PlanJson(const fs::path& config) {
    corvale::testing::Subprocess plan(
        {CORVALE_UPS_TOOL, "plan", "--json", "--config", config.string()});
    const std::string text = plan.ReadAll(10s);
    plan.Wait(10s);
    return nlohmann::json::parse(text, nullptr, false);
  }

  Line right, watched;
  int nutPort = corvale::testing::FreePort();
};

// upsmon-style sessions of one user on both UPSes: the stage of "right" forces only its session
// on "right", the stage of "left" waits for its own UPS, and both stay so across a restart.
TEST_F(SeveralUpsTest, EachStageGoesOnItsOwnUpsPowerAndForcesOnlyThatUpsSessions) {
  const auto config = WriteStaged();
  Start(config);
  for (const char* name : {"left: online", "right: online"}) {
    if (log.find(name) != std::string::npos) continue;
    ASSERT_TRUE(WaitFor(name, 15s)) << name << "\n" << log;
  }
  auto vmLeft = Session("vm", "left");
  auto vmRight = Session("vm", "right");
  auto nasLeft = Session("nas", "left");
  ASSERT_TRUE(vmLeft && vmRight && nasLeft);

  right.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"vms\" goes (after 2 s on battery, UPS right): FSD for vm", 15s))
      << log;
  EXPECT_EQ(StatusBecomes(*vmRight, "right", "VAR right ups.status \"FSD OB\""),
            "VAR right ups.status \"FSD OB\"");
  EXPECT_EQ(Status(*vmLeft, "left"), "VAR left ups.status \"OL\"") << "vm's session on left";
  EXPECT_EQ(Status(*nasLeft, "left"), "VAR left ups.status \"OL\"");
  // Long past its time on the other UPS's battery, left's stage has not gone.
  EXPECT_FALSE(WaitFor("stage \"storage\"", 4s)) << log;
  EXPECT_EQ(Status(*nasLeft, "left"), "VAR left ups.status \"OL\"");
  auto plan = PlanJson(config);
  ASSERT_TRUE(plan.is_object() && plan["stages"].size() == 2) << plan.dump();
  EXPECT_EQ(plan["stages"][0]["ups"], "left");
  EXPECT_EQ(plan["stages"][0]["gone"], false);
  EXPECT_EQ(plan["stages"][1]["ups"], "right");
  EXPECT_EQ(plan["stages"][1]["gone"], true);
  ASSERT_EQ(plan["upses"].size(), 2u) << plan.dump();
  EXPECT_EQ(plan["upses"][1]["ups"], "right");

  // A restart while right is still on battery: its stage stays gone, left's is not taken as gone.
  vmLeft.reset();
  vmRight.reset();
  nasLeft.reset();
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(10s), 0);
  log.clear();
  Start(config);
  ASSERT_TRUE(WaitFor("still on battery: FSD again for vm", 15s)) << log;
  vmLeft = Session("vm", "left");
  vmRight = Session("vm", "right");
  nasLeft = Session("nas", "left");
  ASSERT_TRUE(vmLeft && vmRight && nasLeft);
  EXPECT_EQ(StatusBecomes(*vmRight, "right", "VAR right ups.status \"FSD OB\""),
            "VAR right ups.status \"FSD OB\"");
  // Left's driver process may not have polled yet (its data is stale until it has).
  EXPECT_EQ(StatusBecomes(*vmLeft, "left", "VAR left ups.status \"OL\""),
            "VAR left ups.status \"OL\"");
  EXPECT_EQ(Status(*nasLeft, "left"), "VAR left ups.status \"OL\"");
  plan = PlanJson(config);
  ASSERT_TRUE(plan.is_object() && plan["stages"].size() == 2) << plan.dump();
  EXPECT_EQ(plan["stages"][0]["gone"], false) << "right's failure is not left's";
  EXPECT_EQ(plan["stages"][1]["gone"], true);
  EXPECT_EQ(log.find("stage \"storage\""), std::string::npos) << log;

  // Left fails too: its own stage goes on its own time, for its own sessions only.
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("stage \"storage\" goes (after 2 s on battery, UPS left): FSD for nas", 15s))
      << log;
  EXPECT_EQ(StatusBecomes(*nasLeft, "left", "VAR left ups.status \"FSD OB\""),
            "VAR left ups.status \"FSD OB\"");
  EXPECT_EQ(Status(*vmLeft, "left"), "VAR left ups.status \"OB\"");
  // Right's power back and held: only its stage's FSD ends.
  right.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("forced shutdown (FSD) cleared for vm on right", 15s)) << log;
  EXPECT_EQ(Status(*vmRight, "right"), "VAR right ups.status \"OL\"");
  EXPECT_EQ(Status(*nasLeft, "left"), "VAR left ups.status \"FSD OB\"");
  EXPECT_EQ(log.find("cleared for nas"), std::string::npos) << log;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(10s), 0);
}

TEST_F(SeveralUpsTest, RedundantSuppliesSurviveOneUpsGoWithTheSecondAndCutOnlyTheirPower) {
  const fs::path ran = Dir() / "shutdown-ran";
  const auto config = WriteSeveral("echo once >> " + ran.string(), 1);
  Start(config);
  AllOnline();
  // Neither the UPS watched only nor one of two redundant supplies is a reason.
  watched.peer->SetStatus(kOnBatt | kLowBatt);
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("left: low-battery")) << log;
  EXPECT_FALSE(WaitFor("shutdown:", 4s)) << log;
  EXPECT_FALSE(fs::exists(ran));
  right.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0", 15s)) << log;
  EXPECT_EQ(ReadFile(ran), "once\n");
  const std::string flag = ReadFile(Flag());
  EXPECT_NE(flag.find("ups.1.name=left\n"), std::string::npos) << flag;
  EXPECT_NE(flag.find("ups.2.name=right\n"), std::string::npos) << flag;
  EXPECT_EQ(flag.find("watched"), std::string::npos) << flag;
  // An older kill-power reads the plain keys: the first UPS ordered off, never another.
  EXPECT_EQ(flag.find("name="), flag.find("name=left\n")) << flag;
  // Only the UPSes named there lose their power, and status says no more than that.
  const auto [exit, status] = Said({"status", "--config", config.string()});
  EXPECT_EQ(exit, 9) << status;
  EXPECT_NE(status.find("cuts the power of every machine on each UPS the flag names"),
            std::string::npos)
      << status;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);

  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{31});
  EXPECT_EQ(right.peer->TurnOffDelays(), std::vector<std::uint32_t>{32});
  EXPECT_TRUE(watched.peer->TurnOffDelays().empty()) << "a UPS watched only is never turned off";
  EXPECT_FALSE(fs::exists(Flag()));
}

// The system's last step is short: a silent UPS first in the flag must not spend it while
// the next one waits its turn.
TEST_F(SeveralUpsTest, KillPowerTriesEachUpsOnceBeforeTryingASilentOneAgain) {
  const auto config = WriteSeveral("true", 1);
  Start(config);
  AllOnline();
  line.peer->SetStatus(kOnBatt | kLowBatt);
  right.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0", 15s)) << log;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  ASSERT_NE(ReadFile(Flag()).find("ups.1.name=left\n"), std::string::npos);
  line.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  corvale::testing::Subprocess killPower(
      {CORVALE_UPS_TOOL, "kill-power", "--config", config.string()}, true);
  const std::string said = killPower.ReadAll(120s);
  EXPECT_NE(killPower.Wait(5s), 0) << said;
  EXPECT_EQ(right.peer->TurnOffDelays(), std::vector<std::uint32_t>{32});
  const auto rightOff = said.find("right: kill-power: the UPS turns its output off in 32 s");
  ASSERT_NE(rightOff, std::string::npos) << said;
  EXPECT_LT(said.find("left: kill-power: attempt 1 of 4 failed"), rightOff) << said;
  EXPECT_GT(said.find("left: kill-power: attempt 2 of 4 failed"), rightOff) << said;
}

TEST_F(SeveralUpsTest, WithBothSuppliesNeededTheFirstUpsGoesAloneAndOnlyItIsCut) {
  const fs::path ran = Dir() / "shutdown-ran";
  const auto config = WriteSeveral("echo once >> " + ran.string(), 2);
  Start(config);
  AllOnline();
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0", 15s)) << log;
  const std::string flag = ReadFile(Flag());
  EXPECT_NE(flag.find("upses=1\n"), std::string::npos) << flag;
  EXPECT_EQ(flag.find("right"), std::string::npos) << "a UPS on utility power stays on\n" << flag;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{31});
  EXPECT_TRUE(right.peer->TurnOffDelays().empty());
}

TEST_F(SeveralUpsTest, AKilledDriverProcessCountsAsASilentCableAndComesBack) {
  const auto config = WriteSeveral("true", 1);
  Start(config);
  AllOnline();
  const std::string first = DriverProcess("right");
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(kill(std::stoi(first), SIGKILL), 0);
  ASSERT_TRUE(WaitFor("the driver process of the UPS 'right' ended (killed by signal 9)")) << log;
  // Started again after a second; its UPS answered all along, so nothing else is said.
  EXPECT_FALSE(WaitFor("right:", 4s)) << log;
  const std::string second = DriverProcess("right");
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  const std::string left = DriverProcess("left");
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  EXPECT_TRUE(DriverProcessGone(second) && DriverProcessGone(left))
      << "a driver process outlives the service";
}

TEST_F(SeveralUpsTest, StatusTellsEachUpsAndWhatTheMachineWouldDoAndASilentOneInItsExitCode) {
  const auto config = WriteSeveral("true", 1);
  Start(config);
  AllOnline();
  const auto all = Said({"status", "--config", config.string()});
  EXPECT_EQ(all.first, 0) << all.second;
  for (const char* said :
       {"left: feeds this machine battery=\"ok\" supplies=1 (from the service)",
        "right: feeds this machine battery=\"ok\" supplies=1 (from the service)",
        "watched: watched only, never a reason to shut down battery=\"ok\" supplies=0",
        "would run on: 2 of 2 supplies fed, needs 1 fed=2 total=2 minimum=1 (from the service)"}) {
    EXPECT_NE(all.second.find(said), std::string::npos) << said << "\n" << all.second;
  }
  // One of the redundant pair low: the machine runs on, and each UPS says its own state.
  right.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("right: low-battery")) << log;
  const auto low = Said({"status", "--json", "--config", config.string()});
  EXPECT_EQ(low.first, 0) << low.second;
  std::istringstream lines(low.second);
  std::vector<nlohmann::json> events;
  for (std::string text; std::getline(lines, text);) {
    events.push_back(nlohmann::json::parse(text, nullptr, false));
  }
  ASSERT_EQ(events.size(), 4u) << low.second;
  EXPECT_EQ(events[1]["ups"], "right") << low.second;
  EXPECT_EQ(events[1]["name"], "low battery") << low.second;
  EXPECT_EQ(events[1]["values"]["battery"], "low") << low.second;
  EXPECT_NE(events[1]["message"].get<std::string>().find("does not feed this machine: "),
            std::string::npos)
      << low.second;
  EXPECT_EQ(events[0]["ups"], "left");
  EXPECT_EQ(events[0]["name"], "online");
  EXPECT_EQ(events[3]["event"], "supplies");
  EXPECT_EQ(events[3]["values"]["fed"], 1) << low.second;
  EXPECT_EQ(events[3]["message"], "would run on: 1 of 2 supplies fed, needs 1");
  // A UPS that does not answer is said in the exit code, though the first one is well.
  watched.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  ASSERT_TRUE(WaitFor("watched: communication-lost", 30s)) << log;
  const auto silent = Said({"status", "--config", config.string()});
  EXPECT_EQ(silent.first, 5) << silent.second;
  EXPECT_NE(silent.second.find("no communication  watched: watched only"), std::string::npos)
      << silent.second;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
}

TEST_F(SeveralUpsTest, AReloadMovesOneUpsToItsNewPortAloneAndRefusesAnotherSetOfUpses) {
  const auto config = WriteSeveral("true", 1);
  Start(config);
  AllOnline();
  const std::string leftPid = DriverProcess("left"), rightPid = DriverProcess("right"),
                    watchedPid = DriverProcess("watched");
  ASSERT_FALSE(leftPid.empty() || rightPid.empty() || watchedPid.empty());
  // The UPS "left" re-plugged on COM4; "right" only gets another time on battery.
  corvale::UpsPeer moved;
  moved.SetStatus(kOnBatt);
  fs::create_symlink(moved.DevicePath(), line.Devices() / "COM4");
  std::string text = ReadFile(config);
  const auto replace = [&text](const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  replace("port = \"COM1\"", "port = \"COM4\"");
  replace("name = \"right\"\n", "name = \"right\"\non_battery_seconds = 900\n");
  std::ofstream(config) << text;
  const auto reloadedAt = std::chrono::steady_clock::now();
  EXPECT_EQ(Tool({"reload", "--config", config.string()}), 0);
  ASSERT_TRUE(WaitFor("left: on-battery")) << "polled on its new port\n" << log;
  EXPECT_NE(log.find("changed ups.port"), std::string::npos) << log;
  EXPECT_NE(log.find("the UPS 'left' again on port COM4"), std::string::npos) << log;
  EXPECT_NE(DriverProcess("left"), leftPid) << "its driver process started again on COM4";
  EXPECT_EQ(DriverProcess("right"), rightPid) << "a new time on battery is no reason to restart it";
  EXPECT_EQ(DriverProcess("watched"), watchedPid);
  // The others' polls went on through the reload, a second apart.
  std::this_thread::sleep_for(3s);
  for (auto* peer : {right.peer.get(), watched.peer.get()}) {
    std::optional<std::chrono::steady_clock::time_point> previous;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (const auto& frame : peer->Frames()) {
      if (frame.when < reloadedAt - 2s) continue;
      if (previous) longest = std::max(longest, frame.when - *previous);
      previous = frame.when;
    }
    ASSERT_TRUE(previous.has_value());
    EXPECT_LT(longest, 2500ms) << "a gap in the polls of a UPS the reload did not touch";
  }

  // Another set of UPSes (one added, then one renamed) is refused whole, and said.
  const std::string moving = text;
  std::ofstream(config) << text << "[[ups]]\nname = \"fourth\"\nport = \"COM5\"\ndevices = \""
                        << line.Devices().string() << "\"\nregistry = \""
                        << (Dir() / "fourth").string() << "\"\n";
  EXPECT_EQ(Tool({"reload", "--config", config.string()}), 1);
  EXPECT_TRUE(WaitFor("not reloaded: " + config.string() +
                      " changes the UPSes this machine watches ([[ups]] entries added, removed "
                      "or renamed); only a restart of the service takes another set of UPSes"))
      << log;
  text = moving;
  replace("name = \"watched\"", "name = \"spare\"");
  std::ofstream(config) << text;
  service->Signal(SIGHUP);
  EXPECT_TRUE(WaitFor("not reloaded: " + config.string() + " changes the UPSes")) << log;
  // Still the old set, each on the port it had.
  const std::string after = DriverProcess("left");
  EXPECT_EQ(DriverProcess("right"), rightPid);
  EXPECT_EQ(DriverProcess("watched"), watchedPid);
  EXPECT_TRUE(DriverProcess("spare").empty());
  moved.SetStatus(0);
  ASSERT_TRUE(WaitFor("left: online")) << "still polled on COM4\n" << log;
  EXPECT_EQ(DriverProcess("left"), after);
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
}

// The installed service runs as its own user and asks root's helper for the flag, naming the
// UPSes by their places in the list it runs on. A reload that moves a UPS to another port is
// that list from then on: root, reading the same file, still cuts the power it was asked to.
TEST_F(SeveralUpsTest, AfterAReloadMovedAUpsRootsHelperStillCutsThePowerTheServiceOrdered) {
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const auto asNobody = [&](const fs::path& path) {
    ASSERT_EQ(RunToEnd({"chown", "-R", std::to_string(nobody->pw_uid), path.string()}), 0);
  };
  fs::permissions(Dir(), fs::perms(0755));
  const fs::path requests = Dir() / "requests", runtime = Dir() / "runtime";
  for (const auto& folder : {requests, runtime}) {
    fs::create_directories(folder);
    asNobody(folder);
  }
  for (const Line* each : {&line, &right, &watched}) {
    fs::permissions(each->directory.Path(), fs::perms(0755));
    asNobody(each->registry.Root());
    fs::permissions(each->peer->DevicePath(), fs::perms(0666));
  }
  corvale::UpsPeer moved;
  fs::permissions(moved.DevicePath(), fs::perms(0666));
  fs::create_symlink(moved.DevicePath(), line.Devices() / "COM4");
  const auto config = WriteSeveral("true", 2);
  std::string text = ReadFile(config);
  const auto replace = [&text](const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  replace("history = \"" + (Dir() / "history.jsonl").string() + "\"", "history = \"\"");
  replace(Control().string(), (runtime / "control").string());
  replace("[shutdown]\n", "[shutdown]\nrequests = \"" + requests.string() + "\"\nresults = \"" +
                              (Dir() / "results").string() + "\"\n");
  std::ofstream(config) << text;
  Start(config, {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                 "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"});
  AllOnline();
  replace("port = \"COM1\"", "port = \"COM4\"");
  std::ofstream(config) << text;
  service->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor("changed ups.port")) << log;
  moved.SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("left: low-battery", 15s)) << log;
  // Started as its path unit would start it, until the flag is there (or never is).
  std::string helper;
  for (int tries = 0; tries < 50 && !fs::exists(Flag()); ++tries) {
    std::this_thread::sleep_for(200ms);
    corvale::testing::Subprocess start(
        {CORVALE_UPS_TOOL, "shutdown-helper", "--config", config.string(), "--last-good", ""},
        true);
    helper += start.ReadAll(10s);
    start.Wait(10s);
  }
  const std::string flag = ReadFile(Flag());
  EXPECT_NE(flag.find("upses=1\nups.1.name=left\nups.1.port=COM4\n"), std::string::npos)
      << flag << "\n"
      << helper;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(moved.TurnOffDelays(), std::vector<std::uint32_t>{31});
  EXPECT_TRUE(line.peer->TurnOffDelays().empty()) << "the port it left";
  EXPECT_TRUE(right.peer->TurnOffDelays().empty());
}

TEST_F(SeveralUpsTest, WithoutALocalChannelStatusAsksEachUpsOverNut) {
  auto config = WriteSeveral("true", 1);
  std::string text = ReadFile(config);
  const auto replace = [&text](const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  replace("[network]\nlisten = []", "[network]\nlisten = [\"127.0.0.1:" +
                                        std::to_string(corvale::testing::FreePort()) + "\"]");
  replace("control = \"" + Control().string() + "\"", "control = \"\"");
  std::ofstream(config) << text;
  Start(config);
  AllOnline();
  right.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitFor("right: on-battery")) << log;
  const auto all = Said({"status", "--config", config.string()});
  EXPECT_EQ(all.first, 0) << all.second;
  for (const char* said : {"online            left supplies=1 (from the service)",
                           "on battery        right supplies=1 (from the service)",
                           "online            watched supplies=0 (from the service)",
                           "unknown: which UPS feeds this machine now only the service knows"}) {
    EXPECT_NE(all.second.find(said), std::string::npos) << said << "\n" << all.second;
  }
  // `status` of the running service's file with the UPS names changed by `rename`.
  const auto statusRenamed = [&](const std::function<void(std::string&)>& rename) {
    std::string renamed = text;
    rename(renamed);
    const auto misnamed = config.parent_path() / "misnamed.toml";
    std::ofstream(misnamed) << renamed;
    return Said({"status", "--config", misnamed.string()});
  };
  // A UPS the server does not serve: its answer is said, not taken for silence.
  const auto ghost = statusRenamed([](std::string& renamed) {
    renamed.replace(renamed.find("name = \"right\""), 14, "name = \"ghost\"");
  });
  EXPECT_EQ(ghost.first, 5) << ghost.second;
  EXPECT_NE(ghost.second.find("ghost: the NUT server at 127.0.0.1:"), std::string::npos)
      << ghost.second;
  EXPECT_NE(ghost.second.find(" answered ERR UNKNOWN-UPS"), std::string::npos) << ghost.second;
  EXPECT_EQ(ghost.second.find("did not answer"), std::string::npos) << ghost.second;
  // None served: the server is there all the same, and no port is read behind its back.
  const auto none = statusRenamed([](std::string& renamed) {
    for (auto at = renamed.find("name = \""); at != std::string::npos;
         at = renamed.find("name = \"", at + 1)) {
      renamed.insert(at + 8, "gone-");
    }
  });
  EXPECT_EQ(none.first, 5) << none.second;
  EXPECT_NE(none.second.find("gone-left: the NUT server at 127.0.0.1:"), std::string::npos)
      << none.second;
  EXPECT_EQ(none.second.find("(from the port)"), std::string::npos) << none.second;
  EXPECT_EQ(none.second.find("does not answer"), std::string::npos) << none.second;
  watched.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  ASSERT_TRUE(WaitFor("watched: communication-lost", 30s)) << log;
  const auto silent = Said({"status", "--config", config.string()});
  EXPECT_EQ(silent.first, 5) << silent.second;
  EXPECT_NE(silent.second.find("no communication  watched supplies=0"), std::string::npos)
      << silent.second;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(5s), 0);
}

}  // namespace
