#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZipBuilder.h"
#include "zipformat/DirManager.h"

namespace km {
namespace {

using test::BuiltZip;
using test::ExtraField;
using test::Le16;
using test::Le32;
using test::Le64;
using test::ZipBuilder;
using test::ZipEntry;

// A manager over archive bytes held in memory.
struct Opened {
  TMemoryStream stream;
  TKMStreamArchiveContext context{&stream};
  std::unique_ptr<TKMDirManager> manager;

  explicit Opened(const std::string& bytes, bool tolerateDamage = true) {
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(0);
    context.tolerateDamage = tolerateDamage;
    manager = std::make_unique<TKMDirManager>(&stream, context, false);
  }
  TKMDirManager& Read() {
    manager->ReadCentralDir();
    return *manager;
  }
  const TDirItem& Item(int32_t i) const { return manager->CurrentDir().GetItem(i); }
  bool Scanned() { return manager->CentralDirOffset() == stream.Size(); }
};

int64_t OffsetOf(const TDirItem& item) {
  return item.LocalHeaderOffset == 0xFFFFFFFF ? item.Zip64LocalHeaderOffset
                                              : int64_t(item.LocalHeaderOffset);
}

ZipBuilder ThreeEntries() {
  ZipBuilder z;
  z.Add("a.txt", "alpha");
  z.Add("d/", "");
  ZipEntry big;
  big.name = "d/z.bin";
  big.data = "zeta-zeta";
  big.zip64Offset = true;
  z.Add(big);
  return z;
}

TEST(DirRead, EmptyArchivesAndPrefixes) {
  Opened bare(ZipBuilder().Build().bytes);
  ASSERT_EQ(bare.stream.Size(), 22);
  TKMDirManager& m = bare.Read();
  EXPECT_EQ(m.CurrentDir().Count(), 0);
  EXPECT_EQ(m.StubSize(), 0);
  EXPECT_EQ(m.ArchiveComment(), "");
  EXPECT_EQ(m.CentralDirOffset(), 0);

  ZipBuilder prefixed;
  prefixed.prefix = std::string(1000, 'S');
  prefixed.archiveComment = "hello";
  Opened stub(prefixed.Build().bytes);
  TKMDirManager& s = stub.Read();
  EXPECT_EQ(s.CurrentDir().Count(), 0);
  EXPECT_EQ(s.StubSize(), 1000);
  EXPECT_EQ(s.ArchiveComment(), "hello");
  EXPECT_EQ(s.CentralDirOffset(), 1000);
}

TEST(DirRead, PrefixWithOffsetsFromTheZipStartMovesEveryEntry) {
  for (bool fromZipStart : {false, true}) {
    ZipBuilder z = ThreeEntries();
    z.prefix = std::string(1000, '\x90');
    z.offsetsFromZipStart = fromZipStart;
    const BuiltZip built = z.Build();
    Opened o(built.bytes);
    TKMDirManager& m = o.Read();
    ASSERT_EQ(m.CurrentDir().Count(), 3) << fromZipStart;
    EXPECT_EQ(m.StubSize(), 1000);
    // Directories and 64-bit offsets too: a rewrite copies from here.
    for (int32_t i = 0; i < 3; ++i)
      EXPECT_EQ(OffsetOf(o.Item(i)), int64_t(built.localOffsets[size_t(i)]))
          << "entry " << i << " fromZipStart " << fromZipStart;
    EXPECT_EQ(o.Item(2).LocalHeaderOffset, 0xFFFFFFFFu);
    EXPECT_EQ(m.CentralDirOffset(), int64_t(built.centralDirOffset));
  }

  // The same with a Zip64 end record whose locator counts from the ZIP start.
  ZipBuilder z = ThreeEntries();
  z.prefix = std::string(700, 'P');
  z.offsetsFromZipStart = true;
  z.zip64 = true;
  const BuiltZip built = z.Build();
  Opened o(built.bytes);
  TKMDirManager& m = o.Read();
  ASSERT_EQ(m.CurrentDir().Count(), 3);
  EXPECT_TRUE(m.Zip64Present());
  EXPECT_EQ(m.StubSize(), 700);
  EXPECT_EQ(OffsetOf(o.Item(1)), int64_t(built.localOffsets[1]));
}

TEST(DirRead, NoUsableEndRecordRebuildsFromLocalHeaders) {
  // Three bytes past the comment: no end record is acceptable.
  ZipBuilder trailing = ThreeEntries();
  trailing.archiveComment = "note";
  trailing.afterComment = "xyz";
  Opened a(trailing.Build().bytes);
  TKMDirManager& m = a.Read();
  EXPECT_TRUE(a.Scanned());
  ASSERT_EQ(m.CurrentDir().Count(), 3);
  EXPECT_EQ(a.Item(0).FileName, u"a.txt");
  EXPECT_EQ(a.Item(1).ExternalAttr, 0x10u);  // empty, no descriptor: a folder
  EXPECT_EQ(a.Item(2).CompressedSize, 9u);

  // 0xFFFF entries without a Zip64 locator.
  ZipBuilder sentinel = ThreeEntries();
  sentinel.totalEntries = 0xFFFF;
  Opened b(sentinel.Build().bytes);
  b.Read();
  EXPECT_TRUE(b.Scanned());
  EXPECT_EQ(b.manager->CurrentDir().Count(), 3);

  // Nothing that looks like an entry at all.
  Opened junk(std::string(5000, 'j'));
  try {
    junk.Read();
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 35);
  }
}

TEST(DirRead, ScanRecoversIntactLocalHeaders) {
  ZipBuilder z;
  z.Add("one.txt", "first entry");
  ZipEntry described;
  described.name = "two.txt";
  described.data = "described by a trailer";
  described.dataDescriptor = true;
  z.Add(described);
  // 300 bytes of extra area that do not split into whole fields (the one
  // field claims 400): taken for data, passed over.
  ZipEntry wideExtra;
  wideExtra.name = "skip.me";
  wideExtra.localExtra = Le16(0xABCD) + Le16(400) + std::string(296, 'e');
  z.Add(wideExtra);
  z.Add("three.txt", "last");
  // As many bytes in whole fields, as a long name's unicode and time fields
  // make them: a header all the same.
  ZipEntry longName;
  longName.name = "kept.me";
  longName.localExtra =
      ExtraField(0x7075, std::string(200, 'u')) + ExtraField(0x000A, std::string(92, 't'));
  z.Add(longName);
  const BuiltZip built = z.Build();

  // The whole directory and the end record zeroed, then only the directory.
  for (bool keepEnd : {false, true}) {
    std::string bytes = built.bytes;
    const size_t end = keepEnd ? bytes.size() - 22 : bytes.size();
    std::memset(&bytes[built.centralDirOffset], 0, end - built.centralDirOffset);
    Opened o(bytes);
    TKMDirManager& m = o.Read();
    EXPECT_TRUE(o.Scanned()) << keepEnd;
    ASSERT_EQ(m.CurrentDir().Count(), 4) << keepEnd;
    EXPECT_EQ(o.Item(3).FileName, u"kept.me");
    EXPECT_EQ(o.Item(0).FileName, u"one.txt");
    EXPECT_EQ(o.Item(1).FileName, u"two.txt");
    EXPECT_EQ(o.Item(1).CompressedSize, 22u);
    EXPECT_EQ(o.Item(1).UncompressedSize, 22u);
    EXPECT_EQ(o.Item(1).Crc32, test::CrcOf("described by a trailer"));
    EXPECT_EQ(o.Item(1).ExternalAttr, 0x20u);
    EXPECT_EQ(o.Item(2).FileName, u"three.txt");
    EXPECT_EQ(o.Item(2).LocalHeaderOffset, built.localOffsets[3]);
  }

  // Cut in the middle of the second entry's data: the first two headers
  // are still whole.
  Opened cut(built.bytes.substr(0, built.localOffsets[1] + 30 + 7 + 5));
  TKMDirManager& m = cut.Read();
  ASSERT_EQ(m.CurrentDir().Count(), 2);
  EXPECT_EQ(cut.Item(1).FileName, u"two.txt");
  EXPECT_EQ(cut.Item(1).CompressedSize, 0u);  // its descriptor is gone

  // Cut inside a name: an entry without one names no file and is passed
  // over, noted by its offset.
  Opened inName(built.bytes.substr(0, built.localOffsets[1] + 33));
  ASSERT_EQ(inName.Read().CurrentDir().Count(), 1);
  EXPECT_EQ(inName.manager->NamelessEntries(),
            std::vector<int64_t>{int64_t(built.localOffsets[1])});
}

// An entry with an empty name (other tools write one) is passed over and
// noted by its offset; the entries around it read, in the directory and in
// the scan alike, however many nameless ones there are. It once stopped the
// whole read: its empty index line stood for the next, still unnamed item.
TEST(DirRead, EntriesWithoutANameArePassedOver) {
  ZipBuilder z;
  z.Add("a.txt", "alpha");
  z.Add("", "nameless");
  z.Add("b.txt", "bravo");
  z.Add("", "nameless too");
  z.Add("c.txt", "charlie");
  const BuiltZip built = z.Build();
  std::string noDirectory = built.bytes;
  std::memset(&noDirectory[built.centralDirOffset], 0, noDirectory.size() - built.centralDirOffset);
  for (const std::string& bytes : {built.bytes, noDirectory}) {
    const bool scan = bytes != built.bytes;
    Opened o(bytes, scan);
    TKMDirManager& m = o.Read();
    EXPECT_EQ(o.Scanned(), scan);
    ASSERT_EQ(m.CurrentDir().Count(), 3);
    EXPECT_EQ(o.Item(0).FileName, u"a.txt");
    EXPECT_EQ(o.Item(1).FileName, u"b.txt");
    EXPECT_EQ(o.Item(1).LocalHeaderOffset, built.localOffsets[2]);
    EXPECT_EQ(o.Item(2).FileName, u"c.txt");
    EXPECT_EQ(m.CurrentDir().FindItem(u"c.txt"), 2);
    EXPECT_EQ(m.NamelessEntries(), (std::vector<int64_t>{int64_t(built.localOffsets[1]),
                                                         int64_t(built.localOffsets[3])}));
  }
}

// Whether the directory came from the local headers is what lets a later
// update know it must write one (the file has none) and check the entries.
TEST(DirRead, ARebuiltDirectoryIsRememberedUntilOneIsWritten) {
  Opened intact(ThreeEntries().Build().bytes);
  intact.Read();
  EXPECT_FALSE(intact.manager->DirectoryRebuilt());

  ZipBuilder trailing = ThreeEntries();
  trailing.afterComment = "xyz";
  Opened damaged(trailing.Build().bytes);
  TKMDirManager& m = damaged.Read();
  ASSERT_TRUE(damaged.Scanned());
  EXPECT_TRUE(m.DirectoryRebuilt());
  ASSERT_EQ(m.CurrentDir().Count(), 3);

  // The rebuilt directory written at the end: the archive has one again.
  m.WriteCentralDir(&damaged.stream);
  EXPECT_FALSE(m.DirectoryRebuilt());
  m.ReadCentralDir();
  EXPECT_FALSE(m.DirectoryRebuilt());
  EXPECT_FALSE(damaged.Scanned());
  EXPECT_EQ(m.CurrentDir().Count(), 3);
  EXPECT_EQ(damaged.Item(2).FileName, u"d/z.bin");

  // Reading again forgets an earlier rebuild.
  Opened again(trailing.Build().bytes);
  again.Read();
  ASSERT_TRUE(again.manager->DirectoryRebuilt());
  again.stream.SetSize(again.stream.Size() - 3);
  again.Read();
  EXPECT_FALSE(again.manager->DirectoryRebuilt());
}

// Our unicode name field (0x554E) holding wide.
std::string UnicodeNameField(const std::u16string& wide) {
  std::string data = Le32(0x5843554E) + Le32(uint32_t(wide.size()));
  for (char16_t c : wide) data += Le16(uint16_t(c));
  return ExtraField(0x554E, data);
}

// What only the local extra field knows: our unicode name (a name the 8-bit
// code page cannot hold) and a Zip64 entry's sizes. Without them a rebuilt
// directory would rename the entry to question marks, or pass it over.
TEST(DirRead, ScanTakesUnicodeNamesAndZip64SizesFromTheLocalExtraField) {
  const std::u16string wide = u"\u65E5\u672C.txt";
  ZipEntry named;
  named.name = "??.txt";
  named.data = "nihon";
  named.localExtra = UnicodeNameField(wide);
  named.centralExtra = named.localExtra;

  const std::string data(300, 'z');
  ZipEntry big;  // the local header's sizes become sentinels below
  big.name = "big.bin";
  big.data = data;
  big.localExtra = ExtraField(1, Le64(data.size()) + Le64(data.size()));
  ZipEntry cutField = big;  // a Zip64 field without the compressed slot
  cutField.name = "cut.bin";
  cutField.localExtra = ExtraField(1, Le64(data.size()));

  ZipBuilder z;
  z.Add(named).Add(big).Add(cutField);
  const BuiltZip built = z.Build();
  std::string bytes = built.bytes.substr(0, built.centralDirOffset);
  for (size_t k : {size_t(1), size_t(2)}) {
    const size_t at = built.localOffsets[k];
    bytes.replace(at + 18, 8, std::string(8, '\xFF'));  // both sizes
  }

  Opened o(bytes);
  TKMDirManager& m = o.Read();
  ASSERT_TRUE(m.DirectoryRebuilt());
  // The entry whose compressed size is nowhere to be had is passed over.
  ASSERT_EQ(m.CurrentDir().Count(), 2);
  EXPECT_EQ(o.Item(0).FileName, wide);
  EXPECT_EQ(m.CurrentDir().FindItem(wide), 0);
  ASSERT_EQ(o.Item(0).ExtraFields.size(), 1u);
  EXPECT_EQ(o.Item(0).ExtraFields[0].Tag, 0x554E);

  const TDirItem& item = o.Item(1);
  EXPECT_EQ(item.FileName, u"big.bin");
  EXPECT_EQ(item.UncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(item.CompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(item.Zip64UncompressedSize, int64_t(data.size()));
  EXPECT_EQ(item.Zip64CompressedSize, int64_t(data.size()));
  EXPECT_TRUE(item.Zip64Used);
  EXPECT_EQ(item.LocalHeaderOffset, built.localOffsets[1]);

  // Written out and read back through the central directory, both stay.
  m.WriteCentralDir(&o.stream);
  m.ReadCentralDir();
  ASSERT_EQ(m.CurrentDir().Count(), 2);
  EXPECT_EQ(o.Item(0).FileName, wide);
  EXPECT_EQ(o.Item(1).Zip64CompressedSize, int64_t(data.size()));
  EXPECT_EQ(o.Item(1).LocalHeaderOffset, built.localOffsets[1]);
}

TEST(DirRead, DuplicateNamesAreKeptAndTheLastIsFound) {
  ZipBuilder z;
  z.Add("same.txt", "old");
  z.Add("other.txt", "x");
  z.Add("same.txt", "new");
  Opened o(z.Build().bytes);
  TKMDirManager& m = o.Read();
  ASSERT_EQ(m.CurrentDir().Count(), 3);
  EXPECT_FALSE(o.Scanned());
  EXPECT_EQ(m.CurrentDir().FindItem(u"same.txt"), 2);
}

TEST(DirRead, AbsurdEntryCountsGoToTheScanWithoutAllocating) {
  // A count that could never fit before the end record is damage; reading
  // it as a reason to allocate would ask for gigabytes.
  for (uint64_t claimed :
       {uint64_t(0x7FFFFFFF), uint64_t(0xFFFFFFFF), uint64_t(1) << 60, ~uint64_t(0)}) {
    ZipBuilder z = ThreeEntries();
    z.zip64 = true;
    z.zip64TotalEntries = claimed;
    Opened o(z.Build().bytes);
    TKMDirManager& m = o.Read();
    EXPECT_TRUE(o.Scanned()) << claimed;
    EXPECT_EQ(m.CurrentDir().Count(), 3) << claimed;
  }
  ZipBuilder z = ThreeEntries();
  z.totalEntries = 0xFFFE;
  Opened o(z.Build().bytes);
  o.Read();
  EXPECT_TRUE(o.Scanned());

  // Without tolerance the damage is reported, not scanned over.
  Opened strict(z.Build().bytes, false);
  EXPECT_THROW(strict.Read(), EReadError);
}

TEST(DirRead, LengthsAreCheckedAgainstWhatRemains) {
  // An extra field claiming 100 bytes where 10 remain keeps the 10.
  ZipEntry e;
  e.name = "x.txt";
  e.data = "data";
  e.centralExtra = Le16(0xCAFE) + Le16(100) + std::string(10, 'q');
  ZipBuilder z;
  z.Add(e);
  Opened o(z.Build().bytes);
  o.Read();
  ASSERT_EQ(o.manager->CurrentDir().Count(), 1);
  ASSERT_EQ(o.Item(0).ExtraFields.size(), 1u);
  EXPECT_EQ(o.Item(0).ExtraFields[0].Tag, 0xCAFE);
  EXPECT_EQ(o.Item(0).ExtraFields[0].Size, 10);
  EXPECT_EQ(o.Item(0).ExtraFields[0].Data.size(), 10u);

  // Name, extra and comment lengths that run past the stream.
  const BuiltZip built = ThreeEntries().Build();
  const size_t lastHeader = built.bytes.size() - 22 - (46 + 7 + 12);
  ASSERT_EQ(built.bytes.substr(lastHeader, 4), "PK\x01\x02");
  for (size_t field : {28u, 30u, 32u}) {
    std::string bytes = built.bytes;
    bytes[lastHeader + field] = '\xF0';
    bytes[lastHeader + field + 1] = '\xFF';
    Opened bad(bytes);
    TKMDirManager& m = bad.Read();
    EXPECT_TRUE(bad.Scanned()) << field;
    EXPECT_EQ(m.CurrentDir().Count(), 3) << field;
  }

  // A directory size larger than everything before the end record.
  std::string bytes = built.bytes;
  const size_t end = bytes.size() - 22;
  bytes[end + 12] = '\xFF';
  bytes[end + 13] = '\xFF';
  bytes[end + 14] = '\xFF';
  bytes[end + 15] = '\x7F';
  Opened big(bytes);
  big.Read();
  EXPECT_TRUE(big.Scanned());
}

TEST(DirRead, NamesHonourTheUtf8FlagAndOurUnicodeField) {
  ZipEntry utf8;
  utf8.name = "\xD0\x9F\xD1\x80\xD0\xB8.txt";  // "При.txt" in UTF-8
  utf8.flags = 0x0800;
  ZipEntry oem;
  oem.name = "\x8F\xE0\xA8.txt";  // the same in code page 866
  ZipEntry unicode;
  unicode.name = "plain.txt";
  const std::u16string wide = u"\u00FCn\u00EF.txt";
  unicode.centralExtra = UnicodeNameField(wide);
  ZipBuilder z;
  z.Add(utf8).Add(oem).Add(unicode);
  Opened o(z.Build().bytes);
  o.Read();
  ASSERT_EQ(o.manager->CurrentDir().Count(), 3);
  EXPECT_EQ(o.Item(0).FileName, u"\u041F\u0440\u0438.txt");
  EXPECT_EQ(o.Item(1).FileName, u"\u041F\u0440\u0438.txt");
  EXPECT_EQ(o.Item(2).FileName, wide);
  EXPECT_EQ(o.manager->CurrentDir().FindItem(wide), 2);
}

// A directory read for one walk keeps none of its entries, and the walk
// hands over exactly what a kept read holds: names of every kind, offsets
// moved by a stub, 64-bit fields, comments, entries without a name passed
// over. One rebuilt from the local headers is kept and walked all the same.
TEST(DirRead, AWalkSeesWhatAKeptReadHolds) {
  ZipEntry unicode;
  unicode.name = "plain.txt";
  const std::u16string wide = u"\u00FCn\u00EF.txt";
  unicode.centralExtra = UnicodeNameField(wide);
  ZipEntry utf8;
  utf8.name = "\xD0\x9F\xD1\x80\xD0\xB8.txt";
  utf8.flags = 0x0800;
  ZipEntry commented;
  commented.name = "noted.txt";
  commented.comment = "a comment";

  std::vector<std::string> archives;
  for (bool fromZipStart : {false, true}) {
    ZipBuilder z = ThreeEntries();
    z.Add(unicode).Add("", "nameless").Add(utf8).Add(commented);
    z.prefix = std::string(300, 'S');
    z.offsetsFromZipStart = fromZipStart;
    z.zip64 = fromZipStart;
    archives.push_back(z.Build().bytes);
  }
  const BuiltZip plain = ThreeEntries().Build();
  std::string noDirectory = plain.bytes;
  std::memset(&noDirectory[plain.centralDirOffset], 0, noDirectory.size() - plain.centralDirOffset);
  archives.push_back(noDirectory);
  archives.push_back(ZipBuilder().Build().bytes);

  auto fields = [](const TDirItem& e) {
    std::string extra;
    for (const TExtraField& f : e.ExtraFields)
      extra += std::to_string(f.Tag) + ":" + std::string(f.Data.begin(), f.Data.end()) + ";";
    return std::to_string(OffsetOf(e)) + " " + std::to_string(e.CompressedSize) + " " +
           std::to_string(e.Zip64CompressedSize) + " " + std::to_string(e.Crc32) + " " +
           std::to_string(e.ExternalAttr) + " " + e.Comment + " " + extra;
  };
  for (size_t k = 0; k < archives.size(); ++k) {
    Opened kept(archives[k]);
    kept.Read();
    Opened walked(archives[k]);
    walked.manager->SetKeepEntries(false);
    walked.Read();
    const bool rebuilt = kept.manager->DirectoryRebuilt();
    EXPECT_EQ(walked.manager->DirectoryRebuilt(), rebuilt) << k;
    EXPECT_EQ(walked.manager->StubSize(), kept.manager->StubSize()) << k;
    EXPECT_EQ(walked.manager->NamelessEntries(), kept.manager->NamelessEntries()) << k;
    EXPECT_EQ(walked.manager->CentralDirOffset(), kept.manager->CentralDirOffset()) << k;
    // Only a rebuilt directory is held.
    EXPECT_EQ(walked.manager->CurrentDir().Count(),
              rebuilt ? kept.manager->CurrentDir().Count() : 0)
        << k;
    std::vector<std::pair<std::u16string, std::string>> seen;
    walked.manager->ForEachEntry(
        [&](const TDirItem& e) { seen.emplace_back(e.FileName, fields(e)); });
    ASSERT_EQ(seen.size(), size_t(kept.manager->CurrentDir().Count())) << k;
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].first, kept.Item(int32_t(i)).FileName) << k << " " << i;
      EXPECT_EQ(seen[i].second, fields(kept.Item(int32_t(i)))) << k << " " << i;
    }
    // A second walk reads the same again.
    size_t again = 0;
    walked.manager->ForEachEntry([&](const TDirItem&) { ++again; });
    EXPECT_EQ(again, seen.size()) << k;
  }
}

