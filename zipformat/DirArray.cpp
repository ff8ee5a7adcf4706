#include "zipformat/DirArray.h"

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

}  // namespace km
