// The operations over the managed component table: start, stop, remove and
// driver uninstall walk every component in table order and sum up failures in
// the result and a status code; three more handle the agent's tray program.
#pragma once

#include <atomic>
#include <string>

#include "palvane/dll-api/win/service_operations.h"
#include "palvane/shared/IServiceOperation.h"

namespace PALVANE_SERVICE {

class Services : public IServiceOperation {
public:
    // Status codes left by the operations (read with get_status after a false result).
    static constexpr int kSuccess = 0;
    static constexpr int kDriversNotUninstalled = -6;
    static constexpr int kTrayNotEnded = -7;
    static constexpr int kComponentNotStarted = -8;
    static constexpr int kComponentNotStopped = -10;

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
    int get_status() override { return status.load(); }
    bool remove_service() override;
    bool uninstall_drivers() override;

private:
    bool openOrInstall(Installed_services& component);
    bool startWithRetries(Installed_services& component);
    void stopOne(Installed_services& component);
    void removeOne(Installed_services& component);
    // The tray program's command line: its full path in double quotes.
    std::string trayCommandLine() const;

    InstalledServiceList components;
    std::string path;
    // Written by whichever thread runs an operation (the upgrade watch's among
    // them) and read by another.
    std::atomic<int> status{kSuccess};
};

}  // namespace PALVANE_SERVICE
