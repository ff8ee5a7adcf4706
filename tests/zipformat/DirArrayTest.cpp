#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "zipformat/DirArray.h"

namespace km {
namespace {

template <typename F>
int32_t NativeCodeOf(F&& f) {
  try {
    f();
  } catch (const EKMException& e) {
    return e.NativeError();
  }
  return -1;
}

TDirItem Named(const std::u16string& name) {
  TDirItem item;
  item.FileName = name;
  return item;
}

TKMDirArray Filled(bool caseSensitive, std::initializer_list<std::u16string> names) {
  TKMDirArray dir(caseSensitive);
  dir.SetCount(int32_t(names.size()));
  int32_t i = 0;
  for (const std::u16string& name : names) dir.RenameItem(i++, name);
  return dir;
}

TEST(DirArray, GrowsInStepsAndReleasesAtZero) {
  TKMDirArray dir;
  EXPECT_EQ(dir.Capacity(), 0);
  dir.SetCount(3);
  EXPECT_EQ(dir.Count(), 3);
  EXPECT_EQ(dir.Capacity(), 1000);
  dir.SetCount(1001);
  EXPECT_EQ(dir.Capacity(), 3000);
  // Then 4000, 8000 and 10000 at a time, or what is asked when more.
  dir.SetCount(3001);
  EXPECT_EQ(dir.Capacity(), 7000);
  dir.SetCount(7001);
  EXPECT_EQ(dir.Capacity(), 15000);
  dir.SetCount(15001);
  EXPECT_EQ(dir.Capacity(), 25000);
  dir.SetCount(60000);
  EXPECT_EQ(dir.Capacity(), 60000);

  // Shrinking keeps the slots; grown-again items start empty.
  dir.ItemPtr(1)->Crc32 = 5;
  dir.ItemPtr(1)->ExtraFields.push_back({1, 1, {1}});
  dir.SetCount(1);
  EXPECT_EQ(dir.Capacity(), 60000);
  dir.SetCount(2);
  EXPECT_EQ(dir.GetItem(1).Crc32, 0u);
  EXPECT_TRUE(dir.GetItem(1).ExtraFields.empty());

  dir.SetCount(0);
  EXPECT_EQ(dir.Count(), 0);
  EXPECT_EQ(dir.Capacity(), 0);

  // Counts no directory can have are refused before any allocation.
  dir.SetCount(2);
  EXPECT_EQ(NativeCodeOf([&] { dir.SetCount(-1); }), 1);
  EXPECT_EQ(NativeCodeOf([&] { dir.SetCount(int64_t(1) << 32); }), 1);
  EXPECT_EQ(NativeCodeOf([&] { dir.SetCount(uint64_t(0xFFFFFFFFFFFFFFFF)); }), 1);
  EXPECT_EQ(dir.Count(), 2);
}

TEST(DirArray, IndexErrorsCarryTheirCodeAndChangeNothing) {
  TKMDirArray dir;
  TDirItem item = Named(u"a.txt");
  item.ExtraFields.push_back({0x000A, 3, {1, 2, 3}});
  dir.Add(item);
  EXPECT_EQ(NativeCodeOf([&] { dir.SetItem(1, item); }), 1);
  EXPECT_EQ(NativeCodeOf([&] { dir.GetItem(-1); }), 2);
  EXPECT_EQ(NativeCodeOf([&] { dir.RenameItem(1, u"x"); }), 2);
  EXPECT_EQ(NativeCodeOf([&] { dir.ItemPtr(1); }), 3);
  EXPECT_EQ(NativeCodeOf([&] { dir.Delete(5); }), 4);
  EXPECT_EQ(dir.Count(), 1);
  EXPECT_EQ(dir.FindItem(u"a.txt"), 0);
}

TEST(DirArray, FindItemFollowsTheCaseRuleOfItsHost) {
  const TKMDirArray folded = Filled(false, {u"A.txt", u"b/C.TXT", u"d/"});
  EXPECT_EQ(folded.FindItem(u"a.TXT"), 0);
  EXPECT_EQ(folded.FindItem(u"B/c.txt"), 1);
  EXPECT_EQ(folded.FindItem(u"D/"), 2);
  EXPECT_EQ(folded.FindItem(u"d"), -1);
  EXPECT_EQ(folded.GetItem(1).FileName, u"b/C.TXT");  // the item keeps its case

  // Case-sensitive: README and Readme are two entries.
  TKMDirArray exact = Filled(true, {u"A.txt", u"b/C.TXT", u"README", u"Readme"});
  EXPECT_EQ(exact.FindItem(u"a.TXT"), -1);
  EXPECT_EQ(exact.FindItem(u"A.txt"), 0);
  EXPECT_EQ(exact.FindItem(u"README"), 2);
  EXPECT_EQ(exact.FindItem(u"Readme"), 3);
  exact.RenameItem(3, u"readme");  // its own line, not README's
  EXPECT_EQ(exact.FindItem(u"README"), 2);
  EXPECT_EQ(exact.FindItem(u"readme"), 3);

  // Cyrillic folds too.
  const TKMDirArray cyr = Filled(false, {u"\u041F\u0430\u043F\u043A\u0430/"});
  EXPECT_EQ(cyr.FindItem(u"\u043F\u0410\u041F\u043A\u0430/"), 0);

  EXPECT_EQ(TKMDirArray().CaseSensitive(), kCaseSensitiveNames);
}

TEST(DirArray, SetItemKeepsTheIndexInStep) {
  TKMDirArray dir(false);
  dir.Add(Named(u"a"));
  dir.Add(Named(u"b"));
  dir.Add(Named(u"c"));
  EXPECT_EQ(NativeCodeOf([&] { dir.SetItem(5, Named(u"x")); }), 1);

  // Three lines, six items: item 5 cannot have its line in place.
  dir.SetCount(6);
  EXPECT_EQ(NativeCodeOf([&] { dir.SetItem(5, Named(u"x")); }), 58);
  EXPECT_TRUE(dir.GetItem(5).FileName.empty());
  EXPECT_EQ(dir.FindItem(u"x"), -1);
  EXPECT_EQ(NativeCodeOf([&] { dir.Add(Named(u"y")); }), 58);
  EXPECT_EQ(dir.Count(), 6);

  dir.SetItem(3, Named(u"D"));  // appends line 3
  EXPECT_EQ(dir.FindItem(u"d"), 3);
  dir.SetItem(0, Named(u"Z"));  // replaces line 0
  EXPECT_EQ(dir.FindItem(u"a"), -1);
  EXPECT_EQ(dir.FindItem(u"z"), 0);
  EXPECT_EQ(dir.GetItem(0).FileName, u"Z");
}

TEST(DirArray, DeleteMovesLaterItemsDown) {
  TKMDirArray dir = Filled(false, {u"one", u"two", u"three"});
  EXPECT_EQ(dir.FindItem(u"three"), 2);  // the hash exists before the delete
  dir.Delete(0);
  EXPECT_EQ(dir.Count(), 2);
  EXPECT_EQ(dir.FindItem(u"three"), 1);
  EXPECT_EQ(dir.FindItem(u"two"), 0);
  EXPECT_EQ(dir.FindItem(u"one"), -1);
  dir.Clear();
  EXPECT_EQ(dir.Count(), 0);
  EXPECT_EQ(dir.FindItem(u"two"), -1);
  EXPECT_EQ(dir.Add(Named(u"new")), 0);
  EXPECT_EQ(dir.FindItem(u"new"), 0);
}

TEST(DirArray, DuplicateNames) {
  TKMDirArray dir = Filled(false, {u"a.txt", u"b", u"A.TXT"});
  EXPECT_EQ(dir.FindItem(u"a.txt"), 2);  // the last one
  // The other one's name is found at another line: refused, name kept.
  EXPECT_EQ(NativeCodeOf([&] { dir.RenameItem(0, u"x"); }), 59);
  EXPECT_EQ(dir.GetItem(0).FileName, u"a.txt");
  EXPECT_EQ(dir.FindItem(u"x"), -1);

  // Replacing the older of two equal lines leaves the newer one findable.
  dir.SetItem(0, Named(u"c"));
  EXPECT_EQ(dir.FindItem(u"a.txt"), 2);
  EXPECT_EQ(dir.FindItem(u"c"), 0);
  dir.RenameItem(2, u"x");
  EXPECT_EQ(dir.FindItem(u"x"), 2);
  EXPECT_EQ(dir.FindItem(u"a.txt"), -1);

  // While filling, an earlier empty name matches the next unnamed item: the
  // reader takes that as a damaged directory (a zeroed one reads this way).
  TKMDirArray withEmpty(false);
  withEmpty.SetCount(2);
  withEmpty.RenameItem(0, u"");
  EXPECT_EQ(NativeCodeOf([&] { withEmpty.RenameItem(1, u"b"); }), 59);
}

TEST(DirArray, LinesOfCutItemsNameNothing) {
  TKMDirArray dir = Filled(false, {u"a", u"b", u"c"});
  dir.SetCount(1);
  EXPECT_EQ(dir.FindItem(u"c"), -1);
  dir.SetCount(3);
  dir.RenameItem(2, u"z");  // takes over its own stale line
  EXPECT_EQ(dir.FindItem(u"z"), 2);
  EXPECT_EQ(dir.FindItem(u"c"), -1);
  // Renaming out of order cannot put a line in place.
  TKMDirArray fresh(false);
  fresh.SetCount(3);
  EXPECT_EQ(NativeCodeOf([&] { fresh.RenameItem(2, u"q"); }), 59);
  EXPECT_TRUE(fresh.GetItem(2).FileName.empty());
}

TEST(DirArray, AssignGivesAnIndependentCopy) {
  TKMDirArray dir(false);
  TDirItem item = Named(u"a.txt");
  item.ExtraFields.push_back({0x000A, 3, {1, 2, 3}});
  dir.Add(item);
  dir.Add(Named(u"b.txt"));

  TKMDirArray copy(false);
  copy.Add(Named(u"old"));
  copy.Assign(dir);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.FindItem(u"old"), -1);
  EXPECT_EQ(copy.FindItem(u"b.txt"), 1);
  copy.ItemPtr(0)->ExtraFields[0].Data[0] = 9;
  copy.ItemPtr(0)->Modified = true;
  copy.RenameItem(1, u"c.txt");
  copy.Delete(0);
  EXPECT_EQ(dir.GetItem(0).ExtraFields[0].Data[0], 1);
  EXPECT_FALSE(dir.GetItem(0).Modified);
  EXPECT_EQ(dir.FindItem(u"b.txt"), 1);
  EXPECT_EQ(dir.FindItem(u"c.txt"), -1);

