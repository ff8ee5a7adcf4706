// Traditional PKWARE encryption: a stream cipher over three 32-bit keys, with
// a 12-byte header before each entry's data.
#pragma once

#include <cstdint>
#include <string>

#include "support/Crc32.h"

namespace km {

struct KeySet {
  uint32_t key0 = 0x12345678;
  uint32_t key1 = 0x23456789;
  uint32_t key2 = 0x34567890;
};

inline constexpr int kEncryptionHeaderSize = 12;

// Initial keys, then one UpdateKeys per password byte.
void InitKeys(const std::string& password, KeySet& keys);

// One key step with a plaintext byte.
inline void UpdateKeys(KeySet& keys, uint8_t c) {
  keys.key0 = Crc32Byte(keys.key0, c);
  keys.key1 = (keys.key1 + (keys.key0 & 0xFF)) * 134775813u + 1;
  keys.key2 = Crc32Byte(keys.key2, uint8_t(keys.key1 >> 24));
}

// The next keystream byte; the keys do not change. Only the low 16 bits of
// key 2 reach bits 8..15 of the product.
inline uint8_t KeyStreamByte(const KeySet& keys) {
  uint32_t t = (keys.key2 | 2) & 0xFFFF;
  return uint8_t((t * (t ^ 1)) >> 8);
}

inline uint8_t EncryptByte(KeySet& keys, uint8_t plain) {
  uint8_t t = KeyStreamByte(keys);
  UpdateKeys(keys, plain);
  return plain ^ t;
}

// Encrypts buffer[start .. start + count) in place; nothing when count <= 0.
void EncryptBuffer(KeySet& keys, uint8_t* buffer, int64_t start, int64_t count);
// Decrypts buffer[0 .. count) in place; nothing when count <= 0.
void DecryptBuffer(KeySet& keys, uint8_t* buffer, int64_t count);
// InitKeys with password, then decrypts the 12 header bytes in place; the
// keys are then ready for the entry's data.
void DecryptHeader(const std::string& password, KeySet& keys,
                   uint8_t header[kEncryptionHeaderSize]);

}  // namespace km
