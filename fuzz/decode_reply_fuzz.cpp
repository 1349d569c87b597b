// Reply decoding against anything the line can deliver. A decoded reply must re-encode to exactly
// the bytes it came from, and anything else must be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint16_t bits = 0xFFFF;
  const bool valid = DecodeReply(data, static_cast<std::uint32_t>(size), &bits);
  if (!valid) {
    if (bits != 0xFFFF) std::abort();  // a refused reply leaves the bits alone
    return 0;
  }
  if (size != kReplyFrameSize || bits > kReplyBitsMask) std::abort();
  std::uint8_t again[kReplyFrameSize] = {'$'};
  for (int bit = 0; bit < kReplyBitCount; ++bit) again[1 + bit] = (bits >> bit) & 1 ? 'B' : 'A';
  again[11] = kCarriageReturn;
  for (std::size_t i = 0; i < kReplyFrameSize; ++i) {
    if (again[i] != data[i]) std::abort();
  }
  const std::uint16_t state = DeriveHostState(bits);
  if (state != 1 && state != 2 && state != 4) std::abort();
  return 0;
}
