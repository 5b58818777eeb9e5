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
    if (!gate || (*gate)(op, path, source)) return true;
    SetLastError(ERROR_WRITE_PROTECT);
    return false;
}

void install(Gate gate) {
    auto installed = gate ? std::make_shared<const Gate>(std::move(gate)) : nullptr;
    std::lock_guard<std::mutex> lock(gateLock);
    currentGate = std::move(installed);
}

}  // namespace fileGate
