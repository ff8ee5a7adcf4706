// The Windows view of a POSIX file system.
//
// Choices the Windows API leaves to us on POSIX:
// - Listings are sorted by host name (bytes), with "." and ".." first, so
//   that runs over the same tree are reproducible.
// - A symbolic link to a directory is listed as a directory with the reparse
//   point bit (0x400) set, as Windows reports directory links; callers that
//   walk a tree must not descend into such entries. A link to anything else
//   reports its target. A dangling link has nothing to archive and is skipped.
// - A name without wildcards is looked up exactly: the host is case-sensitive,
//   and a case-insensitive hit would name a file that open() cannot find.
#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "platform/HostPath.h"
#include "platform/Listing.h"
#include "platform/posix/Errors.h"

namespace km::platform {

namespace fs = std::filesystem;
using listing::HasWildcards;
using listing::MatchMask;
using listing::SplitPattern;

namespace {

// Windows reports directory links and junctions with this bit.
// ERROR_NOT_SAME_DEVICE: a directory cannot be moved to another file system.
constexpr int kErrorNotSameDevice = 17;

thread_local int tLastError = kErrorSuccess;

bool Fail(int code) {
  detail::SetLastError(code);
  return false;
}

int FailCode(int code) {
  detail::SetLastError(code);
  return code;
}

bool FailErrno(const fs::path& host) {
  return Fail(detail::PathErrorFromErrno(errno, host));
}

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

// The last component of a host path, ignoring trailing slashes.
std::string_view LastComponent(const std::string& host) {
  std::string_view s = host;
  while (s.size() > 1 && s.back() == '/') s.remove_suffix(1);
  const size_t slash = s.rfind('/');
  return slash == std::string_view::npos ? s : s.substr(slash + 1);
}

uint32_t AttributesOf(const struct stat& st, bool isLink, std::string_view name) {
  uint32_t attributes = S_ISDIR(st.st_mode) ? faDirectory : faArchive;
  if (S_ISDIR(st.st_mode) && isLink) attributes |= faReparsePoint;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= faReadOnly;
  if (name.size() > 0 && name[0] == '.' && name != "." && name != "..") attributes |= faHidden;
  return attributes;
}

// lstat, then the target for a link. isLink tells which it was.
bool StatEntry(int dirFd, const char* name, struct stat& st, bool& isLink) {
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  isLink = S_ISLNK(st.st_mode);
  return !isLink || fstatat(dirFd, name, &st, 0) == 0;
}

// A host time as a FileTime; 0 (unknown) before 1601, the largest one past
// what 64 bits hold.
int64_t FileTimeOf(const struct timespec& ts) {
  constexpr int64_t kUnits = 10000000;
  constexpr int64_t kEpochSeconds = kFileTimeUnixEpoch / kUnits;
  const int64_t seconds = int64_t(ts.tv_sec);
  if (seconds <= -kEpochSeconds) return 0;
  if (seconds >= INT64_MAX / kUnits - kEpochSeconds) return INT64_MAX;
  return (seconds + kEpochSeconds) * kUnits + int64_t(ts.tv_nsec) / 100;
}

// The host path of a Windows path; empty (with "path not found") when the
// path has no host location.
fs::path HostOf(const std::u16string& path) {
  fs::path host = FromWindowsView(path);
  if (host.empty()) detail::SetLastError(kErrorPathNotFound);
  return host;
}

// Walks up to the nearest ancestor that exists, for questions about the
// volume of a path that is not there yet.
bool NearestExisting(fs::path host, fs::path& existing, struct stat& st) {
  for (;;) {
    if (stat(host.c_str(), &st) == 0) {
      existing = host;
      return true;
    }
    fs::path parent = host.parent_path();
    if (parent.empty() || parent == host) return false;
    host = std::move(parent);
  }
}

// Asks sysfs whether the disk behind a device number is removable.
bool IsRemovableDevice(dev_t device) {
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
  char* resolved = realpath(link, nullptr);
  if (resolved == nullptr) return false;  // not a block device (tmpfs, overlay, ...)
  std::string dir = resolved;
  free(resolved);
  // A partition's own directory lies inside its disk's directory.
  if (access((dir + "/partition").c_str(), F_OK) == 0) dir.erase(dir.rfind('/'));
  const int fd = open((dir + "/removable").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char c = 0;
  const ssize_t n = read(fd, &c, 1);
  close(fd);
  return n == 1 && c == '1';
}

// Copies a regular file to a new name and removes the original, for a move
// between file systems. The copy is synced before the original goes.
bool CopyAndDelete(const fs::path& from, const fs::path& to, const struct stat& st) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return FailErrno(from);
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    const int err = errno;
    close(in);
    return Fail(err == EEXIST ? kErrorAlreadyExists : detail::PathErrorFromErrno(err, to));
  }
  std::vector<char> buffer(1 << 20);
  int err = 0;
  for (;;) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) err = errno;
      break;
    }
    for (ssize_t done = 0; done < got && err == 0;) {
      const ssize_t put = write(out, buffer.data() + done, got - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0)
        err = put < 0 ? errno : ENOSPC;
      else
        done += put;
    }
    if (err != 0) break;
  }
  if (err == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
    if (fsync(out) != 0 && errno != EINVAL) err = errno;
  }
  if (close(out) != 0 && err == 0) err = errno;
  close(in);
  if (err == 0 && unlink(from.c_str()) != 0) err = errno;
  if (err != 0) {
    // Nothing moved: the original stays, the partial copy goes.
    unlink(to.c_str());
    return Fail(detail::ErrorFromErrno(err));
  }
  return true;
}

}  // namespace

