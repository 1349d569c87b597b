#include "driver/module_state.h"

// The port starts out invalid rather than zero: on POSIX, descriptor 0 is a real file, and an
// exchange before UPSInit must fail without touching it.
SerialHandle PortHandle = kInvalidSerialHandle;
std::atomic<std::uint16_t> LinkStatus{0};
std::atomic<std::uint16_t> HostState{0};
std::atomic<std::uint8_t> CancelRequested{0};
