// On Windows the host's paths are the Windows view: only the spelling
// changes (wide units, '\' for '/'). Narrow host text is UTF-8, as
// std::filesystem spells paths on this host.
#include "platform/HostPath.h"

#include <algorithm>

#include "platform/CodePage.h"

namespace km {
namespace {

std::u16string WithBackslashes(std::u16string path) {
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

}  // namespace

std::u16string ToWindowsView(const std::filesystem::path& hostPath) {
  const std::wstring& native = hostPath.native();
  return WithBackslashes(std::u16string(native.begin(), native.end()));
}

std::u16string HostTextToWindowsView(std::string_view hostText) {
  return WithBackslashes(platform::Utf8ToWide(hostText));
}

std::string WindowsNameToHost(std::u16string_view name) {
  return platform::WideToUtf8(name);
}

std::filesystem::path FromWindowsView(const std::u16string& windowsPath) {
  if (windowsPath.empty() || windowsPath.find(u'\0') != std::u16string::npos) return {};
  return std::filesystem::path(std::wstring(windowsPath.begin(), windowsPath.end()));
}

}  // namespace km
