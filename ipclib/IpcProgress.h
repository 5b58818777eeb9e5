// When one direction of a connection last made progress that counts: a frame
// begun or finished, or kStep bytes moved since the last mark. Bytes that
// trickle one at a time do not count, so a peer cannot pass for one that makes
// progress by moving a byte now and then. The mark is read from any thread;
// the rest belongs to whoever moves the bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

class IpcProgress {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kStep = 16 * 1024;

    // Something now waits on the peer, or a frame was finished.
    void mark(Clock::time_point now) {
        since_ = now.time_since_epoch().count();
        moved_ = 0;
    }
    void moved(size_t bytes, Clock::time_point now) {
        moved_ += bytes;
        if (moved_ >= kStep) mark(now);
    }
    // Nothing waits on the peer any more.
    void end() {
        since_ = 0;
        moved_ = 0;
    }
    // Whether something waits on the peer, and since the last mark.
    bool waiting(Clock::time_point& since) const {
        const Clock::rep value = since_.load();
        since = Clock::time_point(Clock::duration(value));
        return value != 0;
    }

private:
    std::atomic<Clock::rep> since_{0};
    size_t moved_ = 0;
};
