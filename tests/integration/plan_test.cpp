// The shutdown plan without a UPS or a network: its configuration, the stages' timing, FSD for
// one stage's sessions, the battery's verdict and the drill's wire form.
#include "host/plan/plan.h"

#include <gtest/gtest.h>

#include <array>
#include <asio.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "host/config.h"
#include "host/history.h"
#include "host/nut/nut_backend.h"
#include "host/plan/coordinator.h"
#include "host/plan/drill.h"
#include "host/plan/plan_checks.h"
#include "simulator/temporary_directory.h"

namespace {

using namespace std::chrono_literals;
using corvale::host::Clock;
using corvale::host::Observation;
using corvale::host::ParseConfig;

constexpr char kUsers[] =
    "[ups]\nport = \"COM1\"\n[shutdown]\non_battery_seconds = 300\n"
    "[[users]]\nname = \"vm\"\npassword = \"p\"\nupsmon = \"secondary\"\n"
    "[[users]]\nname = \"nas\"\npassword = \"p\"\nupsmon = \"secondary\"\n"
    "[[users]]\nname = \"admin\"\npassword = \"p\"\nactions = [\"SET\"]\n";

TEST(PlanConfigTest, StagesAreCheckedAgainstTheUsersAndThisMachinesOwnTime) {
  const struct {
    const char* name;
    std::string stages;
    int line;  // of the first problem; 0: none
    const char* says;
  } cases[] = {
      {"two stages",
       "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 20\nwake = "
       "[\"52:54:00:AB:cd:ef\"]\n[[stage]]\nname = \"storage\"\nusers = [\"nas\"]\nwhen = "
       "\"low-battery\"\n",
       0, ""},
      {"an unknown user", "[[stage]]\nname = \"s\"\nusers = [\"ghost\"]\nwhen = \"lost\"\n", 19,
       "ghost, who is not in [[users]]"},
      {"a user who cannot log in",
       "[[stage]]\nname = \"s\"\nusers = [\"admin\"]\nwhen = \"lost\"\n", 19, "upsmon"},
      {"one user in two stages",
       "[[stage]]\nname = \"a\"\nusers = [\"vm\"]\nwhen = \"lost\"\n[[stage]]\nname = \"b\"\nusers "
       "= [\"vm\"]\nwhen = \"low-battery\"\n",
       23, "in two stages"},
      {"after this machine's own shutdown",
       "[[stage]]\nname = \"late\"\nusers = [\"vm\"]\nafter_seconds = 300\n", 17,
       "this machine itself shuts down after 300 s"},
      {"no when", "[[stage]]\nname = \"s\"\nusers = [\"vm\"]\n", 17, "needs either after_seconds"},
      {"both whens",
       "[[stage]]\nname = \"s\"\nusers = [\"vm\"]\nwhen = \"lost\"\nafter_seconds = 1\n", 17,
       "needs either"},
      {"a MAC that is not one",
       "[[stage]]\nname = \"s\"\nusers = [\"vm\"]\nwhen = \"lost\"\nwake = [\"52:54:00:12:34\"]\n",
       21, "52:54:00:12:34"},
      {"a plan without a NUT server",
       "[network]\nlisten = []\n[[stage]]\nname = \"s\"\nusers = [\"vm\"]\nwhen = \"lost\"\n", 19,
       "needs network.listen"},
      {"a wake address that is no IPv4 address", "[plan]\nwake_address = \"[::1]:9\"\n", 18,
       "IPv4"},
  };
  for (const auto& c : cases) {
    const auto loaded = ParseConfig(kUsers + c.stages);
    if (c.line == 0) {
      ASSERT_TRUE(loaded.problems.empty()) << c.name << ": " << loaded.problems.front().message;
      ASSERT_EQ(loaded.config.stages.size(), 2u);
      EXPECT_EQ(loaded.config.stages[0].afterSeconds, 20u);
      EXPECT_EQ(loaded.config.stages[1].when, corvale::host::Config::Stage::When::kLowBattery);
      continue;
    }
    ASSERT_FALSE(loaded.problems.empty()) << c.name;
    EXPECT_EQ(loaded.problems.front().line, c.line) << c.name;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << c.name << ": " << loaded.problems.front().message;
  }
  const auto agent = ParseConfig(
      "[ups]\nserver = \"h\"\nuser = \"a\"\npassword = \"p\"\n[[stage]]\nname = \"s\"\nusers = "
      "[\"a\"]\nwhen = \"lost\"\n");
  ASSERT_FALSE(agent.problems.empty());
  EXPECT_NE(agent.problems.front().message.find("belongs on the machine with the UPS's cable"),
            std::string::npos);
}

class PlanRunnerTest : public ::testing::Test {
 protected:
  corvale::host::plan::PlanRunner::Actions At(std::chrono::milliseconds when, std::uint32_t state,
                                              bool lost = false) {
    Observation observation;
    observation.when = start + when;
    observation.state = state;
    observation.polled = lost ? 8 : state;
    observation.linkLost = lost;
    return runner.Observe(observation);
  }
  static std::vector<corvale::host::Config::Stage> Stages() {
    using When = corvale::host::Config::Stage::When;
    return {{"early", {"vm"}, When::kAfterSeconds, 20, {"52:54:00:12:34:56"}},
            {"low", {"nas"}, When::kLowBattery, 0, {}},
            {"lost", {"desk"}, When::kLost, 0, {"02:00:00:00:00:01"}}};
  }
  Clock::time_point start = Clock::now();
  corvale::host::plan::PlanRunner runner{Stages(), 60s};
};

TEST_F(PlanRunnerTest, OnlyContinuousTimeOnBatteryCountsAndEachStageGoesOncePerFailure) {
  EXPECT_TRUE(At(0s, 1).Empty());
  EXPECT_TRUE(At(1s, 2).Empty());
  EXPECT_TRUE(At(19s, 2).Empty());
  EXPECT_TRUE(At(20s, 1).Empty()) << "a blip of 19 s";
  EXPECT_TRUE(At(21s, 2).Empty());
  EXPECT_TRUE(At(40s, 2).Empty()) << "the clock started again at 21 s";
  EXPECT_EQ(At(41s, 2).due, std::vector<std::size_t>{0});
  EXPECT_TRUE(At(42s, 2).Empty()) << "once";
  EXPECT_EQ(At(43s, 4).due, std::vector<std::size_t>{1});
  EXPECT_EQ(At(50s, 4, true).due, std::vector<std::size_t>{2}) << "lost on battery";
  EXPECT_EQ(runner.Gone(), (std::vector<bool>{true, true, true}));
}

TEST_F(PlanRunnerTest, ThePowersReturnReleasesTheStagesAndWakesThemOnceItHasHeld) {
  At(0s, 2);
  ASSERT_EQ(At(20s, 2).due, std::vector<std::size_t>{0});
  EXPECT_TRUE(At(25s, 1, true).Empty()) << "lost while online is no power failure";
  EXPECT_EQ(At(26s, 1).released, std::vector<std::size_t>{0});
  EXPECT_TRUE(At(80s, 2).Empty()) << "the power failed again before the wake-up";
  EXPECT_TRUE(At(81s, 1).Empty()) << "nothing went in that failure, yet the early one sleeps";
  EXPECT_TRUE(At(140s, 1).Empty());
  const auto woken = At(141s, 1);
  EXPECT_EQ(woken.wake, std::vector<std::size_t>{0}) << "after 60 s of power";
  EXPECT_TRUE(At(300s, 1).Empty()) << "once";
  EXPECT_EQ(runner.Gone(), (std::vector<bool>{false, false, false}));
  // A lost UPS never seen: nothing is on battery.
  EXPECT_TRUE(At(301s, 0, true).Empty());
}

TEST(MagicPacketTest, SixFfsThenTheAddressSixteenTimes) {
  const std::string packet = corvale::host::plan::MagicPacket("01-23-45-67-89-aB");
  ASSERT_EQ(packet.size(), 102u);
  EXPECT_EQ(packet.substr(0, 6), std::string(6, '\xFF'));
  EXPECT_EQ(packet.substr(96), std::string("\x01\x23\x45\x67\x89\xAB", 6));
  for (const char* bad : {"", "01:23:45:67:89", "01:23:45:67:89:ag", "01:23:45:67:89:ab:"}) {
    EXPECT_EQ(corvale::host::plan::MagicPacket(bad), "") << bad;
  }
}

TEST(StageSessionsTest, OnlyTheStagesSessionsSeeFsdAndNoLoginAfterThePowersReturnInheritsIt) {
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::nut::ServiceBackend backend({"ups", {}, 120, 15s, false}, log);
  std::vector<std::pair<std::string, double>> downs;
  backend.OnMachineDown([&](const corvale::nut::ServiceBackend::MachineGone& gone) {
    downs.emplace_back(gone.user, gone.seconds);
  });
  const auto status = [&](const void* session) {
    const auto variables = backend.CurrentVariables(session);
    return variables ? variables->back().second : std::string("stale");
  };
  int vm = 0, nas = 0, anonymous = 0, vmDuringOutage = 0, vmRebooted = 0, vmLost = 0;
  backend.Login(&vm, "192.0.2.1", "vm");
  backend.Login(&nas, "192.0.2.2", "nas");
  backend.ForceShutdownOf({"vm"});
  EXPECT_EQ(status(&vm), "FSD") << "FSD even without UPS data: the machine must hear it";
  EXPECT_EQ(status(&nas), "stale");
  EXPECT_EQ(status(&anonymous), "stale");
  // A machine of the stage that logs in while the power is still out goes too.
  backend.Login(&vmDuringOutage, "192.0.2.3", "vm");
  EXPECT_EQ(status(&vmDuringOutage), "FSD");
  backend.Logout(&vmDuringOutage);
  EXPECT_EQ(backend.StageSessionsLeft({"vm"}), 1u);

  backend.PowerIsBack();
  EXPECT_EQ(status(&vm), "FSD") << "still logged in: it is shutting down";
  // A machine that starts again after the power's return (its old session lost, not logged out)
  // reads the UPS as it is, and stays up.
  backend.Login(&vmRebooted, "192.0.2.1", "vm");
  EXPECT_EQ(status(&vmRebooted), "stale") << "a login after the power's return never inherits FSD";
  EXPECT_EQ(backend.StageSessionsLeft({"vm"}), 1u) << "only the session that saw FSD counts";
  backend.Logout(&vm);
  EXPECT_EQ(backend.StageSessionsLeft({"vm"}), 0u);
  ASSERT_EQ(downs.size(), 2u);
  EXPECT_EQ(downs[1].first, "vm");
  EXPECT_LT(downs[1].second, 5.0);
  backend.Logout(&nas);
  EXPECT_EQ(downs.size(), 2u) << "nas never had FSD: no time to shut down";

  // Another failure; a session that never logs out (its machine lost) loses FSD once the power
  // has held, not only when it times out.
  backend.ForceShutdownOf({"vm"});
  backend.Login(&vmLost, "192.0.2.4", "vm");
  EXPECT_EQ(status(&vmRebooted), "FSD");
  EXPECT_EQ(status(&vmLost), "FSD");
  backend.PowerIsBack();
  backend.ReleaseStages();
  EXPECT_EQ(status(&vmRebooted), "stale");
  EXPECT_EQ(status(&vmLost), "stale");
  EXPECT_EQ(backend.StageSessionsLeft({"vm"}), 2u) << "released, but not down: not woken yet";
  backend.Stop();
  std::fclose(sink);
}

TEST(StageSessionsTest, ARestartOfTheNutServerAfterThePowersReturnLeavesNoStagesFsdSet) {
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::nut::ServiceBackend backend({"ups", {}, 120, 15s, false}, log);
  const auto forced = [&](const void* session) {
    const auto variables = backend.CurrentVariables(session);
    return variables && variables->back().second == "FSD";
  };
  int before = 0, after = 0;
  backend.Login(&before, "192.0.2.1", "vm");
  backend.ForceShutdownOf({"vm"});
  backend.PowerIsBack();
  // A reload restarts the server: its sessions end, and the machine connects again.
  backend.KeepLoginsThrough([&] { backend.Logout(&before); }, 60s);
  backend.Login(&after, "192.0.2.1", "vm");
  EXPECT_FALSE(forced(&after)) << "a login after the power's return never inherits FSD";
  EXPECT_TRUE(backend.UsersForced().empty());
  EXPECT_EQ(backend.StageSessionsLeft({"vm"}), 0u);
  backend.Stop();
  std::fclose(sink);
}

// A UDP socket on loopback that counts the magic packets.
class PacketCounter {
 public:
  PacketCounter() : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    socket_.non_blocking(true);
  }
  std::string Address() const {
    return "127.0.0.1:" + std::to_string(socket_.local_endpoint().port());
  }
  int Count() {
    int count = 0;
    std::array<char, 256> packet;
    std::error_code none;
    while (socket_.receive(asio::buffer(packet), 0, none) > 0 && !none) ++count;
    return count;
  }

