// Compressing ahead of the commit. While the commit writes one entry, a
// reader thread opens and reads the sources of the entries after it, in the
// commit's order, and worker threads deflate their blocks into memory,
// within a byte budget. The threads touch nothing of the archiver: no event,
// no directory, no archive. The commit takes what they made in the same
// order and raises every event itself, so a run with them writes the same
// bytes and raises the same events as a run without.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archiver/BlockBuffer.h"
#include "platform/FileSystem.h"
#include "support/Stream.h"

namespace km {

class TCompressAhead {
 public:
  // One source to read ahead, as the commit would read it.
  struct TJob {
    std::u16string fileName;
    uint16_t openMode = 0;
    bool deflate = false;
    int level = 0;
    uint32_t blockSize = 0;
  };

  // One block of a source: its bytes as read and, for a deflated entry, as
  // deflated.
  struct TBlock {
    size_t n = 0;  // source bytes
    bool last = false;
    // The read came up short; readError is the host's error (0: the file
    // ended early).
    bool shortRead = false;
    int readError = 0;
    uint32_t crc = 0;          // CRC-32 of the n bytes
    size_t length = 0;         // output bytes at Data()
    std::exception_ptr error;  // deflating failed
    const uint8_t* Data() const { return deflated ? output.data() : input.data(); }

   private:
    friend class TCompressAhead;
    bool deflated = false;
    int level = 0;
    size_t index = 0;  // in its entry's blocks
    bool done = false;
    int64_t charge = 0;    // bytes of the budget it holds
    int64_t reserved = 0;  // of which for output not yet taken
    TBlockBuffer input;
    TBlockBuffer dictionary;
    TBlockBuffer output;
  };

  // What was read ahead of one job.
  struct TEntry {
   private:
    friend class TCompressAhead;
    bool opened = false;  // opening finished, well or not
    bool sizeFailed = false;
    std::exception_ptr openError;
    int64_t size = 0;
    bool dropped = false;
    bool readDone = false;  // no more blocks come
    // Open until the commit is done with the entry, so that it can tell a
    // file cut short since it was read ahead, as it would while reading it.
    std::unique_ptr<TFileStream> file;
    platform::FileIdentity identity;
    bool identified = false;
    std::vector<std::unique_ptr<TBlock>> blocks;
  };

  // workers deflating threads (at least 1) besides the reader; at most
  // budget bytes of blocks are held at a time (one block always may be).
  TCompressAhead(std::vector<TJob> jobs, int workers, int64_t budget);
  // Stops the threads and drops whatever they made.
  ~TCompressAhead();
  TCompressAhead(const TCompressAhead&) = delete;
  TCompressAhead& operator=(const TCompressAhead&) = delete;

  // The next job that reads fileName; the jobs passed over are dropped.
  // Null when no job ahead reads it: the commit reads the source itself.
  TEntry* Take(const std::u16string& fileName);
  // Waits until the source is open and its size known. Rethrows what
  // opening it raised; sizeFailed then tells whether opening or sizing did.
  int64_t Open(TEntry* entry, bool& sizeFailed);
  // The name still leads to the file that was read ahead: no other program
  // has removed, renamed or replaced it since.
  bool StillThere(TEntry* entry, const std::u16string& fileName);
  // The source's size now; -1 when it cannot be told.
  int64_t SizeNow(TEntry* entry);
  // Waits until block b of the entry is read and deflated.
  const TBlock& Block(TEntry* entry, size_t b);
  // The commit is done with block b: its bytes go back to the budget.
  void Release(TEntry* entry, size_t b);
  // The commit is done with the entry, written or not.
  void Drop(TEntry* entry);
  // What of budget is left for blocks once each thread's own memory is set
  // aside.
  static int64_t BlockBudget(int64_t budget, int workers);
  // The most bytes of block buffers held at once, in flight or kept for
  // reuse.
  int64_t PeakHeld();

 private:
  void ReadSources();
  void Deflate();
  // Under the lock.
  void FreeBlock(std::unique_ptr<TBlock>& block);
  void DropLocked(TEntry& entry);
  // A buffer of n bytes; what it holds beyond its share of the budget is
  // added to charge and to the bytes in flight.
  TBlockBuffer TakeBuffer(size_t n, int64_t& charge);
  void GiveBack(TBlockBuffer& buffer);

  std::vector<TJob> jobs_;
  std::vector<TEntry> entries_;
  int64_t budget_;

  std::mutex mutex_;
  std::condition_variable readerWakes_;  // room in the budget, a job taken, stop
  std::condition_variable workerWakes_;  // a block to deflate, stop
  std::condition_variable commitWakes_;  // a source opened, a block done
  bool stop_ = false;
  size_t taken_ = 0;      // jobs before this one are the commit's or dropped
  int64_t inFlight_ = 0;  // budget held by blocks
  int64_t reserved_ = 0;  // of which for output not yet taken
  struct TQueued {
    TEntry* entry;
    TBlock* block;
  };
  std::deque<TQueued> queue_;  // blocks to deflate, oldest first
  // What stopped a thread (out of memory): every wait of the commit
  // rethrows it.
  std::exception_ptr failure_;
  std::vector<TBlockBuffer> spare_;  // large buffers for reuse
  int64_t spareBytes_ = 0;
  // Bytes of buffers there are, in flight or kept.
  int64_t Held() const { return inFlight_ - reserved_ + spareBytes_; }
  int64_t peakHeld_ = 0;
  TBlock missing_;
  std::vector<std::thread> threads_;
};

}  // namespace km
