#include "cli/SyncCommand.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/Journal.h"
#include "cli/ConsoleDialogs.h"
#include "cli/EntryCommands.h"
#include "cli/Messages.h"
#include "cli/ProgressLine.h"
#include "cli/VolumeSet.h"
#include "frontend/ArchiverSetup.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/HostPath.h"
#include "platform/System.h"
#include "support/Paths.h"

namespace km::cli {
namespace {

using platform::StopRequested;
using platform::WideToUtf8;

// A name as the user knows it: a source file as its host path, an entry
// name as stored.
std::string ShownName(const std::u16string& name) {
  if (name.size() >= 3 && name[1] == u':' && name[2] == u'\\')
    return PrintableText(FromWindowsView(name).string());
  return PrintableName(name);
}

// Whether another process has the file open for writing; ours are closed.
bool HeldElsewhere(const std::u16string& fileName) {
  platform::File probe;
  return probe.Open(fileName, platform::FileAccess::Read, platform::FileShare::DenyWrite,
                    platform::FileDisposition::OpenExisting) == platform::kErrorSharingViolation;
}

// The archiver of one sync run, bound like the dialog binds it: progress,
// per-file failures (reported and skipped) and a full disk (cancels).
class SyncArchiver : public TKavoMill {
 public:
  explicit SyncArchiver(bool quiet) : line_(!quiet && platform::StderrIsTerminal()) {
    pelko::ApplyDesignSettings(*this);
    // A stop request (Ctrl+C, a termination signal) is the window's Cancel
    // button: the run stops at the next progress event and the commit rolls
    // back.
    OnFileProgress = [this](TKMBaseArchiver&, const std::u16string& fileName, double progress,
                            TKMProcessOperation operation, TKMProgressPhase phase, bool& cancel) {
      cancel = Stop();
      progressName_ = ProgressName(fileName);
      if (operation != poTest) return;
      if (phase == ppStart) testBytes_.EntryStarted(*this, fileName);
      if (phase == ppProcess) testBytes_.EntryProgress(progress);
      if (phase == ppEnd) testBytes_.EntryEnded();
    };
    OnOverallProgress = [this](TKMBaseArchiver&, double progress, TKMProcessOperation operation,
                               TKMProgressPhase phase, bool& cancel) {
      ShowProgress(progress, operation, phase);
      // The end comes once the commit stands, where a cancel changes nothing.
      if (phase == ppEnd) return;
      cancel = Stop();
      if (phase == ppStart && !cancel && DryRun()) TellPlan();
      // The commit's first event: from here on it writes the archive.
      if (phase == ppStart && !cancel) commitBegun_ = true;
    };
    OnCopyTempFileProgress = [this](TKMBaseArchiver&, double progress, TKMProgressPhase phase,
                                    bool& cancel) {
      cancel = Stop();
      if (phase == ppStart) line_.Begin(0);
      line_.Update(progress, 0, "moving the temporary file");
    };
    OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& fileName,
                                  TKMProcessOperation operation, int32_t, int32_t,
                                  const std::u16string& message, TKMAction&) {
      // The action stays as preset: the file is skipped, the run goes on.
      ReportLine(ShownName(SourceOf(fileName, operation)) + ": " +
                 PrintableText(ShownAsTyped(WideToUtf8(message), typed_)));
      ++failures_;
    };
    OnDiskFull = [this](TKMBaseArchiver&, int32_t, const std::u16string& fileName, bool& cancel) {
      ReportLine(DiskFullText(fileName));
      ++failures_;
      cancel = true;
    };
  }

  // What a full disk stopped, in words, with the path the user knows.
  static std::string DiskFullText(const std::u16string& fileName) {
    return "not enough free space on the disk that holds " + ShownName(fileName);
  }

  void ReportLine(const std::string& text) {
    ClearProgress();
    std::fflush(stdout);
    std::fprintf(stderr, "pelko-cli: %s\n", text.c_str());
  }

  // A message of the component, its paths shown as the user gave them.
  void ReportMessage(const std::u16string& message) {
    ReportLine(PrintableText(ShownAsTyped(WideToUtf8(message), typed_)));
  }
  std::string Shown(const std::string& message) const {
    return PrintableText(ShownAsTyped(message, typed_));
  }