 private:
  asio::io_context io_;
  asio::ip::udp::socket socket_;
};

TEST(PlanCoordinatorTest,
     StageMachinesAreWokenOnceDownAndThePowerHasHeldAFewTimesAndAfterARestart) {
  PacketCounter packets;
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 5\n"
                            "wake = [\"52:54:00:12:34:56\"]\n[plan]\nwake_after_seconds = 10\n"
                            "wake_address = \"" +
                            packets.Address() + "\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::vector<std::string> said;
  std::size_t left = 1;
  std::vector<corvale::host::HistoryRecord> history;
  corvale::host::plan::Coordinator::Actions actions;
  actions.force = [&](const auto& users) { said.push_back("force " + users.front()); };
  actions.powerBack = [&] { said.push_back("back"); };
  actions.releaseStages = [&] { said.push_back("release"); };
  actions.stageSessionsLeft = [&](const auto&) { return left; };
  actions.record = [&](const std::string& event, const std::string& message) {
    history.push_back({std::chrono::system_clock::now(), event, "ups", 0, message, {}});
  };
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  auto plan = std::make_unique<corvale::host::plan::Coordinator>(loaded.config, actions, log);
  const auto start = Clock::now();
  const auto observe = [&](std::chrono::seconds at, std::uint32_t state) {
    Observation observation;
    observation.when = start + at;
    observation.state = observation.polled = state;
    plan->Observe(observation);
  };
  const auto record = [&](const char* event) {
    history.push_back({std::chrono::system_clock::now(), event, "ups", 0, event, {}});
  };
  observe(0s, 2);
  record("on-battery");
  observe(5s, 2);
  EXPECT_EQ(said, std::vector<std::string>{"force vm"});
  observe(6s, 1);
  record("online");
  EXPECT_EQ(said.back(), "back");
  observe(16s, 1);
  EXPECT_EQ(said.back(), "release") << "the power has held: FSD ends before any wake-up";
  EXPECT_EQ(packets.Count(), 0) << "its machine is still logged in";
  observe(30s, 1);
  EXPECT_EQ(packets.Count(), 0);

  // The service restarts now: the history says what is left to do.
  plan = std::make_unique<corvale::host::plan::Coordinator>(loaded.config, actions, log);
  plan->Resume(history);
  left = 0;
  observe(31s, 1);
  EXPECT_EQ(packets.Count(), 0) << "the power has held 10 s since this run saw it";
  observe(41s, 1);
  EXPECT_EQ(packets.Count(), 1) << "down and the power held: woken";
  observe(42s, 1);
  EXPECT_EQ(packets.Count(), 0) << "a few seconds apart";
  observe(44s, 1);
  observe(47s, 1);
  observe(60s, 1);
  EXPECT_EQ(packets.Count(), 2) << "three packets in all";
  // Woken is in the history: another restart does not wake it again.
  plan = std::make_unique<corvale::host::plan::Coordinator>(loaded.config, actions, log);
  plan->Resume(history);
  observe(61s, 1);
  observe(80s, 1);
  EXPECT_EQ(packets.Count(), 0);
  std::fclose(sink);
}

