// Adding files from a directory tree to the archive's directory, and
// synchronising: removing the entries whose files are gone. Only the
// in-memory directory changes here; the outermost EndUpdate writes it.
#include <algorithm>
#include <string_view>
#include <system_error>

#include "archiver/Archiver.h"
#include "archiver/EntryCompare.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/FileSearch.h"
#include "support/Masks.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"
#include "zipformat/Records.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

constexpr size_t npos = std::u16string::npos;

// Read-only, hidden, system and archive: what an entry listed without any
// attribute counts as.
constexpr uint32_t kPlainFileAttributes = 0x27;
// What the directory pass lists: directories, hidden and system ones too.
constexpr uint32_t kDirectorySearchAttributes = 0x16;
// Everything but volume labels: a lookup of one known name.
constexpr uint32_t kAnySearchAttributes = 0x37;

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool HasSeparator(const std::u16string& text) {
  return text.find_first_of(u"\\/") != npos;
}

bool HasWildcard(const std::u16string& text) {
  return text.find_first_of(u"*?") != npos;
}

bool HasParentStep(const std::u16string& text) {
  return text.find(u"..\\") != npos || text.find(u"../") != npos;
}

// The listing shows FIFOs, sockets and devices as empty plain files; opening
// one for reading would block the commit or read endless data.
bool IsDeviceFile(const std::u16string& fileName) {
  return platform::IsDeviceOrPipe(fileName);
}

// A directory entry has no data: stored, no CRC, and never encrypted.
void MakeDirectoryItem(TDirItem& item) {
  item.Method = 0;
  item.Crc32 = 0;
  item.Flags = uint16_t((item.Flags & kFlagUtf8Name) | 2);
}

}  // namespace

namespace {

using View = std::u16string_view;

// The text after the last '\' or ':', as ExtractFileName gives it.
View FileNameOf(View path) {
  const size_t at = path.find_last_of(u"\\:");
  return at == npos ? path : path.substr(at + 1);
}

View DirPartOf(View path) {
  const size_t at = path.find_last_of(u"\\:");
  return at == npos ? View() : path.substr(0, at + 1);
}

bool SameLowerCase(View a, View b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (a[k] != b[k] && platform::WideCharLower(a[k]) != platform::WideCharLower(b[k]))
      return false;
  return true;
}

// A plain drive directory ("X:\...\") with no other ':': below it, a path
// that starts with it is relative to it by its remaining text alone.
bool IsPlainDriveDir(View dir) {
  return dir.size() >= 3 && dir[1] == u':' && dir[2] == u'\\' && dir.back() == u'\\' &&
         dir.find(u':', 2) == npos;
}

// RelativePathFrom(dir, path) without building it, where that is plain
// text: false when the full rules are needed.
bool RelativeBelow(View dir, View path, View& rest) {
  if (!path.starts_with(dir)) return false;
  rest = path.substr(dir.size());
  return rest.find(u':') == npos;
}

// A resolved mask matched with its folder: the path's folder must be the
// mask's (case ignored), or lie below it for a "*.*" mask.
bool MatchesInMaskFolder(View path, View mask) {
  const View pDir = DirPartOf(path);
  const View mDir = DirPartOf(mask);
  if (pDir.size() != mDir.size() || !SameLowerCase(pDir, mDir))
    return FileNameOf(mask) == u"*.*" && pDir.size() >= mDir.size() &&
           SameLowerCase(pDir.substr(0, mDir.size()), mDir);
  return WildMatch(path, mask, true);
}

// Whether the base directory is dir itself, written with or without its
// trailing separator (no base counts as dir).
bool BaseIsDir(const std::u16string& baseDir, const std::u16string& dir) {
  if (baseDir.empty()) return true;
  return (baseDir.size() == dir.size() || baseDir.size() + 1 == dir.size()) &&
         dir.starts_with(baseDir) && (baseDir.size() == dir.size() || baseDir.back() != u'\\');
}

}  // namespace

// ---- Entry names

