// The progress line of sync, test and extract: how it is laid out in a
// given width, and what a terminal of that width receives (driven here
// through a pseudo-terminal). Nothing of it reaches a pipe.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/CliRunner.h"
#include "cli/ProgressLine.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using cli::FormatProgressLine;
using cli::ProgressFigures;

// The columns a terminal gives the test's names, counted apart from the
// code under test: CJK two, combining accents none, the rest one. -1 for
// malformed UTF-8 or a control character.
int Columns(const std::string& text) {
  int columns = 0;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > text.size()) return -1;
    char32_t c = n == 1 ? lead : lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return -1;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < 0x20 || c == 0x7F) return -1;
    columns += c >= 0x300 && c <= 0x36F ? 0 : c >= 0x3040 && c <= 0x9FFF ? 2 : 1;
    i += n;
  }
  return columns;
}

const std::string kCyrillic = "документы/отчёты/годовой_отчёт_за_две_тысячи_двадцать_пятый_год.pdf";
const std::string kCjk = "数据备份/数据备份文件数据备份文件数据备份文件数据备份文件数据.bin";
const std::string kAccents =
    "cafe\xcc\x81-cafe\xcc\x81-cafe\xcc\x81-cafe\xcc\x81-cafe\xcc\x81-x.txt";

ProgressFigures Figures(double percent, double rate, int64_t left, const std::string& name) {
  ProgressFigures f;
  f.percent = percent;
  f.bytesPerSecond = rate;
  f.bytesLeft = left;
  f.name = name;
  return f;
}

// Whatever the name and the state, the line stays within the terminal,
// short of its last column, in whole characters.
TEST(ProgressLineFormat, NeverWiderThanTheTerminal) {
  const std::string ascii(150, 'a');
  for (const std::string& name : {ascii, kCyrillic, kCjk, "x" + kCjk, kAccents, std::string()}) {
    for (const ProgressFigures& f :
         {Figures(0, 0, 5000000, name), Figures(55.5, 12.3e6, 200000000, name),
          Figures(100, 3e9, 0, name), Figures(42, 0, -1, name)}) {
      for (int width : {4, 8, 12, 20, 21, 33, 40, 41, 50, 80, 81, 200}) {
        const std::string line = FormatProgressLine(f, width);
        SCOPED_TRACE("width " + std::to_string(width) + ": " + line);
        const int columns = Columns(line);
        EXPECT_GE(columns, 0);
        EXPECT_LE(columns, width - 1);
        if (width >= 20) {
          EXPECT_NE(line.find('%'), std::string::npos);
          EXPECT_TRUE(line.ends_with(name) || line.find("...") != line.npos);
        }
      }
    }
  }
}

// A long name keeps its start and, more of it, its end; cut between whole
// characters whatever room is left.
TEST(ProgressLineFormat, LongNamesAreShortenedInTheMiddle) {
  for (const std::string& name : {kCyrillic, kCjk}) {
    for (int width = 30; width <= 90; ++width) {
      const std::string line = FormatProgressLine(Figures(10, 1e6, 1000000, name), width);
      SCOPED_TRACE("width " + std::to_string(width) + ": " + line);
      const std::string shown = line.substr(line.rfind("  ") + 2);
      if (shown == name) continue;
      const size_t dots = shown.find("...");
      ASSERT_NE(dots, std::string::npos);
      const std::string head = shown.substr(0, dots);
      const std::string tail = shown.substr(dots + 3);
      EXPECT_TRUE(name.starts_with(head));
      EXPECT_TRUE(name.ends_with(tail));
      EXPECT_GT(tail.size(), head.size());
      EXPECT_GE(Columns(line), width - 3);  // the room is used, but for a wide character
    }
  }
  // A control character would move the cursor: shown as '?'.
  EXPECT_TRUE(FormatProgressLine(Figures(1, 0, -1, "a\033[2Jb\nc"), 80).ends_with("  a?[2Jb?c"));
}

