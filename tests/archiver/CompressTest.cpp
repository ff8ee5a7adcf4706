// Entry compression: every output is checked against zlib itself (inflate
// and a raw deflate fed the same blocks), encryption against a decryptor
// written here from the ZIP application note, and whole entries against
// unzip, 7zz and python zipfile.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/Compress.h"
#include "archiver/PeerArchives.h"
#include "zipformat/ArchiveContext.h"
#include "zipformat/DirManager.h"
#include "zipformat/ZipBuilder.h"

namespace km {
namespace {

using test::Le16;
using test::Le32;

constexpr int64_t kSmallBlock = 0x80000;  // mode 1

class TestArchiver : public TKavoMill {
 public:
  uint32_t seed = 0x1234567;
  uint32_t EncryptionSeed() override { return seed; }

  void EnableProgress(int64_t total, int64_t done) {
    progressEnabled_ = true;
    totalBytes_ = total;
    doneBytes_ = done;
  }
  void SetCancelled(bool value) { cancelled_ = value; }
};

// Alternating runs of noise and of repeated text, so that deflate meets both.
std::string MakeData(size_t size, uint32_t seed = 7) {
  static const std::string text = "The quick brown fox jumps over the lazy dog. 0123456789\n";
  std::string data(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = ((i >> 12) & 1) ? char(x >> 16) : text[i % text.size()];
  }
  return data;
}

uint32_t ZlibCrc(const std::string& data) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

// Raw deflate data back to bytes; "<bad>" when zlib rejects it or data
// follows the end of the stream.
std::string InflateRaw(const std::string& raw) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return "<bad>";
  std::string out;
  std::vector<uint8_t> chunk(1 << 16);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  s.avail_in = uInt(raw.size());
  int result = Z_OK;
  while (result == Z_OK) {
    s.next_out = chunk.data();
    s.avail_out = uInt(chunk.size());
    result = inflate(&s, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(chunk.data()), chunk.size() - s.avail_out);
    if (result == Z_BUF_ERROR && s.avail_in == 0) break;
  }
  const bool whole = result == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  return whole ? out : "<bad>";
}

// What zlib makes of the same blocks: each one a raw stream of its own,
// primed with the 32 KiB of data before it, ended with a sync flush, the
// last one finished.
std::string ReferenceDeflate(const std::string& data, int level, int64_t block) {
  std::string out;
  std::vector<uint8_t> buf(size_t(block) * 2 + 1024);
  for (size_t at = 0; at < data.size(); at += size_t(block)) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const size_t primed = std::min<size_t>(at, 32768);
    if (primed > 0) {
      EXPECT_EQ(deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(data.data() + at - primed),
                                     uInt(primed)),
                Z_OK);
    }
    const size_t n = std::min(size_t(block), data.size() - at);
    const bool last = at + n == data.size();
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
    s.avail_in = uInt(n);
    s.next_out = buf.data();
    s.avail_out = uInt(buf.size());
    EXPECT_EQ(deflate(&s, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
    out.append(reinterpret_cast<char*>(buf.data()), buf.size() - s.avail_out);
    deflateEnd(&s);
  }
  return out;
}

std::string Bytes(const TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Bytes().data()), s.Bytes().size());
}

TDirItem MakeItem(int mode, std::u16string password = u"") {
  TDirItem item;
  item.Method = mode > 0 ? 8 : 0;
  item.CompressionMode = uint8_t(mode);
  item.Password = std::move(password);
  item.SourceFileName = u"Z:\\src\\file.bin";
  item.Operation = poAdd;
  return item;
}

struct Result {
  bool ok = false;
  TDirItem item;
  std::string out;
};

Result Compress(TKMBaseArchiver& a, const std::string& data, TDirItem item) {
  TMemoryStream source, output;
  source.WriteBuffer(data.data(), int64_t(data.size()));
  Result r;
  r.ok = a.CompressEntry(source, output, item);
  r.item = item;
  r.out = Bytes(output);
  return r;
}

// ---- The application note's decryption, kept apart from the component's.

uint32_t NoteCrcStep(uint32_t crc, uint8_t b) {
  crc ^= b;
  for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  return crc;
}

