// Host files with Windows share modes.
//
// Share modes are mapped onto flock(): those locks belong to the open file
// description, so two handles in one process conflict just as two processes
// do, and closing one handle never drops another's lock (fcntl locks would do
// both wrong).
#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/HostPath.h"
#include "platform/posix/Errors.h"

namespace km::platform {

namespace {

// Largest single read or write; larger counts are split into chunks.
constexpr int64_t kChunk = int64_t{1} << 30;

bool IsDiskFull(int err) {
  return err == ENOSPC || err == EFBIG || err == EDQUOT;
}

// CreateLocked's answer when the name appeared meanwhile.
constexpr int kCreatedElsewhere = -2;

// Creates host already locked against writers, so that no other process can
// open the new file between its creation and its lock (and find it empty, or
// take the lock and leave both sides failing with an empty file behind). The
// file is made and locked under a private name, then linked into place.
// Returns the descriptor; kCreatedElsewhere when host exists by now; -1 when
// this cannot be done here (no hard links, say): the caller opens as usual.
// Writes all of bytes at offset 0; false on failure.
bool WriteInitial(int fd, std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t put = pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += size_t(put);
  }
  return true;
}

int CreateLocked(const std::filesystem::path& host, int flags, std::string_view initial) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path dir = host.parent_path();
  // Best made without a name at all: a process killed on the way leaves
  // nothing behind.
  if ((flags & O_ACCMODE) != O_RDONLY) {
    const int fd = open(dir.empty() ? "." : dir.c_str(),
                        (flags & ~(O_TRUNC | O_CREAT | O_EXCL)) | O_TMPFILE, 0666);
    if (fd >= 0) {
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
      if (WriteInitial(fd, initial) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
          linkat(AT_FDCWD, self, AT_FDCWD, host.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return fd;
      const int err = errno;
      close(fd);
      if (err == EEXIST) return kCreatedElsewhere;
    }
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.new", long(getpid()), counter.fetch_add(1));
    std::string name(1, '.');
    name += host.filename().string();
    name += suffix;
    const std::filesystem::path own = dir / name;
    int fd;
    do {
      fd = open(own.c_str(), (flags & ~O_TRUNC) | O_CREAT | O_EXCL, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    if (!WriteInitial(fd, initial) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      unlink(own.c_str());
      close(fd);
      return -1;
    }
    const int linked = link(own.c_str(), host.c_str());
    const int err = errno;
    unlink(own.c_str());
    if (linked == 0) return fd;
    close(fd);
    return err == EEXIST ? kCreatedElsewhere : -1;
  }
  return -1;
}

}  // namespace

int File::Open(const std::u16string& path, FileAccess access, FileShare share,
               FileDisposition disposition, std::string_view initial) {
  Close();
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return code;
  };
  const std::filesystem::path host = FromWindowsView(path);
  if (host.empty()) return fail(kErrorPathNotFound);

  // Look before opening: opening a device or FIFO can block or have effects.
  struct stat st;
  const bool exists = stat(host.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return fail(kErrorAccessDenied);
  if (exists && disposition == FileDisposition::CreateNew) return fail(kErrorFileExists);

  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  flags |= access == FileAccess::Read ? O_RDONLY : access == FileAccess::Write ? O_WRONLY : O_RDWR;
  switch (disposition) {
    case FileDisposition::OpenExisting:
      break;
    case FileDisposition::CreateAlways:
      // Truncate only once the share check passed, unless there is no
      // write access to truncate with afterwards.
      flags |= O_CREAT | (access == FileAccess::Read ? O_TRUNC : 0);
      break;
    case FileDisposition::CreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case FileDisposition::OpenAlways:
      flags |= O_CREAT;
      break;
  }
  int lock = 0;
  if (share != FileShare::DenyNone) {
    lock = LOCK_EX;  // denying reads cannot be enforced; treated as denying writes
  } else if (access != FileAccess::Read) {
    lock = LOCK_SH;  // a writer keeps others from denying writes
  }

  int fd = -1;
  if (!exists && lock == LOCK_EX && disposition != FileDisposition::OpenExisting)
    fd = CreateLocked(host, flags, initial);
  // Made here, with its first bytes already in: nothing to empty or fill.
  const bool madeLocked = fd >= 0;
  if (fd == kCreatedElsewhere && disposition == FileDisposition::CreateNew)
    return fail(kErrorFileExists);
  if (fd < 0) {
    do {
      fd = open(host.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) return fail(kErrorFileExists);
    if (err == EISDIR || err == ENXIO) return fail(kErrorAccessDenied);
    return fail(detail::PathErrorFromErrno(err, host));
  }
  // The path may have been swapped for something else since the look.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail(kErrorAccessDenied);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
    const int err = errno;
    // A file system without flock support still opens, unprotected.
    if (err == EWOULDBLOCK || err == EINTR) {
      close(fd);
      return fail(kErrorSharingViolation);
    }
  }
  if (disposition == FileDisposition::CreateAlways && access != FileAccess::Read && !madeLocked &&
      ftruncate(fd, 0) != 0) {
    const int err = errno;
    close(fd);
    return fail(detail::ErrorFromErrno(err));
  }
  const bool creates =
      disposition == FileDisposition::CreateAlways || disposition == FileDisposition::CreateNew;
  if (creates && !initial.empty() && access != FileAccess::Read && !madeLocked) {
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size == 0 && !WriteInitial(fd, initial)) {
      const int err = errno;
      close(fd);
      return fail(IsDiskFull(err) ? kErrorDiskFull : detail::ErrorFromErrno(err));
    }
  }
  handle_ = fd;
  position_ = -1;
  seekPending_ = false;
  lastError_ = kErrorSuccess;
  return kErrorSuccess;
}

void File::Close() {
  if (handle_ >= 0) {
    close(static_cast<int>(handle_));
    handle_ = -1;
  }
  position_ = -1;
  seekPending_ = false;
}

int64_t File::Read(void* buffer, int64_t count) {
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return int64_t{-1};
  };
  if (!IsOpen()) return fail(kErrorInvalidHandle);
  if (count < 0 || (count > 0 && buffer == nullptr)) return fail(kErrorInvalidParameter);
  char* out = static_cast<char*>(buffer);
  int64_t done = 0;
  if (seekPending_) {
    // The read takes the offset along: one call where a seek and a read
    // would be two. The handle's own offset is set by the next write.
    while (done < count) {
      const ssize_t got =
          pread(static_cast<int>(handle_), out + done,
                static_cast<size_t>(std::min(count - done, kChunk)), off_t(position_ + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        position_ += done;
        return fail(errno == EIO ? kErrorReadFault : detail::ErrorFromErrno(errno));
      }
      if (got == 0) break;  // end of file
      done += got;
    }
    position_ += done;
    return done;
  }
  while (done < count) {
    const ssize_t got = read(static_cast<int>(handle_), out + done,
                             static_cast<size_t>(std::min(count - done, kChunk)));
    if (got < 0) {
      if (errno == EINTR) continue;
      position_ = -1;  // moved by what came before the failure
      return fail(errno == EIO ? kErrorReadFault : detail::ErrorFromErrno(errno));
    }
    if (got == 0) break;  // end of file
    done += got;
  }
  if (position_ >= 0) position_ += done;
  return done;
}

int64_t File::Write(const void* buffer, int64_t count) {
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return int64_t{-1};
  };
  if (!IsOpen()) return fail(kErrorInvalidHandle);
  if (count < 0 || (count > 0 && buffer == nullptr)) return fail(kErrorInvalidParameter);
  if (!MovePending()) return fail(lastError_);
  const char* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t put = write(static_cast<int>(handle_), in + done,
                              static_cast<size_t>(std::min(count - done, kChunk)));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int err = put < 0 ? errno : ENOSPC;  // no progress: treat as full
      position_ = -1;
      if (IsDiskFull(err)) {
        fail(kErrorDiskFull);
        return done;
      }
      return fail(err == EIO ? kErrorWriteFault : detail::ErrorFromErrno(err));
    }
    done += put;
  }
  if (position_ >= 0) position_ += done;
  return done;
}

