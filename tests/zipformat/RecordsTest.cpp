#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>

#include "zipformat/DirManager.h"
#include "zipformat/Records.h"
#include "zipformat/Volumes.h"

namespace km {
namespace {

TEST(EndOfCentralDir, RoundTripKeepsEveryFieldInPlace) {
  TEndOfCentralDir r;
  r.ThisVolume = 0x0102;
  r.DirStartVolume = 0x0304;
  r.EntriesOnVolume = 0x0506;
  r.TotalEntries = 0x0708;
  r.DirSize = 0x090A0B0C;
  r.DirOffset = 0x0D0E0F10;
  r.CommentLength = 0x1112;
  const std::vector<uint8_t> bytes = EncodeEndOfCentralDir(r);
  ASSERT_EQ(bytes.size(), TEndOfCentralDir::kSize);
  // Field offsets of the record: signature, then 2,2,2,2,4,4,2 bytes.
  EXPECT_EQ(ReadU32LE(&bytes[0]), 0x06054B50u);
  EXPECT_EQ(ReadU16LE(&bytes[4]), 0x0102);
  EXPECT_EQ(ReadU16LE(&bytes[10]), 0x0708);
  EXPECT_EQ(ReadU32LE(&bytes[12]), 0x090A0B0Cu);
  EXPECT_EQ(ReadU32LE(&bytes[16]), 0x0D0E0F10u);
  EXPECT_EQ(ReadU16LE(&bytes[20]), 0x1112);

  ByteReader in(bytes.data(), bytes.size());
  TEndOfCentralDir back;
  back.Signature = 0;
  ASSERT_TRUE(DecodeEndOfCentralDir(in, back));
  EXPECT_EQ(back, r);
  EXPECT_EQ(in.Remaining(), 0u);
}

TEST(EndOfCentralDir, DecodesHandWrittenBytesAndRejectsShortInput) {
  const uint8_t bytes[] = {
      'P',  'K',  5, 6,  // signature
      1,    0,           // this volume
      0,    0,           // directory start volume
      3,    0,           // entries on this volume
      3,    0,           // total entries
      0x9C, 0,    0, 0,  // directory size 156
      0x10, 0x27, 0, 0,  // directory offset 10000
      5,    0,           // comment length
  };
  ByteReader in(bytes, sizeof bytes);
  TEndOfCentralDir r;
  ASSERT_TRUE(DecodeEndOfCentralDir(in, r));
  EXPECT_EQ(r.Signature, TEndOfCentralDir::kSignature);
  EXPECT_EQ(r.ThisVolume, 1);
  EXPECT_EQ(r.TotalEntries, 3);
  EXPECT_EQ(r.DirSize, 156u);
  EXPECT_EQ(r.DirOffset, 10000u);
  EXPECT_EQ(r.CommentLength, 5);

  // One byte short: a failure, and the record is left as it was.
  for (size_t len : {size_t(0), size_t(4), sizeof bytes - 1}) {
    ByteReader shortIn(bytes, len);
    TEndOfCentralDir untouched;
    untouched.DirSize = 77;
    EXPECT_FALSE(DecodeEndOfCentralDir(shortIn, untouched)) << len;
    EXPECT_FALSE(shortIn.Ok());
    EXPECT_EQ(untouched.DirSize, 77u);
  }
}

template <typename Record>
std::vector<uint8_t> Encoded(const Record& r, void (*encode)(const Record&, ByteWriter&)) {
  ByteWriter out;
  encode(r, out);
  return out.Data();
}

// Every decoder: the hand-written bytes decode, and each cut of them fails
// without touching the record.
template <typename Record>
void ExpectShortInputFails(const std::vector<uint8_t>& bytes, bool (*decode)(ByteReader&, Record&),
                           const Record& sentinel) {
  for (size_t len = 0; len < bytes.size(); len += 3) {
    ByteReader in(bytes.data(), len);
    Record r = sentinel;
    EXPECT_FALSE(decode(in, r)) << len;
    EXPECT_FALSE(in.Ok());
    EXPECT_TRUE(r == sentinel) << len;
  }
}

TEST(LocalFileHeader, RoundTripAndHandWrittenBytes) {
  TLocalFileHeader h;
  h.VersionNeeded = 20;
  h.Flags = 0x0801;
  h.Method = 8;
  h.ModTime = 0x6D2A;
  h.ModDate = 0x5A21;
  h.Crc32 = 0xCAFEBABE;
  h.CompressedSize = 0x11223344;
  h.UncompressedSize = kSentinel32;
  h.NameLength = 7;
  h.ExtraLength = 46;
  const std::vector<uint8_t> bytes = Encoded(h, EncodeLocalFileHeader);
  ASSERT_EQ(bytes.size(), TLocalFileHeader::kSize);
  ByteReader in(bytes.data(), bytes.size());
  TLocalFileHeader back;
  ASSERT_TRUE(DecodeLocalFileHeader(in, back));
  EXPECT_EQ(back, h);

  const std::vector<uint8_t> hand = {
      'P',  'K',  3,    4,     // signature
      20,   0,                 // version needed 2.0
      0x08, 0,                 // flags: data descriptor follows
      8,    0,                 // deflate
      0x2A, 0x6D,              // time 13:41:20
      0x21, 0x5A,              // date 2025-01-01
      0x78, 0x56, 0x34, 0x12,  // CRC-32
      0x10, 0,    0,    0,     // compressed size 16
      0x20, 0,    0,    0,     // uncompressed size 32
      5,    0,                 // name length
      0x0C, 0,                 // extra length 12
  };
  ByteReader handIn(hand.data(), hand.size());
  TLocalFileHeader r;
  ASSERT_TRUE(DecodeLocalFileHeader(handIn, r));
  EXPECT_EQ(r.Signature, kStandardSignatures.LocalHeader);
  EXPECT_EQ(r.VersionNeeded, 20);
  EXPECT_EQ(r.Flags, kFlagDataDescriptor);
  EXPECT_EQ(r.Method, 8);
  EXPECT_EQ(r.ModTime, 0x6D2A);
  EXPECT_EQ(r.ModDate, 0x5A21);
  EXPECT_EQ(r.Crc32, 0x12345678u);
  EXPECT_EQ(r.CompressedSize, 16u);
  EXPECT_EQ(r.UncompressedSize, 32u);
  EXPECT_EQ(r.NameLength, 5);
  EXPECT_EQ(r.ExtraLength, 12);
  ExpectShortInputFails(hand, DecodeLocalFileHeader, h);
}

TEST(Zip64EndOfCentralDir, RoundTripAndHandWrittenBytes) {
  TZip64EndOfCentralDir z;
  z.ThisVolume = 0x10002;
  z.DirStartVolume = 0x10001;
  z.EntriesOnVolume = 0x1'0000'0001;
  z.TotalEntries = 0x2'0000'0002;
  z.DirSize = 0x3'0000'0003;
  z.DirOffset = 0x4'0000'0004;
  const std::vector<uint8_t> bytes = Encoded(z, EncodeZip64EndOfCentralDir);
  ASSERT_EQ(bytes.size(), TZip64EndOfCentralDir::kSize);
  ByteReader in(bytes.data(), bytes.size());
  TZip64EndOfCentralDir back;
  back.RecordSize = 0;
  ASSERT_TRUE(DecodeZip64EndOfCentralDir(in, back));
  EXPECT_EQ(back, z);

  const std::vector<uint8_t> hand = {
      'P',  'K',  6, 6,              // signature
      44,   0,    0, 0, 0, 0, 0, 0,  // size of the rest
      45,   0,                       // version made by 4.5
      45,   0,                       // version needed 4.5
      1,    0,    0, 0,              // this volume
      0,    0,    0, 0,              // directory start volume
      0xFF, 0xFF, 0, 0, 0, 0, 0, 0,  // entries on this volume 65535
      0xFF, 0xFF, 0, 0, 0, 0, 0, 0,  // total entries 65535
      0x00, 0x10, 0, 0, 0, 0, 0, 0,  // directory size 4096
      0,    0,    0, 0, 1, 0, 0, 0,  // directory offset 4 GiB
  };
  ByteReader handIn(hand.data(), hand.size());
  TZip64EndOfCentralDir r;
  ASSERT_TRUE(DecodeZip64EndOfCentralDir(handIn, r));
  EXPECT_EQ(r.Signature, TZip64EndOfCentralDir::kSignature);
  EXPECT_EQ(r.RecordSize, 44u);
  EXPECT_EQ(r.VersionMadeBy, 45);
  EXPECT_EQ(r.ThisVolume, 1u);
  EXPECT_EQ(r.DirStartVolume, 0u);
  EXPECT_EQ(r.EntriesOnVolume, 65535u);
  EXPECT_EQ(r.TotalEntries, 65535u);
  EXPECT_EQ(r.DirSize, 4096u);
  EXPECT_EQ(r.DirOffset, 0x1'0000'0000u);
  ExpectShortInputFails(hand, DecodeZip64EndOfCentralDir, z);
}

TEST(Zip64Locator, RoundTripAndHandWrittenBytes) {
  TZip64Locator l;
  l.Zip64EndVolume = 3;
  l.Zip64EndOffset = 0x1'2345'6789;
  l.TotalVolumes = 4;
  const std::vector<uint8_t> bytes = Encoded(l, EncodeZip64Locator);
  ASSERT_EQ(bytes.size(), TZip64Locator::kSize);
  ByteReader in(bytes.data(), bytes.size());
  TZip64Locator back;
  ASSERT_TRUE(DecodeZip64Locator(in, back));
  EXPECT_EQ(back, l);

  const std::vector<uint8_t> hand = {
      'P',  'K',  6,    7,                 // signature
      2,    0,    0,    0,                 // volume of the Zip64 end record
      0x89, 0x67, 0x45, 0x23, 1, 0, 0, 0,  // its offset
      3,    0,    0,    0,                 // total volumes
  };
  ByteReader handIn(hand.data(), hand.size());
  TZip64Locator r;
  ASSERT_TRUE(DecodeZip64Locator(handIn, r));
  EXPECT_EQ(r.Signature, TZip64Locator::kSignature);
  EXPECT_EQ(r.Zip64EndVolume, 2u);
  EXPECT_EQ(r.Zip64EndOffset, 0x1'2345'6789u);
  EXPECT_EQ(r.TotalVolumes, 3u);
  ExpectShortInputFails(hand, DecodeZip64Locator, l);
}

TEST(DataDescriptor, RoundTripAndHandWrittenBytes) {
  TDataDescriptor d;
  d.Crc32 = 0xDEADBEEF;
  d.CompressedSize = 1;
  d.UncompressedSize = 2;
  const std::vector<uint8_t> bytes = Encoded(d, EncodeDataDescriptor);
  ASSERT_EQ(bytes.size(), TDataDescriptor::kSize);
  ByteReader in(bytes.data(), bytes.size());
  TDataDescriptor back;
  ASSERT_TRUE(DecodeDataDescriptor(in, back));
  EXPECT_EQ(back, d);

  const std::vector<uint8_t> hand = {
      'P',  'K',  7,    8,     // signature
      0x78, 0x56, 0x34, 0x12,  // CRC-32
      0x00, 0x01, 0,    0,     // compressed size 256
      0x00, 0x04, 0,    0,     // uncompressed size 1024
  };
  ByteReader handIn(hand.data(), hand.size());
  TDataDescriptor r;
  ASSERT_TRUE(DecodeDataDescriptor(handIn, r));
  EXPECT_EQ(r.Signature, TDataDescriptor::kSignature);
  EXPECT_EQ(r.Crc32, 0x12345678u);
  EXPECT_EQ(r.CompressedSize, 256u);
  EXPECT_EQ(r.UncompressedSize, 1024u);
  ExpectShortInputFails(hand, DecodeDataDescriptor, d);
}

TEST(CentralHeader, FixedBytesAreTheFirstSeventeenFields) {
  TDirItem item;
  item.Signature = kStandardSignatures.CentralHeader;
  item.VersionMadeBy = 0x0B14;
  item.VersionNeeded = 20;
  item.Flags = 1;
  item.Method = 8;
  item.ModTime = 0x1111;
  item.ModDate = 0x2222;
  item.Crc32 = 0x33333333;
  item.CompressedSize = 0x44444444;
  item.UncompressedSize = 0x55555555;
  item.NameLength = 0x0666;
  item.ExtraLength = 0x0777;
  item.CommentLength = 0x0888;
  item.DiskNumberStart = 0x0999;
  item.InternalAttr = 0x0AAA;
  item.ExternalAttr = 0xBBBBBBBB;
  item.LocalHeaderOffset = 0xCCCCCCCC;
  ByteWriter out;
  EncodeCentralHeaderFixed(item, out);
  ASSERT_EQ(out.Size(), kCentralHeaderSize);
  ByteReader in(out.Data().data(), out.Size());
  TDirItem back;
  back.FileName = u"kept";
  back.Marked = true;
  ASSERT_TRUE(DecodeCentralHeaderFixed(in, back));
  EXPECT_EQ(back.VersionMadeBy, 0x0B14);
  EXPECT_EQ(back.Crc32, 0x33333333u);
  EXPECT_EQ(back.NameLength, 0x0666);
  EXPECT_EQ(back.ExternalAttr, 0xBBBBBBBBu);
  EXPECT_EQ(back.LocalHeaderOffset, 0xCCCCCCCCu);
  // Only the fixed part is the decoder's business.
  EXPECT_EQ(back.FileName, u"kept");
  EXPECT_TRUE(back.Marked);

  const std::vector<uint8_t> hand = {
      'P',  'K',  1,    2,     // signature
      0x14, 0x0B,              // made by: NTFS host, 2.0
      20,   0,                 // version needed 2.0
      0x01, 0x08,              // flags: encrypted, UTF-8 name
      8,    0,                 // deflate
      0x2A, 0x6D,              // time
      0x21, 0x5A,              // date
      0x78, 0x56, 0x34, 0x12,  // CRC-32
      0xFF, 0xFF, 0xFF, 0xFF,  // compressed size: in the Zip64 block
      0x20, 0,    0,    0,     // uncompressed size 32
      9,    0,                 // name length
      0x18, 0,                 // extra length 24
      3,    0,                 // comment length
      0xFF, 0xFF,              // disk: in the Zip64 block
      1,    0,                 // internal attributes: text
      0x20, 0,    0,    0,     // external attributes: archive
      0x00, 0x10, 0,    0,     // local header offset 4096
  };
  ByteReader handIn(hand.data(), hand.size());
  TDirItem r;
  ASSERT_TRUE(DecodeCentralHeaderFixed(handIn, r));
  EXPECT_EQ(r.Signature, kStandardSignatures.CentralHeader);
  EXPECT_EQ(r.VersionMadeBy, 0x0B14);
  EXPECT_EQ(r.VersionNeeded, 20);
  EXPECT_EQ(r.Flags, kFlagEncrypted | kFlagUtf8Name);
  EXPECT_EQ(r.Method, 8);
  EXPECT_EQ(r.ModTime, 0x6D2A);
  EXPECT_EQ(r.ModDate, 0x5A21);
  EXPECT_EQ(r.Crc32, 0x12345678u);
  EXPECT_EQ(r.CompressedSize, kSentinel32);
  EXPECT_EQ(r.UncompressedSize, 32u);
  EXPECT_EQ(r.NameLength, 9);
  EXPECT_EQ(r.ExtraLength, 24);
  EXPECT_EQ(r.CommentLength, 3);
  EXPECT_EQ(r.DiskNumberStart, kSentinel16);
  EXPECT_EQ(r.InternalAttr, 1);
  EXPECT_EQ(r.ExternalAttr, 0x20u);
  EXPECT_EQ(r.LocalHeaderOffset, 4096u);

  for (size_t len : {size_t(0), size_t(30), kCentralHeaderSize - 1}) {
    ByteReader shortIn(hand.data(), len);
    TDirItem untouched;
    untouched.Crc32 = 7;
    EXPECT_FALSE(DecodeCentralHeaderFixed(shortIn, untouched)) << len;
    EXPECT_EQ(untouched.Crc32, 7u);
  }
}

TEST(SignatureSets, EndSignatureSelectsTheSet) {
  EXPECT_EQ(&SignatureSetOf(TEndOfCentralDir::kSignature), &kStandardSignatures);
  EXPECT_EQ(&SignatureSetOf(TEndOfCentralDir::kAltSignature), &kAlternativeSignatures);
  EXPECT_EQ(&SignatureSetOf(0), &kStandardSignatures);
  EXPECT_EQ(kAlternativeSignatures.LocalHeader, 0x05045C61u);
  EXPECT_EQ(kAlternativeSignatures.DataDescriptor, kStandardSignatures.DataDescriptor);
}

// An item holding the sentinels of `mask` (bit 0 uncompressed, 1 compressed,
// 2 offset, 3 disk) and distinct 64-bit values for all four.
TDirItem Zip64Item(unsigned mask) {
  TDirItem item;
  item.UncompressedSize = (mask & 1) ? kSentinel32 : 10;
  item.CompressedSize = (mask & 2) ? kSentinel32 : 20;
  item.LocalHeaderOffset = (mask & 4) ? kSentinel32 : 30;
  item.DiskNumberStart = (mask & 8) ? kSentinel16 : 0;
  item.Zip64UncompressedSize = 0x1'0000'0001;
  item.Zip64CompressedSize = 0x2'0000'0002;
  item.Zip64LocalHeaderOffset = 0x3'0000'0003;
  item.Zip64DiskNumberStart = 0x40004;
  return item;
}

TEST(Zip64Block, EverySubsetOfSentinelsRoundTrips) {
  for (unsigned mask = 0; mask < 16; ++mask) {
    SCOPED_TRACE(mask);
    const TDirItem item = Zip64Item(mask);
    const std::vector<uint8_t> block = BuildCentralZip64Block(item);
    const size_t data = 8 * std::popcount(mask & 7u) + ((mask & 8) ? 4 : 0);
    if (mask == 0) {
      EXPECT_TRUE(block.empty());
      continue;
    }
    ASSERT_EQ(block.size(), 4 + data);
    EXPECT_EQ(ReadU16LE(&block[0]), kZip64ExtraTag);
    EXPECT_EQ(ReadU16LE(&block[2]), data);

    const std::vector<TExtraField> fields = ParseExtraFields(block.data(), block.size());
    ASSERT_EQ(fields.size(), 1u);
    TDirItem read = item;
    read.Zip64UncompressedSize = read.Zip64CompressedSize = read.Zip64LocalHeaderOffset = -1;
    read.Zip64DiskNumberStart = 0;
    ApplyZip64ExtraInfo(fields[0], read);
    EXPECT_TRUE(read.Zip64Used);
    // Taken only where a sentinel asked; the others keep what they held.
    EXPECT_EQ(read.Zip64UncompressedSize, (mask & 1) ? 0x1'0000'0001 : -1);
    EXPECT_EQ(read.Zip64CompressedSize, (mask & 2) ? 0x2'0000'0002 : -1);
    EXPECT_EQ(read.Zip64LocalHeaderOffset, (mask & 4) ? 0x3'0000'0003 : -1);
    EXPECT_EQ(read.Zip64DiskNumberStart, (mask & 8) ? 0x40004u : 0u);
  }

  // Compressed size and offset alone: 20 bytes, compressed size first.
  const std::vector<uint8_t> block = BuildCentralZip64Block(Zip64Item(2 | 4));
  ASSERT_EQ(block.size(), 20u);
  EXPECT_EQ(ReadU16LE(&block[2]), 16);
  EXPECT_EQ(ReadU64LE(&block[4]), 0x2'0000'0002u);
  EXPECT_EQ(ReadU64LE(&block[12]), 0x3'0000'0003u);
}

TEST(Zip64Block, ExtraSlotsAreToleratedAndCutSlotsNotTaken) {
  // Info-ZIP writes a zero offset slot nobody asked for after the sizes.
  TDirItem item = Zip64Item(1);
  item.Zip64UncompressedSize = 0;
  TExtraField field{kZip64ExtraTag, 16, std::vector<uint8_t>(16, 0)};
  WriteU64LE(field.Data.data(), 0x5'0000'0000);
  ApplyZip64ExtraInfo(field, item);
  EXPECT_EQ(item.Zip64UncompressedSize, 0x5'0000'0000);
  EXPECT_EQ(item.Zip64LocalHeaderOffset, 0x3'0000'0003);  // not asked for

  // Both sizes and the disk asked for, but the block stops 4 bytes into the
  // compressed size: those 4 bytes are not the disk number.
  TDirItem cut = Zip64Item(1 | 2 | 8);
  cut.Zip64CompressedSize = 77;
  cut.Zip64DiskNumberStart = 88;
  TExtraField shortField{kZip64ExtraTag, 12, std::vector<uint8_t>(12, 0)};
  WriteU64LE(shortField.Data.data(), 9);
  WriteU32LE(shortField.Data.data() + 8, 0xABCD);
  ApplyZip64ExtraInfo(shortField, cut);
  EXPECT_EQ(cut.Zip64UncompressedSize, 9);
  EXPECT_EQ(cut.Zip64CompressedSize, 77);
  EXPECT_EQ(cut.Zip64DiskNumberStart, 88u);
  EXPECT_TRUE(cut.Zip64Used);

  // A size past the signed range must not come out negative.
  TDirItem huge = Zip64Item(2);
  TExtraField hugeField{kZip64ExtraTag, 8, std::vector<uint8_t>(8, 0xFF)};
  ApplyZip64ExtraInfo(hugeField, huge);
  EXPECT_EQ(huge.Zip64CompressedSize, INT64_MAX);
}

TEST(ExtraFields, ForeignFieldsAreKeptInOrderAndWrittenBack) {
  ByteWriter area;
  const std::vector<uint8_t> zip64 = BuildCentralZip64Block(Zip64Item(4));
  area.Bytes(zip64.data(), zip64.size());
  TExtraField ntfs{0x000A, 32, {}};
  for (uint8_t i = 0; i < 32; ++i) ntfs.Data.push_back(uint8_t(i * 7));
  EncodeExtraField(ntfs, area);
  EncodeExtraField({0xCAFE, 0, {}}, area);  // empty fields exist too
  EncodeExtraField(TUnicodeExtendedInfo::Build(u"abc"), area);

  const std::vector<TExtraField> fields = ParseExtraFields(area.Data().data(), area.Size());
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[0].Tag, kZip64ExtraTag);
  EXPECT_EQ(fields[1].Tag, 0x000A);
  EXPECT_EQ(fields[1].Size, 32);
  EXPECT_EQ(fields[1].Data, ntfs.Data);
  EXPECT_EQ(fields[2].Tag, 0xCAFE);
  EXPECT_EQ(fields[2].Size, 0);
  EXPECT_EQ(fields[3].Tag, kUnicodeNameTag);

