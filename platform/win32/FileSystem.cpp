// The file system through the wide Win32 API.
//
// Choices the interface makes that the API leaves open:
// - A listing reads the whole directory and keeps the names the mask plainly
//   matches, without the DOS rules of the system's own matching ("a?" also
//   finding "a", 8.3 short names matching), sorted by name with "." and ".."
//   first, so that every host lists the same tree the same way.
// - A link or junction to a directory is listed as what it is, a directory
//   with the reparse point bit; a link to a file reports its target.
#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Listing.h"
#include "platform/win32/Win32.h"

namespace km::platform {

using listing::HasWildcards;
using listing::MatchMask;
using listing::SplitPattern;
using win32::ApiPath;
using win32::Fail;
using win32::FailCode;
using win32::FromFileTime;
using win32::ScopedHandle;
using win32::Wide;

namespace win32 {

namespace {

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// GetFullPathNameW into a string of the right size; empty on failure.
std::wstring FullPathOf(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

}  // namespace

std::wstring ApiPath(const std::u16string& path) {
  std::wstring wide = Wide(path);
  // CreateDirectoryW refuses more than 248 characters; the others 260.
  constexpr size_t kShortLimit = 247;
  if (wide.size() <= kShortLimit) return wide;
  if (wide.size() >= 4 && IsSeparator(wide[0]) && IsSeparator(wide[1]) &&
      (wide[2] == L'?' || wide[2] == L'.') && IsSeparator(wide[3]))
    return wide;  // already in the long (or device) spelling
  std::wstring full = FullPathOf(wide);
  if (full.empty()) return wide;
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1]))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

uint32_t FileTimeToLocalDos(int64_t fileTime) {
  constexpr uint32_t kMinDosTime = (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  constexpr uint32_t kMaxDosTime =                        // 2107-12-31 23:59:58
      (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
  if (fileTime < 0) return kMinDosTime;
  const FILETIME utc = ToFileTime(fileTime);
  FILETIME local;
  SYSTEMTIME st;
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st))
    return fileTime < kFileTimeUnixEpoch ? kMinDosTime : kMaxDosTime;
  if (st.wYear < 1980) return kMinDosTime;
  if (st.wYear > 2107) return kMaxDosTime;
  const uint32_t date = uint32_t((st.wYear - 1980) << 9 | st.wMonth << 5 | st.wDay);
  const uint32_t time = uint32_t(st.wHour << 11 | st.wMinute << 5 | st.wSecond / 2);
  return date << 16 | time;
}

}  // namespace win32

int LastError() {
  return int(::GetLastError());
}

