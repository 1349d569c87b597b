#include "protocol/exchange.h"

#include <cstdint>

#include "driver/module_state.h"
#include "platform/platform.h"
#include "protocol/frames.h"
#include "protocol/status_report.h"

namespace {

void PrepareCommand(const char* frame, std::uint8_t buffer[kCommandFrameSize]) {
  if (frame == nullptr) {
    BuildPollFrame(buffer);
  } else {
    // Like strncpy: a shorter text is padded with NUL bytes to 12.
    bool ended = false;
    for (std::size_t i = 0; i < kCommandFrameSize - 1; ++i) {
      ended = ended || frame[i] == '\0';
      buffer[i] = ended ? 0 : static_cast<std::uint8_t>(frame[i]);
    }
  }
  buffer[0] = 'Z';
  buffer[12] = kCarriageReturn;
}

// True with the reply bits when the UPS answered the command with a valid reply.
bool TalkToUps(std::uint8_t buffer[kCommandFrameSize], std::uint16_t* replyBits) {
  // After UPSStop (or before UPSInit) there is no port: fail without touching any handle.
  if (PortHandle == kInvalidSerialHandle) return false;
  if (!SerialWrite(PortHandle, buffer, kCommandFrameSize)) return false;
  std::uint32_t received = 0;
  if (!SerialRead(PortHandle, buffer, kReplyFrameSize, &received)) return false;
  return DecodeReply(buffer, received, replyBits);
}

}  // namespace

bool ExchangeStatus(const char* frame) {
  std::uint8_t buffer[kCommandFrameSize];
  ExchangeLockAcquire();
  PrepareCommand(frame, buffer);  // inside the lock: the poll filler's generator is shared
  const std::uint16_t old = LinkStatus.load(std::memory_order_relaxed);
  std::uint16_t status = static_cast<std::uint16_t>(old | kCommFail);
  std::uint16_t replyBits = 0;
  if (TalkToUps(buffer, &replyBits)) status = replyBits;
  LinkStatus.store(status, std::memory_order_relaxed);
  HostState.store(DeriveHostState(status), std::memory_order_relaxed);
  if (status != old) PublishStatus(status);
  ExchangeLockRelease();

  return !(status & kCommFail);
}
