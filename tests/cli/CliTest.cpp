// Runs the built pelko-cli and checks what a user or a script sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
