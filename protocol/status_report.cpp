#include "protocol/status_report.h"

#include <cstring>

#include "platform/platform.h"
#include "protocol/frames.h"

namespace {

void Append(char* text, std::size_t& length, const char* piece) {
  const std::size_t pieceLength = std::strlen(piece);
  if (length + pieceLength < kStatusTextBufferSize) {
    std::memcpy(text + length, piece, pieceLength + 1);
    length += pieceLength;
  }
}

}  // namespace

void ComposeStatusText(std::uint16_t linkStatus, char out[kStatusTextBufferSize]) {
  static constexpr char kPrefix[] = "v1.0b  [";
  std::size_t length = 0;
  out[0] = '\0';
  Append(out, length, kPrefix);
  for (int bit = 0; bit < kReplyBitCount; ++bit) {
    if (StatusBitNames[bit] != nullptr && (linkStatus & (1u << bit))) {
      Append(out, length, " ");
      Append(out, length, StatusBitNames[bit]);
    }
  }
  Append(out, length, length == sizeof kPrefix - 1 ? " Normal ]" : " ]");
}

void PublishStatus(std::uint16_t linkStatus) {
  std::uint32_t batteryStatus = 1;
  std::uint32_t batteryCapacity = 99;
  if (linkStatus & kBattFail) {
    batteryStatus = 2;
    batteryCapacity = 1;
  } else if (linkStatus & kLowBatt) {
    batteryCapacity = 10;
  }
  char text[kStatusTextBufferSize];
  ComposeStatusText(linkStatus, text);
  WriteStatusDword("BatteryStatus", batteryStatus);
  WriteStatusDword("BatteryCapacity", batteryCapacity);
  WriteStatusString("FirmwareRev", text);
}

bool WriteStatusDword(const char* name, std::uint32_t value) {
  RegistryKey key;
  if (!RegistryOpenKey(kStatusKeyPath, kRegistryWrite, &key)) return false;
  const bool written = RegistrySetDword(key, name, value);
  RegistryCloseKey(key);
  return written;
}

bool WriteStatusString(const char* name, const char* text) {
  RegistryKey key;
  if (!RegistryOpenKey(kStatusKeyPath, kRegistryWrite, &key)) return false;
  const bool written = RegistrySetString(key, name, text);
  RegistryCloseKey(key);
  return written;
}
