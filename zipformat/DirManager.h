// The in-memory central directory of an open archive: the item record, the
// item array, and the per-archive manager that owns the current directory and
// the rollback copy taken when a transaction begins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/Exceptions.h"
#include "support/Stream.h"
#include "zipformat/KMException.h"
#include "zipformat/Records.h"

namespace km {

struct TExtraField {
  uint16_t Tag = 0;
  uint16_t Size = 0;
  std::vector<uint8_t> Data;  // Size bytes
};

// One entry. The first seventeen fields are the fixed part of a central
// directory header, in its order; the rest is the variable part and the
// working state of the entry.
struct TDirItem {
  uint32_t Signature = 0;
  uint16_t VersionMadeBy = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;  // bit 0: encrypted
  uint16_t Method = 0;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;    // 0xFFFFFFFF: see Zip64CompressedSize
  uint32_t UncompressedSize = 0;  // 0xFFFFFFFF: see Zip64UncompressedSize
  uint16_t NameLength = 0;        // recomputed when written
  uint16_t ExtraLength = 0;       // recomputed when written
  uint16_t CommentLength = 0;
  uint16_t DiskNumberStart = 0;  // 0xFFFF: see Zip64DiskNumberStart
  uint16_t InternalAttr = 0;
  uint32_t ExternalAttr = 0;       // Windows attributes; 0x10 marks a directory
  uint32_t LocalHeaderOffset = 0;  // 0xFFFFFFFF: see Zip64LocalHeaderOffset

  std::u16string FileName;  // '/' separated; directories end with '/'
  std::u16string ReservedText;
  std::string Comment;
  std::vector<TExtraField> ExtraFields;
  bool Zip64Used = false;
  int64_t Zip64UncompressedSize = 0;
  int64_t Zip64CompressedSize = 0;
  int64_t Zip64LocalHeaderOffset = 0;
  uint32_t Zip64DiskNumberStart = 0;
  bool Modified = false;  // changed in the current transaction
  std::u16string Password;
  bool Marked = false;  // selected for the running operation
  std::u16string SourceFileName;
  uint8_t CompressionMode = 0;
  uint8_t Operation = 0;  // TKMProcessOperation ordinal of the pending change
};

// The ordered items of a directory. Items are held by value, so a copy of
// the array (Assign) owns its own extra-field data.
class TKMDirArray {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  // New items start empty; 0 releases everything.
  void SetCount(int32_t count);
  const TDirItem& GetItem(int32_t index) const;
  TDirItem* ItemPtr(int32_t index);
  void SetItem(int32_t index, const TDirItem& item);
  // Appends and returns the new index.
  int32_t Add(const TDirItem& item);
  void Delete(int32_t index);
  void Clear() { items_.clear(); }
  void Assign(const TKMDirArray& source) { items_ = source.items_; }
  void ClearMarks();
  void ClearModified();

 private:
  std::vector<TDirItem> items_;
};

// The directory of one open archive. It does not own the stream it writes to.
class TKMDirManager {
 public:
  TKMDirManager(TStream* archiveStream, bool createNew, uint32_t endSignature);

  TStream* ArchiveStreamRef() const { return archiveStreamRef_; }
  void SetArchiveStreamRef(TStream* stream) { archiveStreamRef_ = stream; }
  bool CreateNew() const { return createNew_; }

  TKMDirArray& CurrentDir() { return currentDir_; }
  const TKMDirArray& CurrentDir() const { return currentDir_; }
  TKMDirArray& RollbackDir() { return rollbackDir_; }
  const TKMDirArray& RollbackDir() const { return rollbackDir_; }

  const std::string& ArchiveComment() const { return archiveComment_; }
  void SetArchiveComment(std::string comment) { archiveComment_ = std::move(comment); }
  const TEndOfCentralDir& EndRecord() const { return endRecord_; }
  int64_t StubSize() const { return stubSize_; }
  void SetStubSize(int64_t size) { stubSize_ = size; }
  int64_t CentralDirOffset() const { return centralDirOffset_; }

  // Empties the current directory and starts a fresh end record.
  void ResetDir();

  // Appends a directory without entries at the end of the stream (stream, when
  // given, becomes ArchiveStreamRef): the end record, then the archive
  // comment. currentVolume is the 0-based volume being written (negative: 0).
  // Only for an empty current directory; writing entries is not done here.
  void WriteEmptyDirectory(TStream* stream = nullptr, int32_t currentVolume = 0);

 private:
  TStream* archiveStreamRef_;
  bool createNew_;
  uint32_t endSignature_;
  TKMDirArray rollbackDir_;
  TKMDirArray currentDir_;
  std::string archiveComment_;
  TEndOfCentralDir endRecord_;
  int64_t stubSize_ = 0;
  int64_t centralDirOffset_ = 0;
};

}  // namespace km