  void ClearProgress() { ClearProgressLine(); }

  // Messages quote paths in the component's view (Z:\...); they are shown
  // as the host paths the line begins with.
  void SetShownPaths(std::vector<TypedPath> typed) { typed_ = std::move(typed); }

  // What the dry run would have written: one line per entry added (+),
  // replaced (~) or deleted (-), with the file's host path.
  const std::vector<std::string>& Plan() const { return plan_; }
  int PlannedAdds() const { return plannedAdds_; }
  int PlannedDeletes() const { return plannedDeletes_; }

  int Failures() const { return failures_; }
  // Whether a progress event was told to stop.
  bool Stopped() const { return stopped_; }
  // Whether the commit began to write: its first event was not stopped.
  // Nothing is written when nothing changed.
  bool CommitBegun() const { return commitBegun_; }

 private:
  bool Stop() {
    if (!StopRequested()) return false;
    stopped_ = true;
    return true;
  }

  // A replacement fails under its entry's name; the user needs to know
  // which file could not be read.
  std::u16string SourceOf(const std::u16string& name, TKMProcessOperation operation) const {
    if (operation != poUpdate || !DirManager()) return name;
    const TKMDirArray& current = DirManager()->CurrentDir();
    const int32_t index = current.FindItem(name);
    if (index < 0 || current.GetItem(index).SourceFileName.empty()) return name;
    return current.GetItem(index).SourceFileName;
  }

  // Called where the commit would begin to write: the current directory
  // is the new one, the rollback copy the old.
  void TellPlan() {
    const TKMDirArray& now = DirManager()->CurrentDir();
    const TKMDirArray& before = DirManager()->RollbackDir();
    const std::u16string prefix = MissingFilesPrefix();
    const auto hostPath = [&](const TDirItem& item) {
      std::u16string path = item.FileName;
      const bool folder = path.ends_with(u'/');
      for (char16_t& c : path)
        if (c == u'/') c = u'\\';
      std::string shown = FromWindowsView(prefix + ExcludeTrailingSeparator(path)).string();
      if (folder) shown += char(std::filesystem::path::preferred_separator);
      return PrintableText(shown);
    };
    for (int32_t i = 0; i < now.Count(); ++i) {
      const TDirItem& item = now.GetItem(i);
      if (!item.Modified) continue;
      plan_.push_back((before.FindItem(item.FileName) >= 0 ? "~ " : "+ ") + hostPath(item));
      ++plannedAdds_;
    }
    for (int32_t i = 0; i < before.Count(); ++i) {
      const TDirItem& item = before.GetItem(i);
      if (now.FindItem(item.FileName) >= 0) continue;
      plan_.push_back("- " + hostPath(item));
      ++plannedDeletes_;
    }
  }

  // The commit tells the share of the bytes it compresses; a test, the
  // share of its entries, of which testBytes_ makes bytes.
  void ShowProgress(double progress, TKMProcessOperation operation, TKMProgressPhase phase) {
    if (operation == poTest) {
      if (phase == ppStart) {
        testBytes_.Begin(*this);
        line_.Begin(testBytes_.Total());
      } else if (phase == ppProcess) {
        line_.Update(testBytes_.Percent(progress), testBytes_.Done(), progressName_);
      }
      return;
    }
    if (phase == ppStart) line_.Begin(TotalBytes());
    if (phase == ppProcess)
      line_.Update(progress, int64_t(progress / 100 * double(TotalBytes())), progressName_);
  }

  // A file below the folder as its entry is named, from the folder's own
  // name on; events give either.
  std::string ProgressName(const std::u16string& fileName) const {
    const std::u16string& base = BaseDir();  // with its separator
    std::u16string name = fileName;
    if (base.size() > 1 && fileName.starts_with(base)) {
      const size_t parent = base.rfind(u'\\', base.size() - 2);
      if (parent != std::u16string::npos) name.erase(0, parent + 1);
    }
    for (char16_t& c : name)
      if (c == u'\\') c = u'/';
    return PrintableName(name);
  }

