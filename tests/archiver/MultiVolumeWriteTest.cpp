// Creating split archives: the volumes each keep to their limit, every
// entry comes back byte for byte through our reader and through the peers
// once they join the set, and a creation that fails or is cancelled leaves
// nothing half made.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/ArchiverTestUtil.h"
#include "archiver/PeerArchives.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "platform/HostPath.h"
#include "support/Stream.h"
#include "zipformat/Records.h"
#include "zipformat/Zip64Fields.h"

namespace km {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kVolume = 65536;

struct TSetOptions {
  bool advanced = false;
  int64_t firstVolume = 0;
  std::string password;
  TKMCompressionLevel level = clNormal;
  TZip64Mode zip64 = zmDisabled;
  int manyFiles = 0;  // extra small files, so that the directory crosses volumes
};

class SplitArchives : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.Host() / "tree" / "sub" / "empty");
    Put("small.txt", std::string(1000, 's'));
    Put("exact.bin", test::Incompressible(size_t(kVolume), 1));
    Put("big.bin", test::Incompressible(size_t(kVolume) * 4 + 123, 2));
    std::string text;
    for (int i = 0; text.size() < 500000; ++i)
      text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    Put("sub/text.txt", text);
    Put("sub/zero.txt", "");
  }

  void Put(const std::string& name, const std::string& bytes) {
    files[name] = bytes;
    test::WriteHostFile(dir.Host() / "tree" / name, bytes);
  }

  std::u16string Archive() const { return dir.Win(u"out/data.zip"); }
  fs::path OutDir() const { return dir.Host() / "out"; }

  void Configure(TKavoMill& a, const TSetOptions& o) {
    a.SetFileName(Archive());
    a.SetBaseDir(dir.Win(u"tree") + u"\\");
    a.SetFileMasks({u"*.*"});
    a.Options().SetRecurse(true);
    a.SetCompressionLevel(o.level);
    a.SetPassword(o.password);
    a.SetZip64Mode(o.zip64);
    a.SetSpanningMode(smSplitting);
    a.SpanningOptions().SetVolumeSize(vsCustom);
    a.SpanningOptions().SetCustomVolumeSize(kVolume);
    a.SpanningOptions().SetFirstVolumeSize(o.firstVolume);
    a.SpanningOptions().SetAdvancedNaming(o.advanced);
    a.OnProcessFileFailure = [this](TKMBaseArchiver&, const std::u16string& name,
                                    TKMProcessOperation, int32_t native, int32_t,
                                    const std::u16string& message, TKMAction& action) {
      failures.push_back(std::to_string(native) + " " + platform::WideToUtf8(name) + ": " +
                         platform::WideToUtf8(message));
      action = fxaAbort;
    };
  }

  void Create(const TSetOptions& o, const std::function<void(TKavoMill&)>& prepare = {}) {
    fs::create_directories(OutDir());
    fs::create_directories(TempHost());
    for (int i = 0; i < o.manyFiles; ++i) Put("sub/many" + std::to_string(i) + ".txt", "m");
    TKavoMill a;
    Configure(a, o);
    a.SetTempDir(dir.Win(u"tmp"));
    if (prepare) prepare(a);
    a.OpenArchive();
    a.AddFiles();
    a.CloseArchive();
  }

  fs::path TempHost() const { return dir.Host() / "tmp"; }

  // After a creation that did not go through: the archive is there and
  // empty, and no volume, record or temporary file is left.
  void ExpectNothingHalfMade() {
    EXPECT_EQ(Volumes(), (std::map<std::string, uintmax_t>{{"data.zip", 22}}));
    EXPECT_TRUE(fs::is_empty(TempHost()));
    EXPECT_TRUE(ReadBack("").empty());
  }

  // The files of the out folder, by name, with their sizes.
  std::map<std::string, uintmax_t> Volumes() const {
    std::map<std::string, uintmax_t> found;
    for (const auto& e : fs::directory_iterator(OutDir()))
      found[e.path().filename().string()] = e.file_size();
    return found;
  }

  // Everything the set holds, read back by our reader.
  std::map<std::string, std::string> ReadBack(const std::string& password) {
    TKavoMill r;
    r.SetFileName(Archive());
    r.SetPassword(password);
    r.OpenArchive();
    std::map<std::string, std::string> got;
    const TKMDirArray& items = r.DirManager()->CurrentDir();
    for (int32_t i = 0; i < items.Count(); ++i) {
      const std::u16string name = items.GetItem(i).FileName;
      if (name.ends_with(u'/')) continue;
      TMemoryStream data;
      r.ExtractToStream(i, data);
      got[platform::WideToUtf8(name)] =
          std::string(reinterpret_cast<const char*>(data.Memory()), size_t(data.Size()));
    }
    r.CloseArchive();
    return got;
  }

  // The end record's directory size and start against the bytes between
  // the start it names and the records at the end of the last volume.
  void ExpectEndRecordSpansTheDirectory(const std::vector<fs::path>& volumes) {
    const std::string last = test::ReadHostFile(volumes.back());
    const size_t at = last.rfind(std::string("PK\x05\x06", 4));
    ASSERT_NE(at, std::string::npos);
    const auto u16 = [&](size_t k) {
      return uint32_t(uint8_t(last[k]) | uint8_t(last[k + 1]) << 8);
    };
    const auto u32 = [&](size_t k) { return u16(k) | u16(k + 2) << 16; };
    const uint32_t startVolume = u16(at + 6);
    const uint32_t entries = u16(at + 10);
    const uint32_t size = u32(at + 12);
    const uint32_t offset = u32(at + 16);
    ASSERT_LT(startVolume, volumes.size());
    EXPECT_LT(startVolume, volumes.size() - 1) << "the directory runs over volumes";
    // The headers end where the Zip64 records or the end record begin.
    const size_t z64 = last.rfind(std::string("PK\x06\x06", 4), at);
    uint64_t counted = (z64 == std::string::npos ? at : z64);
    counted += fs::file_size(volumes[startVolume]) - offset;
    for (size_t v = startVolume + 1; v + 1 < volumes.size(); ++v)
      counted += fs::file_size(volumes[v]);
    EXPECT_EQ(size, counted);
    EXPECT_EQ(entries, files.size() + 2) << "files and the two folders";
  }

  // Whether 7-Zip tests the set good, read where Info-ZIP would look for it.
  bool SevenZipAccepts(const std::string& password = "") {
    Joined();
    const std::string key = password.empty() ? "" : "-p" + password + " ";
    return test::RunShell("7zz t " + key + test::Quoted(dir.Host() / "join" / "data.zip") +
                          " >/dev/null 2>&1") == 0;
  }

  // The set copied with the numbered extensions Info-ZIP looks for, and
  // joined by it into one archive; empty when it cannot join them. (Zip 3.0
  // joins an entry that runs over more than two volumes wrongly, its own
  // sets too: only sets of small entries are joined.)
  fs::path Joined() {
    const fs::path join = dir.Host() / "join";
    fs::remove_all(join);
    fs::create_directories(join);
    for (const auto& e : fs::directory_iterator(OutDir())) {
      std::string name = e.path().filename().string();
      if (name.size() > 4 && name[name.size() - 4] == '.')
        std::transform(name.end() - 3, name.end(), name.end() - 3,
                       [](char c) { return char(std::tolower(c)); });
      fs::copy_file(e.path(), join / name);
    }
    const fs::path joined = dir.Host() / "joined.zip";
    fs::remove(joined);
    if (test::RunShell("zip -q -s 0 " + test::Quoted(join / "data.zip") + " --out " +
                       test::Quoted(joined) + " >/dev/null 2>&1") != 0)
      return {};
    return joined;
  }

  test::TempDir dir;
  std::map<std::string, std::string> files;
  std::vector<std::string> failures;
};

