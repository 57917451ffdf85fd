#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace orv::util {

void parallel_for(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::size_t failed_at = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure;

  const auto work = [&]() noexcept {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        task(i);
      } catch (...) {
        const std::lock_guard<std::mutex> hold(lock);
        if (i < failed_at) {
          failed_at = i;
          failure = std::current_exception();
        }
        stop.store(true, std::memory_order_relaxed);
      }
    }
  };

  {
    std::vector<std::jthread> helpers;
    const std::size_t wanted = std::min<std::size_t>(std::max(threads, 1u), count) - 1;
    try {
      helpers.reserve(wanted);
      for (std::size_t h = 0; h < wanted; ++h) helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads, same tasks.
    } catch (const std::bad_alloc&) {
    }
    work();
  }  // joins the helpers
  if (failure) std::rethrow_exception(failure);
}

}  // namespace orv::util
