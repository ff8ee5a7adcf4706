// Pelko: keeps one ZIP archive in step with the folder that holds the program.
#include <QApplication>

#include "app/QtDialogServices.h"
#include "app/Unit1.h"
#include "platform/System.h"

int main(int argc, char** argv) {
  km::platform::PrepareHeap();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pelko"));
  pelko::QtDialogServices dialogs;
  km::platform::ScopedDialogServices installed(&dialogs);
  pelko::TForm1 form;
  form.show();
  return QApplication::exec();
}
