// The one thread that sends rebroadcast messages on to every peer. The loop
// thread cannot broadcast itself (it holds the endpoint-set lock while it
// dispatches), so it hands the message here. Owned by the server and stopped
// before the loop, so no send outlives the bus or an unloaded library.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ipclib/ipcMessage.h"

class IpcRebroadcastWorker {
public:
    // Real rebroadcasts are rare; a peer flooding them loses the excess.
    static constexpr size_t kMaxQueued = 64;

    using Sender = std::function<bool(const IIpcMessage&)>;

    // Starts the thread; throws std::system_error when it cannot.
    explicit IpcRebroadcastWorker(Sender send);
    ~IpcRebroadcastWorker();

    IpcRebroadcastWorker(const IpcRebroadcastWorker&) = delete;
    IpcRebroadcastWorker& operator=(const IpcRebroadcastWorker&) = delete;

    // Queues one message; false (with a level-4 line) when the queue is full or
    // the worker stopped.
    bool post(std::unique_ptr<IIpcMessage> message);
    // Drops what still waits, lets a send in progress finish and joins.
    // Idempotent.
    void stop();

private:
    void run();

    Sender send_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<IIpcMessage>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};
