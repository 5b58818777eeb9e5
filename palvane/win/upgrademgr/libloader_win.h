// The small loader through which the service host reaches the runtime
// library, so that tests can put a fake library in its place.
#pragma once

#include <windows.h>

#include <string>

#include "utils/twlogger.h"
#include "utils/win/moduleReference.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace libloader {

class ILibLoader {
public:
    virtual ~ILibLoader() = default;
    virtual bool load() = 0;
    virtual void* symbol(const char* name) = 0;
    // Unloads what load() loaded; false (logged) when nothing could be freed.
    virtual bool close() = 0;
    // Whether the module loaded is the file held open by `file` (the one
    // that was checked), not another one found under its path.
    virtual bool isFile(HANDLE file) = 0;
};

// Where a SYSTEM process looks for the libraries it loads by name: in System32
// alone. The program's folder, the current directory and PATH can hold a file
// named like a system library that someone other than an administrator put
// there. Called first thing in the service program; true when both settings
// took effect.
inline bool restrictLibrarySearchToSystem32() {
    const bool restricted = SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    // Also for loads that ask for the classic search order explicitly.
    const bool noCurrentDirectory = SetDllDirectoryW(L"") != FALSE;
    return restricted && noCurrentDirectory;
}

// Loads the runtime by its full path and looks for the libraries it imports
// in System32 only: the runtime is linked statically and imports nothing but
// system libraries, and a file named like one of them in the runtime's own
// folder must never be taken in its place.
class DLLoader : public ILibLoader {
public:
    explicit DLLoader(const std::string& path) : path_(path) {}

    bool load() override {
        std::wstring widePath;
        if (toWide(path_, widePath)) {
            handle_.reset(LoadLibraryExW(widePath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        }
        if (handle_) return true;
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to load " << path_ << ", error=" << error);
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
        const DWORD error = module == nullptr ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : GetLastError();
        TWLOG(LOG_ERROR, "Failed to close " << path_ << ", error=" << error);
        return false;
    }

    bool isFile(HANDLE file) override {
        const std::wstring path = ModuleReference::pathOf(handle_.get());
        if (path.empty()) return false;
        UniqueHandle loaded(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        BY_HANDLE_FILE_INFORMATION mapped{};
        BY_HANDLE_FILE_INFORMATION checked{};
        return loaded && GetFileInformationByHandle(loaded.get(), &mapped) &&
               GetFileInformationByHandle(file, &checked) &&
               mapped.dwVolumeSerialNumber == checked.dwVolumeSerialNumber &&
               mapped.nFileIndexHigh == checked.nFileIndexHigh && mapped.nFileIndexLow == checked.nFileIndexLow;
    }

    const std::string& path() const { return path_; }

private:
    UniqueModule handle_;
    std::string path_;
};

}  // namespace libloader
