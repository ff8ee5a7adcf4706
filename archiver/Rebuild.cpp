// The commit of an update transaction: the archive is rewritten in place from
// its first changed entry. The bytes from there on are saved first; new and
// replaced entries are compressed from their sources, unchanged ones copied
// back byte for byte, and a new central directory follows. Cancel or failure
// puts the saved bytes back, so the file is exactly what it was.
#include <algorithm>
#include <limits>
#include <random>

#include "archiver/Archiver.h"
#include "archiver/Commit.h"
#include "archiver/Journal.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/Crc32.h"
#include "support/Crc32c.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"
#include "support/TextEqual.h"
#include "zipformat/Records.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

constexpr int64_t kCopyChunk = 1 << 20;
// A tail without entries (the old directory and end records) is kept in
// memory up to this size; a larger one goes to a temporary file.
constexpr int64_t kMemoryTailLimit = 16 << 20;

// Entries whose data does not change are copied, not compressed again.
bool WritesNewData(const TDirItem& item) {
  return item.Modified && item.Operation != poRename && item.Operation != poChangeAttr &&
         item.Operation != poChangeComment;
}

// The index of the first entry of current that differs from rollback.
int32_t CommonPrefixLength(const TKMDirArray& rollback, const TKMDirArray& current) {
  const int32_t n = std::min(rollback.Count(), current.Count());
  for (int32_t i = 0; i < n; ++i) {
    const TDirItem& item = current.GetItem(i);
    if (item.Modified || !SameUnits(item.FileName, rollback.GetItem(i).FileName)) return i;
  }
  return n;
}

}  // namespace

