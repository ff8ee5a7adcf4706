// Finding entries by mask, and running one operation (delete, update,
// extract, test) over the marked ones.
#include <algorithm>
#include <ctime>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>

#include "archiver/Archiver.h"
#include "archiver/EntryCompare.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/Crc32.h"
#include "support/Masks.h"
#include "support/Paths.h"
#include "support/SafePath.h"
#include "support/ScopeExit.h"
#include "zipformat/Records.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

constexpr size_t npos = std::u16string::npos;

// Attributes that keep an entry out of a search unless asked for: hidden,
// system, volume label, directory. Read-only and archive never exclude.
constexpr uint32_t kFilteredAttributes = 0x1E;

// Extra fields that carry the modification time of the old data; a refreshed
// entry must not keep them, or peers would show the old time (its own NTFS
// field is put back with the new time).
constexpr uint16_t kExtendedTimeTag = 0x5455;

std::u16string ReplaceChar(std::u16string text, char16_t from, char16_t to) {
  std::replace(text.begin(), text.end(), from, to);
  return text;
}

// The directory part of a name, separators as '\', lower-cased: what the
// Recurse rule compares.
std::u16string LowerDirPart(std::u16string name) {
  name = ReplaceChar(std::move(name), u'/', u'\\');
  return platform::WideLowerCase(ExtractFilePath(name));
}

// A mask ending in "." finds only names without an extension, and "*.*"
// stands for any name, with or without a dot. Runs for every entry and
// mask, so the altered mask is built on the stack.
bool NameMatchesMask(std::u16string_view name, const std::u16string& mask) {
  if (mask.empty()) return false;
  char16_t local[256];
  std::u16string heap;
  std::u16string_view m = mask;
  const size_t at = mask.find(u"*.*");
  if (at != npos) {
    char16_t* out = local;
    if (mask.size() > std::size(local)) {
      heap.resize(mask.size());
      out = heap.data();
    }
    std::copy_n(mask.data(), at + 1, out);
    std::copy(mask.begin() + at + 3, mask.end(), out + at + 1);
    m = std::u16string_view(out, mask.size() - 2);
  }
  const bool dotEnd = mask.back() == u'.';
  if (dotEnd) m.remove_suffix(1);
  // ExtractFileExt with '/' taken as '\'.
  const size_t dot = name.find_last_of(u"\\/:.");
  const std::u16string_view ext =
      dot == npos || name[dot] != u'.' ? std::u16string_view() : name.substr(dot);
  if (!name.empty() && name.back() == u'.') name.remove_suffix(1);
  if (!WildMatch(name, m, true)) return false;
  return !dotEnd || ext.empty() || ext == u".";
}

// A mask without a directory finds an entry in any directory through its
// file-name part; one with a directory through the whole name.
bool NameOrFileNameMatches(const std::u16string& name, const std::u16string& mask) {
  return NameMatchesMask(name, mask) ||
         NameMatchesMask(ExtractFileName(ReplaceChar(name, u'/', u'\\')), mask);
}

bool ItemMatches(const TKMBaseArchiver& archiver, const TInternalSearchRec& search,
                 const std::u16string& stored) {
  // "*.*" takes every name; only an exclusion mask can say otherwise.
  if (!search.UseOptionMasks && search.ExclusionMask.empty() && search.Mask == u"*.*") return true;
  if (search.UseOptionMasks) {
    const std::u16string name = ReplaceChar(stored, u'/', u'\\');
    auto matches = [&](const std::u16string& mask) { return NameMatchesMask(name, mask); };
    return std::any_of(archiver.FileMasks().begin(), archiver.FileMasks().end(), matches) &&
           std::none_of(archiver.ExclusionMasks().begin(), archiver.ExclusionMasks().end(),
                        matches);
  }
  std::u16string name = stored;
  if (!name.empty() && (name.back() == u'/' || name.back() == u'\\')) name.pop_back();
  if (!NameOrFileNameMatches(name, search.Mask)) return false;
  // A caller who names an exclusion mask means it: it is applied by the
  // same rule as the mask.
  return search.ExclusionMask.empty() ||
         !NameOrFileNameMatches(name, ReplaceChar(search.ExclusionMask, u'\\', u'/'));
}

