// Split archives made by Info-ZIP (`zip -s 64k`), in the names it gives the
// volumes (data.z01, data.z02, ... data.zip) or renamed to this program's
// numbered naming (data_001.zip, ... data.zip). Shared by the archiver and
// pelko-cli tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"

namespace km::test {

inline constexpr uintmax_t kPeerVolumeSize = 65536;

// Files smaller than a volume, exactly one volume long and several volumes
// long, incompressible and compressible, under a folder named "tree".
inline void MakeVolumeTree(const std::filesystem::path& tree) {
  std::filesystem::create_directories(tree / "sub");
  std::ofstream(tree / "small.bin", std::ios::binary) << Incompressible(1000, 1);
  std::ofstream(tree / "sub" / "exact.bin", std::ios::binary) << Incompressible(kPeerVolumeSize, 2);
  std::ofstream(tree / "big.bin", std::ios::binary) << Incompressible(5 * kPeerVolumeSize, 3);
  std::ofstream text(tree / "sub" / "text.txt", std::ios::binary);
  for (int i = 0; i < 40000; ++i) text << "line " << i << " of a text that deflates well\n";
}

// The volumes of a split set, in order, the last one (the archive's own
// name) included.
inline std::vector<std::filesystem::path> VolumesOf(const std::filesystem::path& archive) {
  std::vector<std::filesystem::path> volumes;
  for (int n = 1;; ++n) {
    char ext[16];
    std::snprintf(ext, sizeof ext, ".z%02d", n);
    std::filesystem::path volume = archive;
    volume.replace_extension(ext);
    if (!std::filesystem::exists(volume)) break;
    volumes.push_back(volume);
  }
  volumes.push_back(archive);
  return volumes;
}

// Splits the tree of MakeVolumeTree into volumes of 64 KiB: `zip -s 64k`,
// with -0 when stored. The entries go in a fixed order, so that the third
// volume lies within big.bin and small.bin wholly on the first. 0 on success.
inline int MakeInfoZipSet(const std::filesystem::path& tree, const std::filesystem::path& archive,
                          bool stored) {
  const std::string t = tree.filename().string();
  return RunShell("cd " + Quoted(tree.parent_path()) + " && zip -q " + (stored ? "-0 " : "") +
                  "-s 64k " + Quoted(archive) + " " + t + " " + t + "/small.bin " + t +
                  "/big.bin " + t + "/sub " + t + "/sub/exact.bin " + t +
                  "/sub/text.txt >/dev/null");
}

// Renames the numbered volumes of a set made by MakeInfoZipSet: to
// data_001.zip, data_002.zip, ... when numbered, else to data.Z01, ...
// Returns the new names, the last volume's included.
inline std::vector<std::filesystem::path> RenameVolumes(const std::filesystem::path& archive,
                                                        bool numbered) {
  std::vector<std::filesystem::path> volumes = VolumesOf(archive);
  for (size_t i = 0; i + 1 < volumes.size(); ++i) {
    char name[64];
    if (numbered)
      std::snprintf(name, sizeof name, "_%03zu", i + 1);
    else
      std::snprintf(name, sizeof name, ".Z%02zu", i + 1);
    std::filesystem::path renamed =
        archive.parent_path() / (archive.stem().string() + name +
                                 (numbered ? archive.extension().string() : std::string()));
    std::filesystem::rename(volumes[i], renamed);
    volumes[i] = renamed;
  }
  return volumes;
}

// The ways a middle volume of a set goes wrong, and doing it to one.
enum class VolumeDamage { kMissing, kCut, kOverwritten };
inline void DamageVolume(const std::filesystem::path& volume, VolumeDamage damage) {
  if (damage == VolumeDamage::kMissing) {
    std::filesystem::remove(volume);
  } else if (damage == VolumeDamage::kCut) {
    std::filesystem::resize_file(volume, 1000);
  } else {
    std::fstream f(volume, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(10000);
    f << Incompressible(20000, 9);
  }
}

// A suite over one tree (MakeVolumeTree) and Info-ZIP sets made of it.
class InfoZipSetSuite : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    MakeVolumeTree(dir_->Host(u"tree"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  // Skips the test without the tools, or fails it under CI.
  static void RequireTools(std::initializer_list<const char*> tools) {
    for (const char* tool : tools) {
      if (HasTool(tool)) continue;
      if (OnCi()) FAIL() << tool << " is missing (scripts/deps.sh installs it)";
      GTEST_SKIP() << tool << " is not installed";
    }
  }
  // A fresh set of the tree in a folder of its own.
  static std::filesystem::path MakeSet(const std::string& label, bool stored) {
    const std::filesystem::path folder = dir_->Host(platform::Utf8ToWide(label));
    std::filesystem::create_directories(folder);
    const std::filesystem::path archive = folder / "data.zip";
    EXPECT_EQ(MakeInfoZipSet(Tree(), archive, stored), 0);
    return archive;
  }
  static std::filesystem::path Tree() { return dir_->Host(u"tree"); }
  static std::filesystem::path Work() { return dir_->Host(); }
  static inline TempDir* dir_ = nullptr;
};

}  // namespace km::test
