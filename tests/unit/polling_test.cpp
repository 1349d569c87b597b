#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver/ups_api.h"
#include "driver_fixture.h"

namespace {

using Strings = std::vector<std::uint32_t>;

class PollingTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    OpenPortDirectly();
    UpsAnswers(&bits);
  }
  std::vector<char> CommandLetters() {
    std::vector<char> letters;
    for (const auto& frame : os().FramesWritten()) letters.push_back(frame[frame[1] - 0x3F]);
    return letters;
  }
  std::uint16_t bits = 0;
};

TEST_F(PollingTest, GetStateSilencesFirstUntilTheUpsSaysSilenced) {
  EXPECT_EQ(UPSGetState(), 1u);
  EXPECT_EQ(os().FramesWritten()[0], "ZELWSABPMBEQ\\r");
  EXPECT_EQ(CommandLetters(), (std::vector<char>{'B', 'L'}));
  os().calls.clear();
  EXPECT_EQ(UPSGetState(), 1u);
  EXPECT_EQ(CommandLetters(), (std::vector<char>{'L'})) << "Silenced is set: poll only";
}

TEST_F(PollingTest, GetStateReturnsTheStateOfTheLastExchange) {
  bits = kSilenced | kOnBatt | kLowBatt;
  EXPECT_EQ(UPSGetState(), 4u);
  os().ups = nullptr;  // the UPS goes quiet
  EXPECT_EQ(UPSGetState(), 8u);
  EXPECT_EQ(CommandLetters().back(), 'L');
}

TEST_F(PollingTest, WaitWithADifferingStatePollsOnceAndNeverSleeps) {
  bits = kSilenced | kOnBatt;
  LinkStatus = kSilenced;
  UPSWaitForStateChange(1, 0xFFFFFFFF);
  EXPECT_EQ(CommandLetters(), (std::vector<char>{'L'}));
  EXPECT_TRUE(os().Sleeps().empty());
}

TEST_F(PollingTest, WaitSleepsInSecondsUntilTheIntervalIsUsedUp) {
  bits = kSilenced;
  LinkStatus = kSilenced;
  const struct {
    std::uint32_t interval;
    Strings sleeps;
  } cases[] = {
      {2500, {1000, 1000, 500}},  {0, {0}}, {1000, {1000}}, {999, {999}}, {1, {1}},
      {3000, {1000, 1000, 1000}},
  };
  for (const auto& c : cases) {
    os().calls.clear();
    UPSWaitForStateChange(1, c.interval);
    EXPECT_EQ(os().Sleeps(), c.sleeps) << "interval " << c.interval;
    EXPECT_EQ(CommandLetters().size(), c.sleeps.size()) << "one poll before each sleep";
  }
}

TEST_F(PollingTest, StateChangeIsSeenAtTheNextPoll) {
  bits = kSilenced;
  LinkStatus = kSilenced;
  int sleeps = 0;
  os().onSleep = [&](std::uint32_t) {
    if (++sleeps == 3) bits |= kOnBatt;  // power fails during the third sleep
  };
  UPSWaitForStateChange(1, 0xFFFFFFFF);
  EXPECT_EQ(os().Sleeps(), (Strings{1000, 1000, 1000}));
  EXPECT_EQ(CommandLetters().size(), 4u);
  EXPECT_EQ(HostState, 2);
}

TEST_F(PollingTest, NoLimitEndsOnlyOnCancelSeenAfterASleep) {
  bits = kSilenced;
  LinkStatus = kSilenced;
  int sleeps = 0;
  os().onSleep = [&](std::uint32_t) {
    if (++sleeps == 50) UPSCancelWait();
  };
  UPSWaitForStateChange(1, 0xFFFFFFFF);
  EXPECT_EQ(sleeps, 50);
  EXPECT_EQ(CommandLetters().size(), 50u);
}

