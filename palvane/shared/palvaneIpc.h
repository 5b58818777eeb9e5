// The update runtime's IPC server: publishes its port in the machine settings
// while it lives, greets every agent process that connects with the logging
// settings, and reports connections and log-level requests to the service
// core.
#pragma once

#include <set>

#include "ipclib/IpcServer.h"

namespace PALVANE_SERVICE {

// How the server reports to its owner; called on the IPC loop thread.
class I_SoftwareManagerIpcListener {
public:
    virtual ~I_SoftwareManagerIpcListener() = default;
    virtual void onLogLevelChange(int level) = 0;
    // True at every admitted peer, once it has been greeted; false once the
    // last greeted peer has gone.
    virtual void onIpcReady(bool reachable) = 0;
};

// Final: it starts serving at the end of its own constructor, which must be the
// last to run.
class PalvaneServer final : public IpcServer {
public:
    // listener may be null. Throws std::exception when the server cannot
    // listen; no setting is written then. findOwner is for tests.
    explicit PalvaneServer(I_SoftwareManagerIpcListener* listener,
                           PortOwnerFinder findOwner = findPortOwnerInTcpTable);
    ~PalvaneServer() override;

protected:
    void onConnect(IIpcEndpoint* endpoint) override;
    void onDisconnect(IIpcEndpoint* endpoint) override;
    void onRequestLogLevelChange(const IpcRequestLogLevel& message) override;

    // Messages for other parts of the agent.
    void onSetInstallerKey(const IpcSetInstallerKeyMessage&) override {}
    void onLoginSuccess(const IpcLoginSuccess&) override {}
    void onUserLogon(const IpcUserLogon&) override {}
    void onNotifyNetworkChanges(const IpcNotifyNetworkChanges&) override {}
    void onNotifyUpdateSettings(const IpcNotifyUpdateSettings&) override {}

private:
    I_SoftwareManagerIpcListener* listener_;
    ServiceStatus status_;
    std::set<IIpcEndpoint*> greeted_;  // loop thread only
};

}  // namespace PALVANE_SERVICE