  ByteWriter again;
  for (const TExtraField& f : fields) EncodeExtraField(f, again);
  EXPECT_EQ(again.Data(), area.Data());
}

TEST(ExtraFields, OverlongAndCutFieldsStayInsideTheArea) {
  // Claims 100 bytes, 10 are there: kept with Size 10.
  std::vector<uint8_t> area = {0x34, 0x12, 100, 0};
  for (uint8_t i = 1; i <= 10; ++i) area.push_back(i);
  std::vector<TExtraField> fields = ParseExtraFields(area.data(), area.size());
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].Tag, 0x1234);
  EXPECT_EQ(fields[0].Size, 10);
  EXPECT_EQ(fields[0].Data.size(), 10u);
  EXPECT_EQ(fields[0].Data.back(), 10);

  // A field header cut after 3 bytes ends the list.
  std::vector<uint8_t> cut = {0x0A, 0, 2, 0, 0xAA, 0xBB, 0x01, 0x00, 0x05};
  fields = ParseExtraFields(cut.data(), cut.size());
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].Size, 2);
  EXPECT_TRUE(ParseExtraFields(cut.data(), 3).empty());
  EXPECT_TRUE(ParseExtraFields(nullptr, 0).empty());

  // Encoding writes exactly Size bytes, whatever Data holds.
  ByteWriter out;
  EncodeExtraField({1, 4, {9}}, out);
  EXPECT_EQ(out.Data(), (std::vector<uint8_t>{1, 0, 4, 0, 9, 0, 0, 0}));
}

