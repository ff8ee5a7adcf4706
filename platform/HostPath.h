// The one place where host paths enter and leave the Windows view.
//
// Inside the component every path is a UTF-16 Windows path. On POSIX the
// whole host tree appears as drive Z: whose root is "/" (Wine's convention):
// "/home/u/x.txt" <-> "Z:\home\u\x.txt". Host name characters that a Windows
// name cannot hold ('\\', ':', '*', '?', '"', '<', '>', '|') are mapped to the
// private-use range U+F000 + the character, as Wine does, so that they are
// neither lost nor taken for separators; FromWindowsView maps them back.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace km {

// The drive letter under which the host root appears.
inline constexpr char16_t kHostDriveLetter = u'Z';

// Host path -> Windows view. A relative host path stays relative (separators
// and reserved characters converted only).
std::u16string ToWindowsView(const std::filesystem::path& hostPath);
// The same for host text as it is, without building a path from it.
std::u16string HostTextToWindowsView(std::string_view hostText);
// The host spelling of one name, separators and all taken as characters.
std::string WindowsNameToHost(std::u16string_view name);

// Windows view -> host path. A relative path stays relative. A path on any
// drive other than the host drive, or a UNC path, has no host location: the
// result is empty, and every file operation on it fails as "path not found".
std::filesystem::path FromWindowsView(const std::u16string& windowsPath);

}  // namespace km
