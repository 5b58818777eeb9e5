#include "utils/win/fileGate.h"

#include <windows.h>

#include <memory>
#include <mutex>

namespace fileGate {
namespace {

std::mutex gateLock;
std::shared_ptr<const Gate> currentGate;

std::shared_ptr<const Gate> current() {
    std::lock_guard<std::mutex> lock(gateLock);
    return currentGate;
}

}  // namespace

bool allows(Op op, const std::wstring& path, const std::wstring& source) {
    const auto gate = current();
    if (!gate) return true;
    const DWORD error = (*gate)(op, path, source);
    if (error == NO_ERROR) return true;
    SetLastError(error);
    return false;
}

void install(Gate gate) {
    auto installed = gate ? std::make_shared<const Gate>(std::move(gate)) : nullptr;
    std::lock_guard<std::mutex> lock(gateLock);
    currentGate = std::move(installed);
}

}  // namespace fileGate
