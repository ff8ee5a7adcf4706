// The archiving window on a scratch folder, offscreen, with every message
// box and save dialog answered from a script.
#include "app/Unit1.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archiver/ArchiverTestUtil.h"
#include "archiver/Journal.h"
#include "common/RemovableDrives.h"
#include "common/TempDir.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/HostPath.h"
#include "support/Crc32c.h"
#include "support/Exceptions.h"

// Readable failure messages for the many QString comparisons below.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace pelko {
namespace {

namespace fs = std::filesystem;
using namespace km::platform;

// "Архив" in code page 1251, as the settings file holds it.
const std::string kArchiv1251 = "\xC0\xF0\xF5\xE8\xE2";
// An archive without entries: the end record alone.
const std::string kEmptyZip = std::string("PK\x05\x06", 4) + std::string(18, '\0');

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::u16string U16(const std::string& utf8) {
  return QString::fromStdString(utf8).toStdU16String();
}

// Entry names of an archive, sorted.
std::vector<std::u16string> Entries(const fs::path& archive) {
  km::TKavoMill reader;
  reader.SetFileName(km::ToWindowsView(archive));
  reader.OpenArchive();
  std::vector<std::u16string> names;
  const km::TKMDirArray& dir = reader.DirManager()->CurrentDir();
  for (int32_t i = 0; i < dir.Count(); ++i) names.push_back(dir.GetItem(i).FileName);
  std::sort(names.begin(), names.end());
  return names;
}

// Puts hook in front of the window's file-progress handler. The hook gets
// the event and a call that runs the window's handler and returns the
// Cancel it handed back.
template <class Hook>
void HookFileProgress(TForm1& form, Hook hook) {
  form.Archiver.OnFileProgress = [own = form.Archiver.OnFileProgress, hook](
                                     km::TKMBaseArchiver& sender, const std::u16string& name,
                                     double progress, km::TKMProcessOperation operation,
                                     km::TKMProgressPhase phase, bool& cancel) mutable {
    hook(name, operation, phase, [&] {
      own(sender, name, progress, operation, phase, cancel);
      return cancel;
    });
  };
}

// Runs the event loop until the close timer has fired, ten seconds at most;
// true when the window closed.
bool ClosesItself(TForm1& form) {
  QEventLoop loop;
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  QObject::connect(form.Timer1, &QTimer::timeout, &loop, &QEventLoop::quit, Qt::QueuedConnection);
  loop.exec();
  return !form.isVisible();
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Process-wide and never cleared by the program.
    TForm1::CancelRequested = false;
    folder_ = root_.Host() / "site";
    fs::create_directory(folder_);
    WriteBytes(folder_ / "a.txt", "alpha");
    WriteBytes(folder_ / "b.txt", "bravo");
  }

  std::unique_ptr<TForm1> Show() {
    auto form = std::make_unique<TForm1>(km::ToWindowsView(folder_));
    form->show();
    return form;
  }
  // The i-th box shown, checked for its text, caption and icon.
  MessageBoxRequest Box(size_t i, const std::u16string& text, const std::u16string& caption,
                        TMsgDlgType type) const {
    if (i >= script_.MessageBoxes().size()) {
      ADD_FAILURE() << "no box " << i;
      return {};
    }
    const MessageBoxRequest& box = script_.MessageBoxes()[i];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.type, type);
    return box;
  }
  fs::path Settings() const { return folder_ / "Pelko.ini"; }
  void StoreName(const std::string& archiveName) const {
    WriteBytes(Settings(), "[Pelko]\r\nArchiveName=" + archiveName + "\r\n");
  }

  km::test::ActingDialogServices script_;
  ScopedDialogServices installed_{&script_};
  km::test::TempDir root_;
  fs::path folder_;
};

