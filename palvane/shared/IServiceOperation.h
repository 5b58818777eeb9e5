// The operations over the agent's managed component table: what the service
// core and the service monitor call, and what the component operations
// (Services) implement. The slot order is part of the contract.
#pragma once

#include <string>

namespace PALVANE_SERVICE {

class IServiceOperation {
public:
    // Each walks the whole table; the result reports the status code (0 is
    // success), readable through get_status right after a false result.
    virtual bool start_service() = 0;
    virtual bool stop_service() = 0;
    virtual bool launch_tray() = 0;
    virtual bool set_tray_autorun() = 0;
    // Appends ".exe" to the caller's name.
    virtual bool kill_process(std::string& name) = 0;
    virtual int get_status() = 0;
    virtual bool remove_service() = 0;
    virtual bool uninstall_drivers() = 0;
    virtual ~IServiceOperation() = default;
};

}  // namespace PALVANE_SERVICE
