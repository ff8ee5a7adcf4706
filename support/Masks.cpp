#include "support/Masks.h"

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
bool WildMatch(const std::u16string& name, const std::u16string& mask, bool ignoreCase) {
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

  std::u16string uname = name.substr(i0), umask = mask.substr(j0);
  if (ignoreCase) {
    for (char16_t& c : uname) c = platform::WideCharUpper(c);
    for (char16_t& c : umask) c = platform::WideCharUpper(c);
  }

  // Rows indexed by mask position j - j0 (0 .. m - j0).
  const size_t width = m - j0 + 1;
  std::vector<uint8_t> nextL(width), nextS(width), curL(width), curS(width);
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
    curL.swap(nextL);
    curS.swap(nextS);
  }
  return nextL[0];
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