std::u16string TKMBaseArchiver::MakeStoredName(const std::u16string& path,
                                               const std::u16string& base, TKMStorePathMode mode,
                                               const std::u16string& workDir) {
  // ResolvePath gives back a base or path with a drive as it is: the usual
  // case needs no call and no copies of the working directory.
  const bool baseAsIs = base.find(u':') != npos && base.back() == u'\\';
  std::u16string resolvedBase;
  if (!baseAsIs) {
    resolvedBase = base.find(u':') != npos ? base : ResolvePath(base, u"", workDir);
    // A base named without its trailing separator is the same directory.
    if (!resolvedBase.empty() && resolvedBase.back() != u'\\') resolvedBase += u'\\';
  }
  const std::u16string& dirBase = baseAsIs ? base : resolvedBase;
  const bool absolute = path.find(u':') != npos || path.starts_with(u"\\\\");
  std::u16string resolvedPath;
  if (!absolute) resolvedPath = ResolvePath(dirBase, path, workDir);
  View whole = absolute ? View(path) : View(resolvedPath);
  if (!whole.empty() && IsSeparator(whole.back())) whole.remove_suffix(1);
  // "dir\." is dir itself, named as "dir\" is; a name of its own that ends
  // in a dot ("trail.", "a..") keeps it, or the file would be looked for
  // under another name.
  if (whole == u".")
    whole.remove_suffix(1);
  else if (whole.size() >= 2 && whole.back() == u'.' && IsSeparator(whole[whole.size() - 2]))
    whole.remove_suffix(2);

  std::u16string full;
  switch (mode) {
    case spNoPath:
      full = FileNameOf(whole);
      break;
    case spRelativePath:
    case spRelativeStoreStart: {
      // A file outside the base keeps its full path rather than "..\" steps.
      const std::u16string workFrom = dirBase.empty() ? IncludeTrailingSeparator(workDir) : u"";
      const std::u16string& from = dirBase.empty() ? workFrom : dirBase;
      View below;
      std::u16string relative;
      if (!(IsPlainDriveDir(from) && RelativeBelow(from, whole, below))) {
        relative = RelativePathFrom(from, std::u16string(whole));
        below = relative;
      }
      if (below.find(u"..\\") == npos && below.find(u"../") == npos) {
        if (mode == spRelativeStoreStart) full = LastDirName(dirBase);
        full += below;
      } else {
        full = whole;
      }
      break;
    }
    case spFullPath:
      full = whole;
      break;
    case spFullPathWithDrive:
      full = ExpandPath(std::u16string(whole));
      break;
  }

  size_t start = 0;
  if (mode != spFullPathWithDrive) {
    if (const size_t colon = full.find(u':'); colon != npos) {
      start = colon + 1;
      if (start >= full.size()) return {};
    } else {
      // \\server\share\dir\f keeps share\dir\f.
      for (size_t i = 0; i + 1 < full.size(); ++i) {
        if (IsSeparator(full[i]) && IsSeparator(full[i + 1])) {
          const size_t next = full.find_first_of(u"\\/", i + 2);
          start = next == npos ? full.size() : next + 1;
          break;
        }
      }
    }
    if (start < full.size() && IsSeparator(full[start])) ++start;
  }
  full.erase(0, start);
  std::replace(full.begin(), full.end(), u'\\', u'/');
  return full;
}

// ---- Masks

void TKMBaseArchiver::ResolveMaskPath(const std::u16string& mask, const std::u16string& directory,
                                      std::u16string& searchPath, bool& relative) const {
  if (mask.empty()) return;
  const std::u16string resolved = ResolvePath(directory, u"", workDir_);
  const std::u16string dir = IncludeTrailingSeparator(resolved);
  relative = false;
  if (IsSeparator(mask[0])) {
    if (mask.size() == 1)
      searchPath = resolved;
    else if (IsSeparator(mask[1]))
      searchPath = mask;  // a network path
    else
      searchPath = dir + mask.substr(1);
  } else if (mask.starts_with(u".\\")) {
    searchPath = dir + mask.substr(2);
  } else if (mask.find(u':') != npos || HasParentStep(mask)) {
    searchPath = mask;
  } else {
    relative = true;
    searchPath = dir + mask;
  }
}

// The per-file matching of a scan runs for every mask and every file, so
// the usual case (a plain relative mask under a drive directory) is decided
// here without building any path; the general rules follow below.
bool TKMBaseArchiver::MatchesPathMask(const std::u16string& path, const std::u16string& mask,
                                      bool isDirectory) const {
  if (mask == u"*.*") return true;
  // A folder is matched with separators appended to both sides.
  std::u16string folderPath, folderMask;
  if (isDirectory) {
    folderPath = IncludeTrailingSeparator(path.empty() ? workDir_ : path);
    if (!mask.empty() && mask.back() != u'*') folderMask = IncludeTrailingSeparator(mask);
  }
  const std::u16string& fp = isDirectory ? folderPath : path;
  const std::u16string& fm = folderMask.empty() ? mask : folderMask;
  if (!fm.empty() && !IsSeparator(fm[0]) && !fm.starts_with(u".\\") && fm.find(u':') == npos &&
      !HasParentStep(fm) && IsPlainDriveDir(workDir_)) {
    // ResolvePath leaves a directory with a drive as it is.
    const std::u16string& dir = workDir_;
    View rest;
    if (RelativeBelow(dir, fp, rest)) {
      const bool named = !HasSeparator(fm);
      View p = named ? FileNameOf(rest) : rest;
      if (p.empty())
        p = FileNameOf(path.ends_with(u'\\') ? View(path).substr(0, path.size() - 1) : View(path));
      // The mask resolves to dir + mask; its name part and its path below
      // the base are both just the mask when the base is that directory.
      const View resolvedName = FileNameOf(fm);
      if (WildMatch(p, resolvedName, true)) return true;
      if (BaseIsDir(baseDir_, dir))
        return resolvedName.size() != fm.size() && WildMatch(p, fm, true);
    }
  }

  std::u16string p = path;
  std::u16string m = mask;
  if (isDirectory) {
    p = IncludeTrailingSeparator(path.empty() ? workDir_ : path);
    if (!m.empty() && m.back() != u'*') m = IncludeTrailingSeparator(m);
  }
  std::u16string resolved;
  bool relative = false;
  if (m.find(u':') != npos)
    resolved = m;
  else
    ResolveMaskPath(m, workDir_, resolved, relative);

  if (relative) {
    // A plain name matches the file's name alone, a relative path the path
    // below the working directory.
    p = RelativePathFrom(IncludeTrailingSeparator(workDir_), p);
    if (!HasSeparator(m)) p = ExtractFileName(p);
    if (p.empty()) p = ExtractFileName(ExcludeTrailingSeparator(path));
    if (WildMatch(p, ExtractFileName(resolved), true)) return true;
    // The mask's own path below the base, so that a folder mask ("sub")
    // matches that folder and not only names ending like it.
    return WildMatch(p, RelativePathFrom(DirOrDefault(baseDir_, workDir_), resolved), true);
  }

  m = resolved;
  return MatchesInMaskFolder(p, m);
}

