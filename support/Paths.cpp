#include "support/Paths.h"

#include <vector>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/Exceptions.h"
#include "support/FileSearch.h"

namespace km {

namespace {

constexpr size_t npos = std::u16string::npos;

// Position of the last '\' or ':', or npos.
size_t LastDelimiter(const std::u16string& path) {
  return path.find_last_of(u"\\:");
}

bool SameTextIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && platform::WideUpperCase(a) == platform::WideUpperCase(b);
}

// The components of a directory part, each one ended by '\'.
std::vector<std::u16string> SplitDirs(const std::u16string& dirPart) {
  std::vector<std::u16string> dirs;
  size_t from = 0;
  for (size_t at; (at = dirPart.find(u'\\', from)) != npos; from = at + 1)
    dirs.push_back(dirPart.substr(from, at - from));
  return dirs;
}

// The part of path after its drive part. A bare \\server\share is the root
// of the share, as "C:\" is of a drive ("C:" alone stays the current
// directory there).
std::u16string AfterDrive(const std::u16string& path, const std::u16string& drive) {
  std::u16string rest = path.substr(drive.size());
  if (rest.empty() && drive.starts_with(u"\\\\")) rest = u"\\";
  return rest;
}

// Directory trees deeper than this are not walked: no real tree gets there,
// and a link cycle must not exhaust the stack.
constexpr int kMaxTreeDepth = 1024;

bool RemoveDirTreeAt(const std::u16string& dir, int depth) {
  if (depth > kMaxTreeDepth) return false;
  SearchRecord record;
  constexpr uint32_t kAllButVolume = 0x37;
  for (int err = FileSearchFirst(dir + u"*", kAllButVolume, record); err == 0;
       err = FileSearchNext(record)) {
    if ((record.Attr & platform::faDirectory) == 0 || record.Name == u"." || record.Name == u"..")
      continue;
    // A link to a directory is left alone: descending would empty folders
    // outside the tree, or loop when it points back up.
    if (record.Attr & platform::faReparsePoint) continue;
    if (!RemoveDirTreeAt(dir + record.Name + u"\\", depth + 1)) return false;
  }
  FileSearchClose(record);
  return platform::RemoveDirectory(dir) ||
         platform::GetAttributes(dir) == platform::kInvalidAttributes;
}

}  // namespace

std::u16string IncludeTrailingSeparator(const std::u16string& path) {
  if (!path.empty() && path.back() == u'\\') return path;
  return path + u'\\';
}

std::u16string ExcludeTrailingSeparator(const std::u16string& path) {
  if (!path.empty() && path.back() == u'\\') return path.substr(0, path.size() - 1);
  return path;
}

std::u16string DirOrDefault(const std::u16string& dir, const std::u16string& defaultDir) {
  return IncludeTrailingSeparator(dir.empty() ? defaultDir : dir);
}

std::u16string LastDirName(const std::u16string& dir) {
  if (dir.empty()) return {};
  return ExtractFileName(ExcludeTrailingSeparator(dir)) + u'\\';
}

std::u16string ParentDirOf(const std::u16string& dir) {
  if (dir.empty()) return {};
  return ExtractFilePath(ExcludeTrailingSeparator(dir));
}

std::u16string ExtractFileName(const std::u16string& path) {
  size_t at = LastDelimiter(path);
  return at == npos ? path : path.substr(at + 1);
}

std::u16string ExtractFilePath(const std::u16string& path) {
  size_t at = LastDelimiter(path);
  return at == npos ? std::u16string() : path.substr(0, at + 1);
}

std::u16string ExtractFileDrive(const std::u16string& path) {
  if (path.size() >= 2 && path[1] == u':') return path.substr(0, 2);
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    // \\server\share: up to the separator after the share name.
    size_t afterServer = path.find(u'\\', 2);
    if (afterServer == npos) return path;
    size_t afterShare = path.find(u'\\', afterServer + 1);
    return afterShare == npos ? path : path.substr(0, afterShare);
  }
  return {};
}

std::u16string ExtractFileExt(const std::u16string& path) {
  size_t dot = path.find_last_of(u"\\:.");
  if (dot == npos || path[dot] != u'.') return {};
  return path.substr(dot);
}

std::u16string ExpandPath(const std::u16string& path) {
  return platform::FullPathName(path);
}

std::u16string GetCurrentDir() {
  return platform::CurrentDirectory();
}

std::u16string ResolvePath(const std::u16string& dir, const std::u16string& name,
                           const std::u16string& defaultDir) {
  if (name.find(u':') != npos || name.starts_with(u"\\\\")) return name;
  // Called for every file of a scan, mostly with a drive directory alone.
  if (name.empty() && dir.find(u':') != npos) return dir;
  const std::u16string fallback = defaultDir.empty() ? GetCurrentDir() : defaultDir;
  const std::u16string base = DirOrDefault(dir, fallback);
  if (!name.empty()) return ExpandPath(name.front() == u'\\' ? name : base + name);
  if (!DirectoryExists(base) && !dir.empty()) return dir;
  if (base != u"\\") return IncludeTrailingSeparator(ExpandPath(base));
  return IncludeTrailingSeparator(ExpandPath(u"."));
}

