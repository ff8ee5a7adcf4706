// The ordered items of a directory with their name index.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "zipformat/DirItem.h"
#include "zipformat/HashedStringList.h"
#include "zipformat/KMException.h"

namespace km {

// Whether entry names that differ only in case are different entries. They
// are on hosts with case-sensitive file systems: there "Readme" and "README"
// are two files, and one must never replace the other in the archive.
inline constexpr bool kCaseSensitiveNames = platform::kCaseSensitiveFileNames;

// The ordered items of a directory. Items are held by value, so a copy of
// the array (Assign) owns its own extra-field data. Line i of the name index
// holds the key form of item i's name (lower-cased unless case-sensitive).
class TKMDirArray {
 public:
  explicit TKMDirArray(bool caseSensitive = kCaseSensitiveNames);

  bool CaseSensitive() const { return nameIndex_.CaseSensitive(); }
  int32_t Count() const { return int32_t(items_.size()); }
  // Item slots allocated.
  int32_t Capacity() const { return capacity_; }
  // New items start empty; 0 releases everything. The name index is not
  // touched. A negative count, or one beyond 32 bits, raises native code 1.
  void SetCount(int64_t count);
  // Native code 2 for an invalid index.
  const TDirItem& GetItem(int32_t index) const;
  // Native code 3 for an invalid index. Names are changed through
  // RenameItem, not through the pointer.
  TDirItem* ItemPtr(int32_t index);
  // Native code 1 for an invalid index, 58 when the name index has fewer
  // than index lines (it cannot hold this item's line in its place).
  void SetItem(int32_t index, const TDirItem& item);
  // Gives item index a new name and keeps its index line in step. Native
  // code 2 for an invalid index, 59 when the item's current name is found at
  // another line (another item with an equal name, or an index out of step).
  void RenameItem(int32_t index, const std::u16string& name);
  // The index of the item with this name (the last one among equal names);
  // -1 when none.
  int32_t FindItem(const std::u16string& name) const;
  // Appends the item with its index line and returns the new index; native
  // code 58 (nothing added) when the name index is out of step.
  int32_t Add(const TDirItem& item);
  // Native code 4 for an invalid index.
  void Delete(int32_t index);
  // Drops every item and the name index; the capacity stays.
  void Clear();
  // Makes this array a copy of source, with its own name index.
  void Assign(const TKMDirArray& source);
  // Clear the flag of every item; an array where none is set is left alone
  // (it counts as unchanged, see CopyBeforeChange).
  void ClearMarks();
  void ClearModified();

  // Names item index of a directory being read in order, the item after
  // the last one named so (the first: 0): RenameItem without touching the
  // name index, whose lines for these items are made when a lookup or a
  // change first needs them. Reading a directory to list or test it never
  // needs them. Any other item is renamed by RenameItem.
  void NameReadItem(int32_t index, std::u16string name);

  // From now until the first change, copy is to become a copy of this array
  // as it stands: it is made one just before anything changes this array
  // (ItemPtr counts as a change), or at MakePendingCopy. A run that changes
  // nothing never copies. nullptr drops a pending copy.
  void CopyBeforeChange(TKMDirArray* copy);
  bool CopyPending() const { return pendingCopy_ != nullptr; }
  void MakePendingCopy();

  // For tests: the name index itself.
  const TKMHashedStringList& NameIndex() const {
    MakeIndexed();
    return nameIndex_;
  }

  static constexpr int32_t kInitialGrowthStep = 500;
  static constexpr int32_t kMaxGrowthStep = 10000;

 private:
  // Adds the index lines of the items NameReadItem named.
  void MakeIndexed() const;
  void BeforeChange() {
    if (pendingCopy_) MakePendingCopy();
  }

  std::vector<TDirItem> items_;
  // Lookups build the hash on first use; that does not change the items.
  mutable TKMHashedStringList nameIndex_;
  // Items 0 .. unindexed_ - 1 have no index line yet (the index has none
  // then); each line is to be its item's name.
  mutable int32_t unindexed_ = 0;
  TKMDirArray* pendingCopy_ = nullptr;
  int32_t growthStep_ = kInitialGrowthStep;
  int32_t capacity_ = 0;
};

}  // namespace km