TEST(UnicodeName, FieldLayoutAndParse) {
  const TExtraField field = TUnicodeExtendedInfo::Build(u"\u0424\u0430\u0439\u043B.md");
  ByteWriter out;
  EncodeExtraField(field, out);
  const std::vector<uint8_t>& b = out.Data();
  ASSERT_EQ(b.size(), 26u);
  EXPECT_EQ(ReadU16LE(&b[0]), 0x554E);  // "NU"
  EXPECT_EQ(ReadU16LE(&b[2]), 22);
  EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 8), "NUCX");
  EXPECT_EQ(ReadU32LE(&b[8]), 7u);
  EXPECT_EQ(ReadU16LE(&b[12]), 0x0424);
  EXPECT_EQ(ReadU16LE(&b[24]), u'd');  // the 7th code unit

  TUnicodeExtendedInfo info;
  ASSERT_TRUE(info.Parse(field.Data.data(), field.Data.size()));
  EXPECT_EQ(info.Signature, kUnicodeNameSignature);
  EXPECT_EQ(info.FileName, u"\u0424\u0430\u0439\u043B.md");

  // One code unit short, a wrong signature, a cut header: refused.
  TUnicodeExtendedInfo bad;
  EXPECT_FALSE(bad.Parse(field.Data.data(), field.Data.size() - 1));
  EXPECT_FALSE(bad.Parse(field.Data.data(), 7));
  std::vector<uint8_t> other = field.Data;
  other[3] = 'Y';
  EXPECT_FALSE(bad.Parse(other.data(), other.size()));
  EXPECT_TRUE(bad.FileName.empty());
  // N near 2^32 with a few bytes there: false, and nothing sized by N.
  std::vector<uint8_t> liar = {'N', 'U', 'C', 'X', 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0};
  EXPECT_FALSE(bad.Parse(liar.data(), liar.size()));

  // The 16-bit size holds 32763 code units; one more is refused, not wrapped.
  const std::u16string longest(TUnicodeExtendedInfo::kMaxNameUnits, u'x');
  EXPECT_EQ(TUnicodeExtendedInfo::Build(longest).Size, 0xFFFF - 1);
  EXPECT_FALSE(UnicodeNameFits(longest + u'x'));
  EXPECT_THROW(TUnicodeExtendedInfo::Build(longest + u'x'), Exception);
}