struct NoteKeys {
  uint32_t k0 = 305419896, k1 = 591751049, k2 = 878082192;
  void Update(uint8_t c) {
    k0 = NoteCrcStep(k0, c);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = NoteCrcStep(k2, uint8_t(k1 >> 24));
  }
  uint8_t Decrypt(uint8_t c) {
    const uint32_t temp = (k2 | 2) & 0xFFFF;  // unsigned: the product exceeds int
    c ^= uint8_t((temp * (temp ^ 1)) >> 8);
    Update(c);
    return c;
  }
};

std::string NoteDecrypt(const std::string& password, const std::string& cipher) {
  NoteKeys keys;
  for (char c : password) keys.Update(uint8_t(c));
  std::string plain;
  for (char c : cipher) plain += char(keys.Decrypt(uint8_t(c)));
  return plain;
}

// The header's ten random bytes for a seed.
std::string HeaderNoise(uint32_t seed) {
  std::string noise;
  for (int i = 0; i < 10; ++i) {
    seed = seed * 134775813u + 1;
    noise += char((uint64_t(seed) * 0x7FFFFFFF) >> 32);
  }
  return noise;
}

// ---- Test streams.

// Refuses (after taking half of it) each write from the write numbered
// refuseFrom on, as long as refusals remain.
class FullDiskStream : public TMemoryStream {
 public:
  int refuseFrom = 0;
  int refusals = 0;
  int writes = 0;
  std::vector<int64_t> attempts;  // where each write from refuseFrom on began

  int64_t Write(const void* buffer, int64_t count) override {
    const int index = writes++;
    if (index < refuseFrom) return TMemoryStream::Write(buffer, count);
    attempts.push_back(Position());
    if (refusals > 0) {
      --refusals;
      return TMemoryStream::Write(buffer, count / 2);
    }
    return TMemoryStream::Write(buffer, count);
  }
};

// Claims size bytes; holds only `available` on the first `shortPasses`
// readings (a reading starts at each seek to 0), all of them afterwards.
class ShortSource : public TStream {
 public:
  ShortSource(std::string data, int64_t available, int shortPasses)
      : data_(std::move(data)), available_(available), shortPasses_(shortPasses) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t end = pass_ <= shortPasses_ ? available_ : int64_t(data_.size());
    const int64_t n = std::max<int64_t>(0, std::min(count, end - pos_));
    std::memcpy(buffer, data_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == soBeginning && offset == 0) ++pass_;
    if (origin == soBeginning) pos_ = offset;
    if (origin == soCurrent) pos_ += offset;
    return pos_;
  }
  int64_t Size() override { return int64_t(data_.size()); }
  void SetSize(int64_t) override {}

 private:
  std::string data_;
  int64_t available_;
  int shortPasses_;
  int pass_ = 0;
  int64_t pos_ = 0;
};

// size zero bytes that cost nothing to read: the buffer is left as it is,
// and the read buffer starts zero-filled.
class ZeroSource : public TStream {
 public:
  explicit ZeroSource(int64_t size) : size_(size) {}
  int64_t Read(void*, int64_t count) override {
    const int64_t n = std::min(count, size_ - pos_);
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return pos_ = origin == soBeginning ? offset : pos_ + offset;
  }
  int64_t Size() override { return size_; }
  void SetSize(int64_t) override {}

 private:
  int64_t size_;
  int64_t pos_ = 0;
};

// ---- Tests.

TEST(Compress, ReadBlockSizeTable) {
  EXPECT_EQ(ReadBlockSize(0), 0x100000u);
  for (int m : {1, 2, 3}) EXPECT_EQ(ReadBlockSize(m), 0x80000u);
  for (int m : {4, 5, 6}) EXPECT_EQ(ReadBlockSize(m), 0x100000u);
  for (int m : {7, 8, 9}) EXPECT_EQ(ReadBlockSize(m), 0x180000u);
  for (int m : {-1, 10, 255}) EXPECT_EQ(ReadBlockSize(m), 0x100000u);
}

