// What the Win32 backend gets from Windows itself and the POSIX backend only
// imitates: share modes and byte locks of real handles, short names,
// paths past the old length limit, 100 ns file times, the system's code
// pages. Run under Wine (or on Windows); empty elsewhere.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "platform/win32/Win32.h"

namespace km::platform {
namespace {

class Win32Test : public ::testing::Test {
 protected:
  std::u16string Path(const std::u16string& name) const { return dir_.Win(name); }

  static void Make(const std::u16string& path, std::string_view bytes) {
    File f;
    ASSERT_EQ(
        f.Open(path, FileAccess::Write, FileShare::DenyNone, FileDisposition::CreateAlways, bytes),
        0);
  }

  static std::vector<std::u16string> List(const std::u16string& pattern) {
    std::vector<std::u16string> names;
    FindHandle h;
    FindData d;
    for (int rc = FindFirst(pattern, h, d); rc == 0; rc = FindNext(h, d)) names.push_back(d.name);
    FindClose(h);
    return names;
  }

  test::TempDir dir_;
};

// An archive being rewritten (a handle that denies writes) keeps out every
// reader that takes the shared lock, and every writer; readers that hold
// the lock keep out the next rewrite. Share modes alone let such a reader in.
TEST_F(Win32Test, ShareModesAndTheSharedLockKeepRewritesAndReadersApart) {
  const std::u16string f = Path(u"archive.zip");
  File writer;
  ASSERT_EQ(writer.Open(f, FileAccess::ReadWrite, FileShare::DenyWrite,
                        FileDisposition::CreateAlways, "abc"),
            0);

  File reader;
  ASSERT_EQ(reader.Open(f, FileAccess::Read, FileShare::DenyNone, FileDisposition::OpenExisting),
            0);
  EXPECT_FALSE(reader.LockShared());
  EXPECT_EQ(reader.LastError(), kErrorSharingViolation);
  File other;
  EXPECT_EQ(
      other.Open(f, FileAccess::ReadWrite, FileShare::DenyNone, FileDisposition::OpenExisting),
      kErrorSharingViolation);
  EXPECT_EQ(other.Open(f, FileAccess::Read, FileShare::DenyWrite, FileDisposition::OpenExisting),
            kErrorSharingViolation);
  // Any program that wants to write is refused by the system itself.
  {
    win32::ScopedHandle raw(::CreateFileW(win32::Wide(f).c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(raw.Valid());
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  }

  writer.Close();
  EXPECT_TRUE(reader.LockShared());
  File second;
  ASSERT_EQ(second.Open(f, FileAccess::Read, FileShare::DenyNone, FileDisposition::OpenExisting),
            0);
  EXPECT_TRUE(second.LockShared());
  EXPECT_EQ(other.Open(f, FileAccess::Read, FileShare::DenyWrite, FileDisposition::OpenExisting),
            kErrorSharingViolation);
  reader.Close();
  second.Close();
  EXPECT_EQ(other.Open(f, FileAccess::Read, FileShare::DenyWrite, FileDisposition::OpenExisting),
            0);
  other.Close();

  // A plain writer keeps out a handle that would deny writes.
  File plain;
  ASSERT_EQ(plain.Open(f, FileAccess::Write, FileShare::DenyNone, FileDisposition::OpenExisting),
            0);
  EXPECT_EQ(other.Open(f, FileAccess::Read, FileShare::DenyWrite, FileDisposition::OpenExisting),
            kErrorSharingViolation);
}

// A mask finds only what it plainly says: the system's own matching would
// also try the 8.3 short names and the DOS rules ("a?" finding "a").
TEST_F(Win32Test, MasksIgnoreShortNamesAndDosRules) {
  for (const char16_t* name : {u"a", u"ab", u"LONGFILENAME.text"}) Make(Path(name), "12345");
  EXPECT_EQ(List(Path(u"a?")), std::vector<std::u16string>{u"ab"});
  EXPECT_EQ(List(Path(u"LONGFI~1.TEX")), std::vector<std::u16string>{});
  EXPECT_EQ(List(Path(u"*.tex")), std::vector<std::u16string>{});
  EXPECT_EQ(List(Path(u"*.TEXT")), std::vector<std::u16string>{u"LONGFILENAME.text"});
  FileLookup lookup;
  int error = 0;
  EXPECT_EQ(lookup.Find(Path(u"b*"), error), FileLookup::State::Missing);
  EXPECT_EQ(lookup.Find(Path(u"AB"), error), FileLookup::State::File);
}

TEST_F(Win32Test, IdentityFollowsTheFileNotThePath) {
  Make(Path(u"c"), "1");
  Make(Path(u"b"), "2");
  ASSERT_TRUE(CreateDirectory(Path(u"sub")));
  FileIdentity one, same, upper, other;
  EXPECT_TRUE(IdentityOf(Path(u"c"), one));
  EXPECT_TRUE(IdentityOf(Path(u"sub\\..\\c"), same));
  EXPECT_TRUE(IdentityOf(Path(u"C"), upper));
  EXPECT_TRUE(IdentityOf(Path(u"b"), other));
  EXPECT_EQ(one, same);
  EXPECT_EQ(one, upper);
  EXPECT_NE(one, other);
  EXPECT_FALSE(IdentityOf(Path(u"missing"), other));
}

// Past the old 260-character limit every call still works: the backend
// spells such paths with "\\?\" itself.
TEST_F(Win32Test, LongPathsWorkInEveryCall) {
  std::u16string dir = dir_.Win();
  dir.pop_back();
  std::vector<std::u16string> made;
  while (dir.size() < 400) {
    dir += u"\\" + std::u16string(40, u'd');
    ASSERT_TRUE(CreateDirectory(dir)) << dir.size();
    made.push_back(dir);
  }
  const std::u16string f = dir + u"\\file.txt";
  File lf;
  ASSERT_EQ(lf.Open(f, FileAccess::Write, FileShare::DenyWrite, FileDisposition::CreateNew, "long"),
            0);
  lf.Close();
  EXPECT_NE(GetAttributes(f), kInvalidAttributes);
  EXPECT_TRUE(SetAttributes(f, faArchive | faHidden));
  EXPECT_EQ(List(dir + u"\\*.txt"), std::vector<std::u16string>{u"file.txt"});
  const uint32_t dos = (44u << 25 | 3u << 21 | 7u << 16) | (10u << 11 | 30u << 5 | 4u);
  uint32_t back = 0;
  EXPECT_TRUE(SetFileDosTime(f, dos));
  EXPECT_TRUE(GetFileDosTime(f, back));
  EXPECT_EQ(back, dos);
  std::u16string temp;
  EXPECT_EQ(CreateTempFile(dir, u"FC", temp), 0);
  EXPECT_EQ(temp.rfind(dir + u"\\FC", 0), 0u);
  EXPECT_TRUE(DeleteFile(temp));
  EXPECT_TRUE(MoveFile(f, dir + u"\\moved.txt"));
  EXPECT_TRUE(DeleteFile(dir + u"\\moved.txt"));
  for (auto it = made.rbegin(); it != made.rend(); ++it) EXPECT_TRUE(RemoveDirectory(*it));
}

// NTFS keeps write times to the 100 ns, and so does the backend.
TEST_F(Win32Test, ExactWriteTimesKeepEveryTick) {
  const std::u16string f = Path(u"t.txt");
  Make(f, "");
  int64_t fileTime = 0;
  EXPECT_TRUE(SetFileWriteTime(f, 133000000001234567));
  EXPECT_TRUE(GetFileWriteTime(f, fileTime));
  EXPECT_EQ(fileTime, 133000000001234567);
  EXPECT_FALSE(SetFileWriteTime(f, 0));
  EXPECT_FALSE(SetFileDosTime(f, 0));  // month 0 is no date
}

// The system's pages (1251 and 866 in a Russian locale) give the same bytes
// as the fixed tables of other hosts: '?' for what they cannot hold, never
// a "best fit" look-alike that could put a real '/' or '.' into a name.
TEST(Win32CodePageTest, SystemPagesGiveNoBestFitLookAlikes) {
  EXPECT_EQ(::GetACP(), 1251u);
  EXPECT_EQ(::GetOEMCP(), 866u);
  EXPECT_EQ(WideToAnsi(u"\uFF0F..\uFF0Fx"), "?..?x");  // fullwidth solidus
  EXPECT_EQ(WideToAnsi(u"\u2024\u2215"), "??");        // one-dot leader, division slash
  EXPECT_EQ(WideToOem(u"\u00E9\u00C5"), "??");
  EXPECT_EQ(AnsiToWide("\x98"), u"\u0098");  // the page's one hole
}

TEST(Win32SystemTest, ExecutableIsTheRunningExe) {
  const std::u16string exe = ExecutableFileName();
  EXPECT_EQ(WideLowerCase(exe.substr(exe.size() - 4)), u".exe");
  EXPECT_NE(GetAttributes(exe), kInvalidAttributes);
}

}  // namespace
}  // namespace km::platform

#endif  // _WIN32
