// Volumes of a split or spanned archive: their names, the requests for
// them and their default boxes, writing across them, and recognising the
// kind of an existing archive from the volume found.
#include <algorithm>
#include <charconv>
#include <limits>

#include "archiver/Archiver.h"
#include "archiver/Journal.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"
#include "support/ScopeExit.h"

namespace km {

namespace {

// Asking for a volume again and again is the user's choice, but a front end
// that always answers OK (or a handler that always proposes a missing file)
// must not keep a run waiting forever.
constexpr int kMaxVolumeRequests = 1000;

// A volume needs room for at least this much to be worth taking.
constexpr int64_t kMinVolumeFreeSpace = 65536;

std::u16string Digits(int64_t value, size_t minDigits) {
  char buf[32];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  std::u16string out(buf, result.ptr);
  if (out.size() < minDigits) out.insert(0, minDigits - out.size(), u'0');
  return out;
}

// The numbered volumes of a split set and its last volume get extensions
// spelt in capitals (data.Z01, data.ZIP). Info-ZIP and 7-Zip write and look
// for them in lower case (data.z01, data.zip), and where file names differ by
// case only that spelling joins their sets: a name is looked for under both,
// and a new volume takes theirs.
std::u16string GeneratedVolumeName(const std::u16string& stem, const std::u16string& ext) {
  if (!platform::kCaseSensitiveFileNames) return stem + ext;
  std::u16string name = stem + ext;
  if (!FileExists(name)) name = stem + platform::WideLowerCase(ext);
  return name;
}

platform::TModalResult AskOkCancel(const std::u16string& text) {
  platform::MessageBoxRequest request;
  request.text = text;
  request.type = platform::mtConfirmation;
  request.buttons = {platform::mbOK, platform::mbCancel};
  return platform::ShowMessageBox(request);
}

// Nobody can insert a disk: the box's default answer (OK) would only take
// whatever file carries the name, which may be any disk's volume.
bool NobodyToAsk() {
  return platform::GetDialogServices() == nullptr;
}

}  // namespace

// ---- Volume requests

void TKMBaseArchiver::DoRequestBlankVolume(int32_t volumeNumber, std::u16string& volumeFileName,
                                           bool& cancel) {
  if (volumeNumber < 0) volumeNumber = 0;
  VolumeFileName(volumeFileName, volumeNumber, false);
  cancel = false;
  if (OnRequestBlankVolume) {
    OnRequestBlankVolume(*this, volumeNumber + 1, volumeFileName, cancel);
  } else if (spanningMode_ == smSpanning) {
    cancel = AskOkCancel(KMFormat(u"Please insert a blank disk #%d",
                                  {int64_t(volumeNumber) + 1})) != platform::mrOk;
  }
}

void TKMBaseArchiver::DoRequestFirstVolume(std::u16string& volumeFileName, bool& cancel) {
  const std::u16string original = volumeFileName;
  const bool handled = bool(OnRequestFirstVolume);
  VolumeFileName(volumeFileName, 0, !handled);
  cancel = false;
  if (handled) {
    OnRequestFirstVolume(*this, volumeFileName, cancel);
  } else if (spanningMode_ == smSpanning) {
    cancel = NobodyToAsk() || AskOkCancel(u"Please insert the first disk") != platform::mrOk;
    // The inserted disk decides which naming it carries.
    volumeFileName = original;
    VolumeFileName(volumeFileName, 0, true);
  } else {
    cancel = !FileExists(volumeFileName);
  }
}

void TKMBaseArchiver::DoRequestLastVolume(std::u16string& volumeFileName, bool& cancel) {
  VolumeFileName(volumeFileName, -1, true);
  cancel = false;
  if (OnRequestLastVolume) {
    OnRequestLastVolume(*this, volumeFileName, cancel);
  } else if (spanningMode_ == smSpanning) {
    cancel = NobodyToAsk() || AskOkCancel(u"Please insert the last disk") != platform::mrOk;
    for (int asked = 0; !cancel && !FileExists(volumeFileName); ++asked) {
      if (asked >= kMaxVolumeRequests) {
        cancel = true;
        break;
      }
      cancel = AskOkCancel(KMFormat(u"File '%s' not found on inserted disk. Please insert last "
                                    u"disk with required file",
                                    {volumeFileName})) != platform::mrOk;
    }
  } else {
    cancel = !FileExists(volumeFileName);
  }
}

void TKMBaseArchiver::DoRequestMiddleVolume(int32_t volumeNumber, std::u16string& volumeFileName,
                                            bool& cancel) {
  const std::u16string original = volumeFileName;
  const bool handled = bool(OnRequestMiddleVolume);
  VolumeFileName(volumeFileName, volumeNumber, !handled);
  cancel = false;
  if (handled) {
    OnRequestMiddleVolume(*this, volumeNumber + 1, volumeFileName, cancel);
    return;
  }
  if (spanningMode_ == smSpanning)
    cancel = NobodyToAsk() || AskOkCancel(KMFormat(u"Please insert disk #%d",
                                                   {int64_t(volumeNumber) + 1})) != platform::mrOk;
  else
    cancel = !FileExists(volumeFileName);
  volumeFileName = original;
  VolumeFileName(volumeFileName, volumeNumber, true);
}

void TKMBaseArchiver::DoDiskFull(int32_t volumeNumber, const std::u16string& volumeFileName,
                                 bool& cancel) {
  cancel = false;
  // Spanning asks the user to make room. With nobody to ask, OK (the box's
  // default) would retry the write for ever: the write stops instead.
  if (OnDiskFull) {
    OnDiskFull(*this, volumeNumber + 1, volumeFileName, cancel);
  } else if (spanningMode_ == smSpanning && !NobodyToAsk()) {
    TKMVolumeNumberInfo info;
    info.SetNumber(volumeNumber);
    // Without a size limit a disk needs more than the least a volume takes;
    // "-1 bytes" would tell the user nothing.
    const int64_t limit = spanningOptions_.VolumeSizeLimit(info);
    const int64_t required = limit > 0 ? limit : kMinVolumeFreeSpace + 1;
    cancel = AskOkCancel(KMFormat(u"Disk is full. Required free space: %d bytes, but available "
                                  u"only: %d bytes. Clean the disk or find another blank disk",
                                  {required, FreeSpace(volumeFileName)})) != platform::mrOk;
  } else {
    cancel = true;
  }
}

// ---- Volumes

bool TKMBaseArchiver::HasSfxExtension(const std::u16string& name) {
  return platform::WideLowerCase(ExtractFileExt(name)).find(u".exe") != std::u16string::npos;
}

bool TKMBaseArchiver::HasSfxStub(const std::u16string& name) const {
  if (dirManager_ && dirManager_->StubSize() != 0) return true;
  return !sfxStub_.empty() || HasSfxExtension(name);
}

void TKMBaseArchiver::VolumeFileName(std::u16string& name, int32_t volumeNumber,
                                     bool checkExists) const {
  if (spanningMode_ == smNone) return;
  const std::u16string dir = ExtractFilePath(name);
  const std::u16string ext = ExtractFileExt(name);
  std::u16string base = ExtractFileName(name);
  base.resize(base.size() - ext.size());
  const bool sfx = HasSfxStub(name);

  if (volumeNumber == -1) {
    if (sfx && spanningMode_ == smSplitting)
      name = GeneratedVolumeName(dir + base, compressionMethod_ < 252 ? u".ZIP" : u".KM");
    return;
  }
  // Any other negative number would make no sense as a name; take volume 0.
  const int64_t shown = int64_t(std::max(volumeNumber, 0)) + 1;

  if (spanningMode_ == smSpanning) {
    const std::u16string e = sfx ? std::u16string(u".exe") : ext;
    const std::u16string numbered = dir + base + u"_" + Digits(shown, 3) + e;
    const std::u16string plain = dir + base + e;
    const bool advanced = spanningOptions_.AdvancedNaming();
    name = advanced ? numbered : plain;
    // A disk written under the other naming is still recognised.
    if (checkExists && !FileExists(name)) {
      const std::u16string other = advanced ? plain : numbered;
      if (FileExists(other)) name = other;
    }
    return;
  }

  // smSplitting
  if (volumeNumber == 0 && sfx)
    name = dir + base + u".exe";
  else if (spanningOptions_.AdvancedNaming())
    name = dir + base + u"_" + Digits(shown, 3) + ext;
  else
    name = GeneratedVolumeName(dir + base,
                               (compressionMethod_ < 252 ? u".Z" : u".F") + Digits(shown, 2));
  // A set made behind a self-extractor stub begins with the stub's file; a
  // reader that was not told about the stub still finds it there.
  if (checkExists && volumeNumber == 0 && !sfx && !FileExists(name) &&
      FileExists(dir + base + u".exe"))
    name = dir + base + u".exe";
}

int64_t TKMBaseArchiver::FreeSpace(const std::u16string& path) {
  const std::u16string full = platform::FullPathName(path);
  // The folder itself first: on a POSIX host the drive root is "/", while
  // the folder may sit on another mounted file system.
  int64_t free = platform::DiskFreeSpace(ExtractFilePath(full));
  if (free < 0) free = platform::DiskFreeSpace(IncludeTrailingSeparator(ExtractFileDrive(full)));
  // Unknown free space limits nothing; a disk that really is full still
  // shows up as a short write.
  return free < 0 ? std::numeric_limits<int64_t>::max() : free;
}

void TKMBaseArchiver::OpenVolumeFile(const std::u16string& fileName) {
  // Close the previous volume before the next one is opened or created.
  if (dirManager_) dirManager_->SetArchiveStreamRef(nullptr);
  archiveStream_.reset();
  // A shared reader keeps a commit from starting under it and is kept out
  // while one runs: it never sees an archive half rewritten. Other readers
  // are welcome, so the lock is not the one that denying writes takes.
  const bool shared = openMode_ == kOpenModeReadShared;
  // A new single-file archive is an empty archive from the moment it shows
  // up: a run killed before its first commit leaves one, never a file that
  // no tool reads.
  std::string initial;
  if (openMode_ == kOpenModeCreate && spanningMode_ == smNone && sfxStub_.empty() &&
      !HasSfxExtension(fileName)) {
    TEndOfCentralDir end;
    end.Signature = standardZip_ ? TEndOfCentralDir::kSignature : TEndOfCentralDir::kAltSignature;
    ByteWriter out;
    EncodeEndOfCentralDir(end, out);
    initial.assign(reinterpret_cast<const char*>(out.Data().data()), out.Size());
  }
  auto stream =
      std::make_unique<TFileStream>(fileName, shared ? kOpenModeReadOnly : openMode_, initial);
  if (shared && !stream->Handle().LockShared()) throw EKMArchiveBusy(fileName);
  archiveStream_ = std::move(stream);
  currentVolumeName_ = fileName;
  if (dirManager_) dirManager_->SetArchiveStreamRef(archiveStream_.get());
}

void TKMBaseArchiver::OpenVolume(const TKMVolumeNumberInfo& info) {
  if (spanningMode_ == smNone) {
    if (!archiveStream_) OpenVolumeFile(fileName_);
    volumeInfo_.VolumeNumber = info.VolumeNumber;
    volumeInfo_.VolumeKind = info.VolumeKind;
    return;
  }

  bool cancel = false;
  if (openMode_ == kOpenModeCreate) {
    if (dirManager_) dirManager_->SetArchiveStreamRef(nullptr);
    archiveStream_.reset();
    const int64_t limit = spanningOptions_.VolumeSizeLimit(info);
    std::u16string name;
    bool accepted = false;
    for (int asked = 0; !accepted && !cancel; ++asked) {
      if (asked >= kMaxVolumeRequests) {
        cancel = true;
        break;
      }
      name = fileName_;
      DoRequestBlankVolume(info.VolumeNumber, name, cancel);
      if (cancel) break;
      const int64_t free = FreeSpace(name);
      accepted = free > kMinVolumeFreeSpace &&
                 (limit <= 0 || spanningMode_ == smSplitting || free >= limit);
      if (!accepted) DoDiskFull(info.VolumeNumber, name, cancel);
    }
    if (cancel) throw EKMException(kmeVolumeRequestCancelled, this);
    if (volumeRecord_) volumeRecord_->Add(name);
    OpenVolumeFile(name);
    if (spanningMode_ == smSpanning) {
      const int64_t labelNumber = std::max<int64_t>(int64_t(info.VolumeNumber) + 1, 1);
      // Hosts that cannot label a mounted disk simply keep its label.
      platform::SetVolumeLabel(
          IncludeTrailingSeparator(ExtractFileDrive(platform::FullPathName(name))),
          u"pkback# " + Digits(labelNumber, 3));
    }
    return;
  }

  if (volumeInfo_.SameVolume(info)) return;
  // The volume in hand is let go before another is asked for: a disk with a
  // file open on it cannot be taken out, nor its file replaced.
  if (archiveStream_ && !inMemory_) {
    if (dirManager_) dirManager_->SetArchiveStreamRef(nullptr);
    archiveStream_.reset();
    volumeInfo_.VolumeNumber = -1;
    volumeInfo_.VolumeKind = vkUnknown;
  }
  for (int asked = 0;; ++asked) {
    if (asked >= kMaxVolumeRequests) {
      cancel = true;
      break;
    }
    std::u16string name = fileName_;
    if (info.IsFirst())
      DoRequestFirstVolume(name, cancel);
    else if (info.IsLast())
      DoRequestLastVolume(name, cancel);
    else
      DoRequestMiddleVolume(info.VolumeNumber, name, cancel);
    if (cancel) break;
    if (name.empty() && spanningMode_ == smSplitting) return;
    if (FileExists(name)) {
      OpenVolumeFile(name);
      volumeInfo_.VolumeNumber = info.VolumeNumber;
      volumeInfo_.VolumeKind = info.VolumeKind;
      return;
    }
  }
  throw EKMException(kmeVolumeRequestCancelled, this);
}

int64_t TKMBaseArchiver::WriteToVolumes(const void* buffer, int32_t count, TStream* staging,
                                        int32_t reserve, TKMVolumeNumberInfo& info,
                                        TStream*& volumeStream) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  return PlaceInVolumes(
      count, staging, reserve, info, volumeStream,
      [bytes](TStream& target, int64_t at, int64_t n) { return target.Write(bytes + at, n); });
}

