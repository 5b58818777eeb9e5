#include "utils/win/moduleReference.h"

#include <memory>
#include <utility>

namespace {

struct ThreadStart {
    std::function<void()> work;
    HMODULE module;
};

DWORD WINAPI moduleThreadMain(void* parameter) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
        module = start->module;
        try {
            if (start->work) start->work();
        } catch (...) {
            // The work reports its own failures; nothing may leave the thread.
        }
    }
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

ModuleReference ModuleReference::toThisModule() {
    HMODULE module = nullptr;
    const auto address = reinterpret_cast<LPCWSTR>(&moduleThreadMain);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            address, &module) ||
        module == GetModuleHandleW(nullptr)) {
        return ModuleReference();
    }
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &module)) return ModuleReference();
    return ModuleReference(module);
}

// Dropped here, the last reference would unmap the code this thread is
// running; a thread of its own leaves the library as it drops it. This thread
// is then a return away from leaving the library itself, far less than the
// unload's own detach work takes.
ModuleReference::~ModuleReference() {
    if (module_ == nullptr) return;
    const HANDLE thread = startThread(nullptr, std::move(*this));
    if (thread != nullptr) CloseHandle(thread);
}

ModuleReference& ModuleReference::operator=(ModuleReference&& other) noexcept {
    if (this != &other) {
        ModuleReference dropped(std::move(*this));
        module_ = std::exchange(other.module_, nullptr);
    }
    return *this;
}

// A reference that no thread can take over is kept: the library then stays
// loaded for good, which is safe, where dropping it here might not be.
HANDLE ModuleReference::startThread(std::function<void()> work, ModuleReference reference) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(work), reference.module_});
    reference.module_ = nullptr;
    const HANDLE thread = CreateThread(nullptr, 0, &moduleThreadMain, start.get(), 0, nullptr);
    if (thread != nullptr) start.release();
    return thread;
}
