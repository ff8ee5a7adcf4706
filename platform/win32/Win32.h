// What the Win32 backend's files share: wide paths for the API, long-path
// spelling, and error codes.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The interface has functions of these names; the API's are called by their
// wide names (CreateDirectoryW, ...).
#undef CreateDirectory
#undef RemoveDirectory
#undef MoveFile
#undef DeleteFile
#undef SetCurrentDirectory
#undef GetDriveType
#undef SetVolumeLabel
#undef AnsiToOem
#undef OemToAnsi

#include <cstdint>
#include <string>
#include <string_view>

namespace km::platform::win32 {

// wchar_t is UTF-16 on Windows: the same units as char16_t.
inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
inline std::u16string Narrow16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// The spelling of path that the API takes: as it is while it is short,
// made full and given the "\\?\" prefix once it is longer than the API's
// old limit allows (which for directories is 248 characters, not 260).
std::wstring ApiPath(const std::u16string& path);

// Sets the thread's last error and returns false / the code.
inline bool Fail(DWORD code) {
  ::SetLastError(code);
  return false;
}
inline int FailCode(DWORD code) {
  ::SetLastError(code);
  return int(code);
}

// FILETIME <-> the 64-bit FileTime the interface uses.
inline int64_t FromFileTime(const FILETIME& ft) {
  return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}
inline FILETIME ToFileTime(int64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = DWORD(uint64_t(value) & 0xFFFFFFFF);
  ft.dwHighDateTime = DWORD(uint64_t(value) >> 32);
  return ft;
}

// A UTC FileTime as a local DOS date-time, clamped to 1980..2107.
uint32_t FileTimeToLocalDos(int64_t fileTime);

// Closes a handle when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (Valid()) {
      // Closing must not hide why the call before it failed.
      const DWORD error = ::GetLastError();
      ::CloseHandle(handle_);
      ::SetLastError(error);
    }
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace km::platform::win32
