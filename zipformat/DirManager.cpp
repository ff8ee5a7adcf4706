#include "zipformat/DirManager.h"

namespace km {

TKMDirManager::TKMDirManager(TStream* archiveStream, bool createNew, uint32_t endSignature)
    : archiveStreamRef_(archiveStream), createNew_(createNew), endSignature_(endSignature) {
  ResetDir();
}

void TKMDirManager::ResetDir() {
  currentDir_.SetCount(0);
  endRecord_ = TEndOfCentralDir{};
  endRecord_.Signature = endSignature_;
}

void TKMDirManager::WriteEmptyDirectory(TStream* stream, int32_t currentVolume) {
  if (stream) archiveStreamRef_ = stream;
  if (!archiveStreamRef_) throw Exception(u"No archive stream to write the directory to");
  if (archiveComment_.size() > 0xFFFF) throw Exception(u"Archive comment is too long");

  const int64_t start = archiveStreamRef_->Size();
  archiveStreamRef_->SetPosition(start);
  centralDirOffset_ = start;

  const uint32_t volume = currentVolume < 0 ? 0 : uint32_t(currentVolume);
  const uint16_t volume16 = volume > 0xFFFE ? 0xFFFF : uint16_t(volume);
  endRecord_.Signature = endSignature_;
  endRecord_.ThisVolume = volume16;
  endRecord_.DirStartVolume = volume16;
  endRecord_.EntriesOnVolume = 0;
  endRecord_.TotalEntries = 0;
  endRecord_.DirSize = 0;
  endRecord_.DirOffset = start >= 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(start);
  endRecord_.CommentLength = uint16_t(archiveComment_.size());

  ByteWriter out;
  EncodeEndOfCentralDir(endRecord_, out);
  out.Bytes(archiveComment_);
  archiveStreamRef_->WriteBuffer(out.Data().data(), int64_t(out.Size()));
}

}  // namespace km
