// The commit of an update transaction on real files: entries added, replaced
// and deleted, old entries copied byte for byte, and the archive left exactly
// as it was after any cancel or failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/FaultyStream.h"
#include "archiver/Journal.h"
#include "archiver/PeerArchives.h"
#include "common/InputArchives.h"
#include "platform/CodePage.h"

namespace km {
namespace {

using test::ReadHostFile;
using test::WriteHostFile;

// The archiver with its rebuild writes and copies open to failure injection.
class TestArchiver : public TKavoMill {
 public:
  test::WriteFault fault;
  // The counted operation that first went into the archive itself, after
  // the cut; 0 while none did.
  int64_t firstArchiveWrite = 0;

 protected:
  int64_t WriteArchiveBytes(TStream& target, const void* buffer, int64_t count) override {
    Note(target);
    return fault.Write(target, buffer, count);
  }
  int64_t CopyArchiveBytes(TStream& from, TStream& to, int64_t count) override {
    Note(to);
    return fault.Copy([&] { return TKavoMill::CopyArchiveBytes(from, to, count); });
  }

 private:
  void Note(const TStream& target) {
    if (&target == ArchiveStream() && firstArchiveWrite == 0)
      firstArchiveWrite = fault.Writes() + 1;
  }
};

class Rebuild : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.Host(u"tmp"));
    std::filesystem::create_directory(dir.Host(u"src"));
  }

  std::u16string ArchiveName() const { return dir.Win(u"test.zip"); }
  std::filesystem::path ArchivePath() const { return dir.Host(u"test.zip"); }

  void Configure(TestArchiver& a) {
    a.SetFileName(ArchiveName());
    a.SetTempDir(dir.Win(u"tmp"));
    a.SetCompressionMode(5);
    a.UpdateCompressionMethod();
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                                    int32_t native, int32_t, const std::u16string&,
                                    TKMAction& action) {
      failures.push_back(native);
      action = failureAnswer;
    };
    a.OnDiskFull = [](TKMBaseArchiver&, int32_t, const std::u16string&, bool& cancel) {
      cancel = true;
    };
  }

  // A source file under src with these bytes; returns its Windows-view name.
  std::u16string Source(const std::u16string& name, const std::string& bytes) {
    WriteHostFile(dir.Host(u"src/" + name), bytes);
    return dir.Win(u"src/" + name);
  }

  // Appends a new entry for a source file, as adding a file does.
  void Add(TestArchiver& a, const std::u16string& name, const std::string& bytes,
           bool stored = false) {
    TDirItem item;
    item.Signature = 0x02014B50;
    item.SourceFileName = Source(name, bytes);
    item.Modified = true;
    item.Operation = poAdd;
    item.Method = stored ? 0 : a.CompressionMethod();
    item.CompressionMode = stored ? 0 : a.CompressionMode();
    item.ExternalAttr = 0x20;
    item.ModDate = 0x5A21;
    item.ModTime = 0x6000;
    item.UncompressedSize = uint32_t(bytes.size());
    item.FileName = u"tmpname";
    TKMDirArray& current = a.DirManager()->CurrentDir();
    const int32_t index = current.Add(item);
    current.RenameItem(index, name);
    expected[name] = bytes;
  }

  void AddFolder(TestArchiver& a, const std::u16string& name) {
    TDirItem item;
    item.Signature = 0x02014B50;
    item.SourceFileName = dir.Win(u"src");
    item.Modified = true;
    item.Operation = poAdd;
    item.ExternalAttr = 0x10;
    item.ModDate = 0x5A21;
    item.FileName = name;
    a.DirManager()->CurrentDir().Add(item);
    expected[name] = "";
  }

  void Replace(TestArchiver& a, const std::u16string& name, const std::string& bytes) {
    TKMDirArray& current = a.DirManager()->CurrentDir();
    TDirItem* item = current.ItemPtr(current.FindItem(name));
    item->Modified = true;
    item->Operation = poUpdate;
    item->SourceFileName = Source(u"new-" + name, bytes);
    item->Method = a.CompressionMethod();
    item->CompressionMode = a.CompressionMode();
    item->UncompressedSize = uint32_t(bytes.size());
    expected[name] = bytes;
  }

  void Remove(TestArchiver& a, const std::u16string& name) {
    a.DeleteEntry(a.DirManager()->CurrentDir().FindItem(name));
    expected.erase(name);
  }

  // Builds the archive with the given entries in one transaction.
  void Create(const std::vector<std::pair<std::u16string, std::string>>& entries) {
    TestArchiver a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    for (const auto& [name, bytes] : entries) Add(a, name, bytes);
    a.EndUpdate();
    a.CloseArchive();
  }

  // What our own reader gets out of the archive, after testing every entry.
  std::map<std::u16string, std::string> Contents() {
    std::map<std::u16string, std::string> out;
    TestArchiver a;
    Configure(a);
    a.OpenArchive();
    const TKMDirArray& current = a.DirManager()->CurrentDir();
    for (int32_t i = 0; i < current.Count(); ++i) {
      TMemoryStream data;
      a.ExtractToStream(i, data);
      out[current.GetItem(i).FileName] =
          std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size()));
    }
    failures.clear();
    a.TestFiles(u"*.*", 0x3F, u"");
    EXPECT_TRUE(failures.empty());
    a.CloseArchive();
    return out;
  }

  // Peers agree that the archive is sound.
  void ExpectPeersAccept() {
    if (test::HasTool("python3")) {
      EXPECT_EQ(
          test::RunShell("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                         "sys.exit(z.testzip() is not None)\" " +
                         test::Quoted(ArchivePath())),
          0);
    }
    if (test::HasTool("unzip")) {
      EXPECT_EQ(test::RunShell("unzip -tq " + test::Quoted(ArchivePath()) + " >/dev/null 2>&1"), 0);
    }
  }

  int TempFilesLeft() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Host(u"tmp"))) {
      (void)entry;
      ++count;
    }
    return count;
  }

  test::TempDir dir;
  std::map<std::u16string, std::string> expected;
  std::vector<int32_t> failures;
  TKMAction failureAnswer = fxaIgnore;
};

