#include "app/Arguments.h"

#include <QFile>

#include <filesystem>
#include <system_error>

#include "platform/HostPath.h"

namespace pelko {

const char* const kWindowUsage =
    "Usage: pelko [FOLDER]\n"
    "Keeps one ZIP archive in step with FOLDER (default: the folder that holds\n"
    "this program). The archive is chosen in the window and remembered in\n"
    "FOLDER/Pelko.ini; pelko-cli sync runs the same job without a window.\n";

WindowArguments ParseWindowArguments(const QStringList& arguments) {
  WindowArguments parsed;
  if (arguments.size() > 2) {
    parsed.problem = "one folder at most";
    return parsed;
  }
  if (arguments.size() < 2) return parsed;
  const QString& typed = arguments[1];
  if (typed == QStringLiteral("--help") || typed == QStringLiteral("-h")) {
    parsed.help = true;
    return parsed;
  }
  // The bytes the system gave, so that a name in another encoding still
  // finds its folder.
  const std::filesystem::path host(QFile::encodeName(typed).toStdString());
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(host, ec);
  if (typed.isEmpty() || ec || !std::filesystem::is_directory(absolute, ec)) {
    parsed.problem = "no such folder: " + typed.toStdString();
    return parsed;
  }
  std::filesystem::path folder = absolute.lexically_normal();
  if (folder.has_relative_path() && !folder.has_filename()) folder = folder.parent_path();
  parsed.folder = km::ToWindowsView(folder);
  return parsed;
}

}  // namespace pelko
