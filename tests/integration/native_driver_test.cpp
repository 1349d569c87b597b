// The native library on a real pseudo-terminal, with the UPS peer at the other end and a
// temporary registry root. Each test runs in its own process (one loaded driver per process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "driver/ups_api.h"
#include "tests/support/line_fixture.h"

namespace {

using corvale::UpsPeer;
using corvale::testing::ElapsedMs;
using namespace std::chrono_literals;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004, kSilenced = 0x0020, kBattFail = 0x0040;

class NativeDriverTest : public ::testing::Test {
 protected:
  void TearDown() override { UPSStop(); }
  corvale::testing::Line line;
};

TEST_F(NativeDriverTest, InitTalksToTheUpsAndPublishes) {
  std::uint32_t result = 0;
  const auto took = ElapsedMs([&] { result = UPSInit(); });
  ASSERT_EQ(result, 1u);
  EXPECT_GE(took, 1500) << "RTS pulse and settle time";
  EXPECT_LT(took, 2500);
  const auto frames = line.peer->Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, "ZCADLIOPERJD\r");
  EXPECT_EQ(line.Status("BatteryStatus"), "1");
  EXPECT_EQ(line.Status("BatteryCapacity"), "99");
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ Normal ]");
}

TEST_F(NativeDriverTest, InitWithoutPortValueIsFour) {
  std::filesystem::remove(line.registry.KeyDirectory(corvale::kServiceKey) / "Port");
  EXPECT_EQ(UPSInit(), 4u);
  EXPECT_TRUE(line.peer->Frames().empty());
}

TEST_F(NativeDriverTest, InitWithEightCharacterPortIsFour) {
  line.registry.Write(corvale::kServiceKey, "Port", "COM12345");
  EXPECT_EQ(UPSInit(), 4u);
}

TEST_F(NativeDriverTest, InitOnAMissingDeviceIsFive) {
  line.registry.Write(corvale::kServiceKey, "Port", "COM9");
  EXPECT_EQ(UPSInit(), 5u);
}

TEST_F(NativeDriverTest, InitOnAPortOpenElsewhereIsFive) {
  const int other = open((line.Devices() / "COM1").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(UPSInit(), 5u);
  close(other);
}

TEST_F(NativeDriverTest, DriverHoldsThePortExclusively) {
  ASSERT_EQ(UPSInit(), 1u);
  const int other = open((line.Devices() / "COM1").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);  // root passes TIOCEXCL; the lock still says no
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  UPSStop();
  const int after = open((line.Devices() / "COM1").c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(flock(after, LOCK_EX | LOCK_NB), 0) << "stop releases the port";
  close(after);
}

TEST_F(NativeDriverTest, SilentUpsIsSixAfterSetUpAndOneReadTimeout) {
  line.peer->SetFault(UpsPeer::Fault::kSilent);
  std::uint32_t result = 0;
  const auto took = ElapsedMs([&] { result = UPSInit(); });
  EXPECT_EQ(result, 6u);
  EXPECT_GE(took, 2500);
  EXPECT_LT(took, 3300);
  EXPECT_EQ(UPSGetState(), 8u);
  EXPECT_FALSE(line.registry.Read(corvale::kStatusKey, "FirmwareRev")) << "nothing published";
}

TEST_F(NativeDriverTest, StatusChangesArePublished) {
  ASSERT_EQ(UPSInit(), 1u);
  line.peer->SetStatus(kOnBatt);
  EXPECT_EQ(UPSGetState(), 2u);
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ OnBatt Silenced ]");
  line.peer->SetStatus(kOnBatt | kLowBatt);
  EXPECT_EQ(UPSGetState(), 4u);
  EXPECT_EQ(line.Status("BatteryCapacity"), "10");
  line.peer->SetStatus(kOnBatt | kLowBatt | kBattFail);
  EXPECT_EQ(UPSGetState(), 4u);
  EXPECT_EQ(line.Status("BatteryStatus"), "2");
  EXPECT_EQ(line.Status("BatteryCapacity"), "1");
  // Wire order: the silence frame goes first while the UPS has not said Silenced.
  const auto frames = line.peer->Frames();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[1].bytes, "ZELWSABPMBEQ\r");
  EXPECT_EQ(line.peer->InvalidFrames(), 0);
}

TEST_F(NativeDriverTest, WaitEndsAtThePollAfterAStatusChange) {
  ASSERT_EQ(UPSInit(), 1u);
  ASSERT_EQ(UPSGetState(), 1u);
  auto wait = std::async(std::launch::async,
                         [] { return ElapsedMs([] { UPSWaitForStateChange(1, 0xFFFFFFFF); }); });
  std::this_thread::sleep_for(1500ms);
  line.peer->SetStatus(kOnBatt);
  ASSERT_EQ(wait.wait_for(3s), std::future_status::ready);
  const auto took = wait.get();
  EXPECT_GE(took, 1500);
  EXPECT_LT(took, 2800);
  EXPECT_EQ(UPSGetState(), 2u);
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ OnBatt Silenced ]");
}

TEST_F(NativeDriverTest, StopDuringAWaitEndsItWithinASecond) {
  ASSERT_EQ(UPSInit(), 1u);
  auto wait = std::async(std::launch::async, [] { UPSWaitForStateChange(1, 0xFFFFFFFF); });
  std::this_thread::sleep_for(700ms);
  std::uint32_t stopped = 0;
  const auto took = ElapsedMs([&] {
    stopped = UPSStop();
    wait.get();
  });
  EXPECT_EQ(stopped, 1u);
  EXPECT_LT(took, 1300);
  EXPECT_EQ(UPSStop(), 0u);
  EXPECT_EQ(UPSGetState(), 8u);
}

TEST_F(NativeDriverTest, UpsThatDropsAndReturns) {
  ASSERT_EQ(UPSInit(), 1u);
  line.peer->SetStatus(kOnBatt);
  ASSERT_EQ(UPSGetState(), 2u);
  line.peer->SetFault(UpsPeer::Fault::kUnplugged);
  EXPECT_EQ(UPSGetState(), 8u);
  // Losing the UPS publishes what the last good reply gave.
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ OnBatt Silenced ]");
  line.peer->SetFault(UpsPeer::Fault::kNone);
  line.peer->SetStatus(0);
  EXPECT_EQ(UPSGetState(), 1u);
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ Silenced ]");
}

TEST_F(NativeDriverTest, TurnOffReachesTheUps) {
  ASSERT_EQ(UPSInit(), 1u);
  EXPECT_EQ(UPSTurnOff(120), 1u);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{120});
  EXPECT_EQ(line.peer->Frames().back().bytes, "ZBASBCAWLPGE\r");
  EXPECT_EQ(UPSTurnOff(1000), 0u);
  EXPECT_EQ(line.peer->TurnOffDelays().size(), 1u);
}

TEST_F(NativeDriverTest, RemovedDeviceGivesNoCommunicationWithoutHanging) {
  ASSERT_EQ(UPSInit(), 1u);
  line.peer->Hangup();
  std::uint32_t state = 0;
  const auto took = ElapsedMs([&] { state = UPSGetState(); });
  EXPECT_EQ(state, 8u);
  EXPECT_LT(took, 2200);
}

TEST_F(NativeDriverTest, ReinitAfterNoReplySucceedsOnceTheUpsAnswers) {
  line.peer->SetFault(UpsPeer::Fault::kSilent);
  ASSERT_EQ(UPSInit(), 6u);
  line.peer->SetFault(UpsPeer::Fault::kNone);
  EXPECT_EQ(UPSInit(), 1u);
}

}  // namespace