// Sizes around the block boundaries, stored and at three levels, all through
// one archiver so that its deflate stream is reused across entries and
// levels. The raw stream must be zlib's own for the same blocks and flushes:
// a missing sync flush, an extra one, or a header or trailer byte left in or
// cut off shows up here.
TEST(Compress, RoundTripsAtBlockBoundaries) {
  TestArchiver a;
  for (int mode : {0, 1, 5, 9, 1}) {
    const int64_t block = ReadBlockSize(mode);
    for (int64_t size : {int64_t(0), int64_t(1), block, 2 * block, 2 * block + 1}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + " size " + std::to_string(size));
      const std::string data = MakeData(size_t(size), uint32_t(size + mode));
      const Result r = Compress(a, data, MakeItem(mode));
      ASSERT_TRUE(r.ok);
      EXPECT_EQ(r.item.Crc32, ZlibCrc(data));
      EXPECT_EQ(r.item.UncompressedSize, uint32_t(size));
      EXPECT_EQ(r.item.CompressedSize, uint32_t(r.out.size()));
      EXPECT_FALSE(r.item.Zip64Used);
      if (size == 0) {
        EXPECT_EQ(r.item.Method, 0);
        EXPECT_TRUE(r.out.empty());
      } else if (mode == 0) {
        EXPECT_EQ(r.item.Method, 0);
        EXPECT_TRUE(r.out == data);
      } else {
        EXPECT_EQ(r.item.Method, 8);
        EXPECT_TRUE(r.out == ReferenceDeflate(data, mode, block));
        EXPECT_TRUE(InflateRaw(r.out) == data);
      }
    }
  }
}

// Method and mode disagree: the method decides. A stored item carrying a
// deflate mode once lost its last 4 bytes to the trailer cut, and a deflated
// item at mode 0 kept the Adler-32 trailer after its data.
TEST(Compress, MethodDecidesWhatIsCutOff) {
  TestArchiver a;
  const std::string data = MakeData(size_t(kSmallBlock) + 100);
  TDirItem stored = MakeItem(5);
  stored.Method = 0;
  const Result s = Compress(a, data, stored);
  ASSERT_TRUE(s.ok);
  EXPECT_TRUE(s.out == data);
  EXPECT_EQ(s.item.CompressedSize, data.size());

  TDirItem level0 = MakeItem(0);
  level0.Method = 8;
  const Result d = Compress(a, data, level0);
  ASSERT_TRUE(d.ok);
  EXPECT_TRUE(d.out == ReferenceDeflate(data, 0, ReadBlockSize(0)));
  EXPECT_TRUE(InflateRaw(d.out) == data);
}

// Output that does not fit the block's buffer goes on in a larger one
// rather than being dropped.
TEST(Compress, DeflaterGrowsItsBufferInsteadOfDroppingOutput) {
  const std::string data = MakeData(300000, 99);
  TBlockDeflater deflater;
  for (size_t initial : {size_t(1), size_t(256), DeflateBufferSize(100000)}) {
    SCOPED_TRACE(initial);
    deflater.Start(6);
    std::string wrapped;
    for (size_t at = 0; at < data.size(); at += 100000) {
      const bool last = at + 100000 >= data.size();
      const size_t n = deflater.Deflate(reinterpret_cast<const uint8_t*>(data.data() + at), 100000,
                                        last, initial);
      wrapped.append(reinterpret_cast<const char*>(deflater.Output()), n);
    }
    EXPECT_FALSE(deflater.Unfinished());
    ASSERT_GT(wrapped.size(), 6u);
    EXPECT_TRUE(InflateRaw(wrapped.substr(2, wrapped.size() - 6)) == data);
  }
  EXPECT_EQ(DeflateBufferSize(0), 256u);
  EXPECT_EQ(DeflateBufferSize(222), 256u);  // 222 + 22 + 12 = 256
  EXPECT_EQ(DeflateBufferSize(223), 512u);
}

// Encrypted entries, stored and deflated, decrypted by the application
// note's own procedure: ten bytes from the seeded generator, the CRC's two
// high bytes, then exactly what the unencrypted entry would hold.
TEST(Compress, EncryptedEntriesDecryptWithTheApplicationNote) {
  TestArchiver a;
  for (int mode : {0, 1}) {
    for (int64_t size : {int64_t(0), int64_t(1), kSmallBlock, 2 * kSmallBlock + 1}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + " size " + std::to_string(size));
      const std::string data = MakeData(size_t(size), 3);
      a.seed = uint32_t(size * 31 + mode);
      const Result plain = Compress(a, data, MakeItem(mode));
      const Result enc = Compress(a, data, MakeItem(mode, u"secret"));
      ASSERT_TRUE(enc.ok);
      EXPECT_EQ(enc.item.Crc32, plain.item.Crc32);
      EXPECT_EQ(enc.item.Method, plain.item.Method);
      EXPECT_EQ(enc.item.UncompressedSize, uint32_t(size));
      EXPECT_EQ(enc.item.CompressedSize, plain.out.size() + 12);
      ASSERT_EQ(enc.out.size(), plain.out.size() + 12);
      const std::string clear = NoteDecrypt("secret", enc.out);
      EXPECT_TRUE(clear.substr(0, 10) == HeaderNoise(a.seed));
      EXPECT_EQ(uint8_t(clear[10]), uint8_t(plain.item.Crc32 >> 16));
      EXPECT_EQ(uint8_t(clear[11]), uint8_t(plain.item.Crc32 >> 24));
      EXPECT_TRUE(clear.substr(12) == plain.out);
    }
  }
  // The wide password goes through the ANSI code page (1251), not UTF-8.
  const std::string data = MakeData(1000);
  const Result r = Compress(a, data, MakeItem(1, u"\u043F\u0430\u0440\u043E\u043B\u044C"));
  ASSERT_TRUE(r.ok);
  const std::string clear = NoteDecrypt("\xEF\xE0\xF0\xEE\xEB\xFC", r.out);
  EXPECT_TRUE(InflateRaw(clear.substr(12)) == data);
}

