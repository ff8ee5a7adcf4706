// The Windows view of the host file system. Paths are UTF-16 Windows paths
// (see HostPath.h); results use Windows error codes so that the layers above
// stay the same on every backend.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace km::platform {

// Whether two names that differ only in case name two files. They do on
// POSIX hosts; Windows file systems take them for one name.
#ifdef _WIN32
inline constexpr bool kCaseSensitiveFileNames = false;
#else
inline constexpr bool kCaseSensitiveFileNames = true;
#endif

// Whether two names in one folder name the same file on this host: on
// Windows regardless of case and of trailing dots and spaces, which it drops.
bool SameNameInFolder(std::u16string_view a, std::u16string_view b);

// Attribute bits.
inline constexpr uint32_t faReadOnly = 0x01;
inline constexpr uint32_t faHidden = 0x02;
inline constexpr uint32_t faSysFile = 0x04;
inline constexpr uint32_t faVolumeId = 0x08;
inline constexpr uint32_t faDirectory = 0x10;
inline constexpr uint32_t faArchive = 0x20;
inline constexpr uint32_t faNormal = 0x80;
// A symbolic link to a directory: listed as a directory with this bit, and
// never descended into by a tree walk (a link back up would loop).
inline constexpr uint32_t faReparsePoint = 0x400;
inline constexpr uint32_t faCompressed = 0x800;
inline constexpr uint32_t faNotContentIndexed = 0x2000;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

// Error codes (the Windows values).
inline constexpr int kErrorSuccess = 0;
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorInvalidHandle = 6;
inline constexpr int kErrorNotEnoughMemory = 8;
inline constexpr int kErrorNoMoreFiles = 18;
inline constexpr int kErrorWriteFault = 29;
inline constexpr int kErrorReadFault = 30;
inline constexpr int kErrorGenFailure = 31;
inline constexpr int kErrorSharingViolation = 32;
inline constexpr int kErrorFileExists = 80;
inline constexpr int kErrorInvalidParameter = 87;
inline constexpr int kErrorDiskFull = 112;
inline constexpr int kErrorInvalidName = 123;
inline constexpr int kErrorDirNotEmpty = 145;
inline constexpr int kErrorAlreadyExists = 183;
inline constexpr int kErrorFilenameTooLong = 206;

// The error of the last failed call on this thread (GetLastError).
int LastError();

// One entry of a directory listing.
struct FindData {
  std::u16string name;  // last path component
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint32_t dosTime = 0;   // last write, local time, DOS date (high) and time (low)
  int64_t writeTime = 0;  // last write, exact: a FileTime (UTC)
  // Not 0: the entry is there but its details could not be read (this
  // error code); attributes, size and times are then 0.
  int error = 0;
};

// An open listing; nullptr is the invalid handle.
struct FindState;
using FindHandle = FindState*;
inline constexpr FindHandle kInvalidFindHandle = nullptr;

// Lists the directory part of pattern, matching its last component ('*' and
// '?' allowed, case ignored, "*.*" matches every name; '?' is always exactly
// one character, without the DOS rules of the Windows listing). As on Windows, a
// non-root directory also lists "." and ".." (attribute 0x10 only).
// FIFOs, sockets and devices are listed (attribute 0x20, size 0) but never
// opened; symbolic links to directories are listed as directories and not
// followed by the listing itself; links to files report the target. An
// entry gone since the directory was read, or a dangling link, is passed
// over; one whose details cannot be read for another reason is listed with
// FindData::error set.
// Returns 0 and fills data, or an error code (handle stays invalid).
// withDots false leaves "." and ".." out, for a walk that never wants them:
// the host is then not asked about them either.
int FindFirst(const std::u16string& pattern, FindHandle& handle, FindData& data,
              bool withDots = true);
// Returns 0 and fills data, or an error code (kErrorNoMoreFiles at the end).
int FindNext(FindHandle handle, FindData& data);
// Closes an open listing and sets the handle to invalid; nothing when invalid.
void FindClose(FindHandle& handle);

// A walk of a tree on this thread, for as long as it lives: a listing's
// folder may stay open after the listing closes, so that its subfolders are
// opened relative to it rather than by their whole paths. Whatever stays
// open is closed when the outermost walk ends. Nothing on hosts whose
// system keeps such folders at hand anyway.
class FolderWalk {
 public:
  FolderWalk();
  ~FolderWalk();
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;
};

// Asks, for many paths in a row, whether a listing of each (FindFirst on
// the path) finds something that is not a directory. The directory of the
// last path stays open, so the files of one folder cost one lookup each.
class FileLookup {
 public:
  FileLookup() = default;
  ~FileLookup();
  FileLookup(const FileLookup&) = delete;
  FileLookup& operator=(const FileLookup&) = delete;

  enum class State { File, Directory, Missing, Unknown };
  // What is at path: Unknown (with error set) when the system cannot say,
  // for a reason other than "not found". A name with wildcards is Missing,
  // as no real name holds them.
  State Find(const std::u16string& path, int& error);
  bool IsFile(const std::u16string& path) {
    int error = 0;
    return Find(path, error) == State::File;
  }