namespace detail {

void SetLastError(int code) {
  tLastError = code;
}

int ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ELOOP:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
    case ETXTBSY:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EXDEV:
      return kErrorNotSameDevice;
    default:
      return kErrorGenFailure;
  }
}

int PathErrorFromErrno(int err, const fs::path& hostPath) {
  if (err != ENOENT) return ErrorFromErrno(err);
  const fs::path parent = hostPath.parent_path();
  if (parent.empty()) return kErrorFileNotFound;
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? kErrorFileNotFound
                                                               : kErrorPathNotFound;
}

}  // namespace detail

int LastError() {
  return tLastError;
}

// ---------------------------------------------------------------------------
// Listings

struct FindState {
  struct Entry {
    std::string host;     // name on the host
    std::u16string name;  // the same name in the Windows view
    bool dotEntry = false;
  };
  int dirFd = -1;
  DIR* stream = nullptr;  // owns dirFd once the directory has been read
  std::vector<Entry> entries;
  size_t next = 0;
  // The directory itself and its parent, as the root test saw them: what
  // "." and ".." report, without asking again.
  struct stat self {};
  struct stat parent {};
  bool dotsKnown = false;
  // The folder listed, as the pattern named it, with its trailing
  // separator; empty when it cannot serve to open its subfolders. And the
  // length of its host path, with its trailing '/'.
  std::u16string dirPart;
  size_t hostLength = 0;

  ~FindState() {
    if (stream != nullptr)
      closedir(stream);
    else if (dirFd >= 0)
      close(dirFd);
  }
};

namespace {

// The folders above the latest listing of a FolderWalk, kept open after
// their listings close. A walk lists a folder, closes it and then lists
// each of its subfolders: opening those relative to their parent spares the
// system walking the whole path again for every folder. Only the chain from
// the first folder of the walk down to the latest one is kept, per thread:
// a handful of descriptors, closed as the walk leaves them and all of them
// when it ends (an open folder would keep a removable disk from being
// unmounted).
class KeptFolders {
 public:
  KeptFolders() = default;
  KeptFolders(const KeptFolders&) = delete;
  KeptFolders& operator=(const KeptFolders&) = delete;
  ~KeptFolders() { Drop(0); }

  void BeginWalk() { ++walks_; }
  void EndWalk() {
    if (--walks_ == 0) Drop(0);
  }

