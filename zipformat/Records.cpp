#include "zipformat/Records.h"

#include <algorithm>
#include <limits>

#include "platform/CodePage.h"
#include "support/Exceptions.h"

namespace km {

void EncodeEndOfCentralDir(const TEndOfCentralDir& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U16(record.ThisVolume);
  out.U16(record.DirStartVolume);
  out.U16(record.EntriesOnVolume);
  out.U16(record.TotalEntries);
  out.U32(record.DirSize);
  out.U32(record.DirOffset);
  out.U16(record.CommentLength);
}

std::vector<uint8_t> EncodeEndOfCentralDir(const TEndOfCentralDir& record) {
  ByteWriter out;
  EncodeEndOfCentralDir(record, out);
  return out.Data();
}

bool DecodeEndOfCentralDir(ByteReader& in, TEndOfCentralDir& record) {
  // Check the length first so that a short buffer leaves record untouched.
  if (in.Remaining() < TEndOfCentralDir::kSize) {
    in.Skip(TEndOfCentralDir::kSize);
    return false;
  }
  TEndOfCentralDir r;
  r.Signature = in.U32();
  r.ThisVolume = in.U16();
  r.DirStartVolume = in.U16();
  r.EntriesOnVolume = in.U16();
  r.TotalEntries = in.U16();
  r.DirSize = in.U32();
  r.DirOffset = in.U32();
  r.CommentLength = in.U16();
  if (!in.Ok()) return false;
  record = r;
  return true;
}

namespace {

// Decodes a fixed-size record only when all of it is there, so that a short
// buffer leaves the caller's record as it was and the reader not Ok.
template <typename Record, typename Fields>
bool DecodeWhole(ByteReader& in, size_t size, Record& record, Fields fields) {
  if (!in.Ok() || in.Remaining() < size) {
    in.Skip(size);
    return false;
  }
  Record r = record;
  fields(r);
  if (!in.Ok()) return false;
  record = r;
  return true;
}

}  // namespace

const TKMSignatureSet& SignatureSetOf(uint32_t endSignature) {
  return endSignature == kAlternativeSignatures.EndOfCentralDir ? kAlternativeSignatures
                                                                : kStandardSignatures;
}

void EncodeLocalFileHeader(const TLocalFileHeader& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U16(record.VersionNeeded);
  out.U16(record.Flags);
  out.U16(record.Method);
  out.U16(record.ModTime);
  out.U16(record.ModDate);
  out.U32(record.Crc32);
  out.U32(record.CompressedSize);
  out.U32(record.UncompressedSize);
  out.U16(record.NameLength);
  out.U16(record.ExtraLength);
}

TLocalFileHeader ReadLocalFileHeader(TStream& stream) {
  uint8_t fixed[TLocalFileHeader::kSize];
  stream.ReadBuffer(fixed, sizeof fixed);
  ByteReader in(fixed, sizeof fixed);
  TLocalFileHeader header;
  DecodeLocalFileHeader(in, header);
  return header;
}

bool DecodeLocalFileHeader(ByteReader& in, TLocalFileHeader& record) {
  return DecodeWhole(in, TLocalFileHeader::kSize, record, [&](TLocalFileHeader& r) {
    r.Signature = in.U32();
    r.VersionNeeded = in.U16();
    r.Flags = in.U16();
    r.Method = in.U16();
    r.ModTime = in.U16();
    r.ModDate = in.U16();
    r.Crc32 = in.U32();
    r.CompressedSize = in.U32();
    r.UncompressedSize = in.U32();
    r.NameLength = in.U16();
    r.ExtraLength = in.U16();
  });
}

void EncodeZip64EndOfCentralDir(const TZip64EndOfCentralDir& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U64(record.RecordSize);
  out.U16(record.VersionMadeBy);
  out.U16(record.VersionNeeded);
  out.U32(record.ThisVolume);
  out.U32(record.DirStartVolume);
  out.U64(record.EntriesOnVolume);
  out.U64(record.TotalEntries);
  out.U64(record.DirSize);
  out.U64(record.DirOffset);
}

bool DecodeZip64EndOfCentralDir(ByteReader& in, TZip64EndOfCentralDir& record) {
  return DecodeWhole(in, TZip64EndOfCentralDir::kSize, record, [&](TZip64EndOfCentralDir& r) {
    r.Signature = in.U32();
    r.RecordSize = in.U64();
    r.VersionMadeBy = in.U16();
    r.VersionNeeded = in.U16();
    r.ThisVolume = in.U32();
    r.DirStartVolume = in.U32();
    r.EntriesOnVolume = in.U64();
    r.TotalEntries = in.U64();
    r.DirSize = in.U64();
    r.DirOffset = in.U64();
  });
}

void EncodeZip64Locator(const TZip64Locator& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U32(record.Zip64EndVolume);
  out.U64(record.Zip64EndOffset);
  out.U32(record.TotalVolumes);
}

bool DecodeZip64Locator(ByteReader& in, TZip64Locator& record) {
  return DecodeWhole(in, TZip64Locator::kSize, record, [&](TZip64Locator& r) {
    r.Signature = in.U32();
    r.Zip64EndVolume = in.U32();
    r.Zip64EndOffset = in.U64();
    r.TotalVolumes = in.U32();
  });
}

void EncodeDataDescriptor(const TDataDescriptor& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U32(record.Crc32);
  out.U32(record.CompressedSize);
  out.U32(record.UncompressedSize);
}

bool DecodeDataDescriptor(ByteReader& in, TDataDescriptor& record) {
  return DecodeWhole(in, TDataDescriptor::kSize, record, [&](TDataDescriptor& r) {
    r.Signature = in.U32();
    r.Crc32 = in.U32();
    r.CompressedSize = in.U32();
    r.UncompressedSize = in.U32();
  });
}

void EncodeCentralHeaderFixed(const TDirItem& item, ByteWriter& out) {
  out.U32(item.Signature);
  out.U16(item.VersionMadeBy);
  out.U16(item.VersionNeeded);
  out.U16(item.Flags);
  out.U16(item.Method);
  out.U16(item.ModTime);
  out.U16(item.ModDate);
  out.U32(item.Crc32);
  out.U32(item.CompressedSize);
  out.U32(item.UncompressedSize);
  out.U16(item.NameLength);
  out.U16(item.ExtraLength);
  out.U16(item.CommentLength);
  out.U16(item.DiskNumberStart);
  out.U16(item.InternalAttr);
  out.U32(item.ExternalAttr);
  out.U32(item.LocalHeaderOffset);
}

bool DecodeCentralHeaderFixed(ByteReader& in, TDirItem& item) {
  if (!in.Ok() || in.Remaining() < kCentralHeaderSize) {
    in.Skip(kCentralHeaderSize);
    return false;
  }
  // Straight into the item: the length check above makes every read whole,
  // and copying a whole item (names, extra data) just to stage 46 bytes
  // would cost a directory read dearly.
  item.Signature = in.U32();
  item.VersionMadeBy = in.U16();
  item.VersionNeeded = in.U16();
  item.Flags = in.U16();
  item.Method = in.U16();
  item.ModTime = in.U16();
  item.ModDate = in.U16();
  item.Crc32 = in.U32();
  item.CompressedSize = in.U32();
  item.UncompressedSize = in.U32();
  item.NameLength = in.U16();
  item.ExtraLength = in.U16();
  item.CommentLength = in.U16();
  item.DiskNumberStart = in.U16();
  item.InternalAttr = in.U16();
  item.ExternalAttr = in.U32();
  item.LocalHeaderOffset = in.U32();
  return in.Ok();
}

// ---- Extra fields ----

std::vector<TExtraField> ParseExtraFields(const uint8_t* data, size_t size) {
  std::vector<TExtraField> fields;
  ParseExtraFieldsInto(data, size, fields);
  return fields;
}

void ParseExtraFieldsInto(const uint8_t* data, size_t size, std::vector<TExtraField>& fields) {
  // Counted first, so that the list takes its room at once and not field
  // by field: every entry of a directory read comes through here.
  size_t count = 0;
  for (size_t at = 0; at <= size && size - at >= 4; at += 4 + ReadU16LE(data + at + 2)) ++count;
  fields.reserve(count);
  ByteReader in(data, size);
  size_t n = 0;
  // A field header cut by the end of the area is no field: it would be read
  // from the bytes that follow (the comment, the next header).
  while (in.Remaining() >= 4) {
    if (n == fields.size()) fields.emplace_back();
    TExtraField& field = fields[n++];
    field.Tag = in.U16();
    field.Size = in.U16();
    // Some writers state more than they store; keep what is there.
    if (field.Size > in.Remaining()) field.Size = uint16_t(in.Remaining());
    const uint8_t* p = data + in.Position();
    field.Data.assign(p, p + field.Size);
    in.Skip(field.Size);
  }
  fields.resize(n);
}

void EncodeLocalHeader(TLocalFileHeader header, const std::string& name,
                       const TLocalZip64Sizes& zip64, const std::vector<TExtraField>& extra,
                       ByteWriter& out) {
  size_t extraLength = zip64.Present ? kLocalZip64FieldSize : 0;
  for (const TExtraField& field : extra) extraLength += 4 + field.Size;
  header.NameLength = uint16_t(name.size());
  header.ExtraLength = uint16_t(extraLength);
  EncodeLocalFileHeader(header, out);
  out.Bytes(name);
  if (zip64.Present && zip64.Known) {
    out.U16(kZip64ExtraTag);
    out.U16(16);
    out.U64(uint64_t(zip64.Uncompressed));
    out.U64(uint64_t(zip64.Compressed));
  } else if (zip64.Present) {
    const uint8_t zeros[kLocalZip64FieldSize] = {};
    out.Bytes(zeros, sizeof zeros);
  }
  for (const TExtraField& field : extra) EncodeExtraField(field, out);
}

void EncodeExtraField(const TExtraField& field, ByteWriter& out) {
  out.U16(field.Tag);
  out.U16(field.Size);
  // Size is what the header lengths were computed from: exactly Size bytes
  // follow, even if Data disagrees.
  const size_t have = std::min<size_t>(field.Size, field.Data.size());
  out.Bytes(field.Data.data(), have);
  for (size_t i = have; i < field.Size; ++i) out.U8(0);
}

void ApplyZip64ExtraInfo(const TExtraField& field, TDirItem& item) {
  ByteReader in(field.Data.data(), std::min<size_t>(field.Size, field.Data.size()));
  auto take64 = [&](int64_t& target) {
    if (in.Remaining() < 8) {
      in.Skip(8);  // a cut slot ends the block: nothing after it is taken
      return;
    }
    const uint64_t v = in.U64();
    target = int64_t(std::min<uint64_t>(v, uint64_t(std::numeric_limits<int64_t>::max())));
  };
  if (item.UncompressedSize == kSentinel32) take64(item.Zip64UncompressedSize);
  if (item.CompressedSize == kSentinel32) take64(item.Zip64CompressedSize);
  if (item.LocalHeaderOffset == kSentinel32) take64(item.Zip64LocalHeaderOffset);
  if (item.DiskNumberStart == kSentinel16 && in.Ok() && in.Remaining() >= 4) {
    item.Zip64DiskNumberStart = in.U32();
  }
  item.Zip64Used = true;
}

std::vector<uint8_t> BuildCentralZip64Block(const TDirItem& item) {
  ByteWriter data;
  if (item.UncompressedSize == kSentinel32) data.U64(uint64_t(item.Zip64UncompressedSize));
  if (item.CompressedSize == kSentinel32) data.U64(uint64_t(item.Zip64CompressedSize));
  if (item.LocalHeaderOffset == kSentinel32) data.U64(uint64_t(item.Zip64LocalHeaderOffset));
  if (item.DiskNumberStart == kSentinel16) data.U32(item.Zip64DiskNumberStart);
  if (data.Size() == 0) return {};
  ByteWriter out;
  out.U16(kZip64ExtraTag);
  out.U16(uint16_t(data.Size()));
  out.Bytes(data.Data().data(), data.Size());
  return out.Data();
}

TExtraField BuildNtfsTimeField(int64_t writeTime, int64_t accessTime, int64_t creationTime) {
  ByteWriter out;
  out.U32(0);  // reserved
  out.U16(1);  // attribute 1: the three times
  out.U16(24);
  out.U64(uint64_t(writeTime));
  out.U64(uint64_t(accessTime));
  out.U64(uint64_t(creationTime));
  TExtraField field;
  field.Tag = kNtfsTimeTag;
  field.Size = uint16_t(out.Size());
  field.Data = out.Data();
  return field;
}

bool NtfsWriteTime(const std::vector<TExtraField>& fields, int64_t& writeTime) {
  for (const TExtraField& field : fields) {
    if (field.Tag != kNtfsTimeTag) continue;
    ByteReader in(field.Data.data(), std::min<size_t>(field.Size, field.Data.size()));
    in.Skip(4);  // reserved
    // Attributes other than 1 are defined by no one yet; step over them.
    while (in.Ok() && in.Remaining() >= 4) {
      const uint16_t tag = in.U16();
      const uint16_t size = in.U16();
      if (tag != 1) {
        in.Skip(size);
        continue;
      }
      if (size < 24 || in.Remaining() < 24) return false;
      const uint64_t time = in.U64();
      if (time == 0 || time > uint64_t(std::numeric_limits<int64_t>::max())) return false;
      writeTime = int64_t(time);
      return true;
    }
    return false;
  }
  return false;
}

bool TUnicodeExtendedInfo::Parse(const uint8_t* data, size_t size) {
  if (size >= 4) Signature = ReadU32LE(data);
  return ParseName(data, size, FileName);
}

bool TUnicodeExtendedInfo::ParseName(const uint8_t* data, size_t size, std::u16string& name) {
  ByteReader in(data, size);
  const uint32_t signature = in.U32();
  if (!in.Ok() || signature != kUnicodeNameSignature) return false;
  const uint32_t units = in.U32();
  // Judge N against the bytes there before reserving anything for it.
  if (!in.Ok() || units > in.Remaining() / 2) return false;
  name.resize(units);
  const uint8_t* p = data + 8;
  for (char16_t& c : name) {
    c = char16_t(p[0] | p[1] << 8);
    p += 2;
  }
  return true;
}

TExtraField TUnicodeExtendedInfo::Build(const std::u16string& name) {
  if (!UnicodeNameFits(name)) throw Exception(u"Entry name is too long for its unicode-name field");
  ByteWriter out;
  out.U32(kUnicodeNameSignature);
  out.U32(uint32_t(name.size()));
  for (char16_t c : name) out.U16(uint16_t(c));
  TExtraField field;
  field.Tag = kUnicodeNameTag;
  field.Size = uint16_t(out.Size());
  field.Data = out.Data();
  return field;
}

// ---- Entry names ----

std::string EntryNameToBytes(const std::u16string& name, bool oemFileNames) {
  std::string bytes = platform::WideToAnsi(name);
  if (oemFileNames) bytes = platform::AnsiToOem(bytes);
  return bytes;
}

std::string StoredNameBytes(const TDirItem& item, bool oemFileNames) {
  return (item.Flags & kFlagUtf8Name) ? platform::WideToUtf8(item.FileName)
                                      : EntryNameToBytes(item.FileName, oemFileNames);
}

std::u16string EntryNameFromBytes(const std::string& bytes, bool oemFileNames, bool utf8Flag) {
  const std::string_view name(bytes.data(), std::min(bytes.find('\0'), bytes.size()));
  // Bit 11 is how other tools (7-Zip, Info-ZIP, Python) say the name is
  // UTF-8; read as a code page it would come out as garbage.
  if (utf8Flag) return platform::Utf8ToWide(name);
  if (oemFileNames) return platform::AnsiToWide(platform::OemToAnsi(name));
  return platform::AnsiToWide(name);
}

}  // namespace km
