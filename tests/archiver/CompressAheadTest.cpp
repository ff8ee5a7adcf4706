// Compressing ahead on worker threads: whatever the thread count and the
// memory budget, the archive holds the same bytes and the owner sees the same
// events, on its own thread, as with one thread; a cancel at any event still
// leaves the archive as it was, and a source that fails is told when the
// commit reaches it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/CompressAhead.h"
#include "archiver/EventRecorder.h"
#include "archiver/PeerArchives.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "support/Crc32.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;

constexpr int64_t kMiB = 1 << 20;

// Large and quick to deflate: text that repeats well within the window, so
// that every block after the first leans on the bytes it is primed with.
std::string Repeating(size_t size, uint32_t seed) {
  const std::string period = test::Compressible(20011, seed);
  std::string bytes;
  bytes.reserve(size);
  while (bytes.size() < size) bytes.append(period, 0, std::min(period.size(), size - bytes.size()));
  // A few changes here and there, so that no two blocks are alike.
  for (size_t at = 4093; at < size; at += 65537) bytes[at] = char('A' + at % 26);
  return bytes;
}

class CompressAhead : public ::testing::Test, protected test::TEventRecorder {
 protected:
  fs::path Host(const std::string& rel) const {
    return dir.Host(u"tree/" + platform::Utf8ToWide(rel));
  }
  void Put(const std::string& rel, const std::string& bytes) {
    fs::create_directories(Host(rel).parent_path());
    WriteHostFile(Host(rel), bytes);
    // The same time in every round, so that only the data can differ.
    fs::last_write_time(Host(rel), stamp);
  }

  // Many small files in a few folders, the sizes around the 1 MiB block, and
  // a large file stored without deflating it.
  void MakeTree() {
    for (int i = 0; i < 120; ++i) {
      const std::string name = "small/d" + std::to_string(i % 7) + "/f" + std::to_string(i) +
                               (i % 3 == 0 ? ".bin" : ".txt");
      const size_t size = size_t(i * 97 % 6000);
      Put(name, i % 3 == 0 ? test::Incompressible(size, uint32_t(i + 1))
                           : test::Compressible(size, uint32_t(i)));
    }
    for (const int64_t size : {kMiB - 1, kMiB, kMiB + 1, 2 * kMiB, 3 * kMiB + 17})
      Put("edge/" + std::to_string(size) + ".txt",
          test::Compressible(size_t(size), uint32_t(size)));
    Put("edge/empty.txt", "");
    Put("stored/packed.zip", test::Incompressible(size_t(2 * kMiB + 5), 7));
  }

  void Configure(TKavoMill& a, int threads, int64_t budget) {
    a.SetFileName(dir.Win(u"out.zip"));
    a.SetBaseDir(dir.Win(u"tree") + u"\\");
    a.SetCompressionMode(5);
    a.UpdateCompressionMethod();
    // Files only: a folder's entry takes the time of the run.
    a.SetFileMasks({u"*.txt", u"*.bin", u"*.zip", u"*.log"});
    a.SetNoCompressionMasks({u"*.zip"});
    a.Options().SetSynchronize(true);
    a.SetThreads(threads);
    if (budget > 0) a.SetMemoryBudget(budget);
    Record(a);
  }

  // One sync of the tree into out.zip; before runs between the scan and the
  // commit. Returns the archive's bytes.
  std::string Sync(int threads, int64_t budget = 0, const std::function<void()>& before = {}) {
    events.clear();
    TKavoMill a;
    Configure(a, threads, budget);
    a.OpenArchive();
    a.BeginUpdate();
    a.AddFiles();
    if (before) before();
    a.EndUpdate();
    a.CloseArchive();
    return ReadHostFile(dir.Host(u"out.zip"));
  }

  // Our own tester passes every entry.
  void ExpectSound() {
    TKavoMill a;
    a.SetFileName(dir.Win(u"out.zip"));
    int failed = 0;
    a.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string&, TKMProcessOperation,
                                 int32_t, int32_t, const std::u16string&, TKMAction& action) {
      ++failed;
      action = fxaIgnore;
    };
    a.OpenArchive();
    a.TestFiles(u"*.*", 0x3F, u"");
    a.CloseArchive();
    EXPECT_EQ(failed, 0);
  }

  test::TempDir dir;
  const fs::file_time_type stamp = fs::file_time_type::clock::now() - std::chrono::hours(48);
};

TEST_F(CompressAhead, TheArchiveIsTheSameWhateverTheThreadsAndTheBudget) {
  MakeTree();
  // Two large files: many blocks in flight at once, each primed with the
  // one before it.
  Put("large/one.txt", Repeating(size_t(50 * kMiB), 11));
  Put("large/two.log", Repeating(size_t(50 * kMiB) + 12345, 12));
  auto fresh = [&](int threads, int64_t budget = 0) {
    fs::remove(dir.Host(u"out.zip"));
    return Sync(threads, budget);
  };
  const std::string one = fresh(1);
  ExpectSound();
  EXPECT_FALSE(offThread);
  EXPECT_TRUE(fresh(2) == one) << "2 threads";
  EXPECT_TRUE(fresh(8) == one) << "8 threads";
  // A budget smaller than a block: one block at a time, still the same.
  EXPECT_TRUE(fresh(4, 1) == one) << "the smallest budget";
  EXPECT_FALSE(offThread);
  if (test::HasTool("unzip")) {
    EXPECT_EQ(test::RunShell("unzip -tq " + test::Quoted(dir.Host(u"out.zip")) + " >/dev/null"), 0);
  }
}

