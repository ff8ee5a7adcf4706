#include "platform/IniFile.h"

#include <string_view>

#include "platform/File.h"

namespace km::platform {
namespace {

// sections_[0] holds the lines before the first section header; it has no
// header of its own and is never found by name.
constexpr size_t kFirstNamed = 1;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The key of a "key=value" line, or false for comments, blank lines and
// lines without '='.
bool KeyOf(std::string_view line, std::string_view& key) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return false;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  return true;
}

// A line break inside a name or value would split it into lines of its own
// and change the meaning of the file when read back.
std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

// Settings files are a few lines long; anything far larger is not one, and
// is not read into memory whole.
constexpr int64_t kMaxFileSize = int64_t(16) << 20;

}  // namespace

IniFile::IniFile(std::u16string fileName) : fileName_(std::move(fileName)) {
  sections_.emplace_back();
  // File never opens a FIFO or a device, which would block or make no sense.
  File in;
  if (in.Open(fileName_, FileAccess::Read, FileShare::DenyNone, FileDisposition::OpenExisting) != 0)
    return;
  const int64_t size = in.Size();
  if (size < 0 || size > kMaxFileSize) return;
  std::string text(size_t(size), '\0');
  const int64_t got = in.Read(text.data(), size);
  if (got < 0) return;
  text.resize(size_t(got));

  std::string_view rest = text;
  while (!rest.empty()) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::string_view t = Trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
      sections_.push_back({std::string(Trim(t.substr(1, t.size() - 2))), {}});
    } else {
      sections_.back().lines.emplace_back(line);
    }
  }
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
  std::string_view wanted = Trim(key);
  // A section that appears twice reads as one; the first value of a key wins.
  for (size_t s = kFirstNamed; s < sections_.size(); ++s) {
    if (!SameName(sections_[s].name, section)) continue;
    for (const std::string& line : sections_[s].lines) {
      std::string_view k;
      if (KeyOf(line, k) && SameName(k, wanted)) return line.substr(line.find('=') + 1);
    }
  }
  return defaultValue;
}

bool IniFile::SectionExists(const std::string& section) const {
  for (size_t s = kFirstNamed; s < sections_.size(); ++s) {
    if (SameName(sections_[s].name, section)) return true;
  }
  return false;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  const std::string name = OneLine(Trim(section));
  const std::string k = OneLine(Trim(key));
  const std::string line = k + "=" + OneLine(value);

  Section* first = nullptr;
  for (size_t s = kFirstNamed; s < sections_.size(); ++s) {
    if (!SameName(sections_[s].name, name)) continue;
    if (!first) first = &sections_[s];
    for (std::string& existing : sections_[s].lines) {
      std::string_view ek;
      if (KeyOf(existing, ek) && SameName(ek, k)) {
        existing = line;
        return;
      }
    }
  }
  if (first) {
    // After the section's last non-blank line, so that the blank line that
    // separates it from the next section stays where it is.
    auto& lines = first->lines;
    auto pos = lines.end();
    while (pos != lines.begin() && Trim(*(pos - 1)).empty()) --pos;
    lines.insert(pos, line);
    return;
  }
  // A new section goes at the end, set off by a blank line.
  Section& last = sections_.back();
  bool fileEmpty = sections_.size() == 1 && last.lines.empty();
  if (!fileEmpty && (last.lines.empty() || !Trim(last.lines.back()).empty())) {
    last.lines.emplace_back();
  }
  sections_.push_back({name, {line}});
}

void IniFile::DeleteKey(const std::string& section, const std::string& key) {
  const std::string_view wanted = Trim(key);
  // Every occurrence: a second one would otherwise be read in its place.
  for (size_t s = kFirstNamed; s < sections_.size(); ++s) {
    if (!SameName(sections_[s].name, Trim(section))) continue;
    std::erase_if(sections_[s].lines, [&](const std::string& line) {
      std::string_view k;
      return KeyOf(line, k) && SameName(k, wanted);
    });
  }
}

// Written in place rather than through a temporary file and a rename: the
// file is a few lines long, and writing in place keeps its owner,
// permissions and links, and fails (rather than replacing it) when the
// file is read-only, as on Windows.
bool IniFile::UpdateFile() const {
  std::string text;
  for (size_t s = 0; s < sections_.size(); ++s) {
    if (s >= kFirstNamed) text += "[" + sections_[s].name + "]\r\n";
    for (const std::string& line : sections_[s].lines) {
      text += line;
      text += "\r\n";
    }
  }
  File out;
  if (out.Open(fileName_, FileAccess::Write, FileShare::DenyNone, FileDisposition::CreateAlways) !=
      0)
    return false;
  return out.Write(text.data(), int64_t(text.size())) == int64_t(text.size());
}

}  // namespace km::platform
