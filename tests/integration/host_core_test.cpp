// The host's decisions on their own, fed observations on a made-up clock: the shutdown policy and
// the events derived from successive polls.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "host/command_runner.h"
#include "host/config.h"
#include "host/control.h"
#include "host/events.h"
#include "host/host.h"
#include "host/policy.h"
#include "host/shutdown.h"
#include "host/start_checks.h"
#include "host/supervisor.h"
#include "tests/support/captured_log.h"
#include "tests/support/line_fixture.h"

namespace {

using corvale::testing::Count;
using corvale::testing::Logged;
using corvale::testing::Messages;

using corvale::host::Clock;
using corvale::host::EventDeriver;
using corvale::host::EventName;
using corvale::host::Observation;
using corvale::host::ShutdownPolicy;
using namespace std::chrono_literals;

Observation At(int second, std::uint32_t polled, std::uint32_t state, bool lost = false) {
  Observation observation;
  observation.when = Clock::time_point() + std::chrono::seconds(second);
  observation.polled = polled;
  observation.state = state;
  observation.linkLost = lost;
  return observation;
}

TEST(ShutdownPolicyTest, DecidesOnTheStateOnceAndCountsTimeOnBattery) {
  const struct {
    const char* name;
    int limit;
    std::vector<Observation> polls;
    int decidesAt;  // index of the poll that decides, -1 for none
  } cases[] = {
      {"low battery at once", 0, {At(0, 4, 4)}, 0},
      {"on battery, no limit", 0, {At(0, 2, 2), At(500, 2, 2)}, -1},
      {"on battery past the limit", 60, {At(0, 2, 2), At(59, 2, 2), At(60, 2, 2)}, 2},
      {"power back resets the count",
       60,
       {At(0, 2, 2), At(50, 1, 1), At(70, 2, 2), At(120, 2, 2), At(130, 2, 2)},
       4},
      {"a short loss on battery keeps counting", 60, {At(0, 2, 2), At(30, 8, 2), At(60, 2, 2)}, 2},
      {"lost while on battery", 0, {At(0, 2, 2), At(10, 8, 2), At(15, 8, 2, true)}, 2},
      {"lost while online", 0, {At(0, 1, 1), At(15, 8, 1, true)}, -1},
      {"only once, however it flaps",
       0,
       {At(0, 4, 4), At(1, 1, 1), At(2, 4, 4), At(3, 2, 2, true)},
       0},
  };
  for (const auto& c : cases) {
    ShutdownPolicy policy{std::chrono::seconds(c.limit)};
    int decidedAt = -1;
    for (std::size_t i = 0; i < c.polls.size(); ++i) {
      if (policy.Decide(c.polls[i])) {
        EXPECT_EQ(decidedAt, -1) << c.name << ": decided twice";
        decidedAt = static_cast<int>(i);
      }
    }
    EXPECT_EQ(decidedAt, c.decidesAt) << c.name;
  }
}

// Several UPSes, each feeding some of the machine's power supplies: it runs on while enough are
// fed by a UPS that is well; one that feeds none is watched only; one not heard yet counts
// neither way until it counts as lost.
TEST(ShutdownPolicyTest, SeveralUpsesShutDownOnlyWhenTooFewSuppliesAreFed) {
  using Supply = ShutdownPolicy::Supply;
  struct Poll {
    std::size_t unit;
    Observation observation;
  };
  const struct {
    const char* name;
    std::vector<Supply> units;
    std::uint32_t minimum;
    std::vector<Poll> polls;
    int decidesAt;                    // -1: never
    std::vector<std::string> margin;  // "low 3": supplies-low at the fourth poll; "ok 5"
  } cases[] = {
      {"redundant: one low battery is survived, the second is not",
       {{"a", 1, 0s}, {"b", 1, 0s}},
       1,
       {{0, At(0, 1, 1)},
        {1, At(0, 1, 1)},
        {0, At(10, 4, 4)},
        {1, At(20, 2, 2)},
        {1, At(30, 4, 4)}},
       4,
       {"low 4"}},
      {"both supplies needed: the first low battery goes",
       {{"a", 1, 0s}, {"b", 1, 0s}},
       2,
       {{0, At(0, 1, 1)}, {1, At(0, 1, 1)}, {0, At(10, 4, 4)}},
       2,
       {"low 2"}},
      {"watched only: never a reason, never counted",
       {{"a", 1, 0s}, {"w", 0, 0s}},
       1,
       {{0, At(0, 1, 1)},
        {1, At(0, 4, 4)},
        {1, At(20, 8, 4, true)},
        {0, At(30, 2, 2)},
        {0, At(40, 4, 4)}},
       4,
       {"low 4"}},
      {"not heard yet waits; lost at start counts as not feeding",
       {{"a", 1, 0s}, {"b", 1, 0s}},
       1,
       {{0, At(0, 8, 0)}, {1, At(1, 4, 4)}, {0, At(15, 8, 0, true)}},
       2,
       {"low 2"}},
      {"lost on utility power counts out but alone is no reason",
       {{"a", 1, 0s}, {"b", 1, 0s}},
       1,
       {{0, At(0, 1, 1)},
        {1, At(0, 1, 1)},
        {0, At(15, 8, 1, true)},
        {1, At(16, 8, 1, true)},
        {1, At(20, 4, 4)}},
       4,
       {"low 3"}},
      {"each UPS's own time on battery",
       {{"a", 1, 60s}, {"b", 1, 0s}},
       2,
       {{0, At(0, 2, 2)}, {1, At(0, 2, 2)}, {1, At(100, 2, 2)}, {0, At(60, 2, 2)}},
       3,
       {"low 3"}},
      {"two supplies on one UPS outweigh one on another",
       {{"a", 2, 0s}, {"b", 1, 0s}},
       2,
       {{0, At(0, 1, 1)}, {1, At(0, 1, 1)}, {1, At(5, 4, 4)}, {0, At(10, 4, 4)}},
       3,
       {"low 3"}},
      {"enough again says so once",
       {{"a", 1, 0s}, {"b", 1, 0s}},
       2,
       {{0, At(0, 1, 1)},
        {1, At(0, 1, 1)},
        {0, At(5, 8, 1, true)},
        {0, At(6, 8, 1, true)},
        {0, At(7, 1, 1)},
        {0, At(8, 1, 1)}},
       -1,
       {"low 2", "ok 4"}},
  };
  for (const auto& c : cases) {
    ShutdownPolicy policy(c.units, c.minimum);
    int decidedAt = -1;
    std::vector<std::string> margin;
    for (std::size_t i = 0; i < c.polls.size(); ++i) {
      const auto decision = policy.Decide(c.polls[i].unit, c.polls[i].observation);
      if (decision.shutDown) {
        EXPECT_EQ(decidedAt, -1) << c.name << ": decided twice";
        decidedAt = static_cast<int>(i);
      }
      if (decision.suppliesLow) {
        margin.push_back((*decision.suppliesLow ? "low " : "ok ") + std::to_string(i));
      }
    }
    EXPECT_EQ(decidedAt, c.decidesAt) << c.name;
    EXPECT_EQ(margin, c.margin) << c.name;
  }
}

TEST(ShutdownPolicyTest, SeveralUpsesNameEachReasonAndAnFsdCountsOnlyForItsOwnUps) {
  ShutdownPolicy policy({{"left", 1, 0s}, {"right", 1, 0s}}, 1);
  policy.Decide(0, At(0, 1, 1));
  policy.Decide(1, At(0, 1, 1));
  EXPECT_FALSE(policy.Decide(0, At(5, 4, 4)).shutDown);
  const auto decision = policy.Decide(1, At(6, 4, 4));
  ASSERT_TRUE(decision.shutDown);
  EXPECT_EQ(*decision.shutDown,
            "0 of this machine's 2 power supplies are fed by a UPS that is well, and it runs on "
            "no fewer than 1 (left: the UPS's battery is low; right: the UPS's battery is low)");
  const auto facts = policy.Facts();
  ASSERT_EQ(facts.units.size(), 2u);
  EXPECT_EQ(facts.fed, 0u);
  EXPECT_EQ(facts.units[1].why, "the UPS's battery is low");

  ShutdownPolicy forced({{"left", 1, 0s}, {"right", 1, 0s}}, 1);
  forced.Decide(0, At(0, 1, 1));
  forced.Decide(1, At(0, 1, 1));
  forced.Force(0, "FSD by the primary p");
  const auto one = forced.Decide(0, At(1, 1, 1));
  EXPECT_FALSE(one.forced) << "the other UPS still feeds a supply";
  EXPECT_FALSE(one.shutDown);
  forced.Force(1, "FSD by the primary q");
  const auto both = forced.Decide(1, At(2, 1, 1));
  ASSERT_TRUE(both.forced);
  EXPECT_FALSE(both.powerBack) << "a UPS ordered down no longer counts as on utility power";
  EXPECT_NE(both.forced->find("left: FSD by the primary p; right: FSD by the primary q"),
            std::string::npos)
      << *both.forced;
  // The power's return does not undo an FSD.
  EXPECT_TRUE(forced.Decide(0, At(3, 1, 1)).forced);
}

TEST(ShutdownPolicyTest, OnlyTheUpsesThatFailedAndFeedThisMachineAreOrderedOff) {
  // a and b feed a supply each, w is watched only, c is lost on utility power.
  ShutdownPolicy policy({{"a", 1, 0s}, {"b", 1, 0s}, {"w", 0, 0s}, {"c", 1, 0s}}, 3);
  policy.Decide(0, At(0, 1, 1));
  policy.Decide(1, At(0, 1, 1));
  policy.Decide(2, At(0, 4, 4));
  EXPECT_TRUE(policy.Decide(3, At(0, 1, 1)).orderedOff.empty());
  policy.Decide(3, At(20, 8, 1, true));
  const auto decision = policy.Decide(0, At(21, 4, 4));
  ASSERT_TRUE(decision.shutDown);
  EXPECT_EQ(decision.orderedOff, std::vector<std::size_t>{0})
      << "neither the UPS on utility power, nor the one watched only, nor the one lost on "
         "utility power";
}

TEST(EventDeriverTest, EveryStateAPollReturnsIsReportedOnceAndShortLossesNotAtAll) {
  EventDeriver deriver;
  std::vector<Observation> polls = {
      At(0, 1, 1), At(1, 1, 1), At(2, 2, 2),        At(3, 1, 1),        At(4, 8, 1),
      At(5, 1, 1), At(6, 8, 1), At(21, 8, 1, true), At(22, 8, 1, true), At(23, 4, 4)};
  polls[5].flags.overload = true;
  polls[9].flags.batteryFailed = true;
  polls[9].flags.overload = true;
  std::vector<std::string> names;
  for (const auto& poll : polls) {
    for (const auto& event : deriver.Next(poll)) names.push_back(EventName(event.kind));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"online", "on-battery", "online", "overload",
                                             "communication-lost", "communication-restored",
                                             "on-battery", "low-battery", "battery-failed"}));
}

