// Windows-view paths ('\' separators, drive letters, \\server\share) and the
// file queries built on them. Every function takes and passes the wide
// (UTF-16) name; nothing here goes through an 8-bit code page.
#pragma once

#include <cstdint>
#include <string>

namespace km {

inline constexpr uint32_t kInvalidDosTime = 0xFFFFFFFF;

// ---- Pure path functions (never fail; empty in, empty out unless stated).

// path + '\' unless it already ends in '\' (an empty path gives "\").
std::u16string IncludeTrailingSeparator(const std::u16string& path);
// path without its last character when that is '\'.
std::u16string ExcludeTrailingSeparator(const std::u16string& path);
// IncludeTrailingSeparator of dir, or of defaultDir when dir is empty.
std::u16string DirOrDefault(const std::u16string& dir, const std::u16string& defaultDir);
// The last directory name with a trailing '\': C:\App\ gives App\.
std::u16string LastDirName(const std::u16string& dir);
// The parent directory with a trailing '\': C:\App\ gives C:\.
std::u16string ParentDirOf(const std::u16string& dir);

// The text after the last '\' or ':' (the whole path when there is neither).
std::u16string ExtractFileName(const std::u16string& path);
// The text up to and including the last '\' or ':'.
std::u16string ExtractFilePath(const std::u16string& path);
// "X:" for a drive path; \\server\share for a network path; else empty.
std::u16string ExtractFileDrive(const std::u16string& path);
// From the last '.' of the file-name part, inclusive; empty when none.
std::u16string ExtractFileExt(const std::u16string& path);

// The full path: relative parts resolved against the current directory,
// "." and ".." removed.
std::u16string ExpandPath(const std::u16string& path);
std::u16string GetCurrentDir();

// name resolved against dir (or defaultDir, or the current directory when
// both are empty). A name with a drive or a network name is kept as it is;
// an empty name resolves to the directory itself with a trailing '\',
// except that a dir holding ':', or one that does not exist, is returned
// unchanged.
std::u16string ResolvePath(const std::u16string& dir, const std::u16string& name,
                           const std::u16string& defaultDir);
// path relative to the directory of base (which ends in '\' or names a file
// in that directory), with "..\" steps; path unchanged on another drive.
std::u16string RelativePathFrom(const std::u16string& base, const std::u16string& path);

// ---- File system queries.

// A listing of path finds an entry that is not a directory.
bool FileExists(const std::u16string& path);
bool DirectoryExists(const std::u16string& path);
// The attributes, or 0xFFFFFFFF when they cannot be read.
uint32_t GetFileAttr(const std::u16string& path);
bool SetFileAttr(const std::u16string& path, uint32_t attributes);
// Last-write time of an existing non-directory as a local DOS date-time, or
// kInvalidDosTime.
uint32_t FileModDosTime(const std::u16string& path);
// The same, with the exact time (a platform FileTime, 0 when unknown) taken
// from the same look at the file.
uint32_t FileModDosTime(const std::u16string& path, int64_t& writeTime);
// The size a listing of path reports, or 0 when nothing is found.
int64_t FileSizeByName(const std::u16string& path);

// Creates path and every missing parent. True when the directory exists
// afterwards; an empty path throws km::Exception.
bool MakeDirPath(const std::u16string& path);
// Moves a file; fails when newName exists.
bool RenameFile(const std::u16string& oldName, const std::u16string& newName);
bool DeleteFileByName(const std::u16string& path);
// Removes dir (ending in '\') and every directory below it, but never a
// file: false when something could not be removed.
bool RemoveDirTree(const std::u16string& dir);

// The drive part of path is A: or B: (any case).
bool IsFloppyDrive(const std::u16string& path);
// A floppy, or the file system holding path sits on a removable device.
bool IsRemovableDrive(const std::u16string& path);

}  // namespace km
