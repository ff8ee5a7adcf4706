// Archives made by other ZIP tools, and python zipfile's reading of them as
// the reference our directory reader is compared with. Shared by the
// archiver and pelko-cli tests.
#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/Ci.h"

namespace km::test {

// The peers and the shell are the Linux side's: a Windows build of the
// tests has neither, and its peer checks skip.
inline int RunShell(const std::string& command) {
#ifdef _WIN32
  (void)command;
  return -1;
#else
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

inline bool HasTool(const std::string& tool) {
  return RunShell("command -v " + tool + " >/dev/null 2>&1") == 0;
}

// Single quotes for the shell; the paths here never hold one.
inline std::string Quoted(const std::filesystem::path& p) {
  std::string quoted(1, '\'');
  quoted += p.string();
  quoted += '\'';
  return quoted;
}

// What python zipfile reads for one entry. Names are carried as hex so that
// no byte of them can upset the line format.
struct PeerEntry {
  std::string rawName;    // the stored bytes
  std::string shownName;  // UTF-8 of the name our reader is expected to give
  uint32_t flags = 0;
  uint64_t size = 0;
  uint64_t packed = 0;
  uint32_t crc = 0;
  uint64_t offset = 0;  // python counts any prefix in
  int dateTime[6] = {};
  uint32_t externalAttr = 0;
};

struct PeerListing {
  bool ok = false;
  std::string comment;
  std::vector<PeerEntry> entries;
};

// The dump script. The expected name follows our reader's rule, cut at a
// zero byte: UTF-8 when bit 11 is set, else the OEM code page (866) seen
// through the ANSI one (1251, '?' for what it lacks). Info-ZIP on Linux
// stores UTF-8 without bit 11, so its non-ASCII names come out that way.
inline constexpr const char* kDumpScript = R"PY(
import sys, zipfile

def shown(raw, flags):
    raw = raw.split(b'\0', 1)[0]
    if flags & 0x800:
        return raw.decode('utf-8', 'replace')
    return raw.decode('cp866').encode('cp1251', 'replace').decode('cp1251')

with zipfile.ZipFile(sys.argv[1]) as zf:
    out = ['comment\t' + zf.comment.hex()]
    for i in zf.infolist():
        raw = i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')
        out.append('\t'.join([raw.hex(), shown(raw, i.flag_bits).encode('utf-8').hex(), str(i.flag_bits),
                              str(i.file_size), str(i.compress_size), str(i.CRC),
                              str(i.header_offset), ' '.join(map(str, i.date_time)),
                              str(i.external_attr)]))
    sys.stdout.write('\n'.join(out) + '\n')
)PY";

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline PeerListing PythonListing(const std::filesystem::path& archive,
                                 const std::filesystem::path& workDir) {
  PeerListing listing;
  const auto script = workDir / "dump.py";
  if (!std::filesystem::exists(script)) std::ofstream(script) << kDumpScript;
  const auto dump = workDir / (archive.filename().string() + ".tsv");
  if (RunShell("python3 " + Quoted(script) + " " + Quoted(archive) + " > " + Quoted(dump)) != 0)
    return listing;
  std::ifstream in(dump);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string first;
    std::getline(fields, first, '\t');
    if (first == "comment") {
      std::string hex;
      std::getline(fields, hex);
      listing.comment = FromHex(hex);
      continue;
    }
    PeerEntry e;
    std::string shown;
    e.rawName = FromHex(first);
    fields >> shown >> e.flags >> e.size >> e.packed >> e.crc >> e.offset;
    for (int& part : e.dateTime) fields >> part;
    fields >> e.externalAttr;
    if (!fields) return listing;
    e.shownName = FromHex(shown);
    listing.entries.push_back(std::move(e));
  }
  listing.ok = true;
  return listing;
}

// The tree every peer archives: sizes from empty to ~200 KB, a directory with
// a subdirectory and an empty one, and Cyrillic and CJK names.
inline void MakePeerTree(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  fs::create_directories(root / "sub" / "empty-dir");
  std::ofstream(root / "empty.txt");
  std::ofstream(root / "small.txt") << "hello, world\n";
  std::ofstream(root / "sub" / "inner.txt") << "inner\n";
  std::ofstream(root / fs::path(u8"Привет.txt")) << "privet\n";
  std::ofstream(root / fs::path(u8"日本語.txt")) << "nihongo\n";
  std::string noise(5000, '\0');
  uint32_t x = 12345;
  for (char& c : noise) c = char((x = x * 1103515245u + 12345u) >> 24);
  std::ofstream(root / "mid.bin", std::ios::binary) << noise;
  std::ofstream big(root / "big.txt");
  for (int i = 0; i < 8000; ++i) big << "line " << i << " of the compressible file\n";
}

// Each maker writes `archive` from the tree at `tree`; `work` is scratch
// space. They return the tool's exit code (0: made).
inline constexpr const char* kPythonDeflated = R"PY(
import os, sys, zipfile
tree, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as zf:
    for base, dirs, files in sorted(os.walk(tree)):
        dirs.sort()
        for d in dirs:
            zf.write(os.path.join(base, d), os.path.relpath(os.path.join(base, d), tree))
        for f in sorted(files):
            zf.write(os.path.join(base, f), os.path.relpath(os.path.join(base, f), tree))
    # A local header with Zip64 sizes although the entry is small.
    with zf.open('forced-zip64.txt', 'w', force_zip64=True) as w:
        w.write(b'zip64 local header\n' * 10)
)PY";

inline constexpr const char* kPythonMany = R"PY(
import sys, zipfile
# More entries than a 16-bit count holds: the Zip64 end record is needed.
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as zf:
    for i in range(int(sys.argv[2])):
        info = zipfile.ZipInfo('d%02d/f%05d.txt' % (i // 1000, i), (2020, 2, 29, 23, 59, 58))
        zf.writestr(info, str(i))
)PY";

inline constexpr const char* kPythonComment = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as zf:
    zf.comment = b'Nightly backup\r\nof the tree' + bytes(range(1, 32))
    zf.writestr('a.txt', b'a')
    zf.writestr('b/', b'')
    zf.writestr('b/c.txt', b'c' * 100)
)PY";

inline int RunPython(const char* script, const std::filesystem::path& work, const std::string& name,
                     const std::string& args) {
  const auto file = work / name;
  std::ofstream(file) << script;
  return RunShell("python3 " + Quoted(file) + " " + args);
}

}  // namespace km::test
