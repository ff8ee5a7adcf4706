// `pelko-cli test` and `pelko-cli extract` as a user or a script meets them:
// archives of other ZIP tools restored byte for byte with their times, each
// failing entry named on its own line, hostile names kept inside the target,
// and exit codes 0 / 1 / 2.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerExtractCheck.h"
#include "cli/CliRunner.h"
#include "common/InputArchives.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::Quoted;

using test::Args;
using test::CliRun;
using test::RunCli;
using test::Utf8;

// The arguments of a, then those of b.
Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliTestExtractTest : public testing::Test {
 protected:
  void SetUp() override { work_ = dir_.Host(u""); }
  // A copy in the scratch folder of an archive in tests/data/inputs. The
  // small-*.zip ones are Info-ZIP's of a small tree of stored and deflated
  // files: a.txt ("alpha\n"), sub/, sub/big.txt (5000 lines "line N") and
  // sub/z.txt ("zulu\n").
  fs::path Input(const std::string& name) { return test::CopyInputArchive(name, work_ / name); }
  test::TempDir dir_;
  fs::path work_;
};

// ---- Peers

class CliPeerTest : public test::PeerTreeSuite {};

TEST_P(CliPeerTest, TestPassesAndExtractReproducesTheTreeWithItsTimes) {
  ASSERT_TRUE(dir_);
  const fs::path work = dir_->Host(u"");
  const test::PeerMaker peer = test::PeerMakers()[GetParam()];
  if (!test::HasTool(peer.tool)) GTEST_SKIP() << peer.tool << " is not installed";
  if (!test::HasTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const fs::path archive = work / (std::string(peer.label) + ".zip");
  ASSERT_EQ(test::MakePeerArchive(peer, dir_->Host(u"tree"), archive), 0) << peer.label;
  const fs::path reference = work / (std::string(peer.label) + "-ref");
  ASSERT_EQ(test::MakeReferenceTree(archive, reference, work, peer.password), 0);

  const Args password = peer.password ? Args{"--password", peer.password} : Args{};
  const CliRun tested = RunCli(Args{"test", Utf8(archive)} + password, work);
  EXPECT_EQ(tested.exitCode, 0) << tested.err;
  EXPECT_TRUE(tested.err.empty()) << tested.err;
  EXPECT_TRUE(Contains(tested.out, " entries tested, 0 failed")) << tested.out;

  const fs::path out = work / (std::string(peer.label) + "-out");
  const CliRun extracted =
      RunCli(Args{"extract", Utf8(archive), "--to", Utf8(out)} + password, work);
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_TRUE(extracted.err.empty()) << extracted.err;
  EXPECT_EQ(test::CompareTrees(reference, out), "");
  EXPECT_EQ(test::CompareTimes(dir_->Host(u"tree"), out), "");

  // Once more over the files now there: each is replaced, none doubled.
  std::ofstream(out / "small.txt") << "changed since";
  const CliRun again = RunCli(Args{"extract", Utf8(archive), "--to", Utf8(out)} + password, work);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(test::CompareTrees(reference, out), "");
}

INSTANTIATE_TEST_SUITE_P(Peers, CliPeerTest, testing::Range(size_t(0), test::PeerMakers().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return std::string(test::PeerMakers()[info.param].label);
                         });

// ---- Failing entries are named, one line each

TEST_F(CliTestExtractTest, DamagedEntryIsTheOnlyOneNamed) {
  // One byte flipped in the middle of sub/big.txt's deflated data.
  const fs::path archive = Input("small-damaged.zip");
  const CliRun tested = RunCli({"test", Utf8(archive)}, work_);
  EXPECT_EQ(tested.exitCode, 1);
  ASSERT_EQ(tested.errLines.size(), 1u) << tested.err;
  EXPECT_TRUE(tested.errLines[0].starts_with("pelko-cli: sub/big.txt: ")) << tested.err;
  EXPECT_TRUE(Contains(tested.out, "4 entries tested, 1 failed")) << tested.out;

  // Extracting gives the good entries and leaves no trace of the bad one.
  const fs::path out = work_ / "damaged-out";
  const CliRun extracted = RunCli({"extract", Utf8(archive), "--to", Utf8(out)}, work_);
  EXPECT_EQ(extracted.exitCode, 1);
  ASSERT_EQ(extracted.errLines.size(), 1u) << extracted.err;
  EXPECT_TRUE(extracted.errLines[0].starts_with("pelko-cli: sub/big.txt: "));
  EXPECT_EQ(test::TreeListing(out), (std::set<std::string>{"a.txt", "sub/", "sub/z.txt"}));
  EXPECT_EQ(test::FileBytes(out / "sub" / "z.txt"), "zulu\n");
}

TEST_F(CliTestExtractTest, EntryPointingPastTheEndFailsAloneAndTheRunGoesOn) {
  // sub/big.txt's local header offset moved far beyond the file: reading it
  // fails as a stream error, not as bad data, and sub/z.txt comes after it.
  const fs::path archive = Input("small-badoffset.zip");
  const CliRun tested = RunCli({"test", Utf8(archive)}, work_);
  EXPECT_EQ(tested.exitCode, 1);
  ASSERT_EQ(tested.errLines.size(), 1u) << tested.err;
  EXPECT_TRUE(tested.errLines[0].starts_with("pelko-cli: sub/big.txt: ")) << tested.err;
  EXPECT_TRUE(Contains(tested.out, "4 entries tested, 1 failed")) << tested.out;

  const fs::path out = work_ / "badoffset-out";
  const CliRun extracted = RunCli({"extract", Utf8(archive), "--to", Utf8(out)}, work_);
  EXPECT_EQ(extracted.exitCode, 1);
  EXPECT_EQ(extracted.errLines.size(), 1u) << extracted.err;
  EXPECT_EQ(test::FileBytes(out / "sub" / "z.txt"), "zulu\n");
  EXPECT_FALSE(fs::exists(out / "sub" / "big.txt"));
}

TEST_F(CliTestExtractTest, Deflate64EntryIsReportedUnsupportedAndTheOthersPass) {
  // 7-Zip's: big.txt in Deflate64, small.txt stored.
  const fs::path archive = Input("deflate64.zip");
  const CliRun tested = RunCli({"test", Utf8(archive)}, work_);
  EXPECT_EQ(tested.exitCode, 1);
  ASSERT_EQ(tested.errLines.size(), 1u) << tested.err;
  EXPECT_TRUE(tested.errLines[0].starts_with("pelko-cli: big.txt: ")) << tested.err;
  EXPECT_TRUE(Contains(tested.errLines[0], "Deflate64")) << tested.err;
  EXPECT_TRUE(Contains(tested.out, "2 entries tested, 1 failed")) << tested.out;
}

// ---- Hostile names

TEST_F(CliTestExtractTest, HostileNamesAreRefusedAndNothingLandsOutsideTheTarget) {
  const fs::path parent = work_ / "hostile";
  const fs::path out = parent / "out";
  fs::create_directories(out);
  // Names that go up, up with a backslash, up through a folder, to a drive,
  // and to an absolute path: a real place, watched.
  const fs::path archive = Input("hostile.zip");
  const std::string absolute = "/tmp/km-hostile-abs.txt";
  const fs::path watched = work_.root_path() / "tmp" / "km-hostile-abs.txt";
  ASSERT_FALSE(fs::exists(watched)) << watched << " is left from an earlier run";
  const std::set<std::string> before = test::TreeListing(parent);

  const CliRun extracted = RunCli({"extract", Utf8(archive), "--to", Utf8(out)}, work_);
  EXPECT_EQ(extracted.exitCode, 1);
  EXPECT_EQ(test::FileBytes(out / "ok.txt"), "written from ok.txt");
  std::set<std::string> after = test::TreeListing(parent);
  after.erase("out/ok.txt");
  EXPECT_EQ(after, before);
  EXPECT_FALSE(fs::exists(watched));
  // Every refused name on a line of its own, the target shown as typed.
  ASSERT_EQ(extracted.errLines.size(), 5u) << extracted.err;
  for (const std::string& name : std::vector<std::string>{
           "../evil.txt", "C:/x.txt", "a/../../b.txt", "../back.txt", absolute}) {
    EXPECT_TRUE(Contains(extracted.err, "pelko-cli: " + name + ": ")) << name;
  }
  EXPECT_TRUE(Contains(extracted.err, "\"" + out.string() + "/../evil.txt\"")) << extracted.err;
  EXPECT_FALSE(Contains(extracted.err, "Z:\\")) << extracted.err;
}

// ---- Files that cannot be written

// Under CI a missing tool or privilege fails the test; elsewhere it skips.
#define REQUIRE_OR_SKIP(ok, why)         \
  do {                                   \
    if (!(ok)) {                         \
      if (test::OnCi()) FAIL() << (why); \
      GTEST_SKIP() << (why);             \
    }                                    \
  } while (false)

// A restore to a disk that fills up: what fits is written whole, each entry
// that does not is named with the reason and leaves no part of itself, an
// old file of its name stays as it was, later entries are still tried, and
// the summary counts only what was written.
TEST_F(CliTestExtractTest, RestoreToAFullDiskNamesEveryEntryNotWritten) {
#ifdef _WIN32
  GTEST_SKIP() << "a small disk is a tmpfs mounted in a mount namespace of its own";
#else
  REQUIRE_OR_SKIP(geteuid() == 0, "root is needed to mount a file system");
  for (const char* tool : {"unshare", "nsenter", "setpriv", "mount", "python3"})
    REQUIRE_OR_SKIP(test::HasTool(tool), std::string(tool) + " is needed");
  const fs::path disk = work_ / "disk";
  fs::create_directories(disk);
  test::SmallDisk small;
  const std::string problem = small.Mount(disk, 4 << 20, work_);
  REQUIRE_OR_SKIP(problem.empty(), problem);

  // Incompressible entries of 1.5 MiB: two fit on the 4 MiB disk, the third
  // and fourth do not, the small last one does.
  const fs::path archive = work_ / "restore.zip";
  const fs::path expect = work_ / "expect";
  ASSERT_EQ(test::RunPython(R"PY(
import os, random, sys, zipfile
archive, expect = sys.argv[1], sys.argv[2]
os.makedirs(expect, exist_ok=True)
rng = random.Random(7)
with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:
    for name, size in [('one.bin', 3 << 19), ('two.bin', 3 << 19), ('three.bin', 3 << 19),
                       ('four.bin', 3 << 19), ('small.txt', 100)]:
        data = rng.randbytes(size)
        z.writestr(name, data)
        open(os.path.join(expect, name), 'wb').write(data)
)PY",
                            work_, "restore.py", Quoted(archive) + " " + Quoted(expect)),
            0);
  test::WriteHostFile(small.Seen(disk / "three.bin"), "OLD");

  std::vector<std::string> args = small.Prefix();
  for (const std::string& arg :
       {(fs::path(KM_BIN_DIR) / "pelko-cli").string(), std::string("extract"), archive.string(),
        std::string("--to"), disk.string()})
    args.push_back(arg);
  const CliRun r = test::Finish(test::Spawn(args, work_ / "full.out", work_ / "full.err"),
                                work_ / "full.out", work_ / "full.err");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, "extracted 3 of 5 entries\n");
  ASSERT_EQ(r.errLines.size(), 2u) << r.err;
  for (const std::string name : {"three.bin", "four.bin"})
    EXPECT_TRUE(Contains(r.err, "pelko-cli: " + name + ": cannot write " + (disk / name).string() +
                                    ": not enough free space on the disk that holds " +
                                    disk.string() + "/\n"))
        << r.err;

  // Listed by hand: a canonical path would leave the namespace.
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(small.Seen(disk)))
    left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"one.bin", "small.txt", "three.bin", "two.bin"}));
  for (const std::string name : {"one.bin", "two.bin", "small.txt"})
    EXPECT_TRUE(test::FileBytes(small.Seen(disk / name)) == test::FileBytes(expect / name)) << name;
  EXPECT_EQ(test::FileBytes(small.Seen(disk / "three.bin")), "OLD");
