// Reading the central directory of an existing archive, and rebuilding it
// from the local headers when it is missing or damaged.
#include <algorithm>
#include <cstring>
#include <limits>

#include "zipformat/DirManager.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

constexpr int64_t kEndSearchTail = 65600;  // 22 fixed bytes, a 65535-byte comment, slack
constexpr int64_t kStubWindow = 10000;
constexpr int64_t kScanChunk = 65535;
constexpr uint16_t kDirectoryAttr = 0x10;
constexpr uint16_t kArchiveAttr = 0x20;

// Puts the stream back where it stood, however the scope is left.
class TPositionKeeper {
 public:
  explicit TPositionKeeper(TStream& s) : s_(s), saved_(s.Position()) {}
  ~TPositionKeeper() {
    try {
      s_.SetPosition(saved_);
    } catch (...) {
    }
  }
  TPositionKeeper(const TPositionKeeper&) = delete;
  TPositionKeeper& operator=(const TPositionKeeper&) = delete;

 private:
  TStream& s_;
  int64_t saved_;
};

[[noreturn]] void Damaged(const char16_t* what) {
  throw EReadError(std::u16string(u"Damaged central directory: ") + what);
}

// Reads the directory front to back through a buffer, so that a directory
// of many thousands of entries costs a few large reads. Every read is
// checked against what remains of the stream before anything is allocated.
class TDirCursor {
 public:
  explicit TDirCursor(TStream* s) { Reset(s); }

  void Reset(TStream* s) {
    stream_ = s;
    pos_ = s->Position();
    size_ = s->Size();
    bufStart_ = pos_;
    buf_.clear();
  }
  int64_t Position() const { return pos_; }
  int64_t Remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }

  // The next n bytes (at most a buffer's worth), moved past; they stay
  // valid until the next call.
  const uint8_t* Take(size_t n) {
    if (uint64_t(n) > uint64_t(Remaining())) Damaged(u"a record runs past the end of the stream");
    if (pos_ < bufStart_ || pos_ + int64_t(n) > bufStart_ + int64_t(buf_.size())) {
      const int64_t len = std::min<int64_t>(std::max<int64_t>(kBuffer, int64_t(n)), size_ - pos_);
      buf_.resize(size_t(len));
      bufStart_ = pos_;
      stream_->SetPosition(pos_);
      stream_->ReadBuffer(buf_.data(), len);
    }
    const uint8_t* p = buf_.data() + (pos_ - bufStart_);
    pos_ += int64_t(n);
    return p;
  }
  // Leaves the stream right after what was read.
  void Sync() { stream_->SetPosition(pos_); }

 private:
  static constexpr int64_t kBuffer = 1 << 16;
  TStream* stream_ = nullptr;
  int64_t pos_ = 0;
  int64_t size_ = 0;
  int64_t bufStart_ = 0;
  std::vector<uint8_t> buf_;
};

// Moves an entry by the stub's size, as ApplyStubOffset moves them all.
void ShiftEntry(TDirItem& item, uint64_t stub) {
  if (item.LocalHeaderOffset == kSentinel32) {
    item.Zip64LocalHeaderOffset = int64_t(uint64_t(item.Zip64LocalHeaderOffset) + stub);
    return;
  }
  StoreLocalOffset(item, int64_t(item.LocalHeaderOffset + stub), false);
}

// Empties an item for the next entry while its names and fields keep
// their memory.
void ClearForReuse(TDirItem& item) {
  item.FileName.clear();
  item.ReservedText.clear();
  item.Comment.clear();
  // The extra fields are read over the old ones, which keep their memory.
  item.Zip64Used = false;
  item.Zip64UncompressedSize = item.Zip64CompressedSize = item.Zip64LocalHeaderOffset = 0;
  item.Zip64DiskNumberStart = 0;
  item.Modified = item.Marked = false;
  item.Password.clear();
  item.SourceFileName.clear();
  item.CompressionMode = item.Operation = 0;
}

