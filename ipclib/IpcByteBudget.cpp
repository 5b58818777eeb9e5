#include "ipclib/IpcByteBudget.h"

bool IpcByteBudget::reserve(IpcBudgetHolder* holder, size_t bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    Holding& holding = holdings_[holder];
    if (holding.cutOff) return false;
    const size_t extra = overFloor(holding.bytes + bytes) - overFloor(holding.bytes);
    if (extra > limit_) return false;
    while (counted_ + extra > limit_) {
        IpcBudgetHolder* victim = stalest(holder);
        if (victim == nullptr) return false;
        Holding& cut = holdings_[victim];
        cut.cutOff = true;
        counted_ -= overFloor(cut.bytes);
        victim->cutOff(cut.bytes, used_);
    }
    take(holding, bytes);
    return true;
}

// Only a holder that draws on the shared part can free any of it.
IpcBudgetHolder* IpcByteBudget::stalest(IpcBudgetHolder* asking) {
    const auto now = Clock::now();
    const auto askingSince = asking->stalledSince();
    IpcBudgetHolder* stalest = nullptr;
    auto stalestSince = Clock::time_point::max();
    size_t stalestBytes = 0;
    for (const auto& [other, holding] : holdings_) {
        if (other == asking || holding.cutOff || overFloor(holding.bytes) == 0) continue;
        const auto since = other->stalledSince();
        if (since == Clock::time_point::max() || now - since < stall_ || since >= askingSince) continue;
        if (since < stalestSince || (since == stalestSince && holding.bytes > stalestBytes)) {
            stalest = other;
            stalestSince = since;
            stalestBytes = holding.bytes;
        }
    }
    return stalest;
}

void IpcByteBudget::take(Holding& holding, size_t bytes) {
    if (!holding.cutOff) counted_ += overFloor(holding.bytes + bytes) - overFloor(holding.bytes);
    holding.bytes += bytes;
    used_ += bytes;
}

void IpcByteBudget::give(Holding& holding, size_t bytes) {
    if (!holding.cutOff) counted_ -= overFloor(holding.bytes) - overFloor(holding.bytes - bytes);
    holding.bytes -= bytes;
    used_ -= bytes;
}

void IpcByteBudget::release(IpcBudgetHolder* holder, size_t bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    auto found = holdings_.find(holder);
    if (found != holdings_.end()) give(found->second, bytes);
}

void IpcByteBudget::forget(IpcBudgetHolder* holder) {
    std::lock_guard<std::mutex> lock(lock_);
    auto found = holdings_.find(holder);
    if (found == holdings_.end()) return;
    give(found->second, found->second.bytes);
    holdings_.erase(found);
}

size_t IpcByteBudget::used() {
    std::lock_guard<std::mutex> lock(lock_);
    return used_;
}