#endif
}

// A folder this user may not write: every file in it fails with the
// system's reason, and the file already there is kept. As an unprivileged
// user, since root writes anywhere.
TEST_F(CliTestExtractTest, AFolderThatMayNotBeWrittenKeepsItsFile) {
#ifdef _WIN32
  GTEST_SKIP() << "the folder is closed to another user through POSIX ownership";
#else
  REQUIRE_OR_SKIP(geteuid() == 0 && test::HasTool("setpriv"),
                  "needs root and setpriv to run as another user");
  const fs::path archive = Input("small.zip");
  // The program is copied in too: the build folder may be closed to nobody.
  fs::copy_file(fs::path(KM_BIN_DIR) / "pelko-cli", work_ / "pelko-cli");
  ASSERT_EQ(test::RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
  const fs::path out = work_ / "locked-out";
  fs::create_directories(out / "sub");
  test::WriteHostFile(out / "a.txt", "OLD");

  const CliRun r = test::RunCliShell("extract " + Quoted(archive) + " --to " + Quoted(out), work_,
                                     "setpriv --reuid=65534 --regid=65534 --clear-groups ");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Contains(r.out, "extracted 1 of 4 entries")) << r.out;  // the folder
  ASSERT_EQ(r.errLines.size(), 3u) << r.err;
  EXPECT_TRUE(Contains(r.err, "pelko-cli: a.txt: cannot write " + (out / "a.txt").string() +
                                  ": Access is denied.\n"))
      << r.err;
  EXPECT_EQ(test::FileBytes(out / "a.txt"), "OLD");
  EXPECT_EQ(test::TreeListing(out), (std::set<std::string>{"a.txt", "sub/"}));
#endif
}

