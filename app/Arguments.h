// The command line of the window: `pelko [FOLDER]`.
#pragma once

#include <QStringList>

#include <string>

namespace pelko {

struct WindowArguments {
  // The folder the window works on, with its Pelko.ini, as if the program
  // lay there: the Windows view of FOLDER made absolute. Empty: the
  // program's own folder.
  std::u16string folder;
  bool help = false;
  // Set when the arguments are wrong: what to tell the user.
  std::string problem;
};

// arguments as QApplication::arguments() gives them (the program first, Qt's
// own options taken out).
WindowArguments ParseWindowArguments(const QStringList& arguments);

extern const char* const kWindowUsage;

}  // namespace pelko
