#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <string>

namespace km::platform {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(char(v));
  return s;
}

TEST(CodePageTest, EveryAnsiByteRoundTripsThroughWide) {
  for (int b = 0; b < 256; ++b) {
    std::string one(1, char(b));
    std::u16string wide = AnsiToWide(one);
    ASSERT_EQ(wide.size(), 1u) << b;
    EXPECT_EQ(WideToAnsi(wide), one) << b;
  }
  // The unassigned byte still decodes, to the C1 control of the same value.
  EXPECT_EQ(AnsiToWide(Bytes({0x98})), u"\u0098");
}

TEST(CodePageTest, EveryOemByteRoundTripsThroughWide) {
  for (int b = 0; b < 256; ++b) {
    std::string one(1, char(b));
    std::u16string wide = OemToWide(one);
    ASSERT_EQ(wide.size(), 1u) << b;
    EXPECT_EQ(WideToOem(wide), one) << b;
  }
}

TEST(CodePageTest, CyrillicInBothPages) {
  const std::u16string upper = u"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";
  const std::u16string lower = u"абвгдежзийклмнопрстуфхцчшщъыьэюя";
  std::string ansiUpper, ansiLower, oemUpper, oemLower;
  for (int i = 0; i < 32; ++i) {
    ansiUpper.push_back(char(0xC0 + i));
    ansiLower.push_back(char(0xE0 + i));
    oemUpper.push_back(char(0x80 + i));
    // The OEM lower-case letters are split around the box-drawing block.
    oemLower.push_back(char(i < 16 ? 0xA0 + i : 0xE0 + i - 16));
  }
  EXPECT_EQ(WideToAnsi(upper), ansiUpper);
  EXPECT_EQ(WideToAnsi(lower), ansiLower);
  EXPECT_EQ(WideToOem(upper), oemUpper);
  EXPECT_EQ(WideToOem(lower), oemLower);
  EXPECT_EQ(AnsiToWide(ansiLower), lower);
  EXPECT_EQ(OemToWide(oemUpper), upper);

  EXPECT_EQ(WideToAnsi(u"Ёё№"), Bytes({0xA8, 0xB8, 0xB9}));
  EXPECT_EQ(WideToOem(u"Ёё№"), Bytes({0xF0, 0xF1, 0xFC}));
  EXPECT_EQ(AnsiToWide(Bytes({0x88, 0xA0})), u"€\u00A0");
}

TEST(CodePageTest, OemPseudographics) {
  EXPECT_EQ(OemToWide(Bytes({0xB0, 0xB3, 0xC4, 0xC9, 0xBB, 0xDB})), u"░│─╔╗█");
  EXPECT_EQ(WideToOem(u"╚═╝"), Bytes({0xC8, 0xCD, 0xBC}));
  // Windows-1251 has no box drawing.
  EXPECT_EQ(WideToAnsi(u"╚═╝"), "???");
}

TEST(CodePageTest, UnmappableBecomesQuestionMark) {
  EXPECT_EQ(WideToAnsi(u"a中b"), "a?b");
  EXPECT_EQ(WideToOem(u"中文"), "??");
  // One '?' per UTF-16 unit, so a character outside the BMP gives two.
  EXPECT_EQ(WideToAnsi(u"x😀y"), "x??y");
  EXPECT_EQ(WideToOem(u"😀"), "??");
  EXPECT_EQ(WideToAnsi(u"é"), "?");  // no best-fit to 'e'
  EXPECT_EQ(WideToAnsi(std::u16string(1, u'\0')), std::string(1, '\0'));
}

TEST(CodePageTest, AnsiOemTranslation) {
  const std::u16string text = u"Привет, Мир! Ёжик №5";
  std::string ansi = WideToAnsi(text);
  std::string oem = AnsiToOem(ansi);
  EXPECT_EQ(oem, WideToOem(text));
  EXPECT_EQ(oem.size(), ansi.size());
  EXPECT_EQ(OemToAnsi(oem), ansi);
  // Characters missing from the target page.
  EXPECT_EQ(AnsiToOem(Bytes({0x80, 0xE0})), Bytes({'?', 0xA0}));  // Ђ is not in 866
  EXPECT_EQ(OemToAnsi(Bytes({0xC9, 0xFB})), "??");                // ╔ and √ not in 1251
  EXPECT_EQ(OemToAnsi(Bytes({0xFF})), Bytes({0xA0}));             // no-break space in both
}

