// UPSInit and UPSStop.
#include "driver/start_stop.h"

#include <cstring>

#include "driver/module_state.h"
#include "driver/ups_api.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"

namespace {

constexpr std::uint32_t kRtsPulseMs = 500;
constexpr std::uint32_t kSettleMs = 1000;
constexpr std::uint32_t kReadIntervalTimeoutMs = 100;
constexpr std::uint32_t kReadTotalTimeoutMs = 1000;

bool SetUpLine(SerialHandle port, const char* mode) {
  SerialSettings settings = {};
  if (!SerialBuildSettings(mode, &settings)) return false;
  settings.dtrControl = 1;
  settings.rtsControl = 1;
  if (!SerialApplySettings(port, &settings)) return false;
  PlatformSleep(kRtsPulseMs);
  settings.rtsControl = 0;
  if (!SerialApplySettings(port, &settings)) return false;
  PlatformSleep(kSettleMs);
  SerialSetReadTimeouts(port, kReadIntervalTimeoutMs, kReadTotalTimeoutMs);
  return true;
}

// Closes the port under the lock, so that no exchange is using it, and forgets the handle: once
// closed, its value may be handed to somebody else's file.
std::uint32_t ClosePortLocked() {
  std::uint32_t closed = 0;
  if (PortHandle != kInvalidSerialHandle) {
    closed = SerialClose(PortHandle);
    PortHandle = kInvalidSerialHandle;
  }
  return closed;
}

}  // namespace

bool ReadPortName(char* buffer, std::uint32_t size) {
  RegistryKey key;
  if (!RegistryOpenKey(kServiceKeyPath, kRegistryQuery, &key)) return false;
  std::uint32_t length = size;
  const bool read = RegistryQueryValue(key, "Port", buffer, &length);
  RegistryCloseKey(key);
  if (!read) return false;
  if (std::memchr(buffer, '\0', length) != nullptr) return true;
  // Data stored without a terminator: fine while there is room for one. A name that fills the
  // whole buffer is too long, and cutting it short could name a different device.
  if (length >= size) return false;
  buffer[length] = '\0';
  return true;
}

bool OpenPort(const char* name, const char* mode, SerialHandle* port) {
  const SerialHandle opened = SerialOpen(name);
  if (opened == kInvalidSerialHandle) return false;
  if (!SetUpLine(opened, mode)) {
    SerialClose(opened);
    return false;
  }
  *port = opened;
  return true;
}

std::uint32_t UPS_API UPSInit(void) {
  LinkStatus.store(kCommFail);
  char name[kPortNameSize];
  if (!ReadPortName(name, sizeof name)) return kInitRegistryFailed;

  // The port work runs under the exchange lock: an earlier UPSInit's port is closed first (it
  // would block this open for want of sharing), and no poll or UPSStop can slip in half-way.
  ExchangeLockAcquire();
  ClosePortLocked();
  const bool opened = OpenPort(name, kLineMode, &PortHandle);
  ExchangeLockRelease();
  if (!opened) return kInitPortFailed;

  return ExchangeStatus(kInitialPollFrame) ? kInitOk : kInitNoReply;
}

std::uint32_t UPS_API UPSStop(void) {
  UPSCancelWait();
  ExchangeLockAcquire();
  const std::uint32_t closed = ClosePortLocked();
  ExchangeLockRelease();
  return closed;
}