int64_t TKMBaseArchiver::PlaceInVolumes(int64_t count, TStream* staging, int32_t reserve,
                                        TKMVolumeNumberInfo& info, TStream*& volumeStream,
                                        const TVolumePut& put) {
  if (count <= 0) return 0;
  if (spanningMode_ == smNone) return put(*volumeStream, 0, count);
  int64_t written = 0;
  bool freshVolume = false;
  while (written < count) {
    const int64_t staged = staging ? staging->Size() : 0;
    int64_t free = FreeSpace(currentVolumeName_) - staged;
    const int64_t limit = spanningOptions_.VolumeSizeLimit(info);
    if (limit != -1) free = std::min(free, limit - volumeStream->Size() - staged);
    if (free < 0) return written;
    int64_t taken = 0;
    if (reserve == -1 || (count - written) + reserve <= free) {
      const int64_t n = std::min<int64_t>(free, count - written);
      if (n > 0) {
        taken = put(staging ? *staging : *volumeStream, written, n);
        written += taken;
      }
    }
    if (written >= count) break;
    // A block that does not fit even an empty volume never will: stop
    // instead of making volume after volume.
    if (freshVolume && taken == 0) return written;
    if (staging) {
      staging->SetPosition(0);
      volumeStream->CopyFrom(*staging, 0);
      staging->SetSize(0);
      staging->SetPosition(0);
    }
    if (auto* file = dynamic_cast<TFileStream*>(volumeStream); file && spanningMode_ == smSpanning)
      file->Flush();
    info.SetNumber(info.VolumeNumber + 1);
    OpenVolume(info);
    volumeStream = archiveStream_.get();
    freshVolume = true;
  }
  return written;
}

