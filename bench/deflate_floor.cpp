// The floor any archiver pays for a tree: every regular file read once and
// deflated with zlib at level 5 in 1 MiB blocks (raw deflate, sync flushes
// between blocks, Z_FINISH at the end) plus crc32 over its bytes. No ZIP
// records, no names, no output file: what is left of an archiver's time
// after this is its own overhead.
//   km_deflate_floor [--store EXT,EXT...] DIR|FILE
// prints the file count and the total bytes read and produced. Files whose
// extension is listed after --store (case-insensitive, without the dot) are
// only read and crc'd, as an archiver that stores them would.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
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

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Floor {
 public:
  explicit Floor(std::vector<std::string> stored)
      : stored_(std::move(stored)), in_(kBlock), next_(kBlock) {
    deflateInit2(&stream_, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    out_.resize(deflateBound(&stream_, kBlock) + 64);
  }
  ~Floor() { deflateEnd(&stream_); }
  Floor(const Floor&) = delete;
  Floor& operator=(const Floor&) = delete;

  bool File(const fs::path& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    const bool store = IsStored(path);
    // One stream for the whole run, reset per file, as an archiver keeps it.
    deflateReset(&stream_);
    uLong crc = crc32(0, nullptr, 0);
    // One block read ahead tells which block is the last, to finish the
    // stream with it (an empty file too).
    size_t n = std::fread(in_.data(), 1, kBlock, f);
    bool ok = true;
    for (;;) {
      const size_t m = n == kBlock ? std::fread(next_.data(), 1, kBlock, f) : 0;
      const bool last = m == 0;
      crc = crc32(crc, in_.data(), uInt(n));
      if (store) {
        totals_.out += n;
      } else {
        ok = Deflate(n, last);
      }
      totals_.in += n;
      if (last || !ok) break;
      in_.swap(next_);
      n = m;
    }
    if (std::ferror(f)) ok = false;
    std::fclose(f);
    totals_.crcMix ^= uint32_t(crc);
    ++totals_.files;
    return ok;
  }

  const Totals& Result() const { return totals_; }

 private:
  bool Deflate(size_t n, bool last) {
    stream_.next_in = in_.data();
    stream_.avail_in = uInt(n);
    do {
      stream_.next_out = out_.data();
      stream_.avail_out = uInt(out_.size());
      if (deflate(&stream_, last ? Z_FINISH : Z_SYNC_FLUSH) == Z_STREAM_ERROR) return false;
      totals_.out += out_.size() - stream_.avail_out;
    } while (stream_.avail_out == 0);
    return true;
  }

  bool IsStored(const fs::path& path) const {
    if (stored_.empty() || !path.has_extension()) return false;
    const std::string ext = Lower(path.extension().string().substr(1));
    return std::find(stored_.begin(), stored_.end(), ext) != stored_.end();
  }

  std::vector<std::string> stored_;
  z_stream stream_{};
  std::vector<uint8_t> in_, next_, out_;
  Totals totals_;
};

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = std::min(list.find(',', at), list.size());
    if (comma > at) items.push_back(Lower(list.substr(at, comma - at)));
    at = comma + 1;
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> stored;
  int arg = 1;
  if (argc == 4 && std::strcmp(argv[1], "--store") == 0) {
    stored = SplitList(argv[2]);
    arg = 3;
  }
  if (arg != argc - 1) {
    std::fprintf(stderr, "usage: km_deflate_floor [--store EXT,EXT...] DIR|FILE\n");
    return 2;
  }
  const fs::path root = argv[arg];
  Floor floor(std::move(stored));
  int failures = 0;
  auto one = [&](const fs::path& path) {
    if (floor.File(path)) return;
    std::fprintf(stderr, "km_deflate_floor: cannot read %s\n", path.c_str());
    ++failures;
  };
  std::error_code ec;
  if (fs::is_regular_file(root, ec)) {
    one(root);  // the floor of adding or replacing just this file
  } else {
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError)) one(it->path());
    }
  }
  if (ec) {
    std::fprintf(stderr, "km_deflate_floor: %s: %s\n", root.c_str(), ec.message().c_str());
    return 2;
  }
  const Totals& t = floor.Result();
  std::printf("files %" PRIu64 " in %" PRIu64 " out %" PRIu64 " crcmix %08" PRIx32 "\n", t.files,
              t.in, t.out, t.crcMix);
  return failures ? 1 : 0;
}
