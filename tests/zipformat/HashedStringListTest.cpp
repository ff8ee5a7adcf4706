#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "zipformat/HashedStringList.h"

namespace km {
namespace {

TEST(StringHash, NewestFirstAndExactRemoval) {
  TKMStringHash hash(7);
  EXPECT_EQ(hash.ValueOf(u"a"), -1);
  hash.Add(u"a", 1);
  hash.Add(u"b", 2);
  hash.Add(u"a", 3);
  EXPECT_EQ(hash.ValueOf(u"a"), 3);
  EXPECT_EQ(hash.ValueOf(u"A"), -1);  // exact comparison
  hash.Remove(u"a");
  EXPECT_EQ(hash.ValueOf(u"a"), 1);
  hash.Add(u"a", 4);
  hash.Remove(u"a", 1);  // the older one, by value
  EXPECT_EQ(hash.ValueOf(u"a"), 4);
  hash.Remove(u"a", 1);  // not there: nothing happens
  hash.Remove(u"zzz");
  EXPECT_EQ(hash.ValueOf(u"b"), 2);
  hash.Clear();
  EXPECT_EQ(hash.ValueOf(u"b"), -1);
  EXPECT_EQ(hash.BucketCount(), 7u);
}

TEST(StringHash, LongChainsAreFreedWithoutRecursion) {
  // A million equal names share one chain; freeing it link by link through
  // nested destructors would overflow the stack.
  auto hash = std::make_unique<TKMStringHash>(1);
  for (int32_t i = 0; i < 1000000; ++i) hash->Add(u"same", i);
  EXPECT_EQ(hash->ValueOf(u"same"), 999999);
  hash->Clear();
  for (int32_t i = 0; i < 1000000; ++i) hash->Add(u"same", i);
  hash.reset();
}

// The longest chain when 100,000 names go into 100,000 buckets. Names that
// differ only in digits or only outside the 8-bit code page must spread.
size_t LongestChain(const std::vector<std::u16string>& keys) {
  std::vector<size_t> count(keys.size());
  for (const std::u16string& k : keys) ++count[TKMStringHash::HashOf(k) % count.size()];
  return *std::max_element(count.begin(), count.end());
}

TEST(StringHash, RealisticNamesSpreadOverTheBuckets) {
  const std::u16string prefixes[][2] = {
      {u"dir", u"/file"},
      {u"\u043F\u0430\u043F\u043A\u0430", u"/\u0444\u0430\u0439\u043B"},
      {u"\u76EE\u5F55", u"/\u6587\u4EF6"},
  };
  for (const auto& p : prefixes) {
    std::vector<std::u16string> keys;
    for (int i = 0; i < 100000; ++i) {
      char dir[16], file[16];
      std::snprintf(dir, sizeof dir, "%d", i / 1000);
      std::snprintf(file, sizeof file, "%05d", i);
      keys.push_back(p[0] + std::u16string(dir, dir + std::char_traits<char>::length(dir)) + p[1] +
                     std::u16string(file, file + 5) + u".txt");
    }
    EXPECT_LE(LongestChain(keys), 16u) << keys.front().size();
  }
  // Chinese names that differ only in Chinese characters: an 8-bit form
  // would turn them all into the same string of '?'.
  std::vector<std::u16string> cjk;
  for (int i = 0; i < 100000; ++i) {
    cjk.push_back(u"\u6587\u6863/" +
                  std::u16string{char16_t(0x4E00 + i % 300), char16_t(0x4E00 + i / 300)} + u".txt");
  }
  EXPECT_LE(LongestChain(cjk), 16u);
}

TEST(HashedStringList, RebuildsLargerWhenFull) {
  TKMHashedStringList list(false);
  EXPECT_EQ(list.HashBucketCount(), 0u);
  EXPECT_FALSE(list.HashValid());
  EXPECT_EQ(list.IndexOf(u"x"), -1);  // builds the hash
  EXPECT_EQ(list.HashBucketCount(), 1000u);
  for (int i = 0; i < 5000; ++i) list.Add(std::u16string{u'n', char16_t(u'0' + i % 10)});
  EXPECT_EQ(list.HashBucketCount(), 1000u);
  EXPECT_TRUE(list.HashValid());
  list.Add(u"last");  // line 5001: more than five per bucket
  EXPECT_EQ(list.HashBucketCount(), 0u);
  EXPECT_FALSE(list.HashValid());
  EXPECT_EQ(list.IndexOf(u"LAST"), 5000);
  EXPECT_EQ(list.HashBucketCount(), 5001u);
  EXPECT_EQ(list.IndexOf(u"n3"), 4993);  // the last of the equal lines
}

TEST(HashedStringList, KeysLinesAndEdits) {
  TKMHashedStringList folded(false);
  EXPECT_EQ(folded.Add(u"ABC"), 0);
  EXPECT_EQ(folded.Line(0), u"abc");
  EXPECT_EQ(folded.IndexOf(u"aBc"), 0);
  TKMHashedStringList exact(true);
  exact.Add(u"ABC");
  EXPECT_EQ(exact.Line(0), u"ABC");
  EXPECT_EQ(exact.IndexOf(u"abc"), -1);
  EXPECT_EQ(exact.IndexOf(u"ABC"), 0);

  // Lines added while the hash is valid are found; a delete shifts them.
  folded.Add(u"d");
  folded.Add(u"e");
  EXPECT_EQ(folded.IndexOf(u"e"), 2);
  folded.Delete(0);
  EXPECT_FALSE(folded.HashValid());
  EXPECT_EQ(folded.IndexOf(u"e"), 1);
  EXPECT_EQ(folded.IndexOf(u"abc"), -1);
  folded.ReplaceAt(0, u"F");
  EXPECT_EQ(folded.IndexOf(u"d"), -1);
  EXPECT_EQ(folded.IndexOf(u"f"), 0);
  folded.Clear();
  EXPECT_EQ(folded.Count(), 0);
  EXPECT_EQ(folded.IndexOf(u"f"), -1);
  EXPECT_EQ(folded.Add(u"g"), 0);
  EXPECT_EQ(folded.IndexOf(u"G"), 0);
}

}  // namespace
}  // namespace km

namespace km {
namespace {

// The value hash reads its keys from the list's own lines: a moved list must
// not look them up in the list it was moved from.
TEST(HashedStringList, MovedListsFindTheirOwnLines) {
  TKMHashedStringList a(false);
  a.Add(u"One");
  a.Add(u"Two");
  EXPECT_EQ(a.IndexOf(u"two"), 1);
  TKMHashedStringList b(std::move(a));
  EXPECT_EQ(b.IndexOf(u"TWO"), 1);
  b.Add(u"three");
  TKMHashedStringList c(true);
  c = std::move(b);
  EXPECT_FALSE(c.CaseSensitive());
  EXPECT_EQ(c.IndexOf(u"Three"), 2);
  EXPECT_EQ(c.IndexOf(u"one"), 0);
  a.Add(u"again");  // the moved-from list is empty and usable
  EXPECT_EQ(a.IndexOf(u"AGAIN"), 0);
}

}  // namespace
}  // namespace km
