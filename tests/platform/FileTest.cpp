#include "platform/File.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <utility>

#include "common/HeldElsewhere.h"
#include "common/TempDir.h"
#include "platform/FileSystem.h"

namespace km::platform {
namespace {

using test::ReadHostFile;
using test::TempDir;

int OpenFile(File& file, const std::u16string& path, FileAccess access, FileShare share,
             FileDisposition disposition = FileDisposition::OpenExisting) {
  return file.Open(path, access, share, disposition);
}

TEST(FileTest, ReadWriteSeekAndSize) {
  TempDir dir;
  const std::u16string name = dir.Win() + u"data.bin";
  File file;
  ASSERT_EQ(
      OpenFile(file, name, FileAccess::ReadWrite, FileShare::DenyWrite, FileDisposition::CreateNew),
      0);
  EXPECT_EQ(file.Write("hello world", 11), 11);
  EXPECT_EQ(file.Position(), 11);
  EXPECT_EQ(file.Size(), 11);
  ASSERT_TRUE(file.Seek(6));
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 5);  // short read at the end
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(file.Read(buffer, -1), -1);
  EXPECT_EQ(file.LastError(), kErrorInvalidParameter);

  // Resizing keeps the position.
  ASSERT_TRUE(file.Seek(3));
  ASSERT_TRUE(file.SetSize(1000));
  EXPECT_EQ(file.Size(), 1000);
  EXPECT_EQ(file.Position(), 3);
  ASSERT_TRUE(file.SetSize(5));
  EXPECT_EQ(file.Position(), 3);

  // Moving hands the handle over; the moved-from file is closed.
  File moved(std::move(file));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buffer, 1), -1);
  EXPECT_EQ(file.LastError(), kErrorInvalidHandle);
  File assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(assigned.Size(), 5);
  assigned.Close();
  EXPECT_EQ(ReadHostFile(FromWindowsView(name)), "hello");

  EXPECT_EQ(
      OpenFile(file, name, FileAccess::Write, FileShare::DenyNone, FileDisposition::CreateNew),
      kErrorFileExists);
  EXPECT_EQ(OpenFile(file, dir.Win() + u"missing", FileAccess::Read, FileShare::DenyNone),
            kErrorFileNotFound);
  EXPECT_EQ(OpenFile(file, dir.Win() + u"no\\such", FileAccess::Read, FileShare::DenyNone),
            kErrorPathNotFound);
  EXPECT_FALSE(file.IsOpen());

  ASSERT_EQ(
      OpenFile(file, name, FileAccess::Write, FileShare::DenyWrite, FileDisposition::CreateAlways),
      0);
  EXPECT_EQ(file.Size(), 0);
  ASSERT_EQ(
      OpenFile(file, name, FileAccess::Read, FileShare::DenyNone, FileDisposition::OpenAlways), 0);
  EXPECT_EQ(file.Write("x", 1), -1);  // opened for reading only
}

TEST(FileTest, ShareModesWithinOneProcess) {
  TempDir dir;
  dir.Write("archive.zip", "precious");
  const std::u16string name = dir.Win() + u"archive.zip";

  File owner;
  ASSERT_EQ(OpenFile(owner, name, FileAccess::ReadWrite, FileShare::DenyWrite), 0);
  File other;
  EXPECT_EQ(OpenFile(other, name, FileAccess::ReadWrite, FileShare::DenyWrite),
            kErrorSharingViolation);
  EXPECT_EQ(OpenFile(other, name, FileAccess::Write, FileShare::DenyNone), kErrorSharingViolation);
  // A refused open must not have truncated the file.
  EXPECT_EQ(
      OpenFile(other, name, FileAccess::Write, FileShare::Exclusive, FileDisposition::CreateAlways),
      kErrorSharingViolation);
  EXPECT_EQ(ReadHostFile(FromWindowsView(name)), "precious");
  File reader;
  EXPECT_EQ(OpenFile(reader, name, FileAccess::Read, FileShare::DenyNone), 0);
  owner.Close();
  EXPECT_EQ(OpenFile(other, name, FileAccess::ReadWrite, FileShare::DenyWrite), 0);
  other.Close();

  // Writers that share keep a later handle from denying writes.
  File writer1, writer2;
  ASSERT_EQ(OpenFile(writer1, name, FileAccess::Write, FileShare::DenyNone), 0);
  ASSERT_EQ(OpenFile(writer2, name, FileAccess::ReadWrite, FileShare::DenyNone), 0);
  EXPECT_EQ(OpenFile(other, name, FileAccess::Read, FileShare::DenyWrite), kErrorSharingViolation);
  writer1.Close();  // one handle closing leaves the other's lock in place
  EXPECT_EQ(OpenFile(other, name, FileAccess::Read, FileShare::DenyWrite), kErrorSharingViolation);
  writer2.Close();
  EXPECT_EQ(OpenFile(other, name, FileAccess::Read, FileShare::DenyWrite), 0);
}

