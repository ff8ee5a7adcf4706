// How a file on disk compares with its entry, as the overwrite modes ask.
// Shared by adding files and by refreshing entries from their files.
#pragma once

#include <cstdint>

#include "archiver/Archiver.h"
#include "platform/FileSystem.h"
#include "support/Paths.h"
#include "zipformat/DirItem.h"
#include "zipformat/Records.h"

namespace km {

// The entry's DOS date-time as one signed number, date in the high half.
inline int32_t EntryDosTime(const TDirItem& item) {
  return int32_t((uint32_t(item.ModDate) << 16) | item.ModTime);
}

// A file's last write as the file system reports it.
struct TKMFileTime {
  uint32_t Dos = kInvalidDosTime;  // local DOS date-time; kInvalidDosTime: unreadable
  int64_t Exact = 0;               // FileTime (UTC, 100 ns); 0: unknown
};

// How close to the moment its entry was stored a file may have been written
// and still be changed again with the same time: FAT keeps 2-second steps,
// and every finer clock falls inside that.
inline constexpr int64_t kRacyMargin = 2 * 10000000;

// For omIfNewer, omIfOlder and omIfDiffer: other attributes or another size
// always replace the entry; otherwise a file's time decides, by the mode.
// An entry that holds its exact time is compared by the exact time; one
// without it (older archives, other writers) by the DOS time. fileTime
// (returning TKMFileTime) is asked only when the time matters.
//
// A file whose time equals the entry's may still have changed: written
// again within the clock step of its last write, just after that write was
// stored, it keeps its size and time. So, as git does with racily clean
// index entries, a file written at racyFrom or later (the moment its entry
// was stored, less kRacyMargin) has its CRC compared: fileCrc(crc) returns
// false when the file cannot be read, which counts as a change. Only
// recently written files pay that read. An entry written by this
// transaction (Modified) holds no CRC yet and is not read for.
template <typename FileTime, typename FileCrc>
bool FileReplacesEntry(TKMOverwriteMode mode, uint32_t attributes, int64_t size,
                       FileTime&& fileTime, FileCrc&& fileCrc, const TDirItem& entry,
                       int64_t entrySize, int64_t racyFrom) {
  if (attributes != entry.ExternalAttr || size != entrySize) return true;
  if (attributes & platform::faDirectory) return false;
  const TKMFileTime file = fileTime();
  int64_t entryExact = 0;
  int cmp;
  if (file.Exact > 0 && NtfsWriteTime(entry.ExtraFields, entryExact)) {
    cmp = file.Exact < entryExact ? -1 : file.Exact > entryExact ? 1 : 0;
  } else {
    // An unreadable time counts as -1.
    const int32_t dos = int32_t(file.Dos);
    const int32_t entryDos = EntryDosTime(entry);
    cmp = dos < entryDos ? -1 : dos > entryDos ? 1 : 0;
  }
  if (cmp != 0) return mode == omIfNewer ? cmp > 0 : mode == omIfOlder ? cmp < 0 : true;
  if (entry.Modified || file.Exact <= 0 || file.Exact < racyFrom) return false;
  uint32_t crc = 0;
  return !fileCrc(crc) || crc != entry.Crc32;
}

}  // namespace km