TEST(EventDeriverTest, AUpsNeverReachedIsToldApartFromOneLost) {
  const auto messages = [](const std::vector<Observation>& polls) {
    EventDeriver deriver;
    std::vector<std::string> said;
    for (const auto& poll : polls) {
      for (const auto& event : deriver.Next(poll)) {
        said.push_back(std::string(EventName(event.kind)) + ": " + event.message);
      }
    }
    return said;
  };
  const auto never = messages({At(0, 8, 0), At(15, 8, 0, true), At(20, 1, 1)});
  ASSERT_EQ(never.size(), 3u);
  EXPECT_EQ(never[0],
            "communication-lost: the UPS has not answered since the service started: is "
            "it on, and is its serial cable on ups.port?");
  EXPECT_EQ(never[1], "communication-restored: the UPS answers at last");
  const auto lost = messages({At(0, 1, 1), At(15, 8, 1, true), At(20, 1, 1)});
  ASSERT_EQ(lost.size(), 3u);
  EXPECT_EQ(lost[1], "communication-lost: no valid reply from the UPS");
  EXPECT_EQ(lost[2], "communication-restored: the UPS answers again");
}

namespace shutdown_sequence {

using corvale::host::EventKind;
using corvale::host::ExitStatus;
using corvale::host::Logger;
using corvale::host::ShutdownSequence;
using corvale::host::ShutdownSteps;
using Stage = ShutdownSequence::Stage;
using namespace std::chrono_literals;

// The made-up clock's time when the sequence looks at it: the latest poll's, unless a test says
// otherwise.
Clock::time_point testNow;

// The world as a shutdown sees it, recorded: the flag, FSD, what ran and what was raised.
struct World {
  bool flag = false, fsd = false;
  std::vector<int> commandResults;  // exit statuses to give, in order; -1: cannot start
  int commandsRun = 0, systemCalls = 0;
  bool systemCallWorks = true;
  std::vector<std::string> events;

  ShutdownSteps Steps() {
    ShutdownSteps steps;
    steps.writeFlag = [this] { flag = true; };
    steps.removeFlag = [this] { flag = false; };
    steps.beforeShutdown = [this](std::function<void()> proceed) {
      fsd = true;
      proceed();
    };
    steps.cancelBeforeShutdown = [this] { fsd = false; };
    steps.runCommand = [this](auto ended) {
      const int result = commandsRun < static_cast<int>(commandResults.size())
                             ? commandResults[static_cast<std::size_t>(commandsRun)]
                             : 0;
      ++commandsRun;
      if (result < 0) return ended(std::nullopt);
      ended(ExitStatus{false, result});
    };
    steps.shutDownSystem = [this](auto done) {
      ++systemCalls;
      done(systemCallWorks, systemCallWorks ? "" : "refused");
    };
    steps.raise = [this](EventKind kind, const std::string&) {
      events.push_back(corvale::host::EventName(kind));
    };
    steps.now = [] { return testNow; };
    return steps;
  }
};

class ShutdownSequenceTest : public ::testing::Test {
 protected:
  ShutdownSequenceTest() : file(std::tmpfile()), log(false, file) { testNow = {}; }
  ~ShutdownSequenceTest() override { std::fclose(file); }
  // One poll a second from `from` to `to` seconds, in state `polled`.
  void Polls(ShutdownSequence& sequence, int from, int to, std::uint32_t polled) {
    for (int second = from; second <= to; ++second) {
      const auto observation = At(second, polled, polled);
      testNow = observation.when;
      if (sequence.Tick(observation)) abandonedAt.push_back(second);
    }
  }
  std::FILE* file;
  Logger log;
  World world;
  std::vector<int> abandonedAt;
};

TEST_F(ShutdownSequenceTest, AFailingCommandIsTriedAgainAndAbandonedOnceThePowerIsBack) {
  world.commandResults = {3, 3, 3};
  ShutdownSequence sequence("shutdown-now", world.Steps(), log, {std::chrono::seconds(30), 5});
  Polls(sequence, 0, 0, 4);
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  EXPECT_TRUE(world.flag);
  EXPECT_TRUE(world.fsd);
  EXPECT_EQ(world.commandsRun, 1);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kWaitingToRetry);
  Polls(sequence, 1, 29, 4);
  EXPECT_EQ(world.commandsRun, 1) << "not before the retry time";
  Polls(sequence, 30, 30, 4);
  EXPECT_EQ(world.commandsRun, 2) << "30 s after the failure";
  // The power returns: a short return changes nothing, one that lasts ends it all.
  Polls(sequence, 32, 40, 1);
  Polls(sequence, 41, 45, 2);
  Polls(sequence, 46, 100, 1);
  EXPECT_EQ(world.commandsRun, 3) << "the reason still held at the second retry";
  EXPECT_EQ(abandonedAt, std::vector<int>{90});
  EXPECT_FALSE(world.flag);
  EXPECT_FALSE(world.fsd);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kIdle);
  EXPECT_EQ(world.events,
            (std::vector<std::string>{"shutdown", "shutdown-failed", "shutdown-failed",
                                      "shutdown-failed", "shutdown-abandoned"}));
  // And a new power failure may shut down again.
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  EXPECT_EQ(world.commandsRun, 4);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kStarted);
}

