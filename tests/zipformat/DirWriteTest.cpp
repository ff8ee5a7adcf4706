#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "ZipBuilder.h"
#include "support/ByteIO.h"
#include "zipformat/DirManager.h"

namespace km {
namespace {

using test::BuiltZip;
using test::ExtraField;
using test::ZipBuilder;
using test::ZipEntry;

struct Writer {
  TMemoryStream stream;
  TKMStreamArchiveContext context{&stream};
  std::unique_ptr<TKMDirManager> manager;

  explicit Writer(const std::string& before = "") {
    stream.WriteBuffer(before.data(), int64_t(before.size()));
    manager = std::make_unique<TKMDirManager>(&stream, context, true);
  }
  std::string Bytes() {
    return std::string(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size()));
  }
  void AddNamed(const std::u16string& name) {
    TKMDirArray& dir = manager->CurrentDir();
    const int32_t i = dir.Count();
    dir.SetCount(i + 1);
    TDirItem* item = dir.ItemPtr(i);
    item->Signature = 0x02014B50;
    item->VersionMadeBy = item->VersionNeeded = 20;
    item->ExternalAttr = 0x20;
    dir.RenameItem(i, name);
  }
};

// Reads what a writer produced back into a fresh manager.
std::unique_ptr<TKMDirManager> ReadBack(TMemoryStream& stream, TKMStreamArchiveContext& context) {
  auto m = std::make_unique<TKMDirManager>(&stream, context, false);
  m->ReadCentralDir();
  return m;
}

const uint8_t* At(Writer& w, int64_t offset) {
  return w.stream.Memory() + offset;
}

TEST(DirWrite, EmptyDirectoryAndArchiveComment) {
  Writer w("12345678");
  w.manager->WriteCentralDir();
  ASSERT_EQ(w.stream.Size(), 8 + 22);
  const uint8_t* end = At(w, 8);
  EXPECT_EQ(ReadU32LE(end), 0x06054B50u);
  EXPECT_EQ(ReadU16LE(end + 10), 0);
  EXPECT_EQ(ReadU32LE(end + 12), 0u);  // directory size
  EXPECT_EQ(ReadU32LE(end + 16), 8u);  // directory offset: the size before
  EXPECT_EQ(w.manager->CentralDirOffset(), 8);

  Writer c;
  c.manager->SetArchiveComment("notes");
  c.manager->WriteCentralDir();
  ASSERT_EQ(c.stream.Size(), 27);
  EXPECT_EQ(ReadU16LE(At(c, 20)), 5);
  EXPECT_EQ(c.Bytes().substr(22), "notes");
}

TEST(DirWrite, Zip64BlockIsRebuiltAndForeignFieldsKept) {
  Writer w;
  w.AddNamed(u"big.bin");
  TDirItem* item = w.manager->CurrentDir().ItemPtr(0);
  item->CompressedSize = 0xFFFFFFFF;
  item->LocalHeaderOffset = 0xFFFFFFFF;
  item->UncompressedSize = 7;
  item->Zip64CompressedSize = 0x123456789LL;
  item->Zip64LocalHeaderOffset = 0x2000000000LL;
  // A stale stored Zip64 field and a foreign one of 32 bytes.
  item->ExtraFields.push_back({0x0001, 8, std::vector<uint8_t>(8, 0xEE)});
  item->ExtraFields.push_back({0x000A, 32, std::vector<uint8_t>(32, 0x5A)});
  w.manager->WriteCentralDir();

  EXPECT_EQ(ReadU16LE(At(w, 28)), 7);        // name length
  EXPECT_EQ(ReadU16LE(At(w, 30)), 20 + 36);  // extra length
  const uint8_t* extra = At(w, 46 + 7);
  EXPECT_EQ(ReadU16LE(extra), 0x0001);
  EXPECT_EQ(ReadU16LE(extra + 2), 16);
  EXPECT_EQ(ReadU64LE(extra + 4), 0x123456789ull);
  EXPECT_EQ(ReadU64LE(extra + 12), 0x2000000000ull);
  EXPECT_EQ(ReadU16LE(extra + 20), 0x000A);
  EXPECT_EQ(ReadU16LE(extra + 22), 32);
  EXPECT_EQ(extra[24], 0x5A);
  EXPECT_EQ(extra[24 + 31], 0x5A);
  EXPECT_EQ(ReadU32LE(extra + 56), 0x06054B50u);  // end record follows
}

TEST(DirWrite, Zip64EndRecordFromTheEntryCount) {
  for (int32_t count : {65534, 65535}) {
    Writer w;
    char name[16];
    for (int32_t i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "f%05d", int(i));
      w.AddNamed(std::u16string(name, name + 6));
    }
    w.manager->WriteCentralDir();
    const int64_t dirEnd = int64_t(count) * (46 + 6);
    const int64_t size = w.stream.Size();
    const uint8_t* end = At(w, size - 22);
    ASSERT_EQ(ReadU32LE(end), 0x06054B50u);
    if (count == 65534) {
      EXPECT_EQ(size, dirEnd + 22);
      EXPECT_EQ(ReadU16LE(end + 8), 65534);
      EXPECT_EQ(ReadU16LE(end + 10), 65534);
    } else {
      ASSERT_EQ(size, dirEnd + 56 + 20 + 22);
      EXPECT_EQ(ReadU16LE(end + 8), 0xFFFF);
      EXPECT_EQ(ReadU16LE(end + 10), 0xFFFF);
      const uint8_t* z = At(w, dirEnd);
      EXPECT_EQ(ReadU32LE(z), 0x06064B50u);
      EXPECT_EQ(ReadU64LE(z + 4), 44u);
      EXPECT_EQ(ReadU64LE(z + 24), 65535u);
      EXPECT_EQ(ReadU64LE(z + 32), 65535u);
      EXPECT_EQ(ReadU64LE(z + 40), uint64_t(dirEnd));
      EXPECT_EQ(ReadU64LE(z + 48), 0u);
      const uint8_t* loc = At(w, dirEnd + 56);
      EXPECT_EQ(ReadU32LE(loc), 0x07064B50u);
      EXPECT_EQ(ReadU64LE(loc + 8), uint64_t(dirEnd));
      EXPECT_EQ(ReadU32LE(loc + 16), 1u);
    }
    // And it reads back whole.
    TKMStreamArchiveContext context(&w.stream);
    auto back = ReadBack(w.stream, context);
    ASSERT_EQ(back->CurrentDir().Count(), count);
    EXPECT_EQ(back->CurrentDir().GetItem(count - 1).FileName, std::u16string(name, name + 6));
    EXPECT_EQ(back->Zip64Present(), count == 65535);
  }
}