// A new file that denies writes is made under a private name and linked into
// place: whatever the disposition, it ends up locked, with its own bytes, and
// no private name is left behind.
TEST(FileTest, NewFileDenyingWritesAppearsLocked) {
  TempDir dir;
  const std::u16string name = dir.Win() + u"new.zip";
  for (FileDisposition how :
       {FileDisposition::CreateAlways, FileDisposition::CreateNew, FileDisposition::OpenAlways}) {
    File creator;
    ASSERT_EQ(OpenFile(creator, name, FileAccess::ReadWrite, FileShare::DenyWrite, how), 0);
    File other;
    EXPECT_EQ(OpenFile(other, name, FileAccess::ReadWrite, FileShare::DenyWrite),
              kErrorSharingViolation);
    EXPECT_EQ(creator.Write("PK", 2), 2);
    creator.Close();
    EXPECT_EQ(ReadHostFile(FromWindowsView(name)), "PK");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Host()))
      ++entries;
    EXPECT_EQ(entries, 1u);
    std::filesystem::remove(FromWindowsView(name));
  }
  // Creating over an existing name still fails for CreateNew.
  dir.Write("new.zip", "old");
  File again;
  EXPECT_EQ(OpenFile(again, name, FileAccess::ReadWrite, FileShare::DenyWrite,
                     FileDisposition::CreateNew),
            kErrorFileExists);
  EXPECT_EQ(ReadHostFile(FromWindowsView(name)), "old");
}

TEST(FileTest, ShareModesAcrossProcesses) {
  TempDir dir;
  dir.Write("shared.zip", "data");
  const std::u16string name = dir.Win() + u"shared.zip";
  test::HeldElsewhere other;
  ASSERT_EQ(other.Hold(name, FileAccess::ReadWrite, FileShare::DenyWrite), 0);

  File file;
  EXPECT_EQ(OpenFile(file, name, FileAccess::ReadWrite, FileShare::DenyWrite),
            kErrorSharingViolation);
  EXPECT_EQ(OpenFile(file, name, FileAccess::Read, FileShare::DenyNone), 0);
  file.Close();

  other.Release();
  EXPECT_EQ(OpenFile(file, name, FileAccess::ReadWrite, FileShare::DenyWrite), 0);
}

// Reads and writes land where the last seek, read or write left the handle,
// whichever way it got there, and copies between files move neither.
TEST(FileTest, PositionFollowsEveryMove) {
  TempDir dir;
  const std::u16string name = dir.Win() + u"moves.bin";
  const std::u16string other = dir.Win() + u"other.bin";
  File file, copy;
  ASSERT_EQ(file.Open(name, FileAccess::ReadWrite, FileShare::DenyWrite, FileDisposition::CreateNew,
                      "0123456789"),
            0);
  ASSERT_EQ(OpenFile(copy, other, FileAccess::ReadWrite, FileShare::DenyWrite,
                     FileDisposition::CreateNew),
            0);
  EXPECT_EQ(file.Position(), 0);
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, 3), 3);
  EXPECT_EQ(file.Position(), 3);
  ASSERT_TRUE(file.Seek(3));  // where it is already
  EXPECT_EQ(file.Write("ab", 2), 2);
  EXPECT_FALSE(file.Seek(-1));
  EXPECT_EQ(file.Position(), 5);
  EXPECT_EQ(CopyRange(file, 0, copy, 0, 10), 10);
  EXPECT_EQ(file.Position(), 5);
  EXPECT_EQ(copy.Position(), 0);
  EXPECT_EQ(file.Read(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "56");
  EXPECT_EQ(copy.Write("X", 1), 1);
  EXPECT_EQ(file.Read(buffer, 8), 3);  // to the end
  EXPECT_EQ(file.Position(), 10);
  EXPECT_EQ(file.Read(buffer, 8), 0);
  EXPECT_EQ(file.Position(), 10);
  ASSERT_TRUE(file.SetSize(4));
  EXPECT_EQ(file.Position(), 10);
  EXPECT_EQ(file.Write("Z", 1), 1);  // past the end: the gap reads as zeros
  File moved(std::move(file));
  EXPECT_EQ(moved.Position(), 11);
  // Reads after a seek, then a write: it lands where the reads ended.
  ASSERT_TRUE(moved.Seek(1));
  EXPECT_EQ(moved.Read(buffer, 2), 2);
  EXPECT_EQ(moved.Read(buffer + 2, 1), 1);
  EXPECT_EQ(std::string(buffer, 3), "12a");
  EXPECT_EQ(moved.Position(), 4);
  EXPECT_EQ(moved.Write("W", 1), 1);
  EXPECT_EQ(moved.Position(), 5);
  EXPECT_EQ(moved.Read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], '\0');
  moved.Close();
  copy.Close();
  EXPECT_EQ(ReadHostFile(FromWindowsView(name)), std::string("012aW") + std::string(5, '\0') + "Z");
  EXPECT_EQ(ReadHostFile(FromWindowsView(other)), "X12ab56789");
}

