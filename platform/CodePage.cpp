// The code-page-free half of CodePage.h: UTF-8 at the edges and Unicode
// casing, the same on every host. The code pages themselves are the
// backend's.
#include "platform/CodePage.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "platform/CaseMapTables.h"

namespace km::platform {
namespace {

char16_t MapCase(std::span<const casemap::CaseRange> ranges, char16_t c) {
  // The last run that starts at or before c.
  auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                             [](char16_t v, const casemap::CaseRange& r) { return v < r.first; });
  if (it == ranges.begin()) return c;
  const casemap::CaseRange& r = *(it - 1);
  if (c > r.last || (c - r.first) % r.stride != 0) return c;
  return char16_t(int32_t(c) + r.delta);
}

}  // namespace

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  auto byteAt = [&](size_t k) { return uint8_t(text[k]); };
  while (i < n) {
    uint8_t b0 = byteAt(i);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    // Well-formed sequences (Unicode table 3-7): the lead byte fixes the
    // length and the range of the second byte, which rules out overlong
    // forms, encoded surrogates and values above U+10FFFF. An ill-formed
    // sequence gives one U+FFFD per maximal subpart, as the Unicode
    // standard recommends.
    int length = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t k = i + 1;
    bool complete = true;
    for (int j = 1; j < length; ++j, ++k) {
      uint8_t lower = j == 1 ? lo : 0x80, upper = j == 1 ? hi : 0xBF;
      if (k >= n || byteAt(k) < lower || byteAt(k) > upper) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (byteAt(k) & 0x3F);
    }
    i = k;
    if (!complete) {
      out.push_back(0xFFFD);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  AppendUtf8(text, out);
  return out;
}

void AppendUtf8(std::u16string_view text, std::string& out) {
  const size_t n = text.size();
  // Room for the longest form, written through a pointer and cut to size.
  const size_t start = out.size();
  out.resize(start + n * 3);
  char* p = out.data() + start;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = text[i];
    if (cp < 0x80) {
      *p++ = char(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (cp < 0x800) {
      *p++ = char(0xC0 | (cp >> 6));
      *p++ = char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *p++ = char(0xE0 | (cp >> 12));
      *p++ = char(0x80 | ((cp >> 6) & 0x3F));
      *p++ = char(0x80 | (cp & 0x3F));
    } else {
      // A pair of units makes these four bytes: within the room of two.
      *p++ = char(0xF0 | (cp >> 18));
      *p++ = char(0x80 | ((cp >> 12) & 0x3F));
      *p++ = char(0x80 | ((cp >> 6) & 0x3F));
      *p++ = char(0x80 | (cp & 0x3F));
    }
  }
  out.resize(size_t(p - out.data()));
}

char16_t WideCharUpperOutsideAscii(char16_t c) {
  return MapCase(casemap::kUpperRanges, c);
}

char16_t WideCharLowerOutsideAscii(char16_t c) {
  return MapCase(casemap::kLowerRanges, c);
}

// Per UTF-16 unit: surrogates map to themselves, so the length never
// changes, and characters outside the BMP keep their case.
std::u16string WideUpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = WideCharUpper(c);
  return out;
}

std::u16string WideLowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = WideCharLower(c);
  return out;
}

// Stands in for the locale's linguistic comparison on hosts that have none:
// two characters are equal only when they are the same code unit, and
// otherwise ordered by code unit. That keeps matching exact and stable
// across hosts, which is what the callers (mask matching) rely on.
int CompareCharsLinguistic(char16_t a, char16_t b) {
  return a == b ? 0 : (a < b ? -1 : 1);
}

}  // namespace km::platform