TEST(ProgressLineFormat, RateAndTimeLeft) {
  const std::string line = FormatProgressLine(Figures(55, 12.3e6, int64_t(42 * 12.3e6), "f"), 80);
  EXPECT_EQ(line, " 55% [==========>         ] 12.3 MB/s  0:42 left  f");
  EXPECT_NE(FormatProgressLine(Figures(5, 1e3, 3723000, "f"), 80).find(" 1.0 kB/s 1:02:03 left"),
            std::string::npos);
  EXPECT_NE(FormatProgressLine(Figures(5, 999, 0, "f"), 80).find("  999 B/s  0:00 left"),
            std::string::npos);
  EXPECT_NE(FormatProgressLine(Figures(5, 250e3, 1, "f"), 80).find("250 kB/s"), std::string::npos);
  // More than a hundred hours says nothing useful.
  EXPECT_NE(FormatProgressLine(Figures(5, 1, 1000000000, "f"), 80).find("  1 B/s --:-- left"),
            std::string::npos);
  // No rate yet: its place kept, the time left unknown.
  EXPECT_EQ(FormatProgressLine(Figures(3, 0, 1000, "f"), 80),
            "  3% [                    ]           --:-- left  f");
  // No byte count at all (a temporary file moved): the share alone.
  EXPECT_EQ(FormatProgressLine(Figures(50, 0, -1, "f"), 80), " 50% [=========>          ]  f");
  // Narrow: the bar shrinks, then the rate and the time left go.
  EXPECT_EQ(FormatProgressLine(Figures(55, 12.3e6, 0, "file.bin"), 40),
            " 55% [====>     ]  0:00  file.bin");
  EXPECT_EQ(FormatProgressLine(Figures(55, 12.3e6, 0, "file.bin"), 20), " 55%  file.bin");
}

TEST(ProgressLineFormat, EndsOfTheRange) {
  EXPECT_TRUE(FormatProgressLine(Figures(0, 0, -1, ""), 80).starts_with("  0% [    "));
  EXPECT_EQ(FormatProgressLine(Figures(100, 0, -1, ""), 80), "100% [====================]");
  // Not done until it is.
  EXPECT_TRUE(FormatProgressLine(Figures(99.99, 0, -1, ""), 80).starts_with(" 99% "));
  EXPECT_TRUE(FormatProgressLine(Figures(150, 0, -1, ""), 80).starts_with("100% "));
  EXPECT_TRUE(FormatProgressLine(Figures(std::nan(""), 0, -1, ""), 80).starts_with("  0% "));
  EXPECT_EQ(FormatProgressLine(Figures(7, 0, -1, ""), 3), "");
}

// Runs a command with a pseudo-terminal of the given width (0: one that does
// not tell) as stderr, stdin
// from the null device and stdout into a file, or to the terminal too when
// the file is "-"; the terminal's transcript goes to a file.
constexpr const char* kDriver = R"PY(
import fcntl, os, pty, select, struct, subprocess, sys, termios
columns, transcript, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
master, slave = pty.openpty()
if columns > 0:
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
child = subprocess.Popen(sys.argv[4:], stdin=subprocess.DEVNULL, stderr=slave,
                         stdout=slave if out == "-" else open(out, "wb"), close_fds=True)
os.close(slave)
seen = b""
while True:
    r, _, _ = select.select([master], [], [], 0.2)
    if r:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    elif child.poll() is not None:
        break
open(transcript, "wb").write(seen)
sys.exit(child.wait(timeout=60))
)PY";

