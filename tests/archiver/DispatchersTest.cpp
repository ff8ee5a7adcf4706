#include <gtest/gtest.h>

#include "ArchiverTestUtil.h"
#include "archiver/Archiver.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"

namespace km {
namespace {

using platform::MessageBoxRequest;
using platform::ScopedDialogServices;
using platform::ScriptedDialogServices;
using platform::TMsgDlgButtons;

TEST(FailureEvent, DefaultAnswersThroughMessageBoxes) {
  ScriptedDialogServices dialogs;
  ScopedDialogServices scope(&dialogs);
  TKavoMill a;
  TKMAction action = fxaRetry;

  // A cancelled volume request ends the run without asking.
  a.DoProcessFileFailure(u"f.txt", poTest, 45, 24, u"msg", action);
  EXPECT_EQ(action, fxaAbort);
  EXPECT_TRUE(dialogs.MessageBoxes().empty());

  const std::u16string tooLong = u"File name is too long: \r\n\"x\" - Native error: 00061";
  dialogs.AddAnswer(platform::mrIgnore);
  a.DoProcessFileFailure(u"x", poAdd, 61, 36, tooLong, action);
  EXPECT_EQ(action, fxaIgnore);
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text, tooLong);
  EXPECT_EQ(dialogs.MessageBoxes()[0].type, platform::mtConfirmation);
  EXPECT_EQ(dialogs.MessageBoxes()[0].buttons,
            (TMsgDlgButtons{platform::mbAbort, platform::mbIgnore}));

  const struct {
    platform::TModalResult answer;
    TKMAction action;
  } cases[] = {{platform::mrRetry, fxaRetry},
               {platform::mrIgnore, fxaIgnore},
               {platform::mrAbort, fxaAbort},
               {platform::mrCancel, fxaAbort}};  // the box closed
  for (const auto& c : cases) {
    dialogs.ClearLog();
    dialogs.AddAnswer(c.answer);
    a.DoProcessFileFailure(u"y", poUpdate, 33, 12, u"Cannot open file \"y\"", action);
    EXPECT_EQ(action, c.action);
    ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
    EXPECT_EQ(dialogs.MessageBoxes()[0].text,
              u"Cannot open file \"y\". File processing error, possibly disk is full");
    EXPECT_EQ(dialogs.MessageBoxes()[0].buttons,
              (TMsgDlgButtons{platform::mbAbort, platform::mbRetry, platform::mbIgnore}));
  }

  // A handler gets everything; left alone, its Action is fxaIgnore.
  dialogs.ClearLog();
  a.OnProcessFileFailure = [&](TKMBaseArchiver& sender, const std::u16string& fileName,
                               TKMProcessOperation op, int32_t native, int32_t code,
                               const std::u16string& message, TKMAction& act) {
    EXPECT_EQ(&sender, &a);
    EXPECT_EQ(fileName, u"z");
    EXPECT_EQ(op, poExtract);
    EXPECT_EQ(native, 45);
    EXPECT_EQ(code, 24);
    EXPECT_EQ(message, u"m");
    EXPECT_EQ(act, fxaIgnore);
  };
  action = fxaAbort;
  a.DoProcessFileFailure(u"z", poExtract, 45, 24, u"m", action);
  EXPECT_EQ(action, fxaIgnore);
  EXPECT_TRUE(dialogs.MessageBoxes().empty());
}

TEST(ConfirmOverwrite, FourButtonsAndTheOverwriteMode) {
  ScriptedDialogServices dialogs;
  ScopedDialogServices scope(&dialogs);
  TKavoMill a;
  a.Options().SetOverwriteMode(omPrompt);
  std::u16string dest = u"dir/entry.txt";
  bool confirm = false;

  dialogs.AddAnswer(platform::mrYes);
  a.DoConfirmOverwrite(u"C:\\src\\entry.txt", dest, confirm);
  EXPECT_TRUE(confirm);
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text,
            u"Overwrite file \"dir/entry.txt\" with \"C:\\src\\entry.txt\"");
  EXPECT_EQ(
      dialogs.MessageBoxes()[0].buttons,
      (TMsgDlgButtons{platform::mbYes, platform::mbNo, platform::mbNoToAll, platform::mbYesToAll}));
  EXPECT_EQ(a.Options().OverwriteMode(), omPrompt);

  dialogs.AddAnswer(platform::mrNo);
  a.DoConfirmOverwrite(u"s", dest, confirm);
  EXPECT_FALSE(confirm);
  EXPECT_EQ(a.Options().OverwriteMode(), omPrompt);

