// The random generator, the memory figures and zeroed blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "util/error.hpp"
#include "util/memory.hpp"
#include "util/rand_gen.hpp"
#include "util/zeroed_block.hpp"

TEST(rand_gen, values_in_range) {
  std::srand(7);
  orv::util::rand_gen r(100.0);
  auto five = r.generate(5);
  for (int i = 0; i < 5; ++i) EXPECT_LT(five[i], 100u);
  EXPECT_NE(r.generate(0), nullptr);
  EXPECT_THROW(r.generate(1u << 30), std::bad_alloc);

  // 15 bits per draw, scaled: the full range is reached in steps of 2^17.
  auto many = orv::util::rand_gen(4294967296.0).generate(20000);
  std::uint32_t top = 0;
  for (int i = 0; i < 20000; ++i) top = std::max(top, many[i]);
  EXPECT_GT(top, 4000000000u);
  EXPECT_EQ(top % 131072, 0u);
  EXPECT_THROW(orv::util::rand_gen(-1.0), orv::util::error);
  EXPECT_THROW(orv::util::rand_gen(5e9), orv::util::error);
}

TEST(memory, figures) {
  using namespace orv::inpout::fs;
  std::vector<char> touched(8 << 20, 1);
  const std::int64_t now = process_memory();
  EXPECT_GT(now, std::int64_t{8} << 20);
  EXPECT_GE(process_peak_memory(), now);
  const std::int64_t total = total_ram();
  EXPECT_GT(available_ram(), 0);
  EXPECT_LE(available_ram(), total);
  const std::int64_t expected = std::min<std::int64_t>(total, 2147483647) - now;
  EXPECT_NEAR(static_cast<double>(available_to_process()), static_cast<double>(expected), 16 << 20);
}

// Small blocks from the heap, large ones mapped: both zeroed, aligned, usable
// to their last byte.
TEST(zeroed_block, both_paths) {
  for (std::size_t bytes : {std::size_t{1}, std::size_t{100}, (std::size_t{256} << 10) - 1,
                            std::size_t{256} << 10, (std::size_t{3} << 20) + 5}) {
    orv::util::zeroed_block b(bytes);
    ASSERT_NE(b.data(), nullptr);
    EXPECT_EQ(b.size(), bytes);
    EXPECT_EQ(b.mapped(), bytes >= (std::size_t{256} << 10)) << bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 64, 0u);
    const auto* p = static_cast<const unsigned char*>(b.data());
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
    std::memset(b.data(), 0xab, bytes);
  }
  const orv::util::zeroed_block empty(0);
  EXPECT_EQ(empty.size(), 0u);
}
