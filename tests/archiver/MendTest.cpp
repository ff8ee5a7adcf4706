// An archive that lost its central directory (a run killed while it appended
// a file) is mended by the next synchronising AddFiles: the directory that
// was rebuilt from the local headers is written, and every entry that was
// never finished or whose data is damaged is replaced from its file, or
// dropped. A file in which nothing of an archive can be found is never
// written over.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../zipformat/ZipBuilder.h"
#include "ArchiverTestUtil.h"
#include "PeerArchives.h"
#include "archiver/Archiver.h"
#include "support/ByteIO.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// A peer that is not installed is passed over, except under CI, which has
// every one of them (scripts/deps.sh).
bool HasPeer(const std::string& tool) {
  if (test::HasTool(tool)) return true;
  if (test::OnCi()) ADD_FAILURE() << tool << " is missing";
  return false;
}

// Encryption headers from a fixed seed: whether a wrong password passes an
// entry's check byte (1 in 256) is then the same in every run.
class FixedSeedMill : public TKavoMill {
 protected:
  uint32_t EncryptionSeed() override { return 20240601; }
};

// Where one entry lies in an archive file.
struct Placement {
  int64_t header = 0;      // its local header
  int64_t data = 0;        // its data
  int64_t compressed = 0;  // the length of its data
  int64_t directory = 0;   // where the central directory begins
};

class Mend : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Host(u"sub"));
    fs::create_directories(Host(u"empty"));
    Write(u"a.txt", "alpha\n");
    Write(u"sub/b.txt", std::string(70000, 'b'));
    Write(u"sub/noise.bin", test::Incompressible(30000, 1));
    archive = dir.Win(u"out.zip");
  }

  fs::path Host(const std::u16string& rel) const { return dir.Host(u"tree/" + rel); }
  void Write(const std::u16string& rel, const std::string& bytes) {
    test::WriteHostFile(Host(rel), bytes);
  }
  fs::path ArchiveHost() const { return dir.Host(u"out.zip"); }
  std::string Bytes() const { return test::ReadHostFile(ArchiveHost()); }
  void SetBytes(const std::string& bytes) const { test::WriteHostFile(ArchiveHost(), bytes); }

  void Configure(TKavoMill& a) {
    a.SetFileName(archive);
    a.SetBaseDir(dir.Win(u"tree") + u"\\");
    a.SetFileMasks({u"*.*"});
    a.SetExclusionMasks(exclusions);
    a.SetNoCompressionMasks({u"*.zip"});
    a.SetPassword(password);
    a.Options().SetOverwriteMode(omIfDiffer);
    a.Options().SetSynchronize(synchronize);
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                                    int32_t native, int32_t, const std::u16string&,
                                    TKMAction& action) {
      failures.push_back(native);
      action = fxaIgnore;
    };
    a.OnPassword = [this](TKMBaseArchiver&, const std::u16string&, std::string&, bool& skip) {
      ++passwordRequests;
      skip = true;
    };
  }

  // One run as the dialog makes it: the counters it reports.
  std::pair<int32_t, int32_t> Run() {
    FixedSeedMill a;
    Configure(a);
    test::AddRun(a);
    EXPECT_TRUE(failures.empty());
    return {a.AddedCount(), a.DeletedCount()};
  }

  bool Rebuilt() {
    TKavoMill a;
    Configure(a);
    a.OpenArchive(kOpenModeReadOnly);
    return a.DirectoryRebuilt();
  }

  Placement Locate(const std::u16string& name) {
    TKavoMill a;
    Configure(a);
    a.OpenArchive(kOpenModeReadOnly);
    const TKMDirArray& current = a.DirManager()->CurrentDir();
    const int32_t index = current.FindItem(name);
    EXPECT_GE(index, 0);
    Placement p;
    p.directory = a.DirManager()->CentralDirOffset();
    if (index < 0) return p;
    const TDirItem& item = current.GetItem(index);
    p.header = item.LocalHeaderOffset;
    p.compressed = item.CompressedSize;
    const std::string bytes = Bytes();
    p.data = p.header + 30 + ReadU16LE(reinterpret_cast<const uint8_t*>(&bytes[p.header + 26])) +
             ReadU16LE(reinterpret_cast<const uint8_t*>(&bytes[p.header + 28]));
    return p;
  }

  // The archive has a directory of its own again, our tester and every peer
  // at hand pass it, and it holds the tree, byte for byte, less `absent`.
  void ExpectMirrorsTree(const std::set<std::u16string>& absent = {}) {
    std::set<std::u16string> expected;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Host(u"tree"))) {
      std::u16string name =
          platform::Utf8ToWide(fs::relative(entry.path(), dir.Host(u"tree")).generic_string());
      if (entry.is_directory()) name += u'/';
      if (!absent.contains(name)) expected.insert(name);
    }
    TKavoMill a;
    Configure(a);
    a.OpenArchive(kOpenModeReadOnly);
    EXPECT_FALSE(a.DirectoryRebuilt());
    const TKMDirArray& current = a.DirManager()->CurrentDir();
    std::set<std::u16string> names;
    for (int32_t i = 0; i < current.Count(); ++i) {
      const std::u16string name = current.GetItem(i).FileName;
      EXPECT_TRUE(names.insert(name).second) << "twice: " << platform::WideToUtf8(name);
      if (name.ends_with(u'/')) continue;
      TMemoryStream data;
      a.ExtractToStream(i, data);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size())),
                test::ReadHostFile(Host(name)))
          << platform::WideToUtf8(name);
    }
    EXPECT_EQ(names, expected);
    a.CloseArchive();

    // The peers get the password (ours never holds a quote).
    const std::string file = test::Quoted(ArchiveHost());
    if (HasPeer("unzip")) {
      EXPECT_EQ(test::RunShell("unzip -tq -P '" + password + "' " + file + " >/dev/null"), 0);
    }
    if (HasPeer("7zz")) {
      EXPECT_EQ(test::RunShell("7zz t -bd '-p" + password + "' " + file + " >/dev/null"), 0);
    }
    if (HasPeer("python3")) {
      EXPECT_EQ(
          test::RunShell("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                         "z.setpassword(sys.argv[2].encode()); "
                         "sys.exit(z.testzip() is not None)\" " +
                         file + " '" + password + "'"),
          0);
    }
  }

  // After the mending run: the next one finds nothing to do and writes
  // nothing, not even the same bytes again.
  void ExpectSecondRunWritesNothing() {
    fs::last_write_time(ArchiveHost(), fs::last_write_time(ArchiveHost()) - std::chrono::hours(1));
    const std::string bytes = Bytes();
    const auto time = fs::last_write_time(ArchiveHost());
    EXPECT_EQ(Run(), std::make_pair(0, 0));
    EXPECT_EQ(Bytes(), bytes);
    EXPECT_EQ(fs::last_write_time(ArchiveHost()), time);
  }

  test::TempDir dir;
  std::u16string archive;
  std::vector<std::u16string> exclusions;
  std::string password;
  bool synchronize = true;
  std::vector<int32_t> failures;
  int passwordRequests = 0;
};

