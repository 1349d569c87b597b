// Proof that the driver allocates nothing: this program replaces malloc and operator new and
// counts every allocation made by the calling thread while it is inside an entry point.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "driver/ups_api.h"
#include "tests/support/line_fixture.h"

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" void __libc_free(void*);

namespace {
thread_local bool insideDriver = false;
std::atomic<int> driverAllocations{0};
void Count() {
  if (insideDriver) ++driverAllocations;
}
}  // namespace

extern "C" void* malloc(std::size_t size) {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
extern "C" void free(void* pointer) {
  __libc_free(pointer);
}
void* operator new(std::size_t size) {
  Count();
  if (void* pointer = __libc_malloc(size)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept {
  __libc_free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  __libc_free(pointer);
}

namespace {

template <typename Call>
auto Counted(Call&& call) {
  insideDriver = true;
  auto result = call();
  insideDriver = false;
  return result;
}

TEST(NoHeapTest, TheCounterSeesAllocations) {
  const int before = driverAllocations;
  Counted([] {
    void* pointer = std::malloc(16);
    std::free(pointer);
    return 0;
  });
  EXPECT_EQ(driverAllocations - before, 1) << "the counter must work for the proof to mean much";
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
  EXPECT_EQ(driverAllocations, 0);
}

TEST(NoHeapTest, FailedStartsAllocateNothing) {
  corvale::testing::Line line;
  line.peer->SetFault(corvale::UpsPeer::Fault::kSilent);
  EXPECT_EQ(Counted([] { return UPSInit(); }), 6u);
  line.registry.Write(corvale::kServiceKey, "Port", "COM9");
  EXPECT_EQ(Counted([] { return UPSInit(); }), 5u);
  std::filesystem::remove(line.registry.KeyDirectory(corvale::kServiceKey) / "Port");
  EXPECT_EQ(Counted([] { return UPSInit(); }), 4u);
  EXPECT_EQ(driverAllocations, 0);
}

}  // namespace