bool TKMBaseArchiver::MatchesExclusion(const std::u16string& path, bool isDirectory) const {
  if (exclusionForms_.size() != exclusionList_.size()) {
    return std::any_of(exclusionList_.begin(), exclusionList_.end(), [&](const std::u16string& m) {
      return MatchesPathMask(path, m, isDirectory);
    });
  }
  // What MatchesPathMask works out from the path, once for all the masks.
  std::u16string folderPath;
  if (isDirectory) folderPath = IncludeTrailingSeparator(path.empty() ? workDir_ : path);
  const std::u16string& fp = isDirectory ? folderPath : path;
  View rest, nameBelow, lastName;
  bool baseIsDir = false;
  const bool below = IsPlainDriveDir(workDir_) && RelativeBelow(workDir_, fp, rest);
  if (below) {
    nameBelow = FileNameOf(rest);
    lastName =
        FileNameOf(path.ends_with(u'\\') ? View(path).substr(0, path.size() - 1) : View(path));
    baseIsDir = BaseIsDir(baseDir_, workDir_);
  }
  for (size_t k = 0; k < exclusionForms_.size(); ++k) {
    const TKMScanMask& mask = exclusionForms_[k];
    if (mask.all) return true;
    const TKMMaskForm& form = isDirectory ? mask.folder : mask.file;
    const View fm = form.text;
    if (form.belowWorkDir && below) {
      View p = form.named ? nameBelow : rest;
      if (p.empty()) p = lastName;
      const View resolvedName = fm.substr(form.nameStart);
      if (WildMatch(p, resolvedName, true)) return true;
      if (baseIsDir) {
        if (resolvedName.size() != fm.size() && WildMatch(p, fm, true)) return true;
        continue;
      }
    } else if (form.absolute) {
      if (MatchesInMaskFolder(fp, fm)) return true;
      continue;
    }
    if (MatchesPathMask(path, exclusionList_[k], isDirectory)) return true;
  }
  return false;
}

// ---- Scanning

void TKMBaseArchiver::AddFiles() {
  CheckOpen();
  CheckModifiable();
  addedCount_ = 0;
  // Dropping damaged entries is counted as deleting them.
  if (DirectoryRebuilt()) deletedCount_ = 0;
  scanFailures_.clear();
  addingFiles_ = true;
  ScopeExit added([this] { addingFiles_ = false; });
  BeginUpdate();
  std::vector<std::u16string> exclusions = exclusionMasks_;
  // The archive never archives itself, however its name was spelt, and
  // however it is reached (a link to it in the tree): by its name here, by
  // its identity for every file of its size.
  if (!fileName_.empty()) exclusions.push_back(ExpandPath(ResolvePath(u"", fileName_, workDir_)));
  archiveSize_ = -1;
  racyFrom_ = RacyFrom();
  if (!inMemory_ && archiveStream_ && !fileName_.empty() &&
      platform::IdentityOf(fileName_, archiveIdentity_))
    archiveSize_ = archiveStream_->Size();
  try {
    // What the scan lists stays true for the check for missing files that
    // follows at once, unless a handler or a question may have let time
    // pass or files change in between; any other check asks the file system.
    ScopeExit forget([&] {
      recordListed_ = false;
      listedEntries_.clear();
      damagedEntries_.clear();
      scanFailures_.clear();
    });
    // An archive that lost its directory (a run killed while it appended)
    // may hold an entry that was never finished: its header still says what
    // the file says, so comparing would keep it. Every entry is checked, and
    // a damaged one is replaced from its file or dropped.
    FindDamagedEntries();
    recordListed_ = options_.Synchronize() && !OnConfirmProcessFile && !OnStoreFile &&
                    options_.OverwriteMode() != omPrompt && options_.StorePath() != spNoPath;
    if (recordListed_) listedPrefix_ = MissingFilesPrefix();
    AddFilesByMasks(fileMasks_, options_.SearchAttr(), options_.Recurse(), false, exclusions);
    recordListed_ = false;
    if (options_.Synchronize()) DeleteMissingFiles();
    DropDamagedEntries();
    EndUpdate();
  } catch (...) {
    CancelUpdate();
    throw;
  }
}

