#include "zipformat/DirManager.h"

namespace km {

void TKMDirArray::SetCount(int32_t count) {
  if (count < 0) throw EKMException(1, nullptr);
  if (count == 0) {
    std::vector<TDirItem>().swap(items_);
    return;
  }
  items_.resize(size_t(count));
}

const TDirItem& TKMDirArray::GetItem(int32_t index) const {
  if (index < 0 || index >= Count()) throw EKMException(2, nullptr);
  return items_[size_t(index)];
}

TDirItem* TKMDirArray::ItemPtr(int32_t index) {
  if (index < 0 || index >= Count()) throw EKMException(3, nullptr);
  return &items_[size_t(index)];
}

void TKMDirArray::SetItem(int32_t index, const TDirItem& item) {
  if (index < 0 || index >= Count()) throw EKMException(1, nullptr);
  items_[size_t(index)] = item;
}

int32_t TKMDirArray::Add(const TDirItem& item) {
  items_.push_back(item);
  return Count() - 1;
}

void TKMDirArray::Delete(int32_t index) {
  if (index < 0 || index >= Count()) throw EKMException(4, nullptr);
  items_.erase(items_.begin() + index);
}

void TKMDirArray::ClearMarks() {
  for (TDirItem& item : items_) item.Marked = false;
}

void TKMDirArray::ClearModified() {
  for (TDirItem& item : items_) item.Modified = false;
}

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
