// Host files with the system's own share modes.
//
// A handle that denies writes also takes an exclusive byte-range lock on a
// byte far past any real data, and LockShared takes a shared one there:
// share modes alone cannot keep a reader that asks for read access only
// away from an archive being rewritten (denying writes still lets readers
// in), but the lock can, and it goes with the handle when it is closed.
#include "platform/File.h"

#include <algorithm>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/win32/Win32.h"

namespace km::platform {

using win32::ApiPath;

namespace {

// Largest single read or write; larger counts are split into chunks.
constexpr int64_t kChunk = int64_t{1} << 30;
// The byte that the locks of the file contract are taken on: never read or
// written (byte-range locks on Windows are mandatory for the bytes they cover).
constexpr uint64_t kLockOffset = 0x7FFFFFFFFFFFFFFEull;

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// Records `code` as the file's and the thread's last error; false, to return.
bool Failed(int& lastError, DWORD code) {
  lastError = int(code);
  ::SetLastError(code);
  return false;
}

bool IsDiskFull(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool LockByte(HANDLE handle, bool exclusive) {
  OVERLAPPED at{};
  at.Offset = DWORD(kLockOffset & 0xFFFFFFFF);
  at.OffsetHigh = DWORD(kLockOffset >> 32);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (::LockFileEx(handle, flags, 0, 1, 0, &at)) return true;
  const DWORD error = ::GetLastError();
  // A file system without byte-range locks still opens, unprotected.
  return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
}

// Reads or writes at an absolute offset; the handle's position moves.
bool ReadAt(HANDLE handle, void* buffer, DWORD count, int64_t offset, DWORD& got) {
  OVERLAPPED at{};
  at.Offset = DWORD(uint64_t(offset) & 0xFFFFFFFF);
  at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
  got = 0;
  if (::ReadFile(handle, buffer, count, &got, &at)) return true;
  return ::GetLastError() == ERROR_HANDLE_EOF;  // got is 0 then
}

bool WriteAt(HANDLE handle, const void* buffer, DWORD count, int64_t offset, DWORD& put) {
  OVERLAPPED at{};
  at.Offset = DWORD(uint64_t(offset) & 0xFFFFFFFF);
  at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
  put = 0;
  return ::WriteFile(handle, buffer, count, &put, &at) != 0;
}

// Puts a handle's position back when the positional calls above are done.
class KeepPosition {
 public:
  explicit KeepPosition(HANDLE handle) : handle_(handle) {
    LARGE_INTEGER zero{};
    ok_ = ::SetFilePointerEx(handle_, zero, &position_, FILE_CURRENT) != 0;
  }
  ~KeepPosition() {
    if (!ok_) return;
    const DWORD error = ::GetLastError();
    ::SetFilePointerEx(handle_, position_, nullptr, FILE_BEGIN);
    ::SetLastError(error);
  }
  KeepPosition(const KeepPosition&) = delete;
  KeepPosition& operator=(const KeepPosition&) = delete;

 private:
  HANDLE handle_;
  LARGE_INTEGER position_{};
  bool ok_ = false;
};

// "\\.\" names devices, pipes and the like: never opened.
bool IsDeviceNamespace(const std::u16string& path) {
  return path.size() >= 4 && (path[0] == u'\\' || path[0] == u'/') &&
         (path[1] == u'\\' || path[1] == u'/') && path[2] == u'.' &&
         (path[3] == u'\\' || path[3] == u'/');
}

}  // namespace

int File::Open(const std::u16string& path, FileAccess access, FileShare share,
               FileDisposition disposition, std::string_view initial) {
  Close();
  const auto fail = [this](DWORD code) {
    Failed(lastError_, code);
    return int(code);
  };
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return fail(ERROR_PATH_NOT_FOUND);
  if (IsDeviceNamespace(path)) return fail(ERROR_ACCESS_DENIED);

  const DWORD desired = access == FileAccess::Read    ? GENERIC_READ
                        : access == FileAccess::Write ? GENERIC_WRITE
                                                      : GENERIC_READ | GENERIC_WRITE;
  DWORD shareMode = 0;
  switch (share) {
    case FileShare::DenyNone:
      shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case FileShare::DenyWrite:
      shareMode = FILE_SHARE_READ;
      break;
    case FileShare::DenyRead:
      shareMode = FILE_SHARE_WRITE;
      break;
    case FileShare::Exclusive:
      shareMode = 0;
      break;
  }
  // A file that is only read (a source read ahead of the commit) stays free
  // to be renamed or deleted by its owner: the handle goes on reading what
  // it opened, and the commit looks at the name again when its turn comes.
  if (access == FileAccess::Read && share != FileShare::Exclusive) shareMode |= FILE_SHARE_DELETE;
  DWORD creation = OPEN_EXISTING;
  switch (disposition) {
    case FileDisposition::OpenExisting:
      creation = OPEN_EXISTING;
      break;
    case FileDisposition::CreateAlways:
      // Truncates only once the share check has passed.
      creation = CREATE_ALWAYS;
      break;
    case FileDisposition::CreateNew:
      creation = CREATE_NEW;
      break;
    case FileDisposition::OpenAlways:
      creation = OPEN_ALWAYS;
      break;
  }
  const HANDLE handle = ::CreateFileW(ApiPath(path).c_str(), desired, shareMode, nullptr, creation,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail(::GetLastError());
  const auto drop = [&](DWORD code) {
    ::CloseHandle(handle);
    return fail(code);
  };
  // A console, a pipe or a device would block or read without end.
  if (::GetFileType(handle) != FILE_TYPE_DISK) return drop(ERROR_ACCESS_DENIED);
  if (share != FileShare::DenyNone && !LockByte(handle, true)) return drop(ERROR_SHARING_VIOLATION);

  const bool creates =
      disposition == FileDisposition::CreateAlways || disposition == FileDisposition::CreateNew;
  if (creates && !initial.empty() && access != FileAccess::Read) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle, &size) && size.QuadPart == 0) {
      for (size_t done = 0; done < initial.size();) {
        const DWORD n = DWORD(std::min<size_t>(initial.size() - done, size_t(kChunk)));
        DWORD put = 0;
        if (!::WriteFile(handle, initial.data() + done, n, &put, nullptr) || put == 0) {
          const DWORD error = ::GetLastError();
          return drop(IsDiskFull(error) || error == 0 ? ERROR_DISK_FULL : error);
        }
        done += put;
      }
      LARGE_INTEGER zero{};
      ::SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN);
    }
  }
  handle_ = reinterpret_cast<intptr_t>(handle);
  lastError_ = kErrorSuccess;
  return kErrorSuccess;
}

