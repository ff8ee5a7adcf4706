// Adding a directory tree to an archive and synchronising it, on real trees
// on disk; every archive made is read back by our tester and, when present,
// by python zipfile.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "ArchiverTestUtil.h"
#include "PeerArchives.h"
#include "archiver/Archiver.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using V = std::vector<std::u16string>;

TEST(MakeStoredName, EveryModeOverTheExampleBase) {
  const std::u16string file = u"C:\\App\\sub\\f.txt";
  const std::u16string base = u"C:\\App\\";
  const std::u16string wd = u"C:\\Work\\";
  auto name = [&](const std::u16string& path, TKMStorePathMode mode,
                  const std::u16string& b = u"C:\\App\\") {
    return TKMBaseArchiver::MakeStoredName(path, b, mode, wd);
  };
  EXPECT_EQ(name(file, spNoPath), u"f.txt");
  EXPECT_EQ(name(file, spRelativePath), u"sub/f.txt");
  EXPECT_EQ(name(file, spRelativeStoreStart), u"App/sub/f.txt");
  EXPECT_EQ(name(file, spFullPath), u"App/sub/f.txt");
  EXPECT_EQ(name(file, spFullPathWithDrive), u"C:/App/sub/f.txt");

  // Outside the base: the path without its drive, never "..".
  for (TKMStorePathMode mode : {spRelativePath, spRelativeStoreStart, spFullPath}) {
    EXPECT_EQ(name(u"C:\\Other\\g.txt", mode), u"Other/g.txt") << int(mode);
    EXPECT_EQ(name(u"D:\\Other\\g.txt", mode), u"Other/g.txt") << int(mode);
  }
  // A directory loses its separator here; AddFile puts the '/' back.
  EXPECT_EQ(name(u"C:\\App\\sub\\", spRelativeStoreStart), u"App/sub");
  // A relative name is taken below the base.
  EXPECT_EQ(name(u"sub\\f.txt", spRelativePath), u"sub/f.txt");
  // A network path keeps its share name, not the server's.
  EXPECT_EQ(name(u"\\\\server\\share\\d\\f.txt", spFullPath), u"share/d/f.txt");
  // A base without its trailing separator is the same directory.
  EXPECT_EQ(name(file, spRelativePath, u"C:\\App"), u"sub/f.txt");
  EXPECT_EQ(name(file, spRelativeStoreStart, u"C:\\App"), u"App/sub/f.txt");

  // A dot ending a name is part of it; only "sub\." stands for sub itself.
  EXPECT_EQ(name(u"C:\\App\\trail.", spRelativePath), u"trail.");
  EXPECT_EQ(name(u"C:\\App\\a..", spRelativePath), u"a..");
  EXPECT_EQ(name(u"C:\\App\\c .", spRelativePath), u"c .");
  EXPECT_EQ(name(u"C:\\App\\dir.\\f.txt", spRelativePath), u"dir./f.txt");
  EXPECT_EQ(name(u"C:\\App\\dir.\\", spRelativeStoreStart), u"App/dir.");
  EXPECT_EQ(name(u"C:\\App\\sub\\.", spRelativeStoreStart), u"App/sub");
  EXPECT_EQ(name(u"sub\\.", spRelativePath), u"sub");
}

// Names below the base that look like the usual case but fall under other
// rules: a ".." step, two separators in a row, a ':', a trailing "\.", the
// base itself, a root base.
TEST(MakeStoredName, AwkwardNamesBelowTheBase) {
  const std::u16string wd = u"C:\\Work\\";
  auto name = [&](const std::u16string& path, TKMStorePathMode mode,
                  const std::u16string& b = u"C:\\App\\") {
    return TKMBaseArchiver::MakeStoredName(path, b, mode, wd);
  };
  for (int round = 0; round < 2; ++round) {  // the second with the base's details known
    EXPECT_EQ(name(u"C:\\App\\sub\\..\\f.txt", spRelativePath), u"App/sub/../f.txt");
    EXPECT_EQ(name(u"C:\\App\\sub\\..\\f.txt", spRelativeStoreStart), u"App/sub/../f.txt");
    EXPECT_EQ(name(u"C:\\App\\sub\\\\f.txt", spRelativeStoreStart), u"");
    EXPECT_EQ(name(u"C:\\App\\sub\\\\d\\f.txt", spRelativePath), u"f.txt");
    EXPECT_EQ(name(u"C:\\App\\\\f.txt", spRelativePath), u"f.txt");
    EXPECT_EQ(name(u"C:\\App\\a:b", spRelativePath), u"b");
    EXPECT_EQ(name(u"C:\\App\\sub/f.txt", spRelativeStoreStart), u"App/sub/f.txt");
    EXPECT_EQ(name(u"C:\\App\\sub\\.\\", spRelativeStoreStart), u"App/sub");
    EXPECT_EQ(name(u"C:\\App\\..f", spRelativePath), u"..f");
    EXPECT_EQ(name(u"C:\\App\\", spRelativeStoreStart), u"App");
    EXPECT_EQ(name(u"C:\\App\\", spRelativePath), u"App");
    EXPECT_EQ(name(u"C:\\x\\f.txt", spRelativeStoreStart, u"C:\\"), u"x/f.txt");
    EXPECT_EQ(name(u"C:\\x\\f.txt", spRelativePath, u"C:\\"), u"x/f.txt");
  }
}

class AddFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Host(u"sub/deep"));
    fs::create_directories(Host(u"empty"));
    Write(u"a.txt", "alpha\n");
    Write(u".hidden", "h");
    Write(u"sub/b.txt", std::string(70000, 'b'));
    Write(u"sub/deep/c.txt", "");
    archive = dir.Win(u"out.zip");
  }

  fs::path Host(const std::u16string& rel) const { return dir.Host(u"tree/" + rel); }
  std::u16string Tree() const { return dir.Win(u"tree"); }
  void Write(const std::u16string& rel, const std::string& bytes) {
    test::WriteHostFile(Host(rel), bytes);
  }
  fs::path ArchiveHost() const { return FromWindowsView(archive); }

  void Configure(TKavoMill& a) {
    a.SetFileName(archive);
    a.SetBaseDir(baseDir.empty() ? Tree() + u"\\" : baseDir);
    a.SetFileMasks(masks);
    a.SetExclusionMasks(exclusions);
    a.Options().SetSearchAttr(searchAttr);
    a.SetZip64Mode(zip64);
    a.Options().SetOverwriteMode(overwrite);
    a.Options().SetSynchronize(synchronize);
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                                    int32_t native, int32_t, const std::u16string&,
                                    TKMAction& action) {
      failures.push_back(native);
      action = fxaIgnore;
    };
  }

  // One run as the dialog makes it; the counters it reports.
  std::pair<int32_t, int32_t> Run() {
    TKavoMill a;
    Configure(a);
    test::AddRun(a);
    return {a.AddedCount(), a.DeletedCount()};
  }

  // The entries of the archive on disk, after our tester and python agree
  // that it is sound.
  V Entries(std::vector<uint32_t>* attributes = nullptr) {
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    V names;
    const TKMDirArray& current = a.DirManager()->CurrentDir();
    for (int32_t i = 0; i < current.Count(); ++i) {
      names.push_back(current.GetItem(i).FileName);
      if (attributes) attributes->push_back(current.GetItem(i).ExternalAttr);
    }
    failures.clear();
    a.TestFiles(u"*.*", 0x3F, u"");
    EXPECT_TRUE(failures.empty());
    a.CloseArchive();
    if (test::HasTool("python3")) {
      EXPECT_EQ(
          test::RunShell("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                         "sys.exit(z.testzip() is not None or len(z.infolist()) != " +
                         std::to_string(names.size()) + ")\" " + test::Quoted(ArchiveHost())),
          0);
    }
    return names;
  }

  std::string Extract(const std::u16string& entry) {
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    const int32_t index = a.DirManager()->CurrentDir().FindItem(entry);
    EXPECT_GE(index, 0);
    TMemoryStream data;
    if (index >= 0) a.ExtractToStream(index, data);
    a.CloseArchive();
    return std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size()));
  }

  // Makes the next rewrite visible in the file's time.
  void AgeArchive() {
    fs::last_write_time(ArchiveHost(), fs::last_write_time(ArchiveHost()) - std::chrono::hours(1));
  }

  test::TempDir dir;
  std::u16string archive;
  std::u16string baseDir;
  V masks = {u"*.*"};
  V exclusions;
  int32_t searchAttr = TKMOptions::kDefaultSearchAttr;
  TKMOverwriteMode overwrite = omIfDiffer;
  TZip64Mode zip64 = zmDisabled;
  bool synchronize = true;
  std::vector<int32_t> failures;
};

