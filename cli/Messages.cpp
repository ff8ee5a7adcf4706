#include "cli/Messages.h"

#include <algorithm>
#include <cstdio>

#include "platform/CodePage.h"

namespace km::cli {

namespace {

bool NeedsEscape(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

void AppendPrintable(std::string_view text, std::string& out) {
  for (char c : text) {
    if (NeedsEscape(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string PrintableName(const std::u16string& name) {
  std::string out;
  AppendPrintableName(name, out);
  return out;
}

void AppendPrintableName(std::u16string_view name, std::string& out) {
  const size_t start = out.size();
  platform::AppendUtf8(name, out);
  // Only single bytes can be control characters: a name without any is
  // kept as it was appended.
  if (std::none_of(out.begin() + std::ptrdiff_t(start), out.end(), NeedsEscape)) return;
  const std::string raw = out.substr(start);
  out.resize(start);
  AppendPrintable(raw, out);
}

std::string PrintableText(const std::string& text) {
  std::string out;
  AppendPrintable(text, out);
  return out;
}

std::string ShownAsTyped(std::string message, const std::vector<TypedPath>& paths) {
  for (const TypedPath& path : paths) {
    if (path.internal.empty()) continue;
    for (size_t at = message.find(path.internal); at != std::string::npos;) {
      message.replace(at, path.internal.size(), path.typed);
      at += path.typed.size();
      if (path.directory) {
        // The rest of the quoted path is a name below the directory.
        for (; at < message.size() && message[at] != '"'; ++at)
          if (message[at] == '\\') message[at] = '/';
      }
      at = message.find(path.internal, at);
    }
  }
  return message;
}

std::string NoSpaceText(const std::string& where) {
  return "not enough free space on the disk that holds " + where;
}

std::string NamelessEntryNote(const std::string& archive, int64_t offset) {
  return PrintableText(archive) + ": the entry at offset " + std::to_string(offset) +
         " has an empty name; it was passed over";
}

std::string RebuiltDirectoryNote(const std::string& archive, bool found) {
  return PrintableText(archive) + ": the central directory is missing or damaged; " +
         (found ? "entries were found from their local headers"
                : "no entry was found from local headers either");
}

}  // namespace km::cli
