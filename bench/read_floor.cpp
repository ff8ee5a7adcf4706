// The floors of pelko-cli's read-only runs: what any tool pays for them with
// nothing but system calls and zlib, so that what pelko-cli spends on top is
// its own overhead.
//   km_read_floor walk DIR ARCHIVE  the tree listed with an lstat of every
//                                   name, plus the archive's central
//                                   directory read and parsed: a sync that
//                                   finds nothing changed
//   km_read_floor list ARCHIVE      the central directory parsed and one line
//                                   per entry printed (name, size, packed
//                                   size, CRC-32, time, attributes) through
//                                   one buffered writer
//   km_read_floor test ARCHIVE      every entry's data read, inflated into a
//                                   reused buffer and checksummed (one
//                                   inflate stream, reset per entry)
// walk and test print their counts; test exits 1 when an entry fails.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint16_t U16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t U64(const uint8_t* p) {
  return uint64_t(U32(p)) | uint64_t(U32(p + 4)) << 32;
}

bool ReadAt(int fd, void* buffer, size_t n, uint64_t at) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    const ssize_t got = pread(fd, out, n, off_t(at));
    if (got <= 0) return false;
    out += got;
    at += uint64_t(got);
    n -= size_t(got);
  }
  return true;
}

// ---- the tree

struct TreeCount {
  uint64_t files = 0, dirs = 0, bytes = 0;
};

void Walk(int dirFd, TreeCount& count) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return;
  }
  std::vector<std::string> subdirs;
  while (const dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ++count.dirs;
      subdirs.emplace_back(e->d_name);
    } else {
      ++count.files;
      count.bytes += uint64_t(st.st_size);
    }
  }
  // One listing open at a time, as an archiver walks.
  for (const std::string& name : subdirs) {
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) Walk(fd, count);
  }
  closedir(dir);
}

// ---- the central directory

struct Entry {
  const uint8_t* name;
  uint16_t nameLength;
  uint16_t method, time, date, flags;
  uint32_t crc, attributes;
  uint64_t packed, size, offset;
};

// Walks the central directory in blocks through one reused buffer, as a
// reader of any size must (one read of a large directory into fresh memory
// costs a page fault per page), handing each entry to visit.
class Directory {
 public:
  template <typename Visit>
  bool Walk(int fd, Visit&& visit) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 22) return false;
    const uint64_t size = uint64_t(st.st_size);
    const uint64_t tailSize = std::min<uint64_t>(size, 65557);
    std::vector<uint8_t> tail(tailSize);
    if (!ReadAt(fd, tail.data(), tailSize, size - tailSize)) return false;
    int64_t at = -1;
    for (int64_t i = int64_t(tailSize) - 22; i >= 0; --i) {
      if (U32(&tail[size_t(i)]) == 0x06054b50) {
        at = i;
        break;
      }
    }
    if (at < 0) return false;
    const uint8_t* end = &tail[size_t(at)];
    uint64_t dirSize = U32(end + 12), dirOffset = U32(end + 16);
    if (uint64_t(at) >= 20 && U32(&tail[size_t(at) - 20]) == 0x07064b50) {
      uint8_t record[56];
      if (!ReadAt(fd, record, sizeof record, U64(&tail[size_t(at) - 12])) ||
          U32(record) != 0x06064b50)
        return false;
      dirSize = U64(record + 40);
      dirOffset = U64(record + 48);
    }
    if (dirOffset + dirSize > size) return false;

    constexpr size_t kBlock = 1 << 16;
    std::vector<uint8_t> buffer(4 * kBlock);
    size_t begin = 0, filled = 0;
    uint64_t next = dirOffset, left = dirSize;
    // At least n bytes from begin in the buffer, or false at the end.
    auto have = [&](size_t n) {
      while (filled - begin < n) {
        if (left == 0) return false;
        std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
        filled -= begin;
        begin = 0;
        const size_t take = size_t(std::min<uint64_t>(left, buffer.size() - filled));
        if (!ReadAt(fd, buffer.data() + filled, take, next)) return false;
        filled += take;
        next += take;
        left -= take;
      }
      return true;
    };
    while (have(46) && U32(&buffer[begin]) == 0x02014b50) {
      const uint8_t* p = &buffer[begin];
      const size_t whole = 46 + size_t(U16(p + 28)) + U16(p + 30) + U16(p + 32);
      if (!have(whole)) return false;
      p = &buffer[begin];
      Entry e;
      e.flags = U16(p + 8);
      e.method = U16(p + 10);
      e.time = U16(p + 12);
      e.date = U16(p + 14);
      e.crc = U32(p + 16);
      e.packed = U32(p + 20);
      e.size = U32(p + 24);
      e.nameLength = U16(p + 28);
      e.attributes = U32(p + 38);
      e.offset = U32(p + 42);
      e.name = p + 46;
      const uint8_t* extra = e.name + e.nameLength;
      const uint8_t* extraEnd = extra + U16(p + 30);
      // Every extra field is walked; the Zip64 one replaces the sentinels.
      for (const uint8_t* f = extra; extraEnd - f >= 4;) {
        const uint16_t tag = U16(f), length = U16(f + 2);
        const uint8_t* v = f + 4;
        if (v + length > extraEnd) break;
        if (tag == 1) {
          const uint8_t* q = v;
          if (e.size == 0xFFFFFFFF && q + 8 <= v + length) e.size = U64(q), q += 8;
          if (e.packed == 0xFFFFFFFF && q + 8 <= v + length) e.packed = U64(q), q += 8;
          if (e.offset == 0xFFFFFFFF && q + 8 <= v + length) e.offset = U64(q);
        }
        f = v + length;
      }
      visit(e);
      ++count_;
      begin += whole;
    }
    return true;
  }

  size_t Count() const { return count_; }

 private:
  size_t count_ = 0;
};

