#include "zipformat/Zip64Fields.h"

namespace km {

uint64_t LocalCompressedSizeOf(const TLocalFileHeader& header, const std::vector<uint8_t>& extra) {
  if (header.CompressedSize != kSentinel32) return header.CompressedSize;
  for (const TExtraField& field : ParseExtraFields(extra.data(), extra.size())) {
    if (field.Tag != kZip64ExtraTag) continue;
    if (field.Data.size() >= 16) return ReadU64LE(field.Data.data() + 8);
    if (field.Data.size() >= 8 && header.UncompressedSize != kSentinel32)
      return ReadU64LE(field.Data.data());
    break;
  }
  return kSentinel32;
}

}  // namespace km