  dialogs.AddAnswer(platform::mrYesToAll);
  a.DoConfirmOverwrite(u"s", dest, confirm);
  EXPECT_TRUE(confirm);
  EXPECT_EQ(a.Options().OverwriteMode(), omAlways);

  dialogs.AddAnswer(platform::mrNoToAll);
  a.DoConfirmOverwrite(u"s", dest, confirm);
  EXPECT_FALSE(confirm);
  EXPECT_EQ(a.Options().OverwriteMode(), omNever);

  confirm = true;
  dialogs.AddAnswer(platform::mrCancel);
  a.DoConfirmOverwrite(u"s", dest, confirm);
  EXPECT_FALSE(confirm);

  // A handler's answers are taken as they come back.
  a.OnConfirmOverwrite = [](TKMBaseArchiver&, const std::u16string&, std::u16string& d, bool& c) {
    d = u"renamed.txt";
    c = true;
  };
  dialogs.ClearLog();
  a.DoConfirmOverwrite(u"s", dest, confirm);
  EXPECT_TRUE(confirm);
  EXPECT_EQ(dest, u"renamed.txt");
  EXPECT_TRUE(dialogs.MessageBoxes().empty());
}

TEST(PasswordRequest, InputBoxFillsOrSkips) {
  ScriptedDialogServices dialogs;
  ScopedDialogServices scope(&dialogs);
  TKavoMill a;
  std::string password = platform::WideToAnsi(u"старый");
  bool skip = true;

  dialogs.AddInputAnswer(true, u"пароль");
  a.DoPassword(u"doc.txt", password, skip);
  EXPECT_FALSE(skip);
  EXPECT_EQ(password, platform::WideToAnsi(u"пароль"));
  ASSERT_EQ(dialogs.InputBoxes().size(), 1u);
  EXPECT_EQ(dialogs.InputBoxes()[0].caption, u"Password for \"doc.txt\"");
  EXPECT_EQ(dialogs.InputBoxes()[0].prompt, u"Enter password: ");
  EXPECT_EQ(dialogs.InputBoxes()[0].value, u"старый");

  dialogs.AddInputAnswer(false, u"ignored");
  a.DoPassword(u"doc.txt", password, skip);
  EXPECT_TRUE(skip);
  EXPECT_EQ(password, platform::WideToAnsi(u"пароль"));
}

TEST(ProgressEvents, CancelIsKeptAndNamesUseBackslashes) {
  TKavoMill a;
  bool cancel = true;
  a.DoFileProgress(u"a/b/c.txt", 50, poAdd, ppProcess, cancel);
  EXPECT_FALSE(cancel);  // no handler: never cancelled
  EXPECT_FALSE(a.Cancelled());

  std::u16string seen;
  a.OnFileProgress = [&](TKMBaseArchiver&, const std::u16string& name, double, TKMProcessOperation,
                         TKMProgressPhase, bool& c) {
    seen = name;
    c = true;
  };
  a.DoFileProgress(u"a/b/c.txt", 50, poAdd, ppProcess, cancel);
  EXPECT_EQ(seen, u"a\\b\\c.txt");
  EXPECT_TRUE(a.Cancelled());

  cancel = true;
  a.DoOverallProgress(10, poTest, ppStart, cancel);
  EXPECT_FALSE(a.Cancelled());
  a.OnCopyTempFileProgress = [](TKMBaseArchiver&, double, TKMProgressPhase phase, bool& c) {
    EXPECT_FALSE(c);  // cleared before the handler
    c = phase == ppEnd;
  };
  a.DoCopyTempFileProgress(100, ppEnd, cancel);
  EXPECT_TRUE(a.Cancelled());

  // Store: converted for the handler and back; without one, untouched.
  std::u16string entry = u"dir/file.txt";
  uint32_t attr = 0x20;
  std::string comment;
  a.DoStoreFile(entry, attr, u"C:\\dir\\file.txt", comment);
  EXPECT_EQ(entry, u"dir/file.txt");
  a.OnStoreFile = [](TKMBaseArchiver&, std::u16string& name, uint32_t&, std::string&,
                     const std::u16string&) {
    EXPECT_EQ(name, u"dir\\file.txt");
    name = u"new\\name.txt";
  };
  a.DoStoreFile(entry, attr, u"C:\\dir\\file.txt", comment);
  EXPECT_EQ(entry, u"new/name.txt");

  std::u16string target = u"x/y.txt";
  a.DoExtractFile(target, attr, comment);
  EXPECT_EQ(target, u"x\\y.txt");
}

