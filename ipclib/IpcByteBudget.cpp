#include "ipclib/IpcByteBudget.h"

bool IpcByteBudget::reserve(IpcBudgetHolder* holder, size_t bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    Holding& holding = holdings_[holder];
    if (holding.cutOff || bytes > limit_) return false;
    while (counted_ + bytes > limit_) {
        IpcBudgetHolder* largest = largestOtherThan(holder);
        if (largest == nullptr) return false;
        Holding& victim = holdings_[largest];
        if (victim.bytes < holding.bytes) return false;
        victim.cutOff = true;
        counted_ -= victim.bytes;
        largest->cutOff(victim.bytes, used_);
    }
    holding.bytes += bytes;
    counted_ += bytes;
    used_ += bytes;
    return true;
}

IpcBudgetHolder* IpcByteBudget::largestOtherThan(IpcBudgetHolder* holder) {
    IpcBudgetHolder* largest = nullptr;
    size_t most = 0;
    for (const auto& [other, holding] : holdings_) {
        if (other != holder && !holding.cutOff && (largest == nullptr || holding.bytes > most)) {
            largest = other;
            most = holding.bytes;
        }
    }
    return largest;
}

void IpcByteBudget::release(IpcBudgetHolder* holder, size_t bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    auto found = holdings_.find(holder);
    if (found == holdings_.end()) return;
    found->second.bytes -= bytes;
    used_ -= bytes;
    if (!found->second.cutOff) counted_ -= bytes;
}

void IpcByteBudget::forget(IpcBudgetHolder* holder) {
    std::lock_guard<std::mutex> lock(lock_);
    auto found = holdings_.find(holder);
    if (found == holdings_.end()) return;
    used_ -= found->second.bytes;
    if (!found->second.cutOff) counted_ -= found->second.bytes;
    holdings_.erase(found);
}

size_t IpcByteBudget::used() {
    std::lock_guard<std::mutex> lock(lock_);
    return used_;
}
