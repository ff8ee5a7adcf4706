// Pelko: keeps one ZIP archive in step with a folder: the one named on the
// command line, or the one that holds the program.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/Arguments.h"
#include "app/QtDialogServices.h"
#include "app/Unit1.h"
#include "platform/System.h"

int main(int argc, char** argv) {
  km::platform::PrepareHeap();
  // Help needs no display.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(pelko::kWindowUsage, stdout);
    return 0;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pelko"));
  const pelko::WindowArguments arguments = pelko::ParseWindowArguments(QApplication::arguments());
  if (arguments.help) {
    std::fputs(pelko::kWindowUsage, stdout);
    return 0;
  }
  if (!arguments.problem.empty()) {
    std::fprintf(stderr, "pelko: %s\n\n%s", arguments.problem.c_str(), pelko::kWindowUsage);
    return 2;
  }
  pelko::QtDialogServices dialogs;
  km::platform::ScopedDialogServices installed(&dialogs);
  pelko::TForm1 form(arguments.folder);
  form.show();
  return QApplication::exec();
}