// Whole entries wrapped in local headers, with the central directory that
// WriteCentralDir writes for them.
std::string WrapInZip(const std::vector<std::pair<std::string, Result>>& entries) {
  TMemoryStream stream;
  TKMStreamArchiveContext context(&stream);
  context.oemFileNames = false;
  TKMDirManager manager(&stream, context, true);
  TKMDirArray& dir = manager.CurrentDir();
  dir.SetCount(int32_t(entries.size()));
  for (int32_t i = 0; i < int32_t(entries.size()); ++i) {
    const auto& [name, r] = entries[size_t(i)];
    const uint32_t offset = uint32_t(stream.Size());
    const uint16_t flags = r.item.Password.empty() ? 0 : 1;
    const std::string local = Le32(0x04034B50) + Le16(20) + Le16(flags) + Le16(r.item.Method) +
                              Le16(0x6000) + Le16(0x5A21) + Le32(r.item.Crc32) +
                              Le32(r.item.CompressedSize) + Le32(r.item.UncompressedSize) +
                              Le16(uint16_t(name.size())) + Le16(0) + name + r.out;
    stream.WriteBuffer(local.data(), int64_t(local.size()));
    dir.RenameItem(i, std::u16string(name.begin(), name.end()));
    TDirItem& item = *dir.ItemPtr(i);
    item.Signature = 0x02014B50;
    item.VersionMadeBy = item.VersionNeeded = 20;
    item.Flags = flags;
    item.Method = r.item.Method;
    item.ModTime = 0x6000;
    item.ModDate = 0x5A21;
    item.Crc32 = r.item.Crc32;
    item.CompressedSize = r.item.CompressedSize;
    item.UncompressedSize = r.item.UncompressedSize;
    item.ExternalAttr = 0x20;
    item.LocalHeaderOffset = offset;
  }
  manager.WriteCentralDir(&stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size()));
}

TEST(Compress, PeersAcceptWhatWeWrite) {
  test::TempDir dir;
  TestArchiver a;
  const std::string data = MakeData(size_t(2 * kSmallBlock + 12345), 11);
  std::vector<std::pair<std::string, Result>> entries = {
      {"stored.bin", Compress(a, data, MakeItem(0))},
      {"deflated1.bin", Compress(a, data, MakeItem(1))},
      {"deflated9.bin", Compress(a, data, MakeItem(9))},
      {"empty.txt", Compress(a, "", MakeItem(5))},
      {"one.txt", Compress(a, "x", MakeItem(5))},
  };
  const auto plainZip = dir.Host(u"plain.zip");
  test::WriteHostFile(plainZip, WrapInZip(entries));
  entries = {
      {"stored.bin", Compress(a, data, MakeItem(0, u"pw"))},
      {"deflated.bin", Compress(a, data, MakeItem(1, u"pw"))},
      {"empty.txt", Compress(a, "", MakeItem(5, u"pw"))},
  };
  const auto cryptZip = dir.Host(u"crypt.zip");
  test::WriteHostFile(cryptZip, WrapInZip(entries));

  const std::string python =
      "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
      "z.setpassword(b'pw'); sys.exit(z.testzip() is not None)\" ";
  int peers = 0;
  for (const auto& zip : {plainZip, cryptZip}) {
    SCOPED_TRACE(zip.string());
    if (test::HasTool("unzip")) {
      ++peers;
      EXPECT_EQ(test::RunShell("unzip -t -P pw " + test::Quoted(zip) + " >/dev/null 2>&1"), 0);
    }
    if (test::HasTool("7zz")) {
      ++peers;
      EXPECT_EQ(test::RunShell("7zz t -ppw " + test::Quoted(zip) + " >/dev/null 2>&1"), 0);
    }
    if (test::HasTool("python3")) {
      ++peers;
      EXPECT_EQ(test::RunShell(python + test::Quoted(zip) + " >/dev/null 2>&1"), 0);
    }
  }
  if (peers == 0) GTEST_SKIP() << "no unzip, 7zz or python3";
}