 private:
  std::u16string dirPart_;
  // The backend's open directory of dirPart_ (a descriptor, a handle), or -1.
  intptr_t dir_ = -1;
  int dirError_ = 0;  // why the directory of dirPart_ could not be opened
};

uint32_t GetAttributes(const std::u16string& path);  // kInvalidAttributes on failure
bool SetAttributes(const std::u16string& path, uint32_t attributes);
// A FIFO, socket or device: listed like an empty file, but opening one would
// block or read without end, so it is never archived.
bool IsDeviceOrPipe(const std::u16string& path);
// What tells one file from every other, however it is reached (links
// followed): the same values for two paths mean the same file. False when
// the path cannot be looked at.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool IdentityOf(const std::u16string& path, FileIdentity& identity);

// GetFullPathName: relative parts resolved against the current directory,
// '/' taken as '\', "." and ".." removed (never above the root).
std::u16string FullPathName(const std::u16string& path);
std::u16string CurrentDirectory();  // no trailing '\' except at a root
bool SetCurrentDirectory(const std::u16string& path);

bool CreateDirectory(const std::u16string& path);
bool RemoveDirectory(const std::u16string& path);                     // only an empty directory
bool MoveFile(const std::u16string& from, const std::u16string& to);  // fails if `to` exists
bool DeleteFile(const std::u16string& path);
// Makes the names in the folder that holds path (created, deleted) survive
// a power cut. Nothing to do where the file system keeps them anyway.
bool FlushDirectoryOf(const std::u16string& path);

// Last-write time of a file as a local DOS date-time; false when it cannot be read.
bool GetFileDosTime(const std::u16string& path, uint32_t& dosTime);
bool SetFileDosTime(const std::u16string& path, uint32_t dosTime);

// Exact times are FileTimes: 100 ns units since 1601-01-01 00:00 UTC, as
// Windows and the NTFS time field of ZIP hold them; 0 means unknown.
inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;  // 1970-01-01
// Exact last-write time of a file or directory; false when it cannot be read.
bool GetFileWriteTime(const std::u16string& path, int64_t& fileTime);
// Sets the last-write time to the 100 ns (as far as the host keeps it).
bool SetFileWriteTime(const std::u16string& path, int64_t fileTime);

// Host time (seconds since 1970, UTC) <-> local DOS date-time. Years before
// 1980 clamp to 1980-01-01 00:00:00, after 2107 to 2107-12-31 23:59:58.
uint32_t UnixTimeToLocalDosTime(int64_t unixSeconds);
int64_t LocalDosTimeToUnixTime(uint32_t dosTime);

// The temporary folder with a trailing '\' ($TMPDIR, else /tmp on POSIX).
std::u16string TempPath();
// GetTempFileName: creates an empty, unique file dir + prefix + hex + ".tmp"
// and returns its name; 0 on success or an error code.
int CreateTempFile(const std::u16string& dir, const std::u16string& prefix,
                   std::u16string& fileName);

enum TDriveType : uint8_t {
  dtUnknown,
  dtNoRootDir,
  dtRemovable,
  dtFixed,
  dtRemote,
  dtCDRom,
  dtRamDisk
};
// The type of the drive that holds path.
TDriveType GetDriveType(const std::u16string& path);
// Free bytes available to the caller on the volume that holds path; -1 when unknown.
int64_t DiskFreeSpace(const std::u16string& path);
// Sets a drive's volume label; false where the host cannot (a mounted Linux
// file system): callers treat that as a no-op.
bool SetVolumeLabel(const std::u16string& rootPath, const std::u16string& label);

// What the three calls above ask: the host's drives, unless drives of a
// test's own making stand in for them while a ScopedDrives lives (a folder
// that plays a floppy, say, filling up and swapped for a blank one). Paths
// come full (FullPathName), in the Windows view.
class IDrives {
 public:
  virtual ~IDrives() = default;
  virtual TDriveType DriveType(const std::u16string& fullPath) = 0;
  virtual int64_t FreeSpace(const std::u16string& fullPath) = 0;
  virtual bool SetVolumeLabel(const std::u16string& rootPath, const std::u16string& label) = 0;
};

// The host's own drives, whatever stands in for them.
IDrives& HostDrives();

// Puts drives in place of the host's for a scope and restores the previous
// ones. The only way to replace them: nothing the shipped programs read
// (environment, options, files) can make a folder look removable.
class ScopedDrives {
 public:
  explicit ScopedDrives(IDrives* drives);
  ~ScopedDrives();
  ScopedDrives(const ScopedDrives&) = delete;
  ScopedDrives& operator=(const ScopedDrives&) = delete;
  // The drives in place before this scope: where a stand-in sends the paths
  // it does not play.
  IDrives& Previous() const { return previous_ ? *previous_ : HostDrives(); }

 private:
  IDrives* previous_;
};

}  // namespace km::platform
