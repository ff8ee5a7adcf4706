#include "support/Paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/Exceptions.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string U8(const std::u16string& s) {
  return platform::WideToUtf8(s);
}

TEST(Paths, SeparatorsAndParts) {
  EXPECT_EQ(IncludeTrailingSeparator(u""), u"\\");
  EXPECT_EQ(IncludeTrailingSeparator(u"C:\\App"), u"C:\\App\\");
  EXPECT_EQ(IncludeTrailingSeparator(u"C:\\App\\"), u"C:\\App\\");
  EXPECT_EQ(ExcludeTrailingSeparator(u"C:\\App\\"), u"C:\\App");
  EXPECT_EQ(ExcludeTrailingSeparator(u"C:\\App\\\\"), u"C:\\App\\");  // one only
  EXPECT_EQ(ExcludeTrailingSeparator(u""), u"");
  EXPECT_EQ(DirOrDefault(u"", u"D:\\def"), u"D:\\def\\");
  EXPECT_EQ(DirOrDefault(u"C:\\App", u"D:\\def"), u"C:\\App\\");

  EXPECT_EQ(LastDirName(u"C:\\App\\"), u"App\\");
  EXPECT_EQ(LastDirName(u"C:\\App"), u"App\\");
  EXPECT_EQ(LastDirName(u""), u"");
  EXPECT_EQ(ParentDirOf(u"C:\\App\\"), u"C:\\");
  EXPECT_EQ(ParentDirOf(u"C:\\App\\sub"), u"C:\\App\\");
  EXPECT_EQ(ParentDirOf(u""), u"");

  struct Parts {
    const char16_t* path;
    const char16_t* name;
    const char16_t* dir;
    const char16_t* drive;
    const char16_t* ext;
  };
  const Parts table[] = {
      {u"C:\\App\\file.txt", u"file.txt", u"C:\\App\\", u"C:", u".txt"},
      {u"C:file.tar.gz", u"file.tar.gz", u"C:", u"C:", u".gz"},
      {u"C:\\dir.d\\noext", u"noext", u"C:\\dir.d\\", u"C:", u""},
      {u"\\\\srv\\share\\d\\f.x", u"f.x", u"\\\\srv\\share\\d\\", u"\\\\srv\\share", u".x"},
      {u"\\\\srv\\share", u"share", u"\\\\srv\\", u"\\\\srv\\share", u""},
      {u"rel\\a.b", u"a.b", u"rel\\", u"", u".b"},
      {u"plain", u"plain", u"", u"", u""},
      {u"", u"", u"", u"", u""},
      {u".hidden", u".hidden", u"", u"", u".hidden"},
  };
  for (const Parts& p : table) {
    EXPECT_EQ(ExtractFileName(p.path), p.name) << U8(p.path);
    EXPECT_EQ(ExtractFilePath(p.path), p.dir) << U8(p.path);
    EXPECT_EQ(ExtractFileDrive(p.path), p.drive) << U8(p.path);
    EXPECT_EQ(ExtractFileExt(p.path), p.ext) << U8(p.path);
  }

  EXPECT_TRUE(IsFloppyDrive(u"a:\\x"));
  EXPECT_TRUE(IsFloppyDrive(u"B:"));
  EXPECT_FALSE(IsFloppyDrive(u"C:\\"));
  EXPECT_FALSE(IsFloppyDrive(u"\\\\a\\b"));
  EXPECT_TRUE(IsRemovableDrive(u"A:\\"));
}

