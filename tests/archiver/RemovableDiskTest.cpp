// Archives on removable disks, played by folders (common/RemovableDrives.h):
// what the archiver sees of the disk, the requests it makes while a disk is
// full or missing, and the label of a spanned disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ArchiverTestUtil.h"
#include "PeerArchives.h"
#include "archiver/Archiver.h"
#include "common/Ci.h"
#include "common/RemovableDrives.h"
#include "platform/DialogServices.h"
#include "support/Paths.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using platform::MessageBoxRequest;
using platform::ScopedDialogServices;
using test::ActingDialogServices;
using test::RemovableDrives;

std::u16string Win(const fs::path& path) {
  return ToWindowsView(path);
}

std::vector<std::u16string> Texts(const platform::ScriptedDialogServices& dialogs) {
  std::vector<std::u16string> texts;
  for (const MessageBoxRequest& box : dialogs.MessageBoxes()) texts.push_back(box.text);
  return texts;
}

TEST(RemovableDisk, FolderPlaysADriveThatFillsUp) {
  test::TempDir root;
  const fs::path disk = root.Host() / "disk";
  const std::u16string archive = Win(disk / "data.zip");
  fs::create_directory(disk);
  ASSERT_FALSE(IsRemovableDrive(archive)) << "the scratch folder is on a removable disk";
  {
    RemovableDrives drives;
    drives.Add(disk, 100000);
    EXPECT_TRUE(IsRemovableDrive(archive));  // not there yet: the drive decides
    EXPECT_TRUE(IsRemovableDrive(Win(disk)));
    // A sibling whose name only begins like the disk's is no part of it.
    EXPECT_FALSE(IsRemovableDrive(Win(root.Host() / "disk2" / "data.zip")));

    EXPECT_EQ(TKMBaseArchiver::FreeSpace(archive), 100000);
    test::WriteHostFile(disk / "old.zip", std::string(30000, 'x'));
    EXPECT_EQ(TKMBaseArchiver::FreeSpace(archive), 70000);
    drives.SetCapacity(disk, 1000);  // fuller than full reads as nothing free
    EXPECT_EQ(TKMBaseArchiver::FreeSpace(archive), 0);
    const fs::path shelf = drives.Swap(disk, 5000);
    EXPECT_TRUE(fs::exists(shelf / "old.zip"));
    EXPECT_TRUE(fs::is_empty(disk));
    EXPECT_EQ(TKMBaseArchiver::FreeSpace(archive), 5000);
    // Elsewhere the host answers.
    EXPECT_GT(TKMBaseArchiver::FreeSpace(Win(root.Host() / "x.zip")), 5000);
  }
  EXPECT_FALSE(IsRemovableDrive(archive));
}

class SpannedDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    disk_ = root_.Host() / "disk";
    drives_.Add(disk_, 0);
    a_.SetFileName(Win(disk_ / "data.zip"));
    a_.SetSpanningMode(smSpanning);
  }

  test::TempDir root_;
  fs::path disk_;
  RemovableDrives drives_;
  ActingDialogServices dialogs_;
  ScopedDialogServices installed_{&dialogs_};
  TKavoMill a_;
};

