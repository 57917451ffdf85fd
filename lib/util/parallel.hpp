// Parallel loops over task indexes 0 .. count - 1, each task run once, on up
// to `threads` threads with the caller's among them. Tasks are taken in
// increasing order from a shared counter, so the work balances itself
// whatever each task costs. A thread that cannot be started leaves its share
// to the others. REQUIRES: tasks may run at the same time.
#pragma once

#include <cstddef>
#include <functional>

namespace orv::util {

// When a task throws, no further task is started, the running ones finish,
// and the exception of the failed task with the lowest index is rethrown:
// every task below it was taken first and has run, so it is the failure a
// one-thread run would meet.
void parallel_for(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task);

// parallel_for that hands the finished tasks over in order: done(i) is
// called on the caller's thread, for i = 0, 1, ..., as soon as task i and
// every task before it have finished, while the later ones go on. The caller
// runs tasks too whenever none is waiting to be handed over.
//
// task(i, thread) gets the number of the thread running it (0 the caller,
// then 1 .. threads - 1), so that each thread can keep scratch of its own. At
// most `window` tasks are started or waiting beyond the last one handed over,
// so a task may reuse the storage of task i - window.
//
// A task that throws stops the others from starting new tasks; the tasks
// before it are still finished and handed over, then its exception is
// rethrown (the one of the lowest failed index). An exception from done()
// stops everything at once and is rethrown. REQUIRES: window >= 1.
void ordered_parallel_for(std::size_t count, unsigned threads, std::size_t window,
                          const std::function<void(std::size_t, unsigned)>& task,
                          const std::function<void(std::size_t)>& done);

}  // namespace orv::util
