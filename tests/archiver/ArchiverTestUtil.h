// Shared helpers of the archiver tests, with the scratch directory every
// test uses.
#pragma once

#include <functional>
#include <string>

#include "archiver/Archiver.h"
#include "archiver/Errors.h"
#include "common/TempDir.h"

namespace km::test {

// The native code of the EKMException f raises; -1 when it raises none.
inline int NativeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKMException& e) {
    return e.NativeError();
  }
  return -1;
}

// One run as the dialog makes it: the configured tree added to the archive
// in one update.
inline void AddRun(TKMBaseArchiver& a) {
  a.OpenArchive();
  a.BeginUpdate();
  a.AddFiles();
  a.EndUpdate();
  a.CloseArchive();
}

// Pseudo-random bytes: deflate cannot shrink them, so an entry's data is as
// long as its file and offsets land where a test means them to.
inline std::string Incompressible(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    c = char(seed);
  }
  return bytes;
}

// Compressible, but not trivially: deflate works for its output.
inline std::string Compressible(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = char('a' + ((seed >> 16) % 7) + (i / 4096) % 3);
  }
  return bytes;
}

}  // namespace km::test