TEST_F(Rebuild, NewArchiveGetsEveryKindOfEntryAndPeersReadIt) {
  TestArchiver a;
  Configure(a);
  a.OpenArchive();
  a.BeginUpdate();
  Add(a, u"big.txt", test::Compressible(3 << 20, 1));  // several read blocks
  Add(a, u"empty.txt", "");
  Add(a, u"stored.bin", test::Compressible(5000, 2), true);
  Add(a, u"\u0444\u0430\u0439\u043B.txt", "cyrillic name");
  AddFolder(a, u"sub/");
  int overallEnds = 0;
  a.OnOverallProgress = [&](TKMBaseArchiver&, double progress, TKMProcessOperation,
                            TKMProgressPhase phase, bool&) {
    if (phase == ppEnd) {
      ++overallEnds;
      EXPECT_EQ(progress, 100.0);
    }
  };
  a.EndUpdate();
  EXPECT_EQ(overallEnds, 1);
  EXPECT_EQ(a.ProcessedCount(), 5);
  EXPECT_EQ(a.UpdateDepth(), 0);
  // The unicode-name field reaches the central directory too.
  const TDirItem& named = a.DirManager()->CurrentDir().GetItem(3);
  ASSERT_EQ(named.ExtraFields.size(), 1u);
  EXPECT_EQ(named.ExtraFields[0].Tag, kUnicodeNameTag);
  a.CloseArchive();

  EXPECT_EQ(Contents(), expected);
  EXPECT_EQ(TempFilesLeft(), 0);
  ExpectPeersAccept();
}

