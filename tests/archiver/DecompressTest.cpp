// Reading entry data back: entries built here with zlib at a known place in
// a memory stream, and archives made by other tools read through the
// archiver and compared with what python zipfile extracts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "common/InputArchives.h"
#include "platform/HostPath.h"
#include "support/ZipCrypto.h"
#include "zipformat/ZipBuilder.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::CrcOf;
using test::Le16;
using test::Le32;
using test::Le64;

constexpr size_t kMiB = 1048576;
constexpr int64_t kPrefix = 5;  // the local header starts here

// Half noise, half text: some blocks compress, some do not.
std::string MixedData(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = (i / 4096) % 2 ? char(seed >> 24) : char('a' + (i * 7 + i / 13) % 26);
  }
  return out;
}

std::string RawDeflate(const std::string& data, int level = 1) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct EntryPlan {
  uint16_t method = 8;
  std::string data;
  std::string password;     // encrypted when not empty
  bool descriptor = false;  // bit 3: zero CRC and sizes in the local header
  bool zip64Local = false;  // sentinels in the local header, sizes in its tag-1 block
  uint16_t modTime = 0x6A31;
};

// A local header at kPrefix, its data, and 46 bytes standing for the
// central directory; item is the matching directory entry.
std::string BuildEntry(const EntryPlan& plan, TDirItem& item) {
  std::string packed = plan.method == 8 ? RawDeflate(plan.data) : plan.data;
  const uint32_t crc = CrcOf(plan.data);
  const uint16_t flags = uint16_t((plan.password.empty() ? 0 : 1) | (plan.descriptor ? 8 : 0));
  if (!plan.password.empty()) {
    std::string header = "0123456789";
    const uint8_t check = plan.descriptor ? uint8_t(plan.modTime >> 8) : uint8_t(crc >> 24);
    header += char(crc >> 16);
    header += char(check);
    packed = header + packed;
    KeySet keys;
    InitKeys(plan.password, keys);
    EncryptBuffer(keys, reinterpret_cast<uint8_t*>(packed.data()), 0, int64_t(packed.size()));
  }
  const uint32_t size = uint32_t(plan.data.size()), csize = uint32_t(packed.size());
  std::string extra;
  if (plan.zip64Local) extra = test::ExtraField(1, Le64(size) + Le64(csize));
  const bool zero = plan.descriptor;
  std::string b = "JUNK!" + Le32(0x04034B50) + Le16(20) + Le16(flags) + Le16(plan.method) +
                  Le16(plan.modTime) + Le16(0x5A21) + Le32(zero ? 0 : crc) +
                  Le32(zero              ? 0
                       : plan.zip64Local ? 0xFFFFFFFF
                                         : csize) +
                  Le32(zero              ? 0
                       : plan.zip64Local ? 0xFFFFFFFF
                                         : size) +
                  Le16(5) + Le16(uint16_t(extra.size())) + "a.bin" + extra + packed;
  b += std::string(46, 'C');
  item = TDirItem{};
  item.VersionNeeded = 20;
  item.Flags = flags;
  item.Method = plan.method;
  item.ModTime = plan.modTime;
  item.Crc32 = crc;
  item.CompressedSize = csize;
  item.UncompressedSize = size;
  item.FileName = u"a.bin";
  return b;
}

TMemoryStream StreamOf(const std::string& bytes) {
  TMemoryStream s;
  s.WriteBuffer(bytes.data(), int64_t(bytes.size()));
  s.SetPosition(kPrefix);
  return s;
}

std::string Text(const TMemoryStream& s) {
  return std::string(s.Bytes().begin(), s.Bytes().end());
}

// Counts what it is given and keeps none of it.
class CountingStream : public TStream {
 public:
  int64_t written = 0;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    written += count;
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return written; }
  void SetSize(int64_t) override {}
};

// Decodes an entry built by BuildEntry; out gets the plain data.
bool Decode(TKavoMill& a, const EntryPlan& plan, TMemoryStream& out) {
  TDirItem item;
  TMemoryStream source = StreamOf(BuildEntry(plan, item));
  return a.DecompressEntry(source, out, item);
}

