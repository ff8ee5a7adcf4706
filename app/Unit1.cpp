#include "app/Unit1.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

#include <exception>

#include "frontend/ArchiverSetup.h"
#include "platform/CodePage.h"
#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "support/Exceptions.h"
#include "support/Paths.h"

namespace pelko {

using km::platform::AnsiToWide;
using km::platform::WideToAnsi;

bool TForm1::CancelRequested = false;

namespace {

QString Q(const std::u16string& text) {
  return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

std::u16string U(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

// The name with its extension replaced by ".zip", or ".zip" appended when it
// has none. Both separators count, as the host shows '/' and Windows '\'.
std::u16string WithZipExtension(const std::u16string& name) {
  const size_t slash = name.find_last_of(u"\\/:");
  const size_t dot = name.find_last_of(u'.');
  const bool hasExtension =
      dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash);
  return (hasExtension ? name.substr(0, dot) : name) + u".zip";
}

void ShowBox(const std::u16string& text, const std::u16string& caption,
             km::platform::TMsgDlgType type, bool blankCaption) {
  km::platform::MessageBoxRequest request;
  request.text = text;
  request.caption = caption;
  request.blankCaption = blankCaption;
  request.type = type;
  request.buttons = {km::platform::mbOK};
  request.owned = true;
  km::platform::ShowMessageBox(request);
}

}  // namespace

bool TSaveDialog::Execute() {
  km::platform::SaveDialogRequest request;
  request.filter = Filter;
  request.fileName = FileName;
  std::u16string chosen;
  if (!km::platform::ShowSaveDialog(request, chosen)) return false;
  FileName = chosen;
  return true;
}

TForm1::TForm1(std::u16string exeDir, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      exeDir_(exeDir.empty() ? ExecutableDir() : km::ExcludeTrailingSeparator(exeDir)) {
  setWindowTitle(QStringLiteral("Архивирование"));
  setFixedSize(266, 154);
  // The Windows font where there is one, else a sans face of about its width.
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);

  auto placeBar = [this](TVlProgressBar*& bar, int left, int top) {
    bar = new TVlProgressBar(this);
    bar->SetLoading(true);
    bar->SetBounds(left, top, 265, 20);
    bar->SetBackColor(clBtnFace);
    bar->SetBorderWidth(0);
    bar->SetInteriorOffset(0);
    bar->SetPercent(0);
    bar->SetPartsComplete(0);
    bar->SetTotalParts(0);
    bar->SetLoading(false);
  };
  placeBar(ProgressBar, 0, 80);
  placeBar(VlProgressBar1, 1, 56);

  Button1 = new QPushButton(QStringLiteral("Обновить"), this);
  Button1->setGeometry(108, 128, 75, 25);
  Button3 = new QPushButton(QStringLiteral("Отмена"), this);
  Button3->setGeometry(188, 128, 75, 25);
  Edit1 = new QLineEdit(this);
  Edit1->setGeometry(0, 4, 241, 21);
  Edit1->setReadOnly(true);
  Button4 = new QPushButton(QStringLiteral("..."), this);
  Button4->setGeometry(244, 4, 21, 21);
  Panel1 = new QFrame(this);
  Panel1->setGeometry(0, 104, 265, 20);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Label2 = new QLabel(Panel1);
  Label2->setGeometry(4, 3, 3, 13);
  Label1 = new QLabel(QStringLiteral("Ожидание.."), Panel1);
  Label1->setGeometry(4, 3, 58, 13);
  Label1->adjustSize();  // the label is as wide as its caption
  CheckBox2 = new QCheckBox(QStringLiteral("Тестировать файлы в архиве при обновлении"), this);
  CheckBox2->setGeometry(4, 36, 261, 17);
  CheckBox2->setChecked(false);
  setTabOrder(Button1, Button3);
  setTabOrder(Button3, Edit1);
  setTabOrder(Edit1, Button4);
  setTabOrder(Button4, CheckBox2);
  Button3->setFocus();

  Timer1 = new QTimer(this);
  connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
  connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
  connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });

