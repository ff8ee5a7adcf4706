// Archives written by other ZIP tools open with every entry as python
// zipfile reads it: name, sizes, CRC-32, local header offset, date and
// attributes. Each peer writes the records its own way (Unix extra fields,
// NTFS times, bit 11, data descriptors, Zip64 headers and end records).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"
#include "zipformat/Zip64Fields.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::Quoted;

struct PeerCase {
  const char* label;
  const char* tool;  // skipped when this is not installed
  // Writes archive from tree; 0 when made.
  std::function<int(const fs::path& tree, const fs::path& archive, const fs::path& work)> make;
  uint32_t stub = 0;  // bytes put ahead of the archive without adjusting its offsets
};

int MakePrefixed(const fs::path& tree, const fs::path& archive, const fs::path& work) {
  const fs::path plain = work / "unprefixed.zip";
  if (int rc = test::RunPython(test::kPythonDeflated, work, "deflated.py",
                               Quoted(tree) + " " + Quoted(plain)))
    return rc;
  std::ofstream out(archive, std::ios::binary);
  out << std::string(1000, 'S') << std::ifstream(plain, std::ios::binary).rdbuf();
  return out ? 0 : 1;
}

const PeerCase kPeers[] = {
    {"InfoZip", "zip",
     [](const fs::path& tree, const fs::path& archive, const fs::path&) {
       return test::RunShell("cd " + Quoted(tree) + " && LC_ALL=C.UTF-8 zip -q -r " +
                             Quoted(archive) + " .");
     }},
    {"SevenZip", "7zz",
     [](const fs::path& tree, const fs::path& archive, const fs::path&) {
       return test::RunShell("cd " + Quoted(tree) +
                             " && LC_ALL=C.UTF-8 7zz a -tzip -bd -bso0 -bsp0 " + Quoted(archive) +
                             " .");
     }},
    {"PythonDeflatedWithZip64LocalHeader", "python3",
     [](const fs::path& tree, const fs::path& archive, const fs::path& work) {
       return test::RunPython(test::kPythonDeflated, work, "deflated.py",
                              Quoted(tree) + " " + Quoted(archive));
     }},
    {"Python70000EntriesWithZip64EndRecord", "python3",
     [](const fs::path&, const fs::path& archive, const fs::path& work) {
       return test::RunPython(test::kPythonMany, work, "many.py", Quoted(archive) + " 70000");
     }},
    {"JarWithDataDescriptors", "jar",
     [](const fs::path& tree, const fs::path& archive, const fs::path&) {
       return test::RunShell("cd " + Quoted(tree) + " && jar cf " + Quoted(archive) + " .");
     }},
    {"PythonWithArchiveComment", "python3",
     [](const fs::path&, const fs::path& archive, const fs::path& work) {
       return test::RunPython(test::kPythonComment, work, "comment.py", Quoted(archive));
     }},
    {"PythonBehindUnadjustedStub", "python3", MakePrefixed, 1000},
};

class PeerArchivesTest : public testing::TestWithParam<PeerCase> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    test::MakePeerTree(dir_->Host(u"tree"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static test::TempDir* dir_;
};

test::TempDir* PeerArchivesTest::dir_ = nullptr;

TEST_P(PeerArchivesTest, EveryEntryReadsAsPythonReadsIt) {
  const PeerCase& peer = GetParam();
  ASSERT_TRUE(dir_);
  if (!test::HasTool(peer.tool)) GTEST_SKIP() << peer.tool << " is not installed";
  if (!test::HasTool("python3")) GTEST_SKIP() << "python3 is not installed";

  const fs::path work = dir_->Host(u"");
  const fs::path archive = work / (std::string(peer.label) + ".zip");
  ASSERT_EQ(peer.make(dir_->Host(u"tree"), archive, work), 0) << peer.label;
  const test::PeerListing expected = test::PythonListing(archive, work);
  ASSERT_TRUE(expected.ok);
  ASSERT_FALSE(expected.entries.empty());

  TKavoMill archiver;
  archiver.SetFileName(ToWindowsView(archive));
  archiver.OpenArchive(kOpenModeReadOnly);
  ASSERT_NE(archiver.DirManager(), nullptr);
  const TKMDirArray& dir = archiver.DirManager()->CurrentDir();
  ASSERT_EQ(size_t(dir.Count()), expected.entries.size());
  EXPECT_EQ(archiver.DirManager()->ArchiveComment(), expected.comment);
  EXPECT_EQ(archiver.DirManager()->StubSize(), peer.stub);

  // 70,000 entries must not flood the log: count the differing entries and
  // show the first few.
  int differing = 0;
  for (int32_t i = 0; i < dir.Count(); ++i) {
    const TDirItem& item = dir.GetItem(i);
    const test::PeerEntry& e = expected.entries[size_t(i)];
    // Behind a stub every offset moves, directories' too: python's offsets
    // count the prefix in, and a rewrite copies entries from these places.
    const uint64_t offset = e.offset;
    const uint64_t readSize = uint64_t(UncompressedSizeOf(item));
    const uint64_t readPacked = uint64_t(CompressedSizeOf(item));
    const uint64_t readOffset = uint64_t(LocalOffsetOf(item));
    const int dateTime[6] = {1980 + (item.ModDate >> 9), (item.ModDate >> 5) & 0x0F,
                             item.ModDate & 0x1F,        item.ModTime >> 11,
                             (item.ModTime >> 5) & 0x3F, (item.ModTime & 0x1F) * 2};
    const bool same = platform::WideToUtf8(item.FileName) == e.shownName && item.Flags == e.flags &&
                      readSize == e.size && readPacked == e.packed && item.Crc32 == e.crc &&
                      readOffset == offset &&
                      std::equal(std::begin(dateTime), std::end(dateTime), e.dateTime) &&
                      item.ExternalAttr == e.externalAttr;
    if (!same && ++differing <= 5) {
      ADD_FAILURE() << peer.label << " entry " << i << ": read \""
                    << platform::WideToUtf8(item.FileName) << "\" size " << readSize << " packed "
                    << readPacked << " crc " << item.Crc32 << " offset " << readOffset << " flags "
                    << item.Flags << " attr " << item.ExternalAttr << "; python: \"" << e.shownName
                    << "\" " << e.size << " " << e.packed << " " << e.crc << " " << offset << " "
                    << e.flags << " " << e.externalAttr;
    }
  }
  EXPECT_EQ(differing, 0) << "entries differing from python's reading";
  archiver.CloseArchive();
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchivesTest, testing::ValuesIn(kPeers),
                         [](const testing::TestParamInfo<PeerCase>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace km