const V kTreeEntries = {u".hidden",   u"a.txt",     u"empty/",        u"sub/",
                        u"sub/b.txt", u"sub/deep/", u"sub/deep/c.txt"};

TEST_F(AddFiles, CreatesEntriesInNameOrderWithAttributes) {
  EXPECT_EQ(Run(), std::make_pair(7, 0));
  std::vector<uint32_t> attributes;
  // Files of a folder come before its subfolders, each in name order.
  EXPECT_EQ(Entries(&attributes), kTreeEntries);
  EXPECT_EQ(attributes, (std::vector<uint32_t>{0x22, 0x20, 0x10, 0x10, 0x20, 0x10, 0x20}));
  EXPECT_EQ(Extract(u"sub/b.txt"), std::string(70000, 'b'));
}

TEST_F(AddFiles, UnchangedTreeLeavesTheArchiveAlone) {
  EXPECT_EQ(Run(), std::make_pair(7, 0));
  AgeArchive();
  const auto bytes = test::ReadHostFile(ArchiveHost());
  const auto time = fs::last_write_time(ArchiveHost());
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  EXPECT_EQ(test::ReadHostFile(ArchiveHost()), bytes);
  EXPECT_EQ(fs::last_write_time(ArchiveHost()), time);
}

// Sizes kept in the Zip64 field compare by their real value.
TEST_F(AddFiles, UnchangedTreeWithZip64SizesIsNotReplaced) {
  zip64 = zmAlways;
  Run();
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  EXPECT_EQ(Entries(), kTreeEntries);
}

// The exact time travels in both headers beside the Zip64 field, once, for
// a replaced entry as for one copied unchanged; peers read them all.
TEST_F(AddFiles, ExactTimesSitBesideZip64FieldsInBothHeaders) {
  if (!test::HasTool("python3") || !test::HasTool("unzip") || !test::HasTool("7zz")) {
    if (test::OnCi()) FAIL() << "python3, unzip and 7zz are needed (scripts/deps.sh)";
    GTEST_SKIP() << "python3, unzip and 7zz read the headers";
  }
  zip64 = zmAlways;
  Run();
  // Per file entry: the tags of the local and of the central extra, and
  // whether the NTFS times of the two agree.
  const std::string script = std::string("python3") + R"( -c "
import struct, sys, zipfile
def fields(extra):
    out, i = [], 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from('<HH', extra, i)
        out.append((tag, extra[i + 4:i + 4 + size])); i += 4 + size
    return out
raw = open(sys.argv[1], 'rb').read()
zf = zipfile.ZipFile(sys.argv[1])
assert zf.testzip() is None
for info in zf.infolist():
    if info.is_dir(): continue
    n, e = struct.unpack_from('<HH', raw, info.header_offset + 26)
    local = fields(raw[info.header_offset + 30 + n:info.header_offset + 30 + n + e])
    central = fields(info.extra)
    times = [d for t, d in local + central if t == 10]
    print(info.filename, ','.join('%04x' % t for t, _ in local), ','.join('%04x' % t for t, _ in central),
          len(set(times)) == 1, times[0].hex() if times else '-')
" )" + test::Quoted(ArchiveHost()) +
                             " > " + test::Quoted(dir.Host(u"fields.txt"));
  const auto fields = [&] {
    EXPECT_EQ(test::RunShell(script), 0);
    std::map<std::string, std::string> byName;
    std::istringstream lines(test::ReadHostFile(dir.Host(u"fields.txt")));
    for (std::string name, rest; lines >> name && std::getline(lines, rest);) byName[name] = rest;
    return byName;
  };
  const auto first = fields();
  EXPECT_EQ(first.size(), 4u);
  for (const auto& [name, line] : first)
    EXPECT_TRUE(line.starts_with(" 0001,000a,554e 0001,000a,554e True ")) << name << line;

  Write(u"a.txt", "alpha, longer\n");
  EXPECT_EQ(Run(), std::make_pair(1, 0));
  const auto second = fields();
  EXPECT_TRUE(second.at("a.txt").starts_with(" 0001,000a,554e 0001,000a,554e True "))
      << second.at("a.txt");
  EXPECT_NE(second.at("a.txt"), first.at("a.txt"));
  // Entries after the replaced one were copied: their fields come along.
  EXPECT_EQ(second.at("sub/b.txt"), first.at("sub/b.txt"));
  EXPECT_EQ(second.at("sub/deep/c.txt"), first.at("sub/deep/c.txt"));
  EXPECT_EQ(test::RunShell("unzip -tq " + test::Quoted(ArchiveHost()) + " > /dev/null 2>&1"), 0);
  EXPECT_EQ(test::RunShell("7zz t " + test::Quoted(ArchiveHost()) + " > /dev/null 2>&1"), 0);
}

