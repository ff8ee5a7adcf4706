// The archiver component: one ZIP archive with its settings, state, events
// and update transactions. TKavoMill is the class an owner places and
// configures; TKMBaseArchiver holds the state and behaviour.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archiver/ArchiveItem.h"
#include "archiver/CompressAhead.h"
#include "archiver/Errors.h"
#include "archiver/VerifyAhead.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "support/Stream.h"
#include "support/ZipCrypto.h"
#include "zipformat/ArchiveContext.h"
#include "zipformat/DirManager.h"
#include "zipformat/Volumes.h"

namespace km {

class TKMCommit;
class TKMScan;
class TKMVolumeRecord;

enum TKMCompressionLevel : uint8_t { clNone, clFastest, clNormal, clMax };

enum TKMProcessOperation : uint8_t {
  poAdd,
  poMove,
  poDelete,
  poUpdate,
  poExtract,
  poTest,
  poRename,
  poChangeAttr,
  poChangeComment,
  poMakeSFX
};

enum TKMProgressPhase : uint8_t { ppStart, ppProcess, ppEnd };

enum TKMAction : uint8_t { fxaRetry, fxaIgnore, fxaAbort };

enum TKMOverwriteMode : uint8_t { omPrompt, omAlways, omNever, omIfNewer, omIfOlder, omIfDiffer };

enum TKMFileShareMode : uint8_t {
  smShareCompat,
  smShareExclusive,
  smShareDenyWrite,
  smShareDenyRead,
  smShareDenyNone
};

enum TKMStorePathMode : uint8_t {
  spNoPath,
  spRelativePath,
  spRelativeStoreStart,
  spFullPath,
  spFullPathWithDrive
};

enum TZip64Mode : uint8_t { zmDisabled, zmAuto, zmAlways };

// TKMSpanningMode, TKMVolumeSize and TKMVolumeKind live with the volume
// bookkeeping in zipformat/Volumes.h.

// The two compression settings are coupled through these; they are not
// inverse (mode 5 reads back as clNormal, clNormal writes mode 6).
TKMCompressionLevel CompressionModeToLevel(int mode);
uint8_t CompressionLevelToMode(TKMCompressionLevel level);
// The source block size of a compression mode (512 KiB, 1 MiB or 1.5 MiB).
uint32_t ReadBlockSize(int mode);

// Archive file open modes (see OpenMode).
inline constexpr uint16_t kOpenModeCreate = 0xFFFF;
inline constexpr uint16_t kOpenModeReadWrite = fmOpenReadWrite | fmShareDenyWrite;  // 0x0022
inline constexpr uint16_t kOpenModeReadOnly = fmOpenRead | fmShareDenyNone;         // 0x0040
// Reading that keeps commits out for as long as the archive is open, while
// other readers may come and go: what a command that only reads uses. An
// archive being rewritten is not opened (EKMArchiveBusy).
inline constexpr uint16_t kOpenModeReadShared = fmOpenRead | fmShareDenyWrite;  // 0x0020

class TKMOptions {
 public:
  // Every attribute a search can ask for: read-only, hidden, system, volume
  // label, directory, archive, normal, compressed, not content indexed.
  static constexpr int32_t kDefaultSearchAttr = 0x28BF;

  bool Recurse() const { return recurse_; }
  void SetRecurse(bool value) { recurse_ = value; }
  TKMFileShareMode ShareMode() const { return shareMode_; }
  void SetShareMode(TKMFileShareMode value) { shareMode_ = value; }
  TKMOverwriteMode OverwriteMode() const { return overwriteMode_; }
  void SetOverwriteMode(TKMOverwriteMode value) { overwriteMode_ = value; }
  bool CreateDirs() const { return createDirs_; }
  void SetCreateDirs(bool value) { createDirs_ = value; }
  bool ReplaceReadOnly() const { return replaceReadOnly_; }
  void SetReplaceReadOnly(bool value) { replaceReadOnly_ = value; }
  bool SetAttributes() const { return setAttributes_; }
  void SetSetAttributes(bool value) { setAttributes_ = value; }
  int32_t SearchAttr() const { return searchAttr_; }
  void SetSearchAttr(int32_t value) { searchAttr_ = value; }
  bool FlushBuffers() const { return flushBuffers_; }
  void SetFlushBuffers(bool value) { flushBuffers_ = value; }
  bool OEMFileNames() const { return oemFileNames_; }
  void SetOEMFileNames(bool value) { oemFileNames_ = value; }
  TKMStorePathMode StorePath() const { return storePath_; }
  // Without stored paths no entry can be matched back to its file, so
  // synchronising is switched off.
  void SetStorePath(TKMStorePathMode value);
  bool Synchronize() const { return synchronize_; }
  void SetSynchronize(bool value);

  void Assign(const TKMOptions& source) { *this = source; }