std::vector<uint8_t> ReadAt(TStream& s, int64_t position, size_t n) {
  std::vector<uint8_t> bytes(n);
  s.SetPosition(position);
  s.ReadBuffer(bytes.data(), int64_t(n));
  return bytes;
}

// One central header at the cursor into item (its fields; the name into
// name, empty for an entry without one). extraBuffer and nameBytes are
// scratch kept between calls. Damaged() for bytes that are no header.
void DecodeEntry(TDirCursor& cur, TDirItem& item, std::u16string& name, std::string& nameBytes,
                 bool oem) {
  ByteReader in(cur.Take(kCentralHeaderSize), kCentralHeaderSize);
  DecodeCentralHeaderFixed(in, item);
  // Bytes that are no central header (a zeroed or overwritten directory)
  // would become entries pointing nowhere; the local headers know better.
  if (item.Signature != kStandardSignatures.CentralHeader &&
      item.Signature != kAlternativeSignatures.CentralHeader)
    Damaged(u"a central header has no signature");

  nameBytes.clear();
  if (item.NameLength != 0) {
    const uint8_t* bytes = cur.Take(item.NameLength);
    nameBytes.assign(reinterpret_cast<const char*>(bytes), item.NameLength);
  }
  bool unicodeName = false;
  if (item.ExtraLength != 0) {
    item.Zip64Used = false;
    ParseExtraFieldsInto(cur.Take(item.ExtraLength), item.ExtraLength, item.ExtraFields);
    for (const TExtraField& field : item.ExtraFields) {
      if (field.Tag == kZip64ExtraTag) {
        ApplyZip64ExtraInfo(field, item);
      } else if (field.Tag == kUnicodeNameTag) {
        // Our own unicode-name field is exact; it wins over the 8-bit name.
        unicodeName = TUnicodeExtendedInfo::ParseName(field.Data.data(), field.Data.size(), name) ||
                      unicodeName;
      }
    }
  } else {
    item.ExtraFields.clear();
  }
  // The 8-bit name is converted only when no unicode name replaces it.
  if (!unicodeName) {
    name.clear();
    if (!nameBytes.empty())
      name = EntryNameFromBytes(nameBytes, oem, (item.Flags & kFlagUtf8Name) != 0);
  }
  if (item.CommentLength != 0)
    item.Comment.assign(reinterpret_cast<const char*>(cur.Take(item.CommentLength)),
                        item.CommentLength);
  else
    item.Comment.clear();
}

}  // namespace

bool TKMDirManager::FindEndRecord(uint32_t signature, TEndOfCentralDir& record, int64_t& position) {
  TStream& s = *archiveStreamRef_;
  position = -1;
  archiveComment_.clear();
  record = TEndOfCentralDir{};
  record.Signature = 0;

  const int64_t size = s.Size();
  const int64_t n = std::min(size, kEndSearchTail);
  std::vector<uint8_t> tail = ReadAt(s, size - n, size_t(n));
  uint8_t sig[4];
  WriteU32LE(sig, signature);

  bool found = false;
  for (int64_t i = n - 4; i >= 0 && !found; --i) {
    const uint8_t* p = tail.data() + i;
    if (p[3] != sig[3] || p[2] != sig[2] || p[1] != sig[1] || p[0] != sig[0]) continue;
    if (n - i < int64_t(TEndOfCentralDir::kSize)) continue;
    ByteReader in(p, TEndOfCentralDir::kSize);
    DecodeEndOfCentralDir(in, record);
    // Only a comment that reaches exactly to the end makes this the record.
    if (int64_t(record.CommentLength) != n - i - int64_t(TEndOfCentralDir::kSize)) continue;
    found = true;
    position = size - n + i;
    archiveComment_.assign(reinterpret_cast<const char*>(p + TEndOfCentralDir::kSize),
                           record.CommentLength);
  }
  s.SetPosition(size);
  return found;
}

