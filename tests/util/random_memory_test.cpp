// The random generator and the memory figures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "util/error.hpp"
#include "util/memory.hpp"
#include "util/rand_gen.hpp"

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
