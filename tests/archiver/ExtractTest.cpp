// Extraction and testing end to end, over archives that python's zipfile
// wrote: byte-for-byte output, hostile names, links in the destination,
// overwrite modes, and an old file that must survive a failed overwrite.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ArchiverTestUtil.h"
#include "FaultyStream.h"
#include "archiver/Archiver.h"
#include "common/InputArchives.h"
#include "common/TempDir.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// 2020-05-17 10:20:30 as a DOS date-time.
constexpr uint32_t kEntryTime = ((40u << 9 | 5u << 5 | 17u) << 16) | (10u << 11 | 20u << 5 | 15u);

// What the entries of extract-good.zip hold (tests/data/inputs): a stored
// file, a deflated one, a folder and a file in it. extract-bad.zip is the
// same with one data byte of a.txt flipped (its CRC then fails), and
// extract-evil.zip holds names that point outside the destination, and one
// that does not.
std::string Expected(const std::u16string& name) {
  if (name == u"a.txt") {
    std::string text;
    for (int i = 0; i < 50; ++i) text += "alpha\n";
    return text;
  }
  if (name == u"big.bin") {
    std::string bytes;
    for (int i = 0; i < 400; ++i)
      for (int b = 0; b < 256; ++b) bytes += char(b);
    return bytes + "tail";
  }
  std::string text;
  for (int i = 0; i < 20; ++i) text += "gamma gamma gamma\n";
  return text;  // sub/c.txt
}

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    names.insert(e.path().lexically_normal().string());
  return names;
}

bool HasTempFiles(const fs::path& dir) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().filename().string().starts_with("FC")) return true;
  return false;
}

struct Failure {
  std::u16string name;
  int32_t native;
};

class Extract : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string name : {"good", "bad", "evil"})
      test::CopyInputArchive("extract-" + name + ".zip", tmp.Host() / (name + ".zip"));
    fs::create_directories(tmp.Host(u"root/dest"));
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& name,
                                    TKMProcessOperation, int32_t native, int32_t,
                                    const std::u16string&, TKMAction&) {
      failures.push_back({name, native});
    };
  }

  void Open(const std::u16string& archive) {
    a.SetFileName(tmp.Win(archive));
    a.OpenArchive();
    a.SetBaseDir(tmp.Win(u"root/dest") + u"\\");
  }

  fs::path Dest(const std::u16string& name) const { return tmp.Host(u"root/dest/" + name); }
  std::u16string DestWin(const std::u16string& name) const { return tmp.Win(u"root/dest/" + name); }

  test::TempDir tmp;
  TKavoMill a;
  std::vector<Failure> failures;
};

TEST_F(Extract, ReproducesEveryFileWithItsTime) {
  Open(u"good.zip");
  a.ExtractFiles(u"*.*", 0x3F, u"");
  EXPECT_TRUE(failures.empty());
  for (const std::u16string name : {u"a.txt", u"big.bin", u"sub/c.txt"}) {
    EXPECT_EQ(test::ReadHostFile(Dest(name)), Expected(name));
    EXPECT_EQ(FileModDosTime(DestWin(name)), kEntryTime);
  }
  EXPECT_TRUE(fs::is_directory(Dest(u"sub")));
  EXPECT_EQ(a.ProcessedCount(), 4);
  EXPECT_FALSE(HasTempFiles(tmp.Host(u"root")));

  a.TestFiles(u"*.*", 0x3F, u"");
  EXPECT_TRUE(failures.empty());
}