void FillRecord(const TDirItem& item, TKMArchiveItem& record) {
  std::u16string name = ReplaceChar(item.FileName, u'/', u'\\');
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  record.FileName = ExtractFileName(name);
  record.StoredPath = ExtractFilePath(name);
  record.CompressedSize = uint64_t(CompressedSizeOf(item));
  record.UncompressedSize = uint64_t(UncompressedSizeOf(item));
  double rate = 100.0;
  if (record.UncompressedSize > 0)
    rate = (1.0 - double(record.CompressedSize) / double(record.UncompressedSize)) * 100.0;
  record.CompressionRate = rate < 0.0 ? 0.0 : rate;
  record.Encrypted = (item.Flags & kFlagEncrypted) != 0;
  record.LastModFileTime = item.ModTime;
  record.LastModFileDate = item.ModDate;
  record.CRC = item.Crc32;
  record.ExternalFileAttributes = item.ExternalAttr;
  record.Comment = item.Comment;
}

// The index of the first entry from search.CurrentIndex on that the search
// finds; -1 when none.
int32_t NextMatching(const TKMBaseArchiver& archiver, const TInternalSearchRec& search) {
  const TKMDirArray& dir = archiver.DirManager()->CurrentDir();
  const bool recurse = archiver.Options().Recurse();
  const std::u16string maskDir = recurse ? std::u16string() : LowerDirPart(search.Mask);
  for (int32_t i = std::max(search.CurrentIndex, 0); i < dir.Count(); ++i) {
    const TDirItem& item = dir.GetItem(i);
    if (!recurse) {
      std::u16string name = item.FileName;
      if (!name.empty() && name.back() == u'/') name.pop_back();
      if (LowerDirPart(name) != maskDir) continue;
    }
    if (!ItemMatches(archiver, search, item.FileName)) continue;
    if ((item.ExternalAttr & ~uint32_t(search.SearchAttributes) & kFilteredAttributes) != 0)
      continue;
    return i;
  }
  return -1;
}

bool FindMatching(const TKMBaseArchiver& archiver, TKMArchiveItem& record) {
  TInternalSearchRec& search = record.InternalData;
  const int32_t found = NextMatching(archiver, search);
  if (found < 0) return false;
  search.CurrentIndex = found;
  FillRecord(archiver.DirManager()->CurrentDir().GetItem(found), record);
  return true;
}

// True when a directory between the root and target (both in the normal
// form IsInsideRoot gives) exists as a link to a directory. Writing through
// one would land wherever it points, so such a target is refused; the root
// itself is the caller's choice and may be a link. Components that do not
// exist yet are made by us and cannot be links.
bool CrossesDirectoryLink(const std::u16string& target, size_t rootLength) {
  const std::u16string dirPart = ExtractFilePath(target);
  std::u16string path = target.substr(0, rootLength);
  for (size_t from = rootLength; from < dirPart.size();) {
    const size_t end = dirPart.find(u'\\', from);
    if (end == npos) break;
    path += dirPart.substr(from, end - from);
    const uint32_t attributes = platform::GetAttributes(path);
    if (attributes == platform::kInvalidAttributes) return false;
    if (attributes & platform::faReparsePoint) return true;
    path += u'\\';
    from = end + 1;
  }
  return false;
}

// Puts the finished file in place of target. The old file is moved aside
// first and only deleted once the new one is in, so a failed replacement
// gives the old file back. 0, or the host's error code of the step that
// failed.
int ReplaceFile(const std::u16string& temp, const std::u16string& target) {
  const uint32_t attributes = platform::GetAttributes(target);
  if (attributes == platform::kInvalidAttributes)
    return platform::MoveFile(temp, target) ? 0 : platform::LastError();
  if (attributes & platform::faDirectory) return platform::kErrorAccessDenied;
  std::u16string backup;
  if (const int error = platform::CreateTempFile(ExtractFilePath(target), u"FC", backup))
    return error;
  platform::DeleteFile(backup);
  if (!platform::MoveFile(target, backup)) return platform::LastError();
  if (!platform::MoveFile(temp, target)) {
    const int error = platform::LastError();
    platform::MoveFile(backup, target);
    return error;
  }
  // A read-only file is only deleted once it may be written.
  if (!platform::DeleteFile(backup)) {
    platform::SetAttributes(backup, attributes & ~platform::faReadOnly);
    platform::DeleteFile(backup);
  }
  return 0;
}

}  // namespace

