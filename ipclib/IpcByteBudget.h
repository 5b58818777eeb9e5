// Bytes that many holders take from one shared limit, so that what the bus
// holds for its peers is bounded however many peers there are. When the limit
// is reached, the holder with the most is cut off, not whoever asks next: a
// peer that hoards cannot starve the others.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>

class IpcBudgetHolder {
public:
    // The budget has cut this holder off: it takes nothing more and has its
    // connection closed. Called with the budget's lock held: it must not take
    // a lock of its own that is held while asking the budget.
    virtual void cutOff(size_t heldBytes, size_t budgetBytes) = 0;

protected:
    ~IpcBudgetHolder() = default;
};

class IpcByteBudget {
public:
    explicit IpcByteBudget(size_t limit) : limit_(limit) {}
    IpcByteBudget(const IpcByteBudget&) = delete;
    IpcByteBudget& operator=(const IpcByteBudget&) = delete;

    // Takes bytes for the holder. While they do not fit, the holder with the
    // most is cut off (another one on a tie), and what it holds no longer
    // counts against the others. False, nothing taken, when the holder itself
    // holds the most, or has been cut off.
    bool reserve(IpcBudgetHolder* holder, size_t bytes);
    void release(IpcBudgetHolder* holder, size_t bytes);
    // Gives back whatever the holder still has; it is unknown afterwards.
    void forget(IpcBudgetHolder* holder);
    // Bytes held, by holders cut off as well.
    size_t used();
    size_t limit() const { return limit_; }

private:
    struct Holding {
        size_t bytes = 0;
        bool cutOff = false;
    };

    // Lock held.
    IpcBudgetHolder* largestOtherThan(IpcBudgetHolder* holder);

    const size_t limit_;
    std::mutex lock_;
    std::map<IpcBudgetHolder*, Holding> holdings_;
    size_t counted_ = 0;  // held by holders not cut off
    size_t used_ = 0;
};
