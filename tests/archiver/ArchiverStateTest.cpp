#include <gtest/gtest.h>

#include <locale.h>
#include <locale>

#include <cstdlib>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
#include "common/HeldElsewhere.h"
#include "platform/File.h"

namespace km {
namespace {

using test::ReadHostFile;
using test::TempDir;
using test::WriteHostFile;

const std::string kEmptyArchive = std::string("PK\x05\x06", 4) + std::string(18, '\0');

// Counts commits and can make them fail or write, to watch the transaction
// rules from outside.
class TestArchiver : public TKavoMill {
 public:
  int commits = 0;
  bool failCommit = false;
  std::string commitBytes;

  void SetSpanningState(TKMSpanningMode mode) { spanningMode_ = mode; }

 protected:
  void CommitUpdate() override {
    if (UpdateDepth() <= 0) return;
    TKavoMill::CommitUpdate();
    ++commits;
    if (!commitBytes.empty()) ArchiveStream()->WriteBuffer(commitBytes.data(), commitBytes.size());
    if (failCommit) throw EKMException(kmeWriteError, this);
  }
};

using test::NativeOf;

TEST(ArchiverProperties, CompressionSettingsAreCoupled) {
  TKavoMill a;
  EXPECT_EQ(a.CompressionLevel(), clNormal);
  EXPECT_EQ(a.CompressionMode(), 6);
  EXPECT_EQ(a.CompressionMethod(), 8);

  a.SetCompressionMode(3);
  EXPECT_EQ(a.CompressionLevel(), clFastest);
  a.SetName(u"Archiver");
  for (int bad : {10, 256 + 5}) {
    try {
      a.SetCompressionMode(bad);
      ADD_FAILURE() << bad;
    } catch (const EKMException& e) {
      EXPECT_EQ(e.NativeError(), 5);
      EXPECT_EQ(e.Message(),
                u"Archiver: Invalid compression mode. Mode must be in [0-9] range - Native error: "
                u"00005");
    }
    EXPECT_EQ(a.CompressionMode(), 3);
    EXPECT_EQ(a.CompressionLevel(), clFastest);
  }

  a.SetCompressionMode(0);
  EXPECT_EQ(a.CompressionMethod(), 0);
  EXPECT_EQ(a.CompressionLevel(), clNone);
  for (int mode = 1; mode <= 9; ++mode) {
    a.SetCompressionMode(mode);
    EXPECT_EQ(a.CompressionMethod(), 8) << mode;
    EXPECT_EQ(a.CompressionLevel(), mode <= 3 ? clFastest : mode <= 6 ? clNormal : clMax);
  }
  // Not inverse: mode 5 reads back as clNormal, clNormal writes mode 6.
  a.SetCompressionMode(5);
  a.SetCompressionLevel(a.CompressionLevel());
  EXPECT_EQ(a.CompressionMode(), 6);
  a.SetCompressionLevel(clMax);
  EXPECT_EQ(a.CompressionMode(), 9);
  a.SetCompressionLevel(clFastest);
  EXPECT_EQ(a.CompressionMode(), 1);
  a.SetCompressionLevel(clNone);
  EXPECT_EQ(a.CompressionMode(), 0);
  EXPECT_EQ(a.CompressionMethod(), 0);

  // The bare base class chooses no method.
  TKMBaseArchiver base;
  EXPECT_EQ(base.CompressionMethod(), 0xFFFF);
  EXPECT_FALSE(base.StandardZip());
  EXPECT_TRUE(a.StandardZip());
}

TEST(ArchiverProperties, OptionCouplingAndCopies) {
  TKavoMill a;
  TKMOptions& o = a.Options();
  o.SetSynchronize(true);
  EXPECT_TRUE(o.Synchronize());
  o.SetStorePath(spNoPath);
  EXPECT_FALSE(o.Synchronize());
  o.SetSynchronize(true);
  EXPECT_FALSE(o.Synchronize());
  o.SetStorePath(spFullPath);
  EXPECT_FALSE(o.Synchronize());  // stays off until set again
  o.SetSynchronize(true);
  EXPECT_TRUE(o.Synchronize());

  a.SpanningOptions().SetCustomVolumeSize(1000);
  EXPECT_EQ(a.SpanningOptions().CustomVolumeSize(), 65536);
}

TEST(ArchiverProperties, CurrentVersionIgnoresWritesAndLocale) {
  TKavoMill a;
  a.SetCurrentVersion(u"9.99 Other");
  EXPECT_EQ(a.CurrentVersion(), u"3.01 Prism Edition");

  // A decimal comma in the C++ global locale always, and in the C locale too
  // when the machine has such a locale installed.
  struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale savedCpp =
      std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  const std::string saved = setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "ru_RU.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "ru_RU.utf8",
                           "ru_RU.CP1251", "de_DE", "ru_RU"}) {
    if (setlocale(LC_ALL, name) && localeconv()->decimal_point[0] == ',') break;
    setlocale(LC_ALL, saved.c_str());
  }
  const std::u16string version = a.CurrentVersion();
  setlocale(LC_ALL, saved.c_str());
  std::locale::global(savedCpp);
  EXPECT_EQ(version, u"3.01 Prism Edition");
}

