#include "platform/HostPath.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace km {
namespace {

using std::filesystem::path;

TEST(HostPathTest, DriveRootAndRelativePaths) {
  EXPECT_EQ(ToWindowsView("/home/u/x.txt"), u"Z:\\home\\u\\x.txt");
  EXPECT_EQ(ToWindowsView("/"), u"Z:\\");
  EXPECT_EQ(ToWindowsView("//home//u/"), u"Z:\\home\\u\\");
  EXPECT_EQ(ToWindowsView("a/b"), u"a\\b");
  EXPECT_EQ(ToWindowsView("../a"), u"..\\a");
  EXPECT_EQ(ToWindowsView(""), u"");

  EXPECT_EQ(FromWindowsView(u"Z:\\home\\u\\x.txt"), path("/home/u/x.txt"));
  EXPECT_EQ(FromWindowsView(u"z:\\home"), path("/home"));  // drive letter ignores case
  EXPECT_EQ(FromWindowsView(u"Z:/a//b\\"), path("/a/b/"));
  EXPECT_EQ(FromWindowsView(u"Z:\\"), path("/"));
  EXPECT_EQ(FromWindowsView(u"\\etc"), path("/etc"));
  EXPECT_EQ(FromWindowsView(u"a\\b"), path("a/b"));
  EXPECT_EQ(FromWindowsView(u"Z:rel\\x"), path("rel/x"));
  EXPECT_EQ(FromWindowsView(u"Z:"), path("."));
  EXPECT_EQ(FromWindowsView(u"\\\\?\\Z:\\a"), path("/a"));

  // Nothing on the host answers to these.
  EXPECT_TRUE(FromWindowsView(u"C:\\Windows").empty());
  EXPECT_TRUE(FromWindowsView(u"\\\\server\\share\\f").empty());
  EXPECT_TRUE(FromWindowsView(u"\\\\?\\UNC\\server\\share").empty());
  EXPECT_TRUE(FromWindowsView(u"").empty());
  EXPECT_TRUE(FromWindowsView(std::u16string(u"Z:\\a\0b", 6)).empty());
}

// A single name converts as the last component of a path holding it does:
// looking files up by name relies on that.
TEST(HostPathTest, OneNameConvertsAsInAPath) {
  const std::u16string names[] = {u"plain.txt",
                                  u"a:b",
                                  u"..",
                                  u".",
                                  u"trailing. ",
                                  u"\u0444\u0430\u0439\u043B",
                                  u"a\uF05Cb\uF03Ac\uF02A\uF07C",
                                  std::u16string(u"esc\xDCFF\xDC80"),
                                  std::u16string(u"pair\xD83D\xDE00"),
                                  std::u16string(u"lone\xD800x")};
  for (const std::u16string& name : names)
    EXPECT_EQ(WindowsNameToHost(name), FromWindowsView(u".\\" + name).filename().native());
}

TEST(HostPathTest, ReservedCharactersAreNeitherLostNorSeparators) {
  const std::string name = "a\\b:c*?\"<>|";
  const std::u16string wide = ToWindowsView(path("/d") / name);
  EXPECT_EQ(wide, u"Z:\\d\\a\uF05Cb\uF03Ac\uF02A\uF03F\uF022\uF03C\uF03E\uF07C");
  EXPECT_EQ(FromWindowsView(wide), path("/d") / name);

  // A host name that really holds U+F05C must not come back as '\'.
  const std::string privateUse = "x\xEF\x81\x9C";
  const std::u16string privateWide = ToWindowsView(privateUse);
  EXPECT_NE(privateWide, ToWindowsView("x\\"));
  EXPECT_EQ(FromWindowsView(privateWide).native(), privateUse);
}

TEST(HostPathTest, NamesDecodeAsUtf8AndInvalidBytesRoundTrip) {
  EXPECT_EQ(ToWindowsView("\xD0\x9F\xD1\x80\xD0\xB8"), u"\u041F\u0440\u0438");  // Cyrillic
  EXPECT_EQ(ToWindowsView("\xE6\x96\x87\xF0\x9F\x98\x80"), u"\u6587\U0001F600");
  EXPECT_EQ(FromWindowsView(u"\u6587\U0001F600").native(), "\xE6\x96\x87\xF0\x9F\x98\x80");

  // Latin-1 bytes, truncated and overlong sequences, an encoded surrogate.
  for (const std::string bad :
       {"caf\xE9", "\xE6\x96", "\xC0\xAF", "\xED\xA0\x80", "\xFF\xFE", "\xF4\x90\x80\x80"}) {
    const std::u16string wide = ToWindowsView(bad);
    EXPECT_EQ(wide.find(u'\uFFFD'), std::u16string::npos);
    EXPECT_EQ(FromWindowsView(wide).native(), bad);
  }
  EXPECT_NE(ToWindowsView("\xFF"), ToWindowsView("\xFE"));

  // A lone surrogate from an archive name has no host form; it must not vanish.
  EXPECT_EQ(FromWindowsView(std::u16string(1, char16_t(0xD800))).native(), "\xEF\xBF\xBD");
}

TEST(HostPathTest, EveryHostNameRoundTrips) {
  std::mt19937 random(1234);
  std::set<std::string> names;
  std::set<std::u16string> seen;
  for (int i = 0; i < 20000; ++i) {
    std::string name(1 + random() % 12, '\0');
    for (char& c : name) {
      do c = static_cast<char>(random());
      while (c == '\0' || c == '/');
    }
    if (name == "." || name == "..") continue;
    const std::u16string wide = ToWindowsView(name);
    ASSERT_EQ(wide.find_first_of(u"\\/"), std::u16string::npos) << name;
    ASSERT_EQ(FromWindowsView(u".\\" + wide).filename().native(), name);
    names.insert(name);
    seen.insert(wide);
  }
  EXPECT_EQ(seen.size(), names.size());  // distinct names stay distinct
}

}  // namespace
}  // namespace km