TEST(Paths, RelativePathFrom) {
  EXPECT_EQ(RelativePathFrom(u"C:\\App\\", u"C:\\App\\sub\\f.txt"), u"sub\\f.txt");
  EXPECT_EQ(RelativePathFrom(u"C:\\App\\", u"C:\\Other\\g.txt"), u"..\\Other\\g.txt");
  EXPECT_EQ(RelativePathFrom(u"C:\\App\\", u"D:\\x.txt"), u"D:\\x.txt");
  EXPECT_EQ(RelativePathFrom(u"c:\\APP\\arch.zip", u"C:\\app\\Sub\\f"), u"Sub\\f");
  EXPECT_EQ(RelativePathFrom(u"C:\\a\\b\\c\\", u"C:\\a\\x\\y.z"), u"..\\..\\x\\y.z");
  EXPECT_EQ(RelativePathFrom(u"C:\\App\\", u"C:\\App\\f"), u"f");
  EXPECT_EQ(RelativePathFrom(u"\\\\srv\\share\\d\\", u"\\\\SRV\\share\\d\\f"), u"f");
  // A share named without anything after it: its last '\' lies inside the
  // drive part. This used to throw std::out_of_range.
  EXPECT_EQ(RelativePathFrom(u"\\\\srv\\share", u"\\\\srv\\share\\x.txt"), u"x.txt");
  EXPECT_EQ(RelativePathFrom(u"\\\\srv\\share\\d\\", u"\\\\srv\\share"), u"..\\");
  EXPECT_EQ(RelativePathFrom(u"\\\\srv", u"\\\\srv"), u"");
  EXPECT_EQ(RelativePathFrom(u"C:", u"C:x.txt"), u"x.txt");
}

TEST(Paths, ResolvePath) {
  TempDir tmp;
  const std::u16string cwd = IncludeTrailingSeparator(GetCurrentDir());
  EXPECT_EQ(ResolvePath(u"", u"report.txt", u""), cwd + u"report.txt");
  // A dir holding a drive is returned as it is for an empty name.
  EXPECT_EQ(ResolvePath(u"C:\\App", u"", u"D:\\x"), u"C:\\App");
  // Names with a drive or a network name are kept.
  EXPECT_EQ(ResolvePath(u"C:\\App", u"E:\\f.txt", u""), u"E:\\f.txt");
  EXPECT_EQ(ResolvePath(u"C:\\App", u"\\\\srv\\s\\f", u""), u"\\\\srv\\s\\f");

  const std::u16string dir = tmp.Win();  // Z:\...\ on POSIX
  EXPECT_EQ(ResolvePath(dir, u"sub\\..\\a.txt", u""), dir + u"a.txt");
  EXPECT_EQ(ResolvePath(u"", u"b.txt", dir), dir + u"b.txt");
  EXPECT_EQ(ResolvePath(u"", u"", dir), dir);
  EXPECT_EQ(ResolvePath(u"", u"", u""), cwd);
}

// The file-system functions must reach a name through its wide form: this
// one has no representation in the 8-bit code page at all.
const std::string kWideName = "中文😀.txt";

TEST(FileQueries, ExistenceSizeTimeAndAttributes) {
  TempDir tmp;
  const std::u16string dir = tmp.Win();
  fs::path host = tmp.Write(kWideName, "12345");
  tmp.Write("a.txt", std::string(70000, 'x'));
  tmp.Write("?.txt", "decoy");  // what the 8-bit form of a name might become
  fs::create_directory(tmp.Host() / "sub");

  // A fixed modification time, so the DOS form is known exactly.
  const int64_t unixTime = 1589718896;  // 2020-05-17 12:34:56 UTC
  fs::last_write_time(host, std::chrono::file_clock::from_sys(
                                std::chrono::sys_seconds(std::chrono::seconds(unixTime))));
  const std::u16string wide = dir + platform::Utf8ToWide(kWideName);

  EXPECT_TRUE(FileExists(wide));
  EXPECT_EQ(FileSizeByName(wide), 5);
  EXPECT_EQ(FileModDosTime(wide), platform::UnixTimeToLocalDosTime(unixTime));
  EXPECT_EQ(FileSizeByName(dir + u"a.txt"), 70000);

  EXPECT_FALSE(FileExists(dir + u"sub"));
  EXPECT_FALSE(FileExists(dir + u"missing"));
  // Wildcards would let a listing report another file as this one.
  EXPECT_FALSE(FileExists(dir + u"a.tx?"));
  EXPECT_FALSE(FileExists(dir + u"*.txt"));
  EXPECT_TRUE(DirectoryExists(dir + u"sub"));
  EXPECT_TRUE(DirectoryExists(dir + u"sub\\"));
  EXPECT_FALSE(DirectoryExists(wide));
  EXPECT_EQ(FileModDosTime(dir + u"sub"), kInvalidDosTime);
  EXPECT_EQ(FileModDosTime(dir + u"missing"), kInvalidDosTime);
  EXPECT_EQ(FileSizeByName(dir + u"missing"), 0);
  EXPECT_EQ(GetFileAttr(dir + u"missing"), 0xFFFFFFFFu);

  EXPECT_EQ(GetFileAttr(wide) & platform::faDirectory, 0u);
  EXPECT_TRUE(SetFileAttr(wide, platform::faReadOnly | platform::faArchive));
  EXPECT_NE(GetFileAttr(wide) & platform::faReadOnly, 0u);
  EXPECT_TRUE(SetFileAttr(wide, platform::faArchive));
  EXPECT_EQ(GetFileAttr(wide) & platform::faReadOnly, 0u);
}

