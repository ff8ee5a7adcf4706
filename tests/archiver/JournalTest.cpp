// The rollback journal of a commit, seen from the archiver: what an open
// makes of the journal an interrupted commit left (played back, discarded or
// refused, byte for byte), what a commit puts into it, and who may open an
// archive while a commit holds it.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
#include "archiver/Journal.h"

#ifndef _WIN32
// The calls that make files durable, cut them or delete them are taken over
// here (the libraries are linked in statically, so their calls come here
// too), passed on to the kernel, and logged while a test asks for it: the
// order of a commit's steps on the disk is what a power cut would show.
namespace km::test {
namespace {
std::vector<std::pair<std::string, std::string>>* durableLog = nullptr;

void Log(const char* call, const std::string& path) {
  if (durableLog) durableLog->emplace_back(call, path);
}
std::string PathOf(int fd) {
  char path[4096];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return n > 0 ? std::string(path, size_t(n)) : std::string();
}
}  // namespace
}  // namespace km::test

extern "C" int fsync(int fd) {
  km::test::Log("fsync", km::test::PathOf(fd));
  return int(syscall(SYS_fsync, fd));
}
extern "C" int ftruncate(int fd, off_t length) noexcept {
  km::test::Log("ftruncate", km::test::PathOf(fd));
  return int(syscall(SYS_ftruncate, fd, length));
}
extern "C" int unlink(const char* path) noexcept {
  km::test::Log("unlink", path);
  return int(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

#endif

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::WriteHostFile;

// Every write and copy of a commit is shown to onWrite first, with the
// stream it goes to; false makes it take nothing.
class HookedMill : public TKavoMill {
 public:
  std::function<bool(TStream& target)> onWrite;
  int calls = 0;

 protected:
  int64_t WriteArchiveBytes(TStream& target, const void* buffer, int64_t count) override {
    return Allowed(target) ? TKavoMill::WriteArchiveBytes(target, buffer, count) : 0;
  }
  int64_t CopyArchiveBytes(TStream& from, TStream& to, int64_t count) override {
    return Allowed(to) ? TKavoMill::CopyArchiveBytes(from, to, count) : 0;
  }

 private:
  bool Allowed(TStream& target) {
    ++calls;
    return !onWrite || onWrite(target);
  }
};

bool Mentions(const std::u16string& message, const std::u16string& what) {
  return message.find(what) != std::u16string::npos;
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir.Host(u"tmp"));
    fs::create_directory(dir.Host(u"src"));
    // Over a megabyte after the first entry: the saved tail is read back in
    // more than one block.
    WriteHostFile(dir.Host(u"src/a.bin"), test::Incompressible(20000, 1));
    WriteHostFile(dir.Host(u"src/b.bin"), test::Incompressible(700000, 2));
    WriteHostFile(dir.Host(u"src/c.bin"), test::Incompressible(700000, 3));
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    a.AddFiles();
    a.CloseArchive();
    original = ReadHostFile(ArchivePath());
    ASSERT_GT(original.size(), 1400000u);
  }

  std::u16string ArchiveName() const { return dir.Win(u"test.zip"); }
  fs::path ArchivePath() const { return dir.Host(u"test.zip"); }
  std::u16string JournalName() const { return JournalFileName(ArchiveName()); }
  fs::path JournalPath() const { return dir.Host(u"test.zip-journal"); }

  void Configure(TKavoMill& a) {
    a.SetFileName(ArchiveName());
    a.SetTempDir(dir.Win(u"tmp"));
    a.SetBaseDir(dir.Win(u"src") + u"\\");
    a.SetFileMasks({u"*.*"});
    // As a sync does: only a changed file replaces its entry.
    a.Options().SetOverwriteMode(omIfDiffer);
  }

  bool TempDirEmpty() const { return fs::is_empty(dir.Host(u"tmp")); }

  // What a commit that deletes the second entry leaves when it is stopped at
  // its second write into the archive (the first, copying the entries after
  // the deleted one, went through): the archive half rewritten, the journal
  // complete; and the journal as it was before each write into it.
  void CaptureCut() {
    HookedMill a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    a.DeleteEntry(1);
    a.onWrite = [&](TStream& target) {
      if (&target != a.ArchiveStream()) {
        if (journal.empty()) journalsBeforeCut.push_back(ReadHostFile(JournalPath()));
        return true;
      }
      // Only the second: the rollback's writes go through.
      if (!journal.empty() || ++archiveWrites == 1) return true;
      cutArchive = ReadHostFile(ArchivePath());
      journal = ReadHostFile(JournalPath());
      return false;
    };
    EXPECT_THROW(a.EndUpdate(), Exception);
    a.CloseArchive();
    // The failed commit rolled back by itself.
    ASSERT_EQ(ReadHostFile(ArchivePath()), original);
    ASSERT_FALSE(fs::exists(JournalPath()));
    TKMJournalHeader header;
    ASSERT_EQ(DecodeJournalHeader(reinterpret_cast<const uint8_t*>(journal.data()),
                                  int64_t(journal.size()), header),
              TKMJournalState::Complete);
    ASSERT_NE(cutArchive, original);
    ASSERT_TRUE(cutArchive.substr(0, size_t(header.CutOffset)) ==
                original.substr(0, size_t(header.CutOffset)));
    ASSERT_EQ(journal.size(), size_t(kJournalHeaderSize + header.Length));
  }

  struct Opened {
    bool threw = false;
    std::u16string message;
    std::u16string note;
  };
  // Puts these bytes in place as the archive and its journal and opens the
  // archive.
  Opened OpenBeside(const std::string& archive, const std::string& journalBytes) {
    WriteHostFile(ArchivePath(), archive);
    WriteHostFile(JournalPath(), journalBytes);
    Opened result;
    TKavoMill a;
    Configure(a);
    try {
      a.OpenArchive();
      result.note = a.RecoveryNote();
    } catch (const Exception& e) {
      result.threw = true;
      result.message = e.Message();
      EXPECT_FALSE(a.ArchiveOpen());
    }
    a.CloseArchive();
    return result;
  }

  // Discarded: the archive as it was found, the journal gone, no note.
  void ExpectDiscarded(const std::string& archive, const std::string& journalBytes) {
    const Opened opened = OpenBeside(archive, journalBytes);
    EXPECT_FALSE(opened.threw) << platform::WideToUtf8(opened.message);
    EXPECT_TRUE(opened.note.empty());
    EXPECT_FALSE(fs::exists(JournalPath()));
    EXPECT_TRUE(ReadHostFile(ArchivePath()) == archive);
  }

  // Refused: the open fails naming the journal, and neither file changes.
  void ExpectRefused(const std::string& journalBytes) {
    const Opened opened = OpenBeside(cutArchive, journalBytes);
    EXPECT_TRUE(opened.threw);
    EXPECT_TRUE(Mentions(opened.message, JournalName())) << platform::WideToUtf8(opened.message);
    EXPECT_TRUE(ReadHostFile(JournalPath()) == journalBytes);
    EXPECT_TRUE(ReadHostFile(ArchivePath()) == cutArchive);
  }

  test::TempDir dir;
  std::string original;
  std::string cutArchive;
  std::string journal;
  std::vector<std::string> journalsBeforeCut;
  int archiveWrites = 0;
};