  ApplyDesignSettings(Archiver);
  using namespace std::placeholders;
  Archiver.OnFileProgress = std::bind(&TForm1::ArchiverFileProgress, this, _1, _2, _3, _4, _5, _6);
  Archiver.OnOverallProgress =
      std::bind(&TForm1::ArchiverOverallProgress, this, _1, _2, _3, _4, _5);
  Archiver.OnCopyTempFileProgress =
      std::bind(&TForm1::ArchiverCopyTempFileProgress, this, _1, _2, _3, _4);
  Archiver.OnProcessFileFailure =
      std::bind(&TForm1::ArchiverProcessFileFailure, this, _1, _2, _3, _4, _5, _6, _7);
  Archiver.OnDiskFull = std::bind(&TForm1::ArchiverDiskFull, this, _1, _2, _3, _4);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  Guarded([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Only show() itself: Qt also sends a spontaneous show event when the
  // window is restored from minimised, and the texts must stay as chosen.
  if (!event->spontaneous()) Guarded([this] { FormShow(); });
}

void TForm1::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    km::platform::MessageBoxRequest request;
    request.text = HostPathsIn(km::platform::Utf8ToWide(e.what()));
    request.type = km::platform::mtError;
    request.buttons = {km::platform::mbOK};
    km::platform::ShowMessageBox(request);
  }
}

std::u16string TForm1::EditText() const {
  return U(Edit1->text());
}

std::u16string TForm1::ArchiveFile() const {
  return ArchiveFileFromName(EditText(), exeDir_);
}

void TForm1::SetTimerInterval(int milliseconds) {
  if (milliseconds <= 0) {
    Timer1->stop();
    return;
  }
  Timer1->start(milliseconds);
}

void TForm1::FormCreate() {
  settingsFileName_ = pelko::SettingsFileName(exeDir_);
  settings_ = std::make_unique<km::platform::IniFile>(settingsFileName_);
  Edit1->setText(Q(ReadArchiveName(*settings_)));
  startupArchiveName_ = EditText();
}

void TForm1::FormShow() {
  const std::u16string archive = ArchiveFile();
  if (!archive.empty() && km::FileExists(archive)) {
    confirmCaption_ = WideToAnsi(u"Обновление архива");
    confirmQuestion_ = WideToAnsi(u"Вы действительно хотите обновить архив?");
    Button1->setText(QStringLiteral("Обновить"));
  } else {
    confirmCaption_ = WideToAnsi(u"Создание архива");
    confirmQuestion_ = WideToAnsi(u"Вы действительно хотите создать архив?");
    Button1->setText(QStringLiteral("Создать"));
  }
}

void TForm1::Button1Click() {
  km::platform::MessageBoxRequest confirm;
  confirm.text = AnsiToWide(confirmQuestion_);
  confirm.caption = AnsiToWide(confirmCaption_);
  confirm.type = km::platform::mtWarning;
  confirm.buttons = {km::platform::mbOK, km::platform::mbCancel};
  confirm.owned = true;
  if (km::platform::ShowMessageBox(confirm) != km::platform::mrOk) return;
  if (Edit1->text().isEmpty() && !Button4Click()) return;

  // A run cannot be started again from inside itself, nor after it.
  Button1->setEnabled(false);
  Archiver.SetFileName(ArchiveFile());
  Archiver.SetBaseDir(km::IncludeTrailingSeparator(exeDir_));
  Archiver.OpenArchive();
  // Said once, before the run goes on: the backup is the one of the run
  // before the interrupted one.
  if (!Archiver.RecoveryNote().empty())
    ShowBox(u"Прошлое обновление архива было прервано. Архив возвращён к состоянию до него.", u"",
            km::platform::mtInformation, true);
  Archiver.BeginUpdate();
  try {
    Archiver.AddFiles();
  } catch (...) {
    Archiver.CancelUpdate();
    Archiver.CloseArchive();
    ShowBox(u"Ошибка добавления", u"", km::platform::mtError, true);
    return;
  }
  Archiver.EndUpdate();
  if (CheckBox2->isChecked()) {
    try {
      Archiver.TestFiles(u"*.*", 10431, u"");
    } catch (...) {
      ShowBox(u"Ошибки в архивном файле", u"Тест", km::platform::mtError, false);
    }
  }
  Archiver.CloseArchive();
  Label1->setText(Q(StatusText(Archiver.AddedCount(), Archiver.DeletedCount())));
  Label1->adjustSize();
  SetTimerInterval(1000);
}