void TKMBaseArchiver::WriteToVolumesChecked(const void* buffer, int32_t count, TStream* staging,
                                            int32_t reserve, TKMVolumeNumberInfo& info,
                                            TStream*& volumeStream) {
  if (count <= 0) return;
  if (!volumeStream || WriteToVolumes(buffer, count, staging, reserve, info, volumeStream) < count)
    throw EKMException(kmeWriteError, this);
}

namespace {

constexpr int64_t kCopyBlock = 1000000;

[[noreturn]] void CopyEndedEarly() {
  throw EReadError(u"Stream read error: the copy of an entry ended early");
}

}  // namespace

int64_t TKMBaseArchiver::CopyFileBytes(TFileStream& source, int64_t offset, TStream& target,
                                       int64_t n) {
  int64_t done = 0;
  if (auto* out = dynamic_cast<TFileStream*>(&target)) {
    const int64_t at = target.Position();
    done = platform::CopyRange(source.Handle(), offset, out->Handle(), at, n);
    target.SetPosition(at + done);
  }
  // What the kernel left undone goes through the buffer, so that a failure
  // shows as the read or the short write it is.
  while (done < n) {
    source.SetPosition(offset + done);
    const int64_t got = source.Read(copyBuffer_.data(), std::min<int64_t>(n - done, kCopyBlock));
    if (got <= 0) CopyEndedEarly();
    const int64_t put = target.Write(copyBuffer_.data(), got);
    done += put;
    if (put < got) break;
  }
  return done;
}

