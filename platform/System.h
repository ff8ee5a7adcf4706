// Memory status, timers and the process-wide re-entrant lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace km::platform {

uint64_t AvailablePhysicalMemory();
// The high-resolution counter; false when the host has none.
bool PerformanceCounter(int64_t& value);
// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();

// The full Windows-view name of the running executable; empty when the host
// cannot tell.
std::u16string ExecutableFileName();

// A run holds every entry of an archive in memory as many small blocks.
// Where the first touch of each page is costly (on virtual machines it can
// cost more than the work done on the page), the heap is given huge pages,
// which cuts the page faults of a run about tenfold. Call once, early in
// main; nothing happens where the host has no such pages.
void PrepareHeap();
// Memory of its own pages, given back to the system when freed, whatever
// the heap keeps: for large buffers whose freed memory another thread's
// heap would not reuse. Null when there is none.
void* AllocatePages(size_t bytes);
void FreePages(void* pages, size_t bytes);

// The program's arguments as UTF-8. Windows hands main() its arguments in
// the ANSI code page, which cannot hold every name; its own UTF-16 command
// line can. Elsewhere they are argv as it is.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A critical section: re-entrant for the thread that holds it.
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  class Guard {
   public:
    explicit Guard(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~Guard() { section_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CriticalSection& section_;
  };

 private:
  std::recursive_mutex mutex_;
};

}  // namespace km::platform
