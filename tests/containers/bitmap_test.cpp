#include "containers/bitmap.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/error.hpp"

namespace {

using orv::adt::bitmap;
using rows = std::vector<unsigned>;

rows walk(orv::it::Iiterator<unsigned>& it) {
  rows out;
  for (unsigned row; it.next(row);) out.push_back(row);
  return out;
}

std::vector<std::uint32_t> words(const bitmap& m) { return {m.data(), m.data() + m.covering_words()}; }

// Fresh words are zero; a shrink keeps the bits beyond the length while
// push_back writes its own. (Growth by push_back: the iterator test.)
TEST(bitmap, growth_and_shrink) {
  bitmap b;
  b.resize(70);
  EXPECT_EQ(b.capacity(), 96u);
  for (unsigned i = 0; i < 96; ++i) ASSERT_FALSE(b.test(i)) << i;
  EXPECT_EQ(b.reserve(50), 96u);

  b.set(40);
  b.set(41);
  b.resize(40);
  b.push_back(false);
  EXPECT_FALSE(b.test(40));
  b.resize(64);
  EXPECT_TRUE(b.test(41));
}

TEST(bitmap, word_operations) {
  bitmap a, b, c, shorter;
  for (bitmap* m : {&a, &b, &c}) m->resize(40);
  shorter.resize(39);
  for (unsigned i : {3u, 5u, 7u, 33u}) a.set(i);
  a.reset(5);
  b.set(33);
  b.set(39);
  EXPECT_FALSE(a.and_assign(shorter));  // lengths differ: nothing changes
  EXPECT_FALSE(a.or_assign(shorter));
  EXPECT_TRUE(c.or_assign(a));
  EXPECT_TRUE(c.or_assign(b));
  EXPECT_TRUE(a.and_assign(b));
  EXPECT_EQ(words(c), (std::vector<std::uint32_t>{(1u << 3) | (1u << 7), (1u << 1) | (1u << 7)}));
  EXPECT_EQ(words(a), (std::vector<std::uint32_t>{0, 1u << 1}));
  c.clear();
  EXPECT_EQ(words(c), (std::vector<std::uint32_t>{0, 0}));
}

// 2^32 bits cannot be counted in 32 bits: the capacity saturates and the
// bitmap refuses the bit after the last index instead of wrapping around.
// The words come zeroed from the system, so only touched pages cost memory.
TEST(bitmap, full_bitmap_refuses_another_bit) {
  bitmap b;
  b.resize(0xFFFFFFFEu);
  EXPECT_EQ(b.capacity(), 0xFFFFFFFFu);
  b.push_back(true);
  EXPECT_TRUE(b.test(0xFFFFFFFEu));
  std::string what = "no error";
  try {
    b.push_back(true);
  } catch (const orv::util::error& e) {
    what = e.what();
  }
  EXPECT_EQ(what, "bitmap maximum length exceeded.");
  EXPECT_EQ(b.size(), 0xFFFFFFFFu);
}

// The iterator against test() on a mixed pattern, with bits set past the
// length; has_next() moves only after a take, and reset() starts again.
TEST(bitmap_iterator, walks_the_set_bits_below_the_length) {
  bitmap b;
  rows expect;
  unsigned x = 12345;
  for (unsigned i = 0; i < 2000; ++i) {
    x = x * 1103515245u + 12345u;
    const bool bit = ((x >> 16) % 5 == 0 && i < 1200) || (i >= 600 && i < 700) || i % 32 == 0 || i % 32 == 31;
    b.push_back(bit);
    if (bit && i < 1950) expect.push_back(i);
  }
  b.resize(1950);  // inside a word whose bits past the length stay set
  bitmap::Iterator it(b);
  EXPECT_TRUE(it.has_next());
  EXPECT_TRUE(it.has_next());
  EXPECT_EQ(it.take(), 0u);
  EXPECT_TRUE(it.skip());
  EXPECT_EQ(walk(it), rows(expect.begin() + 2, expect.end()));
  EXPECT_TRUE(it.reset());
  EXPECT_EQ(walk(it), expect);

  bitmap none, zeros;
  zeros.resize(100);
  bitmap::Iterator a(none), z(zeros);
  EXPECT_EQ(walk(a), rows{});
  EXPECT_EQ(walk(z), rows{});
}

}  // namespace