  ProgressLine line_;
  std::string progressName_;
  EntryBytes testBytes_;
  int failures_ = 0;
  bool stopped_ = false;
  bool commitBegun_ = false;
  std::vector<TypedPath> typed_;
  std::vector<std::string> plan_;
  int plannedAdds_ = 0;
  int plannedDeletes_ = 0;
};

// What an open archive needs before an update. The volumes of a set are
// written once, when the set is made: an update would have to rewrite them
// all, so it is refused (false, said) before anything is touched. Entries
// without a name are not in the directory, so no commit writes them back:
// said, not failed.
bool MayUpdate(SyncArchiver& archiver, const std::string& shownArchive) {
  if (archiver.SpanningMode() != smNone) {
    archiver.CloseArchive();
    archiver.ReportLine("cannot update " + PrintableText(shownArchive) + ": " +
                        archiver.Shown(EKMException(kmeSpannedModify, &archiver).what()) +
                        " (a multi-volume archive is written once, when it is made, and "
                        "cannot be updated; the archive was left as it was)");
    return false;
  }
  for (const int64_t offset : archiver.DirManager()->NamelessEntries())
    archiver.ReportLine(NamelessEntryNote(shownArchive, offset) +
                        "; an update leaves it out of the archive");
  return true;
}

// sync --dry-run: the archive is opened only for reading (or, when there is
// none, made in memory) and the commit stops before it writes.
int PreviewSync(SyncArchiver& archiver, const std::u16string& archiveFile,
                const std::string& shownArchive, bool existed) {
  // Rolling back an interrupted update, or removing what an interrupted
  // split left, would be writing: the dry run says so and stops.
  if (FileExists(JournalFileName(archiveFile))) {
    archiver.ReportLine("the last update of " + PrintableText(shownArchive) +
                        " was interrupted and is still to be rolled back from " +
                        PrintableText(shownArchive) +
                        "-journal; a dry run changes nothing (the next sync, list or test of the "
                        "archive rolls it back)");
    return 2;
  }
  if (FileExists(VolumeRecordFileName(archiveFile))) {
    archiver.ReportLine("the creation of " + PrintableText(shownArchive) +
                        " was interrupted and what it wrote is still to be removed; a dry run "
                        "changes nothing (the next sync, list or test of the archive removes it)");
    return 2;
  }
  archiver.SetDryRun(true);
  if (!existed) {
    // What a new archive would hold does not depend on its volumes.
    archiver.SetSpanningMode(smNone);
    archiver.SetInMemory(true);
  }
  try {
    archiver.OpenArchive(existed ? int32_t(kOpenModeReadShared) : int32_t(kOpenModeCreate));
    if (!MayUpdate(archiver, shownArchive)) return 2;
    archiver.AddFiles();
  } catch (const std::exception& e) {
    archiver.CloseArchive();
    const bool inUse = existed && HeldElsewhere(archiveFile);
    archiver.ReportLine("cannot update " + PrintableText(shownArchive) + ": " +
                        archiver.Shown(e.what()) +
                        (inUse ? " (is another program using the archive?)" : ""));
    return 2;
  }
  archiver.CloseArchive();
  archiver.ClearProgress();
  if (StopRequested()) {
    archiver.ReportLine("interrupted; the dry run was stopped");
    return 2;
  }
  std::string out;
  for (const std::string& line : archiver.Plan()) out += line + '\n';
  out += WideToUtf8(pelko::StatusText(archiver.PlannedAdds(), archiver.PlannedDeletes())) + '\n';
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  return archiver.Failures() > 0 ? 1 : 0;
}

}  // namespace

std::optional<int> ThreadsOf(std::string_view typed) {
  if (typed.empty() || typed.size() > 3) return std::nullopt;
  int value = 0;
  for (const char c : typed) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > TKMBaseArchiver::kMaxThreads) return std::nullopt;
  return value;
}