// A full disk is reported with what it lacks; the user cleans it or puts
// in another, and is asked for a blank disk again.
TEST_F(SpannedDisk, FullDiskIsReportedUntilOneHasRoom) {
  a_.SpanningOptions().SetVolumeSize(vs1_44MB);
  drives_.SetCapacity(disk_, 1000000);
  dialogs_.onBox = [&](const MessageBoxRequest&, size_t index) {
    if (index == 1) drives_.Swap(disk_, 1457664);
  };
  a_.OpenArchive(kOpenModeCreate);
  EXPECT_EQ(Texts(dialogs_),
            (std::vector<std::u16string>{u"Please insert a blank disk #1",
                                         u"Disk is full. Required free space: 1457664 bytes, but "
                                         u"available only: 1000000 bytes. Clean the disk or find "
                                         u"another blank disk",
                                         u"Please insert a blank disk #1"}));
  for (const MessageBoxRequest& box : dialogs_.MessageBoxes())
    EXPECT_EQ(box.buttons, (platform::TMsgDlgButtons{platform::mbOK, platform::mbCancel}));
  EXPECT_TRUE(a_.ArchiveOpen());
  EXPECT_TRUE(fs::exists(disk_ / "data_001.zip"));
  EXPECT_FALSE(fs::exists(root_.Host() / "disk.disk1" / "data_001.zip"));
  // The disk is labelled where the host can; here the played drive keeps it.
  ASSERT_EQ(drives_.Labels().size(), 1u);
  EXPECT_EQ(drives_.Labels()[0].first, root_.Win().substr(0, 3));  // the drive's root
  EXPECT_EQ(drives_.Labels()[0].second, u"pkback# 001");
  a_.CloseArchive();
}

// Even without a size limit a volume needs more than 64 KiB.
TEST_F(SpannedDisk, AVolumeNeedsMoreThan64KiB) {
  drives_.SetCapacity(disk_, 65536);
  dialogs_.AddAnswer(platform::mrOk);      // blank disk
  dialogs_.AddAnswer(platform::mrCancel);  // disk full: give up
  EXPECT_EQ(test::NativeOf([&] { a_.OpenArchive(kOpenModeCreate); }), 45);
  EXPECT_EQ(dialogs_.MessageBoxes().size(), 2u);
  EXPECT_FALSE(a_.ArchiveOpen());
  EXPECT_TRUE(fs::is_empty(disk_));
  EXPECT_TRUE(drives_.Labels().empty());

  dialogs_.ClearLog();
  drives_.SetCapacity(disk_, 65537);
  a_.OpenArchive(kOpenModeCreate);
  EXPECT_EQ(Texts(dialogs_), (std::vector<std::u16string>{u"Please insert a blank disk #1"}));
  a_.CloseArchive();
}

TEST_F(SpannedDisk, CancelledBlankDiskRequestCreatesNothing) {
  drives_.SetCapacity(disk_, 10000000);
  dialogs_.AddAnswer(platform::mrCancel);
  EXPECT_EQ(test::NativeOf([&] { a_.OpenArchive(kOpenModeCreate); }), 45);
  EXPECT_TRUE(fs::is_empty(disk_));
}

// Split volumes ask for nothing and take a disk smaller than their limit:
// the next volume goes beside it.
TEST_F(SpannedDisk, SplittingTakesASmallDiskWithoutAsking) {
  a_.SetSpanningMode(smSplitting);
  a_.SpanningOptions().SetVolumeSize(vs1_44MB);
  drives_.SetCapacity(disk_, 100000);
  a_.OpenArchive(kOpenModeCreate);
  EXPECT_TRUE(dialogs_.MessageBoxes().empty());
  EXPECT_TRUE(drives_.Labels().empty());
  EXPECT_TRUE(fs::exists(disk_ / "data_001.zip"));
  a_.CloseArchive();
}

