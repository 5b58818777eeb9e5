// A concrete IpcServer for tests and benchmarks: the handlers the server
// leaves to its subclasses do nothing, and admitted peers are counted.
#pragma once

#include <atomic>
#include <utility>

#include "ipclib/IpcServer.h"

class QuietIpcServer : public IpcServer {
public:
    explicit QuietIpcServer(PortOwnerFinder findOwner) : IpcServer(std::move(findOwner)) {}
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
