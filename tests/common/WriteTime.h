// A file's last-write time to the host's own precision, for tests of exact
// times: std::filesystem of mingw keeps whole seconds only, and writing its
// answer back would move the time.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <cstdint>
#include <ctime>
#include <filesystem>

namespace km::test {

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01 (time_t).
inline constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

// The time; {0, 0} when the file cannot be read.
inline struct timespec WriteTimeOf(const std::filesystem::path& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return {0, 0};
  const int64_t units = int64_t(uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                data.ftLastWriteTime.dwLowDateTime) -
                        kSecondsFrom1601To1970 * 10000000;
  return {std::time_t(units / 10000000), long(units % 10000000 * 100)};
#else
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return st.st_mtim;
#endif
}

// False when the time cannot be set. Windows keeps 100 ns steps.
inline bool SetWriteTime(const std::filesystem::path& path, struct timespec time) {
#ifdef _WIN32
  const uint64_t units =
      uint64_t((int64_t(time.tv_sec) + kSecondsFrom1601To1970) * 10000000 + time.tv_nsec / 100);
  const FILETIME written{DWORD(units), DWORD(units >> 32)};
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  return set;
#else
  const struct timespec times[2] = {{0, UTIME_OMIT}, time};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

}  // namespace km::test