// The header our commit writes before an entry's data, and rewrites once the
// data is complete: CRC-32 all ones, compressed size 0, the true size.
void MakeProvisional(std::string& bytes, int64_t header) {
  std::memset(&bytes[size_t(header) + 14], 0xFF, 4);
  std::memset(&bytes[size_t(header) + 18], 0, 4);
}

// A run killed while it appended late.bin: the old directory was cut away,
// and the new entry is as far as the run got. The entries before it are good
// and stay where they are; the new one is written again from its file.
TEST_F(Mend, AnAppendCutShortIsFinishedByTheNextRun) {
  ASSERT_EQ(Run(), std::make_pair(5, 0));
  Write(u"late.bin", test::Incompressible(200000, 2));
  ASSERT_EQ(Run(), std::make_pair(1, 0));
  const std::string good = Bytes();
  const Placement late = Locate(u"late.bin");
  ASSERT_GT(late.compressed, 190000);  // noise: deflate stores it

  struct Damage {
    const char* what;
    bool provisional;
    int64_t cut;  // the archive's length
  };
  const Damage damages[] = {
      {"cut in the data", false, late.data + late.compressed / 2},
      {"provisional header, cut in the data", true, late.data + late.compressed / 2},
      {"provisional header, data whole", true, late.data + late.compressed},
      {"provisional header alone", true, late.data},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::string bytes = good.substr(0, size_t(damage.cut));
    if (damage.provisional) MakeProvisional(bytes, late.header);
    SetBytes(bytes);
    ASSERT_TRUE(Rebuilt());

    EXPECT_EQ(Run(), std::make_pair(1, 0));
    ExpectMirrorsTree();
    // Only the tail from the damaged entry on was written.
    EXPECT_EQ(Bytes().substr(0, size_t(late.header)), good.substr(0, size_t(late.header)));
    ExpectSecondRunWritesNothing();
  }
}