// What CompressEntry writes, our own reader tests back; a byte changed in
// one entry's data fails that entry alone.
TEST(Compress, OurReaderTestsWhatWeWrite) {
  test::TempDir dir;
  TestArchiver a;
  const std::string data = MakeData(size_t(2 * kSmallBlock + 777), 5);
  const std::vector<std::pair<std::string, Result>> entries = {
      {"stored.bin", Compress(a, data, MakeItem(0))},
      {"deflated.bin", Compress(a, data, MakeItem(6))},
      {"crypt.bin", Compress(a, data, MakeItem(9, u"pw"))},
      {"empty.txt", Compress(a, "", MakeItem(5, u"pw"))},
  };
  const std::string zip = WrapInZip(entries);
  auto failures = [&](const std::string& bytes) {
    test::WriteHostFile(dir.Host(u"ours.zip"), bytes);
    TKavoMill reader;
    reader.SetFileName(dir.Win(u"ours.zip"));
    reader.SetPassword("pw");
    std::vector<std::u16string> failed;
    reader.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string& name,
                                      TKMProcessOperation, int32_t native, int32_t,
                                      const std::u16string&, TKMAction& action) {
      EXPECT_EQ(native, 8);
      failed.push_back(name);
      action = fxaIgnore;
    };
    reader.OpenArchive(kOpenModeReadOnly);
    EXPECT_EQ(reader.DirManager()->CurrentDir().Count(), 4);
    reader.TestFiles(u"*.*", 0x28BF, u"");
    return failed;
  };
  EXPECT_TRUE(failures(zip).empty());

  // The deflated entry's data starts after the stored one's header, name
  // and data: change a byte in its middle.
  std::string damaged = zip;
  const size_t deflatedData = 30 + 10 + data.size() + 30 + 12;
  const size_t middle = deflatedData + entries[1].second.out.size() / 2;
  damaged[middle] = char(damaged[middle] ^ 0x40);
  EXPECT_EQ(failures(damaged), std::vector<std::u16string>{u"deflated.bin"});
}

