// `pelko-cli sync` end to end: the real program over real trees, and every
// archive it leaves read by Info-ZIP, 7-Zip and python zipfile, which must
// find the tree in it byte for byte. Also what a scheduled run meets: files
// it may not read, the settings file beside the program, a second process on
// the same archive, and Ctrl+C, a hang-up or another termination signal in
// the middle of a run.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <sys/stat.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/Journal.h"
#include "archiver/PeerArchives.h"
#include "cli/CliRunner.h"
#include "common/HeldElsewhere.h"
#include "common/WriteTime.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/HostPath.h"
#include "support/Crc32c.h"
#include "support/ScopeExit.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::HostName;
using test::Noise;
using test::Python;
using test::Quoted;
using test::RunShell;
using test::Spawn;
using test::Utf8;
using test::WriteHostFile;
using Args = std::vector<std::string>;

// A whole file in one read: some archives here are tens of megabytes.
std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(in ? size_t(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), std::streamsize(bytes.size()));
  return bytes;
}

// Compares an archive with the tree it should mirror. Names come from our
// own unicode-name field when present (a CJK name has no 8-bit form); where
// the 8-bit name can hold the name, it must say the same, since other tools
// only read that one. Prints "entry\t<method>\t<name>" per entry and
// "problem\t<text>" per difference.
constexpr const char* kCompareScript = R"PY(
import fnmatch, os, stat, struct, sys, time, zipfile

EXCLUDED = ['*.tmp', '*.~*', '*.dmp', '_istmp*.*', 'chklist.*', '~*.*', '*._mp', '*.gid']

def excluded(name):
    name = name.lower()
    for mask in EXCLUDED:
        if fnmatch.fnmatchcase(name, mask):
            return True
        # "x.*" also takes a name without a dot, as on Windows.
        if mask.endswith('.*') and '.' not in name and fnmatch.fnmatchcase(name, mask[:-2]):
            return True
    return False

def unicode_name(extra):
    i = 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from('<HH', extra, i)
        data = extra[i + 4:i + 4 + size]
        if tag == 0x554E and data[:4] == b'NUCX':
            units = struct.unpack_from('<I', data, 4)[0]
            return data[8:8 + 2 * units].decode('utf-16-le')
        i += 4 + size
    return None

archive, tree = sys.argv[1], sys.argv[2]
absent, content = set(), {}
args = sys.argv[3:]
while args:
    if args[0] == '--absent':
        absent.add(args[1])
        args = args[2:]
    elif args[0] == '--content':
        content[args[1]] = args[2]
        args = args[3:]
    else:
        sys.exit('unknown option ' + args[0])

root = os.path.basename(os.path.normpath(tree))
itself = os.path.realpath(archive)
expected = {}
# Folder links are listed among the folders and, as in the program, not entered.
for folder, dirs, files in os.walk(tree):
    rel = os.path.relpath(folder, tree)
    prefix = '' if rel == '.' else rel + '/'
    for d in dirs:
        expected[root + '/' + prefix + d + '/'] = None
    for f in files:
        path = os.path.join(folder, f)
        if excluded(f) or prefix + f in absent or os.path.realpath(path) == itself:
            continue
        if stat.S_ISREG(os.stat(path).st_mode):
            expected[root + '/' + prefix + f] = path

out, seen = [], set()
def problem(text):
    out.append('problem\t' + text)

with zipfile.ZipFile(archive) as zf:
    for info in zf.infolist():
        raw = info.orig_filename
        if not info.flag_bits & 0x800:
            raw = raw.encode('cp437').decode('cp866')
        name = unicode_name(info.extra) or raw
        try:
            if raw != name and name.encode('cp866'):
                problem('8-bit name %r of %r' % (raw, name))
        except UnicodeEncodeError:
            pass
        out.append('entry\t%d\t%s' % (info.compress_type, name))
        if name in seen:
            problem('twice: ' + name)
            continue
        seen.add(name)
        if name not in expected:
            problem('not in the tree: ' + name)
            continue
        path, rel = expected[name], name[len(root) + 1:]
        if path is None:
            if not info.is_dir():
                problem('not a folder entry: ' + name)
            continue
        data = zf.read(info)
        if rel in content:
            want = open(content[rel], 'rb').read()
        else:
            want = open(path, 'rb').read()
            st = os.stat(path)
            if abs(time.mktime(info.date_time + (0, 0, -1)) - st.st_mtime) > 2:
                problem('time of %s: %s' % (name, info.date_time))
            if bool(info.external_attr & 1) != (not st.st_mode & stat.S_IWUSR):
                problem('read-only bit of ' + name)
        if data != want:
            problem('contents of ' + name)
for name in sorted(set(expected) - seen):
    problem('missing: ' + name)
sys.stdout.buffer.write(''.join(line + '\n' for line in out).encode('utf-8'))
)PY";

#ifdef _WIN32
// Whether mask (with '*' only) matches name.
bool Matches(std::string_view mask, std::string_view name) {
  if (mask.empty()) return name.empty();
  if (mask[0] == '*')
    return Matches(mask.substr(1), name) || (!name.empty() && Matches(mask, name.substr(1)));
  return !name.empty() && mask[0] == name[0] && Matches(mask.substr(1), name.substr(1));
}

// Names no run takes, whatever their case; "x.*" also takes a name without
// a dot, as on Windows.
bool Excluded(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  for (const std::string_view mask :
       {"*.tmp", "*.~*", "*.dmp", "_istmp*.*", "chklist.*", "~*.*", "*._mp", "*.gid"}) {
    if (Matches(mask, name)) return true;
    if (mask.ends_with(".*") && name.find('.') == std::string::npos &&
        Matches(mask.substr(0, mask.size() - 2), name))
      return true;
  }
  return false;
}
#endif

struct PeerCheck {
  std::string problems;                              // empty: every peer agrees with the tree
  std::vector<std::pair<int, std::string>> entries;  // method, name

  int MethodOf(const std::string& name) const {
    for (const auto& [method, entry] : entries)
      if (entry == name) return method;
    return -1;
  }
  bool Has(const std::string& name) const { return MethodOf(name) >= 0; }
};

#ifdef _WIN32
constexpr const char* kProgram = "pelko-cli.exe";
#else
constexpr const char* kProgram = "pelko-cli";
#endif

struct SyncRun : test::CliRun {
  std::string LastLine() const {
    std::string text = out;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }
};

std::string Status(int added, int deleted) {
  return "Добавлено: " + std::to_string(added) + "    Удалено: " + std::to_string(deleted);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

SyncRun Finish(test::Pid pid, const fs::path& outFile, const fs::path& errFile) {
  return {test::Finish(pid, outFile, errFile)};
}

std::string Lines(int count, const std::string& word) {
  std::string text;
  for (int i = 0; i < count; ++i) text += word + " line " + std::to_string(i) + "\n";
  return text;
}

class CliSync : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    if (!test::HasTool("unzip") || !test::HasTool("python3")) {
      if (test::OnCi()) FAIL() << "unzip and python3 are missing (scripts/deps.sh installs them)";
      GTEST_SKIP() << "unzip and python3 are the peers every archive is checked with";
    }
#endif
    work_ = dir_.Host(u"");
    tree_ = work_ / "Project";
    archive_ = work_ / "out.zip";
    fs::create_directories(tree_ / "sub" / "deep");
    fs::create_directories(tree_ / "empty");
    fs::create_directories(tree_ / HostName("日本語"));
    Write("a.txt", "alpha\n");
    Write(".hidden", "hidden\n");
    Write("sub/b.txt", Lines(3000, "bravo"));
    Write("sub/deep/c.txt", "");
    Write("sub/deep/noise.bin", Noise(20000, 7));
    Write("Привет.txt", "privet\n");
    Write("日本語/中文.txt", "zhongwen\n");
    std::ofstream(work_ / "compare.py") << kCompareScript;
  }

  fs::path Path(const std::string& rel) const {
    return tree_ / HostName(rel);
  }
  void Write(const std::string& rel, const std::string& bytes) {
    WriteHostFile(Path(rel), bytes);
  }
  void ShiftTime(const std::string& rel, std::chrono::hours by) {
    fs::last_write_time(Path(rel), fs::last_write_time(Path(rel)) + by);
  }

  std::string Cli() const {
    return test::Cli();
  }
  Args SyncArgs(const fs::path& archive) const {
    return {Cli(), "sync", "--base", Utf8(tree_), "--archive", Utf8(archive)};
  }
  test::Pid Start(const Args& args, const std::string& tag, const Args& env = {}) {
    return test::Spawn(args, work_ / (tag + ".out"), work_ / (tag + ".err"), env);
  }
  SyncRun Finish(test::Pid pid, const std::string& tag) {
    return km::Finish(pid, work_ / (tag + ".out"), work_ / (tag + ".err"));
  }
  SyncRun Run(const Args& args) {
    return Finish(Start(args, "run"), "run");
  }
  SyncRun Sync(const Args& more = {}) {
    Args args = SyncArgs(archive_);
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }

