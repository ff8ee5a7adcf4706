// pelko-cli: the archiving run without a window, for scripts and schedulers,
// and the commands a user needs to check and restore a backup.
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archiver/Archiver.h"
#include "cli/EntryCommands.h"
#include "cli/Messages.h"
#include "cli/SyncCommand.h"
#include "cli/VolumeSet.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "zipformat/Zip64Fields.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelko-cli COMMAND [ARGUMENTS]\n"
    "Keeps one ZIP archive in step with a directory tree.\n"
    "\n"
    "Commands:\n"
    "  sync [--base DIR] [--archive FILE] [--test] [--dry-run] [--no-flush]\n"
    "       [--volume-size SIZE] [--threads N] [--quiet]\n"
    "                 make FILE mirror the files under DIR\n"
    "  list ARCHIVE   list the entries of ARCHIVE\n"
    "  test ARCHIVE [--password PW] [--threads N] [--quiet]\n"
    "                 check every entry of ARCHIVE\n"
    "  extract ARCHIVE [--to DIR] [--password PW] [--quiet] [MASK ...]\n"
    "                 restore the entries of ARCHIVE under DIR\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help, or with a command that command's, and exit\n"
    "  -V, --version  show the version of the archiver component and exit\n"
    "\n"
    "Run 'pelko-cli COMMAND --help' for what a command does and its options.\n"
    "\n"
    "Ctrl+C or another termination signal (SIGTERM, SIGHUP, SIGQUIT, ...), however\n"
    "many arrive, stops sync, test and extract at the next file: sync then leaves\n"
    "the archive as it was (or, when the update had already been written, says\n"
    "so), extract leaves no half-written file. Exit status 2.\n"
    "\n"
    "A split archive (data.z01, data.z02, ... data.zip, or data_001.zip, ...\n"
    "data.zip) is read by list, test and extract when any of its volumes is\n"
    "named; its volumes are written once, so sync does not update one.\n"
    "A spanned archive (one volume per removable disk) asks for each disk on the\n"
    "terminal: Enter goes on once the disk is in, q (and Enter) cancels, which\n"
    "stops the run; with no terminal the request is cancelled.\n"
    "\n"
    "Exit status: 0 success; 1 some file or entry failed (sync: that file was\n"
    "skipped and the rest done); 2 the arguments are wrong, or the archive could\n"
    "not be opened, or (sync) adding or committing failed, or the run was\n"
    "interrupted.\n";

// Each command's own help: `pelko-cli COMMAND --help`, and after a wrong
// argument to it.
constexpr const char* kSyncUsage =
    "Usage: pelko-cli sync [--base DIR] [--archive FILE] [--test] [--dry-run]\n"
    "                      [--no-flush] [--volume-size SIZE] [--threads N] [--quiet]\n"
    "Makes FILE mirror the files under DIR: new files are added, changed ones\n"
    "replaced, entries whose files are gone removed; nothing is written when\n"
    "nothing changed. The last line says what changed: \"Добавлено: N    Удалено: M\"\n"
    "(added, deleted). A file that cannot be read is named on stderr and skipped.\n"
    "\n"
    "Options:\n"
    "  --base DIR          the folder to back up (default: the folder of this\n"
    "                      program); entry names start with its own name\n"
    "  --archive FILE      the archive (default: the one that Pelko.ini beside this\n"
    "                      program names, ArchiveName in its section [Pelko])\n"
    "  --test              then check every entry of the archive\n"
    "  --dry-run           write nothing: list what would be added (+), replaced (~)\n"
    "                      and deleted (-), one file per line, and the counts line;\n"
    "                      an archive with an interrupted update is left to the\n"
    "                      next sync to roll back (exit status 2)\n"
    "  --no-flush          leave flushing the archive to the disk to the system (a\n"
    "                      crash of the program is still safe, a power cut may not\n"
    "                      be); by default the update is on the disk when sync ends\n"
    "  --volume-size SIZE  make a new FILE a split archive of volumes of at most\n"
    "                      SIZE bytes (suffix k, M or G for KiB, MiB, GiB; at least\n"
    "                      64k): data.z01, data.z02, ... and data.zip last, as zip -s\n"
    "                      and 7-Zip read them; only when FILE is created\n"
    "  --threads N         compress on N threads (default: one per core, at most 8);\n"
    "                      the archive is the same, byte for byte, for any N\n"
    "  --quiet             show no progress line on the terminal\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 success; 1 some file could not be read and was skipped, or the\n"
    "test found a damaged entry; 2 the arguments are wrong, no archive is named,\n"
    "the archive could not be opened, adding or committing failed, or the run was\n"
    "interrupted (the archive is then as it was).\n";

