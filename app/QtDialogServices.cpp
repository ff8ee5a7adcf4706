#include "app/QtDialogServices.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include <utility>

namespace pelko {

using namespace km::platform;

namespace {

QString Q(const std::u16string& text) {
  return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

std::u16string U(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

QMessageBox::Icon IconOf(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return QMessageBox::Warning;
    case mtError:
      return QMessageBox::Critical;
    case mtInformation:
      return QMessageBox::Information;
    case mtConfirmation:
      return QMessageBox::Question;
    case mtCustom:
      break;
  }
  return QMessageBox::NoIcon;
}

// The buttons in the order a Windows box shows them, with their captions.
const std::pair<TMsgDlgBtn, const char*> kButtons[] = {{mbYes, "&Да"},
                                                       {mbNo, "&Нет"},
                                                       {mbOK, "OK"},
                                                       {mbCancel, "Отмена"},
                                                       {mbAbort, "&Прервать"},
                                                       {mbRetry, "П&овтор"},
                                                       {mbIgnore, "П&ропустить"},
                                                       {mbAll, "&Все"},
                                                       {mbNoToAll, "Н&ет для всех"},
                                                       {mbYesToAll, "Д&а для всех"},
                                                       {mbHelp, "&Справка"}};

QWidget* OwnerOf(bool owned) {
  return owned ? QApplication::activeWindow() : nullptr;
}

}  // namespace

QString QtFilterOf(const std::u16string& filter) {
  const QStringList parts = Q(filter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    const QString pattern = QString(parts[i + 1]).replace(u';', u' ');
    // Qt reads the patterns from the parentheses of the description.
    if (!description.contains(u'(')) description += QStringLiteral(" (") + pattern + u')';
    filters << description;
  }
  return filters.join(QStringLiteral(";;"));
}

TModalResult QtDialogServices::MessageBox(const MessageBoxRequest& request) {
  QMessageBox box(OwnerOf(request.owned));
  box.setIcon(IconOf(request.type));
  box.setText(Q(request.text));
  box.setWindowTitle(request.blankCaption      ? QString()
                     : request.caption.empty() ? QApplication::applicationName()
                                               : Q(request.caption));
  std::vector<std::pair<QAbstractButton*, TMsgDlgBtn>> buttons;
  const TMsgDlgBtn preferred = DefaultButton(request.buttons);
  for (const auto& [id, caption] : kButtons) {
    if (!request.buttons.Contains(id)) continue;
    QPushButton* button = box.addButton(QString::fromUtf8(caption), QMessageBox::ActionRole);
    buttons.emplace_back(button, id);
    if (id == preferred) box.setDefaultButton(button);
  }
  if (buttons.empty()) buttons.emplace_back(box.addButton(QMessageBox::Ok), mbOK);
  box.exec();
  for (const auto& [button, id] : buttons)
    if (box.clickedButton() == button) return ModalResultOf(id);
  // Closed with Escape or the title bar: Cancel when the box has it.
  return request.buttons.Contains(mbCancel) ? mrCancel : mrNone;
}

bool QtDialogServices::InputBox(const InputBoxRequest& request, std::u16string& value) {
  bool ok = false;
  const QString text =
      QInputDialog::getText(QApplication::activeWindow(), Q(request.caption), Q(request.prompt),
                            QLineEdit::Password, Q(request.value), &ok);
  if (ok) value = U(text);
  return ok;
}

bool QtDialogServices::SaveDialog(const SaveDialogRequest& request, std::u16string& fileName) {
  const QString chosen = QFileDialog::getSaveFileName(
      QApplication::activeWindow(), Q(request.title), Q(request.fileName),
      QtFilterOf(request.filter), nullptr, QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty()) return false;
  fileName = U(chosen);
  return true;
}

}  // namespace pelko