  // Opens dirPart (ending in a separator) for listing when it is a direct
  // subfolder of a kept folder: true with fd set (-1 and errno on failure)
  // and hostLength that of its host path. False when no kept folder holds
  // it, or its whole path would be too long for the system to open: such a
  // folder fails as it always did.
  bool OpenChild(const std::u16string& dirPart, int& fd, size_t& hostLength) {
    for (size_t k = chain_.size(); k-- > 0;) {
      const std::u16string& parent = chain_[k].dirPart;
      if (dirPart.size() <= parent.size() + 1 || !Holds(parent, dirPart)) continue;
      const std::u16string name = dirPart.substr(parent.size(), dirPart.size() - parent.size() - 1);
      if (name.find_first_of(u"\\/:") != std::u16string::npos ||
          name.find(u'\0') != std::u16string::npos || name == u"." || name == u"..")
        return false;
      const std::string host = WindowsNameToHost(name);
      if (host.empty() || host.find('/') != std::string::npos) return false;
      hostLength = chain_[k].hostLength + host.size() + 1;
      if (hostLength >= PATH_MAX) return false;
      // The folders below the parent are behind the walk now.
      Drop(k + 1);
      fd = openat(chain_[k].Fd(), host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      return true;
    }
    return false;
  }

  // Takes over a listed folder's stream (or bare descriptor) in place of
  // closing it, dropping the kept folders that do not hold it.
  void Keep(FindState& state) {
    if (walks_ <= 0) return;
    size_t above = 0;
    while (above < chain_.size() && state.dirPart.size() > chain_[above].dirPart.size() &&
           Holds(chain_[above].dirPart, state.dirPart))
      ++above;
    Drop(above);
    if (chain_.size() >= kMaxKept) return;
    chain_.push_back({state.dirPart, state.hostLength, state.stream, state.dirFd});
    state.stream = nullptr;
    state.dirFd = -1;
  }

 private:
  static constexpr size_t kMaxKept = 64;
  struct Folder {
    std::u16string dirPart;
    size_t hostLength;
    DIR* stream;  // owns fd when set
    int fd;
    int Fd() const { return stream != nullptr ? dirfd(stream) : fd; }
  };

  // Whether path starts with folder (which ends in a separator).
  static bool Holds(const std::u16string& folder, const std::u16string& path) {
    return path.size() >= folder.size() &&
           std::memcmp(path.data(), folder.data(), folder.size() * sizeof(char16_t)) == 0;
  }

  void Drop(size_t from) {
    while (chain_.size() > from) {
      const Folder& last = chain_.back();
      if (last.stream != nullptr)
        closedir(last.stream);
      else
        close(last.fd);
      chain_.pop_back();
    }
  }

  int walks_ = 0;  // FolderWalks alive on this thread
  std::vector<Folder> chain_;
};

thread_local KeptFolders tKeptFolders;

// Reads the names of the listing's directory that match mask, sorted by
// host name; a directory other than the root first lists "." and "..".
// The directory stream stays open with the listing, so that its descriptor
// serves the lookups of the entries.
int ReadMatchingEntries(FindState& state, std::u16string_view mask, bool withDots) {
  const std::u16string upperMask = WideUpperCase(mask == u"*.*" ? u"*" : mask);
  const bool everyName = upperMask == u"*";  // what a walk lists
  // The root lists no "." and "..": it is its own parent.
  bool root = true;
  if (withDots) {
    state.dotsKnown =
        fstat(state.dirFd, &state.self) == 0 && fstatat(state.dirFd, "..", &state.parent, 0) == 0;
    root = state.dotsKnown && state.self.st_dev == state.parent.st_dev &&
           state.self.st_ino == state.parent.st_ino;
  }
  std::vector<FindState::Entry>& out = state.entries;
  if (!root) {
    for (const char* dot : {".", ".."}) {
      std::u16string name(dot, dot + strlen(dot));
      if (MatchMask(name, upperMask)) out.push_back({dot, std::move(name), true});
    }
  }
  state.stream = fdopendir(state.dirFd);
  if (state.stream == nullptr) return detail::ErrorFromErrno(errno);
  const size_t firstReal = out.size();
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(state.stream);
    if (entry == nullptr) {
      if (errno != 0) return detail::ErrorFromErrno(errno);
      break;
    }
    const std::string_view host = entry->d_name;
    if (host == "." || host == "..") continue;
    std::u16string name = HostTextToWindowsView(host);
    if (everyName || MatchMask(name, upperMask))
      out.push_back({std::string(host), std::move(name)});
  }
  std::sort(out.begin() + firstReal, out.end(),
            [](const FindState::Entry& a, const FindState::Entry& b) { return a.host < b.host; });
  return kErrorSuccess;
}

// The host name of a listed name without wildcards; ".\" keeps a name such
// as "a:b" from being read as a drive.
std::string HostNameOf(const std::u16string& name) {
  // A plain name is one component: converted alone, without building paths.
  if (name.find_first_of(u"\\/") == std::u16string::npos &&
      name.find(u'\0') == std::u16string::npos) {
    std::string host = WindowsNameToHost(name);
    const size_t slash = host.rfind('/');
    return slash == std::string::npos ? host : host.substr(slash + 1);
  }
  return FromWindowsView(u".\\" + name).filename().native();
}

}  // namespace

