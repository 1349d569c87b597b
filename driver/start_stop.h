// Link start-up, used by UPSInit.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr char kServiceKeyPath[] = "System\\CurrentControlSet\\Services\\UPS";
inline constexpr char kLineMode[] = "1200,N,8,1";
inline constexpr std::uint32_t kPortNameSize = 8;

// Reads the "Port" value into `buffer`. Fails unless the name and its terminating NUL fit.
bool ReadPortName(char* buffer, std::uint32_t size);

// Opens port `name` and runs the line set-up: mode, DTR up, RTS pulsed for 500 ms, a 1000 ms
// settle, read time-outs. On success `*port` holds the open port; on failure nothing stays open.
bool OpenPort(const char* name, const char* mode, SerialHandle* port);
