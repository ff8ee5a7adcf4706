#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/HostPath.h"

namespace km::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::TempDir;

#ifndef _WIN32
constexpr uint32_t kReparsePoint = 0x400;

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode;
}
#endif

std::vector<FindData> List(const std::u16string& pattern, int* error = nullptr,
                           bool withDots = true) {
  std::vector<FindData> found;
  FindHandle handle = kInvalidFindHandle;
  FindData data;
  int rc = FindFirst(pattern, handle, data, withDots);
  if (error != nullptr) *error = rc;
  if (rc != 0) {
    EXPECT_EQ(handle, kInvalidFindHandle);
    return found;
  }
  do found.push_back(data);
  while ((rc = FindNext(handle, data)) == 0);
  EXPECT_EQ(rc, kErrorNoMoreFiles);
  FindClose(handle);
  EXPECT_EQ(handle, kInvalidFindHandle);
  return found;
}

std::vector<std::u16string> Names(const std::vector<FindData>& found) {
  std::vector<std::u16string> names;
  for (const FindData& d : found) names.push_back(d.name);
  return names;
}

const FindData* Entry(const std::vector<FindData>& found, std::u16string_view name) {
  for (const FindData& d : found)
    if (d.name == name) return &d;
  return nullptr;
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, hadOld_ = true;
    Set(value.c_str());
  }
  ~ScopedEnv() { Set(hadOld_ ? old_.c_str() : nullptr); }

 private:
  void Set(const char* value) {
#ifdef _WIN32
    // Also the process environment the system's own calls read.
    _putenv_s(name_.c_str(), value ? value : "");
#else
    if (value)
      setenv(name_.c_str(), value, 1);
    else
      unsetenv(name_.c_str());
    tzset();
#endif
  }

  std::string name_, old_;
  bool hadOld_ = false;
};

class ScopedTimeZone : public ScopedEnv {
 public:
  explicit ScopedTimeZone(const char* zone) : ScopedEnv("TZ", zone) {}
};

// On POSIX the only drive is the host root; C: is none. Windows hosts have
// C:, but hardly ever a drive this far down the alphabet.
#ifdef _WIN32
constexpr const char16_t* kNoSuchDrive = u"Q:";
#else
constexpr const char16_t* kNoSuchDrive = u"C:";
#endif

// Changes the current directory for one scope.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::u16string& dir) : old_(CurrentDirectory()) {
    EXPECT_TRUE(SetCurrentDirectory(dir));
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectory(old_); }

 private:
  std::u16string old_;
};

