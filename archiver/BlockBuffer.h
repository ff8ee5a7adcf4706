// The buffers of blocks compressed ahead. Large ones are pages of their own:
// the threads that fill and free them each have a heap of their own, and
// memory one of them freed would stay resident beside what the others
// take, so that a run held far more than its budget of blocks in flight.
// Pages go back to the system when freed; whoever frees often keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
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
  // Bytes are left as they come: every user writes a buffer before reading
  // it, and zeroing a fresh one would touch each of its pages twice.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  template <class U>
  bool operator==(const TBlockAllocator<U>&) const {
    return true;
  }
};

using TBlockBuffer = std::vector<uint8_t, TBlockAllocator<uint8_t>>;

}  // namespace km
