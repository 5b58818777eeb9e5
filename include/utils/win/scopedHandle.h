// One owner template for every kind of Win32 handle. A kind is described by a
// small traits struct: its handle type, the value that means "none", and how
// to close it.
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class ScopedHandle {
public:
    using handle_type = typename Traits::handle_type;

    ScopedHandle() noexcept : handle_(Traits::invalid()) {}
    explicit ScopedHandle(handle_type handle) noexcept : handle_(handle) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    handle_type get() const noexcept { return handle_; }
    bool valid() const noexcept { return Traits::isValid(handle_); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes what is held and gives the address for an API that returns a handle
    // through an out parameter.
    handle_type* receive() noexcept {
        reset();
        return &handle_;
    }

    handle_type release() noexcept {
        handle_type handle = handle_;
        handle_ = Traits::invalid();
        return handle;
    }

    void reset(handle_type handle = Traits::invalid()) noexcept {
        if (Traits::isValid(handle_)) Traits::close(handle_);
        handle_ = handle;
    }

private:
    handle_type handle_;
};

// Traits for handles whose "none" is a null pointer and that are closed by one
// function taking the handle.
template <typename H, auto CloseFn>
struct NullHandleTraits {
    using handle_type = H;
    static handle_type invalid() noexcept { return nullptr; }
    static bool isValid(handle_type h) noexcept { return h != nullptr; }
    static void close(handle_type h) noexcept { CloseFn(h); }
};

// Kernel objects: CreateFile and a few others return INVALID_HANDLE_VALUE,
// the rest return null; both mean "none".
struct KernelHandleTraits {
    using handle_type = HANDLE;
    static handle_type invalid() noexcept { return nullptr; }
    static bool isValid(handle_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(handle_type h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using handle_type = HANDLE;
    static handle_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(handle_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(handle_type h) noexcept { ::FindClose(h); }
};

inline void closeRegKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void closeScHandle(SC_HANDLE handle) noexcept { ::CloseServiceHandle(handle); }
inline void freeModule(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void freeLocal(HLOCAL memory) noexcept { ::LocalFree(memory); }

using UniqueHandle = ScopedHandle<KernelHandleTraits>;
using UniqueFindHandle = ScopedHandle<FindHandleTraits>;
using UniqueRegKey = ScopedHandle<NullHandleTraits<HKEY, closeRegKey>>;
using UniqueScHandle = ScopedHandle<NullHandleTraits<SC_HANDLE, closeScHandle>>;
using UniqueModule = ScopedHandle<NullHandleTraits<HMODULE, freeModule>>;
using UniqueLocalMemory = ScopedHandle<NullHandleTraits<HLOCAL, freeLocal>>;