#ifndef _WIN32
  // unzip -t, 7-Zip's test and the byte-for-byte comparison with the tree;
  // `options` go to the comparison (--absent REL, --content REL FILE).
  PeerCheck Check(const fs::path& archive, const fs::path& tree, const Args& options = {}) {
    PeerCheck check;
    const fs::path log = work_ / "peer.log";
    if (RunShell("unzip -tq " + Quoted(archive) + " > " + Quoted(log) + " 2>&1") != 0)
      check.problems += "unzip -t: " + ReadHostFile(log);
    if (!test::HasTool("7zz")) {
      if (test::OnCi()) check.problems += "7zz is missing\n";
    } else if (RunShell("7zz t -bd " + Quoted(archive) + " > " + Quoted(log) + " 2>&1") != 0) {
      check.problems += "7zz t: " + ReadHostFile(log);
    }
    std::string command = "PYTHONUTF8=1 " + Quoted(Python()) + " " + Quoted(work_ / "compare.py") +
                          " " + Quoted(archive) + " " + Quoted(tree);
    for (const std::string& option : options) command += " " + Quoted(option);
    const fs::path listing = work_ / "listing.txt";
    if (RunShell(command + " > " + Quoted(listing) + " 2> " + Quoted(log)) != 0)
      check.problems += "python: " + ReadHostFile(log);
    std::istringstream lines(ReadHostFile(listing));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("problem\t")) {
        check.problems += line.substr(8) + "\n";
      } else if (line.starts_with("entry\t")) {
        const size_t tab = line.find('\t', 6);
        check.entries.emplace_back(std::stoi(line.substr(6, tab - 6)), line.substr(tab + 1));
      }
    }
    return check;
  }
#else
  // No peer runs on Windows: pelko-cli test must pass, our reader gives the
  // entries, and extract must give the tree back, compared as the python
  // script does; `options` as there.
  PeerCheck Check(const fs::path& archive, const fs::path& tree, const Args& options = {}) {
    PeerCheck check;
    const auto problem = [&](const std::string& text) { check.problems += text + "\n"; };
    std::set<std::string> absent;
    std::map<std::string, fs::path> content;
    for (size_t i = 0; i < options.size(); ++i) {
      if (options[i] == "--absent" && i + 1 < options.size()) {
        absent.insert(options[++i]);
      } else if (options[i] == "--content" && i + 2 < options.size()) {
        content[options[i + 1]] = HostName(options[i + 2]);
        i += 2;
      } else {
        ADD_FAILURE() << "unknown option " << options[i];
      }
    }

    const SyncRun tested = Run({Cli(), "test", Utf8(archive)});
    if (tested.exitCode != 0 || !tested.err.empty())
      problem("pelko-cli test: " + tested.out + tested.err);

    // Folders map to nothing, files to their path.
    const std::string root = Utf8(tree.filename());
    std::map<std::string, std::optional<fs::path>> expected;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree)) {
      const std::string rel = Utf8(entry.path().lexically_relative(tree).generic_u8string());
      std::error_code ec;
      if (entry.is_directory())
        expected[root + "/" + rel + "/"] = std::nullopt;
      else if (!Excluded(Utf8(entry.path().filename())) && !absent.contains(rel) &&
               !fs::equivalent(entry.path(), archive, ec))
        expected[root + "/" + rel] = entry.path();
    }

    std::set<std::string> seen;
    try {
      TKavoMill reader;
      reader.SetFileName(ToWindowsView(archive));
      reader.OpenArchive(kOpenModeReadOnly);
      const TKMDirArray& dir = reader.DirManager()->CurrentDir();
      for (int32_t i = 0; i < dir.Count(); ++i) {
        const TDirItem& item = dir.GetItem(i);
        const std::string name = platform::WideToUtf8(item.FileName);
        check.entries.emplace_back(item.Method, name);
        if (!seen.insert(name).second) {
          problem("twice: " + name);
          continue;
        }
        const auto found = expected.find(name);
        if (found == expected.end()) {
          problem("not in the tree: " + name);
          continue;
        }
        if (!found->second) {
          if (!(item.ExternalAttr & 0x10) || !name.ends_with("/"))
            problem("not a folder entry: " + name);
          continue;
        }
        if (content.contains(name.substr(root.size() + 1))) continue;
        struct _stat64 st {};
        _wstat64(found->second->c_str(), &st);
        std::tm local{};
        local.tm_year = (item.ModDate >> 9) + 80;
        local.tm_mon = ((item.ModDate >> 5) & 15) - 1;
        local.tm_mday = item.ModDate & 31;
        local.tm_hour = item.ModTime >> 11;
        local.tm_min = (item.ModTime >> 5) & 63;
        local.tm_sec = (item.ModTime & 31) * 2;
        local.tm_isdst = -1;
        if (std::llabs(int64_t(std::mktime(&local)) - int64_t(st.st_mtime)) > 2)
          problem("time of " + name);
        if (bool(item.ExternalAttr & 1) != !(st.st_mode & _S_IWRITE))
          problem("read-only bit of " + name);
      }
    } catch (const std::exception& e) {
      problem(std::string("our reader: ") + e.what());
    }
    for (const auto& [name, path] : expected)
      if (!seen.contains(name)) problem("missing: " + name);

    const fs::path out = work_ / "check";
    fs::remove_all(out);
    const SyncRun extracted = Run({Cli(), "extract", Utf8(archive), "--to", Utf8(out)});
    if (extracted.exitCode != 0) problem("pelko-cli extract: " + extracted.err);
    for (const auto& [name, path] : expected) {
      const fs::path copy = out / HostName(name);
      if (!path) {
        if (!fs::is_directory(copy)) problem("folder not extracted: " + name);
        continue;
      }
      const auto other = content.find(name.substr(root.size() + 1));
      if (!fs::is_regular_file(copy))
        problem("not extracted: " + name);
      else if (ReadHostFile(copy) != ReadHostFile(other == content.end() ? *path : other->second))
        problem("contents of " + name);
      else if (other == content.end() &&
               std::chrono::abs(fs::last_write_time(copy) - fs::last_write_time(*path)) >
                   std::chrono::seconds(2))
        problem("extracted time of " + name);
    }
    if (fs::exists(out)) {
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(out)) {
        const std::string name = Utf8(entry.path().lexically_relative(out).generic_u8string()) +
                                 (entry.is_directory() ? "/" : "");
        if (name != root + "/" && !expected.contains(name))
          problem("extracted, not in the tree: " + name);
        // Read-only copies would keep the folder from being removed.
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
      }
      fs::remove_all(out);
    }
    return check;
  }
#endif

  // A run that must succeed with these counts and leave the tree in the
  // archive; returns what the peers saw.
  PeerCheck SyncAndCheck(int added, int deleted, const Args& more = {}) {
    const SyncRun r = Sync(more);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.LastLine(), Status(added, deleted)) << r.out;
    EXPECT_EQ(r.err, "");
    PeerCheck check = Check(archive_, tree_);
    EXPECT_EQ(check.problems, "");
    return check;
  }

  test::TempDir dir_;
  fs::path work_;
  fs::path tree_;
  fs::path archive_;
};

