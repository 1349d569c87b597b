// A bad line and a bad environment, on a real pseudo-terminal: the driver must never crash or
// hang past its time-outs, must report "no communication" while replies are bad, must publish
// nothing that the last good reply does not give, and must find the true state again within two
// polls once the UPS answers properly.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "driver/ups_api.h"
#include "tests/support/line_fixture.h"

namespace {

using corvale::UpsPeer;
using corvale::testing::ElapsedMs;
using namespace std::chrono_literals;

constexpr std::uint16_t kOnBatt = 0x0001;
// One poll with a bad reply: the read (1 s at most) plus, for a full bad reply, one quiet read.
constexpr long long kWorstPollMs = 2 * 1000 + 300;

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line.peer->SetStatus(kOnBatt);
    ASSERT_EQ(UPSInit(), 1u);
    ASSERT_EQ(UPSGetState(), 2u);
    lastGoodText = line.Status("FirmwareRev");
    ASSERT_EQ(lastGoodText, "v1.0b  [ OnBatt Silenced ]");
  }
  void TearDown() override { UPSStop(); }

  // Polls until the state is `wanted`; returns how many polls it took (or 99).
  int PollsUntil(std::uint32_t wanted) {
    for (int polls = 1; polls <= 10; ++polls) {
      if (UPSGetState() == wanted) return polls;
    }
    return 99;
  }

  void ExpectNothingNewPublished(const char* what) {
    EXPECT_EQ(line.Status("FirmwareRev"), lastGoodText) << what;
    EXPECT_EQ(line.Status("BatteryCapacity"), "99") << what;
  }

  corvale::testing::Line line;
  std::string lastGoodText;
};

struct LineFault {
  const char* name;
  UpsPeer::Fault fault;
};
// By name: GoogleTest would otherwise print the struct's bytes, padding included.
void PrintTo(const LineFault& fault, std::ostream* out) {
  *out << fault.name;
}

class BadRepliesTest : public FaultTest, public ::testing::WithParamInterface<LineFault> {};

TEST_P(BadRepliesTest, NoCommunicationWhileBadThenTheTrueStateWithinTwoPolls) {
  line.peer->SetFault(GetParam().fault);
  // The UPS changes its mind meanwhile: nothing may say so until a good reply does.
  line.peer->SetStatus(0);
  for (int poll = 0; poll < 3; ++poll) {
    std::uint32_t state = 0;
    const auto took = ElapsedMs([&] { state = UPSGetState(); });
    EXPECT_EQ(state, 8u) << "poll " << poll;
    EXPECT_LT(took, kWorstPollMs) << "poll " << poll;
  }
  ExpectNothingNewPublished(GetParam().name);
  line.peer->SetFault(UpsPeer::Fault::kNone);
  EXPECT_LE(PollsUntil(1), 2);
  EXPECT_EQ(line.Status("FirmwareRev"), "v1.0b  [ Silenced ]");
  EXPECT_EQ(line.peer->InvalidFrames(), 0) << "every frame the driver sent was whole";
}

INSTANTIATE_TEST_SUITE_P(Faults, BadRepliesTest,
                         ::testing::Values(LineFault{"Silent", UpsPeer::Fault::kSilent},
                                           LineFault{"Garbled", UpsPeer::Fault::kGarbled},
                                           LineFault{"Short", UpsPeer::Fault::kShort},
                                           LineFault{"LowerCase", UpsPeer::Fault::kLowerCase},
                                           LineFault{"Unplugged", UpsPeer::Fault::kUnplugged}),
                         [](const auto& param) { return param.param.name; });

TEST_F(FaultTest, LateRepliesAreTakenAsTheNextPollsReply) {
  line.peer->SetFault(UpsPeer::Fault::kLate, 1300ms);
  EXPECT_EQ(UPSGetState(), 8u);
  std::this_thread::sleep_for(500ms);  // the late reply arrives meanwhile
  line.peer->SetFault(UpsPeer::Fault::kNone);
  line.peer->SetStatus(0);
  // The queued late reply (still on battery) is read first; the true state follows.
  EXPECT_LE(PollsUntil(1), 2);
  EXPECT_EQ(line.peer->InvalidFrames(), 0);
}

TEST_F(FaultTest, FloodOfGarbage) {
  std::mt19937 random(7);
  std::string noise(3000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  line.peer->SendRaw(noise);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(UPSGetState(), 8u);
  ExpectNothingNewPublished("after the flood");
  line.peer->SetStatus(0);
  EXPECT_LE(PollsUntil(1), 2);
}

TEST_F(FaultTest, UnpluggedDuringAWaitAndPluggedBack) {
  auto lost = std::async(std::launch::async,
                         [] { return ElapsedMs([] { UPSWaitForStateChange(2, 0xFFFFFFFF); }); });
  std::this_thread::sleep_for(500ms);
  line.peer->SetFault(UpsPeer::Fault::kUnplugged);
  ASSERT_EQ(lost.wait_for(5s), std::future_status::ready) << "the wait must see the loss";
  EXPECT_EQ(UPSGetState(), 8u);
  ExpectNothingNewPublished("unplugged");

  line.peer->SetFault(UpsPeer::Fault::kNone);
  const auto back = ElapsedMs([] { UPSWaitForStateChange(8, 0xFFFFFFFF); });
  EXPECT_LT(back, 2 * 1000 + 2 * 300) << "within two polls";
  EXPECT_EQ(UPSGetState(), 2u);
}

TEST_F(FaultTest, DeviceRemovedWhileOpen) {
  line.peer->Hangup();
  for (int poll = 0; poll < 3; ++poll) {
    std::uint32_t state = 0;
    EXPECT_LT(ElapsedMs([&] { state = UPSGetState(); }), kWorstPollMs);
    EXPECT_EQ(state, 8u);
  }
  EXPECT_EQ(UPSStop(), 1u);
}

TEST_F(FaultTest, StatusKeyMissingOrNotAKeyPublishesNothingAndPollsOn) {
  const auto status = line.registry.KeyDirectory(corvale::kStatusKey);
  std::filesystem::remove_all(status);
  line.peer->SetStatus(0);
  EXPECT_EQ(UPSGetState(), 1u);
  EXPECT_FALSE(std::filesystem::exists(status)) << "keys are never created";
  std::ofstream(status) << "not a key\n";
  line.peer->SetStatus(kOnBatt);
  EXPECT_EQ(UPSGetState(), 2u);
}

TEST_F(FaultTest, ReadOnlyStatusKeyKeepsItsValues) {
  const auto status = line.registry.KeyDirectory(corvale::kStatusKey);
  if (std::system(("chattr +i '" + status.string() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "this file system cannot make a folder read-only for root";
  }
  line.peer->SetStatus(0);
  EXPECT_EQ(UPSGetState(), 1u);
  EXPECT_EQ(std::system(("chattr -i '" + status.string() + "'").c_str()), 0);
  ExpectNothingNewPublished("read-only key");
}

TEST(FaultEnvironmentTest, MissingRegistryRootIsFourAndNothingHangs) {
  corvale::testing::Line line;
  setenv(corvale::kRegistryVariable, (line.directory.Path() / "no-such-root").c_str(), 1);
  EXPECT_EQ(UPSInit(), 4u);
  EXPECT_LT(ElapsedMs([] { EXPECT_EQ(UPSGetState(), 8u); }), 100);
  EXPECT_TRUE(line.peer->Frames().empty());
  EXPECT_EQ(UPSStop(), 0u);
}

}  // namespace
