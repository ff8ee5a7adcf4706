// The floor any archiver pays for a tree: every regular file read once and
// deflated with zlib at level 5 in 1 MiB blocks (raw deflate, sync flushes
// between blocks, Z_FINISH at the end) plus crc32 over its bytes. No ZIP
// records, no names, no output file: what is left of an archiver's time
// after this is its own overhead.
//   km_deflate_floor DIR|FILE
// prints the file count and the total bytes read and produced.
#include <zlib.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlock = 0x100000;

struct Totals {
  uint64_t files = 0;
  uint64_t in = 0;
  uint64_t out = 0;
  uint32_t crcMix = 0;  // keeps the crc work observable
};

// One stream for the whole run, reset per file, as an archiver would keep it.
bool DeflateFile(const fs::path& path, z_stream& s, std::vector<uint8_t>& in,
                 std::vector<uint8_t>& next, std::vector<uint8_t>& out, Totals& totals) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  deflateReset(&s);
  uLong crc = crc32(0, nullptr, 0);
  // Read one block ahead so that the last block is known and gets Z_FINISH,
  // also for an empty file.
  size_t n = std::fread(in.data(), 1, kBlock, f);
  bool ok = true;
  for (;;) {
    const size_t m = n == kBlock ? std::fread(next.data(), 1, kBlock, f) : 0;
    const bool last = m == 0;
    crc = crc32(crc, in.data(), uInt(n));
    s.next_in = in.data();
    s.avail_in = uInt(n);
    do {
      s.next_out = out.data();
      s.avail_out = uInt(out.size());
      const int rc = deflate(&s, last ? Z_FINISH : Z_SYNC_FLUSH);
      if (rc == Z_STREAM_ERROR) ok = false;
      totals.out += out.size() - s.avail_out;
    } while (ok && s.avail_out == 0);
    totals.in += n;
    if (last || !ok) break;
    in.swap(next);
    n = m;
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  totals.crcMix ^= uint32_t(crc);
  ++totals.files;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: km_deflate_floor DIR|FILE\n");
    return 2;
  }
  z_stream s{};
  if (deflateInit2(&s, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 2;
  std::vector<uint8_t> in(kBlock), next(kBlock);
  std::vector<uint8_t> out(deflateBound(&s, kBlock) + 64);
  Totals totals;
  int failures = 0;
  auto one = [&](const fs::path& path) {
    if (DeflateFile(path, s, in, next, out, totals)) return;
    std::fprintf(stderr, "km_deflate_floor: cannot read %s\n", path.c_str());
    ++failures;
  };
  std::error_code ec;
  if (fs::is_regular_file(argv[1], ec)) {
    one(argv[1]);  // the floor of adding or replacing just this file
  } else {
    fs::recursive_directory_iterator it(argv[1], ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError)) one(it->path());
    }
  }
  deflateEnd(&s);
  if (ec) {
    std::fprintf(stderr, "km_deflate_floor: %s: %s\n", argv[1], ec.message().c_str());
    return 2;
  }
  std::printf("files %" PRIu64 " in %" PRIu64 " out %" PRIu64 " crcmix %08" PRIx32 "\n",
              totals.files, totals.in, totals.out, totals.crcMix);
  return failures ? 1 : 0;
}
