// Reading one entry's data back: the local header checked against the
// directory, the password, decryption, inflate or copy block by block, and
// the size and CRC-32 verified at the end.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "archiver/Archiver.h"
#include "archiver/VerifyAhead.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "support/ByteIO.h"
#include "support/Crc32.h"
#include "support/ScopeExit.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

// Compressed data is read in blocks of up to this many bytes.
constexpr int64_t kReadStep = 1048576;
// Blocks are halved for lack of memory down to this length.
constexpr int64_t kMinBlock = 512;
// No output buffer grows beyond this, whatever sizes the archive claims: a
// block whose output does not fit is written out in pieces.
constexpr int64_t kMaxOutputBuffer = 4 * 1048576;

constexpr size_t kSegmentHeaderSize = 50;

// The local header's compressed size agrees with the item's. A sentinel in
// the local header is resolved through its own Zip64 block (python's
// force_zip64 and `zip -fz` write one even for small entries).
bool LocalCompressedSizeMatches(const TLocalFileHeader& local, const std::vector<uint8_t>& extra,
                                const TDirItem& item) {
  return LocalCompressedSizeOf(local, extra) == uint64_t(CompressedSizeOf(item));
}

// Reads until count bytes arrived or the stream gives nothing more: a
// stream may deliver a request in pieces.
int64_t ReadFully(TStream& stream, uint8_t* buffer, int64_t count) {
  int64_t got = 0;
  while (got < count) {
    const int64_t n = stream.Read(buffer + got, count - got);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

// An inflate stream that is ended on every path out.
class TInflater {
 public:
  // Raw deflate (negative window bits) for entry data, the zlib wrapper for
  // the segments that carry it.
  explicit TInflater(bool raw) {
    stream_.zalloc = Z_NULL;
    stream_.zfree = Z_NULL;
    stream_.opaque = Z_NULL;
    stream_.next_in = Z_NULL;
    stream_.avail_in = 0;
    open_ = (raw ? inflateInit2(&stream_, -MAX_WBITS) : inflateInit(&stream_)) == Z_OK;
  }
  ~TInflater() {
    if (open_) inflateEnd(&stream_);
  }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  bool Open() const { return open_; }
  // Ready for the next stream; false when it cannot be (it never opened).
  bool Reset() { return open_ && inflateReset(&stream_) == Z_OK; }
  z_stream& Stream() { return stream_; }

 private:
  z_stream stream_{};
  bool open_ = false;
};

// A growable output buffer that keeps its memory between blocks and is
// never cleared (inflate overwrites what it reports).
class TOutputBuffer {
 public:
  uint8_t* Reserve(int64_t size) {
    if (size > capacity_) {
      data_ = std::make_unique_for_overwrite<uint8_t[]>(size_t(size));
      capacity_ = size;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  int64_t capacity_ = 0;
};

// Where the plain data goes: into the CRC and the output, never past the
// size the item claims (more than that can only be a damaged or hostile
// entry, and writing it on would let a tiny entry fill the disk). Without
// an archiver the data is only checked, never written.
struct TDataSink {
  TKMBaseArchiver* archiver;
  TStream* output;
  int64_t limit;
  int64_t& bytesOut;
  uint32_t& crc;

  bool Put(const uint8_t* data, int64_t count) {
    if (count <= 0) return true;
    if (count > limit - bytesOut) return false;
    Crc32UpdateInPlace(crc, data, count);
    if (archiver && !archiver->WriteOutputBlock(*output, data, count)) return false;
    bytesOut += count;
    return true;
  }
};

enum class TInflateResult { kNeedInput, kEnded, kFailed };

// Inflates count input bytes into the sink. The output buffer starts at
// firstBuffer bytes and grows by the read step up to the cap; when it is
// full it is emptied into the sink and inflate goes on, so memory never
// follows the compression ratio.
TInflateResult InflateInto(TInflater& inflater, uint8_t* input, int64_t count, int64_t firstBuffer,
                           TOutputBuffer& buffer, TDataSink& sink) {
  z_stream& z = inflater.Stream();
  z.next_in = input;
  z.avail_in = uInt(count);
  int64_t size = std::clamp<int64_t>(firstBuffer, kMinBlock, kMaxOutputBuffer);
  for (;;) {
    uint8_t* out = buffer.Reserve(size);
    z.next_out = out;
    z.avail_out = uInt(size);
    const int result = inflate(&z, Z_NO_FLUSH);
    if (result == Z_MEM_ERROR || result == Z_STREAM_ERROR)
      throw TKMBaseArchiver::EDecompressionError(u"error");
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
      return TInflateResult::kFailed;  // Z_DATA_ERROR, Z_NEED_DICT: corrupt data
    if (!sink.Put(out, size - int64_t(z.avail_out))) return TInflateResult::kFailed;
    if (result == Z_STREAM_END) return TInflateResult::kEnded;
    // Z_BUF_ERROR: no progress was possible, so this input is used up.
    if (result == Z_BUF_ERROR) return TInflateResult::kNeedInput;
    // Space left means inflate took all it could; a full buffer may hide
    // more output even when the input is gone.
    if (z.avail_out != 0 && z.avail_in == 0) return TInflateResult::kNeedInput;
    size = std::min(size + kReadStep, kMaxOutputBuffer);
  }
}

// Free memory, as DecompressData sizes its blocks by it. It changes slowly
// next to the data of one entry, and asking the host (a read of a file under
// /proc on Linux) for every entry of an archive of many small ones cost
// more than inflating them: the answer is kept for a second.
uint64_t FreeMemory() {
  static std::atomic<uint64_t> known{0};
  static std::atomic<uint32_t> askedAt{0};
  static std::atomic<bool> asked{false};
  const uint32_t now = platform::TickCount();
  if (asked.load(std::memory_order_acquire) && now - askedAt.load(std::memory_order_relaxed) < 1000)
    return known.load(std::memory_order_relaxed);
  const uint64_t bytes = platform::AvailablePhysicalMemory();
  known.store(bytes, std::memory_order_relaxed);
  askedAt.store(now, std::memory_order_relaxed);
  asked.store(true, std::memory_order_release);
  return bytes;
}

}  // namespace

// What one entry's data passes through, kept from entry to entry: the raw
// inflate stream (reset, not opened again, for each entry: opening it
// costs an allocation of its state and, at the first output, of its
// window), the read buffer and the output buffer.
struct TInflateState {
  TInflater inflater{true};
  std::unique_ptr<uint8_t[]> input;
  int64_t inputSize = 0;
  TOutputBuffer output;

  uint8_t* Input(int64_t size) {
    if (size > inputSize) {
      input = std::make_unique_for_overwrite<uint8_t[]>(size_t(size));
      inputSize = size;
    }
    return input.get();
  }
};

struct TKMBaseArchiver::TInflateCache : TInflateState {
  bool busy = false;
};

void TKMBaseArchiver::TInflateCacheDeleter::operator()(TInflateCache* cache) const {
  delete cache;
}

namespace {

// The first output buffer size for n input bytes of the item's data.
int64_t PredictOutput(int64_t n, const TDirItem& item) {
  const int64_t compressed = CompressedSizeOf(item);
  const int64_t uncompressed = UncompressedSizeOf(item);
  const uint64_t ratio =
      compressed > 0 && uncompressed > 0 ? uint64_t(uncompressed) / uint64_t(compressed) : 0;
  // n and the ratio both come from the archive: saturate at the cap rather
  // than overflow.
  const uint64_t blockLength = uint64_t(std::clamp<int64_t>(n, 0, kMaxOutputBuffer));
  const uint64_t base = blockLength + blockLength / 2 + 12 + 255;
  if (ratio + 1 > uint64_t(kMaxOutputBuffer) / base) return kMaxOutputBuffer;
  const uint64_t x = ((ratio + 1) * base) & ~uint64_t(0xFF);
  // The power of two nearest to x on a logarithmic scale; the inflate loop
  // grows the buffer when it is smaller than the output.
  const int k = int(std::lround(std::log2(double(x))));
  return std::min(int64_t(1) << k, kMaxOutputBuffer);
}

// An entry's local header, read and checked against its directory record,
// and how many bytes of data follow it.
struct TEntryStart {
  bool ok = false;
  TLocalFileHeader local;
  int64_t length = 0;
};

// source is at the local header. In a single file (singleFile) the data
// never runs into the central directory (at centralDirOffset, negative when
// none is known), nor past the end.
TEntryStart StartEntry(TStream& source, const TDirItem& item, int64_t centralDirOffset,
                       bool singleFile) {
  TEntryStart start;
  start.local = ReadLocalFileHeader(source);
  const TLocalFileHeader& local = start.local;
  // Anything else here means the directory points at the wrong place.
  if (local.Signature != kStandardSignatures.LocalHeader &&
      local.Signature != kAlternativeSignatures.LocalHeader)
    return start;
  int64_t position = source.Position();
  // What lies before the directory is in the archive: only an entry that
  // reaches past it needs the archive's size, which costs the system a call.
  int64_t streamSize = -1;
  const auto sizeNow = [&] {
    if (streamSize < 0) streamSize = source.Size();
    return streamSize;
  };
  // Counted from here, so that a hostile size cannot overflow the sum.
  const auto beforeDirectory = [&](int64_t bytes) {
    return singleFile && centralDirOffset >= position && bytes <= centralDirOffset - position;
  };
  const int64_t nameAndExtra = int64_t(local.NameLength) + local.ExtraLength;
  if (!beforeDirectory(nameAndExtra) && nameAndExtra > sizeNow() - position) return start;
  std::vector<uint8_t> extra;
  const bool needExtra = LocalSizesInZip64(local);
  source.Seek(local.NameLength, soCurrent);
  if (needExtra) {
    extra.resize(local.ExtraLength);
    source.ReadBuffer(extra.data(), int64_t(extra.size()));
  } else {
    source.Seek(local.ExtraLength, soCurrent);
  }
  position += int64_t(local.NameLength) + local.ExtraLength;

  // With a data descriptor (bit 3) the local CRC and sizes are written as
  // zeros by streaming tools (jar, `zip` reading a pipe); the directory then
  // holds the real values and the data is verified against those.
  if ((local.Flags & kFlagDataDescriptor) == 0) {
    if (local.Crc32 != item.Crc32 || !LocalCompressedSizeMatches(local, extra, item)) return start;
  }

  int64_t length = std::max<int64_t>(CompressedSizeOf(item), 0);
  if (singleFile && !beforeDirectory(length)) {
    int64_t limit = sizeNow();
    if (centralDirOffset >= position) limit = std::min(limit, centralDirOffset);
    length = std::min(length, std::max<int64_t>(limit - position, 0));
  }
  start.length = length;
  start.ok = true;
  return start;
}

// Stored or deflated data, length bytes of it, block by block into the
// sink. progress(bytesIn) comes before each block, and false from it stops
// the reading (what came out so far is then short); read(buffer, n) fills
// a block and decrypt(buffer, n) deciphers it in place.
template <class Progress, class Read, class Decrypt>
bool PumpData(const TDirItem& item, int64_t length, TInflateState& state, TDataSink& sink,
              Progress&& progress, Read&& read, Decrypt&& decrypt) {
  const uint64_t freeMemory = FreeMemory() / 20;
  const int64_t memoryLimit =
      int64_t(std::min<uint64_t>(freeMemory, uint64_t(std::numeric_limits<int64_t>::max())));
  uint8_t* const input = state.Input(std::clamp<int64_t>(length, 1, kReadStep));
  // Entry data is raw deflate, so the stream is opened without the zlib
  // wrapper: no header has to be put in front of the first block and no
  // Adler-32 trailer is ever looked for.
  TInflater* inflater = nullptr;
  if (item.Method == 8) {
    inflater = &state.inflater;
    if (!inflater->Reset()) return false;
  }

  int64_t bytesIn = 0;
  while (bytesIn < length) {
    if (!progress(bytesIn)) break;
    // Halve the block while its predicted output would take a twentieth of
    // the free memory or more; a remainder under 512 bytes is read whole.
    int64_t n = std::min(kReadStep, length - bytesIn) * 2;
    do {
      n /= 2;
      if (n < kMinBlock) break;
    } while (PredictOutput(n, item) >= memoryLimit);
    if (n <= 0) return false;
    if (!read(input, n)) return false;
    decrypt(input, n);
    if (item.Method == 0) {
      if (!sink.Put(input, n)) return false;
    } else {
      const TInflateResult result =
          InflateInto(*inflater, input, n, PredictOutput(n, item), state.output, sink);
      if (result == TInflateResult::kFailed) return false;
      // Bytes after the end of the deflate stream carry nothing; the size
      // and CRC-32 checks judge what came out.
      if (result == TInflateResult::kEnded) break;
    }
    bytesIn += n;
  }
  return true;
}

}  // namespace

TEntryChecker::TEntryChecker() : state_(std::make_unique<TInflateState>()) {}

TEntryChecker::~TEntryChecker() = default;

bool TEntryChecker::Check(TStream& source, const TDirItem& item, int64_t centralDirOffset,
                          const std::function<bool(int64_t)>& progress, int64_t& total) {
  total = -1;
  const TEntryStart start = StartEntry(source, item, centralDirOffset, true);
  if (!start.ok) return false;
  // Only these are ever given to a checker; anything else is read by the
  // archiver itself.
  if ((item.Method != 0 && item.Method != 8) || (item.Flags & kFlagEncrypted) != 0) return false;
  total = start.length;
  uint32_t crc = 0xFFFFFFFF;
  int64_t bytesOut = 0;
  TDataSink sink{nullptr, nullptr, UncompressedSizeOf(item), bytesOut, crc};
  const bool ok = PumpData(
      item, start.length, *state_, sink, progress,
      [&](uint8_t* buffer, int64_t n) { return ReadFully(source, buffer, n) == n; },
      [](uint8_t*, int64_t) {});
  if (!ok || bytesOut != UncompressedSizeOf(item)) return false;
  return ~crc == item.Crc32;
}

namespace {

// Sets a pointer for the life of a scope and clears it on every path out.
class TPointerScope {
 public:
  TPointerScope(TStream*& slot, TStream* value) : slot_(slot) { slot_ = value; }
  ~TPointerScope() { slot_ = nullptr; }
  TPointerScope(const TPointerScope&) = delete;
  TPointerScope& operator=(const TPointerScope&) = delete;

 private:
  TStream*& slot_;
};

}  // namespace

int64_t TKMBaseArchiver::WriteOutputBytes(TStream& output, const void* buffer, int64_t count) {
  return output.Write(buffer, count);
}

bool TKMBaseArchiver::WriteOutputBlock(TStream& output, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  const int64_t position = output.Position();
  for (;;) {
    if (WriteOutputBytes(output, buffer, count) == count) return true;
    auto* file = dynamic_cast<TFileStream*>(&output);
    const int error =
        file && file->LastError() != 0 ? file->LastError() : platform::kErrorWriteFault;
    // Only a full disk can be helped by making room; any other failure
    // (a failing device, a file that may not be written) would fail again.
    bool cancel = true;
    if (error == platform::kErrorDiskFull) {
      try {
        DoDiskFull(-1, file ? file->FileName() : FileName(), cancel);
      } catch (...) {
        cancel = true;
      }
    }
    if (cancel) {
      outputError_ = error;
      return false;
    }
    output.SetPosition(position);
  }
}

bool TKMBaseArchiver::DecompressEntry(TStream& source, TStream& output, const TDirItem& item) {
  // The volume holding the entry, and the last one, by the 64-bit rules.
  TKMVolumeNumberInfo volume;
  const bool zip64 = dirManager_ && dirManager_->Zip64Present();
  int32_t first = int32_t(DiskNumberStartOf(item, zip64));
  const int32_t last = dirManager_ ? int32_t(dirManager_->LastVolumeNumber()) : 0;
  volume.SetNumber(first);
  volume.LastVolumeNumber = last;

  const TEntryStart start = StartEntry(
      source, item, dirManager_ ? dirManager_->CentralDirOffset() : -1, spanningMode_ == smNone);
  if (!start.ok) return false;
  const TLocalFileHeader& local = start.local;
  const int64_t length = start.length;
  uint32_t crc = 0xFFFFFFFF;
  fileBytesTotal_ = length;
  fileBytesDone_ = 0;
  skipFile_ = false;

  TPointerScope sourceScope(dataSource_, &source);
  int64_t bytesOut = 0;
  bool ok = false;
  switch (item.Method) {
    case 0:
    case 8:
      ok = DecompressData(output, item, local, length, volume, bytesOut, crc);
      break;
    case 9:
      throw EKMException(kmeDeflate64, nullptr);
    default:
      if (item.VersionNeeded > 10)
        ok = DecompressSegments(output, item, length, volume, bytesOut, crc);
      break;
  }
  if (!ok || bytesOut != UncompressedSizeOf(item)) return false;
  return ~crc == item.Crc32;
}

bool TKMBaseArchiver::ReportDataProgress(const TDirItem& item, int64_t bytesIn) {
  fileBytesDone_ = bytesIn;
  if (!progressEnabled_) return true;
  const double share = fileBytesTotal_ > 0 ? double(fileBytesDone_) / double(fileBytesTotal_) : 0;
  const auto operation = static_cast<TKMProcessOperation>(item.Operation);
  bool cancel = false;
  DoFileProgress(item.FileName, share * 100, operation, ppProcess, cancel);
  if (cancelled_) return false;
  const double marked = markedCount_ > 0 ? double(markedCount_) : 1.0;
  cancel = false;
  DoOverallProgress((share + processedCount_) / marked * 100, operation, ppProcess, cancel);
  return !cancelled_;
}

bool TKMBaseArchiver::DecompressData(TStream& output, const TDirItem& item,
                                     const TLocalFileHeader& local, int64_t length,
                                     TKMVolumeNumberInfo& volume, int64_t& bytesOut,
                                     uint32_t& crc) {
  const bool encrypted = (item.Flags & kFlagEncrypted) != 0;
  KeySet keys;
  if (encrypted) {
    if (length < kEncryptionHeaderSize) return false;
    length -= kEncryptionHeaderSize;
    // The header is read once (it may straddle volumes) and tried with each
    // password in turn.
    uint8_t header[kEncryptionHeaderSize];
    if (!ReadAcrossVolumes(header, kEncryptionHeaderSize, volume)) return false;
    for (;;) {
      TMemoryStream headerStream;
      headerStream.WriteBuffer(header, kEncryptionHeaderSize);
      headerStream.SetPosition(0);
      if (CheckPassword(headerStream, password_, keys, local.Crc32, local.ModTime, local.Flags))
        break;
      const std::string tried = password_;
      DoPassword(item.FileName, password_, skipFile_);
      if (skipFile_) return false;
      // The same password fails the same way: asking again would never end
      // when nobody can answer (no handler, non-interactive prompts).
      if (password_ == tried) return false;
    }
  }

  const int64_t expected = UncompressedSizeOf(item);
  TDataSink sink{this, &output, expected, bytesOut, crc};
  // The archiver's cache, or one of its own for an entry read while another
  // is (a handler of an event may read one); free again at the end.
  if (!inflateCache_) inflateCache_.reset(new TInflateCache);
  std::unique_ptr<TInflateCache> own;
  TInflateCache* cache = inflateCache_.get();
  if (cache->busy) {
    own = std::make_unique<TInflateCache>();
    cache = own.get();
  }
  cache->busy = true;
  ScopeExit release([cache] { cache->busy = false; });
  return PumpData(
      item, length, *cache, sink,
      [&](int64_t bytesIn) { return ReportDataProgress(item, bytesIn); },
      [&](uint8_t* buffer, int64_t n) { return ReadAcrossVolumes(buffer, n, volume); },
      [&](uint8_t* buffer, int64_t n) {
        if (encrypted) DecryptBuffer(keys, buffer, n);
      });
}

bool TKMBaseArchiver::DecompressSegments(TStream& output, const TDirItem& item, int64_t length,
                                         TKMVolumeNumberInfo& volume, int64_t& bytesOut,
                                         uint32_t& crc) {
  uint8_t header[kSegmentHeaderSize];
  if (length < int64_t(kSegmentHeaderSize)) return false;
  if (!ReadAcrossVolumes(header, kSegmentHeaderSize, volume)) return false;
  int64_t bytesIn = kSegmentHeaderSize;
  const uint32_t segmentCount = ReadU32LE(header + 16);
  const bool unknownCompression = header[20] != 0;
  const bool zlibSegments = header[21] != 0;
  const bool encrypted = ReadU16LE(header + 22) != 0xFFFF;
  if (encrypted) {
    // No cipher of this layout is known here, so no password can change the
    // outcome: a check block that fails is damage. The user may still skip.
    const uint32_t check = ~Crc32Update(0xFFFFFFFF, header + 28, 16);
    if (check != ReadU32LE(header + 24)) {
      DoPassword(item.FileName, password_, skipFile_);
      return false;
    }
  }
  crc = 0xFFFFFFFF;

  const int64_t expected = UncompressedSizeOf(item);
  TDataSink sink{this, &output, expected, bytesOut, crc};
  auto input = std::make_unique_for_overwrite<uint8_t[]>(size_t(kReadStep));
  TOutputBuffer outputBuffer;
  for (uint32_t segment = 0; segment < segmentCount; ++segment) {
    if (!ReportDataProgress(item, bytesIn)) return true;
    uint8_t lengthBytes[4];
    if (length - bytesIn < 4 || !ReadAcrossVolumes(lengthBytes, 4, volume)) return false;
    bytesIn += 4;
    const int64_t segmentLength = ReadU32LE(lengthBytes);
    if (segmentLength > length - bytesIn) return false;
    if (zlibSegments && unknownCompression) return false;

    // Each segment is streamed through in read steps: its length comes
    // from the archive and must not size an allocation.
    std::unique_ptr<TInflater> inflater;
    if (zlibSegments) {
      inflater = std::make_unique<TInflater>(false);
      if (!inflater->Open()) return false;
    }
    const int64_t outBefore = bytesOut;
    bool ended = false;
    for (int64_t done = 0; done < segmentLength;) {
      const int64_t n = std::min(kReadStep, segmentLength - done);
      if (!ReadAcrossVolumes(input.get(), n, volume)) return false;
      done += n;
      if (!zlibSegments) {
        if (!sink.Put(input.get(), n)) return false;
      } else if (!ended) {
        const TInflateResult result =
            InflateInto(*inflater, input.get(), n, kReadStep, outputBuffer, sink);
        if (result == TInflateResult::kFailed) return false;
        ended = result == TInflateResult::kEnded;
      }
    }
    if (zlibSegments && (!ended || bytesOut == outBefore)) return false;
    bytesIn += segmentLength;
  }
  return true;
}

bool TKMBaseArchiver::CheckPassword(TStream& stream, const std::string& password, KeySet& keys,
                                    uint32_t crc32, uint16_t modTime, uint16_t flags) {
  uint8_t header[kEncryptionHeaderSize];
  if (ReadFully(stream, header, kEncryptionHeaderSize) != kEncryptionHeaderSize) return false;
  DecryptHeader(password, keys, header);
  // Writers that stream (bit 3) do not know the CRC before the data, so they
  // take the check byte from the modification time instead.
  const uint8_t check =
      (flags & kFlagDataDescriptor) != 0 ? uint8_t(modTime >> 8) : uint8_t(crc32 >> 24);
  return header[kEncryptionHeaderSize - 1] == check;
}

int64_t TKMBaseArchiver::PredictOutputSize(int64_t n, const TDirItem& item) const {
  return PredictOutput(n, item);
}

bool TKMBaseArchiver::ReadAcrossVolumes(void* buffer, int64_t count, TKMVolumeNumberInfo& volume) {
  if (count <= 0) return true;
  TStream* stream = dataSource_ ? dataSource_ : archiveStream_.get();
  if (!stream) return false;
  auto* bytes = static_cast<uint8_t*>(buffer);
  int64_t got = ReadFully(*stream, bytes, count);
  while (got < count) {
    // A single file has no next volume, and no set goes past its last one.
    if (spanningMode_ == smNone) return false;
    if (volume.LastVolumeNumber >= 0 && volume.VolumeNumber >= volume.LastVolumeNumber)
      return false;
    volume.SetNumber(volume.VolumeNumber + 1);
    // OpenVolume replaces the archive stream: the old one is gone now.
    dataSource_ = nullptr;
    OpenVolume(volume);
    stream = archiveStream_.get();
    if (!stream) return false;
    dataSource_ = stream;
    stream->SetPosition(0);
    const int64_t n = ReadFully(*stream, bytes + got, count - got);
    if (n <= 0) return false;
    got += n;
  }
  return true;
}

}  // namespace km
