// Runs the built pelko-cli and checks what a user or a script sees.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/TempDir.h"

namespace {

struct Result {
  int exitCode = -1;
  std::string out;
};

Result RunCli(const std::string& args) {
  const std::string command = std::string(KM_BIN_DIR) + "/pelko-cli " + args + " 2>&1";
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) r.out.append(buf.data(), n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(CliTest, HelpAndVersionSucceedAndBadArgumentsFail) {
  Result help = RunCli("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: pelko-cli"), std::string::npos);

  Result version = RunCli("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "pelko-cli, KavoMill 3.01 Prism Edition\n");

  Result unknown = RunCli("--frobnicate");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.out.find("unknown argument '--frobnicate'"), std::string::npos);

  EXPECT_EQ(RunCli("").exitCode, 2);
}

TEST(CliTest, ListReportsAnEmptyArchiveAndAMissingOne) {
  const km::test::TempDir scratch;
  const std::string dir = scratch.Host().string();
  const std::string empty = dir + "/empty.zip";
  std::ofstream(empty, std::ios::binary) << std::string("PK\x05\x06", 4) << std::string(18, '\0');

  Result listed = RunCli("list '" + empty + "'");
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out, "");

  // The message names the archive as the user typed it, not in the
  // component's Windows view.
  Result missing = RunCli("list '" + dir + "/missing.zip'");
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.out.find("File \"" + dir + "/missing.zip\" not found"), std::string::npos)
      << missing.out;

  EXPECT_EQ(RunCli("list").exitCode, 2);
}

}  // namespace
