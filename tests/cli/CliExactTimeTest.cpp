// `pelko-cli sync` and `extract` with exact file times: a change that keeps
// a file's size and lands in the clock step of its last sync is found, by
// the exact time where it differs and by the contents where even that is
// the same; archives of other writers keep the DOS-time rule; extraction
// gives the exact time back; peers read the NTFS time field we write.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "cli/CliRunner.h"
#include "common/HeldElsewhere.h"
#include "common/WriteTime.h"
#include "platform/File.h"
#include "platform/HostPath.h"
#include "support/Crc32.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::HostName;
using test::Quoted;
using test::ReadHostFile;
using test::RunShell;
using test::Utf8;
using test::WriteHostFile;
using Args = std::vector<std::string>;

// Per entry, tab-separated: name, the tags of the central and of the local
// extra fields (hex, comma-separated), the last-write time of the NTFS
// field of each ("-" when none), the contents. "bad\t<name>" when python
// finds an entry whose CRC fails.
constexpr const char* kFieldsScript = R"PY(
import struct, sys, zipfile

def fields(extra):
    out, i = [], 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from('<HH', extra, i)
        out.append((tag, extra[i + 4:i + 4 + size]))
        i += 4 + size
    return out

def ntfs(found):
    for tag, data in found:
        if tag == 0x000A and len(data) >= 32 and struct.unpack_from('<HH', data, 4) == (1, 24):
            return str(struct.unpack_from('<Q', data, 8)[0])
    return '-'

raw = open(sys.argv[1], 'rb').read()
with zipfile.ZipFile(sys.argv[1]) as zf:
    bad = zf.testzip()
    if bad:
        print('bad\t' + bad)
    for info in zf.infolist():
        at = info.header_offset
        n, e = struct.unpack_from('<HH', raw, at + 26)
        local = fields(raw[at + 30 + n:at + 30 + n + e])
        central = fields(info.extra)
        print('\t'.join([info.filename, ','.join('%04x' % t for t, _ in central),
                         ','.join('%04x' % t for t, _ in local), ntfs(central), ntfs(local),
                         zf.read(info).decode('latin-1')]))
)PY";

// Writes an archive as python zipfile does: DOS times only, no extra field,
// Windows attributes (archive bit) so that only the time can differ.
constexpr const char* kPythonWriterScript = R"PY(
import os, sys, time, zipfile
archive, root = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as zf:
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        info = zipfile.ZipInfo(os.path.basename(root) + '/' + name,
                               time.localtime(os.stat(path).st_mtime)[:6])
        info.create_system = 0
        info.external_attr = 0x20
        info.compress_type = zipfile.ZIP_DEFLATED
        zf.writestr(info, open(path, 'rb').read())
)PY";

struct EntryFields {
  std::string central, local, centralTime, localTime, data;
};

// A host time as the NTFS field holds it (100 ns units since 1601, UTC).
int64_t FileTimeOf(const struct timespec& ts) {
  return (int64_t(ts.tv_sec) + 11644473600) * 10000000 + ts.tv_nsec / 100;
}

struct timespec MTime(const fs::path& path) {
  return test::WriteTimeOf(path);
}

void SetMTime(const fs::path& path, struct timespec time) {
  ASSERT_TRUE(test::SetWriteTime(path, time)) << path;
}

#ifdef _WIN32
// Writes an archive as writers of DOS times alone do (python zipfile, say):
// no extra field, Windows attributes (archive bit) so that only the time
// can differ; stored, since how the data is packed does not matter here.
void WriteDosOnlyArchive(const fs::path& archive, const fs::path& root) {
  const auto u16 = [](uint32_t v) { return std::string{char(v), char(v >> 8)}; };
  const auto u32 = [&](uint32_t v) { return u16(v) + u16(v >> 16); };
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(root))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string local, central;
  for (const fs::path& path : files) {
    const std::string name = Utf8(root.filename()) + "/" + Utf8(path.filename());
    const std::string data = test::ReadHostFile(path);
    const std::time_t when = MTime(path).tv_sec;
    const std::tm t = *std::localtime(&when);
    const uint32_t dos = uint32_t(t.tm_year - 80) << 25 | uint32_t(t.tm_mon + 1) << 21 |
                         uint32_t(t.tm_mday) << 16 | uint32_t(t.tm_hour) << 11 |
                         uint32_t(t.tm_min) << 5 | uint32_t(t.tm_sec / 2);
    const uint32_t crc = Crc32Update(0xFFFFFFFFu, data.data(), int64_t(data.size())) ^ 0xFFFFFFFFu;
    // version, flags, method (stored), time and date, CRC-32, sizes
    const std::string common = u16(20) + u16(0) + u16(0) + u32(dos) + u32(crc) +
                               u32(uint32_t(data.size())) + u32(uint32_t(data.size())) +
                               u16(uint32_t(name.size())) + u16(0);
    central += "PK\x01\x02" + u16(20) + common + u16(0) + u16(0) + u16(0) + u32(0x20) +
               u32(uint32_t(local.size())) + name;
    local += "PK\x03\x04" + common + name + data;
  }
  const std::string end = "PK\x05\x06" + u16(0) + u16(0) + u16(uint32_t(files.size())) +
                          u16(uint32_t(files.size())) + u32(uint32_t(central.size())) +
                          u32(uint32_t(local.size())) + u16(0);
  WriteHostFile(archive, local + central + end);
}
#endif