constexpr const char* kListUsage =
    "Usage: pelko-cli list ARCHIVE\n"
    "Lists the entries of ARCHIVE, one per line, tab-separated: the name as\n"
    "stored, size, compressed size, CRC-32, modified, attributes.\n"
    "\n"
    "Options:\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 success; 2 the archive could not be opened.\n";

constexpr const char* kTestUsage =
    "Usage: pelko-cli test ARCHIVE [--password PW] [--threads N] [--quiet]\n"
    "Checks every entry of ARCHIVE (size and CRC-32); each entry that fails is\n"
    "named on stderr, and so is a missing central directory. The last line\n"
    "counts the entries tested and failed.\n"
    "\n"
    "Options:\n"
    "  --password PW       the password of encrypted entries (without it, it is\n"
    "                      asked for on the terminal without echo; with no terminal\n"
    "                      the entries fail); other users of the machine can see a\n"
    "                      password given on the command line\n"
    "  --threads N         check on N threads side by side (default: one per core,\n"
    "                      at most 8); entries are reported in the archive's order\n"
    "  --quiet             show no progress line on the terminal\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 every entry is sound; 1 some entry failed; 2 the archive could\n"
    "not be opened, or the run was interrupted.\n";

constexpr const char* kExtractUsage =
    "Usage: pelko-cli extract ARCHIVE [--to DIR] [--password PW] [--quiet] [MASK ...]\n"
    "Restores the entries of ARCHIVE, or those matching a MASK (* and ?, e.g.\n"
    "'*.txt' or 'docs/*'), under DIR with their folders and modification times;\n"
    "existing files are replaced. Names that would land outside DIR are refused.\n"
    "A file that cannot be written is named on stderr and no part of it is left.\n"
    "The last line counts the files written.\n"
    "\n"
    "Options:\n"
    "  --to DIR            where to restore (default: the current directory)\n"
    "  --password PW       the password of encrypted entries (without it, it is\n"
    "                      asked for on the terminal without echo); other users of\n"
    "                      the machine can see a password given on the command line\n"
    "  --quiet             show no progress line on the terminal\n"
    "  --                  what follows is a MASK, even when it starts with -\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 success; 1 some entry could not be restored; 2 the archive\n"
    "could not be opened, or the run was interrupted.\n";

const char* CommandUsage(std::string_view command) {
  if (command == "sync") return kSyncUsage;
  if (command == "list") return kListUsage;
  if (command == "test") return kTestUsage;
  if (command == "extract") return kExtractUsage;
  return kUsage;
}

// Whether a command's arguments ask for its help: -h or --help where an
// option may stand (not as the value of an option, not after "--").
bool AsksForHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help") return true;
    for (const char* option :
         {"--base", "--archive", "--threads", "--volume-size", "--password", "--to"})
      if (arg == option) ++i;
  }
  return false;
}

std::string ComponentVersion() {
  km::TKavoMill archiver;
  return km::platform::WideToUtf8(archiver.CurrentVersion());
}

// The listing's lines, written out in large blocks: one call to the system
// for many lines, not one (and one format parse) per line.
class ListWriter {
 public:
  ~ListWriter() { Flush(); }
  void Line(const km::TDirItem& item) {
    km::cli::AppendPrintableName(item.FileName, out_);
    out_ += '\t';
    Number(uint64_t(km::UncompressedSizeOf(item)), 10, 1);
    out_ += '\t';
    Number(uint64_t(km::CompressedSizeOf(item)), 10, 1);
    out_ += '\t';
    Number(item.Crc32, 16, 8);
    out_ += '\t';
    Number(1980 + (item.ModDate >> 9), 10, 4);
    out_ += '-';
    Number((item.ModDate >> 5) & 0x0F, 10, 2);
    out_ += '-';
    Number(item.ModDate & 0x1F, 10, 2);
    out_ += ' ';
    Number(item.ModTime >> 11, 10, 2);
    out_ += ':';
    Number((item.ModTime >> 5) & 0x3F, 10, 2);
    out_ += ':';
    Number((item.ModTime & 0x1F) * 2, 10, 2);
    out_ += "\t0x";
    Number(item.ExternalAttr, 16, 1);
    out_ += '\n';
    if (out_.size() >= kBlock) Flush();
  }
  void Flush() {
    if (!out_.empty()) std::fwrite(out_.data(), 1, out_.size(), stdout);
    out_.clear();
  }

