#include "archiver/VerifyAhead.h"

#include <algorithm>
#include <utility>

#include "archiver/Archiver.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

// Entries added and not yet taken at most: enough to keep the workers busy
// behind an archiver that reports slowly, few enough that the notes kept
// stay small.
constexpr size_t kMaxEntriesAhead = 128;

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

void TVerifyAhead::Add(int32_t index, const TDirItem& item) {
  auto entry = std::make_shared<TEntry>();
  entry->index = index;
  entry->item = item;
  // The workers need none of these, and a name may be long.
  entry->item.FileName.clear();
  entry->item.Comment.clear();
  entry->item.SourceFileName.clear();
  entry->item.Password.clear();
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  workerWakes_.notify_one();
}

size_t TVerifyAhead::Room() const {
  std::lock_guard lock(mutex_);
  return kMaxEntriesAhead - std::min(entries_.size(), kMaxEntriesAhead);
}

std::shared_ptr<TVerifyAhead::TEntry> TVerifyAhead::Take(int32_t index, const TDirItem& item) {
  std::lock_guard lock(mutex_);
  while (!entries_.empty() && entries_.front()->index < index) {
    entries_.front()->dropped = true;
    entries_.pop_front();
    if (started_ > 0) --started_;
  }
  if (entries_.empty() || entries_.front()->index != index) return nullptr;
  std::shared_ptr<TEntry> entry = std::move(entries_.front());
  entries_.pop_front();
  if (started_ > 0) {
    --started_;
  } else {
    // No worker has it yet: the archiver reads it sooner itself.
    entry->dropped = true;
    return nullptr;
  }
  if (!SameEntry(entry->item, item)) {
    entry->dropped = true;
    return nullptr;
  }
  return entry;
}

TVerifyAhead::TNews TVerifyAhead::Wait(TEntry& entry, size_t from) {
  std::unique_lock lock(mutex_);
  takerWakes_.wait(lock, [&] { return entry.done || entry.points.size() > from; });
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
    if (archive) {
      try {
        archive->SetPosition(LocalOffsetOf(entry->item));
        whole = checker->Check(
            *archive, entry->item, centralDirOffset_,
            [&](int64_t bytesIn) {
              std::lock_guard noted(mutex_);
              if (stop_ || entry->dropped) return false;
              entry->total = total;
              entry->points.push_back(bytesIn);
              takerWakes_.notify_all();
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
    entry->done = true;
    takerWakes_.notify_all();
  }
}

}  // namespace km
