// A periodic timer behind an interface. winTimer runs its ticks on a timer
// queue of its own; the object that receives the ticks implements
// ITimerCallback.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

class ITimerCallback {
public:
    // Called on a timer-queue thread at each tick.
    virtual void onTimer() = 0;

protected:
    ~ITimerCallback() = default;
};

class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void setCallback(ITimerCallback* callback) = 0;
    // First tick after dueMs, then every periodMs. A second start replaces
    // the first.
    virtual bool start(unsigned periodMs, unsigned dueMs) = 0;
    // Re-arms the timer with due time and period intervalMs; may run while a
    // tick is running.
    virtual bool reset(unsigned intervalMs) = 0;
    // Stops the timer for good; returns after every running tick has ended.
    // Must not be called from within a tick.
    virtual void stop() = 0;
    virtual void cleanup() = 0;
};

class winTimer : public ITimer {
public:
    // Creates the timer's queue; without one the timer stays inert.
    winTimer();
    // Stops the timer when its owner did not, so no tick can reach a callback
    // that is gone.
    ~winTimer() override;

    winTimer(const winTimer&) = delete;
    winTimer& operator=(const winTimer&) = delete;

    void setCallback(ITimerCallback* callback) override;
    bool start(unsigned periodMs, unsigned dueMs) override;
    bool reset(unsigned intervalMs) override;
    void stop() override;
    void cleanup() override {}

private:
    static void CALLBACK tick(PVOID context, BOOLEAN timerFired);
    // Both with handles_ held.
    bool createQueueTimer(unsigned periodMs, unsigned dueMs);
    bool deleteQueueTimer();

    // Guards the two handles against start/reset racing stop; never held
    // while waiting for a tick.
    std::mutex handles_;
    HANDLE timer_ = nullptr;
    HANDLE queue_ = nullptr;
    ITimerCallback* callback_ = nullptr;
    std::atomic<LONG> stopped_{0};
};

// Creates a timer with its queue; the caller owns it. A timer whose queue
// could not be created is still returned: its start and reset fail.
ITimer* createTimer();