// ---- Finding

bool TKMBaseArchiver::FindFirst(const std::u16string& mask, TKMArchiveItem& record,
                                int32_t searchAttr, const std::u16string& exclusionMask) {
  CheckOpen();
  std::u16string m = mask;
  if (options_.StorePath() != spFullPathWithDrive) {
    const std::u16string drive = ExtractFileDrive(m);
    if (!drive.empty() && m.starts_with(drive)) {
      m.erase(0, drive.size());
      // Stored names never start with a separator, so the one that followed
      // the drive would let "C:\dir\*.txt" match nothing at all.
      if (!m.empty() && (m.front() == u'\\' || m.front() == u'/')) m.erase(0, 1);
    }
  }
  TInternalSearchRec& search = record.InternalData;
  search.Mask = ReplaceChar(std::move(m), u'\\', u'/');
  search.ExclusionMask = exclusionMask;
  search.UseOptionMasks = false;
  search.SearchAttributes = searchAttr;
  search.CurrentIndex = 0;
  return FindMatching(*this, record);
}

bool TKMBaseArchiver::FindFirstByMasks(TKMArchiveItem& record) {
  CheckOpen();
  TInternalSearchRec& search = record.InternalData;
  search.UseOptionMasks = true;
  search.SearchAttributes = options_.SearchAttr();
  search.CurrentIndex = 0;
  return FindMatching(*this, record);
}

bool TKMBaseArchiver::FindNext(TKMArchiveItem& record) {
  CheckOpen();
  TInternalSearchRec& search = record.InternalData;
  if (search.CurrentIndex == std::numeric_limits<int32_t>::max()) return false;
  ++search.CurrentIndex;
  return FindMatching(*this, record);
}

void TKMBaseArchiver::WalkEntries(int32_t mode, const std::function<void()>& opened,
                                  const std::function<void(const TDirItem&)>& visit) {
  ScopeExit close([this] { CloseArchive(); });
  {
    keepDirectory_ = false;
    ScopeExit keep([this] { keepDirectory_ = true; });
    OpenArchive(mode);
  }
  if (opened) opened();
  if (dirManager_) dirManager_->ForEachEntry(visit);
}

void TKMBaseArchiver::MarkByMask(const std::u16string& mask, int32_t searchAttr,
                                 const std::u16string& exclusionMask) {
  CheckOpen();
  TKMDirArray& dir = dirManager_->CurrentDir();
  dir.ClearMarks();
  // FindFirst and FindNext without the record each of them fills.
  TKMArchiveItem record;
  if (!FindFirst(mask, record, searchAttr, exclusionMask)) return;
  TInternalSearchRec& search = record.InternalData;
  for (int32_t i = search.CurrentIndex; i >= 0 && i < std::numeric_limits<int32_t>::max();) {
    dir.ItemPtr(i)->Marked = true;
    search.CurrentIndex = i + 1;
    i = NextMatching(*this, search);
  }
}

// ---- Running an operation over the marked entries

void TKMBaseArchiver::TestFiles(const std::u16string& mask, int32_t searchAttr,
                                const std::u16string& exclusionMask) {
  CheckOpen();
  CheckNotInUpdate();
  MarkByMask(mask, searchAttr, exclusionMask);
  ProcessFiles(poTest);
}

void TKMBaseArchiver::ExtractFiles(const std::u16string& mask, int32_t searchAttr,
                                   const std::u16string& exclusionMask) {
  CheckOpen();
  CheckNotInUpdate();
  MarkByMask(mask, searchAttr, exclusionMask);
  ProcessFiles(poExtract);
}