TEST(PlanCoordinatorTest, ARestartDuringAnOutageCountsTheTimeOnBatteryFromItsStart) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 60\n"
                            "[[stage]]\nname = \"nas\"\nusers = [\"nas\"]\nafter_seconds = 20\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::vector<std::string> forced;
  corvale::host::plan::Coordinator::Actions actions;
  actions.force = [&](const auto& users) {
    forced.insert(forced.end(), users.begin(), users.end());
  };
  actions.record = [](const std::string&, const std::string&) {};
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  const auto now = std::chrono::system_clock::now();
  const std::vector<corvale::host::HistoryRecord> history = {
      {now - 50s, "on-battery", "ups", 2, "on battery", {}},
      {now - 30s, "stage", "ups", 0, "stage \"nas\" goes (after 20 s on battery): FSD for nas", {}},
      {now - 5s, "service-stopped", "ups", 0, "stopped", {}},
      {now - 1s, "on-battery", "ups", 2, "on battery", {}}};
  plan.Resume(history);
  EXPECT_TRUE(forced.empty()) << "the UPS is not heard yet: the power may be back";
  Observation observation;
  observation.when = Clock::now();
  observation.state = observation.polled = 2;
  plan.Observe(observation);
  EXPECT_EQ(forced, std::vector<std::string>{"nas"}) << "heard on battery: its machines go again";
  observation.when += 1s;
  plan.Observe(observation);
  EXPECT_EQ(forced.size(), 1u);
  observation.when += 11s;
  plan.Observe(observation);
  EXPECT_EQ(forced, (std::vector<std::string>{"nas", "vm"})) << "60 s since the failure began";
  std::fclose(sink);
}