TEST_F(CliSync, FollowsTheTreeRunAfterRun) {
  {
    SCOPED_TRACE("made");
    const PeerCheck made = SyncAndCheck(11, 0);
    EXPECT_EQ(made.entries.size(), 11u);
    EXPECT_TRUE(made.Has("Project/.hidden"));
    EXPECT_TRUE(made.Has("Project/empty/"));
    EXPECT_TRUE(made.Has("Project/日本語/中文.txt"));
  }
  {
    // Aged first, so that a rewrite of the same bytes would still show.
    SCOPED_TRACE("nothing changed");
    fs::last_write_time(archive_, fs::last_write_time(archive_) - std::chrono::hours(1));
    const std::string bytes = ReadHostFile(archive_);
    const auto time = fs::last_write_time(archive_);
    SyncAndCheck(0, 0);
    EXPECT_EQ(ReadHostFile(archive_), bytes);
    EXPECT_EQ(fs::last_write_time(archive_), time);
  }
  {
    SCOPED_TRACE("touched");
    ShiftTime("sub/b.txt", std::chrono::hours(1));
    SyncAndCheck(1, 0);
  }
  {
    SCOPED_TRACE("made read-only");
    fs::permissions(Path("a.txt"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    SyncAndCheck(1, 0);
  }
  {
    // The comparison reads the bytes: a change that keeps size and time,
    // which no run looks at, shows there and nowhere else.
    SCOPED_TRACE("added, and changed unseen");
    Write("sub/new.txt", "new\n");
    const struct timespec time = test::WriteTimeOf(Path("sub/deep/noise.bin"));
    Write("sub/deep/noise.bin", Noise(20000, 8));
    ASSERT_TRUE(test::SetWriteTime(Path("sub/deep/noise.bin"), time));
    const PeerCheck check = Check(archive_, tree_);
    EXPECT_TRUE(Contains(check.problems, "contents of Project/sub/deep/noise.bin"))
        << check.problems;
    Write("sub/deep/noise.bin", Noise(20000, 7));
    ASSERT_TRUE(test::SetWriteTime(Path("sub/deep/noise.bin"), time));
    SyncAndCheck(1, 0);
  }
  {
    SCOPED_TRACE("file and folder deleted");
    fs::remove(Path(".hidden"));
    fs::remove_all(Path("sub/deep"));
    SyncAndCheck(0, 4);
  }
  {
    SCOPED_TRACE("renamed");
    fs::rename(Path("Привет.txt"), Path("Пока.txt"));
    const PeerCheck check = SyncAndCheck(1, 1);
    EXPECT_TRUE(check.Has("Project/Пока.txt"));
  }
  {
    SCOPED_TRACE("tested");
    const SyncRun tested = Sync({"--test"});
    EXPECT_EQ(tested.exitCode, 0) << tested.err;
    EXPECT_EQ(tested.LastLine(), Status(0, 0));
  }
}

// Any thread count makes the same entries (a folder's entry takes the time
// of its run, so the listings are compared without folders); a count that is
// no count is refused before anything is touched.
TEST_F(CliSync, ThreadsChangeNothingInTheArchive) {
  Write("big.log", Lines(120000, "several blocks"));
  auto listing = [&](const fs::path& archive) {
    const SyncRun r = Run({Cli(), "list", Utf8(archive)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string files;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.find("/\t") == std::string::npos) files += line + "\n";
    return files;
  };
  std::string first;
  for (const char* threads : {"1", "2", "5"}) {
    SCOPED_TRACE(threads);
    const fs::path archive = work_ / (std::string("t") + threads + ".zip");
    Args args = SyncArgs(archive);
    args.insert(args.end(), {"--threads", threads, "--test"});
    const SyncRun r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string files = listing(archive);
    if (first.empty()) first = files;
    EXPECT_EQ(files, first);
  }
  EXPECT_NE(first.find("Project/big.log\t"), std::string::npos);

  for (const char* bad : {"0", "65", "two", "", "-1"}) {
    SCOPED_TRACE(bad);
    Args args = SyncArgs(archive_);
    args.insert(args.end(), {"--threads", bad});
    const SyncRun r = Run(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "--threads")) << r.err;
    EXPECT_FALSE(fs::exists(archive_));
  }
}

TEST_F(CliSync, MasksLinksAndTheArchiveItself) {
  // Excluded whatever the case.
  for (const char* name : {"X.TMP", "~lock.txt", "a.~bak", "sub/core.Dmp", "_ISTMP1.dat",
                           "ChkList.ms", "f._MP", "help.Gid"})
    Write(name, "scratch\n");
  // Already packed: stored, even though deflate would shrink these.
  Write("data.ZIP", Lines(500, "zip"));
  Write("sub/pack.rar", Lines(500, "rar"));
#ifdef _WIN32
  // FIFOs and links are POSIX's (Wine makes neither).
  const int links = 0;
#else
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  fs::create_directory_symlink(Path("sub"), Path("sub-link"));
  fs::create_directory_symlink(tree_, Path("sub/up"));
  fs::create_symlink(Path("a.txt"), Path("alias.txt"));
  const int links = 3;
#endif

  // The archive sits in the tree it mirrors; the check skips it as the
  // same file.
  archive_ = tree_ / "self.zip";
  const PeerCheck check = SyncAndCheck(13 + links, 0);
  EXPECT_EQ(check.MethodOf("Project/data.ZIP"), 0);
  EXPECT_EQ(check.MethodOf("Project/sub/pack.rar"), 0);
  EXPECT_EQ(check.MethodOf("Project/sub/b.txt"), 8);
  if (links) {
    EXPECT_EQ(check.MethodOf("Project/alias.txt"), 8);
    EXPECT_TRUE(check.Has("Project/sub-link/"));
  }
  EXPECT_FALSE(check.Has("Project/self.zip"));
  EXPECT_FALSE(check.Has("Project/X.TMP"));
  EXPECT_FALSE(check.Has("Project/~lock.txt"));
  EXPECT_FALSE(check.Has("Project/pipe"));
  SyncAndCheck(0, 0);
}

// An archive this user may not write is said to be so, not blamed on
// another program. As an unprivileged user, since root writes anything.
TEST_F(CliSync, AReadOnlyArchiveIsAccessDenied) {
#ifdef _WIN32
  GTEST_SKIP() << "CliRoundTrip.AReadOnlyArchiveIsAccessDenied tests the read-only attribute here";
#else
  if (geteuid() != 0 || !test::HasTool("setpriv")) {
    if (test::OnCi()) FAIL() << "needs root and setpriv to run as another user";
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  SyncAndCheck(11, 0);
  const std::string before = ReadHostFile(archive_);
  Write("new.txt", "new\n");
  fs::copy_file(Cli(), work_ / "pelko-cli");
  ASSERT_EQ(RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
  fs::permissions(archive_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const SyncRun r =
      Run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", Utf8(work_ / "pelko-cli"),
           "sync", "--base", Utf8(tree_), "--archive", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "access denied")) << r.err;
  EXPECT_FALSE(Contains(r.err, "another program")) << r.err;
  EXPECT_EQ(ReadHostFile(archive_), before);
#endif
}

// Reached through a link in the tree, or under a second name for the same
// file, the archive is still itself: it never becomes an entry of its own
// (it was stored whole, and "added" again on every run).
TEST_F(CliSync, TheArchiveUnderAnotherNameIsNeverItsOwnEntry) {
  // Wine makes no symbolic links; a second name is made on both.
#ifndef _WIN32
  fs::create_symlink(archive_, Path("backup-link.zip"));
#endif
  PeerCheck check = SyncAndCheck(11, 0);
  EXPECT_FALSE(check.Has("Project/backup-link.zip"));
  SyncAndCheck(0, 0);

  fs::create_hard_link(archive_, Path("second-name.zip"));
  const SyncRun r = Sync();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.LastLine(), Status(0, 0));
  check = Check(archive_, tree_, {"--absent", "second-name.zip"});
  EXPECT_EQ(check.problems, "");
  EXPECT_FALSE(check.Has("Project/second-name.zip"));
}

// A file the run may not read is named and skipped, the rest committed.
// Root reads any file, so as root the program runs as nobody. On Windows
// another program holds the file and shares no reading.
TEST_F(CliSync, UnreadableFileIsNamedAndSkipped) {
  Args prefix;
  Args sync = SyncArgs(archive_);
#ifdef _WIN32
  test::HeldElsewhere holder;
  const auto lock = [&](const std::string& rel) {
    ASSERT_EQ(holder.Hold(ToWindowsView(Path(rel)), platform::FileAccess::Read,
                          platform::FileShare::DenyRead),
              0);
  };
  const auto unlock = [&](const std::string&) { holder.Release(); };
#else
  const auto lock = [&](const std::string& rel) { fs::permissions(Path(rel), fs::perms::none); };
  const auto unlock = [&](const std::string& rel) {
    fs::permissions(Path(rel), fs::perms::owner_read | fs::perms::others_read);
  };
  if (geteuid() == 0) {
    if (!test::HasTool("setpriv")) GTEST_SKIP() << "setpriv is needed to drop root";
    // The program is copied in too: the build folder may be closed to nobody.
    fs::copy_file(Cli(), work_ / "pelko-cli");
    ASSERT_EQ(RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
    sync[0] = Utf8(work_ / "pelko-cli");
    prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
#endif
  sync.insert(sync.begin(), prefix.begin(), prefix.end());
  SyncRun r = Run(sync);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Exit 1 and one line, naming the file by its host path, the component's
  // Z:\ view nowhere. The count is what the commit wrote: the file that
  // failed is not among the added.
  auto expectFailureOf = [&](const std::string& rel) {
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.errLines.size(), 1u) << r.err;
    EXPECT_TRUE(r.errLines[0].starts_with("pelko-cli: " + Utf8(Path(rel)) + ": ")) << r.errLines[0];
    EXPECT_FALSE(Contains(r.err, "Z:\\")) << r.err;
    EXPECT_EQ(r.LastLine(), Status(1, 0));
  };

  Write("fresh.txt", "fresh\n");
  Write("locked.txt", "locked\n");
  lock("locked.txt");
  r = Run(sync);
  expectFailureOf("locked.txt");
  EXPECT_EQ(Check(archive_, tree_, {"--absent", "locked.txt"}).problems, "");

  // A replacement that cannot be read keeps the entry it would replace.
  unlock("locked.txt");
  const fs::path old = work_ / "a.old";
  fs::copy_file(Path("a.txt"), old);
  Write("a.txt", "alpha, second edition\n");
  ShiftTime("a.txt", std::chrono::hours(1));
  lock("a.txt");
  r = Run(sync);
  expectFailureOf("a.txt");
  EXPECT_EQ(Check(archive_, tree_, {"--content", "a.txt", Utf8(old)}).problems, "");
}

// The journal lives beside the archive and nowhere else: a folder that will
// not take it refuses the update before anything changes, and a journal the
// user may not play back keeps the half-written archive closed until they
// can. As an unprivileged user, since root writes anywhere.
TEST_F(CliSync, TheJournalNeedsTheArchivesFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a folder closed to this user: a POSIX permission, tested on Linux";
#else
  if (geteuid() != 0 || !test::HasTool("setpriv")) {
    if (test::OnCi()) FAIL() << "needs root and setpriv to run as another user";
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  const fs::path folder = work_ / "backups";
  const fs::path temp = work_ / "tmp";
  fs::create_directories(folder);
  fs::create_directories(temp);
  fs::copy_file(Cli(), work_ / "pelko-cli");
  ASSERT_EQ(RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
  const fs::path archive = folder / "b.zip";
  const fs::path journal = folder / "b.zip-journal";
  auto asNobody = [&](Args args) {
    Args all = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                Utf8(work_ / "pelko-cli")};
    all.insert(all.end(), args.begin(), args.end());
    return Finish(Start(all, "nobody", {"TMPDIR=" + Utf8(temp)}), "nobody");
  };
  const Args sync = {"sync", "--base", Utf8(tree_), "--archive", Utf8(archive)};
  ASSERT_EQ(asNobody(sync).exitCode, 0);
  const std::string good = ReadHostFile(archive);

  Write("new.txt", "new\n");
  fs::permissions(folder, fs::perms::owner_write, fs::perm_options::remove);
  SyncRun r = asNobody(sync);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, Utf8(journal))) << r.err;
  EXPECT_EQ(ReadHostFile(archive), good);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_TRUE(fs::is_empty(temp)) << "the old bytes went to the temporary folder";
  fs::permissions(folder, fs::perms::owner_write, fs::perm_options::add);

  // What a commit killed after cutting the archive at 30 leaves.
  km::TKMJournalHeader header;
  header.OldSize = int64_t(good.size());
  header.CutOffset = 30;
  header.Length = header.OldSize - header.CutOffset;
  header.Checksum = Crc32cUpdate(0xFFFFFFFFu, good.data() + 30, header.Length) ^ 0xFFFFFFFFu;
  uint8_t bytes[kJournalHeaderSize];
  EncodeJournalHeader(header, bytes);
  const std::string saved =
      std::string(reinterpret_cast<char*>(bytes), sizeof bytes) + good.substr(30);
  const std::string cut = good.substr(0, 30) + "half a new entry";
  WriteHostFile(journal, saved);
  WriteHostFile(archive, cut);
  ASSERT_EQ(RunShell("chown 65534:65534 " + Quoted(archive) + " " + Quoted(journal)), 0);
  fs::permissions(archive, fs::perms::owner_write, fs::perm_options::remove);
  for (const Args& args : {Args{"list", Utf8(archive)}, sync}) {
    r = asNobody(args);
    EXPECT_EQ(r.exitCode, 2) << args[0];
    EXPECT_TRUE(Contains(r.err, Utf8(journal))) << r.err;
    EXPECT_EQ(ReadHostFile(journal), saved);
    EXPECT_EQ(ReadHostFile(archive), cut);
  }
  fs::permissions(archive, fs::perms::owner_write, fs::perm_options::add);
  r = asNobody({"list", Utf8(archive)});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "rolled back")) << r.err;
  EXPECT_EQ(ReadHostFile(archive), good);
  EXPECT_FALSE(fs::exists(journal));
#endif
}

