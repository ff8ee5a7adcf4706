// Writing the central directory and the end records, and placing a
// self-extractor stub at the start of a new archive.
#include <algorithm>

#include "zipformat/DirManager.h"

namespace km {

namespace {

// A single file takes the directory in blocks of about this size.
constexpr size_t kFlushSize = 1 << 20;

}  // namespace

void TKMDirManager::WriteCentralDir(TStream* stream) {
  if (stream) archiveStreamRef_ = stream;
  if (!archiveStreamRef_) throw Exception(u"No archive stream to write the directory to");
  if (archiveComment_.size() > 0xFFFF) throw Exception(u"Archive comment is too long");
  if (endRecord_.Signature != TEndOfCentralDir::kSignature &&
      endRecord_.Signature != TEndOfCentralDir::kAltSignature)
    endRecord_.Signature = endSignature_;

  TStream* out = archiveStreamRef_;
  const int64_t start = out->Size();
  out->SetPosition(start);
  out->SetSize(start);

  TKMVolumeNumberInfo& volume = context_.VolumeInfo();
  auto volumeNow = [&volume] { return uint32_t(std::max<int32_t>(volume.VolumeNumber, 0)); };
  // Where the directory starts: its first header may not fit the volume it
  // began on and open the next one.
  int64_t dirStart = start;
  uint32_t startVolume = volumeNow();

  const bool multiVolume = context_.SpanningMode() != smNone;
  const bool oem = context_.OEMFileNames();
  TMemoryStream staging;
  // A single file gets the same bytes straight, collected into large writes.
  std::vector<uint8_t> pending;
  // The bytes of the directory, on whatever volumes they went to.
  int64_t dirSize = 0;
  auto put = [&](const void* data, size_t n, int32_t reserve) {
    dirSize += int64_t(n);
    if (multiVolume) {
      context_.WriteToVolumesChecked(data, int32_t(n), &staging, reserve, volume, out);
      return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    pending.insert(pending.end(), p, p + n);
  };
  // The central headers on the volume the directory ends on.
  uint32_t headersVolume = startVolume;
  int64_t headersOnVolume = 0;
  auto flush = [&] {
    if (multiVolume) {
      if (staging.Size() > 0)
        context_.WriteToVolumesChecked(staging.Memory(), int32_t(staging.Size()), nullptr, -1,
                                       volume, out);
      staging.Clear();
    } else if (!pending.empty()) {
      context_.WriteToVolumesChecked(pending.data(), int32_t(pending.size()), nullptr, -1, volume,
                                     out);
      pending.clear();
    }
  };

  const int32_t count = currentDir_.Count();
  try {
    for (int32_t i = 0; i < count; ++i) {
      TDirItem* item = currentDir_.ItemPtr(i);
      const std::vector<uint8_t> zip64 = BuildCentralZip64Block(*item);
      size_t extraLength = zip64.size();
      for (const TExtraField& field : item->ExtraFields)
        if (field.Tag != kZip64ExtraTag) extraLength += 4 + field.Size;
      // The whole name is written, however long; a name whose length field
      // cannot hold it is refused rather than cut or written corrupt.
      const std::string name = StoredNameBytes(*item, oem);
      if (name.size() > 0xFFFF) throw EKMException(kmeNameTooLong, {item->FileName}, &context_);
      if (extraLength > 0xFFFF)
        throw Exception(u"The extra fields of \"" + item->FileName + u"\" are too long");
      item->NameLength = uint16_t(name.size());
      item->ExtraLength = uint16_t(extraLength);
      item->CommentLength = uint16_t(std::min<size_t>(item->CommentLength, item->Comment.size()));

      ByteWriter fixed;
      EncodeCentralHeaderFixed(*item, fixed);
      // Header, name and extra fields stay together on one volume.
      put(fixed.Data().data(), fixed.Size(), int32_t(item->NameLength) + item->ExtraLength);
      if (multiVolume) {
        if (i == 0) {
          startVolume = volumeNow();
          dirStart = out->Size() + staging.Size() - int64_t(fixed.Size());
        }
        if (volumeNow() != headersVolume) {
          headersVolume = volumeNow();
          headersOnVolume = 0;
        }
      }
      ++headersOnVolume;

      ByteWriter rest;
      rest.Bytes(name);
      rest.Bytes(zip64.data(), zip64.size());
      // A stored Zip64 field is stale by now; the block above replaces it.
      for (const TExtraField& field : item->ExtraFields)
        if (field.Tag != kZip64ExtraTag) EncodeExtraField(field, rest);
      rest.Bytes(item->Comment.data(), item->CommentLength);
      put(rest.Data().data(), rest.Size(), -1);
      if (pending.size() >= kFlushSize) flush();
    }
    flush();
  } catch (...) {
    // What was staged still goes out, as far as it can, before the failure
    // is reported.
    try {
      flush();
    } catch (...) {
    }
    archiveStreamRef_ = out;
    throw;
  }
  archiveStreamRef_ = out;
  endRecord_.DirStartVolume = startVolume > 0xFFFE ? kSentinel16 : uint16_t(startVolume);
  zip64EndRecord_.DirStartVolume = startVolume;
  centralDirOffset_ = dirStart;

  const bool zip64 = out->Position() >= int64_t(kSentinel32) || count >= 0xFFFF;
  // The end records as they read on the volume they lie on, at position.
  auto encodeTail = [&](int64_t position, ByteWriter& tail) {
    const uint32_t thisVolume = volumeNow();
    const int64_t onVolume = thisVolume == headersVolume ? headersOnVolume : 0;
    endRecord_.EntriesOnVolume = onVolume > 0xFFFE ? kSentinel16 : uint16_t(onVolume);
    endRecord_.TotalEntries = count > 0xFFFE ? kSentinel16 : uint16_t(count);
    endRecord_.DirSize = dirSize >= int64_t(kSentinel32) ? kSentinel32 : uint32_t(dirSize);
    endRecord_.DirOffset = dirStart >= int64_t(kSentinel32) ? kSentinel32 : uint32_t(dirStart);
    endRecord_.CommentLength = uint16_t(archiveComment_.size());
    endRecord_.ThisVolume = thisVolume > 0xFFFE ? kSentinel16 : uint16_t(thisVolume);
    if (zip64) {
      zip64EndRecord_.Signature = TZip64EndOfCentralDir::kSignature;
      zip64EndRecord_.RecordSize = TZip64EndOfCentralDir::kSize - 12;
      zip64EndRecord_.VersionMadeBy = 45;
      zip64EndRecord_.VersionNeeded = 45;
      zip64EndRecord_.ThisVolume = thisVolume;
      zip64EndRecord_.EntriesOnVolume = uint64_t(onVolume);
      zip64EndRecord_.TotalEntries = uint64_t(count);
      zip64EndRecord_.DirSize = uint64_t(dirSize);
      zip64EndRecord_.DirOffset = uint64_t(dirStart);
      EncodeZip64EndOfCentralDir(zip64EndRecord_, tail);

      zip64Locator_.Signature = TZip64Locator::kSignature;
      zip64Locator_.Zip64EndVolume = thisVolume;
      zip64Locator_.Zip64EndOffset = uint64_t(position);
      zip64Locator_.TotalVolumes = thisVolume + 1;
      EncodeZip64Locator(zip64Locator_, tail);
    }
    EncodeEndOfCentralDir(endRecord_, tail);
    tail.Bytes(archiveComment_);
  };
  ByteWriter tail;
  encodeTail(out->Position(), tail);
  if (!multiVolume) {
    out->WriteBuffer(tail.Data().data(), int64_t(tail.Size()));
  } else {
    // The end records stay whole on the last volume; when they do not fit
    // the one the directory ends on, they open a volume of their own and
    // say so.
    const uint32_t before = volumeNow();
    context_.WriteToVolumesChecked(tail.Data().data(), int32_t(tail.Size()), nullptr, 0, volume,
                                   out);
    if (volumeNow() != before) {
      const int64_t at = out->Position() - int64_t(tail.Size());
      ByteWriter again;
      encodeTail(at, again);
      out->SetPosition(at);
      out->WriteBuffer(again.Data().data(), int64_t(again.Size()));
    }
    archiveStreamRef_ = out;
  }
  // The archive has a directory of its own again.
  directoryRebuilt_ = false;

  // The last volume of a new multi-volume archive carries the archive's name.
  if (multiVolume && context_.CurrentVolumeName() != context_.FileName())
    archiveStreamRef_ = context_.MoveLastVolumeToArchiveName();
}

void TKMDirManager::WriteEmptyDirectory(TStream* stream) {
  currentDir_.Clear();
  WriteCentralDir(stream);
}

void TKMDirManager::PlaceSfxStub() {
  TFileStream stub(context_.SFXStub(), fmOpenRead | fmShareDenyNone);
  const int64_t size = stub.Size();
  if (context_.SpanningMode() != smNone) {
    TKMVolumeNumberInfo first;
    first.SetFirst(true);
    const int64_t limit = context_.SpanningOptions().VolumeSizeLimit(first);
    if (limit != -1 && size > limit) throw EKMException(kmeStubTooLarge, &context_);
  }
  if (!archiveStreamRef_) throw Exception(u"No archive stream to place the stub in");
  archiveStreamRef_->SetSize(0);
  archiveStreamRef_->SetPosition(0);
  archiveStreamRef_->CopyFrom(stub, 0);
  stubSize_ = size;
}

}  // namespace km
