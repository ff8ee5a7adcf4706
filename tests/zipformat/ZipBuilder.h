// Hand-made archives for directory tests: stored entries with names, extra
// fields and comments, an optional prefix, Zip64 end records and data
// descriptors. Every field can be bent to make one fault at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/ByteIO.h"
#include "support/Crc32.h"

namespace km::test {

inline uint32_t CrcOf(const std::string& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char c : data) crc = Crc32Byte(crc, c);
  return ~crc;
}

inline std::string Le16(uint16_t v) {
  return std::string{char(v & 0xFF), char(v >> 8)};
}
inline std::string Le32(uint32_t v) {
  return Le16(uint16_t(v)) + Le16(uint16_t(v >> 16));
}
inline std::string Le64(uint64_t v) {
  return Le32(uint32_t(v)) + Le32(uint32_t(v >> 32));
}
// One extra field: tag, size, data.
inline std::string ExtraField(uint16_t tag, const std::string& data) {
  return Le16(tag) + Le16(uint16_t(data.size())) + data;
}

struct ZipEntry {
  std::string name;
  std::string data;
  std::string centralExtra;  // appended after a Zip64 block, if any
  std::string localExtra;
  std::string comment;
  uint16_t flags = 0;
  uint16_t version = 20;
  uint16_t modTime = 0x6000;
  uint16_t modDate = 0x5A21;
  uint32_t externalAttr = 0x20;
  // Sizes and CRC follow the data in a descriptor; the local header holds 0.
  bool dataDescriptor = false;
  // The central offset is the sentinel and the value sits in a Zip64 block.
  bool zip64Offset = false;
};

struct BuiltZip {
  std::string bytes;
  std::vector<uint64_t> localOffsets;  // file positions of the local headers
  uint64_t centralDirOffset = 0;       // file position of the first central header
};

class ZipBuilder {
 public:
  std::string prefix;
  // Offsets in the records count from the end of the prefix, as when an
  // archive is simply appended to a stub.
  bool offsetsFromZipStart = false;
  std::string archiveComment;
  bool zip64 = false;  // Zip64 end record and locator
  // Bent end-record fields.
  std::optional<uint16_t> totalEntries;
  std::optional<uint64_t> zip64TotalEntries;
  std::string afterComment;  // bytes after the archive comment

  ZipBuilder& Add(ZipEntry e) {
    entries.push_back(std::move(e));
    return *this;
  }
  ZipBuilder& Add(const std::string& name, const std::string& data) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    if (!name.empty() && name.back() == '/') e.externalAttr = 0x10;
    return Add(std::move(e));
  }

  BuiltZip Build() const {
    BuiltZip out;
    std::string& b = out.bytes;
    b = prefix;
    const uint64_t base = offsetsFromZipStart ? prefix.size() : 0;
    for (const ZipEntry& e : entries) {
      out.localOffsets.push_back(b.size());
      const uint32_t crc = CrcOf(e.data);
      const uint32_t size = uint32_t(e.data.size());
      const bool dd = e.dataDescriptor;
      b += Le32(0x04034B50) + Le16(e.version) + Le16(e.flags | (dd ? 8 : 0)) + Le16(0) +
           Le16(e.modTime) + Le16(e.modDate) + Le32(dd ? 0 : crc) + Le32(dd ? 0 : size) +
           Le32(dd ? 0 : size) + Le16(uint16_t(e.name.size())) +
           Le16(uint16_t(e.localExtra.size())) + e.name + e.localExtra + e.data;
      if (dd) b += Le32(0x08074B50) + Le32(crc) + Le32(size) + Le32(size);
    }
    out.centralDirOffset = b.size();
    for (size_t i = 0; i < entries.size(); ++i) {
      const ZipEntry& e = entries[i];
      const uint32_t size = uint32_t(e.data.size());
      const uint64_t offset = out.localOffsets[i] - base;
      const std::string zip64Block = e.zip64Offset ? ExtraField(1, Le64(offset)) : "";
      const std::string extra = zip64Block + e.centralExtra;
      b += Le32(0x02014B50) + Le16(e.version) + Le16(e.version) +
           Le16(e.flags | (e.dataDescriptor ? 8 : 0)) + Le16(0) + Le16(e.modTime) +
           Le16(e.modDate) + Le32(CrcOf(e.data)) + Le32(size) + Le32(size) +
           Le16(uint16_t(e.name.size())) + Le16(uint16_t(extra.size())) +
           Le16(uint16_t(e.comment.size())) + Le16(0) + Le16(0) + Le32(e.externalAttr) +
           Le32(e.zip64Offset ? 0xFFFFFFFF : uint32_t(offset)) + e.name + extra + e.comment;
    }
    const uint64_t dirSize = b.size() - out.centralDirOffset;
    const uint64_t dirOffset = out.centralDirOffset - base;
    const uint16_t count = totalEntries ? *totalEntries : uint16_t(entries.size());
    if (zip64) {
      const uint64_t zip64Count = zip64TotalEntries ? *zip64TotalEntries : entries.size();
      const uint64_t zip64At = b.size() - base;
      b += Le32(0x06064B50) + Le64(44) + Le16(45) + Le16(45) + Le32(0) + Le32(0) +
           Le64(zip64Count) + Le64(zip64Count) + Le64(dirSize) + Le64(dirOffset);
      b += Le32(0x07064B50) + Le32(0) + Le64(zip64At) + Le32(1);
    }
    b += Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(count) + Le16(count) +
         Le32(zip64 ? 0xFFFFFFFF : uint32_t(dirSize)) +
         Le32(zip64 ? 0xFFFFFFFF : uint32_t(dirOffset)) + Le16(uint16_t(archiveComment.size())) +
         archiveComment + afterComment;
    return out;
  }

  std::vector<ZipEntry> entries;
};

}  // namespace km::test
