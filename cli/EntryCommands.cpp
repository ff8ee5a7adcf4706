#include "cli/EntryCommands.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>

#include "archiver/Archiver.h"
#include "cli/ConsoleDialogs.h"
#include "cli/Messages.h"
#include "cli/ProgressLine.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/HostPath.h"
#include "support/Exceptions.h"
#include "support/Paths.h"

namespace km::cli {
namespace {

using platform::WideToUtf8;

std::u16string Slashed(std::u16string name) {
  for (char16_t& c : name)
    if (c == u'\\') c = u'/';
  return name;
}

// The archiver of one command: reports every entry that fails, on stderr,
// one line each, and lets the run go on.
class CliArchiver : public TKavoMill {
 public:
  explicit CliArchiver(const EntryCommand& command)
      : command_(command), line_(!command.quiet && platform::StderrIsTerminal()) {
    if (command.passwordGiven) SetPassword(command.password);
    SetThreads(command.threads);
    // Somebody can be asked only at a terminal, and only when the command
    // line left the password open.
    mayAsk_ = !command.passwordGiven && platform::StdinIsTerminal();
    // A file that could not be written (a full disk above all) is one
    // entry's failure too; the next entries are still tried, as smaller ones
    // may fit once the failed one's data is gone.
    OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& fileName,
                                  TKMProcessOperation, int32_t native, int32_t,
                                  const std::u16string& message, TKMAction& action) {
      // A disk the user would not (or, with no terminal, could not) insert:
      // the next entry would only ask for it again. A split set's missing
      // volume is no one's answer, and the entries on other volumes are
      // still read.
      if (native == kmeVolumeRequestCancelled && SpanningMode() == smSpanning) {
        // Cancelled by a stop signal at the prompt: said as such.
        requestCancelled_ = !Stop();
        action = fxaAbort;
        return;
      }
      std::string text =
          OutputError() != 0 && !OutputFileName().empty() ? OutputFailure() : WideToUtf8(message);
      // The message alone does not say which volume of a set is missing.
      if (native == kmeVolumeRequestCancelled && !missingVolume_.empty())
        text += " (volume " + TypedVolume(missingVolume_) + " not found)";
      Report(fileName, text);
      action = fxaIgnore;
    };
    // A stop request (Ctrl+C, a termination signal) ends the run at the next
    // entry or block; the entry under way is not written. An entry counts as
    // done when its step got through without a word against it.
    OnFileProgress = [this](TKMBaseArchiver& sender, const std::u16string& name, double progress,
                            TKMProcessOperation, TKMProgressPhase phase, bool& cancel) {
      cancel = Stop();
      if (phase == ppStart) {
        ++started_;
        entryReported_ = false;
        bytes_.EntryStarted(sender, name);
        progressName_ = PrintableName(Slashed(name));
      }
      if (phase == ppProcess) bytes_.EntryProgress(progress);
      if (phase == ppEnd) bytes_.EntryEnded();
      if (phase == ppEnd && !cancel && !entryReported_) ++done_;
    };
    OnOverallProgress = [this](TKMBaseArchiver& sender, double progress, TKMProcessOperation,
                               TKMProgressPhase phase, bool& cancel) {
      // A run that an entry broke off goes on with a start of its own: the
      // count, the bytes and the rate are those of the whole.
      if (phase == ppStart && total_ < 0) {
        total_ = sender.MarkedCount();
        bytes_.Begin(sender);
        line_.Begin(bytes_.Total());
      }
      if (phase == ppProcess) line_.Update(bytes_.Percent(progress), bytes_.Done(), progressName_);
      if (phase != ppEnd) cancel = Stop();
    };
  }

  bool Open() {
    SetFileName(WindowsViewOf(command_.archive));
    typed_.push_back({WideToUtf8(FileName()), command_.archive, false});
    try {
      // Testing and extracting never write the archive; while they read, no
      // commit can start.
      OpenArchive(kOpenModeReadShared);
      if (!RecoveryNote().empty())
        std::fprintf(stderr, "pelko-cli: %s\n", Shown(WideToUtf8(RecoveryNote())).c_str());
      return true;
    } catch (const std::exception& e) {
      ClearProgressLine();
      std::fflush(stdout);
      std::fprintf(stderr, "pelko-cli: %s\n", Shown(e.what()).c_str());
      return false;
    }
  }

