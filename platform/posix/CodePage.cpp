// The ANSI and OEM code pages of the Russian system the program is made for,
// as fixed tables: a POSIX host has no code pages of its own to ask.
#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/CodePage.h"

namespace km::platform {
namespace {

// Both pages agree with ASCII below 0x80; these are the upper halves.
using HighHalf = std::array<char16_t, 128>;

// Windows-1251. 0x98 is unassigned; it decodes to U+0098 as
// MultiByteToWideChar does, so that every byte has a character and the
// round trip through UTF-16 is lossless.
// clang-format off
constexpr HighHalf kCp1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// CP866, the Russian DOS page.
constexpr HighHalf kCp866 = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 88
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 90
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 98
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // E8
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,  // F8
};
// clang-format on

constexpr char kUnmappable = '?';

// The reverse of a page's upper half: its characters sorted, each with its
// byte, for a binary search (seven steps; this runs for every entry name).
struct ReverseEntry {
  char16_t wide;
  uint8_t byte;
};
using ReverseTable = std::array<ReverseEntry, 128>;

constexpr ReverseTable BuildReverse(const HighHalf& page) {
  ReverseTable table{};
  for (size_t i = 0; i < page.size(); ++i) table[i] = {page[i], uint8_t(0x80 + i)};
  std::sort(table.begin(), table.end(),
            [](const ReverseEntry& a, const ReverseEntry& b) { return a.wide < b.wide; });
  return table;
}

constexpr bool HasNoDuplicates(const ReverseTable& table) {
  for (size_t i = 1; i < table.size(); ++i) {
    if (table[i - 1].wide == table[i].wide) return false;
  }
  return true;
}

constexpr ReverseTable kCp1251Reverse = BuildReverse(kCp1251);
constexpr ReverseTable kCp866Reverse = BuildReverse(kCp866);
static_assert(HasNoDuplicates(kCp1251Reverse) && HasNoDuplicates(kCp866Reverse));

char EncodeChar(const ReverseTable& reverse, char16_t c) {
  if (c < 0x80) return char(c);
  auto it = std::lower_bound(reverse.begin(), reverse.end(), c,
                             [](const ReverseEntry& e, char16_t v) { return e.wide < v; });
  if (it != reverse.end() && it->wide == c) return char(it->byte);
  return kUnmappable;
}

char16_t DecodeByte(const HighHalf& page, char byte) {
  uint8_t b = uint8_t(byte);
  return b < 0x80 ? char16_t(b) : page[b - 0x80];
}

// One '?' per UTF-16 unit, so a surrogate pair becomes "??" as on Windows.
std::string Encode(const ReverseTable& reverse, std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = EncodeChar(reverse, text[i]);
  return out;
}

std::u16string Decode(const HighHalf& page, std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = DecodeByte(page, text[i]);
  return out;
}

// Byte-to-byte translation between the two pages through UTF-16.
using ByteMap = std::array<char, 256>;

constexpr ByteMap BuildTranslation(const HighHalf& from, const ReverseTable& to) {
  ByteMap map{};
  for (int b = 0; b < 256; ++b) {
    if (b < 0x80) {
      map[b] = char(b);
      continue;
    }
    char16_t c = from[b - 0x80];
    map[b] = kUnmappable;
    for (const ReverseEntry& e : to) {
      if (e.wide == c) map[b] = char(e.byte);
    }
  }
  return map;
}

constexpr ByteMap kAnsiToOem = BuildTranslation(kCp1251, kCp866Reverse);
constexpr ByteMap kOemToAnsi = BuildTranslation(kCp866, kCp1251Reverse);

std::string Translate(const ByteMap& map, std::string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = map[uint8_t(text[i])];
  return out;
}

// Casing of ANSI bytes. A byte whose cased character the page cannot hold
// (micro sign -> Greek capital mu) keeps its own value rather than
// becoming '?'.
ByteMap BuildAnsiCase(char16_t (*mapChar)(char16_t)) {
  ByteMap map{};
  for (int b = 0; b < 256; ++b) {
    char16_t c = DecodeByte(kCp1251, char(b));
    char16_t mapped = mapChar(c);
    char out = EncodeChar(kCp1251Reverse, mapped);
    map[b] = (mapped != c && out == kUnmappable) ? char(b) : out;
  }
  return map;
}

}  // namespace

std::string WideToAnsi(std::u16string_view text) {
  return Encode(kCp1251Reverse, text);
}
std::u16string AnsiToWide(std::string_view text) {
  return Decode(kCp1251, text);
}
std::string WideToOem(std::u16string_view text) {
  return Encode(kCp866Reverse, text);
}
std::u16string OemToWide(std::string_view text) {
  return Decode(kCp866, text);
}
std::string AnsiToOem(std::string_view text) {
  return Translate(kAnsiToOem, text);
}
std::string OemToAnsi(std::string_view text) {
  return Translate(kOemToAnsi, text);
}

std::string AnsiUpperCase(std::string_view text) {
  static const ByteMap map = BuildAnsiCase(WideCharUpper);
  return Translate(map, text);
}

std::string AnsiLowerCase(std::string_view text) {
  static const ByteMap map = BuildAnsiCase(WideCharLower);
  return Translate(map, text);
}

}  // namespace km::platform