TEST(DecompressTest, StoredAndDeflatedAcrossBlockBoundaries) {
  // Noise keeps the deflated data about as long as the plain data, so the
  // larger sizes span several read blocks of the compressed stream too.
  for (uint16_t method : {0, 8}) {
    for (size_t size : {size_t(0), size_t(1), kMiB, 3 * kMiB, 3 * kMiB + 1}) {
      SCOPED_TRACE(testing::Message() << "method " << method << " size " << size);
      TKavoMill a;
      EntryPlan plan;
      plan.method = method;
      plan.data = MixedData(size, uint32_t(size));
      TMemoryStream out;
      EXPECT_TRUE(Decode(a, plan, out));
      EXPECT_TRUE(Text(out) == plan.data);
    }
  }
}

TEST(DecompressTest, LocalHeaderVariantsOfOtherTools) {
  TKavoMill a;
  EntryPlan plan;
  plan.data = MixedData(70000, 3);
  // Bit 3: zeros in the local header, the directory's values are checked.
  plan.descriptor = true;
  TMemoryStream out;
  EXPECT_TRUE(Decode(a, plan, out));
  EXPECT_TRUE(Text(out) == plan.data);
  // Sentinels in the local header, resolved through its Zip64 block.
  plan.descriptor = false;
  plan.zip64Local = true;
  TMemoryStream out64;
  EXPECT_TRUE(Decode(a, plan, out64));
  EXPECT_TRUE(Text(out64) == plan.data);

  // The directory's sizes by the 64-bit rules: sentinels and Zip64 values.
  TDirItem item;
  const std::string built = BuildEntry(plan, item);
  item.Zip64CompressedSize = item.CompressedSize;
  item.Zip64UncompressedSize = item.UncompressedSize;
  item.CompressedSize = item.UncompressedSize = 0xFFFFFFFF;
  TMemoryStream source = StreamOf(built), outItem64;
  EXPECT_TRUE(a.DecompressEntry(source, outItem64, item));
  // A local Zip64 size that disagrees is a mismatch, not a pass.
  item.Zip64CompressedSize += 1;
  TMemoryStream again = StreamOf(built), outBad;
  EXPECT_FALSE(a.DecompressEntry(again, outBad, item));
  EXPECT_EQ(outBad.Size(), 0);
}

TEST(DecompressTest, DamagedEntriesFailWithoutCrashing) {
  TKavoMill a;
  EntryPlan plan;
  plan.data = MixedData(300000, 9);
  std::string bytes;
  TDirItem item;
  bytes = BuildEntry(plan, item);
  const size_t dataAt = kPrefix + 30 + 5;

  auto run = [&](const std::string& b, const TDirItem& it) {
    TMemoryStream source = StreamOf(b), out;
    return a.DecompressEntry(source, out, it);
  };
  // Flipped bytes all over the deflate data: false every time.
  for (size_t at = dataAt; at < dataAt + item.CompressedSize; at += 4099) {
    std::string bent = bytes;
    bent[at] = char(bent[at] ^ 0x5A);
    EXPECT_FALSE(run(bent, item)) << at;
  }
  // The local CRC disagrees with the directory.
  TDirItem other = item;
  other.Crc32 ^= 1;
  EXPECT_FALSE(run(bytes, other));
  // No local header signature where the directory points.
  std::string bent = bytes;
  bent[kPrefix] = 'X';
  EXPECT_FALSE(run(bent, item));
  // Name and extra lengths that run past the stream.
  bent = bytes;
  bent.replace(kPrefix + 28, 2, Le16(0xFFFF));
  EXPECT_FALSE(run(bent, item));
  // Data cut short.
  EXPECT_FALSE(run(bytes.substr(0, dataAt + 1000), item));
  // A method of no known layout in an old-version entry.
  other = item;
  other.Method = 6;
  other.VersionNeeded = 10;
  bent = bytes;
  bent.replace(kPrefix + 8, 2, Le16(6));
  EXPECT_FALSE(run(bent, other));
  // Segments whose lengths run past the data.
  other.VersionNeeded = 20;
  EXPECT_FALSE(run(bent, other));
  // A local header that cannot be read at all is a stream error.
  EXPECT_THROW(run(bytes.substr(0, kPrefix + 10), item), EReadError);
}