// Progress runs 0, 1/3, 2/3 of the entry (the 100 is the caller's), overall
// progress counts the entries before it, and it is exactly 50 with no total.
TEST(Compress, ProgressAndCancel) {
  TestArchiver a;
  std::vector<double> fileProgress, overall;
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string& name, double p,
                         TKMProcessOperation op, TKMProgressPhase phase, bool&) {
    EXPECT_EQ(name, u"Z:\\src\\file.bin");
    EXPECT_EQ(op, poAdd);
    EXPECT_EQ(phase, ppProcess);
    fileProgress.push_back(p);
  };
  a.OnOverallProgress = [&](TKMBaseArchiver&, double p, TKMProcessOperation, TKMProgressPhase,
                            bool&) { overall.push_back(p); };
  const std::string data = MakeData(size_t(3 * kSmallBlock));
  a.EnableProgress(4 * kSmallBlock, kSmallBlock);
  ASSERT_TRUE(Compress(a, data, MakeItem(1)).ok);
  ASSERT_EQ(fileProgress.size(), 3u);
  EXPECT_DOUBLE_EQ(fileProgress[0], 0.0);
  EXPECT_NEAR(fileProgress[1], 100.0 / 3, 1e-9);
  EXPECT_NEAR(fileProgress[2], 200.0 / 3, 1e-9);
  EXPECT_EQ(overall, (std::vector<double>{25.0, 50.0, 75.0}));
  EXPECT_EQ(a.DoneBytes(), 4 * kSmallBlock);

  a.EnableProgress(0, 0);
  overall.clear();
  ASSERT_TRUE(Compress(a, data, MakeItem(1)).ok);
  EXPECT_EQ(overall, (std::vector<double>{50.0, 50.0, 50.0}));

  // Cancel at the second block: the first block is out, the item keeps its
  // values, and the next entry still comes out right on the same archiver.
  for (bool fromOverall : {false, true}) {
    SCOPED_TRACE(fromOverall);
    int events = 0;
    auto cancelSecond = [&](bool& cancel) { cancel = ++events == 2; };
    a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                           TKMProgressPhase, bool& cancel) {
      if (!fromOverall) cancelSecond(cancel);
    };
    a.OnOverallProgress = [&](TKMBaseArchiver&, double, TKMProcessOperation, TKMProgressPhase,
                              bool& cancel) {
      if (fromOverall) cancelSecond(cancel);
    };
    a.EnableProgress(0, 0);
    TDirItem item = MakeItem(1);
    item.Crc32 = 0xDEADBEEF;
    item.CompressedSize = 7;
    item.UncompressedSize = 9;
    const Result r = Compress(a, data, item);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(a.Cancelled());
    EXPECT_EQ(r.item.Crc32, 0xDEADBEEFu);
    EXPECT_EQ(r.item.CompressedSize, 7u);
    EXPECT_EQ(r.item.UncompressedSize, 9u);
    EXPECT_EQ(r.item.Method, 8);
    EXPECT_TRUE(!r.out.empty() &&
                r.out == ReferenceDeflate(data, 1, kSmallBlock).substr(0, r.out.size()));
    EXPECT_EQ(a.DoneBytes(), 3 * kSmallBlock);  // counted even when stopped
  }
  a.OnFileProgress = nullptr;
  a.OnOverallProgress = nullptr;
  const Result after = Compress(a, data, MakeItem(1));
  ASSERT_TRUE(after.ok);
  EXPECT_TRUE(after.out == ReferenceDeflate(data, 1, kSmallBlock));
}

// A full disk: the same block is written again from where it began for as
// long as the handler clears Cancel; a set Cancel (or a failing handler)
// stops the entry.
TEST(Compress, DiskFullRetriesTheSameBlockOrStops) {
  const std::string data = MakeData(size_t(3 * kSmallBlock));
  TestArchiver a;
  a.SetFileName(u"Z:\\out\\archive.zip");
  const std::string clean = Compress(a, data, MakeItem(1)).out;

  int asked = 0;
  bool answer = false;
  a.OnDiskFull = [&](TKMBaseArchiver&, int32_t volume, const std::u16string& name, bool& cancel) {
    ++asked;
    EXPECT_EQ(volume, 0);
    EXPECT_EQ(name, u"Z:\\out\\archive.zip");
    cancel = answer;
  };
  TMemoryStream source;
  source.WriteBuffer(data.data(), int64_t(data.size()));

  FullDiskStream out;
  out.refuseFrom = 1;
  out.refusals = 3;
  TDirItem item = MakeItem(1);
  ASSERT_TRUE(a.CompressEntry(source, out, item));
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(Bytes(out) == clean);
  EXPECT_EQ(item.CompressedSize, clean.size());
  ASSERT_EQ(out.attempts.size(), 5u);  // 3 refused, then blocks 2 and 3
  EXPECT_GT(out.attempts[0], 0);
  EXPECT_GT(out.attempts[4], out.attempts[0]);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(out.attempts[i], out.attempts[0]);

  answer = true;
  asked = 0;
  FullDiskStream refused;
  refused.refuseFrom = 1;
  refused.refusals = 1;
  TDirItem stopped = MakeItem(1);
  stopped.Crc32 = 0xDEADBEEF;
  EXPECT_FALSE(a.CompressEntry(source, refused, stopped));
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(a.Cancelled());
  EXPECT_EQ(stopped.Crc32, 0xDEADBEEFu);
  EXPECT_EQ(stopped.CompressedSize, 0u);

  // A handler that throws has not said to go on: once asked, then stopped
  // (it used to be retried forever, the throw leaving Cancel cleared).
  asked = 0;
  a.OnDiskFull = [&](TKMBaseArchiver&, int32_t, const std::u16string&, bool& cancel) {
    if (++asked > 5) {
      cancel = true;
      return;
    }
    throw Exception(u"handler failed");
  };
  a.SetCancelled(false);
  FullDiskStream failing;
  failing.refusals = 1000;
  EXPECT_FALSE(a.WriteBlockWithRetry(failing, data.data(), 100));
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(a.Cancelled());
}

