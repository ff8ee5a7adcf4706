// Testing ahead on worker threads: whatever the thread count, the owner sees
// the same events, in the archive's order and on its own thread, as with
// one thread, for sound and damaged entries alike; a cancel at any event and
// a retry behave as they do with one thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/EventRecorder.h"
#include "archiver/VerifyAhead.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "support/Crc32.h"
#include "zipformat/Zip64Fields.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;

constexpr size_t kMiB = 1 << 20;

class VerifyAhead : public ::testing::Test, protected test::TEventRecorder {
 protected:
  void Put(const std::u16string& rel, const std::string& bytes) {
    const fs::path host = dir.Host(rel);
    fs::create_directories(host.parent_path());
    WriteHostFile(host, bytes);
  }

  // Stored and deflated entries of many sizes, folders, an encrypted entry
  // (read by the owner itself) and a few entries damaged in different ways:
  // in the data, in the local header, and late in a large entry, after some
  // of its progress has been reported.
  void MakeArchive() {
    for (int i = 0; i < 40; ++i) {
      const std::u16string name = u"tree/d" + platform::Utf8ToWide(std::to_string(i % 5)) + u"/f" +
                                  platform::Utf8ToWide(std::to_string(i)) +
                                  (i % 4 == 0 ? u".zip" : u".txt");
      const size_t size = size_t(i * 331 % 9000);
      Put(name, i % 4 == 0 ? test::Incompressible(size, uint32_t(i + 1))
                           : test::Compressible(size, uint32_t(i)));
    }
    Put(u"tree/empty.txt", "");
    Put(u"tree/bad/flip.txt", test::Compressible(20000, 5));
    Put(u"tree/bad/header.txt", test::Compressible(7000, 6));
    Put(u"tree/big/late.txt", test::Incompressible(2 * kMiB + kMiB / 2, 7));
    Put(u"tree/big/sound.txt", test::Compressible(kMiB + 3, 8));
    Put(u"locked/secret.txt", test::Compressible(5000, 9));
    {
      TKavoMill a;
      a.SetFileName(dir.Win(u"out.zip"));
      a.SetBaseDir(dir.Win(u"tree") + u"\\");
      a.SetCompressionMode(5);
      a.UpdateCompressionMethod();
      a.SetFileMasks({u"*.*"});
      a.SetNoCompressionMasks({u"*.zip"});
      test::AddRun(a);
    }
    {
      TKavoMill a;
      a.SetFileName(dir.Win(u"out.zip"));
      a.SetBaseDir(dir.Win(u"locked") + u"\\");
      a.SetFileMasks({u"*.*"});
      a.SetPassword("pw");
      test::AddRun(a);
    }
    // Where each entry's data starts and how long it is.
    std::map<std::u16string, std::pair<int64_t, int64_t>> data;
    {
      TKavoMill a;
      a.SetFileName(dir.Win(u"out.zip"));
      a.OpenArchive();
      const TKMDirArray& entries = a.DirManager()->CurrentDir();
      for (int32_t i = 0; i < entries.Count(); ++i) {
        const TDirItem& item = entries.GetItem(i);
        data[item.FileName] = {LocalOffsetOf(item), CompressedSizeOf(item)};
      }
      a.CloseArchive();
    }
    std::string bytes = ReadHostFile(dir.Host(u"out.zip"));
    auto dataOf = [&](const std::u16string& name) {
      const auto [offset, length] = data.at(name);
      const size_t nameLength = size_t(uint8_t(bytes[size_t(offset) + 26])) |
                                size_t(uint8_t(bytes[size_t(offset) + 27])) << 8;
      const size_t extraLength = size_t(uint8_t(bytes[size_t(offset) + 28])) |
                                 size_t(uint8_t(bytes[size_t(offset) + 29])) << 8;
      return std::pair{size_t(offset) + 30 + nameLength + extraLength, size_t(length)};
    };
    const auto [flipAt, flipLength] = dataOf(u"bad/flip.txt");
    bytes[flipAt + flipLength / 2] ^= 0x55;
    bytes[size_t(data.at(u"bad/header.txt").first)] = 'X';
    const auto [lateAt, lateLength] = dataOf(u"big/late.txt");
    ASSERT_GT(lateLength, kMiB + 100);
    bytes[lateAt + lateLength - 100] ^= 0x55;
    WriteHostFile(dir.Host(u"out.zip"), bytes);
  }

