#include "ipclib/IpcByteBudget.h"

bool IpcByteBudget::reserve(size_t bytes) {
    size_t used = used_.load();
    do {
        if (bytes > limit_ || used > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes));
    return true;
}

void IpcByteBudget::release(size_t bytes) { used_ -= bytes; }
