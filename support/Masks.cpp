#include "support/Masks.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/CodePage.h"

namespace km {

namespace {

bool CharsEqual(char16_t a, char16_t b) {
  // Identical characters always compare equal linguistically; only differing
  // ones need the (slower) locale comparison.
  return a == b || platform::CompareCharsLinguistic(a, b) == 0;
}

}  // namespace

// The matcher is defined recursively: a '*' tries every non-empty rest of the
// name against the rest of the mask, and each such try starts over with the
// "whole mask" rules ("*.*" and "*"). Evaluated naively that is exponential
// in the number of stars, so the recursion is tabulated here instead:
//
//   L(i, j)  the loop from name position i and mask position j
//            = true                      if mask[j..] is exactly "*"
//            = j == m                    if i == n
//            = false                     if j == m
//            = S(i, j + 1)               if mask[j] == '*'
//            = L(i + 1, j + 1)           if mask[j] == '?'
//            = eq(i, j) && L(i + 1, j + 1)  otherwise
//   W(i, j)  a fresh call on name[i..], mask[j..]
//            = mask[j..] is exactly "*.*"  or  L(i, j)
//   S(i, j)  some i <= k < n with W(k, j)
//            = i < n && (W(i, j) || S(i + 1, j))
//
// Row i depends only on row i + 1 and on cells to its right, so two rows of
// the table suffice.
bool WildCharMatches(char16_t maskChar, char16_t nameChar, bool ignoreCase) {
  if (ignoreCase) {
    maskChar = platform::WideCharUpper(maskChar);
    nameChar = platform::WideCharUpper(nameChar);
  }
  return CharsEqual(maskChar, nameChar);
}

bool WildMatch(std::u16string_view name, std::u16string_view mask, bool ignoreCase) {
  const size_t n = name.size();
  const size_t m = mask.size();
  auto restIsStar = [&](size_t j) { return j + 1 == m && mask[j] == u'*'; };
  auto restIsStarDotStar = [&](size_t j) { return m - j == 3 && mask.compare(j, 3, u"*.*") == 0; };
  auto upper = [&](char16_t c) { return ignoreCase ? platform::WideCharUpper(c) : c; };

  if (restIsStarDotStar(0)) return true;

  // Walk the part before the first '*' directly; most masks end there.
  size_t i = 0, j = 0;
  for (;; ++i, ++j) {
    if (j < m && restIsStar(j)) return true;
    if (i == n) return j == m;
    if (j == m) return false;
    if (mask[j] == u'*') break;
    if (mask[j] != u'?' && !CharsEqual(upper(mask[j]), upper(name[i]))) return false;
  }
  const size_t i0 = i, j0 = j;

  // A single '*' followed by literal characters only ("*.tmp"): S(i0, j0 + 1)
  // holds exactly when the name ends in that literal text, which needs no
  // table. The literal is never empty here: a lone '*' rest returned above.
  auto literalAt = [&](std::u16string_view literal, size_t at) {
    for (size_t k = 0; k < literal.size(); ++k)
      if (!CharsEqual(upper(literal[k]), upper(name[at + k]))) return false;
    return true;
  };
  const std::u16string_view tail = mask.substr(j0 + 1);
  const size_t wild = tail.find_first_of(u"*?");
  if (wild == std::u16string_view::npos)
    return n - i0 >= tail.size() && literalAt(tail, n - tail.size());
  // Likewise "*.~*": the literal between two stars, the last one ending the
  // mask, may start at any name position from i0 on.
  if (wild + 1 == tail.size() && tail[wild] == u'*') {
    const std::u16string_view literal = tail.substr(0, wild);
    for (size_t k = i0; k + literal.size() <= n; ++k)
      if (literalAt(literal, k)) return true;
    return false;
  }

  // Upper-cased copies and the two table rows live on the stack for the
  // short names and masks of real use; longer ones take the heap.
  constexpr size_t kLocal = 256;
  const size_t rest = n - i0;
  const size_t width = m - j0 + 1;  // rows indexed by mask position j - j0 (0 .. m - j0)
  char16_t localName[kLocal], localMask[kLocal];
  uint8_t localRows[4 * kLocal];
  std::vector<char16_t> heapChars;
  std::vector<uint8_t> heapRows;
  char16_t* uname = localName;
  char16_t* umask = localMask;
  uint8_t* rows = localRows;
  if (rest > kLocal || width > kLocal) {
    heapChars.resize(rest + width);
    uname = heapChars.data();
    umask = uname + rest;
    heapRows.resize(4 * width);
    rows = heapRows.data();
  }
  for (size_t k = 0; k < rest; ++k) uname[k] = upper(name[i0 + k]);
  for (size_t k = 0; k + 1 < width; ++k) umask[k] = upper(mask[j0 + k]);
  uint8_t* nextL = rows;
  uint8_t* nextS = rows + width;
  uint8_t* curL = rows + 2 * width;
  uint8_t* curS = rows + 3 * width;
  std::fill(rows, rows + 4 * width, uint8_t(0));

  for (size_t r = n + 1; r-- > i0;) {
    for (size_t c = width; c-- > 0;) {
      const size_t jj = j0 + c;
      bool l;
      if (jj < m && restIsStar(jj)) {
        l = true;
      } else if (r == n) {
        l = jj == m;
      } else if (jj == m) {
        l = false;
      } else if (mask[jj] == u'*') {
        l = curS[c + 1];
      } else if (mask[jj] == u'?') {
        l = nextL[c + 1];
      } else {
        l = nextL[c + 1] && CharsEqual(umask[c], uname[r - i0]);
      }
      curL[c] = l;
      curS[c] = r < n && ((jj < m && restIsStarDotStar(jj)) || l || nextS[c]);
    }
    std::swap(curL, nextL);
    std::swap(curS, nextS);
  }
  return nextL[0];
}

namespace {

// Equal characters (CharsEqual of the upper-cased units: the same unit)
// always fall on the same bit. The bit leaves out 0x20, the one bit that
// upper-casing changes in ASCII, so that ASCII needs no upper-casing; the
// letters keep 0x40 apart from the digits and punctuation.
uint64_t WildBit(char16_t c) {
  if (c >= 0x80) c = platform::WideCharUpper(c);
  return uint64_t(1) << ((c & 0x1F) | ((c & 0x40) >> 1));
}

}  // namespace

uint64_t WildNameBits(std::u16string_view name) {
  uint64_t bits = 0;
  for (const char16_t c : name) bits |= WildBit(c);
  return bits;
}

uint64_t WildMaskNeeds(std::u16string_view mask) {
  // A closing "*.*" matches any rest, one without a dot too: its dot is not
  // needed. Every other literal character must meet its equal.
  const bool starDotStar = mask.ends_with(u"*.*");
  uint64_t bits = 0;
  for (size_t k = 0; k < mask.size(); ++k) {
    const char16_t c = mask[k];
    if (c == u'*' || c == u'?' || (starDotStar && k + 2 == mask.size())) continue;
    bits |= WildBit(c);
  }
  return bits;
}

std::u16string ReplaceAll(const std::u16string& text, const std::u16string& oldText,
                          const std::u16string& newText) {
  if (oldText.empty()) return text;
  std::u16string result;
  result.reserve(text.size());
  size_t from = 0;
  for (size_t at; (at = text.find(oldText, from)) != std::u16string::npos;
       from = at + oldText.size()) {
    result.append(text, from, at - from);
    result += newText;
  }
  result.append(text, from, std::u16string::npos);
  return result;
}

}  // namespace km