  void Configure(TKavoMill& a, int threads) {
    a.SetFileName(dir.Win(u"out.zip"));
    a.SetPassword("pw");
    a.SetThreads(threads);
    Record(a);
    a.OnPassword = [this](TKMBaseArchiver&, const std::u16string& name, std::string&, bool& skip) {
      Note("password " + platform::WideToUtf8(name));
      skip = true;
    };
  }

  // One test of every entry; the events it raised.
  std::vector<std::string> Test(int threads, const std::function<void()>& opened = {}) {
    events.clear();
    TKavoMill a;
    Configure(a, threads);
    a.OpenArchive();
    if (opened) opened();
    a.TestFiles(u"*.*", 0x3F, u"");
    a.CloseArchive();
    return events;
  }

  static void ExpectSame(const std::vector<std::string>& got,
                         const std::vector<std::string>& wanted, const std::string& what) {
    const size_t n = std::min(got.size(), wanted.size());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], wanted[i]) << what << ", event " << i;
    ASSERT_EQ(got.size(), wanted.size()) << what;
  }

  test::TempDir dir;
};

TEST_F(VerifyAhead, EventsAreThoseOfOneThreadForSoundAndDamagedEntries) {
  MakeArchive();
  const std::vector<std::string> one = Test(1);
  int failures = 0;
  for (const std::string& e : one) failures += e.starts_with("failure ");
  ASSERT_EQ(failures, 3);
  // The late damage is found after the large entry's first block was
  // reported.
  bool lateProgress = false;
  for (const std::string& e : one) lateProgress |= e.starts_with("file big\\late.txt 79.9");
  EXPECT_TRUE(lateProgress);
  for (const int threads : {2, 4, 8})
    for (int round = 0; round < 3; ++round)
      ExpectSame(Test(threads), one, std::to_string(threads) + " threads");
  EXPECT_FALSE(offThread);

  // Retry reads the entry again, on the owner's thread.
  int retried = 0;
  onFailure = [&](TKMAction& action) {
    if (retried++ == 0) action = fxaRetry;
  };
  const std::vector<std::string> oneRetry = Test(1);
  EXPECT_EQ(retried, 4);
  retried = 0;
  ExpectSame(Test(4), oneRetry, "retry with 4 threads");
  EXPECT_EQ(retried, 4);
}

// Stored entries, written here: an archive of thousands of entries without
// thousands of files to make it from.
std::string StoredArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out, directory;
  auto put16 = [](std::string& to, uint32_t v) {
    to += char(v & 0xFF);
    to += char((v >> 8) & 0xFF);
  };
  auto put32 = [&](std::string& to, uint32_t v) {
    put16(to, v & 0xFFFF);
    put16(to, v >> 16);
  };
  for (const auto& [name, data] : entries) {
    const uint32_t crc = ~Crc32Update(0xFFFFFFFF, data.data(), int64_t(data.size()));
    const uint32_t offset = uint32_t(out.size());
    put32(out, 0x04034b50);
    for (const uint32_t v : {20u, 0u, 0u, 0u, 0x21u}) put16(out, v);
    for (const uint32_t v : {crc, uint32_t(data.size()), uint32_t(data.size())}) put32(out, v);
    put16(out, uint32_t(name.size()));
    put16(out, 0);
    out += name + data;
    put32(directory, 0x02014b50);
    for (const uint32_t v : {20u, 20u, 0u, 0u, 0u, 0x21u}) put16(directory, v);
    for (const uint32_t v : {crc, uint32_t(data.size()), uint32_t(data.size())})
      put32(directory, v);
    for (const uint32_t v : {uint32_t(name.size()), 0u, 0u, 0u, 0u}) put16(directory, v);
    put32(directory, 0);
    put32(directory, offset);
    directory += name;
  }
  const uint32_t directoryAt = uint32_t(out.size());
  out += directory;
  put32(out, 0x06054b50);
  for (const uint32_t v : {0u, 0u, uint32_t(entries.size()), uint32_t(entries.size())})
    put16(out, v);
  put32(out, uint32_t(directory.size()));
  put32(out, directoryAt);
  put16(out, 0);
  return out;
}