void TKMBaseArchiver::CopyToVolumes(TStream& source, TStream*& volumeStream, bool reportProgress,
                                    TStream* staging, int32_t reserve, int64_t count, bool& cancel,
                                    TKMVolumeNumberInfo& info) {
  const int64_t total = count == -1 ? source.Size() - source.Position() : count;
  if (reportProgress) {
    DoCopyTempFileProgress(0.0, ppStart, cancel);
    if (cancel) return;
  }
  if (copyBuffer_.size() < size_t(kCopyBlock)) copyBuffer_.resize(size_t(kCopyBlock));
  // An entry's temporary file goes into file volumes without passing
  // through this process: the kernel copies it from the page cache. Bytes
  // bound for a staging buffer are read as before.
  auto* file = staging ? nullptr : dynamic_cast<TFileStream*>(&source);
  int64_t done = 0;
  while (done < total) {
    const int64_t want = std::min(kCopyBlock, total - done);
    int64_t n = 0;
    if (file) {
      const int64_t from = source.Position();
      n = std::min(want, source.Size() - from);
      if (n <= 0) CopyEndedEarly();
      if (!volumeStream) throw EKMException(kmeWriteError, this);
      const int64_t taken = PlaceInVolumes(n, nullptr, reserve, info, volumeStream,
                                           [&](TStream& target, int64_t at, int64_t put) {
                                             return CopyFileBytes(*file, from + at, target, put);
                                           });
      source.SetPosition(from + taken);
      if (taken < n) throw EKMException(kmeWriteError, this);
    } else {
      n = source.Read(copyBuffer_.data(), want);
      if (n <= 0) CopyEndedEarly();
      WriteToVolumesChecked(copyBuffer_.data(), int32_t(n), staging, reserve, info, volumeStream);
    }
    done += n;
    if (reportProgress) {
      DoCopyTempFileProgress(double(done) * 100.0 / double(total), ppProcess, cancel);
      if (cancel) break;
    }
  }
  if (reportProgress) {
    bool endCancel = cancel;
    DoCopyTempFileProgress(100.0, ppEnd, endCancel);
    cancel = cancel || endCancel;
  }
}

