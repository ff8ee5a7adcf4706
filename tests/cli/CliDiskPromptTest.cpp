// The disk requests of a spanned archive as pelko-cli asks them: on the
// terminal when there is one (driven here through a pseudo-terminal, the
// test swapping the disk before it answers), cancelled with a word on stderr
// when there is none.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CliRunner.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// Runs a command with a pseudo-terminal as stdin and stderr, stdout into a
// file. At each "Press Enter" prompt it takes the next step: removes and
// copies files (the disk swap), then types the step's answer or sends the
// step's signal. The terminal's
// transcript goes to a file; the exit code is the command's (99: it hung).
constexpr const char* kDriver = R"PY(
import json, os, pty, select, shutil, subprocess, sys, time
steps = json.load(open(sys.argv[1]))
transcript, out = sys.argv[2], sys.argv[3]
master, slave = pty.openpty()
child = subprocess.Popen(sys.argv[4:], stdin=slave, stderr=slave,
                         stdout=open(out, "wb"), close_fds=True)
os.close(slave)
seen = b""
def read_more(timeout):
    global seen
    r, _, _ = select.select([master], [], [], timeout)
    if not r:
        return True
    try:
        chunk = os.read(master, 4096)
    except OSError:
        return False
    seen += chunk
    return bool(chunk)
answered = 0
deadline = time.time() + 60
while time.time() < deadline:
    if seen.count(b"Press Enter") > answered and answered < len(steps):
        step = steps[answered]
        for name in step.get("remove", []):
            os.remove(name)
        for src, dst in step.get("copy", []):
            shutil.copyfile(src, dst)
        if "signal" in step:
            os.kill(child.pid, step["signal"])
        else:
            os.write(master, step["answer"].encode())
        answered += 1
        continue
    if not read_more(0.2) or (child.poll() is not None and not select.select([master], [], [], 0)[0]):
        break
open(transcript, "wb").write(seen)
try:
    sys.exit(child.wait(timeout=10))
except subprocess.TimeoutExpired:
    child.kill()
    sys.exit(99)
)PY";

class CliDiskPrompt : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::HasTool("python3") || !test::HasTool("zip")) {
      if (test::OnCi()) FAIL() << "python3 and zip are missing (scripts/deps.sh installs them)";
      GTEST_SKIP() << "python3 drives the terminal, Info-ZIP zip makes the spanned set";
    }
    work_ = dir_.Host(u"");
    const fs::path src = work_ / "src";
    fs::create_directories(src);
    test::WriteHostFile(src / "a.bin", test::Incompressible(100000, 1));
    test::WriteHostFile(src / "b.bin", test::Incompressible(60000, 2));
    test::WriteHostFile(src / "c.txt", "hi\n");
    // Three volumes of 64 KiB: set.z01, set.z02 and set.zip, whose central
    // directory lies on the last. Each is one disk; the drive holds the last.
    ASSERT_EQ(test::RunShell("cd " + test::Quoted(src) + " && zip -q -s 64k " +
                             test::Quoted(work_ / "set.zip") + " a.bin b.bin c.txt"),
              0);
    drive_ = work_ / "drive";
    fs::create_directories(drive_);
    fs::copy_file(work_ / "set.zip", Disk());
    test::WriteHostFile(work_ / "driver.py", kDriver);
  }

  fs::path Disk() const { return drive_ / "set.zip"; }
  // A step that swaps the disk with the given volume in, then answers.
  std::string Swap(const std::string& volume, const std::string& answer = "\\n") const {
    return R"({"answer": ")" + answer + R"(", "copy": [[")" + (work_ / volume).string() +
           R"(", ")" + Disk().string() + R"("]]})";
  }
  // Runs "pelko-cli test" on the disk in the drive with the steps (a JSON
  // list) taken at the prompts; the transcript of the terminal in term.
  int RunTest(const std::string& steps, std::string& term, std::string& out) {
    test::WriteHostFile(work_ / "steps.json", steps);
    const int status = test::RunShell(
        "python3 " + test::Quoted(work_ / "driver.py") + " " + test::Quoted(work_ / "steps.json") +
        " " + test::Quoted(work_ / "term.txt") + " " + test::Quoted(work_ / "out.txt") + " " +
        test::Quoted(fs::path(KM_BIN_DIR) / "pelko-cli") + " test " + test::Quoted(Disk()));
    term = Text(test::ReadHostFile(work_ / "term.txt"));
    out = test::ReadHostFile(work_ / "out.txt");
    return status;
  }

  // The terminal's text without the progress line, which must be off the
  // screen whenever something else is written.
  static std::string Text(const std::string& term) {
    const test::ProgressTranscript split = test::SplitProgress(term);
    EXPECT_EQ(split.problem, "") << term;
    return split.text;
  }

  test::TempDir dir_;
  fs::path work_;
  fs::path drive_;
};

