// pelko-cli sync --volume-size: a new archive is made as a split set that
// pelko-cli reads back whichever volume is named, and the peers read too; an
// archive that is there, or a volume of another set, is left as it was; a
// size that is no size, or too small, is a usage error that makes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archiver/PeerVolumeSets.h"
#include "cli/CliRunner.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::Args;
using test::CliRun;
using test::Quoted;
using test::Utf8;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// 7-Zip under the name its package gives it.
std::string SevenZip() {
  for (const char* name : {"7z", "7zz"})
    if (test::HasTool(name)) return name;
  return "";
}

// Every file under root, by its path relative to root, with its bytes.
std::map<std::string, std::string> FilesUnder(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(root).string()] = test::ReadHostFile(entry.path());
  return files;
}

std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class CliSplitCreate : public testing::Test {
 protected:
  void SetUp() override {
    work_ = dir_.Host(u"");
    temp_ = work_ / "tmp";
    out_ = work_ / "out";
    fs::create_directories(temp_);
    fs::create_directories(out_);
  }

  // pelko-cli with its temporary files in temp_, run from work_.
  CliRun Run(const Args& args, const Args& prefix = {}) {
    return test::RunCli(args, work_, {.dir = work_, .env = test::TempEnv(temp_), .prefix = prefix});
  }
  CliRun Sync(const fs::path& tree, const fs::path& archive, const std::string& size) {
    return Run({"sync", "--base", Utf8(tree), "--archive", Utf8(archive), "--volume-size", size});
  }

  // Nothing of a creation is left beside the set or among the temporary files.
  void ExpectNothingLeftOver(const fs::path& archive) {
    EXPECT_FALSE(fs::exists(archive.string() + "-volumes"));
    EXPECT_TRUE(fs::is_empty(temp_)) << "left in TMPDIR: " << FolderNames(temp_).front();
  }

  test::TempDir dir_;
  fs::path work_, temp_, out_;
};

// Entries smaller than a volume, exactly one long and five long: each volume
// keeps to 64 KiB, the set reads back byte for byte by the name of its last
// volume and by that of its first, and 7-Zip tests it good.
TEST_F(CliSplitCreate, ASetIsMadeThatReadsBackWhole) {
  const fs::path tree = work_ / "tree";
  test::MakeVolumeTree(tree);
  const fs::path archive = out_ / "data.zip";
  const CliRun made = Sync(tree, archive, "64k");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(made.out, "Добавлено: 5    Удалено: 0\n") << made.err;
  ExpectNothingLeftOver(archive);

  const std::vector<fs::path> volumes = test::VolumesOf(archive);
  ASSERT_GE(volumes.size(), 6u) << "more than five volumes of data";
  EXPECT_EQ(volumes.size(), FolderNames(out_).size()) << "files beside the set's volumes";
  for (const fs::path& volume : volumes)
    EXPECT_LE(fs::file_size(volume), 65536u) << volume.filename();

  for (const std::string typed : {"out/data.zip", "out/data.z01"}) {
    SCOPED_TRACE(typed);
    const CliRun tested = Run({"test", typed});
    EXPECT_EQ(tested.exitCode, 0) << tested.err;
    EXPECT_EQ(tested.out, "5 entries tested, 0 failed\n") << tested.err;
    const fs::path to = work_ / ("x-" + fs::path(typed).extension().string().substr(1));
    const CliRun extracted = Run({"extract", typed, "--to", Utf8(to)});
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_TRUE(FilesUnder(to / "tree") == FilesUnder(tree)) << "not the files of the tree";
  }
  ExpectNothingLeftOver(archive);

  const std::string sevenZip = SevenZip();
  if (sevenZip.empty()) {
    if (test::OnCi()) ADD_FAILURE() << "7-Zip is needed (scripts/deps.sh installs it)";
    return;
  }
  EXPECT_EQ(test::RunShell(sevenZip + " t " + Quoted(archive) + " > /dev/null 2>&1"), 0);
}

// Info-ZIP joins the set (zip -s 0) into one archive that unzip and python
// read. Its entries are each smaller than a volume: zip 3.0 joins an entry
// that runs over more than two volumes wrongly, even in its own sets.
TEST_F(CliSplitCreate, InfoZipJoinsTheSet) {
  if (!test::HasTool("zip") || !test::HasTool("unzip") || !test::HasTool("python3")) {
    if (test::OnCi()) FAIL() << "zip, unzip and python3 are needed (scripts/deps.sh)";
    GTEST_SKIP() << "zip, unzip and python3 are needed";
  }
  const fs::path tree = work_ / "small";
  fs::create_directories(tree / "sub");
  for (int i = 0; i < 6; ++i)
    test::WriteHostFile(tree / (i % 2 ? "sub" : "") / ("f" + std::to_string(i) + ".bin"),
                        test::Incompressible(30000 + size_t(i) * 1000, uint32_t(i + 10)));
  const fs::path archive = out_ / "data.zip";
  const CliRun made = Sync(tree, archive, "65536");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_GE(test::VolumesOf(archive).size(), 3u);

  const fs::path joined = work_ / "joined.zip";
  ASSERT_EQ(test::RunShell("zip -q -s 0 " + Quoted(archive) + " --out " + Quoted(joined) +
                           " > /dev/null 2>&1"),
            0);
  EXPECT_EQ(test::RunShell("unzip -tq " + Quoted(joined) + " > /dev/null 2>&1"), 0);
  const fs::path to = work_ / "py";
  EXPECT_EQ(test::RunShell(Quoted(test::Python()) + " -c 'import sys, zipfile; " +
                           "zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' " +
                           Quoted(joined) + " " + Quoted(to)),
            0);
  EXPECT_TRUE(FilesUnder(to / "small") == FilesUnder(tree)) << "python read other bytes";
}

