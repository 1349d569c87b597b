#include "protocol/frames.h"

const char* const StatusBitNames[kReplyBitCount] = {
    "OnBatt",   nullptr,    "LowBatt", "Overload", nullptr,
    "Silenced", "BattFail", "SysFail", "SysTest",  nullptr,
};

namespace {

// The classic C library generator: 15-bit values, the same sequence on every load. The filler only
// has to vary from poll to poll; nothing depends on it being unpredictable.
std::uint32_t generatorState = 1;

std::uint16_t BuiltInRandom() {
  generatorState = generatorState * 214013u + 2531011u;
  return static_cast<std::uint16_t>((generatorState >> 16) & 0x7FFF);
}

PollRandomSource randomSource = BuiltInRandom;

}  // namespace

void SetPollRandomSource(PollRandomSource source) {
  randomSource = source != nullptr ? source : BuiltInRandom;
}

void BuildPollFrame(std::uint8_t frame[kCommandFrameSize]) {
  frame[0] = 'Z';
  for (std::size_t offset = 1; offset <= 11; ++offset) {
    frame[offset] = static_cast<std::uint8_t>('A' + randomSource() % 10);
  }
  frame[frame[1] - 0x3F] = 'L';
  frame[12] = kCarriageReturn;
}

bool BuildTurnOffFrame(std::uint32_t delay, char out[kTurnOffFrameBufferSize]) {
  if (delay > 999) {
    out[0] = '\0';
    return false;
  }
  // Fill the template's three "%c" in order: hundreds, tens, units. Done by hand rather than with
  // snprintf, which would pull a whole formatting engine into a small driver.
  const char digits[3] = {static_cast<char>('A' + delay / 100),
                          static_cast<char>('A' + delay % 100 / 10),
                          static_cast<char>('A' + delay % 10)};
  std::size_t used = 0;
  std::size_t length = 0;
  for (const char* t = kTurnOffTemplate; *t != '\0' && length + 1 < kTurnOffFrameBufferSize; ++t) {
    if (t[0] == '%' && t[1] == 'c' && used < 3) {
      out[length++] = digits[used++];
      ++t;
    } else {
      out[length++] = *t;
    }
  }
  out[length] = '\0';
  return true;
}

bool DecodeReply(const std::uint8_t* bytes, std::uint32_t count, std::uint16_t* replyBits) {
  if (count != kReplyFrameSize || bytes[0] != '$' || bytes[11] != kCarriageReturn) {
    return false;
  }
  std::uint16_t bits = 0;
  for (int bit = 0; bit < kReplyBitCount; ++bit) {
    const std::uint8_t letter = bytes[1 + bit];
    if (letter == 'B') {
      bits |= static_cast<std::uint16_t>(1u << bit);
    } else if (letter != 'A') {
      return false;
    }
  }
  *replyBits = bits;
  return true;
}

std::uint16_t DeriveHostState(std::uint16_t linkStatus) {
  if (linkStatus & kCommFail) return kStateNoCommunication;
  if (!(linkStatus & kOnBatt)) return kStateOnline;
  if (linkStatus & kLowBatt) return kStateLowBattery;
  return kStateOnBattery;
}
