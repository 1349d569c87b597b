// Host threads calling every entry point at once, as a misbehaving host might: the UPS peer checks
// that every frame reaching it is whole, waits must end after a cancel or a stop, and nothing may
// touch the port once it is closed. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/ups_api.h"
#include "tests/support/line_fixture.h"

namespace {

using corvale::testing::ElapsedMs;
using namespace std::chrono_literals;

TEST(RaceTest, EveryEntryPointAtOnceThenStop) {
  corvale::testing::Line line;
  ASSERT_EQ(UPSInit(), 1u);
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!done) UPSGetState(), ++calls;
  });
  threads.emplace_back([&] {
    while (!done) UPSGetState(), ++calls;
  });
  threads.emplace_back([&] {
    while (!done) UPSTurnOff(999), ++calls;
  });
  threads.emplace_back([&] {
    while (!done) UPSWaitForStateChange(1, 0xFFFFFFFF), ++calls;  // ends by cancel or stop only
  });
  threads.emplace_back([&] {
    while (!done) {
      UPSCancelWait();
      std::this_thread::sleep_for(30ms);
    }
  });
  threads.emplace_back([&] {
    // The UPS flips between states so that waits also end by a change.
    for (int i = 0; !done; ++i) {
      line.peer->SetStatus(i % 2 ? 0x0001 : 0x0000);
      std::this_thread::sleep_for(150ms);
    }
  });
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(UPSStop(), 1u);
  // After the stop nobody may reach the line; let the threads run on the closed driver a while.
  const auto framesAtStop = line.peer->Frames().size();
  std::this_thread::sleep_for(300ms);
  done = true;
  const auto joined = ElapsedMs([&] {
    for (auto& thread : threads) thread.join();
  });
  EXPECT_LT(joined, 1500) << "every wait ends within a sleep of a cancel or stop";
  EXPECT_GT(calls.load(), 20);
  EXPECT_EQ(line.peer->InvalidFrames(), 0) << "no interleaved frame reached the UPS";
  EXPECT_EQ(line.peer->Frames().size(), framesAtStop) << "nothing after the stop";
  EXPECT_GT(framesAtStop, 20u);
}

TEST(RaceTest, ReinitWhilePolling) {
  corvale::testing::Line line;
  ASSERT_EQ(UPSInit(), 1u);
  std::atomic<bool> done{false};
  std::thread poller([&] {
    while (!done) UPSGetState();
  });
  for (int i = 0; i < 2; ++i) EXPECT_EQ(UPSInit(), 1u) << "the port of the last init is reused";
  done = true;
  poller.join();
  EXPECT_EQ(UPSStop(), 1u);
  EXPECT_EQ(line.peer->InvalidFrames(), 0);
}

}  // namespace
