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
#include "zipformat/DirArray.h"
#include "zipformat/KMException.h"
#include "zipformat/Records.h"

namespace km {

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
