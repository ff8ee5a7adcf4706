// libFuzzer target: arbitrary bytes opened as an archive and listed, once
// tolerating damage (a normal open) and once not (the probe for volumes).
#include <cstddef>
#include <cstdint>

#include "fuzz/OpenArchiveHarness.h"
#include "support/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static volatile uint64_t sink;
  for (bool tolerate : {true, false}) {
    try {
      sink = sink + km::fuzz::OpenAndList(data, size, tolerate);
    } catch (const km::Exception&) {
      // A clear error is a correct answer to bad input.
    }
  }
  return 0;
}
