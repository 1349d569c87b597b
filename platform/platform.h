// The one interface between the driver and the operating system.
//
// Everything the driver asks of the OS goes through these calls, so the driver and protocol code
// never include an OS header. Each back end (Windows, POSIX, and a scripted fake for tests) lives
// in its own source file, chosen at build time. The calls mirror the Windows serial and registry
// calls the driver was designed around; the POSIX back end reproduces their semantics.
#pragma once

#include <cstdint>

// A serial port or registry key handle. Windows handles and POSIX descriptors both fit.
using SerialHandle = std::intptr_t;
using RegistryKey = std::intptr_t;
inline constexpr SerialHandle kInvalidSerialHandle = -1;

// Line settings parsed from a mode text such as "1200,N,8,1". The back end keeps whatever it needs
// in `native` (the Windows DCB, the POSIX line parameters); the driver only steers the two control
// lines, 1 = raised (enable), 0 = dropped (disable).
struct SerialSettings {
  std::uint8_t dtrControl;
  std::uint8_t rtsControl;
  alignas(8) unsigned char native[48];
};

// Registry access masks, as the Windows registry calls take them.
enum RegistryAccess : std::uint32_t {
  kRegistryQuery = 0x0001,   // KEY_QUERY_VALUE
  kRegistryWrite = 0x20006,  // KEY_WRITE
};

// Opens an existing serial device for reading and writing, exclusively, without waiting for
// carrier. Returns kInvalidSerialHandle on failure.
SerialHandle SerialOpen(const char* name);

// Fills `settings` from a mode text ("baud,parity,data,stop"). False when the text is malformed.
bool SerialBuildSettings(const char* mode, SerialSettings* settings);

// Applies line settings and both control lines at once. False on failure.
bool SerialApplySettings(SerialHandle port, const SerialSettings* settings);

// Reads the port's time-outs, replaces the read ones and applies them; write time-outs stay as
// they were. A read then returns when `capacity` bytes arrived, when `intervalMs` pass between two
// bytes, or when `totalMs` pass in all. Failures are not reported: the driver runs on regardless.
void SerialSetReadTimeouts(SerialHandle port, std::uint32_t intervalMs, std::uint32_t totalMs);

// Writes `count` bytes. True when the OS took them.
bool SerialWrite(SerialHandle port, const std::uint8_t* data, std::uint32_t count);

// Reads up to `capacity` bytes under the read time-outs. True unless the read itself failed;
// `received` says how many bytes arrived (possibly none).
bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t* received);

// Closes the port. Non-zero on success, as the host sees it.
std::uint32_t SerialClose(SerialHandle port);

// Opens an existing key below the local-machine root ("System\\...", backslash separated).
// Keys are never created. True on success.
bool RegistryOpenKey(const char* path, RegistryAccess access, RegistryKey* key);

// Reads value `name` into `buffer`; `*size` is the buffer's size on entry and the data's size on
// success. Fails when the value is missing or its data does not fit. The type is not reported.
bool RegistryQueryValue(RegistryKey key, const char* name, void* buffer, std::uint32_t* size);

// Sets a 32-bit number value.
bool RegistrySetDword(RegistryKey key, const char* name, std::uint32_t value);

// Sets a string value; its data is the text with its terminating NUL.
bool RegistrySetString(RegistryKey key, const char* name, const char* text);

void RegistryCloseKey(RegistryKey key);

// Suspends the calling thread for about `milliseconds`.
void PlatformSleep(std::uint32_t milliseconds);

// Called once when the library is loaded: stops per-thread attach notifications and readies the
// exchange lock.
void PlatformAttach(void* instance);

// The exchange lock: serialises everything that touches the port. Needs no heap.
void ExchangeLockAcquire();
void ExchangeLockRelease();