  // Names below dir in messages are shown under typed.
  void ShowDirAs(const std::u16string& dir, std::string typed) {
    typed_.push_back({WideToUtf8(dir), std::move(typed), true});
  }

  void Report(const std::u16string& entryName, const std::string& message) {
    ClearProgressLine();
    std::fflush(stdout);
    std::fprintf(stderr, "pelko-cli: %s: %s\n", PrintableName(Slashed(entryName)).c_str(),
                 Shown(message).c_str());
    ++failed_;
    entryReported_ = true;
  }

  // A failure that is not one entry's.
  void ReportRun(const std::string& message) {
    ClearProgressLine();
    std::fflush(stdout);
    std::fprintf(stderr, "pelko-cli: %s\n", Shown(message).c_str());
    ++otherFailures_;
  }

  // Runs first, then ProcessFiles(operation) over what is still marked.
  // An error that is not about one entry's data (a read past the end of a
  // damaged archive) leaves ProcessFiles at once; it is reported against the
  // entry under way and the entries after it are still tried.
  void RunMarked(TKMProcessOperation operation, const std::function<void()>& first) {
    std::function<void()> step = first;
    for (;;) {
      started_ = 0;
      try {
        step();
        return;
      } catch (const std::exception& e) {
        if (!DirManager()) {
          ReportRun(e.what());
          return;
        }
        TKMDirArray& dir = DirManager()->CurrentDir();
        std::vector<int32_t> marked;
        for (int32_t i = 0; i < dir.Count(); ++i)
          if (dir.GetItem(i).Marked) marked.push_back(i);
        if (started_ == 0 || started_ > marked.size()) {
          ReportRun(e.what());
          return;
        }
        Report(dir.GetItem(marked[started_ - 1]).FileName, e.what());
        for (size_t j = 0; j < started_; ++j) dir.ItemPtr(marked[j])->Marked = false;
        step = [this, operation] { ProcessFiles(operation); };
      }
    }
  }

  // Entries without a name are not in the directory: said once each, and a
  // failure when every entry was asked for.
  void ReportNameless(bool failure) {
    for (const int64_t offset : DirManager()->NamelessEntries()) {
      const std::string note = NamelessEntryNote(command_.archive, offset);
      if (failure) {
        ReportRun(note);
      } else {
        ClearProgressLine();
        std::fflush(stdout);
        std::fprintf(stderr, "pelko-cli: %s\n", note.c_str());
      }
    }
  }

  // Whether a stop request ended the run before its end.
  bool Stopped() const { return stopped_; }
  // Whether a disk request was cancelled, which ended the run.
  bool RequestCancelled() const { return requestCancelled_; }
  int FailedEntries() const { return failed_; }
  // Entries whose step got through unreported: for extract, those written.
  int DoneEntries() const { return done_; }
  bool AnyFailure() const { return failed_ > 0 || otherFailures_ > 0; }
  // The entries the run was asked to process.
  int32_t Selected() const { return total_ < 0 ? 0 : total_; }

  // Each request notes the volume that was not there. A disk of a spanned
  // set may carry the name of one that is (the last disk's); the request
  // itself said which disk it wanted.
  void DoRequestFirstVolume(std::u16string& volumeFileName, bool& cancel) override {
    TKavoMill::DoRequestFirstVolume(volumeFileName, cancel);
    NoteMissing(volumeFileName, cancel);
  }
  void DoRequestLastVolume(std::u16string& volumeFileName, bool& cancel) override {
    TKavoMill::DoRequestLastVolume(volumeFileName, cancel);
    NoteMissing(volumeFileName, cancel);
  }
  void DoRequestMiddleVolume(int32_t volumeNumber, std::u16string& volumeFileName,
                             bool& cancel) override {
    TKavoMill::DoRequestMiddleVolume(volumeNumber, volumeFileName, cancel);
    NoteMissing(volumeFileName, cancel);
  }

