#include "archiver/Archiver.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <thread>

#include "archiver/Journal.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"

namespace km {

namespace {

std::u16string ReplaceChar(std::u16string text, char16_t from, char16_t to) {
  std::replace(text.begin(), text.end(), from, to);
  return text;
}

}  // namespace

platform::CriticalSection& ArchiverLock() {
  static platform::CriticalSection lock;
  return lock;
}

TKMCompressionLevel CompressionModeToLevel(int mode) {
  if (mode >= 1 && mode <= 3) return clFastest;
  if (mode >= 4 && mode <= 6) return clNormal;
  if (mode >= 7 && mode <= 9) return clMax;
  return clNone;
}

uint8_t CompressionLevelToMode(TKMCompressionLevel level) {
  switch (level) {
    case clNone:
      return 0;
    case clFastest:
      return 1;
    case clNormal:
      return 6;
    case clMax:
      return 9;
  }
  return 0;
}

// ---- TKMOptions

void TKMOptions::SetStorePath(TKMStorePathMode value) {
  storePath_ = value;
  if (value == spNoPath) synchronize_ = false;
}

void TKMOptions::SetSynchronize(bool value) {
  synchronize_ = value && storePath_ != spNoPath;
}

// ---- Construction

int TKMBaseArchiver::ThreadCount() const {
  if (threads_ > 0) return threads_;
  const unsigned cores = std::thread::hardware_concurrency();
  return int(std::clamp(cores, 1u, 8u));
}

TKMBaseArchiver::TKMBaseArchiver() {
  SetCompressionLevel(clNormal);
  SetCompressionMode(6);
}

TKMBaseArchiver::~TKMBaseArchiver() {
  CloseArchive();
}

TKavoMill::TKavoMill() {
  standardZip_ = true;
  zip64Mode_ = zmDisabled;
  // The base constructor could only reach the base's method choice.
  UpdateCompressionMethod();
}

// Closed here too, so that a commit still runs as a TKavoMill.
TKavoMill::~TKavoMill() {
  CloseArchive();
}

void TKavoMill::UpdateCompressionMethod() {
  compressionMethod_ = compressionMode_ > 0 ? 8 : 0;
}

void TKMBaseArchiver::UpdateCompressionMethod() {
  compressionMethod_ = 0xFFFF;
}

// ---- Properties

void TKMBaseArchiver::SetCompressionLevel(TKMCompressionLevel value) {
  compressionLevel_ = value;
  compressionMode_ = CompressionLevelToMode(value);
  UpdateCompressionMethod();
}

void TKMBaseArchiver::SetCompressionMode(int value) {
  if (value < 0 || value > 9) throw EKMException(kmeCompressionMode, this);
  compressionMode_ = uint8_t(value);
  compressionLevel_ = CompressionModeToLevel(value);
  UpdateCompressionMethod();
}

std::u16string TKMBaseArchiver::CurrentVersion() const {
  // to_chars never looks at the locale, so a comma-decimal locale cannot
  // turn the point into a comma.
  char buf[16];
  auto result = std::to_chars(buf, buf + sizeof buf, 3.01, std::chars_format::fixed, 2);
  return std::u16string(buf, result.ptr) + u" Prism Edition";
}

void TKMBaseArchiver::SetSpanningMode(TKMSpanningMode value) {
  if (archiveOpen_) throw Exception(u"Cannot set spanning mode on open archive");
  spanningMode_ = value;
}

void TKMBaseArchiver::SetInMemory(bool value) {
  if (value == inMemory_) return;
  if (archiveOpen_) {
    if (inMemory_) {
      if (ExtractFileName(fileName_).empty()) throw EKMException(kmeInMemoryBlankName, this);
      // Settle a pending transaction and give a new archive its end record
      // before the bytes are copied: closing afterwards would only write
      // them into the memory stream that is about to be dropped.
      if (updateDepth_ > 0) CommitUpdate();
      if (HoldsNothingYet()) dirManager_->WriteEmptyDirectory(archiveStream_.get());
      {
        TFileStream file(fileName_, fmCreate);
        archiveStream_->SetPosition(0);
        file.CopyFrom(*archiveStream_, 0);
      }
      CloseArchive();
      inMemory_ = false;
      OpenArchive();
    } else {
      CloseArchive();
      inMemory_ = true;
      OpenArchive();
    }
  }
  inMemory_ = value;
}

// ---- Opening and closing

void TKMBaseArchiver::OpenArchive() {
  updateCommitted_ = false;
  if (!inMemory_ && ExtractFileName(fileName_).empty()) throw EKMException(kmeOpenBlankName, this);
  // Opening closes what is open anyway, and nothing between here and there can
  // fail; closing first keeps our own handle, which denies writes, from
  // failing the trial open and reopening our own archive read-only.
  CloseArchive();
  // A split archive whose creation was cut short is dealt with first: one
  // that was already whole gets its name back, and is opened, not made anew.
  if (!inMemory_) RemoveUnfinishedVolumes();
  int32_t mode = -1;
  // The wide name is used for the test and the trial open: an 8-bit form
  // would turn characters outside the code page into '?', miss the file, and
  // the existing archive would then be recreated empty.
  if (!inMemory_ && FileExists(fileName_)) {
    try {
      TFileStream trial(fileName_, kOpenModeReadWrite);
      mode = kOpenModeReadWrite;
    } catch (const EStreamError&) {
      mode = kOpenModeReadOnly;
    }
  }
  OpenArchive(mode);
}

void TKMBaseArchiver::OpenArchive(int32_t mode) {
  updateCommitted_ = false;
  const bool create = uint16_t(mode) == kOpenModeCreate;
  if (!inMemory_ && ExtractFileName(fileName_).empty())
    throw EKMException(kmeCreateBlankName, this);
  if (!create && inMemory_) throw EKMException(kmeInMemoryOpen, {fileName_}, this);
  // A dry run makes and writes no file, not even a new archive.
  if (dryRun_ && !inMemory_ && (create || (mode & 3) != 0))
    throw Exception(u"A dry run opens an archive only for reading.");

  CloseArchive();
  openMode_ = uint16_t(mode);
  recoveryNote_.clear();
  if (!inMemory_) RemoveUnfinishedVolumes();
  if (!create && !FileExists(fileName_) && spanningMode_ != smSpanning &&
      !IsRemovableDrive(fileName_))
    throw EKMException(kmeArchiveNotFound, {fileName_}, this);
  try {
    if (!inMemory_) PlayBackJournal();
    if (openMode_ == kOpenModeCreate || inMemory_) {
      if (inMemory_) {
        archiveStream_ = std::make_unique<TMemoryStream>();
        currentVolumeName_.clear();
      } else {
        // A split archive records the files it makes until it is complete.
        if (spanningMode_ == smSplitting)
          volumeRecord_ = std::make_unique<TKMVolumeRecord>(fileName_, options_.FlushBuffers());
        TKMVolumeNumberInfo first;
        first.SetFirst(true);
        OpenVolume(first);
      }
      // Makes this the first volume and places the stub, if any.
      dirManager_ = std::make_unique<TKMDirManager>(archiveStream_.get(), *this, true);
    } else {
      spanningMode_ = smNone;
      volumeInfo_.Reset();
      ExamineArchive();
      // No end record, and not one entry found in the file: whatever it is,
      // it is no archive that may be written over (reading it shows nothing).
      if ((openMode_ & 3) != 0 && DirectoryRebuilt() && dirManager_->CurrentDir().Count() == 0)
        throw EKMException(kmeInvalidArchive, nullptr);
    }
  } catch (...) {
    // A half-opened archive keeps no file handle.
    const bool recorded = volumeRecord_ != nullptr;
    ReleaseArchive();
    // A split archive that could not even begin (its stub does not fit the
    // first volume) leaves nothing of itself behind.
    if (recorded) {
      try {
        PlayBackVolumeRecord(fileName_);
      } catch (...) {
        // Left to the next open, which removes them.
      }
    }
    throw;
  }
  archiveOpen_ = true;
  if (AfterOpen) AfterOpen(*this);
}

void TKMBaseArchiver::RemoveUnfinishedVolumes() {
  if (dryRun_) {
    // Rolling back or removing is writing: a dry run stops short of both.
    if (FileExists(JournalFileName(fileName_)))
      throw Exception(u"The last update of \"" + fileName_ +
                      u"\" was interrupted and is still to be rolled back from \"" +
                      JournalFileName(fileName_) + u"\".");
    if (FileExists(VolumeRecordFileName(fileName_)))
      throw Exception(u"The creation of \"" + fileName_ +
                      u"\" was interrupted; the volumes it wrote are still to be removed.");
    return;
  }
  // A split archive whose creation was cut short left volumes and the
  // record of them: they go before anything looks for the archive.
  switch (PlayBackVolumeRecord(fileName_)) {
    case TKMVolumeRecordState::InUse:
      throw EKMArchiveBusy(fileName_);
    case TKMVolumeRecordState::Removed:
      if (openMode_ != kOpenModeCreate)
        recoveryNote_ = u"The creation of \"" + fileName_ +
                        u"\" was interrupted; the volumes it had written were removed.";
      break;
    case TKMVolumeRecordState::None:
      break;
  }
}

void TKMBaseArchiver::PlayBackJournal() {
  const std::u16string journal = JournalFileName(fileName_);
  if (!FileExists(journal)) return;
  const bool create = openMode_ == kOpenModeCreate;
  // A handle that denies writes is the lock every commit holds: whoever
  // gets it knows that no running commit owns the journal.
  const bool ownLock = create || ((openMode_ & 3) != 0 && (openMode_ & 0xF0) != fmShareDenyNone);
  if (create) {
    // The file is being made anew: the journal of what it was means nothing.
    // It goes first, while the old file is held, so that it can never be
    // played back onto the new one.
    platform::File holder;
    if (FileExists(fileName_) &&
        holder.Open(fileName_, platform::FileAccess::ReadWrite, platform::FileShare::DenyWrite,
                    platform::FileDisposition::OpenExisting) == platform::kErrorSharingViolation)
      throw EKMArchiveBusy(fileName_);
    if (!platform::DeleteFile(journal) && FileExists(journal))
      throw Exception(u"The old rollback journal \"" + journal + u"\" cannot be deleted. " +
                      SysErrorMessage(platform::LastError()));
    if (options_.FlushBuffers()) platform::FlushDirectoryOf(journal);
    return;
  }
  if (!FileExists(fileName_)) return;
  platform::File probe;
  platform::File* target;
  if (ownLock) {
    OpenVolumeFile(fileName_);
    target = &static_cast<TFileStream&>(*archiveStream_).Handle();
  } else {
    const int err =
        probe.Open(fileName_, platform::FileAccess::ReadWrite, platform::FileShare::DenyWrite,
                   platform::FileDisposition::OpenExisting);
    if (err == platform::kErrorSharingViolation) throw EKMArchiveBusy(fileName_);
    if (err != 0)
      throw Exception(u"The last update of \"" + fileName_ +
                      u"\" was interrupted and must be rolled back from \"" + journal +
                      u"\", but the archive cannot be opened for writing. " + SysErrorMessage(err));
    target = &probe;
  }
  if (km::PlayBackJournal(journal, *target, options_.FlushBuffers()) == TKMPlayBack::RolledBack)
    recoveryNote_ = u"The last update of \"" + fileName_ +
                    u"\" was interrupted; the archive was rolled back to what it was before it.";
}

bool TKMBaseArchiver::HoldsNothingYet() const {
  if (!archiveStream_ || !dirManager_) return false;
  const int64_t size = archiveStream_->Size();
  if (size == 0) return true;
  // A new archive that got only its self-extractor stub needs its end record
  // as much as an empty file does: without one it is no ZIP archive at all.
  return dirManager_->CreateNew() && volumeInfo_.IsFirst() && dirManager_->StubSize() > 0 &&
         size == dirManager_->StubSize();
}

void TKMBaseArchiver::ReleaseArchive() {
  dirManager_.reset();
  archiveStream_.reset();
  // An unfinished record stays on the disk for the next open.
  volumeRecord_.reset();
}

void TKMBaseArchiver::CloseArchive() noexcept {
  if (archiveOpen_) {
    try {
      if (updateDepth_ > 0) CommitUpdate();
      // An archive that got nothing written becomes a valid empty one; any
      // entries left over from a cancelled transaction never reached it.
      if (!dryRun_ && HoldsNothingYet()) dirManager_->WriteEmptyDirectory(archiveStream_.get());
    } catch (...) {
      // Closing always succeeds; a failed commit has already restored what
      // it could.
    }
    archiveOpen_ = false;
  }
  updateDepth_ = 0;
  ReleaseArchive();
}

void TKMBaseArchiver::SetArchiveOpen(bool value) {
  if (value == archiveOpen_) return;
  if (value)
    OpenArchive();
  else
    CloseArchive();
}

// ---- Transactions

void TKMBaseArchiver::BeginUpdate() {
  // Checked first and at every depth; this message carries no component name.
  if (spanningMode_ != smNone && updateCommitted_)
    throw EKMException(kmeSecondTransaction, nullptr);
  if (updateDepth_ == 0) {
    SetArchiveOpen(true);
    if ((openMode_ & 3) == 0 && !dryRun_) throw EKMException(kmeReadOnly, this);
    dirManager_->CurrentDir().ClearModified();
    // Copied only once the directory changes: a run that changes nothing
    // copies nothing.
    dirManager_->TakeRollbackCopy();
  }
  ++updateDepth_;
}

void TKMBaseArchiver::EndUpdate() {
  if (updateDepth_ <= 0) return;
  if (updateDepth_ >= 2) {
    --updateDepth_;
    return;
  }
  updateCommitted_ = true;
  {
    // The transaction is over even when its commit fails.
    ScopeExit resetDepth([this] {
      updateDepth_ = 0;
      if (dirManager_) dirManager_->DropRollbackCopy();
    });
    CommitUpdate();
  }
  // A new multi-volume archive exists now and counts as opened read/write.
  if (spanningMode_ != smNone && openMode_ == kOpenModeCreate) openMode_ = kOpenModeReadWrite;
}

void TKMBaseArchiver::CancelUpdate() {
  if (updateDepth_ > 0) updateDepth_ = 0;
  if (dirManager_) dirManager_->DropRollbackCopy();
}

void TKMBaseArchiver::CheckOpen() const {
  if (!archiveOpen_) throw EKMException(kmeArchiveNotOpen, this);
}

void TKMBaseArchiver::CheckNotInUpdate() const {
  if (InUpdate()) throw EKMException(kmeInUpdate, this);
}

void TKMBaseArchiver::CheckModifiable() const {
  if (!InUpdate() && dirManager_ && dirManager_->CurrentDir().Count() > 0 &&
      spanningMode_ != smNone)
    throw EKMException(kmeSpannedModify, this);
}

// ---- Dispatchers

void TKMBaseArchiver::DoOverallProgress(double progress, TKMProcessOperation operation,
                                        TKMProgressPhase phase, bool& cancel) {
  if (OnOverallProgress)
    OnOverallProgress(*this, progress, operation, phase, cancel);
  else
    cancel = false;
  cancelled_ = cancel;
}

void TKMBaseArchiver::DoFileProgress(const std::u16string& fileName, double progress,
                                     TKMProcessOperation operation, TKMProgressPhase phase,
                                     bool& cancel) {
  if (!OnFileProgress) {
    cancel = false;
  } else if (progressShownBusy_) {
    // Reported from a handler: the name below may still be in use.
    OnFileProgress(*this, ReplaceChar(fileName, u'/', u'\\'), progress, operation, phase, cancel);
  } else {
    // An entry reports several times in a row: its name is put in the shown
    // form once.
    if (fileName != progressName_) {
      progressName_ = fileName;
      progressShown_ = ReplaceChar(fileName, u'/', u'\\');
    }
    progressShownBusy_ = true;
    ScopeExit done([this] { progressShownBusy_ = false; });
    OnFileProgress(*this, progressShown_, progress, operation, phase, cancel);
  }
  cancelled_ = cancel;
}

void TKMBaseArchiver::DoCopyTempFileProgress(double progress, TKMProgressPhase phase,
                                             bool& cancel) {
  cancel = false;
  if (OnCopyTempFileProgress) OnCopyTempFileProgress(*this, progress, phase, cancel);
  cancelled_ = cancel;
}

void TKMBaseArchiver::DoConfirmOverwrite(const std::u16string& sourceFileName,
                                         std::u16string& destFileName, bool& confirm) {
  if (OnConfirmOverwrite) {
    OnConfirmOverwrite(*this, sourceFileName, destFileName, confirm);
    return;
  }
  platform::MessageBoxRequest request;
  request.text = KMFormat(u"Overwrite file \"%s\" with \"%s\"", {destFileName, sourceFileName});
  request.type = platform::mtConfirmation;
  request.buttons = {platform::mbYes, platform::mbNo, platform::mbNoToAll, platform::mbYesToAll};
  switch (platform::ShowMessageBox(request)) {
    case platform::mrYes:
      confirm = true;
      break;
    case platform::mrNoToAll:
      confirm = false;
      options_.SetOverwriteMode(omNever);
      break;
    case platform::mrYesToAll:
      confirm = true;
      options_.SetOverwriteMode(omAlways);
      break;
    default:
      confirm = false;
      break;
  }
}

bool TKMBaseArchiver::DoConfirmProcessFile(const std::u16string& fileName,
                                           TKMProcessOperation operation, bool& confirm) {
  confirm = true;
  if (!OnConfirmProcessFile) return false;
  OnConfirmProcessFile(*this, fileName, operation, confirm);
  return true;
}

void TKMBaseArchiver::DoPassword(const std::u16string& fileName, std::string& newPassword,
                                 bool& skipFile) {
  if (OnPassword) {
    OnPassword(*this, fileName, newPassword, skipFile);
    return;
  }
  platform::InputBoxRequest request;
  request.caption = KMFormat(u"Password for \"%s\"", {fileName});
  request.prompt = u"Enter password: ";
  request.value = platform::AnsiToWide(newPassword);
  std::u16string value = request.value;
  const bool confirmed = platform::ShowInputBox(request, value);
  skipFile = !confirmed;
  if (confirmed) newPassword = platform::WideToAnsi(value);
}

void TKMBaseArchiver::DoProcessFileFailure(const std::u16string& fileName,
                                           TKMProcessOperation operation, int32_t nativeError,
                                           int32_t errorCode, const std::u16string& errorMessage,
                                           TKMAction& action) {
  action = fxaIgnore;
  if (OnProcessFileFailure) {
    OnProcessFileFailure(*this, fileName, operation, nativeError, errorCode, errorMessage, action);
    return;
  }
  // A cancelled volume request: the user has already said stop.
  if (nativeError == kmeVolumeRequestCancelled) {
    action = fxaAbort;
    return;
  }
  // Nobody to ask: the box's default, Retry, would repeat the failure
  // forever. The file is passed over, as a run does with what it cannot read.
  if (platform::GetDialogServices() == nullptr) return;
  platform::MessageBoxRequest request;
  request.type = platform::mtConfirmation;
  if (nativeError == kmeNameTooLong) {
    request.text = errorMessage;
    request.buttons = {platform::mbAbort, platform::mbIgnore};
  } else {
    request.text = KMFormat(u"%s. File processing error, possibly disk is full", {errorMessage});
    request.buttons = {platform::mbAbort, platform::mbRetry, platform::mbIgnore};
  }
  switch (platform::ShowMessageBox(request)) {
    case platform::mrRetry:
      action = fxaRetry;
      break;
    case platform::mrIgnore:
      action = fxaIgnore;
      break;
    default:
      action = fxaAbort;
      break;
  }
}

bool TKMBaseArchiver::DoStoreFile(std::u16string& fileName, uint32_t& fileAttr,
                                  const std::u16string& sourceFileName, std::string& comment) {
  if (!OnStoreFile) return false;
  fileName = ReplaceChar(std::move(fileName), u'/', u'\\');
  OnStoreFile(*this, fileName, fileAttr, comment, sourceFileName);
  fileName = ReplaceChar(std::move(fileName), u'\\', u'/');
  return true;
}

void TKMBaseArchiver::DoExtractFile(std::u16string& fileName, uint32_t& fileAttr,
                                    const std::string& comment) {
  fileName = ReplaceChar(std::move(fileName), u'/', u'\\');
  if (OnExtractFile) OnExtractFile(*this, fileName, fileAttr, comment);
}

}  // namespace km