// The segmented layout: a 50-byte header, then length-prefixed segments,
// stored or each a zlib stream.
std::string SegmentedData(const std::string& data, bool zlibSegments, size_t segmentSize) {
  std::string header = Le32(uint32_t(segmentSize)) + std::string(12, '\0') +
                       Le32(uint32_t((data.size() + segmentSize - 1) / segmentSize)) + char(0) +
                       char(zlibSegments ? 1 : 0) + Le16(0xFFFF) + Le32(0) + std::string(16, '\0') +
                       std::string(6, '\0');
  std::string out = header;
  for (size_t at = 0; at < data.size(); at += segmentSize) {
    std::string part = data.substr(at, segmentSize);
    if (zlibSegments) {
      uLongf n = compressBound(uLong(part.size()));
      std::string packed(n, '\0');
      compress(reinterpret_cast<Bytef*>(packed.data()), &n,
               reinterpret_cast<const Bytef*>(part.data()), uLong(part.size()));
      part = packed.substr(0, n);
    }
    out += Le32(uint32_t(part.size())) + part;
  }
  return out;
}

TEST(DecompressTest, SegmentedLayout) {
  const std::string data = MixedData(250000, 11);
  for (bool zlibSegments : {false, true}) {
    SCOPED_TRACE(zlibSegments);
    TKavoMill a;
    EntryPlan plan;
    plan.method = 0;
    plan.data = SegmentedData(data, zlibSegments, 100000);
    TDirItem item;
    std::string bytes = BuildEntry(plan, item);
    bytes.replace(kPrefix + 8, 2, Le16(97));
    item.Method = 97;
    item.Crc32 = CrcOf(data);
    item.UncompressedSize = uint32_t(data.size());
    bytes.replace(kPrefix + 14, 4, Le32(item.Crc32));
    TMemoryStream source = StreamOf(bytes), out;
    EXPECT_TRUE(a.DecompressEntry(source, out, item));
    EXPECT_TRUE(Text(out) == data);
    // A cipher this system does not know: the user is asked once, then it fails.
    bytes[kPrefix + 35 + 22] = 1;
    int asked = 0;
    a.OnPassword = [&](TKMBaseArchiver&, const std::u16string&, std::string&, bool&) { ++asked; };
    TMemoryStream again = StreamOf(bytes), none;
    EXPECT_FALSE(a.DecompressEntry(again, none, item));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(none.Size(), 0);
  }
}

TEST(DecompressTest, Deflate64IsNativeCode55WithoutPrefix) {
  TKavoMill a;
  a.SetName(u"Mill");
  EntryPlan plan;
  plan.data = "abc";
  TDirItem item;
  std::string bytes = BuildEntry(plan, item);
  bytes.replace(kPrefix + 8, 2, Le16(9));
  item.Method = 9;
  TMemoryStream source = StreamOf(bytes), out;
  try {
    a.DecompressEntry(source, out, item);
    ADD_FAILURE() << "no exception";
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 55);
    EXPECT_EQ(e.Message().find(u"Mill"), std::u16string::npos);
  }
}