// ---- An entry without a name

// Another tool's archive with an entry of empty name between two good ones:
// the good ones list, test and extract; the nameless one is named by its
// offset; a sync on the archive goes through and leaves it out.
TEST_F(CliTestExtractTest, AnEntryWithAnEmptyNameIsPassedOver) {
  // python's, deflated: a.txt ("alpha\n" x 100), "" and b.txt ("bravo\n" x
  // 100); and the same cut before its central directory, so that the
  // entries are found from the local headers.
  const fs::path archive = Input("nameless.zip");
  const fs::path cut = Input("nameless-cut.zip");
  // The nameless entry's local header is the second one.
  const std::string offset = std::to_string(test::FileBytes(archive).find("PK\x03\x04", 4));
  const std::string note = "pelko-cli: " + Utf8(archive) + ": the entry at offset " + offset +
                           " has an empty name; it was passed over";

  const CliRun listed = RunCli({"list", Utf8(archive)}, work_);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_TRUE(listed.out.starts_with("a.txt\t600\t")) << listed.out;
  EXPECT_TRUE(Contains(listed.out, "\nb.txt\t600\t")) << listed.out;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2);
  EXPECT_EQ(listed.errLines, std::vector<std::string>{note});

  const CliRun scanned = RunCli({"list", Utf8(cut)}, work_);
  EXPECT_EQ(scanned.exitCode, 0) << scanned.err;
  EXPECT_TRUE(scanned.out.starts_with("a.txt\t600\t")) << scanned.out;
  EXPECT_TRUE(Contains(scanned.out, "\nb.txt\t600\t")) << scanned.out;
  EXPECT_TRUE(Contains(scanned.err, Utf8(cut) + ": the entry at offset " + offset +
                                        " has an empty name; it was passed over"))
      << scanned.err;

  const CliRun tested = RunCli({"test", Utf8(archive)}, work_);
  EXPECT_EQ(tested.exitCode, 1);
  EXPECT_EQ(tested.out, "2 entries tested, 0 failed\n");
  EXPECT_EQ(tested.errLines, std::vector<std::string>{note});

  const fs::path out = work_ / "nameless-out";
  const CliRun extracted = RunCli({"extract", Utf8(archive), "--to", Utf8(out)}, work_);
  EXPECT_EQ(extracted.exitCode, 1);
  EXPECT_EQ(extracted.out, "extracted 2 of 2 entries\n");
  EXPECT_EQ(extracted.errLines, std::vector<std::string>{note});
  EXPECT_EQ(test::TreeListing(out), (std::set<std::string>{"a.txt", "b.txt"}));
  std::string bravo;
  for (int i = 0; i < 100; ++i) bravo += "bravo\n";
  EXPECT_EQ(test::FileBytes(out / "b.txt"), bravo);
  // Asked for one entry by name, the run is a success.
  const CliRun one =
      RunCli({"extract", Utf8(archive), "--to", Utf8(work_ / "one"), "a.txt"}, work_);
  EXPECT_EQ(one.exitCode, 0) << one.err;

  // Sync: the foreign entries go (their files are not in the folder), the
  // nameless one with them; the run is no failure, and the result is whole.
  const fs::path tree = work_ / "tree";
  fs::create_directories(tree);
  test::WriteHostFile(tree / "c.txt", "charlie\n");
  const Args sync = {"sync", "--base", Utf8(tree), "--archive", Utf8(archive)};
  const CliRun synced = RunCli(sync, work_);
  EXPECT_EQ(synced.exitCode, 0) << synced.err;
  ASSERT_EQ(synced.errLines.size(), 1u) << synced.err;
  EXPECT_TRUE(synced.errLines[0].starts_with(note)) << synced.err;
  const CliRun relisted = RunCli({"list", Utf8(archive)}, work_);
  EXPECT_EQ(relisted.exitCode, 0) << relisted.err;
  EXPECT_TRUE(relisted.out.starts_with("tree/c.txt\t8\t")) << relisted.out;
  EXPECT_EQ(std::count(relisted.out.begin(), relisted.out.end(), '\n'), 1) << relisted.out;
  EXPECT_EQ(relisted.err, "");
  if (test::HasTool("python3")) {
    EXPECT_EQ(test::RunShell(
                  "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                  "n = z.namelist(); sys.exit(z.testzip() is not None or \"tree/c.txt\" not in n "
                  "or any(x in n for x in [\"\", \"a.txt\", \"b.txt\"]))' " +
                  Quoted(archive)),
              0);
  } else if (test::OnCi()) {
    ADD_FAILURE() << "python3 is missing (scripts/deps.sh installs it)";
  }
  const CliRun again = RunCli(sync, work_);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.err, "");
}

