// The name index of a directory: a string list whose lines can be found by
// value through a chained hash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace km {

// A chained hash from wide-string keys to 32-bit values, with a bucket
// count fixed at creation. Items live in one pool linked by index, so that
// filling and dropping a hash of 100,000 names is a few allocations rather
// than one per name.
class TKMStringHash {
 public:
  // keysByValue, when given, holds the key of every value (key of v =
  // (*keysByValue)[v]) and keys are not copied into the hash; the owner
  // keeps it in step. The name index uses this: its lines are the keys.
  explicit TKMStringHash(size_t bucketCount,
                         const std::vector<std::u16string>* keysByValue = nullptr);

  // FNV-1a over the key's UTF-16 code units. Hashing the code units (not an
  // 8-bit form) keeps names outside the ANSI code page apart, and FNV-1a
  // spreads the digit runs of generated names ("file00042.txt") that a
  // rotate-and-xor hash packs into a few thousand values.
  static uint32_t HashOf(const std::u16string& key);
  size_t BucketCount() const { return buckets_.size(); }

  // An equal key already present is kept; the newest is found first.
  void Add(const std::u16string& key, int32_t value);
  // The value of the newest item with this exact key; -1 when none.
  int32_t ValueOf(const std::u16string& key) const;
  // Unlinks the newest item with this key, if any.
  void Remove(const std::u16string& key);
  // Unlinks the newest item with this key and value, if any: with equal
  // keys present, only the item that belongs to that value goes.
  void Remove(const std::u16string& key, int32_t value);
  void Clear();

 private:
  // Small, so that walking a chain reads few cache lines; a key of its own
  // lies apart, at the item's pool index in ownKeys_.
  struct THashItem {
    int32_t next;   // pool index of the next item in the chain, -1 at the end
    uint32_t hash;  // full hash, compared before the key
    int32_t value;
  };
  const std::u16string& KeyOfItem(int32_t slot) const {
    return keys_ ? (*keys_)[size_t(items_[size_t(slot)].value)] : ownKeys_[size_t(slot)];
  }
  // The hash scaled to the bucket count by a multiplication rather than a
  // division, which every lookup would wait on; FNV-1a's high bits are as
  // well spread as its low ones.
  size_t BucketOf(uint32_t hash) const { return size_t((uint64_t(hash) * buckets_.size()) >> 32); }
  void Unlink(const std::u16string& key, const int32_t* value);

  std::vector<int32_t> buckets_;  // pool index of each chain's head, -1 when empty
  std::vector<THashItem> items_;
  std::vector<std::u16string> ownKeys_;  // by pool index; unused with keysByValue
  int32_t freeList_ = -1;                // unlinked items, reused by Add
  const std::vector<std::u16string>* keys_;
};

// Lines in insertion order (duplicates allowed) plus a value hash that maps
// a line's key to its index, built on first use. Keys are lower-cased
// unless the list is case-sensitive (as the directory index is on hosts
// whose file systems are).
class TKMHashedStringList {
 public:
  explicit TKMHashedStringList(bool caseSensitive);
  // The value hash reads its keys from this object's lines, so a moved list
  // starts without one and builds it again when first asked.
  TKMHashedStringList(TKMHashedStringList&& other) noexcept;
  TKMHashedStringList& operator=(TKMHashedStringList&& other) noexcept;
  TKMHashedStringList(const TKMHashedStringList&) = delete;
  TKMHashedStringList& operator=(const TKMHashedStringList&) = delete;

  bool CaseSensitive() const { return caseSensitive_; }
  int32_t Count() const { return int32_t(lines_.size()); }
  // The stored line (already in key form).
  const std::u16string& Line(int32_t index) const { return lines_[size_t(index)]; }
  // The key form of a name: lower-cased unless case-sensitive.
  std::u16string KeyOf(const std::u16string& s) const;

  // Appends the key form of s; returns its index.
  int32_t Add(const std::u16string& s);
  // The index of the newest line equal to the key form of s; -1 when none.
  int32_t IndexOf(const std::u16string& s);
  void ReplaceAt(int32_t index, const std::u16string& s);
  void Delete(int32_t index);
  void Clear();
  // Lines are kept at most this many per bucket on average before the hash
  // is dropped and rebuilt larger.
  static constexpr size_t kMaxLoad = 5;
  static constexpr size_t kMinBuckets = 1000;

  // For tests: the bucket count of the value hash (0 when absent) and
  // whether it is valid.
  size_t HashBucketCount() const;
  bool HashValid() const { return hashValid_; }

 private:
  void MakeHashValid();

  bool caseSensitive_;
  std::vector<std::u16string> lines_;
  std::unique_ptr<TKMStringHash> hash_;
  bool hashValid_ = false;
};

}  // namespace km