bool TKMDirManager::CheckEndRecord() {
  const uint32_t signature =
      context_.StandardZip() ? TEndOfCentralDir::kSignature : TEndOfCentralDir::kAltSignature;
  int64_t position;
  const bool found = FindEndRecord(signature, endRecord_, position);
  return found || context_.TolerateDamage();
}

void TKMDirManager::ReadCentralDir() {
  ResetDir();
  stubSize_ = 0;
  zip64Present_ = false;
  directoryRebuilt_ = false;
  namelessEntries_.clear();
  walkOnly_ = false;
  walkCount_ = 0;
  walkEntries_ = 0;
  entryShift_ = 0;
  compressedTotal_ = 0;
  probeFound_ = false;
  probeOffset_ = -1;
  TStream* s = archiveStreamRef_;

  TEndOfCentralDir record;
  int64_t endPos = -1;
  bool found;
  if (context_.StandardZip()) {
    found = FindEndRecord(TEndOfCentralDir::kSignature, record, endPos);
  } else {
    found = FindEndRecord(TEndOfCentralDir::kAltSignature, record, endPos);
    if (!found) found = FindEndRecord(TEndOfCentralDir::kSignature, record, endPos);
  }
  if (!found) return RecoverByScan();
  endRecord_ = record;

  if (endPos > int64_t(TZip64Locator::kSize)) {
    std::vector<uint8_t> bytes =
        ReadAt(*s, endPos - int64_t(TZip64Locator::kSize), TZip64Locator::kSize);
    ByteReader in(bytes.data(), bytes.size());
    DecodeZip64Locator(in, zip64Locator_);
    zip64Present_ = zip64Locator_.Signature == TZip64Locator::kSignature;
    if (zip64Present_) endPos -= int64_t(TZip64Locator::kSize);
  }
  if (zip64Present_) {
    auto readZip64End = [&](uint64_t offset) {
      if (offset > uint64_t(std::numeric_limits<int64_t>::max()) ||
          RemainingFrom(int64_t(offset)) < int64_t(TZip64EndOfCentralDir::kSize))
        return false;
      std::vector<uint8_t> bytes = ReadAt(*s, int64_t(offset), TZip64EndOfCentralDir::kSize);
      ByteReader in(bytes.data(), bytes.size());
      return DecodeZip64EndOfCentralDir(in, zip64EndRecord_) &&
             zip64EndRecord_.Signature == TZip64EndOfCentralDir::kSignature;
    };
    const int64_t kZip64EndSize = int64_t(TZip64EndOfCentralDir::kSize);
    // Behind a prefix the locator's offset is often counted from the start
    // of the ZIP data; the record then still sits right before the locator.
    const bool ok = endPos > kZip64EndSize && (readZip64End(zip64Locator_.Zip64EndOffset) ||
                                               readZip64End(uint64_t(endPos - kZip64EndSize)));
    if (!ok) throw EKMException(kmeNoZip64End, nullptr);
    endPos -= kZip64EndSize;
  }
  if (!zip64Present_ && endRecord_.TotalEntries == kSentinel16) return RecoverByScan();

  const bool multiVolume = context_.SpanningMode() != smNone;
  int64_t startVolume = endRecord_.DirStartVolume;
  if (startVolume == kSentinel16) startVolume = zip64Present_ ? zip64EndRecord_.DirStartVolume : 0;
  int64_t lastVolume = endRecord_.ThisVolume;
  if (lastVolume == kSentinel16)
    lastVolume = zip64Present_ ? int64_t(zip64Locator_.TotalVolumes) - 1 : 0;
  const int32_t kMaxVolume = std::numeric_limits<int32_t>::max();
  TKMVolumeNumberInfo volume;
  volume.LastVolumeNumber = int32_t(std::clamp<int64_t>(lastVolume, -1, kMaxVolume));
  volume.SetNumber(int32_t(std::clamp<int64_t>(startVolume, 0, kMaxVolume)));

  try {
    if (multiVolume && !customStream_) {
      context_.OpenVolume(volume);
      archiveStreamRef_ = context_.ArchiveStream();
    }
    const uint64_t dirSize = zip64Present_ ? zip64EndRecord_.DirSize : endRecord_.DirSize;
    const uint64_t dirOffset = zip64Present_ ? zip64EndRecord_.DirOffset : endRecord_.DirOffset;
    const uint64_t count = zip64Present_ ? zip64EndRecord_.TotalEntries : endRecord_.TotalEntries;
    int64_t start;
    if (multiVolume) {
      if (dirOffset > uint64_t(std::numeric_limits<int64_t>::max()))
        Damaged(u"the directory offset is out of range");
      start = int64_t(dirOffset);
      if (count > uint64_t(std::numeric_limits<int32_t>::max()))
        Damaged(u"more entries than a directory can hold");
    } else {
      // The directory is found back from the end record, which keeps
      // archives behind a prefix readable; its stored offset is not used.
      if (dirSize > uint64_t(endPos)) Damaged(u"the directory is larger than the archive");
      start = endPos - int64_t(dirSize);
      // Every entry takes at least a fixed header: a count that cannot fit
      // before the end record is damage, not a reason to allocate.
      if (count > uint64_t(endPos) / kCentralHeaderSize)
        Damaged(u"more entries than the archive can hold");
    }
    ReadItems(start, count, volume);
  } catch (const Exception&) {
    if (!context_.TolerateDamage()) throw;
    return RecoverByScan();
  }

  if (!context_.TolerateDamage() && !multiVolume) CheckDataSizes();
  if (lastVolume == 0) LocateStub(endPos);

  // Offsets that point into the stub count from the start of the ZIP data.
  int32_t probe = -1;
  for (int32_t i = 0; i < currentDir_.Count() && probe < 0; ++i)
    if (currentDir_.GetItem(i).CompressedSize != 0) probe = i;
  // An archive of directories and empty files is judged by its first entry.
  if (probe < 0 && currentDir_.Count() > 0) probe = 0;
  int64_t probeOffset = probe >= 0 ? LocalOffsetOf(currentDir_.GetItem(probe)) : -1;
  // Entries read for a walk were looked at as they went by.
  if (walkOnly_ && walkEntries_ > 0) probeOffset = probeOffset_;
  if ((probe >= 0 || (walkOnly_ && walkEntries_ > 0)) && probeOffset < stubSize_) ApplyStubOffset();
}

