#include "driver/attach.h"

#include "platform/platform.h"

int DriverAttach(void* instance, std::uint32_t reason) {
  if (reason == kProcessAttach) PlatformAttach(instance);
  return 1;
}
