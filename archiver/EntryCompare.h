// How a file on disk compares with its entry, as the overwrite modes ask.
// Shared by adding files and by refreshing entries from their files.
#pragma once

#include <cstdint>

#include "archiver/Archiver.h"
#include "platform/FileSystem.h"
#include "zipformat/DirItem.h"

namespace km {

// The entry's DOS date-time as one signed number, date in the high half.
inline int32_t EntryDosTime(const TDirItem& item) {
  return int32_t((uint32_t(item.ModDate) << 16) | item.ModTime);
}

// For omIfNewer, omIfOlder and omIfDiffer: other attributes or another size
// always replace the entry; otherwise a file's time decides, by the mode.
// dosTime is asked only when the time matters (0xFFFFFFFF, an unreadable
// time, counts as -1).
template <typename DosTime>
bool FileReplacesEntry(TKMOverwriteMode mode, uint32_t attributes, int64_t size, DosTime&& dosTime,
                       const TDirItem& entry, int64_t entrySize) {
  if (attributes != entry.ExternalAttr || size != entrySize) return true;
  if (attributes & platform::faDirectory) return false;
  const int32_t fileTime = int32_t(uint32_t(dosTime()));
  const int32_t entryTime = EntryDosTime(entry);
  return mode == omIfNewer   ? fileTime > entryTime
         : mode == omIfOlder ? fileTime < entryTime
                             : fileTime != entryTime;
}

}  // namespace km
