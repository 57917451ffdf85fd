#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
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

namespace {

// The shared state of one ordered loop. Everything but the tasks themselves
// happens under `lock`: a hand-over costs a lock per task, far below what a
// task costs, and the waits stay simple to reason about.
class ordered_loop {
 public:
  ordered_loop(std::size_t count, std::size_t window) : count_(count), window_(window), state_(count, pending) {}

  // The next task a helper may start, or count when there is none left or
  // the loop stops. Waits while the window is full.
  std::size_t take_waiting() {
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return stop_ || next_ >= count_ || next_ < handed_ + window_; });
    if (stop_ || next_ >= count_) return count_;
    return next_++;
  }

  void finished(std::size_t i) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      state_[i] = ok;
    }
    ready_.notify_all();
  }

  void failed(std::size_t i, std::exception_ptr e) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      state_[i] = broken;
      if (i < failed_at_) {
        failed_at_ = i;
        failure_ = std::move(e);
      }
      stop_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
  }

  void stop() {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    room_.notify_all();
  }

  // The caller's side: hands the tasks over in order, and runs one itself
  // whenever the next to hand over is still running.
  void drive(const std::function<void(std::size_t, unsigned)>& task, const std::function<void(std::size_t)>& done) {
    std::unique_lock<std::mutex> hold(lock_);
    while (handed_ < count_) {
      const std::uint8_t s = state_[handed_];
      if (s == ok) {
        const std::size_t i = handed_;
        hold.unlock();
        done(i);
        hold.lock();
        ++handed_;
        room_.notify_all();
      } else if (s == broken) {
        // Every task before it was handed over: this is the lowest failure.
        assert(failed_at_ == handed_);
        std::rethrow_exception(failure_);
      } else if (!stop_ && next_ < count_ && next_ < handed_ + window_) {
        const std::size_t i = next_++;
        hold.unlock();
        try {
          task(i, 0);
          hold.lock();
          state_[i] = ok;
        } catch (...) {
          failed(i, std::current_exception());
          hold.lock();
        }
      } else {
        ready_.wait(hold, [&] { return state_[handed_] != pending; });
      }
    }
  }

 private:
  static constexpr std::uint8_t pending = 0, ok = 1, broken = 2;

  const std::size_t count_;
  const std::size_t window_;
  std::mutex lock_;
  std::condition_variable ready_;  // a task finished
  std::condition_variable room_;   // the window moved, or the loop stops
  std::vector<std::uint8_t> state_;
  std::size_t next_ = 0;
  std::size_t handed_ = 0;
  bool stop_ = false;
  std::size_t failed_at_ = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure_;
};

}  // namespace

void ordered_parallel_for(std::size_t count, unsigned threads, std::size_t window,
                          const std::function<void(std::size_t, unsigned)>& task,
                          const std::function<void(std::size_t)>& done) {
  assert(window >= 1);
  if (count == 0) return;
  ordered_loop loop(count, window);
  const auto helper = [&](unsigned number) noexcept {
    for (std::size_t i; (i = loop.take_waiting()) < count;) {
      try {
        task(i, number);
        loop.finished(i);
      } catch (...) {
        loop.failed(i, std::current_exception());
        return;
      }
    }
  };
  std::vector<std::jthread> helpers;
  // Stops and joins the helpers however the caller's side ends.
  struct joiner {
    ordered_loop& loop;
    std::vector<std::jthread>& helpers;
    ~joiner() {
      loop.stop();
      helpers.clear();
    }
  } join_all{loop, helpers};
  const std::size_t wanted = std::min<std::size_t>(std::max(threads, 1u), count) - 1;
  try {
    helpers.reserve(wanted);
    for (std::size_t h = 0; h < wanted; ++h) helpers.emplace_back(helper, static_cast<unsigned>(h + 1));
  } catch (const std::system_error&) {
    // Fewer threads, same results.
  } catch (const std::bad_alloc&) {
  }
  loop.drive(task, done);
}

}  // namespace orv::util