std::string Status(int added, int deleted) {
  return "Добавлено: " + std::to_string(added) + "    Удалено: " + std::to_string(deleted);
}

class CliExactTime : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    for (const char* tool : {"unzip", "python3", "7zz", "strace"}) {
      if (test::HasTool(tool)) continue;
      if (test::OnCi()) FAIL() << tool << " is missing (scripts/deps.sh installs it)";
      GTEST_SKIP() << tool << " is one of the peers and tools these tests need";
    }
#endif
    work_ = dir_.Host(u"");
    tree_ = work_ / "Project";
    archive_ = work_ / "out.zip";
    fs::create_directories(tree_);
    std::ofstream(work_ / "fields.py") << kFieldsScript;
    std::ofstream(work_ / "pywrite.py") << kPythonWriterScript;
  }

  fs::path Path(const std::string& rel) const {
    return tree_ / HostName(rel);
  }
  void Write(const std::string& rel, const std::string& bytes) {
    WriteHostFile(Path(rel), bytes);
  }
  std::string Cli() const {
    return Quoted(cli_);
  }

  // One sync; its last line. `prefix` runs before the program (strace).
  std::string Sync(const std::string& prefix = "") {
    const fs::path out = work_ / "sync.out";
    const fs::path err = work_ / "sync.err";
#ifdef _WIN32
    EXPECT_EQ(prefix, "");
    const test::CliRun r = test::Finish(
        test::Spawn({Utf8(cli_), "sync", "--base", Utf8(tree_), "--archive", Utf8(archive_)}, out,
                    err),
        out, err);
    const int rc = r.exitCode;
#else
    const int rc =
        // Leak checks of a sanitizer build cannot run under strace.
        RunShell(std::string(prefix.empty() ? "" : "ASAN_OPTIONS=detect_leaks=0 ") + prefix +
                 Cli() + " sync --base " + Quoted(tree_) + " --archive " + Quoted(archive_) +
                 " > " + Quoted(out) + " 2> " + Quoted(err) + " < /dev/null");
#endif
    err_ = ReadHostFile(err);
    EXPECT_EQ(rc, expectedExit_) << err_;
    std::string text = ReadHostFile(out);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }

