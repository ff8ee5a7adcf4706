#include "zipformat/DirManager.h"

#include <algorithm>
#include <cstring>

namespace km {

TKMDirManager::TKMDirManager(TStream* archiveStream, IKMArchiveContext& context, bool createNew)
    : archiveStreamRef_(archiveStream),
      createNew_(createNew),
      customStream_(archiveStream != context.ArchiveStream()),
      context_(context),
      endSignature_(context.StandardZip() ? TEndOfCentralDir::kSignature
                                          : TEndOfCentralDir::kAltSignature) {
  ResetDir();
  if (createNew_) {
    context_.VolumeInfo().SetFirst(true);
    if (!context_.SFXStub().empty()) PlaceSfxStub();
  }
}

TKMDirManager::TKMDirManager(TStream* archiveStream, bool createNew, uint32_t endSignature)
    : ownContext_(std::make_unique<TKMStreamArchiveContext>(archiveStream)),
      archiveStreamRef_(archiveStream),
      createNew_(createNew),
      customStream_(false),
      context_(*ownContext_),
      endSignature_(endSignature) {
  ownContext_->standardZip = endSignature != TEndOfCentralDir::kAltSignature;
  ResetDir();
}

TKMDirArray& TKMDirManager::RollbackDir() {
  if (!currentDir_.CopyPending()) return rollbackDir_;
  if (!directoryRebuilt_) return currentDir_;
  currentDir_.MakePendingCopy();
  return rollbackDir_;
}

const TKMDirArray& TKMDirManager::RollbackDir() const {
  return currentDir_.CopyPending() ? currentDir_ : rollbackDir_;
}

void TKMDirManager::ResetDir() {
  // Clear empties the name index too; a directory read again must not find
  // the names of the one before.
  currentDir_.Clear();
  currentDir_.SetCount(0);
  endRecord_ = TEndOfCentralDir{};
  endRecord_.Signature = endSignature_;
}

const TKMSignatureSet& TKMDirManager::Signatures() const {
  return SignatureSetOf(endRecord_.Signature);
}

int64_t TKMDirManager::RemainingFrom(int64_t position) {
  const int64_t size = archiveStreamRef_->Size();
  return position < 0 || position >= size ? 0 : size - position;
}

int64_t TKMDirManager::SearchForward(int64_t from, uint32_t signature, int64_t maxChunk,
                                     int64_t minTail) {
  TStream& s = *archiveStreamRef_;
  const int64_t saved = s.Position();
  const int64_t size = s.Size();
  uint8_t sig[4];
  WriteU32LE(sig, signature);
  // Chunks start small and grow, so that a match close by (the usual case,
  // and every step of a scan over many small entries) costs little.
  int64_t chunk = std::min<int64_t>(4096, maxChunk);
  std::vector<uint8_t> buf;
  int64_t result = -1;
  int64_t pos = std::max<int64_t>(from, 0);
  while (pos + 4 <= size) {
    const int64_t n = std::min(chunk, size - pos);
    buf.resize(size_t(n));
    s.SetPosition(pos);
    s.ReadBuffer(buf.data(), n);
    const uint8_t* hit = nullptr;
    for (int64_t i = 0; i + 4 <= n; ++i) {
      if (buf[size_t(i)] == sig[0] && std::memcmp(&buf[size_t(i)], sig, 4) == 0) {
        hit = &buf[size_t(i)];
        break;
      }
    }
    if (hit) {
      const int64_t at = pos + (hit - buf.data());
      // Later matches lie even closer to the end: none of them qualifies.
      if (size - at >= minTail) result = at;
      break;
    }
    if (pos + n >= size) break;
    // The next chunk overlaps by 3 bytes, so a signature across the
    // boundary is still seen, and always moves forward.
    pos += n - 3;
    chunk = std::min(chunk * 2, maxChunk);
  }
  s.SetPosition(saved);
  return result;
}

}  // namespace km
