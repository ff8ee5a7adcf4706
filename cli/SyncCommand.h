// pelko-cli's sync command: the dialog's run without the window.
#pragma once

#include <string>

namespace km::cli {

struct SyncCommand {
  bool baseGiven = false;
  std::string base;  // as typed
  bool archiveGiven = false;
  std::string archive;  // as typed
  bool test = false;
  // Off: the commit leaves flushing the archive (and its journal) to the
  // disk to the system, for storage where flushing costs more than it
  // protects.
  bool flush = true;
};

// Exit codes: 0 all went well; 1 some file failed or the test found errors;
// 2 no archive named, or opening, adding or committing failed, or a signal
// interrupted the run (the archive is then as it was, or, when the signal
// came after the commit, the new one; stderr says which).
int SyncArchive(const SyncCommand& command);

}  // namespace km::cli
