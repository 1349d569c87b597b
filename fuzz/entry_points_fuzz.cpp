// Whole sequences of entry-point calls on the fake OS, driven by the fuzz input: what the UPS
// answers (valid, short, failed, garbage, silence), registry failures and turn-off delays. After
// every step the driver's state must be consistent and every frame on the line well formed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/module_state.h"
#include "driver/ups_api.h"
#include "platform/fake/fake_platform.h"
#include "protocol/frames.h"
#include "protocol/status_report.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::string Bytes(std::size_t count) {
    std::string bytes;
    while (count-- > 0 && !Empty()) bytes += static_cast<char>(Byte());
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Names the broken invariant before stopping, so that a finding explains itself.
#define Check(condition)                                                              \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condition, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

// The values a publication of `status` writes, as the fake records them.
std::string Expected(std::uint16_t status) {
  char text[kStatusTextBufferSize];
  ComposeStatusText(status, text);
  const bool failed = status & kBattFail;
  return std::string("BatteryStatus=") + (failed ? "2" : "1") + " BatteryCapacity=" +
         (failed                ? "1"
          : (status & kLowBatt) ? "10"
                                : "99") +
         " FirmwareRev=" + text;
}

// `stateFromExchange`: the last step that set the status word ran an exchange. A UPSInit that
// fails before its exchange resets the word to CommFail but leaves HostState as the last exchange
// left it; the host never sees that, because every UPSGetState exchanges first.
void CheckInvariants(fake::Platform& os, std::size_t callsBefore, bool stateFromExchange) {
  const std::uint16_t status = LinkStatus;
  Check((status & 0xF800) == 0);
  if (HostState != 0 && stateFromExchange) Check(HostState == DeriveHostState(status));
  Check(os.openKeys == 0);
  Check(os.openPorts <= 1);
  Check(os.closedHandleUses == 0);
  for (std::size_t i = callsBefore; i < os.calls.size(); ++i) {
    const std::string& call = os.calls[i];
    if (call.rfind("SerialWrite ", 0) == 0) {
      const std::string frame = call.substr(12);
      // 13 bytes shown printably: "Z", 11 printable or escaped bytes, "\r".
      Check(frame.front() == 'Z');
      Check(frame.size() >= 14 && frame.compare(frame.size() - 2, 2, "\\r") == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fake::Platform& os = fake::Fake();
  os.Reset();
  PortHandle = kInvalidSerialHandle;
  LinkStatus = 0;
  HostState = 0;
  CancelRequested = 0;
  Input input(data, size);
  // The UPS's answer to each command comes from the input too.
  os.ups = [&input](const std::string&) -> std::optional<std::string> {
    switch (input.Byte() % 6) {
      case 0:
        return std::nullopt;  // silence
      case 1:
        return input.Bytes(input.Byte() % 16);  // anything at all
      case 2:
        return fake::ReplyFor(input.Word() & kReplyBitsMask).substr(0, 11);  // short
      default:
        return fake::ReplyFor(input.Word() & kReplyBitsMask);  // a good reply
    }
  };
  bool stateFromExchange = true;
  for (int step = 0; step < 64 && !input.Empty(); ++step) {
    const std::size_t callsBefore = os.calls.size();
    const std::size_t publishedBefore = os.Published().size();
    const bool registryHealthy = os.failingWrites.empty() && os.failingOpens.empty();
    switch (input.Byte() % 10) {
      case 0: {
        const std::uint32_t result = UPSInit();
        Check(result == 1 || result == 4 || result == 5 || result == 6);
        stateFromExchange = result == 1 || result == 6;
        break;
      }
      case 1:
        Check(UPSGetState() == HostState);
        stateFromExchange = true;
        break;
      case 2: {
        const std::uint32_t interval = input.Byte() % 4 == 0 ? 0xFFFFFFFF : input.Word() % 3500;
        int sleeps = 0;
        os.onSleep = [&sleeps](std::uint32_t) {
          if (++sleeps == 4) UPSCancelWait();  // an endless wait ends by a cancel
        };
        UPSWaitForStateChange(input.Byte() % 9, interval);
        os.onSleep = nullptr;
        stateFromExchange = true;
        break;
      }
      case 3: {
        const std::uint32_t delay = input.Word() % 1100;
        const std::size_t writes = os.FramesWritten().size();
        const std::uint32_t result = UPSTurnOff(delay);
        Check(result <= 1);
        if (delay > 999) {
          Check(result == 0 && os.FramesWritten().size() == writes);
        } else {
          stateFromExchange = true;
        }
        break;
      }
      case 4:
        UPSStop();
        break;
      case 5:
        UPSCancelWait();
        break;
      case 6:
        os.writeFails = !os.writeFails;
        break;
      case 7:
        if (os.failingWrites.empty()) {
          os.failingWrites.insert(input.Byte() % 2 ? "BatteryCapacity" : "FirmwareRev");
        } else {
          os.failingWrites.clear();
        }
        break;
      case 8: {
        static const char* const kPorts[] = {"COM1", "ttyUSB0", "ttyUSB10", ""};
        const char* port = kPorts[input.Byte() % 4];
        os.SetPort(std::string(port, std::strlen(port) + (input.Byte() % 2)));
        break;
      }
      default:
        os.scriptedReads.push_back({input.Byte() % 2 == 0, input.Bytes(12), 0});
        break;
    }
    CheckInvariants(os, callsBefore, stateFromExchange);
    const auto published = os.Published();
    if (registryHealthy && os.failingWrites.empty() && published.size() > publishedBefore) {
      const std::size_t n = published.size();
      Check(n - publishedBefore >= 3);
      Check(published[n - 3] + " " + published[n - 2] + " " + published[n - 1] ==
            Expected(LinkStatus));
    }
  }
  return 0;
}
