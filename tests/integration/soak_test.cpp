// Tens of thousands of exchanges against a UPS that spoils a reply now and then and changes its
// state between polls. A wrong state is one that is neither the UPS's true state nor, for a poll
// whose reply was spoilt, "no communication".
#include <gtest/gtest.h>

#include <random>

#include "driver/ups_api.h"
#include "tests/support/line_fixture.h"

namespace {

std::uint32_t TrueState(std::uint16_t bits) {
  if (!(bits & 0x0001)) return 1;
  return (bits & 0x0004) ? 4 : 2;
}

TEST(SoakTest, NoWrongStateUnderRandomFaults) {
  constexpr int kPolls = 20000;
  corvale::testing::Line line;
  ASSERT_EQ(UPSInit(), 1u);
  line.peer->SetRandomFaults(0.001, 20261207);
  std::mt19937 random(1);
  constexpr std::uint16_t kStates[] = {0x0000, 0x0001, 0x0005, 0x0004, 0x0041, 0x0008};
  int wrongStates = 0, noCommunication = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int poll = 0; poll < kPolls; ++poll) {
    const std::uint16_t bits = kStates[random() % 6];
    line.peer->SetStatus(bits);
    const auto faultsBefore = line.peer->InjectedFaults();
    const std::uint32_t state = UPSGetState();
    const bool spoilt = line.peer->InjectedFaults() != faultsBefore;
    if (state == 8) {
      ++noCommunication;
      wrongStates += !spoilt;
    } else {
      wrongStates += state != TrueState(bits);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  UPSStop();
  std::printf(
      "soak: %d polls in %.1f s, %llu spoilt replies, %d no-communication, %d wrong states\n",
      kPolls, seconds, static_cast<unsigned long long>(line.peer->InjectedFaults()),
      noCommunication, wrongStates);
  EXPECT_EQ(wrongStates, 0);
  EXPECT_GT(line.peer->InjectedFaults(), 0u) << "the soak must actually inject faults";
  EXPECT_EQ(line.peer->InvalidFrames(), 0);
}

}  // namespace