TEST_F(DialogTest, Layout) {
  auto form = Show();
  EXPECT_EQ(form->windowTitle(), "Архивирование");
  EXPECT_EQ(form->size(), QSize(266, 154));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_EQ(form->ProgressBar->geometry(), QRect(0, 80, 265, 20));
  EXPECT_EQ(form->VlProgressBar1->geometry(), QRect(1, 56, 265, 20));
  EXPECT_EQ(form->Button1->geometry(), QRect(108, 128, 75, 25));
  EXPECT_EQ(form->Button3->geometry(), QRect(188, 128, 75, 25));
  EXPECT_EQ(form->Edit1->geometry(), QRect(0, 4, 241, 21));
  EXPECT_EQ(form->Button4->geometry(), QRect(244, 4, 21, 21));
  EXPECT_EQ(form->Panel1->geometry(), QRect(0, 104, 265, 20));
  EXPECT_EQ(form->CheckBox2->geometry(), QRect(4, 36, 261, 17));
  EXPECT_EQ(form->Label1->pos(), QPoint(4, 3));
  EXPECT_EQ(form->Label1->text(), "Ожидание..");
  EXPECT_TRUE(form->Edit1->isReadOnly());
  EXPECT_EQ(form->CheckBox2->text(), "Тестировать файлы в архиве при обновлении");
  EXPECT_FALSE(form->CheckBox2->isChecked());
  EXPECT_FALSE(form->Timer1->isActive());
  for (const TVlProgressBar* bar : {form->ProgressBar, form->VlProgressBar1}) {
    EXPECT_EQ(bar->Percent(), 0);
    EXPECT_EQ(bar->BackColor(), clBtnFace);
  }

  std::vector<QWidget*> tabOrder;
  QWidget* w = form->Button1;
  for (int i = 0; i < 50 && tabOrder.size() < 5; ++i, w = w->nextInFocusChain())
    if (w->focusPolicy() & Qt::TabFocus) tabOrder.push_back(w);
  EXPECT_EQ(tabOrder, (std::vector<QWidget*>{form->Button1, form->Button3, form->Edit1,
                                             form->Button4, form->CheckBox2}));
  form->activateWindow();
  QApplication::processEvents();
  EXPECT_EQ(QApplication::focusWidget(), form->Button3);
}

TEST_F(DialogTest, NothingHappensUntilConfirmedAndNamed) {
  {
    // No settings file: no name, so the run would create the archive.
    auto form = Show();
    EXPECT_TRUE(form->Edit1->text().isEmpty());
    EXPECT_EQ(form->Button1->text(), "Создать");
    script_.AddAnswer(mrCancel);
    form->Button1->click();
    EXPECT_TRUE(script_.SaveDialogs().empty());
    script_.AddAnswer(mrOk);
    script_.AddSaveAnswer(false);
    form->Button1->click();
    EXPECT_EQ(script_.MessageBoxes().size(), 2u);
    Box(1, u"Вы действительно хотите создать архив?", u"Создание архива", mtWarning);
    ASSERT_EQ(script_.SaveDialogs().size(), 1u);
    EXPECT_EQ(script_.SaveDialogs()[0].filter, u"Файлы архива (*.zip)|*.zip");
    EXPECT_TRUE(form->Button1->isEnabled());
    EXPECT_EQ(form->Label1->text(), "Ожидание..");
    EXPECT_FALSE(fs::exists(Settings()));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_.Host()), {}), 1);  // the folder alone
  }

  // An existing archive named in the settings file: the run would update it.
  script_.ClearLog();
  const fs::path archive = root_.Host() / "old.zip";
  WriteBytes(archive, kEmptyZip);
  StoreName(archive.string());
  auto form = Show();
  EXPECT_EQ(form->Edit1->text().toStdString(), archive.string());
  EXPECT_EQ(form->Button1->text(), "Обновить");
  script_.AddAnswer(mrCancel);
  form->Button1->click();
  EXPECT_EQ(script_.MessageBoxes().size(), 1u);
  const MessageBoxRequest box =
      Box(0, u"Вы действительно хотите обновить архив?", u"Обновление архива", mtWarning);
  EXPECT_EQ(box.buttons, TMsgDlgButtons({mbOK, mbCancel}));
  EXPECT_TRUE(box.owned);
  EXPECT_TRUE(form->Button1->isEnabled());
  EXPECT_EQ(ReadBytes(archive), kEmptyZip);

  // The texts stay as chosen at show time, whatever name is chosen later,
  // also when the window comes back from being minimised.
  script_.AddSaveAnswer(true, U16(root_.Host().string() + "/new.zip"));
  form->Button4->click();
  form->setWindowState(Qt::WindowMinimized);
  form->setWindowState(Qt::WindowNoState);
  EXPECT_EQ(form->Button1->text(), "Обновить");
}