// A generated extension as a new volume gets it: lower case (as Info-ZIP and
// 7-Zip spell it) where file names differ by case.
std::u16string NewVolume(const std::u16string& stem, const std::u16string& ext) {
  return stem + (platform::kCaseSensitiveFileNames ? platform::WideLowerCase(ext) : ext);
}

TEST(VolumeNames, SplittingAndSpanningNames) {
  TKavoMill a;
  a.SetFileName(u"C:\\arc\\data.zip");
  auto name = [&](int32_t n) {
    std::u16string s = a.FileName();
    a.VolumeFileName(s, n, false);
    return s;
  };
  EXPECT_EQ(name(0), u"C:\\arc\\data.zip");  // single file: unchanged

  a.SetSpanningMode(smSplitting);
  EXPECT_EQ(name(0), u"C:\\arc\\data_001.zip");
  EXPECT_EQ(name(11), u"C:\\arc\\data_012.zip");
  EXPECT_EQ(name(-1), u"C:\\arc\\data.zip");
  a.SpanningOptions().SetAdvancedNaming(false);
  EXPECT_EQ(name(0), NewVolume(u"C:\\arc\\data", u".Z01"));
  EXPECT_EQ(name(99), NewVolume(u"C:\\arc\\data", u".Z100"));

  // With a stub: the first volume is the executable, the last gets .ZIP.
  a.SetSFXStub(u"C:\\stub.exe");
  EXPECT_EQ(name(0), u"C:\\arc\\data.exe");
  EXPECT_EQ(name(-1), NewVolume(u"C:\\arc\\data", u".ZIP"));
  EXPECT_EQ(name(1), NewVolume(u"C:\\arc\\data", u".Z02"));
  a.SetSFXStub(u"");
  a.SetFileName(u"C:\\arc\\data.EXE");  // an executable name counts as a stub
  EXPECT_EQ(name(0), u"C:\\arc\\data.exe");

  a.SetFileName(u"C:\\arc\\data.zip");
  a.SetSpanningMode(smSpanning);
  EXPECT_EQ(name(0), u"C:\\arc\\data.zip");
  EXPECT_EQ(name(-1), u"C:\\arc\\data.zip");
  a.SpanningOptions().SetAdvancedNaming(true);
  EXPECT_EQ(name(2), u"C:\\arc\\data_003.zip");
  a.SetSFXStub(u"C:\\stub.exe");
  EXPECT_EQ(name(0), u"C:\\arc\\data_001.exe");
}

// Volumes another tool wrote are found in its spelling, and volumes written
// in ours are found too: the name on disk wins, and a new volume takes the
// peers' spelling.
TEST(VolumeNames, SplitVolumesAreFoundInEitherSpelling) {
  test::TempDir dir;
  TKavoMill a;
  a.SetFileName(dir.Win(u"data.zip"));
  a.SetSpanningMode(smSplitting);
  a.SpanningOptions().SetAdvancedNaming(false);
  auto name = [&](int32_t n) {
    std::u16string s = a.FileName();
    a.VolumeFileName(s, n, false);
    return s;
  };
  const std::u16string stem = dir.Win(u"data");
  EXPECT_EQ(name(0), NewVolume(stem, u".Z01"));
  test::WriteHostFile(dir.Host(u"data.z01"), "x");
  test::WriteHostFile(dir.Host(u"data.Z02"), "x");
  if (platform::kCaseSensitiveFileNames) {
    EXPECT_EQ(name(0), stem + u".z01");
    EXPECT_EQ(name(1), stem + u".Z02");
    // Both there: the name as this program spells it comes first.
    test::WriteHostFile(dir.Host(u"data.Z01"), "x");
    EXPECT_EQ(name(0), stem + u".Z01");
  } else {
    EXPECT_EQ(name(0), stem + u".Z01");
    EXPECT_EQ(name(1), stem + u".Z02");
  }
  EXPECT_EQ(name(-1), dir.Win(u"data.zip"));  // no stub: the archive's own name

  // With a stub the last volume is data.ZIP, which peers spell data.zip.
  a.SetSFXStub(u"C:\\stub.exe");
  a.SetFileName(dir.Win(u"data.exe"));
  EXPECT_EQ(name(-1), NewVolume(stem, u".ZIP"));
  test::WriteHostFile(dir.Host(u"data.ZIP"), "x");
  EXPECT_EQ(name(-1), stem + u".ZIP");
}

