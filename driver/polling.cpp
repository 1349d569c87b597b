// UPSGetState, UPSWaitForStateChange, UPSCancelWait and UPSTurnOff.
#include "driver/module_state.h"
#include "driver/ups_api.h"
#include "platform/platform.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"

namespace {
constexpr std::uint32_t kNoTimeLimit = 0xFFFFFFFF;
constexpr std::uint32_t kLongestSleepMs = 1000;
}  // namespace

std::uint32_t UPS_API UPSGetState(void) {
  // Until the UPS reports that its alarm is silenced, ask it to be quiet before every poll.
  if (!(LinkStatus.load(std::memory_order_relaxed) & kSilenced)) ExchangeStatus(kSilenceFrame);
  ExchangeStatus(nullptr);
  return HostState.load(std::memory_order_relaxed);
}

void UPS_API UPSWaitForStateChange(std::uint32_t state, std::uint32_t interval) {
  // Clearing first means a cancel that arrived before this wait does not end it.
  CancelRequested.store(0);
  for (;;) {
    if (UPSGetState() != state) return;
    const std::uint32_t step = interval < kLongestSleepMs ? interval : kLongestSleepMs;
    PlatformSleep(step);
    if (interval != kNoTimeLimit) {
      interval -= step;
      if (interval == 0) return;
    }
    if (CancelRequested.load()) return;
  }
}

void UPS_API UPSCancelWait(void) {
  CancelRequested.store(1);
}

std::uint32_t UPS_API UPSTurnOff(std::uint32_t delay) {
  char frame[kTurnOffFrameBufferSize];
  if (!BuildTurnOffFrame(delay, frame)) return 0;
  return ExchangeStatus(frame) ? 1 : 0;
}
