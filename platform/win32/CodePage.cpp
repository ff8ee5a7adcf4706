// The system's own ANSI and OEM code pages.
//
// Characters a page cannot hold become '?', one per UTF-16 unit, as the
// fixed tables of other hosts give them: no "best fit" letters, which
// would turn a fullwidth solidus into a real '/' inside a stored name.
#include <array>

#include "platform/CodePage.h"
#include "platform/win32/Win32.h"

namespace km::platform {
namespace {

constexpr char kUnmappable = '?';

// The system's pages by number: CP_ACP alone does not tell UTF-8 apart.
UINT AnsiPage() {
  static const UINT page = ::GetACP();
  return page;
}

UINT OemPage() {
  static const UINT page = ::GetOEMCP();
  return page;
}

bool IsSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

std::string Encode(UINT codePage, std::u16string_view text) {
  if (text.empty()) return {};
  std::u16string units(text);
  // A system set to UTF-8 holds every character, and takes no flags.
  const bool utf8 = codePage == CP_UTF8;
  if (!utf8) {
    for (char16_t& c : units) {
      if (IsSurrogate(c)) c = u'?';
    }
  }
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
  const int length = int(units.size());
  const int n = ::WideCharToMultiByte(codePage, flags, wide, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(units.size(), kUnmappable);
  std::string out(size_t(n), '\0');
  ::WideCharToMultiByte(codePage, flags, wide, length, out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string Decode(UINT codePage, std::string_view text) {
  if (text.empty()) return {};
  const int length = int(text.size());
  const int n = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return std::u16string(text.size(), u'?');
  std::wstring out(size_t(n), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), length, out.data(), n);
  return win32::Narrow16(out);
}

bool IsSingleByte(UINT codePage) {
  CPINFO info{};
  return ::GetCPInfo(codePage, &info) && info.MaxCharSize == 1;
}

// Casing of ANSI text. A character whose cased form the page cannot hold
// (micro sign -> Greek capital mu) keeps its own value rather than
// becoming '?'.
std::string AnsiCase(std::string_view text, char16_t (*mapChar)(char16_t)) {
  std::u16string wide = AnsiToWide(text);
  for (char16_t& c : wide) {
    const char16_t mapped = mapChar(c);
    if (mapped != c && Encode(AnsiPage(), std::u16string_view(&mapped, 1)) != "?") c = mapped;
  }
  return WideToAnsi(wide);
}

using ByteMap = std::array<char, 256>;

// For a single-byte page the casing of each byte, worked out once.
ByteMap BuildAnsiCase(char16_t (*mapChar)(char16_t)) {
  ByteMap map{};
  for (int b = 0; b < 256; ++b) {
    const char byte = char(b);
    const std::string cased = AnsiCase(std::string_view(&byte, 1), mapChar);
    map[b] = cased.size() == 1 ? cased[0] : byte;
  }
  return map;
}

std::string Translate(const ByteMap& map, std::string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = map[uint8_t(text[i])];
  return out;
}

}  // namespace

std::string WideToAnsi(std::u16string_view text) {
  return Encode(AnsiPage(), text);
}
std::u16string AnsiToWide(std::string_view text) {
  return Decode(AnsiPage(), text);
}
std::string WideToOem(std::u16string_view text) {
  return Encode(OemPage(), text);
}
std::u16string OemToWide(std::string_view text) {
  return Decode(OemPage(), text);
}
std::string AnsiToOem(std::string_view text) {
  return WideToOem(AnsiToWide(text));
}
std::string OemToAnsi(std::string_view text) {
  return WideToAnsi(OemToWide(text));
}

std::string AnsiUpperCase(std::string_view text) {
  static const bool single = IsSingleByte(AnsiPage());
  if (!single) return AnsiCase(text, WideCharUpper);
  static const ByteMap map = BuildAnsiCase(WideCharUpper);
  return Translate(map, text);
}

std::string AnsiLowerCase(std::string_view text) {
  static const bool single = IsSingleByte(AnsiPage());
  if (!single) return AnsiCase(text, WideCharLower);
  static const ByteMap map = BuildAnsiCase(WideCharLower);
  return Translate(map, text);
}

}  // namespace km::platform