namespace {

bool IsDotName(std::u16string_view name) {
  return name == u"." || name == u"..";
}

// What a handle opened on path (links followed) tells about it.
bool InformationOf(const std::u16string& path, BY_HANDLE_FILE_INFORMATION& info) {
  // No access asked: only the file's details are read, whatever its share mode.
  ScopedHandle handle(::CreateFileW(ApiPath(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle.Valid() && ::GetFileInformationByHandle(handle.Get(), &info);
}

void Fill(FindData& data, std::u16string name, uint32_t attributes, uint64_t size,
          const FILETIME& writeTime) {
  data.name = std::move(name);
  data.attributes = attributes;
  data.size = (attributes & faDirectory) ? 0 : size;
  data.writeTime = FromFileTime(writeTime);
  data.dosTime = win32::FileTimeToLocalDos(data.writeTime);
  data.error = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Listings

struct FindState {
  std::u16string dirPart;  // what the names are relative to
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

int FindFirst(const std::u16string& pattern, FindHandle& handle, FindData& data, bool withDots) {
  handle = kInvalidFindHandle;
  std::u16string dirPart, mask;
  SplitPattern(pattern, dirPart, mask);
  if (mask.empty() || pattern.find(u'\0') != std::u16string::npos)
    return FailCode(ERROR_FILE_NOT_FOUND);
  auto state = std::make_unique<FindState>();
  state->dirPart = dirPart;
  const bool wildcards = HasWildcards(mask);
  // With wildcards the whole directory is read and matched here.
  const std::u16string search = wildcards ? dirPart + u'*' : pattern;
  WIN32_FIND_DATAW found;
  const HANDLE find = ::FindFirstFileExW(ApiPath(search).c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return FailCode(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
  }
  const std::u16string upperMask = WideUpperCase(mask == u"*.*" ? u"*" : mask);
  DWORD error = ERROR_NO_MORE_FILES;
  for (;;) {
    const std::u16string_view name(reinterpret_cast<const char16_t*>(found.cFileName));
    if ((withDots || !wildcards || !IsDotName(name)) && (!wildcards || MatchMask(name, upperMask)))
      state->entries.push_back(found);
    if (!wildcards) break;
    if (!::FindNextFileW(find, &found)) {
      error = ::GetLastError();
      break;
    }
  }
  ::FindClose(find);
  if (error != ERROR_NO_MORE_FILES) return FailCode(error);
  const auto key = [](const WIN32_FIND_DATAW& entry) {
    const std::wstring_view name = entry.cFileName;
    // "." and ".." first, then by name.
    return std::make_pair(name == L"." ? 0 : name == L".." ? 1 : 2, name);
  };
  std::sort(state->entries.begin(), state->entries.end(),
            [&](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) { return key(a) < key(b); });
  handle = state.release();
  const int rc = FindNext(handle, data);
  if (rc != kErrorSuccess) {
    FindClose(handle);
    return FailCode(rc == kErrorNoMoreFiles ? ERROR_FILE_NOT_FOUND : DWORD(rc));
  }
  return kErrorSuccess;
}

int FindNext(FindHandle handle, FindData& data) {
  if (handle == kInvalidFindHandle) return FailCode(ERROR_INVALID_HANDLE);
  while (handle->next < handle->entries.size()) {
    const WIN32_FIND_DATAW& entry = handle->entries[handle->next++];
    std::u16string name(reinterpret_cast<const char16_t*>(entry.cFileName));
    const uint64_t size = uint64_t(entry.nFileSizeHigh) << 32 | entry.nFileSizeLow;
    if (IsDotName(name)) {
      Fill(data, std::move(name), faDirectory, 0, entry.ftLastWriteTime);
      return kErrorSuccess;
    }
    const uint32_t attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || (attributes & faDirectory) != 0) {
      Fill(data, std::move(name), attributes, size, entry.ftLastWriteTime);
      return kErrorSuccess;
    }
    // A link to a file: what it points to is what would be archived.
    BY_HANDLE_FILE_INFORMATION info;
    if (!InformationOf(handle->dirPart + name, info)) {
      const DWORD error = ::GetLastError();
      // A dangling link: nothing to report.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
      data = FindData{};
      data.name = std::move(name);
      data.error = int(error);
      return kErrorSuccess;
    }
    Fill(data, std::move(name), info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_REPARSE_POINT),
         uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow, info.ftLastWriteTime);
    return kErrorSuccess;
  }
  return FailCode(ERROR_NO_MORE_FILES);
}

void FindClose(FindHandle& handle) {
  delete handle;
  handle = kInvalidFindHandle;
}

// FindFirstFile takes whole paths only; the system caches what it walked.
FolderWalk::FolderWalk() = default;
FolderWalk::~FolderWalk() = default;

// The system keeps its own cache of the directories it looked in; nothing
// needs to stay open between the paths here.
FileLookup::~FileLookup() = default;

FileLookup::State FileLookup::Find(const std::u16string& path, int& error) {
  error = 0;
  if (path.find_first_of(u"*?") != std::u16string::npos) return State::Missing;
  std::u16string dirPart, name;
  SplitPattern(path, dirPart, name);
  if (name.empty() || IsDotName(name) || path.find(u'\0') != std::u16string::npos)
    return State::Missing;
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!::GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &info)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
        code == ERROR_INVALID_NAME || code == ERROR_BAD_NETPATH)
      return State::Missing;
    error = int(code);
    return State::Unknown;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? State::Directory : State::File;
}

// ---------------------------------------------------------------------------
// Attributes and paths

uint32_t GetAttributes(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(ApiPath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? kInvalidAttributes : uint32_t(attributes);
}

bool SetAttributes(const std::u16string& path, uint32_t attributes) {
  // Only what SetFileAttributes can set; the rest is the file system's.
  constexpr uint32_t kSettable = faReadOnly | faHidden | faSysFile | faArchive | faNormal |
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                 faNotContentIndexed;
  uint32_t wanted = attributes & kSettable;
  if (wanted == 0) wanted = faNormal;
  if ((wanted & ~faNormal) != 0) wanted &= ~faNormal;  // "normal" only stands alone
  return ::SetFileAttributesW(ApiPath(path).c_str(), wanted) != 0;
}

bool IsDeviceOrPipe(const std::u16string& path) {
  if (path.size() >= 4 && path.compare(0, 4, u"\\\\.\\") == 0) return true;
  ScopedHandle handle(::CreateFileW(ApiPath(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) return false;
  const DWORD type = ::GetFileType(handle.Get());
  return type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN;
}

bool IdentityOf(const std::u16string& path, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!InformationOf(path, info)) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.file = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

std::u16string FullPathName(const std::u16string& path) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return {};
  }
  return win32::Narrow16(win32::FullPathOf(Wide(path)));
}

std::u16string CurrentDirectory() {
  std::wstring dir(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetCurrentDirectoryW(DWORD(dir.size()), dir.data());
    if (n == 0) return {};
    if (n < dir.size()) {
      dir.resize(n);
      return win32::Narrow16(dir);
    }
    dir.resize(n);
  }
}

bool SetCurrentDirectory(const std::u16string& path) {
  return ::SetCurrentDirectoryW(Wide(path).c_str()) != 0;
}

// ---------------------------------------------------------------------------
// Directories and files

bool CreateDirectory(const std::u16string& path) {
  return ::CreateDirectoryW(ApiPath(path).c_str(), nullptr) != 0;
}

bool RemoveDirectory(const std::u16string& path) {
  return ::RemoveDirectoryW(ApiPath(path).c_str()) != 0;
}

bool MoveFile(const std::u16string& from, const std::u16string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists. A
  // file moved to another volume is copied, and the copy is on the disk
  // before the original goes.
  return ::MoveFileExW(ApiPath(from).c_str(), ApiPath(to).c_str(),
                       MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
}

bool DeleteFile(const std::u16string& path) {
  return ::DeleteFileW(ApiPath(path).c_str()) != 0;
}

// NTFS and FAT keep a folder's names with the file system's own journal or
// on the next flush of the volume: there is no call for one folder.
bool FlushDirectoryOf(const std::u16string&) {
  return true;
}

// ---------------------------------------------------------------------------
// Times

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;

// Days from 1970-01-01 to a proleptic Gregorian date; month may lie outside
// 1..12 and is carried into the year, as mktime does.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year += (month - 1 >= 0 ? (month - 1) / 12 : (month - 12) / 12);
  month = ((month - 1) % 12 + 12) % 12 + 1;
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// A local DOS date-time as a UTC FileTime; fields out of range carry over.
int64_t LocalDosToFileTime(uint32_t dosTime) {
  const int64_t days =
      DaysFromCivil(1980 + (dosTime >> 25), (dosTime >> 21) & 0x0F, (dosTime >> 16) & 0x1F);
  const int64_t seconds = days * 86400 + int64_t((dosTime >> 11) & 0x1F) * 3600 +
                          int64_t((dosTime >> 5) & 0x3F) * 60 + int64_t(dosTime & 0x1F) * 2;
  const FILETIME local = win32::ToFileTime(seconds * kUnitsPerSecond + kFileTimeUnixEpoch);
  FILETIME utc;
  if (!::LocalFileTimeToFileTime(&local, &utc)) return FromFileTime(local);
  return FromFileTime(utc);
}

bool ValidDosTime(uint32_t dosTime) {
  const uint32_t month = (dosTime >> 21) & 0x0F, day = (dosTime >> 16) & 0x1F;
  const uint32_t hour = (dosTime >> 11) & 0x1F, minute = (dosTime >> 5) & 0x3F;
  return month >= 1 && month <= 12 && day >= 1 && hour < 24 && minute < 60 && (dosTime & 0x1F) < 30;
}

bool SetWriteTime(const std::u16string& path, int64_t fileTime) {
  ScopedHandle handle(::CreateFileW(ApiPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) return false;
  const FILETIME ft = win32::ToFileTime(fileTime);
  return ::SetFileTime(handle.Get(), nullptr, nullptr, &ft) != 0;
}

}  // namespace

uint32_t UnixTimeToLocalDosTime(int64_t unixSeconds) {
  constexpr int64_t kEpochSeconds = kFileTimeUnixEpoch / kUnitsPerSecond;
  if (unixSeconds <= -kEpochSeconds) return win32::FileTimeToLocalDos(-1);
  if (unixSeconds >= INT64_MAX / kUnitsPerSecond - kEpochSeconds)
    return win32::FileTimeToLocalDos(INT64_MAX);
  return win32::FileTimeToLocalDos((unixSeconds + kEpochSeconds) * kUnitsPerSecond);
}

int64_t LocalDosTimeToUnixTime(uint32_t dosTime) {
  const int64_t sinceEpoch = LocalDosToFileTime(dosTime) - kFileTimeUnixEpoch;
  // Floor division: a time before 1970 rounds down, as time_t does.
  return sinceEpoch / kUnitsPerSecond - (sinceEpoch % kUnitsPerSecond < 0 ? 1 : 0);
}

bool GetFileDosTime(const std::u16string& path, uint32_t& dosTime) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!::GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(ERROR_ACCESS_DENIED);
  dosTime = win32::FileTimeToLocalDos(FromFileTime(info.ftLastWriteTime));
  return true;
}

bool SetFileDosTime(const std::u16string& path, uint32_t dosTime) {
  if (!ValidDosTime(dosTime)) return Fail(ERROR_INVALID_PARAMETER);
  return SetWriteTime(path, LocalDosToFileTime(dosTime));
}

bool GetFileWriteTime(const std::u16string& path, int64_t& fileTime) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!::GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &info)) return false;
  fileTime = FromFileTime(info.ftLastWriteTime);
  return true;
}

bool SetFileWriteTime(const std::u16string& path, int64_t fileTime) {
  if (fileTime <= 0) return Fail(ERROR_INVALID_PARAMETER);
  return SetWriteTime(path, fileTime);
}

// ---------------------------------------------------------------------------
// Temporary files

std::u16string TempPath() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return {};
  std::u16string path = win32::Narrow16(std::wstring_view(buffer, n));
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path;
}