void TKMBaseArchiver::ProcessFiles(TKMProcessOperation operation) {
  platform::CriticalSection::Guard lock(ArchiverLock());
  CheckOpen();
  processedCount_ = 0;
  markedCount_ = 0;
  cancelled_ = false;
  if (operation == poUpdate) racyFrom_ = RacyFrom();
  progressEnabled_ = true;
  {
    const TKMDirArray& dir = dirManager_->CurrentDir();
    for (int32_t i = 0; i < dir.Count(); ++i)
      if (dir.GetItem(i).Marked) ++markedCount_;
  }
  const bool reports = operation == poExtract || operation == poTest;
  // A test run from a handler of another one reads its entries itself; the
  // outer run's workers are its own again afterwards.
  TVerifyAhead* const outerVerify = verifyAhead_;
  const int32_t outerNext = verifyNext_;
  std::unique_ptr<TVerifyAhead> verify;
  verifyAhead_ = nullptr;
  ScopeExit restoreVerify([&] {
    verifyAhead_ = outerVerify;
    verifyNext_ = outerNext;
  });
  if (operation == poTest) {
    verify = StartVerifyAhead();
    verifyAhead_ = verify.get();
  }
  bool cancel = cancelled_;
  if (reports) DoOverallProgress(0.0, operation, ppStart, cancel);

  // One entry under the failure protocol; the answer to the last failure.
  auto attempt = [&](int32_t index, const std::u16string& entryName) {
    const std::u16string name = ReplaceChar(entryName, u'/', u'\\');
    TKMAction action = fxaIgnore;
    RunStep(name, operation, action, [&] {
      bool confirm = true;
      DoConfirmProcessFile(name, operation, confirm);
      if (!confirm) return;
      if (workDir_.empty()) workDir_ = GetCurrentDir();
      // Testing and deleting write nothing: no folder to work out for them.
      const bool writes = operation == poUpdate || operation == poExtract;
      const std::u16string destDir = writes ? DirOrDefault(baseDir_, workDir_) : std::u16string();
      if (reports) {
        bool c = cancelled_;
        DoFileProgress(entryName, 0.0, operation, ppStart, c);
        if (cancelled_) return;
      }
      switch (operation) {
        case poDelete:
          DeleteEntry(index);
          break;
        case poUpdate:
          UpdateEntry(index, name, destDir);
          break;
        case poExtract:
          ExtractEntry(index, name, destDir);
          break;
        case poTest:
          TestEntry(index, name);
          break;
        default:
          break;
      }
      if (reports) {
        // Without a handler the dispatcher clears the flag; a cancel that
        // came before must survive it.
        const bool before = cancelled_;
        bool c = before;
        DoFileProgress(entryName, 100.0, operation, ppEnd, c);
        cancelled_ = cancelled_ || before;
      }
      if (!cancelled_) ++processedCount_;
    });
    return action;
  };

  TKMAction action = fxaIgnore;
  if (!cancelled_) {
    // A handler may close the archive under us: then there is nothing left
    // to walk.
    for (int32_t i = 0; dirManager_ && i < dirManager_->CurrentDir().Count();) {
      // Looked at without changing it: an entry that is not marked is not
      // touched.
      if (!dirManager_->CurrentDir().GetItem(i).Marked) {
        ++i;
        continue;
      }
      TDirItem& item = *dirManager_->CurrentDir().ItemPtr(i);
      item.Operation = operation;
      const std::u16string entryName = item.FileName;
      const int32_t countBefore = dirManager_->CurrentDir().Count();
      action = attempt(i, entryName);
      if (action == fxaAbort || cancelled_) break;
      // A removed entry's followers have moved down into its place.
      const bool removed =
          operation == poDelete && dirManager_ && dirManager_->CurrentDir().Count() < countBefore;
      if (!removed) ++i;
    }
    if (reports) {
      const bool before = cancelled_;
      cancel = before;
      DoOverallProgress(100.0, operation, ppEnd, cancel);
      cancelled_ = cancelled_ || before;
    }
  }
  if (cancelled_ || action == fxaAbort) CancelUpdate();
}

// ---- The steps

void TKMBaseArchiver::DeleteEntry(int32_t index) {
  if (!dirManager_ || index < 0 || index >= dirManager_->CurrentDir().Count())
    throw EKMException(kmeDeleteIndex, this);
  if (!InUpdate()) throw EKMException(kmeDeleteOutsideUpdate, this);
  dirManager_->CurrentDir().Delete(index);
  ++deletedCount_;
}

