#include "utils/win/moduleReference.h"

#include <atomic>
#include <memory>
#include <utility>

namespace {

struct ThreadStart {
    std::function<void()> work;
    HMODULE module;
    DWORD graceMs;
};

std::atomic<long long> g_pauseAfterHandOverMs{0};

DWORD WINAPI moduleThreadMain(void* parameter) {
    HMODULE module = nullptr;
    DWORD graceMs = 0;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
        module = start->module;
        graceMs = start->graceMs;
        try {
            if (start->work) start->work();
        } catch (...) {
            // The work reports its own failures; nothing may leave the thread.
        }
    }
    if (graceMs != 0) Sleep(graceMs);
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

std::wstring ModuleReference::pathOfThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&moduleThreadMain), &module);
    return pathOf(module);
}

std::wstring ModuleReference::pathOf(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// Dropped here, the last reference would unmap the code this thread is
// running; a thread of its own leaves the library as it drops it, once this
// thread has had ample time to leave the library too.
ModuleReference::~ModuleReference() {
    if (module_ == nullptr) return;
    const HANDLE thread = startThread(nullptr, std::move(*this), kHandOverGrace);
    if (thread != nullptr) CloseHandle(thread);
    if (const long long pause = g_pauseAfterHandOverMs.load()) Sleep(static_cast<DWORD>(pause));
}

void ModuleReference::pauseAfterHandOverForTests(std::chrono::milliseconds pause) {
    g_pauseAfterHandOverMs = pause.count();
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
    return startThread(std::move(work), std::move(reference), std::chrono::milliseconds(0));
}

HANDLE ModuleReference::startThread(std::function<void()> work, ModuleReference reference,
                                    std::chrono::milliseconds grace) {
    auto start = std::make_unique<ThreadStart>(
        ThreadStart{std::move(work), reference.module_, static_cast<DWORD>(grace.count())});
    reference.module_ = nullptr;
    const HANDLE thread = CreateThread(nullptr, 0, &moduleThreadMain, start.get(), 0, nullptr);
    if (thread != nullptr) start.release();
    return thread;
}