// ---- printing

class Writer {
 public:
  ~Writer() { Flush(); }
  void Put(const void* data, size_t n) {
    if (used_ + n > sizeof buffer_) Flush();
    std::memcpy(buffer_ + used_, data, n);
    used_ += n;
  }
  void Char(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
  }
  void Decimal(uint64_t v, int width = 1) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = char('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) Char(digits[--n]);
  }
  void Hex(uint64_t v, int width) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[20];
    int n = 0;
    do {
      digits[n++] = kDigits[v & 15];
      v >>= 4;
    } while (v != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) Char(digits[--n]);
  }
  void Flush() {
    for (size_t done = 0; done < used_;) {
      const ssize_t n = write(1, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    used_ = 0;
  }

 private:
  char buffer_[1 << 16];
  size_t used_ = 0;
};

void Line(Writer& out, const Entry& e) {
  {
    out.Put(e.name, e.nameLength);
    out.Char('\t');
    out.Decimal(e.size);
    out.Char('\t');
    out.Decimal(e.packed);
    out.Char('\t');
    out.Hex(e.crc, 8);
    out.Char('\t');
    out.Decimal(1980 + (e.date >> 9), 4);
    out.Char('-');
    out.Decimal((e.date >> 5) & 15, 2);
    out.Char('-');
    out.Decimal(e.date & 31, 2);
    out.Char(' ');
    out.Decimal(e.time >> 11, 2);
    out.Char(':');
    out.Decimal((e.time >> 5) & 63, 2);
    out.Char(':');
    out.Decimal((e.time & 31) * 2, 2);
    out.Put("\t0x", 3);
    out.Hex(e.attributes, 1);
    out.Char('\n');
  }
}

// ---- testing

// Inflates and checks one entry; false when it fails.
class Tester {
 public:
  Tester() : in_(kInput), out_(kOutput) { inflateInit2(&z_, -MAX_WBITS); }
  ~Tester() { inflateEnd(&z_); }
  Tester(const Tester&) = delete;
  Tester& operator=(const Tester&) = delete;

  bool Entry(int fd, const ::Entry& e) {
    uint8_t local[30];
    if (!ReadAt(fd, local, sizeof local, e.offset) || U32(local) != 0x04034b50) return false;
    uint64_t at = e.offset + 30 + U16(local + 26) + U16(local + 28);
    uint64_t left = e.packed, produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    if (e.method != 0 && e.method != 8) return false;
    if (e.method == 8) inflateReset(&z_);
    int rc = Z_OK;
    while (left > 0 && rc != Z_STREAM_END) {
      const size_t n = size_t(std::min<uint64_t>(left, kInput));
      if (!ReadAt(fd, in_.data(), n, at)) return false;
      at += n;
      left -= n;
      if (e.method == 0) {
        crc = crc32(crc, in_.data(), uInt(n));
        produced += n;
        continue;
      }
      z_.next_in = in_.data();
      z_.avail_in = uInt(n);
      do {
        z_.next_out = out_.data();
        z_.avail_out = uInt(kOutput);
        rc = inflate(&z_, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
        const size_t got = kOutput - z_.avail_out;
        crc = crc32(crc, out_.data(), uInt(got));
        produced += got;
      } while (rc != Z_STREAM_END && rc != Z_BUF_ERROR && (z_.avail_out == 0 || z_.avail_in > 0));
    }
    bytes_ += produced;
    return produced == e.size && crc == e.crc;
  }
  uint64_t Bytes() const { return bytes_; }

 private:
  static constexpr size_t kInput = 1 << 20, kOutput = 1 << 18;
  std::vector<uint8_t> in_, out_;
  z_stream z_{};
  uint64_t bytes_ = 0;
};

int Usage() {
  std::fprintf(stderr, "usage: km_read_floor walk DIR ARCHIVE | list ARCHIVE | test ARCHIVE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  if (mode == "walk" ? argc != 4 : argc != 3) return Usage();
  if (mode != "walk" && mode != "list" && mode != "test") return Usage();
  TreeCount tree;
  if (mode == "walk") {
    const int root = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
      std::perror(argv[2]);
      return 2;
    }
    Walk(root, tree);
  }
  const char* archive = argv[argc - 1];
  const int fd = open(archive, O_RDONLY | O_CLOEXEC);
  Directory dir;
  bool read = fd >= 0;
  Writer out;
  Tester tester;
  uint64_t failed = 0;
  if (read && mode == "walk") {
    read = dir.Walk(fd, [](const Entry&) {});
  } else if (read && mode == "list") {
    read = dir.Walk(fd, [&](const Entry& e) { Line(out, e); });
  } else if (read) {
    read = dir.Walk(fd, [&](const Entry& e) {
      if (!tester.Entry(fd, e)) ++failed;
    });
  }
  if (!read) {
    out.Flush();
    std::fprintf(stderr, "km_read_floor: cannot read the directory of %s\n", archive);
    return 2;
  }
  if (mode == "walk")
    std::printf("files %" PRIu64 " folders %" PRIu64 " bytes %" PRIu64 " entries %zu\n", tree.files,
                tree.dirs, tree.bytes, dir.Count());
  if (mode == "test")
    std::printf("entries %zu failed %" PRIu64 " bytes %" PRIu64 "\n", dir.Count(), failed,
                tester.Bytes());
  return failed != 0 ? 1 : 0;
}
