// Archives on removable disks, played by folders (common/RemovableDrives.h):
// what the archiver sees of the disk, the requests it makes while a disk is
// full or missing, and the label of a spanned disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
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
  EXPECT_EQ(drives_.Labels()[0].first, u"Z:\\");
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

}  // namespace
}  // namespace km
