// Running independent jobs on a few native threads. Plain C++.
#pragma once

#include <cstddef>
#include <functional>

namespace brevix {

// The number of threads to use for `items` jobs when asked for `requested`
// (0: the CPUs available to this process).
unsigned threadsFor(std::size_t items, unsigned requested);

// Runs job(i) for every i below `items` on `threads` native threads (the
// calling thread among them), each thread taking the next undone index. The
// first exception thrown by a job is rethrown once all threads have stopped;
// the jobs not yet started then do not run.
void runParallel(std::size_t items, unsigned threads, const std::function<void(std::size_t)>& job);

}  // namespace brevix