TEST_F(SplitArchives, EveryKindOfEntryComesBackFromVolumesWithinTheirLimit) {
  struct Case {
    const char* what;
    TSetOptions options;
  };
  TSetOptions stored, encrypted;
  stored.advanced = true;
  stored.level = clNone;
  encrypted.firstVolume = 70000;
  encrypted.password = "secret";
  const Case cases[] = {
      {"deflated, plain names", {}},
      {"stored, numbered names", stored},
      {"encrypted, smaller first volume", encrypted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(OutDir());
    failures.clear();
    Create(c.options);
    EXPECT_TRUE(failures.empty()) << failures.front();
    const auto volumes = Volumes();
    ASSERT_GE(volumes.size(), 6u) << "the data is several volumes long";
    ASSERT_TRUE(volumes.contains("data.zip"));
    for (const auto& [name, size] : volumes) {
      const bool first = name.find("01") != std::string::npos;
      const int64_t limit = first && c.options.firstVolume > 0 ? c.options.firstVolume : kVolume;
      EXPECT_LE(int64_t(size), limit) << name;
    }
    EXPECT_EQ(ReadBack(c.options.password), files);
    if (!c.options.advanced) {
      if (test::HasTool("7zz"))
        EXPECT_TRUE(SevenZipAccepts(c.options.password));
      else if (test::OnCi())
        ADD_FAILURE() << "7zz is needed";
    }
  }
}

// Enough entries that the directory itself runs over several volumes: its
// size in the end record is what was written, and the peers read the set.
TEST_F(SplitArchives, ADirectoryAcrossVolumesIsWholeForUsAndThePeers) {
  for (const char* large : {"exact.bin", "big.bin", "sub/text.txt"}) {
    files.erase(large);
    fs::remove(dir.Host() / "tree" / large);
  }
  for (const TZip64Mode zip64 : {zmDisabled, zmAlways}) {
    SCOPED_TRACE(zip64 == zmAlways ? "zip64 forced" : "plain");
    fs::remove_all(OutDir());
    failures.clear();
    TSetOptions options;
    options.zip64 = zip64;
    options.manyFiles = 1500;
    Create(options);
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(ReadBack(""), files);
    std::vector<fs::path> volumes;
    for (const auto& [name, size] : Volumes())
      if (name != "data.zip") volumes.push_back(OutDir() / name);
    volumes.push_back(OutDir() / "data.zip");
    ExpectEndRecordSpansTheDirectory(volumes);
    if (!test::HasTool("zip") || !test::HasTool("unzip")) {
      if (test::OnCi()) ADD_FAILURE() << "zip and unzip are needed";
      continue;
    }
    const fs::path joined = Joined();
    ASSERT_FALSE(joined.empty()) << "zip -s 0 could not join the set";
    EXPECT_EQ(test::RunShell("unzip -tqq " + test::Quoted(joined) + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(test::RunShell("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                             "sys.exit(1 if z.testzip() else 0)\" " +
                             test::Quoted(joined)),
              0);
    if (test::HasTool("7zz")) {
      EXPECT_TRUE(SevenZipAccepts());
    }
  }
}

// Each entry with data is copied into the volumes with the copy events
// from 0 to 100; the user's cancel there, or a blank volume refused, stops
// the creation with nothing half made.
TEST_F(SplitArchives, CopyEventsAndAStoppedCreationLeaveNothingHalfMade) {
  std::vector<std::pair<TKMProgressPhase, double>> events;
  Create({}, [&](TKavoMill& a) {
    a.OnCopyTempFileProgress = [&](TKMBaseArchiver&, double progress, TKMProgressPhase phase,
                                   bool&) { events.emplace_back(phase, progress); };
  });
  EXPECT_TRUE(failures.empty());
  // Every entry, folders too, is copied from start to end.
  ASSERT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.first == ppStart; }),
            7);
  for (size_t k = 0; k < events.size(); ++k) {
    if (events[k].first == ppStart) {
      EXPECT_EQ(events[k].second, 0.0);
    } else if (events[k].first == ppEnd) {
      EXPECT_EQ(events[k].second, 100.0);
    } else {
      ASSERT_GT(k, 0u);
      EXPECT_GE(events[k].second, events[k - 1].first == ppStart ? 0.0 : events[k - 1].second);
    }
  }
  EXPECT_EQ(ReadBack(""), files);

  SCOPED_TRACE("cancelled while the third entry is copied");
  fs::remove_all(OutDir());
  int started = 0;
  Create({}, [&](TKavoMill& a) {
    a.OnCopyTempFileProgress = [&](TKMBaseArchiver&, double, TKMProgressPhase phase, bool& cancel) {
      if (phase == ppStart) ++started;
      if (started == 3 && phase == ppProcess) cancel = true;
    };
  });
  EXPECT_TRUE(failures.empty());
  ExpectNothingHalfMade();

  SCOPED_TRACE("the fourth blank volume refused");
  fs::remove_all(OutDir());
  Create({}, [&](TKavoMill& a) {
    a.OnRequestBlankVolume = [](TKMBaseArchiver&, int32_t number, std::u16string&, bool& cancel) {
      cancel = number == 4;
    };
  });
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].starts_with("45 ")) << failures[0];
  ExpectNothingHalfMade();
}

