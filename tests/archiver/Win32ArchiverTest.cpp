// The archiver on a real Windows file system (run under Wine): share modes
// of other programs, hidden and system attributes, the system's temporary
// folder and its code pages. Empty on other hosts.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
#include "common/HeldElsewhere.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/win32/Win32.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using V = std::vector<std::u16string>;

class Win32Archiver : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir.Host(u"tree")); }

  std::u16string Tree() const { return dir.Win(u"tree") + u"\\"; }
  std::u16string Archive() const { return dir.Win(u"out.zip"); }
  void Write(const std::u16string& name, const std::string& bytes) const {
    test::WriteHostFile(dir.Host(u"tree\\" + name), bytes);
  }

  void Configure(TKavoMill& a) const {
    a.SetFileName(Archive());
    a.SetBaseDir(Tree());
    a.SetFileMasks({u"*.*"});
    a.Options().SetSearchAttr(searchAttr);
  }

  void Run() const {
    TKavoMill a;
    Configure(a);
    test::AddRun(a);
  }

  // Entry names with their external attributes.
  std::map<std::u16string, uint32_t> Entries() const {
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    std::map<std::u16string, uint32_t> entries;
    const TKMDirArray& items = a.DirManager()->CurrentDir();
    for (int32_t i = 0; i < items.Count(); ++i)
      entries[items.GetItem(i).FileName] = items.GetItem(i).ExternalAttr;
    a.CloseArchive();
    return entries;
  }

  test::TempDir dir;
  int32_t searchAttr = TKMOptions::kDefaultSearchAttr;
};

// An archive that another program holds with writes denied: the system
// refuses a second writer with a sharing violation, and the component says
// that another program has the archive instead of reading half a rewrite.
TEST_F(Win32Archiver, ArchiveHeldWithWritesDeniedIsReportedAsInUse) {
  Write(u"a.txt", "alpha");
  Run();

  // Another run of this program, in the middle of a commit.
  {
    test::HeldElsewhere holder;
    ASSERT_EQ(
        holder.Hold(Archive(), platform::FileAccess::ReadWrite, platform::FileShare::DenyWrite), 0);
    platform::File second;
    EXPECT_EQ(second.Open(Archive(), platform::FileAccess::ReadWrite, platform::FileShare::DenyNone,
                          platform::FileDisposition::OpenExisting),
              platform::kErrorSharingViolation);
    TKavoMill a;
    Configure(a);
    try {
      a.OpenArchive(kOpenModeReadShared);
      ADD_FAILURE() << "a reader got into an archive being rewritten";
    } catch (const EKMArchiveBusy& e) {
      EXPECT_NE(e.Message().find(u"is being updated by another program"), std::u16string::npos)
          << platform::WideToUtf8(e.Message());
    }
    EXPECT_FALSE(a.ArchiveOpen());
    try {
      a.OpenArchive(kOpenModeReadWrite);
      ADD_FAILURE() << "a second writer got in";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.SystemError(), platform::kErrorSharingViolation);
    }
  }

  // Some other program that keeps the file open for reading and lets
  // nobody write: the archive can be read, not updated.
  {
    platform::win32::ScopedHandle other(::CreateFileW(platform::win32::Wide(Archive()).c_str(),
                                                      GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other.Valid());
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 1);
    EXPECT_EQ(test::NativeOf([&] { a.BeginUpdate(); }), kmeReadOnly);
    a.CloseArchive();
    try {
      a.OpenArchive(kOpenModeReadWrite);
      ADD_FAILURE() << "opened for writing";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.SystemError(), platform::kErrorSharingViolation);
      EXPECT_NE(e.Message().find(u"being used by another process"), std::u16string::npos);
    }
  }

  // Let go, the archive is ours again.
  Write(u"b.txt", "beta");
  Run();
  EXPECT_EQ(Entries().size(), 2u);
}

// Hidden and system files are real attributes here: the search attributes
// decide whether they are taken, and their entries keep the bits.
TEST_F(Win32Archiver, SearchAttributesTakeOrLeaveHiddenAndSystemFiles) {
  Write(u"plain.txt", "p");
  Write(u"hidden.txt", "h");
  Write(u"system.sys", "s");
  ASSERT_TRUE(
      platform::SetAttributes(Tree() + u"hidden.txt", platform::faArchive | platform::faHidden));
  ASSERT_TRUE(
      platform::SetAttributes(Tree() + u"system.sys", platform::faArchive | platform::faSysFile));

  const auto names = [&] {
    std::set<std::u16string> found;
    for (const auto& [name, attr] : Entries()) found.insert(name);
    return found;
  };
  using S = std::set<std::u16string>;
  searchAttr = TKMOptions::kDefaultSearchAttr & ~int32_t(platform::faHidden | platform::faSysFile);
  Run();
  EXPECT_EQ(names(), (S{u"plain.txt"}));
  searchAttr = TKMOptions::kDefaultSearchAttr & ~int32_t(platform::faSysFile);
  Run();
  EXPECT_EQ(names(), (S{u"plain.txt", u"hidden.txt"}));
  searchAttr = TKMOptions::kDefaultSearchAttr & ~int32_t(platform::faHidden);
  Run();
  EXPECT_EQ(names(), (S{u"plain.txt", u"hidden.txt", u"system.sys"}));
  searchAttr = TKMOptions::kDefaultSearchAttr;
  Run();
  const auto entries = Entries();
  EXPECT_EQ(entries.at(u"plain.txt") & 0xFF, platform::faArchive);
  EXPECT_EQ(entries.at(u"hidden.txt") & 0xFF, platform::faArchive | platform::faHidden);
  EXPECT_EQ(entries.at(u"system.sys") & 0xFF, platform::faArchive | platform::faSysFile);
}

