// What the directory manager needs of the archive it belongs to: options,
// the volume bookkeeping and the volume-aware writer. The archiver implements
// it; code in this layer never sees the archiver itself.
#pragma once

#include <cstdint>
#include <string>

#include "support/Stream.h"
#include "zipformat/KMException.h"
#include "zipformat/Volumes.h"

namespace km {

class IKMArchiveContext : public IKMComponent {
 public:
  // The standard signature set (else the alternative one of the base class).
  virtual bool StandardZip() const = 0;
  // Entry names are stored in the OEM code page (else ANSI).
  virtual bool OEMFileNames() const = 0;
  // A damaged directory is rebuilt from the local headers instead of failing.
  virtual bool TolerateDamage() const = 0;
  virtual TKMSpanningMode SpanningMode() const = 0;
  virtual const std::u16string& FileName() const = 0;
  virtual const std::u16string& CurrentVolumeName() const = 0;
  virtual const std::u16string& SFXStub() const = 0;
  virtual const TKMSpanningOptions& SpanningOptions() const = 0;
  // The volume ArchiveStream is open on.
  virtual TKMVolumeNumberInfo& VolumeInfo() = 0;
  virtual TStream* ArchiveStream() const = 0;

  // Makes ArchiveStream the volume info names; native code 45 when cancelled.
  virtual void OpenVolume(const TKMVolumeNumberInfo& info) = 0;
  // Writes count bytes, moving to the next volume when one is full (info and
  // volumeStream then name the new one). staging may be null; reserve is the
  // number of bytes that must follow on the same volume, -1 for none.
  // Native code 46 when the chain could not take every byte.
  virtual void WriteToVolumesChecked(const void* buffer, int32_t count, TStream* staging,
                                     int32_t reserve, TKMVolumeNumberInfo& info,
                                     TStream*& volumeStream) = 0;
  // The last volume of a new multi-volume archive gets the archive's own
  // name: closes ArchiveStream, moves the current volume file there, reopens
  // it read/write with nothing denied and returns the new ArchiveStream.
  virtual TStream* MoveLastVolumeToArchiveName() = 0;

 protected:
  ~IKMArchiveContext() = default;
};

// A context for a directory over one plain stream, with nothing else around
// it: one file, no volumes, writes go straight to the stream. Tests and tools
// that handle a stream without an archiver use it.
class TKMStreamArchiveContext final : public IKMArchiveContext {
 public:
  explicit TKMStreamArchiveContext(TStream* stream = nullptr) : stream_(stream) {
    volumeInfo_.SetFirst(true);
  }

  const std::u16string& Name() const override { return name_; }
  bool StandardZip() const override { return standardZip; }
  bool OEMFileNames() const override { return oemFileNames; }
  bool TolerateDamage() const override { return tolerateDamage; }
  TKMSpanningMode SpanningMode() const override { return smNone; }
  const std::u16string& FileName() const override { return name_; }
  const std::u16string& CurrentVolumeName() const override { return name_; }
  const std::u16string& SFXStub() const override { return sfxStub; }
  const TKMSpanningOptions& SpanningOptions() const override { return spanningOptions_; }
  TKMVolumeNumberInfo& VolumeInfo() override { return volumeInfo_; }
  TStream* ArchiveStream() const override { return stream_; }
  void SetArchiveStream(TStream* stream) { stream_ = stream; }

  void OpenVolume(const TKMVolumeNumberInfo&) override {}
  void WriteToVolumesChecked(const void* buffer, int32_t count, TStream*, int32_t,
                             TKMVolumeNumberInfo&, TStream*& volumeStream) override {
    if (count <= 0) return;
    if (!volumeStream || volumeStream->Write(buffer, count) != count)
      throw EKMException(kmeWriteError, this);
  }
  TStream* MoveLastVolumeToArchiveName() override { return stream_; }

  bool standardZip = true;
  bool oemFileNames = true;
  bool tolerateDamage = true;
  std::u16string sfxStub;

 private:
  TStream* stream_;
  std::u16string name_;
  TKMSpanningOptions spanningOptions_;
  TKMVolumeNumberInfo volumeInfo_;
};

}  // namespace km