TEST(DirRead, Zip64EndRecordMustBeWhereTheLocatorSays) {
  ZipBuilder z = ThreeEntries();
  z.zip64 = true;
  const BuiltZip built = z.Build();
  Opened good(built.bytes);
  EXPECT_EQ(good.Read().CurrentDir().Count(), 3);

  // Neither at the locator's offset nor right before the locator.
  std::string bytes = built.bytes;
  const size_t zip64At = bytes.size() - 22 - 20 - 56;
  bytes[zip64At] = 'X';
  Opened bad(bytes);
  try {
    bad.Read();
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 40);
  }
}

// The archiver as the directory sees it: a named component over one stream,
// possibly one volume of several.
class NamedContext final : public IKMArchiveContext {
 public:
  explicit NamedContext(TStream* stream) : stream_(stream) { volumeInfo_.SetFirst(true); }

  const std::u16string& Name() const override { return name_; }
  bool StandardZip() const override { return true; }
  bool OEMFileNames() const override { return true; }
  bool TolerateDamage() const override { return tolerateDamage; }
  TKMSpanningMode SpanningMode() const override { return spanningMode; }
  const std::u16string& FileName() const override { return fileName_; }
  const std::u16string& CurrentVolumeName() const override { return fileName_; }
  const std::u16string& SFXStub() const override { return fileName_; }
  const TKMSpanningOptions& SpanningOptions() const override { return spanningOptions_; }
  TKMVolumeNumberInfo& VolumeInfo() override { return volumeInfo_; }
  TStream* ArchiveStream() const override { return stream_; }
  void OpenVolume(const TKMVolumeNumberInfo&) override {}
  void WriteToVolumesChecked(const void*, int32_t, TStream*, int32_t, TKMVolumeNumberInfo&,
                             TStream*&) override {}
  TStream* MoveLastVolumeToArchiveName() override { return stream_; }

