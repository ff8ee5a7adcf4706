// The 64-bit rules of an entry's sizes, offset and first volume: a 32-bit
// field holding the sentinel means "see the Zip64 value". Everything above
// the record layer reads and stores these fields through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zipformat/DirItem.h"
#include "zipformat/Records.h"

namespace km {

// ---- Reading
inline int64_t UncompressedSizeOf(const TDirItem& item) {
  return item.UncompressedSize == kSentinel32 ? item.Zip64UncompressedSize
                                              : int64_t(item.UncompressedSize);
}
inline int64_t CompressedSizeOf(const TDirItem& item) {
  return item.CompressedSize == kSentinel32 ? item.Zip64CompressedSize
                                            : int64_t(item.CompressedSize);
}
inline int64_t LocalOffsetOf(const TDirItem& item) {
  return item.LocalHeaderOffset == kSentinel32 ? item.Zip64LocalHeaderOffset
                                               : int64_t(item.LocalHeaderOffset);
}
// The sentinel only counts when the archive has a Zip64 end record; without
// one the entry is taken to start on the first volume.
inline int64_t DiskNumberStartOf(const TDirItem& item, bool zip64Present) {
  if (item.DiskNumberStart != kSentinel16) return item.DiskNumberStart;
  return zip64Present ? int64_t(item.Zip64DiskNumberStart) : 0;
}

// ---- Storing
// The 32-bit field gets the value, or the sentinel and the Zip64 field the
// value when it does not fit or Zip64 is forced; Zip64Used is set then. A
// value that fits leaves the Zip64 field and Zip64Used as they were: another
// field of the entry may still need them.
inline bool NeedsZip64(int64_t value, bool forceZip64) {
  return forceZip64 || value >= int64_t(kSentinel32);
}
// The 32-bit field gets the value, or the sentinel with the value in its
// Zip64 field (which marks the entry as using Zip64).
inline void StoreField(TDirItem& item, uint32_t& field32, int64_t& field64, int64_t value,
                       bool forceZip64) {
  if (NeedsZip64(value, forceZip64)) {
    item.Zip64Used = true;
    field32 = kSentinel32;
    field64 = value;
  } else {
    field32 = uint32_t(value);
  }
}
inline void StoreUncompressedSize(TDirItem& item, int64_t value, bool forceZip64) {
  StoreField(item, item.UncompressedSize, item.Zip64UncompressedSize, value, forceZip64);
}
inline void StoreCompressedSize(TDirItem& item, int64_t value, bool forceZip64) {
  StoreField(item, item.CompressedSize, item.Zip64CompressedSize, value, forceZip64);
}
inline void StoreLocalOffset(TDirItem& item, int64_t value, bool forceZip64) {
  StoreField(item, item.LocalHeaderOffset, item.Zip64LocalHeaderOffset, value, forceZip64);
}
// For an entry whose Zip64 state this size alone decides (a fresh entry
// before its data is written): a size that fits clears it.
inline void ResetUncompressedSize(TDirItem& item, int64_t value, bool forceZip64) {
  item.Zip64Used = false;
  item.Zip64UncompressedSize = 0;
  StoreUncompressedSize(item, value, forceZip64);
}

// Whether either size of the entry is held in its Zip64 fields.
inline bool SizesInZip64(const TDirItem& item) {
  return item.CompressedSize == kSentinel32 || item.UncompressedSize == kSentinel32;
}

// The 16-bit length fields of a name or comment: what the text needs, or
// the most the field holds (the writer refuses what does not fit).
inline uint16_t StoreLength16(size_t length) {
  return uint16_t(length < 0xFFFF ? length : 0xFFFF);
}

// ---- Local headers
// A local header's uncompressed size as written before the data: the value,
// or the sentinel when it does not fit or Zip64 is forced (true then).
inline bool StoreLocalUncompressedSize(TLocalFileHeader& header, int64_t value, bool forceZip64) {
  if (!NeedsZip64(value, forceZip64)) {
    header.UncompressedSize = uint32_t(value);
    return false;
  }
  header.UncompressedSize = kSentinel32;
  return true;
}
// Whether a local header's sizes are resolved through its Zip64 block.
inline bool LocalSizesInZip64(const TLocalFileHeader& header) {
  return header.CompressedSize == kSentinel32 || header.UncompressedSize == kSentinel32;
}
// The compressed size a local header states: its 32-bit field, or for the
// sentinel the one in its Zip64 block (extra is its whole extra area). The
// block should hold both sizes, uncompressed first; some writers put in
// only the slot the sentinels ask for, so an 8-byte block is read that way.
// Without a usable block the sentinel itself stands.
uint64_t LocalCompressedSizeOf(const TLocalFileHeader& header, const std::vector<uint8_t>& extra);

}  // namespace km