TEST_F(Journal, AnOpenPlaysBackDiscardsOrRefusesTheJournalOfAnInterruptedCommit) {
  CaptureCut();
  const std::string body = journal.substr(size_t(kJournalHeaderSize));

  {  // Complete: the archive gets its old bytes back, whether it was cut or
     // already put back by an earlier playback.
    for (const std::string& found : {cutArchive, original}) {
      const Opened opened = OpenBeside(found, journal);
      EXPECT_FALSE(opened.threw) << platform::WideToUtf8(opened.message);
      EXPECT_FALSE(opened.note.empty());
      EXPECT_FALSE(fs::exists(JournalPath()));
      EXPECT_TRUE(ReadHostFile(ArchivePath()) == original);
    }
  }
  {  // Stopped at any write before the cut: the archive is found as it was.
    ASSERT_GE(journalsBeforeCut.size(), 3u);
    for (size_t i = 0; i < journalsBeforeCut.size(); ++i) {
      SCOPED_TRACE("stopped at journal write " + std::to_string(i));
      const Opened opened = OpenBeside(original, journalsBeforeCut[i]);
      EXPECT_FALSE(opened.threw) << platform::WideToUtf8(opened.message);
      EXPECT_FALSE(fs::exists(JournalPath()));
      EXPECT_TRUE(ReadHostFile(ArchivePath()) == original);
    }
  }
  {  // Without its header (cut inside it, or zeros where it goes) the journal
     // was never finished, so nothing was cut yet: it goes, and the archive
     // stays as it is.
    std::vector<std::string> unfinished;
    for (size_t k = 0; k < size_t(kJournalHeaderSize); ++k)
      unfinished.push_back(journal.substr(0, k));
    unfinished.push_back(std::string(size_t(kJournalHeaderSize), '\0') + body);
    for (size_t i = 0; i < unfinished.size(); ++i) {
      SCOPED_TRACE("unfinished journal " + std::to_string(i));
      ExpectDiscarded(original, unfinished[i]);
      ExpectDiscarded(cutArchive, unfinished[i]);
    }
  }
  {  // An archive made anew over the old one while the journal stayed (the
     // creating run was killed before it deleted it): the old tail does not
     // belong to the new file, which is kept as it is.
    TKavoMill made;
    Configure(made);
    made.OpenArchive(kOpenModeCreate);
    made.CloseArchive();
    const std::string fresh = ReadHostFile(ArchivePath());
    ASSERT_LT(fresh.size(), cutArchive.size());
    const Opened opened = OpenBeside(fresh, journal);
    EXPECT_TRUE(opened.threw);
    EXPECT_TRUE(Mentions(opened.message, JournalName())) << platform::WideToUtf8(opened.message);
    EXPECT_TRUE(ReadHostFile(JournalPath()) == journal);
    EXPECT_TRUE(ReadHostFile(ArchivePath()) == fresh);
  }
  {  // Made anew with the journal of the old file still there: the journal
     // goes before the file is emptied, so it can never be played onto it.
    WriteHostFile(ArchivePath(), cutArchive);
    WriteHostFile(JournalPath(), journal);
    TKavoMill made;
    Configure(made);
    made.OpenArchive(kOpenModeCreate);
    EXPECT_FALSE(fs::exists(JournalPath()));
    EXPECT_TRUE(made.RecoveryNote().empty());
    made.CloseArchive();
    TKavoMill reopened;
    Configure(reopened);
    reopened.OpenArchive();
    EXPECT_EQ(reopened.DirManager()->CurrentDir().Count(), 0);
    reopened.CloseArchive();
  }
  {  // Damaged: the header, the saved bytes or the length do not check out.
    for (size_t p = 0; p < size_t(kJournalHeaderSize); ++p) {
      SCOPED_TRACE("header byte " + std::to_string(p));
      std::string flipped = journal;
      flipped[p] = char(flipped[p] ^ 0x01);
      ExpectRefused(flipped);
    }
    for (const size_t p : {size_t(0), size_t(1) << 20, body.size() / 2, body.size() - 1}) {
      SCOPED_TRACE("saved byte " + std::to_string(p));
      std::string flipped = journal;
      flipped[size_t(kJournalHeaderSize) + p] ^= 0x40;
      ExpectRefused(flipped);
    }
    for (const size_t length :
         {size_t(kJournalHeaderSize), size_t(kJournalHeaderSize) + 1, journal.size() - 1}) {
      SCOPED_TRACE("cut to " + std::to_string(length));
      ExpectRefused(journal.substr(0, length));
    }
    ExpectRefused(journal + "x");
    // A sound header whose length is not the file's.
    TKMJournalHeader header;
    ASSERT_EQ(DecodeJournalHeader(reinterpret_cast<const uint8_t*>(journal.data()),
                                  kJournalHeaderSize, header),
              TKMJournalState::Complete);
    for (const int64_t delta : {-1, 1}) {
      SCOPED_TRACE("length off by " + std::to_string(delta));
      TKMJournalHeader wrong = header;
      wrong.OldSize += delta;
      wrong.Length += delta;
      uint8_t bytes[kJournalHeaderSize];
      EncodeJournalHeader(wrong, bytes);
      ExpectRefused(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes) + body);
    }
  }
}

