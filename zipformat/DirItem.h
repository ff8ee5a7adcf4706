// One entry of the in-memory central directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace km {

struct TExtraField {
  uint16_t Tag = 0;
  uint16_t Size = 0;
  std::vector<uint8_t> Data;  // Size bytes
};

// One entry. The first seventeen fields are the fixed part of a central
// directory header, in its order; the rest is the variable part and the
// working state of the entry.
struct TDirItem {
  uint32_t Signature = 0;
  uint16_t VersionMadeBy = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;  // bit 0: encrypted
  uint16_t Method = 0;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;    // 0xFFFFFFFF: see Zip64CompressedSize
  uint32_t UncompressedSize = 0;  // 0xFFFFFFFF: see Zip64UncompressedSize
  uint16_t NameLength = 0;        // recomputed when written
  uint16_t ExtraLength = 0;       // recomputed when written
  uint16_t CommentLength = 0;
  uint16_t DiskNumberStart = 0;  // 0xFFFF: see Zip64DiskNumberStart
  uint16_t InternalAttr = 0;
  uint32_t ExternalAttr = 0;       // Windows attributes; 0x10 marks a directory
  uint32_t LocalHeaderOffset = 0;  // 0xFFFFFFFF: see Zip64LocalHeaderOffset

  std::u16string FileName;  // '/' separated; directories end with '/'
  std::u16string ReservedText;
  std::string Comment;
  std::vector<TExtraField> ExtraFields;
  bool Zip64Used = false;
  int64_t Zip64UncompressedSize = 0;
  int64_t Zip64CompressedSize = 0;
  int64_t Zip64LocalHeaderOffset = 0;
  uint32_t Zip64DiskNumberStart = 0;
  bool Modified = false;  // changed in the current transaction
  std::u16string Password;
  bool Marked = false;  // selected for the running operation
  std::u16string SourceFileName;
  uint8_t CompressionMode = 0;
  uint8_t Operation = 0;  // TKMProcessOperation ordinal of the pending change
};

}  // namespace km
