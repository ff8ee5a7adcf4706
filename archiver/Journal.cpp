#include "archiver/Journal.h"

#include <algorithm>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "support/ByteIO.h"
#include "support/Crc32.h"
#include "support/Crc32c.h"
#include "support/Exceptions.h"
#include "support/Paths.h"

namespace km {

namespace {

constexpr uint8_t kMagic[8] = {'K', 'M', 'J', 'R', 'N', 'L', '\r', '\n'};
constexpr std::string_view kVolumeRecordMagic = "KMVOLSET\n";
constexpr uint32_t kVersion = 1;
constexpr int64_t kChecksummed = 60;

uint32_t Crc(const void* data, int64_t length) {
  return Crc32Update(0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}

[[noreturn]] void Refuse(const std::u16string& journalName, const std::u16string& why) {
  throw Exception(u"The archive was not opened: the journal \"" + journalName +
                  u"\" of an interrupted update " + why +
                  u". The journal was kept; it holds the old bytes of the archive.");
}

}  // namespace

std::u16string JournalFileName(const std::u16string& archiveName) {
  return archiveName + u"-journal";
}

void EncodeJournalHeader(const TKMJournalHeader& header, uint8_t (&bytes)[kJournalHeaderSize]) {
  std::memset(bytes, 0, sizeof bytes);
  std::memcpy(bytes, kMagic, sizeof kMagic);
  WriteU32LE(bytes + 8, kVersion);
  WriteU32LE(bytes + 12, uint32_t(kJournalHeaderSize));
  WriteU64LE(bytes + 16, uint64_t(header.OldSize));
  WriteU64LE(bytes + 24, uint64_t(header.CutOffset));
  WriteU64LE(bytes + 32, uint64_t(header.Length));
  WriteU32LE(bytes + 40, header.Checksum);
  WriteU32LE(bytes + kChecksummed, Crc(bytes, kChecksummed));
}

TKMJournalState DecodeJournalHeader(const uint8_t* bytes, int64_t available,
                                    TKMJournalHeader& header) {
  // The header is the last thing a commit writes before it touches the
  // archive: while it is missing or partly there (zeros, or a file that ends
  // inside it) the archive holds its old bytes.
  if (available < kJournalHeaderSize ||
      std::all_of(bytes, bytes + kJournalHeaderSize, [](uint8_t b) { return b == 0; }))
    return TKMJournalState::Incomplete;
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || ReadU32LE(bytes + 8) != kVersion ||
      ReadU32LE(bytes + 12) != uint32_t(kJournalHeaderSize) ||
      ReadU32LE(bytes + kChecksummed) != Crc(bytes, kChecksummed))
    return TKMJournalState::Damaged;
  const uint64_t oldSize = ReadU64LE(bytes + 16);
  const uint64_t cut = ReadU64LE(bytes + 24);
  const uint64_t length = ReadU64LE(bytes + 32);
  constexpr uint64_t kMax = uint64_t(INT64_MAX) / 2;
  if (oldSize > kMax || cut > oldSize || length != oldSize - cut) return TKMJournalState::Damaged;
  header.OldSize = int64_t(oldSize);
  header.CutOffset = int64_t(cut);
  header.Length = int64_t(length);
  header.Checksum = ReadU32LE(bytes + 40);
  return TKMJournalState::Complete;
}

TKMPlayBack PlayBackJournal(const std::u16string& journalName, platform::File& archive,
                            bool flush) {
  using namespace platform;
  File journal;
  if (const int err = journal.Open(journalName, FileAccess::Read, FileShare::DenyNone,
                                   FileDisposition::OpenExisting);
      err != 0)
    Refuse(journalName, u"cannot be read (" + SysErrorMessage(err) + u")");
  const int64_t size = journal.Size();
  uint8_t bytes[kJournalHeaderSize] = {};
  const int64_t got = size < 0 ? -1 : journal.Read(bytes, std::min(size, kJournalHeaderSize));
  if (got < 0)
    Refuse(journalName, u"cannot be read (" + SysErrorMessage(journal.LastError()) + u")");

  TKMJournalHeader header;
  const TKMJournalState state = DecodeJournalHeader(bytes, got, header);
  if (state == TKMJournalState::Damaged) Refuse(journalName, u"is damaged");
  if (state == TKMJournalState::Complete) {
    if (size != kJournalHeaderSize + header.Length)
      Refuse(journalName, u"is damaged (its length does not match its header)");
    // The saved bytes are checked whole before a single one goes back.
    uint32_t crc = 0xFFFFFFFFu;
    if (!VisitRange(
            journal, kJournalHeaderSize, header.Length,
            [&](const uint8_t* bytes, int64_t size) { crc = Crc32cUpdate(crc, bytes, size); }))
      Refuse(journalName, u"cannot be read (" + SysErrorMessage(journal.LastError()) + u")");
    if ((crc ^ 0xFFFFFFFFu) != header.Checksum) Refuse(journalName, u"is damaged (its checksum)");

    const auto failed = [&](int err) {
      Refuse(journalName, u"could not be played back (" + SysErrorMessage(err) + u")");
    };
    // Neither a commit nor a playback ever leaves the archive shorter than
    // the cut: a shorter one was made anew since, and the old tail put back
    // on it would leave zeros where its entries were.
    const int64_t found = archive.Size();
    if (found < 0) failed(archive.LastError());
    if (found < header.CutOffset)
      Refuse(journalName,
             u"does not belong to the archive as it is now (the archive is shorter "
             u"than where that update cut it)");
    if (!archive.SetSize(header.CutOffset)) failed(archive.LastError());
    if (CopyRange(journal, kJournalHeaderSize, archive, header.CutOffset, header.Length) !=
        header.Length)
      failed(archive.LastError() ? archive.LastError() : journal.LastError());
    if (!archive.SetSize(header.OldSize)) failed(archive.LastError());
    if (flush && !archive.Flush()) failed(archive.LastError());
  }
  journal.Close();
  if (!DeleteFile(journalName)) {
    const int err = LastError();
    // Played back, but still there: the next open plays it again, which
    // does no harm; a journal that cannot go is worth telling, though.
    Refuse(journalName, u"cannot be deleted (" + SysErrorMessage(err) + u")");
  }
  if (flush) FlushDirectoryOf(journalName);
  return state == TKMJournalState::Complete ? TKMPlayBack::RolledBack : TKMPlayBack::Discarded;
}

// ---- The record of a multi-volume archive being created

std::u16string VolumeRecordFileName(const std::u16string& archiveName) {
  return archiveName + u"-volumes";
}

TKMVolumeRecord::TKMVolumeRecord(const std::u16string& archiveName, bool flush)
    : archiveName_(archiveName), recordName_(VolumeRecordFileName(archiveName)), flush_(flush) {
  const int err =
      file_.Open(recordName_, platform::FileAccess::Write, platform::FileShare::DenyWrite,
                 platform::FileDisposition::CreateAlways);
  if (err != 0)
    throw EFCreateError(u"Cannot create \"" + recordName_ + u"\", the record of the volumes " +
                            u"being made. " + SysErrorMessage(err),
                        err);
  if (file_.Write(kVolumeRecordMagic.data(), int64_t(kVolumeRecordMagic.size())) !=
          int64_t(kVolumeRecordMagic.size()) ||
      (flush_ && (!file_.Flush() || !platform::FlushDirectoryOf(recordName_))))
    throw EWriteError(
        u"Cannot write \"" + recordName_ + u"\". " + SysErrorMessage(file_.LastError()),
        file_.LastError());
}

void TKMVolumeRecord::Add(const std::u16string& fileName) {
  const std::string line = platform::WideToUtf8(fileName) + "\n";
  if (!file_.IsOpen() || file_.Write(line.data(), int64_t(line.size())) != int64_t(line.size()) ||
      (flush_ && !file_.Flush()))
    throw EWriteError(
        u"Cannot write \"" + recordName_ + u"\". " + SysErrorMessage(file_.LastError()),
        file_.LastError());
  files_.push_back(fileName);
}

// The line that marks a record whole, before the last volume's name; no
// path begins with it.
constexpr std::string_view kVolumeRecordWhole = "=";

void TKMVolumeRecord::MarkWhole(const std::u16string& lastVolume) {
  const std::string line =
      std::string(kVolumeRecordWhole) + platform::WideToUtf8(lastVolume) + "\n";
  if (!file_.IsOpen() || file_.Write(line.data(), int64_t(line.size())) != int64_t(line.size()) ||
      (flush_ && !file_.Flush()))
    throw EWriteError(
        u"Cannot write \"" + recordName_ + u"\". " + SysErrorMessage(file_.LastError()),
        file_.LastError());
}

void TKMVolumeRecord::Finish() {
  file_.Close();
  if (!platform::DeleteFile(recordName_) && FileExists(recordName_))
    throw EWriteError(u"Cannot delete \"" + recordName_ + u"\". " +
                      SysErrorMessage(platform::LastError()));
  if (flush_) platform::FlushDirectoryOf(recordName_);
}

TKMVolumeRecordState PlayBackVolumeRecord(const std::u16string& archiveName) {
  const std::u16string recordName = VolumeRecordFileName(archiveName);
  platform::File record;
  // The creating run holds its record with writes denied.
  const int err =
      record.Open(recordName, platform::FileAccess::ReadWrite, platform::FileShare::DenyWrite,
                  platform::FileDisposition::OpenExisting);
  if (err == platform::kErrorSharingViolation) return TKMVolumeRecordState::InUse;
  if (err != 0) return TKMVolumeRecordState::None;
  // A record is small; one that is not is not ours, and nothing it says is
  // acted on.
  constexpr int64_t kMaxRecord = 16 << 20;
  const int64_t size = record.Size();
  std::string text(size_t(std::clamp<int64_t>(size, 0, kMaxRecord)), '\0');
  const bool read = size >= 0 && size <= kMaxRecord &&
                    record.Read(text.data(), int64_t(text.size())) == int64_t(text.size());
  record.Close();
  // Killed as the record was made, before it said anything: nothing of the
  // set exists yet.
  if (read && size == 0) {
    platform::DeleteFile(recordName);
    return TKMVolumeRecordState::None;
  }
  // A file of that name that is not a record is left alone.
  if (!read || !text.starts_with(kVolumeRecordMagic)) return TKMVolumeRecordState::None;
  // Marked whole: every volume is written, the last perhaps still under its
  // volume name. The set is kept and its renaming finished; only temporary
  // files go.
  std::u16string wholeLast;
  bool whole = false;
  if (const size_t mark = text.find("\n" + std::string(kVolumeRecordWhole));
      mark != std::string::npos) {
    const size_t from = mark + 1 + kVolumeRecordWhole.size();
    const size_t end = text.find('\n', from);
    whole = end != std::string::npos;
    if (whole) wholeLast = platform::Utf8ToWide(std::string_view(text).substr(from, end - from));
  }
  {
    // Only what this set can have made goes: its volumes beside the archive,
    // named after it, and our own temporary files.
    const std::u16string dir = ExtractFilePath(archiveName);
    std::u16string stem = ExtractFileName(archiveName);
    stem.resize(stem.size() - ExtractFileExt(archiveName).size());
    size_t at = kVolumeRecordMagic.size();
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::u16string name = platform::Utf8ToWide(std::string_view(text).substr(at, end - at));
      at = end + 1;
      const std::u16string file = ExtractFileName(name);
      const bool volume = ExtractFilePath(name) == dir && file.starts_with(stem) &&
                          name != archiveName && name != recordName;
      const bool temporary = file.starts_with(u"FC") && file.ends_with(u".tmp");
      if (!name.empty() && ((volume && !whole) || temporary)) platform::DeleteFile(name);
    }
  }
  if (whole) {
    if (ExtractFilePath(wholeLast) == ExtractFilePath(archiveName) && wholeLast != archiveName &&
        FileExists(wholeLast)) {
      if (FileExists(archiveName)) platform::DeleteFile(archiveName);
      // Not renamed, the record stays: the next open tries again.
      if (!RenameFile(wholeLast, archiveName)) return TKMVolumeRecordState::None;
    }
    platform::DeleteFile(recordName);
    return TKMVolumeRecordState::None;
  }
  platform::DeleteFile(recordName);
  return TKMVolumeRecordState::Removed;
}

}  // namespace km