void File::Close() {
  if (handle_ != -1) {
    ::CloseHandle(H(handle_));
    handle_ = -1;
  }
}

int64_t File::Read(void* buffer, int64_t count) {
  const auto fail = [this](DWORD code) {
    Failed(lastError_, code);
    return int64_t{-1};
  };
  if (!IsOpen()) return fail(ERROR_INVALID_HANDLE);
  if (count < 0 || (count > 0 && buffer == nullptr)) return fail(ERROR_INVALID_PARAMETER);
  char* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!::ReadFile(H(handle_), out + done, DWORD(std::min(count - done, kChunk)), &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      return fail(error);
    }
    if (got == 0) break;  // end of file
    done += got;
  }
  return done;
}

int64_t File::Write(const void* buffer, int64_t count) {
  const auto fail = [this](DWORD code) {
    Failed(lastError_, code);
    return int64_t{-1};
  };
  if (!IsOpen()) return fail(ERROR_INVALID_HANDLE);
  if (count < 0 || (count > 0 && buffer == nullptr)) return fail(ERROR_INVALID_PARAMETER);
  const char* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD put = 0;
    const BOOL ok =
        ::WriteFile(H(handle_), in + done, DWORD(std::min(count - done, kChunk)), &put, nullptr);
    done += put;
    if (ok && put > 0) continue;
    const DWORD error = ok ? ERROR_DISK_FULL : ::GetLastError();  // no progress: treat as full
    if (IsDiskFull(error)) {
      fail(ERROR_DISK_FULL);
      return done;
    }
    return fail(error);
  }
  return done;
}

bool File::Seek(int64_t position) {
  if (!IsOpen()) return Failed(lastError_, ERROR_INVALID_HANDLE);
  if (position < 0) return Failed(lastError_, ERROR_INVALID_PARAMETER);
  LARGE_INTEGER to;
  to.QuadPart = position;
  if (!::SetFilePointerEx(H(handle_), to, nullptr, FILE_BEGIN))
    return Failed(lastError_, ::GetLastError());
  return true;
}

