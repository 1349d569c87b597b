#include "protocol/exchange.h"

#include <cstdint>

#include "driver/module_state.h"
#include "platform/platform.h"
#include "protocol/frames.h"
#include "protocol/status_report.h"

namespace {

// Enough for the receive buffer of any serial driver, yet bounded when noise never stops.
constexpr int kDrainLimit = 512;

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

// Reads whatever is queued until the line is quiet, or at most kDrainLimit replies' worth.
void DrainLine(std::uint8_t buffer[kCommandFrameSize]) {
  for (int read = 0; read < kDrainLimit; ++read) {
    std::uint32_t received = 0;
    if (!SerialRead(PortHandle, buffer, kReplyFrameSize, &received) || received < kReplyFrameSize) {
      return;
    }
  }
}

// True with the reply bits when the UPS answered the command with a valid reply.
bool TalkToUps(std::uint8_t buffer[kCommandFrameSize], std::uint16_t* replyBits) {
  // After UPSStop (or before UPSInit) there is no port: fail without touching any handle.
  if (PortHandle == kInvalidSerialHandle) return false;
  if (!SerialWrite(PortHandle, buffer, kCommandFrameSize)) return false;
  std::uint32_t received = 0;
  if (!SerialRead(PortHandle, buffer, kReplyFrameSize, &received)) return false;
  if (DecodeReply(buffer, received, replyBits)) return true;
  // Twelve bytes that are no reply mean the line is out of step (noise, or the tail of something
  // older): empty the receive queue so that the next reply is read from its start. A short or
  // missing reply is left alone: a late reply still on its way belongs to the next exchange.
  if (received == kReplyFrameSize) DrainLine(buffer);
  return false;
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