// Disk after disk as each is asked for; the last one is first forgotten.
TEST_F(CliDiskPrompt, DisksAreSwappedAtTheTerminal) {
  const std::string steps = "[" + Swap("set.z01") + "," + Swap("set.z02") +
                            // Enter with the drive empty: asked again, by name.
                            R"(,{"answer": "\n", "remove": [")" + Disk().string() + R"("]},)" +
                            Swap("set.zip") + "]";
  std::string term, out;
  EXPECT_EQ(RunTest(steps, term, out), 0) << term;
  EXPECT_EQ(out, "3 entries tested, 0 failed\n") << term;
  const std::string prompt = "\r\nPress Enter to go on, or q and Enter to cancel: \r\n";
  EXPECT_EQ(term, "pelko-cli: Please insert the first disk" + prompt +
                      "pelko-cli: Please insert disk #2" + prompt +
                      "pelko-cli: Please insert the last disk" + prompt + "pelko-cli: File '" +
                      Disk().string() +
                      "' not found on inserted disk. Please insert last disk with required "
                      "file" +
                      prompt);
}

// q cancels the request, whatever blanks or case it is typed with, and
// with it the run: no other disk is asked for, and no counts read as a
// verdict on the set. Any other answer asks again.
TEST_F(CliDiskPrompt, QCancelsTheRun) {
  std::string term, out;
  EXPECT_EQ(RunTest(R"([{"answer": "x\n"}, {"answer": " Q \n"}, {"answer": "q\n"}])", term, out), 2)
      << term;
  EXPECT_EQ(out, "") << term;
  const std::string prompt = "Press Enter to go on, or q and Enter to cancel: ";
  EXPECT_NE(term.find(prompt + "x\r\n" + prompt + " Q \r\n"), std::string::npos) << term;
  EXPECT_EQ(term.find(prompt, term.find(" Q \r\n")), std::string::npos) << "asked again: " << term;
  EXPECT_NE(term.find("pelko-cli: a disk request was cancelled; the test was stopped\r\n"),
            std::string::npos)
      << term;
  EXPECT_EQ(test::ReadHostFile(Disk()), test::ReadHostFile(work_ / "set.zip"));

  // Extracting stops the same way, and writes nothing.
  const fs::path to = work_ / "restored";
  test::WriteHostFile(work_ / "steps.json", R"([{"answer": "q\n"}, {"answer": "q\n"}])");
  const int status = test::RunShell(
      "python3 " + test::Quoted(work_ / "driver.py") + " " + test::Quoted(work_ / "steps.json") +
      " " + test::Quoted(work_ / "term.txt") + " " + test::Quoted(work_ / "out.txt") + " " +
      test::Quoted(fs::path(KM_BIN_DIR) / "pelko-cli") + " extract " + test::Quoted(Disk()) +
      " --to " + test::Quoted(to));
  term = Text(test::ReadHostFile(work_ / "term.txt"));
  EXPECT_EQ(status, 2) << term;
  EXPECT_EQ(test::ReadHostFile(work_ / "out.txt"), "") << term;
  EXPECT_NE(term.find("a disk request was cancelled; the extraction was stopped"),
            std::string::npos)
      << term;
  EXPECT_EQ(term.find(prompt, term.find(prompt) + 1), std::string::npos) << term;
  EXPECT_TRUE(!fs::exists(to) || fs::is_empty(to));
}