TEST(VolumeNames, SpanningFallsBackToTheOtherNamingOnDisk) {
  test::TempDir dir;
  test::WriteHostFile(dir.Host(u"data.zip"), "x");
  TKavoMill a;
  a.SetFileName(dir.Win(u"data.zip"));
  a.SetSpanningMode(smSpanning);
  std::u16string s = a.FileName();
  a.VolumeFileName(s, 0, true);
  EXPECT_EQ(s, dir.Win(u"data.zip"));
  s = a.FileName();
  a.VolumeFileName(s, 0, false);
  EXPECT_EQ(s, dir.Win(u"data_001.zip"));
}

TEST(VolumeRequests, DefaultDialogsAndAnswers) {
  ScriptedDialogServices dialogs;
  ScopedDialogServices scope(&dialogs);
  TKavoMill a;
  a.SetFileName(u"C:\\arc\\data.zip");
  a.SetSpanningMode(smSplitting);

  std::u16string name = a.FileName();
  bool cancel = true;
  a.DoRequestBlankVolume(-3, name, cancel);  // negative counts as volume 0
  EXPECT_FALSE(cancel);
  EXPECT_EQ(name, u"C:\\arc\\data_001.zip");
  a.DoDiskFull(0, name, cancel);
  EXPECT_TRUE(cancel);
  EXPECT_TRUE(dialogs.MessageBoxes().empty());

  a.SetSpanningMode(smSpanning);
  a.SpanningOptions().SetVolumeSize(vs1_44MB);
  dialogs.AddAnswer(platform::mrOk);
  name = a.FileName();
  a.DoRequestBlankVolume(2, name, cancel);
  EXPECT_FALSE(cancel);
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text, u"Please insert a blank disk #3");
  EXPECT_EQ(dialogs.MessageBoxes()[0].buttons,
            (TMsgDlgButtons{platform::mbOK, platform::mbCancel}));

  dialogs.ClearLog();
  dialogs.AddAnswer(platform::mrCancel);
  a.DoDiskFull(1, name, cancel);
  EXPECT_TRUE(cancel);
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text.rfind(
                u"Disk is full. Required free space: 1457664 bytes, but available only: ", 0),
            0u);

  // A last disk that never turns up: a front end that always answers OK
  // must not keep the request going for ever.
  dialogs.ClearLog();
  a.SetFileName(u"Z:\\no\\such\\dir\\data.zip");
  name = a.FileName();
  a.DoRequestLastVolume(name, cancel);
  EXPECT_TRUE(cancel);
  EXPECT_GT(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[1].text,
            u"File 'Z:\\no\\such\\dir\\data.zip' not found on inserted disk. Please insert "
            u"last disk with required file");
}

// With nobody to free the disk, a full disk stops the write instead of
// retrying it for ever.
TEST(VolumeRequests, DiskFullWithNobodyToAskCancels) {
  TKavoMill a;
  a.SetFileName(u"C:\\arc\\data.zip");
  a.SetSpanningMode(smSpanning);
  bool cancel = false;
  a.DoDiskFull(0, a.FileName(), cancel);
  EXPECT_TRUE(cancel);
}

// Nobody to insert a disk: the box's default answer would take whatever
// file has the name, so a spanned read asks no further and cancels, even
// when a file of that name is there. A handler is still asked.
TEST(VolumeRequests, SpannedReadWithNobodyToAskCancels) {
  test::TempDir dir;
  test::WriteHostFile(dir.Host(u"data.zip"), "x");
  platform::ScopedDialogServices nobody(nullptr);
  TKavoMill a;
  a.SetFileName(dir.Win(u"data.zip"));
  a.SetSpanningMode(smSpanning);
  a.SpanningOptions().SetAdvancedNaming(false);
  std::u16string name = a.FileName();
  bool cancel = false;
  a.DoRequestFirstVolume(name, cancel);
  EXPECT_TRUE(cancel);
  name = a.FileName();
  cancel = false;
  a.DoRequestLastVolume(name, cancel);
  EXPECT_TRUE(cancel);
  name = a.FileName();
  cancel = false;
  a.DoRequestMiddleVolume(2, name, cancel);
  EXPECT_TRUE(cancel);

  a.OnRequestMiddleVolume = [](TKMBaseArchiver&, int32_t, std::u16string&, bool&) {};
  name = a.FileName();
  a.DoRequestMiddleVolume(2, name, cancel);
  EXPECT_FALSE(cancel);
}

