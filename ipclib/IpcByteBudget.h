// Bytes that many holders may take from one shared limit, so that memory held
// for peers is bounded however many peers there are.
#pragma once

#include <atomic>
#include <cstddef>

class IpcByteBudget {
public:
    explicit IpcByteBudget(size_t limit) : limit_(limit) {}
    IpcByteBudget(const IpcByteBudget&) = delete;
    IpcByteBudget& operator=(const IpcByteBudget&) = delete;

    // Takes bytes from the budget; false, nothing taken, when they do not fit.
    bool reserve(size_t bytes);
    void release(size_t bytes);
    size_t used() const { return used_; }
    size_t limit() const { return limit_; }

private:
    const size_t limit_;
    std::atomic<size_t> used_{0};
};