TEST(FileTest, FullDiskReturnsWhatWasWritten) {
#ifdef _WIN32
  GTEST_SKIP() << "the file size limit that stands in for a full disk is POSIX's";
#else
  TempDir dir;
  const std::u16string name = dir.Win() + u"full.bin";
  // The size limit stands in for a full disk; a child keeps it to itself.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    File file;
    if (OpenFile(file, name, FileAccess::Write, FileShare::DenyWrite,
                 FileDisposition::CreateAlways) != 0)
      _exit(1);
    const std::string data(10000, 'd');
    if (file.Write(data.data(), 1000) != 1000) _exit(2);
    if (file.Write(data.data(), static_cast<int64_t>(data.size())) != 3096) _exit(3);
    if (file.LastError() != kErrorDiskFull || LastError() != kErrorDiskFull) _exit(4);
    // The handle stands after what went in, and goes on from there.
    if (file.Position() != 4096) _exit(6);
    if (!file.Seek(10) || file.Write("e", 1) != 1 || file.Position() != 11) _exit(7);
    if (file.SetSize(8192) || file.LastError() != kErrorDiskFull) _exit(5);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadHostFile(FromWindowsView(name)),
            std::string(10, 'd') + "e" + std::string(4085, 'd'));
#endif
}

}  // namespace
}  // namespace km::platform

namespace km::platform {
namespace {

// Copies between files and looks at a file's bytes in place: every byte
// arrives once, in order, across window boundaries and from odd offsets,
// and a range past the end is refused rather than mapped (which would kill
// the process on the first missing page).
TEST(FileTest, CopyRangeAndVisitRange) {
  TempDir dir;
  std::string bytes(9 << 20, '\0');
  uint32_t seed = 1;
  for (char& c : bytes) c = char((seed = seed * 1103515245u + 12345u) >> 16);
  dir.Write("source", bytes);
  File source, target;
  ASSERT_EQ(OpenFile(source, dir.Win() + u"source", FileAccess::Read, FileShare::DenyNone), 0);
  ASSERT_EQ(OpenFile(target, dir.Win() + u"target", FileAccess::ReadWrite, FileShare::DenyNone,
                     FileDisposition::CreateNew),
            0);
  const int64_t from = 4097, to = 100, count = int64_t(bytes.size()) - from - 3;
  EXPECT_EQ(CopyRange(source, from, target, to, count), count);
  EXPECT_EQ(target.Size(), to + count);
  EXPECT_EQ(source.Position(), 0);  // positions do not move

  std::string seen;
  ASSERT_TRUE(VisitRange(target, to, count, [&](const uint8_t* p, int64_t n) {
    seen.append(reinterpret_cast<const char*>(p), size_t(n));
  }));
  EXPECT_TRUE(seen == bytes.substr(size_t(from), size_t(count)));
  EXPECT_FALSE(VisitRange(target, to, count + 1, [](const uint8_t*, int64_t) {}));
  // Past the end of the source, the copy stops where the source does.
  EXPECT_EQ(CopyRange(source, int64_t(bytes.size()) - 10, target, 0, 50), 10);
}

}  // namespace
}  // namespace km::platform