// End of input on the terminal (Ctrl+D) answers nothing: cancelled, and the
// run ends there.
TEST_F(CliDiskPrompt, EndOfInputCancels) {
  std::string term, out;
  EXPECT_EQ(RunTest(R"([{"answer": "\u0004"}, {"answer": "\u0004"}])", term, out), 2) << term;
  EXPECT_NE(term.find("pelko-cli: no answer, cancelled\r\n"), std::string::npos) << term;
  EXPECT_EQ(term.find("Press Enter", term.find("Press Enter") + 1), std::string::npos) << term;
  EXPECT_EQ(out, "") << term;
}

// Ctrl+C (or any stop signal) while a disk is asked for ends the wait and
// the run.
TEST_F(CliDiskPrompt, StopSignalEndsTheWait) {
  std::string term, out;
  EXPECT_EQ(RunTest(R"([{"signal": 2}])", term, out), 2) << term;
  EXPECT_EQ(term.find("Press Enter", term.find("Press Enter") + 1), std::string::npos) << term;
}

// With no terminal nobody can swap the disk: cancelled at once, said once,
// and the run ends. Answers read from a file are no person's and change nothing.
// The spanned set is pelko-cli's own (on every host) and, where Info-ZIP
// is at hand, zip's as well; the drive holds its last volume alone.
TEST(CliDiskPromptNoTerminal, Cancels) {
  test::TempDir dir;
  const fs::path work = dir.Host(u"");
  const fs::path tree = work / "src";
  fs::create_directories(tree);
  test::WriteHostFile(tree / "a.bin", test::Incompressible(100000, 1));
  test::WriteHostFile(tree / "b.bin", test::Incompressible(60000, 2));
  test::WriteHostFile(tree / "c.txt", "hi\n");
  std::vector<fs::path> sets;
  const fs::path own = work / "own" / "set.zip";
  fs::create_directories(own.parent_path());
  const test::CliRun made = test::RunCli(
      {"sync", "--base", test::Utf8(tree), "--archive", test::Utf8(own), "--volume-size", "64k"},
      work);
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_TRUE(fs::exists(work / "own" / "set.z02")) << "not a set of three volumes";
  sets.push_back(own);
  if (test::HasTool("zip")) {
    const fs::path zipped = work / "zip" / "set.zip";
    fs::create_directories(zipped.parent_path());
    ASSERT_EQ(test::RunShell("cd " + test::Quoted(tree) + " && zip -q -s 64k " +
                             test::Quoted(zipped) + " a.bin b.bin c.txt"),
              0);
    sets.push_back(zipped);
  } else if (test::OnCi()) {
    FAIL() << "zip is missing (scripts/deps.sh installs it)";
  }

  for (const fs::path& set : sets) {
    const fs::path drive = work / "drive";
    fs::remove_all(drive);
    fs::create_directories(drive);
    const fs::path disk = drive / "set.zip";
    fs::copy_file(set, disk);
    for (const std::optional<std::string>& input : {std::optional<std::string>(), {"\n\n\n"}}) {
      SCOPED_TRACE(test::Utf8(set) + (input ? ", answers from a file" : ", no input"));
      const test::CliRun r = test::RunCli({"test", test::Utf8(disk)}, work, {.input = input});
      EXPECT_EQ(r.exitCode, 2) << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.errLines, (std::vector<std::string>{"pelko-cli: Please insert the first disk: "
                                                      "no terminal to answer, cancelled",
                                                      "pelko-cli: a disk request was cancelled; "
                                                      "the test was stopped"}));
    }
  }
}

}  // namespace
}  // namespace km
