#include "platform/IniFile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/TempDir.h"
#include "platform/HostPath.h"

namespace km::platform {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::filesystem::path Host(const char* name) const { return dir_.Host() / name; }
  std::u16string Windows(const char* name) const { return ToWindowsView(Host(name)); }

  void Put(const char* name, const std::string& bytes) const {
    std::ofstream(Host(name), std::ios::binary) << bytes;
  }
  std::string Get(const char* name) const {
    std::ifstream in(Host(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  test::TempDir dir_;
};

TEST_F(IniFileTest, MissingFileReadsEmptyAndIsCreatedOnUpdate) {
  IniFile ini(Windows("Pelko.ini"));
  EXPECT_FALSE(ini.SectionExists("Pelko"));
  EXPECT_EQ(ini.ReadString("Pelko", "ArchiveName", "default"), "default");

  ini.WriteString("Pelko", "ArchiveName", "Z:\\tmp\\a.zip");
  EXPECT_TRUE(ini.SectionExists("pelko"));
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(Get("Pelko.ini"), "[Pelko]\r\nArchiveName=Z:\\tmp\\a.zip\r\n");

  IniFile again(Windows("Pelko.ini"));
  EXPECT_EQ(again.ReadString("Pelko", "ArchiveName", ""), "Z:\\tmp\\a.zip");
}

TEST_F(IniFileTest, LookupIgnoresAsciiCaseAndKeepsValuesVerbatim) {
  Put("a.ini",
      "[Pelko]\r\n"
      "  ArchiveName  = a=b.zip \r\n"
      "archivename=second\n"
      "Empty=\n"
      "[Other]\n"
      "key=other\n");
  IniFile ini(Windows("a.ini"));
  EXPECT_TRUE(ini.SectionExists("PELKO"));
  EXPECT_TRUE(ini.SectionExists("other"));
  EXPECT_FALSE(ini.SectionExists("Pelk"));
  // Everything after the first '=', spaces included; the first of two wins.
  EXPECT_EQ(ini.ReadString("pelko", "ARCHIVENAME", "x"), " a=b.zip ");
  EXPECT_EQ(ini.ReadString("Pelko", "Empty", "x"), "");
  EXPECT_EQ(ini.ReadString("Pelko", "key", "x"), "x");
  EXPECT_EQ(ini.ReadString("OTHER", "Key", "x"), "other");
}

TEST_F(IniFileTest, RewritePreservesCommentsAndOtherLines) {
  Put("a.ini",
      "; settings\r\n"
      "\r\n"
      "[Pelko]\r\n"
      "; the archive\r\n"
      "ArchiveName=old.zip\r\n"
      "not a key line\r\n"
      "\r\n"
      "[Other]\r\n"
      "x=1");
  IniFile ini(Windows("a.ini"));
  ini.WriteString("PELKO", "archiveName", "new.zip");
  ini.WriteString("Pelko", "Added", "2");
  ini.WriteString("Other", "y", "3");
  ini.WriteString("New", "z", "4");
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(Get("a.ini"),
            "; settings\r\n"
            "\r\n"
            "[Pelko]\r\n"
            "; the archive\r\n"
            "archiveName=new.zip\r\n"
            "not a key line\r\n"
            "Added=2\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "y=3\r\n"
            "\r\n"
            "[New]\r\n"
            "z=4\r\n");
}

// A key that appears twice, or in a section that appears twice, must go
// everywhere: the copy left behind would be read in its place.
TEST_F(IniFileTest, DeleteKeyRemovesEveryCopyAndNothingElse) {
  Put("a.ini",
      "[Pelko]\r\n"
      "ArchiveName=a.zip\r\n"
      "; ArchiveNameUtf8=a comment stays\r\n"
      " archivenameutf8 = one\r\n"
      "ArchiveNameUtf8X=other key\r\n"
      "\r\n"
      "[Other]\r\n"
      "ArchiveNameUtf8=other section\r\n"
      "[pelko]\r\n"
      "ArchiveNameUtf8=two\r\n");
  IniFile ini(Windows("a.ini"));
  ini.DeleteKey("PELKO", "ArchiveNameUtf8");
  ini.DeleteKey("Missing", "ArchiveNameUtf8");
  EXPECT_EQ(ini.ReadString("Pelko", "ArchiveNameUtf8", "gone"), "gone");
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(Get("a.ini"),
            "[Pelko]\r\n"
            "ArchiveName=a.zip\r\n"
            "; ArchiveNameUtf8=a comment stays\r\n"
            "ArchiveNameUtf8X=other key\r\n"
            "\r\n"
            "[Other]\r\n"
            "ArchiveNameUtf8=other section\r\n"
            "[pelko]\r\n");
}

TEST_F(IniFileTest, CyrillicBytesArePreserved) {
  const std::string value = "Z:\\\xC0\xF0\xF5\xE8\xE2\\\xE0\xF0\xF5\xE8\xE2.zip";  // Архив\архив
  {
    IniFile ini(Windows("a.ini"));
    ini.WriteString("Pelko", "ArchiveName", value);
    ASSERT_TRUE(ini.UpdateFile());
  }
  EXPECT_NE(Get("a.ini").find(value), std::string::npos);
  EXPECT_EQ(IniFile(Windows("a.ini")).ReadString("Pelko", "ArchiveName", ""), value);
}

TEST_F(IniFileTest, LineBreaksInAValueCannotCorruptTheFile) {
  IniFile ini(Windows("a.ini"));
  ini.WriteString("Pelko", "ArchiveName", "a\r\n[Evil]\nb");
  ini.WriteString("Pelko", "Next", "1");
  ASSERT_TRUE(ini.UpdateFile());
  IniFile again(Windows("a.ini"));
  EXPECT_FALSE(again.SectionExists("Evil"));
  EXPECT_EQ(again.ReadString("Pelko", "ArchiveName", ""), "a  [Evil] b");
  EXPECT_EQ(again.ReadString("Pelko", "Next", ""), "1");
}

TEST_F(IniFileTest, UpdateReportsFailure) {
  // A directory where the file should be.
  std::filesystem::create_directory(Host("dir.ini"));
  IniFile onDirectory(Windows("dir.ini"));
  onDirectory.WriteString("a", "b", "c");
  EXPECT_FALSE(onDirectory.UpdateFile());

#ifndef _WIN32
  // POSIX only: a drive other than the host's, FIFOs and permission bits.
  // A path outside the host drive.
  IniFile elsewhere(u"C:\\Pelko.ini");
  EXPECT_FALSE(elsewhere.SectionExists("a"));
  elsewhere.WriteString("a", "b", "c");
  EXPECT_FALSE(elsewhere.UpdateFile());

  // A FIFO is neither read (it would block) nor written.
  ASSERT_EQ(mkfifo(Host("fifo.ini").c_str(), 0600), 0);
  IniFile fifo(Windows("fifo.ini"));
  EXPECT_FALSE(fifo.SectionExists("a"));
  EXPECT_FALSE(fifo.UpdateFile());

  if (geteuid() != 0) {  // root writes anywhere
    std::filesystem::create_directory(Host("ro"));
    std::filesystem::permissions(
        Host("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    IniFile readOnly(Windows("ro/a.ini"));
    readOnly.WriteString("a", "b", "c");
    EXPECT_FALSE(readOnly.UpdateFile());
    std::filesystem::permissions(Host("ro"), std::filesystem::perms::owner_all);
  }
#endif
}

}  // namespace
}  // namespace km::platform