void TKMBaseArchiver::RefreshItemFromFile(TDirItem& item, const std::u16string& fileName) {
  const uint32_t attributes = GetFileAttr(fileName);
  int64_t writeTime = 0;
  const uint32_t dosTime = FileModDosTime(fileName, writeTime);
  RefreshItem(item, fileName, attributes, dosTime, writeTime, FileSizeByName(fileName));
}

void TKMBaseArchiver::RefreshItem(TDirItem& item, const std::u16string& fileName,
                                  uint32_t attributes, uint32_t dosTime, int64_t writeTime,
                                  int64_t size) {
  if (attributes == platform::kInvalidAttributes) attributes = platform::faArchive;
  // Without the file's own time there is no exact time to keep either.
  if (dosTime == kInvalidDosTime) {
    dosTime = platform::UnixTimeToLocalDosTime(std::time(nullptr));
    writeTime = 0;
  }
  const bool directory = (attributes & platform::faDirectory) != 0;

  item.Modified = true;
  item.Password = platform::AnsiToWide(password_);
  item.SourceFileName = fileName;
  item.CompressionMode = directory ? 0 : compressionMode_;

  item.Signature = 0x02014B50;
  item.VersionMadeBy = item.VersionNeeded = options_.OEMFileNames() ? 20 : 0x0B14;
  // The name keeps the encoding it was read with.
  item.Flags = uint16_t((item.Flags & kFlagUtf8Name) | (password_.empty() ? 0 : kFlagEncrypted));
  item.Method = directory ? 0 : compressionMethod_;
  item.ModTime = uint16_t(dosTime);
  item.ModDate = uint16_t(dosTime >> 16);
  item.Crc32 = directory ? 0 : 0xFFFFFFFF;
  item.CompressedSize = 0;
  item.Zip64CompressedSize = 0;
  item.NameLength = StoreLength16(item.FileName.size());
  item.CommentLength = StoreLength16(item.Comment.size());
  item.DiskNumberStart = 0;
  item.Zip64DiskNumberStart = 0;
  item.InternalAttr = 0;
  item.ExternalAttr = attributes;
  item.LocalHeaderOffset = 0;
  item.Zip64LocalHeaderOffset = 0;
  std::erase_if(item.ExtraFields, [](const TExtraField& field) {
    return field.Tag == kNtfsTimeTag || field.Tag == kExtendedTimeTag;
  });
  // The exact time is what tells a later run whether the file changed. The
  // host gives no cheap creation time, and reading the file for the commit
  // is about to change its access time: the write time stands for both, as
  // peers accept.
  if (writeTime > 0 && !directory)
    item.ExtraFields.push_back(BuildNtfsTimeField(writeTime, writeTime, writeTime));
  ResetUncompressedSize(item, size, zip64Mode_ == zmAlways);
}

int64_t TKMBaseArchiver::RacyFrom() const {
  int64_t stored = 0;
  if (inMemory_ || fileName_.empty() || !platform::GetFileWriteTime(fileName_, stored) ||
      stored <= 0)
    return std::numeric_limits<int64_t>::max();
  return stored - std::min(stored, kRacyMargin);
}

bool TKMBaseArchiver::FileCrc32(const std::u16string& fileName, uint32_t& crc) const {
  if (platform::IsDeviceOrPipe(fileName)) return false;
  try {
    TFileStream file(fileName, uint16_t(fmOpenRead | (options_.ShareMode() << 4)));
    std::vector<uint8_t> buffer(1 << 16);
    uint32_t value = 0xFFFFFFFF;
    for (;;) {
      const int64_t got = file.Read(buffer.data(), int64_t(buffer.size()));
      if (got < 0 || (got == 0 && file.LastError() != 0)) return false;
      if (got == 0) break;
      value = Crc32Update(value, buffer.data(), got);
    }
    crc = ~value;
    return true;
  } catch (const EStreamError&) {
    return false;
  }
}