// An archive missing from a removable drive is a disk not inserted yet:
// opening it asks for the last disk instead of failing at once, and asks
// again while the disk put in does not hold it.
TEST_F(SpannedDisk, MissingArchiveAsksForTheLastDisk) {
  // The disk the user has on the desk: an archive with one entry.
  const fs::path desk = root_.Host() / "desk";
  fs::create_directory(desk);
  test::WriteHostFile(desk / "a.txt", "alpha");
  {
    TKavoMill writer;
    writer.SetFileName(Win(desk / "data.zip"));
    writer.SetBaseDir(Win(desk) + u"\\");
    writer.SetFileMasks({u"*.txt"});
    writer.OpenArchive(kOpenModeCreate);
    writer.BeginUpdate();
    writer.AddFiles();
    writer.EndUpdate();
    writer.CloseArchive();
  }
  drives_.SetCapacity(disk_, 1440000);
  dialogs_.onBox = [&](const MessageBoxRequest&, size_t index) {
    if (index == 1) fs::copy_file(desk / "data.zip", disk_ / "data.zip");
  };
  a_.SetSpanningMode(smNone);
  a_.OpenArchive(kOpenModeReadOnly);
  EXPECT_EQ(Texts(dialogs_),
            (std::vector<std::u16string>{
                u"Please insert the last disk",
                u"File '" + Win(disk_ / "data.zip") +
                    u"' not found on inserted disk. Please insert last disk with required file"}));
  ASSERT_TRUE(a_.ArchiveOpen());
  ASSERT_EQ(a_.DirManager()->CurrentDir().Count(), 1);
  EXPECT_EQ(a_.DirManager()->CurrentDir().GetItem(0).FileName, u"a.txt");
  a_.CloseArchive();

  // Not on a removable drive, a missing archive is simply not found.
  TKavoMill fixed;
  fixed.SetFileName(Win(root_.Host() / "data.zip"));
  EXPECT_EQ(test::NativeOf([&] { fixed.OpenArchive(kOpenModeReadOnly); }), 12);
}

// Writing spanned archives: disks of 150,000 bytes take 300,000
// incompressible bytes in three volumes.
class SpannedWrite : public SpannedDisk {
 protected:
  static constexpr int64_t kDisk = 150000;

  void SetUp() override {
    SpannedDisk::SetUp();
    src_ = root_.Host() / "src";
    fs::create_directory(src_);
    test::WriteHostFile(src_ / "a.bin", test::Incompressible(150000, 1));
    test::WriteHostFile(src_ / "b.bin", test::Incompressible(150000, 2));
    test::WriteHostFile(src_ / "c.txt", "charlie");
    a_.SetBaseDir(Win(src_) + u"\\");
    a_.SetFileMasks({u"*.*"});
    drives_.SetCapacity(disk_, kDisk);
  }
  void Write() {
    a_.OpenArchive(kOpenModeCreate);
    a_.BeginUpdate();
    a_.AddFiles();
    a_.EndUpdate();
    a_.CloseArchive();
  }
  // Every blank disk after the first (already in the drive) is swapped in
  // with capacity bytes; the disks taken out, in order.
  void SwapOnBlankRequests(int64_t capacity) {
    dialogs_.onBox = [this, capacity](const MessageBoxRequest& box, size_t) {
      if (box.text.starts_with(u"Please insert a blank disk #") &&
          box.text != u"Please insert a blank disk #1")
        shelves_.push_back(drives_.Swap(disk_, capacity));
    };
  }
  // The volumes side by side under the names Info-ZIP gives a split set,
  // joined by it into one archive and tested by unzip.
  void CheckWithInfoZip() {
    if (!test::HasTool("zip") || !test::HasTool("unzip")) {
      if (test::OnCi()) FAIL() << "zip and unzip are missing (scripts/deps.sh installs them)";
      return;
    }
    const fs::path join = root_.Host() / "join";
    fs::create_directory(join);
    for (size_t i = 0; i < shelves_.size(); ++i)
      fs::copy_file(shelves_[i] / ("data_00" + std::to_string(i + 1) + ".zip"),
                    join / ("data.z0" + std::to_string(i + 1)));
    fs::copy_file(disk_ / "data.zip", join / "data.zip");
    EXPECT_EQ(test::RunShell("cd " + test::Quoted(join) +
                             " && zip -q -s 0 data.zip --out whole.zip && unzip -tq whole.zip"),
              0);
  }

  fs::path src_;
  std::vector<fs::path> shelves_;
};

