// The directory of one open archive: the current directory and the rollback
// copy, the archive-level records, and reading and writing the central
// directory (DirReader.cpp, DirWriter.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/Exceptions.h"
#include "support/Stream.h"
#include "zipformat/ArchiveContext.h"
#include "zipformat/DirArray.h"
#include "zipformat/KMException.h"
#include "zipformat/Records.h"

namespace km {

// Owns both directory arrays; never owns the stream it reads and writes.
class TKMDirManager {
 public:
  // For a new archive this makes the context's volume the first one and
  // places the context's self-extractor stub, if any, into the stream.
  TKMDirManager(TStream* archiveStream, IKMArchiveContext& context, bool createNew);
  // A manager over a bare stream (one file, standard options); endSignature
  // selects the record set.
  TKMDirManager(TStream* archiveStream, bool createNew, uint32_t endSignature);
  TKMDirManager(const TKMDirManager&) = delete;
  TKMDirManager& operator=(const TKMDirManager&) = delete;

  TStream* ArchiveStreamRef() const { return archiveStreamRef_; }
  void SetArchiveStreamRef(TStream* stream) { archiveStreamRef_ = stream; }
  bool CreateNew() const { return createNew_; }
  bool CustomStream() const { return customStream_; }

  TKMDirArray& CurrentDir() { return currentDir_; }
  const TKMDirArray& CurrentDir() const { return currentDir_; }
  // The copy of the current directory a transaction rolls back to. Taken
  // by TakeRollbackCopy, it is made only when the current directory first
  // changes; until then the current directory is that copy and stands for
  // it here, unless its directory was rebuilt (its commit writes it all the
  // same, and so changes it).
  TKMDirArray& RollbackDir();
  const TKMDirArray& RollbackDir() const;
  void TakeRollbackCopy() { currentDir_.CopyBeforeChange(&rollbackDir_); }
  // The transaction is over: a copy not made yet is not needed any more.
  void DropRollbackCopy() { currentDir_.CopyBeforeChange(nullptr); }

  const std::string& ArchiveComment() const { return archiveComment_; }
  void SetArchiveComment(std::string comment) { archiveComment_ = std::move(comment); }
  const TZip64Locator& Zip64Locator() const { return zip64Locator_; }
  const TZip64EndOfCentralDir& Zip64EndRecord() const { return zip64EndRecord_; }
  const TEndOfCentralDir& EndRecord() const { return endRecord_; }
  int64_t StubSize() const { return stubSize_; }
  void SetStubSize(int64_t size) { stubSize_ = size; }
  bool Zip64Present() const { return zip64Present_; }
  // The number of the volume the end record lies on (0-based): its 16-bit
  // field, or the Zip64 locator's count when that field is the sentinel.
  int64_t LastVolumeNumber() const {
    if (endRecord_.ThisVolume != kSentinel16) return endRecord_.ThisVolume;
    return zip64Present_ ? int64_t(zip64Locator_.TotalVolumes) - 1 : 0;
  }
  int64_t CentralDirOffset() const { return centralDirOffset_; }
  // The directory was rebuilt from the local headers (ScanLocalHeaders)
  // because the archive has no readable one; a directory written since
  // (WriteCentralDir) clears it.
  bool DirectoryRebuilt() const { return directoryRebuilt_; }
  // Local header offsets of the entries the last read passed over for
  // having no name: no file can be made of them, and the name index could
  // not tell them apart. They are not in the current directory, so a
  // directory written since no longer lists them.
  const std::vector<int64_t>& NamelessEntries() const { return namelessEntries_; }

  // Empties the current directory and starts a fresh end record.
  void ResetDir();

  // Whether ReadCentralDir keeps the entries it reads in the current
  // directory (the default). Without, a directory in a single file is read
  // and checked as always but its entries are only counted, for a caller
  // that walks them once with ForEachEntry and needs nothing else of them:
  // listing a directory of any size then takes no memory for it. A
  // directory rebuilt from the local headers is kept all the same.
  void SetKeepEntries(bool keep) { keepEntries_ = keep; }
  // Hands every entry of the directory to visit, in order, as the current
  // directory holds it or, when its entries were not kept, as they are read
  // again (and moved by the stub, as ApplyStubOffset moved the kept ones).
  void ForEachEntry(const std::function<void(const TDirItem&)>& visit);