int FindFirst(const std::u16string& pattern, FindHandle& handle, FindData& data, bool withDots) {
  handle = kInvalidFindHandle;
  std::u16string dirPart, mask;
  SplitPattern(pattern, dirPart, mask);
  if (mask.empty()) return FailCode(kErrorFileNotFound);
  auto state = std::make_unique<FindState>();
  // Only a full path names the same folder wherever the current one is.
  const bool full = dirPart.size() >= 3 && dirPart[1] == u':' && IsSeparator(dirPart[2]) &&
                    IsSeparator(dirPart.back());
  if (!full || !tKeptFolders.OpenChild(dirPart, state->dirFd, state->hostLength)) {
    const fs::path dir = dirPart.empty() ? fs::path(".") : FromWindowsView(dirPart);
    if (dir.empty()) return FailCode(kErrorPathNotFound);
    state->dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    state->hostLength = dir.native().size();
  }
  if (state->dirFd < 0) {
    const int err = errno;
    return FailCode(err == ENOENT ? kErrorPathNotFound : detail::ErrorFromErrno(err));
  }
  if (HasWildcards(mask)) {
    const int rc = ReadMatchingEntries(*state, mask, withDots);
    if (rc != kErrorSuccess) return FailCode(rc);
  } else {
    const std::string host = HostNameOf(mask);
    struct stat st;
    bool isLink = false;
    if (host.empty()) return FailCode(kErrorFileNotFound);
    if (!StatEntry(state->dirFd, host.c_str(), st, isLink)) {
      const int err = errno;
      return FailCode(err == ENOENT ? kErrorFileNotFound : detail::ErrorFromErrno(err));
    }
    state->entries.push_back({host, mask, host == "." || host == ".."});
  }
  if (full) state->dirPart = dirPart;
  handle = state.release();
  const int rc = FindNext(handle, data);
  if (rc != kErrorSuccess) {
    FindClose(handle);
    return FailCode(rc == kErrorNoMoreFiles ? kErrorFileNotFound : rc);
  }
  return kErrorSuccess;
}

int FindNext(FindHandle handle, FindData& data) {
  if (handle == kInvalidFindHandle) return FailCode(kErrorInvalidHandle);
  while (handle->next < handle->entries.size()) {
    const FindState::Entry& entry = handle->entries[handle->next++];
    struct stat st;
    bool isLink = false;
    if (entry.dotEntry) {
      // A folder that may be read but not searched cannot say what its
      // "." and ".." are; they are folders all the same.
      if (handle->dotsKnown) {
        st = entry.host == "." ? handle->self : handle->parent;
      } else {
        st = {};
        st.st_mode = S_IFDIR;
      }
    } else if (!StatEntry(handle->dirFd, entry.host.c_str(), st, isLink)) {
      const int code = detail::ErrorFromErrno(errno);
      // Gone since the directory was read, or a dangling link: nothing to report.
      if (code == kErrorFileNotFound || code == kErrorPathNotFound) continue;
      // There, but what it is cannot be read: the caller must neither skip
      // it in silence nor take it for gone.
      data.name = entry.name;
      data.attributes = 0;
      data.size = 0;
      data.dosTime = 0;
      data.writeTime = 0;
      data.error = code;
      return kErrorSuccess;
    }
    data.error = 0;
    data.name = entry.name;
    data.attributes = entry.dotEntry ? faDirectory : AttributesOf(st, isLink, entry.host);
    data.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data.dosTime = UnixTimeToLocalDosTime(st.st_mtim.tv_sec);
    data.writeTime = FileTimeOf(st.st_mtim);
    return kErrorSuccess;
  }
  return FailCode(kErrorNoMoreFiles);
}