// ---- Not an archive

TEST_F(CliTestExtractTest, FilesThatAreNoArchiveExitWithTwo) {
  const fs::path text = work_ / "notes.txt";
  std::ofstream(text) << "just some text, no archive here\n";
  const fs::path empty = work_ / "empty.zip";
  std::ofstream{empty};
  for (const fs::path& file : {text, empty, work_ / "missing.zip"}) {
    for (const Args& command : {Args{"test"}, Args{"extract", "--to", "out"}}) {
      const CliRun r = RunCli(command + Args{Utf8(file)}, work_, {.dir = work_});
      EXPECT_EQ(r.exitCode, 2) << command[0] << file;
      EXPECT_EQ(r.out, "") << command[0] << file;
      ASSERT_EQ(r.errLines.size(), 1u) << r.err;
      // Named as typed, never in the component's Windows view.
      EXPECT_FALSE(Contains(r.err, "Z:\\")) << r.err;
    }
  }
  EXPECT_TRUE(Contains(RunCli({"test", Utf8(work_ / "missing.zip")}, work_).err,
                       "\"" + Utf8(work_ / "missing.zip") + "\""));
  EXPECT_FALSE(fs::exists(work_ / "out" / "notes.txt"));
}

TEST_F(CliTestExtractTest, ThreadsChangeNothingThatIsSaid) {
  // Sound, damaged, hostile and odd archives: what test says, and its exit
  // status, do not depend on how many threads check the entries.
  for (const char* name : {"small.zip", "small-damaged.zip", "small-badoffset.zip", "deflate64.zip",
                           "descriptors.zip", "extract-bad.zip", "hostile.zip", "nameless.zip",
                           "three-deflated.zip", "zipcrypto-stored.zip"}) {
    const fs::path archive = Input(name);
    const CliRun one = RunCli({"test", Utf8(archive), "--threads", "1"}, work_);
    for (const char* threads : {"2", "5"}) {
      const CliRun more =
          RunCli({"test", Utf8(archive), "--threads=" + std::string(threads)}, work_);
      EXPECT_EQ(more.exitCode, one.exitCode) << name << " with " << threads << " threads";
      EXPECT_EQ(more.out, one.out) << name << " with " << threads << " threads";
      EXPECT_EQ(more.err, one.err) << name << " with " << threads << " threads";
    }
  }
  for (const char* wrong : {"0", "65", "two", ""}) {
    const CliRun r = RunCli({"test", Utf8(Input("small.zip")), "--threads", wrong}, work_);
    EXPECT_EQ(r.exitCode, 2) << wrong;
    EXPECT_TRUE(Contains(r.err, "--threads")) << r.err;
  }
}

