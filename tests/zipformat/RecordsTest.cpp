#include <gtest/gtest.h>

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

TEST(DirArray, IndexErrorsCarryTheirCodeAndChangeNothing) {
  TKMDirArray dir;
  TDirItem item;
  item.FileName = u"a.txt";
  item.ExtraFields.push_back({0x000A, 3, {1, 2, 3}});
  dir.Add(item);
  auto code = [](auto&& f) {
    try {
      f();
    } catch (const EKMException& e) {
      return e.NativeError();
    }
    return -1;
  };
  EXPECT_EQ(code([&] { dir.SetItem(1, item); }), 1);
  EXPECT_EQ(code([&] { dir.GetItem(-1); }), 2);
  EXPECT_EQ(code([&] { dir.ItemPtr(1); }), 3);
  EXPECT_EQ(code([&] { dir.Delete(5); }), 4);
  EXPECT_EQ(dir.Count(), 1);

  // A copy owns its items: changing it leaves the source alone.
  TKMDirArray copy;
  copy.Assign(dir);
  copy.ItemPtr(0)->ExtraFields[0].Data[0] = 9;
  copy.ItemPtr(0)->Modified = true;
  copy.Clear();
  EXPECT_EQ(dir.GetItem(0).ExtraFields[0].Data[0], 1);
  EXPECT_FALSE(dir.GetItem(0).Modified);
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
