// One commit of an update transaction, as one object: where the archive is
// rewritten from, the saved old bytes from there on, the old entries still
// to be copied back, and the stream every rewrite byte goes through. Its
// rollback is the only way back, and it is taken unless the commit completed.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/Stream.h"
#include "zipformat/DirItem.h"

namespace km {

class TKMBaseArchiver;

class TKMCommit {
 public:
  explicit TKMCommit(TKMBaseArchiver& archiver);
  // Rolls back what is not complete; never throws.
  ~TKMCommit();
  TKMCommit(const TKMCommit&) = delete;
  TKMCommit& operator=(const TKMCommit&) = delete;

  // Works out where the rewrite starts. firstChanged (an index of the
  // rollback directory) moves down to the first entry whose bytes lie at or
  // beyond that point: such an entry is rewritten rather than cut away.
  void Plan(int32_t& firstChanged);
  // Saves the old bytes from the tail start on; the rewrite starts there.
  // When saving fails the archive has not been touched.
  void Begin();
  // The archive as the rewrite writes it, positioned at its end. A new
  // multi-volume archive has none: its entries go into the volume chain.
  TStream& Out() { return *out_; }
  bool MultiVolume() const { return multiVolume_; }
  // A multi-volume archive's new entries are written whole into this
  // temporary file first, then copied into the volumes: emptied for each.
  TFileStream& EntryFile();
  // Where a spanned archive on a floppy collects each volume's bytes before
  // they go to the disk; null otherwise.
  TStream* Staging() { return staging_.get(); }
  // The user cancelled the copy of an entry into its volumes, or the copy
  // failed: the commit cannot go on.
  bool VolumeCopyAborted() const { return volumeCopyAborted_; }
  void AbortVolumeCopy() { volumeCopyAborted_ = true; }
  int64_t TailStart() const { return tailStart_; }

  // The next old entry of that name still to be copied (a rollback
  // directory index), or -1.
  int32_t NextOldEntry(const std::u16string& name) const;
  // Takes that entry: its bytes are copied, or were replaced.
  void TakeOldEntry(const std::u16string& name);
  // Copies the local record of old entry j from the saved bytes to the end
  // of Out(), and points item at it. Records that follow one another are
  // copied together, by FlushCopies: before anything else is written.
  void CopyOldRecord(int32_t j, TDirItem& item);
  void FlushCopies();

  // The new central directory and end records after the last entry.
  void WriteDirectory();
  // The new archive stands: the saved bytes are no longer needed.
  void Complete();
  // The archive file gets its former bytes back and the current directory
  // its rollback copy. Runs once; nothing after Complete.
  void Rollback();

 private:
  void SaveTail();
  // A new multi-volume archive goes back to its first volume holding no
  // more than its stub; a spanned one, whose other volumes are on disks
  // taken out, is closed.
  void RollbackVolumes();
  void DeleteEntryFile();
  // Into the journal beside the archive file.
  void SaveToJournal(TFileStream& archive, int64_t count);
  void RestoreTail();
  void DiscardTail();
  // Copies count bytes between the positions of two streams (the archive
  // and the saved bytes, never a wrapper); EWriteError when they do not all
  // arrive.
  void CopyRange(TStream& from, TStream& to, int64_t count);
  bool Flushing() const;

  TKMBaseArchiver& a_;
  bool hasEntries_ = false;  // the saved bytes hold old entries
  int64_t tailStart_ = 0;
  int64_t oldSize_ = 0;
  // The old bytes from the tail start on: in the journal beside an archive
  // file (from savedStart_ on), otherwise in memory or a temporary file.
  std::unique_ptr<TStream> saved_;
  std::u16string savedFileName_;  // empty while they are in memory
  bool journal_ = false;          // savedFileName_ is the journal
  int64_t savedStart_ = 0;
  std::unique_ptr<TStream> out_;
  bool cut_ = false;               // the archive may differ from its old bytes
  bool directoryStarted_ = false;  // the manager's end records may have changed
  bool done_ = false;              // completed or rolled back
  // Old entries still to be copied, by name, as rollback directory indices
  // in directory order, and where each one's bytes end in the old archive.
  std::vector<int64_t> oldEnds_;
  // Old records still to be copied: from the saved bytes at pendingSource_
  // to the archive at pendingTarget_.
  int64_t pendingSource_ = 0;
  int64_t pendingTarget_ = 0;
  int64_t pendingLength_ = 0;
  std::unordered_map<std::u16string, std::deque<int32_t>> oldEntries_;
  bool multiVolume_ = false;
  bool volumeCopyAborted_ = false;
  std::u16string entryFileName_;
  std::unique_ptr<TFileStream> entryFile_;
  std::unique_ptr<TStream> staging_;
};

}  // namespace km