TEST(PlanCoordinatorTest, AStageTheLastRunSentDownGoesAgainOnlyOnceThisRunHearsTheUpsOnBattery) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"early\"\nusers = [\"vm\"]\nafter_seconds = 8\n"
                            "[plan]\nwake_after_seconds = 20\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  // A low-battery shutdown: the stage went, the power never came back while that run lasted.
  const auto now = std::chrono::system_clock::now();
  const std::vector<corvale::host::HistoryRecord> history = {
      {now - 600s, "on-battery", "ups", 2, "on battery", {}},
      {now - 540s,
       "stage",
       "ups",
       0,
       "stage \"early\" goes (after 8 s on battery): FSD for vm",
       {}},
      {now - 300s, "low-battery", "ups", 4, "low battery", {}}};
  struct Run {
    const char* name;
    std::vector<Observation> heard;
    std::vector<std::string> forced;
    int powerBack;
  };
  const auto at = [](std::uint32_t state, bool lost) {
    Observation observation;
    observation.when = Clock::now();
    observation.state = state;
    observation.polled = lost ? 8 : state;
    observation.linkLost = lost;
    return observation;
  };
  const std::vector<Run> runs = {
      {"the power came back meanwhile", {at(1, false), at(1, false)}, {}, 1},
      {"not heard yet", {at(0, true), at(0, true)}, {}, 0},
      {"still on battery", {at(0, true), at(2, false), at(2, false)}, {"vm"}, 0},
  };
  for (const auto& run : runs) {
    std::vector<std::string> forced;
    int powerBack = 0;
    corvale::host::plan::Coordinator::Actions actions;
    actions.force = [&](const auto& users) {
      forced.insert(forced.end(), users.begin(), users.end());
    };
    actions.powerBack = [&] { ++powerBack; };
    actions.record = [](const std::string&, const std::string&) {};
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    {
      corvale::host::Logger log(false, sink);
      corvale::host::plan::Coordinator plan(loaded.config, actions, log);
      plan.Resume(history);
      EXPECT_TRUE(forced.empty()) << run.name << ": nothing forced before the UPS is heard";
      auto reload = loaded.config;
      reload.stages[0].users = {"vm", "nas"};
      plan.Reconfigure(reload);
      EXPECT_TRUE(forced.empty()) << run.name << ": nor by a reload";
      plan.Reconfigure(loaded.config);
      for (const auto& observation : run.heard) plan.Observe(observation);
    }
    EXPECT_EQ(forced, run.forced) << run.name;
    EXPECT_EQ(powerBack, run.powerBack) << run.name;
    std::fflush(sink);
    std::rewind(sink);
    std::string said(4096, '\0');
    said.resize(std::fread(said.data(), 1, said.size(), sink));
    std::fclose(sink);
    EXPECT_EQ(said.find("on battery since"), std::string::npos) << said;
    EXPECT_NE(said.find("the power failed 600 s ago and was still out when that run ended"),
              std::string::npos)
        << said;
  }
}

TEST(PlanCoordinatorTest, AWakeUpWaitsThroughALostLinkAndIsQueuedAgainWhenThePowerFailsAgain) {
  PacketCounter packets;
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"early\"\nusers = [\"vm\"]\nafter_seconds = 3\n"
                            "wake = [\"52:54:00:12:34:56\"]\n[plan]\nwake_after_seconds = 5\n"
                            "wake_address = \"" +
                            packets.Address() + "\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::size_t left = 1;
  corvale::host::plan::Coordinator::Actions actions;
  actions.force = [](const auto&) {};
  actions.stageSessionsLeft = [&](const auto&) { return left; };
  actions.record = [](const std::string&, const std::string&) {};
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  const auto start = Clock::now();
  const auto observe = [&](std::chrono::seconds at, std::uint32_t state, bool lost = false) {
    Observation observation;
    observation.when = start + at;
    observation.state = state;
    observation.polled = lost ? 8 : state;
    observation.linkLost = lost;
    plan.Observe(observation);
  };
  observe(0s, 2);
  observe(3s, 2);
  observe(6s, 1);
  observe(11s, 1);
  observe(12s, 1);
  EXPECT_EQ(packets.Count(), 0) << "its machine is still logged in";
  observe(13s, 1, true);
  observe(14s, 1, true);
  left = 0;
  observe(15s, 1, true);
  EXPECT_EQ(packets.Count(), 0) << "no news of the power: nothing is woken through a lost link";
  observe(16s, 1);
  EXPECT_EQ(packets.Count(), 1) << "the link is back, the power held, the machine is down";
  observe(30s, 1);
  observe(40s, 1);
  EXPECT_EQ(packets.Count(), 2) << "three packets in all";

  // Woken again later, then the power fails before the machine is down: queued again.
  observe(50s, 2);
  observe(53s, 2);
  observe(54s, 1);
  left = 1;
  observe(59s, 1);
  observe(60s, 2);
  observe(61s, 1);
  left = 0;
  observe(62s, 1);
  EXPECT_EQ(packets.Count(), 0) << "the power has not held since it failed again";
  observe(66s, 1);
  EXPECT_EQ(packets.Count(), 1) << "held 5 s after the second failure: woken";
  std::fclose(sink);
}

