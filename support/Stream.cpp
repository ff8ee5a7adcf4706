#include "support/Stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/FileSystem.h"

namespace km {

namespace {

constexpr int64_t kCopyChunk = int64_t(1) << 20;

// base + offset, or throws when the sum leaves the int64 range or is negative.
int64_t SeekTarget(int64_t base, int64_t offset) {
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0)
    throw EStreamError(u"Invalid stream position");
  return target;
}

}  // namespace

// ---------------------------------------------------------------- TStream

int64_t TStream::Size() {
  int64_t position = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count == 0) return;
  if (count < 0 || Read(buffer, count) != count) throw EReadError(u"Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count == 0) return;
  if (count < 0 || Write(buffer, count) != count) {
    const int error = count < 0 ? 0 : LastError();
    throw EWriteError(u"Stream write error" + (error ? u". " + SysErrorMessage(error) : u""),
                      error);
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count < 0) throw EStreamError(u"Invalid stream copy count");
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count == 0) return 0;
  std::vector<uint8_t> buffer(size_t(std::min(count, kCopyChunk)));
  for (int64_t left = count; left > 0;) {
    int64_t n = std::min(left, kCopyChunk);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

// ------------------------------------------------------------ TFileStream

TFileStream::TFileStream(const std::u16string& fileName, uint16_t mode)
    : TFileStream(fileName, mode, {}) {}

TFileStream::TFileStream(const std::u16string& fileName, uint16_t mode, std::string_view initial)
    : fileName_(fileName) {
  using namespace km::platform;
  if (mode == fmCreate) {
    int err = file_.Open(fileName, FileAccess::ReadWrite, FileShare::DenyWrite,
                         FileDisposition::CreateAlways, initial);
    if (err != 0)
      throw EFCreateError(u"Cannot create file \"" + fileName + u"\". " + SysErrorMessage(err));
    return;
  }
  // Access in the low nibble, sharing in the next one; "compatible" sharing
  // is exclusive, as it is for the Windows file functions.
  static constexpr FileShare kShares[] = {FileShare::Exclusive, FileShare::Exclusive,
                                          FileShare::DenyWrite, FileShare::DenyRead,
                                          FileShare::DenyNone};
  unsigned accessBits = mode & 0x0F;
  unsigned shareBits = (mode & 0xF0) >> 4;
  if (accessBits > 2 || shareBits > 4 || (mode & 0xFF00) != 0)
    throw EFOpenError(u"Cannot open file \"" + fileName + u"\". " +
                      SysErrorMessage(kErrorInvalidParameter));
  static constexpr FileAccess kAccesses[] = {FileAccess::Read, FileAccess::Write,
                                             FileAccess::ReadWrite};
  int err = file_.Open(fileName, kAccesses[accessBits], kShares[shareBits],
                       FileDisposition::OpenExisting);
  if (err != 0)
    throw EFOpenError(u"Cannot open file \"" + fileName + u"\". " + SysErrorMessage(err), err);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  return std::max<int64_t>(file_.Read(buffer, count), 0);
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  return std::max<int64_t>(file_.Write(buffer, count), 0);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == soCurrent) {
    base = file_.Position();
    if (offset == 0 && base >= 0) return base;
  } else if (origin == soEnd) {
    base = file_.Size();
  }
  if (base < 0)
    throw EStreamError(u"Stream seek error. " + SysErrorMessage(file_.LastError()),
                       file_.LastError());
  int64_t target = SeekTarget(base, offset);
  if (!file_.Seek(target))
    throw EStreamError(u"Stream seek error. " + SysErrorMessage(file_.LastError()),
                       file_.LastError());
  return target;
}

int64_t TFileStream::Size() {
  int64_t size = file_.Size();
  if (size < 0)
    throw EStreamError(u"Stream size error. " + SysErrorMessage(file_.LastError()),
                       file_.LastError());
  return size;
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError(u"Invalid stream size");
  if (!file_.SetSize(size))
    throw EStreamError(u"Stream size error. " + SysErrorMessage(file_.LastError()));
}

bool TFileStream::Flush() {
  return file_.Flush();
}

// ---------------------------------------------------------- TMemoryStream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end;
  if (__builtin_add_overflow(position_, count, &end)) return 0;
  if (end > Size()) {
    // resize() grows the capacity geometrically, so appending in small pieces
    // stays linear; a gap left by a seek past the end is zero-filled.
    if (uint64_t(end) > data_.max_size()) return 0;
    try {
      data_.resize(size_t(end));
    } catch (const std::bad_alloc&) {
      return 0;
    } catch (const std::length_error&) {
      return 0;
    }
  }
  std::memcpy(data_.data() + position_, buffer, size_t(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
  position_ = SeekTarget(base, offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError(u"Invalid stream size");
  if (uint64_t(size) > data_.max_size())
    throw EStreamError(u"Out of memory while expanding memory stream");
  try {
    data_.resize(size_t(size));
  } catch (const std::bad_alloc&) {
    throw EStreamError(u"Out of memory while expanding memory stream");
  } catch (const std::length_error&) {
    throw EStreamError(u"Out of memory while expanding memory stream");
  }
}

void TMemoryStream::Clear() {
  std::vector<uint8_t>().swap(data_);
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t count = source.Size();
  SetSize(count);
  position_ = 0;
  source.ReadBuffer(data_.data(), count);
}

void TMemoryStream::SaveToStream(TStream& target) {
  target.WriteBuffer(data_.data(), Size());
}

}  // namespace km
