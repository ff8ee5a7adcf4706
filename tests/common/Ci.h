// Whether the tests run under CI, where a missing tool fails a test instead
// of skipping it.
#pragma once

#include <cstdlib>
#include <cstring>

namespace km::test {

inline bool OnCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

}  // namespace km::test