// A commit that must keep old entries aside does so in the system's
// temporary folder (TMP here), in a file the system names FC<hex>.tmp, and
// removes it afterwards.
TEST_F(Win32Archiver, CommitKeepsItsTemporaryFileInTheTempFolder) {
  fs::create_directory(dir.Host(u"temp"));
  const std::string tempHost = platform::WideToUtf8(dir.Win(u"temp"));
  const char* oldTmp = std::getenv("TMP");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  _putenv_s("TMP", tempHost.c_str());
  ASSERT_EQ(platform::TempPath(), dir.Win(u"temp") + u"\\");

  const auto tempFiles = [&] {
    std::vector<std::u16string> names;
    for (const auto& e : fs::directory_iterator(dir.Host(u"temp")))
      names.push_back(ToWindowsView(e.path().filename()));
    return names;
  };
  Write(u"a.txt", std::string(5000, 'a'));
  Write(u"b.txt", std::string(5000, 'b'));
  TKavoMill a;
  a.SetBaseDir(Tree());
  a.SetFileMasks({u"*.*"});
  a.SetInMemory(true);
  a.BeginUpdate();
  a.AddFiles();
  a.EndUpdate();
  // The first entry changes: the ones after it are kept aside meanwhile.
  Write(u"a.txt", std::string(7000, 'A'));
  std::vector<std::u16string> seen;
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string&, double, TKMProcessOperation,
                         TKMProgressPhase, bool&) {
    for (const std::u16string& name : tempFiles())
      if (std::find(seen.begin(), seen.end(), name) == seen.end()) seen.push_back(name);
  };
  a.BeginUpdate();
  a.AddFiles();
  a.EndUpdate();
  _putenv_s("TMP", savedTmp.c_str());

  ASSERT_EQ(seen.size(), 1u);
  const std::u16string& name = seen[0];
  EXPECT_EQ(name.substr(0, 2), u"FC");
  EXPECT_EQ(platform::WideLowerCase(name.substr(name.size() - 4)), u".tmp");
  const std::u16string hex = name.substr(2, name.size() - 6);
  EXPECT_TRUE(hex.size() >= 1 && hex.size() <= 4) << platform::WideToUtf8(name);
  EXPECT_EQ(hex.find_first_not_of(u"0123456789ABCDEFabcdef"), std::u16string::npos);
  EXPECT_TRUE(tempFiles().empty());
  EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 2);
  a.CloseArchive();
}

// The central directory's names as stored: 8-bit bytes and whether a
// unicode-name field stands beside them.
std::map<std::string, bool> StoredNames(const std::string& zip) {
  std::map<std::string, bool> names;
  for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos && at + 46 <= zip.size();
       at = zip.find("PK\x01\x02", at + 46)) {
    const auto u16 = [&](size_t offset) {
      return size_t(uint8_t(zip[at + offset])) | size_t(uint8_t(zip[at + offset + 1])) << 8;
    };
    const size_t nameLength = u16(28), extraLength = u16(30);
    if (u16(8) & 0x800) ADD_FAILURE() << "UTF-8 flag set";
    const std::string extra = zip.substr(at + 46 + nameLength, extraLength);
    names[zip.substr(at + 46, nameLength)] = extra.find("NUCX") != std::string::npos;
  }
  return names;
}

// A Cyrillic name (in the ANSI page) and a CJK one (outside it) come back
// whole through the unicode-name field; the 8-bit name beside it is the
// OEM page's for the first and '?'s for the second, as Windows tools
// without the field would show them.
TEST_F(Win32Archiver, NamesInAndOutsideTheCodePageRoundTrip) {
  const std::u16string cyrillic = u"\u041F\u0440\u0438\u0432\u0435\u0442.txt";
  const std::u16string cjk = u"\u4E2D\u6587.txt";
  Write(cyrillic, "privet");
  Write(cjk, "zhongwen");
  Run();

  const auto entries = Entries();
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.count(cyrillic), 1u);
  EXPECT_EQ(entries.count(cjk), 1u);
  const auto stored = StoredNames(test::ReadHostFile(dir.Host(u"out.zip")));
  EXPECT_EQ(stored, (std::map<std::string, bool>{{"\x8F\xE0\xA8\xA2\xA5\xE2.txt", true},
                                                 {"??.txt", true}}));

  TKavoMill a;
  Configure(a);
  a.OpenArchive();
  const TKMDirArray& items = a.DirManager()->CurrentDir();
  for (const std::u16string& name : {cyrillic, cjk}) {
    const int32_t index = items.FindItem(name);
    ASSERT_GE(index, 0) << platform::WideToUtf8(name);
    TMemoryStream data;
    a.ExtractToStream(index, data);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size())),
              name == cyrillic ? "privet" : "zhongwen");
  }
  a.CloseArchive();
}

}  // namespace
}  // namespace km

#endif  // _WIN32
