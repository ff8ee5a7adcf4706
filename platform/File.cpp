// What an open file is on every host: a handle that moves and closes with
// its owner. Opening, reading and writing are each backend's own.
#include "platform/File.h"

namespace km::platform {

File::~File() {
  Close();
}

File::File(File&& other) noexcept
    : handle_(other.handle_),
      lastError_(other.lastError_),
      position_(other.position_),
      seekPending_(other.seekPending_) {
  other.handle_ = -1;
  other.position_ = -1;
  other.seekPending_ = false;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    lastError_ = other.lastError_;
    position_ = other.position_;
    seekPending_ = other.seekPending_;
    other.handle_ = -1;
    other.position_ = -1;
    other.seekPending_ = false;
  }
  return *this;
}

}  // namespace km::platform