TStream* TKMBaseArchiver::MoveLastVolumeToArchiveName() {
  if (dirManager_) dirManager_->SetArchiveStreamRef(nullptr);
  archiveStream_.reset();
  std::u16string target = fileName_;
  VolumeFileName(target, -1, false);
  // The set is whole: from here on an open must find it, not remove it. The
  // record says so before the renaming begins and goes once it is done, so
  // that an open after a kill in between finishes the renaming.
  if (volumeRecord_) volumeRecord_->MarkWhole(currentVolumeName_);
  if (FileExists(target)) DeleteFileByName(target);
  if (!RenameFile(currentVolumeName_, target)) {
    // Keep the volume open under its own name so that nothing is lost.
    OpenVolumeFile(currentVolumeName_);
    throw EKMException(kmeWriteError, this);
  }
  if (volumeRecord_) volumeRecord_->Finish();
  archiveStream_ = std::make_unique<TFileStream>(target, fmOpenReadWrite | fmShareDenyNone);
  currentVolumeName_ = target;
  if (dirManager_) dirManager_->SetArchiveStreamRef(archiveStream_.get());
  return archiveStream_.get();
}

// ---- Examining an existing archive

void TKMBaseArchiver::ExamineArchive() {
  spanningMode_ = smNone;
  volumeInfo_.Reset();
  TKMVolumeNumberInfo wanted;
  // Opens the last volume (or keeps the stream that is open) and looks for
  // its end record.
  auto probe = [&] {
    dirManager_.reset();
    volumeInfo_.Reset();
    wanted.SetLast(true);
    OpenVolume(wanted);
    dirManager_ = std::make_unique<TKMDirManager>(archiveStream_.get(), *this, false);
    const bool found = dirManager_->CheckEndRecord();
    DetectVolumeKind();
    return found;
  };
  {
    // Probing must see a missing end record as missing.
    const bool savedTolerate = tolerateDamage_;
    tolerateDamage_ = false;
    ScopeExit restore([this, savedTolerate] { tolerateDamage_ = savedTolerate; });
    if (!HasSfxExtension(fileName_)) {
      for (int round = 0;; ++round) {
        if (round >= kMaxVolumeRequests) throw EKMException(kmeVolumeRequestCancelled, this);
        dirManager_.reset();
        volumeInfo_.Reset();
        if (!FileExists(fileName_) && IsRemovableDrive(fileName_)) spanningMode_ = smSpanning;
        const bool found = probe();
        if (found || spanningMode_ == smNone) break;
      }
    } else {
      wanted.SetLast(true);
      OpenVolume(wanted);
      dirManager_ = std::make_unique<TKMDirManager>(archiveStream_.get(), *this, false);
      if (dirManager_->CheckEndRecord()) {
        DetectVolumeKind();
      } else {
        dirManager_.reset();
        spanningMode_ = smSplitting;
        std::u16string last = fileName_;
        VolumeFileName(last, -1, false);
        // The last volume of a split self-extractor carries another name.
        if (FileExists(last)) {
          volumeInfo_.Reset();
          wanted.SetLast(true);
          OpenVolume(wanted);
        }
        spanningMode_ = smNone;
        for (int round = 0;; ++round) {
          if (round >= kMaxVolumeRequests) throw EKMException(kmeVolumeRequestCancelled, this);
          const bool found = probe();
          if (found || spanningMode_ == smNone) break;
        }
      }
    }
  }
  if (!dirManager_->CheckEndRecord()) {
    ReleaseArchive();
    throw EKMException(kmeArchiveDamaged, this);
  }
  dirManager_->SetKeepEntries(keepDirectory_);
  dirManager_->ReadCentralDir();
}

