#include "support/Crc32.h"
#include "support/Crc32c.h"

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

namespace km {
namespace {

// Bit by bit, straight from the polynomial: what both the table and the
// processor's instruction must agree with.
uint32_t BitwiseCrc32c(uint32_t crc, const uint8_t* p, size_t n) {
  while (n--) {
    crc ^= *p++;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? 0x82F63B78u ^ (crc >> 1) : crc >> 1;
  }
  return crc;
}

TEST(Crc32c, KnownValuesAndAnySplitOfTheInput) {
  const auto whole = [](const std::string& bytes) {
    return Crc32cUpdate(0xFFFFFFFFu, bytes.data(), int64_t(bytes.size())) ^ 0xFFFFFFFFu;
  };
  EXPECT_EQ(whole("123456789"), 0xE3069283u);
  EXPECT_EQ(whole(std::string(32, '\0')), 0x8A9136AAu);
  EXPECT_EQ(whole(std::string(32, '\xFF')), 0x62A8AB43u);
  std::string ascending(32, '\0');
  for (size_t i = 0; i < 32; ++i) ascending[i] = char(i);
  EXPECT_EQ(whole(ascending), 0x46DD794Eu);
  EXPECT_EQ(Crc32cUpdate(0x12345678u, nullptr, 5), 0x12345678u);

  std::string noise(5000, '\0');
  uint32_t seed = 7;
  for (char& c : noise) c = char((seed = seed * 1103515245u + 12345u) >> 16);
  const auto* bytes = reinterpret_cast<const uint8_t*>(noise.data());
  const uint32_t reference = BitwiseCrc32c(0xFFFFFFFFu, bytes, noise.size());
  EXPECT_EQ(Crc32cUpdate(0xFFFFFFFFu, bytes, int64_t(noise.size())), reference);
  EXPECT_EQ(Crc32cUpdateByTable(0xFFFFFFFFu, bytes, int64_t(noise.size())), reference);
  // Pieces starting at every alignment, with every short tail.
  for (size_t first : {size_t(1), size_t(3), size_t(7), size_t(8), size_t(13), size_t(4093)}) {
    uint32_t crc = Crc32cUpdate(0xFFFFFFFFu, bytes, int64_t(first));
    crc = Crc32cUpdate(crc, bytes + first, int64_t(noise.size() - first));
    EXPECT_EQ(crc, reference) << first;
  }
}

}  // namespace
}  // namespace km
