// The native driver on a real pseudo-terminal against an instantly answering UPS: one exchange
// next to the bare minimum for the same bytes on the same device, the CPU an exchange costs, the
// cost of a long wait, the stack the entry points use, and heap allocations. Prints "name value".
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/round_ratio.h"
#include "driver/ups_api.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/line_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvale::testing::Counted;

double ThreadCpuMicroseconds() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  const long long micros = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL +
                           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  return static_cast<double>(micros);
}

struct Figures {
  double wallMicroseconds;  // median per exchange
  double cpuMicroseconds;   // mean per exchange, this thread
};

template <typename Exchange>
Figures Measure(int count, Exchange&& exchange) {
  std::vector<double> walls;
  walls.reserve(count);
  const double cpuStart = ThreadCpuMicroseconds();
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    exchange();
    walls.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const double cpu = (ThreadCpuMicroseconds() - cpuStart) / count;
  std::nth_element(walls.begin(), walls.begin() + count / 2, walls.end());
  return {walls[count / 2], cpu};
}

// The floor: what any program must do to move 13 bytes out and 12 back on this device, a write
// and one blocking read that returns when all 12 bytes are there.
class RawLine {
 public:
  explicit RawLine(const std::string& device) : fd_(open(device.c_str(), O_RDWR | O_NOCTTY)) {
    termios raw;
    tcgetattr(fd_, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 12;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &raw);
  }
  ~RawLine() { close(fd_); }
  void Exchange() {
    static const char kPoll[] = "ZCADLIOPERJD\r";
    char reply[12];
    if (write(fd_, kPoll, 13) != 13 || read(fd_, reply, sizeof reply) != 12) std::abort();
  }

 private:
  int fd_;
};

// Deepest stack an entry point reaches, found by running it on a painted stack of our own.
template <typename Call>
std::size_t StackUse(Call call) {
  constexpr std::size_t kSize = 256 * 1024;
  static std::vector<unsigned char> stack(kSize);
  std::memset(stack.data(), 0xA5, kSize);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack.data(), kSize);
  pthread_t thread;
  static Call* current;
  current = &call;
  pthread_create(
      &thread, &attributes,
      [](void*) -> void* {
        (*current)();
        return nullptr;
      },
      nullptr);
  pthread_join(thread, nullptr);
  std::size_t untouched = 0;
  while (untouched < kSize && stack[untouched] == 0xA5) ++untouched;
  return kSize - untouched;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 3000;
  const int waitSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  corvale::testing::Line line;

  if (UPSInit() != 1) return 1;
  UPSGetState();  // the UPS is silenced from here on: one exchange per UPSGetState
  // Rounds of each in turn, the order swapped every round, so that warm-up and machine noise fall
  // on both alike; each round's ratio compares neighbours in time. The raw side opens the device
  // beside the driver (its lock is advisory); the two never overlap.
  RawLine rawLine(line.peer->DevicePath());
  constexpr int kRounds = 80;
  const int perRound = std::max(count / kRounds, 50);
  std::vector<double> rawMedians, driverMedians, ratios;
  double rawCpu = 0, driverCpu = 0;
  for (int round = 0; round < kRounds; ++round) {
    Figures rawRound, driverRound;
    const auto measureRaw = [&] { rawRound = Measure(perRound, [&] { rawLine.Exchange(); }); };
    const auto measureDriver = [&] { driverRound = Measure(perRound, [] { UPSGetState(); }); };
    if (round % 2 == 0) {
      measureRaw();
      measureDriver();
    } else {
      measureDriver();
      measureRaw();
    }
    rawMedians.push_back(rawRound.wallMicroseconds);
    driverMedians.push_back(driverRound.wallMicroseconds);
    ratios.push_back(driverRound.wallMicroseconds / rawRound.wallMicroseconds);
    rawCpu += rawRound.cpuMicroseconds / kRounds;
    driverCpu += driverRound.cpuMicroseconds / kRounds;
  }
  using corvale::bench::Quantile;
  std::printf("exchange_raw_median_us %.1f\n", Quantile(rawMedians, 0.5));
  std::printf("exchange_driver_median_us %.1f\n", Quantile(driverMedians, 0.5));
  corvale::bench::PrintRatio("exchange", ratios, 1.05);
  std::printf("exchange_raw_cpu_us %.1f\n", rawCpu);
  std::printf("exchange_driver_cpu_us %.1f\n", driverCpu);

  // A steady UPS and no time limit: the wait should sleep, not spin.
  double waitCpu = 0;
  double waitWall = 0;
  std::thread waiter([&] {
    const double cpuStart = ThreadCpuMicroseconds();
    const auto start = Clock::now();
    UPSWaitForStateChange(1, 0xFFFFFFFF);
    waitWall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    waitCpu = ThreadCpuMicroseconds() - cpuStart;
  });
  std::this_thread::sleep_for(std::chrono::seconds(waitSeconds));
  UPSCancelWait();
  waiter.join();
  std::printf("wait_seconds %.1f\n", waitWall / 1e6);
  std::printf("wait_cpu_percent %.4f\n", 100.0 * waitCpu / waitWall);

  // Stack high-water marks; a change of state makes the exchanges publish too.
  line.peer->SetStatus(0x0001);
  std::printf("stack_getstate_bytes %zu\n", StackUse([] { UPSGetState(); }));
  line.peer->SetStatus(0x0000);
  std::printf("stack_turnoff_bytes %zu\n", StackUse([] { UPSTurnOff(120); }));
  std::printf("stack_wait_bytes %zu\n", StackUse([] { UPSWaitForStateChange(1, 1); }));
  std::printf("stack_init_bytes %zu\n", StackUse([] { UPSInit(); }));

  Counted([] { return UPSGetState(); });
  Counted([] { return UPSTurnOff(5); });
  Counted([] { return UPSStop(); });
  std::printf("heap_allocations %d\n", corvale::testing::DriverAllocations());
  return 0;
}