bool File::Seek(int64_t position) {
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return false;
  };
  if (!IsOpen()) return fail(kErrorInvalidHandle);
  if (position < 0) return fail(kErrorInvalidParameter);
  if (position == position_) return true;
  position_ = position;
  seekPending_ = true;
  return true;
}

bool File::MovePending() {
  if (!seekPending_) return true;
  seekPending_ = false;
  if (lseek(static_cast<int>(handle_), position_, SEEK_SET) >= 0) return true;
  position_ = -1;
  lastError_ = detail::ErrorFromErrno(errno);
  detail::SetLastError(lastError_);
  return false;
}

int64_t File::Position() const {
  if (!IsOpen()) return -1;
  if (position_ < 0) position_ = lseek(static_cast<int>(handle_), 0, SEEK_CUR);
  return position_;
}

int64_t File::Size() const {
  struct stat st;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return st.st_size;
}

bool File::Identity(uint64_t& device, uint64_t& file) const {
  struct stat st;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &st) != 0) return false;
  device = uint64_t(st.st_dev);
  file = uint64_t(st.st_ino);
  return true;
}

bool File::SetSize(int64_t size) {
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return false;
  };
  if (!IsOpen()) return fail(kErrorInvalidHandle);
  if (size < 0) return fail(kErrorInvalidParameter);
  int rc;
  do {
    rc = ftruncate(static_cast<int>(handle_), size);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(IsDiskFull(errno) ? kErrorDiskFull : detail::ErrorFromErrno(errno));
  return true;
}

