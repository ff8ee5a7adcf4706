// Conversion between host paths (bytes, normally UTF-8) and the Windows view.
//
// Host names are decoded here rather than through the code page helpers
// because a listed name must always open again under the name it was listed
// with: bytes that are not valid UTF-8 become U+DC80 + byte (the same trick as
// Python's "surrogateescape") and come back unchanged. A host name that
// really holds one of the private-use characters we use for the reserved
// Windows characters is escaped byte by byte as well, so the mapping stays
// reversible in both directions.
#include "platform/HostPath.h"

#include <string_view>

namespace km {
namespace {

constexpr char16_t kReservedBase = 0xF000;  // host '\\' appears as U+F05C, ...
constexpr char16_t kEscapeBase = 0xDC00;    // undecodable byte b appears as U+DC00 + b

bool IsReservedHostChar(char32_t c) {
  switch (c) {
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
      return true;
    default:
      return false;
  }
}

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}
bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
size_t ValidSequenceLength(std::string_view s, size_t i, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

char16_t* PutEscaped(std::string_view bytes, char16_t* put) {
  for (char b : bytes) *put++ = static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(b));
  return put;
}

// One host name component (no '/') to its Windows form. Every name of a
// listing comes through here: written in place, never more units than the
// name has bytes, and cut to size at the end.
void AppendHostName(std::string_view name, std::u16string& out) {
  const size_t start = out.size();
  out.resize(start + name.size());
  char16_t* put = out.data() + start;
  size_t i = 0;
  while (i < name.size()) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    if (b < 0x80) {
      *put++ = IsReservedHostChar(b) ? static_cast<char16_t>(kReservedBase + b) : char16_t(b);
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = ValidSequenceLength(name, i, cp);
    if (len == 0) {
      put = PutEscaped(name.substr(i, 1), put);
      ++i;
      continue;
    }
    if (cp >= kReservedBase && cp < kReservedBase + 0x80 &&
        IsReservedHostChar(cp - kReservedBase)) {
      // A real U+F05C etc. would read back as '\\': keep its bytes instead.
      put = PutEscaped(name.substr(i, len), put);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      *put++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *put++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *put++ = static_cast<char16_t>(cp);
    }
    i += len;
  }
  out.resize(size_t(put - out.data()));
}

char* PutUtf8(char32_t cp, char* put) {
  if (cp < 0x80) {
    *put++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *put++ = static_cast<char>(0xC0 | (cp >> 6));
    *put++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *put++ = static_cast<char>(0xE0 | (cp >> 12));
    *put++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *put++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *put++ = static_cast<char>(0xF0 | (cp >> 18));
    *put++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *put++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *put++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return put;
}

// One Windows name component (no separators) to host bytes.
void AppendWindowsName(std::u16string_view name, std::string& out) {
  // At most three bytes a unit (a pair makes four of two): written in
  // place and cut to size at the end.
  const size_t start = out.size();
  out.resize(start + 3 * name.size());
  char* put = out.data() + start;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c < 0x80) {
      *put++ = static_cast<char>(c);
    } else if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      put = PutUtf8(0x10000 + ((char32_t(c) - 0xD800) << 10) + (name[i + 1] - 0xDC00), put);
      ++i;
    } else if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
      *put++ = static_cast<char>(c - kEscapeBase);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      put = PutUtf8(0xFFFD, put);  // a lone surrogate has no UTF-8 form
    } else if (c >= kReservedBase && c < kReservedBase + 0x80 &&
               IsReservedHostChar(c - kReservedBase)) {
      *put++ = static_cast<char>(c - kReservedBase);
    } else {
      put = PutUtf8(c, put);
    }
  }
  out.resize(size_t(put - out.data()));
}

// Appends the components of a Windows path (separators collapsed) to host.
void AppendWindowsComponents(std::u16string_view rest, std::string& host) {
  size_t i = 0;
  bool first = true;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) ++i;
    size_t end = i;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    if (end == i) break;
    if (!first || (!host.empty() && host.back() != '/')) host += '/';
    AppendWindowsName(rest.substr(i, end - i), host);
    first = false;
    i = end;
  }
  if (!rest.empty() && IsSeparator(rest.back()) && !host.empty() && host.back() != '/') host += '/';
}

}  // namespace

std::string WindowsNameToHost(std::u16string_view name) {
  std::string host;
  AppendWindowsName(name, host);
  return host;
}

std::u16string ToWindowsView(const std::filesystem::path& hostPath) {
  return HostTextToWindowsView(hostPath.native());
}

std::u16string HostTextToWindowsView(std::string_view s) {
  std::u16string out;
  if (s.empty()) return out;
  size_t i = 0;
  if (s[0] == '/') {
    out = {kHostDriveLetter, u':', u'\\'};
    while (i < s.size() && s[i] == '/') ++i;
  }
  while (i < s.size()) {
    size_t end = s.find('/', i);
    if (end == std::string::npos) end = s.size();
    AppendHostName(std::string_view(s).substr(i, end - i), out);
    while (end < s.size() && s[end] == '/') ++end;
    if (end > i && s[end - 1] == '/' && (out.empty() || out.back() != u'\\')) out += u'\\';
    i = end;
  }
  return out;
}

std::filesystem::path FromWindowsView(const std::u16string& windowsPath) {
  std::u16string_view w = windowsPath;
  if (w.empty() || w.find(u'\0') != std::u16string_view::npos) return {};
  // "\\?\Z:\..." is the long-path spelling of a drive path.
  if (w.size() >= 4 && IsSeparator(w[0]) && IsSeparator(w[1]) && w[2] == u'?' &&
      IsSeparator(w[3])) {
    w.remove_prefix(4);
    if (w.size() < 2 || w[1] != u':') return {};  // "\\?\UNC\..." and devices
  }
  if (w.size() >= 2 && IsSeparator(w[0]) && IsSeparator(w[1])) return {};  // UNC or device
  std::string host;
  if (w.size() >= 2 && w[1] == u':') {
    const char16_t drive = w[0] >= u'a' && w[0] <= u'z' ? char16_t(w[0] - 32) : w[0];
    if (drive != kHostDriveLetter) return {};
    w.remove_prefix(2);
    // "Z:name" is relative to the current directory, which is always on Z:.
    if (w.empty()) return ".";
  }
  if (IsSeparator(w[0])) host = "/";
  AppendWindowsComponents(w, host);
  if (host.empty()) return ".";
  return host;
}

}  // namespace km