 private:
  static constexpr size_t kBlock = 1 << 16;
  // Digits in lower case, zero-padded to width, as printf's %0*u and %0*x.
  void Number(uint64_t value, int base, int width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    for (int pad = width - int(end - digits); pad > 0; --pad) out_ += '0';
    out_.append(digits, end);
  }
  std::string out_;
};

int List(const char* archivePath) {
  km::TKavoMill archiver;
  try {
    archiver.SetFileName(km::cli::WindowsViewOf(archivePath));
    ListWriter out;
    // Listing never writes; while it reads, no commit can start. The
    // entries are printed as they are read again, not kept.
    archiver.WalkEntries(
        km::kOpenModeReadShared,
        [&] {
          if (!archiver.RecoveryNote().empty()) {
            const std::vector<km::cli::TypedPath> typed = {
                {km::platform::WideToUtf8(archiver.FileName()), archivePath, false}};
            std::fprintf(
                stderr, "pelko-cli: %s\n",
                km::cli::ShownAsTyped(km::platform::WideToUtf8(archiver.RecoveryNote()), typed)
                    .c_str());
          }
          if (archiver.DirectoryRebuilt())
            std::fprintf(stderr, "pelko-cli: %s\n",
                         km::cli::RebuiltDirectoryNote(
                             archivePath, archiver.DirManager()->CurrentDir().Count() > 0)
                             .c_str());
          for (const int64_t offset : archiver.DirManager()->NamelessEntries())
            std::fprintf(stderr, "pelko-cli: %s\n",
                         km::cli::NamelessEntryNote(archivePath, offset).c_str());
        },
        [&](const km::TDirItem& item) { out.Line(item); });
    out.Flush();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    const std::vector<km::cli::TypedPath> typed = {
        {km::platform::WideToUtf8(archiver.FileName()), archivePath, false}};
    std::fprintf(stderr, "pelko-cli: %s\n", km::cli::ShownAsTyped(e.what(), typed).c_str());
    return 2;
  }
  return 0;
}

int Usage(const char* problem, const char* usage = kUsage) {
  std::fprintf(stderr, "pelko-cli: %s\n\n%s", problem, usage);
  return 2;
}

// --threads N: false, with the problem, when N is not a thread count.
bool ThreadsOption(const std::string& typed, int& threads, std::string& problem) {
  const std::optional<int> n = km::cli::ThreadsOf(typed);
  if (!n) {
    problem = "--threads: '" + typed + "' is not a number of threads (1 to " +
              std::to_string(km::TKMBaseArchiver::kMaxThreads) + ")";
    return false;
  }
  threads = *n;
  return true;
}

// The arguments of test and extract: the archive first, then options and
// masks in any order; "--" ends the options.
std::optional<km::cli::EntryCommand> ParseEntryCommand(int argc, char** argv, bool extract,
                                                       std::string& problem) {
  km::cli::EntryCommand command;
  bool haveArchive = false;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view option, std::string& into, bool& given) {
      if (arg == option) {
        if (i + 1 >= argc) {
          problem = std::string(option) + " needs a value";
          return true;
        }
        into = argv[++i];
      } else {
        into = std::string(arg.substr(option.size() + 1));
      }
      given = true;
      return true;
    };
    auto is = [&](std::string_view option) {
      return arg == option ||
             (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=');
    };
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && is("--password")) {
      value("--password", command.password, command.passwordGiven);
    } else if (!optionsEnded && arg == "--quiet") {
      command.quiet = true;
    } else if (!optionsEnded && extract && is("--to")) {
      value("--to", command.dir, command.dirGiven);
    } else if (!optionsEnded && !extract && is("--threads")) {
      std::string typed;
      bool given = false;
      value("--threads", typed, given);
      if (problem.empty()) ThreadsOption(typed, command.threads, problem);
    } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
      problem = "unknown option '" + std::string(arg) + "'";
    } else if (!haveArchive) {
      command.archive = std::string(arg);
      haveArchive = true;
    } else if (extract) {
      command.masks.emplace_back(arg);
    } else {
      problem = "test takes one archive";
    }
    if (!problem.empty()) return std::nullopt;
  }
  if (!haveArchive) {
    problem = std::string(extract ? "extract" : "test") + " needs an archive";
    return std::nullopt;
  }
  if (command.dirGiven && command.dir.empty()) {
    problem = "--to needs a directory";
    return std::nullopt;
  }
  return command;
}

