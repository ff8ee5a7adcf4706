// On-disk ZIP records. Each record has a constexpr size and signature and one
// encode and one decode function that go through its fields in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/ByteIO.h"
#include "support/Stream.h"
#include "zipformat/DirItem.h"

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
// here, the caller decides which set it accepts. Every Decode function below
// works the same way and leaves the record untouched when it fails.
bool DecodeEndOfCentralDir(ByteReader& in, TEndOfCentralDir& record);

// The two signature sets. Archives of this system use the standard set; the
// alternative one belongs to the bare base archiver and is only recognised.
struct TKMSignatureSet {
  uint32_t LocalHeader;
  uint32_t CentralHeader;
  uint32_t EndOfCentralDir;
  uint32_t Zip64EndOfCentralDir;
  uint32_t Zip64Locator;
  uint32_t DataDescriptor;
};
inline constexpr TKMSignatureSet kStandardSignatures{0x04034B50, 0x02014B50, 0x06054B50,
                                                     0x06064B50, 0x07064B50, 0x08074B50};
inline constexpr TKMSignatureSet kAlternativeSignatures{0x05045C61, 0x03025C61, 0x06054141,
                                                        0x06064B50, 0x07064B50, 0x08074B50};
// The set an end record's signature belongs to (standard unless it is the
// alternative end signature).
const TKMSignatureSet& SignatureSetOf(uint32_t endSignature);

inline constexpr uint32_t kSentinel32 = 0xFFFFFFFF;
inline constexpr uint16_t kSentinel16 = 0xFFFF;

// General purpose flag bits.
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8Name = 0x0800;

// Local file header: 30 bytes, then name, extra fields and data.
struct TLocalFileHeader {
  static constexpr size_t kSize = 30;
  uint32_t Signature = 0x04034B50;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t NameLength = 0;
  uint16_t ExtraLength = 0;
  bool operator==(const TLocalFileHeader&) const = default;
};
void EncodeLocalFileHeader(const TLocalFileHeader& record, ByteWriter& out);
bool DecodeLocalFileHeader(ByteReader& in, TLocalFileHeader& record);

// The Zip64 field a local header carries when its uncompressed size is the
// sentinel: both sizes, uncompressed first. Before the data the sizes are
// not known; the field's bytes are then all zero, tag included, and the
// header is encoded again once they are (LocalZip64FieldAt tells where).
struct TLocalZip64Sizes {
  bool Present = false;
  bool Known = false;
  int64_t Uncompressed = 0;
  int64_t Compressed = 0;
};
inline constexpr size_t kLocalZip64FieldSize = 20;
// A whole local header: the fixed part with the name and extra lengths
// filled in, the name bytes, the Zip64 field, then the other fields.
void EncodeLocalHeader(TLocalFileHeader header, const std::string& name,
                       const TLocalZip64Sizes& zip64, const std::vector<TExtraField>& extra,
                       ByteWriter& out);
// Where the Zip64 field starts in the bytes EncodeLocalHeader gave.
inline size_t LocalZip64FieldAt(const std::string& name) {
  return TLocalFileHeader::kSize + name.size();
}
// The fixed part of the local header at the stream's position (read whole:
// EReadError when the stream ends first).
TLocalFileHeader ReadLocalFileHeader(TStream& stream);

// Zip64 end of central directory record: 56 bytes (no extensible data).
struct TZip64EndOfCentralDir {
  static constexpr size_t kSize = 56;
  static constexpr uint32_t kSignature = 0x06064B50;
  uint32_t Signature = kSignature;
  uint64_t RecordSize = 44;  // bytes after this field
  uint16_t VersionMadeBy = 45;
  uint16_t VersionNeeded = 45;
  uint32_t ThisVolume = 0;
  uint32_t DirStartVolume = 0;
  uint64_t EntriesOnVolume = 0;
  uint64_t TotalEntries = 0;
  uint64_t DirSize = 0;
  uint64_t DirOffset = 0;
  bool operator==(const TZip64EndOfCentralDir&) const = default;
};
void EncodeZip64EndOfCentralDir(const TZip64EndOfCentralDir& record, ByteWriter& out);
bool DecodeZip64EndOfCentralDir(ByteReader& in, TZip64EndOfCentralDir& record);

// Zip64 end of central directory locator: 20 bytes.
struct TZip64Locator {
  static constexpr size_t kSize = 20;
  static constexpr uint32_t kSignature = 0x07064B50;
  uint32_t Signature = kSignature;
  uint32_t Zip64EndVolume = 0;
  uint64_t Zip64EndOffset = 0;
  uint32_t TotalVolumes = 1;
  bool operator==(const TZip64Locator&) const = default;
};
void EncodeZip64Locator(const TZip64Locator& record, ByteWriter& out);
bool DecodeZip64Locator(ByteReader& in, TZip64Locator& record);