void TKMBaseArchiver::UpdateEntry(int32_t index, const std::u16string& name,
                                  const std::u16string& destDir) {
  auto itemAt = [&]() -> TDirItem& {
    if (!dirManager_ || index < 0 || index >= dirManager_->CurrentDir().Count())
      throw EKMException(kmeUpdateIndex, this);
    return *dirManager_->CurrentDir().ItemPtr(index);
  };
  TDirItem* item = &itemAt();

  if (item->ExternalAttr & platform::faDirectory) {
    const uint32_t attributes = GetFileAttr(destDir + name);
    // A folder that is gone has no attributes to take over; all bits set
    // would turn the entry into a hidden system volume label.
    if (attributes == platform::kInvalidAttributes || attributes == item->ExternalAttr) return;
    if (!InUpdate()) throw EKMException(kmeUpdateOutsideUpdate, this);
    item->ExternalAttr = attributes | platform::faDirectory;
    if (!item->Modified) {
      item->Modified = true;
      item->Operation = poChangeAttr;
    }
    ++addedCount_;
    return;
  }

  const std::u16string file = ResolvePath(destDir, name, workDir_);
  if (!FileExists(file)) return;
  if (!options_.ReplaceReadOnly() && (item->ExternalAttr & platform::faReadOnly)) return;
  bool refresh = false;
  const TKMOverwriteMode mode = options_.OverwriteMode();
  switch (mode) {
    case omPrompt: {
      bool confirm = false;
      std::u16string shown = name;
      DoConfirmOverwrite(file, shown, confirm);
      refresh = confirm;
      // The handler may have changed the directory meanwhile.
      item = &itemAt();
      break;
    }
    case omAlways:
      refresh = true;
      break;
    case omNever:
      break;
    case omIfNewer:
    case omIfOlder:
    case omIfDiffer: {
      const auto fileTime = [&] {
        TKMFileTime time;
        time.Dos = FileModDosTime(file, time.Exact);
        return time;
      };
      const auto fileCrc = [&](uint32_t& crc) { return FileCrc32(file, crc); };
      refresh = FileReplacesEntry(mode, GetFileAttr(file), FileSizeByName(file), fileTime, fileCrc,
                                  *item, UncompressedSizeOf(*item), racyFrom_);
      break;
    }
  }
  if (!refresh) return;
  if (!InUpdate()) throw EKMException(kmeUpdateOutsideUpdate, this);
  RefreshItemFromFile(*item, file);
  item->Operation = poUpdate;
  ++addedCount_;
}

namespace {

// Entries the workers can check: the archiver reads the others itself
// (encrypted ones may ask for a password, other methods have their own
// ways).
bool CheckedAhead(const TDirItem& item) {
  return !(item.ExternalAttr & platform::faDirectory) && (item.Method == 0 || item.Method == 8) &&
         (item.Flags & kFlagEncrypted) == 0;
}

}  // namespace

std::unique_ptr<TVerifyAhead> TKMBaseArchiver::StartVerifyAhead() {
  verifyNext_ = 0;
  const int threads = ThreadCount();
  // Only a single file on disk can be opened again by each worker.
  auto* open = dynamic_cast<TFileStream*>(archiveStream_.get());
  if (threads < 2 || !dirManager_ || inMemory_ || spanningMode_ != smNone || fileName_.empty() ||
      !open || platform::IsDeviceOrPipe(fileName_))
    return nullptr;
  TVerifyAhead::TArchiveFile file{fileName_};
  if (!open->Handle().Identity(file.device, file.file)) return nullptr;
  auto verify =
      std::make_unique<TVerifyAhead>(std::move(file), dirManager_->CentralDirOffset(), threads);
  verifyAhead_ = verify.get();
  FeedVerifyAhead(TVerifyAhead::kCapacity);
  return verify;
}

void TKMBaseArchiver::FeedVerifyAhead(size_t room) {
  if (!verifyAhead_ || !dirManager_) return;
  const TKMDirArray& dir = dirManager_->CurrentDir();
  std::vector<std::pair<int32_t, const TDirItem*>> items;
  for (; room > 0 && verifyNext_ < dir.Count(); ++verifyNext_) {
    const TDirItem& item = dir.GetItem(verifyNext_);
    if (!item.Marked || !CheckedAhead(item)) continue;
    items.emplace_back(verifyNext_, &item);
    --room;
  }
  if (!items.empty()) verifyAhead_->Add(items);
}

