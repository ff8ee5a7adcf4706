#include "support/Crc32.h"

#include <zlib.h>

#include <algorithm>

namespace km {

static_assert(Crc32Table[1] == 0x77073096 && Crc32Table[255] == 0x2D02EF8D);

// The bulk of the work goes to zlib's crc32(), the fastest portable CRC-32 at
// hand (several interleaved streams per step) and the same routine the
// decompression throughput is measured against. zlib inverts the register
// on entry and exit, so inverting around the call gives the raw register
// update used here. Its length is 32 bits wide: feed it in chunks.
uint32_t Crc32Update(uint32_t crc, const void* buffer, int64_t length) {
  if (buffer == nullptr || length <= 0) return crc;
  constexpr int64_t kChunk = int64_t(1) << 30;
  const Bytef* p = static_cast<const Bytef*>(buffer);
  uLong z = ~crc & 0xFFFFFFFFu;
  while (length > 0) {
    const int64_t n = std::min(length, kChunk);
    z = crc32(z, p, uInt(n));
    p += n;
    length -= n;
  }
  return ~uint32_t(z);
}

}  // namespace km
