#include "engine/writer_first_mutex.h"

namespace brevix {

void WriterFirstMutex::lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    ++writersWaiting_;
    changed_.wait(guard, [this] { return !writing_ && readers_ == 0; });
    --writersWaiting_;
    writing_ = true;
}

bool WriterFirstMutex::try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writing_ || readers_ != 0) return false;
    writing_ = true;
    return true;
}

WriterFirstMutex::WriterWait::WriterWait(WriterFirstMutex& mutex) : mutex_(mutex) {
    std::lock_guard<std::mutex> guard(mutex_.mutex_);
    ++mutex_.writersWaiting_;
}

WriterFirstMutex::WriterWait::~WriterWait() {
    if (taken_) return;
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(mutex_.mutex_);
        last = --mutex_.writersWaiting_ == 0;
    }
    // Readers held back by this writer may go on.
    if (last) mutex_.changed_.notify_all();
}

bool WriterFirstMutex::WriterWait::lockWithin(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_.mutex_);
    const bool free = mutex_.changed_.wait_for(
        guard, timeout, [this] { return !mutex_.writing_ && mutex_.readers_ == 0; });
    if (!free) return false;
    --mutex_.writersWaiting_;
    mutex_.writing_ = true;
    taken_ = true;
    return true;
}

void WriterFirstMutex::unlock() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        writing_ = false;
    }
    changed_.notify_all();
}

void WriterFirstMutex::lock_shared() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return !writing_ && writersWaiting_ == 0; });
    ++readers_;
}

bool WriterFirstMutex::try_lock_shared() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writing_ || writersWaiting_ != 0) return false;
    ++readers_;
    return true;
}

bool WriterFirstMutex::try_lock_shared_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!changed_.wait_for(guard, timeout, [this] { return !writing_ && writersWaiting_ == 0; })) {
        return false;
    }
    ++readers_;
    return true;
}

void WriterFirstMutex::unlock_shared() {
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
}

}  // namespace brevix
