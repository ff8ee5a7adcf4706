// Runs the built pelko-cli as a script would: an argument vector, stdin from
// the null device or from given text, stdout and stderr into files (stderr
// split into lines too), extra environment variables, a working folder, and
// the exit code; in the foreground or started in the background and waited
// for later. POSIX spawns the program directly, Windows through
// CreateProcessW with a command line that CommandLineToArgvW splits back
// into the same arguments.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "common/Ci.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace km::test {

using Args = std::vector<std::string>;

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::vector<std::string> errLines;
  std::string err;
};

// A host path as UTF-8 text, the way a user types it on the command line.
inline std::string Utf8(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
#else
  return path.string();
#endif
}

// The program under test. The Windows tests run under Wine, where the
// build's folder has a drive letter of its own: the program lies beside
// the test executable.
inline std::string Cli() {
#ifdef _WIN32
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())));
  return Utf8(std::filesystem::path(self).parent_path() / L"pelko-cli.exe");
#else
  return (std::filesystem::path(KM_BIN_DIR) / "pelko-cli").string();
#endif
}

// What points the program's temporary files at folder.
inline Args TempEnv(const std::filesystem::path& folder) {
#ifdef _WIN32
  return {"TMP=" + Utf8(folder), "TEMP=" + Utf8(folder)};
#else
  return {"TMPDIR=" + folder.string()};
#endif
}

#ifdef _WIN32
// A started program: its process handle (null when it could not start).
using Pid = HANDLE;
inline bool Started(Pid pid) {
  return pid != nullptr;
}

// One argument as CommandLineToArgvW reads it back: quoted when it holds
// blanks or quotes or is empty; backslashes doubled only before a quote.
inline std::wstring QuotedArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    quoted += c;
  }
  quoted.append(2 * slashes, L'\\');
  return quoted + L'"';
}

inline std::wstring Wide(const std::string& utf8) {
  const std::u16string text = platform::Utf8ToWide(utf8);
  return std::wstring(text.begin(), text.end());
}

// The exit code a program ended by Kill reports; Finish gives -1 for it,
// as for a signal on POSIX.
inline constexpr UINT kKilledExitCode = 0xDEAD;
#else
using Pid = pid_t;
inline bool Started(Pid pid) {
  return pid > 0;
}
#endif

// Starts args[0] (looked up in PATH) with stdin from the null device (or
// from the file `in`), stdout and stderr into files, in folder `dir` (or
// the test's own), and the test's environment with `env` ("NAME=value")
// put over it. Not Started() when it cannot be started.
inline Pid Spawn(const Args& args, const std::filesystem::path& outFile,
                 const std::filesystem::path& errFile, const Args& env = {},
                 const std::filesystem::path& dir = {}, const std::filesystem::path& in = {}) {
#ifdef _WIN32
  std::wstring commandLine;
  for (const std::string& a : args)
    commandLine += (commandLine.empty() ? L"" : L" ") + QuotedArgument(Wide(a));
  // The environment block: ours with env put over it, names without case.
  std::vector<std::wstring> environment;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
      const std::wstring entry = e;
      bool replaced = false;
      for (const std::string& mine : env) {
        const std::wstring name = Wide(mine.substr(0, mine.find('=') + 1));
        replaced |= entry.size() >= name.size() &&
                    CompareStringOrdinal(entry.c_str(), int(name.size()), name.c_str(),
                                         int(name.size()), TRUE) == CSTR_EQUAL;
      }
      if (!replaced) environment.push_back(entry);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const std::string& mine : env) environment.push_back(Wide(mine));
  std::wstring envBlock;
  for (const std::wstring& e : environment) envBlock += e + L'\0';
  envBlock += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE input = CreateFileW(in.empty() ? L"NUL" : in.c_str(), GENERIC_READ, share, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE output = CreateFileW(outFile.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE error = CreateFileW(errFile.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const bool ok = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
                  error != INVALID_HANDLE_VALUE &&
                  CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, envBlock.data(),
                                 dir.empty() ? nullptr : dir.c_str(), &startup, &process);
  for (HANDLE h : {input, output, error})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!ok) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
#else
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

  // Files named relative to the test's folder stay so: they open before
  // the change of folder.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
#endif
}