TEST(PlanCoordinatorTest, AfterAFailureThatEndedHoursAgoOnlyAStageStillToBeWokenCountsAsGone) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 5\n"
                            "[[stage]]\nname = \"nas\"\nusers = [\"nas\"]\nafter_seconds = 5\n"
                            "wake = [\"52:54:00:12:34:56\"]\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  corvale::host::plan::Coordinator::Actions actions;
  actions.force = [](const auto&) {};
  actions.record = [](const std::string&, const std::string&) {};
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  const auto now = std::chrono::system_clock::now();
  plan.Resume(
      {{now - 3h, "on-battery", "ups", 2, "on battery", {}},
       {now - 3h + 5s, "stage", "ups", 0, "stage \"vms\" goes (after 5 s): FSD for vm", {}},
       {now - 3h + 5s, "stage", "ups", 0, "stage \"nas\" goes (after 5 s): FSD for nas", {}},
       {now - 2h, "online", "ups", 1, "online", {}}});
  const auto facts = plan.Facts();
  ASSERT_EQ(facts.stages.size(), 2u);
  EXPECT_FALSE(facts.stages[0].gone) << "nothing is left to do for it";
  EXPECT_TRUE(facts.stages[1].gone) << "its machine is still to be woken";
  std::fclose(sink);
}

TEST(BatteryVerdictTest, WeakWhenTheLastMeasureIsShorterThanThePlanNeedsAndSaidOnceEachWay) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 120\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::vector<std::pair<corvale::host::EventKind, std::string>> raised;
  corvale::host::plan::Coordinator::Actions actions;
  actions.raise = [&](corvale::host::EventKind kind, const std::string& message) {
    raised.emplace_back(kind, message);
  };
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  // This machine's own limit (300 s) is the latest; the slowest machine took 40 s.
  EXPECT_EQ(corvale::host::plan::BatteryNeeds(loaded.config, {{"vm", 40}, {"nas", 12}}), 400.0);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  plan.SeedShutdownTimes({{"vm", 40}});
  plan.BatteryMeasured(900);
  EXPECT_TRUE(raised.empty()) << "strong enough: nothing to say";
  plan.BatteryMeasured(390);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].first, corvale::host::EventKind::kBatteryWeak);
  EXPECT_NE(raised[0].second.find("390 s"), std::string::npos) << raised[0].second;
  EXPECT_NE(raised[0].second.find("needs 400 s"), std::string::npos) << raised[0].second;
  plan.BatteryMeasured(380);
  EXPECT_EQ(raised.size(), 1u) << "still weak: said once";
  loaded.config.shutdown.onBatterySeconds = 60;  // a reload that lets everything go earlier
  plan.Reconfigure(loaded.config);
  ASSERT_EQ(raised.size(), 2u);
  EXPECT_EQ(raised[1].first, corvale::host::EventKind::kBatteryWeakEnded);
  EXPECT_EQ(plan.Facts().needsSeconds, 220.0);
  std::fclose(sink);
}

TEST(PlanCoordinatorTest, AReloadDuringAnOutageNeitherStrandsFsdNorSparesANewMachine) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 5\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::vector<std::string> forced;
  int releases = 0;
  corvale::host::plan::Coordinator::Actions actions;
  actions.force = [&](const std::vector<std::string>& users) {
    forced.insert(forced.end(), users.begin(), users.end());
  };
  actions.powerBack = [&] { ++releases; };
  actions.record = [](const std::string&, const std::string&) {};
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  const auto start = Clock::now();
  const auto observe = [&](std::chrono::seconds at, std::uint32_t state) {
    Observation observation;
    observation.when = start + at;
    observation.state = observation.polled = state;
    plan.Observe(observation);
  };
  observe(0s, 2);
  observe(5s, 2);
  ASSERT_EQ(forced, std::vector<std::string>{"vm"});
  // The stage now names one more machine: it goes at once.
  auto wider = loaded.config;
  wider.stages[0].users = {"vm", "nas"};
  plan.Reconfigure(wider);
  EXPECT_EQ(forced, (std::vector<std::string>{"vm", "vm", "nas"}));
  // Then the stage is gone from the file: the power's return still ends every FSD.
  auto none = loaded.config;
  none.stages.clear();
  plan.Reconfigure(none);
  observe(9s, 1);
  EXPECT_EQ(releases, 1);
  std::fclose(sink);
}

TEST(BatteryVerdictTest, NoPlanNoVerdictAndABatteryAlreadyLowMeasuresNothing) {
  const auto loaded = ParseConfig(kUsers);
  int raised = 0;
  corvale::host::plan::Coordinator::Actions actions;
  actions.raise = [&](corvale::host::EventKind, const std::string&) { ++raised; };
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, actions, log);
  plan.BatteryMeasured(1);
  EXPECT_EQ(raised, 0) << "no stages: nothing to carry";
  EXPECT_FALSE(plan.Facts().needsSeconds);
  std::fclose(sink);
  // A failure that arrives with a low battery: no measure in the history.
  const auto now = std::chrono::system_clock::now();
  corvale::host::BatteryPeriod period;
  std::vector<corvale::host::HistoryRecord> records = {{now, "on-battery", "u", 2, "", {}},
                                                       {now, "low-battery", "u", 4, "", {}},
                                                       {now + 60s, "online", "u", 1, "", {}},
                                                       {now + 90s, "on-battery", "u", 2, "", {}},
                                                       {now + 200s, "low-battery", "u", 4, "", {}}};
  for (auto& record : records) period.Mark(record);
  const auto measures = corvale::host::BatteryMeasures(records);
  ASSERT_EQ(measures.size(), 1u);
  EXPECT_EQ(measures[0].secondsToLow, 110.0);
}

