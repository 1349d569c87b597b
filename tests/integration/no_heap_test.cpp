// Proof that the driver allocates nothing: this program replaces malloc and operator new and
// counts every allocation made by the calling thread while it is inside an entry point.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/ups_api.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/line_fixture.h"

namespace {

using corvale::testing::Counted;
using corvale::testing::DriverAllocations;

TEST(NoHeapTest, TheCounterSeesAllocations) {
  const int before = DriverAllocations();
  Counted([] {
    // Through a volatile pointer, so that the compiler cannot drop the allocation.
    void* (*volatile allocate)(std::size_t) = std::malloc;
    std::free(allocate(16));
    return 0;
  });
  EXPECT_EQ(DriverAllocations() - before, 1) << "the counter must work for the proof to mean much";
}

TEST(NoHeapTest, InitPollWaitTurnOffAndStopAllocateNothing) {
  corvale::testing::Line line;
  EXPECT_EQ(Counted([] { return UPSInit(); }), 1u);
  line.peer->SetStatus(0x0001);  // a change, so that the status report is published
  EXPECT_EQ(Counted([] { return UPSGetState(); }), 2u);
  Counted([] {
    UPSWaitForStateChange(2, 1500);
    return 0;
  });
  EXPECT_EQ(Counted([] { return UPSTurnOff(120); }), 1u);
  line.peer->SetFault(corvale::UpsPeer::Fault::kGarbled);
  EXPECT_EQ(Counted([] { return UPSGetState(); }), 8u);
  Counted([] {
    UPSCancelWait();
    return 0;
  });
  EXPECT_EQ(Counted([] { return UPSStop(); }), 1u);
  EXPECT_EQ(Counted([] { return UPSGetState(); }), 8u);
  EXPECT_EQ(DriverAllocations(), 0);
}

TEST(NoHeapTest, FailedStartsAllocateNothing) {
  corvale::testing::Line line;
  line.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  EXPECT_EQ(Counted([] { return UPSInit(); }), 6u);
  line.registry.Write(corvale::kServiceKey, "Port", "COM9");
  EXPECT_EQ(Counted([] { return UPSInit(); }), 5u);
  std::filesystem::remove(line.registry.KeyDirectory(corvale::kServiceKey) / "Port");
  EXPECT_EQ(Counted([] { return UPSInit(); }), 4u);
  EXPECT_EQ(DriverAllocations(), 0);
}

}  // namespace