TEST_F(ShutdownSequenceTest, OnlyFailedShutdownsAreAbandonedAndOnlyForAPowerReason) {
  const struct {
    const char* name;
    std::vector<int> results;
    ShutdownSequence::Reason reason;
    Stage after;
    bool flagAfter;
  } cases[] = {
      {"started: the power race", {0}, ShutdownSequence::Reason::kPower, Stage::kStarted, true},
      {"a primary's FSD holds", std::vector<int>(20, 3), ShutdownSequence::Reason::kForced,
       Stage::kWaitingToRetry, true},
      {"cannot start, then the power returns",
       {-1},
       ShutdownSequence::Reason::kPower,
       Stage::kIdle,
       false},
  };
  for (const auto& c : cases) {
    testNow = {};
    World scene;
    scene.commandResults = c.results;
    ShutdownSequence sequence("shutdown-now", scene.Steps(), log, {std::chrono::seconds(5), 99});
    sequence.Begin("why", c.reason);
    Polls(sequence, 0, 60, 1);
    EXPECT_EQ(sequence.CurrentStage(), c.after) << c.name;
    EXPECT_EQ(scene.flag, c.flagAfter) << c.name;
  }
}

TEST_F(ShutdownSequenceTest, ACommandThatKeepsFailingGivesWayToTheSystemsOwnCall) {
  world.commandResults = {1, -1, 1, 1};
  world.systemCallWorks = false;
  ShutdownSequence sequence("shutdown-now", world.Steps(), log, {std::chrono::seconds(10), 2});
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  Polls(sequence, 0, 11, 4);
  EXPECT_EQ(world.commandsRun, 2);
  EXPECT_EQ(world.systemCalls, 0);
  Polls(sequence, 12, 23, 4);
  EXPECT_EQ(world.commandsRun, 2);
  EXPECT_EQ(world.systemCalls, 1);
  world.systemCallWorks = true;
  Polls(sequence, 24, 60, 4);
  EXPECT_EQ(world.systemCalls, 2);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kStarted);

  World empty;  // no command at all: the system's call at once
  ShutdownSequence direct("", empty.Steps(), log, {});
  direct.Begin("why", ShutdownSequence::Reason::kPower);
  EXPECT_EQ(empty.systemCalls, 1);
  EXPECT_EQ(empty.commandsRun, 0);
}

TEST_F(ShutdownSequenceTest, AFailedShutdownIsTriedAgainRetrySecondsAfterTheFailure) {
  // A poll's time is when it began. While the UPS is lost a poll takes seconds (a driver restart,
  // then read time-outs), so the first poll to see a failure may have begun well before it: the
  // retry is timed from the failure, on the clock, not from that poll.
  world.commandResults = {3, 3};
  ShutdownSequence sequence("shutdown-now", world.Steps(), log, {std::chrono::seconds(10), 5});
  const auto at = [](double seconds) {
    return Clock::time_point() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  testNow = at(4.4);
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  ASSERT_EQ(world.commandsRun, 1);
  // The poll that began at 0 s (a driver restart) ends at 4.5 s; then one a second, each looked
  // at a second after it began.
  auto observation = At(0, 8, 2);
  testNow = at(4.5);
  sequence.Tick(observation);
  double failedAgainAt = 0;
  for (double tick = 5.5; tick < 20; tick += 1.0) {
    observation.when = at(tick - 1.0);
    testNow = at(tick);
    sequence.Tick(observation);
    if (world.commandsRun == 2 && failedAgainAt == 0) failedAgainAt = tick;
  }
  EXPECT_GE(failedAgainAt, 4.4 + 10)
      << "tried again " << failedAgainAt - 4.4 << " s after it failed";
  EXPECT_LT(failedAgainAt, 4.4 + 11);
  EXPECT_EQ(Count(Messages(file), "Trying again in 10 s"), 2);
}

TEST_F(ShutdownSequenceTest, ShutsDownOnceWhoeverAsksAndStoppingLeavesNoFlagOfAFailedOne) {
  ShutdownSequence sequence("shutdown-now", world.Steps(), log, {});
  sequence.Begin("forced shutdown (FSD) by the primary admin", ShutdownSequence::Reason::kForced);
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  Polls(sequence, 0, 100, 4);
  EXPECT_EQ(world.commandsRun, 1);
  EXPECT_EQ(world.events, std::vector<std::string>{"shutdown"});
  sequence.Stop();
  EXPECT_TRUE(world.flag) << "a started shutdown keeps its power cut";

  World failed;
  failed.commandResults = {3};
  ShutdownSequence stopped("shutdown-now", failed.Steps(), log, {});
  stopped.Begin("why", ShutdownSequence::Reason::kPower);
  stopped.Stop();
  EXPECT_FALSE(failed.flag);
  stopped.Begin("why", ShutdownSequence::Reason::kPower);
  EXPECT_EQ(failed.commandsRun, 1) << "nothing starts after the stop";
}

TEST_F(ShutdownSequenceTest, AShutdownThatLeavesTheHostRunningFailsIsTriedAgainAndAbandoned) {
  // The command says yes (a `shutdown +5` cancelled since, a harmless test command), and the host
  // keeps running.
  ShutdownSequence sequence("shutdown-now", world.Steps(), log,
                            {std::chrono::seconds(30), 5, std::chrono::seconds(300)});
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kStarted);
  Polls(sequence, 0, 299, 4);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kStarted) << "the host may take its time";
  Polls(sequence, 300, 300, 4);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kWaitingToRetry);
  EXPECT_EQ(world.events, (std::vector<std::string>{"shutdown", "shutdown-failed"}));
  EXPECT_EQ(Count(Messages(file), "the host did NOT shut down: it still runs 300 s after"), 1);
  // Disarmed by hand meanwhile: a new try arms the power cut again, as the reason still holds.
  world.flag = false;
  Polls(sequence, 301, 331, 4);
  EXPECT_EQ(world.commandsRun, 2);
  EXPECT_TRUE(world.flag);
  EXPECT_EQ(sequence.CurrentStage(), Stage::kStarted);
  // The power comes back; the host still runs: abandoned like any failed shutdown.
  Polls(sequence, 332, 700, 1);
  EXPECT_EQ(world.commandsRun, 2) << "no try once the power is back";
  EXPECT_EQ(sequence.CurrentStage(), Stage::kIdle);
  EXPECT_FALSE(world.flag);
  EXPECT_FALSE(world.fsd);
  EXPECT_EQ(world.events.back(), "shutdown-abandoned");
  EXPECT_EQ(abandonedAt.size(), 1u);
  // A later power failure is acted on again.
  sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  EXPECT_EQ(world.commandsRun, 3);
  EXPECT_TRUE(world.flag);

  // A primary's FSD holds: tried again, never abandoned.
  World forced;
  ShutdownSequence primary("shutdown-now", forced.Steps(), log,
                           {std::chrono::seconds(30), 5, std::chrono::seconds(60)});
  primary.Begin("forced shutdown (FSD) by the primary admin", ShutdownSequence::Reason::kForced);
  Polls(primary, 0, 400, 1);
  EXPECT_GE(forced.commandsRun, 4);
  EXPECT_TRUE(forced.flag);
  EXPECT_NE(primary.CurrentStage(), Stage::kIdle);

  // Where the command need not shut the host down (the monitor's), one that ended well is done.
  World monitor;
  ShutdownSequence once("notify-me", monitor.Steps(), log,
                        {std::chrono::seconds(30), 5, std::chrono::seconds(0)});
  once.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
  Polls(once, 0, 4000, 4);
  EXPECT_EQ(monitor.commandsRun, 1);
  EXPECT_EQ(once.CurrentStage(), Stage::kStarted);
}

