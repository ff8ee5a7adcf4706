// Finding and marking entries, and the ProcessFiles run (delete, update, the
// failure protocol, progress) over directories built in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
#include "support/Paths.h"

namespace km {
namespace {

struct Entry {
  std::u16string name;
  uint32_t attr = 0x20;
  uint32_t packed = 0;
  uint32_t size = 0;
};

void Fill(TKMBaseArchiver& a, std::initializer_list<Entry> entries) {
  TKMDirArray& dir = a.DirManager()->CurrentDir();
  for (const Entry& e : entries) {
    TDirItem item;
    item.FileName = e.name;
    item.ExternalAttr = e.attr;
    item.CompressedSize = e.packed;
    item.UncompressedSize = e.size;
    dir.Add(item);
  }
}

std::vector<std::u16string> Found(TKMBaseArchiver& a, const std::u16string& mask, int32_t attr,
                                  const std::u16string& exclusion = u"") {
  std::vector<std::u16string> names;
  TKMArchiveItem r;
  for (bool ok = a.FindFirst(mask, r, attr, exclusion); ok; ok = a.FindNext(r))
    names.push_back(r.StoredPath + r.FileName);
  return names;
}

std::vector<std::u16string> Names(const TKMBaseArchiver& a) {
  std::vector<std::u16string> names;
  const TKMDirArray& dir = a.DirManager()->CurrentDir();
  for (int32_t i = 0; i < dir.Count(); ++i) names.push_back(dir.GetItem(i).FileName);
  return names;
}

using V = std::vector<std::u16string>;

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    a.SetInMemory(true);
    a.OpenArchive();
    Fill(a, {{u"a.txt"},
             {u"b.doc"},
             {u"sub/", 0x10},
             {u"sub/c.txt"},
             {u"sub/deep/d.TXT"},
             {u"hidden.txt", 0x22},
             {u"ro.txt", 0x21},
             {u"noext"},
             {u"sys.txt", 0x24}});
  }
  TKavoMill a;
};

TEST_F(Process, FindAppliesMaskRecurseAndAttributeRules) {
  // Hidden and system entries need their bits asked for; read-only never
  // excludes.
  EXPECT_EQ(Found(a, u"*.txt", 0), (V{u"a.txt", u"sub\\c.txt", u"sub\\deep\\d.TXT", u"ro.txt"}));
  EXPECT_EQ(Found(a, u"*.txt", 0x02),
            (V{u"a.txt", u"sub\\c.txt", u"sub\\deep\\d.TXT", u"hidden.txt", u"ro.txt"}));
  EXPECT_EQ(Found(a, u"*.*", 0x3F).size(), 9u);
  // A mask with a directory matches the whole name; '*' runs over '/'.
  EXPECT_EQ(Found(a, u"sub\\*.txt", 0), (V{u"sub\\c.txt", u"sub\\deep\\d.TXT"}));
  // A mask ending in a dot finds names without an extension only.
  EXPECT_EQ(Found(a, u"*.", 0), (V{u"noext"}));
  EXPECT_EQ(Found(a, u"*.", 0x10), (V{u"sub", u"noext"}));
  // The exclusion mask is applied by the same rule as the mask.
  EXPECT_EQ(Found(a, u"*.txt", 0, u"sub\\*"), (V{u"a.txt", u"ro.txt"}));
  EXPECT_EQ(Found(a, u"*.txt", 0, u"A*"), (V{u"sub\\c.txt", u"sub\\deep\\d.TXT", u"ro.txt"}));

  a.Options().SetRecurse(false);
  EXPECT_EQ(Found(a, u"*.*", 0x3F),
            (V{u"a.txt", u"b.doc", u"sub", u"hidden.txt", u"ro.txt", u"noext", u"sys.txt"}));
  EXPECT_EQ(Found(a, u"SUB/*.txt", 0), (V{u"sub\\c.txt"}));
  // A drive is dropped from the mask, with the separator after it.
  EXPECT_EQ(Found(a, u"C:\\sub\\*.txt", 0), (V{u"sub\\c.txt"}));
  EXPECT_EQ(Found(a, u"C:*.doc", 0), (V{u"b.doc"}));
  a.Options().SetStorePath(spFullPathWithDrive);
  EXPECT_EQ(Found(a, u"C:\\sub\\*.txt", 0), V{});
}

