#include "containers/bitmap.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <new>
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

TEST(bitmap, resize_rounds_capacity_to_words_and_starts_clear) {
  bitmap b;
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_EQ(b.resize(70), 70u);
  EXPECT_EQ(b.capacity(), 96u);
  for (unsigned i = 0; i < 96; ++i) EXPECT_FALSE(b.test(i)) << i;
  EXPECT_EQ(b.reserve(50), 96u);  // never shrinks
}

TEST(bitmap, push_back_grows_by_half_or_at_least_one_word) {
  bitmap b;
  for (int i = 0; i < 32; ++i) b.push_back(i % 3 == 0);
  EXPECT_EQ(b.capacity(), 32u);
  b.push_back(true);
  EXPECT_EQ(b.capacity(), 64u);  // max(16, 32)
  for (int i = 33; i < 64; ++i) b.push_back(false);
  b.push_back(false);
  EXPECT_EQ(b.capacity(), 96u);  // max(32, 32)
  for (int i = 65; i < 96; ++i) b.push_back(false);
  b.push_back(true);
  EXPECT_EQ(b.capacity(), 160u);  // 96 + 48, rounded to words
  EXPECT_EQ(b.size(), 97u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(b.test(i), i % 3 == 0) << i;
  EXPECT_TRUE(b.test(32));
  EXPECT_TRUE(b.get(96));
  EXPECT_FALSE(b.test(95));
}

TEST(bitmap, push_back_false_after_shrink_reads_false) {
  bitmap b;
  b.resize(64);
  b.set(40);
  b.set(41);
  b.resize(40);
  b.push_back(false);
  EXPECT_FALSE(b.test(40));
  // resize upward shows kept bits again
  b.resize(64);
  EXPECT_TRUE(b.test(41));
}

TEST(bitmap, set_and_reset_touch_one_bit) {
  bitmap b;
  b.resize(32);
  b.set(3);
  b.set(5);
  b.set(7);
  b.reset(5);
  EXPECT_TRUE(b.test(3));
  EXPECT_FALSE(b.test(5));
  EXPECT_TRUE(b.test(7));
  EXPECT_EQ(b.data()[0], (1u << 3) | (1u << 7));
}

TEST(bitmap, and_or_clear_work_on_covering_words) {
  bitmap a, b, shorter;
  a.resize(40);
  b.resize(40);
  shorter.resize(39);
  a.set(1);
  a.set(33);
  b.set(33);
  b.set(39);
  shorter.set(1);

  EXPECT_FALSE(a.and_assign(shorter));
  EXPECT_FALSE(a.or_assign(shorter));
  EXPECT_TRUE(a.test(1));
  EXPECT_TRUE(shorter.test(1));

  bitmap c;
  c.resize(40);
  EXPECT_TRUE(c.or_assign(a));
  EXPECT_TRUE(c.or_assign(b));
  EXPECT_EQ(c.data()[0], 1u << 1);
  EXPECT_EQ(c.data()[1], (1u << 1) | (1u << 7));

  EXPECT_TRUE(a.and_assign(b));
  EXPECT_FALSE(a.test(1));
  EXPECT_TRUE(a.test(33));
  EXPECT_FALSE(a.test(39));

  c.clear();
  EXPECT_EQ(c.data()[0], 0u);
  EXPECT_EQ(c.data()[1], 0u);
  EXPECT_EQ(c.size(), 40u);

  bitmap empty1, empty2;
  EXPECT_TRUE(empty1.and_assign(empty2));
  empty1.clear();
}

TEST(bitmap, reserve_keeps_bits_when_reallocating) {
  bitmap b;
  b.resize(64);
  b.set(0);
  b.set(63);
  b.reserve(1000);
  EXPECT_EQ(b.capacity(), 1024u);
  EXPECT_TRUE(b.test(0));
  EXPECT_TRUE(b.test(63));
  for (unsigned i = 64; i < 1024; ++i) ASSERT_FALSE(b.test(i)) << i;
}

// 2^32 bits cannot be counted in 32 bits: the capacity saturates and the
// bitmap refuses the bit after the last index instead of wrapping around.
// calloc keeps this cheap: only the touched pages are committed.
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

TEST(bitmap_iterator, yields_set_bits_in_order_within_covering_words) {
  bitmap b;
  b.reserve(96);
  b.resize(64);
  for (unsigned i : {0u, 31u, 32u, 63u}) b.set(i);
  b.set(70);  // beyond the length, in a third word: must not be seen
  bitmap::Iterator it(b);
  EXPECT_EQ(walk(it), (std::vector<unsigned>{0, 31, 32, 63}));
  EXPECT_FALSE(it.has_next());
  EXPECT_FALSE(it.has_next());
}

TEST(bitmap_iterator, skips_zero_words_and_ends_on_last_bit_of_last_word) {
  bitmap b;
  b.resize(32 * 5);
  b.set(5);
  b.set(32 * 4 + 31);
  std::unique_ptr<orv::it::Iiterator<unsigned>> it = std::make_unique<bitmap::Iterator>(b);
  EXPECT_EQ(walk(*it), (std::vector<unsigned>{5, 32 * 4 + 31}));
  EXPECT_EQ(it->count(), -1);
}

TEST(bitmap_iterator, empty_bitmaps_yield_nothing) {
  bitmap none;
  bitmap::Iterator a(none);
  EXPECT_FALSE(a.has_next());
  unsigned row = 7;
  EXPECT_FALSE(a.next(row));
  EXPECT_EQ(row, 7u);

  bitmap zeros;
  zeros.resize(100);
  bitmap::Iterator b(zeros);
  EXPECT_TRUE(walk(b).empty());
}

TEST(bitmap_iterator, has_next_is_idempotent_until_take_and_reset_restarts) {
  bitmap b;
  b.resize(40);
  b.set(2);
  b.set(3);
  b.set(39);
  bitmap::Iterator it(b);
  EXPECT_TRUE(it.has_next());
  EXPECT_TRUE(it.has_next());
  EXPECT_EQ(it.take(), 2u);
  EXPECT_TRUE(it.skip());  // drops 3
  unsigned row;
  EXPECT_TRUE(it.fetch(row));
  EXPECT_EQ(row, 39u);
  EXPECT_FALSE(it.skip());
  EXPECT_TRUE(it.reset());
  EXPECT_EQ(walk(it), (std::vector<unsigned>{2, 3, 39}));
  EXPECT_TRUE(it.reset());
  EXPECT_EQ(walk(it), (std::vector<unsigned>{2, 3, 39}));
}

TEST(bitmap_iterator, matches_test_on_a_dense_random_pattern) {
  bitmap b;
  std::vector<unsigned> expect;
  unsigned x = 12345;
  for (unsigned i = 0; i < 2000; ++i) {
    x = x * 1103515245u + 12345u;
    const bool bit = (x >> 16) % 5 == 0 || (i >= 600 && i < 700);
    b.push_back(bit);
    if (bit) expect.push_back(i);
  }
  bitmap::Iterator it(b);
  EXPECT_EQ(walk(it), expect);
}

}  // namespace
