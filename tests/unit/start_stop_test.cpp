#include "driver/start_stop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver/attach.h"
#include "driver/ups_api.h"
#include "driver_fixture.h"

namespace {

using Strings = std::vector<std::string>;

class StartStopTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    UpsAnswers(&bits);
  }
  std::uint16_t bits = 0;
};

TEST_F(StartStopTest, InitRunsTheLineSetUpInOrder) {
  ASSERT_EQ(UPSInit(), 1u);
  const std::string serviceKey = std::string("RegistryOpenKey ") + fake::kServiceKey + " 0x1";
  const Strings expected = {
      serviceKey,
      "RegistryQueryValue Port",
      "RegistryCloseKey",
      "SerialOpen COM1",
      "SerialBuildSettings 1200,N,8,1",
      "SerialApplySettings dtr=1 rts=1",
      "Sleep 500",
      "SerialApplySettings dtr=1 rts=0",
      "Sleep 1000",
      "SerialSetReadTimeouts 100 1000",
      "SerialWrite ZCADLIOPERJD\\r",
      "SerialRead 12",
  };
  ASSERT_GE(os().calls.size(), expected.size());
  EXPECT_EQ(Strings(os().calls.begin(), os().calls.begin() + static_cast<long>(expected.size())),
            expected);
  // The first valid reply always publishes: the word started from CommFail alone.
  EXPECT_EQ(os().Published(),
            (Strings{"BatteryStatus=1", "BatteryCapacity=99", "FirmwareRev=v1.0b  [ Normal ]"}));
  EXPECT_EQ(HostState, 1);
  EXPECT_EQ(os().openKeys, 0);
}

struct InitCase {
  const char* name;
  void (*arrange)(fake::Platform&);
  std::uint32_t result;
  bool portOpened;    // SerialOpen was called
  bool portLeftOpen;  // and the port is still open afterwards
};