class CliProgressLine : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::HasTool("python3")) {
      if (test::OnCi()) FAIL() << "python3 is missing (scripts/deps.sh installs it)";
      GTEST_SKIP() << "python3 drives the terminal";
    }
    work_ = dir_.Host(u"");
    tree_ = work_ / "tree";
    const fs::path deep = tree_ / "каталог_с_очень_длинным_названием_для_проверки";
    fs::create_directories(deep);
    test::WriteHostFile(tree_ / "a.bin", test::Noise(2 << 20, 1));
    test::WriteHostFile(tree_ / "b.bin", test::Noise(2 << 20, 2));
    test::WriteHostFile(deep / kCjk.substr(kCjk.find('/') + 1), test::Noise(2 << 20, 3));
    test::WriteHostFile(work_ / "driver.py", kDriver);
  }

  // Runs pelko-cli with args (and env before them) on a terminal columns
  // wide, stdout into out.txt or (out "-") on the terminal too; the
  // transcript of the terminal in term.
  int RunOnTerminal(int columns, const std::string& args, std::string& term,
                    const std::string& out = "out.txt", const std::string& env = "") {
    const int status =
        test::RunShell("cd " + test::Quoted(work_) + " && " + env + test::Quoted(test::Python()) +
                       " driver.py " + std::to_string(columns) + " term.txt " + out + " " +
                       test::Quoted(fs::path(KM_BIN_DIR) / "pelko-cli") + " " + args);
    term = test::ReadHostFile(work_ / "term.txt");
    return status;
  }

  // The line was drawn, within the width, and taken off before anything
  // else (text) was written and at the end.
  void ExpectLine(const std::string& term, int columns, const std::string& text = "") {
    const test::ProgressTranscript split = test::SplitProgress(term);
    EXPECT_EQ(split.problem, "");
    EXPECT_EQ(split.text, text);
    ASSERT_FALSE(split.draws.empty());
    EXPECT_NE(split.draws.front().find("% "), std::string::npos) << split.draws.front();
    for (const std::string& line : split.draws) {
      const int shown = Columns(line);
      EXPECT_GE(shown, 0) << line;
      EXPECT_LT(shown, columns) << line;
    }
  }

  test::TempDir dir_;
  fs::path work_;
  fs::path tree_;
};

TEST_F(CliProgressLine, ShownOnATerminalAndNowhereElse) {
  const std::string sync = "sync --base tree --archive a.zip";
  std::string term;
  ASSERT_EQ(RunOnTerminal(50, sync, term), 0) << term;
  ExpectLine(term, 50);
  EXPECT_NE(term.find("% ["), std::string::npos) << "no bar: " << term;
  // Standard output has none of it.
  EXPECT_EQ(test::ReadHostFile(work_ / "out.txt").find_first_of("\r\033"), std::string::npos);
  // With the counts on the same terminal.
  ASSERT_EQ(RunOnTerminal(50, "test a.zip", term, "-"), 0) << term;
  ExpectLine(term, 50, "4 entries tested, 0 failed\r\n");
  ASSERT_EQ(RunOnTerminal(41, "extract a.zip --to out", term, "-"), 0) << term;
  ExpectLine(term, 41, "extracted 4 of 4 entries\r\n");
  // A terminal that does not tell its width: $COLUMNS does.
  ASSERT_EQ(RunOnTerminal(0, "test a.zip", term, "out.txt", "COLUMNS=30 "), 0) << term;
  ExpectLine(term, 30);
  EXPECT_TRUE(test::ReadHostFile(work_ / "out" / "tree" / "a.bin") ==
              test::ReadHostFile(tree_ / "a.bin"));

  // --quiet, or no terminal: not a trace of it.
  test::WriteHostFile(tree_ / "a.bin", test::Noise(2 << 20, 4));
  ASSERT_EQ(RunOnTerminal(50, sync + " --quiet", term), 0) << term;
  EXPECT_EQ(term, "");
  ASSERT_EQ(RunOnTerminal(50, "test --quiet a.zip", term), 0) << term;
  EXPECT_EQ(term, "");
  const test::CliRun piped =
      test::RunCli({"extract", "a.zip", "--to", "again"}, work_, {.dir = work_});
  EXPECT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(piped.err, "");
}

}  // namespace
}  // namespace km
