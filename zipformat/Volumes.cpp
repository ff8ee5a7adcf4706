#include "zipformat/Volumes.h"

namespace km {

void TKMVolumeNumberInfo::Reset() {
  VolumeKind = vkUnknown;
  VolumeNumber = -1;
  LastVolumeNumber = -1;
}

void TKMVolumeNumberInfo::SetFirst(bool flag) {
  if (!flag) return;
  VolumeNumber = 0;
  VolumeKind = vkFirst;
}

bool TKMVolumeNumberInfo::IsLast() const {
  if (LastVolumeNumber == -1) return VolumeKind == vkLast;
  return VolumeNumber == LastVolumeNumber;
}

void TKMVolumeNumberInfo::SetLast(bool flag) {
  if (!flag) return;
  VolumeNumber = LastVolumeNumber;
  VolumeKind = vkLast;
}

void TKMVolumeNumberInfo::SetNumber(int32_t number) {
  VolumeKind = vkNumbered;
  VolumeNumber = number;
}

bool TKMVolumeNumberInfo::SameVolume(const TKMVolumeNumberInfo& other) const {
  if (IsLast()) return other.IsLast();
  if (IsFirst()) return other.IsFirst();
  if (VolumeNumber < 0) return VolumeKind == other.VolumeKind;
  return VolumeNumber == other.VolumeNumber;
}

void TKMSpanningOptions::SetCustomVolumeSize(int64_t value) {
  customVolumeSize_ = value < kMinCustomVolumeSize ? kMinCustomVolumeSize : value;
}

int64_t VolumeSizeBytes(TKMVolumeSize size, int64_t customSize) {
  switch (size) {
    case vsAutoDetect:
      return -1;
    case vsCustom:
      return customSize;
    case vs1_44MB:
      return 1457664;  // what a formatted floppy really holds
    case vs100MB:
      return 100 * 1048576LL;
    case vs200MB:
      return 200 * 1048576LL;
    case vs250MB:
      return 250 * 1048576LL;
    case vs600MB:
      return 600 * 1048576LL;
    case vs650MB:
      return 650 * 1048576LL;
    case vs700MB:
      return 700 * 1048576LL;
    case vs4700MB:
      return 4700 * 1048576LL;
  }
  return -1;
}

int64_t TKMSpanningOptions::VolumeSizeLimit(const TKMVolumeNumberInfo& info) const {
  if (info.IsFirst() && firstVolumeSize_ > 0) return firstVolumeSize_;
  return VolumeSizeBytes(volumeSize_, customVolumeSize_);
}

}  // namespace km
