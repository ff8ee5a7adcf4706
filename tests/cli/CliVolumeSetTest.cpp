// pelko-cli on split archives: list, test and extract read a set whichever
// of its volumes is named, in Info-ZIP's naming or this program's; a missing
// or damaged volume fails the entries on it by name and in bounded time;
// sync refuses to update a set and leaves it as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archiver/PeerExtractCheck.h"
#include "archiver/PeerVolumeSets.h"
#include "cli/CliRunner.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::Args;
using test::CliRun;
using test::RunCli;
using test::Utf8;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A run that may not hang: `timeout` ends it (exit 124) after a minute.
CliRun RunBounded(const Args& args, const fs::path& work) {
  return RunCli(args, work, {.prefix = {"timeout", "60"}});
}

class CliVolumeSetTest : public test::InfoZipSetSuite {
 protected:
  void SetUp() override { RequireTools({"zip", "timeout"}); }
};

TEST_F(CliVolumeSetTest, ASetIsReadThroughAnyOfItsVolumesInEitherNaming) {
  for (const bool stored : {false, true}) {
    for (const bool numbered : {false, true}) {
      const std::string label =
          std::string(stored ? "stored" : "deflated") + (numbered ? "-numbered" : "-z");
      SCOPED_TRACE(label);
      const fs::path archive = MakeSet(label, stored);
      const std::vector<fs::path> volumes =
          numbered ? test::RenameVolumes(archive, true) : test::VolumesOf(archive);
      ASSERT_GT(volumes.size(), 5u);
      // The last volume, the first and one in the middle, given relative to
      // the current folder as a user types them.
      for (const fs::path& volume : {volumes.back(), volumes.front(), volumes[3]}) {
        const std::string typed = label + "/" + volume.filename().string();
        SCOPED_TRACE(typed);
        auto run = [&](const Args& args) { return RunCli(args, Work(), {.dir = Work()}); };

        const CliRun listed = run({"list", typed});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        std::map<std::string, std::string> sizes;
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) {
          const size_t tab = line.find('\t');
          sizes[line.substr(0, tab)] = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
        }
        EXPECT_EQ(sizes.size(), 6u) << listed.out;
        EXPECT_EQ(sizes["tree/big.bin"], std::to_string(fs::file_size(Tree() / "big.bin")));
        EXPECT_EQ(sizes["tree/sub/exact.bin"], "65536");

        const CliRun tested = run({"test", typed});
        EXPECT_EQ(tested.exitCode, 0) << tested.err;
        EXPECT_EQ(tested.out, "6 entries tested, 0 failed\n");
        EXPECT_EQ(tested.err, "");

        const fs::path out = archive.parent_path() / ("out-" + volume.filename().string());
        const CliRun extracted = run({"extract", typed, "--to", Utf8(out)});
        EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
        EXPECT_EQ(extracted.out, "extracted 6 of 6 entries\n");
        EXPECT_EQ(test::CompareTrees(Tree(), out / "tree"), "");
      }
    }
  }
}

// A whole archive whose name merely looks like a volume's is read as itself,
// even beside a set that the name would belong to.
TEST_F(CliVolumeSetTest, AWholeArchiveWithANumberedNameIsReadAsItself) {
  const fs::path archive = MakeSet("lookalike", true);
  test::RenameVolumes(archive, true);
  const fs::path single = archive.parent_path() / "data_009.zip";
  fs::remove(single);
  ASSERT_EQ(test::RunShell("cd " + test::Quoted(Tree()) + " && zip -q " + test::Quoted(single) +
                           " small.bin >/dev/null"),
            0);
  const CliRun listed = RunCli({"list", Utf8(single)}, Work());
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out.substr(0, listed.out.find('\t')), "small.bin");
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 1);
}

TEST_F(CliVolumeSetTest, AMissingOrDamagedMiddleVolumeIsNamedAndEndsTheRun) {
  using enum test::VolumeDamage;
  for (const bool stored : {false, true}) {
    for (const test::VolumeDamage damage : {kMissing, kCut, kOverwritten}) {
      const std::string label =
          std::string(stored ? "stored" : "deflated") + "-damage" + std::to_string(int(damage));
      SCOPED_TRACE(label);
      const fs::path archive = MakeSet(label, stored);
      const std::vector<fs::path> volumes = test::VolumesOf(archive);
      ASSERT_GT(volumes.size(), 5u);
      const fs::path middle = volumes[2];  // within big.bin
      test::DamageVolume(middle, damage);
      for (const fs::path& typed : {archive, volumes[1]}) {
        const CliRun tested = RunBounded({"test", Utf8(typed)}, Work());
        EXPECT_EQ(tested.exitCode, 1) << tested.err;
        EXPECT_TRUE(Contains(tested.err, "pelko-cli: tree/big.bin: ")) << tested.err;
        EXPECT_FALSE(Contains(tested.err, "tree/small.bin")) << tested.err;
        if (damage == kMissing) {
          EXPECT_TRUE(Contains(tested.err,
                               "Native error: 00045 (volume " + middle.string() + " not found)"))
              << tested.err;
        }
      }
      const fs::path out = archive.parent_path() / "out";
      const CliRun extracted = RunBounded({"extract", Utf8(archive), "--to", Utf8(out)}, Work());
      EXPECT_EQ(extracted.exitCode, 1) << extracted.err;
      EXPECT_TRUE(Contains(extracted.err, "pelko-cli: tree/big.bin: ")) << extracted.err;
      EXPECT_FALSE(fs::exists(out / "tree" / "big.bin"));
      EXPECT_EQ(test::FileBytes(out / "tree" / "small.bin"), test::FileBytes(Tree() / "small.bin"));
    }
  }
}

// A set is written once, when it is made: sync says so and changes nothing,
// whichever volume it is given. The first volume holds local headers and no
// directory: taken for a damaged archive of its own, it would be "mended"
// into one, and the set lost.
TEST_F(CliVolumeSetTest, SyncRefusesASetAndLeavesItAsItWas) {
  const fs::path archive = MakeSet("sync", false);
  const std::vector<fs::path> volumes = test::VolumesOf(archive);
  std::vector<std::string> before;
  for (const fs::path& v : volumes) before.push_back(test::FileBytes(v));
  // Something new to add, so that an update would have work to do.
  const fs::path base = archive.parent_path() / "tree";
  fs::copy(Tree(), base, fs::copy_options::recursive);
  std::ofstream(base / "new.txt") << "new\n";

  for (const fs::path& typed : {archive, volumes[0], volumes[1]}) {
    SCOPED_TRACE(typed.filename().string());
    const CliRun synced =
        RunBounded({"sync", "--base", Utf8(base), "--archive", Utf8(typed)}, Work());
    EXPECT_EQ(synced.exitCode, 2);
    EXPECT_TRUE(Contains(synced.err,
                         "Multi-spanned archive is not allowed for modification. Use "
                         "BeginUpdate/EndUpdate methods to add files several times - Native "
                         "error: 00052"))
        << synced.err;
    EXPECT_TRUE(Contains(synced.err, "a multi-volume archive is written once")) << synced.err;
    EXPECT_EQ(synced.out, "");
    std::vector<std::string> after;
    for (const fs::path& v : volumes) after.push_back(test::FileBytes(v));
    EXPECT_TRUE(after == before);
    EXPECT_EQ(test::TreeListing(archive.parent_path()).count("data.zip-journal"), 0u);
  }
}

}  // namespace
}  // namespace km