int64_t File::Position() const {
  if (!IsOpen()) return -1;
  LARGE_INTEGER zero{}, at{};
  if (!::SetFilePointerEx(H(handle_), zero, &at, FILE_CURRENT)) return -1;
  return at.QuadPart;
}

int64_t File::Size() const {
  if (!IsOpen()) return -1;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(H(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::Identity(uint64_t& device, uint64_t& file) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsOpen() || !::GetFileInformationByHandle(H(handle_), &info)) return false;
  device = info.dwVolumeSerialNumber;
  file = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

bool File::SetSize(int64_t size) {
  if (!IsOpen()) return Failed(lastError_, ERROR_INVALID_HANDLE);
  if (size < 0) return Failed(lastError_, ERROR_INVALID_PARAMETER);
  // SetEndOfFile cuts at the position: go there, then come back.
  KeepPosition keep(H(handle_));
  LARGE_INTEGER to;
  to.QuadPart = size;
  if (!::SetFilePointerEx(H(handle_), to, nullptr, FILE_BEGIN) || !::SetEndOfFile(H(handle_))) {
    const DWORD error = ::GetLastError();
    return Failed(lastError_, IsDiskFull(error) ? ERROR_DISK_FULL : error);
  }
  return true;
}

bool File::Flush() {
  if (!IsOpen()) return Failed(lastError_, ERROR_INVALID_HANDLE);
  if (!::FlushFileBuffers(H(handle_))) {
    lastError_ = int(::GetLastError());
    return false;
  }
  return true;
}

bool File::LockShared() {
  if (!IsOpen()) return Failed(lastError_, ERROR_INVALID_HANDLE);
  if (!LockByte(H(handle_), false)) return Failed(lastError_, ERROR_SHARING_VIOLATION);
  return true;
}

int64_t CopyRange(File& from, int64_t fromOffset, File& to, int64_t toOffset, int64_t count) {
  if (!from.IsOpen() || !to.IsOpen() || count < 0 || fromOffset < 0 || toOffset < 0) {
    to.lastError_ = ERROR_INVALID_PARAMETER;
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const HANDLE in = H(from.handle_);
  const HANDLE out = H(to.handle_);
  KeepPosition keepIn(in);
  KeepPosition keepOut(out);
  std::vector<char> buffer(size_t(std::clamp<int64_t>(count, 1, 1 << 20)));
  int64_t done = 0;
  while (done < count) {
    const DWORD want = DWORD(std::min<int64_t>(count - done, int64_t(buffer.size())));
    DWORD got = 0;
    if (!ReadAt(in, buffer.data(), want, fromOffset + done, got)) {
      from.lastError_ = int(::GetLastError());
      return done;
    }
    if (got == 0) return done;  // the source ends here
    for (DWORD written = 0; written < got;) {
      DWORD put = 0;
      const BOOL ok =
          WriteAt(out, buffer.data() + written, got - written, toOffset + done + written, put);
      if (!ok || put == 0) {
        const DWORD error = ok ? ERROR_DISK_FULL : ::GetLastError();
        to.lastError_ = IsDiskFull(error) ? ERROR_DISK_FULL : int(error);
        ::SetLastError(DWORD(to.lastError_));
        return done + written + put;
      }
      written += put;
    }
    done += got;
  }
  return done;
}

bool VisitRange(File& file, int64_t offset, int64_t count,
                const std::function<void(const uint8_t* bytes, int64_t size)>& visit) {
  if (!file.IsOpen() || offset < 0 || count < 0)
    return Failed(file.lastError_, ERROR_INVALID_PARAMETER);
  const HANDLE handle = H(file.handle_);
  const int64_t size = file.Size();
  if (size < offset || size - offset < count) return Failed(file.lastError_, ERROR_READ_FAULT);
  KeepPosition keep(handle);
  constexpr int64_t kWindow = int64_t(8) << 20;
  std::vector<uint8_t> buffer(size_t(std::clamp<int64_t>(count, 1, kWindow)));
  for (int64_t done = 0; done < count;) {
    const DWORD want = DWORD(std::min<int64_t>(count - done, int64_t(buffer.size())));
    DWORD got = 0;
    const bool read = ReadAt(handle, buffer.data(), want, offset + done, got);
    if (!read || got == 0) {
      // Nothing where the size said there was data: shrunk meanwhile.
      const DWORD error = read ? ERROR_READ_FAULT : ::GetLastError();
      return Failed(file.lastError_, error);
    }
    visit(buffer.data(), got);
    done += got;
  }
  return true;
}

}  // namespace km::platform