TEST_F(ShutdownSequenceTest, ConcurrentStopNeverLeavesTheFlagOfAShutdownThatDidNotStart) {
  // Writing the flag takes its time (a disk, a request to the root helper): a stop that comes
  // meanwhile must not remove it first and have the write land after.
  for (int round = 0; round < 20; ++round) {
    std::mutex mutex;
    std::vector<std::string> landed;  // "write" and "remove", in the order they took effect
    ShutdownSteps steps;
    steps.writeFlag = [&] {
      std::this_thread::sleep_for(2ms);
      std::lock_guard lock(mutex);
      landed.push_back("write");
    };
    steps.removeFlag = [&] {
      std::lock_guard lock(mutex);
      landed.push_back("remove");
    };
    steps.beforeShutdown = [](std::function<void()>) {};  // the other machines never log out
    ShutdownSequence sequence("shutdown-now", steps, log, {});
    std::thread beginning([&] { sequence.Begin("why", ShutdownSequence::Reason::kPower); });
    std::this_thread::sleep_for(1ms);
    sequence.Stop();
    beginning.join();
    std::lock_guard lock(mutex);
    EXPECT_TRUE(landed.empty() || landed.back() == "remove") << "round " << round;
  }
}

TEST_F(ShutdownSequenceTest, AReloadEitherComesBeforeTheShutdownOrChangesNothingOfIt) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> commands{0}, systemCalls{0};
    ShutdownSteps steps;
    steps.runCommand = [&](auto ended) {
      ++commands;
      ended(ExitStatus{});
    };
    steps.shutDownSystem = [&](auto done) {
      ++systemCalls;
      done(true, "");
    };
    // Started with no command (the system's own call); the reload sets one.
    ShutdownSequence sequence("", steps, log, {});
    std::thread beginning([&] { sequence.Begin("why", ShutdownSequence::Reason::kPower); });
    const bool reloaded = sequence.Reconfigure("shutdown-now", {});
    beginning.join();
    EXPECT_EQ(commands + systemCalls, 1) << "round " << round;
    EXPECT_EQ(commands == 1, reloaded) << "round " << round;
    EXPECT_FALSE(sequence.Reconfigure("other", {})) << "a shutdown under way keeps its settings";
  }
}

TEST_F(ShutdownSequenceTest, ACommandThatFailsAfterTheStopLeavesNoFlag) {
  for (const int exitCode : {1, 0}) {
    World scene;
    std::function<void(const std::optional<ExitStatus>&)> ending;
    auto steps = scene.Steps();
    steps.runCommand = [&](auto ended) {
      ++scene.commandsRun;
      ending = std::move(ended);
    };
    ShutdownSequence sequence("shutdown-now", steps, log, {});
    sequence.Begin("the UPS's battery is low", ShutdownSequence::Reason::kPower);
    ASSERT_EQ(sequence.CurrentStage(), Stage::kRunning);
    sequence.Stop();
    EXPECT_TRUE(scene.flag) << "the command may be taking the host down";
    std::thread([&] { ending(ExitStatus{false, exitCode}); }).join();
    Polls(sequence, 0, 100, 4);
    EXPECT_EQ(scene.commandsRun, 1) << "nothing is tried after the stop";
    EXPECT_EQ(scene.flag, exitCode == 0) << "exit " << exitCode;
  }
}

}  // namespace shutdown_sequence

TEST(EventDeriverTest, APowerFailureWithALowBatteryAndEveryConditionsEnd) {
  EventDeriver deriver;
  std::vector<Observation> polls = {At(0, 1, 1), At(1, 4, 4), At(2, 1, 1), At(3, 1, 1),
                                    At(4, 1, 1), At(5, 2, 2), At(6, 4, 4)};
  polls[2].flags.systemFailed = true;
  polls[3].flags.overload = true;
  polls[3].flags.batteryFailed = true;
  std::vector<std::string> names;
  for (const auto& poll : polls) {
    for (const auto& event : deriver.Next(poll)) names.push_back(EventName(event.kind));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"online", "on-battery", "low-battery", "online",
                                             "system-failed", "battery-failed", "overload",
                                             "system-ok", "battery-ok", "overload-ended",
                                             "on-battery", "low-battery"}));
  EXPECT_EQ(corvale::host::EventPriority(corvale::host::EventKind::kSystemFailed),
            corvale::host::Priority::kError);
  EXPECT_EQ(corvale::host::EventPriority(corvale::host::EventKind::kShutdownFailed),
            corvale::host::Priority::kCritical);
}

namespace runner {

using corvale::host::CommandRunner;
using corvale::host::ExitStatus;
using corvale::host::Logger;
using namespace std::chrono_literals;

// Waits for each command's end through the runner's callback.
struct Endings {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<ExitStatus>> seen;
  CommandRunner::OnExit Hear() {
    return [this](const std::optional<ExitStatus>& status) {
      std::lock_guard lock(mutex);
      seen.push_back(status);
      changed.notify_all();
    };
  }
  bool WaitFor(std::size_t count, std::chrono::seconds timeout = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return seen.size() >= count; });
  }
};

TEST(CommandRunnerTest, ACommandPastItsTimeIsAskedToEndThenKilled) {
  std::FILE* file = std::tmpfile();
  Logger log(false, file);
  CommandRunner runner(log, {0, 300ms});
  Endings endings;
  ASSERT_TRUE(runner.Start("hook", "exec sleep 30", {}, 200ms, endings.Hear()));
  // This one ignores SIGTERM, as its sleep does after it.
  ASSERT_TRUE(runner.Start("stubborn hook", "trap '' TERM; sleep 30", {}, 200ms, endings.Hear()));
  ASSERT_TRUE(endings.WaitFor(2)) << Logged(file);
  std::lock_guard lock(endings.mutex);
  ASSERT_TRUE(endings.seen[0] && endings.seen[1]);
  EXPECT_EQ(endings.seen[0]->Describe(), "killed by signal 15");
  EXPECT_EQ(endings.seen[1]->Describe(), "killed by signal 9");
  EXPECT_NE(Logged(file).find("the stubborn hook did not end when asked: killing it"),
            std::string::npos);
}

