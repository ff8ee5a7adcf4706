#include "support/SafePath.h"

#include <gtest/gtest.h>

#include <string>

namespace km {
namespace {

const std::u16string kRoot = u"Z:\\work\\dest\\";

std::u16string Printable(const std::u16string& s) {
  std::u16string out;
  for (char16_t c : s) out += c == u'\0' ? std::u16string(u"\\0") : std::u16string(1, c);
  return out;
}

TEST(SafePath, NamesFromAnArchiveThatLeaveTheRootAreRefused) {
  const std::u16string hostile[] = {
      u"../x",
      u"a/../../x",
      u"./././y/x/../../../../tmp/zz",
      u"/etc/x",
      u"\\x",
      u"C:x",
      u"C:\\x",
      u"W:../pwned.txt",
      u"\\\\server\\share\\x",
      u"//server/share/x",
      u"a\\..\\..\\x",
      std::u16string(u"x\0y", 3),
      u"..",
      u"a/..",
      u".",
      u"",
      u"a/b:stream",
      u"a/.../b",  // Windows may read a run of dots as a parent
      u"a/.. /b",
      u"a//b",
      u"\\\\?\\C:\\x",
  };
  for (const std::u16string& name : hostile) {
    std::u16string normalized;
    size_t rootLength = 0;
    EXPECT_FALSE(IsInsideRoot(kRoot, kRoot + name, normalized, rootLength))
        << std::string(Printable(name).begin(), Printable(name).end());
  }
}

TEST(SafePath, NamesThatStayBelowTheRootPassInNormalForm) {
  struct Case {
    std::u16string name;
    std::u16string normalized;
  };
  const Case cases[] = {
      {u"a/b.txt", u"Z:\\work\\dest\\a\\b.txt"}, {u"a..b/c", u"Z:\\work\\dest\\a..b\\c"},
      {u"...txt", u"Z:\\work\\dest\\...txt"},    {u"a/./b/../c.txt", u"Z:\\work\\dest\\a\\c.txt"},
      {u"sub/", u"Z:\\work\\dest\\sub\\"},       {u"x/../y", u"Z:\\work\\dest\\y"},
  };
  for (const Case& c : cases) {
    std::u16string normalized;
    size_t rootLength = 0;
    ASSERT_TRUE(IsInsideRoot(kRoot, kRoot + c.name, normalized, rootLength))
        << std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(normalized, c.normalized);
    EXPECT_EQ(normalized.substr(0, rootLength), kRoot);
  }
}

TEST(SafePath, RootSpellingAndHostRules) {
  // The root's own oddities are its caller's: a doubled separator inside it
  // does not refuse the names below it.
  EXPECT_TRUE(IsInsideRoot(u"Z:\\work\\\\dest\\", u"Z:\\work\\\\dest\\a.txt"));
  // A relative root may start above its base; names may not climb out of it.
  EXPECT_TRUE(IsInsideRoot(u"..\\out\\", u"..\\out\\a.txt"));
  EXPECT_FALSE(IsInsideRoot(u"..\\out\\", u"..\\out\\..\\..\\a.txt"));
  // A drive-relative root cannot be pinned down.
  EXPECT_FALSE(IsInsideRoot(u"C:dest\\", u"C:dest\\a.txt"));
  // A sibling that only shares a prefix is outside.
  EXPECT_FALSE(IsInsideRoot(kRoot, u"Z:\\work\\dest2\\a.txt"));
#ifndef _WIN32
  // POSIX names differ by case and by trailing dots: "dest." is a sibling.
  EXPECT_FALSE(IsInsideRoot(kRoot, kRoot + u"..\\dest.\\x"));
  EXPECT_FALSE(IsInsideRoot(kRoot, u"Z:\\work\\DEST\\x"));
#else
  EXPECT_TRUE(IsInsideRoot(kRoot, u"Z:\\work\\DEST\\x"));
#endif
}

}  // namespace
}  // namespace km
