// The archive name in Pelko.ini, as both front ends read and write it:
// "ArchiveName" in code page 1251 for every copy of the program, and
// "ArchiveNameUtf8" for a name 1251 cannot hold.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "common/TempDir.h"
#include "frontend/ArchiverSetup.h"
#include "platform/HostPath.h"
#include "platform/IniFile.h"

namespace pelko {
namespace {

namespace fs = std::filesystem;
using km::platform::IniFile;

class ArchiveNameTest : public ::testing::Test {
 protected:
  std::u16string Settings() const { return km::ToWindowsView(dir_.Host() / "Pelko.ini"); }
  std::string Bytes() const {
    std::ifstream in(dir_.Host() / "Pelko.ini", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Put(const std::string& bytes) const {
    std::ofstream(dir_.Host() / "Pelko.ini", std::ios::binary | std::ios::trunc) << bytes;
  }
  // Stores the name the way the window does, then reads the file again.
  std::u16string RoundTrip(const std::u16string& name) const {
    IniFile settings(Settings());
    WriteArchiveName(settings, name);
    EXPECT_TRUE(settings.UpdateFile());
    return ReadArchiveName(Settings());
  }

  km::test::TempDir dir_;
};

TEST_F(ArchiveNameTest, NamesOutsideCodePage1251RoundTripWhole) {
  // 1251 keeps what it can; the older copies read "M?ller" there.
  EXPECT_EQ(RoundTrip(u"/home/user/Müller/backup.zip"), u"/home/user/Müller/backup.zip");
  EXPECT_EQ(Bytes(),
            "[Pelko]\r\nArchiveName=/home/user/M?ller/backup.zip\r\n"
            "ArchiveNameUtf8=/home/user/M\xC3\xBCller/backup.zip\r\n");

  // CJK, an emoji outside the BMP, Cyrillic in the same name.
  const std::u16string mixed = u"/srv/備份/Архив 😀.zip";
  EXPECT_EQ(RoundTrip(mixed), mixed);
  EXPECT_EQ(Bytes(),
            "[Pelko]\r\nArchiveName=/srv/?\?/\xC0\xF0\xF5\xE8\xE2 ?\?.zip\r\n"
            "ArchiveNameUtf8=/srv/\xE5\x82\x99\xE4\xBB\xBD/"
            "\xD0\x90\xD1\x80\xD1\x85\xD0\xB8\xD0\xB2 \xF0\x9F\x98\x80.zip\r\n");
}

TEST_F(ArchiveNameTest, ANameThatFits1251WritesNoUtf8KeyAndDropsAStaleOne) {
  Put("; kept\r\n[Pelko]\r\nArchiveName=/a/M?ller.zip\r\nArchiveNameUtf8=/a/M\xC3\xBCller.zip\r\n"
      "Other=1\r\n");
  EXPECT_EQ(RoundTrip(u"/a/Архив.zip"), u"/a/Архив.zip");
  EXPECT_EQ(Bytes(), "; kept\r\n[Pelko]\r\nArchiveName=/a/\xC0\xF0\xF5\xE8\xE2.zip\r\nOther=1\r\n");
}

TEST_F(ArchiveNameTest, WhichKeyIsRead) {
  // What the window writes: the UTF-8 name over its 1251 form.
  Put("[Pelko]\r\nArchiveName=/a/M?ller.zip\r\nArchiveNameUtf8=/a/M\xC3\xBCller.zip\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"/a/Müller.zip");
  // In either order, and written by hand without the 1251 form.
  Put("[Pelko]\r\narchivenameutf8=/a/M\xC3\xBCller.zip\r\nArchiveName=/a/M?ller.zip\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"/a/Müller.zip");
  Put("[Pelko]\r\nArchiveNameUtf8=/a/\xE8\xB3\x87\xE6\x96\x99.zip\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"/a/資料.zip");

  // A copy of the program that knows only ArchiveName stored a newer name
  // and left the UTF-8 one as it was: the newer name counts.
  Put("[Pelko]\r\nArchiveName=/b/\xC0\xF0\xF5\xE8\xE2.zip\r\nArchiveNameUtf8=/a/"
      "M\xC3\xBCller.zip\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"/b/Архив.zip");
  // Bytes that are no UTF-8 (saved by a 1251 editor) name no file of ours.
  Put("[Pelko]\r\nArchiveName=/a/\xC0.zip\r\nArchiveNameUtf8=/a/\xC0.zip\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"/a/\u0410.zip");
  Put("[Pelko]\r\nArchiveName=\r\nArchiveNameUtf8=\r\n");
  EXPECT_EQ(ReadArchiveName(Settings()), u"");
  fs::remove(dir_.Host() / "Pelko.ini");
  EXPECT_EQ(ReadArchiveName(Settings()), u"");
}

TEST_F(ArchiveNameTest, ArchiveFileKeepsTheWholeName) {
#ifndef _WIN32
  // A host path as a POSIX user types it.
  EXPECT_EQ(ArchiveFileFromName(u"/home/user/Müller/備份.zip", u"Z:\\prog"),
            u"Z:\\home\\user\\Müller\\備份.zip");
#endif
  EXPECT_EQ(ArchiveFileFromName(u"Müller.zip", u"Z:\\prog"), u"Z:\\prog\\Müller.zip");
  EXPECT_EQ(ArchiveFileFromName(u"Z:\\a\\Müller.zip", u"Z:\\prog"), u"Z:\\a\\Müller.zip");
  EXPECT_EQ(ArchiveFileFromName(u"", u"Z:\\prog"), u"");
}

}  // namespace
}  // namespace pelko