void TKMBaseArchiver::DetectVolumeKind() {
  const TEndOfCentralDir& end = dirManager_->EndRecord();
  if (end.Signature == 0) {
    // Not even a candidate end record: a disk may still be missing.
    spanningMode_ = IsRemovableDrive(fileName_) ? smSpanning : smNone;
    return;
  }
  const int32_t v = end.ThisVolume;
  if (dirManager_->CheckEndRecord() && v == 0) {
    spanningMode_ = smNone;
    return;
  }
  spanningMode_ = smSplitting;
  std::u16string name = fileName_;
  VolumeFileName(name, v - 1, false);
  if (FileExists(name)) {
    if (v == 0) spanningMode_ = smNone;
    return;
  }
  // The volumes may have been named the other way.
  spanningOptions_.SetAdvancedNaming(!spanningOptions_.AdvancedNaming());
  name = fileName_;
  VolumeFileName(name, v - 1, false);
  if (FileExists(name)) return;
  spanningOptions_.SetAdvancedNaming(!spanningOptions_.AdvancedNaming());
  const bool exe = platform::WideLowerCase(fileName_).find(u".exe") != std::u16string::npos;
  spanningMode_ = exe || (v == 0 && !IsRemovableDrive(fileName_)) ? smNone : smSpanning;
}

}  // namespace km
