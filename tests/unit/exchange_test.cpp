#include "protocol/exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_fixture.h"

namespace {

using Strings = std::vector<std::string>;
using fake::ReadResult;
using fake::ReplyFor;

class ExchangeTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    OpenPortDirectly();
  }
  void Reply(const std::string& bytes) {
    os().scriptedReads.push_back(ReadResult{true, bytes, 208});
  }
  int Publications() {
    return static_cast<int>(os().CallsStartingWith("RegistrySetDword BatteryStatus").size());
  }
};

TEST_F(ExchangeTest, StoredFramesGoOnTheWireAsThirteenBytes) {
  Reply(ReplyFor(0));
  ExchangeStatus(kInitialPollFrame);
  ExchangeStatus(kSilenceFrame);
  char turnOff[kTurnOffFrameBufferSize];
  ASSERT_TRUE(BuildTurnOffFrame(120, turnOff));
  ExchangeStatus(turnOff);
  EXPECT_EQ(os().FramesWritten(),
            (Strings{"ZCADLIOPERJD\\r", "ZELWSABPMBEQ\\r", "ZBASBCAWLPGE\\r"}));
}

TEST_F(ExchangeTest, FrameIsFixedUpAtBothEnds) {
  ExchangeStatus("QCADLIOPERJDXYZ");  // wrong start letter, too long
  ExchangeStatus("ZABL");             // too short: padded with NULs
  EXPECT_EQ(os().FramesWritten(),
            (Strings{"ZCADLIOPERJD\\r", "ZABL\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\r"}));
}

TEST_F(ExchangeTest, OneWriteThenOneReadOfTwelveBytes) {
  Reply(ReplyFor(0));
  ExchangeStatus(nullptr);
  ASSERT_GE(os().calls.size(), 2u);
  EXPECT_EQ(os().calls[0].rfind("SerialWrite Z", 0), 0u);
  EXPECT_EQ(os().calls[1], "SerialRead 12");
}

// Each row: what the line does for one exchange, and what must follow.
struct Step {
  enum Kind { kValid, kSilent, kShort, kReadFails, kWriteFails, kGarbage } kind;
  std::uint16_t bits;
  bool result;
  std::uint16_t linkStatus;
  std::uint16_t hostState;
  bool publishes;
};

void RunSteps(fake::Platform& os, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    os.writeFails = s.kind == Step::kWriteFails;
    switch (s.kind) {
      case Step::kValid:
        os.scriptedReads.push_back({true, ReplyFor(s.bits), 208});
        break;
      case Step::kSilent:
        os.scriptedReads.push_back({true, "", 1000});
        break;
      case Step::kShort:
        os.scriptedReads.push_back({true, ReplyFor(s.bits).substr(0, 11), 300});
        break;
      case Step::kReadFails:
        os.scriptedReads.push_back({false, "", 0});
        break;
      case Step::kGarbage:
        os.scriptedReads.push_back({true, "$AAAAxAAAAA\r", 208});
        break;
      case Step::kWriteFails:
        break;
    }
    const auto before = os.CallsStartingWith("RegistrySetDword BatteryStatus").size();
    const auto readsBefore = os.CallsStartingWith("SerialRead").size();
    EXPECT_EQ(ExchangeStatus(nullptr), s.result) << "step " << i;
    const auto reads = os.CallsStartingWith("SerialRead").size() - readsBefore;
    // Nothing can answer a frame that never left; only a full invalid reply starts a drain.
    if (s.kind == Step::kWriteFails) {
      EXPECT_EQ(reads, 0u) << "step " << i;
    } else if (s.kind == Step::kShort) {
      EXPECT_EQ(reads, 1u) << "step " << i;
    }
    EXPECT_EQ(LinkStatus, s.linkStatus) << "step " << i;
    EXPECT_EQ(HostState, s.hostState) << "step " << i;
    const auto after = os.CallsStartingWith("RegistrySetDword BatteryStatus").size();
    EXPECT_EQ(after - before, s.publishes ? 1u : 0u) << "step " << i;
  }
}

TEST_F(ExchangeTest, ChangeDetectionComparesWholeStatusWords) {
  LinkStatus = kCommFail;  // as UPSInit leaves it
  RunSteps(
      os(),
      {
          {Step::kSilent, 0, false, 0x0400, 8, false},  // no valid reply yet: nothing published
          {Step::kValid, 0x0000, true, 0x0000, 1, true},
          {Step::kValid, 0x0000, true, 0x0000, 1, false},  // unchanged: nothing
          {Step::kValid, 0x0001, true, 0x0001, 2, true},
          {Step::kSilent, 0, false, 0x0401, 8, true},      // losing the UPS publishes once...
          {Step::kReadFails, 0, false, 0x0401, 8, false},  // ...and only once
          {Step::kShort, 0x0001, false, 0x0401, 8, false},
          {Step::kGarbage, 0, false, 0x0401, 8, false},
          {Step::kWriteFails, 0, false, 0x0401, 8, false},
          {Step::kValid, 0x0001, true, 0x0001, 2, true},  // recovery publishes, same bits or not
          {Step::kValid, 0x0005, true, 0x0005, 4, true},
          {Step::kValid, 0x0004, true, 0x0004, 1, true},
      });
}