void TKMBaseArchiver::AddFilesByMasks(const std::vector<std::u16string>& masks, int32_t searchAttr,
                                      bool recurse, bool moveFiles,
                                      const std::vector<std::u16string>& exclusions) {
  platform::CriticalSection::Guard lock(ArchiverLock());
  const std::u16string savedWorkDir = workDir_;
  ScopeExit restore([&] {
    workDir_ = savedWorkDir;
    exclusionList_.clear();
    exclusionForms_.clear();
  });
  workDir_ = ResolvePath(baseDir_, u"", workDir_);
  if (!workDir_.empty()) workDir_ = IncludeTrailingSeparator(workDir_);
  scanAttr_ = searchAttr;
  scanMoveFiles_ = moveFiles;
  exclusionList_ = exclusions;
  exclusionForms_.clear();
  const auto formOf = [](const std::u16string& mask, bool isDirectory) {
    TKMMaskForm form;
    form.text =
        isDirectory && !mask.empty() && mask.back() != u'*' ? IncludeTrailingSeparator(mask) : mask;
    const std::u16string& fm = form.text;
    form.absolute = fm.find(u':') != npos;
    form.belowWorkDir = !fm.empty() && !IsSeparator(fm[0]) && !fm.starts_with(u".\\") &&
                        !form.absolute && !HasParentStep(fm);
    form.named = !HasSeparator(fm);
    const size_t at = fm.find_last_of(u"\\:");
    form.nameStart = at == npos ? 0 : at + 1;
    return form;
  };
  for (const std::u16string& mask : exclusionList_)
    exclusionForms_.push_back({mask == u"*.*", formOf(mask, false), formOf(mask, true)});
  for (const std::u16string& mask : masks) ScanDirectory(workDir_, workDir_, mask, recurse);
}

void TKMBaseArchiver::ScanDirectory(const std::u16string& directory, const std::u16string& base,
                                    const std::u16string& mask, bool recurse) {
  std::u16string pattern;
  bool relative = false;
  ResolveMaskPath(mask, directory, pattern, relative);
  if (pattern.empty()) return;

  if (pattern == mask && !HasWildcard(mask) && FileExists(pattern)) {
    const TKMFoundFile record{ExtractFileName(pattern), GetFileAttr(pattern),
                              FileSizeByName(pattern)};
    AddFoundFile(record, ExtractFilePath(pattern), base);
    return;
  }

  const uint32_t fileAttr = uint32_t(scanAttr_) & ~platform::faDirectory;
  const bool wantDirs = (uint32_t(scanAttr_) & platform::faDirectory) != 0;
  const bool walk = wantDirs || recurse;
  const std::u16string patternDir = ExtractFilePath(pattern);
  std::u16string sub = patternDir;
  if (walk && ResolvePath(sub, u"", workDir_).find(directory) == npos && relative)
    sub = IncludeTrailingSeparator(directory);
  // When the files' mask takes every name, the folders come from the same
  // listing: each folder is read once.
  const std::u16string patternName = ExtractFileName(pattern);
  const bool shared = walk && sub == patternDir && (patternName == u"*" || patternName == u"*.*");

  // The bits of hidden, system, volume label and folder that exclude an
  // entry from the files and from the folders.
  const uint32_t notFile = ~fileAttr & 0x1E;
  const uint32_t notFolder = ~kDirectorySearchAttributes & 0x1E;
  const std::u16string foundDir = IncludeTrailingSeparator(ResolvePath(patternDir, u"", workDir_));
  // Listed in full before descending, so that one listing at a time is open.
  std::vector<TKMFoundFile> dirs;
  const auto takeFolder = [&](const SearchRecord& found) {
    if ((found.Attr & platform::faDirectory) == 0 || (found.Attr & notFolder) != 0 ||
        found.Name == u"." || found.Name == u"..")
      return;
    dirs.push_back({found.Name, found.Attr, found.Size, found.Time, found.WriteTime});
  };
  // An entry listed without its details is reported; tried again, it is
  // looked up by its name alone. False: go on without it.
  const auto reread = [&](const std::u16string& dir, SearchRecord& found) {
    const std::u16string path = dir + found.Name;
    int error = found.Error;
    while (error != 0 && ScanFailed(path, false, error, poAdd)) {
      SearchRecord again;
      error = FileSearchFirst(path, kAnySearchAttributes, again);
      if (error == 0) error = again.Error;
      if (error == 0) {
        found.Attr = again.Attr;
        found.Size = again.Size;
        found.Time = again.Time;
        found.WriteTime = again.WriteTime;
        found.Error = 0;
      }
    }
    return error == 0;
  };
  // A folder that cannot be listed is said to be so, never taken for empty:
  // its entries are kept as they are.
  const auto list = [&](const std::u16string& what, uint32_t attributes,
                        const std::function<void(SearchRecord&)>& take) {
    for (;;) {
      SearchRecord found;
      int rc = FileSearchFirst(what, attributes, found);
      for (; rc == 0; rc = FileSearchNext(found)) take(found);
      if (rc == platform::kErrorNoMoreFiles || rc == platform::kErrorFileNotFound ||
          rc == platform::kErrorPathNotFound)
        return;
      if (!ScanFailed(IncludeTrailingSeparator(ResolvePath(ExtractFilePath(what), u"", workDir_)),
                      true, rc, poAdd))
        return;
    }
  };
  const uint32_t listAttr = shared ? fileAttr | kDirectorySearchAttributes : fileAttr;
  list(pattern, listAttr, [&](SearchRecord& found) {
    if (found.Error != 0 && !reread(foundDir, found)) return;
    if ((found.Attr & notFile) == 0) {
      const bool taken =
          (found.Attr & fileAttr) != 0 ||
          (found.Attr == 0 && (fileAttr & kPlainFileAttributes) == kPlainFileAttributes);
      if (taken)
        AddListedEntry({found.Name, found.Attr, found.Size, found.Time, found.WriteTime}, foundDir,
                       base);
    } else if (shared) {
      takeFolder(found);
    }
  });
  if (!walk) return;
  if (!shared) {
    const std::u16string subDir = IncludeTrailingSeparator(ResolvePath(sub, u"", workDir_));
    list(sub + u"*", kDirectorySearchAttributes, [&](SearchRecord& found) {
      if (found.Error != 0 && !reread(subDir, found)) return;
      takeFolder(found);
    });
  }

  for (const TKMFoundFile& dir : dirs) {
    const std::u16string path = sub + dir.Name;
    if (MatchesExclusion(path, true)) continue;
    // A link to a directory may lead back up the tree: its entry is kept,
    // what it points to is not walked.
    const bool link = (dir.Attr & platform::faReparsePoint) != 0;
    if (wantDirs && (WildMatch(path, pattern, true) || WildMatch(path + u".", pattern, true))) {
      if (AddFoundFile(dir, sub, base) && !link) ScanDirectory(path, base, u"*.*", true);
      continue;
    }
    if (!recurse || link) continue;
    if (HasSeparator(mask)) {
      if (HasWildcard(mask)) ScanDirectory(path, base, ExtractFileName(pattern), true);
    } else {
      ScanDirectory(path, base, mask, true);
    }
  }
}

