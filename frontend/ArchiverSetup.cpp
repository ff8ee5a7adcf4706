#include "frontend/ArchiverSetup.h"

#include <cctype>
#include <cmath>

#include "platform/CodePage.h"
#include "platform/HostPath.h"
#include "platform/IniFile.h"
#include "platform/System.h"
#include "support/Paths.h"

namespace pelko {

void ApplyDesignSettings(km::TKavoMill& archiver) {
  archiver.SetCompressionMode(5);
  archiver.SetCurrentVersion(u"3.01 Prism Edition");
  archiver.SpanningOptions().SetAdvancedNaming(true);
  archiver.SpanningOptions().SetVolumeSize(km::vsAutoDetect);
  archiver.Options().SetOverwriteMode(km::omIfDiffer);
  archiver.Options().SetStorePath(km::spRelativeStoreStart);
  archiver.Options().SetSynchronize(true);
  archiver.SetFileMasks({u"*.*"});
  archiver.SetExclusionMasks(
      {u"*.tmp", u"*.~*", u"*.dmp", u"_istmp*.*", u"chklist.*", u"~*.*", u"*._mp", u"*.gid"});
  archiver.SetNoCompressionMasks({u"*.PK3", u"*.PK_", u"*.RAR", u"*.TAR", u"*.TGZ", u"*.UUE",
                                  u"*.UU", u"*.WAR", u"*.XXE", u"*.Z", u"*.ZIP", u"*.ZOO",
                                  u"ACCOUNT.E*", u"MESSAGES.E*", u"CONFIG.EDB", u"RootCA.EBD",
                                  u"Events.EFG", u"AVConfig.ENI"});
}

std::u16string ExecutableDir() {
  const std::u16string exe = km::platform::ExecutableFileName();
  if (exe.empty()) return {};
  return km::ExcludeTrailingSeparator(km::ExtractFilePath(exe));
}

std::u16string SettingsFileName(const std::u16string& exeDir) {
  return exeDir + u"\\Pelko.ini";
}

std::u16string ReadArchiveName(const km::platform::IniFile& settings) {
  using namespace km::platform;
  const std::string ansi = settings.ReadString(kSettingsSection, kArchiveNameKey, "");
  const std::string utf8 = settings.ReadString(kSettingsSection, kArchiveNameUtf8Key, "");
  const std::u16string wide = Utf8ToWide(utf8);
  // Bytes that are no UTF-8 (the file edited in a 1251 editor) would give
  // a name with U+FFFD in it: no file of ours has that name.
  const bool valid = !utf8.empty() && WideToUtf8(wide) == utf8;
  if (valid && (ansi.empty() || WideToAnsi(wide) == ansi)) return wide;
  return AnsiToWide(ansi);
}

std::u16string ReadArchiveName(const std::u16string& settingsFileName) {
  return ReadArchiveName(km::platform::IniFile(settingsFileName));
}

void WriteArchiveName(km::platform::IniFile& settings, const std::u16string& name) {
  using namespace km::platform;
  const std::string ansi = WideToAnsi(name);
  settings.WriteString(kSettingsSection, kArchiveNameKey, ansi);
  if (AnsiToWide(ansi) == name)
    settings.DeleteKey(kSettingsSection, kArchiveNameUtf8Key);
  else
    settings.WriteString(kSettingsSection, kArchiveNameUtf8Key, WideToUtf8(name));
}

std::u16string ArchiveFileFromName(const std::u16string& name, const std::u16string& exeDir) {
  if (name.empty()) return {};
  // A host path, as the save dialog gives it.
  if (name.front() == u'/') return km::HostTextToWindowsView(km::platform::WideToUtf8(name));
  const bool absolute =
      (name.size() >= 3 && name[1] == u':' && name[2] == u'\\') || name.starts_with(u"\\\\");
  if (absolute) return name;
  return km::IncludeTrailingSeparator(exeDir) + name;
}

std::u16string HostPathsIn(const std::u16string& text) {
  const std::u16string drive = std::u16string(1, km::kHostDriveLetter) + u":\\";
  std::u16string out;
  size_t from = 0;
  for (size_t at; (at = text.find(drive, from)) != std::u16string::npos;) {
    const char16_t before = at > 0 ? text[at - 1] : u' ';
    if (before < 0x80 && std::isalnum(int(before))) {  // "XZ:\" is no path
      out += text.substr(from, at + drive.size() - from);
      from = at + drive.size();
      continue;
    }
    // A quoted path runs to its closing quote (names may hold blanks and the
    // other quote mark); an unquoted one to the end.
    size_t end = std::u16string::npos;
    if (before == u'"' || before == u'\'') end = text.find(before, at);
    if (end == std::u16string::npos) end = text.size();
    out += text.substr(from, at - from);
    out += km::platform::Utf8ToWide(km::FromWindowsView(text.substr(at, end - at)).string());
    from = end;
  }
  return out + text.substr(from);
}

std::u16string StatusText(int32_t added, int32_t deleted) {
  return u"Добавлено: " + km::platform::AnsiToWide(std::to_string(added)) + u"    Удалено: " +
         km::platform::AnsiToWide(std::to_string(deleted));
}

uint16_t RoundPercent(double progress) {
  if (!(progress > 0)) return 0;  // NaN too
  if (progress >= 65535) return 65535;
  return uint16_t(std::nearbyint(progress));  // the default rounding: halves to even
}

}  // namespace pelko