// Data descriptor with its signature: 16 bytes (read by the damage scan only).
struct TDataDescriptor {
  static constexpr size_t kSize = 16;
  static constexpr uint32_t kSignature = 0x08074B50;
  uint32_t Signature = kSignature;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  bool operator==(const TDataDescriptor&) const = default;
};
bool DecodeDataDescriptor(ByteReader& in, TDataDescriptor& record);
// Never written into archives of this system; tests build damaged ones.
void EncodeDataDescriptor(const TDataDescriptor& record, ByteWriter& out);

// The 46 fixed bytes of a central directory header are the first seventeen
// fields of TDirItem, in order.
inline constexpr size_t kCentralHeaderSize = 46;
void EncodeCentralHeaderFixed(const TDirItem& item, ByteWriter& out);
bool DecodeCentralHeaderFixed(ByteReader& in, TDirItem& item);

// ---- Extra fields ----
inline constexpr uint16_t kZip64ExtraTag = 0x0001;
inline constexpr uint16_t kUnicodeNameTag = 0x554E;            // "NU"
inline constexpr uint32_t kUnicodeNameSignature = 0x5843554E;  // "NUCX"

// The NTFS time field: 4 reserved bytes, then attribute 1 (24 bytes) with
// the last-write, last-access and creation times as FileTimes (100 ns since
// 1601, UTC). 7-Zip and Info-ZIP read it, and so do we: it is the exact
// time of an entry, where the DOS time has 2-second steps in local time.
inline constexpr uint16_t kNtfsTimeTag = 0x000A;
inline constexpr size_t kNtfsTimeFieldSize = 32;
TExtraField BuildNtfsTimeField(int64_t writeTime, int64_t accessTime, int64_t creationTime);
// The last-write time of the first NTFS field among fields; false when there
// is none, or it holds no attribute 1 whole, or that time is 0 (unknown).
bool NtfsWriteTime(const std::vector<TExtraField>& fields, int64_t& writeTime);

// Splits an extra area into fields in order. A field whose stated size runs
// past the area keeps only the bytes that remain (Size cut to match); a field
// header cut by the end of the area ends the list.
std::vector<TExtraField> ParseExtraFields(const uint8_t* data, size_t size);
// The same into fields, whose elements keep their memory for the fields
// that take their places: reading many entries into one item allocates
// nothing once it has held the largest.
void ParseExtraFieldsInto(const uint8_t* data, size_t size, std::vector<TExtraField>& fields);
void EncodeExtraField(const TExtraField& field, ByteWriter& out);

// Takes the 64-bit values of a central header's Zip64 block: only the slots
// the item's sentinels ask for, in order, each only when the data holds it
// whole. Slots beyond those are ignored (Info-ZIP writes some that no
// sentinel asks for). A value past the signed 64-bit range is taken as the
// largest one, so that every later check against the stream size rejects
// it. Sets Zip64Used.
void ApplyZip64ExtraInfo(const TExtraField& field, TDirItem& item);
// The central header's Zip64 block built from the item's 64-bit fields for
// the sentinels it holds (tag and size included); empty when none.
std::vector<uint8_t> BuildCentralZip64Block(const TDirItem& item);

// The unicode-name field: "NUCX", N, then N UTF-16LE code units.
class TUnicodeExtendedInfo {
 public:
  uint32_t Signature = 0;
  std::u16string FileName;
  // True when the data begins with the signature and holds the N code units
  // it announces.
  bool Parse(const uint8_t* data, size_t size);
  // Parse for the name alone, into name (left as it was when false).
  static bool ParseName(const uint8_t* data, size_t size, std::u16string& name);
  // Size 2N + 8. A name longer than kMaxNameUnits does not fit the 16-bit
  // size: check with UnicodeNameFits first; Build raises Exception for it.
  static TExtraField Build(const std::u16string& name);
  static constexpr size_t kMaxNameUnits = (0xFFFF - 8) / 2;
};
inline bool UnicodeNameFits(const std::u16string& name) {
  return name.size() <= TUnicodeExtendedInfo::kMaxNameUnits;
}

// ---- Entry names ----
// The stored 8-bit form of an entry name: the ANSI code page, then OEM when
// oemFileNames is on. Never truncated.
std::string EntryNameToBytes(const std::u16string& name, bool oemFileNames);
// The bytes an entry's name is stored as. A name read as UTF-8 (flag bit 11)
// goes back as UTF-8: the flag stays on the entry, and peers decode the
// bytes by it.
std::string StoredNameBytes(const TDirItem& item, bool oemFileNames);
// Whether an 8-bit name fits the 16-bit name length of the headers. A
// writer refuses a name that does not; it is never cut.
inline bool EntryNameFits(const std::string& bytes) {
  return bytes.size() <= 0xFFFF;
}
// The reverse; a name flagged as UTF-8 (bit 11, written by other tools) is
// decoded as UTF-8 instead. Stops at a zero byte.
std::u16string EntryNameFromBytes(const std::string& bytes, bool oemFileNames, bool utf8Flag);

}  // namespace km