// A dry run says what the sync would do, line for line and in the same
// counts, and leaves the archive, its folder and the temporary folder as they
// were; an interrupted update is left for a real run to roll back.
TEST_F(CliSync, ADryRunTellsWhatTheSyncWouldDoAndWritesNothing) {
  const fs::path temp = work_ / "tmp";
  fs::create_directories(temp);
  const auto names = [&] {
    std::set<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(work_))
      if (!entry.path().filename().string().starts_with("run.")) found.insert(Utf8(entry.path()));
    return found;
  };
  const auto dryRun = [&] {
    Args args = SyncArgs(archive_);
    args.push_back("--dry-run");
    return Finish(Start(args, "run", test::TempEnv(temp)), "run");
  };
  const auto lines = [](const std::string& out) {
    std::multiset<std::string> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) found.insert(line);
    return found;
  };
  const auto host = [&](const std::string& rel) { return Utf8(Path(rel).make_preferred()); };

  const std::set<std::string> before = names();
  SyncRun r = dryRun();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // Every file and folder of the tree, and nothing made.
  EXPECT_EQ(lines(r.out).count("+ " + host("sub/deep/noise.bin")), 1u) << r.out;
  const char separator = char(fs::path::preferred_separator);
  EXPECT_EQ(lines(r.out).count("+ " + host("sub/deep") + separator), 1u) << r.out;
  EXPECT_EQ(r.LastLine(), Status(11, 0));
  EXPECT_EQ(names(), before);
  EXPECT_TRUE(fs::is_empty(temp));
  const SyncRun split = Sync({"--dry-run", "--volume-size", "64k"});
  EXPECT_EQ(split.exitCode, 0) << split.err;
  EXPECT_EQ(split.out, r.out);
  EXPECT_EQ(names(), before);
  SyncAndCheck(11, 0);

  Write("new.txt", "new\n");
  Write("sub/b.txt", Lines(3001, "bravo"));
  fs::remove(Path("a.txt"));
  const std::string bytes = ReadHostFile(archive_);
  const auto time = fs::last_write_time(archive_);
  const std::set<std::string> synced = names();
  r = dryRun();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(lines(r.out),
            (std::multiset<std::string>{"+ " + host("new.txt"), "~ " + host("sub/b.txt"),
                                        "- " + host("a.txt"), Status(2, 1)}))
      << r.out;
  EXPECT_EQ(ReadHostFile(archive_), bytes);
  EXPECT_EQ(fs::last_write_time(archive_), time);
  EXPECT_EQ(names(), synced);
  EXPECT_TRUE(fs::is_empty(temp));

  const fs::path journal = work_ / "out.zip-journal";
  WriteHostFile(journal, "the old bytes of an interrupted update");
  r = dryRun();
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "interrupted")) << r.err;
  EXPECT_TRUE(Contains(r.err, Utf8(journal))) << r.err;
  EXPECT_EQ(ReadHostFile(archive_), bytes);
  EXPECT_EQ(ReadHostFile(journal), "the old bytes of an interrupted update");
  fs::remove(journal);

  EXPECT_EQ(Sync({"--dry-run", "--test"}).exitCode, 2);
  SyncAndCheck(2, 1);
}

// Without arguments the program mirrors its own folder into the archive that
// Pelko.ini beside it names.
TEST_F(CliSync, ArchiveNamedBySettingsBesideTheProgram) {
  const fs::path prog = work_ / "Prog";
  fs::create_directories(prog);
  fs::copy_file(HostName(Cli()), prog / kProgram);
  const Args bare = {Utf8(prog / kProgram), "sync"};

  // Relative to the program's folder, not to the current directory; the
  // archive is then in the folder it mirrors.
  WriteHostFile(prog / "Pelko.ini", "[Pelko]\r\nArchiveName=backup.zip\r\n");
  SyncRun r = Run(bare);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.LastLine(), Status(2, 0));
  PeerCheck check = Check(prog / "backup.zip", prog);
  EXPECT_EQ(check.problems, "");
  EXPECT_TRUE(check.Has(std::string("Prog/") + kProgram));
  EXPECT_TRUE(check.Has("Prog/Pelko.ini"));
  EXPECT_FALSE(check.Has("Prog/backup.zip"));

  // A host path, kept in code page 1251 as the settings file is: "Архив".
  fs::remove(prog / "backup.zip");
  WriteHostFile(prog / "Pelko.ini",
                "[Pelko]\r\nArchiveName=" + Utf8(work_) + "/\xC0\xF0\xF5\xE8\xE2.zip\r\n");
  r = Run(bare);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.LastLine(), Status(2, 0));
  EXPECT_EQ(Check(work_ / HostName("Архив.zip"), prog).problems, "");

  fs::remove(prog / "Pelko.ini");
  r = Run(bare);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "Pelko.ini")) << r.err;

  r = Run({Cli(), "sync", "--base", Utf8(work_ / "missing"), "--archive", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, Utf8(work_ / "missing"))) << r.err;
  EXPECT_FALSE(fs::exists(archive_));
}

