#include "ipclib/IpcRebroadcastWorker.h"

#include <exception>
#include <utility>

#include "utils/twlogger.h"

IpcRebroadcastWorker::IpcRebroadcastWorker(Sender send) : send_(std::move(send)) {
    thread_ = std::thread(&IpcRebroadcastWorker::run, this);
}

IpcRebroadcastWorker::~IpcRebroadcastWorker() { stop(); }

bool IpcRebroadcastWorker::fits(size_t bytes) const {
    return !stopping_ && queue_.size() < kMaxQueued && heldBytes_ + bytes <= kMaxQueuedBytes;
}

// Called on the loop thread: a flood is logged once, not once per message.
bool IpcRebroadcastWorker::post(std::string body, const char* typeName) {
    size_t waiting = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (fits(body.size())) {
            heldBytes_ += body.size();
            queue_.push_back({std::move(body), typeName});
            dropping_ = false;
            wake_.notify_one();
            return true;
        }
        if (dropping_) return false;
        dropping_ = true;
        waiting = queue_.size();
    }
    TWLOG(LOG_WARN, "Rebroadcast of " << typeName << " dropped, " << waiting << " still waiting.");
    return false;
}

size_t IpcRebroadcastWorker::heldBytes() {
    std::lock_guard<std::mutex> lock(lock_);
    return heldBytes_;
}

void IpcRebroadcastWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
        for (const Rebroadcast& waiting : queue_) heldBytes_ -= waiting.body.size();
        queue_.clear();
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void IpcRebroadcastWorker::run() {
    for (;;) {
        Rebroadcast next;
        {
            std::unique_lock<std::mutex> lock(lock_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        // The broadcast logs its own failures; nothing may leave this thread.
        try {
            send_(next.body, next.typeName);
        } catch (const std::exception& e) {
            TWLOG(LOG_ERROR, "Catch an unexpected exception in rebroadcast: " << e.what());
        } catch (...) {
            TWLOG(LOG_ERROR, "Catch an unexpected exception in rebroadcast");
        }
        std::lock_guard<std::mutex> lock(lock_);
        heldBytes_ -= next.body.size();
    }
}