TEST_F(Process, FindFillsTheRecordAndKeepsItWhenNothingFollows) {
  TKMBaseArchiver& b = a;
  TKMDirArray& dir = b.DirManager()->CurrentDir();
  dir.ItemPtr(4)->CompressedSize = 25;
  dir.ItemPtr(4)->UncompressedSize = 100;
  dir.ItemPtr(4)->ModTime = 0x1234;
  dir.ItemPtr(4)->Comment = "note";
  dir.ItemPtr(4)->Flags = 1;
  TKMArchiveItem r;
  ASSERT_TRUE(b.FindFirst(u"d.txt", r, 0, u""));
  EXPECT_EQ(r.FileName, u"d.TXT");
  EXPECT_EQ(r.StoredPath, u"sub\\deep\\");
  EXPECT_DOUBLE_EQ(r.CompressionRate, 75.0);
  EXPECT_EQ(r.LastModFileTime, 0x1234);
  EXPECT_EQ(r.Comment, "note");
  EXPECT_TRUE(r.Encrypted);
  EXPECT_EQ(r.InternalData.CurrentIndex, 4);
  EXPECT_FALSE(b.FindNext(r));
  EXPECT_EQ(r.FileName, u"d.TXT");

  // Rates: an entry that grew saves nothing, an empty one counts as all
  // saved, and Zip64 sizes are read from their own fields.
  dir.ItemPtr(0)->CompressedSize = 120;
  dir.ItemPtr(0)->UncompressedSize = 100;
  ASSERT_TRUE(b.FindFirst(u"a.txt", r, 0, u""));
  EXPECT_DOUBLE_EQ(r.CompressionRate, 0.0);
  ASSERT_TRUE(b.FindFirst(u"b.doc", r, 0, u""));
  EXPECT_DOUBLE_EQ(r.CompressionRate, 100.0);
  TDirItem* big = dir.ItemPtr(1);
  big->CompressedSize = 0xFFFFFFFF;
  big->UncompressedSize = 0xFFFFFFFF;
  big->Zip64CompressedSize = 5'000'000'000;
  big->Zip64UncompressedSize = 10'000'000'000;
  ASSERT_TRUE(b.FindFirst(u"b.doc", r, 0, u""));
  EXPECT_EQ(r.UncompressedSize, 10'000'000'000u);
  EXPECT_DOUBLE_EQ(r.CompressionRate, 50.0);
}

TEST_F(Process, FindByMasksUsesTheOptionMasks) {
  a.SetFileMasks({u"*.txt"});
  a.SetExclusionMasks({u"sub\\*"});
  TKMArchiveItem r;
  V names;
  for (bool ok = a.FindFirstByMasks(r); ok; ok = a.FindNext(r)) names.push_back(r.FileName);
  EXPECT_EQ(names, (V{u"a.txt", u"hidden.txt", u"ro.txt", u"sys.txt"}));
}

TEST_F(Process, MarkByMaskReplacesEarlierMarks) {
  a.MarkByMask(u"*.doc", 0, u"");
  a.MarkByMask(u"*.txt", 0, u"");
  V marked;
  const TKMDirArray& dir = a.DirManager()->CurrentDir();
  for (int32_t i = 0; i < dir.Count(); ++i)
    if (dir.GetItem(i).Marked) marked.push_back(dir.GetItem(i).FileName);
  EXPECT_EQ(marked, (V{u"a.txt", u"sub/c.txt", u"sub/deep/d.TXT", u"ro.txt"}));
}

TEST_F(Process, TestFilesChecksItsPreconditionsBeforeMarking) {
  a.BeginUpdate();
  try {
    a.TestFiles(u"*.*", 0x3F, u"");
    ADD_FAILURE() << "no exception";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 26);
  }
  const TKMDirArray& dir = a.DirManager()->CurrentDir();
  for (int32_t i = 0; i < dir.Count(); ++i) EXPECT_FALSE(dir.GetItem(i).Marked);
  a.CancelUpdate();

  TKavoMill closed;
  try {
    closed.TestFiles(u"*.*", 0x3F, u"");
    ADD_FAILURE() << "no exception";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 13);
  }
  TKMArchiveItem r;
  EXPECT_THROW(closed.FindFirst(u"*.*", r, 0, u""), EKMException);
}