 private:
  bool synchronize_ = false;
  TKMStorePathMode storePath_ = spRelativePath;
  bool recurse_ = true;
  TKMFileShareMode shareMode_ = smShareDenyNone;
  TKMOverwriteMode overwriteMode_ = omAlways;
  bool createDirs_ = true;
  bool replaceReadOnly_ = true;
  bool setAttributes_ = true;
  int32_t searchAttr_ = kDefaultSearchAttr;
  bool flushBuffers_ = true;
  bool oemFileNames_ = true;
};

class TKMBaseArchiver;

// Event types. The sender is always the archiver; reference arguments are
// in/out and read back after the call.
using TKMNotifyEvent = std::function<void(TKMBaseArchiver& sender)>;
using TKMProgressEvent =
    std::function<void(TKMBaseArchiver& sender, double progress, TKMProcessOperation operation,
                       TKMProgressPhase progressPhase, bool& cancel)>;
using TKMFileProgressEvent = std::function<void(
    TKMBaseArchiver& sender, const std::u16string& fileName, double progress,
    TKMProcessOperation operation, TKMProgressPhase progressPhase, bool& cancel)>;
using TKMCopyTempFileProgressEvent = std::function<void(
    TKMBaseArchiver& sender, double progress, TKMProgressPhase progressPhase, bool& cancel)>;
using TKMConfirmOverwriteEvent =
    std::function<void(TKMBaseArchiver& sender, const std::u16string& sourceFileName,
                       std::u16string& destFileName, bool& confirm)>;
using TKMConfirmProcessFileEvent =
    std::function<void(TKMBaseArchiver& sender, const std::u16string& fileName,
                       TKMProcessOperation operation, bool& confirm)>;
using TKMOnPasswordEvent =
    std::function<void(TKMBaseArchiver& sender, const std::u16string& fileName,
                       std::string& newPassword, bool& skipFile)>;
using TKMProcessFileFailureEvent = std::function<void(
    TKMBaseArchiver& sender, const std::u16string& fileName, TKMProcessOperation operation,
    int32_t nativeError, int32_t errorCode, const std::u16string& errorMessage, TKMAction& action)>;
using TKMOnRequestBlankVolumeEvent = std::function<void(
    TKMBaseArchiver& sender, int32_t volumeNumber, std::u16string& volumeFileName, bool& cancel)>;
using TKMOnRequestFirstVolumeEvent =
    std::function<void(TKMBaseArchiver& sender, std::u16string& volumeFileName, bool& cancel)>;
using TKMOnRequestLastVolumeEvent =
    std::function<void(TKMBaseArchiver& sender, std::u16string& volumeFileName, bool& cancel)>;
using TKMOnRequestMiddleVolumeEvent = std::function<void(
    TKMBaseArchiver& sender, int32_t volumeNumber, std::u16string& volumeFileName, bool& cancel)>;
using TKMOnDiskFullEvent = std::function<void(TKMBaseArchiver& sender, int32_t volumeNumber,
                                              const std::u16string& volumeFileName, bool& cancel)>;
using TKMOnStoreFileEvent =
    std::function<void(TKMBaseArchiver& sender, std::u16string& fileName, uint32_t& fileAttr,
                       std::string& comment, const std::u16string& originalFileName)>;
using TKMOnExtractFileEvent = std::function<void(TKMBaseArchiver& sender, std::u16string& fileName,
                                                 uint32_t& fileAttr, const std::string& comment)>;

// The process-wide re-entrant lock shared by every archiver object.
platform::CriticalSection& ArchiverLock();

class TKMBaseArchiver : public IKMArchiveContext {
 public:
  TKMBaseArchiver();
  virtual ~TKMBaseArchiver();
  TKMBaseArchiver(const TKMBaseArchiver&) = delete;
  TKMBaseArchiver& operator=(const TKMBaseArchiver&) = delete;

  // The component name; it prefixes exception messages when not empty.
  const std::u16string& Name() const override { return name_; }
  void SetName(std::u16string name) { name_ = std::move(name); }

