// An entry's temporary file reaches the volumes of a split set by a kernel
// copy. It must leave the volumes, the progress events and the failures
// exactly as the same bytes copied from memory do, at every volume switch,
// under the reserve rule, on a cancel and on a source that ends early.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "common/TempDir.h"
#include "support/Stream.h"

namespace km {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kVolume = 65536;

// A file source that counts the reads made through it.
class TCountingFileStream : public TFileStream {
 public:
  using TFileStream::TFileStream;
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    return TFileStream::Read(buffer, count);
  }
  int reads = 0;
};

struct TCopyCase {
  const char* what;
  int64_t sourceSize;
  int64_t prefill;  // bytes already in the first volume
  int32_t reserve;
  int64_t count;  // -1: the rest of the source
  int cancelAt;   // the progress event (1-based) that cancels; 0: none
  std::string failure = "";
};

struct TCopyResult {
  std::map<std::string, std::string> volumes;
  std::vector<std::string> events;
  std::string failure;
  int reads = 0;
};

TCopyResult CopyInto(const fs::path& out, const TCopyCase& c, const std::string& bytes,
                     bool fromFile) {
  fs::create_directories(out);
  TKavoMill a;
  a.SetFileName(ToWindowsView(out / "data.zip"));
  a.SetSpanningMode(smSplitting);
  a.SpanningOptions().SetVolumeSize(vsCustom);
  a.SpanningOptions().SetCustomVolumeSize(kVolume);
  a.SpanningOptions().SetAdvancedNaming(false);
  TCopyResult result;
  int events = 0;
  a.OnCopyTempFileProgress = [&](TKMBaseArchiver&, double progress, TKMProgressPhase phase,
                                 bool& cancel) {
    result.events.push_back(std::to_string(int(phase)) + ":" + std::to_string(progress));
    cancel = ++events == c.cancelAt;
  };
  a.OpenArchive();
  TStream* volume = a.ArchiveStream();
  const std::string prefill(size_t(c.prefill), 'p');
  volume->WriteBuffer(prefill.data(), c.prefill);

  const fs::path sourcePath = out.parent_path() / (out.filename().string() + ".src");
  test::WriteHostFile(sourcePath, bytes);
  TCountingFileStream file(ToWindowsView(sourcePath), fmOpenRead);
  TMemoryStream memory;
  memory.WriteBuffer(bytes.data(), int64_t(bytes.size()));
  memory.SetPosition(0);
  TStream& source = fromFile ? static_cast<TStream&>(file) : memory;
  bool cancel = false;
  try {
    a.CopyToVolumes(source, volume, true, nullptr, c.reserve, c.count, cancel, a.VolumeInfo());
    result.events.push_back("position " + std::to_string(source.Position()));
  } catch (const EKMException& e) {
    result.failure = "native " + std::to_string(e.NativeError());
  } catch (const EReadError&) {
    result.failure = "read error";
  }
  result.reads = file.reads;
  for (const auto& e : fs::directory_iterator(out))
    if (!e.path().filename().string().ends_with("-volumes"))
      result.volumes[e.path().filename().string()] = test::ReadHostFile(e.path());
  a.CancelUpdate();
  return result;
}

TEST(VolumeCopy, FileSourceFillsTheVolumesAsMemoryDoesWithoutReadingItHere) {
  const TCopyCase cases[] = {
      {"several volumes, switches inside a block", 300000, 0, -1, -1, 0},
      {"blocks of a million bytes over volumes", 2500000, 1000, -1, -1, 0},
      {"a header that does not fit goes to the next volume whole", 150, kVolume - 100, 0, -1, 0},
      {"a header that fits stays", 150, kVolume - 200, 0, -1, 0},
      {"part of the source", 200000, 0, -1, 120000, 0},
      {"cancelled at the second block", 2500000, 0, -1, -1, 3},
      {"source shorter than asked", 1000, 0, -1, 5000, 0, "read error"},
      {"a header no volume can hold is a short write", 150, 1000, int32_t(kVolume), -1, 0,
       "native 46"},
  };
  test::TempDir dir;
  for (const TCopyCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = test::Incompressible(size_t(c.sourceSize), 7);
    const fs::path base = dir.Host() / c.what;
    const TCopyResult fromMemory = CopyInto(base / "memory", c, bytes, false);
    const TCopyResult fromFile = CopyInto(base / "file", c, bytes, true);
    EXPECT_EQ(fromMemory.failure, c.failure);
    EXPECT_EQ(fromFile.failure, fromMemory.failure);
    EXPECT_EQ(fromFile.events, fromMemory.events);
    ASSERT_EQ(fromFile.volumes.size(), fromMemory.volumes.size());
    for (const auto& [name, content] : fromMemory.volumes) {
      ASSERT_TRUE(fromFile.volumes.count(name)) << name;
      EXPECT_TRUE(fromFile.volumes.at(name) == content) << name << " differs";
      EXPECT_LE(int64_t(content.size()), kVolume) << name;
    }
    // The bytes go from file to volume in the kernel; only a source that
    // runs short is read here, to report it as the read that failed.
    if (c.count <= c.sourceSize) {
      EXPECT_EQ(fromFile.reads, 0);
    }
  }
}

}  // namespace
}  // namespace km
