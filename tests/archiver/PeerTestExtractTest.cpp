// Archives written by other ZIP tools test clean through TestFiles and come
// out of ExtractFiles byte for byte, with their times: the archiver's own
// reading of their local headers, data descriptors, encryption and deflate.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerExtractCheck.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"

namespace km {
namespace {

namespace fs = std::filesystem;

class PeerTestExtractTest : public test::PeerTreeSuite {};

TEST_P(PeerTestExtractTest, TestFilesPassesEveryEntryAndExtractFilesReproducesThem) {
  ASSERT_TRUE(dir_);
  const fs::path work = dir_->Host(u"");
  test::PeerMaker peer = test::PeerMakers()[GetParam()];
  if (!test::HasTool(peer.tool)) GTEST_SKIP() << peer.tool << " is not installed";
  if (!test::HasTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const fs::path archive = work / (std::string(peer.label) + ".zip");
  ASSERT_EQ(test::MakePeerArchive(peer, dir_->Host(u"tree"), archive), 0) << peer.label;
  const fs::path reference = work / (std::string(peer.label) + "-ref");
  ASSERT_EQ(test::MakeReferenceTree(archive, reference, work, peer.password), 0);

  TKavoMill archiver;
  std::vector<std::string> failures;
  archiver.OnProcessFileFailure = [&](TKMBaseArchiver&, const std::u16string& name,
                                      TKMProcessOperation, int32_t, int32_t,
                                      const std::u16string& message, TKMAction& action) {
    failures.push_back(platform::WideToUtf8(name) + ": " + platform::WideToUtf8(message));
    action = fxaIgnore;
  };
  int asked = 0;
  archiver.OnPassword = [&](TKMBaseArchiver&, const std::u16string&, std::string&, bool& skip) {
    ++asked;
    skip = true;
  };
  if (peer.password) archiver.SetPassword(peer.password);
  archiver.SetFileName(ToWindowsView(archive));
  archiver.OpenArchive(kOpenModeReadOnly);

  archiver.TestFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u"");
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(archiver.ProcessedCount(), archiver.DirManager()->CurrentDir().Count());

  const fs::path out = work / (std::string(peer.label) + "-out");
  fs::create_directories(out);
  archiver.SetBaseDir(ToWindowsView(out) + u"\\");
  archiver.ExtractFiles(u"*.*", TKMOptions::kDefaultSearchAttr, u"");
  EXPECT_EQ(failures, std::vector<std::string>{});
  archiver.CloseArchive();
  EXPECT_EQ(test::CompareTrees(reference, out), "");
  EXPECT_EQ(test::CompareTimes(dir_->Host(u"tree"), out), "");
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerTestExtractTest,
                         testing::Range(size_t(0), test::PeerMakers().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return std::string(test::PeerMakers()[info.param].label);
                         });

}  // namespace
}  // namespace km