// A source that yields fewer bytes than its size never makes a complete
// entry, whether it runs short on the first block, a later one, or only on
// the CRC reading of an encrypted entry, and even with Cancelled left set by
// an earlier run.
TEST(Compress, ShortSourceNeverSucceeds) {
  TestArchiver a;
  const std::string data = MakeData(size_t(2 * kSmallBlock) + 10);
  TMemoryStream out;

  ShortSource first(data, 100, 99);
  TDirItem item = MakeItem(1);
  try {
    a.CompressEntry(first, out, item);
    ADD_FAILURE() << "no error";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 34);
    EXPECT_NE(e.Message().find(u"changed while being read: " +
                               platform::Utf8ToWide(std::to_string(data.size())) +
                               u" bytes expected, 0 read"),
              std::u16string::npos)
        << platform::WideToUtf8(e.Message());
  }
  EXPECT_EQ(item.CompressedSize, 0u);

  // Deflate already has the first block: still the source's failure, which
  // fails the entry alone, not the library's.
  ShortSource later(data, kSmallBlock + 5, 99);
  a.SetCancelled(true);
  EXPECT_THROW(a.CompressEntry(later, out, item), EKMException);
  ShortSource storedLater(data, kSmallBlock + 5, 99);
  TDirItem stored = MakeItem(0);
  EXPECT_THROW(a.CompressEntry(storedLater, out, stored), EKMException);

  // Short on the CRC reading only: the second reading would be whole, with a
  // CRC recorded for part of the data.
  ShortSource crcPass(data, kSmallBlock, 1);
  TDirItem encrypted = MakeItem(1, u"pw");
  EXPECT_THROW(a.CompressEntry(crcPass, out, encrypted), EKMException);
  EXPECT_EQ(encrypted.Crc32, 0u);

  // The archiver's deflate stream is sound again after the failures.
  const Result r = Compress(a, data, MakeItem(1));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.out == ReferenceDeflate(data, 1, kSmallBlock));
}

TEST(Compress, CompressionLibraryErrors) {
  TestArchiver a;
  TDirItem item = MakeItem(1);
  item.CompressionMode = 12;  // no deflate level
  try {
    Compress(a, "abc", item);
    ADD_FAILURE() << "no error";
  } catch (const TKMBaseArchiver::ECompressionError& e) {
    EXPECT_EQ(e.Message(), u"error");
  }
  EXPECT_TRUE(Compress(a, "abc", MakeItem(1)).ok);
}

TEST(Compress, Zip64Sizes) {
  TestArchiver a;
  const std::string data = MakeData(5000);
  a.SetZip64Mode(zmAlways);
  for (const std::string& d : {data, std::string()}) {
    const Result r = Compress(a, d, MakeItem(5));
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.item.Zip64Used);
    EXPECT_EQ(r.item.CompressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(r.item.UncompressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(r.item.Zip64CompressedSize, int64_t(r.out.size()));
    EXPECT_EQ(r.item.Zip64UncompressedSize, int64_t(d.size()));
  }
  a.SetZip64Mode(zmAuto);
  const Result small = Compress(a, data, MakeItem(5));
  EXPECT_FALSE(small.item.Zip64Used);
  EXPECT_EQ(small.item.UncompressedSize, 5000u);

  // A stored entry of exactly 0xFFFFFFFF bytes: both sizes are the sentinel
  // itself and go to the 64-bit fields; without Zip64 that is native 41,
  // raised after the data, with the sizes already recorded.
  TNullStream sink;
  TDirItem big = MakeItem(0);
  ZeroSource zeros(0xFFFFFFFF);
  ASSERT_TRUE(a.CompressEntry(zeros, sink, big));
  EXPECT_TRUE(big.Zip64Used);
  EXPECT_EQ(big.UncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(big.Zip64UncompressedSize, 0xFFFFFFFF);
  EXPECT_EQ(big.Zip64CompressedSize, 0xFFFFFFFF);

  a.SetZip64Mode(zmDisabled);
  TDirItem refused = MakeItem(0);
  ZeroSource zeros2(0xFFFFFFFF);
  try {
    a.CompressEntry(zeros2, sink, refused);
    ADD_FAILURE() << "no error";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 41);
    EXPECT_NE(e.Message().find(u"Z:\\src\\file.bin"), std::u16string::npos);
  }
  EXPECT_TRUE(refused.Zip64Used);
}

}  // namespace
}  // namespace km