TEST_F(DialogTest, ChosenNameIsStored) {
  const std::string root = root_.Host().string();
  const std::string stored = "[Pelko]\r\nArchiveName=" + root + "/" + kArchiv1251 + ".zip\r\n";
  {
    auto form = Show();
    script_.AddSaveAnswer(true, U16(root + "/Архив.rar"));
    form->Button4->click();
    EXPECT_EQ(form->Edit1->text().toStdString(), root + "/Архив.zip");
    EXPECT_EQ(ReadBytes(Settings()), stored);
  }

  // The name read at start-up chosen again: the file is not touched.
  const auto longAgo = fs::last_write_time(Settings()) - std::chrono::hours(24 * 400);
  fs::last_write_time(Settings(), longAgo);
  auto form = Show();
  script_.AddSaveAnswer(true, U16(root + "/Архив.zip"));
  form->Button4->click();
  EXPECT_EQ(ReadBytes(Settings()), stored);
  EXPECT_EQ(fs::last_write_time(Settings()), longAgo);

  // A new name goes into a read-only settings file, which is left writable.
  // The extension is appended when the name has none.
  fs::permissions(Settings(),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  script_.AddSaveAnswer(true, U16(root + "/v1.2/backup"));
  form->Button4->click();
  EXPECT_EQ(form->Edit1->text().toStdString(), root + "/v1.2/backup.zip");
  EXPECT_EQ(ReadBytes(Settings()), "[Pelko]\r\nArchiveName=" + root + "/v1.2/backup.zip\r\n");
  EXPECT_NE(fs::status(Settings()).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_TRUE(script_.MessageBoxes().empty());
}

// A name code page 1251 cannot hold is chosen, stored, read back and run on
// whole; 1251 alone would make "M?ller" of it.
TEST_F(DialogTest, ANameOutside1251IsStoredAndRunWhole) {
  const std::string root = root_.Host().string();
  fs::create_directory(root_.Host() / fs::path("Müller"));
  const fs::path archive = root_.Host() / fs::path("Müller/backup.zip");
  {
    auto form = Show();
    script_.AddSaveAnswer(true, U16(root + "/Müller/backup.rar"));
    form->Button1->click();  // no name yet: the save dialog first
    EXPECT_EQ(form->Edit1->text().toStdString(), archive.string());
    EXPECT_EQ(ReadBytes(Settings()), "[Pelko]\r\nArchiveName=" + root +
                                         "/M?ller/backup.zip\r\nArchiveNameUtf8=" + root +
                                         "/Müller/backup.zip\r\n");
    EXPECT_EQ(form->Label1->text(), "Добавлено: 3    Удалено: 0");
  }
  EXPECT_EQ(Entries(archive),
            (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt", u"site/b.txt"}));
  std::vector<fs::path> made;
  for (const auto& entry : fs::recursive_directory_iterator(root_.Host()))
    if (!entry.path().string().starts_with(folder_.string())) made.push_back(entry.path());
  EXPECT_EQ(made.size(), 2u);  // the folder and the archive in it

  // Read back whole: the archive is found, so the run would update it.
  auto form = Show();
  EXPECT_EQ(form->Edit1->text().toStdString(), archive.string());
  EXPECT_EQ(form->StartupArchiveName(), U16(archive.string()));
  EXPECT_EQ(form->Button1->text(), "Обновить");

  // "Mëller" is "M?ller" in 1251 too, and still another name.
  script_.AddSaveAnswer(true, U16(root + "/Mëller/backup.zip"));
  form->Button4->click();
  EXPECT_EQ(ReadBytes(Settings()), "[Pelko]\r\nArchiveName=" + root +
                                       "/M?ller/backup.zip\r\nArchiveNameUtf8=" + root +
                                       "/Mëller/backup.zip\r\n");
  // A name 1251 holds leaves no UTF-8 name behind to override it.
  script_.AddSaveAnswer(true, U16(root + "/資料.zip"));
  form->Button4->click();
  script_.AddSaveAnswer(true, U16(root + "/Архив.zip"));
  form->Button4->click();
  EXPECT_EQ(ReadBytes(Settings()),
            "[Pelko]\r\nArchiveName=" + root + "/" + kArchiv1251 + ".zip\r\n");
  EXPECT_EQ(Show()->Edit1->text().toStdString(), root + "/Архив.zip");
}

TEST_F(DialogTest, RunAddsFilesThenClosesAndSynchronisesLater) {
  // No name yet: the save dialog comes first, and the settings file it
  // writes is one of the three files.
  const fs::path archive = root_.Host() / u8"Архив.zip";
  {
    auto form = Show();
    script_.AddSaveAnswer(true, U16(root_.Host().string() + "/Архив.rar"));
    form->Button1->click();  // the confirmation gets OK
    EXPECT_EQ(form->Label1->text(), "Добавлено: 3    Удалено: 0");
    EXPECT_FALSE(form->Button1->isEnabled());
    EXPECT_EQ(form->ProgressBar->Percent(), 100);
    EXPECT_EQ(form->VlProgressBar1->Percent(), 100);
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 1000);
    EXPECT_TRUE(ClosesItself(*form));
  }
  EXPECT_EQ(Entries(archive),
            (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt", u"site/b.txt"}));

  const std::string before = ReadBytes(archive);
  {
    auto form = Show();
    EXPECT_EQ(form->Button1->text(), "Обновить");
    form->Button1->click();
    EXPECT_EQ(form->Label1->text(), "Добавлено: 0    Удалено: 0");
    EXPECT_TRUE(form->Timer1->isActive());
  }
  EXPECT_EQ(ReadBytes(archive), before);

  WriteBytes(folder_ / "a.txt", "alpha, changed");
  fs::remove(folder_ / "b.txt");
  auto form = Show();
  form->Button1->click();
  EXPECT_EQ(form->Label1->text(), "Добавлено: 1    Удалено: 1");
  EXPECT_EQ(Entries(archive), (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt"}));
  EXPECT_EQ(script_.MessageBoxes().size(), 3u);  // the confirmations alone
}

// A run killed in its commit leaves a journal; the next run plays it back,
// says so once, and goes on from the archive as it was.
TEST_F(DialogTest, AnInterruptedUpdateIsRolledBackAndSaidOnce) {
  const fs::path archive = root_.Host() / "site.zip";
  StoreName(archive.string());
  {
    auto form = Show();
    form->Button1->click();
    EXPECT_TRUE(ClosesItself(*form));
  }
  const std::string good = ReadBytes(archive);
  // What a commit killed after cutting the archive at 40 leaves.
  const int64_t cut = 40;
  km::TKMJournalHeader header;
  header.OldSize = int64_t(good.size());
  header.CutOffset = cut;
  header.Length = header.OldSize - cut;
  header.Checksum = km::Crc32cUpdate(0xFFFFFFFFu, good.data() + cut, header.Length) ^ 0xFFFFFFFFu;
  uint8_t bytes[km::kJournalHeaderSize];
  km::EncodeJournalHeader(header, bytes);
  WriteBytes(root_.Host() / "site.zip-journal",
             std::string(reinterpret_cast<char*>(bytes), sizeof bytes) + good.substr(cut));
  WriteBytes(archive, good.substr(0, cut) + "half-written new entry");
  WriteBytes(folder_ / "c.txt", "charlie");

  auto form = Show();
  form->Button1->click();
  ASSERT_EQ(script_.MessageBoxes().size(), 3u);
  Box(2, u"Прошлое обновление архива было прервано. Архив возвращён к состоянию до него.", u"",
      mtInformation);
  EXPECT_EQ(form->Label1->text(), "Добавлено: 1    Удалено: 0");
  EXPECT_FALSE(fs::exists(root_.Host() / "site.zip-journal"));
  EXPECT_EQ(Entries(archive), (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt",
                                                           u"site/b.txt", u"site/c.txt"}));
  auto again = Show();
  again->Button1->click();
  EXPECT_EQ(script_.MessageBoxes().size(), 4u);  // its confirmation alone
}

TEST_F(DialogTest, FailuresDuringTheRunAreReportedAndTheRunGoesOn) {
  const fs::path archive = root_.Host() / "site.zip";
  StoreName(WideToAnsi(km::ToWindowsView(archive)));  // the Windows view this time
  Show()->Button1->click();
  ASSERT_EQ(Entries(archive).size(), 3u);

  // Damage the data of the first entry in the file, which the next commit
  // keeps as it is, so that only the test finds it.
  std::string bytes = ReadBytes(archive);
  const size_t nameLength = uint8_t(bytes[26]) | uint8_t(bytes[27]) << 8;
  const size_t extraLength = uint8_t(bytes[28]) | uint8_t(bytes[29]) << 8;
  const std::string damaged = bytes.substr(30, nameLength);
  bytes[30 + nameLength + extraLength] ^= 0x55;
  WriteBytes(archive, bytes);

  // d.txt is deleted by someone else after the listing, just before it is
  // read: the one way to make a file unreadable that works as root too.
  WriteBytes(folder_ / "c.txt", "charlie");
  WriteBytes(folder_ / "d.txt", "delta");
  const std::u16string gone = km::ToWindowsView(folder_ / "d.txt");
  script_.ClearLog();
  auto form = Show();
  form->CheckBox2->setChecked(true);
  HookFileProgress(*form, [&](const std::u16string& name, km::TKMProcessOperation,
                              km::TKMProgressPhase phase, auto handle) {
    if (name == gone && phase == km::ppStart) fs::remove(folder_ / "d.txt");
    handle();
  });
  form->Button1->click();

  // One box per failure: the file or entry, a colon and two blanks, the reason.
  ASSERT_EQ(script_.MessageBoxes().size(), 3u);
  std::u16string damagedName = U16(damaged);
  std::replace(damagedName.begin(), damagedName.end(), u'/', u'\\');
  // Paths as the host spells them; entry names as stored.
  const std::u16string starts[] = {
      U16(folder_ / "d.txt") + u":  Cannot open file \"" + U16(folder_ / "d.txt") + u"\"",
      damagedName + u":  Invalid size"};
  for (size_t i : {1, 2}) {
    const MessageBoxRequest& box = script_.MessageBoxes()[i];
    EXPECT_TRUE(box.text.starts_with(starts[i - 1])) << i;
    EXPECT_EQ(box.type, mtCustom);
    EXPECT_TRUE(box.caption.empty() && !box.blankCaption);
  }
  // d.txt was listed but failed: it is not counted as added.
  EXPECT_EQ(form->Label1->text(), "Добавлено: 1    Удалено: 0");
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(Entries(archive), (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt",
                                                           u"site/b.txt", u"site/c.txt"}));

  // A test that fails as a whole (an exception out of a progress handler:
  // nothing else gets out of it once the archive is open) gets its own box,
  // and the run still ends.
  script_.ClearLog();
  WriteBytes(folder_ / "e.txt", "echo");
  auto next = Show();
  next->CheckBox2->setChecked(true);
  HookFileProgress(*next, [](const std::u16string&, km::TKMProcessOperation operation,
                             km::TKMProgressPhase, auto handle) {
    if (operation == km::poTest) throw km::Exception(u"test stopped");
    handle();
  });
  next->Button1->click();
  EXPECT_EQ(script_.MessageBoxes().size(), 2u);
  EXPECT_TRUE(Box(1, u"Ошибки в архивном файле", u"Тест", mtError).owned);
  EXPECT_EQ(next->Label1->text(), "Добавлено: 1    Удалено: 0");
  EXPECT_TRUE(next->Timer1->isActive());
}

TEST_F(DialogTest, CancelDuringTheRunLeavesTheArchiveAsItWas) {
  // A bare name is taken in the folder, and the archive never holds itself.
  const fs::path archive = folder_ / "site.zip";
  StoreName("site.zip");
  Show()->Button1->click();
  const std::string before = ReadBytes(archive);
  ASSERT_EQ(Entries(archive),
            (std::vector<std::u16string>{u"site/Pelko.ini", u"site/a.txt", u"site/b.txt"}));

  WriteBytes(folder_ / "c.txt", "charlie");
  WriteBytes(folder_ / "d.txt", "delta");
  auto form = Show();
  std::vector<bool> cancels;
  HookFileProgress(*form, [&](const std::u16string&, km::TKMProcessOperation, km::TKMProgressPhase,
                              auto handle) { cancels.push_back(handle()); });
  // The user's click waits in the queue until the run pumps it.
  QMetaObject::invokeMethod(form->Button3, &QPushButton::click, Qt::QueuedConnection);
  form->Button1->click();

  EXPECT_TRUE(TForm1::CancelRequested);
  EXPECT_FALSE(form->isVisible());
  ASSERT_GE(cancels.size(), 2u);
  EXPECT_FALSE(cancels[0]);  // the click ran inside this event
  EXPECT_TRUE(cancels[1]);
  EXPECT_EQ(ReadBytes(archive), before);
}

TEST_F(DialogTest, ErrorsBeforeTheCommitLeaveTheWindowOpen) {
  // A failure while adding (here a store-file handler that gives up):
  // nothing is committed, and the window waits for Cancel.
  const fs::path archive = root_.Host() / "site.zip";
  StoreName(archive.string());
  // Checked while the window still holds the archive object: it must have
  // closed the archive itself.
  auto failAdding = [&](const std::string& expected) {
    script_.ClearLog();
    auto form = Show();
    int stored = 0;
    form->Archiver.OnStoreFile = [&](km::TKMBaseArchiver&, std::u16string&, uint32_t&, std::string&,
                                     const std::u16string&) {
      if (++stored == 2) throw km::Exception(u"not stored");
    };
    form->Button1->click();
    EXPECT_EQ(script_.MessageBoxes().size(), 2u);
    const MessageBoxRequest box = Box(1, u"Ошибка добавления", u"", mtError);
    EXPECT_TRUE(box.blankCaption && box.owned);
    EXPECT_EQ(ReadBytes(archive), expected);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->Button1->isEnabled());
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->Label1->text(), "Ожидание..");
  };
  failAdding(kEmptyZip);  // created, and left empty
  Show()->Button1->click();
  ASSERT_EQ(Entries(archive).size(), 3u);
  WriteBytes(folder_ / "c.txt", "charlie");
  WriteBytes(folder_ / "a.txt", "alpha, changed");
  failAdding(ReadBytes(archive));

  // The archive cannot be opened: its folder is missing.
  script_.ClearLog();
  StoreName(root_.Host().string() + "/missing/site.zip");
  auto form = Show();
  form->Button1->click();
  // The exception's own message, in the application's error box.
  ASSERT_EQ(script_.MessageBoxes().size(), 2u);
  EXPECT_TRUE(script_.MessageBoxes()[1].text.starts_with(u"Cannot create file \"" +
                                                         U16(root_.Host() / "missing/site.zip\"")));
  EXPECT_EQ(script_.MessageBoxes()[1].type, mtError);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->Button1->isEnabled());
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_FALSE(fs::exists(root_.Host() / "missing"));
}

TEST_F(DialogTest, HandlersShowProgressAndFullDisk) {
  auto form = Show();
  bool cancel = false;
  form->ArchiverFileProgress(form->Archiver, u"Z:\\tmp\\site\\a.txt", 2.5, km::poTest,
                             km::ppProcess, cancel);
  EXPECT_EQ(form->Label1->text(), "Тест: a.txt");
  EXPECT_EQ(form->VlProgressBar1->Percent(), 2);  // halves go to the even neighbour
  // An operation without a prefix of its own keeps the text before the name.
  form->ArchiverFileProgress(form->Archiver, u"C:b.txt", 99.5, km::poRename, km::ppEnd, cancel);
  EXPECT_EQ(form->Label1->text(), "Тест: a.txtb.txt");
  EXPECT_EQ(form->VlProgressBar1->Percent(), 100);
  form->ArchiverOverallProgress(form->Archiver, 3.5, km::poAdd, km::ppProcess, cancel);
  EXPECT_EQ(form->ProgressBar->Percent(), 4);
  form->ArchiverCopyTempFileProgress(form->Archiver, 41.4, km::ppProcess, cancel);
  EXPECT_EQ(form->Label1->text(), "Перемещение временного файла");
  EXPECT_EQ(form->ProgressBar->Percent(), 41);
  EXPECT_FALSE(cancel);
  EXPECT_TRUE(script_.MessageBoxes().empty());

  // A full disk: the user is told, and the component told to stop.
  form->ArchiverDiskFull(form->Archiver, 1, km::ToWindowsView(root_.Host() / "site.zip"), cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(script_.MessageBoxes().size(), 1u);
  const MessageBoxRequest full = Box(0, u"Не хватает свободного места", u"Ошибка", mtError);
  EXPECT_EQ(full.buttons, TMsgDlgButtons{mbOK});
  EXPECT_TRUE(full.owned);
}

// The archive on a removable disk, played by a folder.
class RemovableTargetTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    disk_ = root_.Host() / "disk";
    drives_.Add(disk_, 0);
    StoreName((disk_ / "site.zip").string());
  }
  std::vector<std::u16string> Texts() const {
    std::vector<std::u16string> texts;
    for (const MessageBoxRequest& box : script_.MessageBoxes()) texts.push_back(box.text);
    return texts;
  }

  km::test::RemovableDrives drives_;
  fs::path disk_;
};

// The window as designed writes one file, removable disk or not: no disk
// is asked for and none labelled.
TEST_F(RemovableTargetTest, NewArchiveIsOneFile) {
  drives_.SetCapacity(disk_, 10000000);
  auto form = Show();
  form->Button1->click();
  EXPECT_EQ(form->Label1->text(), "Добавлено: 3    Удалено: 0");
  EXPECT_EQ(script_.MessageBoxes().size(), 1u);  // the confirmation
  EXPECT_TRUE(drives_.Labels().empty());
  EXPECT_EQ(Entries(disk_ / "site.zip").size(), 3u);
}

// Spanned, a disk without room is reported by the window's own box; the
// component is told to stop, and the run ends before anything is written.
TEST_F(RemovableTargetTest, FullDiskStopsASpannedRunBeforeItWrites) {
  drives_.SetCapacity(disk_, 40000);
  auto form = Show();
  form->Archiver.SetSpanningMode(km::smSpanning);
  form->Button1->click();
  ASSERT_EQ(script_.MessageBoxes().size(), 4u);
  Box(0, u"Вы действительно хотите создать архив?", u"Создание архива", mtWarning);
  // No handler of the window's own: the component asks through the boxes.
  const MessageBoxRequest blank = Box(1, u"Please insert a blank disk #1", u"", mtConfirmation);
  EXPECT_EQ(blank.buttons, (TMsgDlgButtons{mbOK, mbCancel}));
  Box(2, u"Не хватает свободного места", u"Ошибка", mtError);
  EXPECT_TRUE(script_.MessageBoxes()[3].text.starts_with(
      u"Cannot open archive file. Opening aborted or invalid file"));
  EXPECT_TRUE(fs::is_empty(disk_));
  EXPECT_TRUE(drives_.Labels().empty());
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->Button1->isEnabled());
  EXPECT_FALSE(form->Timer1->isActive());
}