TEST(DecompressTest, BombStopsAtTheClaimedSize) {
  // 100 MiB of zeros deflated (about 100 KB), in an entry claiming 1 KB.
  std::string packed;
  {
    const std::string zeros(kMiB, '\0');
    std::string buffer(kMiB, '\0');
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    for (int i = 0; i < 100; ++i) {
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
      z.avail_in = uInt(zeros.size());
      do {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = uInt(buffer.size());
        deflate(&z, i == 99 ? Z_FINISH : Z_NO_FLUSH);
        packed.append(buffer.data(), buffer.size() - z.avail_out);
      } while (z.avail_out == 0);
    }
    deflateEnd(&z);
  }
  TKavoMill a;
  EntryPlan plan;
  plan.method = 0;
  plan.data = packed;
  TDirItem item;
  std::string bytes = BuildEntry(plan, item);
  bytes.replace(kPrefix + 8, 2, Le16(8));
  item.Method = 8;
  item.UncompressedSize = 1024;
  TMemoryStream source = StreamOf(bytes);
  CountingStream out;
  EXPECT_FALSE(a.DecompressEntry(source, out, item));
  EXPECT_LE(out.written, 1024);

  // Absurd ratios never ask for more than a bounded buffer.
  item.CompressedSize = 1;
  item.UncompressedSize = 0xFFFFFFFF;
  item.Zip64UncompressedSize = int64_t(1) << 62;
  for (int64_t n : {int64_t(0), int64_t(1), int64_t(kMiB), int64_t(1) << 40}) {
    const int64_t p = a.PredictOutputSize(n, item);
    EXPECT_GT(p, 0);
    EXPECT_LE(p, int64_t(4 * kMiB));
  }
  // An ordinary entry: 1.5 blocks times the ratio, to the nearest power of two.
  item.CompressedSize = 1000;
  item.UncompressedSize = 3000;
  EXPECT_EQ(a.PredictOutputSize(1000, item), 8192);  // 4 * 1767 = 7068 -> 2^13
}

TEST(DecompressTest, PasswordsAndSkipping) {
  EntryPlan plan;
  plan.data = MixedData(5000, 4);
  plan.password = "secret";
  {
    TKavoMill a;
    a.SetPassword("secret");
    TMemoryStream out;
    EXPECT_TRUE(Decode(a, plan, out));
    EXPECT_TRUE(Text(out) == plan.data);
  }
  {
    // Wrong first, the right one from the event; it then stays.
    TKavoMill a;
    a.SetPassword("wrong");
    int asked = 0;
    a.OnPassword = [&](TKMBaseArchiver&, const std::u16string& name, std::string& pw, bool&) {
      ++asked;
      EXPECT_EQ(name, u"a.bin");
      pw = asked == 1 ? "still-wrong" : "secret";
    };
    TMemoryStream out;
    EXPECT_TRUE(Decode(a, plan, out));
    EXPECT_TRUE(Text(out) == plan.data);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(a.Password(), "secret");
  }
  {
    TKavoMill a;
    a.OnPassword = [](TKMBaseArchiver&, const std::u16string&, std::string&, bool& skip) {
      skip = true;
    };
    TMemoryStream out;
    EXPECT_FALSE(Decode(a, plan, out));
    EXPECT_TRUE(a.SkipFile());
    EXPECT_EQ(out.Size(), 0);
  }
  {
    // Nobody to ask (the default answer hands back the same password): the
    // entry fails instead of asking for ever.
    TKavoMill a;
    a.SetPassword("wrong");
    TMemoryStream out;
    EXPECT_FALSE(Decode(a, plan, out));
    EXPECT_FALSE(a.SkipFile());
  }
  {
    // Bit 3: the check byte is the high byte of the modification time.
    TKavoMill a;
    a.SetPassword("secret");
    plan.descriptor = true;
    plan.method = 0;
    TMemoryStream out;
    EXPECT_TRUE(Decode(a, plan, out));
    EXPECT_TRUE(Text(out) == plan.data);
    plan.data.clear();  // an empty encrypted entry: only its header
    TMemoryStream empty;
    EXPECT_TRUE(Decode(a, plan, empty));
    EXPECT_EQ(empty.Size(), 0);
  }
}

// Progress is reported only inside a run that enables it (testing and
// extracting); this opens such a run for one entry.
class ProgressMill : public TKavoMill {
 public:
  void StartRun() {
    progressEnabled_ = true;
    markedCount_ = 2;
    processedCount_ = 1;
  }
};