void FindClose(FindHandle& handle) {
  if (handle != kInvalidFindHandle && !handle->dirPart.empty()) tKeptFolders.Keep(*handle);
  delete handle;
  handle = kInvalidFindHandle;
}

FolderWalk::FolderWalk() {
  tKeptFolders.BeginWalk();
}

FolderWalk::~FolderWalk() {
  tKeptFolders.EndWalk();
}

FileLookup::~FileLookup() {
  if (dir_ >= 0) close(int(dir_));
}

// What FindFirst and FindNext do for a name without wildcards, reusing the
// directory that the previous path opened. The directory is opened for
// lookups only: a folder this user may search but not list still answers.
FileLookup::State FileLookup::Find(const std::u16string& path, int& error) {
  error = 0;
  if (path.find_first_of(u"*?") != std::u16string::npos) return State::Missing;
  std::u16string dirPart, name;
  SplitPattern(path, dirPart, name);
  if (name.empty()) return State::Missing;
  if (dirPart != dirPart_ || dir_ < 0) {
    if (dir_ >= 0) close(int(dir_));
    dir_ = -1;
    dirError_ = 0;
    dirPart_ = dirPart;
    const fs::path dir = dirPart.empty() ? fs::path(".") : FromWindowsView(dirPart);
    if (dir.empty()) return State::Missing;
#ifdef O_PATH
    dir_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    dir_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (dir_ < 0) dirError_ = detail::ErrorFromErrno(errno);
  }
  const auto failed = [&](int code) {
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return State::Missing;
    error = code;
    return State::Unknown;
  };
  if (dir_ < 0) return failed(dirError_);  // asked again for the next path
  const std::string host = HostNameOf(name);
  if (host.empty() || host == "." || host == "..") return State::Missing;
  struct stat st;
  bool isLink = false;
  if (!StatEntry(int(dir_), host.c_str(), st, isLink)) return failed(detail::ErrorFromErrno(errno));
  return S_ISDIR(st.st_mode) ? State::Directory : State::File;
}

// ---------------------------------------------------------------------------
// Attributes and paths

uint32_t GetAttributes(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return kInvalidAttributes;
  struct stat st;
  bool isLink = false;
  if (!StatEntry(AT_FDCWD, host.c_str(), st, isLink)) {
    FailErrno(host);
    return kInvalidAttributes;
  }
  return AttributesOf(st, isLink, LastComponent(host.native()));
}

bool IdentityOf(const std::u16string& path, FileIdentity& identity) {
  const fs::path host = HostOf(path);
  struct stat st;
  if (host.empty() || stat(host.c_str(), &st) != 0) return false;
  identity.device = uint64_t(st.st_dev);
  identity.file = uint64_t(st.st_ino);
  return true;
}

bool IsDeviceOrPipe(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  bool isLink = false;
  if (!StatEntry(AT_FDCWD, host.c_str(), st, isLink)) return false;
  return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool SetAttributes(const std::u16string& path, uint32_t attributes) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return FailErrno(host);
  // Read-only means "owner may not write" for files only: on a directory it
  // would stop files being created inside, which Windows does not do.
  if (S_ISDIR(st.st_mode)) return true;
  const mode_t mode = (attributes & faReadOnly) ? (st.st_mode & ~S_IWUSR) : (st.st_mode | S_IWUSR);
  if (mode != st.st_mode && chmod(host.c_str(), mode & 07777) != 0) return FailErrno(host);
  return true;
}

std::u16string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      detail::SetLastError(detail::ErrorFromErrno(errno));
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
  return ToWindowsView(fs::path(buffer.data()));
}