TEST_F(CliTestExtractTest, BadArgumentsExitWithTwo) {
  for (const Args& args :
       {Args{"test"}, Args{"extract"}, Args{"test", "a.zip", "b.zip"},
        Args{"test", "a.zip", "--to", "d"}, Args{"extract", "a.zip", "--to"},
        Args{"extract", "a.zip", "--to="}, Args{"test", "a.zip", "--frob"},
        Args{"test", "--password"}, Args{"extract", "a.zip", "--threads", "2"}}) {
    const CliRun r = RunCli(args, work_);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_TRUE(Contains(r.err, "Usage: pelko-cli")) << args.back();
  }
  const CliRun help = RunCli({"--help"}, work_);
  EXPECT_TRUE(Contains(help.out, "test ARCHIVE")) << help.out;
  EXPECT_TRUE(Contains(help.out, "extract ARCHIVE [--to DIR]")) << help.out;
}

// ---- Passwords

TEST_F(CliTestExtractTest, PasswordGivenRightWrongOrNotAtAll) {
  const fs::path plain = Input("small.zip");
  const fs::path archive = Input("small-secret.zip");  // password "open sesame"
  const fs::path reference = work_ / "secret-ref";
  ASSERT_EQ(RunCli({"extract", Utf8(plain), "--to", Utf8(reference)}, work_).exitCode, 0);

  const CliRun right = RunCli({"test", Utf8(archive), "--password", "open sesame"}, work_);
  EXPECT_EQ(right.exitCode, 0) << right.err;
  const fs::path out = work_ / "secret-out";
  const CliRun extracted =
      RunCli({"extract", "--password=open sesame", Utf8(archive), "--to", Utf8(out)}, work_);
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(test::CompareTrees(reference, out), "");

  // Wrong, or missing with nobody at a terminal: every file entry fails on
  // its own line and no file is left behind.
  const fs::path wrongOut = work_ / "wrong-out";
  for (const Args& password : {Args{"--password", "nope"}, Args{}}) {
    const CliRun wrong = RunCli(Args{"test", Utf8(archive)} + password, work_);
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.errLines.size(), 3u) << wrong.err;
    EXPECT_TRUE(Contains(wrong.err, "pelko-cli: sub/big.txt: ")) << wrong.err;
    EXPECT_TRUE(Contains(wrong.err, password.empty() ? "--password" : "wrong password"));
    const CliRun nothing =
        RunCli(Args{"extract", Utf8(archive), "--to", Utf8(wrongOut)} + password, work_);
    EXPECT_EQ(nothing.exitCode, 1);
    for (const std::string& name : test::TreeListing(wrongOut))
      EXPECT_EQ(name.back(), '/') << name << " was written without the password";
  }
}

