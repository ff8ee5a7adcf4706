// The ordered items of a directory with their name index.
#pragma once

#include <cstdint>
#include <vector>

#include "zipformat/DirItem.h"
#include "zipformat/KMException.h"

namespace km {

// The ordered items of a directory. Items are held by value, so a copy of
// the array (Assign) owns its own extra-field data.
class TKMDirArray {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  // New items start empty; 0 releases everything.
  void SetCount(int32_t count);
  const TDirItem& GetItem(int32_t index) const;
  TDirItem* ItemPtr(int32_t index);
  void SetItem(int32_t index, const TDirItem& item);
  // Appends and returns the new index.
  int32_t Add(const TDirItem& item);
  void Delete(int32_t index);
  void Clear() { items_.clear(); }
  void Assign(const TKMDirArray& source) { items_ = source.items_; }
  void ClearMarks();
  void ClearModified();

 private:
  std::vector<TDirItem> items_;
};

}  // namespace km
