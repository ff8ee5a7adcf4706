// Whether the tests run under CI, where a missing tool fails a test instead
// of skipping it.
#pragma once

#include <cstdlib>
#include <cstring>

namespace km::test {

// The Windows build of the tests runs under Wine, where the peers, mounts and
// users of the Linux side do not exist by design: what needs them is tested
// on the Linux side, and skips there.
inline bool OnCi() {
#ifdef _WIN32
  return false;
#endif
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

}  // namespace km::test
