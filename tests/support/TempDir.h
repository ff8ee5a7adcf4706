// A fresh host directory per test, removed with everything in it afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/HostPath.h"

namespace km::test {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("km_support_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Host() const { return path_; }
  // The directory in the Windows view, with a trailing '\'.
  std::u16string Win() const { return ToWindowsView(path_) + u'\\'; }

  // Writes a host file below the directory (path given as UTF-8).
  std::filesystem::path WriteFile(const std::string& relative, const std::string& content) const {
    std::filesystem::path p =
        path_ / std::filesystem::path(std::u8string(relative.begin(), relative.end()));
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace km::test
