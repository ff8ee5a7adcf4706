// On-disk ZIP records. Each record has a constexpr size and signature and one
// encode and one decode function that go through its fields in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/ByteIO.h"

namespace km {

// End of central directory record: the 22 fixed bytes; the archive comment
// follows it and is not part of this struct.
struct TEndOfCentralDir {
  static constexpr size_t kSize = 22;
  static constexpr uint32_t kSignature = 0x06054B50;  // "PK" 05 06
  // The end signature of the alternative record set of the bare base archiver.
  static constexpr uint32_t kAltSignature = 0x06054141;

  uint32_t Signature = kSignature;
  uint16_t ThisVolume = 0;       // number of this volume
  uint16_t DirStartVolume = 0;   // volume where the central directory starts
  uint16_t EntriesOnVolume = 0;  // entries on this volume
  uint16_t TotalEntries = 0;
  uint32_t DirSize = 0;    // size of the central directory
  uint32_t DirOffset = 0;  // offset of its first header
  uint16_t CommentLength = 0;

  bool operator==(const TEndOfCentralDir&) const = default;
};

// Appends exactly TEndOfCentralDir::kSize bytes.
void EncodeEndOfCentralDir(const TEndOfCentralDir& record, ByteWriter& out);
std::vector<uint8_t> EncodeEndOfCentralDir(const TEndOfCentralDir& record);

// Decodes the fixed bytes at the reader's position. False (and the reader no
// longer Ok) when fewer than kSize bytes remain; the signature is not judged
// here, the caller decides which set it accepts.
bool DecodeEndOfCentralDir(ByteReader& in, TEndOfCentralDir& record);

}  // namespace km