TEST(FileSystemTest, ListingAttributesOrderAndMasks) {
  TempDir dir;
  dir.Write("b.txt", "12345");
  dir.Write("A.TXT", "");
  dir.Write(".hidden", "x");
  dir.Write("ro.txt", "r");
#ifdef _WIN32
  // Hidden and read-only are attributes of their own here, not a dot or a
  // mode bit.
  ASSERT_TRUE(SetAttributes(dir.Win() + u".hidden", faArchive | faHidden));
  ASSERT_TRUE(SetAttributes(dir.Win() + u"ro.txt", faArchive | faReadOnly));
#else
  chmod((dir.Host() / "ro.txt").c_str(), 0444);
#endif
  fs::create_directory(dir.Host() / "sub");

  const auto all = List(dir.Win() + u"*");
  EXPECT_EQ(Names(all), (std::vector<std::u16string>{u".", u"..", u".hidden", u"A.TXT", u"b.txt",
                                                     u"ro.txt", u"sub"}));
  EXPECT_EQ(Entry(all, u".")->attributes, faDirectory);
  EXPECT_EQ(Entry(all, u"..")->attributes, faDirectory);
  EXPECT_EQ(Entry(all, u"sub")->attributes, faDirectory);
  EXPECT_EQ(Entry(all, u".hidden")->attributes, faArchive | faHidden);
  EXPECT_EQ(Entry(all, u"ro.txt")->attributes, faArchive | faReadOnly);
  EXPECT_EQ(Entry(all, u"b.txt")->attributes, faArchive);
  EXPECT_EQ(Entry(all, u"b.txt")->size, 5u);
  EXPECT_EQ(Names(List(dir.Win() + u"*.*")), Names(all));
  // Without the dots: the same entries, with the same details.
  const auto noDots = List(dir.Win() + u"*", nullptr, false);
  EXPECT_EQ(Names(noDots),
            (std::vector<std::u16string>{u".hidden", u"A.TXT", u"b.txt", u"ro.txt", u"sub"}));
  EXPECT_EQ(Entry(noDots, u"ro.txt")->attributes, faArchive | faReadOnly);
  EXPECT_EQ(Entry(noDots, u"b.txt")->size, 5u);
  int none = 0;
  EXPECT_TRUE(List(dir.Win() + u"sub\\*", &none, false).empty());
  EXPECT_EQ(none, kErrorFileNotFound);

  // Wildcards ignore case; '/' separates as '\' does.
  EXPECT_EQ(Names(List(dir.Win() + u"*.TxT")),
            (std::vector<std::u16string>{u"A.TXT", u"b.txt", u"ro.txt"}));
  EXPECT_EQ(Names(List(dir.Win() + u"?.txt")), (std::vector<std::u16string>{u"A.TXT", u"b.txt"}));
  // No DOS rules: '?' never matches nothing and "x.*" needs the dot, so a
  // listing finds no more than WildMatch would accept for the same mask.
  EXPECT_EQ(Names(List(dir.Win() + u"su??")), std::vector<std::u16string>{});
  EXPECT_EQ(Names(List(dir.Win() + u"sub.*")), std::vector<std::u16string>{});
  EXPECT_EQ(Names(List(ToWindowsView(dir.Host()) + u"/s*")), (std::vector<std::u16string>{u"sub"}));

  // A plain name is looked up as it is: POSIX hosts tell case apart,
  // Windows finds the file under its own spelling.
  EXPECT_EQ(Names(List(dir.Win() + u"b.txt")), (std::vector<std::u16string>{u"b.txt"}));
  int error = 0;
#ifdef _WIN32
  EXPECT_EQ(Names(List(dir.Win() + u"B.TXT")), (std::vector<std::u16string>{u"b.txt"}));
#else
  EXPECT_TRUE(List(dir.Win() + u"B.TXT", &error).empty());
  EXPECT_EQ(error, kErrorFileNotFound);
#endif
  EXPECT_TRUE(List(dir.Win() + u"*.zip", &error).empty());
  EXPECT_EQ(error, kErrorFileNotFound);
  EXPECT_TRUE(List(dir.Win() + u"missing\\*", &error).empty());
  EXPECT_EQ(error, kErrorPathNotFound);
  // A drive the host does not have.
  EXPECT_TRUE(List(kNoSuchDrive + std::u16string(u"\\*"), &error).empty());
  EXPECT_EQ(error, kErrorPathNotFound);
  EXPECT_TRUE(List(dir.Win(), &error).empty());
  EXPECT_EQ(error, kErrorFileNotFound);

  // The root is its own parent and lists neither "." nor "..".
  const std::u16string temp = ToWindowsView(fs::temp_directory_path());
  const size_t top = temp.find(u'\\', 3);
  const std::u16string topFolder = WideUpperCase(temp.substr(3, top - 3));
  ASSERT_FALSE(topFolder.empty()) << WideToUtf8(temp);
  const auto root = Names(List(temp.substr(0, 3) + u"*"));
  EXPECT_EQ(std::count(root.begin(), root.end(), u"."), 0);
  EXPECT_EQ(
      std::count_if(root.begin(), root.end(),
                    [&](const std::u16string& name) { return WideUpperCase(name) == topFolder; }),
      1);
}

TEST(FileSystemTest, NamesOutsideTheAnsiPageListSizeTimeAndOpen) {
  TempDir dir;
  const std::u16string chinese = u"\u6587\u4EF6\U0001F600.txt";
  const int64_t mtime = 1600000000;
#ifdef _WIN32
  // Names are UTF-16 on disk: no bytes outside UTF-8, and no '\' or ':'
  // inside a name; a Cyrillic name stands in for them.
  dir.Write(WideToUtf8(chinese), "seven!!");
  dir.Write("\xD0\x96.dat", "xy");
  dir.Write("plain", "z");
  ASSERT_TRUE(SetFileWriteTime(dir.Win() + chinese, mtime * 10000000 + kFileTimeUnixEpoch));
#else
  const auto host = dir.Write(FromWindowsView(chinese).native(), "seven!!");
  const std::string invalid = "bad\xFF.bin";
  dir.Write(invalid, "xy");
  dir.Write("a\\b:c", "z");
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
#endif

  const auto all = List(dir.Win() + u"*");
  ASSERT_EQ(all.size(), 5u);
  const FindData* found = Entry(all, chinese);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->size, 7u);
  EXPECT_EQ(found->dosTime, UnixTimeToLocalDosTime(mtime));
  uint32_t dosTime = 0;
  ASSERT_TRUE(GetFileDosTime(dir.Win() + chinese, dosTime));
  EXPECT_EQ(dosTime, found->dosTime);

  // Every listed name opens again under the name it was listed with.
  for (const FindData& d : all) {
    if (d.attributes & faDirectory) continue;
    EXPECT_EQ(d.name.find(u'\\'), std::u16string::npos);
    File file;
    EXPECT_EQ(file.Open(dir.Win() + d.name, FileAccess::Read, FileShare::DenyNone,
                        FileDisposition::OpenExisting),
              0);
    EXPECT_EQ(file.Size(), static_cast<int64_t>(d.size));
    EXPECT_EQ(GetAttributes(dir.Win() + d.name), faArchive);
  }
}