void TKMDirManager::ReadItems(int64_t start, uint64_t count, TKMVolumeNumberInfo& volume) {
  const bool multiVolume = context_.SpanningMode() != smNone;
  archiveStreamRef_->SetPosition(start);
  centralDirOffset_ = start;
  // Entries are kept unless a caller walks them once (ForEachEntry) and a
  // single file lets them be read again.
  const bool keep = keepEntries_ || multiVolume || customStream_;
  // A single file was checked to hold the count; across volumes the array
  // grows with what is really read.
  const uint64_t initial = multiVolume ? std::min<uint64_t>(count, 1 << 16) : count;
  if (keep) currentDir_.SetCount(int32_t(initial));

  TDirCursor cur(archiveStreamRef_);
  TDirItem scratch;
  std::u16string name;
  std::string nameBytes;
  int32_t i = 0;  // the slot of the next entry kept
  for (uint64_t n = 0; n < count; ++n) {
    if (cur.Remaining() < int64_t(kCentralHeaderSize) && multiVolume && !customStream_) {
      volume.SetNumber(volume.VolumeNumber + 1);
      context_.OpenVolume(volume);
      archiveStreamRef_ = context_.ArchiveStream();
      cur.Reset(archiveStreamRef_);
    }
    if (keep && i >= currentDir_.Count())
      currentDir_.SetCount(int32_t(std::min<uint64_t>(count, uint64_t(currentDir_.Count()) * 2)));
    if (n == 0) centralDirOffset_ = cur.Position();

    // The slot may hold an entry that was passed over.
    TDirItem* item = &scratch;
    if (keep) {
      item = currentDir_.ItemPtr(i);
      *item = TDirItem{};
    } else {
      ClearForReuse(scratch);
    }
    DecodeEntry(cur, *item, name, nameBytes, context_.OEMFileNames());
    // An entry without a name (other tools can write one) names no file,
    // and its empty line would stand for every item not yet named in the
    // index: it is left out, and the rest of the directory reads.
    if (name.empty()) {
      namelessEntries_.push_back(LocalOffsetOf(*item));
      continue;
    }
    if (keep) {
      currentDir_.NameReadItem(i, std::move(name));
      name = std::u16string();
    } else {
      // What the checks after the read look at, and the walk needs.
      if (i == 0) firstEntry_ = scratch;
      if (!probeFound_ && (scratch.CompressedSize != 0 || i == 0)) {
        probeOffset_ = LocalOffsetOf(scratch);
        probeFound_ = scratch.CompressedSize != 0;
      }
      compressedTotal_ += scratch.CompressedSize;
    }
    ++i;
  }
  cur.Sync();
  if (keep) {
    if (i < currentDir_.Count()) currentDir_.SetCount(i);
  } else {
    walkCount_ = count;
    walkEntries_ = i;
    walkOnly_ = true;
  }
}