TEST(EntryNames, CodePagesUtf8AndLength) {
  // "Папка/Файл.txt": one byte per letter in either page; cp866 differs.
  const std::u16string cyr = u"\u041F\u0430\u043F\u043A\u0430/\u0424\u0430\u0439\u043B.txt";
  const std::string oem = EntryNameToBytes(cyr, true);
  const std::string ansi = EntryNameToBytes(cyr, false);
  ASSERT_EQ(oem.size(), cyr.size());
  ASSERT_EQ(ansi.size(), cyr.size());
  EXPECT_EQ(uint8_t(oem[0]), 0x8F);   // П in cp866
  EXPECT_EQ(uint8_t(ansi[0]), 0xCF);  // П in cp1251
  EXPECT_EQ(EntryNameFromBytes(oem, true, false), cyr);
  EXPECT_EQ(EntryNameFromBytes(ansi, false, false), cyr);

  // Bit 11 from another tool: UTF-8, whatever the OEM setting says.
  const std::string utf8 = "na\xC3\xAFve/\xE6\x97\xA5\xE6\x9C\xAC.txt";
  EXPECT_EQ(EntryNameFromBytes(utf8, true, true), u"na\u00EFve/\u65E5\u672C.txt");
  EXPECT_EQ(EntryNameFromBytes(utf8, false, true), u"na\u00EFve/\u65E5\u672C.txt");
  EXPECT_NE(EntryNameFromBytes(utf8, true, false), u"na\u00EFve/\u65E5\u672C.txt");

  // A zero byte ends the name.
  EXPECT_EQ(EntryNameFromBytes(std::string("ab\0cd", 5), true, false), u"ab");

  // Long names are written whole; only past 16 bits is a name refused.
  std::u16string longName;
  while (longName.size() < 5000) longName += u"\u0434\u0438\u0440/";
  longName.resize(5000);
  const std::string longBytes = EntryNameToBytes(longName, true);
  EXPECT_EQ(longBytes.size(), 5000u);
  EXPECT_TRUE(EntryNameFits(longBytes));
  EXPECT_EQ(EntryNameFromBytes(longBytes, true, false), longName);
  EXPECT_TRUE(EntryNameFits(std::string(0xFFFF, 'a')));
  EXPECT_FALSE(EntryNameFits(std::string(0x10000, 'a')));
}