  copy.Assign(copy);  // to itself: nothing lost
  EXPECT_EQ(copy.FindItem(u"c.txt"), 0);

  // Adding an item of the array to itself while it grows.
  TKMDirArray grow(false);
  grow.Add(item);
  for (int i = 0; i < 1500; ++i) grow.Add(grow.GetItem(0));
  EXPECT_EQ(grow.GetItem(1500).ExtraFields[0].Data, item.ExtraFields[0].Data);

  grow.ItemPtr(3)->Marked = true;
  grow.ItemPtr(4)->Modified = true;
  grow.ClearMarks();
  grow.ClearModified();
  EXPECT_FALSE(grow.GetItem(3).Marked);
  EXPECT_FALSE(grow.GetItem(4).Modified);
}

// Names given as a directory is read get their index lines only when a
// lookup or a change needs them; from then on the array behaves as one whose
// items were renamed one by one.
TEST(DirArray, ReadNamesAreIndexedWhenFirstNeeded) {
  const std::initializer_list<std::u16string> names = {u"a", u"B", u"a", u"c"};
  auto read = [&](bool caseSensitive) {
    TKMDirArray dir(caseSensitive);
    dir.SetCount(int32_t(names.size()) + 2);
    int32_t i = 0;
    for (const std::u16string& name : names) dir.NameReadItem(i++, name);
    dir.SetCount(i);
    return dir;
  };
  for (bool caseSensitive : {false, true}) {
    TKMDirArray lazy = read(caseSensitive);
    TKMDirArray eager = Filled(caseSensitive, names);
    EXPECT_EQ(lazy.GetItem(3).FileName, u"c");
    for (const std::u16string name : {u"a", u"b", u"B", u"c", u"d"})
      EXPECT_EQ(lazy.FindItem(name), eager.FindItem(name)) << caseSensitive;
    ASSERT_EQ(lazy.NameIndex().Count(), 4);
    for (int32_t k = 0; k < 4; ++k) EXPECT_EQ(lazy.NameIndex().Line(k), eager.NameIndex().Line(k));

    // Cut, or changed, before any lookup: the same as the renamed ones (the
    // lines of cut items stay and name nothing; a change finds its lines).
    const std::vector<std::function<void(TKMDirArray&)>> steps = {
        [](TKMDirArray& d) { d.SetCount(1); },
        [](TKMDirArray& d) {
          d.Delete(0);
          d.RenameItem(2, u"z");
          d.Add(Named(u"e"));
        },
        [](TKMDirArray& d) { d.SetItem(3, Named(u"a")); },
    };
    for (size_t k = 0; k < steps.size(); ++k) {
      TKMDirArray lazyStep = read(caseSensitive);
      TKMDirArray eagerStep = Filled(caseSensitive, names);
      steps[k](lazyStep);
      steps[k](eagerStep);
      for (const std::u16string name : {u"a", u"B", u"c", u"z", u"e"})
        EXPECT_EQ(lazyStep.FindItem(name), eagerStep.FindItem(name)) << k << caseSensitive;
    }
    // Out of order it is a rename, with the rename's rules.
    TKMDirArray fresh(caseSensitive);
    fresh.SetCount(3);
    EXPECT_EQ(NativeCodeOf([&] { fresh.NameReadItem(2, u"q"); }), 59);
  }
}

// A copy asked for before a run is made only when the array first changes,
// of the array as it was; a run that changes nothing copies nothing.
TEST(DirArray, APendingCopyIsMadeOnlyWhenTheArrayChanges) {
  TKMDirArray dir = Filled(false, {u"a", u"b", u"c"});
  TKMDirArray copy(false);
  copy.Add(Named(u"stale"));
  dir.CopyBeforeChange(&copy);
  // Looking, finding, and clearing flags that none has: no change.
  EXPECT_EQ(dir.FindItem(u"b"), 1);
  dir.ClearMarks();
  dir.ClearModified();
  EXPECT_TRUE(dir.CopyPending());
  EXPECT_EQ(copy.Count(), 1);
  dir.CopyBeforeChange(nullptr);
  EXPECT_FALSE(dir.CopyPending());
  dir.ItemPtr(0)->Marked = true;
  EXPECT_EQ(copy.Count(), 1);

  // Each kind of change makes the copy first, of the array as it was.
  const std::vector<std::function<void(TKMDirArray&)>> changes = {
      [](TKMDirArray& d) { d.ItemPtr(1)->Modified = true; },
      [](TKMDirArray& d) { d.RenameItem(1, u"x"); },
      [](TKMDirArray& d) { d.Delete(1); },
      [](TKMDirArray& d) { d.Add(d.GetItem(1)); },
      [](TKMDirArray& d) { d.SetItem(1, Named(u"y")); },
      [](TKMDirArray& d) { d.SetCount(1); },
      [](TKMDirArray& d) { d.ClearMarks(); },
      [](TKMDirArray& d) { d.Clear(); },
  };
  for (size_t k = 0; k < changes.size(); ++k) {
    TKMDirArray d = Filled(false, {u"a", u"b", u"c"});
    d.ItemPtr(2)->Marked = true;
    TKMDirArray c(false);
    d.CopyBeforeChange(&c);
    changes[k](d);
    EXPECT_FALSE(d.CopyPending()) << k;
    ASSERT_EQ(c.Count(), 3) << k;
    EXPECT_EQ(c.GetItem(1).FileName, u"b") << k;
    EXPECT_FALSE(c.GetItem(1).Modified) << k;
    EXPECT_TRUE(c.GetItem(2).Marked) << k;
    EXPECT_EQ(c.FindItem(u"b"), 1) << k;
    // The copy is one of its own.
    c.RenameItem(0, u"q");
    EXPECT_NE(d.Count() > 0 ? d.GetItem(0).FileName : u"", u"q") << k;
  }
}

// 100,000 entries read in order and then looked up one by one, as opening
// a large archive and syncing it against its tree does. A linear name search
// would make this billions of string comparisons.
TEST(DirArray, ManyNamesAreFoundWithoutScanning) {
  constexpr int kCount = 100000;
  auto nameOf = [](int i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "dir%d/file%05d.txt", i / 1000, i);
    return std::u16string(buf, buf + std::char_traits<char>::length(buf));
  };
  TKMDirArray dir(false);
  dir.SetCount(kCount);
  for (int i = 0; i < kCount; ++i) dir.RenameItem(i, nameOf(i));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(dir.FindItem(nameOf(i)), i);

  // Appending with a lookup before each add (the sync's "is it there yet").
  TKMDirArray added(false);
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(added.FindItem(nameOf(i)), -1);
    added.Add(Named(nameOf(i)));
  }
  EXPECT_EQ(added.FindItem(nameOf(kCount / 2)), kCount / 2);
  EXPECT_LE(added.Capacity(), kCount + TKMDirArray::kMaxGrowthStep);
}

}  // namespace
}  // namespace km
