#include "zipformat/DirArray.h"

#include <algorithm>
#include <limits>

namespace km {

TKMDirArray::TKMDirArray(bool caseSensitive) : nameIndex_(caseSensitive) {}

void TKMDirArray::SetCount(int64_t count) {
  if (count < 0 || count > std::numeric_limits<int32_t>::max())
    throw EKMException(kmeDirSetIndex, nullptr);
  BeforeChange();
  // Lines of items cut away stay in the index, as they do for named ones.
  if (count < unindexed_) MakeIndexed();
  if (count == 0) {
    std::vector<TDirItem>().swap(items_);
    capacity_ = 0;
    return;
  }
  const int32_t n = int32_t(count);
  if (n > capacity_) {
    // Steps of 1000, 2000, 4000, 8000, then 10000 slots: a directory of
    // many thousands of entries is allocated a few times, never per entry.
    growthStep_ = std::min(growthStep_ * 2, kMaxGrowthStep);
    const int64_t grown = int64_t(capacity_) + growthStep_;
    capacity_ = int32_t(
        std::max<int64_t>(std::min<int64_t>(grown, std::numeric_limits<int32_t>::max()), n));
    items_.reserve(size_t(capacity_));
  }
  items_.resize(size_t(n));
}

const TDirItem& TKMDirArray::GetItem(int32_t index) const {
  if (index < 0 || index >= Count()) throw EKMException(kmeDirGetIndex, nullptr);
  return items_[size_t(index)];
}

TDirItem* TKMDirArray::ItemPtr(int32_t index) {
  if (index < 0 || index >= Count()) throw EKMException(kmeDirItemIndex, nullptr);
  BeforeChange();
  return &items_[size_t(index)];
}

void TKMDirArray::SetItem(int32_t index, const TDirItem& item) {
  if (index < 0 || index >= Count()) throw EKMException(kmeDirSetIndex, nullptr);
  // The pending copy leaves this array as it is: item stays valid.
  BeforeChange();
  MakeIndexed();
  const int32_t lines = nameIndex_.Count();
  if (lines > index) {
    nameIndex_.ReplaceAt(index, item.FileName);
  } else if (lines == index) {
    nameIndex_.Add(item.FileName);
  } else {
    throw EKMException(kmeNameIndexShort, nullptr);
  }
  // item may live in this array; assigning a slot to itself is harmless.
  items_[size_t(index)] = item;
}

void TKMDirArray::RenameItem(int32_t index, const std::u16string& name) {
  if (index < 0 || index >= Count()) throw EKMException(kmeDirGetIndex, nullptr);
  BeforeChange();
  MakeIndexed();
  TDirItem& item = items_[size_t(index)];
  const int32_t lines = nameIndex_.Count();
  // The item's current name tells where its line is. While a directory is
  // filled in order the items are still unnamed, so an earlier entry whose
  // name is empty as well is found instead and the fill stops with 59: a
  // zeroed central directory is caught that way and scanned for instead.
  const int32_t found = nameIndex_.IndexOf(item.FileName);
  if (found == index) {
    nameIndex_.ReplaceAt(index, name);
  } else if (found < 0 && lines == index) {
    nameIndex_.Add(name);
  } else if (found < 0 && lines > index) {
    // Line index is stale (the array was cut and grown again); the item
    // owns it all the same. Appending would put the name at another index.
    nameIndex_.ReplaceAt(index, name);
  } else {
    // Another item's line, or no line where this item's would have to be.
    throw EKMException(kmeNameIndexMismatch, nullptr);
  }
  item.FileName = name;
}

int32_t TKMDirArray::FindItem(const std::u16string& name) const {
  MakeIndexed();
  const int32_t found = nameIndex_.IndexOf(name);
  // A line left over from items cut away by SetCount names no item.
  return found < Count() ? found : -1;
}

int32_t TKMDirArray::Add(const TDirItem& item) {
  MakeIndexed();
  const int32_t index = Count();
  if (nameIndex_.Count() < index) throw EKMException(kmeNameIndexShort, nullptr);
  TDirItem copy = item;  // item may be one of ours; growing moves the items
  SetCount(int64_t(index) + 1);
  SetItem(index, copy);
  return index;
}

void TKMDirArray::Delete(int32_t index) {
  if (index < 0 || index >= Count()) throw EKMException(kmeDirDeleteIndex, nullptr);
  BeforeChange();
  MakeIndexed();
  items_.erase(items_.begin() + index);
  if (index < nameIndex_.Count()) nameIndex_.Delete(index);
}

void TKMDirArray::Clear() {
  BeforeChange();
  items_.clear();
  nameIndex_.Clear();
  unindexed_ = 0;
}

void TKMDirArray::Assign(const TKMDirArray& source) {
  if (&source == this) return;
  // A copy made of this array must not see it change; one made of source
  // stays pending.
  BeforeChange();
  Clear();
  SetCount(source.Count());
  // The items keep their order, so each index line is its item's name:
  // they are made when first needed, as for a directory read.
  for (int32_t i = 0; i < source.Count(); ++i) items_[size_t(i)] = source.items_[size_t(i)];
  unindexed_ = source.Count();
}

void TKMDirArray::ClearMarks() {
  if (std::none_of(items_.begin(), items_.end(), [](const TDirItem& item) { return item.Marked; }))
    return;
  BeforeChange();
  for (TDirItem& item : items_) item.Marked = false;
}

void TKMDirArray::ClearModified() {
  if (std::none_of(items_.begin(), items_.end(),
                   [](const TDirItem& item) { return item.Modified; }))
    return;
  BeforeChange();
  for (TDirItem& item : items_) item.Modified = false;
}

void TKMDirArray::NameReadItem(int32_t index, std::u16string name) {
  if (nameIndex_.Count() == 0 && index == unindexed_ && index < Count() && !pendingCopy_) {
    items_[size_t(index)].FileName = std::move(name);
    ++unindexed_;
    return;
  }
  RenameItem(index, name);
}

void TKMDirArray::MakeIndexed() const {
  if (unindexed_ == 0) return;
  const int32_t n = unindexed_;
  unindexed_ = 0;
  for (int32_t i = 0; i < n; ++i) nameIndex_.Add(items_[size_t(i)].FileName);
}

void TKMDirArray::CopyBeforeChange(TKMDirArray* copy) {
  pendingCopy_ = copy == this ? nullptr : copy;
}

void TKMDirArray::MakePendingCopy() {
  TKMDirArray* copy = pendingCopy_;
  if (!copy) return;
  pendingCopy_ = nullptr;
  copy->Assign(*this);
}

}  // namespace km