// Damaged bytes through every parser of this file: nothing may read outside
// what it is given (the sanitizer build watches) and the results must stay
// inside the input.
TEST(RecordParsers, SurviveRandomBytes) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes(rng() % 80);
    for (uint8_t& b : bytes) b = uint8_t(rng() % 4 == 0 ? 0xFF : rng());
    if (bytes.size() >= 4 && rng() % 2) WriteU32LE(bytes.data(), kUnicodeNameSignature);

    size_t total = 0;
    for (const TExtraField& f : ParseExtraFields(bytes.data(), bytes.size())) {
      ASSERT_EQ(f.Data.size(), f.Size);
      total += 4 + f.Size;
      TDirItem item = Zip64Item(unsigned(rng() % 16));
      ApplyZip64ExtraInfo(f, item);
      EXPECT_GE(item.Zip64CompressedSize, 0);
    }
    EXPECT_LE(total, bytes.size());

    TUnicodeExtendedInfo info;
    if (info.Parse(bytes.data(), bytes.size())) {
      EXPECT_LE(8 + 2 * info.FileName.size(), bytes.size());
    }
    ByteReader in(bytes.data(), bytes.size());
    TDirItem item;
    EXPECT_EQ(DecodeCentralHeaderFixed(in, item), bytes.size() >= kCentralHeaderSize);
  }
}