bool TKMBaseArchiver::ReplayVerified(TVerifyAhead::TEntry& entry, const TDirItem& item,
                                     bool& checked) {
  checked = true;
  size_t seen = 0;
  bool started = false;
  for (;;) {
    TVerifyAhead::TNews news = verifyAhead_->Wait(entry, seen);
    if (news.unavailable) {
      checked = false;
      return false;
    }
    if (!started && news.total >= 0) {
      started = true;
      fileBytesTotal_ = news.total;
      fileBytesDone_ = 0;
      skipFile_ = false;
    }
    for (const int64_t bytesIn : news.points) {
      ++seen;
      // A cancel leaves the rest unread, as it would have been.
      if (!ReportDataProgress(item, bytesIn)) return false;
    }
    if (news.done) break;
  }
  return TVerifyAhead::Outcome(entry);
}

void TKMBaseArchiver::TestEntry(int32_t index, const std::u16string& /*name*/) {
  if (!dirManager_ || index < 0 || index >= dirManager_->CurrentDir().Count())
    throw EKMException(kmeExtractIndex, this);
  if (dirManager_->CurrentDir().GetItem(index).ExternalAttr & platform::faDirectory) return;
  outputFileName_.clear();
  TNullStream discard;
  ExtractToStream(index, discard, true);
}

void TKMBaseArchiver::ExtractToStream(int32_t index, TStream& stream, bool checkedAhead) {
  if (!dirManager_ || index < 0 || index >= dirManager_->CurrentDir().Count())
    throw EKMException(kmeExtractIndex, this);
  // A copy: progress handlers run while the entry is read and may change
  // the directory. An entry read from such a handler meanwhile gets a copy
  // of its own.
  TDirItem own;
  const bool reuse = !entryCopyBusy_;
  TDirItem& item = reuse ? entryCopy_ : own;
  item = dirManager_->CurrentDir().GetItem(index);
  entryCopyBusy_ = true;
  ScopeExit release([this, reuse] {
    if (reuse) entryCopyBusy_ = false;
  });

  const bool zip64 = dirManager_->Zip64Present();
  int64_t disk = DiskNumberStartOf(item, zip64);
  int64_t last = dirManager_->LastVolumeNumber();
  constexpr int64_t kMaxVolume = std::numeric_limits<int32_t>::max();
  TKMVolumeNumberInfo volume;
  volume.SetNumber(int32_t(std::clamp<int64_t>(disk, 0, kMaxVolume)));
  volume.LastVolumeNumber = int32_t(std::clamp<int64_t>(last, 0, kMaxVolume));
  OpenVolume(volume);
  if (!archiveStream_) throw EKMException(kmeExtractIndex, this);

  archiveStream_->SetPosition(LocalOffsetOf(item));
  skipFile_ = false;
  outputError_ = 0;
  bool whole = false;
  bool checked = false;
  if (checkedAhead && verifyAhead_) {
    size_t room = 0;
    std::shared_ptr<TVerifyAhead::TEntry> ahead = verifyAhead_->Take(index, item, room);
    // Topped up a quarter of the queue at a time, in one go.
    if (room >= TVerifyAhead::kCapacity / 4) FeedVerifyAhead(room);
    if (ahead) whole = ReplayVerified(*ahead, item, checked);
  }
  if (!checked) whole = DecompressEntry(*archiveStream_, stream, item);
  // Data the output did not take is lost, whatever else is set: the entry
  // was not put out, and the reason is not the entry's data.
  if (outputError_ != 0) throw EKMException(kmeWriteError, this);
  if (!whole && !cancelled_ && !extractCorruptedFiles_ && !skipFile_)
    throw EKMException(kmeEntryCorrupt, this);
}