// Three disks of 150,000 bytes for 300,000 incompressible bytes: each
// blank disk is asked for, swapped in and labelled, each entry is copied to
// the disks with the window saying so, and the set reads back whole.
TEST_F(RemovableTargetTest, SpannedRunFillsDiskAfterDisk) {
  WriteBytes(folder_ / "a.txt", km::test::Incompressible(150000, 1));
  WriteBytes(folder_ / "b.txt", km::test::Incompressible(150000, 2));
  drives_.SetCapacity(disk_, 150000);
  std::vector<fs::path> shelves;
  script_.onBox = [&](const MessageBoxRequest& box, size_t) {
    // The first blank disk is the one in the drive already.
    if (box.text.starts_with(u"Please insert a blank disk #") &&
        box.text != u"Please insert a blank disk #1")
      shelves.push_back(drives_.Swap(disk_, 150000));
  };
  auto form = Show();
  form->Archiver.SetSpanningMode(km::smSpanning);
  std::vector<QString> copyCaptions;
  form->Archiver.OnCopyTempFileProgress = [&, own = form->Archiver.OnCopyTempFileProgress](
                                              km::TKMBaseArchiver& sender, double progress,
                                              km::TKMProgressPhase phase, bool& cancel) {
    own(sender, progress, phase, cancel);
    copyCaptions.push_back(form->Label1->text());
  };
  form->Button1->click();
  EXPECT_EQ(form->Label1->text(), "Добавлено: 3    Удалено: 0");
  ASSERT_FALSE(copyCaptions.empty());
  for (const QString& caption : copyCaptions) EXPECT_EQ(caption, "Перемещение временного файла");
  EXPECT_EQ(form->ProgressBar->Percent(), 100);
  const std::vector<std::u16string> texts = Texts();
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[1], u"Please insert a blank disk #1");
  EXPECT_EQ(texts[2], u"Please insert a blank disk #2");
  EXPECT_EQ(texts[3], u"Please insert a blank disk #3");
  ASSERT_EQ(drives_.Labels().size(), shelves.size() + 1);
  for (size_t i = 0; i < drives_.Labels().size(); ++i)
    EXPECT_EQ(drives_.Labels()[i].second, u"pkback# 00" + std::u16string(1, char16_t(u'1' + i)));
  // Each disk holds its volume, and the last the archive's own name.
  for (size_t i = 0; i < shelves.size(); ++i)
    EXPECT_TRUE(fs::exists(shelves[i] / ("site_00" + std::to_string(i + 1) + ".zip")));
  EXPECT_TRUE(fs::exists(disk_ / "site.zip"));
  EXPECT_LE(fs::file_size(disk_ / "site.zip"), 150000u);

  // Read back by a reader that asks for the disks it needs: the last one is
  // in the drive, and each request puts the disk asked for in.
  shelves.push_back(drives_.Swap(disk_, 150000));
  const auto insert = [&](size_t disk) {
    drives_.Swap(disk_, 150000);
    for (const auto& entry : fs::directory_iterator(shelves[disk - 1]))
      fs::copy_file(entry.path(), disk_ / entry.path().filename());
  };
  insert(shelves.size());
  script_.ClearLog();
  script_.onBox = [&](const MessageBoxRequest& box, size_t) {
    size_t wanted = 0;
    if (box.text == u"Please insert the first disk") wanted = 1;
    if (box.text == u"Please insert the last disk") wanted = shelves.size();
    if (box.text.starts_with(u"Please insert disk #")) wanted = box.text.back() - u'0';
    if (wanted >= 1 && wanted <= shelves.size()) insert(wanted);
  };
  km::TKavoMill reader;
  reader.SetFileName(km::ToWindowsView(disk_ / "site.zip"));
  reader.OpenArchive(km::kOpenModeReadOnly);
  EXPECT_EQ(reader.SpanningMode(), km::smSpanning);
  reader.TestFiles(u"*.*", 10431, u"");
  EXPECT_EQ(reader.ProcessedCount(), 3);
}

}  // namespace
}  // namespace pelko