TEST(ArchiverProperties, SpanningModeCannotChangeWhileOpen) {
  TKavoMill a;
  a.SetInMemory(true);
  a.OpenArchive();
  try {
    a.SetSpanningMode(smSplitting);
    ADD_FAILURE();
  } catch (const EKMException&) {
    ADD_FAILURE() << "a plain run-time error is expected";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Cannot set spanning mode on open archive");
  }
  EXPECT_EQ(a.SpanningMode(), smNone);
  a.CloseArchive();
  a.SetSpanningMode(smSplitting);
  EXPECT_EQ(a.SpanningMode(), smSplitting);
}

TEST(ArchiverTransactions, NestingCommitsOnceAtTheOutermostEnd) {
  TestArchiver a;
  a.SetInMemory(true);

  // Without a transaction nothing happens, not even opening.
  a.EndUpdate();
  a.CancelUpdate();
  EXPECT_FALSE(a.ArchiveOpen());
  EXPECT_EQ(a.UpdateDepth(), 0);

  a.BeginUpdate();  // opens the closed component
  EXPECT_TRUE(a.ArchiveOpen());
  a.BeginUpdate();
  a.BeginUpdate();
  EXPECT_EQ(a.UpdateDepth(), 3);
  a.EndUpdate();
  a.EndUpdate();
  EXPECT_EQ(a.commits, 0);
  EXPECT_TRUE(a.InUpdate());
  EXPECT_FALSE(a.UpdateCommitted());
  a.EndUpdate();
  EXPECT_EQ(a.commits, 1);
  EXPECT_EQ(a.UpdateDepth(), 0);
  EXPECT_TRUE(a.UpdateCommitted());
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(a.commits, 1);

  // Cancelled: neither EndUpdate nor closing commits.
  TestArchiver b;
  b.SetInMemory(true);
  b.BeginUpdate();
  b.BeginUpdate();
  b.CancelUpdate();
  EXPECT_FALSE(b.InUpdate());
  b.EndUpdate();
  b.EndUpdate();
  b.CloseArchive();
  EXPECT_EQ(b.commits, 0);

  // Closing with a pending transaction commits it.
  TestArchiver c;
  c.SetInMemory(true);
  c.BeginUpdate();
  c.BeginUpdate();
  c.CloseArchive();
  EXPECT_EQ(c.commits, 1);
  EXPECT_FALSE(c.ArchiveOpen());
  EXPECT_EQ(c.ArchiveStream(), nullptr);
  EXPECT_EQ(c.DirManager(), nullptr);
}

TEST(ArchiverTransactions, FailedCommitStillEndsTheTransaction) {
  TestArchiver a;
  a.SetInMemory(true);
  a.failCommit = true;
  a.BeginUpdate();
  EXPECT_EQ(NativeOf([&] { a.EndUpdate(); }), 46);
  EXPECT_EQ(a.UpdateDepth(), 0);
  EXPECT_TRUE(a.ArchiveOpen());

  // Closing swallows a failing commit and closes all the same.
  a.BeginUpdate();
  a.CloseArchive();
  EXPECT_EQ(a.commits, 2);
  EXPECT_FALSE(a.ArchiveOpen());
}