// A split set is made only with the archive: an archive that is there,
// whole or split, named by any of its volumes, stays as it was, and so does
// a first volume of some other set.
TEST_F(CliSplitCreate, WhatIsThereIsLeftAsItWas) {
  const fs::path tree = work_ / "tree";
  fs::create_directories(tree);
  test::WriteHostFile(tree / "a.txt", test::Incompressible(150000, 1));
  const fs::path single = out_ / "single.zip";
  ASSERT_EQ(Run({"sync", "--base", Utf8(tree), "--archive", Utf8(single)}).exitCode, 0);
  const fs::path set = out_ / "set.zip";
  ASSERT_EQ(Sync(tree, set, "64k").exitCode, 0);
  const fs::path stray = out_ / "other.z01";
  test::WriteHostFile(stray, "a volume of another set");

  std::map<std::string, std::string> before = FilesUnder(out_);
  test::WriteHostFile(tree / "b.txt", "new");
  for (const std::string typed : {"out/single.zip", "out/set.zip", "out/set.z01"}) {
    SCOPED_TRACE(typed);
    const CliRun r = Sync(tree, typed, "64k");
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string shown = typed == "out/set.z01" ? "out/set.zip" : typed;
    EXPECT_TRUE(Contains(r.err, "pelko-cli: cannot make " + shown +
                                    " a split archive: it exists already, and a split archive "
                                    "is made only when the archive is created"))
        << r.err;
  }
  const CliRun r = Sync(tree, "out/other.zip", "64k");
  EXPECT_EQ(r.exitCode, 2) << r.err;
  // Windows names the volumes of a set it makes in capitals, as it looks for them.
#ifdef _WIN32
  EXPECT_TRUE(Contains(r.err, "out/other.Z01 exists already")) << r.err;
#else
  EXPECT_TRUE(Contains(r.err, "out/other.z01 exists already")) << r.err;
#endif
  EXPECT_TRUE(FilesUnder(out_) == before) << "a file was changed, made or removed";
  EXPECT_TRUE(fs::is_empty(temp_));
}

// A size that is no size, or is below 64 KiB, is refused before anything is
// made, with usage and exit 2.
TEST_F(CliSplitCreate, BadSizesAreRefused) {
  const fs::path tree = work_ / "tree";
  fs::create_directories(tree);
  test::WriteHostFile(tree / "a.txt", "a");
  const std::string notASize = "is not a size";
  const std::string tooSmall = "is too small; a volume holds at least 64k (65536 bytes)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "--volume-size needs a value"},
      {"abc", notASize},
      {"64x", notASize},
      {"k", notASize},
      {"-64k", notASize},
      {"64kk", notASize},
      {"1.5M", notASize},
      {"99999999999999999999", notASize},
      {"9999999999G", notASize},
      {"63k", tooSmall},
      {"65535", tooSmall},
      {"0", tooSmall},
  };
  for (const auto& [size, expected] : cases) {
    SCOPED_TRACE(size);
    const CliRun r = Sync(tree, out_ / "data.zip", size);
    EXPECT_EQ(r.exitCode, 2);
    ASSERT_FALSE(r.errLines.empty());
    EXPECT_TRUE(Contains(r.errLines[0], expected)) << r.errLines[0];
    EXPECT_TRUE(Contains(r.err, "Usage: pelko-cli")) << r.err;
  }
  const CliRun missing =
      Run({"sync", "--base", Utf8(tree), "--archive", Utf8(out_ / "data.zip"), "--volume-size"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_TRUE(Contains(missing.err, "--volume-size needs a value")) << missing.err;
  EXPECT_TRUE(fs::is_empty(out_)) << FolderNames(out_).front();
}

// A disk that fills while the set is made: the run says so and fails, and
// leaves no volume, record or temporary file behind, only an empty archive.
TEST_F(CliSplitCreate, ADiskThatFillsStopsTheRunWithNothingHalfMade) {
#ifdef _WIN32
  GTEST_SKIP() << "a small disk is a tmpfs mounted in a mount namespace of its own";
#else
  if (geteuid() != 0 || !test::HasTool("unshare") || !test::HasTool("nsenter")) {
    if (test::OnCi()) FAIL() << "root, unshare and nsenter are needed to mount a small disk";
    GTEST_SKIP() << "cannot mount a small disk here";
  }
  const fs::path tree = work_ / "tree";
  fs::create_directories(tree);
  test::WriteHostFile(tree / "a.bin", test::Incompressible(2000000, 1));
  test::WriteHostFile(tree / "b.bin", test::Incompressible(300000, 2));
  const fs::path disk = work_ / "disk";
  fs::create_directories(disk);
  test::SmallDisk small;
  const std::string problem = small.Mount(disk, 600 << 10, work_);
  ASSERT_TRUE(problem.empty()) << problem;
  const CliRun r = Run(
      {"sync", "--base", Utf8(tree), "--archive", Utf8(disk / "data.zip"), "--volume-size", "64k"},
      small.Prefix());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "not enough free space on the disk")) << r.err;
  EXPECT_EQ(FolderNames(small.Seen(disk)), std::vector<std::string>{"data.zip"});
  EXPECT_EQ(fs::file_size(small.Seen(disk / "data.zip")), 22u);
  EXPECT_TRUE(fs::is_empty(temp_));
#endif
}

}  // namespace
}  // namespace km
