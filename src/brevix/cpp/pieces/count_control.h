// How a caller follows and interrupts a count that runs on other threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace brevix::bpe {

// What a caller watches and steers while counting runs. Any thread may read
// `bytesDone` and set `stop` at any time.
struct CountControl {
    // Bytes of the documents counted so far (special tokens included), in
    // steps of about 64 KB and exactly at the end.
    std::atomic<std::uint64_t> bytesDone{0};
    // Once set, the counting threads end within about 64 KB of work each and
    // the count returns nothing.
    std::atomic<bool> stop{false};
    // When set, called on the calling thread every `tickInterval` while the
    // other threads count, and once at the end, with `bytesDone`; returning
    // false sets `stop`. Without it the calling thread counts too.
    std::function<bool(std::uint64_t bytesDone)> onTick;
    std::chrono::milliseconds tickInterval{100};
};

}  // namespace brevix::bpe
