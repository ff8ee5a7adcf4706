// pelko-cli: the archiving run without a window, for scripts and schedulers.
#include <cstdio>
#include <string>
#include <string_view>

#include "archiver/Archiver.h"
#include "platform/CodePage.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelko-cli [OPTION]\n"
    "Keeps one ZIP archive in step with a directory tree.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version of the archiver component and exit\n";

std::string ComponentVersion() {
  km::TKavoMill archiver;
  return km::platform::WideToUtf8(archiver.CurrentVersion());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view arg = argv[1];
  if (argc == 2 && (arg == "--help" || arg == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (arg == "--version" || arg == "-V")) {
    std::printf("pelko-cli, KavoMill %s\n", ComponentVersion().c_str());
    return 0;
  }
  std::fprintf(stderr, "pelko-cli: unknown argument '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