// A person at a terminal is asked, the answer is not echoed, a wrong answer
// is asked again, and end of input skips the entry.
TEST_F(CliTestExtractTest, PasswordIsAskedOnTheTerminalWithoutEcho) {
#ifdef _WIN32
  GTEST_SKIP() << "the prompt is answered through a POSIX pseudo-terminal";
#else
  if (!test::HasTool("python3")) {
    if (test::OnCi()) FAIL() << "python3 is missing (scripts/deps.sh installs it)";
    GTEST_SKIP() << "python3 is not installed";
  }
  const fs::path archive = Input("small-asked.zip");  // password "s3cr3t-W0rd"
  const fs::path script = work_ / "pty_run.py";
  std::ofstream(script) << R"PY(
import os, pty, signal, sys, select, time
# Runs a command on a pseudo-terminal and answers each password prompt with
# the next of the '|'-separated answers, or with end of input when none is left;
# the answer ^C is a SIGINT instead.
answers = sys.argv[1].split('|') if sys.argv[1] else []
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
out, sent = b'', 0
deadline = time.time() + 30
while time.time() < deadline:
    if not select.select([fd], [], [], 0.2)[0]:
        continue
    try:
        chunk = os.read(fd, 4096)
    except OSError:
        break
    if not chunk:
        break
    out += chunk
    if out.count(b'Enter password') > sent:
        time.sleep(0.2)  # the prompt switches echo off after printing
        if sent < len(answers) and answers[sent] == '^C':
            os.kill(pid, signal.SIGINT)
        else:
            os.write(fd, (answers[sent] + '\n').encode() if sent < len(answers) else b'\x04')
        sent += 1
else:
    os.kill(pid, signal.SIGKILL)
_, status = os.waitpid(pid, 0)
sys.stdout.write(out.decode('utf-8', 'replace'))
sys.exit(os.waitstatus_to_exitcode(status))
)PY";
  auto onTerminal = [&](const std::string& answers, const std::string& command = "test ") {
    return test::RunCliShell(command + Quoted(archive), work_,
                             "python3 " + Quoted(script) + " '" + answers + "' ");
  };
  const CliRun right = onTerminal("s3cr3t-W0rd");
  EXPECT_EQ(right.exitCode, 0) << right.out;
  EXPECT_TRUE(Contains(right.out, "Enter password")) << right.out;
  EXPECT_TRUE(Contains(right.out, "4 entries tested, 0 failed")) << right.out;
  EXPECT_FALSE(Contains(right.out, "s3cr3t")) << "the password was echoed: " << right.out;

  const CliRun retried = onTerminal("guess|s3cr3t-W0rd");
  EXPECT_EQ(retried.exitCode, 0) << retried.out;
  EXPECT_TRUE(Contains(retried.out, "wrong password")) << retried.out;

  const CliRun skipped = onTerminal("");
  EXPECT_EQ(skipped.exitCode, 1) << skipped.out;
  EXPECT_TRUE(Contains(skipped.out, "4 entries tested, 3 failed")) << skipped.out;

  // Ctrl+C at the prompt stops the run; the entry's temporary file, already
  // made beside its target, goes with it.
  const fs::path dest = work_ / "asked-out";
  const CliRun interrupted = onTerminal("^C", "extract --to " + Quoted(dest) + " ");
  EXPECT_EQ(interrupted.exitCode, 2) << interrupted.out;
  EXPECT_TRUE(Contains(interrupted.out, "pelko-cli: interrupted; the extraction was stopped"))
      << interrupted.out;
  EXPECT_FALSE(Contains(interrupted.out, "skipped")) << interrupted.out;
  for (const std::string& name : test::TreeListing(dest))
    EXPECT_TRUE(name.back() == '/') << name << " was left";
