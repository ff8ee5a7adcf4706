// One run of adding files: the walk of the tree under the working directory
// with the file masks less the exclusions, what it tells the archiver about
// each file it lists, and what it leaves for the check for missing files
// that follows (the entries it listed, the paths whose failures it
// reported).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "archiver/Archiver.h"
#include "platform/FileSystem.h"
#include "support/FileSearch.h"

namespace km {

class TKMScan {
 public:
  // Becomes the archiver's running scan for as long as it lives.
  explicit TKMScan(TKMBaseArchiver& archiver);
  ~TKMScan();
  TKMScan(const TKMScan&) = delete;
  TKMScan& operator=(const TKMScan&) = delete;

  // The archive file as it stands, so that no link to it in the tree is
  // archived: every listed file of its size is compared by identity.
  void KnowArchive(const std::u16string& fileName, int64_t size);

  // Scans the archiver's working directory with each mask in turn.
  void Run(const std::vector<std::u16string>& masks, int32_t searchAttr, bool recurse,
           bool moveFiles, const std::vector<std::u16string>& exclusions);

  // From now until StopListing, the entries whose files the scan lists at
  // prefix joined to the entry name (the path the check for missing files
  // looks at) are noted, so that check need not ask again about them.
  void StartListing(const std::u16string& prefix);
  void StopListing() { recordListed_ = false; }
  void NoteListedEntry(int32_t index, const std::u16string& fileName);
  bool Listed(int32_t index) const {
    return size_t(index) < listedEntries_.size() && listedEntries_[size_t(index)];
  }

  // Reports a folder that cannot be listed, or a file whose details cannot
  // be read, through the failure event, once per path: true to try again,
  // false to go on without it; an abort stops the run with the error.
  bool Failed(const std::u16string& path, bool folder, int systemError,
              TKMProcessOperation operation);
  // Whether the failure of path, or of a folder above it, was reported.
  bool Reported(const std::u16string& path) const;

  // Whether the file (or folder, matched with its separator) matches mask
  // as file and exclusion masks match.
  bool MatchesPathMask(const std::u16string& path, const std::u16string& mask,
                       bool isDirectory) const;

 private:
  using TKMFoundFile = TKMBaseArchiver::TKMFoundFile;

  void ScanDirectory(const std::u16string& directory, const std::u16string& base,
                     const std::u16string& mask, bool recurse);
  // Lists what into take; a folder that cannot be listed is reported and
  // never taken for empty.
  void List(const std::u16string& what, uint32_t attributes,
            const std::function<void(SearchRecord&)>& take);
  // An entry listed without its details is reported; tried again, it is
  // looked up by its name alone. False: go on without it.
  bool Reread(const std::u16string& dir, SearchRecord& found);
  // The full pattern a mask stands for in directory; relative: the mask was
  // a plain name relative to it. An empty mask leaves both untouched.
  void ResolveMaskPath(const std::u16string& mask, const std::u16string& directory,
                       std::u16string& searchPath, bool& relative) const;
  // False when the record is excluded (or a device, never archived).
  bool AddFoundFile(const TKMFoundFile& record, const std::u16string& dirPath,
                    const std::u16string& base);
  // AddFoundFile with dirPath resolved already, with its trailing separator.
  bool AddListedEntry(const TKMFoundFile& record, const std::u16string& dir,
                      const std::u16string& base);
  // MatchesPathMask for any of the exclusion masks of the running pass.
  bool MatchesExclusion(const std::u16string& path, bool isDirectory) const;
  // Asks whether to take the file, adds or refreshes its entry, and applies
  // what the pass says of it (moved, stored without compression).
  void AddScannedFile(const std::u16string& fileName, const std::u16string& base,
                      const TKMFoundFile& record);

  TKMBaseArchiver& archiver_;
  const std::u16string& workDir_;
  const std::u16string& baseDir_;
  TKMScan* previous_;

  // The running pass (Run).
  int32_t attr_ = 0;
  bool moveFiles_ = false;
  std::vector<std::u16string> exclusions_;
  // The parts of one exclusion mask that depend on it alone, as matched
  // against a file or (with a separator appended) a folder.
  struct TKMMaskForm {
    std::u16string text;
    bool belowWorkDir = false;  // resolves to the working directory + text
    bool named = false;         // no separator: matches the name alone
    bool absolute = false;      // has a drive: compared as it is
    size_t nameStart = 0;       // where its name part begins
    // The first and last characters of the name part where they are
    // literal (0 where not): a name must start and end with them to match.
    char16_t first = 0, last = 0;
    // WildMaskNeeds of the name part and of the whole text.
    uint64_t nameNeeds = 0, textNeeds = 0;
  };
  struct TKMScanMask {
    bool all = false;  // "*.*"
    TKMMaskForm file, folder;
  };
  // exclusions_ worked out once per pass; kept in step with it.
  std::vector<TKMScanMask> exclusionForms_;
  // What the matching of every path asks of the working and base
  // directories, worked out again only when they change.
  struct TKMPassDirs {
    std::u16string workDir, baseDir;
    bool known = false;
    bool plainWorkDir = false;  // IsPlainDriveDir
    bool baseIsWorkDir = false;
  };
  mutable TKMPassDirs passDirs_;
  const TKMPassDirs& PassDirs() const;

  // The archive file: its size (-1: not known) and its identity.
  int64_t archiveSize_ = -1;
  platform::FileIdentity archiveIdentity_;

  bool recordListed_ = false;
  std::u16string listedPrefix_;
  std::vector<bool> listedEntries_;

  // The paths (folders with their trailing separator) whose failures were
  // reported, so that none is reported twice.
  std::unordered_set<std::u16string> failures_;
};

}  // namespace km