TEST(DecompressTest, ProgressAndCancel) {
  ProgressMill a;
  a.StartRun();
  EntryPlan plan;
  plan.method = 0;
  plan.data = MixedData(2 * kMiB + 5, 2);
  std::vector<double> file, overall;
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string& name, double p,
                         TKMProcessOperation, TKMProgressPhase phase, bool& cancel) {
    EXPECT_EQ(name, u"a.bin");
    EXPECT_EQ(phase, ppProcess);
    file.push_back(p);
    cancel = false;
  };
  a.OnOverallProgress = [&](TKMBaseArchiver&, double p, TKMProcessOperation, TKMProgressPhase,
                            bool& cancel) {
    overall.push_back(p);
    cancel = overall.size() == 3;
  };
  TMemoryStream out;
  EXPECT_FALSE(Decode(a, plan, out));
  EXPECT_TRUE(a.Cancelled());
  // Three blocks: 0 %, then halfway through the data, then cancelled there.
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(file[0], 0);
  EXPECT_NEAR(file[1], 100.0 * kMiB / (2 * kMiB + 5), 1e-9);
  EXPECT_NEAR(overall[1], (file[1] / 100 + 1) / 2 * 100, 1e-9);
  EXPECT_EQ(out.Size(), int64_t(2 * kMiB));
}

// One archiver keeps its inflate stream and buffers from entry to entry: an
// entry that failed half-way leaves nothing behind for the next, whatever
// its method and size.
TEST(DecompressTest, EntriesInTurnShareNothingButMemory) {
  TKavoMill a;
  EntryPlan big;
  big.data = MixedData(3 * kMiB + 17, 5);
  EntryPlan small;
  small.data = "small entry, read in the middle of another";
  EntryPlan stored;
  stored.method = 0;
  stored.data = MixedData(70000, 6);

  TDirItem item;
  std::string broken = BuildEntry(big, item);
  const TDirItem brokenItem = item;
  broken[kPrefix + 35 + item.CompressedSize / 2] ^= 0x55;
  for (int round = 0; round < 2; ++round) {
    TMemoryStream source = StreamOf(broken), out;
    EXPECT_FALSE(a.DecompressEntry(source, out, brokenItem)) << round;
    for (const EntryPlan* plan : {&small, &big, &stored}) {
      TMemoryStream plain;
      ASSERT_TRUE(Decode(a, *plan, plain)) << round << " " << plan->data.size();
      EXPECT_TRUE(Text(plain) == plan->data) << round << " " << plan->data.size();
    }
  }
}

// ---- Archives of other tools, read through the archiver.

constexpr const char* kExtractScript = R"PY(
import os, sys, zipfile
arc, out = sys.argv[1], sys.argv[2]
pwd = sys.argv[3].encode() if len(sys.argv) > 3 else None
with zipfile.ZipFile(arc) as zf:
    for i, info in enumerate(zf.infolist()):
        try:
            data = zf.read(info, pwd=pwd)
        except NotImplementedError:
            continue
        with open(os.path.join(out, '%d.bin' % i), 'wb') as f:
            f.write(data)
)PY";

// Whole archives decoded entry by entry through the archiver.
class ArchiveDecodeTest : public testing::Test {
 protected:
  fs::path Host(const std::u16string& name) const { return dir.Host(name); }

  void Open(TKavoMill& a, const std::u16string& archive) {
    a.SetFileName(dir.Win(archive));
    a.OpenArchive(kOpenModeReadOnly);
  }

  static bool DecodeItem(TKavoMill& a, int32_t i, TMemoryStream& out) {
    const TDirItem& item = a.DirManager()->CurrentDir().GetItem(i);
    a.ArchiveStream()->SetPosition(item.LocalHeaderOffset == 0xFFFFFFFF
                                       ? item.Zip64LocalHeaderOffset
                                       : int64_t(item.LocalHeaderOffset));
    return a.DecompressEntry(*a.ArchiveStream(), out, item);
  }

  // Every entry decodes to what python extracts; returns the entry count.
  int CompareWithPython(const std::u16string& archive, const std::string& password = "") {
    const fs::path out = Host(archive + u".out");
    fs::create_directories(out);
    std::string args = test::Quoted(Host(archive)) + " " + test::Quoted(out);
    if (!password.empty()) args += " " + password;
    EXPECT_EQ(test::RunPython(kExtractScript, Host(u""), "extract.py", args), 0);
    TKavoMill a;
    a.SetPassword(password);
    Open(a, archive);
    const int32_t count = a.DirManager()->CurrentDir().Count();
    for (int32_t i = 0; i < count; ++i) {
      SCOPED_TRACE(i);
      TMemoryStream data;
      EXPECT_TRUE(DecodeItem(a, i, data));
      EXPECT_TRUE(Text(data) == test::ReadHostFile(out / (std::to_string(i) + ".bin")));
    }
    return count;
  }

