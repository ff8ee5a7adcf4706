// Code pages and casing. The ANSI code page is Windows-1251 and the OEM code
// page 866 (the Russian system the program is made for); characters outside
// a page become '?' as on Windows. UTF-8 is used only at the edges.
#pragma once

#include <string>
#include <string_view>

namespace km::platform {

std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view text);
std::string WideToOem(std::u16string_view text);
std::u16string OemToWide(std::string_view text);
std::string AnsiToOem(std::string_view text);
std::string OemToAnsi(std::string_view text);

// UTF-8 <-> UTF-16 for the edges (console, Qt, messages). Invalid
// sequences become U+FFFD; nothing is dropped silently. Host file names do
// not come through here: HostPath keeps their undecodable bytes reversibly.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);
// WideToUtf8 appended to out.
void AppendUtf8(std::u16string_view text, std::string& out);

// Unicode simple case mapping, the same for reader and writer.
char16_t WideCharUpperOutsideAscii(char16_t c);
char16_t WideCharLowerOutsideAscii(char16_t c);
// Inline for ASCII: mask matching asks for every character of every name.
inline char16_t WideCharUpper(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
  return WideCharUpperOutsideAscii(c);
}
inline char16_t WideCharLower(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
  return WideCharLowerOutsideAscii(c);
}
std::u16string WideUpperCase(std::u16string_view text);
std::u16string WideLowerCase(std::u16string_view text);
// 8-bit strings in the ANSI code page.
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);

// The linguistic comparison of two one-character strings in the user's
// default locale: negative, 0 (equal) or positive.
int CompareCharsLinguistic(char16_t a, char16_t b);

}  // namespace km::platform