std::u16string FullPathName(const std::u16string& path) {
  if (path.empty()) {
    detail::SetLastError(kErrorInvalidName);
    return {};
  }
  std::u16string p = path;
  std::replace(p.begin(), p.end(), u'/', u'\\');
  if (p.size() >= 4 && p.compare(0, 4, u"\\\\?\\") == 0) return p;  // taken literally

  std::u16string root;
  size_t restStart = 0;
  if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') {
    // \\server\share\rest: the share is the root.
    const size_t server = p.find(u'\\', 2);
    const size_t share = server == std::u16string::npos ? server : p.find(u'\\', server + 1);
    if (share == std::u16string::npos) return p;
    root = p.substr(0, share + 1);
    restStart = share + 1;
  } else if (p.size() >= 2 && p[1] == u':') {
    if (p.size() >= 3 && p[2] == u'\\') {
      root = p.substr(0, 3);
      restStart = 3;
    } else if (AsciiUpper(p[0]) == kHostDriveLetter) {
      const std::u16string cwd = CurrentDirectory();
      if (cwd.empty() || p.size() == 2) return cwd;
      return FullPathName(cwd + u'\\' + p.substr(2));
    } else {
      // Another drive has no current directory here: its root stands in.
      root = p.substr(0, 2) + u'\\';
      restStart = 2;
    }
  } else if (p[0] == u'\\') {
    root = {kHostDriveLetter, u':', u'\\'};
    restStart = 1;
  } else {
    const std::u16string cwd = CurrentDirectory();
    if (cwd.empty()) return {};
    return FullPathName(cwd + u'\\' + p);
  }

  std::vector<std::u16string_view> parts;
  const std::u16string_view rest = std::u16string_view(p).substr(restStart);
  for (size_t i = 0; i <= rest.size();) {
    size_t end = rest.find(u'\\', i);
    if (end == std::u16string_view::npos) end = rest.size();
    const std::u16string_view part = rest.substr(i, end - i);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    i = end + 1;
  }
  std::u16string result = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += u'\\';
    result += parts[i];
  }
  if (p.back() == u'\\' && result.back() != u'\\') result += u'\\';
  return result;
}

bool SetCurrentDirectory(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  if (chdir(host.c_str()) != 0)
    return Fail(errno == ENOENT ? kErrorPathNotFound : detail::ErrorFromErrno(errno));
  return true;
}

// ---------------------------------------------------------------------------
// Directories and files

bool CreateDirectory(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  if (mkdir(host.c_str(), 0777) == 0) return true;
  if (errno == EEXIST) return Fail(kErrorAlreadyExists);
  return Fail(errno == ENOENT ? kErrorPathNotFound : detail::ErrorFromErrno(errno));
}

bool RemoveDirectory(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return FailErrno(host);
  if (S_ISLNK(st.st_mode)) {
    // A listed directory link is removed as the link, never through it.
    struct stat target;
    if (stat(host.c_str(), &target) != 0 || !S_ISDIR(target.st_mode))
      return Fail(kErrorPathNotFound);
    if (unlink(host.c_str()) != 0) return FailErrno(host);
    return true;
  }
  if (rmdir(host.c_str()) == 0) return true;
  return Fail(errno == EEXIST ? kErrorDirNotEmpty : detail::PathErrorFromErrno(errno, host));
}

