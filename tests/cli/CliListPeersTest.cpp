// `pelko-cli list` over archives written by other ZIP tools prints what
// python zipfile reads from them, and turns files that are no archive into
// exit code 2 with a message instead of a crash or a listing of garbage.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "cli/CliRunner.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::Quoted;

using Listed = test::CliRun;

Listed RunList(const fs::path& archive, const fs::path& work) {
  return test::RunCli({"list", test::Utf8(archive)}, work);
}

// One line as the listing prints it, from python's reading of the entry.
std::string ExpectedLine(const test::PeerEntry& e) {
  char line[256];
  std::snprintf(line, sizeof line, "\t%llu\t%llu\t%08x\t%04d-%02d-%02d %02d:%02d:%02d\t0x%x\n",
                static_cast<unsigned long long>(e.size), static_cast<unsigned long long>(e.packed),
                e.crc, e.dateTime[0], e.dateTime[1], e.dateTime[2], e.dateTime[3], e.dateTime[4],
                e.dateTime[5], e.externalAttr);
  return e.shownName + line;
}

class CliListPeersTest : public testing::Test {
 protected:
  void SetUp() override { work_ = dir_.Host(u""); }
  test::TempDir dir_;
  fs::path work_;
};

TEST_F(CliListPeersTest, ListingMatchesPythonForEachPeer) {
  if (!test::HasTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const fs::path tree = work_ / "tree";
  test::MakePeerTree(tree);
  struct Maker {
    const char* tool;
    std::string command;
  };
  const fs::path script = work_ / "deflated.py";
  std::ofstream(script) << test::kPythonDeflated;
  const Maker makers[] = {
      {"zip", "LC_ALL=C.UTF-8 zip -q -r ../zip.zip ."},
      {"7zz", "LC_ALL=C.UTF-8 7zz a -tzip -bd -bso0 -bsp0 ../7zz.zip ."},
      {"python3", "python3 " + Quoted(script) + " " + Quoted(tree) + " ../python3.zip"},
      {"jar", "jar cf ../jar.zip ."},
  };
  int listed = 0;
  for (const Maker& maker : makers) {
    if (!test::HasTool(maker.tool)) continue;
    SCOPED_TRACE(maker.tool);
    const fs::path archive = work_ / (std::string(maker.tool) + ".zip");
    ASSERT_EQ(test::RunShell("cd " + Quoted(tree) + " && " + maker.command), 0);
    const test::PeerListing expected = test::PythonListing(archive, work_);
    ASSERT_TRUE(expected.ok);
    std::string lines;
    for (const test::PeerEntry& e : expected.entries) lines += ExpectedLine(e);

    const Listed result = RunList(archive, work_);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, lines);
    ++listed;
  }
  if (listed == 0) GTEST_SKIP() << "no peer to make archives with";
}

TEST_F(CliListPeersTest, FilesThatAreNoArchiveFailWithAMessageAndStayUntouched) {
  std::string noise(4096, '\0');
  uint32_t x = 7;
  for (char& c : noise) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  // No "PK" anywhere, or the local-header scan would find entries in it.
  for (size_t i = 0; i + 1 < noise.size(); ++i)
    if (noise[i] == 'P' && noise[i + 1] == 'K') noise[i] = 'p';
  const std::pair<const char*, std::string> inputs[] = {
      {"random.bin", noise},
      {"notes.txt", "This is a plain text file,\nnot an archive.\n"},
      {"empty.zip", ""},
  };
  for (const auto& [name, bytes] : inputs) {
    SCOPED_TRACE(name);
    const fs::path file = work_ / name;
    test::WriteHostFile(file, bytes);
    const Listed result = RunList(file, work_);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Invalid archive file."), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Native error: 00035"), std::string::npos) << result.err;
    // Listing opens read-only: a failed open must not leave an end record
    // behind in what the user pointed it at.
    EXPECT_EQ(test::ReadHostFile(file), bytes);
  }
}

}  // namespace
}  // namespace km