void TForm1::Button3Click() {
  CancelRequested = true;
  // A pending transaction must not be committed by a later EndUpdate or
  // CloseArchive.
  Archiver.CancelUpdate();
  close();
}

bool TForm1::Button4Click() {
  if (!SaveDialog1.Execute()) return false;
  Edit1->setText(Q(WithZipExtension(SaveDialog1.FileName)));
  if (EditText() == startupArchiveName_) return true;
  WriteArchiveName(*settings_, EditText());
  km::platform::SetAttributes(settingsFileName_, 0);
  if (!settings_->UpdateFile())
    throw km::Exception(u"Cannot write the settings file \"" + settingsFileName_ + u"\"");
  km::platform::SetAttributes(settingsFileName_, km::platform::faHidden);
  return true;
}

void TForm1::Timer1Timer() {
  close();
}

void TForm1::ArchiverFileProgress(km::TKMBaseArchiver&, const std::u16string& fileName,
                                  double progress, km::TKMProcessOperation operation,
                                  km::TKMProgressPhase, bool& cancel) {
  cancel = CancelRequested;
  static const char16_t* const kPrefixes[] = {u"Добавление: ", u"Перемещение: ", u"Удаление: ",
                                              u"Обновление: ", u"Извлечение: ",  u"Тест: "};
  QString caption = Label1->text();
  if (operation <= km::poTest) caption = Q(kPrefixes[operation]);
  const size_t cut = fileName.find_last_of(u"\\:");
  caption += Q(cut == std::u16string::npos ? fileName : fileName.substr(cut + 1));
  Label1->setText(caption);
  Label1->adjustSize();
  Label1->repaint();
  Panel1->repaint();
  VlProgressBar1->SetPercent(RoundPercent(progress));
  // Keeps the window alive during a run; Cancel runs from in here.
  QCoreApplication::processEvents();
}

void TForm1::ArchiverOverallProgress(km::TKMBaseArchiver&, double progress, km::TKMProcessOperation,
                                     km::TKMProgressPhase, bool&) {
  ProgressBar->SetPercent(RoundPercent(progress));
}

void TForm1::ArchiverCopyTempFileProgress(km::TKMBaseArchiver&, double progress,
                                          km::TKMProgressPhase, bool&) {
  Label1->setText(QStringLiteral("Перемещение временного файла"));
  Label1->adjustSize();
  Label1->repaint();
  Panel1->repaint();
  ProgressBar->SetPercent(RoundPercent(progress));
}

void TForm1::ArchiverProcessFileFailure(km::TKMBaseArchiver&, const std::u16string& fileName,
                                        km::TKMProcessOperation, int32_t, int32_t,
                                        const std::u16string& errorMessage, km::TKMAction&) {
  // The action stays as the component preset it: skip the file, go on.
  km::platform::MessageBoxRequest request;
  // Paths as the host spells them: the user knows their files that way.
  request.text = HostPathsIn(fileName) + u":  " + HostPathsIn(errorMessage);
  request.type = km::platform::mtCustom;
  request.buttons = {km::platform::mbOK};
  km::platform::ShowMessageBox(request);
}

void TForm1::ArchiverDiskFull(km::TKMBaseArchiver&, int32_t, const std::u16string&, bool& cancel) {
  ShowBox(u"Не хватает свободного места", u"Ошибка", km::platform::mtError, false);
  cancel = true;
}

}  // namespace pelko