TEST(CommandRunnerTest, CommandsThatEndWellAreCountedAndFailuresLoggedEachTime) {
  std::FILE* file = std::tmpfile();
  Logger log(false, file);
  CommandRunner hooks(log, {.countWellEndedFor = 3600s});
  const auto run = [&](const std::string& what, const std::string& command) {
    Endings ended;
    ASSERT_TRUE(hooks.Start(what, command, {}, 0ms, ended.Hear()));
    ASSERT_TRUE(ended.WaitFor(1));  // heard after it was logged
  };
  for (const char* what : {"first hook", "second hook", "third hook"}) run(what, "true");
  run("failing hook", "exit 3");
  run("fourth hook", "true");
  run("fifth hook", "true");
  hooks.StopWatching();
  EXPECT_EQ(Messages(file),
            "the first hook ended: exit status 0\n"
            "2 more commands ended with exit status 0 since the last line\n"
            "the failing hook ended: exit status 3\n"
            "the fourth hook ended: exit status 0\n"
            "1 more command ended with exit status 0 since the last line\n");
}

// Whether the process `pid` has ended: gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const auto state = text.find(") ");
  return state != std::string::npos && text[state + 2] == 'Z';
}

TEST(CommandRunnerTest, CommandsStillRunningWhenTheServiceStopsAreEndedWithAllTheyStarted) {
  std::FILE* file = std::tmpfile();
  corvale::TemporaryDirectory folder("corvale-runner");
  const auto pids = folder.Path() / "pids";
  std::vector<pid_t> started;
  {
    Logger log(false, file);
    CommandRunner hooks(log, {16});
    // The hook's shell and a program it left in the background: its process group.
    ASSERT_TRUE(hooks.Start("event command",
                            "sleep 300 & echo $$ $! > " + pids.string() + ".new && mv " +
                                pids.string() + ".new " + pids.string() + "; wait",
                            {}, 120s));
    for (int i = 0; i < 100 && !std::filesystem::exists(pids); ++i)
      std::this_thread::sleep_for(50ms);
    std::ifstream in(pids);
    for (pid_t pid; in >> pid;) started.push_back(pid);
    ASSERT_EQ(started.size(), 2u);
    hooks.StopWatching();
  }
  for (const pid_t pid : started) {
    for (int i = 0; i < 40 && !Ended(pid); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Ended(pid)) << pid << " outlived the service";
  }
  EXPECT_EQ(Count(Messages(file), "the event command still ran as the service stopped: ended it"),
            1u)
      << Messages(file);
  std::fclose(file);
}

TEST(CommandRunnerTest, AFullRunnerDropsCommandsAndSaysSoOncePerBurst) {
  std::FILE* file = std::tmpfile();
  Logger log(false, file);
  const auto marker =
      std::filesystem::temp_directory_path() / ("corvale-runner-" + std::to_string(::getpid()));
  CommandRunner hooks(log, {2, 100ms});
  Endings endings;
  EXPECT_TRUE(hooks.Start("hook", "exec sleep 30", {}, 500ms, endings.Hear()));
  EXPECT_TRUE(hooks.Start("hook", "exec sleep 30", {}, 500ms, endings.Hear()));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(hooks.Start("hook", "true", {}, 0ms));
  ASSERT_TRUE(endings.WaitFor(2));
  Endings last;
  EXPECT_TRUE(hooks.Start("hook", "echo \"$CORVALE_X\" > " + marker.string(), {{"CORVALE_X", "y"}},
                          0ms, last.Hear()));
  ASSERT_TRUE(last.WaitFor(1));
  const std::string logged = Logged(file);
  EXPECT_EQ(Count(logged, "dropping"), 1u) << logged;
  EXPECT_NE(logged.find("5 commands were dropped"), std::string::npos) << logged;
  std::ifstream written(marker);
  std::string value;
  std::getline(written, value);
  EXPECT_EQ(value, "y");
  std::filesystem::remove(marker);
}

TEST(CommandRunnerTest, ADrillsHookTakesNoPlaceARealEventNeedsAndEachDroppedKindIsNamed) {
  std::FILE* file = std::tmpfile();
  Logger log(false, file);
  CommandRunner hooks(log, {4, 100ms});
  Endings endings;
  // A spare command (a drill's hook) only where no other runs and half the places stay free.
  EXPECT_TRUE(
      hooks.Start("event command for drill", "exec sleep 30", {}, 800ms, endings.Hear(), true));
  EXPECT_FALSE(hooks.Start("event command for drill", "true", {}, 0ms, {}, true));
  EXPECT_TRUE(
      hooks.Start("event command for on-battery", "exec sleep 30", {}, 800ms, endings.Hear()));
  EXPECT_FALSE(hooks.Start("event command for drill", "true", {}, 0ms, {}, true))
      << "half the places taken: none for a drill";
  EXPECT_TRUE(
      hooks.Start("event command for low-battery", "exec sleep 30", {}, 800ms, endings.Hear()));
  EXPECT_TRUE(hooks.Start("event command for shutdown", "exec sleep 30", {}, 800ms, endings.Hear()))
      << "the real events still have their places";
  EXPECT_FALSE(hooks.Start("event command for online", "true", {}, 0ms));
  EXPECT_FALSE(hooks.Start("event command for online", "true", {}, 0ms));
  EXPECT_FALSE(hooks.Start("event command for kill-power", "true", {}, 0ms));
  ASSERT_TRUE(endings.WaitFor(4));
  const std::string logged = Logged(file);
  // Each kind dropped is named once a burst (a start between drops begins another): a drill's
  // drop never hides a real event's.
  EXPECT_EQ(Count(logged, "dropping the event command for drill"), 2u) << logged;
  EXPECT_EQ(Count(logged, "dropping the event command for online"), 1u) << logged;
  EXPECT_EQ(Count(logged, "dropping the event command for kill-power"), 1u) << logged;
}

TEST(EventDispatcherTest, HooksHearTheEventsNameStateAndMessage) {
  std::FILE* file = std::tmpfile();
  Logger log(false, file);
  const auto marker =
      std::filesystem::temp_directory_path() / ("corvale-hook-" + std::to_string(::getpid()));
  CommandRunner hooks(log, {16});
  corvale::host::EventDispatcher dispatcher(
      "ups1",
      "echo \"$CORVALE_UPS_EVENT|$CORVALE_UPS_NAME|$CORVALE_UPS_STATE|$CORVALE_UPS_MESSAGE|"
      "$CORVALE_UPS_SEQUENCE|${#CORVALE_UPS_TIME}\" > " +
          marker.string(),
      &log, hooks);
  dispatcher.Raise({corvale::host::EventKind::kSystemFailed, 1, "it broke"});
  std::string line;
  for (int i = 0; i < 100 && line.empty(); ++i) {
    std::this_thread::sleep_for(50ms);
    std::ifstream written(marker);
    std::getline(written, line);
  }
  EXPECT_EQ(line, "system-failed|ups1|1|it broke|1|20");
  EXPECT_EQ(corvale::host::UtcTimestamp(std::chrono::system_clock::time_point()),
            "1970-01-01T00:00:00Z");
  EXPECT_NE(Logged(file).find("ups1: system-failed: it broke"), std::string::npos);
  std::filesystem::remove(marker);
}

}  // namespace runner