TEST(ArchiverTransactions, MultiVolumeAllowsOneCommitPerOpen) {
  TestArchiver a;
  a.SetName(u"Archiver");
  a.SetInMemory(true);
  a.OpenArchive();
  a.SetSpanningState(smSplitting);
  a.BeginUpdate();
  a.EndUpdate();
  try {
    a.BeginUpdate();
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 62);
    EXPECT_EQ(e.Message().rfind(u"Multiple transactions", 0), 0u) << "no name prefix";
  }
  EXPECT_EQ(a.UpdateDepth(), 0);
  a.OpenArchive();  // a new open clears the mark
  a.SetSpanningState(smSplitting);
  a.BeginUpdate();
  EXPECT_EQ(a.UpdateDepth(), 1);
  a.CancelUpdate();
}

TEST(ArchiverTransactions, StateChecks) {
  TestArchiver a;
  a.SetInMemory(true);
  EXPECT_EQ(NativeOf([&] { a.CheckOpen(); }), 13);
  a.OpenArchive();
  EXPECT_EQ(NativeOf([&] { a.CheckOpen(); }), -1);
  a.BeginUpdate();
  EXPECT_EQ(NativeOf([&] { a.CheckNotInUpdate(); }), 26);
  EXPECT_EQ(NativeOf([&] { a.CheckModifiable(); }), -1);
  a.CancelUpdate();
  EXPECT_EQ(NativeOf([&] { a.CheckNotInUpdate(); }), -1);

  // Modifying a non-empty multi-volume archive outside a transaction.
  a.DirManager()->CurrentDir().Add(TDirItem{});
  EXPECT_EQ(NativeOf([&] { a.CheckModifiable(); }), -1);
  a.SetSpanningState(smSpanning);
  EXPECT_EQ(NativeOf([&] { a.CheckModifiable(); }), 52);
  a.SetSpanningState(smNone);
  a.CloseArchive();
}

TEST(ArchiverOpen, NewArchiveIsAnEmptyZipFile) {
  TempDir dir;
  TKavoMill a;
  a.SetFileName(dir.Win(u"new.zip"));
  int opened = 0;
  a.AfterOpen = [&](TKMBaseArchiver& sender) {
    EXPECT_EQ(&sender, &a);
    ++opened;
  };
  a.OpenArchive();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(a.OpenMode(), 0xFFFF);
  a.CloseArchive();
  const std::filesystem::path host = dir.Host(u"new.zip");
  EXPECT_EQ(ReadHostFile(host), kEmptyArchive);

  // Reopening finds it and, with nothing changed, leaves it as it is.
  a.OpenArchive();
  EXPECT_EQ(a.OpenMode(), 0x0022);
  a.BeginUpdate();
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(ReadHostFile(host), kEmptyArchive);

  // Real peers read it as an empty archive.
  const std::string quoted = "'" + host.string() + "'";
  if (std::system("python3 -c 'import zipfile' >/dev/null 2>&1") == 0) {
    EXPECT_EQ(std::system(("python3 -c 'import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                           "sys.exit(0 if z.namelist()==[] and z.testzip() is None else 1)' " +
                           quoted)
                              .c_str()),
              0);
  }
  if (std::system("unzip -v >/dev/null 2>&1") == 0) {
    // unzip reports an empty archive with a warning and exit status 1.
    const int rc = std::system(("unzip -l " + quoted + " 2>&1 | grep -q 'is empty'").c_str());
    EXPECT_EQ(rc, 0);
  }

  // Create means create: an existing file is replaced by an empty archive.
  WriteHostFile(host, "something else");
  a.OpenArchive(-1);
  a.CloseArchive();
  EXPECT_EQ(ReadHostFile(host), kEmptyArchive);
}

