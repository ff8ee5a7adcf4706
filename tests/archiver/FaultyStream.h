// Write-failure injection for the archiver tests: a counter of writes that
// makes the n-th one take nothing, as a full or failing disk would.
#pragma once

#include <cstdint>

#include "support/Stream.h"

namespace km::test {

class WriteFault {
 public:
  // 0: never fail. Counting starts again at each Arm.
  void Arm(int64_t failAt) {
    failAt_ = failAt;
    writes_ = 0;
  }
  int64_t Writes() const { return writes_; }
  bool Fired() const { return failAt_ > 0 && writes_ >= failAt_; }

  // The bytes target took: none for the chosen write.
  int64_t Write(TStream& target, const void* buffer, int64_t count) {
    if (++writes_ == failAt_) return 0;
    return target.Write(buffer, count);
  }

 private:
  int64_t failAt_ = 0;
  int64_t writes_ = 0;
};

}  // namespace km::test
