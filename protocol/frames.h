// The serial protocol: command and reply frames, the status word and the host state.
// Pure computation, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kCommandFrameSize = 13;
inline constexpr std::size_t kReplyFrameSize = 12;
inline constexpr std::size_t kTurnOffFrameBufferSize = 16;
inline constexpr std::uint8_t kCarriageReturn = 0x0D;

// Stored command frames: offset 1 selects where the command letter stands (selector - 0x3F).
inline constexpr char kInitialPollFrame[] = "ZCADLIOPERJD";      // "L" at offset 4
inline constexpr char kSilenceFrame[] = "ZELWSABPMBEQ";          // "B" at offset 6
inline constexpr char kTurnOffTemplate[] = "ZBAS%c%c%cWLPGE\r";  // "S" at offset 3, delay after

// Bits of the status word. Bits 0 to 9 mirror the reply letters; CommFail is the driver's own.
enum StatusBit : std::uint16_t {
  kOnBatt = 0x0001,
  kLowBatt = 0x0004,
  kOverload = 0x0008,
  kSilenced = 0x0020,
  kBattFail = 0x0040,
  kSysFail = 0x0080,
  kSysTest = 0x0100,
  kCommFail = 0x0400,
};
inline constexpr std::uint16_t kReplyBitsMask = 0x03FF;
inline constexpr int kReplyBitCount = 10;

// What the host is told.
enum HostStateValue : std::uint16_t {
  kStateOnline = 1,
  kStateOnBattery = 2,
  kStateLowBattery = 4,
  kStateNoCommunication = 8,
};

// Names of status bits 0 to 9, null where a bit has no name.
extern const char* const StatusBitNames[kReplyBitCount];

// Source of the poll frame's filler: values 0 to 32767. Replaceable so that tests can force
// particular frames; nullptr restores the built-in generator.
using PollRandomSource = std::uint16_t (*)();
void SetPollRandomSource(PollRandomSource source);

// A complete poll frame: "Z", selector, pseudo-random filler with "L" at the selected offset, CR.
void BuildPollFrame(std::uint8_t frame[kCommandFrameSize]);

// Formats the turn-off frame (13 characters and a NUL) for `delay` seconds. Three decimal digits
// cannot carry more than 999, so larger delays are refused and `out` is left empty.
bool BuildTurnOffFrame(std::uint32_t delay, char out[kTurnOffFrameBufferSize]);

// Validates a reply and, when valid, gives its ten status bits.
bool DecodeReply(const std::uint8_t* bytes, std::uint32_t count, std::uint16_t* replyBits);

std::uint16_t DeriveHostState(std::uint16_t linkStatus);