TEST_F(CompressAhead, EventsAndAFailingSourceAreThoseOfOneThread) {
  MakeTree();
  // Between the scan and the commit two sources go: one comes back when the
  // failure event answers Retry, the other is passed over.
  auto run = [&](int threads) {
    Put("small/d3/f10.txt", "before");
    Put("edge/2097152.txt", test::Compressible(size_t(2 * kMiB), 2));
    int failures = 0;
    onFailure = [&](TKMAction& action) {
      if (++failures == 1) {
        Put("small/d3/f10.txt", "back again");
        action = fxaRetry;
      }
    };
    fs::remove(dir.Host(u"out.zip"));
    const std::string bytes = Sync(threads, 0, [&] {
      fs::remove(Host("small/d3/f10.txt"));
      fs::remove(Host("edge/2097152.txt"));
    });
    EXPECT_EQ(failures, 2);
    return bytes;
  };
  const std::string one = run(1);
  const std::vector<std::string> oneEvents = events;
  const std::string four = run(4);
  EXPECT_TRUE(four == one);
  ASSERT_EQ(events.size(), oneEvents.size());
  for (size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i], oneEvents[i]) << "event " << i;
  EXPECT_FALSE(offThread);
  ExpectSound();
  // The source that came back is in, with what it held when it was retried.
  TKavoMill a;
  a.SetFileName(dir.Win(u"out.zip"));
  a.OpenArchive();
  const TKMDirArray& entries = a.DirManager()->CurrentDir();
  const int32_t back = entries.FindItem(u"small/d3/f10.txt");
  ASSERT_GE(back, 0);
  TMemoryStream data;
  a.ExtractToStream(back, data);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size())),
            "back again");
  EXPECT_LT(entries.FindItem(u"edge/2097152.txt"), 0);
  a.CloseArchive();
}

TEST_F(CompressAhead, ACancelAtAnyEventLeavesTheArchiveAsItWas) {
  Put("keep/a.txt", test::Compressible(3000, 1));
  Put("keep/b.txt", test::Compressible(5000, 2));
  Sync(1);
  const std::string before = ReadHostFile(dir.Host(u"out.zip"));
  // An update that replaces one file and adds others, small and large.
  Put("keep/a.txt", test::Compressible(4000, 3));
  for (int i = 0; i < 6; ++i)
    Put("new/n" + std::to_string(i) + ".txt", test::Compressible(size_t(i * 700), 9));
  Put("new/large.txt", test::Compressible(size_t(kMiB + kMiB / 2), 4));
  cancelAt = 0;
  Sync(1);
  const std::string after = ReadHostFile(dir.Host(u"out.zip"));
  const int count = int(events.size());
  ASSERT_GE(count, 20);
  for (cancelAt = 1; cancelAt <= count; ++cancelAt) {
    WriteHostFile(dir.Host(u"out.zip"), before);
    const std::string got = Sync(4);
    // The last event comes once the new archive stands.
    if (cancelAt == count)
      EXPECT_TRUE(got == after);
    else
      ASSERT_TRUE(got == before) << "cancelled at event " << cancelAt << ": " << events.back();
    EXPECT_FALSE(fs::exists(dir.Host(u"out.zip-journal")));
  }
}

// Blocks of many sizes, read far ahead of a slow commit: every block holds
// the source's bytes, and the buffers held, in flight or kept for the next
// blocks, never pass the budget.
TEST_F(CompressAhead, BuffersOfMixedSizesStayWithinTheBudget) {
  std::vector<TCompressAhead::TJob> jobs;
  std::vector<std::string> sources;
  for (int i = 0; i < 60; ++i) {
    // Sizes from a few KiB to several blocks, most of them in no size class.
    const size_t size = size_t(i % 6 == 5 ? 2 * kMiB + i * 4099 : 7 * 1024 + i * 23497);
    sources.push_back(i % 4 == 3 ? test::Incompressible(size, uint32_t(i))
                                 : Repeating(size, uint32_t(i)));
    const std::string rel = "mixed/f" + std::to_string(i);
    Put(rel, sources.back());
    TCompressAhead::TJob job;
    job.fileName = dir.Win(u"tree/" + platform::Utf8ToWide(rel));
    job.openMode = kOpenModeReadOnly;
    job.deflate = i % 4 != 3;
    job.level = 5;
    job.blockSize = uint32_t(kMiB);
    jobs.push_back(job);
  }
  constexpr int kWorkers = 2;
  constexpr int64_t kBudget = 14 * kMiB;
  TCompressAhead ahead(jobs, kWorkers, kBudget);
  for (size_t i = 0; i < jobs.size(); ++i) {
    TCompressAhead::TEntry* entry = ahead.Take(jobs[i].fileName);
    ASSERT_NE(entry, nullptr);
    bool sizeFailed = false;
    ASSERT_EQ(ahead.Open(entry, sizeFailed), int64_t(sources[i].size()));
    size_t done = 0;
    for (size_t b = 0; done < sources[i].size(); ++b) {
      // Slow enough for the reader to fill the budget.
      if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const TCompressAhead::TBlock& block = ahead.Block(entry, b);
      ASSERT_FALSE(block.shortRead);
      ASSERT_EQ(block.n, std::min<size_t>(kMiB, sources[i].size() - done));
      ASSERT_EQ(block.crc, ~Crc32Update(0xFFFFFFFF, sources[i].data() + done, int64_t(block.n)))
          << "file " << i << " block " << b;
      if (!jobs[i].deflate) {
        EXPECT_EQ(0, std::memcmp(block.Data(), sources[i].data() + done, block.n));
      }
      done += block.n;
      ahead.Release(entry, b);
    }
    ahead.Drop(entry);
  }
  // The reader went well ahead, and never past the budget.
  EXPECT_GT(ahead.PeakHeld(), 4 * kMiB);
  EXPECT_LE(ahead.PeakHeld(), TCompressAhead::BlockBudget(kBudget, kWorkers));
}

}  // namespace
}  // namespace km