TEST(ArchiverOpen, ReopeningTheOpenArchiveKeepsItWritable) {
  TempDir dir;
  TestArchiver a;
  a.SetFileName(dir.Win(u"again.zip"));
  // Once while it is being created, once while it is open read/write: our
  // own handle must not make the archive look locked by someone else.
  a.OpenArchive();
  ASSERT_EQ(a.OpenMode(), 0xFFFF);
  a.OpenArchive();
  EXPECT_EQ(a.OpenMode(), 0x0022);
  a.OpenArchive();
  EXPECT_EQ(a.OpenMode(), 0x0022);
  a.BeginUpdate();
  a.EndUpdate();
  EXPECT_EQ(a.commits, 1);
  a.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"again.zip")), kEmptyArchive);
}

TEST(ArchiverOpen, NewArchiveWithOnlyAStubStillGetsItsEndRecord) {
  TempDir dir;
  const std::string stub = "MZ" + std::string(98, '\x90');
  WriteHostFile(dir.Host(u"stub.exe"), stub);
  // The end record follows the stub and points at where the directory starts.
  std::string expected = stub + kEmptyArchive;
  expected[stub.size() + 16] = char(stub.size());

  TKavoMill a;
  a.SetSFXStub(dir.Win(u"stub.exe"));
  a.SetFileName(dir.Win(u"sfx.zip"));
  a.OpenArchive();
  a.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"sfx.zip")), expected);

  // The same when an in-memory archive is moved to its file.
  TKavoMill b;
  b.SetSFXStub(dir.Win(u"stub.exe"));
  b.SetFileName(dir.Win(u"sfx2.zip"));
  b.SetInMemory(true);
  b.OpenArchive();
  b.SetInMemory(false);
  b.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"sfx2.zip")), expected);

  if (std::system("python3 -c 'import zipfile' >/dev/null 2>&1") == 0) {
    const std::string quoted = "'" + dir.Host(u"sfx.zip").string() + "'";
    EXPECT_EQ(std::system(("python3 -c 'import sys,zipfile; "
                           "sys.exit(0 if zipfile.ZipFile(sys.argv[1]).namelist()==[] else 1)' " +
                           quoted)
                              .c_str()),
              0);
  }
}

TEST(ArchiverOpen, BeginUpdateOnAClosedComponentCreatesTheArchive) {
  TempDir dir;
  TestArchiver a;
  a.SetFileName(dir.Win(u"begin.zip"));
  a.BeginUpdate();
  EXPECT_TRUE(a.ArchiveOpen());
  EXPECT_TRUE(std::filesystem::exists(dir.Host(u"begin.zip")));
  a.EndUpdate();
  a.CloseArchive();
  EXPECT_EQ(a.commits, 1);
  EXPECT_EQ(ReadHostFile(dir.Host(u"begin.zip")), kEmptyArchive);
}

TEST(ArchiverOpen, NativeCodesOfOpening) {
  TempDir dir;
  TKavoMill a;
  a.SetFileName(dir.Win(u"sub") + u"\\");
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(); }), 9);
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(0x0022); }), 10);
  a.SetFileName(u"");
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(); }), 9);

  a.SetFileName(dir.Win(u"missing.zip"));
  try {
    a.OpenArchive(0x0022);
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 12);
    EXPECT_NE(e.Message().find(dir.Win(u"missing.zip")), std::u16string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Host(u"missing.zip")));
  // A floppy may simply not be in the drive yet: no "not found" there.
  // It is taken for a spanned archive whose last disk is asked for; with
  // nobody to insert it the request ends cancelled.
  a.SetFileName(u"A:\\data.zip");
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(0x0022); }), 45);
  // An in-memory archive can only be created.
  WriteHostFile(dir.Host(u"old.zip"), kEmptyArchive);
  a.SetFileName(dir.Win(u"old.zip"));
  a.SetInMemory(true);
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(0x0022); }), 28);

  // A failed check leaves an open archive open.
  a.OpenArchive();
  ASSERT_TRUE(a.ArchiveOpen());
  a.SetInMemory(true);
  EXPECT_EQ(NativeOf([&] { a.OpenArchive(0x0022); }), 28);
  EXPECT_TRUE(a.ArchiveOpen());
  a.CloseArchive();
}