// Ends a started program at once, as SIGKILL does.
inline void Kill(Pid pid) {
#ifdef _WIN32
  TerminateProcess(pid, kKilledExitCode);
#else
  kill(pid, SIGKILL);
#endif
}

// Whether a started program is still running.
inline bool Running(Pid pid) {
#ifdef _WIN32
  return WaitForSingleObject(pid, 0) == WAIT_TIMEOUT;
#else
  return waitpid(pid, nullptr, WNOHANG) == 0;
#endif
}

// Waits for a program Spawn started; the exit code is -1 when a signal
// (or Kill) ended it.
inline CliRun Finish(Pid pid, const std::filesystem::path& outFile,
                     const std::filesystem::path& errFile) {
  CliRun r;
#ifdef _WIN32
  DWORD code = 0;
  if (pid && WaitForSingleObject(pid, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(pid, &code))
    r.exitCode = code == kKilledExitCode ? -1 : int(code);
  if (pid) CloseHandle(pid);
#else
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.exitCode = WEXITSTATUS(status);
#endif
  r.out = ReadHostFile(outFile);
  r.err = ReadHostFile(errFile);
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) r.errLines.push_back(line);
  return r;
}

// How RunCli starts the program besides its arguments.
struct CliOptions {
  std::filesystem::path dir{};         // the working folder; empty: the test's
  Args env{};                          // "NAME=value" put over the environment
  std::optional<std::string> input{};  // stdin; none: the null device
  Args prefix{};                       // a program that runs it: timeout 60, setpriv ...
};

// Runs pelko-cli with args and waits for it. Its stdin is the null device
// unless input is given: no test may wait for a person. The streams go
// through files in work.
inline CliRun RunCli(const Args& args, const std::filesystem::path& work,
                     const CliOptions& options = {}) {
  Args all = options.prefix;
  all.push_back(Cli());
  all.insert(all.end(), args.begin(), args.end());
  std::filesystem::path in;
  if (options.input) WriteHostFile(in = work / "stdin.txt", *options.input);
  return Finish(Spawn(all, work / "stdout.txt", work / "stderr.txt", options.env, options.dir, in),
                work / "stdout.txt", work / "stderr.txt");
}

#ifndef _WIN32
// Through the shell, for the runs that need its pipes: a prefix (a pipe
// feeding stdin, say) goes before the program; stdin is /dev/null without one.
inline CliRun RunCliShell(const std::string& args, const std::filesystem::path& work,
                          const std::string& prefix = "") {
  const std::filesystem::path errFile = work / "stderr.txt";
  const std::string command = prefix + Quoted(Cli()) + " " + args + " 2> " + Quoted(errFile) +
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
#endif

// A terminal's transcript of a run taken apart: each drawing of the
// progress line ("\r", the line, "\033[K"; "\r\033[K" alone clears it) and
// the text around them, as it would read without the line.
struct ProgressTranscript {
  std::vector<std::string> draws;
  std::string text;
  // Not empty when text was written over the line while it was shown, or
  // the line was left shown at the end.
  std::string problem;
};

inline ProgressTranscript SplitProgress(const std::string& term) {
  ProgressTranscript t;
  bool shown = false;
  for (size_t i = 0; i < term.size();) {
    if (term[i] == '\r' && i + 1 < term.size() && term[i + 1] != '\n') {
      const size_t end = term.find("\033[K", i);
      const std::string line = end == std::string::npos ? "" : term.substr(i + 1, end - i - 1);
      if (end != std::string::npos && line.find_first_of("\r\n") == std::string::npos) {
        shown = !line.empty();
        if (shown) t.draws.push_back(line);
        i = end + 3;
        continue;
      }
    }
    if (shown && t.problem.empty())
      t.problem = "text written over the progress line: " + term.substr(i, 60);
    t.text += term[i++];
  }
  if (shown && t.problem.empty()) t.problem = "the progress line was left shown";
  return t;
}

// The interpreter itself: a version manager's python3 may be a script that
// costs more than the comparison.
inline const std::string& Python() {
  static const std::string python = [] {
    std::string path;
#ifndef _WIN32
    if (FILE* pipe = popen("python3 -c 'import sys; print(sys.executable)' 2>/dev/null", "r")) {
      char buf[4096];
      while (fgets(buf, sizeof buf, pipe)) path += buf;
      pclose(pipe);
    }
#endif
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

#ifndef _WIN32
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
#endif

}  // namespace km::test