TEST_F(AddFiles, OverwriteModesDecideOnTimeAttributesAndSize) {
  Run();
  // Same size, newer time: only the modes that want newer or different.
  Write(u"a.txt", "ALPHA\n");
  fs::last_write_time(Host(u"a.txt"), fs::last_write_time(Host(u"a.txt")) + std::chrono::hours(2));
  overwrite = omIfOlder;
  EXPECT_EQ(Run().first, 0);
  overwrite = omNever;
  Write(u"new.txt", "n");
  EXPECT_EQ(Run().first, 1);  // new files still come in
  overwrite = omIfNewer;
  EXPECT_EQ(Run().first, 1);
  EXPECT_EQ(Extract(u"a.txt"), "ALPHA\n");
  EXPECT_EQ(Run().first, 0);

  // Attributes alone: replaced whatever the time says.
  fs::permissions(Host(u"a.txt"), fs::perms::owner_write, fs::perm_options::remove);
  overwrite = omIfOlder;
  EXPECT_EQ(Run().first, 1);
  fs::permissions(Host(u"a.txt"), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(Run().first, 1);

  // Size alone, with the time put back.
  const auto time = fs::last_write_time(Host(u"sub/b.txt"));
  Write(u"sub/b.txt", "short");
  fs::last_write_time(Host(u"sub/b.txt"), time);
  overwrite = omIfDiffer;
  EXPECT_EQ(Run().first, 1);
  EXPECT_EQ(Extract(u"sub/b.txt"), "short");
  overwrite = omAlways;
  EXPECT_EQ(Run().first, 8);  // every entry, folders too
  Entries();
}

TEST_F(AddFiles, SynchronisingRemovesEntriesOfVanishedFilesAndFolders) {
  Run();
  fs::remove(Host(u"a.txt"));
  fs::remove_all(Host(u"sub/deep"));
  synchronize = false;
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  EXPECT_EQ(Entries(), kTreeEntries);
  synchronize = true;
  EXPECT_EQ(Run(), std::make_pair(0, 3));
  EXPECT_EQ(Entries(), (V{u".hidden", u"empty/", u"sub/", u"sub/b.txt"}));
}

// Files the scan leaves out (hidden ones when the search skips them) keep
// their entries while they exist, under narrow masks too. A gone file's
// entry goes once a search selects it.
TEST_F(AddFiles, SynchronisingKeepsEntriesOfFilesTheScanLeavesOut) {
  Write(u"sub/.h.txt", "h");
  EXPECT_EQ(Run(), std::make_pair(8, 0));
  searchAttr = TKMOptions::kDefaultSearchAttr & ~int32_t(platform::faHidden);
  for (const V& m : {V{u"*.*"}, V{u"*.txt"}}) {
    masks = m;
    EXPECT_EQ(Run(), std::make_pair(0, 0));
    EXPECT_EQ(Entries().size(), 8u);
  }
  fs::remove(Host(u"sub/.h.txt"));
  fs::remove(Host(u"sub/deep/c.txt"));
  fs::remove(Host(u".hidden"));
  EXPECT_EQ(Run(), std::make_pair(0, 1));  // hidden entries are outside this search
  masks = {u"*.*"};
  searchAttr = TKMOptions::kDefaultSearchAttr;
  EXPECT_EQ(Run(), std::make_pair(0, 2));
  EXPECT_EQ(Entries(), (V{u"a.txt", u"empty/", u"sub/", u"sub/b.txt", u"sub/deep/"}));

  // What one run listed says nothing about the next run of the same object.
  TKavoMill a;
  Configure(a);
  a.OpenArchive();
  a.AddFiles();
  fs::remove(Host(u"a.txt"));
  a.AddFiles();
  EXPECT_EQ(a.DeletedCount(), 1);
  a.CloseArchive();
}

// What the scan saw is not trusted once a handler has run: a handler may
// remove a file after it was listed. Nor does a file entry whose name ends
// in a separator stand for the folder of that name.
TEST_F(AddFiles, SynchronisingChecksAgainWhatTheScanCannotVouchFor) {
  Write(u"z.txt", "z");
  EXPECT_EQ(Run(), std::make_pair(8, 0));
  {
    TKavoMill a;
    Configure(a);
    a.OnConfirmProcessFile = [&](TKMBaseArchiver&, const std::u16string& name, TKMProcessOperation,
                                 bool&) {
      if (name.ends_with(u"\\b.txt")) fs::remove(Host(u"a.txt"));
    };
    a.OpenArchive();
    a.AddFiles();
    EXPECT_EQ(a.DeletedCount(), 1);
    a.CloseArchive();
  }
  if (test::HasTool("python3")) {
    ASSERT_EQ(
        test::RunShell("python3 -c \"import sys, zipfile; "
                       "zipfile.ZipFile(sys.argv[1], 'a').writestr('sub' + chr(92) * 2, b'')\" " +
                       test::Quoted(ArchiveHost())),
        0);
    EXPECT_EQ(Run(), std::make_pair(0, 1));
  }
  EXPECT_EQ(Entries(), (V{u".hidden", u"z.txt", u"empty/", u"sub/", u"sub/b.txt", u"sub/deep/",
                          u"sub/deep/c.txt"}));
}

// Without a failure handler and without anyone to answer a box, a file that
// cannot be read is passed over instead of retried forever.
TEST_F(AddFiles, UnreadableFileWithNobodyToAskIsPassedOver) {
  TKavoMill a;
  Configure(a);
  a.OnProcessFileFailure = nullptr;
  a.OpenArchive();
  a.BeginUpdate();
  a.AddFiles();
  fs::remove(Host(u"sub/b.txt"));
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(Entries(),
            (V{u".hidden", u"a.txt", u"empty/", u"sub/", u"sub/deep/", u"sub/deep/c.txt"}));
}

TEST_F(AddFiles, BaseDirWithoutSeparatorBehavesTheSame) {
  baseDir = Tree();
  EXPECT_EQ(Run(), std::make_pair(7, 0));
  EXPECT_EQ(Entries(), kTreeEntries);
  fs::remove(Host(u"sub/b.txt"));
  EXPECT_EQ(Run(), std::make_pair(0, 1));
}

TEST_F(AddFiles, ExclusionMasksIgnoreCaseAndProtectTheirEntries) {
  Write(u"x.TMP", "t");
  Write(u"sub/y.tmp", "t");
  exclusions = {u"*.tmp", u"empty"};
  EXPECT_EQ(Run().first, 6);
  EXPECT_EQ(Entries(),
            (V{u".hidden", u"a.txt", u"sub/", u"sub/b.txt", u"sub/deep/", u"sub/deep/c.txt"}));

  // An excluded entry stays even when its file is gone.
  exclusions = {};
  Run();
  fs::remove(Host(u"x.TMP"));
  exclusions = {u"*.tmp"};
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  const V names = Entries();
  EXPECT_EQ(std::count(names.begin(), names.end(), u"x.TMP"), 1);
}

// Names that differ only in case are one file on Windows, so case.dat
// replaces the entry of CASE.DAT there; on POSIX hosts they are two files and
// two entries.
TEST_F(AddFiles, NamesDifferingInCaseFollowTheHost) {
  synchronize = false;  // the entry of a file that is gone stays
  Write(u"CASE.DAT", "upper");
  EXPECT_EQ(Run().first, 8);
  fs::remove(Host(u"CASE.DAT"));
  Write(u"case.dat", "lower, and longer");
  EXPECT_EQ(Run(), std::make_pair(1, 0));
  const V names = Entries();
  const auto count = [&](const std::u16string& name) {
    return std::count(names.begin(), names.end(), name);
  };
#ifdef _WIN32
  EXPECT_EQ(names.size(), 8u);
  EXPECT_EQ(count(u"CASE.DAT") + count(u"case.dat"), 1);
  EXPECT_EQ(Extract(u"case.dat"), "lower, and longer");
  EXPECT_EQ(Extract(u"CASE.DAT"), "lower, and longer");
#else
  EXPECT_EQ(names.size(), 9u);
  EXPECT_EQ(count(u"CASE.DAT"), 1);
  EXPECT_EQ(count(u"case.dat"), 1);
  EXPECT_EQ(Extract(u"CASE.DAT"), "upper");
  EXPECT_EQ(Extract(u"case.dat"), "lower, and longer");
#endif
}

TEST_F(AddFiles, ArchiveInsideTheTreeIsNeverAdded) {
  archive = Tree() + u"\\sub\\..\\self.zip";
  EXPECT_EQ(Run(), std::make_pair(7, 0));
  EXPECT_EQ(Entries(), kTreeEntries);
  EXPECT_EQ(Run(), std::make_pair(0, 0));
}

TEST_F(AddFiles, NonLatinNamesSurviveRuns) {
  const std::u16string cyrillic = u"Привет.txt";
  const std::u16string cjk = u"日本語/中文.txt";
  fs::create_directories(Host(u"日本語"));
  Write(cyrillic, "privet");
  Write(cjk, "zhongwen");
  EXPECT_EQ(Run().first, 10);
  const V first = Entries();
  EXPECT_EQ(Run(), std::make_pair(0, 0));
  EXPECT_EQ(Entries(), first);
  EXPECT_EQ(Extract(cjk), "zhongwen");
  EXPECT_EQ(Extract(cyrillic), "privet");
}

TEST_F(AddFiles, DevicesAndFolderLinksAreNotFollowed) {
#ifdef _WIN32
  GTEST_SKIP() << "FIFOs are POSIX's; folder links need a privilege on Windows";
#else
  ASSERT_EQ(mkfifo(Host(u"pipe").c_str(), 0600), 0);
  fs::create_directory_symlink(Host(u"sub"), Host(u"loop"));
  fs::create_directory_symlink(Host(u""), Host(u"sub/up"));
  EXPECT_EQ(Run().first, 9);
  const V names = Entries();
  EXPECT_EQ(std::count(names.begin(), names.end(), u"pipe"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"loop/"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"sub/up/"), 1);
  for (const std::u16string& name : names)
    EXPECT_FALSE(name.starts_with(u"loop/") && name != u"loop/") << platform::WideToUtf8(name);
#endif
}

// Checked inside one transaction, before the commit replaces sizes.
TEST_F(AddFiles, EntryFieldsFollowTheSettings) {
  TKavoMill a;
  Configure(a);
  a.SetZip64Mode(zmAlways);
  a.SetNoCompressionMasks({u"*.TXT"});
  a.SetPassword("pw");
  a.OpenArchive();
  a.BeginUpdate();
  a.AddFiles();
  const TKMDirArray& current = a.DirManager()->CurrentDir();
  const TDirItem& b = current.GetItem(current.FindItem(u"sub/b.txt"));
  EXPECT_TRUE(b.Zip64Used);
  EXPECT_EQ(b.UncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(b.Zip64UncompressedSize, 70000u);
  EXPECT_EQ(b.Method, 0);
  EXPECT_EQ(b.CompressionMode, 0);
  EXPECT_EQ(b.Operation, poAdd);
  EXPECT_EQ(b.Flags & 1, 1);
  EXPECT_EQ(b.SourceFileName, Tree() + u"\\sub\\b.txt");
  const TDirItem& deep = current.GetItem(current.FindItem(u"sub/deep/"));
  EXPECT_EQ(deep.Flags, 2);
  EXPECT_EQ(deep.Crc32, 0u);
  const TDirItem& hidden = current.GetItem(current.FindItem(u".hidden"));
  EXPECT_NE(hidden.Method, 0);
  a.CancelUpdate();
  a.CloseArchive();
}

TEST_F(AddFiles, EventsCanRenameSkipAndConfirm) {
  Run();
  Write(u"a.txt", "changed");
  TKavoMill a;
  Configure(a);
  a.Options().SetOverwriteMode(omPrompt);
  a.Options().SetSynchronize(false);
  V asked;
  a.OnConfirmOverwrite = [&](TKMBaseArchiver&, const std::u16string&, std::u16string& dest,
                             bool& confirm) {
    asked.push_back(dest);
    confirm = dest == u"a.txt";
  };
  bool lockHeld = true;
  a.OnConfirmProcessFile = [&](TKMBaseArchiver&, const std::u16string& name, TKMProcessOperation,
                               bool& confirm) {
    // The scan holds the process-wide lock against other threads.
    std::thread([&] {
      if (ArchiverLock().TryEnter()) {
        lockHeld = false;
        ArchiverLock().Leave();
      }
    }).join();
    confirm = !name.ends_with(u"c.txt");
  };
  a.OnStoreFile = [](TKMBaseArchiver&, std::u16string& name, uint32_t&, std::string& comment,
                     const std::u16string&) {
    if (name == u".hidden") {
      name = u"renamed";
      comment = "note";
    }
  };
  a.OpenArchive();
  a.AddFiles();
  a.CloseArchive();
  EXPECT_EQ(a.AddedCount(), 2);  // a.txt replaced, "renamed" new
  EXPECT_TRUE(lockHeld);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), u"a.txt"), 1);
  EXPECT_EQ(Extract(u"a.txt"), "changed");
  EXPECT_EQ(Extract(u"renamed"), "h");
}

