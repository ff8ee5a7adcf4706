// Runs the built pelko-cli as a script would: stdout captured, stderr kept
// apart and split into lines, the exit code; in the foreground or started in
// the background and waited for later.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "common/Ci.h"

extern char** environ;

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

// Starts args[0] (looked up in PATH) with stdin from /dev/null, stdout and
// stderr into files, and the test's environment with `env` ("NAME=value")
// put over it. -1 when it cannot be started.
inline pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& outFile,
                   const std::filesystem::path& errFile, const std::vector<std::string>& env = {}) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& mine : env)
      replaced |= entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  // The leak checker of a sanitized build cannot work under a tracer, and
  // would fail the run it ends.
  if (std::find(args.begin(), args.end(), "strace") != args.end())
    environment.push_back("ASAN_OPTIONS=detect_leaks=0");
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for a program Spawn started; the exit code is -1 when a signal ended it.
inline CliRun Finish(pid_t pid, const std::filesystem::path& outFile,
                     const std::filesystem::path& errFile) {
  CliRun r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.exitCode = WEXITSTATUS(status);
  r.out = ReadHostFile(outFile);
  r.err = ReadHostFile(errFile);
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) r.errLines.push_back(line);
  return r;
}

// The interpreter itself: a version manager's python3 may be a script that
// costs more than the comparison.
inline const std::string& Python() {
  static const std::string python = [] {
    std::string path;
    if (FILE* pipe = popen("python3 -c 'import sys; print(sys.executable)' 2>/dev/null", "r")) {
      char buf[4096];
      while (fgets(buf, sizeof buf, pipe)) path += buf;
      pclose(pipe);
    }
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path.empty() ? std::string("python3") : path;
  }();
  return python;
}

// Pseudo-random bytes: deflate gains nothing on them, so they take a while.
inline std::string Noise(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    std::memcpy(&bytes[i], &seed, 8);
  }
  return bytes;
}

// A small tmpfs mounted on a folder in a mount namespace of its own, which
// lives as long as a sleeping holder process (that dies with the test
// process): a test that crashes leaves no mount behind. Programs run on it
// behind Prefix(); the test reaches its files through Seen().
class SmallDisk {
 public:
  SmallDisk() = default;
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  ~SmallDisk() {
    if (holder_ <= 0) return;
    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
  }

  // Mounts bytes of tmpfs on dir (which must exist); work holds the
  // holder's output. Empty when mounted, else why it is not.
  std::string Mount(const std::filesystem::path& dir, uintmax_t bytes,
                    const std::filesystem::path& work) {
    const std::filesystem::path err = work / "small-disk.err";
    holder_ = Spawn({"unshare", "--mount", "--propagation", "private", "sh", "-c",
                     "mount -t tmpfs -o size=" + std::to_string(bytes) + " tmpfs \"$1\" && " +
                         "exec setpriv --pdeathsig KILL sleep 600",
                     "sh", dir.string()},
                    work / "small-disk.out", err);
    if (holder_ <= 0) return "unshare cannot be started";
    root_ = "/proc/" + std::to_string(holder_) + "/root";
    for (int tries = 0; tries < 6000; ++tries) {
      std::error_code ec;
      if (std::filesystem::space(Seen(dir), ec).capacity == bytes) return "";
      if (waitpid(holder_, nullptr, WNOHANG) == holder_) {
        holder_ = -1;
        break;
      }
      usleep(5000);
    }
    return "cannot mount a tmpfs in a mount namespace of its own: " + ReadHostFile(err);
  }
  // Runs a program in the namespace: the prefix of its arguments.
  std::vector<std::string> Prefix() const {
    return {"nsenter", "--mount=/proc/" + std::to_string(holder_) + "/ns/mnt", "--"};
  }
  // The namespace's "/", from outside.
  const std::filesystem::path& Root() const { return root_; }
  // A path as the namespace sees it, from outside.
  std::filesystem::path Seen(const std::filesystem::path& path) const {
    return root_ / path.relative_path();
  }

 private:
  pid_t holder_ = -1;
  std::filesystem::path root_ = "/";
};

// Whether the process has its own handler for the signal in place.
inline bool CatchesSignal(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("SigCgt:"))
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

}  // namespace km::test
