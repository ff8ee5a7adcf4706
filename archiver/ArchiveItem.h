// The search record of FindFirst / FindNext.
#pragma once

#include <cstdint>
#include <string>

namespace km {

// Where a search resumes and what it looks for.
struct TInternalSearchRec {
  int32_t CurrentIndex = 0;  // after a find: the index of the entry found
  std::u16string Mask;       // forward-slash separators
  int32_t SearchAttributes = 0;
  std::u16string ExclusionMask;
  bool UseOptionMasks = false;  // match FileMasks less ExclusionMasks instead of Mask
};

struct TKMArchiveItem {
  std::u16string FileName;    // file-name part of the entry name
  std::u16string StoredPath;  // directory part with a trailing '\', or empty
  uint64_t CompressedSize = 0;
  uint64_t UncompressedSize = 0;
  double CompressionRate = 0.0;  // percent saved, 0..100
  bool Encrypted = false;
  uint16_t LastModFileTime = 0;
  uint16_t LastModFileDate = 0;
  uint32_t CRC = 0;
  uint32_t ExternalFileAttributes = 0;
  std::string Comment;
  TInternalSearchRec InternalData;
};

}  // namespace km