// A handler that runs between the listing and the comparison may change the
// file: the comparison sees the file as it is then, not as it was listed.
TEST_F(AddFiles, FilesChangedByHandlersAreComparedAfresh) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Listed as it was, the file would look unchanged: same size, same old
    // time, too old to be suspect.
    fs::last_write_time(Host(u"a.txt"),
                        fs::last_write_time(Host(u"a.txt")) - std::chrono::hours(1));
    Run();
    const std::string content = round == 0 ? "changed while confirming" : "changed while storing";
    TKavoMill a;
    Configure(a);
    auto rewrite = [&](const std::u16string& source) {
      if (source.ends_with(u"a.txt")) Write(u"a.txt", content);
    };
    if (round == 0)
      a.OnConfirmProcessFile = [&](TKMBaseArchiver&, const std::u16string& name,
                                   TKMProcessOperation, bool&) { rewrite(name); };
    else
      a.OnStoreFile = [&](TKMBaseArchiver&, std::u16string&, uint32_t&, std::string&,
                          const std::u16string& source) { rewrite(source); };
    a.OpenArchive();
    a.AddFiles();
    a.CloseArchive();
    EXPECT_EQ(a.AddedCount(), 1);
    EXPECT_EQ(Extract(u"a.txt"), content);
  }
}

