// A managed kernel driver: installed from its INF file through SetupAPI (the
// files of the INF's default install section, then its services section) and
// uninstalled the same way; started, stopped and deleted through the service
// control manager like a service.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <string>

#include "palvane/dll-api/win/service_operations.h"
#include "utils/win/scopedHandle.h"

struct InfHandleTraits {
    using handle_type = HINF;
    static handle_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(handle_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(handle_type h) noexcept { SetupCloseInfFile(h); }
};

struct FileQueueTraits {
    using handle_type = HSPFILEQ;
    static handle_type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(handle_type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(handle_type h) noexcept { SetupCloseFileQueue(h); }
};

class Installed_drivers : public Installed_services {
public:
    Installed_drivers(const std::string& name, const std::string& display_name, const std::string& description,
                      const std::string& folder, const std::string& file_name);
    ~Installed_drivers() override;

    bool install(const std::string& path) override;
    // Removes the driver's files (the INF's default uninstall section) and
    // deletes its service.
    bool uninstall(const std::string& path);

    // Lets every queued operation go ahead; a failed copy, rename or delete
    // aborts the commit instead of being retried for ever.
    static UINT CALLBACK file_queue_callback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);

    // Whether the driver counts as running; set by the component operations,
    // read and changed by the service monitor.
    std::atomic<bool> is_running{false};

private:
    bool infPathOf(const std::string& path, std::wstring& infPath) const;
    bool openInfAndQueue(const std::wstring& infPath);
    bool queueFiles(const wchar_t* section, const wchar_t* fallbackSection, const wchar_t* sourceRoot,
                    DWORD copyFlags);
    bool commitQueue();

    ScopedHandle<InfHandleTraits> inf_handle;
    ScopedHandle<FileQueueTraits> file_queue;
};
