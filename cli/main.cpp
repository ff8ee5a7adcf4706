// pelko-cli: the archiving run without a window, for scripts and schedulers,
// and the commands a user needs to check a backup.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "archiver/Archiver.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelko-cli COMMAND [ARGUMENTS]\n"
    "Keeps one ZIP archive in step with a directory tree.\n"
    "\n"
    "Commands:\n"
    "  list ARCHIVE   list the entries of ARCHIVE, one per line, tab-separated:\n"
    "                 name, size, compressed size, CRC-32, modified, attributes\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version of the archiver component and exit\n";

std::string ComponentVersion() {
  km::TKavoMill archiver;
  return km::platform::WideToUtf8(archiver.CurrentVersion());
}

// A name read from an archive may hold anything; control characters would
// break the one-line-per-entry format, so they are shown escaped.
std::string PrintableName(const std::u16string& name) {
  std::string out;
  for (char c : km::platform::WideToUtf8(name)) {
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

// Messages name the archive in the component's Windows view (Z:\...); a
// user should see it as they typed it.
std::string ShownAsTyped(std::string message, const km::TKavoMill& archiver, const char* typed) {
  const std::string internal = km::platform::WideToUtf8(archiver.FileName());
  if (internal.empty()) return message;
  for (size_t at = message.find(internal); at != std::string::npos;
       at = message.find(internal, at + std::strlen(typed))) {
    message.replace(at, internal.size(), typed);
  }
  return message;
}

int List(const char* archivePath) {
  km::TKavoMill archiver;
  try {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(archivePath, ec);
    archiver.SetFileName(km::ToWindowsView(ec ? std::filesystem::path(archivePath) : absolute));
    // Listing never writes: open read-only with nothing denied to others.
    archiver.OpenArchive(km::kOpenModeReadOnly);
    const km::TKMDirArray& dir = archiver.DirManager()->CurrentDir();
    for (int32_t i = 0; i < dir.Count(); ++i) {
      const km::TDirItem& item = dir.GetItem(i);
      const uint64_t size = item.UncompressedSize == 0xFFFFFFFFu
                                ? uint64_t(item.Zip64UncompressedSize)
                                : item.UncompressedSize;
      const uint64_t packed = item.CompressedSize == 0xFFFFFFFFu
                                  ? uint64_t(item.Zip64CompressedSize)
                                  : item.CompressedSize;
      std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t%08" PRIx32
                  "\t%04d-%02d-%02d %02d:%02d:%02d\t0x%" PRIx32 "\n",
                  PrintableName(item.FileName).c_str(), size, packed, item.Crc32,
                  1980 + (item.ModDate >> 9), (item.ModDate >> 5) & 0x0F, item.ModDate & 0x1F,
                  item.ModTime >> 11, (item.ModTime >> 5) & 0x3F, (item.ModTime & 0x1F) * 2,
                  item.ExternalAttr);
    }
    archiver.CloseArchive();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pelko-cli: %s\n", ShownAsTyped(e.what(), archiver, archivePath).c_str());
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[1];
  if (argc == 2 && (command == "--help" || command == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (command == "--version" || command == "-V")) {
    std::printf("pelko-cli, KavoMill %s\n", ComponentVersion().c_str());
    return 0;
  }
  if (command == "list") {
    if (argc != 3) {
      std::fprintf(stderr, "pelko-cli: list takes one archive\n\n%s", kUsage);
      return 2;
    }
    return List(argv[2]);
  }
  std::fprintf(stderr, "pelko-cli: unknown argument '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
