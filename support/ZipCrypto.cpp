#include "support/ZipCrypto.h"

namespace km {

void InitKeys(const std::string& password, KeySet& keys) {
  keys = KeySet{};
  for (char c : password) UpdateKeys(keys, uint8_t(c));
}

void EncryptBuffer(KeySet& keys, uint8_t* buffer, int64_t start, int64_t count) {
  if (buffer == nullptr || count <= 0 || start < 0) return;
  for (uint8_t *p = buffer + start, *end = p + count; p != end; ++p) *p = EncryptByte(keys, *p);
}

void DecryptBuffer(KeySet& keys, uint8_t* buffer, int64_t count) {
  if (buffer == nullptr || count <= 0) return;
  for (uint8_t *p = buffer, *end = buffer + count; p != end; ++p) {
    uint8_t plain = *p ^ KeyStreamByte(keys);
    UpdateKeys(keys, plain);
    *p = plain;
  }
}

void DecryptHeader(const std::string& password, KeySet& keys,
                   uint8_t header[kEncryptionHeaderSize]) {
  InitKeys(password, keys);
  DecryptBuffer(keys, header, kEncryptionHeaderSize);
}

}  // namespace km
