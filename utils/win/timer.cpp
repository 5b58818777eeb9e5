#include "utils/win/timer.h"

#include <new>
#include <utility>

#include "utils/twlogger.h"

winTimer::winTimer() : queue_(CreateTimerQueue()) {
    if (queue_ == nullptr) TWLOG(LOG_ERROR, "CreateTimerQueue() failed, error=" << GetLastError());
}

winTimer::~winTimer() { stop(); }

void winTimer::setCallback(ITimerCallback* callback) { callback_ = callback; }

void CALLBACK winTimer::tick(PVOID context, BOOLEAN /*timerFired*/) {
    auto* self = static_cast<winTimer*>(context);
    if (self == nullptr || self->callback_ == nullptr || self->stopped_.load() != 0) return;
    self->callback_->onTimer();
}

bool winTimer::createQueueTimer(unsigned periodMs, unsigned dueMs) {
    if (!CreateTimerQueueTimer(&timer_, queue_, &winTimer::tick, this, dueMs, periodMs, WT_EXECUTELONGFUNCTION)) {
        TWLOG(LOG_ERROR, "CreateTimerQueueTimer() failed, error=" << GetLastError());
        return false;
    }
    return true;
}

// A second start replaces the first timer instead of adding one beside it,
// which would tick on with nothing left to stop or re-arm it.
bool winTimer::start(unsigned periodMs, unsigned dueMs) {
    std::lock_guard<std::mutex> guard(handles_);
    if (queue_ == nullptr) {
        TWLOG(LOG_ERROR, "TimerQueue handle is NULL.");
        return false;
    }
    if (timer_ != nullptr && !deleteQueueTimer()) return false;
    return createQueueTimer(periodMs, dueMs);
}

bool winTimer::reset(unsigned intervalMs) {
    std::lock_guard<std::mutex> guard(handles_);
    if (queue_ == nullptr) {
        TWLOG(LOG_ERROR, "Timer queue handle is NULL.");
        return false;
    }
    if (timer_ == nullptr) {
        TWLOG(LOG_ERROR, "The timer-queue timerTimer was not created.");
        return false;
    }
    if (!deleteQueueTimer()) return false;
    return createQueueTimer(intervalMs, intervalMs);
}

// No completion event: a tick that is running finishes on its own, and the
// deletion then answers ERROR_IO_PENDING.
bool winTimer::deleteQueueTimer() {
    if (!DeleteTimerQueueTimer(queue_, timer_, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            TWLOG(LOG_ERROR, "DeleteTimerQueueTimer() failed, error=" << error << " hTimer=" << timer_);
            return false;
        }
    }
    timer_ = nullptr;
    return true;
}

void winTimer::stop() {
    stopped_.exchange(1);
    // The queue is taken out under the lock, so a concurrent start or reset
    // either finishes first or finds no queue; the wait for running ticks
    // happens outside the lock, so a tick that re-arms the timer cannot
    // deadlock with it.
    HANDLE queue = nullptr;
    {
        std::lock_guard<std::mutex> guard(handles_);
        std::swap(queue, queue_);
        timer_ = nullptr;
    }
    if (queue == nullptr) return;
    // INVALID_HANDLE_VALUE: wait until every running tick has returned.
    if (!DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE)) {
        TWLOG(LOG_WARN, "DeleteTimerQueueEx() failed, error=" << GetLastError());
        std::lock_guard<std::mutex> guard(handles_);
        queue_ = queue;
    }
}

ITimer* createTimer() {
    return new (std::nothrow) winTimer();
}
