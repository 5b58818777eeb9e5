// What the update query reads from the service core that owns it. The core
// implements this; tests give a fixed one.
#pragma once

#include <string>

namespace PALVANE_SERVICE {

class IUpgradeQueryOwner {
public:
    virtual ~IUpgradeQueryOwner() = default;
    // An agent is installed (the core's own flag, not re-read).
    virtual bool isAgentInstalled() const = 0;
    // The core's copy of "installed_version", as read at its start.
    virtual std::string installedVersion() const = 0;
    // The "environment" setting: the update server's base URL.
    virtual std::string environment() const = 0;
    // The "cid" setting: the customer id.
    virtual std::string cid() const = 0;
    // The machine GUID of the process-wide operating-system profile.
    virtual std::string machineGuid() const = 0;
};

}  // namespace PALVANE_SERVICE
