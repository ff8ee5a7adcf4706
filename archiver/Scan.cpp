// The walk of the tree that adding files runs: masks and exclusions, the
// folders it lists, the failures it reports, and the files it hands to the
// archiver.
#include "archiver/Scan.h"

#include <algorithm>

#include "archiver/PathText.h"
#include "platform/FileSystem.h"
#include "support/Masks.h"
#include "support/Paths.h"
#include "zipformat/Zip64Fields.h"

namespace km {

using namespace pathtext;

namespace {

// Read-only, hidden, system and archive: what an entry listed without any
// attribute counts as.
constexpr uint32_t kPlainFileAttributes = 0x27;
// What the directory pass lists: directories, hidden and system ones too.
constexpr uint32_t kDirectorySearchAttributes = 0x16;
// Everything but volume labels: a lookup of one known name.
constexpr uint32_t kAnySearchAttributes = 0x37;

// A resolved mask matched with its folder: the path's folder must be the
// mask's (case ignored), or lie below it for a "*.*" mask.
// The same with the folder parts worked out already (the mask's is its
// first maskDir characters).
bool MatchesInMaskFolder(View path, View pDir, View mask, size_t maskDir) {
  const View mDir = mask.substr(0, maskDir);
  if (pDir.size() != mDir.size() || !SameLowerCase(pDir, mDir))
    return mask.substr(maskDir) == u"*.*" && pDir.size() >= mDir.size() &&
           SameLowerCase(pDir.substr(0, mDir.size()), mDir);
  return WildMatch(path, mask, true);
}

bool MatchesInMaskFolder(View path, View mask) {
  return MatchesInMaskFolder(path, DirPartOf(path), mask, DirPartOf(mask).size());
}

// Whether the base directory is dir itself, written with or without its
// trailing separator (no base counts as dir).
bool BaseIsDir(const std::u16string& baseDir, const std::u16string& dir) {
  if (baseDir.empty()) return true;
  return (baseDir.size() == dir.size() || baseDir.size() + 1 == dir.size()) &&
         dir.starts_with(baseDir) && (baseDir.size() == dir.size() || baseDir.back() != u'\\');
}

}  // namespace

TKMScan::TKMScan(TKMBaseArchiver& archiver)
    : archiver_(archiver),
      workDir_(archiver.workDir_),
      baseDir_(archiver.baseDir_),
      previous_(archiver.scan_) {
  archiver_.scan_ = this;
}

TKMScan::~TKMScan() {
  archiver_.scan_ = previous_;
}

void TKMScan::KnowArchive(const std::u16string& fileName, int64_t size) {
  archiveSize_ = -1;
  if (platform::IdentityOf(fileName, archiveIdentity_)) archiveSize_ = size;
}

void TKMScan::StartListing(const std::u16string& prefix) {
  recordListed_ = true;
  listedPrefix_ = prefix;
}

// ---- Masks

void TKMScan::ResolveMaskPath(const std::u16string& mask, const std::u16string& directory,
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
bool TKMScan::MatchesPathMask(const std::u16string& path, const std::u16string& mask,
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

const TKMScan::TKMPassDirs& TKMScan::PassDirs() const {
  TKMPassDirs& dirs = passDirs_;
  if (!dirs.known || !SameUnits(dirs.workDir, workDir_) || !SameUnits(dirs.baseDir, baseDir_)) {
    dirs.workDir = workDir_;
    dirs.baseDir = baseDir_;
    dirs.plainWorkDir = IsPlainDriveDir(workDir_);
    dirs.baseIsWorkDir = BaseIsDir(baseDir_, workDir_);
    dirs.known = true;
  }
  return dirs;
}

bool TKMScan::MatchesExclusion(const std::u16string& path, bool isDirectory) const {
  if (exclusionForms_.size() != exclusions_.size()) {
    return std::any_of(exclusions_.begin(), exclusions_.end(), [&](const std::u16string& m) {
      return MatchesPathMask(path, m, isDirectory);
    });
  }
  // What MatchesPathMask works out from the path, once for all the masks.
  std::u16string folderPath;
  if (isDirectory) folderPath = IncludeTrailingSeparator(path.empty() ? workDir_ : path);
  const std::u16string& fp = isDirectory ? folderPath : path;
  View rest, nameBelow;
  bool baseIsDir = false;
  const TKMPassDirs& dirs = PassDirs();
  const bool below = dirs.plainWorkDir && RelativeBelow(workDir_, fp, rest);
  if (below) {
    nameBelow = FileNameOf(rest);
    baseIsDir = dirs.baseIsWorkDir;
  }
  // The bits of the texts the masks look at (the name, or the path below
  // the working folder), each worked out once.
  View bitsOf[2];
  uint64_t bits[2] = {0, 0};
  const auto lacks = [&](View p, uint64_t needs) {
    size_t k = 0;
    while (k < 2 && (p.data() != bitsOf[k].data() || p.size() != bitsOf[k].size())) ++k;
    if (k == 2) {
      k = bitsOf[0].data() == nullptr ? 0 : 1;
      bitsOf[k] = p;
      bits[k] = WildNameBits(p);
    }
    return (needs & ~bits[k]) != 0;
  };
  View pathDir;  // for masks with a drive, worked out for the first
  bool pathDirKnown = false;
  // Wanted only where the path below is empty.
  const auto lastName = [&] {
    return FileNameOf(path.ends_with(u'\\') ? View(path).substr(0, path.size() - 1) : View(path));
  };
  for (size_t k = 0; k < exclusionForms_.size(); ++k) {
    const TKMScanMask& mask = exclusionForms_[k];
    if (mask.all) return true;
    const TKMMaskForm& form = isDirectory ? mask.folder : mask.file;
    const View fm = form.text;
    if (form.belowWorkDir && below) {
      View p = form.named ? nameBelow : rest;
      if (p.empty()) p = lastName();
      const View resolvedName = fm.substr(form.nameStart);
      // What the name must start and end with, looked at first: most names
      // fail most masks there, before the whole match is tried.
      const bool mayMatch =
          !lacks(p, form.nameNeeds) &&
          (form.first == 0 || (!p.empty() && WildCharMatches(form.first, p.front(), true))) &&
          (form.last == 0 || (!p.empty() && WildCharMatches(form.last, p.back(), true)));
      if (mayMatch && WildMatch(p, resolvedName, true)) return true;
      if (baseIsDir) {
        if (resolvedName.size() != fm.size() && !lacks(p, form.textNeeds) && WildMatch(p, fm, true))
          return true;
        continue;
      }
    } else if (form.absolute) {
      if (!pathDirKnown) {
        pathDir = DirPartOf(fp);
        pathDirKnown = true;
      }
      if (MatchesInMaskFolder(fp, pathDir, fm, form.nameStart)) return true;
      continue;
    }
    if (MatchesPathMask(path, exclusions_[k], isDirectory)) return true;
  }
  return false;
}

// ---- Scanning

void TKMScan::Run(const std::vector<std::u16string>& masks, int32_t searchAttr, bool recurse,
                  bool moveFiles, const std::vector<std::u16string>& exclusions) {
  struct TKMPassEnd {
    TKMScan& scan;
    ~TKMPassEnd() {
      scan.exclusions_.clear();
      scan.exclusionForms_.clear();
    }
  } passEnd{*this};
  attr_ = searchAttr;
  moveFiles_ = moveFiles;
  exclusions_ = exclusions;
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
    const View name = View(fm).substr(form.nameStart);
    const auto literal = [](char16_t c) { return c != u'*' && c != u'?'; };
    if (!name.empty() && name != u"*.*") {
      if (literal(name.front())) form.first = name.front();
      if (literal(name.back())) form.last = name.back();
    }
    form.nameNeeds = WildMaskNeeds(name);
    form.textNeeds = WildMaskNeeds(fm);
    return form;
  };
  for (const std::u16string& mask : exclusions_)
    exclusionForms_.push_back({mask == u"*.*", formOf(mask, false), formOf(mask, true)});
  const platform::FolderWalk walk;
  for (const std::u16string& mask : masks) ScanDirectory(workDir_, workDir_, mask, recurse);
}

bool TKMScan::Reread(const std::u16string& dir, SearchRecord& found) {
  const std::u16string path = dir + found.Name;
  int error = found.Error;
  while (error != 0 && Failed(path, false, error, poAdd)) {
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
}

void TKMScan::List(const std::u16string& what, uint32_t attributes,
                   const std::function<void(SearchRecord&)>& take) {
  for (;;) {
    SearchRecord found;
    // The walk never takes "." and "..": the listing leaves them out.
    int rc = FileSearchFirst(what, attributes, found, false);
    for (; rc == 0; rc = FileSearchNext(found)) take(found);
    if (rc == platform::kErrorNoMoreFiles || rc == platform::kErrorFileNotFound ||
        rc == platform::kErrorPathNotFound)
      return;
    if (!Failed(IncludeTrailingSeparator(ResolvePath(ExtractFilePath(what), u"", workDir_)), true,
                rc, poAdd))
      return;
  }
}

void TKMScan::ScanDirectory(const std::u16string& directory, const std::u16string& base,
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

  const uint32_t fileAttr = uint32_t(attr_) & ~platform::faDirectory;
  const bool wantDirs = (uint32_t(attr_) & platform::faDirectory) != 0;
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
  const uint32_t listAttr = shared ? fileAttr | kDirectorySearchAttributes : fileAttr;
  List(pattern, listAttr, [&](SearchRecord& found) {
    if (found.Error != 0 && !Reread(foundDir, found)) return;
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
    List(sub + u"*", kDirectorySearchAttributes, [&](SearchRecord& found) {
      if (found.Error != 0 && !Reread(subDir, found)) return;
      takeFolder(found);
    });
  }

  // The folder's own "*.*" pattern matches every folder listed in it (the
  // name with a dot appended always does): no need to try each one.
  const bool everyFolderMatches =
      patternName == u"*.*" && SameUnits(sub, patternDir) && !HasWildcard(patternDir);
  for (const TKMFoundFile& dir : dirs) {
    const std::u16string path = sub + dir.Name;
    if (MatchesExclusion(path, true)) continue;
    // A link to a directory may lead back up the tree: its entry is kept,
    // what it points to is not walked.
    const bool link = (dir.Attr & platform::faReparsePoint) != 0;
    if (wantDirs && ((everyFolderMatches && !dir.Name.empty()) || WildMatch(path, pattern, true) ||
                     WildMatch(path + u".", pattern, true))) {
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

bool TKMScan::AddFoundFile(const TKMFoundFile& record, const std::u16string& dirPath,
                           const std::u16string& base) {
  return AddListedEntry(record, IncludeTrailingSeparator(ResolvePath(dirPath, u"", workDir_)),
                        base);
}

bool TKMScan::AddListedEntry(const TKMFoundFile& record, const std::u16string& dir,
                             const std::u16string& base) {
  const bool isDirectory = (record.Attr & platform::faDirectory) != 0;
  const std::u16string fullName =
      isDirectory ? dir + IncludeTrailingSeparator(record.Name) : dir + record.Name;
  if (!isDirectory && record.Size == 0 && platform::IsDeviceOrPipe(fullName)) return false;
  if (MatchesExclusion(fullName, isDirectory)) return false;
  if (!isDirectory && record.Size == archiveSize_) {
    platform::FileIdentity identity;
    if (platform::IdentityOf(fullName, identity) && identity == archiveIdentity_) return false;
  }
  AddScannedFile(fullName, base, record);
  return true;
}

void TKMScan::AddScannedFile(const std::u16string& fileName, const std::u16string& base,
                             const TKMFoundFile& record) {
  bool confirm = true;
  const bool asked = archiver_.DoConfirmProcessFile(fileName, moveFiles_ ? poMove : poAdd, confirm);
  if (!confirm) return;
  // What the listing said stays true unless a handler ran in between. A
  // link to a folder is asked afresh: its path ends in a separator, which
  // resolves the link, so its own attributes differ from the listed link's.
  // One the system cannot be asked about (a path too long for it) is what
  // its listing said, not a file of that name. Any other folder reads the
  // same through its separator as its listing said, but for the time: asked
  // by name, a folder has none, and its entry takes the time of the run.
  const bool isDirectory = (record.Attr & platform::faDirectory) != 0;
  const TKMFoundFile* listed = nullptr;
  TKMFoundFile folder;
  if (!asked && record.Time != kInvalidDosTime) {
    if (!isDirectory) {
      listed = &record;
    } else if ((record.Attr & platform::faReparsePoint) == 0) {
      folder = record;
      folder.Time = kInvalidDosTime;
      folder.WriteTime = 0;
      listed = &folder;
    } else if (GetFileAttr(fileName) == platform::kInvalidAttributes) {
      listed = &record;
    }
  }
  const int32_t index = archiver_.AddListedFile(fileName, base, listed);
  if (index < 0) return;

  TDirItem& item = *archiver_.dirManager_->CurrentDir().ItemPtr(index);
  if (moveFiles_) item.Operation = poMove;
  for (const std::u16string& m : archiver_.noCompressionMasks_) {
    if (MatchesPathMask(fileName, m, isDirectory)) {
      item.CompressionMode = 0;
      item.Method = 0;
      break;
    }
  }
  StoreUncompressedSize(item, record.Size, archiver_.zip64Mode_ == zmAlways);
}

// ---- What the check for missing files takes from the scan

void TKMScan::NoteListedEntry(int32_t index, const std::u16string& fileName) {
  if (!recordListed_) return;
  // prefix + the entry name with '\' for '/', compared without building it.
  const std::u16string& name = archiver_.dirManager_->CurrentDir().GetItem(index).FileName;
  const size_t at = listedPrefix_.size();
  if (fileName.size() != at + name.size() || !StartsWithUnits(fileName, listedPrefix_)) return;
  // Names mostly agree: every unit is looked at, without a branch each.
  const char16_t* file = fileName.data() + at;
  const char16_t* entry = name.data();
  char16_t differ = 0;
  for (size_t k = 0; k < name.size(); ++k)
    differ |= char16_t(file[k] ^ (entry[k] == u'/' ? u'\\' : entry[k]));
  if (differ != 0) return;
  if (listedEntries_.size() <= size_t(index)) listedEntries_.resize(size_t(index) + 1);
  listedEntries_[size_t(index)] = true;
}

bool TKMScan::Failed(const std::u16string& path, bool folder, int systemError,
                     TKMProcessOperation operation) {
  if (!failures_.insert(path).second) return false;
  const EKMException failure = archiver_.SourceFileError(
      folder ? u"Cannot list folder" : u"Cannot read the details of file", path, systemError);
  TKMAction action = fxaIgnore;
  archiver_.DoProcessFileFailure(path, operation, failure.NativeError(), failure.ErrorCode(),
                                 failure.Message(), action);
  if (action == fxaAbort) throw failure;
  if (action != fxaRetry) return false;
  failures_.erase(path);
  return true;
}

bool TKMScan::Reported(const std::u16string& path) const {
  if (failures_.empty()) return false;
  const std::u16string bare = ExcludeTrailingSeparator(path);
  if (failures_.contains(bare) || failures_.contains(IncludeTrailingSeparator(bare))) return true;
  for (size_t at = path.find_last_of(u'\\'); at != npos && at > 0;
       at = path.find_last_of(u'\\', at - 1))
    if (failures_.contains(path.substr(0, at + 1)) || failures_.contains(path.substr(0, at)))
      return true;
  return false;
}

}  // namespace km
