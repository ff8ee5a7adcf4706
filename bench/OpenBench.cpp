// Opening an archive and listing every entry, for 10,000 to 100,000 entries:
// the time per entry must stay flat (no quadratic step in the directory
// reader, the name index or the array's growth). `unzip -l` over the same
// archive is the yardstick; its figure includes starting the process.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "common/TempDir.h"
#include "platform/HostPath.h"

namespace {

namespace fs = std::filesystem;

void Put16(std::string& out, uint16_t v) {
  out += char(v & 0xFF);
  out += char(v >> 8);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, uint16_t(v & 0xFFFF));
  Put16(out, uint16_t(v >> 16));
}

// A stored archive of `count` small entries in 100 folders, written directly:
// the benchmark must not depend on another tool to make its input. More than
// 65,534 entries need the Zip64 end record and locator.
std::string MakeArchive(uint32_t count) {
  std::string body, dir;
  for (uint32_t i = 0; i < count; ++i) {
    char name[64];
    const int nameLength = std::snprintf(name, sizeof name, "folder%02u/entry%06u.txt", i % 100, i);
    const std::string data = "entry " + std::to_string(i) + "\n";
    const uint32_t crc =
        uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
    const uint32_t offset = uint32_t(body.size());
    for (bool central : {false, true}) {
      std::string& out = central ? dir : body;
      Put32(out, central ? 0x02014B50 : 0x04034B50);
      if (central) Put16(out, 20);  // version made by
      Put16(out, 20);               // version needed
      Put16(out, 0);                // flags
      Put16(out, 0);                // stored
      Put16(out, 0x6000);           // 12:00:00
      Put16(out, 0x5A2F);           // 2025-01-15
      Put32(out, crc);
      Put32(out, uint32_t(data.size()));
      Put32(out, uint32_t(data.size()));
      Put16(out, uint16_t(nameLength));
      Put16(out, 0);  // extra length
      if (central) {
        Put16(out, 0);     // comment length
        Put16(out, 0);     // disk number start
        Put16(out, 0);     // internal attributes
        Put32(out, 0x20);  // archive bit
        Put32(out, offset);
      }
      out.append(name, size_t(nameLength));
      if (!central) out += data;
    }
  }
  const uint64_t dirOffset = body.size();
  std::string archive = body + dir;
  const bool zip64 = count >= 0xFFFF;
  if (zip64) {
    const uint64_t z64Offset = archive.size();
    Put32(archive, 0x06064B50);
    Put32(archive, 44), Put32(archive, 0);  // record size (64-bit)
    Put16(archive, 45), Put16(archive, 45);
    Put32(archive, 0), Put32(archive, 0);                     // volumes
    Put32(archive, count), Put32(archive, 0);                 // entries here
    Put32(archive, count), Put32(archive, 0);                 // entries
    Put32(archive, uint32_t(dir.size())), Put32(archive, 0);  // directory size
    Put32(archive, uint32_t(dirOffset)), Put32(archive, 0);   // directory offset
    Put32(archive, 0x07064B50);
    Put32(archive, 0);
    Put32(archive, uint32_t(z64Offset)), Put32(archive, 0);
    Put32(archive, 1);
  }
  Put32(archive, 0x06054B50);
  Put16(archive, 0), Put16(archive, 0);
  Put16(archive, zip64 ? 0xFFFF : uint16_t(count));
  Put16(archive, zip64 ? 0xFFFF : uint16_t(count));
  Put32(archive, uint32_t(dir.size()));
  Put32(archive, uint32_t(dirOffset));
  Put16(archive, 0);
  return archive;
}

// The archives of one run, made on first use and removed at exit.
class Archives {
 public:
  const fs::path& Get(uint32_t count) {
    auto [it, added] = paths_.try_emplace(count);
    if (added) {
      it->second = dir_.Host() / ("entries" + std::to_string(count) + ".zip");
      km::test::WriteHostFile(it->second, MakeArchive(count));
    }
    return it->second;
  }

 private:
  km::test::TempDir dir_;
  std::map<uint32_t, fs::path> paths_;
};

Archives& TheArchives() {
  static Archives archives;
  return archives;
}

void SetPerEntry(benchmark::State& state, int64_t entries) {
  state.SetItemsProcessed(state.iterations() * entries);
  // Seconds per entry, printed with an SI prefix (u = microseconds).
  state.counters["per_entry"] = benchmark::Counter(
      double(entries), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_OpenAndList(benchmark::State& state) {
  const auto count = uint32_t(state.range(0));
  const std::u16string name = km::ToWindowsView(TheArchives().Get(count));
  for (auto _ : state) {
    km::TKavoMill archiver;
    archiver.SetFileName(name);
    archiver.OpenArchive(km::kOpenModeReadOnly);
    const km::TKMDirArray& dir = archiver.DirManager()->CurrentDir();
    uint64_t total = 0;
    for (int32_t i = 0; i < dir.Count(); ++i) {
      const km::TDirItem& item = dir.GetItem(i);
      total += item.FileName.size() + item.UncompressedSize + item.Crc32;
    }
    benchmark::DoNotOptimize(total);
    if (dir.Count() != int32_t(count)) {
      state.SkipWithError("the archive did not open with every entry");
      break;
    }
    archiver.CloseArchive();
  }
  SetPerEntry(state, count);
}
BENCHMARK(BM_OpenAndList)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_UnzipList(benchmark::State& state) {
  const auto count = uint32_t(state.range(0));
  const std::string command = "unzip -l '" + TheArchives().Get(count).string() + "' 2>/dev/null";
  std::vector<char> buffer(1 << 16);
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("cannot start unzip");
      break;
    }
    size_t bytes = 0;
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) bytes += n;
    if (pclose(pipe) != 0 || bytes == 0) {
      state.SkipWithError("unzip -l failed (not installed?)");
      break;
    }
  }
  SetPerEntry(state, count);
}
BENCHMARK(BM_UnzipList)
    ->Arg(10000)
    ->Arg(30000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