// Names code page 1251 cannot hold ("ü", CJK) reach the component whole,
// typed or read from Pelko.ini: no "M?ller" folder or archive appears.
TEST_F(CliSync, ArchiveNamesOutsideCodePage1251StayWhole) {
  // Only what the runs should make is in here, to see nothing else appears.
  const fs::path places = work_ / "places";
  const fs::path mueller = places / HostName("Müller");
  const fs::path cjk = places / HostName("資料");
  fs::create_directories(mueller);
  fs::create_directories(cjk);
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(places))
      names.push_back(Utf8(entry.path().lexically_relative(places).generic_u8string()));
    std::sort(names.begin(), names.end());
    return names;
  };

  {
    SCOPED_TRACE("--archive and --base");
    const fs::path base = work_ / HostName("Grüße 日本");
    fs::create_directories(base);
    WriteHostFile(base / "x.txt", "x\n");
    const SyncRun r =
        Run({Cli(), "sync", "--base", Utf8(base), "--archive", Utf8(mueller / "backup.zip")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.LastLine(), Status(1, 0));
    EXPECT_EQ(listing(), (std::vector<std::string>{"Müller", "Müller/backup.zip", "資料"}));
    const PeerCheck check = Check(mueller / "backup.zip", base);
    EXPECT_EQ(check.problems, "");
    EXPECT_TRUE(check.Has("Grüße 日本/x.txt"));
  }

  // Without --archive: the name the window stored for a name 1251 cannot
  // hold, its 1251 form beside it for older copies of the program.
  const fs::path prog = work_ / "Prog";
  fs::create_directories(prog);
  fs::copy_file(HostName(Cli()), prog / kProgram);
  const Args bare = {Utf8(prog / kProgram), "sync"};
  for (const fs::path& archive : {mueller / "settings.zip", cjk / HostName("備份.zip")}) {
    SCOPED_TRACE(Utf8(archive));
    const std::string utf8 = Utf8(archive);
    const std::string ansi = platform::WideToAnsi(platform::Utf8ToWide(utf8));
    ASSERT_NE(ansi.find('?'), std::string::npos);
    WriteHostFile(prog / "Pelko.ini",
                  "[Pelko]\r\nArchiveName=" + ansi + "\r\nArchiveNameUtf8=" + utf8 + "\r\n");
    const SyncRun r = Run(bare);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.LastLine(), Status(2, 0));
    EXPECT_TRUE(fs::is_regular_file(archive));
    EXPECT_EQ(Check(archive, prog).problems, "");
  }
  EXPECT_EQ(listing(), (std::vector<std::string>{"Müller", "Müller/backup.zip",
                                                 "Müller/settings.zip", "資料", "資料/備份.zip"}));
}

// An archive open for update elsewhere is refused and left alone.
TEST_F(CliSync, ArchiveHeldByAnotherProcessIsRefused) {
  SyncAndCheck(11, 0);
  Write("new.txt", "new\n");
  const std::string bytes = ReadHostFile(archive_);

  TKavoMill holder;
  holder.SetFileName(ToWindowsView(archive_));
  holder.OpenArchive();
  holder.BeginUpdate();
  const SyncRun refused = Sync();
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(Contains(refused.err, "00032")) << refused.err;
  EXPECT_EQ(ReadHostFile(archive_), bytes);
  holder.EndUpdate();
  holder.CloseArchive();

  EXPECT_EQ(Check(archive_, tree_, {"--absent", "new.txt"}).problems, "");
  SyncAndCheck(1, 0);
}

// Two runs started together on an archive: one may be refused, never both,
// and whatever happens the archive is whole and mirrors the tree.
TEST_F(CliSync, TwoRunsAtOnce) {
  for (int i = 0; i < 3; ++i) Write("bulk" + std::to_string(i) + ".bin", Noise(1500000, 11 + i));
  Write("sub/long.txt", Lines(60000, "echo"));
  SyncAndCheck(15, 0);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round == 0) {
      // Same sizes: the times must tell the files changed.
      for (int i = 0; i < 3; ++i) {
        const std::string name = "bulk" + std::to_string(i) + ".bin";
        Write(name, Noise(1500000, 21 + i));
        ShiftTime(name, std::chrono::hours(1));
      }
    } else {
      fs::remove(Path("bulk0.bin"));
      Write("bulk3.bin", Noise(1500000, 14));
    }
    const test::Pid first = Start(SyncArgs(archive_), "first");
    const test::Pid second = Start(SyncArgs(archive_), "second");
    const SyncRun runs[] = {Finish(first, "first"), Finish(second, "second")};
    int succeeded = 0;
    for (const SyncRun& r : runs) {
      succeeded += r.exitCode == 0;
      if (r.exitCode == 0) {
        EXPECT_EQ(r.err, "");
      } else {
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(Contains(r.err, "00032")) << r.err;
      }
    }
    EXPECT_GE(succeeded, 1);
    EXPECT_EQ(Check(archive_, tree_).problems, "");
  }
}

