// The deflate engine behind CompressEntry: one zlib stream fed a block at a
// time, each block flushed so that its output can be written out at once.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace km {

// Bytes a block's output buffer starts with: the smallest multiple of 256
// not below n + n / 10 + 12. Output that does not fit goes on in a larger
// buffer.
constexpr size_t DeflateBufferSize(size_t n) {
  return (n + n / 10 + 12 + 255) & ~size_t(255);
}

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
  uint8_t* Output() { return out_.data(); }
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
  std::vector<uint8_t> out_;
};

}  // namespace km
