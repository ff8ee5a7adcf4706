// Creates the archive of a folder as pelko would (its design-time settings,
// its flushes), as one file or as a split set, for bench/split_bench.py to
// time and to read the peak memory of. One creation per process, so that
// the process's peak resident size is that creation's.
//   km_create_set [--volume BYTES] [--no-flush] FOLDER ARCHIVE
// Without --volume the archive is one file; with it, volumes of at most
// BYTES each, named ARCHIVE's stem .z01, .z02, ... and ARCHIVE last. Prints
// the number of entries written; exits 1 on any failure.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "archiver/Archiver.h"
#include "frontend/ArchiverSetup.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"
#include "support/Paths.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: km_create_set [--volume BYTES] [--no-flush] FOLDER ARCHIVE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int64_t volumeSize = 0;
  bool flush = true;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    if (std::strcmp(argv[at], "--volume") == 0 && at + 1 < argc) {
      volumeSize = std::strtoll(argv[++at], nullptr, 10);
      if (volumeSize <= 0) return Usage();
    } else if (std::strcmp(argv[at], "--no-flush") == 0) {
      flush = false;
    } else {
      return Usage();
    }
  }
  if (argc - at != 2) return Usage();
  const std::u16string folder = km::ToWindowsView(fs::absolute(argv[at]));
  const std::u16string archive = km::ToWindowsView(fs::absolute(argv[at + 1]));

  km::TKavoMill archiver;
  pelko::ApplyDesignSettings(archiver);
  archiver.Options().SetFlushBuffers(flush);
  archiver.SetFileName(archive);
  archiver.SetBaseDir(km::IncludeTrailingSeparator(folder));
  if (volumeSize > 0) {
    archiver.SetSpanningMode(km::smSplitting);
    archiver.SpanningOptions().SetVolumeSize(km::vsCustom);
    archiver.SpanningOptions().SetCustomVolumeSize(volumeSize);
    archiver.SpanningOptions().SetAdvancedNaming(false);
  }
  bool failed = false;
  // A file that cannot be archived would make the figures those of another
  // archive: the run counts as failed.
  archiver.OnProcessFileFailure = [&](km::TKMBaseArchiver&, const std::u16string& name,
                                      km::TKMProcessOperation, int32_t, int32_t,
                                      const std::u16string& message, km::TKMAction& action) {
    std::fprintf(stderr, "%s: %s\n", km::platform::WideToUtf8(name).c_str(),
                 km::platform::WideToUtf8(message).c_str());
    failed = true;
    action = km::fxaAbort;
  };
  try {
    archiver.OpenArchive();
    archiver.BeginUpdate();
    archiver.AddFiles();
    archiver.EndUpdate();
    const int32_t added = archiver.AddedCount();
    const bool cancelled = archiver.Cancelled();
    archiver.CloseArchive();
    if (failed || cancelled) {
      std::fprintf(stderr, "the archive was not written\n");
      return 1;
    }
    std::printf("%" PRId32 " entries\n", added);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
