// Bytes that many holders take from one shared limit, so that what the bus
// holds for its peers is bounded however many peers there are. Each holder
// has a floor that is never taken from it: what it holds up to the floor does
// not count against the limit. When the limit is reached, the holder that has
// gone longest without progress is cut off, not whoever asks next; a holder
// that makes progress (a peer that reads, a frame that arrives) is never cut
// off for another, however much it holds.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>

class IpcBudgetHolder {
public:
    // The budget has cut this holder off: it takes nothing more and has its
    // connection closed. Called with the budget's lock held: it must not take
    // a lock of its own that is held while asking the budget.
    virtual void cutOff(size_t heldBytes, size_t budgetBytes) = 0;
    // Since when the holder has held bytes that wait on its peer without them
    // moving on (a frame that stopped arriving, frames the peer does not
    // take); max() while nothing waits on the peer. Called with the budget's
    // lock held, from any thread: no lock of its own.
    virtual std::chrono::steady_clock::time_point stalledSince() const = 0;

protected:
    ~IpcBudgetHolder() = default;
};

class IpcByteBudget {
public:
    // A holder may be cut off only once it has been stalled for `stall`.
    IpcByteBudget(size_t limit, size_t floor, std::chrono::milliseconds stall)
        : limit_(limit), floor_(floor), stall_(stall) {}
    IpcByteBudget(const IpcByteBudget&) = delete;
    IpcByteBudget& operator=(const IpcByteBudget&) = delete;

    // Takes bytes for the holder. Within its floor they are always granted.
    // Above it, while they do not fit, the holder stalled longest is cut off,
    // when it has been stalled for the stall time and longer than the holder
    // asking, and what it holds no longer counts against the others. False,
    // nothing taken, when no holder may be cut off, or the holder itself has
    // been cut off.
    bool reserve(IpcBudgetHolder* holder, size_t bytes);
    void release(IpcBudgetHolder* holder, size_t bytes);
    // Gives back whatever the holder still has; it is unknown afterwards.
    void forget(IpcBudgetHolder* holder);
    // Bytes held, by holders cut off as well.
    size_t used();
    size_t limit() const { return limit_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Holding {
        size_t bytes = 0;
        bool cutOff = false;
    };

    size_t overFloor(size_t bytes) const { return bytes > floor_ ? bytes - floor_ : 0; }
    // Lock held.
    IpcBudgetHolder* stalest(IpcBudgetHolder* asking);
    void take(Holding& holding, size_t bytes);
    void give(Holding& holding, size_t bytes);

    const size_t limit_;
    const size_t floor_;
    const std::chrono::milliseconds stall_;
    std::mutex lock_;
    std::map<IpcBudgetHolder*, Holding> holdings_;
    size_t counted_ = 0;  // held over their floors by holders not cut off
    size_t used_ = 0;
};
