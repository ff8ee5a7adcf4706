// The commit of an update transaction: the archive is rewritten in place from
// its first changed entry. The bytes from there on are saved first; new and
// replaced entries are compressed from their sources, unchanged ones copied
// back byte for byte, and a new central directory follows. Cancel or failure
// puts the saved bytes back, so the file is exactly what it was.
#include <algorithm>
#include <limits>

#include "archiver/Archiver.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"
#include "zipformat/Records.h"

namespace km {

namespace {

constexpr int64_t kCopyChunk = 1 << 20;
// A tail without entries (the old directory and end records) is kept in
// memory up to this size; a larger one goes to a temporary file.
constexpr int64_t kMemoryTailLimit = 16 << 20;
constexpr size_t kZip64LocalExtraSize = 20;

int64_t Size64(uint32_t value, int64_t wide) {
  return value == kSentinel32 ? wide : int64_t(value);
}

int64_t LocalOffsetOf(const TDirItem& item) {
  return Size64(item.LocalHeaderOffset, item.Zip64LocalHeaderOffset);
}

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
    if (item.Modified || item.FileName != rollback.GetItem(i).FileName) return i;
  }
  return n;
}

void CopyBytes(TStream& from, TStream& to, int64_t count) {
  std::vector<uint8_t> buffer(size_t(std::min(std::max<int64_t>(count, 0), kCopyChunk)));
  while (count > 0) {
    const int64_t n = std::min(count, kCopyChunk);
    from.ReadBuffer(buffer.data(), n);
    to.WriteBuffer(buffer.data(), n);
    count -= n;
  }
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
  void SetSize(int64_t size) override { target_.SetSize(size); }

 private:
  TKMBaseArchiver& owner_;
  TStream& target_;
};