bool MoveFile(const std::u16string& from, const std::u16string& to) {
  const fs::path hostFrom = HostOf(from);
  const fs::path hostTo = HostOf(to);
  if (hostFrom.empty() || hostTo.empty()) return Fail(kErrorPathNotFound);
  if (renameat2(AT_FDCWD, hostFrom.c_str(), AT_FDCWD, hostTo.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
    // File systems without an atomic no-replace rename: check, then rename.
    struct stat st;
    if (lstat(hostTo.c_str(), &st) == 0) return Fail(kErrorAlreadyExists);
    if (rename(hostFrom.c_str(), hostTo.c_str()) == 0) return true;
    err = errno;
  }
  if (err == EEXIST || err == ENOTEMPTY) return Fail(kErrorAlreadyExists);
  if (err == EXDEV) {
    struct stat st;
    if (lstat(hostFrom.c_str(), &st) != 0) return FailErrno(hostFrom);
    if (!S_ISREG(st.st_mode)) return Fail(kErrorNotSameDevice);
    if (lstat(hostTo.c_str(), &st) == 0) return Fail(kErrorAlreadyExists);
    if (lstat(hostFrom.c_str(), &st) != 0) return FailErrno(hostFrom);
    return CopyAndDelete(hostFrom, hostTo, st);
  }
  // Tell a missing source from a missing target directory.
  struct stat st;
  if (err == ENOENT && lstat(hostFrom.c_str(), &st) == 0)
    return Fail(detail::PathErrorFromErrno(ENOENT, hostTo));
  return Fail(detail::PathErrorFromErrno(err, hostFrom));
}

bool DeleteFile(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return FailErrno(host);
  // As on Windows: directories are not files, and a read-only file stays.
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return Fail(kErrorAccessDenied);
  if (unlink(host.c_str()) != 0) return FailErrno(host);
  return true;
}

bool FlushDirectoryOf(const std::u16string& path) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  fs::path dir = host.parent_path();
  if (dir.empty()) dir = ".";
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailErrno(dir);
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  const int err = errno;
  close(fd);
  // EINVAL: a file system with nothing to sync.
  if (rc != 0 && err != EINVAL) return Fail(detail::ErrorFromErrno(err));
  return true;
}

// ---------------------------------------------------------------------------
// Times

namespace {

constexpr uint32_t kMinDosTime = (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
constexpr uint32_t kMaxDosTime =                        // 2107-12-31 23:59:58
    (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);

bool DecodeDosTime(uint32_t dosTime, struct tm& tm) {
  tm = {};
  tm.tm_year = static_cast<int>(dosTime >> 25) + 80;
  tm.tm_mon = static_cast<int>((dosTime >> 21) & 0x0F) - 1;
  tm.tm_mday = static_cast<int>((dosTime >> 16) & 0x1F);
  tm.tm_hour = static_cast<int>((dosTime >> 11) & 0x1F);
  tm.tm_min = static_cast<int>((dosTime >> 5) & 0x3F);
  tm.tm_sec = static_cast<int>(dosTime & 0x1F) * 2;
  tm.tm_isdst = -1;
  return tm.tm_mon >= 0 && tm.tm_mon < 12 && tm.tm_mday >= 1 && tm.tm_hour < 24 && tm.tm_min < 60 &&
         tm.tm_sec < 60;
}

}  // namespace

uint32_t UnixTimeToLocalDosTime(int64_t unixSeconds) {
  // localtime_r need not load the zone itself; once is enough (tzset() per
  // call would stat /etc/localtime for every listed file).
  static const bool zoneLoaded = (tzset(), true);
  (void)zoneLoaded;
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return unixSeconds < 0 ? kMinDosTime : kMaxDosTime;
  const int64_t year = int64_t{tm.tm_year} + 1900;
  if (year < 1980) return kMinDosTime;
  if (year > 2107) return kMaxDosTime;
  const uint32_t date =
      static_cast<uint32_t>((year - 1980) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
  const uint32_t time =
      static_cast<uint32_t>(tm.tm_hour << 11 | tm.tm_min << 5 | std::min(tm.tm_sec, 59) / 2);
  return date << 16 | time;
}

int64_t LocalDosTimeToUnixTime(uint32_t dosTime) {
  struct tm tm;
  DecodeDosTime(dosTime, tm);  // mktime normalises out-of-range fields
  return static_cast<int64_t>(mktime(&tm));
}

bool GetFileDosTime(const std::u16string& path, uint32_t& dosTime) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return FailErrno(host);
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);  // not a file
  dosTime = UnixTimeToLocalDosTime(st.st_mtim.tv_sec);
  return true;
}

bool SetFileDosTime(const std::u16string& path, uint32_t dosTime) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct tm tm;
  if (!DecodeDosTime(dosTime, tm)) return Fail(kErrorInvalidParameter);
  struct timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(LocalDosTimeToUnixTime(dosTime));
  if (utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) return FailErrno(host);
  return true;
}

bool GetFileWriteTime(const std::u16string& path, int64_t& fileTime) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return FailErrno(host);
  fileTime = FileTimeOf(st.st_mtim);
  return true;
}