TEST(DrillReportTest, ADeadHelperAndMissingMachinesAreNamedAndTheWireFormKeepsEveryWord) {
  corvale::host::Config config;
  config.upses.front().port = "COM1";
  config.shutdown.command = "/nonexistent/shutdown-script";
  corvale::TemporaryDirectory folder;
  std::filesystem::permissions(folder.Path(), std::filesystem::perms::all);  // everybody writes
  config.shutdown.flagFile = (folder.Path() / "killpower").string();
  const auto checks = corvale::host::plan::ChainChecks(config, "/etc/x.toml", {true, false, true});
  const auto failed = [&](const std::vector<corvale::host::plan::Check>& list, const char* what) {
    return std::any_of(list.begin(), list.end(), [&](const auto& check) {
      return !check.ok && check.what.find(what) != std::string::npos;
    });
  };
  EXPECT_TRUE(failed(checks, "root's helper does not answer"));
  EXPECT_TRUE(failed(checks, "the shutdown command cannot run"));
  EXPECT_TRUE(failed(checks, "the flag's folder is not trusted"));
  EXPECT_FALSE(failed(checks, "the UPS"));

  corvale::host::PlanFacts plan;
  plan.stages.push_back({"vms", "after 20 s on battery", 20, false, {{"vm", {}, {}}}, {}});
  const auto machines = corvale::host::plan::MachineChecks(
      plan, {{"nas", "192.0.2.2", false, "the shutdown command cannot run"}}, {"desk"});
  EXPECT_TRUE(failed(machines, "stage \"vms\": vm is not logged in"));
  EXPECT_TRUE(failed(machines, "the agent nas at 192.0.2.2 is not ready"));
  EXPECT_TRUE(failed(machines, "the agent desk did not answer"));
  // The battery's verdict is part of being ready: a plan it cannot carry fails the drill, and a
  // user logged in from two machines hides one's shutdown.
  plan.batteryWeak = true;
  plan.stages[0].machines[0].addresses = {"192.0.2.1", "192.0.2.9"};
  const auto weak = corvale::host::plan::MachineChecks(plan, {}, {});
  EXPECT_TRUE(failed(weak, "the battery ran low sooner than the plan needs (battery-weak)"));
  EXPECT_TRUE(failed(weak, "stage \"vms\": vm is logged in 2 times"));

  const corvale::host::plan::Check odd{false, "a \"quoted\" \\ name\nwith a break", "mend", ""};
  const std::string lines = corvale::host::plan::ReportLines("ups", {odd});
  const auto first = lines.find('\n') + 1;
  const auto parsed =
      corvale::host::plan::ParseCheckLine(lines.substr(first, lines.find('\n', first) - first));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->what, "a \"quoted\" \\ name with a break");
  EXPECT_FALSE(parsed->ok);
  EXPECT_FALSE(corvale::host::plan::ParseCheckLine("CHECK MAYBE \"a\" \"b\""));
}

// A machine's session as its agent holds it through the NUT words: logged in, and what it says.
struct Client {
  Client(corvale::nut::ServiceBackend& backend, const std::string& user)
      : session(std::make_unique<corvale::nut::Session>(backend, "192.0.2.9")) {
    for (const std::string& line :
         {"USERNAME " + user, std::string("PASSWORD p"), std::string("LOGIN ups")}) {
      EXPECT_EQ(session->Handle(line).reply, "OK\n") << line;
    }
  }
  std::string Say(const std::string& line) { return session->Handle(line).reply; }
  // Its side closes the connection (or, `byServer`, the server ends it: its stop, a silence).
  void Close(bool byServer = false) {
    if (!byServer) session->PeerClosed();
    session.reset();
  }
  std::unique_ptr<corvale::nut::Session> session;
};

