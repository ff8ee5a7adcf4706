// Testing ahead of the archiver. While the archiver reports one entry,
// worker threads, each with a handle of its own on the archive, read and
// check the entries after it. They touch nothing of the archiver: no event,
// no directory, no archive stream. The archiver takes what they found in
// its own order and raises every event itself, at the progress points they
// noted, so a test with them raises the same events as a test without.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/Stream.h"
#include "zipformat/DirItem.h"

namespace km {

struct TInflateState;

// Reads and checks one entry at a time the way testing does (the local
// header against the directory record, the data inflated or copied, its
// size and CRC-32), with no event and no output. Stored and deflated
// entries that are not encrypted, in a single file.
class TEntryChecker {
 public:
  TEntryChecker();
  ~TEntryChecker();
  TEntryChecker(const TEntryChecker&) = delete;
  TEntryChecker& operator=(const TEntryChecker&) = delete;

  // source is at the entry's local header; the central directory starts at
  // centralDirOffset (negative: not known). progress(bytesIn) comes before
  // each block of data as the archiver would report it, and false from it
  // stops the reading. total becomes the length of the data once the
  // header checked out (else -1). True when the data came out whole.
  bool Check(TStream& source, const TDirItem& item, int64_t centralDirOffset,
             const std::function<bool(int64_t)>& progress, int64_t& total);

 private:
  std::unique_ptr<TInflateState> state_;
};

class TVerifyAhead {
 public:
  // What the workers found of one entry.
  struct TEntry {
   private:
    friend class TVerifyAhead;
    int32_t index = 0;
    TDirItem item;
    bool done = false;
    bool taken = false;  // out of the queue, taken or dropped
    bool dropped = false;
    bool unavailable = false;  // the worker could not open the archive
    bool whole = false;
    int64_t total = -1;
    std::vector<int64_t> points;
    std::exception_ptr error;
  };

  // What has come of an entry since the last look.
  struct TNews {
    int64_t total = -1;  // the data's length once its header checked out
    std::vector<int64_t> points;
    bool done = false;
    // No worker could read the archive: the archiver reads the entry itself.
    bool unavailable = false;
  };

  // The archive's file as the archiver has it open.
  struct TArchiveFile {
    std::u16string name;
    uint64_t device = 0;
    uint64_t file = 0;
  };

  // workers threads, each opening the archive for itself: a worker that
  // finds another file under its name (replaced since the archiver opened
  // it) reads nothing.
  TVerifyAhead(TArchiveFile archive, int64_t centralDirOffset, int workers);
  // Stops the threads and drops what they found.
  ~TVerifyAhead();
  TVerifyAhead(const TVerifyAhead&) = delete;
  TVerifyAhead& operator=(const TVerifyAhead&) = delete;

  // Entries at most in the queue, added and not yet taken.
  static constexpr size_t kCapacity = 2048;
  // Entries are added in the archiver's order, directory index and record,
  // at most the room that Take last told.
  void Add(const std::vector<std::pair<int32_t, const TDirItem*>>& items);
  // The entry at index when it was added with these same fields; the
  // entries added before it are dropped. Null when none was, or no worker
  // has started it yet: the archiver checks it itself. room: how many
  // entries may be added now.
  std::shared_ptr<TEntry> Take(int32_t index, const TDirItem& item, size_t& room);
  // Waits for the points after the first from, or the end of the entry.
  TNews Wait(TEntry& entry, size_t from);
  // After the end: whole, or what the reading raised.
  static bool Outcome(const TEntry& entry);

 private:
  void Work();

  TArchiveFile archive_;
  int64_t centralDirOffset_;
  mutable std::mutex mutex_;
  std::condition_variable workerWakes_;  // an entry added, stop
  std::condition_variable takerWakes_;   // a point noted, an entry done
  bool stop_ = false;
  std::deque<std::shared_ptr<TEntry>> entries_;  // added, not taken
  size_t started_ = 0;                           // of entries_, taken by workers
  size_t doneQueued_ = 0;                        // of entries_, done
  const TEntry* takerWaits_ = nullptr;           // what the archiver waits for
  std::vector<std::thread> threads_;
};

}  // namespace km