void TKMDirManager::ForEachEntry(const std::function<void(const TDirItem&)>& visit) {
  if (!walkOnly_) {
    for (int32_t i = 0; i < currentDir_.Count(); ++i) visit(currentDir_.GetItem(i));
    return;
  }
  // Read again, as the open read it, with what the open found applied.
  archiveStreamRef_->SetPosition(centralDirOffset_);
  TDirCursor cur(archiveStreamRef_);
  TDirItem item;
  std::u16string name;
  std::string nameBytes;
  for (uint64_t n = 0; n < walkCount_; ++n) {
    ClearForReuse(item);
    DecodeEntry(cur, item, name, nameBytes, context_.OEMFileNames());
    if (name.empty()) continue;
    std::swap(item.FileName, name);
    if (entryShift_ != 0) ShiftEntry(item, entryShift_);
    visit(item);
  }
}

void TKMDirManager::CheckDataSizes() {
  uint64_t total = compressedTotal_;
  for (int32_t i = 0; i < currentDir_.Count(); ++i) total += currentDir_.GetItem(i).CompressedSize;
  if (total > uint64_t(archiveStreamRef_->Size())) throw EKMException(kmeDataBeyondEnd, nullptr);
}

void TKMDirManager::RecoverByScan() {
  currentDir_.Clear();
  namelessEntries_.clear();
  walkOnly_ = false;
  compressedTotal_ = 0;
  if (context_.SpanningMode() != smNone) throw EKMException(kmeSpannedNoDirectory, nullptr);
  directoryRebuilt_ = true;
  ScanLocalHeaders();
  centralDirOffset_ = archiveStreamRef_->Size();
}

void TKMDirManager::LocateStub(int64_t endPosition) {
  const TDirItem* first = FirstEntry();
  if (!first) {
    stubSize_ = endPosition;
    return;
  }
  const uint32_t signature = Signatures().LocalHeader;
  const int64_t size = archiveStreamRef_->Size();
  // A damaged 64-bit offset must not send the search before the start.
  int64_t position = std::max<int64_t>(LocalOffsetOf(*first), 0);
  while (position < size) {
    int64_t q;
    if (!FindSignatureForward(position, signature, q)) return;
    if (MatchesFirstEntry(q)) {
      stubSize_ = q;
      return;
    }
    position = q + 1;
  }
}

void TKMDirManager::ApplyStubOffset() {
  // Every entry moves, directories too, and so do the 64-bit offsets:
  // a later rewrite copies entries from exactly these positions.
  const uint64_t stub = uint64_t(std::max<int64_t>(stubSize_, 0));
  for (int32_t i = 0; i < currentDir_.Count(); ++i) ShiftEntry(*currentDir_.ItemPtr(i), stub);
  // Entries read for a walk are moved as the walk reads them again.
  if (walkOnly_) entryShift_ += stub;
  for (int64_t& offset : namelessEntries_) offset = int64_t(uint64_t(offset) + stub);
}

