// The deflate engine behind CompressEntry. An entry is deflated in blocks
// (its read block size, 512 KiB to 1.5 MiB), each block a stream of its own
// primed with the 32 KiB of source before it and ended with a sync flush, the
// last one finished: the blocks join into one deflate stream, and since none
// depends on another's compression they can be deflated in any order, on any
// thread, with the same bytes as a result.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archiver/BlockBuffer.h"

namespace km {

// Bytes a block's output buffer starts with: the smallest multiple of 256
// not below n + n / 10 + 12. Output that does not fit goes on in a larger
// buffer.
constexpr size_t DeflateBufferSize(size_t n) {
  return (n + n / 10 + 12 + 255) & ~size_t(255);
}

// The source bytes a block after the first is primed with.
constexpr size_t kDictionarySize = 32768;

class TBlockDeflater {
 public:
  TBlockDeflater() = default;
  ~TBlockDeflater();
  TBlockDeflater(const TBlockDeflater&) = delete;
  TBlockDeflater& operator=(const TBlockDeflater&) = delete;

  // Begins a new zlib-wrapped stream at level, or with raw a bare deflate
  // stream (the same deflate bytes, without the 2-byte header and the
  // Adler-32 trailer, which then is never computed). An open stream of the
  // same level and kind is reset, which gives the same bytes as a fresh one
  // and saves its set-up; otherwise it is opened anew. Throws the
  // compression error.
  void Start(int level, bool raw = false);
  // Deflates n bytes as the stream's next block: finished when last, else
  // ended with a sync flush. Output goes to a buffer of initialSize bytes
  // first and continues in a larger one when the block needs more. Returns
  // the length of the block's output at Output(), valid until the next call.
  size_t Deflate(const uint8_t* data, size_t n, bool last, size_t initialSize);
  // Primes a started stream with the bytes that come before its data.
  void Prime(const uint8_t* dictionary, size_t length);
  uint8_t* Output() { return out_.data(); }
  // Exchanges the output buffer with buffer (a caller that keeps a block's
  // output lends the deflater a buffer and takes it back with the output).
  void SwapOutput(TBlockBuffer& buffer) { out_.swap(buffer); }
  // The stream took data and has not been finished: closing it now would
  // report a data error.
  bool Unfinished() const { return unfinished_; }
  // Ends the stream (a later Start opens a new one).
  void End();

 private:
  z_stream strm_{};
  bool open_ = false;
  bool unfinished_ = false;
  int level_ = -1;
  bool raw_ = false;
  TBlockBuffer out_;
};

// Deflates one block of an entry as a raw stream at level: primed with the
// dictLength bytes before it (none for the first block), ended with a sync
// flush, or finished when last. Returns the output's length at
// deflater.Output().
size_t DeflateEntryBlock(TBlockDeflater& deflater, int level, const uint8_t* dictionary,
                         size_t dictLength, const uint8_t* data, size_t n, bool last);

}  // namespace km
