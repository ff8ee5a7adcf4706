#include "archiver/Compress.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <utility>
#include <vector>

#include "archiver/Archiver.h"
#include "platform/CodePage.h"
#include "platform/System.h"
#include "support/Crc32.h"
#include "support/ScopeExit.h"
#include "support/ZipCrypto.h"
#include "zipformat/Zip64Fields.h"

namespace km {

namespace {

// No real source comes near this; below it, a size plus everything deflate
// and the encryption header can add to it stays far inside int64.
constexpr int64_t kMaxSourceSize = std::numeric_limits<int64_t>::max() / 4;

void AddSaturated(int64_t& total, int64_t value) {
  if (value > 0 && total > std::numeric_limits<int64_t>::max() - value)
    total = std::numeric_limits<int64_t>::max();
  else
    total += value;
}

}  // namespace

EKMException TKMBaseArchiver::SourceFileError(std::u16string_view what,
                                              const std::u16string& fileName,
                                              int systemError) const {
  std::u16string text = std::u16string(what) + u" \"" + fileName + u"\"";
  if (systemError != 0) text += u". " + SysErrorMessage(systemError);
  return EKMException::WithText(kmeCannotOpenSource, text, this);
}

EKMException TKMBaseArchiver::ShortRead(TStream& source, const TDirItem& item, int64_t size,
                                        int64_t bytesRead) const {
  const auto* file = dynamic_cast<const TFileStream*>(&source);
  return ShortRead(file ? file->LastError() : 0, item, size, bytesRead);
}

EKMException TKMBaseArchiver::ShortRead(int systemError, const TDirItem& item, int64_t size,
                                        int64_t bytesRead) const {
  if (systemError > 0)
    return SourceFileError(u"Cannot read file", item.SourceFileName, systemError);
  // The end came early: the file was cut short (or rewritten) under us.
  return EKMException::WithText(kmeCompressedSize,
                                u"File \"" + item.SourceFileName +
                                    u"\" changed while being read: " +
                                    KMFormat(u"%d bytes expected, %d read", {size, bytesRead}),
                                this);
}

uint32_t ReadBlockSize(int mode) {
  if (mode >= 1 && mode <= 3) return 0x80000;
  if (mode >= 7 && mode <= 9) return 0x180000;
  return 0x100000;
}

// ---- TBlockDeflater

TBlockDeflater::~TBlockDeflater() {
  End();
}

void TBlockDeflater::Start(int level, bool raw) {
  unfinished_ = false;
  if (open_ && level == level_ && raw == raw_) {
    if (deflateReset(&strm_) == Z_OK) return;
    End();
    throw TKMBaseArchiver::ECompressionError();
  }
  End();
  strm_ = z_stream{};
  // deflateInit's own window and memory level, negated for no wrapper.
  constexpr int kMemLevel = 8;
  if (deflateInit2(&strm_, level, Z_DEFLATED, raw ? -MAX_WBITS : MAX_WBITS, kMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw TKMBaseArchiver::ECompressionError();
  open_ = true;
  level_ = level;
  raw_ = raw;
}

size_t TBlockDeflater::Deflate(const uint8_t* data, size_t n, bool last, size_t initialSize) {
  // zlib counts in 32 bits; blocks are 1.5 MiB at most.
  if (!open_ || n > UINT_MAX / 2) throw TKMBaseArchiver::ECompressionError();
  size_t room = std::max<size_t>(initialSize, 1);
  if (out_.size() < room) out_.resize(room);
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  strm_.next_in = const_cast<Bytef*>(data);
  strm_.avail_in = uInt(n);
  unfinished_ = true;
  size_t produced = 0;
  for (;;) {
    strm_.next_out = out_.data() + produced;
    strm_.avail_out = uInt(room - produced);
    const int result = deflate(&strm_, flush);
    produced = room - strm_.avail_out;
    if (result != Z_OK && result != Z_STREAM_END) throw TKMBaseArchiver::ECompressionError();
    if (last ? result == Z_STREAM_END : strm_.avail_out != 0) break;
    // The block's output filled the buffer and deflate still holds some of
    // it: taking only what fits would cut the entry's data short.
    room *= 2;
    if (room > UINT_MAX) throw TKMBaseArchiver::ECompressionError();
    if (out_.size() < room) out_.resize(room);
  }
  if (last) unfinished_ = false;
  return produced;
}

void TBlockDeflater::Prime(const uint8_t* dictionary, size_t length) {
  if (!open_ || length > kDictionarySize ||
      deflateSetDictionary(&strm_, dictionary, uInt(length)) != Z_OK) {
    End();
    throw TKMBaseArchiver::ECompressionError();
  }
}

size_t DeflateEntryBlock(TBlockDeflater& deflater, int level, const uint8_t* dictionary,
                         size_t dictLength, const uint8_t* data, size_t n, bool last) {
  deflater.Start(level, true);
  if (dictLength > 0) deflater.Prime(dictionary, dictLength);
  return deflater.Deflate(data, n, last, DeflateBufferSize(n));
}

void TBlockDeflater::End() {
  if (open_) deflateEnd(&strm_);
  open_ = false;
  unfinished_ = false;
  level_ = -1;
}

// ---- Entry data: compression

struct TKMBaseArchiver::TDeflateCache {
  TBlockDeflater deflater;
};

void TKMBaseArchiver::TDeflateCacheDeleter::operator()(TDeflateCache* cache) const {
  delete cache;
}

uint32_t TKMBaseArchiver::EncryptionSeed() {
  int64_t counter = 0;
  if (platform::PerformanceCounter(counter)) return uint32_t(counter);
  return platform::TickCount();
}

bool TKMBaseArchiver::WriteBlockWithRetry(TStream& output, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  const int64_t position = output.Position();
  for (;;) {
    if (output.Write(buffer, count) == count) return true;
    bool cancel = true;
    try {
      DoDiskFull(-1, FileName(), cancel);
    } catch (...) {
      // A handler that fails has not asked to go on; retrying would never
      // end if it fails every time.
      cancel = true;
    }
    if (cancel) {
      cancelled_ = true;
      return false;
    }
    // A partial write may have moved the stream: the whole block goes again.
    output.SetPosition(position);
  }
}

bool TKMBaseArchiver::CompressEntry(TStream& source, TStream& output, TDirItem& item) {
  // Read once: a file that grows while it is read must not move the goal
  // (what it had when the entry began is stored).
  int64_t size = 0;
  try {
    source.SetPosition(0);
    size = source.Size();
  } catch (const EStreamError& e) {
    throw SourceFileError(u"Cannot read file", item.SourceFileName, e.SystemError());
  }
  return CompressEntry(&source, nullptr, size, output, item);
}

bool TKMBaseArchiver::CompressEntry(TStream* source, TCompressAhead::TEntry* ahead, int64_t size,
                                    TStream& output, TDirItem& item) {
  if (size < 0 || size > kMaxSourceSize)
    throw EKMException(kmeCompressedSize, {size, int64_t(0)}, this);

  // The method decides both ends of the stream: a stored entry keeps every
  // byte, whatever mode the item carries.
  const bool deflated = item.Method != 0;
  const bool encrypt = !item.Password.empty();
  const int64_t blockSize = ReadBlockSize(item.CompressionMode);
  const auto op = TKMProcessOperation(item.Operation);
  // Kept across entries: zeroing a fresh block for every file costs more
  // than a small file's whole data. Taken out while in use, so that a call
  // from a progress handler gets a buffer of its own.
  std::vector<uint8_t> readBuffer = std::move(readBuffer_);
  ScopeExit giveBack([&] { readBuffer_ = std::move(readBuffer); });
  if (!ahead && readBuffer.size() < size_t(std::min(size, blockSize)))
    readBuffer.resize(size_t(std::min(size, blockSize)));
  // The source bytes before the next block, which it is primed with.
  std::vector<uint8_t> dictionary;

  TBlockDeflater* deflater = nullptr;
  if (deflated && !ahead) {
    if (!deflateCache_) deflateCache_.reset(new TDeflateCache);
    deflater = &deflateCache_->deflater;
  }
  // A stream left in the middle by a failure is ended, not reused.
  struct EndOnFailure {
    TBlockDeflater* deflater;
    bool armed = true;
    ~EndOnFailure() {
      if (armed && deflater) deflater->End();
    }
  } endOnFailure{deflater};

  // The register of the blocks read here; the CRC-32 of those read ahead.
  uint32_t crc = 0xFFFFFFFF;
  uLong aheadCrc = 0;
  int64_t bytesRead = 0;
  int64_t bytesWritten = 0;
  KeySet keys;

  if (encrypt) {
    // The header carries the CRC, so the whole source is read once first.
    while (bytesRead < size) {
      const int64_t n = std::min(blockSize, size - bytesRead);
      if (source->Read(readBuffer.data(), n) != n) break;
      Crc32UpdateInPlace(crc, readBuffer.data(), n);
      bytesRead += n;
    }
    // Going on would record the CRC of part of the source with data that
    // may yet come out whole on the second reading.
    if (bytesRead != size) throw ShortRead(*source, item, size, bytesRead);
    try {
      source->SetPosition(0);
    } catch (const EStreamError& e) {
      throw SourceFileError(u"Cannot read file", item.SourceFileName, e.SystemError());
    }
    bytesWritten += kEncryptionHeaderSize;
    InitKeys(platform::WideToAnsi(item.Password), keys);
    uint8_t header[kEncryptionHeaderSize];
    uint32_t state = EncryptionSeed();
    for (int i = 0; i < 10; ++i) {
      state = state * 134775813u + 1;
      header[i] = uint8_t((uint64_t(state) * 0x7FFFFFFFu) >> 32);
    }
    const uint32_t finalCrc = ~crc;
    header[10] = uint8_t(finalCrc >> 16);
    header[11] = uint8_t(finalCrc >> 24);
    for (uint8_t plain : header) {
      const uint8_t cipher = EncryptByte(keys, plain);
      output.WriteBuffer(&cipher, 1);
    }
    bytesRead = 0;
  }

  fileBytesTotal_ = size;
  bool stopped = false;     // cancelled in this call
  int shortReadError = -1;  // the block's read came up short: the host's error
  for (size_t block = 0; size > bytesRead; ++block) {
    fileBytesDone_ = bytesRead;
    if (progressEnabled_) {
      bool cancel = false;
      DoFileProgress(item.SourceFileName, double(fileBytesDone_) / double(fileBytesTotal_) * 100.0,
                     op, ppProcess, cancel);
      if (cancelled_) {
        stopped = true;
        break;
      }
      cancel = false;
      const double overall = totalBytes_ > 0 ? (double(doneBytes_) + double(fileBytesDone_)) /
                                                   double(totalBytes_) * 100.0
                                             : 50.0;
      DoOverallProgress(overall, op, ppProcess, cancel);
      if (cancelled_) {
        stopped = true;
        break;
      }
    }

    const int64_t n = std::min(blockSize, size - bytesRead);
    const bool last = n == size - bytesRead;
    uint8_t* out = readBuffer.data();
    int64_t length = n;
    if (ahead) {
      const TCompressAhead::TBlock& made = ahead_->Block(ahead, block);
      if (made.shortRead) {
        shortReadError = made.readError;
        break;
      }
      // Read ahead, but cut short since: reading it now would come up short.
      const int64_t now = ahead_->SizeNow(ahead);
      if (now >= 0 && now < bytesRead + n) {
        shortReadError = 0;
        break;
      }
      if (made.error) std::rethrow_exception(made.error);
      // A block is at most 1.5 MiB: its length fits z_off_t on every host.
      aheadCrc = crc32_combine(aheadCrc, made.crc, z_off_t(n));
      // Encrypting changes the bytes in place: the block is the commit's
      // alone by now.
      out = const_cast<uint8_t*>(made.Data());
      length = int64_t(made.length);
    } else {
      if (source->Read(readBuffer.data(), n) != n) {
        shortReadError = source->LastError();
        break;
      }
      if (!encrypt) Crc32UpdateInPlace(crc, readBuffer.data(), n);
      if (deflater) {
        length = int64_t(DeflateEntryBlock(*deflater, item.CompressionMode, dictionary.data(),
                                           dictionary.size(), readBuffer.data(), size_t(n), last));
        out = deflater->Output();
        if (!last) {
          const size_t keep = std::min(size_t(n), kDictionarySize);
          dictionary.assign(readBuffer.begin() + std::ptrdiff_t(size_t(n) - keep),
                            readBuffer.begin() + std::ptrdiff_t(n));
        }
      }
    }
    if (encrypt) EncryptBuffer(keys, out, 0, length);
    bytesRead += n;
    const bool written = WriteBlockWithRetry(output, out, length);
    if (ahead) ahead_->Release(ahead, block);
    if (!written) {
      bytesRead -= n;
      stopped = true;
      break;
    }
    bytesWritten += length;
  }

  AddSaturated(doneBytes_, size);
  // A source that came up short fails its entry alone; the deflate stream it
  // left unfinished is ended on the way out.
  if (bytesRead != size && !stopped) throw ShortRead(shortReadError, item, size, bytesRead);
  endOnFailure.armed = false;
  if (stopped) return false;

  StoreCompressedSize(item, bytesWritten, Zip64Mode() == zmAlways);
  StoreUncompressedSize(item, size, Zip64Mode() == zmAlways);
  item.Crc32 = ahead ? uint32_t(aheadCrc) : ~crc;
  if (item.Zip64Used && Zip64Mode() == zmDisabled)
    throw EKMException(kmeZip64DisabledData, {item.SourceFileName}, this);
  if (size == 0) item.Method = 0;
  return true;
}

}  // namespace km
