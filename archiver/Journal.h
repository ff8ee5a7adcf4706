// The rollback journal of a commit. Before the archive is rewritten from its
// first changed entry (the cut), the bytes from there to its old end are
// copied into "<archive>-journal" beside it; the header that makes the
// journal count is written (and flushed) only after those bytes, so a
// journal without one is proof that the archive was not touched yet. Deleting the journal is the
// commit point. An open that finds a journal nobody holds plays it back: the archive gets its old
// bytes again.
//
// Layout, little-endian: 64-byte header, then the saved bytes.
//   0  8  "KMJRNL\r\n"
//   8  4  format version (1)
//  12  4  header size (64)
//  16  8  the archive's size before the commit
//  24  8  the cut: where the rewrite began
//  32  8  length of the saved bytes (old size - cut)
//  40  4  CRC-32C of the saved bytes (hardware-fast on most processors)
//  44 16  zero
//  60  4  CRC-32 of bytes 0..59
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"

namespace km {

inline constexpr int64_t kJournalHeaderSize = 64;

struct TKMJournalHeader {
  int64_t OldSize = 0;
  int64_t CutOffset = 0;
  int64_t Length = 0;
  uint32_t Checksum = 0;  // CRC-32C of the saved bytes
};

enum class TKMJournalState : uint8_t {
  Incomplete,  // no header yet: the commit never got to touch the archive
  Complete,
  Damaged  // a header that does not check out, or saved bytes that do not
};

// "<archive>-journal": the journal of that archive file.
std::u16string JournalFileName(const std::u16string& archiveName);

void EncodeJournalHeader(const TKMJournalHeader& header, uint8_t (&bytes)[kJournalHeaderSize]);
// available: how many header bytes the file holds.
TKMJournalState DecodeJournalHeader(const uint8_t* bytes, int64_t available,
                                    TKMJournalHeader& header);

// What playing a journal back did.
enum class TKMPlayBack : uint8_t { Discarded, RolledBack };

// Plays back the journal at journalName onto archive, opened for writing
// with writes denied to others (so no running commit owns it): a complete
// one puts the saved bytes back, cuts the archive to its old size, flushes it
// (flush) and is deleted; an incomplete one is deleted. A damaged one, or one
// that cannot be played back, raises km::Exception naming it, and is kept.
TKMPlayBack PlayBackJournal(const std::u16string& journalName, platform::File& archive, bool flush);

}  // namespace km

namespace km {

// The record of a multi-volume archive being created. "<archive>-volumes"
// beside the archive's name holds a first line "KMVOLSET" and then, one
// UTF-8 path a line, every file the creation makes: each name goes in, and
// is on the disk, before its file is made. The record goes once the set is
// complete; an open that finds one removes the files it names, then the
// record, so that a run killed half way leaves nothing behind.
std::u16string VolumeRecordFileName(const std::u16string& archiveName);

class TKMVolumeRecord {
 public:
  // Starts the record of archiveName's set, replacing any left over (whose
  // files the caller has removed). flush: every name is flushed to the disk.
  TKMVolumeRecord(const std::u16string& archiveName, bool flush);
  TKMVolumeRecord(const TKMVolumeRecord&) = delete;
  TKMVolumeRecord& operator=(const TKMVolumeRecord&) = delete;

  // Notes a file about to be made; raises when the record cannot say so.
  void Add(const std::u16string& fileName);
  const std::vector<std::u16string>& Files() const { return files_; }
  // The set is written whole; only lastVolume is still to be renamed to the
  // archive's name. An open that finds this mark finishes the renaming
  // instead of removing the set.
  void MarkWhole(const std::u16string& lastVolume);
  // The set is complete (or given up with its files removed): the record goes.
  void Finish();

 private:
  std::u16string archiveName_;
  std::u16string recordName_;
  bool flush_;
  platform::File file_;
  std::vector<std::u16string> files_;
};

enum class TKMVolumeRecordState : uint8_t {
  None,    // no record (or a file of that name that is not one)
  InUse,   // a running creation holds it
  Removed  // the files it named, where they belong to the set, and the record are gone
};
// Removes the files a creation record of archiveName names, where they
// belong to that set (beside the archive under its name, or our temporary
// files), and then the record. A record marked whole keeps the set and
// gives its last volume the archive's name, if that was not done yet.
TKMVolumeRecordState PlayBackVolumeRecord(const std::u16string& archiveName);

}  // namespace km
