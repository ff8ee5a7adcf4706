#include "support/Masks.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/CodePage.h"

namespace km {
namespace {

// The matcher exactly as the product defines it: plain recursion, one call
// per '*' position. Exponential, so only for short inputs.
bool ReferenceMatch(const std::u16string& name, const std::u16string& mask, bool ignoreCase) {
  if (mask == u"*.*") return true;
  size_t i = 0, j = 0;
  for (;;) {
    if (mask.substr(j) == u"*") return true;
    if (i == name.size()) return j == mask.size();
    if (j == mask.size()) return false;
    if (mask[j] == u'*') {
      for (size_t k = i; k < name.size(); ++k)
        if (ReferenceMatch(name.substr(k), mask.substr(j + 1), ignoreCase)) return true;
      return false;
    }
    if (mask[j] != u'?') {
      char16_t a = mask[j], b = name[i];
      if (ignoreCase) {
        a = platform::WideCharUpper(a);
        b = platform::WideCharUpper(b);
      }
      if (platform::CompareCharsLinguistic(a, b) != 0) return false;
    }
    ++i;
    ++j;
  }
}

TEST(WildMatch, DocumentedCases) {
  struct Case {
    const char16_t* name;
    const char16_t* mask;
    bool ignoreCase;
    bool expected;
  };
  const Case cases[] = {
      {u"readme", u"*.*", false, true},  // "*.*" as a whole mask needs no dot
      {u"", u"*.*", false, true},
      {u"", u"*", false, true},
      {u"", u"?", false, false},
      {u"a.TXT", u"*.txt", true, true},
      {u"a.TXT", u"*.txt", false, false},
      {u"abc", u"a*.*", true, false},  // here the dot is needed
      {u"ab.c", u"a*.*", true, true},
      {u"a", u"a**", true, false},
      {u"a", u"a*", true, true},  // the rest "*" matches the empty rest of the name
      {u"ab", u"a*b", true, true},
      {u"a", u"*a", true, true},
      {u"ab", u"a**.*", true, true},  // "*.*" as the rest after a star: no dot needed
      {u"a", u"a**.*", true, false},  // but only with a character left to try
      {u"C:\\App\\sub\\file.txt", u"C:\\App\\*.*", true, true},
      {u"C:\\App\\sub", u"C:\\App\\*.*", true, false},
      {u"C:\\App\\sub.", u"C:\\App\\*.*", true, true},
      {u"abc", u"abc", false, true},
      {u"abc", u"ab", false, false},
      {u"ab", u"abc", false, false},
      {u"Файл.TXT", u"файл.*", true, true},  // casing beyond ASCII
      {u"Файл.TXT", u"файл.*", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildMatch(c.name, c.mask, c.ignoreCase), c.expected)
        << platform::WideToUtf8(c.name) << " / " << platform::WideToUtf8(c.mask);
  }
}

// Random strings of up to maxLen characters from the first letters of alphabet.
auto RandomStrings(std::mt19937& rng, std::u16string_view alphabet) {
  return [&rng, alphabet](size_t maxLen, size_t letters) {
    std::u16string s(rng() % (maxLen + 1), u'a');
    for (char16_t& c : s) c = alphabet[rng() % letters];
    return s;
  };
}

TEST(WildMatch, AgreesWithTheRecursiveDefinitionOnRandomInputs) {
  std::mt19937 rng(12345);
  const auto randomString = RandomStrings(rng, u"abA.*?");
  int matches = 0;
  for (int round = 0; round < 40000; ++round) {
    // Names may hold '*' and '?' too: they are ordinary characters there.
    std::u16string name = randomString(8, round % 3 == 0 ? 6 : 4);
    std::u16string mask = randomString(7, 6);
    bool ignoreCase = round % 2 == 0;
    bool expected = ReferenceMatch(name, mask, ignoreCase);
    matches += expected;
    ASSERT_EQ(WildMatch(name, mask, ignoreCase), expected)
        << platform::WideToUtf8(name) << " / " << platform::WideToUtf8(mask) << " ignoreCase "
        << ignoreCase;
  }
  EXPECT_GT(matches, 2000);  // the sample covers both outcomes well
}

TEST(WildMatch, AgreesWithTheRecursiveDefinitionOnExclusionShapedMasks) {
  // Masks such as "*.tmp", "*.~*" and "~*.*" take shortcuts of their own.
  std::mt19937 rng(777);
  const auto randomString = RandomStrings(rng, u"aBb.~*?");
  int matches = 0;
  for (int round = 0; round < 30000; ++round) {
    const std::u16string name = randomString(9, round % 4 == 0 ? 7 : 5);
    const std::u16string literal = randomString(3, 5);
    const std::u16string prefix = randomString(2, round % 5 == 0 ? 7 : 5);
    const std::u16string shapes[] = {prefix + u"*" + literal, prefix + u"*" + literal + u"*",
                                     u"*" + literal, u"*" + literal + u"*"};
    for (const std::u16string& mask : shapes) {
      const bool ignoreCase = round % 2 == 0;
      const bool expected = ReferenceMatch(name, mask, ignoreCase);
      matches += expected;
      ASSERT_EQ(WildMatch(name, mask, ignoreCase), expected)
          << platform::WideToUtf8(name) << " / " << platform::WideToUtf8(mask);
    }
  }
  EXPECT_GT(matches, 10000);
}

// The scan looks at a mask's literal first and last characters before it
// matches a name: a name that fails either never matches the whole mask.
TEST(WildMatch, LiteralEndsMustMatchTheNamesEnds) {
  std::mt19937 rng(4242);
  const auto randomString = RandomStrings(rng, u"aBb.~*?");
  for (int round = 0; round < 40000; ++round) {
    const std::u16string name = randomString(7, 5);
    const std::u16string mask = randomString(6, 6);
    const bool ignoreCase = round % 2 == 0;
    if (mask.empty() || mask == u"*.*" || !WildMatch(name, mask, ignoreCase)) continue;
    const auto literal = [](char16_t c) { return c != u'*' && c != u'?'; };
    if (literal(mask.front())) {
      ASSERT_TRUE(!name.empty() && WildCharMatches(mask.front(), name.front(), ignoreCase))
          << platform::WideToUtf8(name) << " / " << platform::WideToUtf8(mask);
    }
    if (literal(mask.back())) {
      ASSERT_TRUE(!name.empty() && WildCharMatches(mask.back(), name.back(), ignoreCase))
          << platform::WideToUtf8(name) << " / " << platform::WideToUtf8(mask);
    }
  }
  EXPECT_TRUE(WildCharMatches(u'p', u'P', true));
  EXPECT_FALSE(WildCharMatches(u'p', u'P', false));
}

// The scan drops a name before WildMatch when it lacks a character the mask
// needs: that must never drop a name the mask matches, whatever the case or
// the closing "*.*" that needs no dot.
TEST(WildMatch, NamesLackingANeededCharacterNeverMatch) {
  std::mt19937 rng(9090);
  const auto randomString = RandomStrings(rng, u"aBb.~*?жЖ");
  int matches = 0, dropped = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::u16string name = randomString(7, 9);
    std::u16string mask = randomString(5, 9);
    if (round % 4 == 0) mask += u"*.*";
    const bool lacks = (WildMaskNeeds(mask) & ~WildNameBits(name)) != 0;
    dropped += lacks;
    if (!WildMatch(name, mask, true)) continue;
    ++matches;
    ASSERT_FALSE(lacks) << platform::WideToUtf8(name) << " / " << platform::WideToUtf8(mask);
  }
  EXPECT_GT(matches, 2000);
  EXPECT_GT(dropped, 10000);  // and it does drop most names that cannot match
  EXPECT_EQ(WildMaskNeeds(u"*.*") | WildMaskNeeds(u"*") | WildMaskNeeds(u"?"), 0u);
  EXPECT_NE(WildMaskNeeds(u"*.tmp") & ~WildNameBits(u"report.TXT"), 0u);
  EXPECT_EQ(WildMaskNeeds(u"*.tmp") & ~WildNameBits(u"REPORT.TMP"), 0u);
}

TEST(WildMatch, ManyStarsStayFast) {
  // The naive recursion needs about C(200, 8) steps for these.
  std::u16string name(200, u'a');
  EXPECT_FALSE(WildMatch(name, u"*a*a*a*a*a*a*a*a*b", false));
  name.back() = u'b';
  EXPECT_TRUE(WildMatch(name, u"*a*a*a*a*a*a*a*a*b", false));
  std::u16string longName(5000, u'x');
  EXPECT_FALSE(WildMatch(longName, std::u16string(300, u'*') + u"y", true));
  EXPECT_TRUE(WildMatch(longName, std::u16string(300, u'*') + u"x", true));
}

TEST(ReplaceAll, ReplacesLeftToRightWithoutRescanning) {
  EXPECT_EQ(ReplaceAll(u"a/b/c/", u"/", u"\\"), u"a\\b\\c\\");
  EXPECT_EQ(ReplaceAll(u"aaa", u"aa", u"a"), u"aa");  // no rescan of the result
  EXPECT_EQ(ReplaceAll(u"abc", u"b", u"bb"), u"abbc");
  EXPECT_EQ(ReplaceAll(u"abc", u"", u"x"), u"abc");
  EXPECT_EQ(ReplaceAll(u"", u"a", u"x"), u"");
}

}  // namespace
}  // namespace km