TEST(FileSystemTest, SpecialFilesAndLinks) {
  TempDir dir;
#ifdef _WIN32
  // No FIFOs here, and links need a privilege: devices and folders are
  // what a listing shows that must never be opened as a file.
  fs::create_directory(dir.Host() / "real");
  dir.Write("target.txt", "123");
  const auto all = List(dir.Win() + u"*");
  EXPECT_EQ(Names(all), (std::vector<std::u16string>{u".", u"..", u"real", u"target.txt"}));
  EXPECT_EQ(Entry(all, u"real")->attributes & (faDirectory | faReparsePoint), faDirectory);
  for (const char16_t* device : {u"NUL", u"\\\\.\\NUL"}) {
    EXPECT_TRUE(IsDeviceOrPipe(device)) << WideToUtf8(device);
    File file;
    EXPECT_EQ(
        file.Open(device, FileAccess::Read, FileShare::DenyNone, FileDisposition::OpenExisting),
        kErrorAccessDenied)
        << WideToUtf8(device);
  }
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"target.txt"));
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"real"));
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"missing"));
  for (FileAccess access : {FileAccess::Read, FileAccess::Write, FileAccess::ReadWrite}) {
    File file;
    EXPECT_EQ(
        file.Open(dir.Win() + u"real", access, FileShare::DenyNone, FileDisposition::OpenExisting),
        kErrorAccessDenied);
    EXPECT_EQ(file.Open(u"NUL", access, FileShare::DenyNone, FileDisposition::OpenAlways),
              kErrorAccessDenied);
  }
#else
  ASSERT_EQ(mkfifo((dir.Host() / "fifo").c_str(), 0644), 0);
  mkdir((dir.Host() / "real").c_str(), 0755);
  dir.Write("target.txt", "123");
  symlink("real", (dir.Host() / "dirlink").c_str());
  symlink("target.txt", (dir.Host() / "filelink").c_str());
  symlink("nowhere", (dir.Host() / "dangling").c_str());

  // The FIFO is listed, not opened: a listing never waits for a writer.
  const auto all = List(dir.Win() + u"*");
  EXPECT_EQ(Names(all), (std::vector<std::u16string>{u".", u"..", u"dirlink", u"fifo", u"filelink",
                                                     u"real", u"target.txt"}));
  EXPECT_EQ(Entry(all, u"fifo")->attributes, faArchive);
  EXPECT_EQ(Entry(all, u"fifo")->size, 0u);
  EXPECT_EQ(Entry(all, u"dirlink")->attributes, faDirectory | kReparsePoint);
  EXPECT_EQ(Entry(all, u"real")->attributes, faDirectory);
  EXPECT_EQ(Entry(all, u"filelink")->attributes, faArchive);
  EXPECT_EQ(Entry(all, u"filelink")->size, 3u);
  EXPECT_EQ(GetAttributes(dir.Win() + u"dangling"), kInvalidAttributes);
  // What the listing cannot tell apart from an empty file, this can.
  EXPECT_TRUE(IsDeviceOrPipe(dir.Win() + u"fifo"));
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"filelink"));
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"dirlink"));
  EXPECT_FALSE(IsDeviceOrPipe(dir.Win() + u"missing"));
  EXPECT_TRUE(IsDeviceOrPipe(u"Z:\\dev\\null"));

  for (FileAccess access : {FileAccess::Read, FileAccess::Write, FileAccess::ReadWrite}) {
    File file;
    EXPECT_EQ(
        file.Open(dir.Win() + u"fifo", access, FileShare::DenyNone, FileDisposition::OpenAlways),
        kErrorAccessDenied);
    EXPECT_EQ(
        file.Open(dir.Win() + u"real", access, FileShare::DenyNone, FileDisposition::OpenExisting),
        kErrorAccessDenied);
  }

  // Removing a directory link removes the link, never what it points to.
  EXPECT_TRUE(RemoveDirectory(dir.Win() + u"dirlink"));
  EXPECT_EQ(GetAttributes(dir.Win() + u"dirlink"), kInvalidAttributes);
  EXPECT_EQ(GetAttributes(dir.Win() + u"real"), faDirectory);
#endif
}

