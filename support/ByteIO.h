// Little-endian record encoding over byte buffers. The reader is a bounds-
// checked cursor with a sticky failure flag: once a read runs past the end it
// returns zeros and Ok() stays false, so a caller decodes a record field by
// field and checks Ok() once afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace km {

inline uint16_t ReadU16LE(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t ReadU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t ReadU64LE(const uint8_t* p) {
  return uint64_t(ReadU32LE(p)) | (uint64_t(ReadU32LE(p + 4)) << 32);
}
inline void WriteU16LE(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void WriteU32LE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void WriteU64LE(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Ok() const { return ok_; }
  size_t Remaining() const { return size_ - pos_; }
  size_t Position() const { return pos_; }

  uint8_t U8() { return Take(1) ? data_[pos_ - 1] : 0; }
  uint16_t U16() { return Take(2) ? ReadU16LE(data_ + pos_ - 2) : 0; }
  uint32_t U32() { return Take(4) ? ReadU32LE(data_ + pos_ - 4) : 0; }
  uint64_t U64() { return Take(8) ? ReadU64LE(data_ + pos_ - 8) : 0; }
  // Copies len bytes; fails (and copies nothing) when fewer remain.
  std::string Bytes(size_t len) {
    if (!Take(len)) return {};
    return std::string(reinterpret_cast<const char*>(data_ + pos_ - len), len);
  }
  void Skip(size_t len) { Take(len); }

 private:
  bool Take(size_t len) {
    if (!ok_ || len > size_ - pos_) {
      ok_ = false;
      return false;
    }
    pos_ += len;
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class ByteWriter {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    uint8_t b[2];
    WriteU16LE(b, v);
    out_.insert(out_.end(), b, b + 2);
  }
  void U32(uint32_t v) {
    uint8_t b[4];
    WriteU32LE(b, v);
    out_.insert(out_.end(), b, b + 4);
  }
  void U64(uint64_t v) {
    uint8_t b[8];
    WriteU64LE(b, v);
    out_.insert(out_.end(), b, b + 8);
  }
  void Bytes(const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + len);
  }
  void Bytes(const std::string& s) { Bytes(s.data(), s.size()); }

  const std::vector<uint8_t>& Data() const { return out_; }
  size_t Size() const { return out_.size(); }

 private:
  std::vector<uint8_t> out_;
};

}  // namespace km
