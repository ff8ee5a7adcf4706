#include "support/ByteIO.h"

#include <gtest/gtest.h>

namespace km {
namespace {

TEST(ByteIO, WriterAndReaderRoundTripLittleEndian) {
  ByteWriter w;
  w.U8(0xAB);
  w.U16(0x1234);
  w.U32(0xDEADBEEF);
  w.U64(0x0102030405060708ull);
  w.Bytes(std::string("xyz"));
  const std::vector<uint8_t>& d = w.Data();
  ASSERT_EQ(d.size(), 1u + 2 + 4 + 8 + 3);
  EXPECT_EQ(d[1], 0x34);  // low byte first
  EXPECT_EQ(d[3], 0xEF);

  ByteReader r(d.data(), d.size());
  EXPECT_EQ(r.U8(), 0xAB);
  EXPECT_EQ(r.U16(), 0x1234);
  EXPECT_EQ(r.U32(), 0xDEADBEEFu);
  EXPECT_EQ(r.U64(), 0x0102030405060708ull);
  EXPECT_EQ(r.Bytes(3), "xyz");
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(ByteIO, ReaderFailureIsStickyAndYieldsZeros) {
  const uint8_t data[] = {1, 2, 3};
  ByteReader r(data, sizeof data);
  EXPECT_EQ(r.U16(), 0x0201);
  EXPECT_EQ(r.U32(), 0u);  // only one byte left: fails without consuming it
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.U8(), 0);  // stays failed even though a byte would fit
  EXPECT_EQ(r.Bytes(1), "");
  EXPECT_FALSE(r.Ok());

  // A huge length must not wrap around the bounds check.
  ByteReader big(data, sizeof data);
  big.Skip(1);
  EXPECT_EQ(big.Bytes(SIZE_MAX), "");
  EXPECT_FALSE(big.Ok());
}

}  // namespace
}  // namespace km
