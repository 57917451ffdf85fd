// parallel_for: runs task(0) .. task(count - 1) on up to `threads` threads,
// the caller's among them, each task once.
//
// Tasks are taken in increasing order from a shared counter, so the work
// balances itself whatever each task costs. When a task throws, no further
// task is started, the running ones finish, and the exception of the failed
// task with the lowest index is rethrown: every task below it was taken
// first and has run, so it is the failure a one-thread run would meet.
// A thread that cannot be started leaves its share to the others.
// REQUIRES: tasks may run at the same time.
#pragma once

#include <cstddef>
#include <functional>

namespace orv::util {

void parallel_for(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task);

}  // namespace orv::util