int64_t TKMBaseArchiver::WriteArchiveBytes(TStream& target, const void* buffer, int64_t count) {
  return target.Write(buffer, count);
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

void TKMBaseArchiver::DeleteTempFile() {
  tempStream_.reset();
  if (!tempFileName_.empty()) platform::DeleteFile(tempFileName_);
  tempFileName_.clear();
}

void TKMBaseArchiver::SaveArchiveTail(int64_t start, bool inFile) {
  TStream& archive = *archiveStream_;
  const int64_t count = archive.Size() - start;
  if (start < 0 || count < 0) throw EKMException(7, this);
  if (inFile || count > kMemoryTailLimit) {
    tempFileName_ = MakeTempFileName();
    tempStream_ = std::make_unique<TFileStream>(tempFileName_, fmCreate);
  } else {
    tempStream_ = std::make_unique<TMemoryStream>();
  }
  archive.SetPosition(start);
  TRebuildStream saved(*this, *tempStream_);
  CopyBytes(archive, saved, count);
  if (tempStream_->Size() != count) throw EWriteError(u"The archive tail was not saved whole");
  // The archive is cut next: the only other copy of these bytes must be on
  // the disk by then.
  if (auto* file = dynamic_cast<TFileStream*>(tempStream_.get()); file && !file->Flush())
    throw EWriteError(u"Cannot flush the temporary file \"" + tempFileName_ + u"\"");
}

void TKMBaseArchiver::RestoreArchiveTail() {
  if (!tempStream_) throw EKMException(6, this);
  archiveStream_->SetPosition(tailStart_);
  archiveStream_->SetSize(tailStart_);
  tempStream_->SetPosition(0);
  try {
    CopyBytes(*tempStream_, *archiveStream_, tempStream_->Size());
  } catch (...) {
    // The temporary file is now the only copy of the old entries: it stays.
    tempStream_.reset();
    tempFileName_.clear();
    throw;
  }
  // Only now is the temporary file no longer the sole copy of the old bytes.
  DeleteTempFile();
}

void TKMBaseArchiver::RollbackUpdate() {
  TKMDirArray& rollback = dirManager_->RollbackDir();
  dirManager_->CurrentDir().Assign(rollback);
  dirManager_->SetArchiveStreamRef(archiveStream_.get());
  rebuildOut_.reset();
  if (!archiveStream_ || !tempStream_) return;
  RestoreArchiveTail();
  // A directory write that began changed the manager's end records and
  // directory offset; they are read back from the restored bytes, which
  // are those the archive was opened with.
  if (directoryStarted_ && rollback.Count() > 0) {
    try {
      dirManager_->CheckEndRecord();
      dirManager_->ReadCentralDir();
    } catch (...) {
      // The bytes are back; only the cached records may be stale.
    }
    dirManager_->CurrentDir().Assign(rollback);
  }
}

void TKMBaseArchiver::CopyOldEntry(int32_t index, bool restoreOld) {
  TKMDirArray& current = dirManager_->CurrentDir();
  const TKMDirArray& rollback = dirManager_->RollbackDir();
  TDirItem* item = current.ItemPtr(index);
  auto found = oldEntries_.find(item->FileName);
  if (found == oldEntries_.end() || found->second.empty()) throw EKMException(7, this);
  const int32_t j = found->second.front();
  found->second.pop_front();
  const TDirItem& old = rollback.GetItem(j);
  if (restoreOld || item->Operation == poUpdate) *item = old;

  const int64_t source = LocalOffsetOf(old) - tailStart_;
  TStream& temp = *tempStream_;
  const int64_t tempSize = temp.Size();
  if (source < 0 || source + int64_t(TLocalFileHeader::kSize) > tempSize)
    throw EKMException(7, this);

  uint8_t fixed[TLocalFileHeader::kSize];
  temp.SetPosition(source);
  temp.ReadBuffer(fixed, sizeof fixed);
  ByteReader in(fixed, sizeof fixed);
  TLocalFileHeader header;
  DecodeLocalFileHeader(in, header);
  if (header.Signature != kStandardSignatures.LocalHeader &&
      header.Signature != kAlternativeSignatures.LocalHeader)
    throw Exception(u"No local header where the entry \"" + old.FileName + u"\" begins");

  // The entry's bytes run to where the next old entry (or the old directory)
  // begins: a data descriptor, written by other tools after the data, comes
  // along. Only overlapping entries fall back to the record's own length.
  int64_t length = int64_t(TLocalFileHeader::kSize) + header.NameLength + header.ExtraLength +
                   Size64(old.CompressedSize, old.Zip64CompressedSize);
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

  TStream& out = *rebuildOut_;
  const int64_t p = out.Position();
  if (p >= int64_t(kSentinel32)) {
    item->Zip64Used = true;
    item->LocalHeaderOffset = kSentinel32;
    item->Zip64LocalHeaderOffset = p;
  } else {
    item->LocalHeaderOffset = uint32_t(p);
  }
  temp.SetPosition(source);
  CopyBytes(temp, out, length);
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

  std::unique_ptr<TFileStream> source;
  try {
    item = current.ItemPtr(index);
    const bool oem = options_.OEMFileNames();
    const std::string name = (item->Flags & kFlagUtf8Name) ? platform::WideToUtf8(item->FileName)
                                                           : EntryNameToBytes(item->FileName, oem);
    if (!EntryNameFits(name)) throw EKMException(61, {item->FileName}, this);
    item->Zip64Used = false;

    if (!(item->ExternalAttr & platform::faDirectory)) {
      if (item->SourceFileName.size() > 259) throw EKMException(61, {item->SourceFileName}, this);
      try {
        source = std::make_unique<TFileStream>(item->SourceFileName,
                                               uint16_t(fmOpenRead | (options_.ShareMode() << 4)));
      } catch (const EStreamError&) {
        throw EKMException(33, {item->SourceFileName}, this);
      }
    }
    const int64_t sourceSize = source ? source->Size() : 0;

    TStream& out = *rebuildOut_;
    const int64_t offset = out.Position();
    if (offset >= int64_t(kSentinel32) || zip64Mode_ == zmAlways) {
      item->Zip64Used = true;
      item->LocalHeaderOffset = kSentinel32;
      item->Zip64LocalHeaderOffset = offset;
    } else {
      item->LocalHeaderOffset = uint32_t(offset);
    }

    const bool alternative = dirManager_->EndRecord().Signature == TEndOfCentralDir::kAltSignature;
    TLocalFileHeader header;
    header.Signature = SignatureSetOf(dirManager_->EndRecord().Signature).LocalHeader;
    if (source) {
      if (sourceSize >= int64_t(kSentinel32) || zip64Mode_ == zmAlways) {
        header.UncompressedSize = kSentinel32;
        item->Zip64Used = true;
      } else {
        header.UncompressedSize = uint32_t(sourceSize);
      }
    }
    const bool zip64Extra = header.UncompressedSize == kSentinel32;
    uint16_t version;
    if (item->Zip64Used || sourceSize >= int64_t(kSentinel32))
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
    header.NameLength = uint16_t(name.size());

    if (zip64Mode_ == zmDisabled && item->Zip64Used)
      throw EKMException(43, {item->SourceFileName}, this);

    // A rewritten entry carries one unicode-name field, never an old one
    // beside it (a retry writes the entry again).
    std::erase_if(item->ExtraFields,
                  [](const TExtraField& field) { return field.Tag == kUnicodeNameTag; });
    size_t extraLength = zip64Extra ? kZip64LocalExtraSize : 0;
    TExtraField unicodeName;
    if (unicodeFilenames_) {
      if (!UnicodeNameFits(item->FileName)) throw EKMException(61, {item->FileName}, this);
      unicodeName = TUnicodeExtendedInfo::Build(item->FileName);
      extraLength += 4 + unicodeName.Data.size();
      item->ExtraFields.push_back(unicodeName);
    }
    header.ExtraLength = uint16_t(extraLength);

    ByteWriter local;
    EncodeLocalFileHeader(header, local);
    local.Bytes(name);
    // The Zip64 field is filled in once the sizes are known.
    if (zip64Extra) {
      const uint8_t zeros[kZip64LocalExtraSize] = {};
      local.Bytes(zeros, sizeof zeros);
    }
    if (unicodeFilenames_) EncodeExtraField(unicodeName, local);
    out.WriteBuffer(local.Data().data(), int64_t(local.Size()));

    if (source) {
      if (!CompressEntry(*source, out, *item)) {
        source.reset();
        return false;
      }
      header.Crc32 = item->Crc32;
      header.Method = item->Method;
      header.CompressedSize = (item->CompressedSize == kSentinel32 || zip64Mode_ == zmAlways)
                                  ? kSentinel32
                                  : item->CompressedSize;
      const int64_t compressed = Size64(item->CompressedSize, item->Zip64CompressedSize);
      const int64_t uncompressed = Size64(item->UncompressedSize, item->Zip64UncompressedSize);
      if (!zip64Extra) {
        // The source grew past what the header has room for while it was read.
        if (header.CompressedSize == kSentinel32 || item->UncompressedSize == kSentinel32)
          throw EKMException(43, {item->SourceFileName}, this);
        header.UncompressedSize = item->UncompressedSize;
      }
      ByteWriter rewritten;
      EncodeLocalFileHeader(header, rewritten);
      out.SetPosition(offset);
      out.WriteBuffer(rewritten.Data().data(), int64_t(rewritten.Size()));
      if (zip64Extra) {
        ByteWriter extra;
        extra.U16(kZip64ExtraTag);
        extra.U16(16);
        extra.U64(uint64_t(uncompressed));
        extra.U64(uint64_t(compressed));
        out.SetPosition(offset + int64_t(TLocalFileHeader::kSize) + int64_t(name.size()));
        out.WriteBuffer(extra.Data().data(), int64_t(extra.Size()));
      }
      out.Seek(0, soEnd);
    }
    source.reset();
    cancel = false;
    DoFileProgress(progressName, 100.0, op, ppEnd, cancel);
    return true;
  } catch (const EKMException& e) {
    source.reset();
    DoProcessFileFailure(op == poUpdate ? current.GetItem(index).FileName : progressName, op,
                         e.NativeError(), e.ErrorCode(), e.Message(), failureAction_);
    return false;
  }
}

void TKMBaseArchiver::DeleteMovedSources() {
  TKMDirArray& current = dirManager_->CurrentDir();
  // Files first, so that their folders are empty by the second pass.
  for (const bool folders : {false, true}) {
    for (int32_t i = 0; i < current.Count(); ++i) {
      const TDirItem& item = current.GetItem(i);
      if (!item.Modified || item.Operation != poMove) continue;
      if (((item.ExternalAttr & platform::faDirectory) != 0) != folders) continue;
      const std::u16string path = item.SourceFileName;
      do {
        failureAction_ = fxaIgnore;
        try {
          if (folders) {
            std::u16string dir = path;
            if (dir.empty() || dir.back() != u'\\') dir += u'\\';
            if (!RemoveDirTree(dir)) throw EKMException(60, {path}, this);
          } else if (!DeleteFileByName(path)) {
            platform::SetAttributes(path, 0);
            if (!DeleteFileByName(path)) throw EKMException(27, {path}, this);
          }
        } catch (const EKMException& e) {
          DoProcessFileFailure(path, poMove, e.NativeError(), e.ErrorCode(), e.Message(),
                               failureAction_);
        }
      } while (failureAction_ == fxaRetry);
      if (failureAction_ == fxaAbort) return;
    }
  }
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
  if (spanningMode_ != smNone) {
    current.Assign(rollback);
    throw Exception(u"Rewriting a multi-volume archive is not supported");
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
    totalBytes_ += Size64(item.UncompressedSize, item.Zip64UncompressedSize);
  }

  bool cancel = false;
  DoOverallProgress(0.0, overall, ppStart, cancel);
  if (cancelled_) {
    // Nothing was written: the directory goes back to what the file holds.
    current.Assign(rollback);
    return;
  }

  // The temporary file goes on every path out of here; a tail that could
  // not be put back is kept there instead (RestoreArchiveTail).
  ScopeExit cleanup([this] {
    DeleteTempFile();
    oldEntries_.clear();
    oldEnds_.clear();
  });

  const int64_t archiveSize = archiveStream_->Size();
  const int64_t oldDirOffset = dirManager_->CentralDirOffset();
  if (firstChanged < rollback.Count()) {
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
  } else if (rollback.Count() > 0)
    // Where the old directory really begins: the end record's offset may
    // count from the start of the ZIP data rather than of the file.
    tailStart_ = oldDirOffset;
  else
    tailStart_ = dirManager_->StubSize();

  // Old entries from the tail on, in file order: each one's bytes end where
  // the next begins, or at the old directory.
  oldEntries_.clear();
  oldEnds_.assign(size_t(rollback.Count()), 0);
  {
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
      oldEnds_[size_t(byOffset[k].second)] =
          std::min(std::max(end, byOffset[k].first), archiveSize);
    }
  }

  try {
    SaveArchiveTail(tailStart_, firstChanged < rollback.Count());
  } catch (...) {
    // The archive has not been touched yet.
    DeleteTempFile();
    current.Assign(rollback);
    throw;
  }

  failureAction_ = fxaIgnore;
  directoryStarted_ = false;
  volumeInfo_.SetFirst(true);
  try {
    rebuildOut_ = std::make_unique<TRebuildStream>(*this, *archiveStream_);
    TStream& out = *rebuildOut_;
    out.SetPosition(tailStart_);
    out.SetSize(tailStart_);

    int32_t i = firstChanged;
    while (i < current.Count() && !cancelled_) {
      const int64_t entryStart = out.Position();
      do {
        failureAction_ = fxaIgnore;
        entryWritten_ = true;
        if (WritesNewData(current.GetItem(i)))
          entryWritten_ = WriteNewEntry(i);
        else
          CopyOldEntry(i, false);
        // What a failed attempt wrote goes: nothing is left that the
        // directory does not point at.
        if (!entryWritten_) {
          out.SetSize(entryStart);
          out.SetPosition(entryStart);
        }
      } while (failureAction_ == fxaRetry);
      if (failureAction_ == fxaAbort || cancelled_) break;
      if (entryWritten_) {
        // A replaced entry's old bytes are not copied: later entries of the
        // same name must not take them.
        const TDirItem& written = current.GetItem(i);
        if (WritesNewData(written) && written.Operation == poUpdate) {
          auto old = oldEntries_.find(written.FileName);
          if (old != oldEntries_.end() && !old->second.empty()) old->second.pop_front();
        }
        ++processedCount_;
        ++i;
        continue;
      }
      const TDirItem& item = current.GetItem(i);
      auto old = oldEntries_.find(item.FileName);
      if (item.Operation == poAdd || old == oldEntries_.end() || old->second.empty()) {
        current.Delete(i);
      } else {
        CopyOldEntry(i, true);
        ++i;
      }
    }

    if (!cancelled_ && failureAction_ != fxaAbort) {
      directoryStarted_ = true;
      dirManager_->WriteCentralDir(rebuildOut_.get());
      dirManager_->SetArchiveStreamRef(archiveStream_.get());
    }
  } catch (...) {
    RollbackUpdate();
    throw;
  }

  if (cancelled_ || failureAction_ == fxaAbort) {
    RollbackUpdate();
    return;
  }
  rebuildOut_.reset();
  DeleteTempFile();

  // The commit stands from here on: a later abort or cancel only stops what
  // is left to do.
  DeleteMovedSources();
  if (failureAction_ != fxaAbort) {
    cancel = false;
    DoOverallProgress(100.0, overall, ppEnd, cancel);
  }
  if (options_.FlushBuffers())
    if (auto* file = dynamic_cast<TFileStream*>(archiveStream_.get())) file->Flush();
}

}  // namespace km
