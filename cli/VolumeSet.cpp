#include "cli/VolumeSet.h"

#include <cctype>
#include <exception>
#include <optional>
#include <vector>

#include "archiver/Journal.h"
#include "cli/EntryCommands.h"
#include "support/Paths.h"
#include "support/Stream.h"
#include "zipformat/DirManager.h"

namespace km::cli {
namespace {

// The volume field of the file's end record; none when the file holds no
// end record (a middle volume) or cannot be read.
std::optional<uint16_t> EndRecordVolume(const std::string& path) {
  try {
    TFileStream stream(WindowsViewOf(path), fmOpenRead | fmShareDenyNone);
    for (const uint32_t signature :
         {TEndOfCentralDir::kSignature, TEndOfCentralDir::kAltSignature}) {
      TKMDirManager reader(&stream, false, signature);
      TEndOfCentralDir end;
      int64_t position = -1;
      if (reader.FindEndRecord(signature, end, position)) return end.ThisVolume;
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

bool AllDigits(const std::string& s, size_t from, size_t minDigits) {
  if (s.size() < from + minDigits) return false;
  for (size_t i = from; i < s.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// The names the set's last volume may carry, for a volume's file name.
std::vector<std::string> LastVolumeNames(const std::string& name) {
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  std::vector<std::string> names;
  // data.z01, data.Z01: the last volume is data.zip (data.ZIP after a stub).
  if (AllDigits(ext, 2, 2) && (ext[1] == 'z' || ext[1] == 'Z')) {
    names.push_back(stem + ".zip");
    names.push_back(stem + ".ZIP");
  } else if (AllDigits(ext, 2, 2) && (ext[1] == 'f' || ext[1] == 'F')) {
    names.push_back(stem + ".KM");
    names.push_back(stem + ".km");
  }
  // data_002.zip: the last volume is data.zip.
  const size_t underscore = stem.rfind('_');
  if (underscore != std::string::npos && underscore > 0 && AllDigits(stem, underscore + 1, 3))
    names.push_back(stem.substr(0, underscore) + ext);
  return names;
}

}  // namespace

std::string SetArchiveOf(const std::string& typed) {
  // A file with an end record of its own is opened as it is: the last
  // volume, or a whole archive whose name merely looks numbered.
  const size_t slash = typed.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : typed.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? typed : typed.substr(slash + 1);
  if (!FileExists(WindowsViewOf(typed))) {
    // Not there, perhaps not yet: the making of its set may have been cut
    // short, and what it left goes when the set is opened by its own name.
    for (const std::string& last : LastVolumeNames(name))
      if (FileExists(VolumeRecordFileName(WindowsViewOf(dir + last)))) return dir + last;
    return typed;
  }
  if (EndRecordVolume(typed)) return typed;
  for (const std::string& last : LastVolumeNames(name)) {
    // Only the end of a set counts: its end record lies on a later volume
    // than the first.
    const std::optional<uint16_t> volume = EndRecordVolume(dir + last);
    if (volume && *volume != 0) return dir + last;
    // A set whose making was cut short: opened by its own name, it goes.
    if (FileExists(VolumeRecordFileName(WindowsViewOf(dir + last)))) return dir + last;
  }
  return typed;
}

}  // namespace km::cli