// The target stream with every write routed through WriteArchiveBytes.
class TKMBaseArchiver::TRebuildStream : public TStream {
 public:
  TRebuildStream(TKMBaseArchiver& owner, TStream& target) : owner_(owner), target_(target) {}
  int64_t Read(void* buffer, int64_t count) override { return target_.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    return owner_.WriteArchiveBytes(target_, buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return target_.Seek(offset, origin); }
  int64_t Size() override { return target_.Size(); }
  int LastError() const override { return target_.LastError(); }
  void SetSize(int64_t size) override { target_.SetSize(size); }

 private:
  TKMBaseArchiver& owner_;
  TStream& target_;
};

int64_t TKMBaseArchiver::WriteArchiveBytes(TStream& target, const void* buffer, int64_t count) {
  return target.Write(buffer, count);
}

int64_t TKMBaseArchiver::CopyArchiveBytes(TStream& from, TStream& to, int64_t count) {
  auto* in = dynamic_cast<TFileStream*>(&from);
  auto* out = dynamic_cast<TFileStream*>(&to);
  if (in && out) {
    const int64_t source = from.Position();
    const int64_t target = to.Position();
    const int64_t copied = platform::CopyRange(in->Handle(), source, out->Handle(), target, count);
    from.SetPosition(source + copied);
    to.SetPosition(target + copied);
    return copied;
  }
  std::vector<uint8_t> buffer(size_t(std::clamp<int64_t>(count, 1, kCopyChunk)));
  int64_t done = 0;
  while (done < count) {
    const int64_t n = from.Read(buffer.data(), std::min<int64_t>(count - done, kCopyChunk));
    if (n <= 0) break;
    const int64_t put = to.Write(buffer.data(), n);
    done += put;
    if (put != n) break;
  }
  return done;
}

std::u16string TKMBaseArchiver::MakeTempFileName() {
  const std::u16string dir = tempDir_.empty() ? platform::TempPath() : tempDir_;
  std::u16string name;
  const int error = platform::CreateTempFile(dir, u"FC", name);
  if (error != 0)
    throw EFCreateError(u"Cannot create a temporary file in \"" + dir + u"\". " +
                        SysErrorMessage(error));
  return name;
}

bool TKMBaseArchiver::RunStep(const std::u16string& name, TKMProcessOperation operation,
                              TKMAction& action, const std::function<void()>& step) {
  for (;;) {
    action = fxaIgnore;
    try {
      step();
      return true;
    } catch (const EKMException& e) {
      DoProcessFileFailure(name, operation, e.NativeError(), e.ErrorCode(), e.Message(), action);
      if (action != fxaRetry) return false;
    }
  }
}

// ---- The commit object

TKMCommit::TKMCommit(TKMBaseArchiver& archiver)
    : a_(archiver), multiVolume_(archiver.spanningMode_ != smNone) {
  a_.commit_ = this;
}

TKMCommit::~TKMCommit() {
  if (!done_) {
    try {
      Rollback();
    } catch (...) {
      // What could not be put back stays where RestoreTail left it.
    }
  }
  try {
    DiscardTail();
  } catch (...) {
    // A journal that cannot go is played back by the next open.
  }
  DeleteEntryFile();
  a_.commit_ = nullptr;
}

void TKMCommit::Plan(int32_t& firstChanged) {
  const TKMDirArray& rollback = a_.dirManager_->RollbackDir();
  const int64_t archiveSize = a_.archiveStream_->Size();
  const int64_t oldDirOffset = a_.dirManager_->CentralDirOffset();
  hasEntries_ = firstChanged < rollback.Count();
  if (hasEntries_) {
    // Old entries need not lie in directory order: the tail starts at the
    // lowest of those after the kept prefix, and a prefix entry lying beyond
    // that point is rewritten too rather than cut away.
    for (;;) {
      tailStart_ = std::numeric_limits<int64_t>::max();
      for (int32_t j = firstChanged; j < rollback.Count(); ++j)
        tailStart_ = std::min(tailStart_, LocalOffsetOf(rollback.GetItem(j)));
      int32_t lower = firstChanged;
      for (int32_t j = 0; j < firstChanged; ++j)
        if (LocalOffsetOf(rollback.GetItem(j)) >= tailStart_) {
          lower = j;
          break;
        }
      if (lower == firstChanged) break;
      firstChanged = lower;
    }
  } else if (rollback.Count() > 0) {
    // Where the old directory really begins: the end record's offset may
    // count from the start of the ZIP data rather than of the file.
    tailStart_ = oldDirOffset;
  } else {
    tailStart_ = a_.dirManager_->StubSize();
  }

  // Old entries from the tail on, in file order: each one's bytes end where
  // the next begins, or at the old directory.
  oldEntries_.clear();
  oldEnds_.assign(size_t(rollback.Count()), 0);
  std::vector<std::pair<int64_t, int32_t>> byOffset;
  for (int32_t j = firstChanged; j < rollback.Count(); ++j) {
    const TDirItem& old = rollback.GetItem(j);
    oldEntries_[old.FileName].push_back(j);
    byOffset.emplace_back(LocalOffsetOf(old), j);
  }
  std::sort(byOffset.begin(), byOffset.end());
  const int64_t dirStart =
      oldDirOffset >= tailStart_ && oldDirOffset <= archiveSize ? oldDirOffset : archiveSize;
  for (size_t k = 0; k < byOffset.size(); ++k) {
    int64_t end = dirStart;
    for (size_t m = k + 1; m < byOffset.size(); ++m)
      if (byOffset[m].first > byOffset[k].first) {
        end = byOffset[m].first;
        break;
      }
    oldEnds_[size_t(byOffset[k].second)] = std::min(std::max(end, byOffset[k].first), archiveSize);
  }
}

void TKMCommit::Begin() {
  if (multiVolume_) {
    // A new archive: nothing to save, and its volumes are written through
    // the volume chain. A spanned one on a floppy collects each volume in
    // memory first.
    cut_ = true;
    if (a_.spanningMode_ == smSpanning && IsFloppyDrive(a_.fileName_))
      staging_ = std::make_unique<TMemoryStream>();
    return;
  }
  SaveTail();
  out_ = std::make_unique<TKMBaseArchiver::TRebuildStream>(a_, *a_.archiveStream_);
  cut_ = true;
  // The rewrite goes over the old bytes instead of after a cut: the file
  // keeps its blocks (freeing them and taking them again can cost more than
  // the writes), and what is left over goes before the directory.
  out_->SetPosition(tailStart_);
}

bool TKMCommit::Flushing() const {
  return a_.options_.FlushBuffers();
}

void TKMCommit::CopyRange(TStream& from, TStream& to, int64_t count) {
  if (count <= 0) return;
  if (a_.CopyArchiveBytes(from, to, count) != count) {
    const int error = to.LastError();
    throw EWriteError(u"Stream write error" + (error ? u". " + SysErrorMessage(error) : u""),
                      error);
  }
}

void TKMCommit::SaveTail() {
  TStream& archive = *a_.archiveStream_;
  oldSize_ = archive.Size();
  const int64_t count = oldSize_ - tailStart_;
  if (tailStart_ < 0 || count < 0) throw EKMException(kmeRebuildIndex, &a_);
  if (auto* file = dynamic_cast<TFileStream*>(&archive)) return SaveToJournal(*file, count);
  // An archive in memory: its old bytes need only outlive this process.
  if (hasEntries_ || count > kMemoryTailLimit) {
    savedFileName_ = a_.MakeTempFileName();
    saved_ = std::make_unique<TFileStream>(savedFileName_, fmCreate);
  } else {
    saved_ = std::make_unique<TMemoryStream>();
  }
  archive.SetPosition(tailStart_);
  CopyRange(archive, *saved_, count);
}

void TKMCommit::SaveToJournal(TFileStream& archive, int64_t count) {
  // Beside the archive, on its file system, so that it survives with it;
  // never elsewhere: a journal the next open cannot find protects nothing.
  const std::u16string name = JournalFileName(archive.FileName());
  {
    platform::File made;
    const int err = made.Open(name, platform::FileAccess::ReadWrite, platform::FileShare::DenyNone,
                              platform::FileDisposition::CreateNew);
    if (err == platform::kErrorFileExists)
      throw Exception(u"Nothing was changed: a rollback journal \"" + name +
                      u"\" is in the way (another program may be updating the archive)");
    if (err != 0)
      throw EFCreateError(u"Nothing was changed: the rollback journal \"" + name +
                              u"\" cannot be created beside the archive. " + SysErrorMessage(err),
                          err);
  }
  savedFileName_ = name;
  journal_ = true;
  savedStart_ = kJournalHeaderSize;
  saved_ = std::make_unique<TFileStream>(name, fmOpenReadWrite | fmShareDenyNone);
  TStream& journal = *saved_;
  TKMBaseArchiver::TRebuildStream counted(a_, journal);

  // Zeros where the header goes: until it is written the journal says that
  // the archive was not touched.
  uint8_t header[kJournalHeaderSize] = {};
  counted.WriteBuffer(header, sizeof header);
  archive.SetPosition(tailStart_);
  CopyRange(archive, journal, count);
  // Writing the copy out first is the space check: the archive is not touched
  // while the disk cannot even hold its old bytes.
  auto& journalFile = static_cast<TFileStream&>(journal);
  uint32_t crc = 0xFFFFFFFFu;
  if (!platform::VisitRange(
          journalFile.Handle(), savedStart_, count,
          [&](const uint8_t* bytes, int64_t size) { crc = Crc32cUpdate(crc, bytes, size); }))
    throw EReadError(u"Cannot read the rollback journal \"" + name + u"\" back. " +
                     SysErrorMessage(journalFile.LastError()));
  auto flush = [&](TFileStream& file) {
    if (Flushing() && !file.Flush())
      throw EWriteError(
          u"Cannot flush \"" + file.FileName() + u"\". " + SysErrorMessage(file.LastError()),
          file.LastError());
  };
  // Saved bytes first, header last: a power cut can never leave a header
  // that promises bytes the disk does not hold.
  flush(journalFile);
  TKMJournalHeader values;
  values.OldSize = oldSize_;
  values.CutOffset = tailStart_;
  values.Length = count;
  values.Checksum = crc ^ 0xFFFFFFFFu;
  EncodeJournalHeader(values, header);
  journal.SetPosition(0);
  counted.WriteBuffer(header, sizeof header);
  flush(journalFile);
  if (Flushing() && !platform::FlushDirectoryOf(name))
    throw EWriteError(u"Cannot flush the folder of \"" + name + u"\". " +
                      SysErrorMessage(platform::LastError()));
}

void TKMCommit::RestoreTail() {
  if (!saved_) throw EKMException(kmeNoTempStream, &a_);
  TStream& archive = *a_.archiveStream_;
  try {
    archive.SetPosition(tailStart_);
    archive.SetSize(tailStart_);
    saved_->SetPosition(savedStart_);
    CopyRange(*saved_, archive, oldSize_ - tailStart_);
    if (archive.Size() != oldSize_) throw EWriteError(u"The archive did not get its old size back");
    if (auto* file = dynamic_cast<TFileStream*>(&archive);
        file && journal_ && Flushing() && !file->Flush())
      throw EWriteError(u"Cannot flush the archive. " + SysErrorMessage(file->LastError()),
                        file->LastError());
  } catch (const std::exception& e) {
    // The saved bytes are now the only copy of the old entries: they stay,
    // and a journal is played back by the next open.
    const std::u16string kept = savedFileName_;
    saved_.reset();
    savedFileName_.clear();
    if (kept.empty()) throw;
    throw Exception(
        u"The archive could not be put back as it was (" + platform::Utf8ToWide(e.what()) +
        u"). Its old contents are kept in \"" + kept + u"\"" +
        (journal_ ? u" and are put back the next time the archive is opened" : std::u16string()));
  }
}

void TKMCommit::DiscardTail() {
  saved_.reset();
  if (savedFileName_.empty()) return;
  if (!platform::DeleteFile(savedFileName_)) {
    if (!journal_) {
      savedFileName_.clear();
      return;
    }
    // Still the record of what the archive was: it stays usable for a
    // rollback, and whatever happens the next open plays it back.
    const int err = platform::LastError();
    saved_ = std::make_unique<TFileStream>(savedFileName_, fmOpenRead | fmShareDenyNone);
    throw EWriteError(u"Cannot delete the rollback journal \"" + savedFileName_ + u"\". " +
                      SysErrorMessage(err));
  }
  if (journal_ && Flushing()) platform::FlushDirectoryOf(savedFileName_);
  savedFileName_.clear();
}

void TKMCommit::Rollback() {
  if (done_) return;
  done_ = true;
  TKMDirManager& manager = *a_.dirManager_;
  TKMDirArray& rollback = manager.RollbackDir();
  manager.CurrentDir().Assign(rollback);
  if (multiVolume_) {
    if (cut_) RollbackVolumes();
    return;
  }
  manager.SetArchiveStreamRef(a_.archiveStream_.get());
  out_.reset();
  pendingLength_ = 0;
  if (!cut_ || !a_.archiveStream_) return;
  RestoreTail();
  DiscardTail();
  // A directory write that began changed the manager's end records and
  // directory offset; they are read back from the restored bytes, which
  // are those the archive was opened with.
  if (directoryStarted_ && rollback.Count() > 0) {
    try {
      manager.CheckEndRecord();
      manager.ReadCentralDir();
    } catch (...) {
      // The bytes are back; only the cached records may be stale.
    }
    manager.CurrentDir().Assign(rollback);
  }
}

int32_t TKMCommit::NextOldEntry(const std::u16string& name) const {
  auto found = oldEntries_.find(name);
  return found == oldEntries_.end() || found->second.empty() ? -1 : found->second.front();
}

void TKMCommit::TakeOldEntry(const std::u16string& name) {
  auto found = oldEntries_.find(name);
  if (found != oldEntries_.end() && !found->second.empty()) found->second.pop_front();
}

void TKMCommit::CopyOldRecord(int32_t j, TDirItem& item) {
  const TDirItem& old = a_.dirManager_->RollbackDir().GetItem(j);
  const int64_t source = savedStart_ + LocalOffsetOf(old) - tailStart_;
  TStream& temp = *saved_;
  const int64_t tempSize = savedStart_ + oldSize_ - tailStart_;
  if (source < savedStart_ || source + int64_t(TLocalFileHeader::kSize) > tempSize)
    throw EKMException(kmeRebuildIndex, &a_);

  temp.SetPosition(source);
  const TLocalFileHeader header = ReadLocalFileHeader(temp);
  if (header.Signature != kStandardSignatures.LocalHeader &&
      header.Signature != kAlternativeSignatures.LocalHeader)
    throw Exception(u"No local header where the entry \"" + old.FileName + u"\" begins");

  // The entry's bytes run to where the next old entry (or the old directory)
  // begins: a data descriptor, written by other tools after the data, comes
  // along. Only overlapping entries fall back to the record's own length.
  int64_t length = int64_t(TLocalFileHeader::kSize) + header.NameLength + header.ExtraLength +
                   CompressedSizeOf(old);
  const int64_t bound = oldEnds_[size_t(j)] - LocalOffsetOf(old);
  if (bound >= length) {
    length = bound;
  } else if (old.Flags & kFlagDataDescriptor) {
    uint8_t signature[4] = {};
    const int64_t at = source + length;
    int64_t descriptor = old.Zip64Used ? 20 : 12;
    if (at + 4 <= tempSize) {
      temp.SetPosition(at);
      temp.ReadBuffer(signature, 4);
      if (ReadU32LE(signature) == TDataDescriptor::kSignature) descriptor += 4;
    }
    length += descriptor;
  }
  if (source + length > tempSize)
    throw Exception(u"The saved data of \"" + old.FileName + u"\" is incomplete");

  const int64_t p = pendingLength_ > 0 ? pendingTarget_ + pendingLength_ : out_->Position();
  StoreLocalOffset(item, p, false);
  // Old entries that follow one another are copied in one go: unchanged
  // runs of a tail are usually the whole rest of it.
  if (pendingLength_ > 0 && source == pendingSource_ + pendingLength_) {
    pendingLength_ += length;
    return;
  }
  FlushCopies();
  pendingSource_ = source;
  pendingTarget_ = p;
  pendingLength_ = length;
}

void TKMCommit::FlushCopies() {
  if (pendingLength_ <= 0) return;
  const int64_t length = pendingLength_;
  pendingLength_ = 0;
  saved_->SetPosition(pendingSource_);
  a_.archiveStream_->SetPosition(pendingTarget_);
  CopyRange(*saved_, *a_.archiveStream_, length);
}

void TKMCommit::WriteDirectory() {
  if (multiVolume_) {
    TStream* volume = a_.archiveStream_.get();
    if (staging_) {
      // What the last volume collected goes to its disk first.
      staging_->SetPosition(0);
      bool cancel = false;
      a_.CopyToVolumes(*staging_, volume, false, nullptr, -1, -1, cancel, a_.volumeInfo_);
      staging_.reset();
    }
    DeleteEntryFile();
    directoryStarted_ = true;
    a_.dirManager_->WriteCentralDir(a_.archiveStream_.get());
    a_.dirManager_->SetArchiveStreamRef(a_.archiveStream_.get());
    return;
  }
  FlushCopies();
  directoryStarted_ = true;
  // Old bytes left beyond the last entry go: the directory follows it.
  out_->SetSize(out_->Position());
  a_.dirManager_->WriteCentralDir(out_.get());
  a_.dirManager_->SetArchiveStreamRef(a_.archiveStream_.get());
}

TFileStream& TKMCommit::EntryFile() {
  if (!entryFile_) {
    const std::u16string dir =
        IncludeTrailingSeparator(a_.tempDir_.empty() ? platform::TempPath() : a_.tempDir_);
    if (!a_.volumeRecord_) {
      entryFileName_ = a_.MakeTempFileName();
    } else {
      // Named in the record before it exists: no crash leaves it behind
      // unnamed.
      std::random_device random;
      for (int attempt = 0;; ++attempt) {
        std::u16string name = dir + u"FC";
        for (uint32_t value = random(), k = 0; k < 8; ++k, value <<= 4)
          name += u"0123456789ABCDEF"[value >> 28];
        name += u".tmp";
        a_.volumeRecord_->Add(name);
        platform::File made;
        const int err =
            made.Open(name, platform::FileAccess::ReadWrite, platform::FileShare::DenyNone,
                      platform::FileDisposition::CreateNew);
        if (err == 0) {
          entryFileName_ = name;
          break;
        }
        if (err != platform::kErrorFileExists || attempt >= 100)
          throw EFCreateError(
              u"Cannot create a temporary file in \"" + dir + u"\". " + SysErrorMessage(err), err);
      }
    }
    entryFile_ = std::make_unique<TFileStream>(entryFileName_, fmOpenReadWrite | fmShareDenyWrite);
  }
  entryFile_->SetSize(0);
  entryFile_->SetPosition(0);
  return *entryFile_;
}

void TKMCommit::DeleteEntryFile() {
  entryFile_.reset();
  if (entryFileName_.empty()) return;
  platform::DeleteFile(entryFileName_);
  entryFileName_.clear();
}

void TKMCommit::RollbackVolumes() {
  staging_.reset();
  DeleteEntryFile();
  TKMDirManager& manager = *a_.dirManager_;
  manager.SetArchiveStreamRef(nullptr);
  a_.archiveStream_.reset();
  if (!a_.volumeRecord_ || a_.volumeRecord_->Files().empty()) {
    a_.archiveOpen_ = false;
    a_.ReleaseArchive();
    return;
  }
  const std::vector<std::u16string>& files = a_.volumeRecord_->Files();
  const std::u16string& first = files.front();
  for (size_t k = 1; k < files.size(); ++k) platform::DeleteFile(files[k]);
  // The last volume may have got the archive's name already.
  if (a_.currentVolumeName_ == a_.fileName_ && first != a_.fileName_)
    platform::DeleteFile(a_.fileName_);
  a_.OpenVolumeFile(first);
  a_.volumeInfo_.SetFirst(true);
  if (manager.StubSize() > 0) manager.PlaceSfxStub();
}

void TKMCommit::Complete() {
  out_.reset();
  // The new archive is on the disk before the journal goes: deleting the
  // journal is the commit point, and made durable before anything that
  // relies on the commit (moved sources) happens.
  if (auto* file = dynamic_cast<TFileStream*>(a_.archiveStream_.get());
      file && journal_ && Flushing() && !file->Flush())
    throw EWriteError(u"Cannot flush the archive. " + SysErrorMessage(file->LastError()),
                      file->LastError());
  DiscardTail();
  done_ = true;
}

// ---- The archiver's side

void TKMBaseArchiver::RollbackUpdate() {
  if (commit_) commit_->Rollback();
}

void TKMBaseArchiver::CopyOldEntry(int32_t index, bool restoreOld) {
  TDirItem* item = dirManager_->CurrentDir().ItemPtr(index);
  const int32_t j = commit_->NextOldEntry(item->FileName);
  if (j < 0) throw EKMException(kmeRebuildIndex, this);
  commit_->TakeOldEntry(item->FileName);
  const TDirItem& old = dirManager_->RollbackDir().GetItem(j);
  if (restoreOld || item->Operation == poUpdate) *item = old;
  commit_->CopyOldRecord(j, *item);
}

std::unique_ptr<TCompressAhead> TKMBaseArchiver::StartCompressAhead(int32_t from) {
  const int threads = ThreadCount();
  if (threads < 2) return nullptr;
  const TKMDirArray& current = dirManager_->CurrentDir();
  std::vector<TCompressAhead::TJob> jobs;
  for (int32_t i = std::max(from, 0); i < current.Count(); ++i) {
    const TDirItem& item = current.GetItem(i);
    // An encrypted entry reads its source twice, as it always has.
    if (!WritesNewData(item) || (item.ExternalAttr & platform::faDirectory) ||
        !item.Password.empty())
      continue;
    TCompressAhead::TJob job;
    job.fileName = item.SourceFileName;
    job.openMode = uint16_t(fmOpenRead | (options_.ShareMode() << 4));
    job.deflate = item.Method != 0;
    job.level = item.CompressionMode;
    job.blockSize = ReadBlockSize(item.CompressionMode);
    jobs.push_back(std::move(job));
  }
  if (jobs.empty()) return nullptr;
  try {
    return std::make_unique<TCompressAhead>(std::move(jobs), threads, memoryBudget_);
  } catch (const std::system_error&) {
    // No threads to be had: the commit reads every source itself.
    return nullptr;
  }
}

bool TKMBaseArchiver::WriteNewEntry(int32_t index) {
  UpdateCompressionMethod();
  TKMDirArray& current = dirManager_->CurrentDir();
  TDirItem* item = current.ItemPtr(index);
  const auto op = TKMProcessOperation(item->Operation);
  const std::u16string progressName =
      (op == poAdd || op == poMove) ? item->SourceFileName : item->FileName;
  bool cancel = false;
  DoFileProgress(progressName, 0.0, op, ppStart, cancel);
  if (cancelled_) return false;

  // An EKMException from here on fails this entry alone: the caller hands it
  // to the failure event. The source is closed on the way out, and what was
  // read of it ahead is let go.
  std::unique_ptr<TFileStream> source;
  TCompressAhead::TEntry* ahead = nullptr;
  ScopeExit dropAhead([&] {
    if (ahead) ahead_->Drop(ahead);
  });
  {
    item = current.ItemPtr(index);
    const bool oem = options_.OEMFileNames();
    const std::string name = StoredNameBytes(*item, oem);
    if (!EntryNameFits(name)) throw EKMException(kmeNameTooLong, {item->FileName}, this);
    item->Zip64Used = false;

    const bool hasSource = !(item->ExternalAttr & platform::faDirectory);
    if (hasSource && ahead_ && aheadAllowed_ && item->Password.empty()) {
      ahead = ahead_->Take(item->SourceFileName);
      // A source that went or was replaced since it was opened ahead is
      // opened again now, as it would have been without reading ahead.
      if (ahead && !ahead_->StillThere(ahead, item->SourceFileName)) {
        ahead_->Drop(ahead);
        ahead = nullptr;
      }
    }
    int64_t sourceSize = 0;
    if (ahead) {
      bool sizeFailed = false;
      try {
        sourceSize = ahead_->Open(ahead, sizeFailed);
      } catch (const EStreamError& e) {
        throw SourceFileError(sizeFailed ? u"Cannot read file" : u"Cannot open file",
                              item->SourceFileName, e.SystemError());
      }
    } else if (hasSource) {
      // Whatever path the host can open is read, however long: the system
      // says when it cannot.
      try {
        source = std::make_unique<TFileStream>(item->SourceFileName,
                                               uint16_t(fmOpenRead | (options_.ShareMode() << 4)));
      } catch (const EStreamError& e) {
        throw SourceFileError(u"Cannot open file", item->SourceFileName, e.SystemError());
      }
      try {
        source->SetPosition(0);
        sourceSize = source->Size();
      } catch (const EStreamError& e) {
        throw SourceFileError(u"Cannot read file", item->SourceFileName, e.SystemError());
      }
    }

    TStream& out = commit_->MultiVolume() ? commit_->EntryFile() : commit_->Out();
    const int64_t offset = out.Position();
    StoreLocalOffset(*item, offset, zip64Mode_ == zmAlways);

    const bool alternative = dirManager_->EndRecord().Signature == TEndOfCentralDir::kAltSignature;
    TLocalFileHeader header;
    header.Signature = SignatureSetOf(dirManager_->EndRecord().Signature).LocalHeader;
    TLocalZip64Sizes zip64;
    if (hasSource && StoreLocalUncompressedSize(header, sourceSize, zip64Mode_ == zmAlways)) {
      zip64.Present = true;
      item->Zip64Used = true;
    }
    uint16_t version;
    if (item->Zip64Used || NeedsZip64(sourceSize, false))
      version = alternative ? 0x412D : 45;
    else
      version = alternative ? 0x4114 : oem ? 20 : 0x0B14;
    item->VersionNeeded = version;
    item->VersionMadeBy = version;
    header.VersionNeeded = version;
    header.Flags = item->Flags;
    header.Method = item->Method;
    header.ModTime = item->ModTime;
    header.ModDate = item->ModDate;
    header.Crc32 = item->Crc32;

    if (zip64Mode_ == zmDisabled && item->Zip64Used)
      throw EKMException(kmeZip64DisabledHeader, {item->SourceFileName}, this);

    // A rewritten entry carries one unicode-name field, never an old one
    // beside it (a retry writes the entry again).
    std::erase_if(item->ExtraFields,
                  [](const TExtraField& field) { return field.Tag == kUnicodeNameTag; });
    std::vector<TExtraField> localExtra;
    // The exact time goes into the local header as well, as other writers
    // put it, so that readers of either header see the same time.
    const auto ntfsTime = std::find_if(item->ExtraFields.begin(), item->ExtraFields.end(),
                                       [](const TExtraField& f) { return f.Tag == kNtfsTimeTag; });
    if (ntfsTime != item->ExtraFields.end()) localExtra.push_back(*ntfsTime);
    if (unicodeFilenames_) {
      if (!UnicodeNameFits(item->FileName))
        throw EKMException(kmeNameTooLong, {item->FileName}, this);
      item->ExtraFields.push_back(TUnicodeExtendedInfo::Build(item->FileName));
      localExtra.push_back(item->ExtraFields.back());
    }

    // The sizes are not known yet: the header is written again after the data.
    ByteWriter local;
    EncodeLocalHeader(header, name, zip64, localExtra, local);
    out.WriteBuffer(local.Data().data(), int64_t(local.Size()));

    if (hasSource) {
      if (!CompressEntry(source.get(), ahead, sourceSize, out, *item)) {
        source.reset();
        return false;
      }
      header.Crc32 = item->Crc32;
      header.Method = item->Method;
      header.CompressedSize = item->CompressedSize;
      if (zip64.Present) {
        zip64.Known = true;
        zip64.Uncompressed = UncompressedSizeOf(*item);
        zip64.Compressed = CompressedSizeOf(*item);
      } else {
        // The source grew past what the header has room for while it was read.
        if (SizesInZip64(*item))
          throw EKMException(kmeZip64DisabledHeader, {item->SourceFileName}, this);
        header.UncompressedSize = item->UncompressedSize;
      }
      // Only the fixed part and the Zip64 field change; the rest is written
      // once.
      ByteWriter rewritten;
      EncodeLocalHeader(header, name, zip64, localExtra, rewritten);
      const int64_t end = out.Position();
      out.SetPosition(offset);
      out.WriteBuffer(rewritten.Data().data(), int64_t(TLocalFileHeader::kSize));
      if (zip64.Present) {
        const size_t at = LocalZip64FieldAt(name);
        out.SetPosition(offset + int64_t(at));
        out.WriteBuffer(rewritten.Data().data() + at, int64_t(kLocalZip64FieldSize));
      }
      out.SetPosition(end);
    }
    source.reset();
    if (commit_->MultiVolume()) CopyEntryToVolumes(index, out, int64_t(local.Size()), progressName);
    cancel = false;
    DoFileProgress(progressName, 100.0, op, ppEnd, cancel);
    return !commit_->VolumeCopyAborted();
  }
}

void TKMBaseArchiver::CopyEntryToVolumes(int32_t index, TStream& entry, int64_t headerLength,
                                         const std::u16string& failedName) {
  TDirItem* item = dirManager_->CurrentDir().ItemPtr(index);
  const auto op = TKMProcessOperation(item->Operation);
  // From here on bytes reach the volumes: a failure can no longer pass this
  // entry over or try it again, and stops the whole creation.
  try {
    TStream* volume = archiveStream_.get();
    TStream* staging = commit_->Staging();
    bool cancel = false;
    entry.SetPosition(0);
    // Header, name and extra fields stay together on one volume.
    CopyToVolumes(entry, volume, false, staging, 0, headerLength, cancel, volumeInfo_);
    const int64_t end = staging ? volume->Size() + staging->Position() : volume->Position();
    item = dirManager_->CurrentDir().ItemPtr(index);
    item->DiskNumberStart = uint16_t(volumeInfo_.VolumeNumber);
    const int64_t offset = end - headerLength;
    if (zip64Mode_ == zmDisabled && NeedsZip64(offset, false))
      throw EKMException(kmeZip64DisabledHeader, {item->SourceFileName}, this);
    StoreLocalOffset(*item, offset, zip64Mode_ == zmAlways);
    CopyToVolumes(entry, volume, true, staging, -1, -1, cancel, volumeInfo_);
    if (cancel) commit_->AbortVolumeCopy();
  } catch (const EKMException& e) {
    commit_->AbortVolumeCopy();
    TKMAction action = fxaAbort;
    DoProcessFileFailure(failedName, op, e.NativeError(), e.ErrorCode(), e.Message(), action);
  }
}

bool TKMBaseArchiver::DeleteMovedSources() {
  TKMDirArray& current = dirManager_->CurrentDir();
  // Files first, so that their folders are empty by the second pass.
  for (const bool folders : {false, true}) {
    for (int32_t i = 0; i < current.Count(); ++i) {
      const TDirItem& item = current.GetItem(i);
      if (!item.Modified || item.Operation != poMove) continue;
      if (((item.ExternalAttr & platform::faDirectory) != 0) != folders) continue;
      const std::u16string path = item.SourceFileName;
      TKMAction action = fxaIgnore;
      RunStep(path, poMove, action, [&] {
        if (folders) {
          std::u16string dir = path;
          if (dir.empty() || dir.back() != u'\\') dir += u'\\';
          if (!RemoveDirTree(dir)) throw EKMException(kmeCannotDeleteSourceDir, {path}, this);
        } else if (!DeleteFileByName(path)) {
          platform::SetAttributes(path, 0);
          if (!DeleteFileByName(path)) throw EKMException(kmeCannotDeleteSource, {path}, this);
        }
      });
      if (action == fxaAbort) return false;
    }
  }
  return true;
}

void TKMBaseArchiver::CommitUpdate() {
  if (updateDepth_ <= 0) return;
  updateDepth_ = 0;
  if (!dirManager_ || !archiveStream_) return;
  TKMDirArray& current = dirManager_->CurrentDir();
  TKMDirArray& rollback = dirManager_->RollbackDir();

  int32_t firstChanged = CommonPrefixLength(rollback, current);
  // An unchanged directory leaves the file untouched, whatever the counts say;
  // one rebuilt from the local headers is not in the file, and is written.
  if (firstChanged == rollback.Count() && firstChanged == current.Count() &&
      !dirManager_->DirectoryRebuilt())
    return;
  // A multi-volume archive is written once, while it is created.
  if (spanningMode_ != smNone && (rollback.Count() > 0 || openMode_ != kOpenModeCreate)) {
    current.Assign(rollback);
    throw EKMException(kmeSpannedModify, this);
  }

  processedCount_ = 0;
  markedCount_ = 0;
  cancelled_ = false;
  progressEnabled_ = true;
  totalBytes_ = 0;
  doneBytes_ = 0;
  ScopeExit progressOff([this] { progressEnabled_ = false; });
  TKMProcessOperation overall = poDelete;
  for (int32_t i = 0; i < current.Count(); ++i) {
    const TDirItem& item = current.GetItem(i);
    if (!item.Modified) continue;
    if (markedCount_ == 0) overall = TKMProcessOperation(item.Operation);
    ++markedCount_;
    totalBytes_ += UncompressedSizeOf(item);
  }

  // The counts tell what the commit that stands changed: one that is rolled
  // back changed nothing.
  auto nothingChanged = [this] {
    addedCount_ = 0;
    deletedCount_ = 0;
  };
  bool cancel = false;
  DoOverallProgress(0.0, overall, ppStart, cancel);
  if (cancelled_ || dryRun_) {
    // Nothing was written: the directory goes back to what the file holds.
    current.Assign(rollback);
    nothingChanged();
    return;
  }

  // Every way out of here before Complete rolls back through commit.
  TKMCommit commit(*this);
  commit.Plan(firstChanged);

  // An archive whose old bytes could not be put back is closed at once:
  // nothing may read or write it before the next open plays its journal
  // back.
  auto undo = [&] {
    try {
      commit.Rollback();
    } catch (...) {
      archiveOpen_ = false;
      ReleaseArchive();
      throw;
    }
  };
  // With threads, the sources of the new entries are read and compressed
  // ahead while the commit saves the old bytes and writes. Stopped (and what
  // it made dropped) on every way out, before the rollback.
  std::unique_ptr<TCompressAhead> ahead = StartCompressAhead(firstChanged);
  ahead_ = ahead.get();
  auto stopAhead = [&] {
    ahead_ = nullptr;
    ahead.reset();
  };
  ScopeExit stopAheadOnExit(stopAhead);
  TKMAction action = fxaIgnore;
  try {
    commit.Begin();
    volumeInfo_.SetFirst(true);
    // A new multi-volume archive's entries reach the volumes whole or stop
    // the commit: nothing of a failed attempt is in them.
    TStream* out = commit.MultiVolume() ? nullptr : &commit.Out();
    int32_t i = firstChanged;
    while (i < current.Count() && !cancelled_) {
      const TDirItem& next = current.GetItem(i);
      // New data goes after the old entries copied so far.
      if (WritesNewData(next)) commit.FlushCopies();
      const int64_t entryStart = WritesNewData(next) && out ? out->Position() : 0;
      // What a failed attempt wrote is written over, or cut off before the
      // directory: nothing is left that the directory does not point at.
      auto dropAttempt = [&] {
        if (out) out->SetPosition(entryStart);
      };
      const TDirItem& item = current.GetItem(i);
      bool written = true;
      action = fxaIgnore;
      if (WritesNewData(item)) {
        const auto op = TKMProcessOperation(item.Operation);
        const std::u16string failedName =
            op == poAdd || op == poMove ? item.SourceFileName : item.FileName;
        bool tried = false;
        const bool gotThrough = RunStep(failedName, op, action, [&] {
          if (tried) dropAttempt();
          aheadAllowed_ = !tried;
          tried = true;
          written = WriteNewEntry(i);
        });
        written = gotThrough && written;
        if (commit.VolumeCopyAborted()) action = fxaAbort;
      } else {
        CopyOldEntry(i, false);
      }
      if (!written) dropAttempt();
      if (action == fxaAbort || cancelled_) break;
      if (written) {
        // A replaced entry's old bytes are not copied: later entries of the
        // same name must not take them.
        const TDirItem& done = current.GetItem(i);
        if (WritesNewData(done) && done.Operation == poUpdate) commit.TakeOldEntry(done.FileName);
        ++processedCount_;
        ++i;
        continue;
      }
      // Passed over: not added after all, whatever the scan counted.
      if (addedCount_ > 0) --addedCount_;
      const TDirItem& failed = current.GetItem(i);
      if (failed.Operation == poAdd || commit.NextOldEntry(failed.FileName) < 0) {
        current.Delete(i);
      } else {
        CopyOldEntry(i, true);
        ++i;
      }
    }
    stopAhead();
    if (cancelled_ || action == fxaAbort) {
      nothingChanged();
      undo();
      return;
    }
    commit.WriteDirectory();
    commit.Complete();
  } catch (...) {
    stopAhead();
    nothingChanged();
    // What the rollback itself raises (the old bytes could not be put back)
    // matters more than what stopped the commit.
    undo();
    throw;
  }

  // The commit stands from here on: a later abort or cancel only stops what
  // is left to do.
  if (DeleteMovedSources()) {
    cancel = false;
    DoOverallProgress(100.0, overall, ppEnd, cancel);
  }
}

}  // namespace km