TEST_F(SpannedWrite, DiskAfterDiskEachLabelled) {
  SwapOnBlankRequests(kDisk);
  Write();
  EXPECT_EQ(Texts(dialogs_), (std::vector<std::u16string>{u"Please insert a blank disk #1",
                                                          u"Please insert a blank disk #2",
                                                          u"Please insert a blank disk #3"}));
  ASSERT_EQ(shelves_.size(), 2u);
  for (size_t i = 0; i < shelves_.size(); ++i) {
    const fs::path volume = shelves_[i] / ("data_00" + std::to_string(i + 1) + ".zip");
    ASSERT_TRUE(fs::exists(volume));
    EXPECT_LE(int64_t(fs::file_size(volume)), kDisk);
  }
  // The last disk carries the archive's own name.
  ASSERT_TRUE(fs::exists(disk_ / "data.zip"));
  EXPECT_LE(int64_t(fs::file_size(disk_ / "data.zip")), kDisk);
  ASSERT_EQ(drives_.Labels().size(), 3u);
  EXPECT_EQ(drives_.Labels()[0].second, u"pkback# 001");
  EXPECT_EQ(drives_.Labels()[1].second, u"pkback# 002");
  EXPECT_EQ(drives_.Labels()[2].second, u"pkback# 003");
  CheckWithInfoZip();

  // Read back, the reader asking for the disks it needs.
  dialogs_.ClearLog();
  TKavoMill reader;
  int heldWhileAsked = 0;
  dialogs_.onBox = [&](const MessageBoxRequest& box, size_t) {
    // No file on the disk may be open while the user is to take it out.
    heldWhileAsked += reader.ArchiveStream() != nullptr;
    size_t wanted = 0;
    if (box.text == u"Please insert the first disk") wanted = 1;
    if (box.text.starts_with(u"Please insert disk #")) wanted = size_t(box.text.back() - u'0');
    if (box.text == u"Please insert the last disk") wanted = 3;
    const fs::path last = root_.Host() / "last.zip";
    if (!fs::exists(last)) fs::copy_file(disk_ / "data.zip", last);
    if (wanted == 0) return;
    const fs::path volume =
        wanted <= shelves_.size()
            ? shelves_[wanted - 1] / ("data_00" + std::to_string(wanted) + ".zip")
            : last;
    // Removed first: the Windows runtime's copy does not overwrite.
    fs::remove(disk_ / "data.zip");
    fs::copy_file(volume, disk_ / "data.zip");
  };
  reader.SetFileName(a_.FileName());
  reader.OpenArchive(kOpenModeReadOnly);
  EXPECT_EQ(reader.SpanningMode(), smSpanning);
  reader.TestFiles(u"*.*", 10431, u"");
  EXPECT_EQ(reader.ProcessedCount(), 3);
  EXPECT_EQ(heldWhileAsked, 0);
}

// A disk put in without room enough is reported; another goes in.
TEST_F(SpannedWrite, FullDiskMidWayIsSwappedForAnother) {
  dialogs_.onBox = [this](const MessageBoxRequest& box, size_t) {
    if (box.text == u"Please insert a blank disk #2" && shelves_.empty())
      shelves_.push_back(drives_.Swap(disk_, 1000));  // a nearly full disk
    else if (box.text.starts_with(u"Disk is full."))
      drives_.SetCapacity(disk_, kDisk);  // the user cleans it
    else if (box.text == u"Please insert a blank disk #3")
      shelves_.push_back(drives_.Swap(disk_, kDisk));
  };
  Write();
  const std::vector<std::u16string> texts = Texts(dialogs_);
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[1], u"Please insert a blank disk #2");
  // No size limit: the least a volume takes is what the disk lacks.
  EXPECT_TRUE(texts[2].starts_with(
      u"Disk is full. Required free space: 65537 bytes, but available only: 1000 bytes."));
  EXPECT_EQ(texts[3], u"Please insert a blank disk #2");
  ASSERT_EQ(shelves_.size(), 2u);
  CheckWithInfoZip();
}

}  // namespace
}  // namespace km