int CreateTempFile(const std::u16string& dir, const std::u16string& prefix,
                   std::u16string& fileName) {
  const std::u16string shortPrefix = prefix.substr(0, 3);  // the system uses up to three
  std::u16string base = dir.empty() ? u"." : dir;
  // The system's service takes folders of up to MAX_PATH - 14 characters.
  if (base.size() < MAX_PATH - 14) {
    wchar_t name[MAX_PATH];
    if (::GetTempFileNameW(Wide(base).c_str(), Wide(shortPrefix).c_str(), 0, name) == 0)
      return int(::GetLastError());
    fileName = win32::Narrow16(name);
    return kErrorSuccess;
  }
  // A longer folder: the same names, made here.
  static std::atomic<uint64_t> counter{0};
  std::seed_seq seed{uint64_t(::GetCurrentProcessId()),
                     uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()),
                     counter.fetch_add(1)};
  std::mt19937 random(seed);
  if (base.back() != u'\\' && base.back() != u'/') base += u'\\';
  base += shortPrefix;
  for (int attempt = 0; attempt < 256; ++attempt) {
    std::u16string name = base;
    const uint32_t number = uint32_t(random()) & 0xFFFF;
    for (int shift = 12; shift >= 0; shift -= 4)
      name += u"0123456789ABCDEF"[(number >> shift) & 0xF];
    name += u".tmp";
    const HANDLE file = ::CreateFileW(ApiPath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      fileName = std::move(name);
      return kErrorSuccess;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return FailCode(error);
  }
  return FailCode(ERROR_FILE_EXISTS);
}

