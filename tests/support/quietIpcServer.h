// A concrete IpcServer for tests and benchmarks: the handlers the server
// leaves to its subclasses do nothing, and admitted peers are counted. A
// subclass passes serveNow false and calls startServing at the end of its own
// constructor.
#pragma once

#include <atomic>
#include <utility>

#include "ipclib/IpcServer.h"

class QuietIpcServer : public IpcServer {
public:
    explicit QuietIpcServer(PortOwnerFinder findOwner, bool serveNow = true) : IpcServer(std::move(findOwner)) {
        if (serveNow) startServing();
    }
    ~QuietIpcServer() override { shutdown(); }

    std::atomic<int> connects{0};

protected:
    void onConnect(IIpcEndpoint*) override { ++connects; }
    void onSetInstallerKey(const IpcSetInstallerKeyMessage&) override {}
    void onLoginSuccess(const IpcLoginSuccess&) override {}
    void onUserLogon(const IpcUserLogon&) override {}
    void onNotifyNetworkChanges(const IpcNotifyNetworkChanges&) override {}
    void onNotifyUpdateSettings(const IpcNotifyUpdateSettings&) override {}
};