bool File::LockShared() {
  if (!IsOpen()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  int rc;
  do {
    rc = flock(static_cast<int>(handle_), LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  // A file system without flock support reads unprotected, as it opens.
  if (rc != 0 && errno == EWOULDBLOCK) {
    lastError_ = kErrorSharingViolation;
    detail::SetLastError(lastError_);
    return false;
  }
  return true;
}

int64_t CopyRange(File& from, int64_t fromOffset, File& to, int64_t toOffset, int64_t count) {
  if (!from.IsOpen() || !to.IsOpen() || count < 0 || fromOffset < 0 || toOffset < 0) {
    to.lastError_ = kErrorInvalidParameter;
    return 0;
  }
  const int in = static_cast<int>(from.handle_);
  const int out = static_cast<int>(to.handle_);
  int64_t done = 0;
  bool kernel = true;
  std::vector<char> buffer;
  while (done < count) {
    const size_t n = static_cast<size_t>(std::min(count - done, kChunk));
    if (kernel) {
      loff_t src = fromOffset + done;
      loff_t dst = toOffset + done;
      const ssize_t put = copy_file_range(in, &src, out, &dst, n, 0);
      if (put > 0) {
        done += put;
        continue;
      }
      if (put < 0 && errno == EINTR) continue;
      if (put == 0) break;  // the source ends here
      // Across file systems, or where the kernel cannot: copy by hand.
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
          errno == EBADF) {
        kernel = false;
        continue;
      }
      to.lastError_ = IsDiskFull(errno) ? kErrorDiskFull
                      : errno == EIO    ? kErrorWriteFault
                                        : detail::ErrorFromErrno(errno);
      detail::SetLastError(to.lastError_);
      return done;
    }
    if (buffer.empty()) buffer.resize(size_t(std::min<int64_t>(count, 1 << 20)));
    const size_t want = std::min(n, buffer.size());
    ssize_t got;
    do {
      got = pread(in, buffer.data(), want, fromOffset + done);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      if (got < 0) {
        from.lastError_ = errno == EIO ? kErrorReadFault : detail::ErrorFromErrno(errno);
        detail::SetLastError(from.lastError_);
      }
      return done;
    }
    for (ssize_t written = 0; written < got;) {
      const ssize_t put =
          pwrite(out, buffer.data() + written, size_t(got - written), toOffset + done + written);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        const int err = put < 0 ? errno : ENOSPC;
        to.lastError_ = IsDiskFull(err) ? kErrorDiskFull
                        : err == EIO    ? kErrorWriteFault
                                        : detail::ErrorFromErrno(err);
        detail::SetLastError(to.lastError_);
        return done + written;
      }
      written += put;
    }
    done += got;
  }
  return done;
}

bool VisitRange(File& file, int64_t offset, int64_t count,
                const std::function<void(const uint8_t* bytes, int64_t size)>& visit) {
  if (!file.IsOpen() || offset < 0 || count < 0) {
    file.lastError_ = kErrorInvalidParameter;
    return false;
  }
  const int fd = static_cast<int>(file.handle_);
  // A mapped page past the end of the file would kill the process.
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < offset || st.st_size - offset < count) {
    file.lastError_ = kErrorReadFault;
    detail::SetLastError(file.lastError_);
    return false;
  }
  // Windows of a few MiB, mapped with their pages in place: no copy, no
  // fault per page, and never more of the file mapped than one window.
  constexpr int64_t kWindow = int64_t(8) << 20;
  const int64_t page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
  std::vector<uint8_t> buffer;
  for (int64_t done = 0; done < count;) {
    const int64_t at = offset + done;
    const int64_t start = at - at % page;
    const int64_t n = std::min(count - done, kWindow);
    const size_t mapped = size_t(at - start + n);
    void* view = mmap(nullptr, mapped, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, off_t(start));
    if (view != MAP_FAILED) {
      visit(static_cast<const uint8_t*>(view) + (at - start), n);
      munmap(view, mapped);
      done += n;
      continue;
    }
    if (buffer.empty()) buffer.resize(size_t(std::min<int64_t>(count, kWindow)));
    ssize_t got;
    do {
      got = pread(fd, buffer.data(), size_t(std::min<int64_t>(n, int64_t(buffer.size()))), at);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      file.lastError_ = got < 0 ? (errno == EIO ? kErrorReadFault : detail::ErrorFromErrno(errno))
                                : kErrorReadFault;
      detail::SetLastError(file.lastError_);
      return false;
    }
    visit(buffer.data(), got);
    done += got;
  }
  return true;
}

bool File::Flush() {
  const auto fail = [this](int code) {
    lastError_ = code;
    detail::SetLastError(code);
    return false;
  };
  if (!IsOpen()) return fail(kErrorInvalidHandle);
  // EINVAL: a file system with nothing to sync.
  if (fsync(static_cast<int>(handle_)) != 0 && errno != EINVAL)
    return fail(errno == EIO ? kErrorWriteFault : detail::ErrorFromErrno(errno));
  return true;
}

}  // namespace km::platform