TEST(DirWrite, NamesAreWrittenWholeInTheirCodePage) {
  for (bool oem : {true, false}) {
    Writer w;
    w.context.oemFileNames = oem;
    w.AddNamed(u"\u041F\u0440\u0438.txt");  // "При.txt"
    w.manager->WriteCentralDir();
    EXPECT_EQ(ReadU16LE(At(w, 28)), 7);
    // 'П' is 0x8F in code page 866 and 0xCF in 1251.
    EXPECT_EQ(*At(w, 46), oem ? 0x8F : 0xCF);
  }

  // Far beyond any fixed buffer: written whole and read back the same.
  Writer w;
  const std::u16string longName(2000, u'n');
  w.AddNamed(longName);
  w.manager->WriteCentralDir();
  EXPECT_EQ(ReadU16LE(At(w, 28)), 2000);
  TKMStreamArchiveContext context(&w.stream);
  auto back = ReadBack(w.stream, context);
  ASSERT_EQ(back->CurrentDir().Count(), 1);
  EXPECT_EQ(back->CurrentDir().GetItem(0).FileName, longName);

  // A name its 16-bit length field cannot hold is refused by name.
  Writer tooLong;
  tooLong.AddNamed(u"keep.txt");
  tooLong.AddNamed(std::u16string(70000, u'x'));
  try {
    tooLong.manager->WriteCentralDir();
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 61);
    EXPECT_NE(e.Message().find(u"xxxxxxxx"), std::u16string::npos);
  }
}

