// Runs the built pelko-cli as a script would: stdout captured, stderr kept
// apart and split into lines, the exit code.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"

namespace km::test {

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::vector<std::string> errLines;
  std::string err;
};

// stdin is /dev/null unless a prefix (a pipe feeding it, say) is given: no
// test may wait for a person. stderr goes through a file in work.
inline CliRun RunCli(const std::string& args, const std::filesystem::path& work,
                     const std::string& prefix = "") {
  const std::filesystem::path errFile = work / "stderr.txt";
  const std::string command = prefix + Quoted(std::filesystem::path(KM_BIN_DIR) / "pelko-cli") +
                              " " + args + " 2> " + Quoted(errFile) +
                              (prefix.empty() ? " < /dev/null" : "");
  CliRun r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  std::array<char, 65536> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) r.out.append(buf.data(), n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadHostFile(errFile);
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) r.errLines.push_back(line);
  return r;
}

}  // namespace km::test