// FileLookup answers as a listing of each path would, while it keeps a
// folder open between paths.
TEST(FileSystemTest, FileLookupAgreesWithTheListing) {
  TempDir dir;
  fs::create_directory(dir.Host() / "real");
  dir.Write("target.txt", "123");
  dir.Write("real/inner.txt", "4");
#ifndef _WIN32
  // Windows has no FIFOs, and links there need a privilege.
  ASSERT_EQ(mkfifo((dir.Host() / "fifo").c_str(), 0644), 0);
  symlink("real", (dir.Host() / "dirlink").c_str());
  symlink("target.txt", (dir.Host() / "filelink").c_str());
  symlink("nowhere", (dir.Host() / "dangling").c_str());
#endif
  const std::u16string d = dir.Win();
  auto listedFile = [](const std::u16string& path) {
    const auto found = List(path);
    return found.size() == 1 && (found[0].attributes & faDirectory) == 0 &&
           path.find_first_of(u"*?") == std::u16string::npos;
  };
  const std::vector<std::u16string> paths = {d + u"target.txt",
                                             d + u"real\\inner.txt",
                                             d + u"TARGET.TXT",
                                             d + u"fifo",
                                             d + u"real",
                                             d + u"dirlink",
                                             d + u"filelink",
                                             d + u"dangling",
                                             d + u"missing",
                                             d + u"nodir\\x.txt",
                                             d + u"real\\",
                                             d + u"real\\.",
                                             d + u"real\\..",
                                             d + u"target.*",
                                             d + u"target.tx?",
                                             d + u"real/inner.txt",
                                             d + u"dirlink\\inner.txt"};
  FileLookup lookup;
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::u16string& path : paths)
      EXPECT_EQ(lookup.IsFile(path), listedFile(path)) << WideToUtf8(path);
  }
  // A file removed after its folder was opened is gone for the lookup too.
  EXPECT_TRUE(lookup.IsFile(d + u"target.txt"));
  ASSERT_TRUE(fs::remove(dir.Host() / "target.txt"));
  EXPECT_FALSE(lookup.IsFile(d + u"target.txt"));
  dir.Write("target.txt", "5");
  EXPECT_TRUE(lookup.IsFile(d + u"target.txt"));
  EXPECT_EQ(lookup.IsFile(d + u"TARGET.TXT"), !kCaseSensitiveFileNames);
}

#ifndef _WIN32
size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}
#endif

// Within a walk a folder is opened relative to the folder listed above it:
// each listing must still show its own folder, whatever was listed before
// (a sibling whose name starts like it, one replaced since its parent was
// listed, a name that is only a path's text), and nothing stays open after.
TEST(FileSystemTest, ListingsWithinAWalkShowTheirOwnFolders) {
  TempDir dir;
  fs::create_directories(dir.Host() / "a" / "sub");
  fs::create_directories(dir.Host() / "ab");
  dir.Write("a/x.txt", "1");
  dir.Write("a/sub/z.txt", "2");
  dir.Write("ab/y.txt", "3");
  const std::u16string d = dir.Win();
#ifndef _WIN32
  const size_t before = OpenDescriptors();
#endif
  {
    FolderWalk walk;
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(Names(List(d + u"*", nullptr, false)), (std::vector<std::u16string>{u"a", u"ab"}));
      EXPECT_EQ(Names(List(d + u"a\\*", nullptr, false)),
                (std::vector<std::u16string>{u"sub", u"x.txt"}));
      EXPECT_EQ(Names(List(d + u"a\\sub\\*", nullptr, false)),
                (std::vector<std::u16string>{u"z.txt"}));
      EXPECT_EQ(Names(List(d + u"ab\\*", nullptr, false)), (std::vector<std::u16string>{u"y.txt"}));
      EXPECT_EQ(Names(List(d + u"a\\sub\\..\\*", nullptr, false)),
                (std::vector<std::u16string>{u"sub", u"x.txt"}));
      int error = 0;
      EXPECT_TRUE(List(d + u"missing\\*", &error).empty());
      EXPECT_EQ(error, kErrorPathNotFound);
    }
    // A folder replaced after its parent was listed is listed as it is now.
    EXPECT_EQ(Names(List(d + u"*", nullptr, false)), (std::vector<std::u16string>{u"a", u"ab"}));
    fs::rename(dir.Host() / "a", dir.Host() / "old");
    fs::create_directory(dir.Host() / "a");
    dir.Write("a/new.txt", "4");
    EXPECT_EQ(Names(List(d + u"a\\*", nullptr, false)), (std::vector<std::u16string>{u"new.txt"}));
    // A relative pattern follows the current folder, never a kept one.
    ScopedCurrentDirectory cwd(dir.Win(u"old"));
    EXPECT_EQ(Names(List(u"sub\\*", nullptr, false)), (std::vector<std::u16string>{u"z.txt"}));
    EXPECT_EQ(Names(List(d + u"a\\*", nullptr, false)), (std::vector<std::u16string>{u"new.txt"}));
  }
#ifndef _WIN32
  EXPECT_EQ(OpenDescriptors(), before);
#endif
}

