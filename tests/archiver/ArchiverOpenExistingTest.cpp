#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "../zipformat/ZipBuilder.h"
#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"

namespace km {
namespace {

using test::ReadHostFile;
using test::TempDir;
using test::WriteHostFile;

bool Have(const char* probe) {
  return std::system((std::string(probe) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quoted(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

using test::NativeOf;

TEST(ArchiverOpenExisting, ReadsTheDirectoryOfAnExistingArchive) {
  TempDir dir;
  test::ZipBuilder z;
  z.prefix = std::string(1000, 'S');
  z.offsetsFromZipStart = true;
  z.archiveComment = "kept";
  z.Add("a.txt", "alpha").Add("sub/", "").Add("sub/b.txt", "beta");
  const test::BuiltZip built = z.Build();
  WriteHostFile(dir.Host(u"in.zip"), built.bytes);

  TKavoMill a;
  a.SetFileName(dir.Win(u"in.zip"));
  a.OpenArchive();
  ASSERT_TRUE(a.ArchiveOpen());
  EXPECT_EQ(a.OpenMode(), 0x0022);
  EXPECT_EQ(a.SpanningMode(), smNone);
  const TKMDirManager& m = *a.DirManager();
  ASSERT_EQ(m.CurrentDir().Count(), 3);
  EXPECT_EQ(m.StubSize(), 1000);
  EXPECT_EQ(m.ArchiveComment(), "kept");
  for (int32_t i = 0; i < 3; ++i)
    EXPECT_EQ(m.CurrentDir().GetItem(i).LocalHeaderOffset, built.localOffsets[size_t(i)]);
  EXPECT_EQ(m.CurrentDir().FindItem(u"sub/b.txt"), 2);
  // Nothing changed, nothing written.
  a.BeginUpdate();
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"in.zip")), built.bytes);

  // An end record alone.
  WriteHostFile(dir.Host(u"empty.zip"), test::ZipBuilder().Build().bytes);
  a.SetFileName(dir.Win(u"empty.zip"));
  a.OpenArchive();
  EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 0);
  EXPECT_EQ(a.DirManager()->StubSize(), 0);
  a.CloseArchive();
  EXPECT_EQ(std::filesystem::file_size(dir.Host(u"empty.zip")), 22u);
}

TEST(ArchiverOpenExisting, DamageIsRecoveredOrReportedAndLeavesItClosed) {
  TempDir dir;
  // A cut archive comes back through its local headers.
  test::ZipBuilder z;
  z.Add("one.txt", "1111").Add("two.txt", "2222");
  const test::BuiltZip built = z.Build();
  WriteHostFile(dir.Host(u"cut.zip"), built.bytes.substr(0, built.centralDirOffset + 10));
  TKavoMill a;
  a.SetFileName(dir.Win(u"cut.zip"));
  a.OpenArchive();
  ASSERT_EQ(a.DirManager()->CurrentDir().Count(), 2);
  EXPECT_EQ(a.DirManager()->CentralDirOffset(), int64_t(built.centralDirOffset + 10));
  a.CloseArchive();

  // Not an archive at all: native code 35, closed, the file free again.
  WriteHostFile(dir.Host(u"junk.zip"), std::string(3000, 'j'));
  a.SetFileName(dir.Win(u"junk.zip"));
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(); }), 35);
  EXPECT_FALSE(a.ArchiveOpen());
  EXPECT_EQ(a.ArchiveStream(), nullptr);
  EXPECT_EQ(a.DirManager(), nullptr);
  EXPECT_TRUE(a.TolerateDamage());
  EXPECT_EQ(ReadHostFile(dir.Host(u"junk.zip")), std::string(3000, 'j'));
}

