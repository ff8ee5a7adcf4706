// The CRC-32 of ZIP and IEEE 802.3 (reflected polynomial 0xEDB88320).
// Crc32Update does no pre- or post-inversion: callers start the register at
// 0xFFFFFFFF and invert the final value.
#pragma once

#include <array>
#include <cstdint>

namespace km {

namespace detail {
constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
}  // namespace detail

inline constexpr std::array<uint32_t, 256> Crc32Table = detail::MakeCrc32Table();

// One byte step of the register.
constexpr uint32_t Crc32Byte(uint32_t crc, uint8_t b) {
  return Crc32Table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

// Folds length bytes into crc; a null buffer or length <= 0 returns crc.
uint32_t Crc32Update(uint32_t crc, const void* buffer, int64_t length);
// The same on an accumulator held by the caller. (A separate name: an
// overload on uint32_t& would make every call with a variable ambiguous.)
inline void Crc32UpdateInPlace(uint32_t& crc, const void* buffer, int64_t length) {
  crc = Crc32Update(crc, buffer, length);
}

}  // namespace km
