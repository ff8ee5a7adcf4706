// Opens arbitrary bytes as an archive the way OpenArchive does (find the end
// record, then read the directory, rebuilding it from local headers when it
// is damaged) and touches every field of every entry. Shared by the fuzz
// target and the regression test that replays what it found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/CodePage.h"
#include "support/Stream.h"
#include "zipformat/ArchiveContext.h"
#include "zipformat/DirManager.h"

namespace km::fuzz {

// Sums what was read so that nothing can be optimised away; the value itself
// means nothing.
inline uint64_t ListAll(const TKMDirManager& manager) {
  uint64_t sink = uint64_t(manager.StubSize()) + uint64_t(manager.CentralDirOffset()) +
                  manager.ArchiveComment().size() + manager.EndRecord().TotalEntries +
                  (manager.Zip64Present() ? manager.Zip64EndRecord().TotalEntries : 0);
  const TKMDirArray& dir = manager.CurrentDir();
  for (int32_t i = 0; i < dir.Count(); ++i) {
    const TDirItem& item = dir.GetItem(i);
    sink += item.Signature + item.VersionMadeBy + item.VersionNeeded + item.Flags + item.Method +
            item.ModTime + item.ModDate + item.Crc32 + item.CompressedSize + item.UncompressedSize +
            item.NameLength + item.ExtraLength + item.CommentLength + item.DiskNumberStart +
            item.InternalAttr + item.ExternalAttr + item.LocalHeaderOffset +
            uint64_t(item.Zip64UncompressedSize) + uint64_t(item.Zip64CompressedSize) +
            uint64_t(item.Zip64LocalHeaderOffset) + item.Zip64DiskNumberStart + item.Zip64Used;
    sink += platform::WideToUtf8(item.FileName).size() + item.Comment.size();
    for (const TExtraField& field : item.ExtraFields) {
      sink += field.Tag + field.Size;
      for (uint8_t b : field.Data) sink += b;
    }
  }
  return sink;
}

// Opens the bytes as OpenArchive does and hands the read directory to use;
// false when there is no end record (the archiver raises 48 then). Returns
// normally or throws a km::Exception (EKMException, stream errors); anything
// else escaping is a fault of the reader.
template <class Use>
bool OpenArchive(const uint8_t* data, size_t size, bool tolerateDamage, Use&& use) {
  TMemoryStream stream;
  if (size) stream.WriteBuffer(data, int64_t(size));
  stream.SetPosition(0);
  TKMStreamArchiveContext context(&stream);
  context.tolerateDamage = tolerateDamage;
  TKMDirManager manager(&stream, context, false);
  if (!manager.CheckEndRecord()) return false;
  manager.ReadCentralDir();
  use(static_cast<const TKMDirManager&>(manager));
  return true;
}

inline uint64_t OpenAndList(const uint8_t* data, size_t size, bool tolerateDamage) {
  uint64_t sink = 0;
  OpenArchive(data, size, tolerateDamage,
              [&sink](const TKMDirManager& manager) { sink = ListAll(manager); });
  return sink;
}

}  // namespace km::fuzz
