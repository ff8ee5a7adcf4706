#include "platform/System.h"

#include "platform/HostPath.h"

#include <unistd.h>
#include <cstdio>
#include <ctime>
#if defined(__linux__)
#include <sys/mman.h>
#include <sys/sysinfo.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstdlib>

namespace km::platform {
namespace {

// MemAvailable counts the page cache the kernel can drop, which is what
// "available" means to a caller sizing its buffers; free RAM alone is
// far too pessimistic on a machine that has been running a while.
bool MemAvailableFromProc(uint64_t& bytes) {
#if defined(__linux__)
  std::FILE* f = std::fopen("/proc/meminfo", "re");
  if (!f) return false;
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, f)) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      bytes = uint64_t(kib) * 1024;
      found = true;
      break;
    }
  }
  std::fclose(f);
  return found;
#else
  (void)bytes;
  return false;
#endif
}

int64_t MonotonicNanoseconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

uint64_t AvailablePhysicalMemory() {
  uint64_t bytes = 0;
  if (MemAvailableFromProc(bytes)) return bytes;
#if defined(__linux__)
  struct sysinfo info {};
  if (sysinfo(&info) == 0) return uint64_t(info.freeram) * (info.mem_unit ? info.mem_unit : 1);
#endif
#if defined(_SC_AVPHYS_PAGES)
  long pages = sysconf(_SC_AVPHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) return uint64_t(pages) * uint64_t(pageSize);
#endif
  return 0;
}

// Nanoseconds of the monotonic clock: a fixed frequency of 10^9 per second.
bool PerformanceCounter(int64_t& value) {
  int64_t ns = MonotonicNanoseconds();
  if (ns < 0) return false;
  value = ns;
  return true;
}

uint32_t TickCount() {
  int64_t ns = MonotonicNanoseconds();
  return ns < 0 ? 0 : uint32_t(uint64_t(ns / 1000000));
}

std::u16string ExecutableFileName() {
#if defined(__linux__)
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && self.is_absolute()) return ToWindowsView(self);
#endif
  return {};
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void* AllocatePages(size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, size_t bytes) {
  if (pages) munmap(pages, bytes);
}

void PrepareHeap() {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
  constexpr int kStep = 32 << 20;
  // The heap grows in one large step from here on, so that the range
  // advised below holds what a run allocates; blocks below the step come
  // from the heap, not from mappings of their own.
  if (mallopt(M_MMAP_THRESHOLD, kStep) == 0 || mallopt(M_TOP_PAD, kStep) == 0) return;
  const uintptr_t before = reinterpret_cast<uintptr_t>(sbrk(0));
  void* volatile block = std::malloc(256 << 10);  // volatile: the heap must really grow now
  std::free(block);
  const uintptr_t after = reinterpret_cast<uintptr_t>(sbrk(0));
  if (before == uintptr_t(-1) || after == uintptr_t(-1)) return;
  const uintptr_t low = (before + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t high = after & ~(kHugePage - 1);
  if (high > low) madvise(reinterpret_cast<void*>(low), high - low, MADV_HUGEPAGE);
#endif
}

}  // namespace km::platform
