// What both front ends of Pelko share: the archiver configured as the dialog
// carries it, where the settings file lives, and the texts of a run's end.
// No Qt here, so that pelko-cli uses the very same settings as the window.
#pragma once

#include <cstdint>
#include <string>

#include "archiver/Archiver.h"
#include "platform/IniFile.h"

namespace pelko {

// Applies the dialog's design-time settings through the archiver's setters,
// in the order the dialog applies them. Events are bound by each front end.
void ApplyDesignSettings(km::TKavoMill& archiver);

// The directory of the running executable without a trailing separator
// (Windows view); empty when the host cannot tell.
std::u16string ExecutableDir();
// exeDir + "\Pelko.ini".
std::u16string SettingsFileName(const std::u16string& exeDir);

inline constexpr const char* kSettingsSection = "Pelko";
// The name in code page 1251, as every copy of the program reads it.
inline constexpr const char* kArchiveNameKey = "ArchiveName";
// The name in UTF-8, present only when code page 1251 cannot hold it.
inline constexpr const char* kArchiveNameUtf8Key = "ArchiveNameUtf8";

// The archive name the settings hold, or empty. "ArchiveNameUtf8" wins when
// it is valid UTF-8 and "ArchiveName" is its 1251 form (or missing): a copy
// of the program that knows only "ArchiveName" may have stored another name
// since, and that newer name must not be overridden.
std::u16string ReadArchiveName(const km::platform::IniFile& settings);
std::u16string ReadArchiveName(const std::u16string& settingsFileName);
// Stores the name in memory: "ArchiveName" in code page 1251 always, and
// "ArchiveNameUtf8" when 1251 cannot hold the name (else it is removed, so
// that an older UTF-8 name never comes back).
void WriteArchiveName(km::platform::IniFile& settings, const std::u16string& name);
// The archive file an archive name stands for: a Windows path as the
// dialog stores it, or a host path ("/home/u/b.zip"); a relative name is
// taken relative to exeDir, never to whatever the current directory is.
std::u16string ArchiveFileFromName(const std::u16string& name, const std::u16string& exeDir);

// A text from the component with every path it quotes in the Windows view
// ("Z:\home\u\a.txt") given as the host spells it ("/home/u/a.txt"), as
// users know their files. A path runs to a quote mark or the end.
std::u16string HostPathsIn(const std::u16string& text);

// The status line after a run: "Добавлено: N    Удалено: M".
std::u16string StatusText(int32_t added, int32_t deleted);

// A progress value as the bars show it: the nearest integer, a half going to
// the even neighbour; clamped to 0..65535 (a bar's percent is 16-bit).
uint16_t RoundPercent(double progress);

}  // namespace pelko
