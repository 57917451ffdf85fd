#include "containers/bitmap.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "util/error.hpp"

namespace {

using orv::adt::bitmap;

std::vector<unsigned> walk(orv::it::Iiterator<unsigned>& it) {
  std::vector<unsigned> out;
  unsigned row;
  while (it.next(row)) out.push_back(row);
  return out;
}

TEST(bitmap, growth_rounds_to_words_and_keeps_bits) {
  bitmap b;
  EXPECT_EQ(b.resize(70), 70u);
  EXPECT_EQ(b.capacity(), 96u);
  for (unsigned i = 0; i < 96; ++i) ASSERT_FALSE(b.test(i)) << i;
  EXPECT_EQ(b.reserve(50), 96u);

  bitmap p;
  for (int i = 0; i < 32; ++i) p.push_back(i % 3 == 0);
  EXPECT_EQ(p.capacity(), 32u);
  p.push_back(true);
  EXPECT_EQ(p.capacity(), 64u);  // max(16, 32)
  while (p.size() < 96) p.push_back(false);
  p.push_back(true);
  EXPECT_EQ(p.capacity(), 160u);  // 96 + 48, rounded to words
  for (int i = 0; i < 32; ++i) EXPECT_EQ(p.test(i), i % 3 == 0) << i;
  EXPECT_TRUE(p.get(32));
  EXPECT_FALSE(p.test(95));
  EXPECT_TRUE(p.test(96));
}

TEST(bitmap, push_back_false_after_shrink_reads_false) {
  bitmap b;
  b.resize(64);
  b.set(40);
  b.set(41);
  b.resize(40);
  b.push_back(false);
  EXPECT_FALSE(b.test(40));
  b.resize(64);  // a shrink keeps the bits beyond the length
  EXPECT_TRUE(b.test(41));
}

TEST(bitmap, word_operations) {
  bitmap a, b, c, shorter;
  for (bitmap* m : {&a, &b, &c}) m->resize(40);
  shorter.resize(39);
  for (unsigned i : {3u, 5u, 7u, 33u}) a.set(i);
  a.reset(5);
  EXPECT_EQ(a.data()[0], (1u << 3) | (1u << 7));
  b.set(33);
  b.set(39);

  EXPECT_FALSE(a.and_assign(shorter));
  EXPECT_FALSE(a.or_assign(shorter));
  EXPECT_TRUE(a.test(3));

  EXPECT_TRUE(c.or_assign(a));
  EXPECT_TRUE(c.or_assign(b));
  EXPECT_EQ(c.data()[1], (1u << 1) | (1u << 7));
  EXPECT_TRUE(a.and_assign(b));
  EXPECT_EQ(a.data()[0], 0u);
  EXPECT_EQ(a.data()[1], 1u << 1);

  c.clear();
  EXPECT_EQ(c.data()[0] | c.data()[1], 0u);
  EXPECT_EQ(c.size(), 40u);
  bitmap none1, none2;
  EXPECT_TRUE(none1.and_assign(none2));
  none1.clear();
}

// 2^32 bits cannot be counted in 32 bits: the capacity saturates and the
// bitmap refuses the bit after the last index instead of wrapping around.
// The words come zeroed from the system, so only touched pages cost memory.
TEST(bitmap, full_bitmap_refuses_another_bit) {
  bitmap b;
  b.resize(0xFFFFFFFEu);
  EXPECT_EQ(b.capacity(), 0xFFFFFFFFu);
  b.push_back(true);
  EXPECT_EQ(b.size(), 0xFFFFFFFFu);
  EXPECT_TRUE(b.test(0xFFFFFFFEu));
  try {
    b.push_back(true);
    FAIL() << "no error";
  } catch (const orv::util::error& e) {
    EXPECT_STREQ(e.what(), "bitmap maximum length exceeded.");
  }
  EXPECT_EQ(b.size(), 0xFFFFFFFFu);
}

TEST(bitmap_iterator, stops_at_the_covering_words) {
  bitmap b;
  b.reserve(96);
  b.resize(64);
  for (unsigned i : {0u, 31u, 32u, 63u, 70u}) b.set(i);  // 70 is past the length
  bitmap::Iterator it(b);
  EXPECT_EQ(walk(it), (std::vector<unsigned>{0, 31, 32, 63}));
  EXPECT_FALSE(it.has_next());
  EXPECT_EQ(it.count(), -1);

  bitmap none, zeros;
  zeros.resize(100);
  bitmap::Iterator a(none), z(zeros);
  unsigned row = 7;
  EXPECT_FALSE(a.next(row));
  EXPECT_EQ(row, 7u);
  EXPECT_TRUE(walk(z).empty());
}

TEST(bitmap_iterator, has_next_is_idempotent_until_take_and_reset_restarts) {
  bitmap b;
  b.resize(32 * 5);
  for (unsigned i : {2u, 3u, 32u * 4 + 31}) b.set(i);
  bitmap::Iterator it(b);
  EXPECT_TRUE(it.has_next());
  EXPECT_TRUE(it.has_next());
  EXPECT_EQ(it.take(), 2u);
  EXPECT_TRUE(it.skip());
  unsigned row;
  EXPECT_TRUE(it.fetch(row));
  EXPECT_EQ(row, 32u * 4 + 31);
  EXPECT_FALSE(it.skip());
  EXPECT_FALSE(it.has_next());
  EXPECT_TRUE(it.reset());
  EXPECT_EQ(walk(it), (std::vector<unsigned>{2, 3, 32 * 4 + 31}));
}

TEST(bitmap_iterator, agrees_with_test_on_a_mixed_pattern) {
  bitmap b;
  std::vector<unsigned> expect;
  unsigned x = 12345;
  for (unsigned i = 0; i < 2000; ++i) {
    x = x * 1103515245u + 12345u;
    const bool bit = ((x >> 16) % 5 == 0 && i < 1200) || (i >= 600 && i < 700);
    b.push_back(bit);
    if (bit) expect.push_back(i);
  }
  bitmap::Iterator it(b);
  EXPECT_EQ(walk(it), expect);
}

}  // namespace
