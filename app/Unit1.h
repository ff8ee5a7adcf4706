// The archiving dialog: one window that keeps the archive named in
// Pelko.ini in step with the folder that holds the program.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>

#include "app/VlProgressBar.h"
#include "archiver/Archiver.h"
#include "platform/IniFile.h"

namespace pelko {

// The save-file dialog's settings: one filter, no default extension.
struct TSaveDialog {
  std::u16string Filter = u"Файлы архива (*.zip)|*.zip";
  std::u16string FileName;
  // Runs the dialog through the dialog services; false when cancelled.
  bool Execute();
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // exeDir: the folder the program works on, where Pelko.ini lives
  // (Windows view, no trailing separator); empty: the executable's folder.
  explicit TForm1(std::u16string exeDir = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // Controls, by the names the window's layout gives them.
  TVlProgressBar* ProgressBar;
  TVlProgressBar* VlProgressBar1;
  QPushButton* Button1;
  QPushButton* Button3;
  QLineEdit* Edit1;
  QPushButton* Button4;
  QFrame* Panel1;
  QLabel* Label2;
  QLabel* Label1;
  QCheckBox* CheckBox2;
  TSaveDialog SaveDialog1;
  km::TKavoMill Archiver;
  QTimer* Timer1;

  // Handlers.
  void FormCreate();
  void FormShow();
  void Button1Click();
  void Button3Click();
  // False when the user cancelled the save dialog.
  bool Button4Click();
  void Timer1Timer();
  void ArchiverFileProgress(km::TKMBaseArchiver& sender, const std::u16string& fileName,
                            double progress, km::TKMProcessOperation operation,
                            km::TKMProgressPhase progressPhase, bool& cancel);
  void ArchiverOverallProgress(km::TKMBaseArchiver& sender, double progress,
                               km::TKMProcessOperation operation,
                               km::TKMProgressPhase progressPhase, bool& cancel);
  void ArchiverCopyTempFileProgress(km::TKMBaseArchiver& sender, double progress,
                                    km::TKMProgressPhase progressPhase, bool& cancel);
  void ArchiverProcessFileFailure(km::TKMBaseArchiver& sender, const std::u16string& fileName,
                                  km::TKMProcessOperation operation, int32_t nativeError,
                                  int32_t errorCode, const std::u16string& errorMessage,
                                  km::TKMAction& action);
  void ArchiverDiskFull(km::TKMBaseArchiver& sender, int32_t volumeNumber,
                        const std::u16string& volumeFileName, bool& cancel);

  // Dialog state.
  const std::u16string& SettingsFileName() const { return settingsFileName_; }
  const std::u16string& StartupArchiveName() const { return startupArchiveName_; }
  const std::string& ConfirmCaption() const { return confirmCaption_; }
  const std::string& ConfirmQuestion() const { return confirmQuestion_; }
  // Set by Cancel and never cleared; shared by every window of the process.
  static bool CancelRequested;

  // The timer's interval in milliseconds; 0 keeps it from firing.
  void SetTimerInterval(int milliseconds);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Runs a handler the way the application runs one: an exception it lets
  // out is shown in an error box with its message, and the program goes on.
  void Guarded(const std::function<void()>& handler);
  // Edit1's text: the archive name, whole, whatever code page 1251 holds.
  std::u16string EditText() const;
  // The archive file Edit1 names, in the component's view.
  std::u16string ArchiveFile() const;

  std::u16string exeDir_;
  std::u16string settingsFileName_;
  std::unique_ptr<km::platform::IniFile> settings_;
  std::u16string startupArchiveName_;
  std::string confirmCaption_;
  std::string confirmQuestion_;
};

}  // namespace pelko
