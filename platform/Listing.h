// What both backends' listings share: how a pattern splits into folder and
// mask, and which names a mask matches. Inside platform/ only.
#pragma once

#include <string>
#include <string_view>

#include "platform/CodePage.h"

namespace km::platform::listing {

inline bool HasWildcards(std::u16string_view mask) {
  return mask.find_first_of(u"*?") != std::u16string_view::npos;
}

// '*' any run (also empty), '?' one character, case ignored; mask is upper
// case already. Greedy with one back-tracking point, so linear per star.
// Windows' own listing adds DOS rules on top ("a?" and "a.*" also find "a",
// "*." finds names without a dot, and 8.3 short names match too). Those are
// left out on purpose: a listing never returns more than the mask plainly
// says, and it agrees with WildMatch, which the archiver applies to the same
// names when it looks for entries to keep or delete. Only the whole mask
// "*.*" is taken as "*", which every caller relies on.
inline bool MatchMask(std::u16string_view name, std::u16string_view mask) {
  size_t n = 0, m = 0, starM = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == u'*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == u'?' || mask[m] == WideCharUpper(name[n]))) {
      ++m;
      ++n;
    } else if (starM != std::u16string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

// The directory and the name (or mask) a listing of pattern reads.
inline void SplitPattern(const std::u16string& pattern, std::u16string& dirPart,
                         std::u16string& mask) {
  const size_t cut = pattern.find_last_of(u"\\/");
  if (cut != std::u16string::npos) {
    dirPart = pattern.substr(0, cut + 1);
    mask = pattern.substr(cut + 1);
  } else if (pattern.size() >= 2 && pattern[1] == u':') {
    dirPart = pattern.substr(0, 2);
    mask = pattern.substr(2);
  } else {
    dirPart.clear();
    mask = pattern;
  }
}

}  // namespace km::platform::listing