// A second AddFiles in the same transaction finds the replacements of the
// first (no bytes yet, a header like a provisional one) and leaves them, and
// the entries it shares offsets with, alone.
TEST_F(Mend, ASecondAddFilesInOneTransactionChangesNothingMore) {
  Run();
  Write(u"late.bin", test::Incompressible(50000, 6));
  Run();
  const std::string good = Bytes();
  const Placement late = Locate(u"late.bin");
  std::string bytes = good.substr(0, size_t(late.data + 100));
  MakeProvisional(bytes, late.header);
  SetBytes(bytes);
  {
    FixedSeedMill a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    a.AddFiles();
    EXPECT_EQ(a.AddedCount(), 1);
    a.AddFiles();
    EXPECT_EQ(a.AddedCount(), 0);
    a.EndUpdate();
    a.CloseArchive();
  }
  EXPECT_TRUE(failures.empty());
  ExpectMirrorsTree();
  EXPECT_EQ(Bytes().substr(0, size_t(late.header)), good.substr(0, size_t(late.header)));
}

// A damaged entry whose file is gone, or that no file replaces, goes.
TEST_F(Mend, ADamagedEntryThatNoFileReplacesIsDropped) {
  Run();
  Write(u"late.bin", test::Incompressible(50000, 3));
  Run();
  const std::string good = Bytes();
  const Placement late = Locate(u"late.bin");

  for (const bool gone : {true, false}) {
    SCOPED_TRACE(gone ? "file gone" : "file excluded, not synchronising");
    std::string bytes = good.substr(0, size_t(late.data + 1000));
    MakeProvisional(bytes, late.header);
    SetBytes(bytes);
    const fs::path keep = dir.Host(u"late.keep");
    if (gone) fs::rename(Host(u"late.bin"), keep);
    synchronize = gone;
    exclusions = gone ? std::vector<std::u16string>{} : std::vector<std::u16string>{u"late.bin"};

    EXPECT_EQ(Run(), std::make_pair(0, 1));
    ExpectMirrorsTree({u"late.bin"});
    EXPECT_EQ(Bytes().substr(0, size_t(late.header)), good.substr(0, size_t(late.header)));
    ExpectSecondRunWritesNothing();
    if (gone) fs::rename(keep, Host(u"late.bin"));
  }
}

// The file of a damaged entry vanishes before the commit reads it: the entry
// goes, rather than its damaged bytes coming back under a directory that
// would then hide the damage from every later run.
TEST_F(Mend, ADamagedEntryWhoseFileCannotBeReadGoes) {
  Run();
  Write(u"late.bin", test::Incompressible(50000, 5));
  Run();
  const Placement late = Locate(u"late.bin");
  std::string bytes = Bytes().substr(0, size_t(late.data + 1000));
  MakeProvisional(bytes, late.header);
  SetBytes(bytes);

  const fs::path keep = dir.Host(u"late.keep");
  {
    FixedSeedMill a;
    Configure(a);
    a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string& name, double,
                           TKMProcessOperation, TKMProgressPhase phase, bool&) {
      if (phase == ppStart && name.ends_with(u"late.bin")) fs::rename(Host(u"late.bin"), keep);
    };
    a.OpenArchive();
    a.AddFiles();
    a.CloseArchive();
    // It failed: nothing was added.
    EXPECT_EQ(a.AddedCount(), 0);
  }
  EXPECT_EQ(failures, std::vector<int32_t>{33});
  failures.clear();
  ExpectMirrorsTree();  // late.bin is not in the tree now
  fs::rename(keep, Host(u"late.bin"));
  EXPECT_EQ(Run(), std::make_pair(1, 0));
  ExpectMirrorsTree();
}

// Data that does not match its header is found by reading it: sizes, time
// and attributes all agree with the file.
TEST_F(Mend, AnEntryWhoseDataIsDamagedIsReplaced) {
  Run();
  const std::string good = Bytes();
  const Placement b = Locate(u"sub/b.txt");
  std::string bytes = good.substr(0, size_t(b.directory));
  bytes[size_t(b.data + b.compressed / 2)] ^= 0x55;
  SetBytes(bytes);
  ASSERT_TRUE(Rebuilt());

  EXPECT_EQ(Run(), std::make_pair(1, 0));
  ExpectMirrorsTree();
  EXPECT_EQ(Bytes().substr(0, size_t(b.header)), good.substr(0, size_t(b.header)));
  ExpectSecondRunWritesNothing();
}

