#include "util/parallel.hpp"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace orv::util {
namespace {

TEST(ParallelFor, RunsEveryTaskOnceAtAnyThreadCount) {
  for (std::size_t count : {0u, 1u, 5u, 1000u}) {
    for (unsigned threads : {0u, 1u, 2u, 3u, 8u, 64u}) {
      const auto runs = std::make_unique<std::atomic<int>[]>(count + 1);
      parallel_for(count, threads, [&](std::size_t i) { runs[i].fetch_add(1); });
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << count << " tasks, " << threads << " threads";
    }
  }
}

// Whatever the threads do, the failure reported is the one a one-thread run
// meets first, and every task below it has run.
TEST(ParallelFor, RethrowsTheLowestFailingTask) {
  for (unsigned threads : {1u, 2u, 4u, 8u}) {
    for (int round = 0; round < 20; ++round) {
      std::atomic<int> below{0};
      try {
        parallel_for(200, threads, [&](std::size_t i) {
          if (i == 37 || i == 38 || i == 150) throw std::runtime_error("task " + std::to_string(i));
          if (i < 37) below.fetch_add(1);
        });
        FAIL() << "no failure reported";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task 37");
      }
      EXPECT_EQ(below.load(), 37);
    }
  }
}

}  // namespace
}  // namespace orv::util
