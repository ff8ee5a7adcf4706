// Runs the built pelko-cli and checks what a user or a script sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "cli/CliRunner.h"
#include "common/TempDir.h"
#include "zipformat/ZipBuilder.h"

namespace {

using km::test::Args;

struct Result {
  int exitCode = -1;
  std::string out;  // stdout, then stderr
};

Result RunCli(const Args& args) {
  static const km::test::TempDir work;
  const km::test::CliRun r = km::test::RunCli(args, work.Host());
  return {r.exitCode, r.out + r.err};
}

TEST(CliTest, HelpAndVersionSucceedAndBadArgumentsFail) {
  Result help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: pelko-cli"), std::string::npos);

  Result version = RunCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "pelko-cli, KavoMill 3.01 Prism Edition\n");

  Result unknown = RunCli({"--frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.out.find("unknown argument '--frobnicate'"), std::string::npos);

  EXPECT_EQ(RunCli({}).exitCode, 2);

  // A command's own help, wherever an option may stand; not as an option's
  // value or after "--", where it is a password or a mask.
  for (const Args& args :
       {Args{"sync", "--help"}, Args{"list", "-h"},
        Args{"test", "a.zip", "--threads", "2", "--help"}, Args{"extract", "--to", "d", "-h"}}) {
    Result r = RunCli(args);
    EXPECT_EQ(r.exitCode, 0) << args[0];
    EXPECT_TRUE(r.out.starts_with("Usage: pelko-cli " + args[0] + " ")) << r.out;
  }
  Result mask = RunCli({"extract", "missing.zip", "--", "--help"});
  EXPECT_EQ(mask.exitCode, 2);
  EXPECT_EQ(mask.out.find("Usage:"), std::string::npos) << mask.out;
  Result password = RunCli({"test", "missing.zip", "--password", "-h"});
  EXPECT_EQ(password.exitCode, 2);
  EXPECT_EQ(password.out.find("Usage:"), std::string::npos) << password.out;
}

// The options a help text defines: the lines of its option list, which
// start with them ("  --base DIR  ...", "  -h, --help  ...").
std::set<std::string> HelpOptions(const std::string& help) {
  std::set<std::string> found;
  std::istringstream lines(help);
  const std::regex item(R"(^  (-[-A-Za-z0-9]*)(, (-[-A-Za-z0-9]+))?( |$))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, item)) continue;
    found.insert(m[1]);
    if (m[3].matched) found.insert(m[3]);
  }
  return found;
}

// The options the manual page defines, per section (".SS sync", ".SH
// OPTIONS"): the tag lines of its .TP items that start with a dash.
std::map<std::string, std::set<std::string>> ManualOptions(const std::string& page) {
  std::map<std::string, std::set<std::string>> found;
  std::string section;
  bool tag = false;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(".SH ") || line.starts_with(".SS ")) {
      section = line.substr(4);
      continue;
    }
    if (line == ".TP") {
      tag = true;
      continue;
    }
    if (!tag) continue;
    tag = false;
    // Roff's escapes out: "\-" is a dash, "\fB" a font.
    std::string text = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    const std::regex option(R"((?:^|[ ",])(-[-A-Za-z0-9]*))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
      found[section].insert((*it)[1]);
  }
  return found;
}

// The manual page and the help define the same options, command by command,
// so that neither can gain or lose one alone.
TEST(CliTest, TheManualPageAndTheHelpDefineTheSameOptions) {
  const std::filesystem::path pagePath =
      std::filesystem::path(KM_TEST_DATA_DIR) / ".." / ".." / "docs" / "pelko-cli.1";
  std::ifstream in(pagePath, std::ios::binary);
  ASSERT_TRUE(in) << pagePath;
  const std::string page((std::istreambuf_iterator<char>(in)), {});
  std::map<std::string, std::set<std::string>> manual = ManualOptions(page);

  const Result general = RunCli({"--help"});
  EXPECT_EQ(HelpOptions(general.out), manual["OPTIONS"]);
  for (const char* command : {"sync", "list", "test", "extract"}) {
    const Result help = RunCli({command, "--help"});
    ASSERT_EQ(help.exitCode, 0) << command;
    std::set<std::string> options = HelpOptions(help.out);
    // Each command's help names -h, --help; the page says it once.
    EXPECT_EQ(options.erase("-h") + options.erase("--help"), 2u) << command;
    EXPECT_EQ(options, manual[command]) << command;
    EXPECT_NE(page.find(".B pelko-cli " + std::string(command)), std::string::npos) << command;
  }
  EXPECT_FALSE(manual["sync"].empty());
}

