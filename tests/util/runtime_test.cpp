// The huge-page heap, the parallel loops and the random generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/error.hpp"
#include "util/heap.hpp"
#include "util/parallel.hpp"
#include "util/rand_gen.hpp"

namespace {

// Whether some heap mapping of this process carries the huge-page advice.
bool heap_advised() {
  std::ifstream in("/proc/self/smaps");
  const std::string maps((std::istreambuf_iterator<char>(in)), {});
  for (std::size_t at = maps.find("[heap]"); at != std::string::npos; at = maps.find("[heap]", at + 1)) {
    const std::size_t flags = maps.find("VmFlags:", at);
    if (flags == std::string::npos) break;
    if (maps.substr(flags, maps.find('\n', flags) - flags).find(" hg") != std::string::npos) return true;
  }
  return false;
}

TEST(heap, huge_page_advice_and_every_size_still_served) {
  EXPECT_FALSE(orv::util::use_huge_page_heap(0));
  EXPECT_FALSE(orv::util::use_huge_page_heap(std::size_t{1} << 40));
  // Without huge-page support (or under a sanitizer's allocator) the call may
  // decline; when it accepts, the advice must be there.
  if (orv::util::use_huge_page_heap(std::size_t{64} << 20)) {
    EXPECT_TRUE(heap_advised());
  }
  std::vector<char*> blocks;  // small, medium and beyond the pad
  for (std::size_t bytes : {std::size_t{16}, std::size_t{300} << 10, std::size_t{40} << 20, std::size_t{100} << 20}) {
    char* p = static_cast<char*>(std::malloc(bytes));
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, bytes);
    EXPECT_EQ(p[bytes - 1], 1);
    blocks.push_back(p);
  }
  for (char* p : blocks) std::free(p);
}

// Every task runs once at any thread count; the failure reported is the one
// a one-thread run meets first, and every task below it has run.
TEST(parallel_for, every_task_once_and_the_lowest_failure) {
  for (unsigned threads : {0u, 1u, 2u, 3u, 8u, 64u}) {
    for (std::size_t count : {0u, 1u, 5u, 1000u}) {
      const auto runs = std::make_unique<std::atomic<int>[]>(count + 1);
      orv::util::parallel_for(count, threads, [&](std::size_t i) { runs[i].fetch_add(1); });
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << count << " tasks, " << threads;
    }
    for (int round = 0; round < 20; ++round) {
      std::atomic<int> below{0};
      std::string what = "no failure reported";
      try {
        orv::util::parallel_for(200, threads, [&](std::size_t i) {
          if (i == 37 || i == 38 || i == 150) throw std::runtime_error("task " + std::to_string(i));
          if (i < 37) below.fetch_add(1);
        });
      } catch (const std::runtime_error& e) {
        what = e.what();
      }
      ASSERT_EQ(what, "task 37") << threads << " threads";
      ASSERT_EQ(below.load(), 37);
    }
  }
}

// Tasks handed over in index order, each once, never more than `window`
// ahead of the hand-over; a failing task still gets every task before it
// handed over, then its failure (the lowest) comes out; a failing hand-over
// stops everything at once.
TEST(ordered_parallel_for, in_order_within_the_window_and_failures) {
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    for (std::size_t window : {1u, 2u, 5u}) {
      const std::size_t count = 300;
      std::atomic<std::size_t> handed{0};
      std::atomic<bool> ahead{false}, foreign{false};
      const auto runs = std::make_unique<std::atomic<int>[]>(count);
      std::vector<std::size_t> order;
      orv::util::ordered_parallel_for(
          count, threads, window,
          [&](std::size_t i, unsigned thread) {
            if (i >= handed.load() + window) ahead = true;
            if (thread >= threads) foreign = true;
            runs[i].fetch_add(1);
          },
          [&](std::size_t i) {
            ASSERT_EQ(runs[i].load(), 1);
            order.push_back(i);
            handed = i + 1;
          });
      ASSERT_EQ(order.size(), count);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(order[i], i);
      EXPECT_FALSE(ahead) << threads << " threads, window " << window;
      EXPECT_FALSE(foreign);

      std::vector<std::size_t> before_failure;
      std::string what = "no failure reported";
      try {
        orv::util::ordered_parallel_for(
            count, threads, window,
            [&](std::size_t i, unsigned) {
              if (i == 120 || i == 121 || i == 250) throw std::runtime_error("task " + std::to_string(i));
            },
            [&](std::size_t i) { before_failure.push_back(i); });
      } catch (const std::runtime_error& e) {
        what = e.what();
      }
      EXPECT_EQ(what, "task 120");
      EXPECT_EQ(before_failure.size(), 120u);

      std::size_t calls = 0;
      EXPECT_THROW(orv::util::ordered_parallel_for(
                       count, threads, window, [](std::size_t, unsigned) {},
                       [&](std::size_t i) {
                         ++calls;
                         if (i == 40) throw std::runtime_error("receiver");
                       }),
                   std::runtime_error);
      EXPECT_EQ(calls, 41u);
    }
  }
}

TEST(rand_gen, values_in_range) {
  std::srand(7);
  auto five = orv::util::rand_gen(100.0).generate(5);
  for (int i = 0; i < 5; ++i) EXPECT_LT(five[i], 100u);
  EXPECT_THROW(orv::util::rand_gen(100.0).generate(1u << 30), std::bad_alloc);
  EXPECT_THROW(orv::util::rand_gen(-1.0), orv::util::error);
  EXPECT_THROW(orv::util::rand_gen(5e9), orv::util::error);
  // 15 bits per draw, scaled: the full range is reached in steps of 2^17.
  auto many = orv::util::rand_gen(4294967296.0).generate(20000);
  const std::uint32_t top = *std::max_element(many.get(), many.get() + 20000);
  EXPECT_GT(top, 4000000000u);
  EXPECT_EQ(top % 131072, 0u);
}

}  // namespace