TEST(VolumeRequests, FirstAndMiddleVolumeNamesAndHandlers) {
  test::TempDir dir;
  ScriptedDialogServices dialogs;
  ScopedDialogServices scope(&dialogs);
  TKavoMill a;
  a.SetFileName(dir.Win(u"data.zip"));
  a.SetSpanningMode(smSpanning);
  // The disk holds the plain name although the numbered one is asked for.
  test::WriteHostFile(dir.Host(u"data.zip"), "x");

  std::u16string name = a.FileName();
  bool cancel = true;
  dialogs.AddAnswer(platform::mrOk);
  a.DoRequestMiddleVolume(4, name, cancel);
  EXPECT_FALSE(cancel);
  EXPECT_EQ(name, dir.Win(u"data.zip"));
  ASSERT_EQ(dialogs.MessageBoxes().size(), 1u);
  EXPECT_EQ(dialogs.MessageBoxes()[0].text, u"Please insert disk #5");
  dialogs.AddAnswer(platform::mrCancel);
  name = a.FileName();
  a.DoRequestFirstVolume(name, cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(dialogs.MessageBoxes()[1].text, u"Please insert the first disk");
  EXPECT_EQ(name, dir.Win(u"data.zip"));

  // A handler gets the number counted from 1 and the name without the
  // fallback, and its answer is taken as it is.
  int32_t seen = -1;
  std::u16string proposed;
  a.OnRequestMiddleVolume = [&](TKMBaseArchiver&, int32_t n, std::u16string& v, bool& c) {
    EXPECT_FALSE(c);
    seen = n;
    proposed = v;
    v = u"elsewhere.zip";
  };
  name = a.FileName();
  a.DoRequestMiddleVolume(4, name, cancel);
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(proposed, dir.Win(u"data_005.zip"));
  EXPECT_EQ(name, u"elsewhere.zip");
  EXPECT_FALSE(cancel);

  // Splitting asks nobody: a missing volume cancels.
  a.SetSpanningMode(smSplitting);
  dialogs.ClearLog();
  name = a.FileName();
  a.DoRequestFirstVolume(name, cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(name, dir.Win(u"data_001.zip"));
  test::WriteHostFile(dir.Host(u"data_001.zip"), "x");
  name = a.FileName();
  a.DoRequestFirstVolume(name, cancel);
  EXPECT_FALSE(cancel);
  EXPECT_TRUE(dialogs.MessageBoxes().empty());
}

// Reads volumes of an existing split archive without opening one first.
class VolumeReader : public TKavoMill {
 public:
  void ReadSplit() {
    spanningMode_ = smSplitting;
    openMode_ = 0x0040;
  }
};

TEST(VolumeRequests, OpeningAVolumeForReading) {
  test::TempDir dir;
  VolumeReader a;
  a.SetFileName(dir.Win(u"data.zip"));
  a.ReadSplit();
  TKMVolumeNumberInfo middle;
  middle.SetNumber(2);

  // An empty answer in splitting mode: nothing opened, nothing raised.
  int asked = 0;
  a.OnRequestMiddleVolume = [&](TKMBaseArchiver&, int32_t, std::u16string& v, bool&) {
    ++asked;
    v.clear();
  };
  a.OpenVolume(middle);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(a.ArchiveStream(), nullptr);

  // Cancelled: native code 45.
  a.OnRequestMiddleVolume = [](TKMBaseArchiver&, int32_t, std::u16string&, bool& c) { c = true; };
  try {
    a.OpenVolume(middle);
    ADD_FAILURE();
  } catch (const EKMException& e) {
    EXPECT_EQ(e.NativeError(), 45);
  }

  // Found: the volume is opened and becomes the current one; asking for it
  // again changes nothing.
  test::WriteHostFile(dir.Host(u"data_003.zip"), "volume 3");
  a.OnRequestMiddleVolume = nullptr;
  a.OpenVolume(middle);
  ASSERT_NE(a.ArchiveStream(), nullptr);
  EXPECT_EQ(a.CurrentVolumeName(), dir.Win(u"data_003.zip"));
  EXPECT_EQ(a.VolumeInfo().VolumeNumber, 2);
  EXPECT_EQ(a.VolumeInfo().VolumeKind, vkNumbered);
  a.OnRequestMiddleVolume = [&](TKMBaseArchiver&, int32_t, std::u16string&, bool&) { ++asked; };
  a.OpenVolume(middle);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace km
