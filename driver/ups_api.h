// The six entry points the UPS service calls, with C linkage, plain names and the Windows calling
// convention (WINAPI) where there is one.
#pragma once

#include <cstdint>

// Windows exports the entry points through a .def file; ELF needs them marked visible.
#if defined(_WIN32)
#define UPS_API __stdcall
#define UPS_EXPORT
#else
#define UPS_API
#define UPS_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Result codes of UPSInit.
enum UpsInitResult : std::uint32_t {
  kInitOk = 1,              // port open, the first poll got a valid reply
  kInitRegistryFailed = 4,  // the port name could not be read
  kInitPortFailed = 5,      // the port could not be opened or set up
  kInitNoReply = 6,         // the port is open but the UPS gave no valid reply
};

UPS_EXPORT std::uint32_t UPS_API UPSInit(void);
UPS_EXPORT std::uint32_t UPS_API UPSStop(void);
UPS_EXPORT std::uint32_t UPS_API UPSGetState(void);
UPS_EXPORT void UPS_API UPSWaitForStateChange(std::uint32_t state, std::uint32_t interval);
UPS_EXPORT void UPS_API UPSCancelWait(void);
UPS_EXPORT std::uint32_t UPS_API UPSTurnOff(std::uint32_t delay);

}  // extern "C"
