#include "archiver/CompressAhead.h"

#include <algorithm>
#include <utility>

#include "archiver/Compress.h"
#include "support/Crc32.h"
#include "support/Stream.h"

namespace km {

namespace {

// Sources opened ahead of the commit at most: each is held open until the
// commit is done with it.
constexpr size_t kMaxEntriesAhead = 256;
// Buffers at least this large are kept for the next block: a fresh one
// costs the system a page fault per page, and giving it back a mapping
// change that every thread pays for.
constexpr size_t kReusedBufferSize = 64 * 1024;
// What each thread takes besides the blocks (its deflate state, a block's
// dictionary, its stack and heap), kept out of the budget for blocks so that
// the budget holds for everything the threads add.
constexpr int64_t kThreadAllowance = 2 * 1024 * 1024;

// Large buffers come in a few sizes, so that one freed fits a later block:
// powers of two up to a whole block, steps of 64 KiB beyond (a block's
// deflated bound is a little more than the block).
size_t BufferClass(size_t n) {
  if (n < kReusedBufferSize) return n;
  constexpr size_t kLargestPower = 1024 * 1024;
  size_t size = kReusedBufferSize;
  while (size < n && size < kLargestPower) size *= 2;
  if (size >= n) return size;
  return (n + kReusedBufferSize - 1) / kReusedBufferSize * kReusedBufferSize;
}

int64_t Footprint(size_t n) {
  return int64_t(BufferClass(n));
}

}  // namespace

TCompressAhead::TCompressAhead(std::vector<TJob> jobs, int workers, int64_t budget)
    : jobs_(std::move(jobs)), entries_(jobs_.size()), budget_(BlockBudget(budget, workers)) {
  missing_.shortRead = true;
  missing_.done = true;
  try {
    threads_.emplace_back([this] { ReadSources(); });
    for (int i = 0; i < std::max(workers, 1); ++i) threads_.emplace_back([this] { Deflate(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    readerWakes_.notify_all();
    workerWakes_.notify_all();
    for (std::thread& t : threads_) t.join();
    throw;
  }
}

int64_t TCompressAhead::BlockBudget(int64_t budget, int workers) {
  return std::max<int64_t>(budget - kThreadAllowance * (std::max(workers, 1) + 1), 0);
}

TCompressAhead::~TCompressAhead() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  readerWakes_.notify_all();
  workerWakes_.notify_all();
  for (std::thread& t : threads_) t.join();
}

TBlockBuffer TCompressAhead::TakeBuffer(size_t n, int64_t& charge) {
  const size_t size = BufferClass(n);
  TBlockBuffer buffer;
  if (size >= kReusedBufferSize) {
    // The smallest kept buffer that holds n. What it holds beyond n is
    // charged to the block, as long as the blocks in flight stay within the
    // budget: otherwise a new buffer of the right size takes less.
    auto best = spare_.end();
    for (auto it = spare_.begin(); it != spare_.end(); ++it)
      if (it->capacity() >= n && (best == spare_.end() || it->capacity() < best->capacity()))
        best = it;
    const int64_t extra = best == spare_.end() ? 0 : int64_t(best->capacity()) - int64_t(size);
    if (best != spare_.end() && (extra <= 0 || inFlight_ + extra <= budget_)) {
      buffer = std::move(*best);
      *best = std::move(spare_.back());
      spare_.pop_back();
      spareBytes_ -= int64_t(buffer.capacity());
      charge += extra;
      inFlight_ += extra;
      buffer.resize(n);
      return buffer;
    }
  }
  // None fits: kept ones make room for a new one.
  while (!spare_.empty() && Held() > budget_) {
    spareBytes_ -= int64_t(spare_.back().capacity());
    spare_.pop_back();
  }
  buffer.reserve(size);
  buffer.resize(n);
  peakHeld_ = std::max(peakHeld_, Held());
  return buffer;
}

int64_t TCompressAhead::PeakHeld() {
  std::lock_guard lock(mutex_);
  return peakHeld_;
}

void TCompressAhead::GiveBack(TBlockBuffer& buffer) {
  // Kept buffers and blocks in flight stay within the budget together.
  const int64_t size = int64_t(buffer.capacity());
  if (size >= int64_t(kReusedBufferSize) && Held() + size <= budget_) {
    spareBytes_ += size;
    spare_.push_back(std::move(buffer));
    peakHeld_ = std::max(peakHeld_, Held());
  }
  buffer = {};
}

void TCompressAhead::FreeBlock(std::unique_ptr<TBlock>& block) {
  if (!block) return;
  inFlight_ -= block->charge;
  reserved_ -= block->reserved;
  GiveBack(block->input);
  GiveBack(block->output);
  block.reset();
  readerWakes_.notify_all();
}

void TCompressAhead::DropLocked(TEntry& entry) {
  entry.dropped = true;
  // While the reader is still at it, it closes the file itself.
  if (entry.readDone) entry.file.reset();
  // Blocks still queued or being deflated are freed by their worker.
  for (auto& block : entry.blocks)
    if (block && block->done) FreeBlock(block);
  readerWakes_.notify_all();
}

TCompressAhead::TEntry* TCompressAhead::Take(const std::u16string& fileName) {
  std::lock_guard lock(mutex_);
  for (size_t k = taken_; k < jobs_.size(); ++k) {
    if (jobs_[k].fileName != fileName) continue;
    // The commit went past these without reading them (it failed them
    // before their source was needed).
    for (size_t j = taken_; j < k; ++j) DropLocked(entries_[j]);
    taken_ = k + 1;
    readerWakes_.notify_all();
    return &entries_[k];
  }
  return nullptr;
}

int64_t TCompressAhead::Open(TEntry* entry, bool& sizeFailed) {
  std::unique_lock lock(mutex_);
  commitWakes_.wait(lock, [&] { return entry->opened || failure_; });
  if (!entry->opened) std::rethrow_exception(failure_);
  sizeFailed = entry->sizeFailed;
  if (entry->openError) std::rethrow_exception(entry->openError);
  return entry->size;
}

bool TCompressAhead::StillThere(TEntry* entry, const std::u16string& fileName) {
  bool identified = false;
  platform::FileIdentity then;
  {
    std::unique_lock lock(mutex_);
    commitWakes_.wait(lock, [&] { return entry->opened || failure_; });
    identified = entry->identified;
    then = entry->identity;
  }
  platform::FileIdentity now;
  return identified && platform::IdentityOf(fileName, now) && now == then;
}

int64_t TCompressAhead::SizeNow(TEntry* entry) {
  TFileStream* file = nullptr;
  {
    std::lock_guard lock(mutex_);
    file = entry->file.get();
  }
  return file ? file->Handle().Size() : -1;
}

const TCompressAhead::TBlock& TCompressAhead::Block(TEntry* entry, size_t b) {
  std::unique_lock lock(mutex_);
  auto ready = [&] {
    return b < entry->blocks.size() && entry->blocks[b] && entry->blocks[b]->done;
  };
  commitWakes_.wait(
      lock, [&] { return ready() || failure_ || (entry->readDone && b >= entry->blocks.size()); });
  if (ready()) return *entry->blocks[b];
  if (failure_) std::rethrow_exception(failure_);
  // The reader stopped before this block: the source ended early.
  return missing_;
}

void TCompressAhead::Release(TEntry* entry, size_t b) {
  std::lock_guard lock(mutex_);
  if (b < entry->blocks.size() && entry->blocks[b] && entry->blocks[b]->done)
    FreeBlock(entry->blocks[b]);
}

void TCompressAhead::Drop(TEntry* entry) {
  std::lock_guard lock(mutex_);
  DropLocked(*entry);
}

void TCompressAhead::ReadSources() {
  try {
    // The last bytes of the block before, which the next one is primed with.
    std::vector<uint8_t> tail;
    for (size_t k = 0; k < jobs_.size(); ++k) {
      const TJob& job = jobs_[k];
      TEntry& entry = entries_[k];
      {
        std::unique_lock lock(mutex_);
        readerWakes_.wait(lock, [&] { return stop_ || k < taken_ + kMaxEntriesAhead; });
        if (stop_) return;
        if (entry.dropped) continue;
      }
      std::unique_ptr<TFileStream> file;
      std::exception_ptr error;
      bool sizeFailed = false;
      int64_t size = 0;
      try {
        file = std::make_unique<TFileStream>(job.fileName, job.openMode);
      } catch (...) {
        error = std::current_exception();
      }
      platform::FileIdentity identity;
      const bool identified = file && platform::IdentityOf(job.fileName, identity);
      if (file) {
        try {
          size = file->Size();
        } catch (...) {
          error = std::current_exception();
          sizeFailed = true;
        }
      }
      TFileStream* source = file.get();
      {
        std::lock_guard lock(mutex_);
        entry.opened = true;
        entry.openError = error;
        entry.sizeFailed = sizeFailed;
        entry.size = size;
        entry.identity = identity;
        entry.identified = identified;
        entry.readDone = bool(error);
        if (!error) entry.file = std::move(file);
        commitWakes_.notify_all();
      }
      if (error) continue;

      tail.clear();
      int64_t done = 0;
      while (done < size) {
        const size_t n = size_t(std::min<int64_t>(job.blockSize, size - done));
        const int64_t outputShare = job.deflate ? Footprint(DeflateBufferSize(n)) : 0;
        const int64_t charge = Footprint(n) + outputShare;
        std::unique_ptr<TBlock> block;
        {
          std::unique_lock lock(mutex_);
          readerWakes_.wait(lock, [&] {
            return stop_ || entry.dropped || inFlight_ == 0 || inFlight_ + charge <= budget_;
          });
          if (stop_) return;
          if (entry.dropped) break;
          block = std::make_unique<TBlock>();
          block->charge = charge;
          block->reserved = outputShare;
          inFlight_ += charge;
          reserved_ += outputShare;
          block->input = TakeBuffer(n, block->charge);
        }
        block->n = n;
        block->last = done + int64_t(n) == size;
        block->deflated = job.deflate;
        block->level = job.level;
        int64_t got = 0;
        try {
          got = source->Read(block->input.data(), int64_t(n));
        } catch (const EStreamError& e) {
          block->readError = e.SystemError();
        }
        if (got != int64_t(n)) {
          block->shortRead = true;
          if (block->readError == 0) block->readError = source->LastError();
          block->done = true;
        } else if (job.deflate) {
          block->dictionary.assign(tail.begin(), tail.end());
          const size_t keep = std::min(n, kDictionarySize);
          tail.assign(block->input.begin() + std::ptrdiff_t(n - keep),
                      block->input.begin() + std::ptrdiff_t(n));
        }
        std::lock_guard lock(mutex_);
        if (entry.dropped) {
          FreeBlock(block);
          break;
        }
        block->index = entry.blocks.size();
        TBlock* queued = block.get();
        entry.blocks.push_back(std::move(block));
        if (queued->shortRead) {
          commitWakes_.notify_all();
          break;
        }
        queue_.push_back({&entry, queued});
        workerWakes_.notify_one();
        done += int64_t(n);
      }
      std::lock_guard lock(mutex_);
      entry.readDone = true;
      if (entry.dropped) entry.file.reset();
      commitWakes_.notify_all();
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    failure_ = std::current_exception();
    commitWakes_.notify_all();
  }
}

void TCompressAhead::Deflate() {
  TBlockDeflater deflater;
  std::unique_lock lock(mutex_);
  for (;;) {
    workerWakes_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    const TQueued next = queue_.front();
    queue_.pop_front();
    TBlock& block = *next.block;
    if (!next.entry->dropped) {
      std::exception_ptr error;
      try {
        if (block.deflated) {
          reserved_ -= block.reserved;
          block.reserved = 0;
          block.output = TakeBuffer(DeflateBufferSize(block.n), block.charge);
        }
      } catch (...) {
        error = std::current_exception();
      }
      lock.unlock();
      uint32_t crc = 0;
      size_t length = block.n;
      if (!error) {
        try {
          crc = ~Crc32Update(0xFFFFFFFF, block.input.data(), int64_t(block.n));
          if (block.deflated) {
            deflater.SwapOutput(block.output);
            length =
                DeflateEntryBlock(deflater, block.level, block.dictionary.data(),
                                  block.dictionary.size(), block.input.data(), block.n, block.last);
            deflater.SwapOutput(block.output);
          }
        } catch (...) {
          error = std::current_exception();
          deflater.End();
        }
      }
      lock.lock();
      block.crc = crc;
      block.length = length;
      block.error = error;
      if (block.deflated) {
        // The source bytes are done with: their share of the budget is free.
        const int64_t share = int64_t(block.input.capacity());
        block.charge -= share;
        inFlight_ -= share;
        GiveBack(block.input);
        readerWakes_.notify_all();
      }
      block.dictionary = {};
    }
    block.done = true;
    if (next.entry->dropped) FreeBlock(next.entry->blocks[block.index]);
    commitWakes_.notify_all();
  }
}

}  // namespace km
