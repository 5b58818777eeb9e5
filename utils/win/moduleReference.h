// A counted reference to the library that holds this code, for work that may
// outlive the library's unload: a thread still inside the library, or a
// callback the system may still make into it. While a reference is held the
// library stays mapped, whoever unloads it. A reference is only ever dropped
// by a thread that leaves with FreeLibraryAndExitThread, so no code of the
// library runs on that thread after the drop. In a program, which is never
// unloaded, nothing is held.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

class ModuleReference {
public:
    // A reference to the module that holds this code.
    static ModuleReference toThisModule();
    // The full path of the module that holds this code (the program's own
    // where the code is linked into it).
    static std::wstring pathOfThisModule();
    // The whole path of `module` (null: the program) however long, since a
    // cut one would name another file; empty when it cannot be read.
    static std::wstring pathOf(HMODULE module);

    ModuleReference() = default;
    ModuleReference(ModuleReference&& other) noexcept : module_(other.module_) { other.module_ = nullptr; }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
    // A reference held before is dropped as by the destructor.
    ModuleReference& operator=(ModuleReference&& other) noexcept;
    // A reference still held is handed to a thread of its own, which drops it
    // only after kHandOverGrace: the thread that let go is then still a few
    // returns away from leaving the library's code, and a system thread (a
    // callback's) may be preempted on its way out for far longer than those
    // returns take.
    ~ModuleReference();

    // Many scheduler quanta, even on a loaded machine.
    static constexpr std::chrono::milliseconds kHandOverGrace{1000};
    // Tests: the thread that let go pauses this long right after the
    // hand-over, as a preemption would hold it there.
    static void pauseAfterHandOverForTests(std::chrono::milliseconds pause);

    bool holds() const { return module_ != nullptr; }

    // Runs `work` on a new thread that holds `reference` (by default one taken
    // now) until it has left the library's code. Returns the thread's handle,
    // which the caller closes, or null when no thread could be started.
    // Nothing `work` throws leaves the thread.
    static HANDLE startThread(std::function<void()> work, ModuleReference reference = toThisModule());

private:
    explicit ModuleReference(HMODULE module) : module_(module) {}
    static HANDLE startThread(std::function<void()> work, ModuleReference reference, std::chrono::milliseconds grace);

    HMODULE module_ = nullptr;
};
