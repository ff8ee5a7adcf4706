#include "zipformat/HashedStringList.h"

#include <algorithm>

#include "platform/CodePage.h"
#include "support/TextEqual.h"

namespace km {

TKMStringHash::TKMStringHash(size_t bucketCount, const std::vector<std::u16string>* keysByValue)
    : buckets_(std::max<size_t>(bucketCount, 1), -1), keys_(keysByValue) {}

uint32_t TKMStringHash::HashOf(const std::u16string& key) {
  // One multiplication per code unit: every lookup of a long path waits on
  // this chain.
  uint32_t h = 2166136261u;
  for (char16_t c : key) h = (h ^ c) * 16777619u;
  return h;
}

void TKMStringHash::Add(const std::u16string& key, int32_t value) {
  const uint32_t h = HashOf(key);
  int32_t slot;
  if (freeList_ >= 0) {
    slot = freeList_;
    freeList_ = items_[size_t(slot)].next;
  } else {
    slot = int32_t(items_.size());
    items_.emplace_back();
    if (!keys_) ownKeys_.emplace_back();
  }
  THashItem& item = items_[size_t(slot)];
  int32_t& head = buckets_[BucketOf(h)];
  item.next = head;
  item.hash = h;
  item.value = value;
  if (!keys_) ownKeys_[size_t(slot)] = key;
  head = slot;
}

int32_t TKMStringHash::ValueOf(const std::u16string& key) const {
  const uint32_t h = HashOf(key);
  for (int32_t i = buckets_[BucketOf(h)]; i >= 0; i = items_[size_t(i)].next) {
    const THashItem& item = items_[size_t(i)];
    if (item.hash == h && SameUnits(KeyOfItem(i), key)) return item.value;
  }
  return -1;
}

void TKMStringHash::Unlink(const std::u16string& key, const int32_t* value) {
  const uint32_t h = HashOf(key);
  for (int32_t* link = &buckets_[BucketOf(h)]; *link >= 0; link = &items_[size_t(*link)].next) {
    THashItem& item = items_[size_t(*link)];
    if (item.hash != h || (value && item.value != *value) || !SameUnits(KeyOfItem(*link), key))
      continue;
    const int32_t slot = *link;
    *link = item.next;
    if (!keys_) ownKeys_[size_t(slot)].clear();
    item.next = freeList_;
    freeList_ = slot;
    return;
  }
}

void TKMStringHash::Remove(const std::u16string& key) {
  Unlink(key, nullptr);
}

void TKMStringHash::Remove(const std::u16string& key, int32_t value) {
  Unlink(key, &value);
}

void TKMStringHash::Clear() {
  std::fill(buckets_.begin(), buckets_.end(), -1);
  items_.clear();
  ownKeys_.clear();
  freeList_ = -1;
}

// ---- TKMHashedStringList ----

TKMHashedStringList::TKMHashedStringList(bool caseSensitive) : caseSensitive_(caseSensitive) {}

TKMHashedStringList::TKMHashedStringList(TKMHashedStringList&& other) noexcept
    : caseSensitive_(other.caseSensitive_), lines_(std::move(other.lines_)) {
  other.Clear();
}

TKMHashedStringList& TKMHashedStringList::operator=(TKMHashedStringList&& other) noexcept {
  if (this != &other) {
    caseSensitive_ = other.caseSensitive_;
    lines_ = std::move(other.lines_);
    hash_.reset();
    hashValid_ = false;
    other.Clear();
  }
  return *this;
}

std::u16string TKMHashedStringList::KeyOf(const std::u16string& s) const {
  return caseSensitive_ ? s : platform::WideLowerCase(s);
}

int32_t TKMHashedStringList::Add(const std::u16string& s) {
  const int32_t index = Count();
  lines_.push_back(KeyOf(s));
  if (hash_) {
    if (hashValid_) hash_->Add(lines_.back(), index);
    // Too full to stay fast: the next lookup rebuilds it with more buckets.
    if (lines_.size() > kMaxLoad * hash_->BucketCount()) {
      hash_.reset();
      hashValid_ = false;
    }
  }
  return index;
}

int32_t TKMHashedStringList::IndexOf(const std::u16string& s) {
  MakeHashValid();
  return caseSensitive_ ? hash_->ValueOf(s) : hash_->ValueOf(KeyOf(s));
}

void TKMHashedStringList::ReplaceAt(int32_t index, const std::u16string& s) {
  std::u16string& line = lines_.at(size_t(index));
  // Only this line's own entry goes: an equal line elsewhere keeps its own.
  if (hash_ && hashValid_) hash_->Remove(line, index);
  line = KeyOf(s);
  if (hash_ && hashValid_) hash_->Add(line, index);
}

void TKMHashedStringList::Delete(int32_t index) {
  if (index < 0 || index >= Count()) return;
  lines_.erase(lines_.begin() + index);
  // Every later line moved down one place; the hash is rebuilt when next used.
  hashValid_ = false;
}

void TKMHashedStringList::Clear() {
  lines_.clear();
  if (hash_) {
    hash_->Clear();
    hashValid_ = true;  // empty, like the lines
  }
}

size_t TKMHashedStringList::HashBucketCount() const {
  return hash_ ? hash_->BucketCount() : 0;
}

void TKMHashedStringList::MakeHashValid() {
  if (!hash_) {
    hash_ = std::make_unique<TKMStringHash>(std::max(lines_.size(), kMinBuckets), &lines_);
    hashValid_ = false;
  }
  if (hashValid_) return;
  hash_->Clear();
  // In line order, so that among equal lines the last one is found first.
  for (size_t i = 0; i < lines_.size(); ++i) hash_->Add(lines_[i], int32_t(i));
  hashValid_ = true;
}

}  // namespace km