TEST_F(Extract, HostileNamesAreRefusedAndNothingLeavesTheDestination) {
  Open(u"evil.zip");
  const auto before = Listing(tmp.Host(u""));
  a.ExtractFiles(u"*.*", 0x3F, u"");
  ASSERT_EQ(failures.size(), 4u);
  for (const Failure& f : failures)
    EXPECT_EQ(f.native, 19) << std::string(f.name.begin(), f.name.end());
  auto after = Listing(tmp.Host(u""));
  EXPECT_EQ(after.erase(Dest(u"ok.txt").lexically_normal().string()), 1u);
  EXPECT_EQ(after, before);
  EXPECT_EQ(test::ReadHostFile(Dest(u"ok.txt")), "payload");

  // A name the handler chooses is the caller's: a full path is honoured,
  // a relative one must stay inside like a stored name.
  failures.clear();
  a.OnExtractFile = [&](TKMBaseArchiver&, std::u16string& name, uint32_t&, const std::string&) {
    if (name == u"ok.txt") name = tmp.Win(u"chosen.txt");
    if (name == u"../evil.txt" || name == u"..\\evil.txt") name = u"..\\..\\evil2.txt";
  };
  a.ExtractFiles(u"*.*", 0x3F, u"");
  EXPECT_EQ(test::ReadHostFile(tmp.Host(u"chosen.txt")), "payload");
  EXPECT_EQ(failures.size(), 4u);
  EXPECT_FALSE(fs::exists(tmp.Host(u"evil2.txt")));
}

TEST_F(Extract, ALinkInTheDestinationIsNotFollowed) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder link needs a privilege on Windows, and Wine cannot make one";
#else
  fs::create_directories(tmp.Host(u"outside"));
  fs::create_directory_symlink(tmp.Host(u"outside"), Dest(u"sub"));
  Open(u"good.zip");
  a.ExtractFiles(u"*.*", 0x3F, u"");
  // The folder entry itself is refused too: its folder is the link.
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].name, u"sub\\");
  EXPECT_EQ(failures[1].name, u"sub\\c.txt");
  EXPECT_EQ(failures[1].native, 19);
  EXPECT_TRUE(fs::is_empty(tmp.Host(u"outside")));
  EXPECT_EQ(test::ReadHostFile(Dest(u"a.txt")), Expected(u"a.txt"));
#endif
}

TEST_F(Extract, AnOldFileSurvivesAFailedOrCancelledOverwrite) {
  test::WriteHostFile(Dest(u"a.txt"), "OLD");
  Open(u"bad.zip");
  a.ExtractFiles(u"a.txt", 0x3F, u"");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].native, 8);
  EXPECT_EQ(test::ReadHostFile(Dest(u"a.txt")), "OLD");
  EXPECT_FALSE(HasTempFiles(tmp.Host(u"root")));

  // A cancel while the data comes out: the old file stays, a new one is
  // never left half written, and nothing counts as failed.
  a.CloseArchive();
  failures.clear();
  Open(u"good.zip");
  a.OnFileProgress = [](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                        TKMProgressPhase phase, bool& cancel) { cancel = phase == ppProcess; };
  a.ExtractFiles(u"a.txt", 0x3F, u"");
  EXPECT_TRUE(a.Cancelled());
  EXPECT_EQ(test::ReadHostFile(Dest(u"a.txt")), "OLD");
  a.ExtractFiles(u"big.bin", 0x3F, u"");
  EXPECT_FALSE(fs::exists(Dest(u"big.bin")));
  EXPECT_TRUE(failures.empty());
  EXPECT_FALSE(HasTempFiles(tmp.Host(u"root")));
}

// An archiver whose extraction output can be made to fail, as a full or
// failing disk would.
class FaultyOutputArchiver : public TKavoMill {
 public:
  test::WriteFault fault;

 protected:
  int64_t WriteOutputBytes(TStream& output, const void* buffer, int64_t count) override {
    return fault.Write(output, buffer, count);
  }
};