TEST(CliTest, ListReportsAnEmptyArchiveAndAMissingOne) {
  const km::test::TempDir scratch;
  const std::filesystem::path empty = scratch.Host() / "empty.zip";
  std::ofstream(empty, std::ios::binary) << std::string("PK\x05\x06", 4) << std::string(18, '\0');

  Result listed = RunCli({"list", km::test::Utf8(empty)});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out, "");

  // The message names the archive as the user typed it, not in the
  // component's Windows view.
  const std::string missing = km::test::Utf8(scratch.Host() / "missing.zip");
  Result result = RunCli({"list", missing});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.out.find("File \"" + missing + "\" not found"), std::string::npos) << result.out;

  EXPECT_EQ(RunCli({"list"}).exitCode, 2);
}

// list prints one line per entry whatever its name holds: control
// characters shown escaped, other names as UTF-8 (code page 866 names, and
// characters outside the basic plane, included), then the sizes, CRC-32,
// time and attributes.
TEST(CliTest, ListPrintsEveryNameOnALineOfItsOwn) {
  const km::test::TempDir scratch;
  km::test::ZipBuilder z;
  for (const char* name :
       {"tab\there.txt", "new\nline", "del\x7f", "\xD0\x9F/\xF0\x9F\x98\x80.txt"}) {
    km::test::ZipEntry e;
    e.name = name;
    e.data = "abc";
    e.flags = 0x0800;
    z.Add(e);
  }
  km::test::ZipEntry oem;
  oem.name = "\x8F\xE0\xA8.txt";
  oem.data = "abc";
  z.Add(oem);
  const std::filesystem::path archive = scratch.Host() / "names.zip";
  std::ofstream(archive, std::ios::binary) << z.Build().bytes;

  const Result listed = RunCli({"list", km::test::Utf8(archive)});
  EXPECT_EQ(listed.exitCode, 0);
  const std::string rest = "\t3\t3\t352441c2\t2025-01-01 12:00:00\t0x20\n";
  EXPECT_EQ(listed.out, "tab\\x09here.txt" + rest + "new\\x0aline" + rest + "del\\x7f" + rest +
                            "\xD0\x9F/\xF0\x9F\x98\x80.txt" + rest +
                            "\xD0\x9F\xD1\x80\xD0\xB8.txt" + rest);
}

// Arguments reach the program as they were given, whatever they hold:
// blanks, quotes, backslashes before a quote or at the end, non-ASCII text.
// The missing archive's message echoes the name back; on Windows a name that
// ends in a backslash names a folder, which is said instead.
TEST(CliTest, ArgumentsArriveUnchanged) {
  const km::test::TempDir scratch;
  for (const char* name : {"two words.zip", "quote\".zip", "slash\\\"quote.zip", "end\\\\",
                           "tab\tin.zip", "Архив 日本.zip", "trailing \\"}) {
    SCOPED_TRACE(name);
    const std::string typed = km::test::Utf8(scratch.Host()) + "/" + name;
    const Result r = RunCli({"list", typed});
    EXPECT_EQ(r.exitCode, 2);
#ifdef _WIN32
    if (typed.ends_with('\\')) {
      EXPECT_NE(r.out.find("File name is blank"), std::string::npos) << r.out;
      continue;
    }
#endif
    EXPECT_NE(r.out.find("File \"" + typed + "\" not found"), std::string::npos) << r.out;
  }
}

}  // namespace