class InitResultTest : public StartStopTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitResultTest, ResultCodeAndPort) {
  GetParam().arrange(os());
  EXPECT_EQ(UPSInit(), GetParam().result);
  EXPECT_EQ(LinkStatus & kCommFail, GetParam().result == 1 ? 0 : kCommFail);
  EXPECT_EQ(!os().CallsStartingWith("SerialOpen").empty(), GetParam().portOpened);
  EXPECT_EQ(os().openPorts, GetParam().portLeftOpen ? 1 : 0);
  EXPECT_EQ(os().openKeys, 0) << "every key opened is closed again";
  if (GetParam().result != 1) {
    EXPECT_TRUE(os().Published().empty()) << "a failed start publishes nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitResultTest,
    ::testing::Values(
        InitCase{"FirstReplyValid", [](fake::Platform&) {}, 1, true, true},
        InitCase{"NoServiceKey", [](fake::Platform& p) { p.keys.erase(fake::kServiceKey); }, 4,
                 false, false},
        InitCase{"ServiceKeyRefused",
                 [](fake::Platform& p) { p.failingOpens.insert(fake::kServiceKey); }, 4, false,
                 false},
        InitCase{"NoPortValue", [](fake::Platform& p) { p.keys[fake::kServiceKey].erase("Port"); },
                 4, false, false},
        InitCase{"SevenCharactersWithNul",
                 [](fake::Platform& p) { p.SetPort(std::string("ttyUSB0\0", 8)); }, 1, true, true},
        InitCase{"SevenCharactersWithoutNul", [](fake::Platform& p) { p.SetPort("ttyUSB0"); }, 1,
                 true, true},
        InitCase{"EightCharactersWithNul",
                 [](fake::Platform& p) { p.SetPort(std::string("ttyUSB10\0", 9)); }, 4, false,
                 false},
        InitCase{"EightBytesWithoutNul", [](fake::Platform& p) { p.SetPort("ttyUSB10"); }, 4, false,
                 false},
        InitCase{"LongName", [](fake::Platform& p) { p.SetPort(std::string("ttyUSB1000\0", 11)); },
                 4, false, false},
        InitCase{"OpenFails", [](fake::Platform& p) { p.openFails = true; }, 5, true, false},
        InitCase{"ModeRefused", [](fake::Platform& p) { p.buildSettingsFails = true; }, 5, true,
                 false},
        InitCase{"FirstApplyFails", [](fake::Platform& p) { p.applySettingsFailsAtCall = 0; }, 5,
                 true, false},
        InitCase{"SecondApplyFails", [](fake::Platform& p) { p.applySettingsFailsAtCall = 1; }, 5,
                 true, false},
        InitCase{"SilentUps", [](fake::Platform& p) { p.ups = nullptr; }, 6, true, true},
        InitCase{"GarbledReply",
                 [](fake::Platform& p) {
                   p.ups = [](const std::string&) -> std::optional<std::string> {
                     return std::string("$AAAAAAAAAA\n");
                   };
                 },
                 6, true, true},
        InitCase{"WriteFails", [](fake::Platform& p) { p.writeFails = true; }, 6, true, true}),
    [](const auto& param) { return param.param.name; });

TEST_F(StartStopTest, SilentUpsTakesSetUpPlusOneReadTimeout) {
  os().ups = nullptr;
  ASSERT_EQ(UPSInit(), 6u);
  EXPECT_EQ(os().nowMs, 500u + 1000u + 1000u);
  EXPECT_EQ(HostState, 8);
  EXPECT_EQ(LinkStatus, kCommFail);
}

TEST_F(StartStopTest, TheNameReadIsTheNameOpened) {
  const struct {
    std::string data;
    const char* opened;
  } cases[] = {
      {std::string("pts/3\0", 6), "SerialOpen pts/3"},
      {std::string("COM1\0xyz", 8), "SerialOpen COM1"},  // the name ends at its first NUL
      {"ttyS1", "SerialOpen ttyS1"},
  };
  for (const auto& c : cases) {
    os().calls.clear();
    os().SetPort(c.data);
    EXPECT_EQ(UPSInit(), 1u) << c.opened;
    EXPECT_EQ(os().CallsStartingWith("SerialOpen"), (Strings{c.opened}));
  }
}

TEST_F(StartStopTest, ReinitClosesThePortAnEarlierInitLeftOpen) {
  os().ups = nullptr;
  ASSERT_EQ(UPSInit(), 6u);
  ASSERT_EQ(os().openPorts, 1);
  UpsAnswers(&bits);
  EXPECT_EQ(UPSInit(), 1u);
  EXPECT_EQ(os().openPorts, 1);
  EXPECT_EQ(os().closedHandleUses, 0);
  EXPECT_EQ(os().CallsStartingWith("SerialClose").size(), 1u);
}

TEST_F(StartStopTest, InitSetsCommFailFirstEvenWhenTheRegistryFails) {
  LinkStatus = kOnBatt;
  os().keys.erase(fake::kServiceKey);
  EXPECT_EQ(UPSInit(), 4u);
  EXPECT_EQ(LinkStatus, kCommFail);
}

TEST_F(StartStopTest, StopCancelsClosesAndForgetsThePort) {
  ASSERT_EQ(UPSInit(), 1u);
  EXPECT_EQ(UPSStop(), 1u);
  EXPECT_EQ(CancelRequested, 1);
  EXPECT_EQ(PortHandle, kInvalidSerialHandle);
  EXPECT_EQ(os().openPorts, 0);
  EXPECT_EQ(UPSStop(), 0u) << "a second stop has nothing to close";
  EXPECT_EQ(os().CallsStartingWith("SerialClose").size(), 1u);
}

TEST_F(StartStopTest, AfterStopExchangesFailAtOnceWithoutTouchingAHandle) {
  ASSERT_EQ(UPSInit(), 1u);
  UPSStop();
  os().calls.clear();
  const auto start = os().nowMs;
  EXPECT_EQ(UPSGetState(), 8u);
  EXPECT_EQ(UPSTurnOff(10), 0u);
  EXPECT_TRUE(os().CallsStartingWith("Serial").empty());
  EXPECT_EQ(os().closedHandleUses, 0);
  EXPECT_EQ(os().nowMs, start) << "no read time-out to wait for";
}

TEST_F(StartStopTest, StopWaitsForTheExchangeInProgress) {
  ASSERT_EQ(UPSInit(), 1u);
  // The UPS holds this exchange between its write and its read until UPSStop has begun, and a
  // little longer: a stop that did not wait would close the port under the read.
  std::atomic<bool> inExchange{false};
  os().ups = [&](const std::string&) -> std::optional<std::string> {
    inExchange = true;
    while (CancelRequested == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fake::ReplyFor(kSilenced);
  };
  std::thread poller([] { UPSGetState(); });
  while (!inExchange) std::this_thread::yield();
  EXPECT_EQ(UPSStop(), 1u);
  poller.join();
  EXPECT_EQ(os().closedHandleUses, 0);
  const auto calls = os().CallsStartingWith("Serial");
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "SerialRead 12") << "the read ends before the port closes";
  EXPECT_EQ(calls.back(), "SerialClose");
}

TEST_F(StartStopTest, StopDuringAWaitEndsItAfterTheSleep) {
  bits = kSilenced;
  ASSERT_EQ(UPSInit(), 1u);
  int sleeps = 0;
  os().onSleep = [&](std::uint32_t) {
    if (++sleeps == 2) UPSStop();
  };
  UPSWaitForStateChange(1, 0xFFFFFFFF);
  EXPECT_EQ(sleeps, 2);
  EXPECT_EQ(os().closedHandleUses, 0);
}

TEST_F(StartStopTest, AttachReadiesThePlatformOnProcessAttachOnly) {
  for (std::uint32_t reason : {0u, 2u, 3u}) EXPECT_EQ(DriverAttach(nullptr, reason), 1);
  EXPECT_TRUE(os().calls.empty());
  EXPECT_EQ(DriverAttach(nullptr, kProcessAttach), 1);
  EXPECT_EQ(os().calls, (Strings{"PlatformAttach"}));
}

}  // namespace