TEST_F(VerifyAhead, MoreEntriesThanTheQueueHoldsAreToldInOrder) {
  // The queue is refilled many times over, with damage here and there.
  std::vector<std::pair<std::string, std::string>> entries;
  const int count = int(2 * TVerifyAhead::kCapacity + 333);
  for (int i = 0; i < count; ++i)
    entries.emplace_back("many/e" + std::to_string(i) + ".txt",
                         test::Compressible(size_t(1 + i % 97), uint32_t(i)));
  std::string bytes = StoredArchive(entries);
  int damaged = 0;
  for (int i = 150; i < count; i += 611, ++damaged) {
    const std::string needle = "many/e" + std::to_string(i) + ".txt" + entries[size_t(i)].second;
    const size_t at = bytes.find(needle);
    ASSERT_NE(at, std::string::npos);
    bytes[at + needle.size() - 1] ^= 0x20;
  }
  WriteHostFile(dir.Host(u"out.zip"), bytes);
  const std::vector<std::string> one = Test(1);
  int failures = 0, started = 0;
  for (const std::string& e : one) {
    failures += e.starts_with("failure ");
    started += e.starts_with("file ") && e.find(" 0 ") != std::string::npos;
  }
  EXPECT_EQ(failures, damaged);
  EXPECT_GE(started, count);
  for (const int threads : {2, 5})
    ExpectSame(Test(threads), one, std::to_string(threads) + " threads");
  EXPECT_FALSE(offThread);
}

TEST_F(VerifyAhead, ACancelAtAnyEventEndsTheTestAsWithOneThread) {
  MakeArchive();
  const int count = int(Test(1).size());
  ASSERT_GE(count, 100);
  for (cancelAt = 1; cancelAt <= count; ++cancelAt) {
    const std::vector<std::string> one = Test(1);
    ExpectSame(Test(4), one, "cancelled at event " + std::to_string(cancelAt));
  }
  EXPECT_FALSE(offThread);
}

TEST_F(VerifyAhead, AnArchiveGoneOrReplacedUnderItsNameIsTestedByTheOwner) {
  MakeArchive();
  const std::string bytes = ReadHostFile(dir.Host(u"out.zip"));
  const std::vector<std::string> one = Test(1);
  // The name is gone once the archive is open: no worker can open it again,
  // and the owner reads every entry through its own handle.
  std::error_code error;
  const std::vector<std::string> removed =
      Test(4, [&] { fs::remove(dir.Host(u"out.zip"), error); });
  if (error) GTEST_SKIP() << "an open archive cannot be removed here: " << error.message();
  ExpectSame(removed, one, "archive removed");

  // Another file takes the name, every entry's data damaged in it: the
  // workers must not take it for the archive being tested.
  WriteHostFile(dir.Host(u"out.zip"), bytes);
  std::string other = bytes;
  for (size_t at = 200; at + 64 < other.size() / 2; at += 97) other[at] ^= 0x5A;
  WriteHostFile(dir.Host(u"other.zip"), other);
  const std::vector<std::string> replaced =
      Test(4, [&] { fs::rename(dir.Host(u"other.zip"), dir.Host(u"out.zip"), error); });
  ASSERT_FALSE(error) << error.message();
  ExpectSame(replaced, one, "archive replaced");
}

}  // namespace
}  // namespace km
