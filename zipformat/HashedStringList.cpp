#include "zipformat/HashedStringList.h"

#include <algorithm>

#include "platform/CodePage.h"

namespace km {

TKMStringHash::TKMStringHash(size_t bucketCount) : buckets_(std::max<size_t>(bucketCount, 1)) {}

TKMStringHash::~TKMStringHash() {
  Clear();
}

uint32_t TKMStringHash::HashOf(const std::u16string& key) {
  uint32_t h = 2166136261u;
  for (char16_t c : key) {
    h = (h ^ uint8_t(c)) * 16777619u;
    h = (h ^ uint8_t(c >> 8)) * 16777619u;
  }
  return h;
}

std::unique_ptr<TKMStringHash::THashItem>& TKMStringHash::BucketOf(const std::u16string& key) {
  return buckets_[HashOf(key) % buckets_.size()];
}

const std::unique_ptr<TKMStringHash::THashItem>& TKMStringHash::BucketOf(
    const std::u16string& key) const {
  return buckets_[HashOf(key) % buckets_.size()];
}

void TKMStringHash::Add(const std::u16string& key, int32_t value) {
  std::unique_ptr<THashItem>& head = BucketOf(key);
  auto item = std::make_unique<THashItem>();
  item->key = key;
  item->value = value;
  item->next = std::move(head);
  head = std::move(item);
}

int32_t TKMStringHash::ValueOf(const std::u16string& key) const {
  for (const THashItem* p = BucketOf(key).get(); p; p = p->next.get()) {
    if (p->key == key) return p->value;
  }
  return -1;
}

void TKMStringHash::Remove(const std::u16string& key) {
  for (std::unique_ptr<THashItem>* link = &BucketOf(key); *link; link = &(*link)->next) {
    if ((*link)->key == key) {
      std::unique_ptr<THashItem> gone = std::move(*link);
      *link = std::move(gone->next);
      return;
    }
  }
}

void TKMStringHash::Remove(const std::u16string& key, int32_t value) {
  for (std::unique_ptr<THashItem>* link = &BucketOf(key); *link; link = &(*link)->next) {
    if ((*link)->value == value && (*link)->key == key) {
      std::unique_ptr<THashItem> gone = std::move(*link);
      *link = std::move(gone->next);
      return;
    }
  }
}

void TKMStringHash::Clear() {
  for (std::unique_ptr<THashItem>& head : buckets_) FreeChain(head);
}

void TKMStringHash::FreeChain(std::unique_ptr<THashItem>& head) {
  std::unique_ptr<THashItem> p = std::move(head);
  while (p) p = std::move(p->next);
}

// ---- TKMHashedStringList ----

TKMHashedStringList::TKMHashedStringList(bool caseSensitive) : caseSensitive_(caseSensitive) {}

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
  return hash_->ValueOf(KeyOf(s));
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
    hash_ = std::make_unique<TKMStringHash>(std::max(lines_.size(), kMinBuckets));
    hashValid_ = false;
  }
  if (hashValid_) return;
  hash_->Clear();
  // In line order, so that among equal lines the last one is found first.
  for (size_t i = 0; i < lines_.size(); ++i) hash_->Add(lines_[i], int32_t(i));
  hashValid_ = true;
}

}  // namespace km