TEST(DirManager, EmptyDirectoryIsTheEndRecordAfterWhatIsThere) {
  TMemoryStream stream;
  stream.WriteBuffer("STUB!", 5);
  TKMDirManager manager(&stream, true, TEndOfCentralDir::kSignature);
  manager.SetArchiveComment("hello");
  manager.WriteEmptyDirectory();
  ASSERT_EQ(stream.Size(), 5 + 22 + 5);
  const uint8_t* p = stream.Memory() + 5;
  EXPECT_EQ(ReadU32LE(p), TEndOfCentralDir::kSignature);
  EXPECT_EQ(ReadU16LE(p + 10), 0);   // no entries
  EXPECT_EQ(ReadU32LE(p + 12), 0u);  // directory size
  EXPECT_EQ(ReadU32LE(p + 16), 5u);  // directory offset = size before the write
  EXPECT_EQ(ReadU16LE(p + 20), 5);   // comment length
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 22), 5), "hello");
  EXPECT_EQ(manager.CentralDirOffset(), 5);
  EXPECT_EQ(manager.EndRecord().DirOffset, 5u);

  // The alternative set is kept when asked for.
  TMemoryStream alt;
  TKMDirManager altManager(&alt, true, TEndOfCentralDir::kAltSignature);
  altManager.WriteEmptyDirectory();
  ASSERT_EQ(alt.Size(), 22);
  EXPECT_EQ(ReadU32LE(alt.Memory()), TEndOfCentralDir::kAltSignature);
}

