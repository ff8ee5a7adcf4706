#include "platform/HostPath.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "common/TempDir.h"
#include "platform/CodePage.h"

namespace km {
namespace {

using std::filesystem::path;
using test::HostName;

TEST(HostPathTest, DriveRootAndRelativePaths) {
#ifdef _WIN32
  // The host's paths are already Windows paths: drives, UNC names and
  // relative paths pass both ways as they are, only '/' turns into '\'.
  EXPECT_EQ(ToWindowsView("/home/u/x.txt"), u"\\home\\u\\x.txt");
  EXPECT_EQ(ToWindowsView("a/b"), u"a\\b");
  EXPECT_EQ(ToWindowsView("../a"), u"..\\a");
  EXPECT_EQ(ToWindowsView(""), u"");
  EXPECT_EQ(ToWindowsView(L"C:\\Windows\\x.txt"), u"C:\\Windows\\x.txt");
  EXPECT_EQ(ToWindowsView(L"\\\\server\\share/f"), u"\\\\server\\share\\f");

  // No drive stands for the host root: C: is C:, and a UNC path is one too.
  for (const std::u16string& windows :
       {std::u16string(u"C:\\Windows"), std::u16string(u"Z:\\home\\u\\x.txt"),
        std::u16string(u"\\\\server\\share\\f"), std::u16string(u"\\\\?\\C:\\a"),
        std::u16string(u"a\\b"), std::u16string(u"\\etc")}) {
    const path host = FromWindowsView(windows);
    EXPECT_EQ(host.native(), std::wstring(windows.begin(), windows.end()));
    EXPECT_EQ(ToWindowsView(host), windows);
  }
  EXPECT_TRUE(FromWindowsView(u"").empty());
  EXPECT_TRUE(FromWindowsView(std::u16string(u"C:\\a\0b", 6)).empty());
#else
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
#endif
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
  for (const std::u16string& name : names) {
#ifdef _WIN32
    // Host names are UTF-16 here: every unit is kept, a lone surrogate too
    // (NTFS holds one), and only text without one has a UTF-8 spelling.
    const path host = FromWindowsView(u".\\" + name);
    EXPECT_EQ(ToWindowsView(host.filename()), name);
    if (platform::Utf8ToWide(platform::WideToUtf8(name)) == name) {
      EXPECT_EQ(HostName(WindowsNameToHost(name)), host.filename());
    }
#else
    EXPECT_EQ(WindowsNameToHost(name), FromWindowsView(u".\\" + name).filename().native());
#endif
  }
}

TEST(HostPathTest, ReservedCharactersAreNeitherLostNorSeparators) {
#ifdef _WIN32
  // No Windows name holds a reserved character: '\' always separates.
  const path split = FromWindowsView(u"\\d\\a\\b");
  EXPECT_EQ(std::distance(split.begin(), split.end()), 4);  // "\", "d", "a", "b"
  EXPECT_EQ(ToWindowsView(path(L"\\d") / L"a\\b"), u"\\d\\a\\b");
  // A name that really holds U+F05C keeps it, never turned into '\'.
  const path privateUse = HostName("x\xEF\x81\x9C");
  EXPECT_EQ(ToWindowsView(privateUse), u"x\uF05C");
  EXPECT_EQ(FromWindowsView(u"x\uF05C"), privateUse);
#else
  const std::string name = "a\\b:c*?\"<>|";
  const std::u16string wide = ToWindowsView(path("/d") / name);
  EXPECT_EQ(wide, u"Z:\\d\\a\uF05Cb\uF03Ac\uF02A\uF03F\uF022\uF03C\uF03E\uF07C");
  EXPECT_EQ(FromWindowsView(wide), path("/d") / name);

  // A host name that really holds U+F05C must not come back as '\'.
  const std::string privateUse = "x\xEF\x81\x9C";
  const std::u16string privateWide = ToWindowsView(privateUse);
  EXPECT_NE(privateWide, ToWindowsView("x\\"));
  EXPECT_EQ(FromWindowsView(privateWide).native(), privateUse);
#endif
}

TEST(HostPathTest, NamesDecodeAsUtf8AndInvalidBytesRoundTrip) {
#ifdef _WIN32
  // Narrow host text is UTF-8, whatever the ANSI code page says.
  EXPECT_EQ(HostTextToWindowsView("\xD0\x9F\xD1\x80\xD0\xB8/x"), u"\u041F\u0440\u0438\\x");
  EXPECT_EQ(ToWindowsView(HostName("\xE6\x96\x87\xF0\x9F\x98\x80")), u"\u6587\U0001F600");
  EXPECT_EQ(FromWindowsView(u"\u6587\U0001F600").native(), L"\u6587\U0001F600");
  // Names are UTF-16 on this host, so there are no undecodable bytes to
  // carry; bad text shows as U+FFFD instead of vanishing.
  EXPECT_EQ(HostTextToWindowsView("caf\xE9"), u"caf\uFFFD");
  // A lone surrogate from an archive name is a valid host name here.
  EXPECT_EQ(FromWindowsView(std::u16string(1, char16_t(0xD800))).native(),
            std::wstring(1, wchar_t(0xD800)));
#else
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
#endif
}

TEST(HostPathTest, EveryHostNameRoundTrips) {
  std::mt19937 random(1234);
#ifdef _WIN32
  // Any UTF-16 units but NUL and the separators make a host name, and come
  // back unit for unit.
  for (int i = 0; i < 20000; ++i) {
    std::u16string name(1 + random() % 12, u'\0');
    for (char16_t& c : name) {
      do c = static_cast<char16_t>(random());
      while (c == u'\0' || c == u'/' || c == u'\\');
    }
    if (name == u"." || name == u"..") continue;
    const path host = FromWindowsView(u".\\" + name);
    ASSERT_EQ(std::distance(host.begin(), host.end()), 2);
    ASSERT_EQ(ToWindowsView(host.filename()), name);
  }
#else
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
#endif
}

}  // namespace
}  // namespace km
