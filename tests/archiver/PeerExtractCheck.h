// Archives of the peer tree made by other ZIP tools, and what extracting one
// must give: python zipfile's reading of every entry, written out under the
// name our reader gives it. Shared by the archiver and pelko-cli tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "archiver/PeerArchives.h"
#include "common/TempDir.h"

namespace km::test {

// Every file of the tree gets this time: odd seconds, long ago, so that a
// time that was not restored, or restored without the 2-second rounding in
// mind, shows.
inline std::filesystem::file_time_type PeerTreeTime() {
  using namespace std::chrono;
  using Clock = std::filesystem::file_time_type::clock;
  // About three years back, on an odd second (the file clock's epoch lies a
  // whole even number of seconds from the Unix one).
  auto t = floor<seconds>(Clock::now() - hours(24 * 1100));
  if (t.time_since_epoch().count() % 2 == 0) t += seconds(1);
  return t;
}

inline void SetTreeTimes(const std::filesystem::path& root) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    if (e.is_regular_file()) std::filesystem::last_write_time(e.path(), PeerTreeTime());
}

struct PeerMaker {
  const char* label;
  const char* tool;      // skipped when this is not installed
  const char* password;  // the entries are encrypted with it, or nullptr
  std::string command;   // run in the tree; writes the archive named by $OUT
};

// Each peer writes its own records: Unix and NTFS extras, bit 11, data
// descriptors, Zip64 local headers, traditional encryption.
inline std::vector<PeerMaker> PeerMakers() {
  return {
      {"InfoZip", "zip", nullptr, "LC_ALL=C.UTF-8 zip -q -r \"$OUT\" ."},
      {"InfoZipEncrypted", "zip", "pw", "LC_ALL=C.UTF-8 zip -q -r -P pw \"$OUT\" ."},
      {"SevenZip", "7zz", nullptr, "LC_ALL=C.UTF-8 7zz a -tzip -bd -bso0 -bsp0 \"$OUT\" ."},
      {"Python", "python3", nullptr,
       std::string("python3 - . \"$OUT\" <<'EOF'\n") + kPythonDeflated + "EOF\n"},
      {"Jar", "jar", nullptr, "jar cf \"$OUT\" ."},
      {"Bsdtar", "bsdtar", nullptr, "LC_ALL=C.UTF-8 bsdtar -a -cf \"$OUT\" ."},
  };
}

inline int MakePeerArchive(const PeerMaker& maker, const std::filesystem::path& tree,
                           const std::filesystem::path& archive) {
  return RunShell("cd " + Quoted(tree) + " && OUT=" + Quoted(archive) + " && " + maker.command);
}

// Python's reading of every entry, written under the name our reader gives
// it (the rule of the dump script in PeerArchives.h).
inline constexpr const char* kReferenceScript = R"PY(
import os, sys, zipfile

def shown(raw, flags):
    raw = raw.split(b'\0', 1)[0]
    if flags & 0x800:
        return raw.decode('utf-8', 'replace')
    return raw.decode('cp866').encode('cp1251', 'replace').decode('cp1251')

archive, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
with zipfile.ZipFile(archive) as zf:
    if len(sys.argv) > 3:
        zf.setpassword(sys.argv[3].encode())
    for i in zf.infolist():
        raw = i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')
        path = os.path.join(out, shown(raw, i.flag_bits))
        if i.is_dir():
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(zf.read(i))
)PY";

inline int MakeReferenceTree(const std::filesystem::path& archive, const std::filesystem::path& out,
                             const std::filesystem::path& work, const char* password = nullptr) {
  return RunPython(kReferenceScript, work, "reference.py",
                   Quoted(archive) + " " + Quoted(out) +
                       (password ? " " + Quoted(std::string(password)) : std::string()));
}

inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Relative paths in UTF-8 with '/' on every host, directories with a
// trailing '/'.
inline std::set<std::string> TreeListing(const std::filesystem::path& root) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::u8string relative = std::filesystem::relative(it->path(), root).generic_u8string();
    std::string name(relative.begin(), relative.end());
    if (it->is_directory()) name += '/';
    names.insert(name);
  }
  return names;
}

// The differences between two trees, one line each; empty when they hold
// the same names and every file the same bytes.
inline std::string CompareTrees(const std::filesystem::path& expected,
                                const std::filesystem::path& actual) {
  const std::set<std::string> want = TreeListing(expected), got = TreeListing(actual);
  std::string diff;
  for (const std::string& name : want) {
    if (!got.count(name)) {
      diff += "missing: " + name + "\n";
    } else if (name.back() != '/' &&
               FileBytes(expected / HostName(name)) != FileBytes(actual / HostName(name))) {
      diff += "different bytes: " + name + "\n";
    }
  }
  for (const std::string& name : got)
    if (!want.count(name)) diff += "unexpected: " + name + "\n";
  return diff;
}

// Files of the source tree whose extracted copy (same relative name) is more
// than the DOS resolution away from the source's time.
inline std::string CompareTimes(const std::filesystem::path& source,
                                const std::filesystem::path& extracted) {
  std::string diff;
  int compared = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(source)) {
    if (!e.is_regular_file()) continue;
    const auto copy = extracted / std::filesystem::relative(e.path(), source);
    std::error_code ec;
    const auto copied = std::filesystem::last_write_time(copy, ec);
    if (ec) continue;  // a name the archive holds in another spelling
    ++compared;
    const auto apart =
        copied > e.last_write_time() ? copied - e.last_write_time() : e.last_write_time() - copied;
    if (apart > std::chrono::seconds(2)) diff += "time not restored: " + copy.string() + "\n";
  }
  if (compared == 0) diff += "no file to compare times with\n";
  return diff;
}

// A suite over the peers, one test per peer, sharing one source tree made
// once for all of them.
class PeerTreeSuite : public testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    MakePeerTree(dir_->Host(u"tree"));
    SetTreeTimes(dir_->Host(u"tree"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static inline TempDir* dir_ = nullptr;
};

}  // namespace km::test