bool TKMBaseArchiver::AddFoundFile(const TKMFoundFile& record, const std::u16string& dirPath,
                                   const std::u16string& base) {
  return AddListedEntry(record, IncludeTrailingSeparator(ResolvePath(dirPath, u"", workDir_)),
                        base);
}

bool TKMBaseArchiver::AddListedEntry(const TKMFoundFile& record, const std::u16string& dir,
                                     const std::u16string& base) {
  const bool isDirectory = (record.Attr & platform::faDirectory) != 0;
  const std::u16string fullName =
      isDirectory ? dir + IncludeTrailingSeparator(record.Name) : dir + record.Name;
  if (!isDirectory && record.Size == 0 && IsDeviceFile(fullName)) return false;
  if (MatchesExclusion(fullName, isDirectory)) return false;
  if (!isDirectory && record.Size == archiveSize_) {
    platform::FileIdentity identity;
    if (platform::IdentityOf(fullName, identity) && identity == archiveIdentity_) return false;
  }
  AddScannedFile(fullName, base, record);
  return true;
}

void TKMBaseArchiver::AddScannedFile(const std::u16string& fileName, const std::u16string& base,
                                     const TKMFoundFile& record) {
  bool confirm = true;
  const uint32_t quietBefore = quietDispatches_;
  DoConfirmProcessFile(fileName, scanMoveFiles_ ? poMove : poAdd, confirm);
  if (!confirm) return;
  // A folder is asked afresh: its path ends in a separator, which resolves
  // a link to it, so its own attributes differ from the listed link's. One
  // the system cannot be asked about (a path too long for it) is what its
  // listing said, not a file of that name.
  const bool isDirectory = (record.Attr & platform::faDirectory) != 0;
  const bool unchanged = quietDispatches_ == quietBefore + 1 && record.Time != kInvalidDosTime &&
                         (!isDirectory || GetFileAttr(fileName) == platform::kInvalidAttributes);
  const int32_t index = AddListedFile(fileName, base, unchanged ? &record : nullptr);
  if (index < 0) return;

  TDirItem& item = *dirManager_->CurrentDir().ItemPtr(index);
  if (scanMoveFiles_) item.Operation = poMove;
  for (const std::u16string& m : noCompressionMasks_) {
    if (MatchesPathMask(fileName, m, isDirectory)) {
      item.CompressionMode = 0;
      item.Method = 0;
      break;
    }
  }
  StoreUncompressedSize(item, record.Size, zip64Mode_ == zmAlways);
}

