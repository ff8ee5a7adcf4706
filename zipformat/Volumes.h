// Volume bookkeeping of multi-volume archives: which volume is meant, and how
// large each volume may grow.
#pragma once

#include <cstdint>

namespace km {

enum TKMSpanningMode : uint8_t { smNone, smSpanning, smSplitting };

enum TKMVolumeSize : uint8_t {
  vsAutoDetect,
  vsCustom,
  vs1_44MB,
  vs100MB,
  vs200MB,
  vs250MB,
  vs600MB,
  vs650MB,
  vs700MB,
  vs4700MB
};

enum TKMVolumeKind : uint8_t { vkFirst, vkLast, vkNumbered, vkUnknown };

// Names one volume of a chain. Numbers are 0-based; dialogs and events show
// them counted from 1.
struct TKMVolumeNumberInfo {
  TKMVolumeKind VolumeKind = vkUnknown;
  int32_t VolumeNumber = -1;      // -1: none chosen
  int32_t LastVolumeNumber = -1;  // -1: none recorded

  void Reset();
  bool IsFirst() const { return VolumeNumber == 0; }
  void SetFirst(bool flag);
  // Until the last number is known, only the kind can say so.
  bool IsLast() const;
  void SetLast(bool flag);
  void SetNumber(int32_t number);
  bool SameVolume(const TKMVolumeNumberInfo& other) const;
};

class TKMSpanningOptions {
 public:
  static constexpr int64_t kMinCustomVolumeSize = 65536;

  bool AdvancedNaming() const { return advancedNaming_; }
  void SetAdvancedNaming(bool value) { advancedNaming_ = value; }
  int64_t FirstVolumeSize() const { return firstVolumeSize_; }
  void SetFirstVolumeSize(int64_t value) { firstVolumeSize_ = value; }
  TKMVolumeSize VolumeSize() const { return volumeSize_; }
  void SetVolumeSize(TKMVolumeSize value) { volumeSize_ = value; }
  int64_t CustomVolumeSize() const { return customVolumeSize_; }
  // Smaller volumes would not even hold a central header with a long name.
  void SetCustomVolumeSize(int64_t value);

  void Assign(const TKMSpanningOptions& source) { *this = source; }

  // The byte limit of the volume info names; -1 for no limit.
  int64_t VolumeSizeLimit(const TKMVolumeNumberInfo& info) const;

 private:
  bool advancedNaming_ = true;
  int64_t firstVolumeSize_ = 0;
  TKMVolumeSize volumeSize_ = vsAutoDetect;
  int64_t customVolumeSize_ = 0;
};

// The limit of a volume size value; -1 for vsAutoDetect, customSize for vsCustom.
int64_t VolumeSizeBytes(TKMVolumeSize size, int64_t customSize);

}  // namespace km
