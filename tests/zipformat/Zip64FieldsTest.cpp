#include "zipformat/Zip64Fields.h"

#include <gtest/gtest.h>

#include "support/ByteIO.h"

namespace km {
namespace {

TEST(Zip64FieldsTest, StoringSetsSentinelAndZip64ValueTogether) {
  TDirItem item;
  StoreCompressedSize(item, int64_t(kSentinel32), false);
  EXPECT_EQ(item.CompressedSize, kSentinel32);
  EXPECT_EQ(item.Zip64CompressedSize, int64_t(kSentinel32));
  EXPECT_TRUE(item.Zip64Used);
  EXPECT_EQ(CompressedSizeOf(item), int64_t(kSentinel32));

  // A value that fits leaves the Zip64 state another field needs.
  StoreUncompressedSize(item, 10, false);
  EXPECT_EQ(item.UncompressedSize, 10u);
  EXPECT_TRUE(item.Zip64Used);
  StoreLocalOffset(item, 7, true);
  EXPECT_EQ(item.LocalHeaderOffset, kSentinel32);
  EXPECT_EQ(LocalOffsetOf(item), 7);

  // A fresh entry's size alone decides.
  ResetUncompressedSize(item, 10, false);
  EXPECT_FALSE(item.Zip64Used);
  EXPECT_EQ(UncompressedSizeOf(item), 10);
}

TEST(Zip64FieldsTest, DiskNumberSentinelCountsOnlyWithZip64EndRecord) {
  TDirItem item;
  item.DiskNumberStart = kSentinel16;
  item.Zip64DiskNumberStart = 3;
  EXPECT_EQ(DiskNumberStartOf(item, true), 3);
  EXPECT_EQ(DiskNumberStartOf(item, false), 0);
}

TEST(Zip64FieldsTest, LocalCompressedSizeResolvesThroughItsZip64Block) {
  TLocalFileHeader header;
  header.CompressedSize = 5;
  EXPECT_EQ(LocalCompressedSizeOf(header, {}), 5u);

  header.CompressedSize = kSentinel32;
  header.UncompressedSize = kSentinel32;
  ByteWriter both;
  both.U16(kZip64ExtraTag);
  both.U16(16);
  both.U64(100);
  both.U64(40);
  EXPECT_EQ(LocalCompressedSizeOf(header, both.Data()), 40u);

  // An 8-byte block holds only the slot the sentinels ask for; with both
  // sizes asked for it is not usable and the sentinel stands.
  ByteWriter one;
  one.U16(kZip64ExtraTag);
  one.U16(8);
  one.U64(40);
  EXPECT_EQ(LocalCompressedSizeOf(header, one.Data()), uint64_t(kSentinel32));
  header.UncompressedSize = 100;
  EXPECT_EQ(LocalCompressedSizeOf(header, one.Data()), 40u);
}

TEST(Zip64FieldsTest, LocalHeaderZip64FieldIsZeroUntilSizesAreKnown) {
  TLocalFileHeader header;
  header.UncompressedSize = kSentinel32;
  const std::string name = "a.txt";
  const std::vector<TExtraField> extra{BuildNtfsTimeField(1, 2, 3)};
  TLocalZip64Sizes zip64;
  zip64.Present = true;
  ByteWriter before;
  EncodeLocalHeader(header, name, zip64, extra, before);
  zip64.Known = true;
  zip64.Uncompressed = 100;
  zip64.Compressed = 40;
  ByteWriter after;
  EncodeLocalHeader(header, name, zip64, extra, after);

  ASSERT_EQ(before.Size(),
            TLocalFileHeader::kSize + name.size() + kLocalZip64FieldSize + 4 + kNtfsTimeFieldSize);
  ASSERT_EQ(after.Size(), before.Size());
  const size_t at = LocalZip64FieldAt(name);
  for (size_t i = at; i < at + kLocalZip64FieldSize; ++i) EXPECT_EQ(before.Data()[i], 0) << i;
  // Only the Zip64 field differs between the two.
  EXPECT_TRUE(std::equal(before.Data().begin(), before.Data().begin() + at, after.Data().begin()));
  EXPECT_TRUE(std::equal(before.Data().begin() + at + kLocalZip64FieldSize, before.Data().end(),
                         after.Data().begin() + at + kLocalZip64FieldSize));

  ByteReader in(after.Data().data(), after.Size());
  TLocalFileHeader decoded;
  ASSERT_TRUE(DecodeLocalFileHeader(in, decoded));
  EXPECT_EQ(decoded.NameLength, name.size());
  EXPECT_EQ(decoded.ExtraLength, kLocalZip64FieldSize + 4 + kNtfsTimeFieldSize);
  const std::vector<uint8_t> area(after.Data().begin() + at, after.Data().end());
  decoded.CompressedSize = kSentinel32;
  EXPECT_EQ(LocalCompressedSizeOf(decoded, area), 40u);
}

TEST(Zip64FieldsTest, StoredNameBytesFollowTheUtf8Flag) {
  TDirItem item;
  item.FileName = u"\u00E9.txt";
  item.Flags = kFlagUtf8Name;
  EXPECT_EQ(StoredNameBytes(item, false), "\xC3\xA9.txt");
  item.Flags = 0;
  EXPECT_EQ(StoredNameBytes(item, false), EntryNameToBytes(item.FileName, false));
}

}  // namespace
}  // namespace km
