// What the driver publishes under the UPS service's status key when the status word changes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char kStatusKeyPath[] = "System\\CurrentControlSet\\Services\\UPS\\Status";
inline constexpr std::size_t kStatusTextBufferSize = 256;

// "v1.0b  [" followed by the names of the set bits 0 to 9, or " Normal", and " ]".
void ComposeStatusText(std::uint16_t linkStatus, char out[kStatusTextBufferSize]);

// Writes "BatteryStatus", "BatteryCapacity" and "FirmwareRev", in that order. A failed write
// leaves the value published before in place.
void PublishStatus(std::uint16_t linkStatus);

// Each opens the status key, sets one value and closes the key again. True when the value was set.
bool WriteStatusDword(const char* name, std::uint32_t value);
bool WriteStatusString(const char* name, const char* text);