#endif
}

// ---- Masks

TEST_F(CliTestExtractTest, MasksSelectEntriesAndAddUp) {
  const fs::path archive = Input("small.zip");
  struct Case {
    Args masks;
    std::set<std::string> expected;
  };
  const Case cases[] = {
      {{"*.txt"}, {"a.txt", "sub/", "sub/big.txt", "sub/z.txt"}},
      {{"sub/z*"}, {"sub/", "sub/z.txt"}},
      {{"a.txt", "sub/b?g.txt"}, {"a.txt", "sub/", "sub/big.txt"}},
      {{"A.TXT"}, {"a.txt"}},  // masks ignore case
  };
  int n = 0;
  for (const Case& c : cases) {
    const fs::path out = work_ / ("masks-out" + std::to_string(n++));
    const CliRun r = RunCli(Args{"extract", Utf8(archive), "--to", Utf8(out)} + c.masks, work_);
    EXPECT_EQ(r.exitCode, 0) << c.masks[0] << r.err;
    EXPECT_EQ(test::TreeListing(out), c.expected) << c.masks[0];
  }
  // A mask that finds nothing is a failure of its own; the others still run.
  const fs::path out = work_ / "masks-none";
  const CliRun r = RunCli({"extract", Utf8(archive), "--to", Utf8(out), "*.doc", "a.txt"}, work_);
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines.size(), 1u) << r.err;
  EXPECT_TRUE(Contains(r.err, "*.doc")) << r.err;
  EXPECT_EQ(test::TreeListing(out), (std::set<std::string>{"a.txt"}));
}