std::optional<km::cli::SyncCommand> ParseSyncCommand(int argc, char** argv, std::string& problem) {
  km::cli::SyncCommand command;
  for (int i = 2; i < argc && problem.empty(); ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view option, std::string& into, bool& given) {
      if (arg == option) {
        if (i + 1 >= argc) {
          problem = std::string(option) + " needs a value";
          return;
        }
        into = argv[++i];
      } else {
        into = std::string(arg.substr(option.size() + 1));
      }
      if (into.empty()) problem = std::string(option) + " needs a value";
      given = true;
    };
    auto is = [&](std::string_view option) {
      return arg == option ||
             (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=');
    };
    if (is("--base")) {
      value("--base", command.base, command.baseGiven);
    } else if (is("--archive")) {
      value("--archive", command.archive, command.archiveGiven);
    } else if (arg == "--test") {
      command.test = true;
    } else if (arg == "--dry-run") {
      command.dryRun = true;
    } else if (arg == "--no-flush") {
      command.flush = false;
    } else if (arg == "--quiet") {
      command.quiet = true;
    } else if (is("--threads")) {
      std::string typed;
      bool given = false;
      value("--threads", typed, given);
      if (problem.empty()) ThreadsOption(typed, command.threads, problem);
    } else if (is("--volume-size")) {
      std::string typed;
      bool given = false;
      value("--volume-size", typed, given);
      if (!problem.empty()) break;
      const std::optional<int64_t> size = km::cli::VolumeSizeOf(typed);
      if (!size)
        problem = "--volume-size: '" + typed +
                  "' is not a size (bytes, or a number with k, M or G: 64k, 10M, 2G)";
      else if (*size < km::cli::kMinVolumeSize)
        problem = "--volume-size: '" + typed + "' is too small; a volume holds at least 64k (" +
                  std::to_string(km::cli::kMinVolumeSize) + " bytes)";
      else
        command.volumeSize = *size;
    } else {
      problem = "sync: unexpected argument '" + std::string(arg) + "'";
    }
  }
  if (problem.empty() && command.dryRun && command.test)
    problem = "--dry-run writes nothing, so there is nothing new for --test to check";
  if (!problem.empty()) return std::nullopt;
  return command;
}

}  // namespace

int main(int argc, char** argv) {
  km::platform::PrepareHeap();
  km::platform::PrepareConsole();
  // Paths and masks are UTF-8 from here on, whatever the host gave main().
  std::vector<std::string> arguments = km::platform::Utf8Arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  argv = pointers.data();
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
  const bool known =
      command == "sync" || command == "list" || command == "test" || command == "extract";
  if (known && AsksForHelp(argc, argv)) {
    std::fputs(CommandUsage(command), stdout);
    return 0;
  }
  if (command == "list") {
    if (argc != 3) return Usage("list takes one archive", kListUsage);
    return List(km::cli::SetArchiveOf(argv[2]).c_str());
  }
  if (command == "sync" || command == "test" || command == "extract") {
    // Kept until the process is gone: a signal that comes while the program
    // is already on its way out must not end it with a signal's status.
    static km::platform::StopSignals* const stopSignals = new km::platform::StopSignals;
    (void)stopSignals;
  }
  if (command == "sync") {
    std::string problem;
    const auto parsed = ParseSyncCommand(argc, argv, problem);
    if (!parsed) return Usage(problem.c_str(), kSyncUsage);
    try {
      return km::cli::SyncArchive(*parsed);
    } catch (const std::exception& e) {
      std::fflush(stdout);
      std::fprintf(stderr, "pelko-cli: %s\n", e.what());
      return 2;
    }
  }
  if (command == "test" || command == "extract") {
    const bool extract = command == "extract";
    std::string problem;
    auto parsed = ParseEntryCommand(argc, argv, extract, problem);
    if (!parsed) return Usage(problem.c_str(), extract ? kExtractUsage : kTestUsage);
    parsed->archive = km::cli::SetArchiveOf(parsed->archive);
    try {
      return extract ? km::cli::ExtractArchive(*parsed) : km::cli::TestArchive(*parsed);
    } catch (const std::exception& e) {
      std::fflush(stdout);
      std::fprintf(stderr, "pelko-cli: %s\n", e.what());
      return 2;
    }
  }
  std::fprintf(stderr, "pelko-cli: unknown argument '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
