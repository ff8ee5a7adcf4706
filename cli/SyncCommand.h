// pelko-cli's sync command: the dialog's run without the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace km::cli {

struct SyncCommand {
  bool baseGiven = false;
  std::string base;  // as typed
  bool archiveGiven = false;
  std::string archive;  // as typed
  bool test = false;
  // Lists what the run would add, replace and delete, and writes nothing.
  bool dryRun = false;
  // Off: the commit leaves flushing the archive (and its journal) to the
  // disk to the system, for storage where flushing costs more than it
  // protects.
  bool flush = true;
  // Above 0: the archive is made as a split set of volumes of at most this
  // many bytes (data.z01, data.z02, ... data.zip). A set is written once, so
  // only a new archive can be made this way.
  int64_t volumeSize = 0;
  // Threads that compress side by side; 0: the cores. The archive's bytes
  // do not depend on it.
  int threads = 0;
  // No progress line on the terminal.
  bool quiet = false;
};

// The smallest volume a split set may have: the component will not make a
// volume on less room than this.
constexpr int64_t kMinVolumeSize = 65536;

// A volume size as typed: a number of bytes, or of KiB, MiB or GiB with the
// suffix k, M or G (either case). None when it is not such a size, or does
// not fit in 64 bits; the minimum is the caller's to check.
std::optional<int64_t> VolumeSizeOf(std::string_view typed);

// A thread count as typed: 1 to the component's most. None otherwise.
std::optional<int> ThreadsOf(std::string_view typed);

// Exit codes: 0 all went well; 1 some file failed or the test found errors;
// 2 no archive named, or opening, adding or committing failed, or a signal
// interrupted the run (the archive is then as it was, or, when the signal
// came after the commit, the new one; stderr says which).
int SyncArchive(const SyncCommand& command);

}  // namespace km::cli