// A volume that takes fewer bytes than it is given, here because a file
// size limit stops the kernel copy and the write after it part way, is
// closed where it ends and the entry goes on in the next volume: the set
// reads back whole.
TEST_F(SplitArchives, AVolumeCutShortByAFailedWriteLeavesTheSetWhole) {
#ifdef _WIN32
  GTEST_SKIP() << "the file size limit that cuts the volume short is POSIX's";
#else
  struct rlimit before {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  int limitedCopies = 0;
  Create({}, [&](TKavoMill& a) {
    a.OnCopyTempFileProgress = [&](TKMBaseArchiver&, double, TKMProgressPhase phase, bool&) {
      // Only while an entry is copied: its temporary file is whole then.
      if (phase == ppEnd) setrlimit(RLIMIT_FSIZE, &before);
      if (phase != ppStart || a.ArchiveStream()->Size() >= kVolume / 2) return;
      struct rlimit small = before;
      small.rlim_cur = rlim_t(kVolume / 2);
      if (setrlimit(RLIMIT_FSIZE, &small) == 0) ++limitedCopies;
    };
  });
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_GT(limitedCopies, 0);
  int cutShort = 0;
  for (const auto& [name, size] : Volumes())
    if (name != "data.zip") cutShort += size < uintmax_t(kVolume);
  EXPECT_GT(cutShort, 0);
  EXPECT_EQ(ReadBack(""), files);
#endif
}

// Entries that begin more than 4 GiB into a volume (here after a sparse
// lead-in, as a self-extractor stub would be) get their offsets in Zip64
// fields and read back; with Zip64 disabled the first of them fails by name.
TEST_F(SplitArchives, EntriesPastFourGiBIntoAVolumeGetZip64Offsets) {
  constexpr int64_t kLeadIn = int64_t(4) << 30 | 12345;
  for (const TZip64Mode zip64 : {zmAuto, zmDisabled}) {
    SCOPED_TRACE(zip64 == zmAuto ? "zip64 when needed" : "zip64 disabled");
    fs::remove_all(OutDir());
    fs::create_directories(OutDir());
    fs::create_directories(TempHost());
    failures.clear();
    {
      TKavoMill a;
      TSetOptions options;
      options.zip64 = zip64;
      Configure(a, options);
      a.SetTempDir(dir.Win(u"tmp"));
      // The first volume takes the lead-in and some entries; the rest go on
      // in volumes of the usual size.
      a.SpanningOptions().SetFirstVolumeSize(kLeadIn + 3 * kVolume);
      a.OpenArchive();
      a.ArchiveStream()->SetSize(kLeadIn);
      a.ArchiveStream()->SetPosition(kLeadIn);
      a.AddFiles();
      a.CloseArchive();
    }
    if (zip64 == zmDisabled) {
      ASSERT_FALSE(failures.empty());
      EXPECT_TRUE(failures[0].starts_with("43 ")) << failures[0];
      ExpectNothingHalfMade();
      continue;
    }
    EXPECT_TRUE(failures.empty()) << failures.front();
    ASSERT_GT(fs::file_size(OutDir() / "data.z01"), uintmax_t(kLeadIn));
    EXPECT_LE(fs::file_size(OutDir() / "data.z01"), uintmax_t(kLeadIn + 3 * kVolume));
    EXPECT_EQ(ReadBack(""), files);
    TKavoMill r;
    r.SetFileName(Archive());
    r.OpenArchive();
    int past = 0;
    const TKMDirArray& items = r.DirManager()->CurrentDir();
    for (int32_t i = 0; i < items.Count(); ++i) {
      const TDirItem& item = items.GetItem(i);
      if (item.DiskNumberStart != 0) continue;
      EXPECT_GE(LocalOffsetOf(item), kLeadIn);
      EXPECT_EQ(item.LocalHeaderOffset, kSentinel32);
      ++past;
    }
    EXPECT_GT(past, 0);
    r.CloseArchive();
  }
}

// A self-extractor stub goes at the head of the first volume, which takes
// the stub's extension, and a reader told nothing of the stub finds it
// there; a stub larger than the first volume may be is refused, leaving
// nothing behind.
TEST_F(SplitArchives, AStubLeadsTheFirstVolumeOrIsRefused) {
  const std::string stub = "MZ" + test::Incompressible(3000, 9);
  test::WriteHostFile(dir.Host() / "stub.exe", stub);
  Create({}, [&](TKavoMill& a) { a.SetSFXStub(dir.Win(u"stub.exe")); });
  EXPECT_TRUE(failures.empty()) << failures.front();
  const auto made = Volumes();
  ASSERT_TRUE(made.contains("data.exe"));
  EXPECT_EQ(test::ReadHostFile(OutDir() / "data.exe").substr(0, stub.size()), stub);
  EXPECT_EQ(ReadBack(""), files);

  fs::remove_all(OutDir());
  fs::create_directories(OutDir());
  TKavoMill a;
  Configure(a, {});
  a.SetSFXStub(dir.Win(u"stub.exe"));
  a.SpanningOptions().SetFirstVolumeSize(int64_t(stub.size()) - 1);
  EXPECT_EQ(test::NativeOf([&] { a.OpenArchive(); }), 47);
  EXPECT_TRUE(fs::is_empty(OutDir())) << Volumes().begin()->first;
}

// A run killed half way leaves volumes, a temporary file and their record:
// the next open of the archive, whatever it then finds, removes them.
TEST_F(SplitArchives, AnOpenAfterACreationCutShortRemovesWhatItMade) {
  const fs::path snapshot = dir.Host() / "snapshot";
  fs::create_directories(snapshot);
  int started = 0;
  Create({}, [&](TKavoMill& a) {
    a.OnCopyTempFileProgress = [&](TKMBaseArchiver&, double, TKMProgressPhase phase, bool&) {
      if (phase == ppStart && ++started == 3) {
        fs::copy(OutDir(), snapshot / "out");
        fs::copy(TempHost(), snapshot / "tmp");
      }
    };
  });
  ASSERT_EQ(ReadBack(""), files);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(snapshot / "out"))
    left.push_back(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(snapshot / "tmp"))
    left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  ASSERT_GE(left.size(), 5u) << "volumes, their record and the entry's temporary file";
  EXPECT_TRUE(std::find(left.begin(), left.end(), "data.zip-volumes") != left.end());
  EXPECT_TRUE(std::any_of(left.begin(), left.end(), [](auto& n) { return n.starts_with("FC"); }));
  // Something of the user's own beside them stays.
  test::WriteHostFile(snapshot / "out" / "data.txt", "mine");

  for (const bool create : {false, true}) {
    SCOPED_TRACE(create ? "created anew" : "opened to read");
    fs::remove_all(OutDir());
    fs::remove_all(TempHost());
    fs::copy(snapshot / "out", OutDir());
    fs::copy(snapshot / "tmp", TempHost());
    TKavoMill a;
    a.SetFileName(Archive());
    if (create) {
      a.SetSpanningMode(smSplitting);
      a.OpenArchive();
      a.CloseArchive();
      EXPECT_EQ(Volumes(), (std::map<std::string, uintmax_t>{{"data.txt", 4}, {"data.zip", 22}}));
    } else {
      EXPECT_EQ(test::NativeOf([&] { a.OpenArchive(kOpenModeReadShared); }), 12);
      EXPECT_EQ(Volumes(), (std::map<std::string, uintmax_t>{{"data.txt", 4}}));
    }
    EXPECT_TRUE(fs::is_empty(TempHost()));
  }
}

// Killed after the set was whole, as its last volume was being given the
// archive's name: the next open finishes the renaming and keeps the set.
TEST_F(SplitArchives, AnOpenFinishesTheRenamingOfASetMarkedWhole) {
  Create({});
  const auto volumes = Volumes();
  const std::string last =
      "data.z" + std::string(volumes.size() < 10 ? "0" : "") + std::to_string(volumes.size());
  ASSERT_FALSE(volumes.contains(last));
  fs::rename(OutDir() / "data.zip", OutDir() / last);
  std::string record = "KMVOLSET\n";
  for (const auto& [name, size] : Volumes())
    record += platform::WideToUtf8(dir.Win(u"out/" + platform::Utf8ToWide(name))) + "\n";
  record += "=" + platform::WideToUtf8(dir.Win(u"out/" + platform::Utf8ToWide(last))) + "\n";
  test::WriteHostFile(OutDir() / "data.zip-volumes", record);

  EXPECT_EQ(ReadBack(""), files);
  EXPECT_EQ(Volumes(), volumes);
}

}  // namespace
}  // namespace km