  // ---- Reading (DirReader.cpp)
  // The end record nearest the end of the stream whose comment reaches
  // exactly to the end. record gets the last candidate examined (zeros when
  // none); position is -1 when none was accepted. Fills ArchiveComment.
  bool FindEndRecord(uint32_t signature, TEndOfCentralDir& record, int64_t& position);
  // FindEndRecord with the set in use, into EndRecord; true whatever was
  // found while the context tolerates damage.
  bool CheckEndRecord();
  // Fills the current directory and the records from the archive; a missing
  // or unreadable directory is rebuilt from the local headers.
  void ReadCentralDir();
  // StubSize: where the first entry's local header really starts.
  void LocateStub(int64_t endPosition);
  // Moves every entry by StubSize, for archives whose offsets count from the
  // start of the ZIP data rather than of the file.
  void ApplyStubOffset();
  // Rebuilds the current directory from the local headers (native code 35
  // when there is none). An entry's sizes are completed from the Zip64 field
  // of its local header, and its name from our unicode-name field there.
  void ScanLocalHeaders();
  // Position of the next local header signature at or after position with a
  // whole header behind it; -1 when none.
  int64_t FindNextLocalHeader(int64_t position);
  bool FindSignatureForward(int64_t position, uint32_t signature, int64_t& found);
  // The first data descriptor at or after position; the stream is left after it.
  bool FindDataDescriptor(int64_t position, TDataDescriptor& descriptor);
  // The local header at position can be the first entry's.
  bool MatchesFirstEntry(int64_t position);

  // ---- Writing (DirWriter.cpp)
  // Appends the central directory, the Zip64 records when needed, the end
  // record and the archive comment at the end of the stream (stream, when
  // given, becomes ArchiveStreamRef). Native code 61 for a name whose stored
  // form does not fit its 16-bit length field.
  void WriteCentralDir(TStream* stream = nullptr);
  // The stream holds the context's self-extractor stub and nothing else.
  void PlaceSfxStub();
  // The end record of an archive without entries; the current directory is
  // emptied first.
  void WriteEmptyDirectory(TStream* stream = nullptr);

 private:
  const TKMSignatureSet& Signatures() const;
  // Bytes from position to the end of the stream (0 when past it).
  int64_t RemainingFrom(int64_t position);
  // The first signature at or after from with at least minTail bytes from it
  // to the end; chunks grow up to maxChunk. The stream position is kept.
  int64_t SearchForward(int64_t from, uint32_t signature, int64_t maxChunk, int64_t minTail);
  void ReadItems(int64_t start, uint64_t count, TKMVolumeNumberInfo& volume);
  // The first entry read, kept or not; nullptr when there is none.
  const TDirItem* FirstEntry() const {
    if (walkOnly_) return walkEntries_ > 0 ? &firstEntry_ : nullptr;
    return currentDir_.Count() > 0 ? &currentDir_.GetItem(0) : nullptr;
  }
  void RecoverByScan();
  void CheckDataSizes();

  std::unique_ptr<TKMStreamArchiveContext> ownContext_;
  TStream* archiveStreamRef_;
  bool createNew_;
  bool customStream_;
  IKMArchiveContext& context_;
  uint32_t endSignature_;
  TKMDirArray rollbackDir_;
  TKMDirArray currentDir_;
  std::string archiveComment_;
  TZip64Locator zip64Locator_;
  TZip64EndOfCentralDir zip64EndRecord_;
  TEndOfCentralDir endRecord_;
  int64_t stubSize_ = 0;
  bool zip64Present_ = false;
  int64_t centralDirOffset_ = 0;
  bool directoryRebuilt_ = false;
  std::vector<int64_t> namelessEntries_;
  bool keepEntries_ = true;
  // A directory read without keeping its entries: its header count, its
  // named entries, the first of them, the offset the stub check looks at,
  // how far the walk moves each entry, and the compressed sizes' sum.
  bool walkOnly_ = false;
  uint64_t walkCount_ = 0;
  int32_t walkEntries_ = 0;
  TDirItem firstEntry_;
  int64_t probeOffset_ = -1;
  bool probeFound_ = false;
  uint64_t entryShift_ = 0;
  uint64_t compressedTotal_ = 0;
};

}  // namespace km
