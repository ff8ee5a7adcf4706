// Reading split and spanned archives made by another tool: every volume
// found under the names that tool gives them, every entry tested and
// extracted byte for byte, and a volume that is missing, damaged or cannot
// be asked for failing the entries on it with a named error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerExtractCheck.h"
#include "archiver/PeerVolumeSets.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// One entry's failure as the failure event gives it.
struct Failure {
  std::string name;
  int32_t native = 0;
  std::string message;
};

// A reader of one set that records every failure and goes on.
class SetReader {
 public:
  explicit SetReader(const fs::path& archive) {
    archiver_.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& name,
                                            TKMProcessOperation, int32_t native, int32_t,
                                            const std::u16string& message, TKMAction& action) {
      failures_.push_back({platform::WideToUtf8(name), native, platform::WideToUtf8(message)});
      action = fxaIgnore;
    };
    archiver_.SetFileName(ToWindowsView(archive));
    archiver_.OpenArchive(kOpenModeReadShared);
  }
  ~SetReader() { archiver_.CloseArchive(); }

  TKavoMill& Archiver() { return archiver_; }
  const std::vector<Failure>& Failures() const { return failures_; }
  std::string FailureText() const {
    std::string text;
    for (const Failure& f : failures_) text += f.name + ": " + f.message + "\n";
    return text;
  }
  // Runs a step; an exception that leaves it counts as one failure too.
  void Run(const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& e) {
      failures_.push_back({"(run)", -1, e.what()});
    }
  }
  void Test() {
    Run([this] { archiver_.TestFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u""); });
  }
  void Extract(const fs::path& out) {
    fs::create_directories(out);
    archiver_.SetBaseDir(ToWindowsView(out) + u"\\");
    Run([this] { archiver_.ExtractFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u""); });
  }

 private:
  TKavoMill archiver_;
  std::vector<Failure> failures_;
};

class InfoZipSetTest : public test::InfoZipSetSuite {
 protected:
  void SetUp() override { RequireTools({"zip"}); }
};

TEST_F(InfoZipSetTest, EveryNamingIsReadTestedAndExtractedByteForByte) {
  struct Case {
    const char* label;
    bool stored;
    int naming;  // 0: as Info-ZIP names them (.z01); 1: .Z01; 2: data_001.zip
  };
  for (const Case c :
       {Case{"deflated-z", false, 0}, Case{"stored-z", true, 0}, Case{"deflated-Z", false, 1},
        Case{"stored-numbered", true, 2}, Case{"deflated-numbered", false, 2}}) {
    SCOPED_TRACE(c.label);
    const fs::path archive = MakeSet(c.label, c.stored);
    ASSERT_GT(test::VolumesOf(archive).size(), 5u);
    if (c.naming != 0) test::RenameVolumes(archive, c.naming == 2);

    SetReader reader(archive);
    EXPECT_EQ(reader.Archiver().SpanningMode(), smSplitting);
    EXPECT_EQ(reader.Archiver().SpanningOptions().AdvancedNaming(), c.naming == 2);
    EXPECT_FALSE(reader.Archiver().DirectoryRebuilt());
    const int32_t count = reader.Archiver().DirManager()->CurrentDir().Count();
    EXPECT_EQ(count, 6);  // tree/, tree/sub/ and four files
    reader.Test();
    EXPECT_EQ(reader.FailureText(), "");
    EXPECT_EQ(reader.Archiver().ProcessedCount(), count);
    const fs::path out = archive.parent_path() / "out";
    reader.Extract(out);
    EXPECT_EQ(reader.FailureText(), "");
    EXPECT_EQ(test::CompareTrees(Tree(), out / "tree"), "");
  }
}

// A middle volume that is gone, cut short or overwritten: the entries with
// data on it fail, each under its name, and the others still pass. Nothing
// waits for a volume that never comes.
TEST_F(InfoZipSetTest, AMissingOrDamagedMiddleVolumeFailsTheEntriesOnIt) {
  using enum test::VolumeDamage;
  for (const bool stored : {false, true}) {
    for (const test::VolumeDamage damage : {kMissing, kCut, kOverwritten}) {
      const std::string label =
          std::string(stored ? "stored" : "deflated") + "-damage" + std::to_string(int(damage));
      SCOPED_TRACE(label);
      const fs::path archive = MakeSet(label, stored);
      const std::vector<fs::path> volumes = test::VolumesOf(archive);
      ASSERT_GT(volumes.size(), 5u);
      // The third volume lies within big.bin, whatever the method.
      const fs::path middle = volumes[2];
      test::DamageVolume(middle, damage);

      SetReader reader(archive);
      reader.Test();
      bool bigFailed = false;
      for (const Failure& f : reader.Failures()) {
        bigFailed |= f.name == "tree\\big.bin";
        EXPECT_NE(f.name, "tree\\small.bin") << f.message;
      }
      EXPECT_TRUE(bigFailed) << reader.FailureText();
      if (damage == kMissing) {
        for (const Failure& f : reader.Failures()) EXPECT_EQ(f.native, 45) << f.message;
      }

      // What extraction could not restore is not left behind half written.
      const fs::path out = archive.parent_path() / "out";
      reader.Extract(out);
      EXPECT_FALSE(fs::exists(out / "tree" / "big.bin"));
      EXPECT_EQ(test::FileBytes(out / "tree" / "small.bin"), test::FileBytes(Tree() / "small.bin"));
    }
  }
}

// Volumes that carry neither naming: the set is taken for one spanned over
// disks, and the first disk must be asked for. With no handler and nobody
// to show a box to, the request is cancelled (native code 45) instead of
// taking whatever file has the proposed name.
TEST_F(InfoZipSetTest, ASpannedSetWithNobodyToAskIsCancelled) {
  const fs::path archive = MakeSet("spanned", false);
  const std::vector<fs::path> volumes = test::VolumesOf(archive);
  for (size_t i = 0; i + 1 < volumes.size(); ++i)
    fs::rename(volumes[i], archive.parent_path() / ("disk" + std::to_string(i + 1) + ".bin"));
  platform::ScopedDialogServices nobody(nullptr);

  SetReader reader(archive);
  ASSERT_EQ(reader.Archiver().SpanningMode(), smSpanning);
  reader.Test();
  // Every file's data lies on an earlier disk than the last.
  ASSERT_EQ(reader.Failures().size(), 4u) << reader.FailureText();
  for (const Failure& f : reader.Failures()) EXPECT_EQ(f.native, 45) << f.message;
}

}  // namespace
}  // namespace km
