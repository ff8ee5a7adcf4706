// Testing one large entry (decompressing into a discarding stream) against
// its floor in the same run: zlib inflate plus CRC-32 over the same bytes.
// The entry is 256 MiB of mixed data deflated at level 5 in 1 MiB
// sync-flushed blocks, as the compressor writes it. Target: within 10%.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archiver/Archiver.h"

namespace {

constexpr size_t kBlock = 1048576;
constexpr size_t kEntrySize = 256 * kBlock;

struct Entry {
  std::vector<uint8_t> packed;  // raw deflate
  uint32_t crc = 0;
  km::TMemoryStream archive;  // local header + data
  km::TDirItem item;
};

// Runs of text-like bytes, runs of noise and runs of a repeated byte, so
// the blocks compress unevenly the way real files do.
std::vector<uint8_t> MixedData(size_t size) {
  std::vector<uint8_t> out(size);
  uint32_t x = 2463534242u;
  const char* words[] = {"archive ", "entry ", "block ", "data ", "zip ", "volume ", "the "};
  for (size_t i = 0; i < size;) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    const size_t run = std::min<size_t>(4096 + x % 60000, size - i);
    const int kind = int(x >> 29) % 4;
    for (size_t j = 0; j < run; ++j, ++i) {
      if (kind == 0) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        out[i] = uint8_t(x);
      } else if (kind == 3) {
        out[i] = uint8_t(' ');
      } else {
        const char* w = words[(i / 8 + kind) % 7];
        out[i] = uint8_t(w[i % 8] ? w[i % 8] : ' ');
      }
    }
  }
  return out;
}

const Entry& TheEntry() {
  static const std::unique_ptr<Entry> entry = [] {
    auto e = std::make_unique<Entry>();
    const std::vector<uint8_t> data = MixedData(kEntrySize);
    e->crc = uint32_t(crc32(0, data.data(), uInt(data.size())));
    z_stream z{};
    deflateInit2(&z, 5, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    e->packed.resize(deflateBound(&z, uLong(data.size())) + 64 * (data.size() / kBlock));
    z.next_out = e->packed.data();
    z.avail_out = uInt(e->packed.size());
    for (size_t at = 0; at < data.size(); at += kBlock) {
      const size_t n = std::min(kBlock, data.size() - at);
      z.next_in = const_cast<Bytef*>(data.data() + at);
      z.avail_in = uInt(n);
      deflate(&z, at + n < data.size() ? Z_SYNC_FLUSH : Z_FINISH);
    }
    e->packed.resize(z.total_out);
    deflateEnd(&z);

    const uint8_t name[] = "big.bin";
    uint8_t header[30] = {0x50, 0x4B, 0x03, 0x04, 20, 0, 0, 0, 8, 0};
    km::WriteU32LE(header + 14, e->crc);
    km::WriteU32LE(header + 18, uint32_t(e->packed.size()));
    km::WriteU32LE(header + 22, uint32_t(kEntrySize));
    km::WriteU16LE(header + 26, 7);
    e->archive.WriteBuffer(header, 30);
    e->archive.WriteBuffer(name, 7);
    e->archive.WriteBuffer(e->packed.data(), int64_t(e->packed.size()));
    e->item.VersionNeeded = 20;
    e->item.Method = 8;
    e->item.Crc32 = e->crc;
    e->item.CompressedSize = uint32_t(e->packed.size());
    e->item.UncompressedSize = uint32_t(kEntrySize);
    e->item.FileName = u"big.bin";
    return e;
  }();
  return *entry;
}

void BM_TestEntry(benchmark::State& state) {
  const Entry& e = TheEntry();
  km::TMemoryStream& source = const_cast<km::TMemoryStream&>(e.archive);
  km::TKavoMill archiver;
  for (auto _ : state) {
    km::TNullStream out;
    source.SetPosition(0);
    if (!archiver.DecompressEntry(source, out, e.item)) state.SkipWithError("entry failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kEntrySize));
}
BENCHMARK(BM_TestEntry)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The floor: the same compressed bytes read in 1 MiB blocks, inflated into
// a 4 MiB buffer and checksummed with zlib alone.
void BM_ZlibInflateCrcFloor(benchmark::State& state) {
  const Entry& e = TheEntry();
  std::vector<uint8_t> in(kBlock), out(4 * kBlock);
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    uLong crc = crc32(0, nullptr, 0);
    for (size_t at = 0; at < e.packed.size(); at += kBlock) {
      const size_t n = std::min(kBlock, e.packed.size() - at);
      std::copy_n(e.packed.data() + at, n, in.data());  // the read
      z.next_in = in.data();
      z.avail_in = uInt(n);
      do {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        inflate(&z, Z_NO_FLUSH);
        crc = crc32(crc, out.data(), uInt(out.size() - z.avail_out));
      } while (z.avail_in != 0 || z.avail_out == 0);
    }
    inflateEnd(&z);
    if (crc != e.crc) state.SkipWithError("crc");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kEntrySize));
}
BENCHMARK(BM_ZlibInflateCrcFloor)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
