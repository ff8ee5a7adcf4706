#include "support/FileSearch.h"

#include <utility>

namespace km {

namespace {

// Skips entries carrying an excluded bit, then fills the record's fields.
int TakeMatching(SearchRecord& record) {
  while ((record.Data.attributes & record.ExcludeAttr) != 0) {
    int err = platform::FindNext(record.Handle, record.Data);
    if (err != 0) return err;
  }
  record.Time = record.Data.dosTime;
  record.WriteTime = record.Data.writeTime;
  record.Size = int64_t(record.Data.size);
  record.Attr = record.Data.attributes;
  record.Name = record.Data.name;
  record.Error = record.Data.error;
  return 0;
}

}  // namespace

SearchRecord::~SearchRecord() {
  FileSearchClose(*this);
}

SearchRecord::SearchRecord(SearchRecord&& other) noexcept
    : Time(other.Time),
      WriteTime(other.WriteTime),
      Size(other.Size),
      Attr(other.Attr),
      Name(std::move(other.Name)),
      Error(other.Error),
      ExcludeAttr(other.ExcludeAttr),
      Handle(std::exchange(other.Handle, platform::kInvalidFindHandle)),
      Data(std::move(other.Data)) {}

SearchRecord& SearchRecord::operator=(SearchRecord&& other) noexcept {
  if (this != &other) {
    FileSearchClose(*this);
    Time = other.Time;
    WriteTime = other.WriteTime;
    Size = other.Size;
    Attr = other.Attr;
    Name = std::move(other.Name);
    Error = other.Error;
    ExcludeAttr = other.ExcludeAttr;
    Handle = std::exchange(other.Handle, platform::kInvalidFindHandle);
    Data = std::move(other.Data);
  }
  return *this;
}

int FileSearchFirst(const std::u16string& pattern, uint32_t attributes, SearchRecord& record,
                    bool withDots) {
  FileSearchClose(record);
  // Of hidden, system, volume label and directory, the bits not asked for.
  record.ExcludeAttr = ~attributes & 0x1E;
  int err = platform::FindFirst(pattern, record.Handle, record.Data, withDots);
  if (err != 0) {
    record.Handle = platform::kInvalidFindHandle;
    return err;
  }
  err = TakeMatching(record);
  if (err != 0) FileSearchClose(record);
  return err;
}

int FileSearchNext(SearchRecord& record) {
  if (record.Handle == platform::kInvalidFindHandle) return platform::kErrorInvalidHandle;
  int err = platform::FindNext(record.Handle, record.Data);
  if (err != 0) return err;
  return TakeMatching(record);
}

void FileSearchClose(SearchRecord& record) {
  if (record.Handle != platform::kInvalidFindHandle) platform::FindClose(record.Handle);
  record.Handle = platform::kInvalidFindHandle;
}

}  // namespace km