TEST(DirWrite, RoundTripKeepsEveryField) {
  ZipBuilder z;
  z.archiveComment = "archive comment";
  ZipEntry a;
  a.name = "docs/readme.txt";
  a.data = "read me first";
  a.comment = "entry comment";
  a.flags = 0x0002;
  a.externalAttr = 0x21;
  a.centralExtra = ExtraField(0x000A, std::string(32, '\x11'));
  z.Add(a);
  z.Add("docs/", "");
  ZipEntry far;
  far.name = "far.bin";
  far.data = std::string(300, 'f');
  far.zip64Offset = true;
  far.centralExtra = ExtraField(0x7855, "ux");
  z.Add(far);
  ZipEntry utf8;
  utf8.name = "\xD0\xAF.txt";  // "Я.txt", flagged UTF-8
  utf8.flags = 0x0800;
  z.Add(utf8);
  const BuiltZip built = z.Build();

  TMemoryStream original;
  original.WriteBuffer(built.bytes.data(), int64_t(built.bytes.size()));
  TKMStreamArchiveContext originalContext(&original);
  auto read = ReadBack(original, originalContext);
  ASSERT_EQ(read->CurrentDir().Count(), 4);

  // The entries alone, then a directory written for them.
  Writer w(built.bytes.substr(0, built.centralDirOffset));
  w.manager->CurrentDir().Assign(read->CurrentDir());
  w.manager->SetArchiveComment(read->ArchiveComment());
  w.manager->WriteCentralDir();
  // What the builder wrote by hand comes out byte for byte.
  EXPECT_EQ(w.Bytes(), built.bytes);

  TKMStreamArchiveContext context(&w.stream);
  auto back = ReadBack(w.stream, context);
  ASSERT_EQ(back->CurrentDir().Count(), 4);
  EXPECT_EQ(back->ArchiveComment(), "archive comment");
  for (int32_t i = 0; i < 4; ++i) {
    const TDirItem& x = read->CurrentDir().GetItem(i);
    const TDirItem& y = back->CurrentDir().GetItem(i);
    EXPECT_EQ(y.Signature, x.Signature);
    EXPECT_EQ(y.VersionMadeBy, x.VersionMadeBy);
    EXPECT_EQ(y.VersionNeeded, x.VersionNeeded);
    EXPECT_EQ(y.Flags, x.Flags);
    EXPECT_EQ(y.Method, x.Method);
    EXPECT_EQ(y.ModTime, x.ModTime);
    EXPECT_EQ(y.ModDate, x.ModDate);
    EXPECT_EQ(y.Crc32, x.Crc32);
    EXPECT_EQ(y.CompressedSize, x.CompressedSize);
    EXPECT_EQ(y.UncompressedSize, x.UncompressedSize);
    EXPECT_EQ(y.NameLength, x.NameLength);
    EXPECT_EQ(y.ExtraLength, x.ExtraLength);
    EXPECT_EQ(y.CommentLength, x.CommentLength);
    EXPECT_EQ(y.ExternalAttr, x.ExternalAttr);
    EXPECT_EQ(y.LocalHeaderOffset, x.LocalHeaderOffset);
    EXPECT_EQ(y.Zip64LocalHeaderOffset, x.Zip64LocalHeaderOffset);
    EXPECT_EQ(y.FileName, x.FileName);
    EXPECT_EQ(y.Comment, x.Comment);
    ASSERT_EQ(y.ExtraFields.size(), x.ExtraFields.size());
    for (size_t k = 0; k < x.ExtraFields.size(); ++k) {
      EXPECT_EQ(y.ExtraFields[k].Tag, x.ExtraFields[k].Tag);
      EXPECT_EQ(y.ExtraFields[k].Data, x.ExtraFields[k].Data);
    }
  }
  EXPECT_EQ(back->CurrentDir().GetItem(3).FileName, u"\u042F.txt");
  EXPECT_EQ(back->CurrentDir().GetItem(2).Zip64LocalHeaderOffset, int64_t(built.localOffsets[2]));
}

}  // namespace
}  // namespace km