TEST(MachineDownTest, ToTheCloseOnlyWhenItSaidItsCommandStartedAndLeftWithoutLogout) {
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  std::vector<corvale::nut::User> users;
  for (const char* name : {"vm", "nas", "mon", "late", "quiet"}) {
    users.push_back({name, "p", corvale::nut::User::Upsmon::kSecondary, false, false, {}});
  }
  corvale::nut::ServiceBackend backend({"ups", users, 120, 15s, false}, log);
  std::map<std::string, corvale::nut::ServiceBackend::MachineGone> downs;
  backend.OnMachineDown([&](const auto& gone) { downs[gone.user] = gone; });
  Client vm(backend, "vm"), nas(backend, "nas"), mon(backend, "mon"), late(backend, "late"),
      quiet(backend, "quiet");
  corvale::nut::Session stranger(backend, "192.0.2.66");
  EXPECT_EQ(stranger.Handle("SHUTTING-DOWN ups").reply, "ERR ACCESS-DENIED\n")
      << "only a logged-in machine speaks for itself";
  EXPECT_EQ(vm.Say("SHUTTING-DOWN other"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(vm.Say("SHUTTING-DOWN"), "ERR INVALID-ARGUMENT\n");
  // Said before its FSD: the machine went on its own reading of the UPS.
  EXPECT_EQ(late.Say("SHUTTING-DOWN ups"), "OK\n");
  backend.ForceShutdownOf({"vm", "nas", "mon", "late", "quiet"});
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(vm.Say("SHUTTING-DOWN ups"), "OK\n");
  EXPECT_EQ(nas.Say("SHUTTING-DOWN ups"), "OK\n");
  EXPECT_EQ(quiet.Say("SHUTTING-DOWN ups"), "OK\n");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(vm.Say("SHUTTING-DOWN ups"), "OK\n") << "said again: the first word counts";
  vm.Close();                                    // the connection closes as the machine goes down
  EXPECT_EQ(nas.Say("LOGOUT"), "OK Goodbye\n");  // said, then logged out all the same
  nas.Close();
  mon.Close();  // NUT's upsmon: never says it, and its session ends
  late.Close();
  // Still up when the server ended its session (the server's stop, or silence for too long).
  quiet.Close(true);
  ASSERT_EQ(downs.size(), 5u);
  EXPECT_FALSE(downs["quiet"].toClose) << "the server's own close says nothing of the machine";
  EXPECT_TRUE(downs["vm"].toClose);
  EXPECT_GE(downs["vm"].seconds, 0.2);
  ASSERT_TRUE(downs["vm"].commandStartedSeconds);
  EXPECT_GE(*downs["vm"].commandStartedSeconds, 0.1);
  EXPECT_LT(*downs["vm"].commandStartedSeconds, 0.19) << "the first word counts, not the second";
  EXPECT_FALSE(downs["nas"].toClose) << "a LOGOUT is a logout, whatever was said before";
  ASSERT_TRUE(downs["nas"].commandStartedSeconds);
  EXPECT_FALSE(downs["mon"].toClose);
  EXPECT_FALSE(downs["mon"].commandStartedSeconds);
  EXPECT_TRUE(downs["late"].toClose);
  ASSERT_TRUE(downs["late"].commandStartedSeconds);
  EXPECT_LT(*downs["late"].commandStartedSeconds, 0) << "its command started before its FSD";
  std::fclose(sink);
}

corvale::host::HistoryRecord MachineDownRecord(const std::string& user, double seconds,
                                               const std::string& measuredTo) {
  corvale::host::HistoryRecord record;
  record.time = std::chrono::system_clock::now();
  record.event = "machine-down";
  record.user = user;
  record.machine = "192.0.2.1";
  record.shutdownSeconds = seconds;
  record.measuredTo = measuredTo;
  return record;
}

TEST(ShutdownMeasureTest, TheSlowestRecentMeasureCountsAndItsKindIsSaid) {
  using corvale::host::plan::MeasuredText;
  using corvale::host::plan::ShutdownMeasures;
  using corvale::host::plan::ShutdownTime;
  // A record older than the words reads as measured to the logout, as it was; a new one keeps
  // what it was measured to and when the command started, and an older reader still reads it.
  const auto old = corvale::host::ParseHistoryLine(
      R"({"time":"2026-12-01T10:00:00Z","event":"machine-down","ups":"u","state":0,)"
      R"("message":"m","machine":"192.0.2.1","shutdown_seconds":30.0,"user":"vm"})");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->measuredTo, "");
  auto written = MachineDownRecord("vm", 50, "close");
  written.commandStartedSeconds = 4.5;
  written.time = std::chrono::sys_days{std::chrono::year{2026} / 12 / 2};
  const auto line = corvale::host::HistoryLine(written);
  EXPECT_NE(line.find(R"("measured_to":"close")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("shutdown_seconds":50)"), std::string::npos) << line;
  EXPECT_EQ(corvale::host::ParseHistoryLine(line), written);

  auto measures = ShutdownMeasures({*old});
  EXPECT_EQ(measures["vm"].seconds, 30.0);
  EXPECT_FALSE(measures["vm"].toClose);
  // Measured to its close as it went down: longer than its old logout, and said so.
  measures = ShutdownMeasures({*old, written});
  EXPECT_EQ(measures["vm"].seconds, 50.0);
  EXPECT_TRUE(measures["vm"].toClose);
  // A machine that says its command started and leaves at once (a taken agent's account, or a
  // lie) never makes the plan look safer than what was measured before; nor does a quick logout.
  measures = ShutdownMeasures(
      {*old, written, MachineDownRecord("vm", 0.3, "close"), MachineDownRecord("vm", 2, "logout")});
  EXPECT_EQ(measures["vm"].seconds, 50.0);
  EXPECT_TRUE(measures["vm"].toClose);
  // A slower logout outweighs a quicker close: the machine took at least that long then.
  measures = ShutdownMeasures({written, MachineDownRecord("vm", 70, "logout")});
  EXPECT_EQ(measures["vm"].seconds, 70.0);
  EXPECT_FALSE(measures["vm"].toClose);

  EXPECT_EQ(MeasuredText(ShutdownTime{50, true}),
            "shuts down in 50.0 s after its FSD, measured to its connection's close as it went "
            "down");
  EXPECT_EQ(MeasuredText(ShutdownTime{12.24, false}),
            "shuts down in 12.2 s after its FSD, measured to its logout (the machine may need "
            "longer)");
  EXPECT_EQ(MeasuredText(std::nullopt), "its shutdown not yet measured");
}

TEST(ShutdownMeasureTest, TheCoordinatorsMarginUsesTheSlowestMeasureAndShowsWhatItWasMeasuredTo) {
  auto loaded = ParseConfig(std::string(kUsers) +
                            "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 120\n"
                            "[[stage]]\nname = \"storage\"\nusers = [\"nas\"]\nwhen = "
                            "\"low-battery\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::host::plan::Coordinator plan(loaded.config, {}, log);
  plan.SeedShutdownTimes(corvale::host::plan::ShutdownMeasures({MachineDownRecord("vm", 40, "")}));
  auto facts = plan.Facts();
  ASSERT_EQ(facts.stages.size(), 2u);
  EXPECT_EQ(facts.stages[0].machines[0].lastShutdownSeconds, 40.0);
  EXPECT_FALSE(facts.stages[0].machines[0].shutdownMeasuredToClose);
  EXPECT_FALSE(facts.stages[1].machines[0].lastShutdownSeconds) << "nas: not yet measured";
  EXPECT_EQ(facts.needsSeconds, 300.0 + 40 + 60);
  plan.MachineDown("vm", 95, true);
  facts = plan.Facts();
  EXPECT_EQ(facts.stages[0].machines[0].lastShutdownSeconds, 95.0);
  EXPECT_TRUE(facts.stages[0].machines[0].shutdownMeasuredToClose);
  EXPECT_EQ(facts.needsSeconds, 300.0 + 95 + 60);
  plan.MachineDown("vm", 1, true);  // says it started, then leaves at once
  EXPECT_EQ(plan.Facts().needsSeconds, 300.0 + 95 + 60) << "never safer than measured";
  std::fclose(sink);
}

// Two UPSes on this machine's cables, a stage on each: "nas" goes at left's low battery, "vm"
// after 100 s of right's battery.
constexpr char kTwoUpsesStaged[] =
    "[[ups]]\nname = \"left\"\nport = \"COM1\"\nregistry = \"/srv/l\"\n"
    "[[ups]]\nname = \"right\"\nport = \"COM2\"\nregistry = \"/srv/r\"\n"
    "[[users]]\nname = \"vm\"\npassword = \"p\"\nupsmon = \"secondary\"\n"
    "[[users]]\nname = \"nas\"\npassword = \"p\"\nupsmon = \"secondary\"\n"
    "[[stage]]\nname = \"storage\"\nusers = [\"nas\"]\nwhen = \"low-battery\"\n"
    "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 100\nups = \"right\"\n";

TEST(PlanCoordinatorTest, EachUpsStagesWeighItsOwnBatteryAndResumeFromItsOwnRecords) {
  const auto loaded = ParseConfig(kTwoUpsesStaged);
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const auto& config = loaded.config;
  using corvale::host::plan::BatteryNeeds;
  // Right's stage is its latest; left has none timed and no limit of its own.
  EXPECT_EQ(BatteryNeeds(config, {{"vm", 40}}, 1), 200.0);
  EXPECT_EQ(BatteryNeeds(config, {{"vm", 40}}, 0), 100.0);

  std::vector<std::string> raised;
  std::vector<std::pair<std::size_t, std::string>> forced;
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  std::vector<std::unique_ptr<corvale::host::plan::Coordinator>> plans;
  for (std::size_t ups = 0; ups < 2; ++ups) {
    corvale::host::plan::Coordinator::Actions actions;
    actions.raise = [&](corvale::host::EventKind, const std::string& message) {
      raised.push_back(message);
    };
    actions.force = [&, ups](const std::vector<std::string>& users) {
      for (const auto& user : users) forced.emplace_back(ups, user);
    };
    actions.record = [](const std::string&, const std::string&) {};
    plans.push_back(
        std::make_unique<corvale::host::plan::Coordinator>(config, std::move(actions), log, ups));
    plans.back()->SeedShutdownTimes({{"vm", 40}});
  }
  // The same measure: too short for right's stages, enough for left's.
  plans[0]->BatteryMeasured(150);
  EXPECT_TRUE(raised.empty()) << raised.front();
  plans[1]->BatteryMeasured(150);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_TRUE(raised[0].starts_with("the battery of the UPS right last ran low after 150 s"))
      << raised[0];

  // The last run ended with right on battery and its stage gone; an older record naming no UPS
  // of this machine is the first's, and its failure ended.
  const auto now = std::chrono::system_clock::now();
  const std::vector<corvale::host::HistoryRecord> history = {
      {now - 50min, "on-battery", "corvale", 2, "on battery", {}},
      {now - 49min, "stage", "corvale", 0, "stage \"storage\" goes (at low battery)", {}},
      {now - 40min, "online", "corvale", 1, "online", {}},
      {now - 200s, "on-battery", "right", 2, "on battery", {}},
      {now - 90s,
       "stage",
       "right",
       0,
       "stage \"vms\" goes (after 100 s on battery, UPS right): FSD for vm",
       {}}};
  for (const auto& plan : plans) plan->Resume(history);
  std::vector<corvale::host::PlanFacts> each;
  for (const auto& plan : plans) each.push_back(plan->Facts());
  ASSERT_EQ(each[0].stages.size(), 1u);
  ASSERT_EQ(each[1].stages.size(), 1u);
  EXPECT_FALSE(each[0].stages[0].gone) << "right's failure is not left's";
  EXPECT_TRUE(each[1].stages[0].gone);
  const auto merged = corvale::host::plan::MergedFacts(config, each);
  ASSERT_EQ(merged.stages.size(), 2u);
  EXPECT_EQ(merged.stages[0].name, "storage");
  EXPECT_EQ(merged.stages[0].ups, "left");
  EXPECT_EQ(merged.stages[1].ups, "right");
  ASSERT_EQ(merged.upses.size(), 2u);
  EXPECT_FALSE(merged.upses[0].batteryWeak);
  EXPECT_TRUE(merged.upses[1].batteryWeak);
  EXPECT_TRUE(merged.batteryWeak);
  EXPECT_EQ(merged.needsSeconds, 100.0) << "the first UPS's, as one UPS's file had it";

  // Right heard on battery in this run: its stage's machines go again, on right only. Left on
  // battery says nothing for right's stage.
  Observation observation;
  observation.when = Clock::now();
  observation.state = observation.polled = 2;
  plans[0]->Observe(observation);
  EXPECT_TRUE(forced.empty());
  plans[1]->Observe(observation);
  EXPECT_EQ(forced, (std::vector<std::pair<std::size_t, std::string>>{{1, "vm"}}));
  std::fclose(sink);
}

// check-config weighs each UPS's last measured battery against that UPS's own stages: the same
// 150 s is too short for right's stage after 100 s, and enough for left's at low battery.
TEST(PlanCoordinatorTest, CheckConfigWarnsOfTheBatteryOfTheUpsWhoseStagesItCannotCarry) {
  corvale::TemporaryDirectory folder;
  const auto history = folder.Path() / "history.jsonl";
  const auto loaded = ParseConfig(std::string(kTwoUpsesStaged) + "[events]\nhistory = \"" +
                                  history.string() + "\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const auto now = std::chrono::system_clock::now();
  {
    std::ofstream out(history);
    const std::tuple<std::chrono::seconds, const char*, const char*> records[] = {
        {3h, "on-battery", "right"},        {3h - 150s, "low-battery", "right"},
        {3h - 200s, "online", "right"},     {2h, "on-battery", "left"},
        {2h - 150s, "low-battery", "left"}, {2h - 200s, "online", "left"}};
    for (const auto& [ago, event, ups] : records) {
      corvale::host::HistoryRecord record;
      record.time = now - ago;
      record.event = event;
      record.ups = ups;
      record.message = event;
      out << corvale::host::HistoryLine(record) << "\n";
    }
  }
  corvale::host::StartChecks checks;
  corvale::host::plan::CheckPlanStart(loaded.config, checks);
  std::vector<std::string> battery;
  for (const auto& warning : checks.warnings) {
    if (warning.find("last ran low") != std::string::npos) battery.push_back(warning);
  }
  ASSERT_EQ(battery.size(), 1u) << (battery.empty() ? "" : battery.front());
  EXPECT_TRUE(
      battery[0].starts_with("the battery of the UPS right last ran low after 150 s on "
                             "battery, but the shutdown plan needs 160 s"))
      << battery[0];
}

}  // namespace