TEST_F(Rebuild, ReplaceDeleteAndAddKeepThePrefixAndCopyTheRest) {
  Create({{u"a.txt", test::Compressible(10000, 3)},
          {u"b.txt", test::Compressible(20000, 4)},
          {u"c.txt", test::Compressible(30000, 5)},
          {u"d.txt", test::Compressible(40000, 6)}});
  const std::string before = ReadHostFile(ArchivePath());

  TestArchiver a;
  Configure(a);
  a.OpenArchive();
  const int64_t bOffset = a.DirManager()->CurrentDir().GetItem(1).LocalHeaderOffset;
  a.BeginUpdate();
  Replace(a, u"b.txt", "replaced");
  Remove(a, u"c.txt");
  Add(a, u"e.txt", test::Compressible(7000, 7));
  a.EndUpdate();
  a.CloseArchive();

  const std::string after = ReadHostFile(ArchivePath());
  // Nothing ahead of the first change was rewritten.
  EXPECT_EQ(after.substr(0, size_t(bOffset)), before.substr(0, size_t(bOffset)));
  EXPECT_EQ(Contents(), expected);
  EXPECT_EQ(TempFilesLeft(), 0);
  ExpectPeersAccept();
}

TEST_F(Rebuild, DeletingTheFirstOrTheLastEntry) {
  Create({{u"a.txt", test::Compressible(1000, 1)},
          {u"b.txt", test::Compressible(2000, 2)},
          {u"c.txt", "c"}});
  {
    TestArchiver a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    Remove(a, u"c.txt");
    a.EndUpdate();
    a.CloseArchive();
  }
  EXPECT_EQ(Contents(), expected);
  {
    TestArchiver a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    Remove(a, u"a.txt");
    a.EndUpdate();
    a.CloseArchive();
  }
  EXPECT_EQ(Contents(), expected);
  ExpectPeersAccept();
}

TEST_F(Rebuild, AppendingCutsAtTheRealDirectoryAndSavesNoTemporaryFile) {
  Create({{u"a.txt", test::Compressible(5000, 1)}, {u"b.txt", test::Compressible(6000, 2)}});
  // A stub ahead of the ZIP data: the end record's directory offset counts
  // from the start of the ZIP data, not of the file.
  const std::string zip = ReadHostFile(ArchivePath());
  const std::string stub(777, 'S');
  WriteHostFile(ArchivePath(), stub + zip);

  TestArchiver a;
  Configure(a);
  a.OpenArchive();
  const int64_t dirOffset = a.DirManager()->CentralDirOffset();
  ASSERT_NE(int64_t(a.DirManager()->EndRecord().DirOffset), dirOffset);
  a.BeginUpdate();
  Add(a, u"c.txt", test::Compressible(7000, 3));
  int tempFilesDuringCommit = -1;
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                         TKMProgressPhase, bool&) { tempFilesDuringCommit = TempFilesLeft(); };
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(tempFilesDuringCommit, 0);
  EXPECT_EQ(ReadHostFile(ArchivePath()).substr(0, size_t(dirOffset)),
            (stub + zip).substr(0, size_t(dirOffset)));
  EXPECT_EQ(Contents(), expected);
  ExpectPeersAccept();
}

TEST_F(Rebuild, OldEntriesWithDataDescriptorsKeepThem) {
  // python's, written where it could not seek back: each entry ends in a
  // data descriptor (flag bit 3).
  test::CopyInputArchive("descriptors.zip", ArchivePath());
  for (int i = 0; i < 3; ++i) {
    std::string text;
    for (int k = 0; k < 500; ++k) text += "entry " + std::to_string(i) + " ";
    expected[u"f" + platform::AnsiToWide(std::to_string(i)) + u".txt"] = text;
  }

  TestArchiver a;
  Configure(a);
  a.OpenArchive();
  ASSERT_TRUE(a.DirManager()->CurrentDir().GetItem(1).Flags & kFlagDataDescriptor);
  a.BeginUpdate();
  Remove(a, u"f0.txt");
  Add(a, u"new.txt", "new");
  a.EndUpdate();
  a.CloseArchive();

  EXPECT_EQ(Contents(), expected);
  ExpectPeersAccept();
  // Each copied entry still ends in its 16-byte descriptor.
  const std::string after = ReadHostFile(ArchivePath());
  size_t descriptors = 0;
  for (size_t p = after.find("PK\x07\x08"); p != std::string::npos;
       p = after.find("PK\x07\x08", p + 1))
    ++descriptors;
  EXPECT_EQ(descriptors, 2u);
}