// A ZIP file in the tree is stored as it is, so the local headers found
// without a directory include its own entries, inside its data. Those go
// with the sync (no such files), and the entry holding them is written anew.
TEST_F(Mend, AStoredArchiveInTheTreeLeavesNoEntriesBehind) {
  test::ZipBuilder inner;
  inner.Add("x.txt", std::string(100, 'x')).Add("y/z.txt", "zzz");
  Write(u"sub/inner.zip", inner.Build().bytes);
  ASSERT_EQ(Run(), std::make_pair(6, 0));
  const std::string good = Bytes();
  SetBytes(good.substr(0, size_t(Locate(u"a.txt").directory)));
  {
    TKavoMill a;
    Configure(a);
    a.OpenArchive(kOpenModeReadOnly);
    ASSERT_TRUE(a.DirectoryRebuilt());
    EXPECT_GE(a.DirManager()->CurrentDir().FindItem(u"y/z.txt"), 0);
  }

  EXPECT_EQ(Run(), std::make_pair(1, 2));
  ExpectMirrorsTree();
  ExpectSecondRunWritesNothing();
}

// Every entry whole, only the directory gone (a run killed as it began to
// write it): nothing is replaced, but a directory is written all the same;
// a commit without any change writes it too.
TEST_F(Mend, AMissingDirectoryIsWrittenThoughNothingChanged) {
  Run();
  const std::string good = Bytes();
  const Placement a = Locate(u"a.txt");
  const std::string entries = good.substr(0, size_t(a.directory));

  SetBytes(entries + "PK\x01\x02 half a central header");
  ASSERT_TRUE(Rebuilt());
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  ExpectMirrorsTree();
  EXPECT_EQ(Bytes().substr(0, entries.size()), entries);
  ExpectSecondRunWritesNothing();

  SetBytes(entries);
  {
    TKavoMill m;
    Configure(m);
    m.OpenArchive();
    ASSERT_TRUE(m.DirectoryRebuilt());
    m.BeginUpdate();
    m.EndUpdate();
    EXPECT_FALSE(m.DirectoryRebuilt());
    m.CloseArchive();
  }
  EXPECT_GT(Bytes().size(), entries.size());
  ExpectMirrorsTree();
}

// An encrypted entry that the password at hand does not open cannot be
// judged by its data: it is kept, and nobody is asked for a password.
TEST_F(Mend, EncryptedEntriesTheirPasswordDoesNotOpenAreKept) {
  password = "pw";
  Run();
  const std::string good = Bytes();
  const Placement a = Locate(u"a.txt");
  SetBytes(good.substr(0, size_t(a.directory)));

  password = "other";
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  EXPECT_EQ(passwordRequests, 0);
  password = "pw";
  ExpectMirrorsTree();
  EXPECT_EQ(Bytes().substr(0, size_t(a.directory)), good.substr(0, size_t(a.directory)));
}

// Nothing of an archive in the file: opened for writing it is refused and
// left as it was; read, it shows no entry. An empty archive and a file of no
// bytes at all behave as they always did.
TEST_F(Mend, AFileWithNothingOfAnArchiveInItIsNeverWrittenOver) {
  const std::string notArchive = "PK\x03\x04" + test::Incompressible(100 * 1024 - 4, 4);
  SetBytes(notArchive);
  {
    TKavoMill a;
    Configure(a);
    EXPECT_EQ(test::NativeOf([&] { a.OpenArchive(); }), 35);
    EXPECT_FALSE(a.ArchiveOpen());
    EXPECT_EQ(test::NativeOf([&] { a.BeginUpdate(); }), 35);
    EXPECT_EQ(test::NativeOf([&] { a.AddFiles(); }), 13);  // not open

    a.OpenArchive(kOpenModeReadOnly);
    EXPECT_TRUE(a.DirectoryRebuilt());
    EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 0);
    a.CloseArchive();
  }
  EXPECT_EQ(Bytes(), notArchive);

  // No bytes: no archive (native code 35), as before; left empty.
  SetBytes("");
  {
    TKavoMill a;
    Configure(a);
    EXPECT_EQ(test::NativeOf([&] { a.OpenArchive(); }), 35);
  }
  EXPECT_EQ(fs::file_size(ArchiveHost()), 0u);

  // An end record alone is an empty archive: it is filled.
  SetBytes(std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  ASSERT_FALSE(Rebuilt());
  EXPECT_EQ(Run(), std::make_pair(5, 0));
  ExpectMirrorsTree();
}

}  // namespace
}  // namespace km
