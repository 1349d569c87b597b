// On POSIX there is no DllMain; the loader runs this constructor when the library is loaded.
#include "driver/attach.h"

namespace {
[[gnu::constructor]] void AttachOnLoad() {
  DriverAttach(nullptr, kProcessAttach);
}
}  // namespace
