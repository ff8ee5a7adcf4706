// pelko-cli's test and extract commands.
#pragma once

#include <string>
#include <vector>

namespace km::cli {

struct EntryCommand {
  std::string archive;  // as typed
  bool passwordGiven = false;
  std::string password;
  bool dirGiven = false;
  std::string dir;                 // extract: where to, as typed
  std::vector<std::string> masks;  // extract: none means every entry
  int threads = 0;                 // test: threads that check side by side; 0: the cores
  bool quiet = false;              // no progress line on the terminal
};

// Exit codes: 0 every entry passed, 1 some entry failed, 2 the archive (or
// the destination) could not be opened.
int TestArchive(const EntryCommand& command);
int ExtractArchive(const EntryCommand& command);

// The component's Windows view of a path typed on the command line, made
// absolute against the current directory.
std::u16string WindowsViewOf(const std::string& typed);

}  // namespace km::cli