// ---- Entries

int32_t TKMBaseArchiver::AddFile(const std::u16string& fileName, const std::u16string& base) {
  return AddListedFile(fileName, base, nullptr);
}

int32_t TKMBaseArchiver::AddListedFile(const std::u16string& fileName, const std::u16string& base,
                                       const TKMFoundFile* listed) {
  std::u16string name = MakeStoredName(fileName, base, options_.StorePath(), workDir_);
  // Asking the file system again would only repeat what the listing said
  // a moment ago about this file (never a folder); after a handler has run
  // it is asked afresh.
  const bool isDirectory =
      listed ? (listed->Attr & platform::faDirectory) != 0 : DirectoryExists(fileName);
  if (isDirectory && !name.ends_with(u'/')) name += u'/';
  uint32_t attributes = listed ? listed->Attr : GetFileAttr(fileName);
  if (attributes == platform::kInvalidAttributes) attributes = platform::faArchive;
  std::string comment;
  const uint32_t quietBefore = quietDispatches_;
  DoStoreFile(name, attributes, fileName, comment);
  if (quietDispatches_ != quietBefore + 1) listed = nullptr;
  const auto attrNow = [&] { return listed ? listed->Attr : GetFileAttr(fileName); };
  const auto sizeNow = [&] { return listed ? listed->Size : FileSizeByName(fileName); };
  const auto timeNow = [&] {
    TKMFileTime time;
    if (listed) {
      time.Dos = listed->Time;
      time.Exact = listed->WriteTime;
    } else {
      time.Dos = FileModDosTime(fileName, time.Exact);
    }
    return time;
  };
  // An entry without a name could never be found or extracted again.
  if (name.empty()) return -1;
  CheckOpen();

  int32_t index = dirManager_->CurrentDir().FindItem(name);
  if (index < 0) {
    TDirItem item;
    item.FileName = name;
    item.Operation = poAdd;
    index = dirManager_->CurrentDir().Add(item);
    ++addedCount_;
    if (listed) NoteListedEntry(index, fileName);
  } else {
    if (listed) NoteListedEntry(index, fileName);
    bool replace = false;
    const TDirItem& entry = dirManager_->CurrentDir().GetItem(index);
    // A damaged entry holds nothing worth keeping or asking about.
    const bool damaged = IsDamagedEntry(entry);
    const TKMOverwriteMode mode = damaged ? omAlways : options_.OverwriteMode();
    switch (mode) {
      case omPrompt: {
        std::u16string entryName = entry.FileName;
        DoConfirmOverwrite(fileName, entryName, replace);
        CheckOpen();
        break;
      }
      case omAlways:
        replace = true;
        break;
      case omNever:
        break;
      case omIfNewer:
      case omIfOlder:
      case omIfDiffer: {
        // Attributes read with all bits set when the file cannot be read.
        const auto fileCrc = [&](uint32_t& crc) { return FileCrc32(fileName, crc); };
        replace = FileReplacesEntry(mode, attrNow(), sizeNow(), timeNow, fileCrc, entry,
                                    UncompressedSizeOf(entry), racyFrom_);
        break;
      }
    }
    if (!replace) return -1;
    // The overwrite question is a handler of its own.
    if (options_.OverwriteMode() == omPrompt) listed = nullptr;
    ++addedCount_;
    TDirItem& item = *dirManager_->CurrentDir().ItemPtr(index);
    item.Modified = true;
    item.SourceFileName = fileName;
    // A damaged entry is written as a new one: should its file fail to be
    // read, the entry goes rather than its damaged bytes coming back.
    item.Operation = damaged ? poAdd : poUpdate;
  }

  TKMDirArray& dir = dirManager_->CurrentDir();
  if (listed) {
    const uint32_t attr = attrNow();
    const TKMFileTime time = timeNow();
    RefreshItem(*dir.ItemPtr(index), fileName, attr, time.Dos, time.Exact, sizeNow());
  } else {
    RefreshItemFromFile(*dir.ItemPtr(index), fileName);
  }
  if (isDirectory) MakeDirectoryItem(*dir.ItemPtr(index));
  if (dir.GetItem(index).FileName != name) dir.RenameItem(index, name);
  TDirItem& item = *dir.ItemPtr(index);
  item.NameLength = StoreLength16(name.size());
  item.ExternalAttr = attributes;
  item.Comment = comment;
  item.CommentLength = StoreLength16(comment.size());
  return index;
}

void TKMBaseArchiver::InitItemFromFile(int32_t index, const std::u16string& fileName) {
  std::u16string name = MakeStoredName(fileName, workDir_, options_.StorePath(), workDir_);
  if (name.empty()) return;
  const bool isDirectory = DirectoryExists(fileName);
  if (isDirectory && !name.ends_with(u'/')) name += u'/';
  TKMDirArray& dir = dirManager_->CurrentDir();
  if (dir.GetItem(index).FileName != name) dir.RenameItem(index, name);
  TDirItem& item = *dir.ItemPtr(index);
  // Adding and refreshing an entry from its file fill it the same way.
  RefreshItemFromFile(item, fileName);
  if (isDirectory) MakeDirectoryItem(item);
}