TEST_F(Process, DeleteRemovesMarkedNeighboursAndSkipsDeclinedOnes) {
  auto mark = [&](std::initializer_list<int> indexes) {
    a.DirManager()->CurrentDir().ClearMarks();
    for (int i : indexes) a.DirManager()->CurrentDir().ItemPtr(i)->Marked = true;
  };
  a.BeginUpdate();
  mark({1, 2, 3});
  a.ProcessFiles(poDelete);
  EXPECT_EQ(Names(a),
            (V{u"a.txt", u"sub/deep/d.TXT", u"hidden.txt", u"ro.txt", u"noext", u"sys.txt"}));
  EXPECT_EQ(a.DeletedCount(), 3);
  // The name index followed the removals.
  EXPECT_EQ(a.DirManager()->CurrentDir().FindItem(u"sys.txt"), 5);

  V asked;
  a.OnConfirmProcessFile = [&](TKMBaseArchiver&, const std::u16string& name, TKMProcessOperation op,
                               bool& confirm) {
    EXPECT_EQ(op, poDelete);
    asked.push_back(name);
    confirm = asked.size() > 1;
  };
  mark({1, 2, 3});
  a.ProcessFiles(poDelete);
  EXPECT_EQ(asked, (V{u"sub\\deep\\d.TXT", u"hidden.txt", u"ro.txt"}));
  EXPECT_EQ(Names(a), (V{u"a.txt", u"sub/deep/d.TXT", u"noext", u"sys.txt"}));
  EXPECT_EQ(a.DeletedCount(), 5);
  EXPECT_EQ(a.ProcessedCount(), 2);
  EXPECT_EQ(a.MarkedCount(), 3);
  EXPECT_TRUE(a.InUpdate());
}

TEST_F(Process, FailureProtocolRetriesIgnoresAndAborts) {
  struct Failure {
    std::u16string name;
    TKMProcessOperation op;
    int32_t native;
  };
  std::vector<Failure> failures;
  std::vector<TKMAction> answers;
  a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string& name, TKMProcessOperation op,
                               int32_t native, int32_t, const std::u16string&, TKMAction& action) {
    EXPECT_EQ(action, fxaIgnore);
    failures.push_back({name, op, native});
    if (failures.size() <= answers.size()) action = answers[failures.size() - 1];
  };
  int failuresLeft = 0;
  a.OnConfirmProcessFile = [&](TKMBaseArchiver& sender, const std::u16string& name,
                               TKMProcessOperation, bool&) {
    if (name == u"b.doc" && failuresLeft-- > 0)
      throw EKMException(kmeCannotOpenSource, {name}, &sender);
  };
  auto markFirstThree = [&] {
    a.DirManager()->CurrentDir().ClearMarks();
    for (int i = 0; i < 3; ++i) a.DirManager()->CurrentDir().ItemPtr(i)->Marked = true;
  };

  // Retry until the handler answers otherwise: three retries, then it works.
  a.BeginUpdate();
  markFirstThree();
  failuresLeft = 3;
  answers = {fxaRetry, fxaRetry, fxaRetry};
  a.ProcessFiles(poDelete);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0].name, u"b.doc");
  EXPECT_EQ(failures[0].op, poDelete);
  EXPECT_EQ(failures[0].native, 33);
  EXPECT_EQ(Names(a).front(), u"sub/c.txt");
  a.CancelUpdate();

  // Ignore: the failing entry stays, the run goes on.
  SetUp();
  a.BeginUpdate();
  markFirstThree();
  failures.clear();
  failuresLeft = 1;
  answers = {};
  a.ProcessFiles(poDelete);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(Names(a).front(), u"b.doc");
  EXPECT_EQ(Names(a)[1], u"sub/c.txt");
  EXPECT_TRUE(a.InUpdate());

  // Abort: nothing after the failing entry, and the transaction is dropped.
  a.CancelUpdate();
  SetUp();
  a.BeginUpdate();
  markFirstThree();
  failures.clear();
  failuresLeft = 1;
  answers = {fxaAbort};
  a.ProcessFiles(poDelete);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(Names(a)[0], u"b.doc");
  EXPECT_EQ(Names(a)[1], u"sub/");
  EXPECT_FALSE(a.InUpdate());

  // Outside a transaction every delete fails with native code 22.
  markFirstThree();
  failures.clear();
  failuresLeft = 0;
  answers = {};
  a.ProcessFiles(poDelete);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[2].native, 22);
}