TEST_F(PollingTest, NoLimitNeverRunsOutOfTime) {
  // A counted-down 0xFFFFFFFF would end after this many one-second sleeps (the last one 295 ms).
  constexpr std::uint64_t kSleepsOfALimitedWait = 0xFFFFFFFFull / 1000 + 1;
  PortHandle = kInvalidSerialHandle;  // each poll fails at once: millions of them stay cheap
  os().recordCalls = false;
  std::uint64_t sleeps = 0;
  bool onlyWholeSeconds = true;
  os().onSleep = [&](std::uint32_t ms) {
    onlyWholeSeconds = onlyWholeSeconds && ms == 1000;
    if (++sleeps == kSleepsOfALimitedWait + 2) UPSCancelWait();
  };
  UPSWaitForStateChange(8, 0xFFFFFFFF);
  EXPECT_EQ(sleeps, kSleepsOfALimitedWait + 2) << "only the cancel ends it";
  EXPECT_TRUE(onlyWholeSeconds);
}

TEST_F(PollingTest, CancelBeforeTheWaitHasNoEffectOnIt) {
  bits = kSilenced;
  UPSCancelWait();
  UPSWaitForStateChange(1, 2500);
  EXPECT_EQ(os().Sleeps(), (Strings{1000, 1000, 500}));
}

TEST_F(PollingTest, WaitUsesAboutOneSecondPerPollWhenTheUpsIsSilent) {
  bits = kSilenced;
  UPSGetState();
  os().ups = nullptr;
  const auto start = os().nowMs;
  UPSWaitForStateChange(8, 2500);
  // Three polls of one silent exchange each (Silenced stays set while communication is lost),
  // each followed by its sleep.
  EXPECT_EQ(os().nowMs - start, 3 * 1000u + 2500u);
}

TEST_F(PollingTest, TurnOffSendsTheDelayAndReportsTheReply) {
  bits = kSilenced | kOnBatt;
  EXPECT_EQ(UPSTurnOff(120), 1u);
  EXPECT_EQ(os().FramesWritten(), (std::vector<std::string>{"ZBASBCAWLPGE\\r"}));
  EXPECT_EQ(HostState, 2) << "the reply to the turn-off updates the state like any other";
  os().ups = nullptr;
  EXPECT_EQ(UPSTurnOff(0), 0u);
  EXPECT_EQ(os().FramesWritten().back(), "ZBASAAAWLPGE\\r");
}

TEST_F(PollingTest, TurnOffBeyondNineHundredNinetyNineSendsNothing) {
  for (std::uint32_t delay : {1000u, 1191u, 0xFFFFFFFFu}) {
    EXPECT_EQ(UPSTurnOff(delay), 0u) << delay;
  }
  EXPECT_TRUE(os().calls.empty());
}

TEST_F(PollingTest, ConcurrentCallersNeverInterleaveFrames) {
  // The fake UPS sees a write and the read that follows it; a second write before that read means
  // two exchanges were on the line at once.
  std::atomic<int> outstanding{0};
  std::atomic<int> interleaved{0};
  // Like the real UPS, Silenced only once asked to be quiet: whichever thread comes first, some
  // poller must send the silence command.
  std::atomic<bool> silenced{false};
  os().ups = [&](const std::string& frame) -> std::optional<std::string> {
    if (outstanding.fetch_add(1) != 0) ++interleaved;
    if (frame[static_cast<unsigned char>(frame[1]) - 0x3F] == 'B') silenced = true;
    std::this_thread::yield();
    outstanding.fetch_sub(1);
    return fake::ReplyFor(silenced ? kSilenced : 0);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        if (t == 3) {
          UPSTurnOff(5);
        } else {
          UPSGetState();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(interleaved, 0);
  // On the line, every write is followed by its own read before the next write.
  char expected = 'W';
  int exchanges = 0;
  for (const auto& call : os().CallsStartingWith("Serial")) {
    const char kind = call.rfind("SerialWrite", 0) == 0 ? 'W' : 'R';
    ASSERT_EQ(kind, expected) << "after " << exchanges << " exchanges";
    exchanges += kind == 'R';
    expected = kind == 'W' ? 'R' : 'W';
  }
  const auto letters = CommandLetters();
  const auto count = [&](char letter) {
    return std::count(letters.begin(), letters.end(), letter);
  };
  EXPECT_EQ(count('L'), 600);
  EXPECT_EQ(count('S'), 200);
  EXPECT_GE(count('B'), 1) << "until the first reply says Silenced, each poller may ask";
  EXPECT_EQ(exchanges, static_cast<int>(letters.size()));
}

}  // namespace
