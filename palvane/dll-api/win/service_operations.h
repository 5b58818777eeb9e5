// The agent's managed components: one object per Windows service (this class)
// or kernel driver (Installed_drivers, driver_operations.h), and the fixed
// table of them. The objects are created once and shared through shared
// pointers by the service core, the component operations, the rollback manager
// and the service monitor; the last holder destroys them.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "utils/win/service_helper.h"

class Installed_services : public service_helper {
public:
    static constexpr DWORD kManagerAccess = SC_MANAGER_ALL_ACCESS;
    static constexpr DWORD kServiceAccess = DELETE | SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS;

    // Opens the service control manager (throws twexception when it cannot);
    // the service itself is not opened.
    Installed_services(const std::string& name, const std::string& display_name, const std::string& description,
                       const std::string& folder, const std::string& file_name, int is_service = 1);
    ~Installed_services() override;

    // Creates the component on the machine; `path` is the install path, ending
    // with a backslash.
    virtual bool install(const std::string& path);
    bool remove();
    bool start();
    bool stop();

    // Opens the service unless a handle is held. A successful open ends a
    // stale "not installed" state (the service was installed meanwhile).
    void open();
    // The last error says the service does not exist.
    bool isNotInstalled() const { return lastError() == ERROR_SERVICE_DOES_NOT_EXIST; }

    // Held by a caller that runs several operations on the component as one
    // step; every operation also takes it, so a single call needs no lock.
    std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock<std::recursive_mutex>(mutex_); }
    // As lock(), but on a thread whose service waits a stop cuts
    // (ServiceWaitStop), the wait for the lock ends with the stop as well: the
    // lock is then not owned.
    std::unique_lock<std::recursive_mutex> lockUnlessStopped() const;

    const std::string name;
    const std::string display_name;
    const std::string description;
    // Sub-folder of the install path that holds `file_name`.
    const std::string folder;
    // The service's executable, or a driver's INF file.
    const std::string file_name;
    // 1 for a service, 0 for a driver.
    const int is_service;

protected:
    // Closes a held service handle and opens the service again; a failure is
    // kept as the last error. False when the service could not be opened.
    bool reopen();

private:
    mutable std::recursive_mutex mutex_;
};

using InstalledServiceList = std::list<std::shared_ptr<Installed_services>>;

// The managed component table, in its fixed order. The packet-filter driver is
// part of it from operating-system major version 10 on.
InstalledServiceList get_installed_services();
InstalledServiceList get_installed_services(unsigned osMajorVersion);