TEST_F(Journal, ACommitThatCannotCreateItsJournalChangesNothing) {
  // A folder or a file of the journal's name is in the way (an existing
  // journal file is played back by the open, so it comes after it).
  for (const bool folder : {true, false}) {
    SCOPED_TRACE(folder ? "folder" : "file");
    TKavoMill a;
    Configure(a);
    a.OpenArchive();
    if (folder)
      fs::create_directory(JournalPath());
    else
      WriteHostFile(JournalPath(), "not ours");
    a.BeginUpdate();
    a.DeleteEntry(1);
    try {
      a.EndUpdate();
      ADD_FAILURE() << "the commit went ahead without its journal";
    } catch (const Exception& e) {
      EXPECT_TRUE(Mentions(e.Message(), JournalName())) << platform::WideToUtf8(e.Message());
    }
    EXPECT_EQ(a.DirManager()->CurrentDir().Count(), 3);
    a.CloseArchive();
    EXPECT_TRUE(ReadHostFile(ArchivePath()) == original);
    // The saved tail never falls back to TempDir.
    EXPECT_TRUE(TempDirEmpty());
    if (folder) {
      EXPECT_TRUE(fs::is_directory(JournalPath()));
      EXPECT_TRUE(fs::is_empty(JournalPath()));
    } else {
      EXPECT_EQ(ReadHostFile(JournalPath()), "not ours");
    }
    fs::remove(JournalPath());
  }
}