  void WriteTreeFile(const std::string& name, const std::string& data) {
    test::WriteHostFile(Host(u"tree") / name, data);
  }

  test::TempDir dir;
};

// Archives the peers make on the spot, each entry compared with what python
// extracts from it.
class PeerDecompressTest : public ArchiveDecodeTest {
 protected:
  void SetUp() override {
    if (!test::HasTool("python3")) GTEST_SKIP() << "python3 missing";
    fs::create_directories(dir.Host(u"tree"));
  }
};

TEST_F(PeerDecompressTest, PythonStoredDeflatedAndForcedZip64) {
  const char* script = R"PY(
import sys, zipfile
def data(n, seed):
    out, x = bytearray(n), seed
    for i in range(0, n, 64):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i:i + 64] = (x.to_bytes(4, 'little') * 16 if (i // 4096) % 2 else b'text line %08d ' % x * 5)[:64]
    return bytes(out[:n])
with zipfile.ZipFile(sys.argv[1], 'w') as zf:
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        for n in (0, 1, 1 << 20, 3 << 20, (3 << 20) + 1):
            zf.writestr(zipfile.ZipInfo('m%d-%d' % (method, n)), data(n, n), compress_type=method)
        info = zipfile.ZipInfo('z64-%d' % method)
        info.compress_type = method
        with zf.open(info, 'w', force_zip64=True) as w:
            w.write(data(200000, 7))
)PY";
  ASSERT_EQ(test::RunPython(script, Host(u""), "make.py", test::Quoted(Host(u"py.zip"))), 0);
  EXPECT_EQ(CompareWithPython(u"py.zip"), 12);
}

TEST_F(PeerDecompressTest, ZipEncryptedAndStreamedEntries) {
  if (!test::HasTool("zip")) GTEST_SKIP() << "zip missing";
  WriteTreeFile("one.txt", "x");
  WriteTreeFile("mixed.bin", MixedData(1500000, 5));
  const std::string tree = test::Quoted(Host(u"tree"));
  ASSERT_EQ(test::RunShell("cd " + tree + " && zip -q -P pw ../enc.zip one.txt mixed.bin"), 0);
  EXPECT_EQ(CompareWithPython(u"enc.zip", "pw"), 2);

  // Input and output both pipes: zip cannot go back to its local header.
  // Plain, it puts Zip64 sentinels there and the sizes in the local Zip64
  // block; encrypted, it sets bit 3 and takes the check byte from the time.
  for (const char* options : {"", "-P pw"}) {
    SCOPED_TRACE(options);
    const std::u16string name = *options ? u"pipe-enc.zip" : u"pipe.zip";
    ASSERT_EQ(test::RunShell("head -c 2500000 " + test::Quoted(Host(u"tree") / "mixed.bin") +
                             " | zip -q " + options + " - - > " + test::Quoted(Host(name))),
              0);
    if (*options) {
      TKavoMill a;
      Open(a, name);
      ASSERT_EQ(a.DirManager()->CurrentDir().Count(), 1);
      EXPECT_EQ(a.DirManager()->CurrentDir().GetItem(0).Flags & 9, 9);
    }
    EXPECT_EQ(CompareWithPython(name, *options ? "pw" : ""), 1);
  }
}

TEST_F(PeerDecompressTest, JarDataDescriptors) {
  if (!test::HasTool("jar")) GTEST_SKIP() << "jar missing";
  WriteTreeFile("a.txt", "jar entry\n");
  WriteTreeFile("b.bin", MixedData(1200000, 6));
  ASSERT_EQ(test::RunShell("jar cf " + test::Quoted(Host(u"t.jar")) + " -C " +
                           test::Quoted(Host(u"tree")) + " . 2>/dev/null"),
            0);
  EXPECT_GE(CompareWithPython(u"t.jar"), 3);
  TKavoMill a;
  Open(a, u"t.jar");
  int streamed = 0;
  for (int32_t i = 0; i < a.DirManager()->CurrentDir().Count(); ++i)
    streamed += (a.DirManager()->CurrentDir().GetItem(i).Flags & 8) != 0;
  EXPECT_GT(streamed, 0);
}

