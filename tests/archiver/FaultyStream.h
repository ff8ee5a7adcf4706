// Write-failure injection for the archiver tests: a counter of writes (and
// copies between streams) that makes the n-th one take nothing, as a full or
// failing disk would; sticky, every one from the n-th on, as a disk that
// stays full.
#pragma once

#include <cstdint>

#include "support/Stream.h"

namespace km::test {

class WriteFault {
 public:
  // 0: never fail. Counting starts again at each Arm.
  void Arm(int64_t failAt, bool sticky = false) {
    failAt_ = failAt;
    sticky_ = sticky;
    writes_ = 0;
  }
  // Writes and copies counted so far.
  int64_t Writes() const { return writes_; }
  bool Fired() const { return failAt_ > 0 && writes_ >= failAt_; }

  // The bytes target took: none for a chosen write.
  int64_t Write(TStream& target, const void* buffer, int64_t count) {
    return Fails() ? 0 : target.Write(buffer, count);
  }
  // The bytes copy() copied: none, and copy() not called, for a chosen copy.
  template <typename CopyFn>
  int64_t Copy(CopyFn&& copy) {
    return Fails() ? 0 : copy();
  }

 private:
  bool Fails() {
    ++writes_;
    return failAt_ > 0 && (sticky_ ? writes_ >= failAt_ : writes_ == failAt_);
  }

  int64_t failAt_ = 0;
  bool sticky_ = false;
  int64_t writes_ = 0;
};

}  // namespace km::test
