#include "cli/Messages.h"

#include <cstdio>

#include "platform/CodePage.h"

namespace km::cli {

std::string PrintableName(const std::u16string& name) {
  return PrintableText(platform::WideToUtf8(name));
}

std::string PrintableText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", byte);
      out += buf;
    } else {
      out += c;
    }
  }
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