TEST(ConfigTest, ShutdownAndNetworkKeysAreCheckedWhereTheyStand) {
  const struct {
    const char* name;
    const char* text;
    int line;  // of the first problem; 0: none expected
    const char* says;
  } cases[] = {
      {"retry and limit read",
       "[ups]\nport = \"COM1\"\n[shutdown]\nretry_seconds = 5\n"
       "on_battery_seconds = 90\ndown_within_seconds = 600\n",
       0, ""},
      {"retry zero", "[ups]\nport = \"COM1\"\n[shutdown]\nretry_seconds = 0\n", 4, "retry_seconds"},
      {"down within an hour at most",
       "[ups]\nport = \"COM1\"\n[shutdown]\ndown_within_seconds = 3601\n", 4, "from 1 to 3600"},
      {"hostsync too long", "[ups]\nport = \"COM1\"\n[network]\nhostsync_seconds = 900\n", 4,
       "from 0 to 300"},
      {"no such address", "[ups]\nport = \"COM1\"\n[network]\nlisten = [\"300.1.1.1:65001\"]\n", 4,
       "300.1.1.1"},
      {"twice", "[ups]\nport = \"COM1\"\n[network]\nlisten = [\"[::1]:65001\", \"[::1]:65001\"]\n",
       4, "twice"},
      {"port zero", "[ups]\nport = \"COM1\"\n[network]\nlisten = [\"127.0.0.1:0\"]\n", 4, ":0"},
      {"spaces in a password",
       "[ups]\nport = \"COM1\"\n[[users]]\nname = \"mon\"\n\npassword = \"two words\"\n", 6,
       "cannot send"},
      {"a wrong upsmon on its line",
       "[ups]\nport = \"COM1\"\n[[users]]\nname = \"mon\"\npassword = \"x\"\nupsmon = \"boss\"\n",
       6, "primary"},
      // An agent: a server instead of a port, a secondary's login, nothing shared.
      {"an agent", "[ups]\nserver = \"ups-host\"\nuser = \"a1\"\npassword = \"pw\"\n", 0, ""},
      {"a port and a server",
       "[ups]\nport = \"COM1\"\nserver = \"h\"\nuser = \"a\"\n"
       "password = \"p\"\n",
       3, "exclude"},
      {"an agent without a login", "[ups]\nname = \"rack\"\nserver = \"[::1]\"\n", 3,
       "needs ups.user and ups.password"},
      {"an agent serving NUT",
       "[ups]\nserver = \"h\"\nuser = \"a\"\npassword = \"p\"\n"
       "[network]\nhostsync_seconds = 5\n",
       5, "shares nothing"},
      {"an agent's key without a server", "[ups]\nport = \"COM1\"\ndeadtime = 30\n", 3,
       "needs ups.server"},
      {"a server that is no address",
       "[ups]\nserver = \"h:99999\"\nuser = \"a\"\n"
       "password = \"p\"\n",
       2, "ups.server takes"},
      {"a fingerprint cut short",
       "[ups]\nserver = \"h\"\nuser = \"a\"\npassword = \"p\"\n"
       "fingerprint = \"sha256 Fingerprint=AB:CD\"\n",
       5, "64 hexadecimal"},
      {"a serial key on an agent",
       "[ups]\nserver = \"h\"\nuser = \"a\"\npassword = \"p\"\n"
       "[shutdown]\nturn_off_delay = 5\n",
       0, ""},
      {"a CA and a pin",
       "[ups]\nserver = \"h\"\nuser = \"a\"\npassword = \"p\"\n"
       "ca_file = \"/etc/ca.pem\"\nfingerprint = "
       "\"sha256:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"\n",
       2, "exclude each other"},
      {"a deadtime too short to ride out a restart",
       "[ups]\nserver = \"h\"\nuser = \"a\"\n"
       "password = \"p\"\ndeadtime = 1\n",
       5, "from 3 to 600"},
  };
  for (const auto& c : cases) {
    const auto loaded = corvale::host::ParseConfig(c.text);
    if (c.line == 0 && loaded.config.ups().Agent()) {
      EXPECT_TRUE(loaded.problems.empty()) << c.name << ": " << loaded.problems.front().message;
      EXPECT_EQ(loaded.config.ups().deadtime, 15u);
      EXPECT_TRUE(loaded.config.network.listen.empty()) << "an agent serves no NUT clients";
      // A file made from the shipped one: the serial keys are warned of, not refused.
      const auto checks = corvale::host::CheckBeforeStart(loaded.config, "/nonexistent/x.toml");
      const bool warned = !loaded.config.ignoredByAgent.empty();
      EXPECT_EQ(warned, std::any_of(checks.warnings.begin(), checks.warnings.end(),
                                    [](const std::string& w) {
                                      return w.find("it ignores them") != std::string::npos;
                                    }))
          << c.name;
      continue;
    }
    if (c.line == 0) {
      EXPECT_TRUE(loaded.problems.empty()) << c.name << ": " << loaded.problems.front().message;
      EXPECT_EQ(loaded.config.shutdown.retrySeconds, 5u) << c.name;
      EXPECT_EQ(loaded.config.shutdown.onBatterySeconds, 90u) << c.name;
      EXPECT_EQ(loaded.config.shutdown.downWithinSeconds, 600u) << c.name;
      continue;
    }
    ASSERT_FALSE(loaded.problems.empty()) << c.name;
    EXPECT_EQ(loaded.problems.front().line, c.line) << c.name;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << c.name << ": " << loaded.problems.front().message;
  }
}

namespace supervision {

using namespace std::chrono_literals;

// A condition that lasts is logged when it starts, at the given pace while it lasts, and when it
// ends; another condition is logged at once.
TEST(LastingConditionTest, LoggedWhenItStartsAtAPaceWhileItLastsAndWhenItEnds) {
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  corvale::host::LastingCondition restarting(log, 30min);
  const auto at = [](std::chrono::minutes minutes) { return Clock::time_point() + minutes; };
  using corvale::host::Priority;
  for (int minute = 0; minute < 70; ++minute) {
    restarting.Holds(Priority::kInfo, "restarting", at(std::chrono::minutes(minute)));
  }
  restarting.Holds(Priority::kError, "cannot start", at(70min));
  restarting.Ends("found");
  restarting.Ends("found");  // nothing holds any more
  EXPECT_EQ(Messages(file),
            "restarting\n"
            "restarting (still, 30 times)\n"
            "restarting (still, 30 times)\n"
            "cannot start\n"
            "found\n");
}

// The restarts while the UPS is lost: one line when they begin, one when they find it.
TEST(SupervisorTest, RestartsWhileTheUpsIsLostAreLoggedWhenTheyStartAndEnd) {
  corvale::testing::Line line;
  corvale::DriverLibrary driver(CORVALE_DRIVER_LIBRARY);
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Clock::time_point> lostSince;
  bool answered = false;
  corvale::host::Supervisor supervisor(
      driver, corvale::Setup{line.registry.Root().string(), line.Devices().string(), "COM1"}, log,
      [&](const Observation& observation) {
        std::lock_guard lock(mutex);
        if (observation.linkLost && !lostSince) lostSince = observation.when;
        answered = lostSince && observation.polled != 8;
        changed.notify_all();
      },
      {.pollEvery = 50ms, .lostAfter = 200ms, .restartEvery = 100ms});
  line.peer->SetFault(corvale::UpsPeer::Fault::kGarbled);
  std::thread polling([&] { supervisor.Run(); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        changed.wait_for(lock, 30s, [&] { return lostSince && Clock::now() - *lostSince >= 2s; }));
  }
  line.peer->SetFault(corvale::UpsPeer::Fault::kNone);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 30s, [&] { return answered; }));
  }
  supervisor.Stop();
  polling.join();
  const std::string logged = Messages(file);
  EXPECT_EQ(Count(logged, "restarting"), 1u) << logged;
  EXPECT_NE(logged.find("restarting the driver every 100 ms to find the UPS again\n"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find("the restarted driver found the UPS\n"), std::string::npos) << logged;
}