TEST_F(AddFiles, MissingBaseDirOnlyWarnsWhenSynchronising) {
  Run();
  TKavoMill a;
  Configure(a);
  a.OpenArchive();
  a.SetBaseDir(u"");
  platform::ScriptedDialogServices dialogs;
  platform::ScopedDialogServices scope(&dialogs);
  a.DeleteMissingFiles();
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text, u"Synchronizing impossible!\r\nBaseDir is not set.");
  EXPECT_EQ(dialogs.MessageBoxes()[0].type, platform::mtError);
  EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 7);

  // Without stored paths nothing can be traced back, so nothing goes.
  a.SetBaseDir(Tree());
  fs::remove(Host(u"a.txt"));
  a.Options().SetStorePath(spNoPath);
  a.DeleteMissingFiles();
  EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 7);
  a.CloseArchive();
  try {
    a.AddFiles();
    FAIL() << "a closed archive was added to";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 13);
  }
}

}  // namespace
// Moving: the sources go only once the commit stands, and never a file that
// did not make it into the archive.
TEST_F(AddFiles, MovedSourcesAreDeletedAfterTheCommit) {
  Write(u"sub/keep.tmp", "excluded");
  TKavoMill a;
  Configure(a);
  a.OpenArchive();
  a.BeginUpdate();
  a.AddFilesByMasks({u"*.*"}, 0x3F, true, true, {u"*.tmp"});
  // Vanishes before its data is read: ignored, so it must not be deleted
  // either (it is gone already) and its folder keeps the excluded file.
  fs::remove(Host(u"sub/b.txt"));
  a.EndUpdate();
  a.CloseArchive();
  // b.txt could not be read; "sub" cannot go while it holds keep.tmp.
  EXPECT_EQ(failures, (std::vector<int32_t>{33, 60}));
  EXPECT_EQ(Entries(),
            (V{u".hidden", u"a.txt", u"empty/", u"sub/", u"sub/deep/", u"sub/deep/c.txt"}));
  EXPECT_FALSE(fs::exists(Host(u"a.txt")));
  EXPECT_FALSE(fs::exists(Host(u".hidden")));
  EXPECT_FALSE(fs::exists(Host(u"sub/deep")));
  EXPECT_FALSE(fs::exists(Host(u"empty")));
  // A folder that still holds a file stays, with the file.
  EXPECT_EQ(test::ReadHostFile(Host(u"sub/keep.tmp")), "excluded");
}

}  // namespace km