std::optional<int64_t> VolumeSizeOf(std::string_view typed) {
  int shift = 0;
  if (!typed.empty()) {
    switch (typed.back()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      default:
        break;
    }
  }
  if (shift != 0) typed.remove_suffix(1);
  if (typed.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : typed) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (INT64_MAX - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > (INT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

int SyncArchive(const SyncCommand& command) {
  const std::u16string exeDir = pelko::ExecutableDir();
  std::u16string archiveFile;
  if (command.archiveGiven) {
    archiveFile = WindowsViewOf(command.archive);
  } else {
    const std::u16string settings = pelko::SettingsFileName(exeDir);
    archiveFile = pelko::ArchiveFileFromName(pelko::ReadArchiveName(settings), exeDir);
    if (archiveFile.empty()) {
      std::fprintf(stderr,
                   "pelko-cli: no archive named: give --archive FILE, or set ArchiveName in "
                   "section [Pelko] of %s\n",
                   PrintableText(FromWindowsView(settings).string()).c_str());
      return 2;
    }
  }
  // A volume of a set stands for the set, which is then refused as a whole
  // instead of being mended as a damaged archive of its own.
  std::string shownArchive =
      command.archiveGiven ? command.archive : FromWindowsView(archiveFile).string();
  if (const std::string set = SetArchiveOf(shownArchive); set != shownArchive) {
    shownArchive = set;
    archiveFile = WindowsViewOf(set);
  }
  const std::u16string baseDir =
      IncludeTrailingSeparator(command.baseGiven ? WindowsViewOf(command.base) : exeDir);
  // Without its folder a run would only empty the archive of what is gone.
  if (!DirectoryExists(ExcludeTrailingSeparator(baseDir))) {
    std::fprintf(stderr, "pelko-cli: no such folder: %s\n",
                 PrintableText(command.baseGiven ? command.base : FromWindowsView(baseDir).string())
                     .c_str());
    return 2;
  }

  ConsoleDialogServices console;
  platform::ScopedDialogServices installed(&console);
  SyncArchiver archiver(command.quiet);
  archiver.Options().SetFlushBuffers(command.flush);
  archiver.SetThreads(command.threads);
  archiver.SetFileName(archiveFile);
  archiver.SetBaseDir(baseDir);
  const std::u16string baseFolder = ExcludeTrailingSeparator(baseDir);
  archiver.SetShownPaths({{WideToUtf8(baseFolder), FromWindowsView(baseFolder).string(), true},
                          {WideToUtf8(archiveFile), FromWindowsView(archiveFile).string(), false}});

  const bool existed = FileExists(archiveFile);
  const bool split = command.volumeSize > 0;
  if (split) {
    // A set is written once, when it is made: an archive that is there (or
    // the last volume of a set, which carries the archive's name) stays as
    // it is.
    if (existed) {
      archiver.ReportLine("cannot make " + PrintableText(shownArchive) +
                          " a split archive: it exists already, and a split archive is made "
                          "only when the archive is created (the archive was left as it was)");
      return 2;
    }
    // Info-ZIP and 7-Zip find the volumes as data.z01, data.z02, ... beside
    // data.zip.
    archiver.SetSpanningMode(smSplitting);
    archiver.SpanningOptions().SetAdvancedNaming(false);
    archiver.SpanningOptions().SetVolumeSize(vsCustom);
    archiver.SpanningOptions().SetCustomVolumeSize(command.volumeSize);
    // A first volume that no interrupted creation of ours left behind
    // belongs to some other set: it is not written over.
    std::u16string first = archiveFile;
    archiver.VolumeFileName(first, 0, false);
    if (FileExists(first) && !FileExists(VolumeRecordFileName(archiveFile))) {
      archiver.ReportLine("cannot make " + PrintableText(shownArchive) + " a split archive: " +
                          PrintableText(shownArchive.substr(0, shownArchive.rfind('/') + 1) +
                                        FromWindowsView(ExtractFileName(first)).string()) +
                          " exists already, the volume of another set (it was left as it was)");
      return 2;
    }
  }
  if (command.dryRun) return PreviewSync(archiver, archiveFile, shownArchive, existed);
  try {
    archiver.OpenArchive();
    if (!archiver.RecoveryNote().empty()) archiver.ReportMessage(archiver.RecoveryNote());
    if (!split && !MayUpdate(archiver, shownArchive)) return 2;
    archiver.BeginUpdate();
  } catch (const std::exception& e) {
    archiver.CancelUpdate();
    archiver.CloseArchive();
    // Another process writing the archive leaves it read-only to us (32).
    // Caught while that process creates or rewrites it, the file may not even
    // read as an archive yet: it is still the other process that stops us, and
    // "invalid" would only tempt the user to delete a good archive.
    const auto* failure = dynamic_cast<const EKMException*>(&e);
    const bool readOnly = failure && failure->NativeError() == kmeReadOnly;
    const bool inUse = HeldElsewhere(archiveFile);
    std::string reason =
        readOnly || !inUse ? e.what() : EKMException(kmeReadOnly, &archiver).what();
    // Opened read-only with nobody else holding it: the file may not be
    // written by this user, which is what to say.
    if (readOnly && !inUse)
      reason += " (access denied: the archive cannot be written by this user)";
    // Nothing of an archive was found in the file: it is never written over.
    const bool noArchive = !inUse && failure && failure->NativeError() == kmeInvalidArchive;
    archiver.ReportLine("cannot update " + PrintableText(shownArchive) + ": " +
                        archiver.Shown(reason) +
                        (inUse ? " (is another program using the archive?)" : "") +
                        (noArchive ? " (not a ZIP archive, or damaged beyond recovery; the file "
                                     "was left as it was)"
                                   : ""));
    return 2;
  }
  try {
    archiver.AddFiles();
  } catch (const std::exception& e) {
    archiver.CancelUpdate();
    archiver.CloseArchive();
    archiver.ReportLine(std::string("adding failed, nothing was changed: ") +
                        archiver.Shown(e.what()));
    return 2;
  }
  constexpr const char* kLeftAsItWas = "interrupted; the archive was left as it was";
  // Stopped before anything was written. The empty archive that opening
  // made, when there was none, goes again: as it was is no archive at all.
  auto stoppedUnwritten = [&] {
    archiver.CancelUpdate();
    archiver.CloseArchive();
    if (!existed) platform::DeleteFile(archiveFile);
    archiver.ReportLine(kLeftAsItWas);
    return 2;
  };
  // Stopped while the tree was read: the commit is not even begun.
  if (StopRequested()) return stoppedUnwritten();
  try {
    archiver.EndUpdate();
  } catch (const std::exception& e) {
    archiver.CloseArchive();
    // A full disk met outside the entries' data (the journal, the
    // directory, a flush) is said in the same words as inside it.
    const auto* stream = dynamic_cast<const EStreamError*>(&e);
    if (stream && stream->SystemError() == platform::kErrorDiskFull)
      archiver.ReportLine(SyncArchiver::DiskFullText(archiveFile) + " (" +
                          archiver.Shown(e.what()) + ")");
    else
      archiver.ReportLine(archiver.Shown(e.what()));
    return 2;
  }
  // A stop that came in time rolled the commit back; one after the commit's
  // last event found the new archive already written. That is said as it
  // is, with the status line of what was written.
  if (archiver.Stopped() && archiver.Cancelled()) return stoppedUnwritten();
  // Nothing else cancels a commit here but a full disk (said already): the
  // commit was rolled back, and its counts would tell of files never added.
  if (archiver.Cancelled()) {
    archiver.CloseArchive();
    archiver.ReportLine("the update was not written; the archive was left as it was");
    return 2;
  }
  const bool written = archiver.CommitBegun() && !archiver.Cancelled();
  bool testFailed = false;
  bool testStopped = false;
  if (command.test && !StopRequested()) {
    try {
      archiver.TestFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u"");
    } catch (const std::exception& e) {
      archiver.ReportLine(std::string("test: ") + archiver.Shown(e.what()));
      testFailed = true;
    }
    testStopped = archiver.Stopped();
  }
  archiver.CloseArchive();
  archiver.ClearProgress();
  const bool stopped = StopRequested();
  if (!stopped || written) {
    std::printf(
        "%s\n",
        WideToUtf8(pelko::StatusText(archiver.AddedCount(), archiver.DeletedCount())).c_str());
    std::fflush(stdout);
  }
  if (stopped) {
    archiver.ReportLine(
        std::string(written ? "interrupted; the update had already been written" : kLeftAsItWas) +
        (testStopped ? ", the test was stopped" : ""));
    return 2;
  }
  return archiver.Failures() > 0 || testFailed ? 1 : 0;
}

}  // namespace km::cli