  // ---- Published properties.
  bool ExtractCorruptedFiles() const { return extractCorruptedFiles_; }
  void SetExtractCorruptedFiles(bool value) { extractCorruptedFiles_ = value; }
  TKMCompressionLevel CompressionLevel() const { return compressionLevel_; }
  void SetCompressionLevel(TKMCompressionLevel value);
  uint8_t CompressionMode() const { return compressionMode_; }
  // Outside 0..9: native code 5, nothing changes.
  void SetCompressionMode(int value);
  std::u16string CurrentVersion() const;
  void SetCurrentVersion(const std::u16string&) {}  // read-only in effect
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value) { password_ = std::move(value); }
  const std::u16string& FileName() const override { return fileName_; }
  void SetFileName(std::u16string value) { fileName_ = std::move(value); }
  const std::u16string& BaseDir() const { return baseDir_; }
  void SetBaseDir(std::u16string value) { baseDir_ = std::move(value); }
  const std::u16string& TempDir() const { return tempDir_; }
  void SetTempDir(std::u16string value) { tempDir_ = std::move(value); }
  TKMSpanningMode SpanningMode() const override { return spanningMode_; }
  // Throws km::Exception while an archive is open.
  void SetSpanningMode(TKMSpanningMode value);
  TKMSpanningOptions& SpanningOptions() { return spanningOptions_; }
  const TKMSpanningOptions& SpanningOptions() const override { return spanningOptions_; }
  void SetSpanningOptions(const TKMSpanningOptions& value) { spanningOptions_.Assign(value); }
  const std::u16string& SFXStub() const override { return sfxStub_; }
  void SetSFXStub(std::u16string value) { sfxStub_ = std::move(value); }
  TKMOptions& Options() { return options_; }
  const TKMOptions& Options() const { return options_; }
  void SetOptions(const TKMOptions& value) { options_.Assign(value); }
  std::vector<std::u16string>& FileMasks() { return fileMasks_; }
  const std::vector<std::u16string>& FileMasks() const { return fileMasks_; }
  void SetFileMasks(const std::vector<std::u16string>& value) { fileMasks_ = value; }
  std::vector<std::u16string>& ExclusionMasks() { return exclusionMasks_; }
  const std::vector<std::u16string>& ExclusionMasks() const { return exclusionMasks_; }
  void SetExclusionMasks(const std::vector<std::u16string>& value) { exclusionMasks_ = value; }
  std::vector<std::u16string>& NoCompressionMasks() { return noCompressionMasks_; }
  const std::vector<std::u16string>& NoCompressionMasks() const { return noCompressionMasks_; }
  void SetNoCompressionMasks(const std::vector<std::u16string>& value) {
    noCompressionMasks_ = value;
  }
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool value);
  // A dry run writes nothing: an archive opened only for reading may take
  // a transaction, whose commit stops once its first event has told what it
  // would write (OnOverallProgress, ppStart: the current directory is then
  // the new one, RollbackDir the old). Opening refuses an archive with an
  // interrupted update to roll back or unfinished volumes to remove.
  bool DryRun() const { return dryRun_; }
  void SetDryRun(bool value) { dryRun_ = value; }
  // Threads that compress new entries ahead of the commit, and that check entries ahead of a
  // test: 0 (the default) for the cores of the machine, at most 8; otherwise that many (at most
  // kMaxThreads). The archive's bytes and the events do not depend on it.
  int Threads() const { return threads_; }
  void SetThreads(int value) { threads_ = std::clamp(value, 0, kMaxThreads); }
  static constexpr int kMaxThreads = 64;
  // The threads that Threads() stands for on this machine.
  int ThreadCount() const;
  // Bytes of blocks read or compressed ahead that may be held at a time.
  int64_t MemoryBudget() const { return memoryBudget_; }
  void SetMemoryBudget(int64_t value) { memoryBudget_ = std::max<int64_t>(value, 0); }

  // ---- Events.
  TKMFileProgressEvent OnFileProgress;
  TKMProgressEvent OnOverallProgress;
  TKMCopyTempFileProgressEvent OnCopyTempFileProgress;
  TKMConfirmOverwriteEvent OnConfirmOverwrite;
  TKMConfirmProcessFileEvent OnConfirmProcessFile;
  TKMNotifyEvent AfterOpen;
  TKMOnPasswordEvent OnPassword;
  TKMProcessFileFailureEvent OnProcessFileFailure;
  TKMOnRequestBlankVolumeEvent OnRequestBlankVolume;
  TKMOnRequestFirstVolumeEvent OnRequestFirstVolume;
  TKMOnRequestLastVolumeEvent OnRequestLastVolume;
  TKMOnRequestMiddleVolumeEvent OnRequestMiddleVolume;
  TKMOnDiskFullEvent OnDiskFull;
  TKMOnStoreFileEvent OnStoreFile;
  TKMOnExtractFileEvent OnExtractFile;

  // ---- Operations.
  // Chooses the mode: a missing file is created, an existing one opened
  // read/write, or read-only when another process denies writes.
  void OpenArchive();
  // mode: a file open mode, or -1 / 0xFFFF to create a new archive (an
  // existing file of that name is truncated).
  void OpenArchive(int32_t mode);
  // Commits a pending transaction and closes; never throws.
  void CloseArchive() noexcept;
  void SetArchiveOpen(bool value);
  void BeginUpdate();
  void EndUpdate();
  void CancelUpdate();
  bool InUpdate() const { return updateDepth_ > 0; }
  void CheckOpen() const;
  void CheckNotInUpdate() const;
  void CheckModifiable() const;

  // ---- State.
  const std::u16string& WorkDir() const { return workDir_; }
  int32_t UpdateDepth() const { return updateDepth_; }
  bool ArchiveOpen() const { return archiveOpen_; }
  bool StandardZip() const override { return standardZip_; }
  uint16_t OpenMode() const { return openMode_; }
  TKMVolumeNumberInfo& VolumeInfo() override { return volumeInfo_; }
  const TKMVolumeNumberInfo& VolumeInfo() const { return volumeInfo_; }
  bool TolerateDamage() const override { return tolerateDamage_; }
  bool OEMFileNames() const override { return options_.OEMFileNames(); }
  bool UpdateCommitted() const { return updateCommitted_; }
  TKMDirManager* DirManager() const { return dirManager_.get(); }
  // The open archive had no readable central directory: its entries were
  // found from their local headers. The next commit writes a directory even
  // when nothing else changed, and AddFiles first checks every entry.
  bool DirectoryRebuilt() const { return dirManager_ && dirManager_->DirectoryRebuilt(); }
  uint16_t CompressionMethod() const { return compressionMethod_; }
  TStream* ArchiveStream() const override { return archiveStream_.get(); }
  int32_t AddedCount() const { return addedCount_; }
  int32_t DeletedCount() const { return deletedCount_; }
  const std::u16string& CurrentVolumeName() const override { return currentVolumeName_; }
  // Set from the Cancel of the last progress event.
  bool Cancelled() const { return cancelled_; }
  // Why the entry being extracted or tested could not be put out: the
  // host's error code of the write or file operation that failed (0 when
  // none did), and the file it was meant for (empty for a stream). What a
  // failure handler reads to tell a full disk from bad data.
  int32_t OutputError() const { return outputError_; }
  const std::u16string& OutputFileName() const { return outputFileName_; }
  // Not empty when the last open found an interrupted update and rolled the
  // archive back: what a front end tells the user, once.
  const std::u16string& RecoveryNote() const { return recoveryNote_; }

  // ---- Event dispatchers, each with its default when no handler is set.
  virtual void UpdateCompressionMethod();
  virtual void DoOverallProgress(double progress, TKMProcessOperation operation,
                                 TKMProgressPhase phase, bool& cancel);
  virtual void DoFileProgress(const std::u16string& fileName, double progress,
                              TKMProcessOperation operation, TKMProgressPhase phase, bool& cancel);
  virtual void DoCopyTempFileProgress(double progress, TKMProgressPhase phase, bool& cancel);
  virtual void DoConfirmOverwrite(const std::u16string& sourceFileName,
                                  std::u16string& destFileName, bool& confirm);
  // True when a handler ran (and so may have touched the file since it
  // was listed).
  virtual bool DoConfirmProcessFile(const std::u16string& fileName, TKMProcessOperation operation,
                                    bool& confirm);
  virtual void DoPassword(const std::u16string& fileName, std::string& newPassword, bool& skipFile);
  virtual void DoProcessFileFailure(const std::u16string& fileName, TKMProcessOperation operation,
                                    int32_t nativeError, int32_t errorCode,
                                    const std::u16string& errorMessage, TKMAction& action);
  // volumeNumber is 0-based here; handlers and dialogs see it counted from 1.
  virtual void DoRequestBlankVolume(int32_t volumeNumber, std::u16string& volumeFileName,
                                    bool& cancel);
  virtual void DoRequestFirstVolume(std::u16string& volumeFileName, bool& cancel);
  virtual void DoRequestLastVolume(std::u16string& volumeFileName, bool& cancel);
  virtual void DoRequestMiddleVolume(int32_t volumeNumber, std::u16string& volumeFileName,
                                     bool& cancel);
  virtual void DoDiskFull(int32_t volumeNumber, const std::u16string& volumeFileName, bool& cancel);
  // True when a handler ran.
  virtual bool DoStoreFile(std::u16string& fileName, uint32_t& fileAttr,
                           const std::u16string& sourceFileName, std::string& comment);
  virtual void DoExtractFile(std::u16string& fileName, uint32_t& fileAttr,
                             const std::string& comment);

  // ---- Volumes.
  // Replaces name by the file name of volume n (0-based; -1: the last one).
  // Where file names differ by case, a generated extension (.Z01, .ZIP) is
  // the one found on disk, and lower case (.z01, .zip) for a new volume.
  void VolumeFileName(std::u16string& name, int32_t volumeNumber, bool checkExists) const;
  // The name's extension contains ".exe", ignoring case.
  static bool HasSfxExtension(const std::u16string& name);
  // Free bytes for the caller where path lies.
  static int64_t FreeSpace(const std::u16string& path);
  // Makes ArchiveStream the volume info names, asking for it as needed;
  // native code 45 when the request is cancelled.
  void OpenVolume(const TKMVolumeNumberInfo& info) override;
  void OpenVolumeFile(const std::u16string& fileName);
  // Writes up to count bytes across the volume chain (info and volumeStream
  // follow it to the next volume); returns the bytes taken.
  int64_t WriteToVolumes(const void* buffer, int32_t count, TStream* staging, int32_t reserve,
                         TKMVolumeNumberInfo& info, TStream*& volumeStream);
  // WriteToVolumes; native code 46 when not every byte was taken.
  void WriteToVolumesChecked(const void* buffer, int32_t count, TStream* staging, int32_t reserve,
                             TKMVolumeNumberInfo& info, TStream*& volumeStream) override;
  TStream* MoveLastVolumeToArchiveName() override;
  // Copies count bytes of source from its position (-1: the rest of it) into
  // the volume chain, as WriteToVolumesChecked writes them. With
  // reportProgress, the copy-progress event runs before, during and after;
  // its Cancel stops the copy and stays in cancel. A source that ends early
  // raises EReadError.
  void CopyToVolumes(TStream& source, TStream*& volumeStream, bool reportProgress, TStream* staging,
                     int32_t reserve, int64_t count, bool& cancel, TKMVolumeNumberInfo& info);

  // ---- Entry data: compression (archiver/Compress.cpp).
  // The deflate library failed (opening, deflating or closing a stream); its
  // message is "error".
  class ECompressionError : public Exception {
   public:
    ECompressionError() : Exception(u"error") {}
  };
  // Writes the data of one entry from source at output's position; false
  // when cancelled. Fills the item's CRC and sizes when complete. A source
  // that yields fewer bytes than its size (it shrank, or a read failed)
  // raises an EKMException naming the file, so that it fails this entry
  // alone.
  bool CompressEntry(TStream& source, TStream& output, TDirItem& item);
  // What went wrong with a source file, as the failure event reports it:
  // what (such as "Cannot read file"), the file, and the system's words for
  // systemError when there is one. Native code 33.
  EKMException SourceFileError(std::u16string_view what, const std::u16string& fileName,
                               int systemError) const;
  // A source that gave bytesRead of its size bytes: a read that failed, or a
  // file cut short while it was read ("changed while being read").
  EKMException ShortRead(TStream& source, const TDirItem& item, int64_t size,
                         int64_t bytesRead) const;
  EKMException ShortRead(int systemError, const TDirItem& item, int64_t size,
                         int64_t bytesRead) const;
  // False when the user declined to go on after a full disk (Cancelled set).
  // A handler that keeps clearing Cancel has the same block written again
  // from the same position for as long as it does.
  bool WriteBlockWithRetry(TStream& output, const void* buffer, int64_t count);
  // The same for the plain data that testing and extracting put out, where
  // a write given up is the entry's failure and not a cancel: false then,
  // with OutputError set, Cancelled untouched.
  bool WriteOutputBlock(TStream& output, const void* buffer, int64_t count);

 protected:
  // Seeds the random bytes of an encryption header: the high-resolution
  // counter, else the tick count. Tests fix it to get known bytes.
  virtual uint32_t EncryptionSeed();

 private:
  // CompressEntry for a source of size bytes, read here or, when ahead is
  // given, read and deflated ahead of the commit.
  bool CompressEntry(TStream* source, TCompressAhead::TEntry* ahead, int64_t size, TStream& output,
                     TDirItem& item);
  // The deflate stream, kept from one entry to the next.
  struct TDeflateCache;
  struct TDeflateCacheDeleter {
    void operator()(TDeflateCache* cache) const;
  };
  std::unique_ptr<TDeflateCache, TDeflateCacheDeleter> deflateCache_;
  // CompressEntry's read buffer, lent to one call at a time.
  std::vector<uint8_t> readBuffer_;
  // CopyToVolumes' buffer, kept from one entry to the next.
  std::vector<uint8_t> copyBuffer_;
  // Puts n bytes, from offset at of the block being placed, into target;
  // returns the bytes taken.
  using TVolumePut = std::function<int64_t(TStream& target, int64_t at, int64_t n)>;
  // WriteToVolumes for a block that put supplies: the same room, reserve
  // and volume switches whether the bytes come from memory or from a file.
  int64_t PlaceInVolumes(int64_t count, TStream* staging, int32_t reserve,
                         TKMVolumeNumberInfo& info, TStream*& volumeStream, const TVolumePut& put);
  // Copies n bytes of source from offset on to target's position, between
  // two files in the kernel; returns the bytes target took.
  int64_t CopyFileBytes(TFileStream& source, int64_t offset, TStream& target, int64_t n);

 public:
  // ---- Entry data: decompression (archiver/Decompress.cpp).
  // The inflate library failed in a way bad data cannot explain (memory,
  // stream state); its message is "error". Corrupt data only fails the entry.
  class EDecompressionError : public Exception {
   public:
    using Exception::Exception;
  };
  // source is positioned at the entry's local header. True when the data
  // came out whole with the item's size and CRC-32. Raises native code 55
  // for Deflate64.
  bool DecompressEntry(TStream& source, TStream& output, const TDirItem& item);
  bool CheckPassword(TStream& stream, const std::string& password, KeySet& keys, uint32_t crc32,
                     uint16_t modTime, uint16_t flags);
  // The first output buffer size for n input bytes of the item's data.
  int64_t PredictOutputSize(int64_t n, const TDirItem& item) const;
  // Reads count bytes, going on in the next volumes as they end.
  bool ReadAcrossVolumes(void* buffer, int64_t count, TKMVolumeNumberInfo& volume);

  // ---- Finding, testing, extracting (archiver/Process.cpp).
  bool FindFirst(const std::u16string& mask, TKMArchiveItem& record, int32_t searchAttr,
                 const std::u16string& exclusionMask);
  bool FindNext(TKMArchiveItem& record);
  // Opens the archive with mode (one that only reads) for one walk over its
  // entries, as listing it needs: the directory is read and checked as
  // OpenArchive reads it, but not kept (see TKMDirManager::SetKeepEntries),
  // so an archive of any size takes little memory. opened runs once the
  // archive is open (RecoveryNote, DirectoryRebuilt and the nameless entries
  // are known then); then visit gets every entry in order, and the archive
  // is closed, also when either of them throws.
  void WalkEntries(int32_t mode, const std::function<void()>& opened,
                   const std::function<void(const TDirItem&)>& visit);
  bool FindFirstByMasks(TKMArchiveItem& record);
  void MarkByMask(const std::u16string& mask, int32_t searchAttr,
                  const std::u16string& exclusionMask);
  // Needs an open archive and no pending transaction.
  void TestFiles(const std::u16string& mask, int32_t searchAttr,
                 const std::u16string& exclusionMask);
  // Marks like TestFiles and extracts under BaseDir (or the current directory).
  void ExtractFiles(const std::u16string& mask, int32_t searchAttr,
                    const std::u16string& exclusionMask);
  void ProcessFiles(TKMProcessOperation operation);
  void DeleteEntry(int32_t index);
  void UpdateEntry(int32_t index, const std::u16string& name, const std::u16string& destDir);
  void ExtractEntry(int32_t index, const std::u16string& name, const std::u16string& destDir);
  void TestEntry(int32_t index, const std::u16string& name);
  // checkedAhead: the running test's workers may have checked the entry.
  void ExtractToStream(int32_t index, TStream& stream, bool checkedAhead = false);

  // ---- Adding and synchronising (archiver/Add.cpp).
  // What a directory listing tells about one file or folder.
  struct TKMFoundFile {
    std::u16string Name;  // last path component
    uint32_t Attr = 0;
    int64_t Size = 0;
    uint32_t Time = 0xFFFFFFFF;  // last write as a DOS date-time; all bits set: not listed
    int64_t WriteTime = 0;       // last write, exact (platform FileTime); 0: not known
  };
  // Makes the directory mirror the files under BaseDir that FileMasks select
  // less ExclusionMasks and the archive itself, in a transaction of its own;
  // with Options().Synchronize() entries whose files are gone go too.
  void AddFiles();
  // Removes the entries (selected as FileMasks less ExclusionMasks select)
  // whose files are gone. Without an existing BaseDir it only says so.
  void DeleteMissingFiles();
  // Scans BaseDir with each mask in turn, under the archiver lock.
  void AddFilesByMasks(const std::vector<std::u16string>& masks, int32_t searchAttr, bool recurse,
                       bool moveFiles, const std::vector<std::u16string>& exclusions);
  // The index of the entry appended or marked for replacement, or -1 when
  // the existing entry is left alone.
  int32_t AddFile(const std::u16string& fileName, const std::u16string& base);
  void InitItemFromFile(int32_t index, const std::u16string& fileName);
  // The entry name ('/' separators, no leading one) of path for a mode.
  static std::u16string MakeStoredName(const std::u16string& path, const std::u16string& base,
                                       TKMStorePathMode mode, const std::u16string& workDir);
  // Marks the selected entries whose file or folder no longer exists. One
  // the system cannot tell about (for any reason but "not found") is kept,
  // and reported unless the scan reported it or a folder above it.
  void MarkMissingFiles(TKMScan& scan);
  // What MarkMissingFiles joins an entry's path to (its mode is not spNoPath).
  std::u16string MissingFilesPrefix() const;

  // ---- Mending a rebuilt directory (archiver/Add.cpp).
  // With DirectoryRebuilt: notes every entry that was never finished (the
  // provisional header the rebuild writes before the data), whose bytes run
  // past the file or into the next entry's header, or whose data does not
  // match its header. AddFiles replaces such an entry from its file and drops
  // it when no file replaced it. Reads every entry's data once.
  void FindDamagedEntries();
  // An entry FindDamagedEntries noted, not replaced since.
  bool IsDamagedEntry(const TDirItem& item) const;
  // Removes the noted entries still unreplaced; counted as deleted.
  void DropDamagedEntries();

  // ---- Progress of the running operation.
  int64_t TotalBytes() const { return totalBytes_; }
  int64_t DoneBytes() const { return doneBytes_; }
  bool SkipFile() const { return skipFile_; }
  int32_t ProcessedCount() const { return processedCount_; }
  int32_t MarkedCount() const { return markedCount_; }

 protected:
  // Applies a pending transaction: rewrites the archive in place from its
  // first changed entry (archiver/Rebuild.cpp). Cancel or failure leaves the
  // archive file as it was and the current directory as the rollback copy.
  virtual void CommitUpdate();

  // ---- Rebuild (archiver/Rebuild.cpp).
  // Every byte the rebuild writes into the archive or into its saved tail
  // passes through here; returns the bytes taken. Tests fail chosen writes.
  virtual int64_t WriteArchiveBytes(TStream& target, const void* buffer, int64_t count);
  // Copies count bytes from from's position to to's (the archive and its
  // saved bytes), in the kernel between two files; returns the bytes copied.
  // Every copy of the rebuild passes through here.
  virtual int64_t CopyArchiveBytes(TStream& from, TStream& to, int64_t count);
  // Every block of plain data that testing or extracting writes passes
  // through here; returns the bytes taken. Tests fail chosen writes.
  virtual int64_t WriteOutputBytes(TStream& output, const void* buffer, int64_t count);
  // Writes entry index from its source at the end of the archive; false when
  // cancelled. An EKMException fails this entry alone (see RunStep).
  bool WriteNewEntry(int32_t index);
  // The reading ahead for the new entries from index from on, or null when
  // there is nothing to read ahead or one thread is to do everything.
  std::unique_ptr<TCompressAhead> StartCompressAhead(int32_t from);
  // A new multi-volume archive's entry index, written whole into entry
  // (headerLength bytes of header, name and extra fields, then the data),
  // goes into the volume chain. A cancel or failure is told (through the
  // failure event) and aborts the commit.
  void CopyEntryToVolumes(int32_t index, TStream& entry, int64_t headerLength,
                          const std::u16string& failedName);
  // Copies the old bytes of entry index from the saved tail to the end of the
  // archive. restoreOld also gives the entry back its old directory fields.
  void CopyOldEntry(int32_t index, bool restoreOld);
  // The archive's former bytes and directory come back.
  void RollbackUpdate();
  // A new, empty, unique temporary file in TempDir or the host's folder.
  std::u16string MakeTempFileName();
  // Deletes the sources of moved entries once the commit stands; false when
  // the failure event answered Abort.
  bool DeleteMovedSources();
  // Runs step until it gets through or the failure event, told of the
  // EKMException that stopped it, answers anything but Retry: the protocol
  // of every per-entry step of a run. True when the step got through;
  // otherwise action says whether the run goes on (fxaIgnore) or stops.
  bool RunStep(const std::u16string& name, TKMProcessOperation operation, TKMAction& action,
               const std::function<void()>& step);

  class TRebuildStream;
  friend class TKMCommit;
  // The commit under way, while CommitUpdate runs.
  TKMCommit* commit_ = nullptr;
  // The sources its new entries are read from ahead of it, when threads
  // are used; the next WriteNewEntry may take its entry from there (not
  // when it tries an entry again: that reads the file anew).
  TCompressAhead* ahead_ = nullptr;
  bool aheadAllowed_ = false;

  // Plays back a journal an interrupted commit left beside the archive,
  // before anything reads it; raises EKMArchiveBusy while a running commit
  // owns it.
  void PlayBackJournal();
  std::u16string recoveryNote_;
  // Removes the volumes (and their record) of a creation cut short.
  void RemoveUnfinishedVolumes();
  // While a new split archive is created: the record of the files it makes,
  // so that an open after a crash can remove them.
  std::unique_ptr<TKMVolumeRecord> volumeRecord_;

  bool HasSfxStub(const std::u16string& name) const;
  // Recognises single-file, spanned and split archives and reads the
  // directory of the one found (native code 48 when it has no end record).
  void ExamineArchive();
  // Whether ExamineArchive keeps the entries it reads (WalkEntries: not).
  bool keepDirectory_ = true;
  // SpanningMode (and possibly AdvancedNaming) from the end record found.
  void DetectVolumeKind();
  void ReleaseArchive();
  // Nothing has been written to the open archive beyond a stub, so closing
  // must still give it an empty directory.
  bool HoldsNothingYet() const;

  std::u16string name_;
  bool extractCorruptedFiles_ = false;
  TKMCompressionLevel compressionLevel_ = clNormal;
  uint8_t compressionMode_ = 6;
  std::string password_;
  std::u16string fileName_;
  std::u16string baseDir_;
  std::u16string tempDir_;
  TKMSpanningMode spanningMode_ = smNone;
  TKMSpanningOptions spanningOptions_;
  std::u16string sfxStub_;
  TKMOptions options_;
  std::vector<std::u16string> fileMasks_;
  std::vector<std::u16string> exclusionMasks_;
  std::vector<std::u16string> noCompressionMasks_;
  bool inMemory_ = false;
  bool dryRun_ = false;
  int threads_ = 0;
  int64_t memoryBudget_ = 64 * 1024 * 1024;
  TZip64Mode zip64Mode_ = zmDisabled;
  bool unicodeFilenames_ = true;

  std::u16string workDir_;
  int32_t updateDepth_ = 0;
  bool archiveOpen_ = false;
  bool standardZip_ = false;
  uint16_t openMode_ = 0;
  TKMVolumeNumberInfo volumeInfo_;
  bool tolerateDamage_ = true;
  bool updateCommitted_ = false;
  std::unique_ptr<TKMDirManager> dirManager_;
  uint16_t compressionMethod_ = 0xFFFF;
  std::unique_ptr<TStream> archiveStream_;
  int32_t addedCount_ = 0;
  int32_t deletedCount_ = 0;
  std::u16string currentVolumeName_;
  bool cancelled_ = false;
  int32_t outputError_ = 0;
  std::u16string outputFileName_;

  // Progress of the running operation.
  int64_t totalBytes_ = 0;      // source bytes the rebuild will compress
  int64_t doneBytes_ = 0;       // of those, compressed so far
  int64_t fileBytesDone_ = 0;   // of the current entry
  int64_t fileBytesTotal_ = 0;  // size of the current entry
  bool progressEnabled_ = false;
  // The last name DoFileProgress was given, in the form handlers are shown,
  // while a handler holds it busy.
  std::u16string progressName_;
  std::u16string progressShown_;
  bool progressShownBusy_ = false;
  bool skipFile_ = false;  // the password request chose to skip the entry
  int32_t processedCount_ = 0;
  int32_t markedCount_ = 0;

  // RacyFrom() as the running add or refresh took it when it began.
  int64_t racyFrom_ = 0;
  // The scan of the AddFiles run (or of the pass or check run alone).
  friend class TKMScan;
  TKMScan* scan_ = nullptr;
  // While AddFiles mends a rebuilt directory: the local header offsets of
  // its damaged entries, ascending (offsets of a rebuilt directory are
  // unique, and stay with an entry as others are added or deleted).
  std::vector<int64_t> damagedEntries_;

  // Published by TKavoMill.
  TZip64Mode Zip64Mode() const { return zip64Mode_; }
  void SetZip64Mode(TZip64Mode value) { zip64Mode_ = value; }
  bool UnicodeFilenames() const { return unicodeFilenames_; }
  void SetUnicodeFilenames(bool value) { unicodeFilenames_ = value; }

 private:
  // ---- Refreshing an entry (archiver/Process.cpp).
  // Makes the file the entry's new data source as adding a file does: its
  // attributes, time and size, the archiver's method, mode and password; the
  // name and comment stay. CRC and compressed size are left for the commit.
  void RefreshItemFromFile(TDirItem& item, const std::u16string& fileName);
  // The same with what is already known about the file (dosTime
  // kInvalidDosTime: none, the current time is taken). A known writeTime
  // (exact, platform FileTime) goes into the entry's NTFS time field.
  void RefreshItem(TDirItem& item, const std::u16string& fileName, uint32_t attributes,
                   uint32_t dosTime, int64_t writeTime, int64_t size);
  // From when on a file's time makes its unchanged-looking entry suspect
  // (see FileReplacesEntry): the archive file's own last write, as it was
  // before this run, less the clock margin. None is when that cannot be
  // known (an archive in memory): the time rule alone decides there.
  int64_t RacyFrom() const;
  // The CRC-32 of a file's contents; false when it cannot be read (or is a
  // pipe or device, which would never end).
  bool FileCrc32(const std::u16string& fileName, uint32_t& crc) const;
  // AddFile, taking the file's attributes, size and time from its listing
  // (listed) where nothing can have changed them since.
  int32_t AddListedFile(const std::u16string& fileName, const std::u16string& base,
                        const TKMFoundFile* listed);

 private:
  // ---- Decompression steps (archiver/Decompress.cpp).
  // Where ReadAcrossVolumes reads: the running entry's source, then each
  // next volume it moves to (the source may be the volume it replaces).
  TStream* dataSource_ = nullptr;
  // The inflate stream and the data buffers, kept from one entry to the
  // next; an entry read while another is under way (from an event) takes
  // its own.
  struct TInflateCache;
  struct TInflateCacheDeleter {
    void operator()(TInflateCache* cache) const;
  };
  std::unique_ptr<TInflateCache, TInflateCacheDeleter> inflateCache_;
  // ExtractToStream's copy of the entry it reads, kept so that its names and
  // fields keep their memory from one entry to the next; in use while busy.
  TDirItem entryCopy_;
  bool entryCopyBusy_ = false;
  // Progress of an entry's data at bytesIn; false when cancelled.
  bool ReportDataProgress(const TDirItem& item, int64_t bytesIn);
  // Testing ahead on worker threads (archiver/Process.cpp): the running
  // test's workers, and the next entry of the directory to give them.
  TVerifyAhead* verifyAhead_ = nullptr;
  int32_t verifyNext_ = 0;
  std::unique_ptr<TVerifyAhead> StartVerifyAhead();
  // Gives the workers up to room entries after the last given.
  void FeedVerifyAhead(size_t room);
  // Raises the events of an entry the workers checked, as reading it would
  // have; true when its data came out whole.
  bool ReplayVerified(TVerifyAhead::TEntry& entry, const TDirItem& item, bool& checked);
  // The stored/deflated and the segmented layouts; bytesOut and crc
  // accumulate over what reached the output.
  bool DecompressData(TStream& output, const TDirItem& item, const TLocalFileHeader& local,
                      int64_t length, TKMVolumeNumberInfo& volume, int64_t& bytesOut,
                      uint32_t& crc);
  bool DecompressSegments(TStream& output, const TDirItem& item, int64_t length,
                          TKMVolumeNumberInfo& volume, int64_t& bytesOut, uint32_t& crc);
};

class TKavoMill : public TKMBaseArchiver {
 public:
  TKavoMill();
  ~TKavoMill() override;

  using TKMBaseArchiver::SetUnicodeFilenames;
  using TKMBaseArchiver::SetZip64Mode;
  using TKMBaseArchiver::UnicodeFilenames;
  using TKMBaseArchiver::Zip64Mode;

  // Deflate whenever there is anything to compress with.
  void UpdateCompressionMethod() override;
};

}  // namespace km