int64_t TKMDirManager::FindNextLocalHeader(int64_t position) {
  return SearchForward(position, Signatures().LocalHeader, kScanChunk,
                       int64_t(TLocalFileHeader::kSize));
}

bool TKMDirManager::FindSignatureForward(int64_t position, uint32_t signature, int64_t& found) {
  found = SearchForward(position, signature, kStubWindow, 4);
  return found >= 0;
}

bool TKMDirManager::FindDataDescriptor(int64_t position, TDataDescriptor& descriptor) {
  const int64_t at = SearchForward(position, TDataDescriptor::kSignature, kScanChunk,
                                   int64_t(TDataDescriptor::kSize));
  if (at < 0) return false;
  std::vector<uint8_t> bytes = ReadAt(*archiveStreamRef_, at, TDataDescriptor::kSize);
  ByteReader in(bytes.data(), bytes.size());
  return DecodeDataDescriptor(in, descriptor);
}

bool TKMDirManager::MatchesFirstEntry(int64_t position) {
  TStream& s = *archiveStreamRef_;
  TPositionKeeper keep(s);
  if (RemainingFrom(position) < int64_t(TLocalFileHeader::kSize)) return false;
  std::vector<uint8_t> bytes = ReadAt(s, position, TLocalFileHeader::kSize);
  ByteReader in(bytes.data(), bytes.size());
  TLocalFileHeader h;
  if (!DecodeLocalFileHeader(in, h)) return false;
  // The whole name must be there too.
  if (RemainingFrom(position + int64_t(TLocalFileHeader::kSize)) < int64_t(h.NameLength))
    return false;
  if (h.Signature != kStandardSignatures.LocalHeader &&
      h.Signature != kAlternativeSignatures.LocalHeader)
    return false;
  const TDirItem* entry = FirstEntry();
  if (position == 0 || !entry) return true;
  const TDirItem& first = *entry;
  return h.VersionNeeded == first.VersionNeeded && h.Method == first.Method &&
         h.ModTime == first.ModTime && h.ModDate == first.ModDate && h.Crc32 == first.Crc32 &&
         h.CompressedSize == first.CompressedSize && h.UncompressedSize == first.UncompressedSize;
}