  void DoPassword(const std::u16string& fileName, std::string& newPassword,
                  bool& skipFile) override {
    // Asked to stop, perhaps at the prompt: the entry is not tried, nor is
    // it a failure.
    if (Stop()) {
      skipFile = true;
      return;
    }
    // Asked again for the same entry: the last answer was wrong.
    const bool again = fileName == lastAsked_;
    lastAsked_ = fileName;
    if (mayAsk_) {
      if (again) {
        ClearProgressLine();
        std::fputs("pelko-cli: wrong password\n", stderr);
      }
      platform::InputBoxRequest request;
      request.caption = u"Password for \"" + Slashed(fileName) + u"\"";
      request.prompt = u"Enter password (empty skips the entry): ";
      std::u16string value;
      if (platform::ShowInputBox(request, value)) {
        newPassword = WideToUtf8(value);
        return;
      }
      skipFile = true;
      if (Stop()) return;
      Report(fileName, again ? "wrong password" : "encrypted, skipped without a password");
      return;
    }
    skipFile = true;
    Report(fileName, command_.passwordGiven ? "wrong password"
                                            : "encrypted; give the password with --password");
  }

 private:
  bool Stop() {
    if (!platform::StopRequested()) return false;
    stopped_ = true;
    return true;
  }

  std::string Shown(const std::string& message) const {
    return PrintableText(ShownAsTyped(message, typed_));
  }

  void NoteMissing(const std::u16string& volume, bool cancelled) {
    missingVolume_ = cancelled && !FileExists(volume) ? volume : std::u16string();
  }

  // A volume beside the archive, in the folder the user named the archive in.
  std::string TypedVolume(const std::u16string& volume) const {
    const size_t slash = command_.archive.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : command_.archive.substr(0, slash + 1);
    return PrintableText(dir + FromWindowsView(ExtractFileName(volume)).string());
  }

  // Why the entry's file was not written: the file as the user named it
  // and the system's reason.
  std::string OutputFailure() const {
    std::string reason;
    if (OutputError() == platform::kErrorDiskFull) {
      std::string dir = Shown(WideToUtf8(ExtractFilePath(OutputFileName())));
      reason = NoSpaceText(dir.empty() ? "./" : dir);
    } else {
      reason = WideToUtf8(SysErrorMessage(OutputError()));
    }
    return "cannot write " + Shown(WideToUtf8(OutputFileName())) + ": " + reason;
  }

  const EntryCommand& command_;
  ProgressLine line_;
  EntryBytes bytes_;
  std::string progressName_;  // of the entry under way
  bool mayAsk_ = false;
  std::u16string missingVolume_;  // asked for last and not found
  std::vector<TypedPath> typed_;
  std::u16string lastAsked_;
  size_t started_ = 0;          // entries begun in the current round
  bool entryReported_ = false;  // the entry under way failed
  int done_ = 0;
  int32_t total_ = -1;
  int failed_ = 0;
  int otherFailures_ = 0;
  bool stopped_ = false;
  bool requestCancelled_ = false;
};

int ExitCode(const CliArchiver& archiver) {
  return archiver.AnyFailure() ? 1 : 0;
}

// The end of a run that a signal or a cancelled disk request interrupted;
// false when none did. what:
// the run, as in "the test was stopped".
bool ReportInterrupted(const CliArchiver& archiver, const char* what) {
  ClearProgressLine();
  if (archiver.RequestCancelled() && !platform::StopRequested()) {
    std::fflush(stdout);
    std::fprintf(stderr, "pelko-cli: a disk request was cancelled; %s was stopped\n", what);
    return true;
  }
  if (!platform::StopRequested()) return false;
  std::fflush(stdout);
  if (archiver.Stopped())
    std::fprintf(stderr, "pelko-cli: interrupted; %s was stopped\n", what);
  else
    std::fprintf(stderr, "pelko-cli: interrupted; %s had already ended\n", what);
  return true;
}

}  // namespace

