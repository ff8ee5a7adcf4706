// Shared helpers of the archiver tests: a scratch directory on the host seen
// through the Windows view, and file access by host path.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "archiver/Errors.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"

namespace km::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kmarcXXXXXX").string();
    if (mkdtemp(pattern.data())) host_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(host_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Ok() const { return !host_.empty(); }
  std::filesystem::path Host(const std::u16string& name) const {
    return host_ / std::filesystem::path(platform::WideToUtf8(name));
  }
  // The Windows-view name of a file in the directory.
  std::u16string Win(const std::u16string& name) const { return ToWindowsView(Host(name)); }

 private:
  std::filesystem::path host_;
};

inline std::string ReadHostFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteHostFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// The native code of the EKMException f raises; -1 when it raises none.
inline int NativeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKMException& e) {
    return e.NativeError();
  }
  return -1;
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

}  // namespace km::test