#ifdef _WIN32
  // The entry `name` as its bytes say (no peer here reads them), its
  // contents as extract gives them back; pelko-cli test must pass.
  EntryFields Fields(const std::string& name) {
    PeersAccept();
    const std::string raw = ReadHostFile(archive_);
    const auto u16 = [&](size_t at) {
      return at + 2 <= raw.size() ? size_t(uint8_t(raw[at])) | size_t(uint8_t(raw[at + 1])) << 8
                                  : size_t(0);
    };
    const auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    const auto tags = [&](const std::string& extra, std::string& time) {
      std::string list;
      time = "-";
      for (size_t i = 0; i + 4 <= extra.size();) {
        const size_t t = uint8_t(extra[i]) | size_t(uint8_t(extra[i + 1])) << 8;
        const size_t n = uint8_t(extra[i + 2]) | size_t(uint8_t(extra[i + 3])) << 8;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04zx", t);
        list += (list.empty() ? "" : ",") + std::string(hex);
        const std::string data = extra.substr(i + 4, n);
        // NTFS: reserved, then tag 1 of 24 bytes: write, access, creation.
        if (t == 0x000A && data.size() >= 32 &&
            data.substr(4, 4) == std::string("\x01\0\x18\0", 4)) {
          uint64_t write = 0;
          for (int b = 7; b >= 0; --b) write = write << 8 | uint8_t(data[8 + b]);
          time = std::to_string(write);
        }
        i += 4 + n;
      }
      return list;
    };
    EntryFields found;
    const size_t end = raw.rfind(std::string("PK\x05\x06", 4));
    EXPECT_NE(end, std::string::npos) << "no end record";
    if (end == std::string::npos) return found;
    size_t at = u32(end + 16);
    for (size_t i = 0, count = u16(end + 10); i < count && raw.compare(at, 4, "PK\x01\x02") == 0;
         ++i) {
      const size_t n = u16(at + 28), e = u16(at + 30), c = u16(at + 32), local = u32(at + 42);
      if (raw.substr(at + 46, n) == name) {
        found.central = tags(raw.substr(at + 46 + n, e), found.centralTime);
        found.local =
            tags(raw.substr(local + 30 + u16(local + 26), u16(local + 28)), found.localTime);
      }
      at += 46 + n + e + c;
    }
    const fs::path out = work_ / "fields";
    fs::remove_all(out);
    const test::CliRun r =
        test::RunCli({"extract", Utf8(archive_), "--to", Utf8(out), name}, work_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    found.data = ReadHostFile(out / HostName(name));
    return found;
  }

  // pelko-cli test passes the archive.
  void PeersAccept() {
    const test::CliRun r = test::RunCli({"test", Utf8(archive_)}, work_);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
  }
#else
  // What python sees of the entry `name`; every entry must pass its CRC.
  EntryFields Fields(const std::string& name) {
    const fs::path listing = work_ / "fields.txt";
    EXPECT_EQ(RunShell(Quoted(test::Python()) + " " + Quoted(work_ / "fields.py") + " " +
                       Quoted(archive_) + " > " + Quoted(listing)),
              0);
    std::istringstream lines(ReadHostFile(listing));
    EntryFields found;
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> cells;
      std::istringstream row(line);
      for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
      EXPECT_NE(cells[0], "bad") << line;
      if (cells.size() >= 5 && cells[0] == name)
        found = {cells[1], cells[2], cells[3], cells[4], cells.size() > 5 ? cells[5] : ""};
    }
    return found;
  }

  // unzip and 7-Zip test the archive.
  void PeersAccept() {
    const fs::path log = work_ / "peer.log";
    EXPECT_EQ(RunShell("unzip -tq " + Quoted(archive_) + " > " + Quoted(log) + " 2>&1"), 0)
        << ReadHostFile(log);
    EXPECT_EQ(RunShell("7zz t -bd " + Quoted(archive_) + " > " + Quoted(log) + " 2>&1"), 0)
        << ReadHostFile(log);
  }
#endif

  test::TempDir dir_;
  fs::path cli_ = HostName(test::Cli());
  int expectedExit_ = 0;
  std::string err_;  // of the last sync
  fs::path work_;
  fs::path tree_;
  fs::path archive_;
};

TEST_F(CliExactTime, ASameSizeChangeRightAfterASyncIsFound) {
  // Both writes fall in the same 2-second DOS step: only the exact time
  // tells them apart.
  Write("f.txt", "A1");
  ASSERT_EQ(Sync(), Status(1, 0));
  EntryFields first = Fields("Project/f.txt");
  EXPECT_EQ(first.central, "000a,554e");
  EXPECT_EQ(first.local, "000a,554e");
  EXPECT_EQ(first.centralTime, std::to_string(FileTimeOf(MTime(Path("f.txt")))));
  EXPECT_EQ(first.localTime, first.centralTime);

  Write("f.txt", "B1");
  ASSERT_EQ(Sync(), Status(1, 0));
  // The replaced entry has one time field, the new time, in both headers.
  EntryFields second = Fields("Project/f.txt");
  EXPECT_EQ(second.data, "B1");
  EXPECT_EQ(second.central, "000a,554e");
  EXPECT_EQ(second.local, "000a,554e");
  EXPECT_EQ(second.centralTime, std::to_string(FileTimeOf(MTime(Path("f.txt")))));
  EXPECT_EQ(second.localTime, second.centralTime);
  PeersAccept();

  // Nothing changed since: nothing to do, although the file is recent
  // enough for its contents to be compared.
  EXPECT_EQ(Sync(), Status(0, 0));
}

TEST_F(CliExactTime, ARacilyCleanFileIsComparedByItsContents) {
  Write("f.txt", "A1");
  Write("g.txt", "same");
  ASSERT_EQ(Sync(), Status(2, 0));

  // New contents of the same size under the very time that was stored, as
  // a coarse clock would leave them: only the CRC can tell.
  const struct timespec stored = MTime(Path("f.txt"));
  Write("f.txt", "B1");
  SetMTime(Path("f.txt"), stored);
  ASSERT_EQ(Sync(), Status(1, 0));
  EXPECT_EQ(Fields("Project/f.txt").data, "B1");
  EXPECT_EQ(Fields("Project/g.txt").data, "same");

  // Compared again, the same contents replace nothing.
  EXPECT_EQ(Sync(), Status(0, 0));
  PeersAccept();
}