TEST(FileSystemTest, ReadOnlyAttributeMapsToOwnerWriteBit) {
  TempDir dir;
  const auto file = dir.Write("f.txt", "x");
  const std::u16string name = dir.Win() + u"f.txt";
#ifdef _WIN32
  // Real attributes: each bit is kept as it was set. (Wine reports the
  // archive bit on every file, whatever was set.)
  constexpr uint32_t kOwn = faReadOnly | faHidden | faSysFile;
  EXPECT_TRUE(SetAttributes(name, kOwn));
  EXPECT_EQ(GetAttributes(name) & ~faArchive, kOwn);
  EXPECT_TRUE(SetAttributes(name, faArchive));
  EXPECT_EQ(GetAttributes(name), faArchive);
  EXPECT_TRUE(SetAttributes(name, 0));
  EXPECT_EQ(GetAttributes(name) & kOwn, 0u);

  // A read-only folder still takes new files.
  fs::create_directory(dir.Host() / "ro");
  EXPECT_TRUE(SetAttributes(dir.Win() + u"ro", faDirectory | faReadOnly));
  {
    File inside;
    EXPECT_EQ(inside.Open(dir.Win() + u"ro\\new.txt", FileAccess::Write, FileShare::DenyNone,
                          FileDisposition::CreateNew),
              0);
  }
  EXPECT_TRUE(SetAttributes(dir.Win() + u"ro", faDirectory));
#else
  chmod(file.c_str(), 0664);

  EXPECT_TRUE(SetAttributes(name, faReadOnly | faHidden | faSysFile));
  EXPECT_EQ(ModeOf(file) & 0777, 0464u);
  EXPECT_EQ(GetAttributes(name), faArchive | faReadOnly);  // hidden cannot be held
  EXPECT_TRUE(SetAttributes(name, faArchive));
  EXPECT_EQ(ModeOf(file) & 0777, 0664u);
  EXPECT_EQ(GetAttributes(name), faArchive);

  // A read-only directory would refuse new files; Windows does not.
  EXPECT_TRUE(SetAttributes(ToWindowsView(dir.Host()), faDirectory | faReadOnly));
  EXPECT_NE(ModeOf(dir.Host()) & S_IWUSR, 0u);
#endif

  EXPECT_EQ(GetAttributes(dir.Win() + u"missing"), kInvalidAttributes);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(GetAttributes(dir.Win() + u"missing\\x"), kInvalidAttributes);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
}

TEST(FileSystemTest, FullPathNameIsTextual) {
  TempDir dir;
  fs::create_directory(dir.Host() / "cur");
  const std::u16string parent = ToWindowsView(dir.Host());
  const std::u16string cwd = parent + u"\\cur";
  ScopedCurrentDirectory scoped(cwd);
  EXPECT_EQ(CurrentDirectory(), cwd);
  // Z: on POSIX hosts; on Windows the drive of the temporary folder.
  const std::u16string drive = cwd.substr(0, 2);
  ASSERT_EQ(drive[1], u':');

  std::vector<std::pair<std::u16string, std::u16string>> table = {
      {u"a\\b", cwd + u"\\a\\b"},
      {u"a/b/", cwd + u"\\a\\b\\"},
      {u"a\\\\b", cwd + u"\\a\\b"},
      {u".", cwd},
      {u"..\\x", parent + u"\\x"},
      {WideLowerCase(drive) + u"rel", cwd + u"\\rel"},
      {u"\\x\\.\\y", drive + u"\\x\\y"},
      {u"Z:\\a\\.\\b\\..\\c", u"Z:\\a\\c"},
      {u"Z:\\a\\..", u"Z:\\"},
      {u"Z:\\..\\..\\x", u"Z:\\x"},
      {u"Z:/", u"Z:\\"},
      {u"C:\\a\\..\\b", u"C:\\b"},
      {u"\\\\srv\\share\\a\\..\\..\\b", u"\\\\srv\\share\\b"},
      {u"", u""},
  };
#ifndef _WIN32
  // The drive alone is its current directory (Wine adds a '\\' to it).
  table.push_back({drive, cwd});
#endif
  for (const auto& [in, out] : table) EXPECT_EQ(FullPathName(in), out) << WideToUtf8(in);

  EXPECT_FALSE(SetCurrentDirectory(parent + u"\\missing"));
#ifdef _WIN32
  EXPECT_EQ(LastError(), kErrorFileNotFound);  // the system's answer for the last name
#else
  EXPECT_EQ(LastError(), kErrorPathNotFound);
#endif
  EXPECT_EQ(CurrentDirectory(), cwd);
}

