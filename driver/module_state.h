// State shared by every entry point of one loaded driver.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The open serial port, or kInvalidSerialHandle. Only touched under the exchange lock.
extern SerialHandle PortHandle;

// The status word: ten reply bits plus CommFail. Written only under the exchange lock; atomic so
// that entry points may read it without taking the lock.
extern std::atomic<std::uint16_t> LinkStatus;

// The state last derived by an exchange: 1, 2, 4 or 8; 0 before the first exchange.
extern std::atomic<std::uint16_t> HostState;

// Set by UPSCancelWait (and so UPSStop) to end a running UPSWaitForStateChange after its sleep.
extern std::atomic<std::uint8_t> CancelRequested;