// ---------------------------------------------------------------------------
// Volumes

namespace {

// The root of the drive that holds a full path: "X:\" or "\\server\share\".
std::wstring DriveRoot(const std::u16string& full) {
  std::wstring path = Wide(full);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    path = path.substr(4);
  }
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2) + L'\\';
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    const size_t server = path.find(L'\\', 2);
    if (server == std::wstring::npos) return path + L'\\';
    const size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path + L'\\' : path.substr(0, share + 1);
  }
  return path;
}

class Win32Drives final : public IDrives {
 public:
  TDriveType DriveType(const std::u16string& full) override {
    // The system's numbering is the enumeration's.
    const UINT type = ::GetDriveTypeW(DriveRoot(full).c_str());
    return type <= DRIVE_RAMDISK ? TDriveType(type) : dtUnknown;
  }

  int64_t FreeSpace(const std::u16string& full) override {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(DriveRoot(full).c_str(), &available, nullptr, nullptr)) return -1;
    return available.QuadPart > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(available.QuadPart);
  }

  bool SetVolumeLabel(const std::u16string& rootPath, const std::u16string& label) override {
    return ::SetVolumeLabelW(Wide(rootPath).c_str(), Wide(label).c_str()) != 0;
  }
};

}  // namespace

IDrives& HostDrives() {
  static Win32Drives drives;
  return drives;
}

bool SameNameInFolder(std::u16string_view a, std::u16string_view b) {
  const auto key = [](std::u16string_view name) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
    return WideUpperCase(name);
  };
  return key(a) == key(b);
}

}  // namespace km::platform
