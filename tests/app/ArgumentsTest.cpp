// `pelko [FOLDER]`: the folder named is the one the window works on.
#include "app/Arguments.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/TempDir.h"
#include "platform/HostPath.h"

namespace pelko {
namespace {

namespace fs = std::filesystem;

QStringList Args(std::initializer_list<QString> more) {
  QStringList all = {QStringLiteral("/usr/bin/pelko")};
  for (const QString& arg : more) all << arg;
  return all;
}

TEST(WindowArguments, AFolderIsTakenWholeAndAnythingElseRefused) {
  EXPECT_TRUE(ParseWindowArguments(Args({})).folder.empty());
  EXPECT_TRUE(ParseWindowArguments(Args({})).problem.empty());
  EXPECT_TRUE(ParseWindowArguments(Args({QStringLiteral("--help")})).help);

  const km::test::TempDir dir;
  const fs::path folder = dir.Host() / "Мои документы";
  fs::create_directories(folder / "sub");
  std::ofstream(folder / "file.txt") << "x";
  const QString typed = QString::fromStdString(folder.string());

  // Relative to the current folder, with dots and a trailing slash: the
  // window needs the folder's own absolute path, for Pelko.ini and the
  // names of the entries.
  const fs::path saved = fs::current_path();
  fs::current_path(folder / "sub");
  const WindowArguments relative = ParseWindowArguments(Args({QStringLiteral("../")}));
  fs::current_path(saved);
  EXPECT_EQ(relative.problem, "");
  EXPECT_EQ(relative.folder, km::ToWindowsView(folder));
  EXPECT_EQ(ParseWindowArguments(Args({typed})).folder, km::ToWindowsView(folder));

  for (const QStringList& wrong :
       {Args({typed + QStringLiteral("/file.txt")}), Args({typed + QStringLiteral("/missing")}),
        Args({QString()}), Args({typed, typed})}) {
    const WindowArguments parsed = ParseWindowArguments(wrong);
    EXPECT_FALSE(parsed.problem.empty()) << wrong.join(' ').toStdString();
    EXPECT_TRUE(parsed.folder.empty());
  }
}

}  // namespace
}  // namespace pelko
