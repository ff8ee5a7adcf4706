// One abstract byte stream with 64-bit positions, and its file, memory and
// null implementations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"
#include "support/Exceptions.h"

namespace km {

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Bytes transferred (fewer at the end of the data or on a full disk).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // The new position; throws EStreamError when the stream cannot seek there.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  // Truncates or extends; throws EStreamError on failure.
  virtual void SetSize(int64_t size) = 0;
  // The host error of the last failed read or write, 0 when none is known.
  virtual int LastError() const { return 0; }

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }

  // Whole transfers: EReadError / EWriteError when fewer bytes move.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position; count 0 copies the whole
  // source from its start. Returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// Open modes of a file stream: one access value or'ed with one share value,
// or fmCreate alone. fmShareCompat denies others every access, as it does
// on Windows.
inline constexpr uint16_t fmCreate = 0xFFFF;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

class TFileStream : public TStream {
 public:
  // fmCreate creates or truncates (read/write, writes denied to others).
  // Throws EFCreateError / EFOpenError with the file name in the message.
  TFileStream(const std::u16string& fileName, uint16_t mode);
  // fmCreate with the bytes the new file holds as soon as it can be seen.
  TFileStream(const std::u16string& fileName, uint16_t mode, std::string_view initial);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;
  // Flushes the written data to the disk; false on failure.
  bool Flush();
  const std::u16string& FileName() const { return fileName_; }
  platform::File& Handle() { return file_; }
  // The host error of the last failed read or write (Read and Write then
  // return 0).
  int LastError() const override { return file_.LastError(); }

 private:
  std::u16string fileName_;
  platform::File file_;
};

class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return int64_t(data_.size()); }
  void SetSize(int64_t size) override;

  void Clear();
  const uint8_t* Memory() const { return data_.data(); }
  uint8_t* Memory() { return data_.data(); }
  const std::vector<uint8_t>& Bytes() const { return data_; }
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& target);

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// Accepts and discards every write; reads report the full count and leave
// the buffer untouched; every seek returns 0; setting the size does nothing.
class TNullStream : public TStream {
 public:
  int64_t Read(void*, int64_t count) override { return count; }
  int64_t Write(const void*, int64_t count) override { return count; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int64_t Size() override { return 0; }
  void SetSize(int64_t) override {}
};

}  // namespace km
