// The buffers of blocks compressed ahead. Large ones are pages of their own:
// the threads that fill and free them each have a heap of their own, and
// memory one of them freed would stay resident beside what the others
// take, so that a run held far more than its budget of blocks in flight.
// Pages go back to the system when freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform/System.h"

namespace km {

template <class T>
struct TBlockAllocator {
  using value_type = T;
  // Smaller buffers come from the heap: a mapping costs a system call.
  static constexpr size_t kPagedFrom = 64 * 1024;

  TBlockAllocator() = default;
  template <class U>
  explicit TBlockAllocator(const TBlockAllocator<U>&) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    void* p = bytes >= kPagedFrom ? platform::AllocatePages(bytes) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= kPagedFrom)
      platform::FreePages(p, bytes);
    else
      std::free(p);
  }
  template <class U>
  bool operator==(const TBlockAllocator<U>&) const {
    return true;
  }
};

using TBlockBuffer = std::vector<uint8_t, TBlockAllocator<uint8_t>>;

}  // namespace km