  bool tolerateDamage = true;
  TKMSpanningMode spanningMode = smNone;

 private:
  TStream* stream_;
  std::u16string name_ = u"Archiver";
  std::u16string fileName_;
  TKMSpanningOptions spanningOptions_;
  TKMVolumeNumberInfo volumeInfo_;
};

// A damaged archive is a fault of the file, not of the component reading it:
// its messages carry no component name.
TEST(DirRead, DamageIsReportedWithoutTheComponentName) {
  struct Case {
    const char* what;
    std::string bytes;
    bool tolerateDamage;
    TKMSpanningMode spanningMode;
    int32_t native;
    std::u16string message;
  };
  std::vector<Case> cases;
  cases.push_back({"nothing to recover", std::string(5000, 'j'), true, smNone, 35,
                   u"Invalid archive file. - Native error: 00035"});

  ZipBuilder zip64 = ThreeEntries();
  zip64.zip64 = true;
  std::string noZip64End = zip64.Build().bytes;
  noZip64End[noZip64End.size() - 22 - 20 - 56] = 'X';
  cases.push_back({"no Zip64 end record", noZip64End, true, smNone, 40,
                   u"Cannot find Zip64 directory end record - Native error: 00040"});

  cases.push_back({"a volume without a directory", std::string(5000, 'j'), true, smSpanning, 44,
                   u"Cannot open archive file. Opening aborted or invalid file - Native error: "
                   u"00044"});

  // The first entry claims more compressed data than the whole file holds.
  const BuiltZip built = ThreeEntries().Build();
  std::string oversized = built.bytes;
  std::memcpy(&oversized[built.centralDirOffset + 20], "\xFF\xFF\xFF\x7F", 4);
  cases.push_back({"sizes beyond the file", oversized, false, smNone, 57,
                   u"Archive is damaged. Open failed - Native error: 00057"});

  for (const Case& c : cases) {
    TMemoryStream stream;
    stream.WriteBuffer(c.bytes.data(), int64_t(c.bytes.size()));
    stream.SetPosition(0);
    NamedContext context(&stream);
    context.tolerateDamage = c.tolerateDamage;
    context.spanningMode = c.spanningMode;
    TKMDirManager manager(&stream, context, false);
    try {
      manager.ReadCentralDir();
      ADD_FAILURE() << c.what;
    } catch (const EKMException& e) {
      EXPECT_EQ(e.NativeError(), c.native) << c.what;
      EXPECT_EQ(e.Message(), c.message) << c.what;
    }
  }
}