bool SetFileWriteTime(const std::u16string& path, int64_t fileTime) {
  const fs::path host = HostOf(path);
  if (host.empty()) return false;
  if (fileTime <= 0) return Fail(kErrorInvalidParameter);
  constexpr int64_t kUnits = 10000000;
  const int64_t sinceEpoch = fileTime - kFileTimeUnixEpoch;
  // Floor division: a time before 1970 still has a non-negative fraction.
  int64_t seconds = sinceEpoch / kUnits;
  int64_t rest = sinceEpoch % kUnits;
  if (rest < 0) {
    rest += kUnits;
    --seconds;
  }
  if (seconds > int64_t(std::numeric_limits<time_t>::max()) ||
      seconds < int64_t(std::numeric_limits<time_t>::min()))
    return Fail(kErrorInvalidParameter);
  struct timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(rest * 100);
  if (utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) return FailErrno(host);
  return true;
}

// ---------------------------------------------------------------------------
// Temporary files

std::u16string TempPath() {
  const char* env = getenv("TMPDIR");
  const fs::path host = env != nullptr && *env != '\0' ? fs::path(env) : fs::path("/tmp");
  std::u16string path = FullPathName(ToWindowsView(host));
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path;
}

int CreateTempFile(const std::u16string& dir, const std::u16string& prefix,
                   std::u16string& fileName) {
  // Random starting numbers keep concurrent processes apart; a collision
  // only costs another try.
  static std::atomic<uint64_t> counter{0};
  std::seed_seq seed{
      static_cast<uint64_t>(std::random_device{}()), static_cast<uint64_t>(getpid()),
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      counter.fetch_add(1)};
  std::mt19937 random(seed);

  std::u16string base = dir;
  if (!base.empty() && !IsSeparator(base.back()) && base.back() != u':') base += u'\\';
  base += prefix.substr(0, 3);  // GetTempFileName uses up to three characters
  constexpr int kAttempts = 256;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::u16string name = base;
    const uint32_t number = static_cast<uint32_t>(random());
    for (int shift = 28; shift >= 0; shift -= 4)
      name += u"0123456789ABCDEF"[(number >> shift) & 0xF];
    name += u".tmp";
    const fs::path host = FromWindowsView(name.empty() ? u"." : name);
    if (host.empty()) return FailCode(kErrorPathNotFound);
    const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      fileName = std::move(name);
      return kErrorSuccess;
    }
    if (errno != EEXIST) return FailCode(detail::PathErrorFromErrno(errno, host));
  }
  return FailCode(kErrorFileExists);
}

// ---------------------------------------------------------------------------
// Volumes

namespace {

class PosixDrives final : public IDrives {
 public:
  TDriveType DriveType(const std::u16string& full) override {
    if (full.size() >= 2 && full[1] == u':' && AsciiUpper(full[0]) != kHostDriveLetter)
      return dtNoRootDir;  // A:, B: and every other drive do not exist here
    const fs::path host = FromWindowsView(full);
    fs::path existing;
    struct stat st;
    if (host.empty() || !NearestExisting(host, existing, st)) return dtNoRootDir;
    return IsRemovableDevice(st.st_dev) ? dtRemovable : dtFixed;
  }

  int64_t FreeSpace(const std::u16string& full) override {
    const fs::path host = FromWindowsView(full);
    fs::path existing;
    struct stat st;
    struct statvfs vfs;
    if (host.empty() || !NearestExisting(host, existing, st) ||
        statvfs(existing.c_str(), &vfs) != 0) {
      detail::SetLastError(kErrorPathNotFound);
      return -1;
    }
    const uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    if (unit != 0 && vfs.f_bavail > static_cast<uint64_t>(INT64_MAX) / unit) return INT64_MAX;
    return static_cast<int64_t>(vfs.f_bavail * unit);
  }

  bool SetVolumeLabel(const std::u16string&, const std::u16string&) override {
    return Fail(kErrorAccessDenied);  // a mounted file system keeps its label
  }
};

}  // namespace

IDrives& HostDrives() {
  static PosixDrives drives;
  return drives;
}

bool SameNameInFolder(std::u16string_view a, std::u16string_view b) {
  return a == b;
}

}  // namespace km::platform
