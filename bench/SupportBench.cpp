// Micro benchmarks of the support library's hot paths:
//   cmake -S . -B build-bench -G Ninja -DKM_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target km_bench && build-bench/bin/km_bench
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/Crc32.h"
#include "support/Masks.h"

namespace {

std::vector<uint8_t> Buffer(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return data;
}

void BM_Crc32Update(benchmark::State& state) {
  const auto data = Buffer(size_t(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(km::Crc32Update(0xFFFFFFFFu, data.data(), int64_t(data.size())));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Update)->Arg(4096)->Arg(1 << 20);

// zlib's crc32 over the same bytes: the figure Crc32Update is measured against.
void BM_ZlibCrc32(benchmark::State& state) {
  const auto data = Buffer(size_t(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32(0, data.data(), uInt(data.size())));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ZlibCrc32)->Arg(4096)->Arg(1 << 20);

// A mask with many stars against a long name that does not match: the naive
// recursive matcher takes exponential time here.
void BM_WildMatchManyStars(benchmark::State& state) {
  const std::u16string name(size_t(state.range(0)), u'a');
  const std::u16string mask = u"*a*a*a*a*a*a*a*a*b";
  for (auto _ : state) {
    benchmark::DoNotOptimize(km::WildMatch(name, mask, true));
  }
}
BENCHMARK(BM_WildMatchManyStars)->Arg(50)->Arg(200);

void BM_WildMatchTypical(benchmark::State& state) {
  const std::u16string name = u"Z:\\home\\user\\projects\\pelko\\src\\archiver\\Archiver.cpp";
  for (auto _ : state) {
    benchmark::DoNotOptimize(km::WildMatch(name, u"Z:\\home\\user\\*.cpp", true));
  }
}
BENCHMARK(BM_WildMatchTypical);

}  // namespace
