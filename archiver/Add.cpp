// Adding files from a directory tree to the archive's directory, and
// synchronising: removing the entries whose files are gone. Only the
// in-memory directory changes here; the outermost EndUpdate writes it.
#include <algorithm>
#include <optional>

#include "archiver/Archiver.h"
#include "archiver/EntryCompare.h"
#include "archiver/PathText.h"
#include "archiver/Scan.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"
#include "support/TextEqual.h"
#include "zipformat/Records.h"
#include "zipformat/Zip64Fields.h"

namespace km {

using namespace pathtext;

namespace {

// A directory entry has no data: stored, no CRC, and never encrypted.
void MakeDirectoryItem(TDirItem& item) {
  item.Method = 0;
  item.Crc32 = 0;
  item.Flags = uint16_t((item.Flags & kFlagUtf8Name) | 2);
}

// What naming entries relative to a base asks of the base alone, worked
// out once for the run's base (every file of a run has the same one).
struct TKMNamingBase {
  std::u16string from;  // the base, with its trailing separator
  bool fromWorkDir = false;
  bool plain = false;       // IsPlainDriveDir(from)
  std::u16string lastName;  // LastDirName, for spRelativeStoreStart
  bool lastNameHasColon = false;
  // lastName as it ends up in front of an entry name ('/' for '\') when
  // nothing in it calls for the full rules (a ':', two separators in a row,
  // a leading separator); empty and false otherwise.
  bool lastNameSimple = false;
  std::u16string lastNameStored;
};

const TKMNamingBase& NamingBase(const std::u16string& from, const std::u16string& dirBase) {
  thread_local TKMNamingBase known;
  if (!known.from.empty() && known.fromWorkDir == dirBase.empty() && SameUnits(known.from, from))
    return known;
  known.from = from;
  known.fromWorkDir = dirBase.empty();
  known.plain = IsPlainDriveDir(from);
  known.lastName = LastDirName(dirBase);
  const std::u16string& last = known.lastName;
  known.lastNameHasColon = last.find(u':') != npos;
  known.lastNameSimple = !known.lastNameHasColon && !(!last.empty() && IsSeparator(last[0]));
  for (size_t k = 1; k < last.size() && known.lastNameSimple; ++k)
    if (IsSeparator(last[k - 1]) && IsSeparator(last[k])) known.lastNameSimple = false;
  known.lastNameStored.clear();
  if (known.lastNameSimple) {
    known.lastNameStored = last;
    std::replace(known.lastNameStored.begin(), known.lastNameStored.end(), u'\\', u'/');
  }
  return known;
}

// MakeStoredName for a file below a drive base that stands as it is, in a
// relative mode: the name below the base copied once with '/' for '\'.
// False wherever another rule could apply (a ':', "..", two separators in
// a row, the base itself), for the full rules to decide.
bool StoredNameBelowBase(const std::u16string& path, const std::u16string& base,
                         TKMStorePathMode mode, std::u16string& name) {
  if (mode != spRelativePath && mode != spRelativeStoreStart) return false;
  if (base.size() < 3 || base[1] != u':' || base.back() != u'\\') return false;
  const TKMNamingBase& known = NamingBase(base, base);
  if (!known.plain || !StartsWithUnits(path, base)) return false;
  if (mode == spRelativeStoreStart && !known.lastNameSimple) return false;
  View whole(path);
  if (IsSeparator(whole.back())) whole.remove_suffix(1);
  if (whole.size() >= 2 && whole.back() == u'.' && IsSeparator(whole[whole.size() - 2]))
    whole.remove_suffix(2);
  if (whole.size() <= base.size()) return false;
  const View below = whole.substr(base.size());
  if (IsSeparator(below[0])) return false;
  const View prefix = mode == spRelativeStoreStart ? View(known.lastNameStored) : View();
  name.resize(prefix.size() + below.size());
  char16_t* out = name.data();
  std::copy(prefix.begin(), prefix.end(), out);
  out += prefix.size();
  const char16_t* in = below.data();
  bool plain = true;
  for (size_t k = 0; k < below.size(); ++k) {
    char16_t c = in[k];
    if (c == u'\\' || c == u'/') {
      // Two separators in a row, or a ".." step.
      if (IsSeparator(in[k - 1]) || (k >= 2 && in[k - 1] == u'.' && in[k - 2] == u'.'))
        plain = false;
      c = u'/';
    } else if (c == u':') {
      plain = false;
    }
    out[k] = c;
  }
  return plain;
}

}  // namespace

// ---- Entry names

std::u16string TKMBaseArchiver::MakeStoredName(const std::u16string& path,
                                               const std::u16string& base, TKMStorePathMode mode,
                                               const std::u16string& workDir) {
  std::u16string stored;
  if (StoredNameBelowBase(path, base, mode, stored)) return stored;
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
  bool noColon = false;  // full is known to hold no ':'
  switch (mode) {
    case spNoPath:
      full = FileNameOf(whole);
      break;
    case spRelativePath:
    case spRelativeStoreStart: {
      // A file outside the base keeps its full path rather than "..\" steps.
      std::u16string workFrom;
      if (dirBase.empty()) workFrom = IncludeTrailingSeparator(workDir);
      const std::u16string& from = dirBase.empty() ? workFrom : dirBase;
      const TKMNamingBase& known = NamingBase(from, dirBase);
      View below;
      std::u16string relative;
      if (known.plain && RelativeBelow(from, whole, below)) {
        noColon = mode == spRelativePath || !known.lastNameHasColon;
      } else {
        relative = RelativePathFrom(from, std::u16string(whole));
        below = relative;
      }
      if (!HasParentStep(below)) {
        if (mode == spRelativeStoreStart) {
          full.reserve(known.lastName.size() + below.size());
          full = known.lastName;
        }
        full += below;
      } else {
        full = whole;
        noColon = false;
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
    if (const size_t colon = noColon ? npos : full.find(u':'); colon != npos) {
      start = colon + 1;
      if (start >= full.size()) return {};
    } else {
      // \\server\share\dir\f keeps share\dir\f.
      const char16_t* text = full.data();
      const size_t size = full.size();
      for (size_t i = 0; i + 1 < size; ++i) {
        if (IsSeparator(text[i]) && IsSeparator(text[i + 1])) {
          const size_t next = full.find_first_of(u"\\/", i + 2);
          start = next == npos ? size : next + 1;
          break;
        }
      }
    }
    if (start < full.size() && IsSeparator(full[start])) ++start;
  }
  full.erase(0, start);
  for (char16_t& c : full)
    if (c == u'\\') c = u'/';
  return full;
}

// ---- Scanning

void TKMBaseArchiver::AddFiles() {
  CheckOpen();
  CheckModifiable();
  addedCount_ = 0;
  // Dropping damaged entries is counted as deleting them.
  if (DirectoryRebuilt()) deletedCount_ = 0;
  TKMScan scan(*this);
  BeginUpdate();
  std::vector<std::u16string> exclusions = exclusionMasks_;
  // The archive never archives itself, however its name was spelt, and
  // however it is reached (a link to it in the tree): by its name here, by
  // its identity for every file of its size.
  if (!fileName_.empty()) exclusions.push_back(ExpandPath(ResolvePath(u"", fileName_, workDir_)));
  racyFrom_ = RacyFrom();
  if (!inMemory_ && archiveStream_ && !fileName_.empty())
    scan.KnowArchive(fileName_, archiveStream_->Size());
  try {
    ScopeExit forget([&] { damagedEntries_.clear(); });
    // An archive that lost its directory (a run killed while it appended)
    // may hold an entry that was never finished: its header still says what
    // the file says, so comparing would keep it. Every entry is checked, and
    // a damaged one is replaced from its file or dropped.
    FindDamagedEntries();
    // What the scan lists stays true for the check for missing files that
    // follows at once, unless a handler or a question may have let time
    // pass or files change in between; any other check asks the file system.
    if (options_.Synchronize() && !OnConfirmProcessFile && !OnStoreFile &&
        options_.OverwriteMode() != omPrompt && options_.StorePath() != spNoPath)
      scan.StartListing(MissingFilesPrefix());
    AddFilesByMasks(fileMasks_, options_.SearchAttr(), options_.Recurse(), false, exclusions);
    scan.StopListing();
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
  ScopeExit restore([&] { workDir_ = savedWorkDir; });
  workDir_ = ResolvePath(baseDir_, u"", workDir_);
  if (!workDir_.empty()) workDir_ = IncludeTrailingSeparator(workDir_);
  std::optional<TKMScan> own;
  TKMScan& scan = scan_ ? *scan_ : own.emplace(*this);
  scan.Run(masks, searchAttr, recurse, moveFiles, exclusions);
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
  if (DoStoreFile(name, attributes, fileName, comment)) listed = nullptr;
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
    if (listed && scan_) scan_->NoteListedEntry(index, fileName);
  } else {
    if (listed && scan_) scan_->NoteListedEntry(index, fileName);
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
  if (!SameUnits(dir.GetItem(index).FileName, name)) dir.RenameItem(index, name);
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
  if (!SameUnits(dir.GetItem(index).FileName, name)) dir.RenameItem(index, name);
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
  std::optional<TKMScan> own;
  MarkMissingFiles(scan_ ? *scan_ : own.emplace(*this));
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

void TKMBaseArchiver::MarkMissingFiles(TKMScan& scan) {
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
  // An entry whose file or folder the scan has just listed is there: neither
  // the masks nor the file system need asking about it.
  const int32_t count = dir.Count();
  const auto listed = [&](int32_t i) { return scan.Listed(i); };

  // Entries lie grouped by folder: each folder is opened once, not per entry.
  platform::FileLookup files;
  TKMArchiveItem record;
  // A search goes on after CurrentIndex, so the listed entries are passed over.
  const auto passListed = [&] {
    int32_t& at = record.InternalData.CurrentIndex;
    while (at + 1 < count && listed(at + 1)) ++at;
  };
  for (bool found = FindFirstByMasks(record); found; passListed(), found = FindNext(record)) {
    const int32_t index = record.InternalData.CurrentIndex;
    if (listed(index)) continue;
    const std::u16string path = prefix + record.StoredPath + record.FileName;
    const bool folder = isDirectoryEntry(dir.GetItem(index));
    int error = 0;
    platform::FileLookup::State state = files.Find(ExcludeTrailingSeparator(path), error);
    // Only "not found" deletes: what cannot be looked at is kept, and said.
    while (state == platform::FileLookup::State::Unknown && !scan.Reported(path) &&
           scan.Failed(path, folder, error, poDelete)) {
      state = files.Find(ExcludeTrailingSeparator(path), error);
    }
    using State = platform::FileLookup::State;
    if (state == State::Missing || state == (folder ? State::File : State::Directory))
      dir.ItemPtr(index)->Marked = true;
  }
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
