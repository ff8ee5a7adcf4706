// A file held open by another program, as a test needs one: a second
// writer, a backup tool that keeps the archive open. On POSIX the holder is
// a child process, since the locks behind the share modes belong to a
// process; on Windows share modes belong to each handle, and a handle of
// this process stands in for the other program exactly.
#pragma once

#include <string>

#include "platform/File.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <filesystem>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace km::test {

class HeldElsewhere {
 public:
  HeldElsewhere() = default;
  HeldElsewhere(const HeldElsewhere&) = delete;
  HeldElsewhere& operator=(const HeldElsewhere&) = delete;
  ~HeldElsewhere() { Release(); }

  // Opens path with the given access and share mode; the error code of the
  // open (0: held until Release).
  int Hold(const std::u16string& path, platform::FileAccess access, platform::FileShare share,
           platform::FileDisposition disposition = platform::FileDisposition::OpenExisting) {
    Release();
#ifdef _WIN32
    return file_.Open(path, access, share, disposition);
#else
    int ready[2], release[2];
    if (pipe(ready) != 0) return -1;
    if (pipe(release) != 0) {
      close(ready[0]);
      close(ready[1]);
      return -1;
    }
    child_ = fork();
    if (child_ == 0) {
      close(ready[0]);
      close(release[1]);
      platform::File held;
      const int error = held.Open(path, access, share, disposition);
      (void)!write(ready[1], &error, sizeof error);
      char c;
      (void)!read(release[0], &c, 1);  // returns when the parent lets go
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    int error = -1;
    if (child_ < 0 || read(ready[0], &error, sizeof error) != sizeof error) error = -1;
    close(ready[0]);
    return error;
#endif
  }

  void Release() {
#ifdef _WIN32
    file_.Close();
#else
    if (release_ >= 0) close(release_);
    release_ = -1;
    if (child_ > 0) waitpid(child_, nullptr, 0);
    child_ = -1;
#endif
  }

 private:
#ifdef _WIN32
  platform::File file_;
#else
  pid_t child_ = -1;
  int release_ = -1;
#endif
};

#ifdef _WIN32
// Bytes of a file locked by another program (a database, say): reading them
// through any other handle fails, while the rest of the file reads as usual.
class LockedRange {
 public:
  LockedRange() = default;
  LockedRange(const LockedRange&) = delete;
  LockedRange& operator=(const LockedRange&) = delete;
  ~LockedRange() { Release(); }

  // The system's error code of the open or the lock (0: locked until Release).
  int Lock(const std::filesystem::path& path, uint64_t offset, uint64_t length) {
    Release();
    file_ = CreateFileW(path.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return int(GetLastError());
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, DWORD(length),
                   DWORD(length >> 32), &at))
      return 0;
    const int error = int(GetLastError());
    Release();
    return error;
  }

  // Whether a read of the locked bytes through another handle fails, as
  // Windows has it (Wine does not enforce byte-range locks on reads).
  bool KeepsReadersOut(const std::filesystem::path& path, uint64_t offset) const {
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    char byte;
    DWORD got = 0;
    const bool read = ReadFile(other, &byte, 1, &got, &at) && got == 1;
    CloseHandle(other);
    return !read;
  }

  // Closing the handle lets go of its locks.
  void Release() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};
#endif

}  // namespace km::test