TEST(Volumes, SizeLimitsAndClamp) {
  TKMSpanningOptions options;
  TKMVolumeNumberInfo first, second;
  first.SetFirst(true);
  second.SetNumber(1);
  EXPECT_EQ(options.VolumeSizeLimit(first), -1);  // auto-detect: no limit

  options.SetFirstVolumeSize(100000);
  options.SetVolumeSize(vs1_44MB);
  EXPECT_EQ(options.VolumeSizeLimit(first), 100000);
  EXPECT_EQ(options.VolumeSizeLimit(second), 1457664);
  options.SetVolumeSize(vs4700MB);  // past 32 bits
  EXPECT_EQ(options.VolumeSizeLimit(second), 4928307200LL);

  EXPECT_EQ(options.CustomVolumeSize(), 0);
  options.SetVolumeSize(vsCustom);
  options.SetCustomVolumeSize(1000);
  EXPECT_EQ(options.VolumeSizeLimit(second), 65536);
  options.SetCustomVolumeSize(-5);
  EXPECT_EQ(options.CustomVolumeSize(), 65536);
  options.SetCustomVolumeSize(70000);
  EXPECT_EQ(options.CustomVolumeSize(), 70000);
}

TEST(Volumes, SameVolume) {
  TKMVolumeNumberInfo a, b;
  EXPECT_TRUE(a.SameVolume(b));  // both unknown: kinds compared

  // Last before its number is known: by kind.
  a.SetLast(true);
  EXPECT_TRUE(a.IsLast());
  EXPECT_FALSE(a.SameVolume(b));
  b.SetLast(true);
  EXPECT_TRUE(a.SameVolume(b));

  // Once known, the numbers decide.
  TKMVolumeNumberInfo c, d;
  c.LastVolumeNumber = 4;
  d.LastVolumeNumber = 4;
  c.SetNumber(4);
  EXPECT_TRUE(c.IsLast());
  d.SetLast(true);
  EXPECT_TRUE(c.SameVolume(d));
  d.SetNumber(3);
  EXPECT_FALSE(c.SameVolume(d));

  TKMVolumeNumberInfo e, f;
  e.SetFirst(true);
  f.SetNumber(0);
  EXPECT_TRUE(e.SameVolume(f));
  f.SetNumber(2);
  e.SetNumber(2);
  EXPECT_TRUE(e.SameVolume(f));
  e.SetNumber(1);
  EXPECT_FALSE(e.SameVolume(f));

  e.Reset();
  EXPECT_EQ(e.VolumeKind, vkUnknown);
  EXPECT_EQ(e.VolumeNumber, -1);
  EXPECT_EQ(e.LastVolumeNumber, -1);
}

}  // namespace
}  // namespace km
