#include "tools/key_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvi::tools {
namespace {

NodeKey int_key(int64_t v) {
  NodeKey k;
  k.negative = v < 0;
  k.bits = static_cast<uint64_t>(v);
  return k;
}

NodeKey text_key(const std::string& s) {
  NodeKey k;
  k.is_text = true;
  k.text = s;
  return k;
}

// Dense ints go to the array, the rest to the table; both grow many times
// over, and an int key never matches the str of its digits.
TEST(KeyMapTest, KeysOfEveryKindKeepTheirIdsAcrossGrowth) {
  KeyMap map;
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) texts.push_back("n" + std::to_string(i));
  uint64_t id = 1;
  for (int i = 0; i < 20000; ++i) {
    ASSERT_TRUE(map.insert(int_key(i), id++));
    ASSERT_TRUE(map.insert(int_key(-i - 1), id++));
    ASSERT_TRUE(map.insert(int_key(int64_t{1} << 40 | i), id++));
    ASSERT_TRUE(map.insert(text_key(texts[i]), id++));
  }
  EXPECT_EQ(map.size(), 80000u);
  id = 1;
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(map.find(int_key(i)), id++);
    ASSERT_EQ(map.find(int_key(-i - 1)), id++);
    ASSERT_EQ(map.find(int_key(int64_t{1} << 40 | i)), id++);
    ASSERT_EQ(map.find(text_key(texts[i])), id++);
  }
  EXPECT_EQ(map.find(text_key("0")), 0u);
  EXPECT_EQ(map.find(int_key(20000)), 0u);
  EXPECT_FALSE(map.insert(int_key(7), 999));
  EXPECT_FALSE(map.insert(text_key("n7"), 999));
  uint64_t sum = 0, seen = 0;
  map.for_each([&](const NodeKey&, uint64_t v) { sum += v, seen += 1; });
  EXPECT_EQ(seen, 80000u);
  EXPECT_EQ(sum, uint64_t{80000} * 80001 / 2);
}

// A key placed in the table while beyond the array stays found once the
// array has grown past it.
TEST(KeyMapTest, SparseKeyFoundAfterTheArrayCoversIt) {
  KeyMap map;
  ASSERT_TRUE(map.insert(int_key(5000), 1));
  for (int i = 0; i < 6000; ++i) {
    if (i == 5000) continue;
    ASSERT_TRUE(map.insert(int_key(i), i + 2));
  }
  EXPECT_EQ(map.find(int_key(5000)), 1u);
  EXPECT_FALSE(map.insert(int_key(5000), 3));
}

}  // namespace
}  // namespace orvi::tools