// A racy file that cannot be read counts as changed: the commit then names
// it and keeps its old entry. As an unprivileged user, since root reads
// everything; on Windows another program holds the file and shares no
// reading.
TEST_F(CliExactTime, ARacyFileThatCannotBeReadGoesToTheFailurePath) {
#ifdef _WIN32
  Write("f.txt", "A1");
  ASSERT_EQ(Sync(), Status(1, 0));

  const struct timespec stored = MTime(Path("f.txt"));
  Write("f.txt", "B1");
  SetMTime(Path("f.txt"), stored);
  test::HeldElsewhere holder;
  ASSERT_EQ(holder.Hold(ToWindowsView(Path("f.txt")), platform::FileAccess::Read,
                        platform::FileShare::DenyRead),
            0);
  expectedExit_ = 1;
  // Failed, so not counted as added.
  EXPECT_EQ(Sync(), Status(0, 0));
  EXPECT_NE(err_.find(Utf8(Path("f.txt"))), std::string::npos) << err_;
  holder.Release();
  EXPECT_EQ(Fields("Project/f.txt").data, "A1");
#else
  if (geteuid() != 0 || !test::HasTool("setpriv")) {
    if (test::OnCi()) FAIL() << "needs root and setpriv to run as another user";
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  // The program is copied in: the build folder may be closed to nobody.
  fs::copy_file(cli_, work_ / "pelko-cli");
  cli_ = work_ / "pelko-cli";
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  // Read-only for its owner from the start, so that taking the owner's
  // read permission away below changes none of its attributes.
  Write("f.txt", "A1");
  ASSERT_EQ(RunShell("chown -R 65534:65534 " + Quoted(work_)), 0);
  fs::permissions(Path("f.txt"), fs::perms::owner_read | fs::perms::others_read);
  ASSERT_EQ(Sync(nobody), Status(1, 0));

  const struct timespec stored = MTime(Path("f.txt"));
  Write("f.txt", "B1");
  SetMTime(Path("f.txt"), stored);
  fs::permissions(Path("f.txt"), fs::perms::others_read);
  expectedExit_ = 1;
  // Failed, so not counted as added.
  EXPECT_EQ(Sync(nobody), Status(0, 0));
  EXPECT_NE(err_.find(Path("f.txt").string()), std::string::npos) << err_;
  EXPECT_EQ(Fields("Project/f.txt").data, "A1");
  PeersAccept();
#endif
}

TEST_F(CliExactTime, ANoChangeSyncReadsOnlyFilesWrittenCloseToTheLastOne) {
  const std::time_t now = std::time(nullptr);
  for (int i = 0; i < 20; ++i) {
    const std::string name = "file-" + std::to_string(10 + i) + ".dat";
    Write(name, "contents " + std::to_string(i) + "\n");
    SetMTime(Path(name), {now - 7200 + i, 0});
  }
  ASSERT_EQ(Sync(), Status(20, 0));

#ifdef _WIN32
  // Every file is held by another program that shares no reading: each
  // one the run opens to read fails, and is named.
  std::vector<std::unique_ptr<test::HeldElsewhere>> held;
  for (int i = 0; i < 20; ++i) {
    held.push_back(std::make_unique<test::HeldElsewhere>());
    ASSERT_EQ(held.back()->Hold(ToWindowsView(Path("file-" + std::to_string(10 + i) + ".dat")),
                                platform::FileAccess::Read, platform::FileShare::DenyRead),
              0);
  }
  const std::string strace;
  const auto opened = [&] {
    std::istringstream lines(err_);
    std::vector<std::string> names;
    const std::regex file("file-[0-9]+\\.dat");
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (std::regex_search(line, m, file)) names.push_back(m.str());
    }
    return names;
  };
#else
  const fs::path trace = work_ / "trace.txt";
  const std::string strace = "strace -f -qq -e trace=open,openat -o " + Quoted(trace) + " ";
  // Which of the tree's files the run opened, other than as a folder.
  const auto opened = [&] {
    std::istringstream lines(ReadHostFile(trace));
    std::vector<std::string> names;
    const std::regex file("file-[0-9]+\\.dat\"");
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (line.find("O_DIRECTORY") == std::string::npos && std::regex_search(line, m, file))
        names.push_back(m.str().substr(0, m.str().size() - 1));
    }
    return names;
  };