TEST(DirRead, SearchesAreBoundedAndKeepThePosition) {
  std::string blob(200000, '\0');
  // One signature across the first chunk boundary, one far away, and one
  // too close to the end to hold a header.
  std::memcpy(&blob[4094], "PK\x03\x04", 4);
  std::memcpy(&blob[150001], "PK\x03\x04", 4);
  std::memcpy(&blob[blob.size() - 20], "PK\x03\x04", 4);
  std::memcpy(&blob[120000], "PK\x07\x08", 4);
  Opened o(blob);
  o.stream.SetPosition(777);
  TKMDirManager& m = *o.manager;
  EXPECT_EQ(m.FindNextLocalHeader(0), 4094);
  EXPECT_EQ(m.FindNextLocalHeader(4095), 150001);
  EXPECT_EQ(m.FindNextLocalHeader(150002), -1);
  EXPECT_EQ(m.FindNextLocalHeader(-5), 4094);
  EXPECT_EQ(m.FindNextLocalHeader(int64_t(1) << 40), -1);
  int64_t found = 0;
  EXPECT_TRUE(m.FindSignatureForward(5000, 0x04034B50, found));
  EXPECT_EQ(found, 150001);
  EXPECT_EQ(o.stream.Position(), 777);
  EXPECT_TRUE(m.MatchesFirstEntry(0) == false);  // no header at 0
  EXPECT_EQ(o.stream.Position(), 777);
  TDataDescriptor d;
  EXPECT_TRUE(m.FindDataDescriptor(0, d));
  EXPECT_EQ(o.stream.Position(), 120016);  // left after the descriptor
}

}  // namespace
}  // namespace km
