#include "support/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace km {
namespace {

TEST(Crc32, KnownValuesAndEmptyInput) {
  const char check[] = "123456789";
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, check, 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, check, 0) ^ 0xFFFFFFFFu, 0u);
  EXPECT_EQ(Crc32Table[0], 0u);
  EXPECT_EQ(Crc32Table[1], 0x77073096u);
  EXPECT_EQ(Crc32Table[128], 0xEDB88320u);
  EXPECT_EQ(Crc32Table[255], 0x2D02EF8Du);

  EXPECT_EQ(Crc32Update(0x12345678u, check, 0), 0x12345678u);
  EXPECT_EQ(Crc32Update(0x12345678u, check, -5), 0x12345678u);
  EXPECT_EQ(Crc32Update(0x12345678u, nullptr, 9), 0x12345678u);

  uint32_t crc = 0xFFFFFFFFu;
  Crc32UpdateInPlace(crc, check, 4);
  Crc32UpdateInPlace(crc, check + 4, 5);
  EXPECT_EQ(crc ^ 0xFFFFFFFFu, 0xCBF43926u);
}

TEST(Crc32, AgreesWithZlibOnRandomBuffers) {
  std::mt19937 rng(2024);
  std::vector<uint8_t> data(70000 + 64);
  for (auto& b : data) b = uint8_t(rng());
  for (int round = 0; round < 400; ++round) {
    // Random start offsets exercise unaligned loads; lengths cover the byte
    // tail, exact multiples of the 16-byte step and long runs.
    size_t offset = rng() % 64;
    size_t length = round < 64 ? size_t(round) : rng() % 70000;
    const uint8_t* p = data.data() + offset;
    uint32_t expected = uint32_t(crc32(0, p, uInt(length)));
    ASSERT_EQ(Crc32Update(0xFFFFFFFFu, p, int64_t(length)) ^ 0xFFFFFFFFu, expected)
        << "offset " << offset << " length " << length;
    // Any starting register, not just the usual one, against the byte step.
    uint32_t start = uint32_t(rng());
    uint32_t slow = start;
    for (size_t k = 0; k < std::min<size_t>(length, 2000); ++k) slow = Crc32Byte(slow, p[k]);
    ASSERT_EQ(Crc32Update(start, p, int64_t(std::min<size_t>(length, 2000))), slow);
    // Split anywhere, the running register gives the same result.
    size_t split = length ? rng() % length : 0;
    uint32_t crc = Crc32Update(0xFFFFFFFFu, p, int64_t(split));
    crc = Crc32Update(crc, p + split, int64_t(length - split));
    ASSERT_EQ(crc ^ 0xFFFFFFFFu, expected);
  }
}

}  // namespace
}  // namespace km
