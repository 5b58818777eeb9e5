// The small loader through which the service host reaches the runtime
// library, so that tests can put a fake library in its place.
#pragma once

#include <windows.h>

#include <string>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"

namespace libloader {

class ILibLoader {
public:
    virtual ~ILibLoader() = default;
    virtual bool load() = 0;
    virtual void* symbol(const char* name) = 0;
    // Unloads what load() loaded; false (logged) when nothing could be freed.
    virtual bool close() = 0;
};

// Loads by full path and lets the library's own folder come first in the
// search for its dependencies: a bare name would let a planted file of the
// same name in the program's or the system's folder be loaded instead.
class DLLoader : public ILibLoader {
public:
    explicit DLLoader(const std::string& path) : path_(path) {}

    bool load() override {
        handle_.reset(LoadLibraryExA(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (handle_) return true;
        TWLOG(LOG_ERROR, "Failed to load " << path_ << ", error=" << GetLastError());
        return false;
    }

    void* symbol(const char* name) override {
        if (!handle_) return nullptr;
        return reinterpret_cast<void*>(GetProcAddress(handle_.get(), name));
    }

    // The handle is given up before FreeLibrary so that a second close can
    // never drop a reference that another load took.
    bool close() override {
        HMODULE module = handle_.release();
        if (module != nullptr && FreeLibrary(module)) return true;
        TWLOG(LOG_ERROR, "Failed to close " << path_ << ", error="
                             << (module == nullptr ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : GetLastError()));
        return false;
    }

    const std::string& path() const { return path_; }

private:
    UniqueModule handle_;
    std::string path_;
};

}  // namespace libloader