// ---- Synchronising

void TKMBaseArchiver::DeleteMissingFiles() {
  if (baseDir_.empty() || !DirectoryExists(baseDir_)) {
    platform::MessageBoxRequest request;
    request.text = u"Synchronizing impossible!\r\nBaseDir is not set.";
    request.caption = u"Error";
    request.type = platform::mtError;
    request.buttons = {platform::mbOK};
    request.owned = false;
    platform::ShowMessageBox(request);
    return;
  }
  CheckOpen();
  CheckModifiable();
  deletedCount_ = 0;
  // Called on its own, it reports what it finds afresh each time.
  if (!addingFiles_) scanFailures_.clear();
  MarkMissingFiles();
  BeginUpdate();
  try {
    ProcessFiles(poDelete);
    EndUpdate();
  } catch (...) {
    CancelUpdate();
    throw;
  }
}

std::u16string TKMBaseArchiver::MissingFilesPrefix() const {
  // Entry paths are joined to the base directly: it needs its separator.
  const std::u16string base = IncludeTrailingSeparator(ResolvePath(baseDir_, u"", workDir_));
  switch (options_.StorePath()) {
    case spRelativePath:
      return base;
    case spRelativeStoreStart:
      return ParentDirOf(base);
    case spFullPath:
      return ExtractFileDrive(base) + u"\\";
    default:
      return {};
  }
}

void TKMBaseArchiver::NoteListedEntry(int32_t index, const std::u16string& fileName) {
  if (!recordListed_) return;
  // prefix + the entry name with '\' for '/', compared without building it.
  const std::u16string& name = dirManager_->CurrentDir().GetItem(index).FileName;
  const size_t at = listedPrefix_.size();
  if (fileName.size() != at + name.size() || !fileName.starts_with(listedPrefix_)) return;
  for (size_t k = 0; k < name.size(); ++k)
    if (fileName[at + k] != (name[k] == u'/' ? u'\\' : name[k])) return;
  if (listedEntries_.size() <= size_t(index)) listedEntries_.resize(size_t(index) + 1);
  listedEntries_[size_t(index)] = true;
}

void TKMBaseArchiver::MarkMissingFiles() {
  CheckOpen();
  TKMDirArray& dir = dirManager_->CurrentDir();
  dir.ClearMarks();
  // Entries stored without paths cannot be traced back to their files.
  const TKMStorePathMode mode = options_.StorePath();
  if (mode == spNoPath) return;
  const std::u16string prefix = MissingFilesPrefix();
  const auto isDirectoryEntry = [](const TDirItem& item) {
    return (item.ExternalAttr & platform::faDirectory) != 0 || item.FileName.ends_with(u'/');
  };
  // A file entry whose file the scan has just listed is there: neither the
  // masks nor the file system need asking about it.
  const int32_t count = dir.Count();
  const auto listed = [&](int32_t i) {
    return size_t(i) < listedEntries_.size() && listedEntries_[size_t(i)] &&
           !isDirectoryEntry(dir.GetItem(i));
  };

  // Entries lie grouped by folder: each folder is opened once, not per entry.
  platform::FileLookup files;
  TKMArchiveItem record;
  // A search goes on after CurrentIndex, so the listed entries are passed over.
  const auto passListed = [&] {
    int32_t& at = record.InternalData.CurrentIndex;
    while (at + 1 < count && listed(at + 1)) ++at;
  };
  // Whether the scan reported path or a folder above it already.
  const auto reported = [&](const std::u16string& path) {
    if (scanFailures_.empty()) return false;
    const std::u16string bare = ExcludeTrailingSeparator(path);
    if (scanFailures_.contains(bare) || scanFailures_.contains(IncludeTrailingSeparator(bare)))
      return true;
    for (size_t at = path.find_last_of(u'\\'); at != npos && at > 0;
         at = path.find_last_of(u'\\', at - 1))
      if (scanFailures_.contains(path.substr(0, at + 1)) ||
          scanFailures_.contains(path.substr(0, at)))
        return true;
    return false;
  };
  for (bool found = FindFirstByMasks(record); found; passListed(), found = FindNext(record)) {
    const int32_t index = record.InternalData.CurrentIndex;
    if (listed(index)) continue;
    const std::u16string path = prefix + record.StoredPath + record.FileName;
    const bool folder = isDirectoryEntry(dir.GetItem(index));
    int error = 0;
    platform::FileLookup::State state = files.Find(ExcludeTrailingSeparator(path), error);
    // Only "not found" deletes: what cannot be looked at is kept, and said.
    while (state == platform::FileLookup::State::Unknown && !reported(path) &&
           ScanFailed(path, folder, error, poDelete)) {
      state = files.Find(ExcludeTrailingSeparator(path), error);
    }
    using State = platform::FileLookup::State;
    if (state == State::Missing || state == (folder ? State::File : State::Directory))
      dir.ItemPtr(index)->Marked = true;
  }
}

