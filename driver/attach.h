// The library attach routine, shared by the Windows DllMain and the POSIX load-time constructor.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kProcessAttach = 1;

// Returns 1 (success) for every reason.
int DriverAttach(void* instance, std::uint32_t reason);
