// Text rules for Windows-view paths that naming entries and scanning the
// tree share: plain string work, no file system.
#pragma once

#include <string>
#include <string_view>

#include "platform/CodePage.h"
#include "support/TextEqual.h"

namespace km::pathtext {

using View = std::u16string_view;
constexpr size_t npos = std::u16string::npos;

inline bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

inline bool HasSeparator(View text) {
  return text.find_first_of(u"\\/") != npos;
}

inline bool HasWildcard(View text) {
  return text.find_first_of(u"*?") != npos;
}

// "..\" or "../" anywhere, in one pass over the text.
inline bool HasParentStep(View text) {
  for (size_t k = 2; k < text.size(); ++k)
    if (IsSeparator(text[k]) && text[k - 1] == u'.' && text[k - 2] == u'.') return true;
  return false;
}

// Where the last '\' or ':' is (npos: none).
inline size_t LastDelimiterOf(View path) {
  for (size_t k = path.size(); k-- > 0;)
    if (path[k] == u'\\' || path[k] == u':') return k;
  return npos;
}

// The text after the last '\' or ':', as ExtractFileName gives it.
inline View FileNameOf(View path) {
  const size_t at = LastDelimiterOf(path);
  return at == npos ? path : path.substr(at + 1);
}

inline View DirPartOf(View path) {
  const size_t at = LastDelimiterOf(path);
  return at == npos ? View() : path.substr(0, at + 1);
}

inline bool SameLowerCase(View a, View b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (a[k] != b[k] && platform::WideCharLower(a[k]) != platform::WideCharLower(b[k]))
      return false;
  return true;
}

// A plain drive directory ("X:\...\") with no other ':': below it, a path
// that starts with it is relative to it by its remaining text alone.
inline bool IsPlainDriveDir(View dir) {
  return dir.size() >= 3 && dir[1] == u':' && dir[2] == u'\\' && dir.back() == u'\\' &&
         dir.find(u':', 2) == npos;
}

// RelativePathFrom(dir, path) without building it, where that is plain
// text: false when the full rules are needed.
inline bool RelativeBelow(View dir, View path, View& rest) {
  if (!StartsWithUnits(path, dir)) return false;
  rest = path.substr(dir.size());
  return rest.find(u':') == npos;
}

}  // namespace km::pathtext
