#include "storage/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace orvi {
namespace {

TEST(Crc32Test, GivesTheStandardCheckValue) {
  const char* check = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(Crc32Test, AgreesWithTheBytewiseDefinitionWholeAndPiecewise) {
  // The folded paths agree with the bytewise definition at every length
  // and alignment, short and long (the wide paths start at 64 bytes), and
  // when computed piecewise.
  std::mt19937 rng(3);
  std::vector<uint8_t> buf(9000);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start < 8; ++start) {
    uint32_t c = 0xFFFFFFFFu;
    size_t done = 0;
    for (size_t len = 0; len + start <= buf.size();
         len += len < 300 ? 7 : 1 + rng() % 97) {
      for (; done < len; ++done) {
        c ^= buf[start + done];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      ASSERT_EQ(crc32(buf.data() + start, len), c ^ 0xFFFFFFFFu) << len;
      const size_t cut = len == 0 ? 0 : rng() % len;
      const uint32_t head = crc32_extend(kCrcInit, buf.data() + start, cut);
      ASSERT_EQ(crc32_extend(head, buf.data() + start + cut, len - cut) ^ kCrcInit,
                c ^ 0xFFFFFFFFu)
          << len << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace orvi
