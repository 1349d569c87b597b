// The host's decisions on their own, fed observations on a made-up clock: the shutdown policy and
// the events derived from successive polls.
#include <gtest/gtest.h>

#include "host/events.h"
#include "host/policy.h"

namespace {

using corvale::host::Clock;
using corvale::host::EventDeriver;
using corvale::host::EventName;
using corvale::host::Observation;
using corvale::host::ShutdownPolicy;

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
                                             "low-battery", "battery-failed"}));
}

}  // namespace