bool TKMBaseArchiver::ScanFailed(const std::u16string& path, bool folder, int systemError,
                                 TKMProcessOperation operation) {
  if (!scanFailures_.insert(path).second) return false;
  const EKMException failure = SourceFileError(
      folder ? u"Cannot list folder" : u"Cannot read the details of file", path, systemError);
  TKMAction action = fxaIgnore;
  DoProcessFileFailure(path, operation, failure.NativeError(), failure.ErrorCode(),
                       failure.Message(), action);
  if (action == fxaAbort) throw failure;
  if (action != fxaRetry) return false;
  scanFailures_.erase(path);
  return true;
}

// ---- Mending a rebuilt directory

void TKMBaseArchiver::FindDamagedEntries() {
  damagedEntries_.clear();
  if (!DirectoryRebuilt() || !archiveStream_) return;
  platform::CriticalSection::Guard lock(ArchiverLock());
  const TKMDirArray& dir = dirManager_->CurrentDir();
  TStream& archive = *archiveStream_;
  const int64_t fileSize = archive.Size();
  // Quietly: no progress event may cancel a check (a cancelled check would
  // read as damage).
  const bool progressWas = progressEnabled_;
  const int64_t positionWas = archive.Position();
  progressEnabled_ = false;
  ScopeExit restore([&] {
    progressEnabled_ = progressWas;
    archive.SetPosition(positionWas);
  });

  // In file order, each entry's bytes end where the next header begins.
  // Entries already changed in this transaction have no bytes there yet.
  std::vector<std::pair<int64_t, int32_t>> byOffset;
  byOffset.reserve(size_t(dir.Count()));
  for (int32_t i = 0; i < dir.Count(); ++i)
    if (!dir.GetItem(i).Modified) byOffset.emplace_back(LocalOffsetOf(dir.GetItem(i)), i);
  std::sort(byOffset.begin(), byOffset.end());

  const auto damaged = [&](const TDirItem& item, int64_t offset, int64_t next) {
    // What the rebuild writes before the data, and rewrites after it (a
    // Zip64 entry's size is the sentinel then, its Zip64 field still empty).
    if (item.Crc32 == 0xFFFFFFFF && item.CompressedSize == 0 && item.UncompressedSize != 0)
      return true;
    const int64_t compressed = CompressedSizeOf(item);
    if (offset < 0 || fileSize - offset < int64_t(TLocalFileHeader::kSize)) return true;
    archive.SetPosition(offset);
    const TLocalFileHeader local = ReadLocalFileHeader(archive);
    const int64_t dataStart =
        offset + int64_t(TLocalFileHeader::kSize) + local.NameLength + local.ExtraLength;
    // A descriptor needs at least its 12 bytes after the data.
    const int64_t end =
        dataStart + compressed + ((local.Flags & kFlagDataDescriptor) != 0 ? 12 : 0);
    if (compressed < 0 || end > next) return true;

    // The data itself, where it can be judged: an unknown method, or a
    // password that does not open the entry, says nothing about damage (and
    // nobody is asked for another one).
    if (item.Method != 0 && item.Method != 8) return false;
    if ((item.Flags & kFlagEncrypted) != 0) {
      if (compressed < kEncryptionHeaderSize) return true;
      KeySet keys;
      archive.SetPosition(dataStart);
      if (!CheckPassword(archive, password_, keys, local.Crc32, local.ModTime, local.Flags))
        return false;
    }
    archive.SetPosition(offset);
    TNullStream discard;
    skipFile_ = false;
    try {
      return !DecompressEntry(archive, discard, item);
    } catch (const EDecompressionError&) {
      throw;  // the inflate library itself failed, not the data
    } catch (const Exception&) {
      return true;
    }
  };

  for (size_t k = 0; k < byOffset.size(); ++k) {
    const auto [offset, index] = byOffset[k];
    const int64_t next = k + 1 < byOffset.size() ? byOffset[k + 1].first : fileSize;
    if (damaged(dir.GetItem(index), offset, next)) damagedEntries_.push_back(offset);
  }
}

bool TKMBaseArchiver::IsDamagedEntry(const TDirItem& item) const {
  return !item.Modified &&
         std::binary_search(damagedEntries_.begin(), damagedEntries_.end(), LocalOffsetOf(item));
}

void TKMBaseArchiver::DropDamagedEntries() {
  if (damagedEntries_.empty() || !dirManager_) return;
  TKMDirArray& dir = dirManager_->CurrentDir();
  for (int32_t i = dir.Count() - 1; i >= 0; --i) {
    if (!IsDamagedEntry(dir.GetItem(i))) continue;
    dir.Delete(i);
    ++deletedCount_;
  }
}

}  // namespace km