// The whole host with its own command runner: a stop while the shutdown command still runs, and
// the command then fails.
TEST(HostStopTest, ACommandThatFailsAfterTheStopLeavesNoFlagOnTheDisk) {
  corvale::testing::Line line;
  corvale::DriverLibrary driver(CORVALE_DRIVER_LIBRARY);
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  const std::filesystem::path flag = line.directory.Path() / "run/killpower";
  corvale::host::HostOptions options;
  options.setup = corvale::Setup{line.registry.Root().string(), line.Devices().string(), "COM1"};
  options.shutdownCommand = "sleep 1; exit 1";
  options.flagFile = flag.string();
  options.logEvents = false;
  options.timing.pollEvery = 50ms;
  line.peer->SetStatus(0x0001 | 0x0004);  // on battery, low
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) std::this_thread::sleep_for(50ms);
    return done();
  };
  {
    corvale::host::Host host(driver, options, log);
    host.Start();
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(flag); }));
    host.Stop();
    EXPECT_TRUE(std::filesystem::exists(flag)) << "the command may yet take the host down";
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(flag); }));
  }  // its threads end: the log may be read
  EXPECT_NE(Messages(file).find("after the service stopped: no power cut will follow"),
            std::string::npos)
      << Messages(file);
  std::fclose(file);
}

// A shutdown command that hangs (a prompt, a tool waiting for the network) never shut a host
// down: it is ended at its time limit, the shutdown fails and is tried again, and then the
// system's own call is made.
TEST(HostStopTest, AHungShutdownCommandIsEndedAndTriedAgainThenTheSystemsCallIsMade) {
  corvale::testing::Line line;
  corvale::DriverLibrary driver(CORVALE_DRIVER_LIBRARY);
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  corvale::host::HostOptions options;
  options.setup = corvale::Setup{line.registry.Root().string(), line.Devices().string(), "COM1"};
  options.shutdownCommand = "sleep 300";
  options.shutdownCommandTimeout = 500ms;
  options.shutdownTiming = {1s, 2, 300s};
  std::atomic<int> systemCalls{0};
  options.systemCall = [&](const std::string&, std::string*, std::string*) {
    ++systemCalls;
    return true;
  };
  options.logEvents = false;
  options.timing.pollEvery = 50ms;
  line.peer->SetStatus(0x0001 | 0x0004);  // on battery, low
  {
    corvale::host::Host host(driver, options, log);
    host.Start();
    for (int i = 0; i < 200 && systemCalls == 0; ++i) std::this_thread::sleep_for(50ms);
  }
  const std::string logged = Messages(file);
  EXPECT_EQ(systemCalls, 1) << logged;
  EXPECT_EQ(Count(logged, "the shutdown command still runs after its time: asking it to end"), 2u)
      << logged;
  EXPECT_EQ(Count(logged, "the shutdown command 'sleep 300' was killed by signal 15"), 2u)
      << logged;
  std::fclose(file);
}

}  // namespace supervision

// Observations a test chooses, one every 20 ms, as a poll loop makes them; or, hung, none at all
// until stopped (a port that never answers).
class ChosenSource : public corvale::host::UpsSource {
 public:
  explicit ChosenSource(Listener listener) : listener_(std::move(listener)) {}
  void Run() override {
    while (!stopping_) {
      std::optional<Observation> observation;
      {
        std::lock_guard lock(mutex_);
        if (!hung_) {
          observation = next_;
          observation->when = Clock::now();
          latest_ = observation;
          ++polls_;
        }
      }
      if (observation) listener_(*observation);
      std::this_thread::sleep_for(20ms);
    }
  }
  void Stop() override { stopping_ = true; }
  std::optional<Observation> Latest() const override {
    std::lock_guard lock(mutex_);
    return latest_;
  }
  void Set(std::uint32_t state) {
    std::lock_guard lock(mutex_);
    next_.polled = state;
    next_.state = state;
    next_.flags.onBattery = state != 1;
    next_.flags.lowBattery = state == 4;
  }
  void Hang() {
    std::lock_guard lock(mutex_);
    hung_ = true;
  }
  int Polls() const {
    std::lock_guard lock(mutex_);
    return polls_;
  }

 private:
  Listener listener_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  Observation next_;
  std::optional<Observation> latest_;
  bool hung_ = false;
  int polls_ = 0;
};

// Two UPSes feeding one supply each of a machine that runs on one: each on its own thread, so one
// that hangs holds up nothing; its events name it; the machine goes down only when the second
// UPS's battery is low too, and once.
TEST(SeveralUpsesHostTest, TheUpsesOrderedOffAreForgottenWhenTheShutdownIsAbandoned) {
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  corvale::host::HostOptions options;
  options.logEvents = false;
  options.minSupplies = 1;
  options.shutdownCommand = "false";  // fails, and is tried again after a second
  options.shutdownTiming.retryEvery = 1s;
  options.systemCall = [](const std::string&, std::string* error, std::string*) {
    *error = "not here";
    return false;
  };
  std::vector<ChosenSource*> sources;
  std::vector<corvale::host::Host::UnitSpec> units;
  for (const auto& [name, supplies] :
       {std::pair{"left", 1u}, std::pair{"right", 1u}, std::pair{"watched", 0u}}) {
    corvale::host::UnitOptions unit;
    unit.name = name;
    unit.supplies = supplies;
    units.push_back({unit, [&sources](corvale::host::UpsSource::Listener listener) {
                       auto made = std::make_unique<ChosenSource>(std::move(listener));
                       made->Set(1);
                       sources.push_back(made.get());
                       return made;
                     }});
  }
  corvale::host::Host host(std::move(units), options, log);
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(20ms);
    return done();
  };
  host.Start();
  ASSERT_TRUE(waitFor([&] { return sources[2]->Polls() > 2; }));
  sources[2]->Set(4);
  sources[0]->Set(4);
  ASSERT_TRUE(waitFor([&] { return sources[0]->Polls() > 4; }));
  EXPECT_TRUE(host.OrderedOff().empty()) << "the right UPS still feeds a supply";
  sources[1]->Set(4);
  ASSERT_TRUE(waitFor([&] { return host.OrderedOff().size() == 2; }));
  EXPECT_EQ(host.OrderedOff(), (std::vector<std::size_t>{0, 1})) << "never the one watched only";
  // The power comes back while the failed shutdown waits to be tried again: abandoned, nothing
  // of it may cut the power later.
  sources[0]->Set(1);
  sources[1]->Set(1);
  EXPECT_TRUE(waitFor([&] { return host.OrderedOff().empty(); }));
  host.Stop();
  std::fclose(file);
}

