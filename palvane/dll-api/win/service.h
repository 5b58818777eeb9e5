// The operations over the managed component table: start, stop, remove and
// driver uninstall walk every component in table order and sum up failures in
// the result and a status code; three more handle the agent's tray program.
#pragma once

#include <cstdint>
#include <string>

#include "palvane/dll-api/win/service_operations.h"

namespace PALVANE_SERVICE {

class IServiceOperation {
public:
    // Status codes left by the operations (read with get_status after a false result).
    static constexpr int32_t kSuccess = 0;
    static constexpr int32_t kDriversNotUninstalled = -6;
    static constexpr int32_t kTrayNotEnded = -7;
    static constexpr int32_t kComponentNotStarted = -8;
    static constexpr int32_t kComponentNotStopped = -10;

    virtual bool start_service() = 0;
    virtual bool stop_service() = 0;
    virtual bool launch_tray() = 0;
    virtual bool set_tray_autorun() = 0;
    // Appends ".exe" to the caller's `name` and ends every process of that file name.
    virtual bool kill_process(std::string& name) = 0;
    virtual int32_t get_status() = 0;
    virtual bool remove_service() = 0;
    virtual bool uninstall_drivers() = 0;
    virtual ~IServiceOperation() = default;
};

class Services : public IServiceOperation {
public:
    static constexpr const char* kTrayProgram = "Quillmark Agent\\twptray.exe";
    static constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* kTrayRunValue = "TarnwellTray";

    // `path` is the install path, ending with a backslash.
    Services(InstalledServiceList components, std::string path);
    ~Services() override;

    bool start_service() override;
    bool stop_service() override;
    bool launch_tray() override;
    bool set_tray_autorun() override;
    bool kill_process(std::string& name) override;
    int32_t get_status() override { return status; }
    bool remove_service() override;
    bool uninstall_drivers() override;

private:
    bool openOrInstall(Installed_services& component, bool& installFailed);
    bool startWithRetries(Installed_services& component);
    void stopOne(Installed_services& component);
    void removeOne(Installed_services& component);
    // The tray program's command line: its full path in double quotes.
    std::string trayCommandLine() const;

    InstalledServiceList components;
    std::string path;
    int32_t status = kSuccess;
};

}  // namespace PALVANE_SERVICE