void TKMBaseArchiver::ExtractEntry(int32_t index, const std::u16string& name,
                                   const std::u16string& destDir) {
  if (!dirManager_ || index < 0 || index >= dirManager_->CurrentDir().Count())
    throw EKMException(kmeExtractIndex, this);
  const TDirItem entry = dirManager_->CurrentDir().GetItem(index);
  outputError_ = 0;
  outputFileName_.clear();
  const std::u16string archiveName = ReplaceChar(name, u'/', u'\\');
  std::u16string fileName = archiveName;
  uint32_t attributes = entry.ExternalAttr;
  DoExtractFile(fileName, attributes, entry.Comment);

  // A name that comes from the archive always stays below destDir, however
  // it is spelt. Only a name the OnExtractFile handler chose is the
  // caller's own, and may be a full path of its own.
  const bool handlerNamed = fileName != archiveName;
  std::u16string dest = destDir;
  if (handlerNamed && (fileName.find(u':') != npos || fileName.find(u"\\\\") != npos))
    dest.clear();
  else if (dest.empty())
    dest = IncludeTrailingSeparator(GetCurrentDir());

  const bool directoryEntry = (entry.ExternalAttr & platform::faDirectory) != 0 ||
                              (!entry.FileName.empty() && entry.FileName.back() == u'/');
  if (!options_.CreateDirs()) {
    // Without stored folders a folder entry has nothing to make.
    if (directoryEntry) return;
    fileName = ExtractFileName(fileName);
  }

  // A folder entry made only of "." parts ("./", which bsdtar writes for the
  // "." it was given) names the destination itself: nothing to make.
  if (directoryEntry && !dest.empty() && fileName.find_first_not_of(u".\\") == npos &&
      fileName.find(u"..") == npos)
    return;

  std::u16string target = fileName;
  if (!dest.empty()) {
    size_t rootLength = 0;
    if (!IsInsideRoot(dest, dest + fileName, target, rootLength) ||
        CrossesDirectoryLink(target, rootLength))
      throw EKMException(kmeCannotCreateOutput, {dest + fileName}, this);
  }
  if (options_.CreateDirs()) {
    const std::u16string dirPath = ExtractFilePath(target);
    if (!dirPath.empty() && !MakeDirPath(dirPath))
      throw EKMException(kmeCannotCreateOutputDir, {dirPath}, this);
  }
  if (directoryEntry) return;

  if (FileExists(target)) {
    if (!options_.ReplaceReadOnly() && (GetFileAttr(target) & platform::faReadOnly)) return;
    bool overwrite = true;
    switch (options_.OverwriteMode()) {
      case omPrompt: {
        bool confirm = false;
        DoConfirmOverwrite(fileName, target, confirm);
        overwrite = confirm;
        break;
      }
      case omAlways:
      case omIfDiffer:
        break;
      case omNever:
        overwrite = false;
        break;
      case omIfNewer:
        overwrite = EntryDosTime(entry) > int32_t(FileModDosTime(target));
        break;
      case omIfOlder:
        overwrite = EntryDosTime(entry) < int32_t(FileModDosTime(target));
        break;
    }
    if (!overwrite) return;
  }

  // The data goes to a temporary file beside the target, which replaces an
  // existing file only once the entry has come out whole: a damaged entry,
  // a full disk or a cancel leaves the old file as it was and no part of
  // the new one.
  outputFileName_ = target;
  std::u16string temp;
  if (const int error = platform::CreateTempFile(ExtractFilePath(target), u"FC", temp)) {
    outputError_ = error;
    throw EKMException(kmeCannotCreateOutput, {target}, this);
  }
  bool placed = false;
  ScopeExit removeTemp([&] {
    if (!placed) platform::DeleteFile(temp);
  });
  {
    std::unique_ptr<TFileStream> file;
    try {
      file = std::make_unique<TFileStream>(temp, fmCreate);
    } catch (const EStreamError&) {
      outputError_ = platform::LastError();
      throw EKMException(kmeCannotCreateOutput, {target}, this);
    }
    ExtractToStream(index, *file);
    const bool complete = !skipFile_ && !cancelled_;
    if (complete && options_.FlushBuffers() && IsRemovableDrive(target) && !file->Flush()) {
      outputError_ = file->LastError() != 0 ? file->LastError() : platform::kErrorWriteFault;
      throw EKMException(kmeWriteError, this);
    }
  }
  if (skipFile_ || cancelled_) return;
  platform::SetFileDosTime(temp, uint32_t(EntryDosTime(entry)));
  // The exact time, where the entry keeps one, wins over the DOS time.
  if (int64_t writeTime = 0; NtfsWriteTime(entry.ExtraFields, writeTime))
    platform::SetFileWriteTime(temp, writeTime);
  if (const int error = ReplaceFile(temp, target)) {
    outputError_ = error;
    throw EKMException(kmeCannotCreateOutput, {target}, this);
  }
  placed = true;
  if (options_.SetAttributes()) SetFileAttr(target, attributes);
}

}  // namespace km