namespace {

// The host path of what was typed (UTF-8). A std::string given straight to
// std::filesystem::path is read in a code page of the C runtime's on
// Windows, not as UTF-8.
std::filesystem::path HostPathOf(const std::string& typed) {
  return FromWindowsView(HostTextToWindowsView(typed));
}

}  // namespace

std::u16string WindowsViewOf(const std::string& typed) {
  std::error_code ec;
  const std::filesystem::path host = HostPathOf(typed);
  const std::filesystem::path absolute = std::filesystem::absolute(host, ec);
  return ToWindowsView(ec ? host : absolute);
}

int TestArchive(const EntryCommand& command) {
  ConsoleDialogServices console;
  platform::ScopedDialogServices installed(&console);
  CliArchiver archiver(command);
  if (!archiver.Open()) return 2;
  // Entries found without a directory may all pass, and none may be found:
  // the archive is damaged all the same.
  if (archiver.DirectoryRebuilt())
    archiver.ReportRun(
        RebuiltDirectoryNote(command.archive, archiver.DirManager()->CurrentDir().Count() > 0));
  archiver.ReportNameless(true);
  archiver.RunMarked(poTest,
                     [&] { archiver.TestFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u""); });
  archiver.CloseArchive();
  ClearProgressLine();
  // Counts of a run cut short would read as a verdict on the whole archive.
  if (!archiver.Stopped() && !archiver.RequestCancelled())
    std::printf("%d entries tested, %d failed\n", archiver.Selected(), archiver.FailedEntries());
  if (ReportInterrupted(archiver, "the test")) return 2;
  return ExitCode(archiver);
}

int ExtractArchive(const EntryCommand& command) {
  ConsoleDialogServices console;
  platform::ScopedDialogServices installed(&console);
  CliArchiver archiver(command);

  archiver.Options().SetCreateDirs(true);
  archiver.Options().SetOverwriteMode(omAlways);
  if (!archiver.Open()) return 2;

  // The target is made only once the archive has opened.
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  if (command.dirGiven) {
    dir = HostPathOf(command.dir);
    std::filesystem::create_directories(dir, ec);
  }
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    std::fprintf(stderr, "pelko-cli: cannot make the directory \"%s\"%s%s\n", command.dir.c_str(),
                 ec ? ": " : "", ec ? ec.message().c_str() : "");
    return 2;
  }
  const std::u16string baseDir = IncludeTrailingSeparator(WindowsViewOf(dir.string()));
  archiver.SetBaseDir(baseDir);
  std::string typedDir = command.dirGiven ? command.dir : std::string();
  if (!typedDir.empty() && typedDir.back() != '/') typedDir += '/';
  archiver.ShowDirAs(baseDir, typedDir);

  archiver.ReportNameless(command.masks.empty());
  TKMDirArray& entries = archiver.DirManager()->CurrentDir();
  if (command.masks.empty()) {
    archiver.MarkByMask(u"*.*", TKMOptions::kDefaultSearchAttr, u"");
  } else {
    // MarkByMask starts from a clean slate each time; marks of several
    // masks are added up by hand.
    entries.ClearMarks();
    for (const std::string& mask : command.masks) {
      TKMArchiveItem record;
      bool found = archiver.FindFirst(platform::Utf8ToWide(mask), record,
                                      TKMOptions::kDefaultSearchAttr, u"");
      if (!found) archiver.ReportRun("no entry matches \"" + mask + "\"");
      for (; found; found = archiver.FindNext(record))
        entries.ItemPtr(record.InternalData.CurrentIndex)->Marked = true;
    }
  }
  archiver.RunMarked(poExtract, [&] { archiver.ProcessFiles(poExtract); });
  archiver.CloseArchive();
  ClearProgressLine();
  if (!archiver.Stopped() && !archiver.RequestCancelled())
    std::printf("extracted %d of %d entries\n", archiver.DoneEntries(), archiver.Selected());
  if (ReportInterrupted(archiver, "the extraction")) return 2;
  return ExitCode(archiver);
}

}  // namespace km::cli