TEST_F(Journal, AnAppendSavesOnlyTheOldDirectoryAndNoChangeWritesNothing) {
  WriteHostFile(dir.Host(u"src/d.bin"), test::Incompressible(5000, 4));
  HookedMill a;
  Configure(a);
  a.OpenArchive();
  const int64_t dirOffset = a.DirManager()->CentralDirOffset();
  const int64_t oldSize = int64_t(original.size());
  int64_t cutAt = -1;
  std::string saved;
  a.onWrite = [&](TStream& target) {
    if (&target == a.ArchiveStream() && cutAt < 0) {
      cutAt = target.Position();
      saved = ReadHostFile(JournalPath());
    }
    return true;
  };
  a.BeginUpdate();
  a.AddFiles();
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(cutAt, dirOffset);
  ASSERT_EQ(int64_t(saved.size()), kJournalHeaderSize + oldSize - dirOffset);
  TKMJournalHeader header;
  ASSERT_EQ(DecodeJournalHeader(reinterpret_cast<const uint8_t*>(saved.data()), kJournalHeaderSize,
                                header),
            TKMJournalState::Complete);
  EXPECT_EQ(header.CutOffset, dirOffset);
  EXPECT_EQ(header.OldSize, oldSize);
  EXPECT_TRUE(saved.substr(size_t(kJournalHeaderSize)) == original.substr(size_t(dirOffset)));
  EXPECT_FALSE(fs::exists(JournalPath()));
  const std::string appended = ReadHostFile(ArchivePath());
  EXPECT_TRUE(appended.substr(0, size_t(dirOffset)) == original.substr(0, size_t(dirOffset)));

  // Nothing changed since: no write, no copy, no journal, not even a touch.
  fs::last_write_time(ArchivePath(), fs::file_time_type::clock::now() - std::chrono::hours(24));
  const auto stamp = fs::last_write_time(ArchivePath());  // as finely as the host keeps it
  HookedMill b;
  Configure(b);
  b.OpenArchive();
  b.BeginUpdate();
  b.AddFiles();
  b.EndUpdate();
  b.CloseArchive();
  EXPECT_EQ(b.calls, 0);
  EXPECT_EQ(b.AddedCount(), 0);
  EXPECT_FALSE(fs::exists(JournalPath()));
  EXPECT_TRUE(ReadHostFile(ArchivePath()) == appended);
  EXPECT_EQ(fs::last_write_time(ArchivePath()), stamp);
}

TEST_F(Journal, NoOneOpensTheArchiveWhileAWriterHoldsIt) {
  auto expectBusy = [&](int32_t mode, const char* what) {
    SCOPED_TRACE(what);
    TKavoMill other;
    Configure(other);
    try {
      if (mode < 0)
        other.OpenArchive();
      else
        other.OpenArchive(mode);
      ADD_FAILURE() << "opened";
    } catch (const EKMArchiveBusy& e) {
      EXPECT_TRUE(Mentions(e.Message(), u"being updated"));
    }
    EXPECT_FALSE(other.ArchiveOpen());
  };

  HookedMill writer;
  Configure(writer);
  writer.OpenArchive();
  writer.BeginUpdate();
  writer.DeleteEntry(1);
  expectBusy(kOpenModeReadShared, "reader in the transaction");
  // Inside the commit the journal beside the archive is the writer's own:
  // an open neither plays it back nor deletes it.
  std::string journalInCommit;
  writer.onWrite = [&](TStream& target) {
    if (&target != writer.ArchiveStream() || !journalInCommit.empty()) return true;
    journalInCommit = ReadHostFile(JournalPath());
    expectBusy(kOpenModeReadShared, "reader in the commit");
    expectBusy(-1, "writer in the commit");
    EXPECT_TRUE(ReadHostFile(JournalPath()) == journalInCommit);
    return true;
  };
  writer.EndUpdate();
  EXPECT_FALSE(journalInCommit.empty());
  writer.CloseArchive();

  // Readers share the archive, and keep a commit from starting under them.
  TKavoMill first, second, late;
  for (TKavoMill* reader : {&first, &second}) {
    Configure(*reader);
    reader->OpenArchive(kOpenModeReadShared);
    EXPECT_EQ(reader->DirManager()->CurrentDir().Count(), 2);
  }
  const std::string committed = ReadHostFile(ArchivePath());
  Configure(late);
  late.OpenArchive();
  EXPECT_THROW(late.BeginUpdate(), EKMException);
  late.CloseArchive();
  EXPECT_TRUE(ReadHostFile(ArchivePath()) == committed);
}