// Without --to the entries land in the current directory.
TEST_F(CliTestExtractTest, ExtractWithoutTargetUsesTheCurrentDirectory) {
  const fs::path archive = Input("small.zip");
  const fs::path here = work_ / "here-out";
  fs::create_directories(here);
  const CliRun r = RunCli({"extract", Utf8(archive), "a.txt"}, work_, {.dir = here});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(test::FileBytes(here / "a.txt"), "alpha\n");
}

// ---- Interrupted

#ifndef _WIN32
// The exit code of a child, once it has ended; -1 when a signal ended it.
int ExitCodeOf(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

// A termination signal, or two, stop extract at the next entry or block:
// exit 2, no "FC" temporary file left beside the targets, and each target
// either as it was or whole. test stops as well and exits 2, never 0.
TEST_F(CliTestExtractTest, InterruptedRunsStopCleanly) {
#ifdef _WIN32
  GTEST_SKIP() << "the run is stopped by POSIX signals; Info-ZIP makes the archive";
#else
  if (!test::HasTool("zip")) {
    if (test::OnCi()) FAIL() << "zip is missing (scripts/deps.sh installs it)";
    GTEST_SKIP() << "zip is not installed";
  }
  // Stored noise: the entries take a while to write out, nothing to inflate.
  const fs::path tree = work_ / "big-tree";
  fs::create_directories(tree);
  constexpr int kEntries = 4;
  std::vector<std::string> contents;
  for (int i = 0; i < kEntries; ++i) {
    std::string bytes(16 << 20, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull * uint64_t(i + 1);
    for (size_t k = 0; k + 8 <= bytes.size(); k += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(&bytes[k], &x, 8);
    }
    test::WriteHostFile(tree / ("big" + std::to_string(i) + ".bin"), bytes);
    contents.push_back(std::move(bytes));
  }
  const fs::path archive = work_ / "big.zip";
  ASSERT_EQ(test::RunShell("cd " + Quoted(tree) + " && zip -q -0 " + Quoted(archive) + " *.bin"),
            0);
  const std::string cli = (fs::path(KM_BIN_DIR) / "pelko-cli").string();
  const fs::path out = work_ / "run.out", err = work_ / "run.err";

  for (const std::vector<int>& signals : {std::vector<int>{SIGINT}, {SIGHUP, SIGINT}}) {
    SCOPED_TRACE(std::string(strsignal(signals.front())) + " x" + std::to_string(signals.size()));
    // Older copies of every target, which must not be lost.
    const fs::path dest = work_ / ("dest" + std::to_string(signals.size()));
    fs::create_directories(dest);
    for (int i = 0; i < kEntries; ++i)
      test::WriteHostFile(dest / ("big" + std::to_string(i) + ".bin"), "old\n");
    const pid_t pid =
        test::Spawn({cli, "extract", archive.string(), "--to", dest.string()}, out, err);
    ASSERT_GT(pid, 0);
    // The first temporary file shows that an entry is being written.
    auto temporaryFile = [&] {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(dest, ec))
        if (entry.path().filename().string().starts_with("FC")) return true;
      return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!temporaryFile() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    for (int signal : signals) {
      kill(pid, signal);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(ExitCodeOf(pid), 2) << test::ReadHostFile(err);
    EXPECT_TRUE(Contains(test::ReadHostFile(err), "pelko-cli: interrupted"))
        << test::ReadHostFile(err);
    int whole = 0;
    for (const auto& entry : fs::directory_iterator(dest)) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.starts_with("FC")) << "temporary file left: " << name;
      if (!name.starts_with("big")) continue;
      const std::string bytes = test::ReadHostFile(entry.path());
      const std::string& wanted = contents[size_t(name[3] - '0')];
      EXPECT_TRUE(bytes == "old\n" || bytes == wanted) << name << " is cut short";
      whole += bytes == wanted;
    }
    EXPECT_LT(whole, kEntries) << "the run was not stopped";
  }

  const pid_t pid = test::Spawn({cli, "test", archive.string()}, out, err);
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 20000 && !test::CatchesSignal(pid, SIGTERM); ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  kill(pid, SIGTERM);
  EXPECT_EQ(ExitCodeOf(pid), 2) << test::ReadHostFile(err);
  EXPECT_TRUE(Contains(test::ReadHostFile(err), "pelko-cli: interrupted"))
      << test::ReadHostFile(err);
#endif
}

}  // namespace
}  // namespace km
