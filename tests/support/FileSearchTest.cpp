#include "support/FileSearch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <utility>

#include "common/TempDir.h"
#include "platform/CodePage.h"

namespace km {
namespace {

namespace fs = std::filesystem;

std::set<std::string> ListAll(const std::u16string& pattern, uint32_t attributes) {
  std::set<std::string> names;
  SearchRecord record;
  for (int err = FileSearchFirst(pattern, attributes, record); err == 0;
       err = FileSearchNext(record))
    names.insert(platform::WideToUtf8(record.Name));
  EXPECT_EQ(FileSearchNext(record), platform::kErrorNoMoreFiles);
  FileSearchClose(record);
  return names;
}

class FileSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.Write("a.txt", "abc");
    tmp_.Write("b.dat", "");
    tmp_.Write("中文😀.txt", "12345");
    tmp_.Write(".hidden", "h");
    fs::create_directory(tmp_.Host() / "sub");
    fs::create_directory(tmp_.Host() / ".hdir");
  }
  test::TempDir tmp_;
};

TEST_F(FileSearchTest, AttributeFilter) {
  const std::u16string dir = tmp_.Win();
  // Archive only: no hidden entries and no directories (nor "." and "..").
  EXPECT_EQ(ListAll(dir + u"*", 0x20), (std::set<std::string>{"a.txt", "b.dat", "中文😀.txt"}));
  EXPECT_EQ(
      ListAll(dir + u"*.*", 0x3F),
      (std::set<std::string>{".", "..", "a.txt", "b.dat", "中文😀.txt", ".hidden", "sub", ".hdir"}));
  // Directories asked for, hidden ones not.
  EXPECT_EQ(ListAll(dir + u"*", 0x30),
            (std::set<std::string>{".", "..", "a.txt", "b.dat", "中文😀.txt", "sub"}));
  EXPECT_EQ(ListAll(dir + u"*.TXT", 0x20), (std::set<std::string>{"a.txt", "中文😀.txt"}));
}

TEST_F(FileSearchTest, RecordFieldsAndFailures) {
  const std::u16string dir = tmp_.Win();
  SearchRecord record;
  ASSERT_EQ(FileSearchFirst(dir + platform::Utf8ToWide("中文😀.txt"), 0x20, record), 0);
  EXPECT_EQ(record.Name, platform::Utf8ToWide("中文😀.txt"));
  EXPECT_EQ(record.Size, 5);
  EXPECT_NE(record.Attr & platform::faArchive, 0u);
  EXPECT_NE(record.Time, 0u);
  EXPECT_EQ(record.ExcludeAttr, 0x1Eu);

  // Moving hands the open listing over; the source no longer owns it.
  SearchRecord moved(std::move(record));
  EXPECT_EQ(record.Handle, platform::kInvalidFindHandle);
  EXPECT_NE(moved.Handle, platform::kInvalidFindHandle);
  EXPECT_EQ(FileSearchNext(moved), platform::kErrorNoMoreFiles);

  // Nothing matching: an error, and the record is left closed.
  SearchRecord none;
  EXPECT_NE(FileSearchFirst(dir + u"*.none", 0x3F, none), 0);
  EXPECT_EQ(none.Handle, platform::kInvalidFindHandle);
  EXPECT_NE(FileSearchNext(none), 0);
  // Only hidden files match, and they are not asked for.
  EXPECT_NE(FileSearchFirst(dir + u".hidden", 0x20, none), 0);
  EXPECT_EQ(none.Handle, platform::kInvalidFindHandle);
  EXPECT_NE(FileSearchFirst(dir + u"missing\\*", 0x3F, none), 0);
}

}  // namespace
}  // namespace km
