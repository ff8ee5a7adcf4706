// Compressing one 200 MiB entry at mode 5 (the dialog's setting) against the
// floor measured in the same run: zlib at level 5 over the same bytes in the
// same 1 MiB blocks with sync flushes, plus zlib's crc32 over them. The goal
// is BM_CompressEntry within 10% of BM_DeflateFloor.
//   cmake -S . -B build-bench -G Ninja -DKM_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target km_bench
//   build-bench/bin/km_bench --benchmark_filter='CompressEntry|DeflateFloor'
// An entry of 4 GiB and more (the Zip64 sizes) is not run here or in the
// tests with real data; the tests cover that rule with a zero source.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archiver/Archiver.h"

namespace {

constexpr size_t kEntrySize = size_t(200) << 20;
constexpr size_t kBlock = 0x100000;

// Half noise, half repeated text, alternating every 64 KiB.
const std::string& MixedData() {
  static const std::string data = [] {
    static const std::string text =
        "Pelko keeps one archive in step with the folder of its executable. ";
    std::string d(kEntrySize, '\0');
    uint32_t x = 2024;
    for (size_t i = 0; i < d.size(); ++i) {
      x = x * 1103515245u + 12345u;
      d[i] = ((i >> 16) & 1) ? char(x >> 16) : text[i % text.size()];
    }
    return d;
  }();
  return data;
}

void BM_CompressEntry(benchmark::State& state) {
  const std::string& data = MixedData();
  km::TMemoryStream source;
  source.WriteBuffer(data.data(), int64_t(data.size()));
  km::TKavoMill archiver;
  for (auto _ : state) {
    km::TNullStream output;
    km::TDirItem item;
    item.Method = 8;
    item.CompressionMode = 5;
    if (!archiver.CompressEntry(source, output, item)) state.SkipWithError("cancelled");
    benchmark::DoNotOptimize(item.Crc32);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_CompressEntry)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DeflateFloor(benchmark::State& state) {
  const std::string& data = MixedData();
  std::vector<uint8_t> out(kBlock + kBlock / 10 + 4096);
  for (auto _ : state) {
    z_stream s{};
    deflateInit2(&s, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t produced = 0;
    for (size_t at = 0; at < data.size(); at += kBlock) {
      const size_t n = std::min(kBlock, data.size() - at);
      const auto* in = reinterpret_cast<const Bytef*>(data.data() + at);
      crc = crc32(crc, in, uInt(n));
      s.next_in = const_cast<Bytef*>(in);
      s.avail_in = uInt(n);
      s.next_out = out.data();
      s.avail_out = uInt(out.size());
      deflate(&s, at + n == data.size() ? Z_FINISH : Z_SYNC_FLUSH);
      produced += out.size() - s.avail_out;
    }
    deflateEnd(&s);
    benchmark::DoNotOptimize(crc);
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_DeflateFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