// A write that fails is the entry's failure, with the reason kept for the
// handler: never a cancel, never a file or part of one, and the old file of
// that name stays. The run goes on with the next entry.
TEST_F(Extract, AFailedWriteFailsTheEntryAndKeepsTheOldFile) {
  FaultyOutputArchiver f;
  std::vector<Failure> seen;
  std::u16string reportedFile;
  int32_t reportedError = 0;
  f.OnProcessFileFailure = [&](TKMBaseArchiver& sender, const std::u16string& name,
                               TKMProcessOperation, int32_t native, int32_t, const std::u16string&,
                               TKMAction&) {
    seen.push_back({name, native});
    reportedFile = sender.OutputFileName();
    reportedError = sender.OutputError();
  };
  test::WriteHostFile(Dest(u"big.bin"), "OLD");
  f.SetFileName(tmp.Win(u"good.zip"));
  f.OpenArchive();
  f.SetBaseDir(tmp.Win(u"root/dest") + u"\\");
  f.fault.Arm(2, true);  // a.txt's one block goes in, nothing after it
  f.ExtractFiles(u"*.*", 0x3F, u"");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].name, u"big.bin");
  EXPECT_EQ(seen[0].native, 46);
  EXPECT_EQ(seen[1].name, u"sub\\c.txt");
  EXPECT_EQ(reportedFile, DestWin(u"sub/c.txt"));
  EXPECT_EQ(reportedError, platform::kErrorWriteFault);
  EXPECT_FALSE(f.Cancelled());
  EXPECT_EQ(f.ProcessedCount(), 2);  // a.txt and the folder
  EXPECT_EQ(test::ReadHostFile(Dest(u"a.txt")), Expected(u"a.txt"));
  EXPECT_EQ(test::ReadHostFile(Dest(u"big.bin")), "OLD");
  EXPECT_FALSE(fs::exists(Dest(u"sub/c.txt")));
  EXPECT_FALSE(HasTempFiles(tmp.Host(u"root")));

  // Even with damaged data allowed through, data the disk did not take
  // makes no extracted file.
  seen.clear();
  test::WriteHostFile(Dest(u"a.txt"), "OLD");
  f.SetExtractCorruptedFiles(true);
  f.fault.Arm(1, true);
  f.ExtractFiles(u"a.txt", 0x3F, u"");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].native, 46);
  EXPECT_EQ(test::ReadHostFile(Dest(u"a.txt")), "OLD");
}

TEST_F(Extract, WithoutCreateDirsFilesLandInTheDestinationItself) {
  Open(u"good.zip");
  a.Options().SetCreateDirs(false);
  a.ExtractFiles(u"*.*", 0x3F, u"");
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(test::ReadHostFile(Dest(u"c.txt")), Expected(u"sub/c.txt"));
  EXPECT_FALSE(fs::exists(Dest(u"sub")));
}

TEST_F(Extract, OverwriteModesDecideByTheEntryTime) {
  Open(u"good.zip");
  auto existing = [&](uint32_t dosTime) {
    test::WriteHostFile(Dest(u"a.txt"), "OLD");
    platform::SetFileDosTime(DestWin(u"a.txt"), dosTime);
  };
  auto run = [&](TKMOverwriteMode mode) {
    a.Options().SetOverwriteMode(mode);
    a.ExtractFiles(u"a.txt", 0x3F, u"");
    return test::ReadHostFile(Dest(u"a.txt")) != "OLD";
  };
  existing(kEntryTime);
  EXPECT_FALSE(run(omIfNewer));  // same time: kept
  EXPECT_FALSE(run(omNever));
  EXPECT_TRUE(run(omIfDiffer));
  existing(kEntryTime);
  EXPECT_TRUE(run(omAlways));
  existing(kEntryTime - (1u << 16));  // a day older
  EXPECT_TRUE(run(omIfNewer));
  existing(kEntryTime - (1u << 16));
  EXPECT_FALSE(run(omIfOlder));
  EXPECT_TRUE(failures.empty());
}

TEST_F(Extract, TestReportsExactlyTheDamagedEntry) {
  Open(u"bad.zip");
  a.TestFiles(u"*.*", 0x3F, u"");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].name, u"a.txt");
  EXPECT_EQ(failures[0].native, 8);
  EXPECT_EQ(a.ProcessedCount(), 3);

  failures.clear();
  a.SetExtractCorruptedFiles(true);
  a.TestFiles(u"*.*", 0x3F, u"");
  EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace km
