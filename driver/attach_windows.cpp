// The DLL entry point. Plain types stand in for HINSTANCE, DWORD and LPVOID so that the driver
// stays free of OS headers; on 32-bit Windows they have the same size and calling convention.
#include <cstdint>

#include "driver/attach.h"

extern "C" int __stdcall DllMain(void* instance, std::uint32_t reason, void* /*reserved*/) {
  return DriverAttach(instance, reason);
}