#endif

  // Every file is older than the archive by far: none is read.
  ASSERT_EQ(Sync(strace), Status(0, 0));
  EXPECT_EQ(opened(), std::vector<std::string>{});

  // The archive as if written a second after file-25.dat: that file, the
  // one within the clock margin before it and every later one could have
  // changed unseen, and are read; they have not.
  SetMTime(archive_, {now - 7200 + 15 + 1, 0});
#ifdef _WIN32
  // Those it read failed: not changed, as far as it can tell.
  expectedExit_ = 1;
#endif
  ASSERT_EQ(Sync(strace), Status(0, 0));
  std::vector<std::string> read = opened();
  std::sort(read.begin(), read.end());
  std::vector<std::string> expected;
  for (int i = 14; i < 20; ++i) expected.push_back("file-" + std::to_string(10 + i) + ".dat");
  EXPECT_EQ(read, expected);
}

TEST_F(CliExactTime, EntriesOfOtherWritersKeepTheDosRule) {
  // An old file, on an even second so that its DOS time is exact, and one
  // written just before the archive.
  const std::time_t now = std::time(nullptr);
  Write("old.txt", "old1");
  SetMTime(Path("old.txt"), {(now - 3600) & ~std::time_t(1), 0});
  Write("new.txt", "new1");
#ifdef _WIN32
  WriteDosOnlyArchive(archive_, tree_);
#else
  ASSERT_EQ(RunShell(Quoted(test::Python()) + " " + Quoted(work_ / "pywrite.py") + " " +
                     Quoted(archive_) + " " + Quoted(tree_)),
            0);
#endif
  ASSERT_EQ(Fields("Project/old.txt").central, "");
  // Just after the recent file, however long the writer took on a busy
  // machine.
  struct timespec after = MTime(Path("new.txt"));
  after.tv_sec += 1;
  SetMTime(archive_, after);

  // Other contents, same size, same time: the recent file is read and
  // found changed; the old one is judged by its DOS time and kept as it was.
  const struct timespec stored = MTime(Path("new.txt"));
  Write("new.txt", "new2");
  SetMTime(Path("new.txt"), stored);
  ASSERT_EQ(Sync(), Status(1, 0));
  const EntryFields fresh = Fields("Project/new.txt");
  EXPECT_EQ(fresh.data, "new2");
  EXPECT_EQ(fresh.centralTime, std::to_string(FileTimeOf(stored)));
  const EntryFields kept = Fields("Project/old.txt");
  EXPECT_EQ(kept.central, "");
  EXPECT_EQ(kept.data, "old1");
  EXPECT_EQ(Sync(), Status(0, 0));

  // A newer time on the old file replaces it by the DOS rule.
  SetMTime(Path("old.txt"), {(now - 3500) & ~std::time_t(1), 0});
  EXPECT_EQ(Sync(), Status(1, 0));
  EXPECT_EQ(Fields("Project/old.txt").central, "000a,554e");
  EXPECT_EQ(Sync(), Status(0, 0));
  PeersAccept();
}

TEST_F(CliExactTime, ExtractGivesTheExactTimeBack) {
  // 2021-05-06 07:08:09.123456789 UTC.
  Write("f.txt", "exact\n");
  SetMTime(Path("f.txt"), {1620284889, 123456789});
  ASSERT_EQ(Sync(), Status(1, 0));
  PeersAccept();

  // 7-Zip shows the exact time (to its 100 ns).
#ifndef _WIN32
  const fs::path listing = work_ / "7z.txt";
  ASSERT_EQ(RunShell("TZ=UTC 7zz l -slt " + Quoted(archive_) + " > " + Quoted(listing)), 0);
  EXPECT_NE(ReadHostFile(listing).find("Modified = 2021-05-06 07:08:09.1234567"), std::string::npos)
      << ReadHostFile(listing);
#endif

  const fs::path to = work_ / "restored";
#ifdef _WIN32
  ASSERT_EQ(test::RunCli({"extract", Utf8(archive_), "--to", Utf8(to)}, work_).exitCode, 0);
#else
  ASSERT_EQ(RunShell(Cli() + " extract " + Quoted(archive_) + " --to " + Quoted(to) +
                     " > /dev/null 2>&1 < /dev/null"),
            0);
#endif
  const struct timespec restored = MTime(to / "Project" / "f.txt");
  EXPECT_EQ(restored.tv_sec, 1620284889);
  EXPECT_EQ(restored.tv_nsec, 123456700);
  EXPECT_EQ(ReadHostFile(to / "Project" / "f.txt"), "exact\n");
}

}  // namespace
}  // namespace km
