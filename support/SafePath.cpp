#include "support/SafePath.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"

namespace km {

namespace {

constexpr size_t npos = std::u16string::npos;

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool IsAsciiLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool OnlyDotsAndSpaces(std::u16string_view c) {
  return std::all_of(c.begin(), c.end(), [](char16_t ch) { return ch == u'.' || ch == u' '; });
}

struct ParsedPath {
  std::u16string prefix;  // "X:\", "\\SERVER\SHARE\", "\" or empty (relative)
  bool absolute = false;
  std::vector<std::u16string> parts;
  bool trailingSeparator = false;
};

// The textual normal form; false for what must never be used as a path.
bool Parse(std::u16string_view s, ParsedPath& out) {
  if (s.find(u'\0') != npos) return false;
  size_t i = 0;
  if (s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1])) {
    size_t serverEnd = 2;
    while (serverEnd < s.size() && !IsSeparator(s[serverEnd])) ++serverEnd;
    const std::u16string_view server = s.substr(2, serverEnd - 2);
    // "\\?\" and "\\.\" name devices and raw volumes, never a share.
    if (server.empty() || server == u"?" || server == u"." || serverEnd >= s.size()) return false;
    size_t shareEnd = serverEnd + 1;
    while (shareEnd < s.size() && !IsSeparator(s[shareEnd])) ++shareEnd;
    const std::u16string_view share = s.substr(serverEnd + 1, shareEnd - serverEnd - 1);
    if (share.empty() || server.find(u':') != npos || share.find(u':') != npos) return false;
    out.prefix = platform::WideUpperCase(std::u16string(u"\\\\") + std::u16string(server) + u'\\' +
                                         std::u16string(share) + u'\\');
    out.absolute = true;
    i = shareEnd;
  } else if (s.size() >= 2 && s[1] == u':') {
    // "X:name" is relative to a current directory per drive: nothing a
    // check can pin down.
    if (!IsAsciiLetter(s[0]) || s.size() == 2 || !IsSeparator(s[2])) return false;
    out.prefix = {platform::WideCharUpper(s[0]), u':', u'\\'};
    out.absolute = true;
    i = 3;
  } else if (!s.empty() && IsSeparator(s[0])) {
    out.prefix = u"\\";
    out.absolute = true;
    i = 1;
  }
  while (i < s.size()) {
    size_t end = i;
    while (end < s.size() && !IsSeparator(s[end])) ++end;
    const std::u16string_view c = s.substr(i, end - i);
    i = end < s.size() ? end + 1 : end;
    if (c.empty() || c == u".") continue;
    if (c.find(u':') != npos) return false;
    if (c == u"..") {
      if (!out.parts.empty() && out.parts.back() != u"..")
        out.parts.pop_back();
      else if (out.absolute)
        return false;
      else
        out.parts.emplace_back(c);  // a relative path may start above its base
      continue;
    }
    if (OnlyDotsAndSpaces(c)) return false;
    out.parts.emplace_back(c);
  }
  out.trailingSeparator = !s.empty() && IsSeparator(s.back()) && !out.parts.empty();
  return true;
}

}  // namespace

bool IsInsideRoot(const std::u16string& root, const std::u16string& target,
                  std::u16string& normalized, size_t& rootLength) {
  // Separators doubled inside root are root's own business; from root's
  // last separator on they mean an absolute name was appended.
  size_t from = 1;
  if (target.starts_with(root)) {
    size_t keep = root.size();
    while (keep > 0 && IsSeparator(root[keep - 1])) --keep;
    from = std::max<size_t>(keep, 1);
  }
  for (size_t k = from; k + 1 < target.size(); ++k)
    if (IsSeparator(target[k]) && IsSeparator(target[k + 1])) return false;

  ParsedPath r, t;
  if (!Parse(root, r) || !Parse(target, t)) return false;
  if (r.prefix != t.prefix || t.parts.size() <= r.parts.size()) return false;
  for (size_t k = 0; k < r.parts.size(); ++k)
    if (!platform::SameNameInFolder(r.parts[k], t.parts[k])) return false;

  normalized = t.prefix;
  rootLength = normalized.size();
  for (size_t k = 0; k < t.parts.size(); ++k) {
    normalized += t.parts[k];
    if (k + 1 < t.parts.size() || t.trailingSeparator) normalized += u'\\';
    if (k + 1 == r.parts.size()) rootLength = normalized.size();
  }
  return true;
}

bool IsInsideRoot(const std::u16string& root, const std::u16string& target) {
  std::u16string normalized;
  size_t rootLength = 0;
  return IsInsideRoot(root, target, normalized, rootLength);
}

}  // namespace km
