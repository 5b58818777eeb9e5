#include "ipclib/IpcRebroadcastWorker.h"

#include <exception>
#include <utility>

#include "utils/twlogger.h"

IpcRebroadcastWorker::IpcRebroadcastWorker(Sender send) : send_(std::move(send)) {
    thread_ = std::thread(&IpcRebroadcastWorker::run, this);
}

IpcRebroadcastWorker::~IpcRebroadcastWorker() { stop(); }

bool IpcRebroadcastWorker::post(std::unique_ptr<IIpcMessage> message) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!stopping_ && queue_.size() < kMaxQueued) {
            queue_.push_back(std::move(message));
            wake_.notify_one();
            return true;
        }
    }
    TWLOG(LOG_WARN, "Rebroadcast of " << message->typeName() << " dropped, " << kMaxQueued << " still waiting.");
    return false;
}

void IpcRebroadcastWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
        queue_.clear();
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void IpcRebroadcastWorker::run() {
    for (;;) {
        std::unique_ptr<IIpcMessage> message;
        {
            std::unique_lock<std::mutex> lock(lock_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        // The broadcast logs its own failures; nothing may leave this thread.
        try {
            send_(*message);
        } catch (const std::exception& e) {
            TWLOG(LOG_ERROR, "Catch an unexpected exception in rebroadcast: " << e.what());
        } catch (...) {
            TWLOG(LOG_ERROR, "Catch an unexpected exception in rebroadcast");
        }
    }
}