TEST_F(ExchangeTest, LostCommunicationPublishesTheLastGoodBits) {
  Reply(ReplyFor(kOnBatt | kLowBatt));
  ExchangeStatus(nullptr);
  os().calls.clear();
  ExchangeStatus(nullptr);  // silent
  EXPECT_EQ(os().Published(), (Strings{"BatteryStatus=1", "BatteryCapacity=10",
                                       "FirmwareRev=v1.0b  [ OnBatt LowBatt ]"}));
}

TEST_F(ExchangeTest, BeforeInitTheFirstExchangeFailsAndPublishesOnce) {
  PortHandle = kInvalidSerialHandle;
  os().calls.clear();
  EXPECT_FALSE(ExchangeStatus(nullptr));
  EXPECT_FALSE(ExchangeStatus(nullptr));
  EXPECT_EQ(LinkStatus, 0x0400);
  EXPECT_EQ(HostState, 8);
  EXPECT_TRUE(os().CallsStartingWith("Serial").empty()) << "no port: no port calls at all";
  EXPECT_EQ(Publications(), 1);
}

TEST_F(ExchangeTest, LateReplyIsReadByTheNextExchange) {
  std::uint16_t bits = 0;
  // The UPS answers, but only after the reader has given up: the bytes stay queued.
  os().ups = [&](const std::string&) -> std::optional<std::string> { return std::nullopt; };
  LinkStatus = 0;
  EXPECT_FALSE(ExchangeStatus(nullptr));
  os().lineInput = ReplyFor(kOnBatt);
  UpsAnswers(&bits);
  EXPECT_TRUE(ExchangeStatus(nullptr)) << "the queued reply is taken as this exchange's";
  EXPECT_EQ(LinkStatus, kOnBatt);
  EXPECT_EQ(os().lineInput, ReplyFor(0)) << "this exchange's own reply is left for the next";
}

TEST_F(ExchangeTest, TimingOfAFailedExchange) {
  const auto start = os().nowMs;
  EXPECT_FALSE(ExchangeStatus(nullptr));  // nobody answers
  EXPECT_EQ(os().nowMs - start, 1000u);
}

}  // namespace

namespace {

class LineNoiseTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    OpenPortDirectly();
    UpsAnswers(&bits);
  }
  std::uint16_t bits = kSilenced;
};

TEST_F(LineNoiseTest, BacklogOfNoiseIsClearedWithinTwoExchanges) {
  ASSERT_TRUE(ExchangeStatus(nullptr));
  // A burst of noise on the line, far longer than a reply and not a multiple of 12 bytes.
  os().lineInput = std::string(1000, '\x55') + "$AB";
  const auto start = os().nowMs;
  EXPECT_FALSE(ExchangeStatus(nullptr));
  EXPECT_EQ(HostState, 8);
  EXPECT_EQ(os().nowMs - start, 100u) << "the drain ends at the piece cut mid-reply";
  EXPECT_TRUE(ExchangeStatus(nullptr)) << "the next poll must see the UPS's own reply";
  EXPECT_EQ(HostState, 1);
}

TEST_F(LineNoiseTest, DrainingStopsWhenTheLineIsQuiet) {
  ASSERT_TRUE(ExchangeStatus(nullptr));
  os().ups = [](const std::string&) -> std::optional<std::string> {
    return std::string("$aaaaaaaaaa\r");  // a well-framed but invalid reply, no backlog
  };
  os().calls.clear();
  const auto start = os().nowMs;
  EXPECT_FALSE(ExchangeStatus(nullptr));
  EXPECT_EQ(os().CallsStartingWith("SerialRead").size(), 2u)
      << "one read, one to find the line quiet";
  EXPECT_LE(os().nowMs - start, 1000u);
}

TEST_F(LineNoiseTest, EndlessNoiseIsDrainedOnlyUpToABound) {
  ASSERT_TRUE(ExchangeStatus(nullptr));
  os().lineInput = std::string(1 << 20, 'x');
  EXPECT_FALSE(ExchangeStatus(nullptr));
  EXPECT_LE(os().CallsStartingWith("SerialRead").size(), 600u);
}

TEST_F(LineNoiseTest, ShortOrMissingRepliesAreNotDrained) {
  // A late reply stays queued for the next exchange; only a full, invalid reply starts a drain.
  ASSERT_TRUE(ExchangeStatus(nullptr));
  for (const std::optional<std::string>& reply : {std::optional<std::string>(), {"$AAAAAAAAAA"}}) {
    os().ups = [reply](const std::string&) { return reply; };
    os().calls.clear();
    EXPECT_FALSE(ExchangeStatus(nullptr));
    EXPECT_EQ(os().CallsStartingWith("SerialRead").size(), 1u) << reply.value_or("no reply");
  }
}

}  // namespace