TEST_F(Rebuild, FailedSourcesFollowTheAnswerOfTheFailureEvent) {
  Create({{u"a.txt", "old a"}, {u"b.txt", "old b"}});
  const std::string before = ReadHostFile(ArchivePath());
  auto transaction = [&](TestArchiver& a) {
    a.OpenArchive();
    a.BeginUpdate();
    Replace(a, u"a.txt", "new a");
    Add(a, u"c.txt", "new c");
    Add(a, u"d.txt", "new d");
    // The replacement and one new file cannot be opened.
    std::filesystem::remove(dir.Host(u"src/new-a.txt"));
    std::filesystem::remove(dir.Host(u"src/c.txt"));
  };

  {  // Ignore: the new entry is dropped, the replaced one keeps its old data.
    TestArchiver a;
    Configure(a);
    transaction(a);
    failureAnswer = fxaIgnore;
    a.EndUpdate();
    a.CloseArchive();
    EXPECT_EQ(failures, (std::vector<int32_t>{33, 33}));
    EXPECT_EQ(Contents(), (std::map<std::u16string, std::string>{
                              {u"a.txt", "old a"}, {u"b.txt", "old b"}, {u"d.txt", "new d"}}));
    ExpectPeersAccept();
  }
  WriteHostFile(ArchivePath(), before);
  {  // Retry three times, then ignore: four attempts at each.
    TestArchiver a;
    Configure(a);
    transaction(a);
    int retries = 0;
    a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                                 int32_t, int32_t, const std::u16string&, TKMAction& action) {
      action = (++retries % 4 == 0) ? fxaIgnore : fxaRetry;
    };
    a.EndUpdate();
    a.CloseArchive();
    EXPECT_EQ(retries, 8);
  }
  WriteHostFile(ArchivePath(), before);
  {  // Abort: nothing changes.
    TestArchiver a;
    Configure(a);
    transaction(a);
    failureAnswer = fxaAbort;
    a.EndUpdate();
    EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 2);
    a.CloseArchive();
    EXPECT_EQ(ReadHostFile(ArchivePath()), before);
  }
  EXPECT_EQ(TempFilesLeft(), 0);
}