TEST_F(Process, OtherExceptionsLeaveTheRunAndReleaseTheLock) {
  a.BeginUpdate();
  a.DirManager()->CurrentDir().ItemPtr(0)->Marked = true;
  bool reported = false;
  a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                               int32_t, int32_t, const std::u16string&,
                               TKMAction&) { reported = true; };
  a.OnConfirmProcessFile = [](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation, bool&) {
    throw std::runtime_error("library");
  };
  EXPECT_THROW(a.ProcessFiles(poDelete), std::runtime_error);
  EXPECT_FALSE(reported);
  EXPECT_TRUE(a.InUpdate());
  bool free = false;
  std::thread other([&] {
    free = ArchiverLock().TryEnter();
    if (free) ArchiverLock().Leave();
  });
  other.join();
  EXPECT_TRUE(free);
}

TEST_F(Process, TestWithNothingMarkedReportsOnlyStartAndEnd) {
  std::vector<std::pair<TKMProgressPhase, double>> overall;
  int fileEvents = 0;
  a.OnOverallProgress = [&](TKMBaseArchiver&, double progress, TKMProcessOperation op,
                            TKMProgressPhase phase, bool&) {
    EXPECT_EQ(op, poTest);
    overall.emplace_back(phase, progress);
  };
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                         TKMProgressPhase, bool&) { ++fileEvents; };
  a.TestFiles(u"*.none", 0x3F, u"");
  EXPECT_EQ(overall,
            (std::vector<std::pair<TKMProgressPhase, double>>{{ppStart, 0.0}, {ppEnd, 100.0}}));
  EXPECT_EQ(fileEvents, 0);
}

TEST(ProcessUpdate, RefreshesChangedFilesOnlyInsideATransaction) {
  test::TempDir disk;
  test::WriteHostFile(disk.Host(u"f.txt"), "fresh data");
  const std::u16string file = disk.Win(u"f.txt");
  const uint32_t fileTime = FileModDosTime(file);

  TKavoMill a;
  a.SetInMemory(true);
  a.OpenArchive();
  a.SetBaseDir(IncludeTrailingSeparator(disk.Win(u"")));
  a.Options().SetOverwriteMode(omIfDiffer);
  Fill(a, {{u"f.txt", GetFileAttr(file), 3, 10}, {u"gone/", 0x10}, {u"missing.txt"}});
  TDirItem& f = *a.DirManager()->CurrentDir().ItemPtr(0);
  f.ModTime = uint16_t(fileTime);
  f.ModDate = uint16_t(fileTime >> 16);
  f.Flags = 0x0800;
  a.DirManager()->CurrentDir().ItemPtr(1)->Modified = false;
  std::vector<int32_t> natives;
  a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                               int32_t native, int32_t, const std::u16string&,
                               TKMAction&) { natives.push_back(native); };
  auto markAll = [&] {
    for (int i = 0; i < 3; ++i) a.DirManager()->CurrentDir().ItemPtr(i)->Marked = true;
  };

  // Same attributes, size and time: nothing to do, not even outside a
  // transaction. A folder that is gone keeps its attributes.
  markAll();
  a.ProcessFiles(poUpdate);
  EXPECT_TRUE(natives.empty());
  EXPECT_EQ(a.DirManager()->CurrentDir().GetItem(1).ExternalAttr, 0x10u);
  EXPECT_EQ(a.AddedCount(), 0);

  // A different size: a refresh, refused outside a transaction...
  a.DirManager()->CurrentDir().ItemPtr(0)->UncompressedSize = 9;
  markAll();
  a.ProcessFiles(poUpdate);
  EXPECT_EQ(natives, std::vector<int32_t>{25});

  // ...and done inside one, as adding the file would.
  a.BeginUpdate();
  markAll();
  a.ProcessFiles(poUpdate);
  const TDirItem& g = a.DirManager()->CurrentDir().GetItem(0);
  EXPECT_EQ(g.Operation, poUpdate);
  EXPECT_TRUE(g.Modified);
  EXPECT_EQ(g.SourceFileName, file);
  EXPECT_EQ(g.UncompressedSize, 10u);
  EXPECT_EQ(g.Method, 8);
  EXPECT_EQ(g.CompressionMode, 6);
  EXPECT_EQ(g.Flags, 0x0800);  // the name keeps its UTF-8 flag
  EXPECT_EQ(g.FileName, u"f.txt");
  EXPECT_EQ((uint32_t(g.ModDate) << 16) | g.ModTime, fileTime);
  EXPECT_EQ(a.AddedCount(), 1);
  a.CancelUpdate();
}

}  // namespace
}  // namespace km
