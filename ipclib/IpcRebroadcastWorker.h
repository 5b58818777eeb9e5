// The one thread that sends rebroadcast messages on to every peer. The loop
// thread does not broadcast itself (a send to every peer would hold every
// peer's traffic, and broadcasting is refused on it), so it hands the
// serialised body here. Owned by the server and stopped before the loop, so no
// send outlives the bus or an unloaded library.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class IpcRebroadcastWorker {
public:
    // Real rebroadcasts are rare and small; a peer flooding them loses the
    // excess, counted in messages and in bytes.
    static constexpr size_t kMaxQueued = 64;
    static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;

    // body, type key (for the log)
    using Sender = std::function<bool(const std::string&, const char*)>;

    // Starts the thread; throws std::system_error when it cannot.
    explicit IpcRebroadcastWorker(Sender send);
    ~IpcRebroadcastWorker();

    IpcRebroadcastWorker(const IpcRebroadcastWorker&) = delete;
    IpcRebroadcastWorker& operator=(const IpcRebroadcastWorker&) = delete;

    // Queues one serialised message; false when the queue is full or the
    // worker stopped. The first drop of a run is logged (level 4).
    bool post(std::string body, const char* typeName);
    // Drops what still waits, lets a send in progress finish and joins.
    // Idempotent.
    void stop();
    // Bytes of the bodies waiting and of the one being sent.
    size_t heldBytes();

private:
    struct Rebroadcast {
        std::string body;
        const char* typeName = "";  // a message class's constant
    };

    void run();
    bool fits(size_t bytes) const;  // lock held

    Sender send_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Rebroadcast> queue_;
    size_t heldBytes_ = 0;
    bool dropping_ = false;  // the last post was dropped
    bool stopping_ = false;
    std::thread thread_;
};