#ifndef _WIN32
// A power cut finds each step on the disk before the next one relies on it:
// the journal's bytes before its header, both and its folder entry before
// the archive is cut, the new archive before the journal goes; a playback
// puts the archive back on the disk before it deletes the journal.
TEST_F(Journal, EachStepIsOnTheDiskBeforeTheNextReliesOnIt) {
  std::vector<std::pair<std::string, std::string>> calls;
  std::vector<std::string> log;
  const auto roleOf = [&](const std::string& path) -> std::string {
    if (path == ArchivePath().string()) return "archive";
    if (path == JournalPath().string()) return "journal";
    if (path == ArchivePath().parent_path().string()) return "folder";
    return "other";
  };
  const auto take = [&] {
    for (const auto& [call, path] : calls) log.push_back(call + " " + roleOf(path));
    calls.clear();
  };
  // Where event first comes in the log within [from, to); npos when not.
  const auto find = [&](const std::string& event, size_t from = 0, size_t to = std::string::npos) {
    for (size_t i = from; i < std::min(to, log.size()); ++i)
      if (log[i] == event) return i;
    return std::string::npos;
  };
  const auto rfind = [&](const std::string& event) {
    for (size_t i = log.size(); i-- > 0;)
      if (log[i] == event) return i;
    return std::string::npos;
  };
  const size_t npos = std::string::npos;

  {  // The playback of what a stopped commit left.
    CaptureCut();
    WriteHostFile(ArchivePath(), cutArchive);
    WriteHostFile(JournalPath(), journal);
    TKavoMill a;
    Configure(a);
    test::durableLog = &calls;
    a.OpenArchive();
    test::durableLog = nullptr;
    take();
    a.CloseArchive();
    ASSERT_TRUE(ReadHostFile(ArchivePath()) == original);
    const size_t gone = find("unlink journal");
    ASSERT_NE(gone, npos);
    EXPECT_NE(find("fsync archive", rfind("ftruncate archive") + 1, gone), npos)
        << "the journal went before the archive was put back on the disk";
    EXPECT_NE(find("fsync folder", gone + 1), npos);
  }
  {  // The commit.
    log.clear();
    HookedMill a;
    Configure(a);
    a.OpenArchive();
    a.BeginUpdate();
    a.DeleteEntry(1);
    a.onWrite = [&](TStream& target) {
      take();
      log.push_back(&target == a.ArchiveStream() ? "put archive" : "put journal");
      return true;
    };
    test::durableLog = &calls;
    a.EndUpdate();
    test::durableLog = nullptr;
    take();
    a.CloseArchive();
    // The archive's first change: the rewrite goes over its old bytes.
    const size_t cut = find("put archive");
    const size_t header = rfind("put journal");
    ASSERT_NE(cut, npos);
    ASSERT_LT(header, cut);
    EXPECT_GT(find("ftruncate archive"), cut) << "cut before the journal was on the disk";
    size_t body = header;
    while (body > 0 && log[--body] != "put journal") {
    }
    EXPECT_NE(find("fsync journal", body + 1, header), npos) << "bytes after the header";
    EXPECT_NE(find("fsync journal", header + 1, cut), npos) << "header after the cut";
    EXPECT_NE(find("fsync folder", header + 1, cut), npos) << "journal's name after the cut";
    const size_t gone = find("unlink journal");
    ASSERT_NE(gone, npos);
    EXPECT_NE(find("fsync archive", rfind("put archive") + 1, gone), npos)
        << "the journal went before the new archive was on the disk";
    EXPECT_NE(find("fsync folder", gone + 1), npos);
  }
}
#endif

}  // namespace
}  // namespace km