TEST(ArchiverOpen, NameOutsideTheAnsiCodePageOpensTheExistingArchive) {
  TempDir dir;
  // Some bytes ahead of an end record, as an archive with content has.
  const std::string content = std::string("PK\x03\x04 entry data", 16) + kEmptyArchive;
  // The second name has a character outside the basic plane.
  for (const std::u16string name : {u"архив_中文.zip", u"архив_\U0001F600.zip"}) {
    WriteHostFile(dir.Host(name), content);
    TKavoMill a;
    a.SetFileName(dir.Win(name));
    a.OpenArchive();
    EXPECT_EQ(a.OpenMode(), 0x0022);
    a.BeginUpdate();
    a.EndUpdate();
    a.CloseArchive();
    EXPECT_EQ(ReadHostFile(dir.Host(name)), content);
  }
}

TEST(ArchiverOpen, ArchiveLockedByAnotherProcessOpensReadOnly) {
  TempDir dir;
  WriteHostFile(dir.Host(u"locked.zip"), kEmptyArchive);
  const std::u16string name = dir.Win(u"locked.zip");

  test::HeldElsewhere other;
  const bool held =
      other.Hold(name, platform::FileAccess::ReadWrite, platform::FileShare::DenyWrite) == 0;

  TKavoMill a;
  a.SetName(u"Archiver");
  a.SetFileName(name);
  if (held) {
    a.OpenArchive();
    EXPECT_EQ(a.OpenMode(), 0x0040);
    EXPECT_EQ(NativeOf([&] { a.BeginUpdate(); }), 32);
    EXPECT_FALSE(a.InUpdate());
    a.CloseArchive();
    // Asking for write access explicitly fails with the stream's error.
    EXPECT_THROW(a.OpenArchive(0x0022), EStreamError);
    EXPECT_FALSE(a.ArchiveOpen());
  }
  other.Release();
  ASSERT_TRUE(held) << "the other program could not lock the file";
  EXPECT_EQ(ReadHostFile(dir.Host(u"locked.zip")), kEmptyArchive);

  // Released: read/write again.
  a.OpenArchive();
  EXPECT_EQ(a.OpenMode(), 0x0022);
  a.CloseArchive();
}

TEST(ArchiverOpen, LeavingMemoryWritesTheSettledArchiveToTheFile) {
  TempDir dir;
  TestArchiver a;
  a.SetFileName(dir.Win(u"mem.zip"));
  a.SetInMemory(true);
  a.OpenArchive();
  a.SetInMemory(false);
  EXPECT_TRUE(a.ArchiveOpen());
  EXPECT_EQ(a.OpenMode(), 0x0022);
  EXPECT_EQ(ReadHostFile(dir.Host(u"mem.zip")), kEmptyArchive);
  a.CloseArchive();

  // A pending transaction is committed before the bytes are copied, so its
  // changes reach the file rather than the dropped memory stream.
  TestArchiver b;
  b.SetFileName(dir.Win(u"mem2.zip"));
  b.SetInMemory(true);
  // What the fake commit writes is an archive whose comment marks it.
  const std::string committed = std::string("PK\x05\x06", 4) + std::string(16, '\0') + "\x09" +
                                std::string(1, '\0') + "COMMITTED";
  b.commitBytes = committed;
  b.BeginUpdate();
  b.SetInMemory(false);
  EXPECT_EQ(b.commits, 1);
  EXPECT_FALSE(b.InUpdate());
  b.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"mem2.zip")), committed);

  // And back: a new, empty in-memory archive; the file is left alone.
  b.OpenArchive();
  b.SetInMemory(true);
  EXPECT_TRUE(b.ArchiveOpen());
  EXPECT_EQ(b.ArchiveStream()->Size(), 0);
  b.CloseArchive();
  EXPECT_EQ(ReadHostFile(dir.Host(u"mem2.zip")), committed);
}

}  // namespace
}  // namespace km