TEST(CodePageTest, Utf8RoundTrip) {
  const std::u16string text = u"abc Жж € 中 😀 \U0010FFFF";
  std::string utf8 = WideToUtf8(text);
  EXPECT_EQ(utf8,
            "abc \xD0\x96\xD0\xB6 \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF");
  EXPECT_EQ(Utf8ToWide(utf8), text);
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(CodePageTest, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToWide("\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  // A truncated sequence is one replacement, and the next character survives.
  EXPECT_EQ(Utf8ToWide("\xE2\x82"
                       "x"),
            u"\uFFFDx");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xD0"), u"\uFFFD");
}

TEST(CodePageTest, LoneSurrogatesBecomeReplacementInUtf8) {
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xDE00), u'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xD83D), u'a', char16_t(0xDE00)}),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD");
}

TEST(CodePageTest, SimpleCaseMapping) {
  EXPECT_EQ(WideUpperCase(u"abcxyz ABC 0189_[]{}"), u"ABCXYZ ABC 0189_[]{}");
  EXPECT_EQ(WideLowerCase(u"ABC Abc @"), u"abc abc @");
  EXPECT_EQ(WideUpperCase(u"абвгдеёжзийклмнопрстуфхцчшщъыьэюя"),
            u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ");
  EXPECT_EQ(WideLowerCase(u"ЂЃЄЅІЇЈЉЊЋЌЍЎЏ"), u"ђѓєѕіїјљњћќѝўџ");
  EXPECT_EQ(WideUpperCase(u"ѡѣґӂӑӿ"), u"ѠѢҐӁӐӾ");
  EXPECT_EQ(WideUpperCase(u"αβγδωάέςσ"), u"ΑΒΓΔΩΆΈΣΣ");
  EXPECT_EQ(WideLowerCase(u"ΑΒΓΔΩΆΈ"), u"αβγδωάέ");
  EXPECT_EQ(WideUpperCase(u"àéîõüçñåæøþ"), u"ÀÉÎÕÜÇÑÅÆØÞ");
  EXPECT_EQ(WideUpperCase(u"āăąćčđěğłńőřšžƀǆ"), u"ĀĂĄĆČĐĚĞŁŃŐŘŠŽɃǄ");
  EXPECT_EQ(WideUpperCase(u"աբգ"), u"ԱԲԳ");
  EXPECT_EQ(WideUpperCase(u"ａｚ"), u"ＡＺ");
  EXPECT_EQ(WideLowerCase(u"ＡＺ"), u"ａｚ");

  EXPECT_EQ(WideCharUpper(u'ÿ'), u'Ÿ');
  EXPECT_EQ(WideCharLower(u'Ÿ'), u'ÿ');
  EXPECT_EQ(WideCharUpper(u'ı'), u'I');
  EXPECT_EQ(WideCharUpper(u'ſ'), u'S');
  EXPECT_EQ(WideCharLower(u'İ'), u'i');
  EXPECT_EQ(WideCharUpper(u'µ'), u'Μ');
  EXPECT_EQ(WideCharUpper(u'ᾳ'), u'ᾼ');
  // No simple one-to-one uppercase: unchanged.
  EXPECT_EQ(WideCharUpper(u'ß'), u'ß');
  EXPECT_EQ(WideCharUpper(u'ŉ'), u'ŉ');
  EXPECT_EQ(WideCharUpper(u'ﬁ'), u'ﬁ');
  // Characters without case, and the edges of the tables.
  for (char16_t c : {u'0', u'_', u'中', u'€', char16_t(0), char16_t(0xFFFF), char16_t(0xD800)}) {
    EXPECT_EQ(WideCharUpper(c), c);
    EXPECT_EQ(WideCharLower(c), c);
  }
}

TEST(CodePageTest, CaseMappingKeepsLengthAndIsConsistent) {
  std::u16string all;
  for (int c = 0; c <= 0xFFFF; ++c) all.push_back(char16_t(c));
  std::u16string upper = WideUpperCase(all), lower = WideLowerCase(all);
  ASSERT_EQ(upper.size(), all.size());
  ASSERT_EQ(lower.size(), all.size());
  for (int c = 0; c <= 0xFFFF; ++c) {
    // An upper-case result never maps further up, and the pairs of the
    // scripts users type come back unchanged.
    ASSERT_EQ(WideCharUpper(upper[c]), upper[c]) << c;
    ASSERT_EQ(WideCharLower(lower[c]), lower[c]) << c;
  }
  for (int c = 0x0410; c <= 0x042F; ++c) {
    EXPECT_EQ(WideCharUpper(WideCharLower(char16_t(c))), c);
  }
  // Surrogate pairs are left alone.
  EXPECT_EQ(WideUpperCase(u"😀"), u"😀");
}

TEST(CodePageTest, AnsiCasing) {
  std::string lower = WideToAnsi(u"абвёjзїґў");
  std::string upper = WideToAnsi(u"АБВЁJЗЇҐЎ");
  EXPECT_EQ(AnsiUpperCase(lower), upper);
  EXPECT_EQ(AnsiLowerCase(upper), lower);
  // µ's capital (Greek Mu) is not in the page: the byte stays.
  EXPECT_EQ(AnsiUpperCase(Bytes({0xB5, 0x98, '1'})), Bytes({0xB5, 0x98, '1'}));
}

TEST(CodePageTest, LinguisticComparison) {
  EXPECT_EQ(CompareCharsLinguistic(u'a', u'a'), 0);
  EXPECT_EQ(CompareCharsLinguistic(u'Ж', u'Ж'), 0);
  EXPECT_LT(CompareCharsLinguistic(u'A', u'B'), 0);
  EXPECT_GT(CompareCharsLinguistic(u'b', u'a'), 0);
  EXPECT_NE(CompareCharsLinguistic(u'a', u'A'), 0);
}

}  // namespace
}  // namespace km::platform
