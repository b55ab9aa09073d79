// Jobs run on native threads while the calling thread takes their results
// in order, as each is done. Plain C++.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brevix {

// Runs job(i) for every i below `items` on up to `threads` native threads,
// each taking the next undone index, while the calling thread waits for
// item 0, uses it, waits for item 1 and so on: what it does with each result
// overlaps the jobs still running. While it waits it takes undone jobs too.
// Used by one calling thread; the jobs must not touch what the caller does
// with a finished item.
class InOrderResults {
public:
    // Starts the threads (none for 0). When none run, waitFor runs each job
    // itself.
    InOrderResults(std::size_t items, unsigned threads, std::function<void(std::size_t)> job);
    // Stops handing out jobs and waits for the threads (finish() first to
    // learn of a failure).
    ~InOrderResults();
    InOrderResults(const InOrderResults&) = delete;
    InOrderResults& operator=(const InOrderResults&) = delete;

    // Whether item i is done, without waiting.
    bool ready(std::size_t i) const;
    // Waits until item i is done, running jobs no thread has taken in the
    // meantime; false when a job failed instead (the jobs not yet started
    // then do not start).
    bool waitFor(std::size_t i);
    // Jobs not yet started do not start: for a caller that gives up.
    void cancel();
    // Waits for the threads and rethrows the first exception a job threw.
    void finish();

private:
    void work();
    void runJob(std::size_t i);

    const std::size_t items_;
    const std::function<void(std::size_t)> job_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char> done_;  // guarded by mutex_
    std::size_t next_ = 0;    // guarded by mutex_
    bool stopped_ = false;    // guarded by mutex_: a job failed or the caller gave up
    std::exception_ptr error_;
    std::vector<std::thread> threads_;
};

}  // namespace brevix
