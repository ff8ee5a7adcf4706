#include "archiver/VerifyAhead.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "archiver/Archiver.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

// Done entries in the queue that wake an archiver waiting for one before
// them: a wake, with the switches of threads it costs, reports them all.
constexpr size_t kWakeBatch = 16;
// The longest an archiver waits for an entry already done.
constexpr std::chrono::milliseconds kLongestWait{20};

bool SameEntry(const TDirItem& a, const TDirItem& b) {
  return LocalOffsetOf(a) == LocalOffsetOf(b) && CompressedSizeOf(a) == CompressedSizeOf(b) &&
         UncompressedSizeOf(a) == UncompressedSizeOf(b) && a.Crc32 == b.Crc32 &&
         a.Method == b.Method && a.Flags == b.Flags;
}

}  // namespace

TVerifyAhead::TVerifyAhead(TArchiveFile archive, int64_t centralDirOffset, int workers)
    : archive_(std::move(archive)), centralDirOffset_(centralDirOffset) {
  try {
    for (int i = 0; i < std::max(workers, 1); ++i) threads_.emplace_back([this] { Work(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    workerWakes_.notify_all();
    for (std::thread& t : threads_) t.join();
    throw;
  }
}

TVerifyAhead::~TVerifyAhead() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  workerWakes_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void TVerifyAhead::Add(const std::vector<std::pair<int32_t, const TDirItem*>>& items) {
  std::vector<std::shared_ptr<TEntry>> added;
  added.reserve(items.size());
  for (const auto& [index, item] : items) {
    auto entry = std::make_shared<TEntry>();
    entry->index = index;
    entry->item = *item;
    // The workers need none of these, and a name may be long.
    entry->item.FileName.clear();
    entry->item.Comment.clear();
    entry->item.SourceFileName.clear();
    entry->item.Password.clear();
    added.push_back(std::move(entry));
  }
  {
    std::lock_guard lock(mutex_);
    for (std::shared_ptr<TEntry>& entry : added) entries_.push_back(std::move(entry));
  }
  workerWakes_.notify_all();
}

std::shared_ptr<TVerifyAhead::TEntry> TVerifyAhead::Take(int32_t index, const TDirItem& item,
                                                         size_t& room) {
  std::lock_guard lock(mutex_);
  auto pop = [&] {
    std::shared_ptr<TEntry> entry = std::move(entries_.front());
    entries_.pop_front();
    entry->taken = true;
    if (entry->done) --doneQueued_;
    const bool started = started_ > 0;
    if (started) --started_;
    return std::pair{std::move(entry), started};
  };
  while (!entries_.empty() && entries_.front()->index < index) pop().first->dropped = true;
  std::shared_ptr<TEntry> entry;
  if (!entries_.empty() && entries_.front()->index == index) {
    auto [front, started] = pop();
    // Not started yet: the archiver reads it sooner itself.
    if (!started || !SameEntry(front->item, item))
      front->dropped = true;
    else
      entry = std::move(front);
  }
  room = kCapacity - std::min(entries_.size(), kCapacity);
  return entry;
}

TVerifyAhead::TNews TVerifyAhead::Wait(TEntry& entry, size_t from) {
  std::unique_lock lock(mutex_);
  auto ready = [&] { return entry.done || entry.points.size() > from; };
  if (!ready()) {
    // Woken at the entry's next progress, or once it is done and a few more
    // after it are (or the workers run out of work), so that one wake
    // reports several small entries; never later than kLongestWait.
    takerWaits_ = &entry;
    while (!ready()) takerWakes_.wait_for(lock, kLongestWait);
    takerWaits_ = nullptr;
  }
  TNews news;
  news.total = entry.total;
  news.points.assign(entry.points.begin() + std::ptrdiff_t(std::min(from, entry.points.size())),
                     entry.points.end());
  news.done = entry.done;
  news.unavailable = entry.unavailable;
  return news;
}

bool TVerifyAhead::Outcome(const TEntry& entry) {
  if (entry.error) std::rethrow_exception(entry.error);
  return entry.whole;
}

void TVerifyAhead::Work() {
  std::unique_ptr<TEntryChecker> checker;
  std::unique_ptr<TFileStream> archive;
  bool opened = false;
  std::vector<int64_t> pending;  // progress not told yet
  std::unique_lock lock(mutex_);
  for (;;) {
    workerWakes_.wait(lock, [&] { return stop_ || started_ < entries_.size(); });
    if (stop_) return;
    std::shared_ptr<TEntry> entry = entries_[started_++];
    lock.unlock();

    if (!opened) {
      opened = true;
      try {
        checker = std::make_unique<TEntryChecker>();
        archive = std::make_unique<TFileStream>(archive_.name, kOpenModeReadOnly);
        uint64_t device = 0, file = 0;
        if (!archive->Handle().Identity(device, file) || device != archive_.device ||
            file != archive_.file)
          archive.reset();
      } catch (...) {
        // Another program's sharing, a name gone, no memory: the archiver,
        // which has the archive open, reads the entries itself.
        archive.reset();
      }
    }
    bool whole = false;
    int64_t total = -1;
    std::exception_ptr error;
    pending.clear();
    if (archive) {
      try {
        archive->SetPosition(LocalOffsetOf(entry->item));
        whole = checker->Check(
            *archive, entry->item, centralDirOffset_,
            [&](int64_t bytesIn) {
              pending.push_back(bytesIn);
              // The start of an entry is told with what follows it: most
              // entries are one block, and then that is their end.
              if (bytesIn == 0) return true;
              std::lock_guard noted(mutex_);
              if (stop_ || entry->dropped) return false;
              entry->total = total;
              entry->points.insert(entry->points.end(), pending.begin(), pending.end());
              pending.clear();
              if (takerWaits_ == entry.get()) takerWakes_.notify_one();
              return true;
            },
            total);
      } catch (...) {
        error = std::current_exception();
      }
    }

    lock.lock();
    entry->unavailable = !archive;
    entry->whole = whole;
    entry->total = total;
    entry->error = error;
    entry->points.insert(entry->points.end(), pending.begin(), pending.end());
    pending.clear();
    entry->done = true;
    if (!entry->taken) ++doneQueued_;
    // The archiver is woken too before the workers run out of entries, so
    // that it adds more in time.
    if (takerWaits_ && takerWaits_->done &&
        (doneQueued_ >= kWakeBatch || entries_.size() - started_ < 2 * kWakeBatch))
      takerWakes_.notify_one();
  }
}

}  // namespace km
