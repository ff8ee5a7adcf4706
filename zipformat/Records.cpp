#include "zipformat/Records.h"

namespace km {

void EncodeEndOfCentralDir(const TEndOfCentralDir& record, ByteWriter& out) {
  out.U32(record.Signature);
  out.U16(record.ThisVolume);
  out.U16(record.DirStartVolume);
  out.U16(record.EntriesOnVolume);
  out.U16(record.TotalEntries);
  out.U32(record.DirSize);
  out.U32(record.DirOffset);
  out.U16(record.CommentLength);
}

std::vector<uint8_t> EncodeEndOfCentralDir(const TEndOfCentralDir& record) {
  ByteWriter out;
  EncodeEndOfCentralDir(record, out);
  return out.Data();
}

bool DecodeEndOfCentralDir(ByteReader& in, TEndOfCentralDir& record) {
  // Check the length first so that a short buffer leaves record untouched.
  if (in.Remaining() < TEndOfCentralDir::kSize) {
    in.Skip(TEndOfCentralDir::kSize);
    return false;
  }
  TEndOfCentralDir r;
  r.Signature = in.U32();
  r.ThisVolume = in.U16();
  r.DirStartVolume = in.U16();
  r.EntriesOnVolume = in.U16();
  r.TotalEntries = in.U16();
  r.DirSize = in.U32();
  r.DirOffset = in.U32();
  r.CommentLength = in.U16();
  if (!in.Ok()) return false;
  record = r;
  return true;
}

}  // namespace km