#ifndef _WIN32
// Whether the process has not ended yet (it may have ended unreaped).
bool StillRunning(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// Waits until the process has its handler for the signal in place; before
// that a signal just ends the program, before it has touched anything.
void AwaitHandler(pid_t pid, int signal) {
  for (int i = 0; i < 500 && !test::CatchesSignal(pid, signal); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
#endif

// The names in a folder, "FC" temporary files and journals included.
std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(Utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

class CliSyncSignals : public CliSync {
 protected:
  void SetUp() override {
    CliSync::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The archive alone in its folder: whatever a run leaves beside it shows.
    archive_ = work_ / "arch" / "out.zip";
    temp_ = work_ / "tmp";
    fs::create_directories(archive_.parent_path());
    fs::create_directories(temp_);
  }

#ifndef _WIN32
  // Starts a sync (with `more` arguments) with its temporary files in
  // temp_; once its handlers are in place and `wait` has returned, sends
  // `signals`, each next one `gap` after the one before, and waits for the
  // end. missed: the run had ended before the first signal.
  SyncRun SignalledSync(const std::vector<int>& signals, const std::function<void()>& wait,
                        std::chrono::microseconds gap, bool& missed, const Args& more = {}) {
    Args args = SyncArgs(archive_);
    args.insert(args.end(), more.begin(), more.end());
    const pid_t pid = Start(args, "signalled", {"TMPDIR=" + Utf8(temp_)});
    EXPECT_GT(pid, 0);
    if (pid <= 0) return {};
    AwaitHandler(pid, signals.front());
    wait();
    missed = !StillRunning(pid);
    for (size_t i = 0; i < signals.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(gap);
      kill(pid, signals[i]);
    }
    return Finish(pid, "signalled");
  }
#endif

  // What a signalled run must leave: exit 2, and either the archive byte for
  // byte as it was, or the new one, mirroring the tree (compared with
  // `after` when known, else checked with the peers), each time with the
  // run saying which. No temporary file or journal is left. True when the
  // archive is the old one.
  bool ExpectOldOrNew(const SyncRun& r, const std::string& before, const std::string& after,
                      int replaced) {
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_EQ(NamesIn(temp_), std::vector<std::string>{}) << "a temporary file was left";
    EXPECT_EQ(NamesIn(archive_.parent_path()), std::vector<std::string>{"out.zip"});
    const std::string bytes = ReadHostFile(archive_);
    const std::string last = r.errLines.empty() ? "" : r.errLines.back();
    if (bytes == before) {
      EXPECT_EQ(last, "pelko-cli: interrupted; the archive was left as it was") << r.err;
      return true;
    }
    if (after.empty())
      EXPECT_EQ(Check(archive_, tree_).problems, "");
    else
      EXPECT_TRUE(bytes == after) << "neither the old nor the new archive: "
                                  << Check(archive_, tree_).problems;
    EXPECT_TRUE(last.starts_with("pelko-cli: interrupted; the update had already been written"))
        << r.err;
    EXPECT_EQ(r.LastLine(), Status(replaced, 0));
    return false;
  }

  fs::path temp_;
};

// Ctrl+C or SIGTERM while a large file is replaced: the run either stopped
// and rolled back, or the commit had finished. The old entry goes to a
// temporary file first; it must never be left behind.
TEST_F(CliSyncSignals, InterruptLeavesTheArchiveAsItWasOrCommitted) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals";
#else
  Write("sub/large.bin", Noise(32 << 20, 99));
  {
    // Stopped while it makes the archive: none is left, not even an empty one.
    SCOPED_TRACE("new archive");
    bool missed = false;
    const SyncRun r = SignalledSync(
        {SIGINT}, [] {}, {}, missed);
    ASSERT_FALSE(missed);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.err, "pelko-cli: interrupted; the archive was left as it was\n");
    EXPECT_EQ(NamesIn(archive_.parent_path()), std::vector<std::string>{});
    EXPECT_EQ(NamesIn(temp_), std::vector<std::string>{});
  }
  SyncAndCheck(12, 0);
  const std::string before = ReadHostFile(archive_);
  Write("sub/large.bin", Noise(32 << 20, 100));
  ShiftTime("sub/large.bin", std::chrono::hours(1));

  int stopped = 0;
  for (const auto& [delayMs, signal] : {std::pair{0, SIGINT}, {100, SIGTERM}, {400, SIGINT}}) {
    SCOPED_TRACE("after " + std::to_string(delayMs) + " ms, " + strsignal(signal));
    WriteHostFile(archive_, before);
    bool missed = false;
    const SyncRun r = SignalledSync(
        {signal}, [&] { std::this_thread::sleep_for(std::chrono::milliseconds(delayMs)); }, {},
        missed);
    if (missed) continue;
    stopped += ExpectOldOrNew(r, before, "", 1);
  }
  EXPECT_GE(stopped, 1);
#endif
}

// However many termination signals come and wherever in a run they land, the
// run ends with exit 2 and leaves the old archive or the new one, never one
// cut short. A hang-up (the terminal closed) and a second Ctrl+C right after
// the first are the ones that ended the program in the middle of a commit.
TEST_F(CliSyncSignals, SignalsAtRandomPointsLeaveTheOldOrTheNewArchive) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals";
#else
  constexpr int kFiles = 8;
  auto rewrite = [&](uint64_t seed) {
    for (int i = 0; i < kFiles; ++i)
      Write("bulk/f" + std::to_string(i) + ".bin", Noise(1 << 20, seed + i));
  };
  fs::create_directories(Path("bulk"));
  rewrite(300);
  SyncAndCheck(12 + kFiles, 0);
  const std::string before = ReadHostFile(archive_);
  rewrite(400);
  for (int i = 0; i < kFiles; ++i)
    ShiftTime("bulk/f" + std::to_string(i) + ".bin", std::chrono::hours(1));

  // A run left alone: the new archive, and how long a run lasts once its
  // handlers are in place; the signals land within that.
  const pid_t pid = Start(SyncArgs(archive_), "whole");
  ASSERT_GT(pid, 0);
  AwaitHandler(pid, SIGINT);
  const auto started = std::chrono::steady_clock::now();
  const SyncRun whole = Finish(pid, "whole");
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  ASSERT_EQ(whole.LastLine(), Status(kFiles, 0));
  ASSERT_EQ(Check(archive_, tree_).problems, "");
  const std::string after = ReadHostFile(archive_);
  ASSERT_NE(after, before);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed) + ", a run lasts " + std::to_string(runTime.count()) +
               " us");
  std::mt19937 random(seed);
  // Runs vary with the load on the machine: each signal that comes after
  // its run had ended draws the next points from a shorter span.
  int64_t span = runTime.count() * 9 / 10;
  std::uniform_int_distribution<int64_t> gap(1000, 8000);
  struct Round {
    std::vector<int> signals;
    int count;
  };
  int old = 0, missed = 0, rounds = 0;
  for (const Round& round : {Round{{SIGHUP}, 20}, Round{{SIGINT, SIGINT}, 20}, Round{{SIGQUIT}, 1},
                             Round{{SIGTERM}, 1}}) {
    for (int i = 0; i < round.count; ++i) {
      const auto delay = std::chrono::microseconds(
          round.count > 1 ? std::uniform_int_distribution<int64_t>(0, span)(random) : span / 2);
      SCOPED_TRACE(std::string(strsignal(round.signals.front())) + " x" +
                   std::to_string(round.signals.size()) + " after " +
                   std::to_string(delay.count()) + " us");
      WriteHostFile(archive_, before);
      bool late = false;
      const SyncRun r = SignalledSync(
          round.signals, [&] { std::this_thread::sleep_for(delay); },
          std::chrono::microseconds(gap(random)), late);
      ++rounds;
      // A signal that lands after the run's last look at it (while the
      // process exits, which takes long under a sanitizer) finds the work
      // done and said: that run, too, had ended before its signal.
      if (late || (r.exitCode == 0 && r.LastLine() == Status(kFiles, 0) &&
                   ReadHostFile(archive_) == after)) {
        ++missed;
        span = span * 3 / 4;
        continue;
      }
      old += ExpectOldOrNew(r, before, after, kFiles);
    }
  }
  // A run that had ended before its signal says nothing; most must not have.
  EXPECT_LE(missed, rounds / 4);
  EXPECT_GE(old, 1);

  // After the commit's last event, while the new archive is tested: it
  // stays, and the run says that it was written. The commit's journal
  // appears before the rewrite and goes once the new archive stands.
  WriteHostFile(archive_, before);
  auto committed = [&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const fs::path journal = Utf8(archive_) + "-journal";
    while (!fs::exists(journal) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    while (fs::exists(journal) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  };
  bool late = false;
  const SyncRun r = SignalledSync({SIGINT}, committed, {}, late, {"--test"});
  ASSERT_FALSE(late) << "the run was over before the signal";
  EXPECT_FALSE(ExpectOldOrNew(r, before, after, kFiles));
#endif
}

// A run started with hang-ups ignored (nohup) is meant to outlive its
// terminal: a hang-up does not stop it.
TEST_F(CliSyncSignals, HangUpIgnoredFromTheStartStaysIgnored) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals";
#else
  Write("sub/large.bin", Noise(8 << 20, 5));
  Args args = SyncArgs(archive_);
  args.insert(args.begin(), "nohup");
  const pid_t pid = Start(args, "nohup");
  ASSERT_GT(pid, 0);
  AwaitHandler(pid, SIGINT);
  EXPECT_FALSE(test::CatchesSignal(pid, SIGHUP));
  kill(pid, SIGHUP);
  const SyncRun r = Finish(pid, "nohup");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.LastLine(), Status(12, 0));
  EXPECT_EQ(Check(archive_, tree_).problems, "");
#endif
}

// Nobody reading stdout any more (the pipe's reader ended first) does not
// end a run: the status line is lost, the update is made and the exit
// status tells it.
TEST_F(CliSyncSignals, ClosedPipeDoesNotEndTheRun) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals";
#else
  std::string command;
  for (const std::string& arg : SyncArgs(archive_)) command += Quoted(arg) + " ";
  const fs::path code = work_ / "code.txt";
  ASSERT_EQ(RunShell("{ " + command + "2> /dev/null; echo $? > " + Quoted(code) + "; } | true"), 0);
  EXPECT_EQ(ReadHostFile(code), "0\n");
  EXPECT_EQ(Check(archive_, tree_).problems, "");
#endif
}

// --no-flush leaves the flushing to the system: the archive is the same and
// sound, but no fsync is made (seen with strace).
TEST_F(CliSync, NoFlushLeavesTheFlushingToTheSystem) {
  SyncAndCheck(11, 0, {"--no-flush"});
#ifdef _WIN32
  GTEST_SKIP() << "the flushes a run makes are counted with strace, on Linux";
#else
  const bool canTrace =
      test::HasTool("strace") && RunShell("strace -o /dev/null true > /dev/null 2>&1") == 0;
  if (!canTrace) {
    if (test::OnCi()) FAIL() << "strace is missing or may not trace here";
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  auto syncsWhenTraced = [&](const Args& more) {
    const fs::path log = work_ / "strace.log";
    Args args = {"strace",
                 "-f",
                 "-qq",
                 "-o",
                 Utf8(log),
                 "-e",
                 "trace=fsync,fdatasync,sync,syncfs,sync_file_range,msync"};
    const Args sync = SyncArgs(archive_);
    args.insert(args.end(), sync.begin(), sync.end());
    args.insert(args.end(), more.begin(), more.end());
    const SyncRun r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.LastLine(), Status(1, 0));
    EXPECT_EQ(Check(archive_, tree_).problems, "");
    std::istringstream calls(ReadHostFile(log));
    int count = 0;
    for (std::string line; std::getline(calls, line);) count += !line.empty();
    return count;
  };
  Write("one.txt", "one\n");
  EXPECT_EQ(syncsWhenTraced({"--no-flush"}), 0);
  Write("two.txt", "two\n");
  EXPECT_GE(syncsWhenTraced({}), 1);
#endif
}

// Where an entry lies in an archive, as our reader sees it.
struct EntryAt {
  int64_t header = 0;
  int64_t data = 0;
  int64_t compressed = 0;
  int64_t directory = 0;  // where the central directory begins
};

