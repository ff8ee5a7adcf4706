// A fresh host directory for one test (or one suite), removed with everything
// in it afterwards, and whole-file access by host path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/CodePage.h"
#include "platform/HostPath.h"

namespace km::test {

// A host path from UTF-8 text (or, on POSIX, any bytes): Windows paths are
// UTF-16, and a plain narrow string would not be read as UTF-8 there.
inline std::filesystem::path HostName(const std::string& text) {
#ifdef _WIN32
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
  return std::filesystem::path(text);
#endif
}

class TempDir {
 public:
  // Throws when the directory cannot be made, so that the test fails before
  // it writes anywhere else.
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  // In base instead of the system's temporary folder (a memory-backed one,
  // say, for a run that rewrites a file millions of times).
  explicit TempDir(const std::filesystem::path& base) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int tries = 0; tries < 100; ++tries) {
      std::string name = "km-test-";
      for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof(kChars) - 1)];
      std::error_code ec;
      // Made by this call alone, never one that was there before.
      if (std::filesystem::create_directory(base / name, ec)) {
        host_ = base / name;
        return;
      }
      if (ec) break;
    }
    throw std::runtime_error("cannot make a scratch directory in " + base.string());
  }
  ~TempDir() {
    std::error_code ec;
    if (std::filesystem::remove_all(host_, ec) != static_cast<std::uintmax_t>(-1)) return;
    // A test left a folder it cannot write (or, on Windows, a read-only
    // file, which cannot be deleted); give them back to the owner and try
    // once more.
    MakeWritable(host_);
    std::filesystem::remove_all(host_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Host() const { return host_; }
  // A name in the directory.
  std::filesystem::path Host(const std::u16string& name) const {
    return host_ / HostName(platform::WideToUtf8(name));
  }
  // The directory in the Windows view, with a trailing '\'.
  std::u16string Win() const { return ToWindowsView(host_) + u'\\'; }
  // The Windows-view name of a file in the directory.
  std::u16string Win(const std::u16string& name) const { return ToWindowsView(Host(name)); }

  // Writes a file below the directory; the name is in host bytes (UTF-8 or
  // not) and may hold '/' for a folder that exists.
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = host_ / HostName(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

 private:
  static void MakeWritable(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      if (entry.is_directory(ec) && !entry.is_symlink(ec))
        MakeWritable(entry.path());
      else if (entry.is_regular_file(ec))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    }
  }

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

}  // namespace km::test
