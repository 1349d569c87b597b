// The Windows back end: the kernel32 serial and advapi32 registry calls, nothing newer than
// Windows 2000.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

static_assert(sizeof(DCB) <= sizeof(SerialSettings::native), "the DCB must fit the settings");

namespace {

HANDLE AsHandle(SerialHandle port) {
  return reinterpret_cast<HANDLE>(port);
}
HKEY AsKey(RegistryKey key) {
  return reinterpret_cast<HKEY>(key);
}

CRITICAL_SECTION exchangeLock;

constexpr char kXon = 0x11;   // DC1
constexpr char kXoff = 0x13;  // DC3

}  // namespace

SerialHandle SerialOpen(const char* name) {
  // Through the device namespace: plain names reach COM1 to COM9 only, and USB adapters often
  // get COM10 and up. "Port" holds at most 7 characters, so the whole path fits.
  char path[16] = "\\\\.\\";
  std::size_t length = 4;
  for (; *name != '\0' && length + 1 < sizeof path; ++name) path[length++] = *name;
  if (*name != '\0') return kInvalidSerialHandle;
  path[length] = '\0';
  // No sharing, existing devices only, synchronous I/O.
  const HANDLE port =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return port == INVALID_HANDLE_VALUE ? kInvalidSerialHandle : reinterpret_cast<SerialHandle>(port);
}

bool SerialBuildSettings(const char* mode, SerialSettings* settings) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!BuildCommDCBA(mode, &dcb)) return false;
  // BuildCommDCBA fills only what the mode names, leaving both flow-control characters zero, and
  // SetCommState refuses a block whose XON and XOFF are equal. The standard pair, with software
  // flow control still off (fOutX and fInX stay zero): the line behaves as before.
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  std::memcpy(settings->native, &dcb, sizeof dcb);
  settings->dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  settings->rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  return true;
}

bool SerialApplySettings(SerialHandle port, const SerialSettings* settings) {
  DCB dcb;
  std::memcpy(&dcb, settings->native, sizeof dcb);
  dcb.fDtrControl = settings->dtrControl & 3u;
  dcb.fRtsControl = settings->rtsControl & 3u;
  return SetCommState(AsHandle(port), &dcb) != 0;
}

void SerialSetReadTimeouts(SerialHandle port, std::uint32_t intervalMs, std::uint32_t totalMs) {
  // Zeroed first, so that a failed read leaves write time-outs of zero, not stack garbage.
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  GetCommTimeouts(AsHandle(port), &timeouts);
  timeouts.ReadIntervalTimeout = intervalMs;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = totalMs;
  SetCommTimeouts(AsHandle(port), &timeouts);
}

bool SerialWrite(SerialHandle port, const std::uint8_t* data, std::uint32_t count) {
  DWORD written = 0;
  return WriteFile(AsHandle(port), data, count, &written, nullptr) != 0;
}

bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t capacity,
                std::uint32_t* received) {
  DWORD count = 0;
  const BOOL ok = ReadFile(AsHandle(port), buffer, capacity, &count, nullptr);
  *received = count;
  return ok != 0;
}

std::uint32_t SerialClose(SerialHandle port) {
  return CloseHandle(AsHandle(port)) ? 1 : 0;
}

bool RegistryOpenKey(const char* path, RegistryAccess access, RegistryKey* key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &opened) != ERROR_SUCCESS) return false;
  *key = reinterpret_cast<RegistryKey>(opened);
  return true;
}

bool RegistryQueryValue(RegistryKey key, const char* name, void* buffer, std::uint32_t* size) {
  DWORD length = *size;
  if (RegQueryValueExA(AsKey(key), name, nullptr, nullptr, static_cast<BYTE*>(buffer), &length) !=
      ERROR_SUCCESS) {
    return false;
  }
  *size = length;
  return true;
}

bool RegistrySetDword(RegistryKey key, const char* name, std::uint32_t value) {
  const DWORD data = value;
  return RegSetValueExA(AsKey(key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                        sizeof data) == ERROR_SUCCESS;
}

bool RegistrySetString(RegistryKey key, const char* name, const char* text) {
  return RegSetValueExA(AsKey(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

void RegistryCloseKey(RegistryKey key) {
  RegCloseKey(AsKey(key));
}

void PlatformSleep(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

void PlatformAttach(void* instance) {
  DisableThreadLibraryCalls(static_cast<HMODULE>(instance));
  InitializeCriticalSection(&exchangeLock);
}

void ExchangeLockAcquire() {
  EnterCriticalSection(&exchangeLock);
}
void ExchangeLockRelease() {
  LeaveCriticalSection(&exchangeLock);
}