EntryAt Locate(const fs::path& archive, const std::u16string& name) {
  TKavoMill reader;
  reader.SetFileName(ToWindowsView(archive));
  reader.OpenArchive(kOpenModeReadOnly);
  EntryAt at;
  at.directory = reader.DirManager()->CentralDirOffset();
  const TKMDirArray& dir = reader.DirManager()->CurrentDir();
  const int32_t index = dir.FindItem(name);
  EXPECT_GE(index, 0) << "no entry " << platform::WideToUtf8(name);
  if (index < 0) return at;
  const TDirItem& item = dir.GetItem(index);
  at.header = item.LocalHeaderOffset;
  at.compressed = item.CompressedSize;
  const std::string bytes = ReadHostFile(archive);
  const auto u16 = [&](int64_t p) {
    return int64_t(uint8_t(bytes[p])) | int64_t(uint8_t(bytes[p + 1])) << 8;
  };
  at.data = at.header + 30 + u16(at.header + 26) + u16(at.header + 28);
  return at;
}

std::string RebuiltNote(const fs::path& archive, bool found) {
  return "pelko-cli: " + Utf8(archive) + ": the central directory is missing or damaged; " +
         (found ? "entries were found from their local headers"
                : "no entry was found from local headers either");
}

// A run killed while it appended a large file leaves no central directory:
// the old one was cut away, the new entry is as far as the run got, its
// header perhaps not yet rewritten (CRC-32 all ones, compressed size 0, the
// true size). `test` says so; the next sync finishes the job, and the one
// after it finds nothing to do.
TEST_F(CliSync, AnAppendCutShortIsMendedByTheNextSync) {
  SyncAndCheck(11, 0);
  Write("sub/late.bin", Noise(300000, 5));
  SyncAndCheck(1, 0);
  const std::string good = ReadHostFile(archive_);
  const EntryAt late = Locate(archive_, u"Project/sub/late.bin");
  ASSERT_GT(late.compressed, 290000);

  for (const bool provisional : {false, true}) {
    SCOPED_TRACE(provisional ? "provisional header" : "final header");
    std::string bytes = good.substr(0, size_t(late.data + late.compressed / 2));
    if (provisional) {
      std::memset(&bytes[size_t(late.header) + 14], 0xFF, 4);
      std::memset(&bytes[size_t(late.header) + 18], 0, 4);
    }
    WriteHostFile(archive_, bytes);

    SyncRun tested = Run({Cli(), "test", Utf8(archive_)});
    EXPECT_EQ(tested.exitCode, 1);
    ASSERT_FALSE(tested.errLines.empty());
    EXPECT_EQ(tested.errLines[0], RebuiltNote(archive_, true)) << tested.err;

    const SyncRun mended = Sync();
    EXPECT_EQ(mended.exitCode, 0) << mended.err;
    EXPECT_EQ(mended.err, "");
    EXPECT_TRUE(mended.LastLine().ends_with("    Удалено: 0")) << mended.out;
    EXPECT_NE(mended.LastLine(), Status(0, 0));
    EXPECT_EQ(Check(archive_, tree_).problems, "");
    // The entries before the damaged one were not moved.
    EXPECT_EQ(ReadHostFile(archive_).substr(0, size_t(late.header)),
              good.substr(0, size_t(late.header)));

    fs::last_write_time(archive_, fs::last_write_time(archive_) - std::chrono::hours(1));
    const std::string after = ReadHostFile(archive_);
    const auto time = fs::last_write_time(archive_);
    SyncAndCheck(0, 0);
    EXPECT_EQ(ReadHostFile(archive_), after);
    EXPECT_EQ(fs::last_write_time(archive_), time);

    tested = Run({Cli(), "test", Utf8(archive_)});
    EXPECT_EQ(tested.exitCode, 0) << tested.err;
    EXPECT_EQ(tested.err, "");
  }
}

