// An open host file. Share modes follow Windows: a handle that denies writes
// to others takes an exclusive advisory lock on POSIX, a handle with write
// access takes a shared one, so a second writer (in this or another process)
// that asks to deny writes fails with kErrorSharingViolation. Denying reads
// cannot be enforced on POSIX and is treated as denying writes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace km::platform {

enum class FileAccess : uint8_t { Read, Write, ReadWrite };
enum class FileShare : uint8_t { DenyNone, DenyWrite, DenyRead, Exclusive };
enum class FileDisposition : uint8_t {
  OpenExisting,  // fail when missing
  CreateAlways,  // create or truncate
  CreateNew,     // fail when it exists
  OpenAlways     // open, or create when missing
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // 0 on success or an error code. Never opens FIFOs, sockets or devices
  // (kErrorAccessDenied), and never blocks.
  // With CreateAlways or CreateNew, initial is what the new file holds from
  // the moment it can be seen under its name (where the host allows).
  int Open(const std::u16string& path, FileAccess access, FileShare share,
           FileDisposition disposition, std::string_view initial = {});
  bool IsOpen() const { return handle_ >= 0; }
  void Close();

  // Bytes transferred, or -1 on error (then LastError() tells why). A write
  // that finds the disk full returns what it took.
  int64_t Read(void* buffer, int64_t count);
  int64_t Write(const void* buffer, int64_t count);
  // Absolute position; false on error.
  bool Seek(int64_t position);
  int64_t Position() const;  // -1 on error
  int64_t Size() const;      // -1 on error
  // What tells the open file from every other (as IdentityOf does for a
  // path); false on error.
  bool Identity(uint64_t& device, uint64_t& file) const;
  bool SetSize(int64_t size);  // truncate or extend; the position is kept
  bool Flush();
  // A shared lock besides the share mode: it keeps out a handle that denies
  // writes (an archive being rewritten) and lets others like it in. False
  // (kErrorSharingViolation) while such a handle is open.
  bool LockShared();
  int LastError() const { return lastError_; }

  // Copies count bytes from `from` at fromOffset to `to` at toOffset inside
  // the kernel where it can (cloning where the file system can), else
  // through a buffer. Neither position moves. Returns the bytes copied:
  // fewer on failure, and then the failing file's LastError tells why.
  friend int64_t CopyRange(File& from, int64_t fromOffset, File& to, int64_t toOffset,
                           int64_t count);
  friend bool VisitRange(File& file, int64_t offset, int64_t count,
                         const std::function<void(const uint8_t* bytes, int64_t size)>& visit);

 private:
  // Moves the handle to a position a seek noted; false (LastError set) when
  // it cannot.
  bool MovePending();

  intptr_t handle_ = -1;
  int lastError_ = 0;
  // Where the handle stands, as far as this object moved it; -1 when not
  // known (asked of the host then). A seek only notes the new position, and
  // the next read or write moves the handle there: asking for the position,
  // and the seeks in a row that reading a record's parts makes, cost the
  // host no call.
  mutable int64_t position_ = -1;
  bool seekPending_ = false;
};

int64_t CopyRange(File& from, int64_t fromOffset, File& to, int64_t toOffset, int64_t count);

// Hands the count bytes of file from offset on to visit, a piece at a time,
// without copying them out of the system's cache where the host can map
// them. False (LastError set) when they cannot all be read.
bool VisitRange(File& file, int64_t offset, int64_t count,
                const std::function<void(const uint8_t* bytes, int64_t size)>& visit);

}  // namespace km::platform