std::u16string RelativePathFrom(const std::u16string& base, const std::u16string& path) {
  const std::u16string baseDrive = ExtractFileDrive(base);
  const std::u16string pathDrive = ExtractFileDrive(path);
  if (!SameTextIgnoringCase(baseDrive, pathDrive)) return path;
  // Split what follows the drive: in \\server\share the last '\' lies inside
  // the drive part, so the directory part of the whole path can be shorter
  // than the drive.
  const std::u16string baseRest = AfterDrive(base, baseDrive);
  const std::u16string pathRest = AfterDrive(path, pathDrive);
  std::vector<std::u16string> baseDirs = SplitDirs(ExtractFilePath(baseRest));
  std::vector<std::u16string> pathDirs = SplitDirs(ExtractFilePath(pathRest));
  size_t common = 0;
  while (common < baseDirs.size() && common < pathDirs.size() &&
         SameTextIgnoringCase(baseDirs[common], pathDirs[common]))
    ++common;
  std::u16string result;
  for (size_t k = common; k < baseDirs.size(); ++k) result += u"..\\";
  for (size_t k = common; k < pathDirs.size(); ++k) result += pathDirs[k] + u'\\';
  return result + ExtractFileName(pathRest);
}

bool FileExists(const std::u16string& path) {
  // A listing would take '*' and '?' as wildcards and report some other
  // file; no real name holds them.
  if (path.find_first_of(u"*?") != std::u16string::npos) return false;
  platform::FindHandle handle = platform::kInvalidFindHandle;
  platform::FindData data;
  if (platform::FindFirst(path, handle, data) != 0) return false;
  platform::FindClose(handle);
  return (data.attributes & platform::faDirectory) == 0;
}

bool DirectoryExists(const std::u16string& path) {
  uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidAttributes && (attributes & platform::faDirectory) != 0;
}

uint32_t GetFileAttr(const std::u16string& path) {
  return platform::GetAttributes(path);
}

bool SetFileAttr(const std::u16string& path, uint32_t attributes) {
  return platform::SetAttributes(path, attributes);
}

uint32_t FileModDosTime(const std::u16string& path) {
  int64_t writeTime;
  return FileModDosTime(path, writeTime);
}

uint32_t FileModDosTime(const std::u16string& path, int64_t& writeTime) {
  writeTime = 0;
  uint32_t attributes = platform::GetAttributes(path);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::faDirectory) != 0)
    return kInvalidDosTime;
  int64_t exact = 0;
  if (!platform::GetFileWriteTime(path, exact)) return kInvalidDosTime;
  if (exact <= 0) {
    // Before 1601: no exact time, and the DOS time clamps to 1980.
    uint32_t dosTime;
    return platform::GetFileDosTime(path, dosTime) ? dosTime : kInvalidDosTime;
  }
  writeTime = exact;
  // Whole seconds, rounded down as the host's own seconds are.
  int64_t since = exact - platform::kFileTimeUnixEpoch;
  int64_t seconds = since / 10000000;
  if (since % 10000000 < 0) --seconds;
  return platform::UnixTimeToLocalDosTime(seconds);
}

int64_t FileSizeByName(const std::u16string& path) {
  platform::FindHandle handle = platform::kInvalidFindHandle;
  platform::FindData data;
  if (platform::FindFirst(path, handle, data) != 0) return 0;
  platform::FindClose(handle);
  return int64_t(data.size);
}

bool MakeDirPath(const std::u16string& path) {
  if (path.empty()) throw Exception(u"Невозможно создать каталог");
  // Walk up to the first directory that exists (or a root), then create the
  // missing ones top down. Each step must shorten the path, which bounds the
  // walk whatever the input looks like.
  std::vector<std::u16string> missing;
  std::u16string dir = ExcludeTrailingSeparator(path);
  for (;;) {
    if (dir.size() < 3 || DirectoryExists(dir)) break;
    std::u16string parent = ExtractFilePath(dir);
    // A root, or a doubled separator: nothing above it can be created, so
    // succeed only when it is really there.
    if (parent == dir) return DirectoryExists(dir);
    missing.push_back(dir);
    // A bare relative name has nothing above it but the current directory.
    if (parent.empty()) break;
    dir = ExcludeTrailingSeparator(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!platform::CreateDirectory(*it) && !DirectoryExists(*it)) return false;
  }
  return true;
}

bool RenameFile(const std::u16string& oldName, const std::u16string& newName) {
  return platform::MoveFile(oldName, newName);
}

bool DeleteFileByName(const std::u16string& path) {
  return platform::DeleteFile(path);
}

// Without its trailing '\' the listing "dir*" would match siblings of dir.
bool RemoveDirTree(const std::u16string& dir) {
  if (dir.empty()) return false;
  return RemoveDirTreeAt(IncludeTrailingSeparator(dir), 0);
}

bool IsFloppyDrive(const std::u16string& path) {
  std::u16string drive = platform::WideUpperCase(ExtractFileDrive(path));
  return drive == u"A:" || drive == u"B:";
}

bool IsRemovableDrive(const std::u16string& path) {
  return IsFloppyDrive(path) || platform::GetDriveType(path) == platform::dtRemovable;
}

}  // namespace km
