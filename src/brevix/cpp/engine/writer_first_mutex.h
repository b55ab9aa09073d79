// A reader/writer lock that lets a waiting writer in (WriterFirstMutex).
// Plain C++.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace brevix {

// A reader/writer lock that lets a waiting writer in: once a writer waits, new
// readers wait behind it. (glibc's rwlock behind std::shared_mutex prefers
// readers, so a steady stream of encode calls could keep training out for
// ever.) Meets the SharedMutex requirements used by std::shared_lock and
// std::unique_lock.
class WriterFirstMutex {
public:
    // A writer's wait, registered from construction until it takes the lock
    // or is destroyed: readers that arrive meanwhile wait behind it, however
    // many timed slices the wait is cut into (the caller runs signal
    // handlers between them).
    class WriterWait {
    public:
        explicit WriterWait(WriterFirstMutex& mutex);
        ~WriterWait();
        WriterWait(const WriterWait&) = delete;
        WriterWait& operator=(const WriterWait&) = delete;
        // Waits up to `timeout` for the lock; true once it holds it
        // exclusively (the caller then owns it and calls unlock()).
        bool lockWithin(std::chrono::milliseconds timeout);

    private:
        WriterFirstMutex& mutex_;
        bool taken_ = false;
    };

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    bool try_lock_shared_for(std::chrono::milliseconds timeout);
    void unlock_shared();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;
    int writersWaiting_ = 0;
    bool writing_ = false;
};

}  // namespace brevix