TEST(FileQueries, MakeDirPath) {
  TempDir tmp;
  const std::u16string dir = tmp.Win();
  try {
    MakeDirPath(u"");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Невозможно создать каталог");
  }

  const std::u16string deep = dir + platform::Utf8ToWide("x\\ü\\😀\\z\\");
  EXPECT_TRUE(MakeDirPath(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(MakeDirPath(deep));  // already there
  EXPECT_TRUE(MakeDirPath(ExtractFileDrive(dir) + u"\\"));

  tmp.Write("file", "f");
  EXPECT_FALSE(MakeDirPath(dir + u"file\\below"));
  // A doubled separator has no shorter parent: not a success unless it exists.
  EXPECT_FALSE(MakeDirPath(dir + u"odd\\\\"));
  EXPECT_FALSE(DirectoryExists(dir + u"odd"));
  // A path of nothing but separators never shortens: it must end, and fail.
  EXPECT_FALSE(MakeDirPath(std::u16string(50, u'\\')));
}

TEST(FileQueries, RemoveDirTreeRemovesDirectoriesButNeverFiles) {
  TempDir tmp;
  const std::u16string dir = tmp.Win();
  fs::create_directories(tmp.Host() / "t" / "a" / "b" / "c");
  fs::create_directories(tmp.Host() / "t" / ".hidden" / "d");
  fs::create_directories(tmp.Host() / "t" / "e");
  EXPECT_TRUE(RemoveDirTree(dir + u"t\\"));
  EXPECT_FALSE(fs::exists(tmp.Host() / "t"));

  fs::create_directories(tmp.Host() / "u" / "a" / "b");
  fs::create_directories(tmp.Host() / "u" / "empty");
  tmp.Write("u/a/b/" + kWideName, "keep");
  EXPECT_FALSE(RemoveDirTree(dir + u"u\\"));
  EXPECT_TRUE(fs::exists(tmp.Host() / "u" / "a" / "b" / fs::path(u8"中文😀.txt")));

  EXPECT_TRUE(RemoveDirTree(dir + u"never-was\\"));  // nothing left to remove

  // Without the trailing separator the tree is still the one removed, and a
  // sibling sharing its prefix (here with an empty "v" inside) stays.
  fs::create_directories(tmp.Host() / "v" / "w");
  fs::create_directories(tmp.Host() / "vv" / "v");
  EXPECT_TRUE(RemoveDirTree(dir + u"v"));
  EXPECT_FALSE(fs::exists(tmp.Host() / "v"));
  EXPECT_TRUE(fs::exists(tmp.Host() / "vv" / "v"));
}

TEST(FileQueries, RemoveDirTreeNeverFollowsDirectoryLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "folder links need a privilege on Windows, and Wine makes none";
#else
  TempDir tmp;
  const std::u16string dir = tmp.Win();
  // Empty folders outside the tree, reached through a link inside it, and a
  // link back up that would loop.
  fs::create_directories(tmp.Host() / "outside" / "empty");
  fs::create_directories(tmp.Host() / "tree" / "sub");
  fs::create_directory_symlink(tmp.Host() / "outside", tmp.Host() / "tree" / "sub" / "out");
  fs::create_directory_symlink(tmp.Host() / "tree", tmp.Host() / "tree" / "up");
  EXPECT_FALSE(RemoveDirTree(dir + u"tree\\"));  // the links stay, so the tree does too
  EXPECT_TRUE(fs::exists(tmp.Host() / "outside" / "empty"));
  EXPECT_TRUE(fs::is_symlink(tmp.Host() / "tree" / "up"));
#endif
}

}  // namespace
}  // namespace km