void TKMDirManager::ScanLocalHeaders() {
  TStream& s = *archiveStreamRef_;
  int64_t p = FindNextLocalHeader(0);
  if (p < 0) throw EKMException(kmeInvalidArchive, nullptr);
  const bool oem = context_.OEMFileNames();
  const int64_t size = s.Size();

  // The last descriptor search: every start between descFrom and the
  // descriptor it found (or the end, when none) finds the same one, so many
  // flagged entries cost one pass over the data, not one each.
  int64_t descFrom = -1, descAt = -2;
  TDataDescriptor desc;

  while (p >= 0) {
    std::vector<uint8_t> bytes = ReadAt(s, p, TLocalFileHeader::kSize);
    ByteReader in(bytes.data(), bytes.size());
    TLocalFileHeader h;
    DecodeLocalFileHeader(in, h);
    // The local extra field holds what the fixed fields cannot: a Zip64
    // entry's sizes, and our unicode name (the directory written later
    // carries it on). The local Zip64 field has no offset slot: read into an
    // item whose offset is no sentinel, it fills the sizes only.
    const int64_t nameAt = p + int64_t(TLocalFileHeader::kSize);
    const int64_t extraAt = nameAt + int64_t(h.NameLength);
    TDirItem sizes;
    sizes.CompressedSize = h.CompressedSize;
    sizes.UncompressedSize = h.UncompressedSize;
    sizes.Zip64CompressedSize = kSentinel32;  // kept when the field lacks the slot
    std::vector<TExtraField> extra;
    // An extra area longer than the usual fields need is still a header's
    // when it splits into whole fields exactly (long names carry a unicode
    // name field and a time field of their own).
    bool plausibleExtra = h.ExtraLength <= 260;
    if (h.ExtraLength != 0 && RemainingFrom(extraAt) >= int64_t(h.ExtraLength)) {
      std::vector<uint8_t> raw = ReadAt(s, extraAt, h.ExtraLength);
      if (!plausibleExtra) {
        size_t at = 0;
        while (at + 4 <= raw.size()) at += 4 + size_t(raw[at + 2] | raw[at + 3] << 8);
        plausibleExtra = at == raw.size();
      }
      if (plausibleExtra) extra = ParseExtraFields(raw.data(), raw.size());
      for (const TExtraField& field : extra) {
        if (field.Tag != kZip64ExtraTag) continue;
        if (LocalSizesInZip64(h)) ApplyZip64ExtraInfo(field, sizes);
        break;
      }
    }
    const int64_t compressed = CompressedSizeOf(sizes);
    // A header with an absurd size or a huge extra area is taken for data
    // that merely contains the signature.
    if (compressed < size && plausibleExtra) {
      const int32_t i = currentDir_.Count();
      currentDir_.SetCount(i + 1);
      TDirItem* item = currentDir_.ItemPtr(i);
      item->Signature = Signatures().CentralHeader;
      item->VersionMadeBy = h.VersionNeeded;
      item->VersionNeeded = h.VersionNeeded;
      item->Flags = h.Flags;
      item->Method = h.Method;
      item->ModTime = h.ModTime;
      item->ModDate = h.ModDate;
      item->Crc32 = h.Crc32;
      item->CompressedSize = h.CompressedSize;
      item->UncompressedSize = h.UncompressedSize;
      if (sizes.Zip64Used) {
        item->Zip64CompressedSize = sizes.Zip64CompressedSize;
        item->Zip64UncompressedSize = sizes.Zip64UncompressedSize;
        item->Zip64Used = true;
      }
      item->NameLength = h.NameLength;
      item->ExtraLength = h.ExtraLength;
      const bool described = (h.Flags & kFlagDataDescriptor) != 0;
      // An empty entry without a descriptor is most likely a folder.
      item->ExternalAttr = h.UncompressedSize != 0 || described ? kArchiveAttr : kDirectoryAttr;
      StoreLocalOffset(*item, p, false);

      std::u16string name;
      if (RemainingFrom(nameAt) >= int64_t(h.NameLength) && h.NameLength != 0) {
        std::vector<uint8_t> raw = ReadAt(s, nameAt, h.NameLength);
        name = EntryNameFromBytes(std::string(raw.begin(), raw.end()), oem,
                                  (h.Flags & kFlagUtf8Name) != 0);
      }
      for (TExtraField& field : extra) {
        TUnicodeExtendedInfo unicode;
        if (field.Tag != kUnicodeNameTag || !unicode.Parse(field.Data.data(), field.Data.size()))
          continue;
        name = std::move(unicode.FileName);
        item->ExtraFields.push_back(std::move(field));
        break;
      }
      if (name.empty()) {
        // Passed over as the directory reader does.
        currentDir_.SetCount(i);
        namelessEntries_.push_back(p);
        p = FindNextLocalHeader(p + 4);
        continue;
      }
      currentDir_.RenameItem(i, name);

      if (described) {
        const bool cached = descAt != -2 && p >= descFrom && (descAt == -1 || p <= descAt);
        if (!cached) {
          descFrom = p;
          descAt =
              FindDataDescriptor(p, desc) ? s.Position() - int64_t(TDataDescriptor::kSize) : -1;
        }
        if (descAt >= 0) {
          item = currentDir_.ItemPtr(i);
          item->Crc32 = desc.Crc32;
          item->CompressedSize = desc.CompressedSize;
          item->UncompressedSize = desc.UncompressedSize;
        }
      }
    }
    p = FindNextLocalHeader(p + 4);
  }
}

}  // namespace km
