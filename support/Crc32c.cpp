#include "support/Crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define KM_CRC32C_SSE42 1
#endif

namespace km {

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t Portable(uint32_t crc, const uint8_t* p, int64_t length) {
  while (length-- > 0) crc = kTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#ifdef KM_CRC32C_SSE42
__attribute__((target("sse4.2"))) uint32_t Hardware(uint32_t crc, const uint8_t* p,
                                                    int64_t length) {
  uint64_t c = crc;
  for (; length >= 8; length -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
  }
  uint32_t c32 = uint32_t(c);
  for (; length > 0; --length) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}

bool HasHardware() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32cUpdateByTable(uint32_t crc, const void* buffer, int64_t length) {
  if (buffer == nullptr || length <= 0) return crc;
  return Portable(crc, static_cast<const uint8_t*>(buffer), length);
}

uint32_t Crc32cUpdate(uint32_t crc, const void* buffer, int64_t length) {
  if (buffer == nullptr || length <= 0) return crc;
  const auto* p = static_cast<const uint8_t*>(buffer);
#ifdef KM_CRC32C_SSE42
  if (HasHardware()) return Hardware(crc, p, length);
#endif
  return Portable(crc, p, length);
}

}  // namespace km