// A source cut short after its first block (1 MiB at mode 5) while the commit
// reads it fails that entry alone, named, whatever deflate already took in.
TEST_F(Rebuild, ASourceCutShortWhileReadFailsItsEntryAlone) {
  const std::string oldBig = test::Incompressible(5000, 1);
  Create({{u"big.bin", oldBig}, {u"keep.txt", "keep"}});
  const std::string before = ReadHostFile(ArchivePath());
  const std::string bigger = test::Incompressible(3 << 20, 2);
  const std::string shorter = "shorter now";
  struct Failure {
    std::u16string name;
    int32_t native;
    std::u16string message;
  };
  std::vector<Failure> seen;
  // Adds other.txt and either replaces big.bin or adds fresh.bin with three
  // blocks of data; that source is rewritten short once its first block is in.
  auto run = [&](bool replace, TKMAction answer) {
    seen.clear();
    TestArchiver a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    if (replace)
      Replace(a, u"big.bin", bigger);
    else
      Add(a, u"fresh.bin", bigger);
    Add(a, u"other.txt", "other");
    const std::u16string source = replace ? u"src/new-big.bin" : u"src/fresh.bin";
    const std::u16string victim = dir.Win(source);
    bool cut = false;
    a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string& name, double progress,
                           TKMProcessOperation, TKMProgressPhase phase, bool&) {
      if (name != victim || phase != ppProcess || progress <= 0 || cut) return;
      cut = true;
      WriteHostFile(dir.Host(source), shorter);
    };
    a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string& name, TKMProcessOperation,
                                 int32_t native, int32_t, const std::u16string& message,
                                 TKMAction& action) {
      seen.push_back({name, native, message});
      action = answer;
    };
    a.EndUpdate();
    a.CloseArchive();
    EXPECT_TRUE(cut);
    ASSERT_EQ(seen.size(), 1u);
    // A replacement is named by its entry, a new file by itself; the
    // message names the file either way.
    EXPECT_EQ(seen[0].name, replace ? u"big.bin" : victim);
    EXPECT_EQ(seen[0].native, 34);
    const std::u16string said = u"File \"" + victim + u"\" changed while being read: " +
                                platform::Utf8ToWide(std::to_string(bigger.size())) +
                                u" bytes expected, 1048576 read";
    EXPECT_NE(seen[0].message.find(said), std::u16string::npos)
        << platform::WideToUtf8(seen[0].message);
  };
  using Entries = std::map<std::u16string, std::string>;

  {
    SCOPED_TRACE("ignored: the replaced entry keeps its old data");
    run(true, fxaIgnore);
    EXPECT_EQ(Contents(),
              (Entries{{u"big.bin", oldBig}, {u"keep.txt", "keep"}, {u"other.txt", "other"}}));
    ExpectPeersAccept();
  }
  WriteHostFile(ArchivePath(), before);
  {
    SCOPED_TRACE("ignored: a new file is not added");
    run(false, fxaIgnore);
    EXPECT_EQ(Contents(),
              (Entries{{u"big.bin", oldBig}, {u"keep.txt", "keep"}, {u"other.txt", "other"}}));
    ExpectPeersAccept();
  }
  WriteHostFile(ArchivePath(), before);
  {
    SCOPED_TRACE("retried: read again from the start, as it is now");
    run(true, fxaRetry);
    EXPECT_EQ(Contents(),
              (Entries{{u"big.bin", shorter}, {u"keep.txt", "keep"}, {u"other.txt", "other"}}));
    ExpectPeersAccept();
  }
  WriteHostFile(ArchivePath(), before);
  {
    SCOPED_TRACE("aborted: the archive as it was");
    run(false, fxaAbort);
    EXPECT_EQ(ReadHostFile(ArchivePath()), before);
  }
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(Rebuild, Zip64AlwaysWritesSentinelsThatPeersResolve) {
  TestArchiver a;
  Configure(a);
  a.SetZip64Mode(zmAlways);
  a.OpenArchive();
  a.BeginUpdate();
  Add(a, u"a.txt", test::Compressible(70000, 1));
  Add(a, u"b.txt", "");
  a.EndUpdate();
  const TDirItem& item = a.DirManager()->CurrentDir().GetItem(0);
  EXPECT_EQ(item.VersionNeeded, 45);
  EXPECT_EQ(item.CompressedSize, kSentinel32);
  EXPECT_EQ(item.LocalHeaderOffset, kSentinel32);
  a.CloseArchive();
  EXPECT_EQ(Contents(), expected);
  ExpectPeersAccept();
}

// The transaction of the reliability tests: an entry replaced, one deleted,
// one added, on an archive of five.
class RebuildReliability : public Rebuild {
 protected:
  void SetUp() override {
    Rebuild::SetUp();
    Create({{u"a.txt", test::Compressible(3000, 1)},
            {u"b.txt", test::Compressible(400000, 2)},
            {u"c.txt", test::Compressible(5000, 3)},
            {u"d.txt", test::Compressible(6000, 4)},
            {u"e.txt", test::Compressible(7000, 5)}});
    original = ReadHostFile(ArchivePath());
    originalEntries = Contents();
  }

  void Transaction(TestArchiver& a) {
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    Replace(a, u"b.txt", test::Compressible(1200000, 9));  // two read blocks
    Remove(a, u"d.txt");
    Add(a, u"f.txt", test::Compressible(9000, 8));
  }

  // The archive is exactly as it was and reads as before.
  void ExpectUntouched(TestArchiver& a, const std::string& what) {
    SCOPED_TRACE(what);
    const TKMDirArray& current = a.DirManager()->CurrentDir();
    EXPECT_EQ(current.Count(), 5);
    EXPECT_LT(current.FindItem(u"f.txt"), 0);
    EXPECT_FALSE(current.GetItem(1).Modified);
    a.CloseArchive();
    ASSERT_EQ(ReadHostFile(ArchivePath()), original);
    EXPECT_EQ(TempFilesLeft(), 0);
    EXPECT_FALSE(std::filesystem::exists(JournalPath()));
  }

  std::filesystem::path JournalPath() const { return dir.Host(u"test.zip-journal"); }

