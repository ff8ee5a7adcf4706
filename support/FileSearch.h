// Directory listings with the attribute filter of the Windows FindFirst
// family: an entry is skipped when it carries a hidden, system, volume-label
// or directory bit that the caller did not ask for.
#pragma once

#include <cstdint>
#include <string>

#include "platform/FileSystem.h"

namespace km {

struct SearchRecord {
  SearchRecord() = default;
  ~SearchRecord();
  SearchRecord(const SearchRecord&) = delete;
  SearchRecord& operator=(const SearchRecord&) = delete;
  SearchRecord(SearchRecord&& other) noexcept;
  SearchRecord& operator=(SearchRecord&& other) noexcept;

  uint32_t Time = 0;      // last write, local DOS date (high) and time (low)
  int64_t WriteTime = 0;  // last write, exact (platform FileTime; 0: unknown)
  int64_t Size = 0;
  uint32_t Attr = 0;
  std::u16string Name;  // last path component
  int Error = 0;        // not 0: listed, but its details could not be read
  uint32_t ExcludeAttr = 0;
  platform::FindHandle Handle = platform::kInvalidFindHandle;
  platform::FindData Data;  // the platform's description of the current entry
};

// Opens a listing of pattern (wildcards allowed in the last component) and
// fills record with the first entry that passes the filter. Returns 0, or
// the platform's error code with the record closed (kErrorNoMoreFiles /
// kErrorFileNotFound when nothing matches). An open record is closed first.
// withDots false: "." and ".." are left out (see platform::FindFirst).
int FileSearchFirst(const std::u16string& pattern, uint32_t attributes, SearchRecord& record,
                    bool withDots = true);
// The next entry that passes the filter: 0, or an error code
// (kErrorNoMoreFiles at the end).
int FileSearchNext(SearchRecord& record);
// Closes the listing when it is open.
void FileSearchClose(SearchRecord& record);

}  // namespace km