TEST(FileSystemTest, DirectoriesMovesAndDeletes) {
  TempDir dir;
  const std::u16string w = dir.Win();
  EXPECT_TRUE(CreateDirectory(w + u"d"));
  EXPECT_FALSE(CreateDirectory(w + u"d"));
  EXPECT_EQ(LastError(), kErrorAlreadyExists);
  EXPECT_FALSE(CreateDirectory(w + u"x\\y"));
  EXPECT_EQ(LastError(), kErrorPathNotFound);

  dir.Write("d/inner", "1");
  EXPECT_FALSE(RemoveDirectory(w + u"d"));
  EXPECT_EQ(LastError(), kErrorDirNotEmpty);
  EXPECT_FALSE(DeleteFile(w + u"d"));  // a directory is not a file

  // A move never replaces an existing file, and leaves both untouched.
  dir.Write("from", "from");
  dir.Write("to", "to");
  EXPECT_FALSE(MoveFile(w + u"from", w + u"to"));
  EXPECT_EQ(LastError(), kErrorAlreadyExists);
  EXPECT_EQ(ReadHostFile(dir.Host() / "from"), "from");
  EXPECT_EQ(ReadHostFile(dir.Host() / "to"), "to");
  EXPECT_TRUE(MoveFile(w + u"from", w + u"d\\moved"));
  EXPECT_EQ(ReadHostFile(dir.Host() / "d" / "moved"), "from");
  EXPECT_FALSE(MoveFile(w + u"from", w + u"again"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  // A read-only file is kept, as Windows keeps it.
#ifdef _WIN32
  ASSERT_TRUE(SetAttributes(w + u"to", faReadOnly));
#else
  chmod((dir.Host() / "to").c_str(), 0444);
#endif
  EXPECT_FALSE(DeleteFile(w + u"to"));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
#ifdef _WIN32
  ASSERT_TRUE(SetAttributes(w + u"to", faArchive));
#else
  chmod((dir.Host() / "to").c_str(), 0644);
#endif
  EXPECT_TRUE(DeleteFile(w + u"to"));
  EXPECT_FALSE(DeleteFile(w + u"to"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  EXPECT_TRUE(DeleteFile(w + u"d\\inner"));
  EXPECT_TRUE(DeleteFile(w + u"d\\moved"));
  EXPECT_TRUE(RemoveDirectory(w + u"d\\"));
}

TEST(FileSystemTest, MoveBetweenFileSystemsCopiesAndDeletes) {
  TempDir dir;
#ifdef _WIN32
  // Under Wine, Z:\dev\shm is a memory file system apart from the drive of
  // the temporary folder; a Windows host has no such second volume to hand.
  FileIdentity here, shm;
  if (!IdentityOf(dir.Win(), here) || !IdentityOf(u"Z:\\dev\\shm", shm) ||
      here.device == shm.device)
    GTEST_SKIP() << "no second writable volume";
  dir.Write("big", std::string(3 << 20, 'q'));
  const std::u16string to = u"Z:\\dev\\shm\\km-move-" + Utf8ToWide(dir.Host().filename().string());
  EXPECT_TRUE(MoveFile(dir.Win() + u"big", to));
  EXPECT_EQ(GetAttributes(dir.Win() + u"big"), kInvalidAttributes);
  EXPECT_EQ(ReadHostFile(FromWindowsView(to)), std::string(3 << 20, 'q'));
  EXPECT_FALSE(MoveFile(dir.Win() + u"big", to));
  DeleteFile(to);
#else
  struct stat shm, tmp;
  if (stat("/dev/shm", &shm) != 0 || stat(dir.Host().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev || access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system";
  const auto from = dir.Write("big", std::string(3 << 20, 'q'));
  chmod(from.c_str(), 0640);
  const std::string target = "/dev/shm/km-move-" + std::to_string(getpid());
  const std::u16string to = ToWindowsView(target);

  EXPECT_TRUE(MoveFile(dir.Win() + u"big", to));
  EXPECT_EQ(access(from.c_str(), F_OK), -1);
  EXPECT_EQ(ReadHostFile(target), std::string(3 << 20, 'q'));
  EXPECT_EQ(ModeOf(target) & 0777, 0640u);
  EXPECT_FALSE(MoveFile(dir.Win() + u"big", to));
  unlink(target.c_str());
#endif
}

TEST(FileSystemTest, DosTimeConversionAndClamping) {
#ifdef _WIN32
  // The zone is the system's, whatever TZ says; so only what holds in
  // every zone is checked, and that TZ changes nothing.
  const uint32_t kMin = 0x00210000;
  const uint32_t kMax = (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
  const uint32_t dos = UnixTimeToLocalDosTime(1582983931);  // 2020-02-29 13:45:31 UTC
  EXPECT_EQ(dos & 0x1F, 15u);                               // odd seconds round down
  EXPECT_EQ(LocalDosTimeToUnixTime(dos), 1582983930);
  EXPECT_EQ(LocalDosTimeToUnixTime(UnixTimeToLocalDosTime(1626350400)), 1626350400);  // July
  EXPECT_EQ(UnixTimeToLocalDosTime(0), kMin);
  EXPECT_EQ(UnixTimeToLocalDosTime(4354819200 + 2 * 86400), kMax);
  EXPECT_EQ(UnixTimeToLocalDosTime(INT64_MIN), kMin);
  EXPECT_EQ(UnixTimeToLocalDosTime(INT64_MAX), kMax);
  for (const char* zone : {"UTC", "Asia/Kolkata", "PST8PDT"}) {
    ScopedTimeZone scoped(zone);
    EXPECT_EQ(UnixTimeToLocalDosTime(1582983931), dos) << zone;
  }
#else
  {
    ScopedTimeZone utc("UTC");
    // 2020-02-29 13:45:31: odd seconds round down.
    const uint32_t dos = (40u << 9 | 2u << 5 | 29u) << 16 | (13u << 11 | 45u << 5 | 15u);
    EXPECT_EQ(UnixTimeToLocalDosTime(1582983931), dos);
    EXPECT_EQ(LocalDosTimeToUnixTime(dos), 1582983930);

    const uint32_t kMin = 0x00210000;
    const uint32_t kMax = (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
    EXPECT_EQ(UnixTimeToLocalDosTime(0), kMin);
    EXPECT_EQ(UnixTimeToLocalDosTime(315532799), kMin);  // 1979-12-31 23:59:59
    EXPECT_EQ(UnixTimeToLocalDosTime(315532800), kMin);
    EXPECT_EQ(UnixTimeToLocalDosTime(4354819200), kMax);  // 2108-01-01
    EXPECT_EQ(UnixTimeToLocalDosTime(INT64_MIN), kMin);
    EXPECT_EQ(UnixTimeToLocalDosTime(INT64_MAX), kMax);
    EXPECT_EQ(LocalDosTimeToUnixTime(kMax), 4354819198);
  }
  {
    // Local time is what is stored.
    ScopedTimeZone moscow("Europe/Moscow");
    EXPECT_EQ(UnixTimeToLocalDosTime(1582983930) & 0xFFFF, 16u << 11 | 45u << 5 | 15u);
  }
  {
    // A zone without daylight saving (so no repeated hour) and a half-hour offset.
    ScopedTimeZone kolkata("Asia/Kolkata");
    for (int64_t t = 631152000; t < 1893456000; t += 3 * 86400 + 3601 * 2)
      ASSERT_EQ(LocalDosTimeToUnixTime(UnixTimeToLocalDosTime(t)), t) << t;
  }
#endif
}

TEST(FileSystemTest, FileDosTimeRoundTrip) {
  TempDir dir;
  dir.Write("f", "");
  const uint32_t dos = (44u << 9 | 7u << 5 | 14u) << 16 | (9u << 11 | 30u << 5 | 2u);
  uint32_t read = 0;
  ASSERT_TRUE(SetFileDosTime(dir.Win() + u"f", dos));
  ASSERT_TRUE(GetFileDosTime(dir.Win() + u"f", read));
  EXPECT_EQ(read, dos);
  EXPECT_FALSE(SetFileDosTime(dir.Win() + u"f", (44u << 9 | 13u << 5 | 1u) << 16));  // month 13
  EXPECT_FALSE(GetFileDosTime(ToWindowsView(dir.Host()), read));                     // a directory
  EXPECT_FALSE(GetFileDosTime(dir.Win() + u"missing", read));
}

TEST(FileSystemTest, TempFilesAreUniqueAndEmpty) {
  TempDir dir;
#ifdef _WIN32
  // TMP names the folder here; TMPDIR is nothing to Windows.
  const std::u16string before = TempPath();
  {
    ScopedEnv tmpdir("TMPDIR", WideToUtf8(ToWindowsView(dir.Host())));
    EXPECT_EQ(TempPath(), before);
  }
  {
    ScopedEnv tmp("TMP", WideToUtf8(ToWindowsView(dir.Host())));
    EXPECT_EQ(TempPath(), dir.Win());
  }
  const std::u16string temp = TempPath();
  EXPECT_EQ(temp, before);
  EXPECT_EQ(temp.substr(1, 2), u":\\");
  // The system's own names: its hex digits, up to four.
  constexpr std::u16string_view kHexDigits = u"0123456789ABCDEFabcdef";
#else
  {
    ScopedEnv tmpdir("TMPDIR", dir.Host().string());
    EXPECT_EQ(TempPath(), dir.Win());
  }
  const std::u16string temp = TempPath();
  EXPECT_EQ(temp.substr(0, 3), u"Z:\\");
  constexpr std::u16string_view kHexDigits = u"0123456789ABCDEF";
#endif
  EXPECT_EQ(temp.back(), u'\\');

  std::set<std::u16string> names;
  // "FC", hex digits, ".tmp".
  const auto shaped = [&](std::u16string_view name) {
    if (name.size() < 7 || name.substr(0, 2) != u"FC" || name.substr(name.size() - 4) != u".tmp")
      return false;
    const std::u16string_view hex = name.substr(2, name.size() - 6);
    return hex.find_first_not_of(kHexDigits) == std::u16string_view::npos;
  };
  for (int i = 0; i < 100; ++i) {
    std::u16string name;
    ASSERT_EQ(CreateTempFile(dir.Win(), u"FC", name), 0);
    ASSERT_EQ(name.substr(0, dir.Win().size()), dir.Win());
    EXPECT_TRUE(shaped(std::u16string_view(name).substr(dir.Win().size())));
    EXPECT_EQ(std::filesystem::file_size(FromWindowsView(name)), 0u);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 100u);
  // Without a trailing separator the name still lands inside the folder.
  std::u16string name;
  ASSERT_EQ(CreateTempFile(ToWindowsView(dir.Host()), u"FC", name), 0);
  EXPECT_EQ(name.substr(0, dir.Win().size()), dir.Win());
#ifdef _WIN32
  constexpr int kErrorDirectory = 267;  // "the directory name is invalid"
  EXPECT_EQ(CreateTempFile(dir.Win() + u"missing\\", u"FC", name), kErrorDirectory);
#else
  EXPECT_EQ(CreateTempFile(dir.Win() + u"missing\\", u"FC", name), kErrorPathNotFound);
#endif
}

TEST(FileSystemTest, DrivesAndFreeSpace) {
  TempDir dir;
  EXPECT_EQ(GetDriveType(u"A:\\"), dtNoRootDir);
  EXPECT_EQ(GetDriveType(u"b:\\file.zip"), dtNoRootDir);
  EXPECT_EQ(GetDriveType(kNoSuchDrive + std::u16string(u"\\")), dtNoRootDir);
#ifdef _WIN32
  EXPECT_EQ(GetDriveType(u"C:\\"), dtFixed);
#endif
  const TDriveType here = GetDriveType(dir.Win());
  EXPECT_TRUE(here == dtFixed || here == dtRemovable);
  EXPECT_EQ(GetDriveType(dir.Win() + u"not\\yet\\there.zip"), here);

  EXPECT_GT(DiskFreeSpace(dir.Win()), 0);
  EXPECT_GT(DiskFreeSpace(dir.Win() + u"not\\yet\\"), 0);
  EXPECT_EQ(DiskFreeSpace(kNoSuchDrive + std::u16string(u"\\")), -1);

#ifndef _WIN32
  // A mounted Linux file system keeps its label: quietly declined. (On
  // Windows the call would really label the drive; not tried there.)
  EXPECT_FALSE(SetVolumeLabel(u"Z:\\", u"pkback# 001"));
  EXPECT_FALSE(SetVolumeLabel(dir.Win(), u"pkback# 002"));
#endif
}

// A stand-in gets full paths, and takes over for its scope only, nesting.
TEST(FileSystemTest, DrivesCanBeStoodInForAScope) {
  struct Recorder : IDrives {
    TDriveType type;
    std::vector<std::u16string> asked;
    explicit Recorder(TDriveType t) : type(t) {}
    TDriveType DriveType(const std::u16string& path) override {
      asked.push_back(path);
      return type;
    }
    int64_t FreeSpace(const std::u16string& path) override {
      asked.push_back(path);
      return 1234;
    }
    bool SetVolumeLabel(const std::u16string& root, const std::u16string& label) override {
      asked.push_back(root + u"=" + label);
      return true;
    }
  };
  TempDir dir;
  const std::u16string file = dir.Win() + u"sub\\..\\x.zip";
  const TDriveType host = GetDriveType(file);
  Recorder outer(dtRemovable), inner(dtCDRom);
  {
    ScopedDrives first(&outer);
    EXPECT_EQ(GetDriveType(file), dtRemovable);
    EXPECT_EQ(DiskFreeSpace(file), 1234);
    EXPECT_TRUE(SetVolumeLabel(u"Z:\\", u"L"));
    EXPECT_EQ(outer.asked,
              (std::vector<std::u16string>{dir.Win() + u"x.zip", dir.Win() + u"x.zip", u"Z:\\=L"}));
    {
      ScopedDrives second(&inner);
      EXPECT_EQ(GetDriveType(file), dtCDRom);
      EXPECT_EQ(&second.Previous(), &outer);
    }
    EXPECT_EQ(GetDriveType(file), dtRemovable);
    EXPECT_EQ(&first.Previous(), &HostDrives());
  }
  EXPECT_EQ(GetDriveType(file), host);
#ifndef _WIN32
  EXPECT_FALSE(SetVolumeLabel(u"Z:\\", u"L"));  // the host's own again
#endif
}

}  // namespace
}  // namespace km::platform