TEST(ArchiverOpenExisting, PeersReadTheDirectoriesWeWrite) {
  if (!Have("python3 -c 'import zipfile, zlib'") || !Have("unzip -v"))
    GTEST_SKIP() << "python3 zipfile or unzip is missing";
  TempDir dir;

  // Ours: a new archive closed without entries.
  {
    TKavoMill a;
    a.SetFileName(dir.Win(u"new.zip"));
    a.OpenArchive();
    a.CloseArchive();
  }
  // unzip tests an empty archive with a warning and status 1, never an error.
  EXPECT_EQ(std::system(
                ("unzip -t " + Quoted(dir.Host(u"new.zip")) + " 2>&1 | grep -q 'zipfile is empty'")
                    .c_str()),
            0);

  // Theirs: stored, deflated, a folder, a non-ASCII name, a comment.
  const std::filesystem::path peer = dir.Host(u"peer.zip");
  const std::string make =
      "python3 -c 'import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
      "  z.writestr(\"stored.txt\", \"s\" * 300)\n"
      "  z.writestr(\"deep/deflated.txt\", \"d\" * 5000, zipfile.ZIP_DEFLATED)\n"
      "  z.writestr(\"deep/\", \"\")\n"
      "  z.writestr(\"deep/\\u041f\\u0440\\u0438.txt\", \"cyr\")\n"
      "  z.comment = b\"peer comment\"\n' " +
      Quoted(peer);
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string names =
      "python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).namelist())' ";
  const std::filesystem::path before = dir.Host(u"names-before.txt");
  ASSERT_EQ(std::system((names + Quoted(peer) + " > " + Quoted(before)).c_str()), 0);

  {
    TKavoMill a;
    a.SetFileName(dir.Win(u"peer.zip"));
    a.OpenArchive();
    TKMDirManager& m = *a.DirManager();
    ASSERT_EQ(m.CurrentDir().Count(), 4);
    EXPECT_EQ(m.CurrentDir().FindItem(u"deep/\u041F\u0440\u0438.txt"), 3);
    // Cut the old directory away and write ours in its place.
    a.ArchiveStream()->SetSize(m.CentralDirOffset());
    m.WriteCentralDir(a.ArchiveStream());
    a.CloseArchive();
  }
  EXPECT_EQ(std::system(("unzip -tq " + Quoted(peer) + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(std::system(("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                         "sys.exit(0 if z.testzip() is None and z.comment == b\"peer comment\" "
                         "else 1)' " +
                         Quoted(peer))
                            .c_str()),
            0);
  const std::filesystem::path after = dir.Host(u"names-after.txt");
  ASSERT_EQ(std::system((names + Quoted(peer) + " > " + Quoted(after)).c_str()), 0);
  EXPECT_EQ(ReadHostFile(after), ReadHostFile(before));
}

}  // namespace
}  // namespace km

namespace km {
namespace {

// 70,000 entries need the Zip64 end records on both sides: python writes
// them, and the directory we write in their place must carry them too.
TEST(ArchiverOpenExisting, PeersReadADirectoryOf70000EntriesWeRewrote) {
  if (!Have("python3 -c 'import zipfile'") || !Have("unzip -v"))
    GTEST_SKIP() << "python3 zipfile or unzip is missing";
  TempDir dir;
  const std::filesystem::path peer = dir.Host(u"many.zip");
  ASSERT_EQ(std::system(("python3 -c 'import sys, zipfile\n"
                         "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
                         "  for i in range(70000):\n"
                         "    z.writestr(\"d%03d/f%05d.txt\" % (i % 100, i), str(i))\n"
                         "  z.comment = b\"many\"\n' " +
                         Quoted(peer))
                            .c_str()),
            0);
  // Everything a reader relies on, one line per entry.
  const std::string listing =
      "python3 -c 'import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.comment == b\"many\"\n"
      "for i in z.infolist():\n"
      "  print(i.filename, i.CRC, i.file_size, i.compress_size, i.header_offset)\n' ";
  const std::filesystem::path before = dir.Host(u"before.txt");
  ASSERT_EQ(std::system((listing + Quoted(peer) + " > " + Quoted(before)).c_str()), 0);

  {
    TKavoMill a;
    a.SetFileName(dir.Win(u"many.zip"));
    a.OpenArchive();
    TKMDirManager& m = *a.DirManager();
    ASSERT_EQ(m.CurrentDir().Count(), 70000);
    EXPECT_EQ(m.CurrentDir().FindItem(u"d042/f69942.txt"), 69942);
    a.ArchiveStream()->SetSize(m.CentralDirOffset());
    m.WriteCentralDir(a.ArchiveStream());
    EXPECT_EQ(m.EndRecord().TotalEntries, 0xFFFF);
    a.CloseArchive();
  }
  EXPECT_EQ(std::system(("unzip -tq " + Quoted(peer) + " >/dev/null 2>&1").c_str()), 0);
  const std::filesystem::path after = dir.Host(u"after.txt");
  ASSERT_EQ(std::system((listing + Quoted(peer) + " > " + Quoted(after)).c_str()), 0);
  EXPECT_EQ(ReadHostFile(after), ReadHostFile(before));
}

}  // namespace
}  // namespace km