// A file in which nothing of an archive can be found is refused, byte for
// byte as it was: sync never turns it into an empty archive. A file of no
// bytes is refused as it always was; an end record alone is an empty archive.
TEST_F(CliSync, AFileThatHoldsNoArchiveIsNeverWrittenOver) {
  const std::string notArchive = std::string("PK\x03\x04", 4) + Noise(100 * 1024 - 4, 6);
  WriteHostFile(archive_, notArchive);
  SyncRun r = Sync();
  EXPECT_EQ(r.exitCode, 2);
  ASSERT_EQ(r.errLines.size(), 1u) << r.err;
  EXPECT_TRUE(r.errLines[0].starts_with("pelko-cli: cannot update " + Utf8(archive_) + ": "))
      << r.errLines[0];
  EXPECT_TRUE(Contains(r.err, "not a ZIP archive, or damaged beyond recovery")) << r.err;
  EXPECT_EQ(ReadHostFile(archive_), notArchive);

  // Read, it is a damaged archive without entries: test fails it.
  r = Run({Cli(), "test", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{RebuiltNote(archive_, false)});
  EXPECT_EQ(r.out, "0 entries tested, 0 failed\n");
  r = Run({Cli(), "list", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.errLines, std::vector<std::string>{RebuiltNote(archive_, false)});
  EXPECT_EQ(ReadHostFile(archive_), notArchive);

  WriteHostFile(archive_, "");
  r = Sync();
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "Native error: 00035")) << r.err;
  EXPECT_EQ(fs::file_size(archive_), 0u);

  WriteHostFile(archive_, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  SyncAndCheck(11, 0);
}

// test fails an archive whose directory had to be rebuilt, even when every
// entry it found passes; list says it too, and lists what was found.
TEST_F(CliSync, TestFailsAnArchiveWhoseDirectoryWasRebuilt) {
  SyncAndCheck(11, 0);
  const std::string good = ReadHostFile(archive_);
  const EntryAt first = Locate(archive_, u"Project/a.txt");
  WriteHostFile(archive_, good.substr(0, size_t(first.directory)));

  SyncRun r = Run({Cli(), "test", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{RebuiltNote(archive_, true)});
  EXPECT_TRUE(r.out.ends_with(" entries tested, 0 failed\n")) << r.out;
  r = Run({Cli(), "list", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.errLines, std::vector<std::string>{RebuiltNote(archive_, true)});
  EXPECT_TRUE(Contains(r.out, "Project/a.txt\t")) << r.out;

  // The first 75 bytes of the archive: at most a piece of one entry.
  WriteHostFile(archive_, good.substr(0, 75));
  r = Run({Cli(), "test", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_FALSE(r.errLines.empty());
  EXPECT_TRUE(r.errLines[0] == RebuiltNote(archive_, true) ||
              r.errLines[0] == RebuiltNote(archive_, false))
      << r.err;
}

// Only "not found" deletes. A folder this user may not list, or whose files'
// details they may not read, keeps its entries and is named; a folder they
// may search but not list still answers lookups, so what was removed from
// it goes. As an unprivileged user, since root reads any folder.
TEST_F(CliSync, FoldersThatCannotBeReadKeepTheirEntries) {
#ifdef _WIN32
  GTEST_SKIP() << "needs folders closed to this user: POSIX permissions, tested on Linux";
#else
  if (geteuid() != 0 || !test::HasTool("setpriv")) {
    if (test::OnCi()) FAIL() << "needs root and setpriv to run as another user";
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  fs::copy_file(Cli(), work_ / "pelko-cli");
  ASSERT_EQ(RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
  // The program is copied in too: the build folder may be closed to nobody.
  Args sync = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  for (const std::string& arg : SyncArgs(archive_)) sync.push_back(arg);
  sync[4] = Utf8(work_ / "pelko-cli");
  SyncRun r = Run(sync);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(r.LastLine(), Status(11, 0));
  const fs::path deep = Path("sub/deep");
  const std::string named = "pelko-cli: " + Utf8(deep);
  using P = fs::perms;

  {
    SCOPED_TRACE("neither listed nor searched");
    fs::permissions(deep, P::none);
    Write("new.txt", "new\n");
    r = Run(sync);
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.errLines.size(), 1u) << r.err;
    EXPECT_TRUE(r.errLines[0].starts_with(named)) << r.err;
    EXPECT_TRUE(Contains(r.errLines[0], "Cannot list folder")) << r.err;
    // new.txt, and the folder's own entry: read-only now.
    EXPECT_EQ(r.LastLine(), Status(2, 0));
    // Read as root: the folder's entries are all there, their data unchanged.
    EXPECT_EQ(Check(archive_, tree_).problems, "");
  }
  {
    SCOPED_TRACE("listed, but no details");
    fs::permissions(deep, P::owner_read | P::group_read | P::others_read);
    r = Run(sync);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errLines.size(), 2u) << r.err;
    for (const char* name : {"c.txt", "noise.bin"})
      EXPECT_TRUE(Contains(r.err, "pelko-cli: " + Utf8(deep / name) + ": ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Cannot read the details of file")) << r.err;
    EXPECT_EQ(r.LastLine(), Status(0, 0));
    EXPECT_EQ(Check(archive_, tree_).problems, "");
  }
  {
    SCOPED_TRACE("searched, but not listed");
    fs::permissions(deep, P::owner_exec | P::group_exec | P::others_exec);
    fs::remove(deep / "c.txt");
    r = Run(sync);
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.errLines.size(), 1u) << r.err;
    EXPECT_TRUE(r.errLines[0].starts_with(named)) << r.err;
    EXPECT_TRUE(Contains(r.errLines[0], "Cannot list folder")) << r.err;
    EXPECT_EQ(r.LastLine(), Status(0, 1));
    const PeerCheck check = Check(archive_, tree_);
    EXPECT_EQ(check.problems, "");
    EXPECT_FALSE(check.Has("Project/sub/deep/c.txt"));
    EXPECT_TRUE(check.Has("Project/sub/deep/noise.bin"));
  }
  {
    SCOPED_TRACE("readable again");
    fs::permissions(deep,
                    P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec);
    Write("sub/deep/later.txt", "later\n");
    r = Run(sync);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // later.txt, and the folder's own entry: writable again.
    EXPECT_EQ(r.LastLine(), Status(2, 0));
    EXPECT_EQ(Check(archive_, tree_).problems, "");
    r = Run(sync);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.LastLine(), Status(0, 0));
  }
#endif
}

// A folder whose path is longer than the system takes (PATH_MAX, 4096 bytes
// with its terminating zero) cannot be listed: it is named and its entries
// are kept, not taken for deleted.
TEST_F(CliSync, AFolderBeyondThePathLimitKeepsItsEntries) {
#ifdef _WIN32
  GTEST_SKIP() << "the 4096-byte path limit is Linux's own";
#else
  constexpr size_t kPathMax = 4096;
  const std::string far(40, 'f');
  fs::create_directories(Path("mid/" + far));
  Write("mid/near.txt", "near\n");
  Write("mid/" + far + "/lost.txt", "lost\n");
  SyncAndCheck(15, 0);

  // The tree moves under a base just short enough that every path in it but
  // those under mid/fff... fits. Each step is made by a path that fits, and
  // the tree goes back before the end, so that plain removal can clean up.
  const size_t treeLength = kPathMax - 30;
  fs::path base = work_ / "deep";
  while (treeLength - std::strlen("/Project") - Utf8(base).size() - 1 > 200)
    base /= std::string(200, 'd');
  base /= std::string(treeLength - std::strlen("/Project") - Utf8(base).size() - 1, 'e');
  const fs::path moved = base / "Project";
  ASSERT_EQ(Utf8(moved).size(), treeLength);
  fs::create_directories(base);
  fs::rename(tree_, moved);
  ScopeExit back([&] {
    std::error_code ec;
    fs::rename(moved, tree_, ec);
  });
  ASSERT_LT(Utf8(moved / "sub/deep/noise.bin").size(), kPathMax);
  ASSERT_LT(Utf8(moved / "mid/near.txt").size(), kPathMax);
  ASSERT_GE(Utf8(moved / "mid" / far).size(), kPathMax);

  const SyncRun r = Run({Cli(), "sync", "--base", Utf8(moved), "--archive", Utf8(archive_)});
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines.size(), 1u) << r.err;
  EXPECT_TRUE(Contains(r.errLines[0], Utf8(moved / "mid" / far))) << r.err;
  EXPECT_TRUE(Contains(r.errLines[0], "Cannot list folder")) << r.err;
  EXPECT_EQ(r.LastLine(), Status(0, 0));

  fs::rename(moved, tree_);
  const PeerCheck check = Check(archive_, tree_);
  EXPECT_EQ(check.problems, "");
  EXPECT_TRUE(check.Has("Project/mid/" + far + "/lost.txt"));
  SyncAndCheck(0, 0);
#endif
}

// A file whose reading fails after its first block (1 MiB) is named, and its
// old entry kept; the other files go in. strace fails the file's second read
// with EIO; on Windows another program locks the rest of the file.
TEST_F(CliSync, AReadErrorInTheMiddleOfAFileKeepsItsOldEntry) {
#ifndef _WIN32
  if (!test::HasTool("strace")) {
    if (test::OnCi()) FAIL() << "strace is missing (scripts/deps.sh installs it)";
    GTEST_SKIP() << "strace is needed to fail a read";
  }
#endif
  Write("big.bin", Noise(3 << 20, 11));
  SyncAndCheck(12, 0);
  const fs::path old = work_ / "big.old";
  fs::copy_file(Path("big.bin"), old);
  Write("big.bin", Noise(3 << 20, 12));
  ShiftTime("big.bin", std::chrono::hours(1));
  Write("new.txt", "new\n");

#ifdef _WIN32
  // Another program has locked the file's bytes past the first block.
  test::LockedRange locked;
  ASSERT_EQ(locked.Lock(Path("big.bin"), 1 << 20, 2 << 20), 0);
  if (!locked.KeepsReadersOut(Path("big.bin"), 1 << 20))
    GTEST_SKIP() << "this host lets locked bytes be read (Wine)";
  const SyncRun r = Run(SyncArgs(archive_));
  locked.Release();
#else
  Args traced = {"strace",
                 "-f",
                 "-qq",
                 "-o",
                 Utf8(work_ / "strace.log"),
                 "-P",
                 Utf8(Path("big.bin")),
                 "-e",
                 "trace=read",
                 "-e",
                 "inject=read:error=EIO:when=2"};
  const Args sync = SyncArgs(archive_);
  traced.insert(traced.end(), sync.begin(), sync.end());
  const SyncRun r = Run(traced);
#endif
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines.size(), 1u) << r.err;
  EXPECT_TRUE(r.errLines[0].starts_with("pelko-cli: " + Utf8(Path("big.bin")) + ": ")) << r.err;
  EXPECT_TRUE(Contains(r.errLines[0], "Cannot read file")) << r.err;
  // big.bin failed: only new.txt was added.
  EXPECT_EQ(r.LastLine(), Status(1, 0));
  const PeerCheck check = Check(archive_, tree_, {"--content", "big.bin", Utf8(old)});
  EXPECT_EQ(check.problems, "");
  EXPECT_TRUE(check.Has("Project/new.txt"));

  SyncAndCheck(1, 0);
}

// Names Windows would trim ("trail.", "a..", "c .", a folder "dir."), a name
// of 255 bytes and a path past 259 characters are stored and restored as
// they are, and stay put run after run.
TEST_F(CliSync, OddAndLongNamesAreKeptAsTheyAre) {
  const std::string longName = std::string(251, 'n') + ".txt";
#ifdef _WIN32
  // The folders end short of 255 characters even where they are restored:
  // the test's own walks (mingw's directory reading) stop at MAX_PATH.
  const size_t deeper = 255 - Utf8(work_ / "restored" / "Project").size() - 1 - 120 - 1;
#else
  const size_t deeper = 120;
#endif
  const std::string longFolder = std::string(120, 'p') + "/" + std::string(deeper, 'q');
  const std::string longPath = longFolder + "/" + std::string(60, 'r') + ".bin";
  std::vector<std::string> names = {longName, longPath};
#ifndef _WIN32
  // Windows itself trims these names; POSIX keeps them.
  Write("trail.", "trail\n");
  Write("a..", "two dots\n");
  Write("c .", "space and dot\n");
  fs::create_directories(Path("dir."));
  Write("dir./inside.txt", "inside\n");
  names.insert(names.end(), {"trail.", "a..", "c .", "dir./", "dir./inside.txt"});
#endif
  Write(longName, "long name\n");
  fs::create_directories(Path(longFolder));
  Write(longPath, Noise(5000, 3));
  ASSERT_EQ(longName.size(), 255u);
  ASSERT_GT(longPath.size(), 259u);

  // The two folders of the long path are entries too.
  const PeerCheck check = SyncAndCheck(int(11 + 2 + names.size()), 0);
  for (const std::string& name : names) EXPECT_TRUE(check.Has("Project/" + name)) << name;
  SyncAndCheck(0, 0);

  const fs::path restored = work_ / "restored";
  const SyncRun r = Run({Cli(), "extract", Utf8(archive_), "--to", Utf8(restored)});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  size_t files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree_)) {
    const fs::path copy = restored / "Project" / fs::relative(entry.path(), tree_);
    if (entry.is_directory()) {
      EXPECT_TRUE(fs::is_directory(copy)) << copy;
    } else {
      ++files;
      EXPECT_EQ(ReadHostFile(copy), ReadHostFile(entry.path())) << copy;
    }
  }
  size_t restoredFiles = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(restored))
    restoredFiles += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(restoredFiles, files);
}

}  // namespace
}  // namespace km