  std::string original;
  std::map<std::u16string, std::string> originalEntries;
};

// Every write and copy of the commit fails in turn: the saving of the tail,
// the rewrite, and (sticky, a disk that stays full) the putting back too.
TEST_F(RebuildReliability, AFailedWriteAnywhereLeavesTheArchiveAsItWas) {
  for (const bool sticky : {false, true}) {
    bool succeeded = false;
    int journalsKept = 0;
    for (int64_t n = 1; n < 1000 && !succeeded; ++n) {
      const std::string what = (sticky ? "from write " : "write ") + std::to_string(n);
      TestArchiver a;
      Transaction(a);
      a.fault.Arm(n, sticky);
      bool threw = false;
      std::u16string message;
      try {
        a.EndUpdate();
      } catch (const Exception& e) {
        threw = true;
        message = e.Message();
      }
      if (!a.fault.Fired()) {
        EXPECT_FALSE(threw);
        EXPECT_EQ(a.DeletedCount(), 1);
        succeeded = true;
        a.CloseArchive();
        break;
      }
      // A failed write is an error or a declined full disk, never a success,
      // and the counts say that nothing changed.
      EXPECT_TRUE(threw || a.Cancelled()) << what;
      EXPECT_EQ(a.DeletedCount(), 0) << what;
      if (sticky && a.firstArchiveWrite > 0) {
        // The archive was cut and could not be put back: it is closed, and
        // its old bytes wait in the journal for the next open.
        SCOPED_TRACE(what);
        ++journalsKept;
        EXPECT_TRUE(threw);
        EXPECT_NE(message.find(JournalFileName(ArchiveName())), std::u16string::npos)
            << platform::WideToUtf8(message);
        EXPECT_FALSE(a.ArchiveOpen());
        EXPECT_TRUE(std::filesystem::exists(JournalPath()));
        TKavoMill next;
        next.SetFileName(ArchiveName());
        next.OpenArchive();
        EXPECT_FALSE(next.RecoveryNote().empty());
        next.CloseArchive();
        EXPECT_FALSE(std::filesystem::exists(JournalPath()));
        ASSERT_EQ(ReadHostFile(ArchivePath()), original);
        EXPECT_EQ(TempFilesLeft(), 0);
      } else {
        ExpectUntouched(a, what);
      }
      EXPECT_EQ(Contents(), originalEntries);
    }
    ASSERT_TRUE(succeeded);
    if (sticky) {
      EXPECT_GT(journalsKept, 0);
    }
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(TempFilesLeft(), 0);
    WriteHostFile(ArchivePath(), original);
  }
}

TEST_F(RebuildReliability, CancelAtAnyProgressEventLeavesTheArchiveAsItWas) {
  // Count the events of a commit, then cancel at each in turn. The last
  // one comes after the new directory: the commit stands.
  int events = 0;
  for (int cancelAt = 1;; ++cancelAt) {
    TestArchiver a;
    Transaction(a);
    int seen = 0;
    bool last = false;
    auto maybeCancel = [&](TKMProgressPhase phase, bool& cancel, bool overall) {
      if (++seen == cancelAt) {
        cancel = true;
        last = overall && phase == ppEnd;
      }
    };
    a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                           TKMProgressPhase phase,
                           bool& cancel) { maybeCancel(phase, cancel, false); };
    a.OnOverallProgress = [&](TKMBaseArchiver&, double, TKMProcessOperation, TKMProgressPhase phase,
                              bool& cancel) { maybeCancel(phase, cancel, true); };
    a.EndUpdate();
    if (seen < cancelAt) {
      events = seen;
      a.CloseArchive();
      break;
    }
    if (last) {
      EXPECT_GE(a.DirManager()->CurrentDir().FindItem(u"f.txt"), 0);
      a.CloseArchive();
      EXPECT_EQ(Contents(), expected);
      ExpectPeersAccept();
      // Put the original back for the rounds that follow.
      WriteHostFile(ArchivePath(), original);
      continue;
    }
    ExpectUntouched(a, "event " + std::to_string(cancelAt));
  }
  EXPECT_GE(events, 8);
}

}  // namespace
}  // namespace km