TEST_F(ArchiveDecodeTest, SevenZipDeflate64IsRefusedAlone) {
  // 7-Zip's: big.txt in Deflate64, small.txt stored.
  test::CopyInputArchive("deflate64.zip", Host(u"d64.zip"));
  TKavoMill a;
  Open(a, u"d64.zip");
  int refused = 0;
  for (int32_t i = 0; i < a.DirManager()->CurrentDir().Count(); ++i) {
    TMemoryStream out;
    try {
      EXPECT_TRUE(DecodeItem(a, i, out));
      EXPECT_EQ(Text(out), "small\n");
    } catch (const EKMException& e) {
      EXPECT_EQ(e.NativeError(), 55);
      ++refused;
    }
  }
  EXPECT_EQ(refused, 1);
}

TEST_F(PeerDecompressTest, SevenZipZipCrypto) {
  if (!test::HasTool("7zz")) GTEST_SKIP() << "7zz missing";
  WriteTreeFile("data.bin", MixedData(400000, 1));
  WriteTreeFile("empty.txt", "");
  const std::string tree = test::Quoted(Host(u"tree"));
  ASSERT_EQ(test::RunShell("cd " + tree + " && 7zz a -bd -tzip -ppw -mem=ZipCrypto ../zc.zip " +
                           "data.bin empty.txt >/dev/null"),
            0);
  EXPECT_EQ(CompareWithPython(u"zc.zip", "pw"), 2);
}

TEST_F(ArchiveDecodeTest, CorruptByteFailsOnlyItsEntry) {
  // python's: e0, e1 and e2 deflated, each "entry N " 20000 times.
  test::CopyInputArchive("three-deflated.zip", Host(u"c.zip"));
  int64_t at = 0;
  {
    TKavoMill a;
    Open(a, u"c.zip");
    const TDirItem& item = a.DirManager()->CurrentDir().GetItem(1);
    at = item.LocalHeaderOffset + 30 + 2 + item.CompressedSize / 2;
  }
  std::string bytes = test::ReadHostFile(Host(u"c.zip"));
  bytes[size_t(at)] = char(bytes[size_t(at)] ^ 0xFF);
  test::WriteHostFile(Host(u"c.zip"), bytes);
  TKavoMill a;
  Open(a, u"c.zip");
  for (int32_t i = 0; i < 3; ++i) {
    TMemoryStream out;
    EXPECT_EQ(DecodeItem(a, i, out), i != 1) << i;
  }
}

TEST_F(ArchiveDecodeTest, CompressedSizeIsClampedAtTheDirectory) {
  // The sizes claim 16 more bytes than the data, and the CRC is that of the
  // data followed by the first 16 bytes of the central header: only reading
  // into the directory could make it match.
  test::ZipBuilder builder;
  builder.Add("s.txt", "stored data");
  test::BuiltZip zip = builder.Build();
  const size_t dir = size_t(zip.centralDirOffset);
  const std::string claimed = "stored data" + zip.bytes.substr(dir, 16);
  for (size_t at : {size_t(14), dir + 16}) zip.bytes.replace(at, 4, Le32(CrcOf(claimed)));
  for (size_t at : {size_t(18), size_t(22), dir + 20, dir + 24})
    zip.bytes.replace(at, 4, Le32(uint32_t(claimed.size())));
  test::WriteHostFile(Host(u"clamp.zip"), zip.bytes);
  TKavoMill a;
  Open(a, u"clamp.zip");
  TMemoryStream out;
  EXPECT_FALSE(DecodeItem(a, 0, out));
  EXPECT_EQ(Text(out), "stored data");
}

}  // namespace
}  // namespace km