TEST(SeveralUpsesHostTest, OneHungUpsHoldsUpNothingAndTheSecondLowBatteryShutsDown) {
  std::FILE* file = std::tmpfile();
  corvale::host::Logger log(false, file);
  corvale::host::HostOptions options;
  options.logEvents = false;
  options.minSupplies = 1;
  std::atomic<int> systemCalls{0};
  std::string reason;
  std::mutex mutex;
  options.systemCall = [&](const std::string& why, std::string*, std::string*) {
    std::lock_guard lock(mutex);
    reason = why;
    ++systemCalls;
    return true;
  };
  std::vector<ChosenSource*> sources;
  std::vector<corvale::host::Host::UnitSpec> units;
  for (const char* name : {"left", "right"}) {
    corvale::host::UnitOptions unit;
    unit.name = name;
    units.push_back({unit, [&sources](corvale::host::UpsSource::Listener listener) {
                       auto made = std::make_unique<ChosenSource>(std::move(listener));
                       made->Set(1);
                       sources.push_back(made.get());
                       return made;
                     }});
  }
  std::vector<std::string> events;
  std::string shutdownSaid;
  {
    corvale::host::Host host(std::move(units), options, log);
    ASSERT_EQ(sources.size(), 2u);
    host.OnEvent([&](const corvale::host::UpsEvent& event) {
      std::lock_guard lock(mutex);
      events.push_back(event.ups + " " + EventName(event.kind));
      if (event.kind == corvale::host::EventKind::kShutdown) shutdownSaid = event.message;
    });
    const auto waitFor = [](const std::function<bool()>& done) {
      for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(20ms);
      return done();
    };
    host.Start();
    ASSERT_TRUE(waitFor([&] { return sources[0]->Polls() > 2 && sources[1]->Polls() > 2; }));
    sources[0]->Set(4);
    ASSERT_TRUE(waitFor([&] {
      const auto latest = sources[0]->Latest();
      return latest && latest->polled == 4;
    }));
    sources[0]->Hang();  // low, then silent: it still counts as low
    const int before = sources[1]->Polls();
    ASSERT_TRUE(waitFor([&] { return sources[1]->Polls() > before + 10; }))
        << "the other UPS's polls go on";
    EXPECT_EQ(systemCalls, 0) << "the right UPS still feeds a supply";
    sources[1]->Set(4);
    ASSERT_TRUE(waitFor([&] { return systemCalls > 0; }));
    std::this_thread::sleep_for(200ms);
    const auto facts = host.Supplies();
    EXPECT_EQ(facts.fed, 0u);
    EXPECT_EQ(facts.minimum, 1u);
  }
  EXPECT_EQ(systemCalls, 1);
  EXPECT_EQ(reason, "corvale: power failure");
  EXPECT_NE(shutdownSaid.find("left: the UPS's battery is low; right: the UPS's battery is low"),
            std::string::npos)
      << shutdownSaid;
  const auto has = [&](const std::string& said) {
    return std::count(events.begin(), events.end(), said);
  };
  EXPECT_EQ(has("left online"), 1);
  EXPECT_EQ(has("right online"), 1);
  EXPECT_EQ(has("left low-battery"), 1);
  EXPECT_EQ(has("right low-battery"), 1);
  EXPECT_EQ(has("right supplies-low"), 1) << "said by the UPS that took the last supply";
  EXPECT_EQ(has("left supplies-low"), 0);
  EXPECT_EQ(has(" shutdown"), 1) << "the machine's own event, once, named by no single UPS";
  std::fclose(file);
}

}  // namespace

namespace {

// Holds `connections` conversations with the channel at `path` as `uid`, from a child process,
// until killed; its pid once every connection is made (each waits for a request it never gets).
pid_t HoldConversationsAs(uid_t uid, const std::filesystem::path& path, int connections) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    for (int i = 0; i < connections; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(2);
    }
    [[maybe_unused]] const auto said = write(ready[1], "x", 1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  const bool connected = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!connected) {
    waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

}  // namespace

TEST(ControlChannelTest, NoUserTakesEverySlotAndRootAndTheServicesAccountAlwaysHaveOne) {
  if (geteuid() != 0) GTEST_SKIP() << "asking as other users needs root";
  corvale::TemporaryDirectory folder;
  std::filesystem::permissions(folder.Path(), std::filesystem::perms(0755));
  const auto path = folder.Path() / "control";
  std::string error;
  auto server = corvale::host::ServeControl(
      path.string(),
      [](const std::string& request, const corvale::host::ControlPeer& peer) {
        return request + " answered for " + peer.name + "\n";
      },
      &error);
  ASSERT_NE(server, nullptr) << error;
  // Two local users (any uid will do) hold three conversations each, without a word (each
  // conversation waits 2 s for its request): a third user is turned away, root is not.
  std::vector<pid_t> holders;
  for (const uid_t uid : {65534u, 65533u}) {
    holders.push_back(HoldConversationsAs(uid, path, 3));
    ASSERT_GT(holders.back(), 0);
  }
  int third[2];
  ASSERT_EQ(pipe(third), 0);
  const pid_t other = fork();
  if (other == 0) {
    close(third[0]);
    if (setgid(65532) != 0 || setuid(65532) != 0) _exit(1);
    std::string why;
    const auto answer =
        corvale::host::AskService(path.string(), "STATUS", std::chrono::seconds(3), &why);
    const std::string said = answer ? *answer : "no answer: " + why;
    [[maybe_unused]] const auto written = write(third[1], said.data(), said.size());
    _exit(0);
  }
  close(third[1]);
  std::string said;
  char chunk[256];
  for (ssize_t got; (got = read(third[0], chunk, sizeof chunk)) > 0;) {
    said.append(chunk, static_cast<std::size_t>(got));
  }
  close(third[0]);
  waitpid(other, nullptr, 0);
  EXPECT_TRUE(said.starts_with(corvale::host::kControlBusyAnswer))
      << "the others' slots are taken: " << said;
  const auto asked =
      corvale::host::AskService(path.string(), "STATUS", std::chrono::seconds(3), &error);
  ASSERT_TRUE(asked) << error;
  EXPECT_EQ(*asked, "STATUS answered for uid 0\n") << "root has a slot of its own";
  for (const pid_t holder : holders) {
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
  }
  server->Stop();
}

TEST(SystemShutdownTest, OnlyAPlainFlagOfThisRunsOwnShutdownTurnsTheUpsOff) {
  if (geteuid() != 0) GTEST_SKIP() << "the flag is root's own";
  using Stage = corvale::host::ShutdownSequence::Stage;
  namespace fs = std::filesystem;
  corvale::TemporaryDirectory directory;
  std::string why;
  const auto folder = corvale::host::OpenFolder(directory.Path().string(), false, false, &why);
  ASSERT_NE(folder, nullptr) << why;
  const fs::path flag = directory.Path() / "killpower";
  struct Case {
    const char* name;
    Stage stage;
    std::function<void()> plant;
    bool turnsOff;
  };
  const auto file = [&] { std::ofstream(flag) << "turn off\n"; };
  const std::vector<Case> cases = {
      {"a flag this run did not order", Stage::kIdle, file, false},
      {"a folder at the flag's name", Stage::kStarted, [&] { fs::create_directory(flag); }, false},
      {"a link at the flag's name", Stage::kStarted,
       [&] {
         std::ofstream(directory.Path() / "elsewhere") << "x";
         fs::create_symlink(directory.Path() / "elsewhere", flag);
       },
       false},
      {"a file another user wrote", Stage::kRunning,
       [&] {
         file();
         ASSERT_EQ(chown(flag.c_str(), 65534, 65534), 0);
       },
       false},
      {"no flag", Stage::kStarted, [] {}, false},
      {"this run's own flag", Stage::kStarted, file, true},
      {"this run's own flag, its command to be tried again", Stage::kWaitingToRetry, file, true},
  };
  for (const auto& c : cases) {
    fs::remove_all(flag);
    c.plant();
    const bool planted = fs::exists(fs::symlink_status(flag));
    EXPECT_EQ(corvale::host::TakeOwnFlag(c.stage, *folder, "killpower", &why), c.turnsOff)
        << c.name << ": " << why;
    EXPECT_EQ(fs::exists(fs::symlink_status(flag)), planted && !c.turnsOff)
        << c.name << ": only a flag acted on is removed";
    EXPECT_EQ(why.empty(), !planted || c.turnsOff) << c.name << ": " << why;
  }
  EXPECT_TRUE(fs::exists(directory.Path() / "elsewhere"));
}
